// The download command and its packet sequence.
#pragma once

int dwn_sequence();
void cmd_download();
