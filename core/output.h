// The program's lines on standard output, which the controlling process
// reads. A write that fails means the reader is gone: the program then puts
// the board into its idle state and ends.
#pragma once

void out_line(const char* text);  // text and a line end
void out_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
