// What the simulator's command line asks of the device.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

struct sim_options {
    std::string link;                        // symlink to create for the slave (e.g. DIR/quorvantis/com1)
    // An existing terminal to play the device on instead of a pseudo-terminal
    // of its own (--tty PATH): the far end of a null-modem line. Power comes
    // only on SIGUSR1 there, which cycles it when the device is on.
    std::string tty;
    uint32_t tty_speed = 9600;               // --speed BAUD: the line speed set on that terminal
    int power_delay_ms = 300;                // after the host opened the port and set it raw
    bool manual_power = false;               // power on only on SIGUSR1
    std::string mode;                        // "" (the monitor) or a registered mode to start at power-on
    uint32_t pace_baud = 0;                  // 0: no pacing, else 10 bits a byte at this speed
    // With pace_baud: every byte each way takes its own 10 bit times on the
    // line, idle time is not saved up (--pace-exact BAUD).
    bool pace_exact = false;
    // Report "turnaround NS" when the host's first bytes arrive after the
    // device last sent something: the time from that send; and begin every
    // report line with "@NS " (CLOCK_MONOTONIC) (--stamp).
    bool stamp = false;
    std::set<std::string> faults;            // --fault NAME
    std::map<std::string, std::string> values;  // --opt KEY=VALUE, for the modes
    std::string unplug_at;                   // --unplug-at POINT
    uint32_t confirm_speed = 0;              // speed in "Connected N" (0: the host's line speed)
};
