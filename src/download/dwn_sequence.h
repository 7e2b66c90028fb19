// The download to the connected device: the download command and the packet
// sequence that follows it.
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

// What dwn_download returns.
enum dwn_download_result : int {
    DWN_DOWNLOAD_OK = 0,             // every packet acknowledged; the connection has ended
    DWN_DOWNLOAD_ERR_COMMAND = -1,   // the download command cannot be written; still connected
    DWN_DOWNLOAD_ERR_SEQUENCE = -2,  // the packet sequence failed (its code printed); the connection has ended
};

// The download on the connected device, once the operator has agreed to it:
// the command text "download", then dwn_sequence, with the operator's Ctrl-C
// caught (port_interrupt_catch). The device then waits for its power cycle,
// so the connection ends whatever the sequence did.
int dwn_download();
