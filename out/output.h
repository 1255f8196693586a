// The program's lines on standard output, which the controlling process
// reads; any thread may print. A write that fails means the reader is gone:
// the handler that start-up installs then puts the board into its idle state
// and ends the program.
#pragma once

void out_line(const char* text);  // text and a line end
void out_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// What a failed write calls; it is not to return. Installed by start-up
// before the first line, on the main thread alone.
void out_on_output_lost(void (*handler)());
