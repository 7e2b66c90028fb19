#include "sim_names.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "sim_device.h"

namespace {

std::vector<sim_name>& declared() {
    static std::vector<sim_name> names;
    return names;
}

void declare(const sim_name& name) { declared().push_back(name); }

// The help's left margin for the text of an option, and its width.
constexpr size_t HELP_INDENT = 22;
constexpr size_t HELP_WIDTH = 78;

// A C integer (decimal, 0x hex or 0 octal) and nothing else.
bool is_number(const std::string& text) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    std::strtol(text.c_str(), &end, 0);
    return errno == 0 && end == text.c_str() + text.size();
}

bool is_whole_number(const std::string& text) {
    if (text.empty() || text.size() > 9) return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

const sim_name* find(sim_name_kind kind, const std::string& name) {
    for (const sim_name& n : declared()) {
        if (n.kind != kind) continue;
        if (!n.numbered && n.name == name) return &n;
        // A numbered point: the prefix and a record number from 1 on.
        if (n.numbered && name.size() > n.name.size() && name.compare(0, n.name.size(), n.name) == 0) {
            std::string number = name.substr(n.name.size());
            if (is_whole_number(number) && std::strtol(number.c_str(), nullptr, 10) >= 1) return &n;
        }
    }
    return nullptr;
}

// How a name stands in a list: a numbered point with its N, a setting with
// its value.
std::string shown(const sim_name& n) {
    if (n.kind == sim_name_kind::point && n.numbered) return n.name + "N";
    if (n.kind == sim_name_kind::opt) return n.name + "=" + n.value;
    return n.name;
}

// The names of one kind by owner, the device's own first: each owner's as
// one list of words, led by "owner:" for a mode's.
std::vector<std::vector<std::string>> groups_of(sim_name_kind kind, bool notes) {
    std::vector<std::vector<std::string>> groups;
    std::string owner = "-";
    for (const sim_name& n : sim_names()) {
        if (n.kind != kind) continue;
        if (n.owner != owner) {
            owner = n.owner;
            groups.emplace_back();
            if (!owner.empty()) groups.back().push_back(owner + ":");
        }
        groups.back().push_back(shown(n));
        if (notes && !n.note.empty()) {
            // A note goes word by word, so that it can break between them.
            std::string note = "(" + n.note + ")";
            for (size_t at = 0; at < note.size();) {
                size_t end = note.find(' ', at);
                if (end == std::string::npos) end = note.size();
                groups.back().push_back(note.substr(at, end - at));
                at = end + 1;
            }
        }
    }
    return groups;
}

// One option's paragraph of the help: the option and what it does, then each
// group of names from a line of its own, wrapped at the help's width.
std::string paragraph(const std::string& option, const std::string& lead,
                      const std::vector<std::vector<std::string>>& groups) {
    std::string text = "  " + option;
    text.append(HELP_INDENT > text.size() ? HELP_INDENT - text.size() : 1, ' ');
    text += lead + "\n";
    for (const std::vector<std::string>& words : groups) {
        std::string line(HELP_INDENT, ' ');
        bool first = true;
        for (const std::string& word : words) {
            if (!first && line.size() + 1 + word.size() > HELP_WIDTH) {
                text += line + "\n";
                line.assign(HELP_INDENT + 2, ' ');
                first = true;
            }
            line += (first ? "" : " ") + word;
            first = false;
        }
        text += line + "\n";
    }
    return text;
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& w : words) {
        if (!text.empty()) text += ' ';
        text += w;
    }
    return text;
}

std::string joined(const std::vector<std::vector<std::string>>& groups) {
    std::string text;
    for (const std::vector<std::string>& words : groups) {
        if (!text.empty()) text += ' ';
        text += joined(words);
    }
    return text;
}

}  // namespace

sim_fault::sim_fault(const char* name) : name_(name) { declare({sim_name_kind::fault, "", name, "", "", false, false}); }

sim_point::sim_point(const char* owner, const char* name, bool numbered) : name_(name), numbered_(numbered) {
    declare({sim_name_kind::point, owner, name, "", "", numbered, false});
}

std::string sim_point::at(long n) const { return numbered_ ? name_ + std::to_string(n) : name_; }

sim_opt::sim_opt(const char* owner, const char* key, const char* value, const char* note, value_kind kind)
    : key_(key) {
    declare({sim_name_kind::opt, owner, key, value, note, false, kind == number});
}

std::vector<sim_name> sim_names() {
    std::vector<sim_name> names = declared();
    // Declarations in one file keep their order; the files' order is the
    // linker's, so the groups are put in order here.
    std::stable_sort(names.begin(), names.end(), [](const sim_name& a, const sim_name& b) {
        if (a.kind != b.kind) return a.kind < b.kind;
        return a.owner < b.owner;
    });
    return names;
}

bool sim_check_names(const sim_options& options, std::string& message) {
    for (const std::string& fault : options.faults) {
        if (find(sim_name_kind::fault, fault) == nullptr) {
            message = "--fault " + fault + ": no such fault; the faults are: " + joined(groups_of(sim_name_kind::fault, false));
            return false;
        }
    }
    if (!options.unplug_at.empty() && find(sim_name_kind::point, options.unplug_at) == nullptr) {
        message = "--unplug-at " + options.unplug_at + ": no such point; the points are: " +
                  joined(groups_of(sim_name_kind::point, false));
        return false;
    }
    for (const auto& [key, value] : options.values) {
        const sim_name* opt = find(sim_name_kind::opt, key);
        if (opt == nullptr) {
            message = "--opt " + key + "=" + value + ": no such setting; the settings are: " +
                      joined(groups_of(sim_name_kind::opt, false));
            return false;
        }
        if (opt->number && !is_number(value)) {
            message = "--opt " + key + " wants a number: " + value;
            return false;
        }
    }
    if (!options.mode.empty()) {
        std::vector<std::string> modes = sim_mode_names();
        if (std::find(modes.begin(), modes.end(), options.mode) == modes.end()) {
            message = "--mode " + options.mode + ": no such mode; the modes are: " + joined(modes);
            return false;
        }
    }
    return true;
}

std::string sim_names_help() {
    std::vector<std::vector<std::string>> points = groups_of(sim_name_kind::point, true);
    points.push_back({"(SIGUSR2", "vanishes", "at", "once)"});
    return paragraph("--fault NAME", "misbehave (may be repeated):", groups_of(sim_name_kind::fault, true)) +
           paragraph("--unplug-at POINT", "vanish at a point:", points) +
           paragraph("--opt KEY=VALUE", "a setting of a mode (may be repeated):", groups_of(sim_name_kind::opt, true));
}

std::string sim_names_list() {
    std::string text;
    for (const sim_name& n : sim_names()) {
        const char* kind = n.kind == sim_name_kind::fault ? "fault" : n.kind == sim_name_kind::point ? "point" : "opt";
        text += std::string(kind) + " " + shown(n) + " " + (n.owner.empty() ? "device" : n.owner) + "\n";
    }
    return text;
}
