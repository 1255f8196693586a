// Stand-ins linked with --wrap for the calls the program makes outside the
// bcm2835 library.
#include "sim/platform.h"

#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim/clock.h"

extern "C" {
FILE* __real_fopen(const char* path, const char* mode);
FILE* __real_fopen64(const char* path, const char* mode);
int __real_pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*fn)(void*),
                          void* arg);
[[noreturn]] void __real__exit(int status);
int __real_poll(struct pollfd* fds, nfds_t count, int timeout_ms);
}

namespace sim {
namespace {
const char* g_model = "Raspberry Pi 4 Model B Rev 1.4";
std::atomic<bool> g_init_fails{false};
std::atomic<bool> g_thread_fails{false};
std::atomic<void (*)()> g_on_exit{nullptr};

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

void __wrap__exit(int status) {
  void (*fn)() = sim::g_on_exit.exchange(nullptr);
  if (fn != nullptr) {
    fn();
  }
  __real__exit(status);
}

}  // extern "C"
