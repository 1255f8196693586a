// The simulated shield's clock.
//
// kInstant   unit tests: a wait advances the clock at once, nothing sleeps.
// kRealTime  zul_stm_sim: waits really sleep, optionally sped up.
// kScheduled zul_stm_sim --virtual: the program's threads take turns. Only
//            one runs at a time, a thread gives up its turn only where it
//            waits (a bcm2835 delay, a bus transfer, standard input, the
//            poll on standard output, a mutex another thread holds), and the
//            clock jumps to the earliest wake-up when every thread waits.
//            Same inputs, same run, to the byte. The threads the program
//            starts are fibers on the thread that reset the clock (see
//            fiber.h): a turn changes hands without the kernel.
#pragma once
#include <pthread.h>

#include <cstdint>
#include <functional>

namespace sim {

enum class ClockMode { kInstant, kRealTime, kScheduled };

inline constexpr int64_t kNsPerMs = 1000000;

// Starts the clock at 0. In kScheduled mode the calling thread becomes the
// program's first thread and holds the turn.
void clock_reset(ClockMode mode, double speed = 1.0);

ClockMode clock_mode();

// kScheduled held to real time (zul_stm_sim --paced): a stand-in for the
// program that costs next to nothing while the line is quiet. Between two
// of the scenario's steps the program's threads take their turns as in
// virtual time, up to kPaceLeadNs ahead of the real clock (scaled by the
// speed); then the thread that gives up its turn sleeps. A scenario step
// waits until the real clock reaches it, so the line's events come at their
// real times. clock_notify (input arriving) ends a sleep at once. Called
// after clock_reset(kScheduled), which turns it off again.
inline constexpr int64_t kPaceLeadNs = 1000 * kNsPerMs;
void clock_pace_to_real_time();

// Simulated nanoseconds since the clock was reset. Takes no lock: what it
// reads is atomic.
int64_t clock_now_ns();
// The same, named for the log writers at exit: they may run in a signal
// handler that interrupted the clock lock's holder, so no lock may ever be
// added here. Only a reset changes what it reads, and nothing resets the
// clock on the way out.
int64_t clock_now_ns_at_exit();

// bcm2835_delay.
void clock_sleep_ms(unsigned ms);

// Time that a bus transfer takes, for the calling thread alone; real time
// passes by itself.
void clock_spend_ns(int64_t ns);

// Runs fn once the clock has reached t_ns: in kScheduled mode between two
// turns, in kRealTime mode on the simulator's own timer thread, in kInstant
// mode inside the wait that passes t_ns. Events at the same time run in the
// order they were added.
void clock_at(int64_t t_ns, std::function<void()> fn);

// Blocks the calling program thread until wake() returns true, re-checking
// after every event. In kScheduled mode the thread gives up its turn while
// it waits. wake() is called with the clock's lock held.
void clock_wait_until(const std::function<bool()>& wake);
// Tells waiters of clock_wait_until to look again (call after changing what
// their wake() reads).
void clock_notify();

// Thread creation as the program asks for it; in kScheduled mode, asked by
// a thread in the turns, the new thread is a fiber that joins the turns
// (*handle then names the fiber: see clock_is_fiber), otherwise a real one.
using ThreadFn = void* (*)(void*);
int clock_create_thread(void* handle, const void* attr, ThreadFn fn, void* arg,
                        int (*real_create)(void*, const void*, ThreadFn, void*));
// Whether a pthread_t names a fiber; pthread_join for one (the caller gives
// up its turn until the fiber has ended).
bool clock_is_fiber(const void* thread);
int clock_join_fiber(const void* thread, void** result);

// A thread in the turns found the mutex taken: it gives up its turn until
// the mutex is free (its holder is a thread of the turns that waits), then
// returns true and the caller tries again. False: the caller is not in the
// turns and must wait for the mutex as usual.
bool clock_wait_for_lock(pthread_mutex_t* lock);

// Called when no program thread can ever run again (all wait for input that
// will not come and no event is left).
void clock_on_stall(std::function<void()> fn);

}  // namespace sim
