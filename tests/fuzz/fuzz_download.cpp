// One download packet, or a block cut into data packets, against fuzzed
// replies. Input: one byte naming the write that fails (0 none), one byte
// choosing the kind and size, the payload, then the reply script.
#include <array>
#include <cstring>

#include "download/dwn_packet.h"
#include "fake_serial.h"
#include "fuzz_support.h"
#include "serial/serial_port.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_setup();
    if (size < 2) return 0;
    uint32_t fail_write = data[0] % 8;
    uint8_t choice = data[1];
    data += 2;
    size -= 2;
    bool whole_file = (choice & 0x80) != 0;
    size_t payload = whole_file ? 1 + (choice & 0x7F) * 3u : 1 + (choice & 0x7F) % 60;
    std::array<uint8_t, 512> buffer{};
    size_t take = payload < size ? payload : size;
    if (take > 0) std::memcpy(buffer.data() + (whole_file ? 0 : 2), data, take);
    // The download runs on the port the connection opened; it neither opens
    // nor closes it.
    std::memcpy(port_name, "COM1", 5);
    port_handle = FAKE_HANDLE;
    fuzz_device_start(data + take, size - take, fail_write);
    if (whole_file) {
        int count = static_cast<int>(payload);
        int rc = dwn_write_file(buffer.data(), count);
        if (rc != count && rc != -3) fuzz_fail("dwn_write_file result outside its codes");
    } else {
        int length = static_cast<int>(payload) + 4;
        int rc = dwn_write_pkt(buffer.data(), length);
        if (rc != length && (rc < -6 || rc > -3)) fuzz_fail("dwn_write_pkt result outside its codes");
        for (size_t i = static_cast<size_t>(length); i < buffer.size(); ++i) {
            if (buffer[i] != 0) fuzz_fail("dwn_write_pkt wrote past the packet");
        }
    }
    if (port_handle != FAKE_HANDLE) fuzz_fail("the download closed the port");
    port_handle = SERIAL_INVALID_HANDLE;
    fuzz_device_stop();
    return 0;
}
