#include "dwn_line_fake.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/serial_port.h"
#include "shell/console.h"

namespace dwn_fake {
namespace {

line_state state;

serial_handle f_open(const char*) { return 7; }
bool f_props(serial_handle, uint32_t, serial_caps*) { return true; }
bool f_get_state(serial_handle, serial_settings*) { return true; }
bool f_set_state(serial_handle, const serial_settings*) { return true; }
bool f_set_timeouts(serial_handle, const serial_timeouts* t) {
    state.read_constant = t->read_constant;
    return true;
}
bool f_read(serial_handle, void* buf, uint32_t size, uint32_t* got) {
    state.read_sizes.push_back(size);
    state.read_constants.push_back(state.read_constant);
    uint32_t n = 0;
    auto* out = static_cast<uint8_t*>(buf);
    while (n < size && !state.pending.empty()) {
        out[n++] = state.pending.front();
        state.pending.pop_front();
    }
    *got = n;
    return true;
}
bool f_write(serial_handle, const void* buf, uint32_t size, uint32_t* written) {
    const auto* bytes = static_cast<const uint8_t*>(buf);
    state.writes.emplace_back(bytes, bytes + size);
    if (state.fail_write_number == static_cast<int>(state.writes.size())) {
        *written = 0;
        return false;
    }
    *written = size;
    // Packets (not the text command) are answered from the script, ACK after it.
    bool text = size >= 2 && bytes[0] == 'd' && bytes[1] == 'o';
    if (!text) {
        int reply = state.script_at < state.script.size() ? state.script[state.script_at] : 0x06;
        ++state.script_at;
        if (reply != NO_REPLY) state.pending.push_back(static_cast<uint8_t>(reply));
    }
    return true;
}
void f_purge(serial_handle) { state.pending.clear(); }
void f_close(serial_handle) { ++state.closes; }

const serial_backend backend = {
    .open = f_open,
    .get_properties = f_props,
    .get_state = f_get_state,
    .set_state = f_set_state,
    .set_timeouts = f_set_timeouts,
    .read = f_read,
    .write = f_write,
    .purge = f_purge,
    .close = f_close,
};

FILE* out_stream = nullptr;
FILE* in_stream = nullptr;
char* out_text = nullptr;
size_t out_size = 0;
std::string in_text;

}  // namespace

line_state& line() { return state; }

void install(const std::vector<int>& script) {
    state = line_state{};
    state.script = script;
    serial_backend_set(&backend);
    std::snprintf(port_name, sizeof port_name, "COM1");
    port_handle = 7;
    port_settings.baud = 19200;
}

void remove() {
    serial_backend_set(nullptr);
    port_handle = SERIAL_INVALID_HANDLE;
}

std::vector<uint8_t> frame(const std::vector<uint8_t>& payload) {
    size_t length = payload.size() + 4;
    std::vector<uint8_t> pkt(length - 2, 0);
    pkt[0] = static_cast<uint8_t>(length >> 8);
    pkt[1] = static_cast<uint8_t>(length & 0xFF);
    for (size_t i = 0; i < payload.size(); ++i) pkt[2 + i] = payload[i];
    uint16_t reg = 0x1D0F;
    for (uint8_t b : pkt) {
        reg ^= static_cast<uint16_t>(b << 8);
        for (int i = 0; i < 8; ++i) reg = (reg & 0x8000) ? static_cast<uint16_t>((reg << 1) ^ 0x1021) : static_cast<uint16_t>(reg << 1);
    }
    pkt.push_back(static_cast<uint8_t>(reg >> 8));
    pkt.push_back(static_cast<uint8_t>(reg & 0xFF));
    return pkt;
}

std::vector<uint8_t> hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < text.size();) {
        while (i < text.size() && text[i] == ' ') ++i;
        if (i >= text.size()) break;
        bytes.push_back(static_cast<uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

void capture_begin(const std::string& input) {
    out_stream = open_memstream(&out_text, &out_size);
    con_set_output(out_stream);
    in_text = input;
    // An empty input is at its end at once.
    in_stream = in_text.empty() ? std::fopen("/dev/null", "r") : fmemopen(in_text.data(), in_text.size(), "r");
    con_set_input(in_stream);
}

std::string capture_end() {
    con_set_output(nullptr);
    con_set_input(nullptr);
    std::fclose(out_stream);
    std::fclose(in_stream);
    std::string text(out_text, out_size);
    std::free(out_text);
    out_text = nullptr;
    return text;
}

}  // namespace dwn_fake
