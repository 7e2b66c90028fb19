// quorvantis-sim: the device on a pseudo-terminal, for tests and for working
// without hardware. One report line per event on standard output.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_device.h"

namespace {
sim_device* running = nullptr;

void on_stop(int) {
    if (running != nullptr) running->stop();
}
void on_power(int) {
    if (running != nullptr) running->power_on_request();
}

void usage() {
    std::fprintf(stderr,
                 "usage: quorvantis-sim [--link PATH] [--power-delay MS] [--manual-power] [--mode NAME]\n"
                 "                      [--pace BAUD] [--fault NAME]... [--unplug-at POINT]\n"
                 "                      [--confirm-speed N] [--opt KEY=VALUE]...\n"
                 "faults: no-product wrong-version version-before-product nul-high wrong-speed\n"
                 "        no-confirm no-prompt silent-cr no-nul chatter\n"
                 "unplug points: open power-on ctrl-c host cr download (modes add their own)\n"
                 "SIGUSR1 powers the device on.\n");
}
}  // namespace

int main(int argc, char** argv) {
    sim_options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](void) -> std::string {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--link") {
            options.link = value();
        } else if (arg == "--power-delay") {
            options.power_delay_ms = std::atoi(value().c_str());
        } else if (arg == "--manual-power") {
            options.manual_power = true;
        } else if (arg == "--mode") {
            options.mode = value();
        } else if (arg == "--pace") {
            options.pace_baud = static_cast<uint32_t>(std::strtoul(value().c_str(), nullptr, 10));
        } else if (arg == "--fault") {
            options.faults.insert(value());
        } else if (arg == "--unplug-at") {
            options.unplug_at = value();
        } else if (arg == "--confirm-speed") {
            options.confirm_speed = static_cast<uint32_t>(std::strtoul(value().c_str(), nullptr, 10));
        } else if (arg == "--opt") {
            std::string kv = value();
            size_t eq = kv.find('=');
            options.values[kv.substr(0, eq)] = eq == std::string::npos ? "1" : kv.substr(eq + 1);
        } else {
            usage();
            return 2;
        }
    }
    sim_device device(options);
    if (!device.setup()) return 1;
    running = &device;
    std::signal(SIGTERM, on_stop);
    std::signal(SIGINT, on_stop);
    std::signal(SIGHUP, on_stop);
    std::signal(SIGUSR1, on_power);
    device.run();
    running = nullptr;
    return 0;
}
