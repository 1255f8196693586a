// Start-up: command line, room lists, board and link bring-up, then the
// threads and the main loop.
#pragma once
#include <cstdint>

inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 2;
inline constexpr int kVersionPatch = 2;

inline constexpr int kRoomCount = 4096;
enum : uint8_t { kRoomNone = 0, kRoomImitated = 1, kRoomBlacklisted = 2 };

enum : int {
  kExitNoArg = 1,
  kExitVersion = 2,
  kExitPlatform = 3,  // not a Raspberry Pi, no access to the peripherals, no thread
  kExitTiming = 4,    // TEQsettings/timing.conf has problems
};

extern uint8_t intercom;
extern uint16_t cycle_time_plus;
extern uint8_t setupRegister0;
extern uint8_t RoomImit[kRoomCount];
extern const char* file_settingName_p1;
extern const char* file_settingName_p2;
extern char file_settingName[256];

// Room list from standard input into RoomImit (1), up to -1.
void ReedRoom();
// Blacklist from standard input into RoomImit (2), up to -1.
void ReedBlacklist();

// Start-up up to and including the driver's idle operation. Returns the exit
// status when the program is to end, or -1 when it is to go on running.
int zul_start(int argc, char** argv);
extern int32_t Scan_read;

// The console thread: reads codes from standard input and queues the
// accepted ones. Ends when the input ends.
void* Scan_th(void* arg);

// Starts the console and link threads and becomes the main loop; returns
// only when a thread cannot be started (the exit status).
int zul_run();
// The whole program.
int zul_main(int argc, char** argv);
