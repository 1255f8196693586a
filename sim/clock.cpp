#include "sim/clock.h"

#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

#include "sim/platform.h"

namespace sim {
namespace {

struct Event {
  int64_t t_ns;
  uint64_t order;
  std::function<void()> fn;
};
struct EventLater {
  bool operator()(const Event& a, const Event& b) const {
    return a.t_ns != b.t_ns ? a.t_ns > b.t_ns : a.order > b.order;
  }
};

// One program thread taking part in the turns (kScheduled).
struct Turn {
  enum State { kWaitingTime, kRunning, kWaitingCondition, kDone };
  // Released once each time the turn is handed to this thread, after the
  // lock is let go: the woken thread then finds the lock free instead of
  // waking only to wait for it (a simulated hour is hundreds of thousands of
  // hand-offs). A POSIX semaphore sleeps in the kernel at once, where
  // std::counting_semaphore spins and yields first, which on a loaded
  // machine slows every other thread down.
  sem_t go;
  Turn() { sem_init(&go, 0, 0); }
  State state = kRunning;
  int64_t wake_ns = 0;
  uint64_t order = 0;
  const std::function<bool()>* wake = nullptr;
};

// Never destroyed: program threads may still wait on them when the process
// ends.
std::mutex& mu = *new std::mutex;
std::condition_variable& changed = *new std::condition_variable;

ClockMode g_mode = ClockMode::kInstant;
double g_speed = 1.0;
std::atomic<int64_t> g_now{0};
std::chrono::steady_clock::time_point g_t0 = std::chrono::steady_clock::now();
uint64_t g_generation = 0;  // bumped by every reset; stale timer work is dropped
uint64_t g_order = 0;
std::priority_queue<Event, std::vector<Event>, EventLater>* g_events =
    new std::priority_queue<Event, std::vector<Event>, EventLater>;
std::vector<Turn*>* g_turns = new std::vector<Turn*>;
Turn* g_current = nullptr;
std::function<void()>* g_on_stall = new std::function<void()>;
bool g_timer_started = false;

thread_local Turn* t_turn = nullptr;

int64_t real_now_ns() {
  const auto elapsed = std::chrono::steady_clock::now() - g_t0;
  const double ns =
      static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
  return static_cast<int64_t>(ns * g_speed);
}

// Runs the events due at or before `until`, with the lock released while
// each runs. Returns with the lock held.
void run_due_events(std::unique_lock<std::mutex>& lock, int64_t until) {
  while (!g_events->empty() && g_events->top().t_ns <= until) {
    Event e = g_events->top();
    g_events->pop();
    if (g_mode != ClockMode::kRealTime) {
      g_now.store(std::max(g_now.load(), e.t_ns));
    }
    lock.unlock();
    e.fn();
    lock.lock();
  }
}

// ---- kScheduled -----------------------------------------------------------

void wake_satisfied_waiters() {
  for (Turn* t : *g_turns) {
    if (t->state == Turn::kWaitingCondition && (*t->wake)()) {
      t->state = Turn::kWaitingTime;
      t->wake_ns = g_now.load();
      t->order = ++g_order;
    }
  }
}

Turn* earliest_waiting() {
  Turn* best = nullptr;
  for (Turn* t : *g_turns) {
    if (t->state != Turn::kWaitingTime) {
      continue;
    }
    if (best == nullptr || t->wake_ns < best->wake_ns ||
        (t->wake_ns == best->wake_ns && t->order < best->order)) {
      best = t;
    }
  }
  return best;
}

// The calling thread has given up its turn: pass it to whichever thread wakes
// first, running the events that come before it. Returns the thread to wake
// (wake_turn) once the lock is released, or nullptr.
[[nodiscard]] Turn* hand_off(std::unique_lock<std::mutex>& lock) {
  const uint64_t generation = g_generation;
  for (;;) {
    Turn* next = earliest_waiting();
    if (!g_events->empty() && (next == nullptr || g_events->top().t_ns <= next->wake_ns)) {
      Event e = g_events->top();
      g_events->pop();
      g_now.store(std::max(g_now.load(), e.t_ns));
      lock.unlock();
      e.fn();
      lock.lock();
      if (generation != g_generation) {
        return nullptr;
      }
      wake_satisfied_waiters();
      continue;
    }
    if (next != nullptr) {
      g_now.store(std::max(g_now.load(), next->wake_ns));
      next->state = Turn::kRunning;
      g_current = next;
      return next;
    }
    g_current = nullptr;
    std::function<void()> stall = *g_on_stall;
    lock.unlock();
    if (stall) {
      stall();
    }
    fprintf(stderr, "zul_stm_sim: every program thread waits and nothing is left to happen\n");
    std::abort();
  }
}

void wake_turn(Turn* t) {
  if (t != nullptr) {
    sem_post(&t->go);
  }
}

// Wakes `next` (from hand_off), then waits until the turn is the caller's.
// A permit left over from a turn the caller already held is harmless: the
// turn is looked at again under the lock.
void wait_for_turn(std::unique_lock<std::mutex>& lock, Turn* self, Turn* next) {
  if (g_current == self) {
    return;  // handed back to itself: nobody to wake
  }
  lock.unlock();
  wake_turn(next);
  for (;;) {
    while (sem_wait(&self->go) != 0) {
      // EINTR: a signal the thread takes; wait on
    }
    lock.lock();
    if (g_current == self) {
      return;
    }
    lock.unlock();
  }
}

struct ThreadStart {
  Turn* turn;
  ThreadFn fn;
  void* arg;
};

void* scheduled_thread_main(void* p) {
  ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  t_turn = start.turn;
  {
    std::unique_lock<std::mutex> lock(mu);
    wait_for_turn(lock, start.turn, nullptr);
  }
  void* result = start.fn(start.arg);
  std::unique_lock<std::mutex> lock(mu);
  start.turn->state = Turn::kDone;
  Turn* next = hand_off(lock);
  lock.unlock();
  wake_turn(next);
  return result;
}

// ---- kRealTime ------------------------------------------------------------

void timer_thread_main() {
  std::unique_lock<std::mutex> lock(mu);
  for (;;) {
    if (g_mode != ClockMode::kRealTime || g_events->empty()) {
      changed.wait(lock);
      continue;
    }
    const int64_t due = g_events->top().t_ns;
    const int64_t now = real_now_ns();
    if (due > now) {
      const auto real_wait = std::chrono::nanoseconds(
          static_cast<int64_t>(static_cast<double>(due - now) / g_speed) + 1);
      changed.wait_for(lock, real_wait);
      continue;
    }
    run_due_events(lock, now);
    changed.notify_all();
  }
}

}  // namespace

void clock_reset(ClockMode mode, double speed) {
  std::unique_lock<std::mutex> lock(mu);
  ++g_generation;
  g_mode = mode;
  g_speed = speed > 0 ? speed : 1.0;
  g_now.store(0);
  g_t0 = std::chrono::steady_clock::now();
  while (!g_events->empty()) {
    g_events->pop();
  }
  g_order = 0;
  // Threads of an earlier run stay blocked for good; their turns are dropped.
  g_turns->clear();
  g_current = nullptr;
  *g_on_stall = nullptr;
  t_turn = nullptr;
  if (mode == ClockMode::kScheduled) {
    Turn* self = new Turn;
    g_turns->push_back(self);
    g_current = self;
    t_turn = self;
  }
  if (mode == ClockMode::kRealTime && !g_timer_started) {
    g_timer_started = true;
    // The timer thread runs the scenario's events, inside the simulator's
    // locks and the allocator: no stop signal may interrupt it there. It
    // inherits the mask it is started with.
    sigset_t before;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    platform_block_stop_signals();
    std::thread(timer_thread_main).detach();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }
  changed.notify_all();
}

ClockMode clock_mode() { return g_mode; }

int64_t clock_now_ns() {
  if (g_mode == ClockMode::kRealTime) {
    std::lock_guard<std::mutex> lock(mu);
    return real_now_ns();
  }
  return g_now.load();
}

int64_t clock_now_ns_at_exit() {
  return g_mode == ClockMode::kRealTime ? real_now_ns() : g_now.load();
}

namespace {
// Scheduled mode: the calling thread sleeps `span`; the others run meanwhile.
void scheduled_sleep(std::unique_lock<std::mutex>& lock, int64_t span) {
  Turn* self = t_turn;
  if (self == nullptr) {
    fprintf(stderr, "zul_stm_sim: a thread outside the turns waited\n");
    std::abort();
  }
  self->wake_ns = g_now.load() + span;
  self->order = ++g_order;
  self->state = Turn::kWaitingTime;
  // Nothing else can run before this thread's own wake-up: keep the turn.
  if (earliest_waiting() == self && (g_events->empty() || g_events->top().t_ns > self->wake_ns)) {
    g_now.store(self->wake_ns);
    self->state = Turn::kRunning;
    return;
  }
  Turn* next = hand_off(lock);
  wait_for_turn(lock, self, next);
}
}  // namespace

void clock_sleep_ms(unsigned ms) {
  const int64_t span = static_cast<int64_t>(ms) * kNsPerMs;
  std::unique_lock<std::mutex> lock(mu);
  switch (g_mode) {
    case ClockMode::kInstant: {
      const int64_t until = g_now.load() + span;
      run_due_events(lock, until);
      g_now.store(std::max(g_now.load(), until));
      return;
    }
    case ClockMode::kRealTime: {
      const double speed = g_speed;
      lock.unlock();
      std::this_thread::sleep_for(
          std::chrono::nanoseconds(static_cast<int64_t>(static_cast<double>(span) / speed)));
      return;
    }
    case ClockMode::kScheduled:
      scheduled_sleep(lock, span);
      return;
  }
}

void clock_spend_ns(int64_t ns) {
  std::unique_lock<std::mutex> lock(mu);
  if (g_mode == ClockMode::kInstant) {
    g_now.fetch_add(ns);
  } else if (g_mode == ClockMode::kScheduled && t_turn != nullptr) {
    // The transfer holds only its own thread: the others' wake-ups stay exact.
    scheduled_sleep(lock, ns);
  }
}

void clock_at(int64_t t_ns, std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(mu);
  g_events->push(Event{t_ns, ++g_order, std::move(fn)});
  changed.notify_all();
}

void clock_wait_until(const std::function<bool()>& wake) {
  std::unique_lock<std::mutex> lock(mu);
  if (g_mode != ClockMode::kScheduled || t_turn == nullptr) {
    changed.wait(lock, wake);
    return;
  }
  Turn* self = t_turn;
  while (!wake()) {
    self->state = Turn::kWaitingCondition;
    self->wake = &wake;
    Turn* next = hand_off(lock);
    wait_for_turn(lock, self, next);
  }
}

void clock_notify() {
  std::lock_guard<std::mutex> lock(mu);
  if (g_mode == ClockMode::kScheduled) {
    wake_satisfied_waiters();
  }
  changed.notify_all();
}

int clock_create_thread(void* handle, const void* attr, ThreadFn fn, void* arg,
                        int (*real_create)(void*, const void*, ThreadFn, void*)) {
  Turn* turn = nullptr;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (g_mode != ClockMode::kScheduled || t_turn == nullptr) {
      return real_create(handle, attr, fn, arg);
    }
    turn = new Turn;
    turn->state = Turn::kWaitingTime;
    turn->wake_ns = g_now.load();
    turn->order = ++g_order;
    g_turns->push_back(turn);
  }
  const int rc = real_create(handle, attr, scheduled_thread_main, new ThreadStart{turn, fn, arg});
  if (rc != 0) {
    std::lock_guard<std::mutex> lock(mu);
    turn->state = Turn::kDone;
  }
  return rc;
}

void clock_on_stall(std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(mu);
  *g_on_stall = std::move(fn);
}

}  // namespace sim
