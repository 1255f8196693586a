// Stand-ins linked with --wrap for the calls the program makes outside the
// bcm2835 library.
#include "sim/platform.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "protocol/console.h"
#include "sim/board.h"
#include "sim/clock.h"
#include "sim/fiber.h"

#if defined(__SANITIZE_THREAD__)
#define ZUL_SIM_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZUL_SIM_TSAN 1
#endif
#endif

extern "C" {
FILE* __real_fopen(const char* path, const char* mode);
FILE* __real_fopen64(const char* path, const char* mode);
int __real_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*fn)(void*),
                          void* arg);
[[noreturn]] void __real__exit(int status);
int __real_poll(struct pollfd* fds, nfds_t count, int timeout_ms);
int __real_pthread_detach(pthread_t thread);
int __real_pthread_join(pthread_t thread, void** result);
int __real_pthread_mutex_lock(pthread_mutex_t* mutex);
int __real_sigaction(int signo, const struct sigaction* action, struct sigaction* old);
}

namespace sim {
namespace {
const char* g_model = "Raspberry Pi 4 Model B Rev 1.4";
std::atomic<bool> g_init_fails{false};
std::atomic<bool> g_thread_fails{false};
std::atomic<void (*)()> g_on_exit{nullptr};
// The process's first _exit claims the exit hook; any later one waits for
// it to have run.
std::atomic<bool> g_exit_claimed{false};
std::atomic<bool> g_exit_hook_done{false};
// How long a later _exit waits for the hook: far longer than any log takes
// to write, and still an end when the writer is stuck (a log on a pipe that
// nobody reads).
constexpr int64_t kExitHookWaitNs = 10'000'000'000;

int64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The program's own handler for each stop signal, behind the simulator's.
std::atomic<void (*)(int)> g_stop_handlers[NSIG];

bool is_stop_signal(int signo) {
  for (int s : kStopSignals) {
    if (s == signo) {
      return true;
    }
  }
  return false;
}

void on_stop_signal(int signo) {
  board_stop();
  void (*handler)(int) = g_stop_handlers[signo].load();
  if (handler != nullptr) {
    handler(signo);
  }
}

int real_create(void* handle, const void* attr, ThreadFn fn, void* arg) {
  return __real_pthread_create(static_cast<pthread_t*>(handle),
                               static_cast<const pthread_attr_t*>(attr), fn, arg);
}
}  // namespace

void platform_set_model(const char* model) { g_model = model; }
void platform_set_init_fails(bool fails) { g_init_fails.store(fails); }
bool platform_init_fails() { return g_init_fails.load(); }
void platform_set_thread_create_fails(bool fails) { g_thread_fails.store(fails); }
void platform_on_exit(void (*fn)()) { g_on_exit.store(fn); }

void platform_block_stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kStopSignals) {
    sigaddset(&set, s);
  }
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}
}  // namespace sim

extern "C" {

// With _FILE_OFFSET_BITS=64 (an option on 32-bit targets such as armhf) the
// C library's headers turn the program's fopen into fopen64, which
// --wrap=fopen would miss; both names get the same stand-in.
static FILE* open_device_tree(const char* path, const char* mode,
                              FILE* (*real_open)(const char*, const char*)) {
  static const char kDeviceTree[] = "/proc/device-tree/";
  if (strncmp(path, kDeviceTree, sizeof kDeviceTree - 1) != 0) {
    return real_open(path, mode);
  }
  if (strcmp(path, "/proc/device-tree/model") != 0 || sim::g_model == nullptr) {
    errno = ENOENT;
    return nullptr;
  }
  // The device tree's strings end in a NUL.
  static char model[128];
  const size_t n =
      strlen(sim::g_model) + 1 < sizeof model ? strlen(sim::g_model) + 1 : sizeof model;
  memcpy(model, sim::g_model, n);
  return fmemopen(model, n, "r");
}

FILE* __wrap_fopen(const char* path, const char* mode) {
  return open_device_tree(path, mode, __real_fopen);
}

FILE* __wrap_fopen64(const char* path, const char* mode) {
  return open_device_tree(path, mode, __real_fopen64);
}

int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*fn)(void*),
                          void* arg) {
  if (sim::g_thread_fails.load()) {
    return EAGAIN;
  }
  return sim::clock_create_thread(thread, attr, fn, arg, sim::real_create);
}

// A fiber is a thread that needs no detaching; joining one waits in the
// turns.
int __wrap_pthread_detach(pthread_t thread) {
  if (sim::clock_is_fiber(reinterpret_cast<const void*>(thread))) {
    return 0;
  }
  return __real_pthread_detach(thread);
}

int __wrap_pthread_join(pthread_t thread, void** result) {
  if (sim::clock_is_fiber(reinterpret_cast<const void*>(thread))) {
    return sim::clock_join_fiber(reinterpret_cast<const void*>(thread), result);
  }
  return __real_pthread_join(thread, result);
}

// Every mutex of the program (and of the simulator). On the fibers' thread
// a mutex that another fiber holds would block the one OS thread they all
// share for good: the fiber gives up its turn instead until the holder,
// which waits somewhere in the turns, has let it go. Elsewhere a mutex
// waits as usual.
int __wrap_pthread_mutex_lock(pthread_mutex_t* mutex) {
  if (!sim::fiber_on_host()) {
    return __real_pthread_mutex_lock(mutex);
  }
  for (;;) {
    const int rc = pthread_mutex_trylock(mutex);
    if (rc != EBUSY) {
      return rc;
    }
    // A kernel thread's (the timer of an earlier real-time run, a test's
    // own): it lets go by itself.
    if (!sim::fiber_host_holds(mutex) || !sim::clock_wait_for_lock(mutex)) {
      return __real_pthread_mutex_lock(mutex);
    }
  }
}

// The program's waits on its file descriptors: in virtual time the wait is
// the clock's (the thread gives up its turn), then the descriptors are
// looked at without waiting; otherwise the wait is real.
int __wrap_poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
  if (sim::clock_mode() == sim::ClockMode::kScheduled && timeout_ms > 0) {
    sim::clock_sleep_ms(static_cast<unsigned>(timeout_ms));
    timeout_ms = 0;
  }
  return __real_poll(fds, count, timeout_ms);
}

// A handler for a stop signal is installed behind on_stop_signal; anything
// else (default, ignore, three-argument handlers, other signals) as asked.
int __wrap_sigaction(int signo, const struct sigaction* action, struct sigaction* old) {
  if (action == nullptr || !sim::is_stop_signal(signo) || (action->sa_flags & SA_SIGINFO) != 0 ||
      action->sa_handler == SIG_DFL || action->sa_handler == SIG_IGN) {
    return __real_sigaction(signo, action, old);
  }
  struct sigaction behind = *action;
  behind.sa_handler = sim::on_stop_signal;
  void (*const previous)(int) = sim::g_stop_handlers[signo].exchange(action->sa_handler);
  const int rc = __real_sigaction(signo, &behind, old);
  if (rc == 0 && old != nullptr && old->sa_handler == sim::on_stop_signal) {
    old->sa_handler = previous;
  }
  return rc;
}

// Two ends may come at once: the scenario's end (or the replay's verdict)
// on one thread and a stop signal on another, or a lost output during a
// stop. The first writes the logs; a later one that ended the process there
// and then would cut them off under the writer (the pins log is opened
// empty, then written in one go when it is short: it would stay empty), so
// it waits until they are written. The writer's thread takes no stop signal
// from here on, so the one waiting is never the writer itself, interrupted;
// and the writer takes no lock, so nothing the waiting thread holds can hold
// it up. All of it is async-signal-safe: a stop handler gets here.
void __wrap__exit(int status) {
  sim::platform_block_stop_signals();
  if (!sim::g_exit_claimed.exchange(true)) {
    void (*fn)() = sim::g_on_exit.exchange(nullptr);
    if (fn != nullptr) {
      fn();
    }
    sim::g_exit_hook_done.store(true);
  } else {
    const int64_t until = sim::monotonic_ns() + sim::kExitHookWaitNs;
    while (!sim::g_exit_hook_done.load() && sim::monotonic_ns() < until) {
      sched_yield();
    }
  }
#if defined(ZUL_SIM_TSAN)
  // ThreadSanitizer's _exit flushes every stdio stream first, and so takes
  // each stream's lock, which the real _exit never does. A stop signal may
  // have interrupted a thread inside the clock's condition variable while
  // another holds standard output's lock and waits in that same variable
  // for the interrupted one: the flush would wait for ever. A race is
  // reported where it is found (and the tests' preset ends the process
  // there), so leaving the runtime's exit out loses no report.
  syscall(SYS_exit_group, status);
#endif
  __real__exit(status);
}

}  // extern "C"
