#include "core/output.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/stop.h"
#include "record/flight_record.h"

void out_line(const char* text) {
  record_line(text, strlen(text));
  if (puts(text) < 0) {
    program_stop_output_lost();
  }
}

void out_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  record_vline(format, args);
  const int written = vprintf(format, args);
  va_end(args);
  if (written < 0) {
    program_stop_output_lost();
  }
}
