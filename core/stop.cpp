#include "core/stop.h"

#include <unistd.h>

#include <csignal>
#include <initializer_list>

#include "line/line_guard.h"
#include "out/output.h"
#include "record/flight_record.h"

namespace {
[[noreturn]] void stop_now(int status) {
  line_stop_board();
  record_finish(status);
  _exit(status);
}

void on_signal(int signo) { stop_now(kExitSignalBase + signo); }
}  // namespace

void install_stop_handlers() {
  struct sigaction action = {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  for (int signo : kStopSignals) {
    sigaddset(&action.sa_mask, signo);
  }
  for (int signo : kStopSignals) {
    sigaction(signo, &action, nullptr);
  }
  out_on_output_lost(program_stop_output_lost);
}

void program_stop_output_lost() { stop_now(kExitSignalBase + SIGPIPE); }
