#include "download/dwn_sequence.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "config/conf_image.h"
#include "console/console.h"
#include "download/dwn_packet.h"
#include "rules/rule_table.h"
#include "serial/dev_connection.h"
#include "serial/serial_port.h"

namespace {

constexpr int CMD_PKT_LEN = 21;
constexpr int CMD_NAME_AT = 2;
constexpr int CMD_SIZE_AT = 14;
constexpr int CMD_SIZE_DIGITS = 5;
constexpr int CONF_BYTES = 120;
constexpr int RULE_BYTES = 28;
constexpr int DRAIN_SIZE = 64;
constexpr int DRAIN_WAIT_MS = 10;

static_assert(sizeof(conf_image_t) == CONF_BYTES);
static_assert(sizeof(rule_entry) == RULE_BYTES);

using command_packet = std::array<uint8_t, CMD_PKT_LEN>;

// A command packet: the name NUL-padded at offset 2, the transfer size as
// decimal digits at offset 14 (size < 0: the five bytes stay 0).
command_packet build_command(const char* name, int size) {
    command_packet packet{};
    size_t name_len = std::strlen(name);
    std::memcpy(packet.data() + CMD_NAME_AT, name, name_len);
    if (size >= 0) {
        char digits[16];
        int n = std::snprintf(digits, sizeof digits, "%d", size);
        if (n > CMD_SIZE_DIGITS) n = CMD_SIZE_DIGITS;
        if (n > 0) std::memcpy(packet.data() + CMD_SIZE_AT, digits, static_cast<size_t>(n));
    }
    return packet;
}

}  // namespace

int dwn_sequence() {
    std::array<uint8_t, DRAIN_SIZE> scratch{};
    // Deliberate (single-read-away): what the device said after the command goes in one short read, no drain.
    read_port(port_name, scratch.data(), DRAIN_SIZE, DRAIN_WAIT_MS);

    command_packet conf = build_command("conf", CONF_BYTES);
    int result = dwn_write_pkt(conf.data(), CMD_PKT_LEN);
    if (result != CMD_PKT_LEN) {
        con_print("\a\aError: writing Configuration command failed: %d\n", result);
        return DWN_SEQUENCE_ERR_CONF_COMMAND;
    }
    result = dwn_write_file(reinterpret_cast<const uint8_t*>(&conf_image), CONF_BYTES);
    if (result != CONF_BYTES) {
        con_print("\a\aError: writing Configuration file failed: %d\n", result);
        return DWN_SEQUENCE_ERR_CONF_DATA;
    }
    con_print("Downloading Configuration succeeded\n");

    // The image's count never exceeds the table when the parser wrote it; a
    // larger one must still not read past the table.
    int records = conf_image.rule_count;
    if (records > RULE_MAX) records = RULE_MAX;
    int size = records * RULE_BYTES;
    command_packet rules = build_command("rules", size);
    result = dwn_write_pkt(rules.data(), CMD_PKT_LEN);
    if (result != CMD_PKT_LEN) {
        con_print("\a\aError: writing Rules command failed: %d\n", result);
        return DWN_SEQUENCE_ERR_RULES_COMMAND;
    }
    if (records != 0) {
        result = dwn_write_file(reinterpret_cast<const uint8_t*>(rule_table.data()), size);
        if (result != size) {
            con_print("\a\aError: writing Rules file failed: %d\n", result);
            return DWN_SEQUENCE_ERR_RULES_DATA;
        }
    }
    con_print("Downloading Rules succeeded\n");

    command_packet finish = build_command("-cestfini-", -1);
    result = dwn_write_pkt(finish.data(), CMD_PKT_LEN);
    if (result != CMD_PKT_LEN) {
        con_print("\a\aError: error writing finish pkt: %d\n", result);
        return DWN_SEQUENCE_ERR_FINISH;
    }
    return DWN_SEQUENCE_OK;
}

int dwn_download() {
    static const char command[] = "download\r\n";
    port_interrupt_catch(true);
    if (write_port(port_name, command, sizeof command - 1) < 0) {
        port_interrupt_catch(false);
        con_print("\a\aError: wrote Download command, got error on port %s\n", port_name);
        return DWN_DOWNLOAD_ERR_COMMAND;
    }
    int result = dwn_sequence();
    port_interrupt_catch(false);
    if (result != DWN_SEQUENCE_OK) con_print("\a\aError: Download failed: %d\n", result);
    // Deliberate (download-disconnects): the connection ends after every download, failed or not.
    // The device leaves its command interpreter for the download and only a
    // power cycle brings it back, so the connection ends here whatever happened.
    con_print("\a\aPlease Power OFF the Quorvantis and power it back on to RESET it.\n");
    dev_disconnect();
    con_print("Disconnected\n");
    return result == DWN_SEQUENCE_OK ? DWN_DOWNLOAD_OK : DWN_DOWNLOAD_ERR_SEQUENCE;
}
