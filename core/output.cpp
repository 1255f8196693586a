#include "core/output.h"

#include <cstdarg>
#include <cstdio>

#include "core/stop.h"

void out_line(const char* text) {
  if (puts(text) < 0) {
    program_stop_output_lost();
  }
}

void out_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int written = vprintf(format, args);
  va_end(args);
  if (written < 0) {
    program_stop_output_lost();
  }
}
