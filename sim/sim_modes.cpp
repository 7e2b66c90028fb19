// The registry of the device's modes, and the switches between a mode and
// the monitor.
#include <map>

#include "sim_device.h"

namespace {
std::map<std::string, sim_mode_factory>& registry() {
    static std::map<std::string, sim_mode_factory> modes;
    return modes;
}
}  // namespace

void sim_register_mode(const char* name, sim_mode_factory factory) { registry()[name] = factory; }

std::vector<std::string> sim_mode_names() {
    std::vector<std::string> names;
    for (const auto& mode : registry()) names.push_back(mode.first);
    return names;
}

void sim_device::to_monitor() {
    mode_.reset();
    line_.clear();
}

bool sim_device::enter_mode(const std::string& name) {
    auto it = registry().find(name);
    if (it == registry().end()) {
        report("no mode " + name);
        return false;
    }
    mode_ = it->second();
    report("mode " + name);
    mode_->on_start(*this);
    return true;
}
