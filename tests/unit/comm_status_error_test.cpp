// Which failures of the request for a port's error state say that the device
// has gone: only those end a read as failed; a driver that cannot answer the
// request leaves an ordinary time-out a time-out.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/comm_status_error.h"

TEST(CommStatusError, DeviceGoneOrJustNoAnswer) {
    struct row {
        uint32_t code;
        const char* name;
        bool gone;
    };
    const row rows[] = {
        // A device that went away, as Windows and its drivers report it.
        {21, "ERROR_NOT_READY (Wine: the device vanished)", true},
        {5, "ERROR_ACCESS_DENIED (removal pending)", true},
        {22, "ERROR_BAD_COMMAND (USB adapter after surprise removal)", true},
        {1617, "ERROR_DEVICE_REMOVED", true},
        {31, "ERROR_GEN_FAILURE (device not functioning)", true},
        {995, "ERROR_OPERATION_ABORTED (request cancelled on removal)", true},
        {1167, "ERROR_DEVICE_NOT_CONNECTED", true},
        {2, "ERROR_FILE_NOT_FOUND (no such device)", true},
        {55, "ERROR_DEV_NOT_EXIST", true},
        {6, "ERROR_INVALID_HANDLE", true},
        // A driver that does not support the request: a plain time-out.
        {1, "ERROR_INVALID_FUNCTION", false},
        {50, "ERROR_NOT_SUPPORTED", false},
        {87, "ERROR_INVALID_PARAMETER", false},
        {120, "ERROR_CALL_NOT_IMPLEMENTED", false},
        {1460, "ERROR_TIMEOUT", false},
        {0, "no error code at all", false},
    };
    for (const row& r : rows) {
        EXPECT_EQ(comm_status_device_gone(r.code), r.gone) << r.code << " " << r.name;
    }
}
