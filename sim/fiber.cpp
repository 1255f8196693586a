// A fiber's switch is a _setjmp/_longjmp pair: ucontext's swapcontext saves
// and restores the signal mask with a system call at every switch, which on
// a virtual machine costs as much as the rest of a hand-over. The mask is the
// same for every fiber (the program sets none of its own), so only the first
// entry into a fiber goes through setcontext. Under ThreadSanitizer, whose
// longjmp checks cannot follow a jump to another stack, every switch is a
// swapcontext instead. The fortified longjmp refuses a jump to another stack
// as well, so this file does without it.
#undef _FORTIFY_SOURCE

#include "sim/fiber.h"

#include <link.h>
#include <pthread.h>
#include <setjmp.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define ZUL_FIBER_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define ZUL_FIBER_TSAN 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZUL_FIBER_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define ZUL_FIBER_TSAN 1
#endif
#endif

#if defined(__clang__) && (defined(ZUL_FIBER_ASAN) || defined(ZUL_FIBER_TSAN))
// clang links the sanitizers' runtimes into the executable, with their
// per-thread state in the very TLS block that a switch saves and loads. Such
// a build (the fuzz targets') may use everything of the simulator but a
// program thread in virtual time: starting one stops with a reason.
#define ZUL_FIBER_UNAVAILABLE 1
#endif

#if defined(ZUL_FIBER_ASAN)
extern "C" {
void __sanitizer_start_switch_fiber(void** fake_stack_save, const void* bottom, size_t size);
void __sanitizer_finish_switch_fiber(void* fake_stack_save, const void** bottom_old,
                                     size_t* size_old);
void __asan_unpoison_memory_region(void const volatile* addr, size_t size);
}
#endif
#if defined(ZUL_FIBER_TSAN)
extern "C" {
void* __tsan_get_current_fiber();
void* __tsan_create_fiber(unsigned flags);
void __tsan_destroy_fiber(void* fiber);
void __tsan_switch_to_fiber(void* fiber, unsigned flags);
void __tsan_set_fiber_name(void* fiber, const char* name);
}
#endif

namespace sim {

struct Fiber {
  enum State { kFree, kReady, kStarted, kLeft };
  State state = kFree;
  jmp_buf jb;
  ucontext_t uc;
  unsigned char* stack = nullptr;  // nullptr: the host's own
  unsigned char* tls = nullptr;    // its thread_locals while switched out
  void (*entry)(void*) = nullptr;
  void* arg = nullptr;
  // AddressSanitizer: the stack's bounds (the host's are learnt when it is
  // first left) and the fake stack kept while switched out.
  void* fake_stack = nullptr;
  const void* bottom = nullptr;
  size_t size = 0;
  void* tsan = nullptr;
};

namespace {

Fiber g_host;
Fiber g_slots[kFiberSlots];
Fiber* g_current = nullptr;
Fiber* g_from = nullptr;  // the fiber a switch came from
Fiber* g_starting = nullptr;

// Read by fiber_on_host on any thread (the mutex stand-in asks it): written
// by fiber_host_begin / fiber_host_end on the thread that starts or ends a
// run, with no program thread running.
std::atomic<bool> g_hosting{false};
std::atomic<pthread_t> g_host_thread{};
std::atomic<pid_t> g_host_tid{0};

// The executable's own TLS block: the program's and the simulator's
// thread_local variables (the C library's and the C++ library's live in
// their own blocks, which stay the OS thread's).
unsigned char* g_tls_live = nullptr;
const unsigned char* g_tls_image = nullptr;
size_t g_tls_image_size = 0;
size_t g_tls_size = 0;

int find_tls(dl_phdr_info* info, size_t, void*) {
  if (info->dlpi_tls_modid != 1) {
    return 0;
  }
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type == PT_TLS) {
      g_tls_live = static_cast<unsigned char*>(info->dlpi_tls_data);
      g_tls_image = reinterpret_cast<const unsigned char*>(info->dlpi_addr + ph.p_vaddr);
      g_tls_image_size = ph.p_filesz;
      g_tls_size = ph.p_memsz;
    }
  }
  return 1;
}

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "zul_stm_sim: fibers: %s\n", what);
  std::abort();
}

[[noreturn]] void fail_errno(const char* what) {
  fprintf(stderr, "zul_stm_sim: fibers: %s (%s)\n", what, strerror(errno));
  std::abort();
}

// What fiber_host_holds reads is glibc's own, not POSIX's: the owner's
// kernel thread id in the mutex's private __data.__owner. Another C library,
// or a glibc that moved it, would make every mutex look free or a kernel
// thread's, and a fiber would then block the one OS thread they share for
// good (or wait for a holder that never runs). So it is checked once, on a
// mutex locked here, before the first fiber can run.
void check_mutex_owner_field() {
  pthread_mutex_t probe = PTHREAD_MUTEX_INITIALIZER;
  if (pthread_mutex_lock(&probe) != 0) {
    fail("a mutex of its own cannot be locked");
  }
  const int owner = __atomic_load_n(&probe.__data.__owner, __ATOMIC_RELAXED);
  pthread_mutex_unlock(&probe);
  if (owner != gettid()) {
    fail("a locked mutex's __data.__owner (glibc's) is not its locker: holders are unknown");
  }
}

void reserve_once() {
  static bool reserved = false;
  if (reserved) {
    return;
  }
  reserved = true;
  check_mutex_owner_field();
  dl_iterate_phdr(find_tls, nullptr);
  if (g_tls_size > 0 && g_tls_live == nullptr) {
    fail("the executable's thread-local block cannot be found");
  }
  const size_t guard = 4096;
  const size_t each = kFiberStackBytes + guard;
  void* all = mmap(nullptr, each * kFiberSlots, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (all == MAP_FAILED) {
    fail("no memory for the stacks");
  }
  for (int i = 0; i < kFiberSlots; ++i) {
    unsigned char* base = static_cast<unsigned char*>(all) + each * static_cast<size_t>(i);
    // An overflow faults on the page below the stack instead of running
    // into the next one. Without that page it would silently overwrite the
    // next fiber's stack, so a run without it does not start.
    if (mprotect(base, guard, PROT_NONE) != 0) {
      fail_errno("the guard page below a stack cannot be set up");
    }
    g_slots[i].stack = base + guard;
    g_slots[i].tls = new unsigned char[g_tls_size + 1];
  }
  g_host.tls = new unsigned char[g_tls_size + 1];
}

void forget(Fiber* f) {
#if defined(ZUL_FIBER_TSAN)
  if (f->tsan != nullptr) {
    __tsan_destroy_fiber(f->tsan);
  }
#endif
  f->tsan = nullptr;
  f->fake_stack = nullptr;
  f->state = Fiber::kFree;
}

// The thread_locals of `from` out, those of `to` in.
void swap_tls(Fiber* from, Fiber* to) {
  if (g_tls_size > 0) {
    memcpy(from->tls, g_tls_live, g_tls_size);
    memcpy(g_tls_live, to->tls, g_tls_size);
  }
}

void before_switch(Fiber* from, Fiber* to, bool leaving) {
  swap_tls(from, to);
  g_from = from;
  g_current = to;
#if defined(ZUL_FIBER_ASAN)
  // A fiber left for good gives its fake stack back.
  __sanitizer_start_switch_fiber(leaving ? nullptr : &from->fake_stack, to->bottom, to->size);
#else
  (void)leaving;
#endif
#if defined(ZUL_FIBER_TSAN)
  // Flags 0: the switch orders everything before it before everything after
  // it, as the semaphore of a kernel hand-over would.
  __tsan_switch_to_fiber(to->tsan, 0);
#endif
}

void after_switch() {
#if defined(ZUL_FIBER_ASAN)
  __sanitizer_finish_switch_fiber(g_current->fake_stack, &g_from->bottom, &g_from->size);
#endif
}

void fiber_main() {
  Fiber* self = g_starting;
  after_switch();
  self->entry(self->arg);
  fail("a fiber's entry returned");
}

// Where the fiber starts: fiber_main on its own stack. The signal mask is
// the creating thread's, as for pthread_create.
[[gnu::noinline]] void make_start_context(Fiber* const f) {
  getcontext(&f->uc);
  f->uc.uc_stack.ss_sp = f->stack;
  f->uc.uc_stack.ss_size = kFiberStackBytes;
  f->uc.uc_link = nullptr;
  makecontext(&f->uc, fiber_main, 0);
}

[[noreturn]] void jump(Fiber* to) {
#if defined(ZUL_FIBER_TSAN)
  setcontext(&to->uc);
#else
  if (to->state == Fiber::kReady) {
    to->state = Fiber::kStarted;
    g_starting = to;
    setcontext(&to->uc);
  }
  _longjmp(to->jb, 1);
#endif
  fail("cannot switch");
}

}  // namespace

Fiber* fiber_host_begin() {
  reserve_once();
  for (Fiber& f : g_slots) {
    if (&f != g_current) {
      forget(&f);
    } else {
      // A reset from inside a fiber: its slot stays taken while it runs.
      f.state = Fiber::kStarted;
    }
  }
  g_host.state = Fiber::kStarted;
#if defined(ZUL_FIBER_TSAN)
  g_host.tsan = __tsan_get_current_fiber();
#endif
  if (g_current == nullptr || !g_hosting.load()) {
    g_current = &g_host;
  }
  g_host_thread.store(pthread_self());
  g_host_tid.store(gettid());
  g_hosting.store(true);
  return g_current;
}

void fiber_host_end() { g_hosting.store(false); }

bool fiber_on_host() {
  return g_hosting.load(std::memory_order_relaxed) &&
         pthread_equal(pthread_self(), g_host_thread.load(std::memory_order_relaxed)) != 0;
}

bool fiber_host_holds(const pthread_mutex_t* mutex) {
  // glibc's private field, not POSIX: glibc records the owner's kernel
  // thread id in every mutex it locks (checked by check_mutex_owner_field
  // before the first fiber runs).
  return __atomic_load_n(&mutex->__data.__owner, __ATOMIC_RELAXED) == g_host_tid.load();
}

Fiber* fiber_create(void (*entry)(void*), void* arg) {
#if defined(ZUL_FIBER_UNAVAILABLE)
  fail("the simulator's fibers need the sanitizers' shared runtimes: build sanitizers with gcc");
#endif
  Fiber* f = nullptr;
  for (Fiber& slot : g_slots) {
    if (&slot == g_current) {
      continue;
    }
    if (slot.state == Fiber::kLeft) {
      forget(&slot);  // left for good: nothing runs on its stack any more
    }
    if (f == nullptr && slot.state == Fiber::kFree) {
      f = &slot;
    }
  }
  if (f == nullptr) {
    return nullptr;
  }
  f->entry = entry;
  f->arg = arg;
  f->bottom = f->stack;
  f->size = kFiberStackBytes;
  f->fake_stack = nullptr;
#if defined(ZUL_FIBER_ASAN)
  // What an abandoned fiber left poisoned on this stack.
  __asan_unpoison_memory_region(f->stack, kFiberStackBytes);
#endif
#if defined(ZUL_FIBER_TSAN)
  f->tsan = __tsan_create_fiber(0);
  __tsan_set_fiber_name(f->tsan, "program thread (fiber)");
#endif
  // A new thread's thread_locals: the executable's initial image.
  if (g_tls_size > 0) {
    memcpy(f->tls, g_tls_image, g_tls_image_size);
    memset(f->tls + g_tls_image_size, 0, g_tls_size - g_tls_image_size);
  }
  make_start_context(f);
  f->state = Fiber::kReady;
  return f;
}

void fiber_switch(Fiber* from, Fiber* to) {
  if (from == to) {
    return;
  }
  before_switch(from, to, false);
#if defined(ZUL_FIBER_TSAN)
  if (to->state == Fiber::kReady) {
    to->state = Fiber::kStarted;
    g_starting = to;
  }
  swapcontext(&from->uc, &to->uc);
#else
  if (_setjmp(from->jb) == 0) {
    jump(to);
  }
#endif
  after_switch();
}

void fiber_exit_to(Fiber* from, Fiber* to) {
  from->state = Fiber::kLeft;
  before_switch(from, to, true);
#if defined(ZUL_FIBER_TSAN)
  if (to->state == Fiber::kReady) {
    to->state = Fiber::kStarted;
    g_starting = to;
  }
#endif
  jump(to);
}

}  // namespace sim
