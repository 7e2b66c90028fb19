#include "shell/device_commands.h"

#include "common/number_text.h"
#include "config/conf_image.h"
#include "console/console.h"
#include "download/dwn_sequence.h"
#include "firmware/fw_loader.h"
#include "rules/rule_table.h"
#include "serial/dev_connection.h"
#include "serial/serial_port.h"
#include "shell/command_args.h"

const std::array<uint32_t, 5> connect_rates = {4800, 9600, 19200, 38400, 57600};

namespace {
constexpr int DOWNLOAD_ANSWER_SIZE = 256;
constexpr int FIRMWARE_ANSWER_SIZE = 40;

// Records the speed a connect or baud command asked for in last_baud; false,
// after the invalid-rate message, unless it is one of the connect rates.
bool request_speed(int32_t speed) {
    last_baud = speed;
    for (uint32_t rate : connect_rates) {
        if (static_cast<int64_t>(rate) == speed) return true;
    }
    con_print("\a\aError: invalid baud rate: %d\n", static_cast<int>(speed));
    return false;
}

// One of the download's two warnings: true when the operator answered yes.
bool download_confirmed(const char* question) {
    char answer[DOWNLOAD_ANSWER_SIZE];
    int n = con_ask(answer, sizeof answer, "%s", question);
    if (n == CON_END_OF_INPUT) {
        con_print("\n");
        con_print("\a\aDownload Aborted!\n");
        return false;
    }
    if (n > 0 && (answer[0] == 'y' || answer[0] == 'Y')) return true;
    con_print("\a\aDownload Aborted!\n");
    return false;
}
}  // namespace

void cmd_connect(word_cursor& words) {
    if (dev_already_connected()) return;
    char* word = word_required(words, COMMAND_SEPARATORS, "\a\aError: missing argument: com_port\n");
    if (word == nullptr) return;
    int number = port_number_arg(word);
    if (number == PORT_NUMBER_NONE) return;
    char* speed_word = word_next(words, COMMAND_SEPARATORS);
    if (!request_speed(speed_word != nullptr ? text_whole(speed_word)
                                              : static_cast<int32_t>(conf_default_connect_baud()))) {
        return;
    }
    port_arg_name(word, number, port_name, sizeof port_name);
    dev_connect(last_baud);
}

void cmd_baud(word_cursor& words) {
    if (connected != 1) {
        con_print("\a\aError: must be Connected before changing the Baud!\n");
        return;
    }
    char* word = word_required(words, COMMAND_SEPARATORS, "\a\aError: missing argument: baud\n");
    if (word == nullptr) return;
    if (!request_speed(text_whole(word))) return;
    dev_baud(last_baud);
}

void cmd_disconnect() {
    if (connected == 1) {
        dev_disconnect();
        con_print("Disconnected\n");
        return;
    }
    con_print("\a\aError: not Connected!\n");
}

void cmd_download() {
    if (!connected) {
        con_print("\a\aError: not Connected!\n");
        return;
    }
    if (!conf_processed &&
        !download_confirmed("\a\aWarning: Configuration file has not yet been processed!\n"
                            "Do you want to use the Default Configuration? (yes|no) [no]: ")) {
        return;
    }
    if (!rules_processed &&
        !download_confirmed("\n\a\aWarning: Rules file has not yet been processed!\n"
                            // Deliberate (do-you-want): two blanks in "Do you  want".
                            "Do you  want to use the Implicit Rule only without specific rules?\n"
                            "(yes|no) [no]: ")) {
        return;
    }
    dwn_download();
}

void cmd_firmware(word_cursor& words) {
    if (connected != 0) {
        con_print("\a\aError: already Connected, Disconnect first!\n");
        return;
    }
    const char* port_word =
        word_required(words, COMMAND_SEPARATORS, "\a\aError: missing arguments: com_port file_name\n");
    if (port_word == nullptr) return;
    int port = port_number_arg(port_word);
    if (port == PORT_NUMBER_NONE) return;
    const char* file_name = word_file_name(words);
    if (file_name == nullptr) return;

    char answer[FIRMWARE_ANSWER_SIZE] = {};
    int got = con_ask(answer, sizeof answer,
                      "\a\aWARNING! This will alter the Quorvantis firmware!\nDo you want to continue (n or y)? [n]: ");
    if (got == CON_END_OF_INPUT) {
        con_print("\n");
        con_print("Quorvantis Firmware will NOT be updated!\n");
        return;
    }
    if (answer[0] != 'y' && answer[0] != 'Y') {
        con_print("Quorvantis Firmware will NOT be updated!\n");
        return;
    }
    char port_to_open[PORT_NAME_SIZE];
    port_arg_name(port_word, port, port_to_open, sizeof port_to_open);
    if (firmware(port_to_open, file_name) == FW_OK) {
        con_print("\a\aFirmware update succeeded!\n\nPower cycle Quorvantis!\nDon't forget to Configure "
                  "Operating Parameters, Process Rules\nand Download these to the Quorvantis!\n");
    } else {
        // Deliberate (firmware-failed-no-bells): the firmware's failure line has no bells.
        con_print("Error: Firmware update failed!\n\tPower cycle Quorvantis and try again!\n");
    }
}
