#include "out/output.h"

#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "record/flight_record.h"

namespace {
// Written once by start-up before any other thread exists; read by all.
void (*g_output_lost)() = nullptr;

[[noreturn]] void output_lost() {
  if (g_output_lost != nullptr) {
    g_output_lost();
  }
  // No handler, or one that returned: end as the lost pipe would.
  _exit(128 + SIGPIPE);
}
}  // namespace

void out_on_output_lost(void (*handler)()) { g_output_lost = handler; }

void out_line(const char* text) {
  record_line(text, strlen(text));
  if (puts(text) < 0) {
    output_lost();
  }
}

void out_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  record_vline(format, args);
  const int written = vprintf(format, args);
  va_end(args);
  if (written < 0) {
    output_lost();
  }
}
