#include "sim/clock.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

#include "sim/fiber.h"
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

// One program thread taking part in the turns (kScheduled): the host's own
// context (the thread that reset the clock) or a fiber that
// clock_create_thread started. A turn is handed over by switching fibers,
// without the kernel.
struct Turn {
  enum State { kWaitingTime, kRunning, kWaitingCondition, kWaitingLock, kDone };
  State state = kRunning;
  int64_t wake_ns = 0;
  uint64_t order = 0;
  const std::function<bool()>* wake = nullptr;  // kWaitingCondition
  pthread_mutex_t* lock = nullptr;              // kWaitingLock
  Fiber* fiber = nullptr;
  ThreadFn fn = nullptr;
  void* arg = nullptr;
  void* result = nullptr;
  bool joined = false;
};

// The clock's lock. It guards everything below up to t_turn; it is never
// held across a fiber switch, so a fiber never finds it taken by another.
// Never destroyed: program threads may still wait on it when the process
// ends.
std::mutex& mu = *new std::mutex;
std::condition_variable& changed = *new std::condition_variable;

// Written under mu by clock_reset alone; read without it by clock_mode, the
// time readers and the exit path (which may run in a signal handler that
// interrupted mu's holder), hence atomic.
std::atomic<ClockMode> g_mode{ClockMode::kInstant};
std::atomic<double> g_speed{1.0};
std::atomic<int64_t> g_t0_ns{0};  // steady clock at the reset
std::atomic<int64_t> g_now{0};    // written under mu; read anywhere
uint64_t g_generation = 0;        // bumped by every reset; stale timer work is dropped
uint64_t g_order = 0;
std::priority_queue<Event, std::vector<Event>, EventLater>* g_events =
    new std::priority_queue<Event, std::vector<Event>, EventLater>;
std::vector<Turn*>* g_turns = new std::vector<Turn*>;
// Every fiber's turn ever made, so that its pthread_t is known for what it
// is after a reset too (turns are never freed: a handle stays valid).
// pthread_join and pthread_detach search it linearly and it never shrinks,
// so it is bounded: a run starts two program threads, and a process of runs
// (a test binary, a day of scenarios) stays far below this many; a simulator
// that went beyond it would leak turns and slow every join without end.
constexpr size_t kFiberTurnsMax = 1u << 14;
std::vector<Turn*>* g_fiber_turns = new std::vector<Turn*>;
int g_lock_waiters = 0;  // turns in kWaitingLock
Turn* g_current = nullptr;
std::function<void()>* g_on_stall = new std::function<void()>;
bool g_timer_started = false;
bool g_paced = false;  // kScheduled held to real time (clock_pace_to_real_time)

// The calling program thread's turn: each fiber has its own copy of the
// executable's thread_locals, so this is per fiber as it was per thread.
thread_local Turn* t_turn = nullptr;

int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t real_now_ns() {
  const double ns = static_cast<double>(steady_ns() - g_t0_ns.load());
  return static_cast<int64_t>(ns * g_speed.load());
}

// Runs the events due at or before `until`, with the lock released while
// each runs. Returns with the lock held.
void run_due_events(std::unique_lock<std::mutex>& lock, int64_t until) {
  while (!g_events->empty() && g_events->top().t_ns <= until) {
    Event e = g_events->top();
    g_events->pop();
    if (g_mode.load() != ClockMode::kRealTime) {
      g_now.store(std::max(g_now.load(), e.t_ns));
    }
    lock.unlock();
    e.fn();
    lock.lock();
  }
}

// ---- kScheduled -----------------------------------------------------------

void make_ready(Turn* t) {
  t->state = Turn::kWaitingTime;
  t->wake_ns = g_now.load();
  t->order = ++g_order;
}

void wake_satisfied_waiters() {
  for (Turn* t : *g_turns) {
    if (t->state == Turn::kWaitingCondition && (*t->wake)()) {
      make_ready(t);
    }
  }
}

// A turn that waits for a program mutex is ready once the mutex is free
// (its holder, a fiber switched out, has let it go).
void wake_lock_waiters() {
  for (Turn* t : *g_turns) {
    if (t->state == Turn::kWaitingLock && pthread_mutex_trylock(t->lock) == 0) {
      pthread_mutex_unlock(t->lock);
      --g_lock_waiters;
      make_ready(t);
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

// Paced: whether the clock may move on to t_ns now; if not, sleeps (the
// clock's lock released) until it may or until something is notified, and
// the caller looks again. A step of the scenario waits for the real clock;
// a thread's wake-up may run ahead of it by kPaceLeadNs, and once it may
// not, the sleep lasts until the real clock has caught up with t_ns, so that
// a quiet line costs one sleep per lead rather than one per wake-up.
bool pace_allows(std::unique_lock<std::mutex>& lock, int64_t t_ns, bool step) {
  if (!g_paced) {
    return true;
  }
  const int64_t real = real_now_ns();
  if (t_ns <= real + (step ? 0 : kPaceLeadNs)) {
    return true;
  }
  const auto real_wait = std::chrono::nanoseconds(
      static_cast<int64_t>(static_cast<double>(t_ns - real) / g_speed.load()) + 1);
  changed.wait_for(lock, real_wait);
  return false;
}

// The calling turn has given its turn up: pass it to whichever turn wakes
// first, running the events that come before it. Returns that turn (the
// caller switches to it once the lock is released), or nullptr when an
// event reset the clock.
[[nodiscard]] Turn* hand_off(std::unique_lock<std::mutex>& lock) {
  const uint64_t generation = g_generation;
  if (g_lock_waiters > 0) {
    wake_lock_waiters();
  }
  for (;;) {
    Turn* next = earliest_waiting();
    if (!g_events->empty() && (next == nullptr || g_events->top().t_ns <= next->wake_ns)) {
      if (!pace_allows(lock, g_events->top().t_ns, true)) {
        if (generation != g_generation) {
          return nullptr;
        }
        continue;
      }
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
      if (!pace_allows(lock, next->wake_ns, false)) {
        if (generation != g_generation) {
          return nullptr;
        }
        continue;
      }
      g_now.store(std::max(g_now.load(), next->wake_ns));
      next->state = Turn::kRunning;
      g_current = next;
      return next;
    }
    if (g_paced) {
      // Live input may still come: wait for it (or for an event added).
      changed.wait(lock);
      if (generation != g_generation) {
        return nullptr;
      }
      continue;
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

// The caller has set its waiting state: hands the turn on and returns once
// the turn is the caller's again. The fiber switch happens with the lock
// released.
void give_up_turn(std::unique_lock<std::mutex>& lock, Turn* self) {
  Turn* next = hand_off(lock);
  if (next == nullptr || next == self) {
    return;  // handed back to itself, or an event reset the clock: carry on
  }
  lock.unlock();
  fiber_switch(self->fiber, next->fiber);
  lock.lock();
}

void fiber_thread_main(void* p) {
  Turn* self = static_cast<Turn*>(p);
  t_turn = self;
  self->result = self->fn(self->arg);
  std::unique_lock<std::mutex> lock(mu);
  self->state = Turn::kDone;
  wake_satisfied_waiters();  // a join
  Turn* next = hand_off(lock);
  lock.unlock();
  if (next == nullptr) {
    fprintf(stderr, "zul_stm_sim: a program thread ended across a reset of the clock\n");
    std::abort();
  }
  fiber_exit_to(self->fiber, next->fiber);
}

Turn* fiber_turn(const void* handle) {
  for (Turn* t : *g_fiber_turns) {
    if (static_cast<const void*>(t) == handle) {
      return t;
    }
  }
  return nullptr;
}

// ---- kRealTime ------------------------------------------------------------

void timer_thread_main() {
  std::unique_lock<std::mutex> lock(mu);
  for (;;) {
    if (g_mode.load() != ClockMode::kRealTime || g_events->empty()) {
      changed.wait(lock);
      continue;
    }
    const int64_t due = g_events->top().t_ns;
    const int64_t now = real_now_ns();
    if (due > now) {
      const auto real_wait = std::chrono::nanoseconds(
          static_cast<int64_t>(static_cast<double>(due - now) / g_speed.load()) + 1);
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
  g_mode.store(mode);
  g_paced = false;
  g_speed.store(speed > 0 ? speed : 1.0);
  g_now.store(0);
  g_t0_ns.store(steady_ns());
  while (!g_events->empty()) {
    g_events->pop();
  }
  g_order = 0;
  // Program threads of an earlier run never run again: their fibers are
  // dropped where they stand (real threads of a real-time run stay blocked).
  g_turns->clear();
  g_lock_waiters = 0;
  g_current = nullptr;
  *g_on_stall = nullptr;
  t_turn = nullptr;
  if (mode == ClockMode::kScheduled) {
    Turn* self = new Turn;
    self->fiber = fiber_host_begin();
    g_turns->push_back(self);
    g_current = self;
    t_turn = self;
  } else {
    fiber_host_end();
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

ClockMode clock_mode() { return g_mode.load(); }

void clock_pace_to_real_time() {
  std::lock_guard<std::mutex> lock(mu);
  g_paced = g_mode.load() == ClockMode::kScheduled;
  g_t0_ns.store(steady_ns() -
                static_cast<int64_t>(static_cast<double>(g_now.load()) / g_speed.load()));
}

int64_t clock_now_ns() {
  return g_mode.load() == ClockMode::kRealTime ? real_now_ns() : g_now.load();
}

int64_t clock_now_ns_at_exit() { return clock_now_ns(); }

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
  if (g_lock_waiters == 0 && earliest_waiting() == self &&
      (g_events->empty() || g_events->top().t_ns > self->wake_ns) &&
      (!g_paced || self->wake_ns <= real_now_ns() + kPaceLeadNs)) {
    g_now.store(self->wake_ns);
    self->state = Turn::kRunning;
    return;
  }
  give_up_turn(lock, self);
}
}  // namespace

void clock_sleep_ms(unsigned ms) {
  const int64_t span = static_cast<int64_t>(ms) * kNsPerMs;
  std::unique_lock<std::mutex> lock(mu);
  switch (g_mode.load()) {
    case ClockMode::kInstant: {
      const int64_t until = g_now.load() + span;
      run_due_events(lock, until);
      g_now.store(std::max(g_now.load(), until));
      return;
    }
    case ClockMode::kRealTime: {
      const double speed = g_speed.load();
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
  const ClockMode mode = g_mode.load();
  if (mode == ClockMode::kInstant) {
    g_now.fetch_add(ns);
  } else if (mode == ClockMode::kScheduled && t_turn != nullptr) {
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
  if (g_mode.load() != ClockMode::kScheduled || t_turn == nullptr) {
    changed.wait(lock, wake);
    return;
  }
  Turn* self = t_turn;
  while (!wake()) {
    self->state = Turn::kWaitingCondition;
    self->wake = &wake;
    give_up_turn(lock, self);
  }
}

void clock_notify() {
  std::lock_guard<std::mutex> lock(mu);
  if (g_mode.load() == ClockMode::kScheduled) {
    wake_satisfied_waiters();
  }
  changed.notify_all();
}

int clock_create_thread(void* handle, const void* attr, ThreadFn fn, void* arg,
                        int (*real_create)(void*, const void*, ThreadFn, void*)) {
  {
    std::lock_guard<std::mutex> lock(mu);
    if (g_mode.load() == ClockMode::kScheduled && t_turn != nullptr && fiber_on_host()) {
      if (g_fiber_turns->size() >= kFiberTurnsMax) {
        fprintf(stderr,
                "zul_stm_sim: more program threads than the %zu that one process may start\n",
                kFiberTurnsMax);
        std::abort();
      }
      Turn* turn = new Turn;
      turn->fn = fn;
      turn->arg = arg;
      turn->fiber = fiber_create(fiber_thread_main, turn);
      if (turn->fiber == nullptr) {
        delete turn;
        fprintf(stderr, "zul_stm_sim: no room for another program thread (%d at most)\n",
                kFiberSlots);
        return EAGAIN;
      }
      // It runs once it is handed the turn, after the threads already due.
      make_ready(turn);
      g_turns->push_back(turn);
      g_fiber_turns->push_back(turn);
      *static_cast<pthread_t*>(handle) = reinterpret_cast<pthread_t>(turn);
      return 0;
    }
  }
  return real_create(handle, attr, fn, arg);
}

bool clock_is_fiber(const void* thread) {
  std::lock_guard<std::mutex> lock(mu);
  return fiber_turn(thread) != nullptr;
}

int clock_join_fiber(const void* thread, void** result) {
  std::unique_lock<std::mutex> lock(mu);
  Turn* t = fiber_turn(thread);
  if (t == nullptr || t->joined) {
    return ESRCH;
  }
  if (t == t_turn) {
    return EDEADLK;
  }
  lock.unlock();
  clock_wait_until([t] { return t->state == Turn::kDone; });
  lock.lock();
  t->joined = true;
  if (result != nullptr) {
    *result = t->result;
  }
  return 0;
}

bool clock_wait_for_lock(pthread_mutex_t* lock_wanted) {
  std::unique_lock<std::mutex> lock(mu);
  Turn* self = t_turn;
  if (g_mode.load() != ClockMode::kScheduled || self == nullptr) {
    return false;
  }
  self->state = Turn::kWaitingLock;
  self->lock = lock_wanted;
  ++g_lock_waiters;
  give_up_turn(lock, self);
  return true;
}

void clock_on_stall(std::function<void()> fn) {
  std::lock_guard<std::mutex> lock(mu);
  *g_on_stall = std::move(fn);
}

}  // namespace sim
