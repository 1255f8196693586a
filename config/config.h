// The run's configuration: the command-line values, the room table and the
// settings file names. Data only, so that every layer may read it. Written by
// start-up on the main thread before the console and link threads exist, and
// only read afterwards, so no lock guards it.
#pragma once
#include <cstdint>

#include "protocol/console.h"

// Intercom type code: the first argument, modulo 256. Selects the line
// driver and is announced to the co-processor.
extern uint8_t intercom;
// Extra wait in milliseconds at the start of every link cycle: the second
// argument, modulo 65536.
extern uint16_t cycle_time_plus;
// Shield setup register: the low byte of the third argument.
extern uint8_t setupRegister0;

// The room table, indexed by room number (kRoomCount rooms).
enum : uint8_t { kRoomNone = 0, kRoomImitated = 1, kRoomBlacklisted = 2 };
extern uint8_t RoomImit[kRoomCount];

// Settings directory, the line driver's settings path, and the two joined.
extern const char* file_settingName_p1;
extern const char* file_settingName_p2;
extern char file_settingName[256];
