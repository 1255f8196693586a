// The program's threads as fibers on one OS thread, for virtual time.
//
// In virtual time exactly one of the program's threads runs at a time, so
// they need not be kernel threads: each one the program starts is a fiber
// with a stack of its own, switched in user space by the clock's scheduler.
// A switch never enters the kernel (on a shared machine a kernel hand-over
// costs tens of microseconds, a day of calls makes millions of them).
//
// A fiber is a thread as far as the program can tell: it has its own stack
// and its own copy of the program's thread_local variables (the executable's
// TLS block is saved and loaded at each switch), and ThreadSanitizer and
// AddressSanitizer are told about every switch.
//
// Everything here runs on the host thread alone (the OS thread that took up
// the fibers), only in the clock's scheduled mode, and never from a signal
// handler: no lock guards it.
#pragma once
#include <pthread.h>

#include <cstddef>

namespace sim {

struct Fiber;

// The fibers a run may have at once besides the host's own context, and the
// stack each one gets (reserved at start-up; pages are touched only as they
// are used).
inline constexpr int kFiberSlots = 8;
inline constexpr size_t kFiberStackBytes = size_t{1} << 20;

// The calling OS thread becomes the host: its own context is the first
// fiber, returned. Fibers of an earlier run are dropped where they stand
// (they never run again) and their slots freed.
Fiber* fiber_host_begin();
// The run is over: no thread hosts fibers until the next begin.
void fiber_host_end();

// Whether the calling OS thread hosts the fibers of the current run.
bool fiber_on_host();
// Whether a taken mutex is held by the host's OS thread, that is by one of
// its fibers (and not by a kernel thread of the process).
bool fiber_host_holds(const pthread_mutex_t* mutex);

// A new fiber that will run entry(arg) once switched to; nullptr when every
// slot is taken. entry must not return: it ends with fiber_exit_to.
Fiber* fiber_create(void (*entry)(void*), void* arg);

// From the running fiber `from` to `to`; returns once something switches
// back to `from`.
void fiber_switch(Fiber* from, Fiber* to);

// Leaves the running fiber `from` for good; its slot is free once left.
[[noreturn]] void fiber_exit_to(Fiber* from, Fiber* to);

}  // namespace sim
