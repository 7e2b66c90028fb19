#include "sim_device_names.h"

// In the order the help lists them.
namespace device_names {
const sim_fault NO_PRODUCT("no-product");
const sim_fault WRONG_VERSION("wrong-version");
const sim_fault VERSION_FIRST("version-before-product");
const sim_fault NUL_HIGH("nul-high");
const sim_fault WRONG_SPEED("wrong-speed");
const sim_fault NO_CONFIRM("no-confirm");
const sim_fault NO_PROMPT("no-prompt");
const sim_fault SILENT_CR("silent-cr");
const sim_fault NO_NUL("no-nul");
const sim_fault CHATTER("chatter");

const sim_point AT_OPEN("", "open");
const sim_point AT_POWER_ON("", "power-on");
const sim_point AT_CTRL_C("", "ctrl-c");
const sim_point AT_HOST("", "host");
const sim_point AT_CR("", "cr");
const sim_point AT_DOWNLOAD("", "download");
}  // namespace device_names
