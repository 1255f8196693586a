// The platform as the simulated program finds it: a Raspberry Pi's device
// tree, a peripheral library that starts, and threads that join the
// simulator's clock.
#pragma once

namespace sim {
// The signals that stop the program (kStopSignals, protocol/console.h). A
// handler the program installs for one of them runs with the simulated board
// in its stop mode (board_stop): it interrupts whatever the thread was doing,
// possibly inside one of the simulator's locks or the allocator, so from
// there on to the process's end nothing may take a lock or allocate.
//
// Blocks them in the calling thread (for the simulator's own threads, which
// hold its locks and allocate while they run the scenario).
void platform_block_stop_signals();

// What /proc/device-tree/model says; nullptr: there is no such file.
void platform_set_model(const char* model);
// Makes bcm2835_init fail, as it does without root rights.
void platform_set_init_fails(bool fails);
bool platform_init_fails();
// Makes thread creation fail.
void platform_set_thread_create_fails(bool fails);
// Runs at _exit and at normal exit, once: the simulator writes its logs. An
// _exit on another thread meanwhile waits until it has run.
void platform_on_exit(void (*fn)());
}  // namespace sim
