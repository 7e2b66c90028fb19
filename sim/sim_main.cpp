// quorvantis-sim: the device on a pseudo-terminal (or on a serial terminal at
// the far end of a null-modem line), for tests and for working without
// hardware. One report line per event on standard output.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/prctl.h>

#include "sim_device.h"

namespace {
// Set before the handlers are installed, and kept until they are taken back.
sim_device* running = nullptr;

void on_stop(int) {
    if (running != nullptr) running->stop();
}
void on_power(int) {
    if (running != nullptr) running->power_on_request();
}
void on_unplug(int) {
    if (running != nullptr) running->unplug_request();
}

const char* const HELP_HEAD =
    "usage: quorvantis-sim [OPTION]...\n"
    "\n"
    "A simulated Quorvantis on a pseudo-terminal, so that quorvantis-host (or any\n"
    "terminal program) can be used without hardware. It prints \"ready /dev/pts/N\"\n"
    "when its end of the line is open, then one line per event on standard output\n"
    "(opened, power-on, ctrl-c, host N, line TEXT, download, closed, ...). It runs\n"
    "until it is stopped with Ctrl-C or SIGTERM (Ctrl-C and SIGHUP only when they\n"
    "were not ignored at its start, as a script's background job has Ctrl-C).\n"
    "\n"
    "Options:\n"
    "  --link PATH         also make PATH a symbolic link to the pseudo-terminal;\n"
    "                      quorvantis-host finds COMn at\n"
    "                      $XDG_CONFIG_HOME/quorvantis/comN (or\n"
    "                      ~/.config/quorvantis/comN), e.g.\n"
    "                      --link ~/.config/quorvantis/com1 for \"connect 1\".\n"
    "                      A symbolic link already at PATH (an adapter's, say)\n"
    "                      is replaced, and the report says where it pointed;\n"
    "                      anything else at PATH is left alone and the\n"
    "                      simulator does not start. At exit the link is\n"
    "                      removed if it still points at this pseudo-terminal\n"
    "  --tty PATH          play the device on the existing terminal PATH instead\n"
    "                      of a pseudo-terminal of its own: the far end of a\n"
    "                      null-modem line from the host's serial port (e.g.\n"
    "                      /dev/ttyS2 wired to the host's /dev/ttyS1). The host's\n"
    "                      opens and closes cannot be seen there: the device\n"
    "                      powers on at SIGUSR1 (kill -USR1 PID) and a further\n"
    "                      SIGUSR1 cycles its power (reported \"power-off\",\n"
    "                      \"power-on\"). Its bytes are those it sends on its own\n"
    "                      pseudo-terminal; \"Connected N\" gives this line's speed.\n"
    "                      Unplugged there (--unplug-at, SIGUSR2), the device falls\n"
    "                      silent and the line stays, as a cable pulled from it:\n"
    "                      what the host sends is read away until it is stopped\n"
    "  --speed BAUD        the speed set on the --tty terminal (default 9600)\n"
    "  --power-delay MS    the device powers on MS milliseconds after the other\n"
    "                      side has opened the line and set it raw (default 300)\n"
    "  --manual-power      power on only on SIGUSR1 (kill -USR1 PID), as an\n"
    "                      operator switching the device on\n"
    "  --mode NAME         start in a mode: \"loader\" is the firmware loader (it\n"
    "                      offers itself with ENQ after power-on, for the firmware\n"
    "                      command); the download mode starts by itself when the\n"
    "                      host sends \"download\"\n"
    "  --pace BAUD         send no faster than BAUD (10 bits a byte)\n"
    "  --pace-exact BAUD   every byte each way takes exactly 10 bit times at BAUD\n"
    "                      (for timing the host against the line's own limit)\n";

// Between the two: --fault, --unplug-at and --opt with the names the device
// knows (sim_names_help).
const char* const HELP_TAIL =
    "                      A name the device does not know is refused at start.\n"
    "  --confirm-speed N   confirm a different host speed than the one asked for\n"
    "  --stamp             begin each report line with \"@NS \" (the monotonic clock in\n"
    "                      ns), and report \"turnaround NS\" when the host's first\n"
    "                      bytes come after the device sent something: the time\n"
    "                      in between\n"
    "  --names             list the faults, points and settings, one a line:\n"
    "                      \"fault NAME\", \"point NAME\" or \"opt KEY=VALUE\", then\n"
    "                      the mode that acts on it (or \"device\")\n"
    "  --version           show the version, which is the one the device reports\n"
    "  --help              show this text\n"
    "\n"
    "With quorvantis-host, the reports in a file so that they stay out of the\n"
    "console (or in a second terminal, without the > and the &):\n"
    "  quorvantis-sim --link ~/.config/quorvantis/com1 >/tmp/quorvantis-sim.log &\n"
    "  quorvantis-host          then: configure examples/station.cfg,\n"
    "                           rules examples/rules.txt, connect 1, download\n"
    "  kill %1                  afterwards, to stop the simulator\n"
    "  (make run starts both this way, with a private configuration directory,\n"
    "  and a second simulator in --mode loader as COM2.)\n"
    "\n"
    "With any terminal program, at 9600 baud 8N1 on the printed device. The\n"
    "device echoes nothing and answers only what it knows, so give the program\n"
    "local echo to see what you type, e.g.\n"
    "  picocom -b 9600 -c /dev/pts/N\n"
    "The start-up text appears after power-on; Ctrl-C answers \"Connected N\"\n"
    "with the terminal's speed, and Enter the \"Quorva> \" prompt. \"host N\" then\n"
    "Enter is a request for another host port speed: the simulated device\n"
    "records it and reports \"host N\", but the line and the \"Connected\" reply\n"
    "keep the terminal's speed. Closing the terminal program power-cycles the\n"
    "device.\n";

void usage() {
    std::fputs("usage: quorvantis-sim [--link PATH | --tty PATH [--speed BAUD]] [--power-delay MS] [--manual-power]\n"
               "                      [--mode NAME]\n"
               "                      [--pace BAUD] [--pace-exact BAUD] [--fault NAME]... [--unplug-at POINT]\n"
               "                      [--confirm-speed N] [--opt KEY=VALUE]... [--stamp] [--names] [--version]\n"
               "                      [--help]\n",
               stderr);
}

// A whole decimal number for an option; anything else is a usage error.
bool option_number(const std::string& text, unsigned long limit, unsigned long& out) {
    if (text.empty() || text.size() > 10) return false;
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value > limit) return false;
    out = value;
    return true;
}
}  // namespace

int main(int argc, char** argv) {
    sim_options options;
    bool speed_given = false;
    bool delay_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](void) -> std::string {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        auto number = [&](unsigned long limit) -> unsigned long {
            std::string text = value();
            unsigned long n = 0;
            if (!option_number(text, limit, n)) {
                std::fprintf(stderr, "quorvantis-sim: %s wants a whole number: %s\n", arg.c_str(), text.c_str());
                std::exit(2);
            }
            return n;
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(HELP_HEAD, stdout);
            std::fputs(sim_names_help().c_str(), stdout);
            std::fputs(HELP_TAIL, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("quorvantis-sim %s\n", SIM_VERSION_TEXT);
            return 0;
        } else if (arg == "--names") {
            std::fputs(sim_names_list().c_str(), stdout);
            return 0;
        } else if (arg == "--link") {
            options.link = value();
        } else if (arg == "--tty") {
            options.tty = value();
        } else if (arg == "--speed") {
            options.tty_speed = static_cast<uint32_t>(number(4000000));
            speed_given = true;
        } else if (arg == "--power-delay") {
            options.power_delay_ms = static_cast<int>(number(3600000));
            delay_given = true;
        } else if (arg == "--manual-power") {
            options.manual_power = true;
        } else if (arg == "--mode") {
            options.mode = value();
        } else if (arg == "--pace") {
            options.pace_baud = static_cast<uint32_t>(number(4000000));
        } else if (arg == "--pace-exact") {
            options.pace_baud = static_cast<uint32_t>(number(4000000));
            options.pace_exact = options.pace_baud != 0;
        } else if (arg == "--stamp") {
            options.stamp = true;
        } else if (arg == "--fault") {
            options.faults.insert(value());
        } else if (arg == "--unplug-at") {
            options.unplug_at = value();
        } else if (arg == "--confirm-speed") {
            options.confirm_speed = static_cast<uint32_t>(number(4000000));
        } else if (arg == "--opt") {
            std::string kv = value();
            size_t eq = kv.find('=');
            options.values[kv.substr(0, eq)] = eq == std::string::npos ? "1" : kv.substr(eq + 1);
        } else {
            std::fprintf(stderr, "quorvantis-sim: unknown option: %s\n", arg.c_str());
            usage();
            return 2;
        }
    }
    // On a terminal of its own the device neither makes a link for the host
    // nor sees it open the line; what wants either is refused.
    const char* tty_conflict = nullptr;
    if (options.tty.empty()) {
        if (speed_given) tty_conflict = "--speed sets the speed of a --tty terminal";
    } else if (!options.link.empty()) {
        tty_conflict = "--link links the simulator's own pseudo-terminal; with --tty the host opens its own port";
    } else if (delay_given) {
        tty_conflict = "--power-delay counts from the host's open, which a --tty terminal does not show: "
                       "power on with SIGUSR1";
    } else if (options.pace_exact) {
        tty_conflict = "--pace-exact needs the simulator's own pseudo-terminal";
    } else if (options.tty_speed == 0) {
        tty_conflict = "--speed wants a speed above 0";
    }
    if (tty_conflict != nullptr) {
        std::fprintf(stderr, "quorvantis-sim: %s\n", tty_conflict);
        return 2;
    }
    // A misspelt fault would run fault-free, a misspelt point never unplug:
    // every name must be one that the device acts on.
    std::string wrong;
    if (!sim_check_names(options, wrong)) {
        std::fprintf(stderr, "quorvantis-sim: %s\n", wrong.c_str());
        return 2;
    }
    // Timed runs: the kernel may not round our wake-ups up by its default slack.
    if (options.pace_exact || options.stamp) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    sim_device device(options);
    if (!device.setup()) return 1;
    running = &device;
    std::signal(SIGTERM, on_stop);
    // Ctrl-C and a hang-up stop the simulator, unless they were ignored when
    // it started: a script that starts it in the background (make run) or
    // nohup leaves it running when the terminal's Ctrl-C stops something else.
    for (int sig : {SIGINT, SIGHUP}) {
        if (std::signal(sig, on_stop) == SIG_IGN) std::signal(sig, SIG_IGN);
    }
    std::signal(SIGUSR1, on_power);
    std::signal(SIGUSR2, on_unplug);
    device.run();
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) std::signal(sig, SIG_DFL);
    running = nullptr;
    return 0;
}
