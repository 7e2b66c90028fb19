// What the Windows serial backend and the console's Ctrl-C handler share. A
// synchronous ReadFile waits for its whole time-out (up to 20 s at connect),
// so the handler, which runs on a thread of its own, cancels the read that the
// program's thread is in (CancelSynchronousIo). It cancels only a read: the
// backend says when one is under way, so a write is never cut short.
#pragma once

// Before a ReadFile: false, and nothing started, when Ctrl-C has been caught
// already (the read then returns at once, as its time-out would).
bool win_interrupt_read_begin();
// After the ReadFile, whatever it gave.
void win_interrupt_read_end();
