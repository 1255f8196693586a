// The platform as the simulated program finds it: a Raspberry Pi's device
// tree, a peripheral library that starts, and threads that join the
// simulator's clock.
#pragma once

namespace sim {
// What /proc/device-tree/model says; nullptr: there is no such file.
void platform_set_model(const char* model);
// Makes bcm2835_init fail, as it does without root rights.
void platform_set_init_fails(bool fails);
bool platform_init_fails();
// Makes thread creation fail.
void platform_set_thread_create_fails(bool fails);
// Runs at _exit and at normal exit, once: the simulator writes its logs.
void platform_on_exit(void (*fn)());
}  // namespace sim
