#include "line/line_guard.h"

#include <bcm2835.h>
#include <sched.h>

#include <atomic>
#include <csignal>
#include <mutex>

#include "line/pin_map.h"
#include "out/check.h"
#include "record/flight_record.h"

namespace {
// The call lock. Both threads take it, each only for a few loads and stores.
std::mutex g_call_lock;
// Written by both threads, only under the call lock; read without it by the
// pin guard of the main thread's sequences.
std::atomic<uint32_t> g_call_epoch{0};
// Link-thread line operations under way: the link thread counts them, the
// main thread's pin guard reads them.
std::atomic<int> g_link_operations{0};

// All sequentially consistent: a writer announces itself, then checks the
// flags; a stopper or superseder sets its flag, then waits for writers. One
// of the two always sees the other.
std::atomic<bool> g_stopping{false};
std::atomic<int> g_writes_in_flight{0};
std::atomic<int> g_sequence_writes_in_flight{0};
// Set once by the main thread during start-up; read by the stop path on any
// thread. Before it the library may not be initialised and no pin may be
// touched.
std::atomic<bool> g_board_up{false};

// Per thread: whether it is inside a MainSequence, and the epoch it holds
// the line as of.
thread_local bool t_in_sequence = false;
thread_local uint32_t t_epoch = 0;
// Read by the stop path, which may run in a signal handler on this thread.
thread_local volatile sig_atomic_t t_writing = 0;

constexpr int kDrainSpins = 200000;

void drain(const std::atomic<int>& counter, int own) {
  for (int i = 0; i < kDrainSpins && counter.load() > own; ++i) {
    sched_yield();
  }
}

bool superseded() { return t_epoch != g_call_epoch.load() || g_link_operations.load() > 0; }
}  // namespace

CallStep::CallStep() { g_call_lock.lock(); }

CallStep::~CallStep() { g_call_lock.unlock(); }

uint32_t CallStep::epoch() const { return g_call_epoch.load(); }

void CallStep::call_event() { g_call_epoch.fetch_add(1); }

MainSequence::MainSequence(const CallStep& step) {
  t_epoch = step.epoch();
  t_in_sequence = true;
}

MainSequence::~MainSequence() { t_in_sequence = false; }

LinkOperation::LinkOperation() {
  // Inside a sequence of its own thread the operation would count as what
  // supersedes that sequence, and its own writes would then be held back:
  // the line would silently not move.
  ZUL_CHECK(!t_in_sequence &&
            "a call event's line operation runs outside any main-thread sequence");
  g_link_operations.fetch_add(1);
  // The sequence's writes that began before the event's step are let finish,
  // so that this operation's writes come after them.
  drain(g_sequence_writes_in_flight, 0);
}

LinkOperation::~LinkOperation() {
  {
    CallStep step;
    step.call_event();
  }
  g_link_operations.fetch_sub(1);
}

void line_guarded_write(uint8_t pin, uint8_t level) {
  g_writes_in_flight.fetch_add(1);
  if (t_in_sequence) {
    g_sequence_writes_in_flight.fetch_add(1);
  }
  t_writing = 1;
  const bool held_back = t_in_sequence && is_line_pin(pin) && superseded();
  if (!g_stopping.load() && !held_back) {
    // Recorded as driven: a write held back never reached the pin.
    bcm2835_gpio_write(pin, level);
    record_pin(pin, level);
  }
  t_writing = 0;
  if (t_in_sequence) {
    g_sequence_writes_in_flight.fetch_sub(1);
  }
  g_writes_in_flight.fetch_sub(1);
}

void line_board_up() { g_board_up.store(true); }

void line_stop_board() {
  g_stopping.store(true);
  drain(g_writes_in_flight, t_writing ? 1 : 0);
  if (!g_board_up.load()) {
    return;
  }
  // The record's ring takes these lock-free, so the way out is in it too.
  for (const PinLevel& p : kBoardIdle) {
    bcm2835_gpio_write(p.pin, p.level);
    record_pin(p.pin, p.level);
  }
}
