// Reading a rules file into the rule table.
#pragma once

// 0 when the whole file was read without error, else a negative code; prints
// every message itself.
int rules_process(const char* path);
