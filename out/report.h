// Reports to the controlling process on a descriptor of its own: what
// becomes of the codes it writes (queued, lost to a full queue, taken, run
// or skipped, done). Standard output stays exactly as it is; only a
// controlling process that names a descriptor in ZUL_REPORT_FD gets them.
// Line texts: protocol/console.h.
//
// A report never holds up the thread that makes it and never ends the
// program: the descriptor is non-blocking, a report it cannot take now is
// counted and announced by the next one that goes through ("lost N"), and a
// reader that has gone (EPIPE) ends the reports, not the program (its
// SIGPIPE is taken back in the writing thread).
#pragma once

// Takes the descriptor from ZUL_REPORT_FD, when set, and writes the first
// report. A value that is not a descriptor of 3 or more open for writing is
// named on standard error and no reports are written. Start-up calls it on
// the main thread before any other thread exists.
void report_open_from_environment();

// "<word> <code>" and a line end, from any thread; nothing when no
// descriptor is open. No allocation.
void report_code(const char* word, int code);

// Whether reports are being written (for tests).
bool report_is_open();
// Closes the descriptor (for tests, between cases).
void report_close();
