#include "fake_serial.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "module_state.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

namespace {
fake_serial the_fake;
int timeouts_calls = 0;
int read_calls = 0;
int properties_calls = 0;
int write_calls = 0;
serial_timeouts installed{};  // as the last set_timeouts that succeeded gave them

std::string timeouts_text(const serial_timeouts& t) {
    return "timeouts " + std::to_string(t.read_interval) + " " + std::to_string(t.read_multiplier) + " " +
           std::to_string(t.read_constant) + " " + std::to_string(t.write_multiplier) + " " +
           std::to_string(t.write_constant);
}

serial_handle f_open(const char* name) {
    the_fake.log.push_back(std::string("open ") + name);
    the_fake.opened.push_back(name);
    if (the_fake.open_fails) {
        plat_save_error(the_fake.fail_errno);
        return SERIAL_INVALID_HANDLE;
    }
    ++the_fake.open_count;
    return FAKE_HANDLE;
}

bool f_get_properties(serial_handle, uint32_t block_size, serial_caps* caps) {
    ++properties_calls;
    the_fake.log.push_back("properties " + std::to_string(block_size));
    the_fake.property_blocks.push_back(block_size);
    if (the_fake.properties_fail_at == properties_calls) {
        plat_save_error(the_fake.fail_errno);
        return false;
    }
    *caps = the_fake.caps;
    if (properties_calls == 1) caps->packet_length = the_fake.first_packet_length;
    return true;
}

bool f_get_state(serial_handle, serial_settings* s) {
    the_fake.log.push_back("get_state");
    if (the_fake.get_state_fails) {
        plat_save_error(the_fake.fail_errno);
        return false;
    }
    *s = the_fake.state;
    return true;
}

bool f_set_state(serial_handle, const serial_settings* s) {
    the_fake.log.push_back("set_state " + std::to_string(s->baud));
    the_fake.states_set.push_back(*s);
    if (the_fake.set_state_fails) {
        plat_save_error(the_fake.fail_errno);
        return false;
    }
    the_fake.state = *s;
    return true;
}

bool f_set_timeouts(serial_handle, const serial_timeouts* t) {
    ++timeouts_calls;
    the_fake.log.push_back(timeouts_text(*t));
    the_fake.timeouts.push_back(*t);
    if (the_fake.timeouts_fail_at == timeouts_calls) {
        plat_save_error(the_fake.fail_errno);
        return false;
    }
    installed = *t;
    return true;
}

bool f_read(serial_handle, void* buf, uint32_t size, uint32_t* got) {
    ++read_calls;
    the_fake.log.push_back("read " + std::to_string(size));
    the_fake.reads.push_back(size);
    the_fake.read_timeouts.push_back(installed);
    *got = 0;
    if (the_fake.read_fails_at == read_calls) {
        plat_save_error(the_fake.fail_errno);
        return false;
    }
    if (the_fake.interrupt_at_read == read_calls) plat_interrupt_raise();
    if (plat_interrupted()) return true;
    if (the_fake.chunks.empty()) {
        if (the_fake.endless) {
            std::memset(buf, the_fake.endless_byte, size);
            *got = size;
        }
        return true;
    }
    std::vector<uint8_t>& front = the_fake.chunks.front();
    uint32_t n = front.size() < size ? static_cast<uint32_t>(front.size()) : size;
    if (n > 0) std::memcpy(buf, front.data(), n);
    front.erase(front.begin(), front.begin() + n);
    if (front.empty() || the_fake.chunk_rest_lost) the_fake.chunks.pop_front();
    *got = n;
    return true;
}

bool f_write(serial_handle, const void* buf, uint32_t size, uint32_t* written) {
    const uint8_t* bytes = static_cast<const uint8_t*>(buf);
    std::vector<uint8_t> data(bytes, bytes + size);
    ++write_calls;
    the_fake.log.push_back("write");
    the_fake.writes.push_back(data);
    *written = 0;
    if (the_fake.write_fails || the_fake.write_fails_at == write_calls) {
        plat_save_error(the_fake.fail_errno);
        return false;
    }
    if (the_fake.write_short >= 0) {
        *written = static_cast<uint32_t>(the_fake.write_short) < size ? static_cast<uint32_t>(the_fake.write_short)
                                                                        : size;
        plat_save_error(110);  // ETIMEDOUT
        return true;
    }
    *written = size;
    for (auto it = the_fake.triggers.begin(); it != the_fake.triggers.end(); ++it) {
        if (it->written == data) {
            for (const auto& r : it->replies) the_fake.chunks.push_back(r);
            if (it->once) the_fake.triggers.erase(it);
            break;
        }
    }
    if (the_fake.answer) {
        for (auto& r : the_fake.answer(data)) the_fake.chunks.push_back(std::move(r));
    }
    return true;
}

void f_purge(serial_handle) {
    the_fake.log.push_back("purge");
    ++the_fake.purges;
    if (the_fake.purge_clears) the_fake.chunks.clear();
}

void f_close(serial_handle) {
    the_fake.log.push_back("close");
    ++the_fake.closes;
    --the_fake.open_count;
}

const serial_backend fake_backend = {
    .open = f_open,
    .get_properties = f_get_properties,
    .get_state = f_get_state,
    .set_state = f_set_state,
    .set_timeouts = f_set_timeouts,
    .read = f_read,
    .write = f_write,
    .purge = f_purge,
    .close = f_close,
};
}  // namespace

void fake_serial::on_write(const std::string& written, const std::vector<std::string>& replies) {
    fake_trigger t;
    t.written.assign(written.begin(), written.end());
    for (const auto& r : replies) t.replies.emplace_back(r.begin(), r.end());
    triggers.push_back(t);
}

std::string fake_serial::written_text() const {
    std::string all;
    for (const auto& w : writes) all.append(w.begin(), w.end());
    return all;
}

fake_serial& fake_start() {
    the_fake = fake_serial{};
    timeouts_calls = 0;
    read_calls = 0;
    properties_calls = 0;
    write_calls = 0;
    installed = serial_timeouts{};
    serial_backend_set(&fake_backend);
    return the_fake;
}

fake_serial& fake_install() {
    fake_start();
    port_state_reset();
    return the_fake;
}

void fake_remove() {
    serial_backend_set(nullptr);
    port_handle = SERIAL_INVALID_HANDLE;
}
