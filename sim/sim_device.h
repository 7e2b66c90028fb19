// The simulated device: the master side of a pseudo-terminal whose slave the
// host opens as its COM port, or (--tty) an existing terminal at the far end
// of a null-modem line from the host's port. The core plays power-on, the
// start-up text, the Ctrl-C confirmation, the host speed command and the
// prompt; other exchanges are modes that register themselves under a name:
//   "download"  entered when the host sends the line "download\r\n";
//   "loader"    entered at power-on instead of the start-up text when the
//               program runs with --mode loader (the firmware loader).
// A mode gets every byte the host sends while it is active.
//
// The device's files: sim_device.cpp (the services: report, output queue,
// unplug, settings), sim_line_setup.cpp (the pseudo-terminal, its link, the
// --tty terminal, the watch on the host's opens and closes), sim_loop.cpp
// (the loop), sim_monitor.cpp (the exchanges outside the modes),
// sim_modes.cpp (the registry of modes), sim_pace.cpp (the pacing of the
// output) and sim_device_names.cpp (the device's faults and points).
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim_names.h"
#include "sim_options.h"

class sim_device;

// The version text of the device's start-up text: the one quorvantis-host
// expects of a device, made from the file VERSION by the build (the simulator
// shares no code with the program, only the release's number). --version
// shows it too.
extern const char* const SIM_VERSION_TEXT;

class sim_mode {
public:
    virtual ~sim_mode() = default;
    // Called once when the mode is entered.
    virtual void on_start(sim_device&) {}
    // Bytes the host sent.
    virtual void on_bytes(sim_device& dev, const uint8_t* data, size_t n) = 0;
    // Called about every 10 ms while the port is open (for time-driven faults).
    virtual void on_tick(sim_device&) {}
};

using sim_mode_factory = std::unique_ptr<sim_mode> (*)();
void sim_register_mode(const char* name, sim_mode_factory factory);
// The registered modes, by name.
std::vector<std::string> sim_mode_names();

// In a mode file:  static sim_mode_registrar reg("download", make_download);
struct sim_mode_registrar {
    sim_mode_registrar(const char* name, sim_mode_factory factory) { sim_register_mode(name, factory); }
};

class sim_device {
public:
    explicit sim_device(const sim_options& options);
    ~sim_device();
    // Creates the pseudo-terminal and the link, or opens the --tty terminal;
    // false with a message on stderr. The link replaces only a symbolic link
    // (and reports that it did); the simulator refuses to start over anything
    // else at that path.
    bool setup();
    const std::string& slave_path() const { return slave_; }
    // Runs until stop() (from a signal) or an unplug.
    void run();
    // The requests a signal handler makes; the loop acts on them at once (the
    // signal ends its wait).
    void stop() { stopping_ = 1; }
    // On a pseudo-terminal the request powers on a device that is off; on a
    // --tty terminal it also cycles the power of one that is on.
    void power_on_request() { power_request_ = 1; }
    // Pulls the plug (SIGUSR2): a cable pulled at a moment the test chooses.
    void unplug_request() { unplug_request_ = 1; }

    // Services for the modes.
    void send(const void* bytes, size_t n);
    void send(const std::string& text) { send(text.data(), text.size()); }
    // The text followed by NUL bytes up to size bytes (the host's read size).
    void send_padded(const std::string& text, size_t size);
    // One line on the report (stdout): what the device saw or did.
    void report(const std::string& line);
    // Pulls the plug: the master side is closed and the program ends. On a
    // --tty line the device falls silent and the line stays, read away until
    // the simulator is stopped, as a cable pulled from the device.
    void unplug();
    // Unplugs when --unplug-at names this point (a numbered point: with
    // this number); returns whether it did.
    bool unplug_point(const sim_point& point, long number = 0);
    // Whether --unplug-at names this point (with this number).
    bool unplugs_at(const sim_point& point, long number = 0) const;
    // Back to the monitor (start-up state: command lines, Ctrl-C, prompt).
    void to_monitor();
    // Switches to a registered mode; false when none has that name.
    bool enter_mode(const std::string& name);
    bool fault(const sim_fault& fault) const { return options_.faults.count(fault.name()) != 0; }
    std::string option(const sim_opt& opt, const std::string& fallback) const;
    // A number setting; the command line has made sure it is one.
    long option_long(const sim_opt& opt, long fallback) const;
    // The speed the host set on its side of the line.
    uint32_t host_line_speed() const;
    uint32_t requested_host_speed() const { return host_speed_; }
    const sim_options& options() const { return options_; }

private:
    bool make_link();
    bool open_tty();
    // On a --tty terminal: no pseudo-terminal of its own, so the host's opens
    // and closes cannot be seen; the line is always there.
    bool on_tty() const { return !options_.tty.empty(); }
    void power_on();
    void power_off();
    // The loop (sim_loop.cpp): how long a turn waits when nothing comes;
    // what the wait brought (false: the line is gone, the loop ends); the
    // work on the clock while the host has the line open.
    int64_t turn_wait_ns() const;
    bool take_events(short watch_revents, short line_revents);
    void clock_turn();
    void read_host(int64_t& noticed_ns);
    void read_away();
    void host_bytes(const uint8_t* data, size_t n, int64_t noticed_ns);
    void monitor_bytes(const uint8_t* data, size_t n);
    void monitor_line();
    void flush_output();
    void watch_events();

    sim_options options_;
    int line_fd_ = -1;  // the device's end of the line: the pseudo-terminal's master, or the --tty terminal
    int watch_ = -1;  // inotify on the slave: the host's opens and closes
    int opens_ = 0;
    std::string slave_;
    bool linked_ = false;  // the --link path is our link, made by setup()
    volatile sig_atomic_t stopping_ = 0;
    bool unplugged_ = false;
    volatile sig_atomic_t power_request_ = 0;
    volatile sig_atomic_t unplug_request_ = 0;
    bool host_open_ = false;
    bool powered_ = false;
    bool heard_host_ = false;  // the host sent a byte since power-on
    int64_t opened_at_ms_ = 0;
    std::string out_;
    int64_t chatter_at_ms_ = 0;  // --fault chatter: when the last noise went
    int64_t pace_start_ms_ = 0;
    uint64_t paced_bytes_ = 0;
    // Exact pacing (sim_pace.cpp): each direction is a line that carries one
    // byte per 10 bit times.
    bool exact_pacing() const { return options_.pace_baud != 0 && options_.pace_exact; }
    size_t pace_coarse_due(size_t queued);  // coarse: bytes of the queue that may go now
    int64_t pace_byte_ns() const;
    void pace_send_start();              // before bytes join the output queue
    size_t pace_out_due();               // bytes of the queue that may go now
    void pace_out_sent(size_t n);
    size_t pace_in_want(size_t room);    // read size (packet header included), 0: not yet
    void pace_in_read(size_t n);         // n data bytes were read
    void pace_poll(short& events, int64_t& wait_ns);  // what to wait for, and how long
    void pace_reset();
    int64_t out_free_ns_ = 0;   // when the device's sending side has sent all it was given
    int64_t in_free_ns_ = 0;    // when the last host byte read was complete
    bool in_busy_ = false;      // host bytes are on their way
    bool pace_reply_ = false;   // host bytes were read in this turn of the loop
    int64_t last_send_ns_ = 0;  // --stamp: when the device last wrote (0: reported)
    std::string line_;
    bool want_lf_for_download_ = false;
    uint32_t host_speed_ = 0;
    std::unique_ptr<sim_mode> mode_;
};

// The line's speed (termios2): the one the host set on the slave, read
// through the master; on a --tty terminal, its own.
uint32_t sim_slave_speed(int fd);
// Whether the host has set the slave raw (no canonical input, no echo).
bool sim_slave_raw(int master_fd);
// Sets a terminal the device plays on raw, 8N1 at the speed, breaks ignored.
bool sim_tty_raw(int fd, uint32_t speed);
