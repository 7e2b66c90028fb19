// Every module's state back to where the program starts, for the unit tests
// (which all run in one process) and the fuzz harnesses (which run every
// input in one process): a case or an input that begins here sees nothing
// that an earlier one left behind.
//
// What it puts back, module by module:
//   console     output and input streams to the process's own, the line
//               editor ended (and the command piece it still held dropped)
//   platform    the sleep, clock and fine-clock hooks to the system's, the
//               Ctrl-C catch ended (the handler as before, the flag lowered),
//               no saved error; the POSIX backend's driver seam to ioctl()
//   serial      the port closed through the backend that opened it, then the
//               operating system's backend back; the port's name, settings,
//               time-outs and reply buffer empty; the Ctrl-C notice unsaid
//   connection  not connected, last_baud as at the start
//   config      the default image, no digipath components, not processed
//   rules       an empty rule table, not processed
//   directives  line_echo empty
//   firmware    the progress clock's start at 0
// The command shell clears the line that '.' repeats when it starts, as it
// resets the configuration: no part of it is left to this helper. Left as
// they are: buffers written before every read of them (the connection's
// expected text, the loader's record line, the console's error text), the
// matches of the line editor's last completion (the last search's, by what
// they are), and the Windows platform's state (these are Linux programs).
//
// Every fixture calls it in its SetUp (and its TearDown where a case ends with
// a port or a fake in place); the unit program also calls it before every
// test, so that a plain TEST starts at the start too. Fixtures then install
// the fakes and streams they need.
#pragma once

void module_state_reset();

// The serial port's variables alone back to their start: no handle (one still
// open is forgotten, not closed), and an empty name, settings, time-outs and
// reply buffer. The scripted serial fake starts each test's port from here.
void port_state_reset();
