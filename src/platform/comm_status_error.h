// Which failures of the Windows request for a port's error state
// (ClearCommError) say that the device has gone. Plain numbers, so that the
// table builds and is tested on every platform; only the Win32 backend uses it.
#pragma once

#include <cstdint>

// True when the Win32 error code of a failed ClearCommError means that the
// device is no longer there (unplugged, removed, powered off). Any other
// failure, above all of a driver that does not support the request
// (ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED, ERROR_INVALID_PARAMETER),
// says nothing about the device.
bool comm_status_device_gone(uint32_t win32_error);
