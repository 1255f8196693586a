// Start-up: command line, room lists, board and link bring-up, then the
// threads and the main loop.
#pragma once
#include <cstdint>

#include "protocol/console.h"

inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 2;
inline constexpr int kVersionPatch = 2;

// Room list from standard input into RoomImit (1), up to -1.
void ReedRoom();
// Blacklist from standard input into RoomImit (2), up to -1.
void ReedBlacklist();

// Start-up up to and including the driver's idle operation. Returns the exit
// status when the program is to end, or -1 when it is to go on running.
int zul_start(int argc, char** argv);
// The console thread's latest token; that thread's alone.
extern int32_t Scan_read;

// The console thread: reads codes from standard input and queues the
// accepted ones; once the input has ended it watches for the reader of the
// output to go. Never returns.
void* Scan_th(void* arg);
// The reading part of it: returns when the input ends.
void console_read_codes();

// Starts the console and link threads and becomes the main loop; returns
// only when a thread cannot be started (the exit status).
int zul_run();
// The whole program.
int zul_main(int argc, char** argv);
