// The device's own faults (--fault) and the points where it vanishes
// (--unplug-at), for the files of the device's core that act on them. They are
// declared together, in sim_device_names.cpp: the help and --names list each
// group in the order of its declarations.
#pragma once

#include "sim_names.h"

namespace device_names {
// What the device does wrong when a test asks (--fault NAME).
extern const sim_fault NO_PRODUCT;     // start-up text without the product word
extern const sim_fault WRONG_VERSION;  // another version text
extern const sim_fault VERSION_FIRST;
extern const sim_fault NUL_HIGH;       // NUL and bytes above 0x7F in the start-up text
extern const sim_fault WRONG_SPEED;    // "Connected" with another speed
extern const sim_fault NO_CONFIRM;     // no answer to Ctrl-C
extern const sim_fault NO_PROMPT;      // a carriage return answered without the prompt
extern const sim_fault SILENT_CR;      // a carriage return not answered at all
extern const sim_fault NO_NUL;         // a full "Connected" reply without any NUL
extern const sim_fault CHATTER;        // never falls quiet, has no start-up text

// Where the device vanishes when a test asks (--unplug-at POINT).
extern const sim_point AT_OPEN;      // the host opened the line
extern const sim_point AT_POWER_ON;
extern const sim_point AT_CTRL_C;
extern const sim_point AT_HOST;      // the line "host N" arrived
extern const sim_point AT_CR;        // an empty command line arrived
extern const sim_point AT_DOWNLOAD;  // the line "download" arrived
}  // namespace device_names
