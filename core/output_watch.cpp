#include "core/output_watch.h"

#include <poll.h>
#include <unistd.h>

#include "core/stop.h"

namespace {
// poll() returns at once when the reader goes; the timeout only bounds how
// long a missed wake-up could go unnoticed.
constexpr int kRecheckMs = 1000;

bool output_reader_gone() {
  pollfd out{};
  out.fd = STDOUT_FILENO;
  out.events = 0;  // only the conditions poll always reports
  if (poll(&out, 1, kRecheckMs) <= 0) {
    return false;  // time-out or an interrupting signal: look again
  }
  return (out.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}
}  // namespace

void watch_output_reader() {
  while (!output_reader_gone()) {
  }
  program_stop_output_lost();
}
