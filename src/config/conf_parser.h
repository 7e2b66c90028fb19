// Reading a station configuration file into the live configuration image.
#pragma once

// What conf_process returns; it prints every message itself.
enum conf_result : int {
    CONF_OK = 0,                // the whole file was read without error
    CONF_ERR_NO_PATH = -1,
    CONF_ERR_OPEN = -2,         // the file cannot be opened or read
    CONF_ERR_READ = -4,         // a read failed in the middle of the file
    CONF_ERR_KEYWORD = -7,      // a keyword that is unknown or ambiguous
    CONF_ERR_COMMENTED = -8,    // an argument stands after the comment character
    CONF_ERR_ARGUMENT = -11,    // an argument missing at the end of the line, or invalid
    CONF_ERR_NO_HANDLER = -70,  // a keyword code without a handler
};

int conf_process(const char* path);
