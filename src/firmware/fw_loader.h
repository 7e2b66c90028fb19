// Replacing the device firmware through its serial loader.
#pragma once

#include <cstdint>

// Start of the running transfer in whole seconds, from which fw_progress counts.
extern int64_t fw_start_time;

// What firmware returns: where the update failed.
enum fw_result : int {
    FW_OK = 0,
    FW_ERR_NO_FILE_NAME = -1,
    FW_ERR_FILE_OPEN = -2,        // the file cannot be opened, read or read again
    FW_ERR_FILE_CHECK = -4,       // the file check refused it
    FW_ERR_PORT_OPEN = -5,
    FW_ERR_NO_PROMPT = -6,        // no ENQ within the power-on window
    FW_ERR_SYNC_WRITE = -7,
    FW_ERR_NO_SYNC = -8,          // the SYN was not acknowledged
    FW_ERR_ID_WRITE = -9,
    FW_ERR_NO_ID_ACK = -10,       // the identifier was not acknowledged
    FW_ERR_RECORD_WRITE = -11,
    FW_ERR_TOO_MANY_ERRORS = -12, // ten failed replies in the transfer
    FW_ERR_DEVICE_FATAL = -13,
    FW_ERR_BUFFER_FULL = -14,
    FW_ERR_FILE_READ = -15,       // a read of the file failed during the transfer
    FW_ERR_INTERRUPTED = -16,     // the operator's Ctrl-C stopped it
};

// Checks the file, then updates the firmware through the loader on port, the
// name open_port takes ("COMn", or the device's path where the platform names
// devices so), which becomes port_name once the file has passed its check.
int firmware(const char* port, const char* file_name);
void fw_progress(uint32_t done, uint32_t total);
