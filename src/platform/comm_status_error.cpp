#include "platform/comm_status_error.h"

#include <array>

namespace {
// The Win32 codes that the kernel gives for the states of a device that went
// away, with the driver status each comes from.
constexpr std::array<uint32_t, 12> DEVICE_GONE = {
    2,     // ERROR_FILE_NOT_FOUND: no such device (STATUS_NO_SUCH_DEVICE)
    5,     // ERROR_ACCESS_DENIED: the device is being removed (STATUS_DELETE_PENDING)
    6,     // ERROR_INVALID_HANDLE: the handle no longer leads to a device
    21,    // ERROR_NOT_READY: not connected or powered off (Wine: a vanished device)
    22,    // ERROR_BAD_COMMAND: a USB serial driver after surprise removal (STATUS_INVALID_DEVICE_STATE)
    31,    // ERROR_GEN_FAILURE: a device that has stopped functioning (STATUS_UNSUCCESSFUL)
    55,    // ERROR_DEV_NOT_EXIST: the device no longer exists
    433,   // ERROR_NO_SUCH_DEVICE
    995,   // ERROR_OPERATION_ABORTED: the driver cancelled the request on removal (STATUS_CANCELLED)
    1117,  // ERROR_IO_DEVICE: an I/O device error
    1167,  // ERROR_DEVICE_NOT_CONNECTED
    1617,  // ERROR_DEVICE_REMOVED
};
}  // namespace

bool comm_status_device_gone(uint32_t win32_error) {
    for (uint32_t code : DEVICE_GONE) {
        if (code == win32_error) return true;
    }
    return false;
}
