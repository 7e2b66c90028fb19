#include "platform/serial_backend.h"

namespace {
const serial_backend* installed = nullptr;
}  // namespace

const serial_backend* serial_backend_get() {
    return installed != nullptr ? installed : serial_os_backend();
}

void serial_backend_set(const serial_backend* backend) { installed = backend; }
