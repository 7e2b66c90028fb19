// The names a test gives the simulator on its command line: faults (--fault),
// points where the device vanishes (--unplug-at) and settings of the modes
// (--opt KEY=VALUE). Each is declared by the file that acts on it, next to
// the code that uses it, and the device answers only through the declared
// object:
//   const sim_fault NO_PROMPT("no-prompt");      ... dev.fault(NO_PROMPT)
//   const sim_point AT_CR("", "cr");             ... dev.unplug_point(AT_CR)
//   const sim_opt LATE("loader", "late", "N", "answer record N late");
//                                                ... dev.option_long(LATE, 0)
// Declaring one registers it, so the command line refuses every name that no
// code acts on (a misspelt fault would otherwise run fault-free), and --help
// and --names list exactly what there is.
#pragma once

#include <string>
#include <vector>

#include "sim_options.h"

enum class sim_name_kind { fault, point, opt };

struct sim_name {
    sim_name_kind kind;
    std::string owner;     // "" for the device itself, else the mode that acts on it
    std::string name;      // the fault, the point (its prefix when numbered), the key
    std::string value;     // opt: what its value is, as the help shows it ("N", "PATH")
    std::string note;      // opt: a few words for the help, or ""
    bool numbered = false;  // point: the name is followed by a record number (loader-line-N)
    bool number = false;    // opt: the value is a C integer (decimal, 0x.., 0..)
};

class sim_fault {
public:
    explicit sim_fault(const char* name);
    const std::string& name() const { return name_; }

private:
    std::string name_;
};

class sim_point {
public:
    // A numbered point is named by its prefix: ("loader", "loader-line-", true)
    // stands for loader-line-1, loader-line-2, ...
    sim_point(const char* owner, const char* name, bool numbered = false);
    // The point's name; a numbered point's for number n.
    std::string at(long n = 0) const;

private:
    std::string name_;
    bool numbered_;
};

class sim_opt {
public:
    enum value_kind { text, number };
    sim_opt(const char* owner, const char* key, const char* value, const char* note, value_kind kind);
    const std::string& key() const { return key_; }

private:
    std::string key_;
};

// Every name declared, in the order of the help: the device's first, then
// each mode's (modes by name), each group in the order of its declarations.
std::vector<sim_name> sim_names();

// Checks the command line's faults, unplug point, settings and mode against
// what is declared. On a name nothing acts on (or a setting's value that is
// not the number it must be) gives false and the message for the operator.
bool sim_check_names(const sim_options& options, std::string& message);

// The help's paragraphs for --fault, --unplug-at and --opt, from the declared
// names, wrapped to the help's width.
std::string sim_names_help();

// One line per name for --names: "fault NAME", "point NAME" (a numbered one
// as loader-line-N) and "opt KEY=VALUE", each followed by its owner.
std::string sim_names_list();
