#include "shell/command_shell.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "common/word_scan.h"
#include "common/word_table.h"
#include "config/conf_image.h"
#include "config/conf_parser.h"
#include "console/console.h"
#include "platform/platform.h"
#include "rules/rule_table.h"
#include "rules/rules_parser.h"
#include "serial/dev_connection.h"
#include "shell/angles_help.h"
#include "shell/command_args.h"
#include "shell/device_commands.h"
#include "version.h"

namespace {

// Command codes; one numbering serves the shell, the configuration keywords
// and the rule commands, so no code stands for two things.
enum command_code : int {
    CMD_DOWNLOAD = 0,
    CMD_FIRMWARE = 1,
    CMD_BAUD = 5,
    CMD_EXIT = 8,
    CMD_HELP = 22,
    CMD_DCONFIGURE = 23,
    CMD_DRULES = 24,
    CMD_ANGLES = 26,
    CMD_CONFIGURE = 28,
    CMD_RULES = 29,
    CMD_CONNECT = 30,
    CMD_DISCONNECT = 31,
    CMD_REPEAT = 33,
};

struct command_row {
    int shown;
    int code;
    const char* name;
    const char* args;
    const char* comment;
};

constexpr std::array<command_row, 16> command_table = {{
    {1, CMD_HELP, "help", "", "Displays this summary (alias ?)"},
    {0, CMD_HELP, "?", "", "Displays this summary"},
    {1, CMD_REPEAT, ".", "", "Repeats the previous command"},
    {1, CMD_ANGLES, "angles", "", "Displays the Angles format used for Lat and Lon"},
    {1, CMD_BAUD, "baud", "baud", "Changes the baud rates on host and Quorvantis\n\t\t\t\tonce connected. Default [ ]"},
    {1, CMD_CONFIGURE, "configure", "file_name", "Reads a Configuration file"},
    {1, CMD_DCONFIGURE, "dconfigure", "", "Displays the Configuration"},
    {1, CMD_RULES, "rules", "file_name", "Reads a Rules file"},
    {1, CMD_DRULES, "drules", "", "Displays the Rules"},
    {1, CMD_CONNECT, "connect", "com_port [baud]",
     "Connect to Quorvantis at optional baud\n\t\t\t\t(8 bits No Parity 1 Stop)"},
    {1, CMD_DISCONNECT, "disconnect", "", "Disconnect from the Quorvantis"},
    {1, CMD_DOWNLOAD, "download", "", "Download Configuration and Rules to Quorvantis"},
    {1, CMD_FIRMWARE, "firmware", "com_port file_name", "Update Quorvantis firmware from firmware file"},
    {1, CMD_EXIT, "exit", "", "Exits this program (aliases quit, x)"},
    {0, CMD_EXIT, "quit", "", "Same as exit"},
    {0, CMD_EXIT, "x", "", "Same as exit"},
}};

// The command words for their completion, in table order, nullptr after them.
constexpr auto command_words = [] {
    std::array<const char*, command_table.size() + 1> words{};
    for (size_t i = 0; i < command_table.size(); ++i) words[i] = command_table[i].name;
    return words;
}();

// Deliberate (pieces-255): a longer line is read in pieces of 255 characters, each a command line of its own.
constexpr int LINE_SIZE = 256;  // a line of input holds at most 255 characters
char previous_line[LINE_SIZE];

void run_file_command(word_cursor& words, int (*process)(const char*), const char* failure) {
    const char* file_name = word_file_name(words);
    if (file_name == nullptr) return;
    if (process(file_name) != 0) con_print("%s", failure);
}

// Prints the command summary, with the default connect speed bracketed.
void show_help() {
    uint32_t default_baud = conf_default_connect_baud();
    con_print("\n\t\tCommand Summary:\n%-10s %-20s %s\n", "Command", "Arguments", "Comments");
    for (const command_row& row : command_table) {
        if (row.shown == 0) continue;
        con_print("%-10s %-20s %s\n", row.name, row.args, row.comment);
        if (row.code == CMD_BAUD) {
            con_print("%-10s Valid Baud Rates:\t", "");
            for (uint32_t rate : connect_rates) {
                if (rate == default_baud) {
                    con_print("[%ld] ", static_cast<long>(rate));
                } else {
                    con_print("%ld ", static_cast<long>(rate));
                }
            }
            con_print("\n\n");
        }
    }
}

// Runs one command; false when the program is to end.
bool dispatch(int code, word_cursor& words) {
    switch (code) {
    case CMD_HELP:
        show_help();
        break;
    case CMD_ANGLES:
        con_print("%s\n", angles_help);
        break;
    case CMD_DCONFIGURE:
        conf_display();
        break;
    case CMD_DRULES:
        rules_display();
        break;
    case CMD_CONFIGURE:
        run_file_command(words, conf_process, "\a\aError: Configuration processing failed\n");
        break;
    case CMD_RULES:
        run_file_command(words, rules_process, "\a\aError: Rule processing failed\n");
        break;
    case CMD_CONNECT:
        cmd_connect(words);
        break;
    case CMD_BAUD:
        cmd_baud(words);
        break;
    case CMD_DISCONNECT:
        cmd_disconnect();
        break;
    case CMD_DOWNLOAD:
        cmd_download();
        break;
    case CMD_FIRMWARE:
        cmd_firmware(words);
        break;
    case CMD_EXIT:
        return false;
    default:
        // Deliberate (repeat-row): a "." after a blank finds the repeat row, which has no action: an internal error.
        con_print("\a\aInternal Error: command %d is invalid!\n", code);
        break;
    }
    return true;
}

constexpr edit_completion NO_COMPLETION = {EDIT_NOTHING, nullptr, false, "", '\0'};

// A file name ends only at a comma or a tab: nothing follows a completed one,
// since a blank would become part of it. A name begun with a double quote (the
// commands take one pair off) completes inside it and gets its closing quote.
edit_completion file_name_at(char* copy, int cursor, word_cursor& words) {
    const char* name = word_next(words, FILE_NAME_SEPARATORS);
    if (name == nullptr) return {cursor, nullptr, false, FILE_NAME_SEPARATORS, '\0'};
    if (words.next != nullptr) return NO_COMPLETION;  // the cursor is past the file name
    if (name[0] == '"') return {static_cast<int>(name - copy) + 1, nullptr, false, FILE_NAME_SEPARATORS, '"'};
    return {static_cast<int>(name - copy), nullptr, false, FILE_NAME_SEPARATORS, '\0'};
}

// The port word of connect and firmware is completed where it is a device
// path. *done: the word is over and the cursor is past it.
edit_completion port_at(char* copy, word_cursor& words, bool* done) {
    const char* port = word_next(words, COMMAND_SEPARATORS);
    *done = port != nullptr && words.next != nullptr;
    if (port == nullptr || *done || !plat_port_path(port)) return NO_COMPLETION;
    return {static_cast<int>(port - copy), nullptr, true, COMMAND_SEPARATORS, ' '};
}

// Reads and runs command lines until exit or the end of input.
int run_commands() {
    char line[LINE_SIZE] = {};
    for (;;) {
        int n = con_read_command("Command> ", line, LINE_SIZE);
        if (n == CON_END_OF_INPUT) {
            con_print("\n");
            return SHELL_END_OF_INPUT;
        }
        if (n == 1 && line[0] == '\n') continue;
        // A CR LF line end arrives as a line feed (con_read_line).
        if (line[n - 1] == '\n') line[--n] = '\0';

        if (line[0] == '.') {
            std::memcpy(line, previous_line, sizeof line);
        } else {
            std::memcpy(previous_line, line, sizeof previous_line);
        }

        word_cursor words = word_start(line);
        const char* word = word_next(words, COMMAND_SEPARATORS);
        if (word == nullptr) continue;

        int row = word_lookup(command_table, &command_row::name, word);
        if (row == WORD_NONE) {
            con_print("\a\aError: unknown command: %s\n", word);
            continue;
        }
        if (row == WORD_AMBIGUOUS) {
            con_print("\a\aError: ambiguous command: %s\n", word);
            continue;
        }
        if (!dispatch(command_table[static_cast<size_t>(row)].code, words)) return SHELL_EXIT;
    }
}

}  // namespace

edit_completion command_completion(const char* line, int cursor) {
    // Only the first piece of a long line is this command's (the rest is
    // read as lines of their own), and a line that begins with '.' repeats
    // the previous one whatever follows.
    if (line == nullptr || cursor < 0 || cursor >= LINE_SIZE || (cursor > 0 && line[0] == '.')) {
        return NO_COMPLETION;
    }
    char copy[LINE_SIZE];
    std::memcpy(copy, line, static_cast<size_t>(cursor));
    copy[cursor] = '\0';
    word_cursor words = word_start(copy);
    const char* word = word_next(words, COMMAND_SEPARATORS);
    if (word == nullptr || words.next == nullptr) {
        // The cursor is in the command word (or no word has begun).
        int start = word == nullptr ? cursor : static_cast<int>(word - copy);
        return {start, command_words.data(), false, COMMAND_SEPARATORS, ' '};
    }
    int row = word_lookup(command_table, &command_row::name, word);
    if (row < 0) return NO_COMPLETION;
    bool port_done = false;
    switch (command_table[static_cast<size_t>(row)].code) {
    case CMD_CONFIGURE:
    case CMD_RULES:
        return file_name_at(copy, cursor, words);
    case CMD_CONNECT:
        return port_at(copy, words, &port_done);
    case CMD_FIRMWARE: {
        edit_completion port = port_at(copy, words, &port_done);
        return port_done ? file_name_at(copy, cursor, words) : port;
    }
    default:
        return NO_COMPLETION;
    }
}

int command_shell() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);

    con_edit_start(command_completion);

    con_print("Quorvantis PC Host Utility %s, written by the quorvantis-host developers\n"
              "for the Quorvantis packet-radio digipeater\n",
              VERSION_TEXT);
    conf_reset();
    // '.' repeats a line of this run only.
    std::memset(previous_line, 0, sizeof previous_line);
    show_help();
    con_print("\n");

    int status = run_commands();
    // Deliberate (exit-closes): a connection still open is closed on the way out, its port put back as it was.
    dev_disconnect();
    con_edit_end();
    return status;
}
