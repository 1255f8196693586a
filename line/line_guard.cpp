#include "line/line_guard.h"

#include <bcm2835.h>
#include <sched.h>

#include <atomic>
#include <csignal>

#include "line/common.h"
#include "line/pins.h"

namespace {
// All sequentially consistent: a writer announces itself, then checks the
// flags; a stopper or superseder sets its flag, then waits for writers. One
// of the two always sees the other.
std::atomic<bool> g_stopping{false};
std::atomic<int> g_writes_in_flight{0};
std::atomic<int> g_sequence_writes_in_flight{0};
// Bumped when a link-thread operation begins and when it ends, so that a
// main-thread sequence that overlapped it in any way is superseded.
std::atomic<uint32_t> g_epoch{0};
std::atomic<int> g_link_operations{0};

thread_local bool t_in_sequence = false;
thread_local uint32_t t_epoch = 0;
// Read by the stop path, which may run in a signal handler on this thread.
thread_local volatile sig_atomic_t t_writing = 0;

constexpr int kDrainSpins = 200000;

// Relay and door pulses always finish: a superseded sequence that stopped
// half-way would leave a relay or the door held.
bool is_line_pin(uint8_t pin) {
  return pin == kPinLineSelector || pin == kPinHook1 || pin == kPinHook2;
}

void drain(const std::atomic<int>& counter, int own) {
  for (int i = 0; i < kDrainSpins && counter.load() > own; ++i) {
    sched_yield();
  }
}
}  // namespace

void line_guarded_write(uint8_t pin, uint8_t level) {
  g_writes_in_flight.fetch_add(1);
  if (t_in_sequence) {
    g_sequence_writes_in_flight.fetch_add(1);
  }
  t_writing = 1;
  const bool superseded = t_in_sequence && is_line_pin(pin) &&
                          (g_epoch.load() != t_epoch || g_link_operations.load() > 0);
  if (!g_stopping.load() && !superseded) {
    bcm2835_gpio_write(pin, level);
  }
  t_writing = 0;
  if (t_in_sequence) {
    g_sequence_writes_in_flight.fetch_sub(1);
  }
  g_writes_in_flight.fetch_sub(1);
}

MainSequence::MainSequence() {
  t_epoch = g_epoch.load();
  t_in_sequence = true;
}

MainSequence::~MainSequence() { t_in_sequence = false; }

LinkOperation::LinkOperation() : outer_in_sequence_(t_in_sequence) {
  g_link_operations.fetch_add(1);
  g_epoch.fetch_add(1);
  drain(g_sequence_writes_in_flight, t_in_sequence && t_writing ? 1 : 0);
  t_in_sequence = false;
}

LinkOperation::~LinkOperation() {
  g_epoch.fetch_add(1);
  g_link_operations.fetch_sub(1);
  t_in_sequence = outer_in_sequence_;
}

void line_stop_board() {
  g_stopping.store(true);
  drain(g_writes_in_flight, t_writing ? 1 : 0);
  board_idle_raw();
}
