// The download command and its packet sequence.
#pragma once

// What dwn_sequence returns: which step of the download failed.
enum dwn_sequence_result : int {
    DWN_SEQUENCE_OK = 0,  // every packet acknowledged
    DWN_SEQUENCE_ERR_CONF_COMMAND = -1,
    DWN_SEQUENCE_ERR_CONF_DATA = -2,
    DWN_SEQUENCE_ERR_RULES_COMMAND = -3,
    DWN_SEQUENCE_ERR_RULES_DATA = -4,
    DWN_SEQUENCE_ERR_FINISH = -5,
};

int dwn_sequence();
void cmd_download();
