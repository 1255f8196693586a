// The line driver table: nine operations that the rest of the program calls
// without knowing which intercom system is on the line, one installer per
// line driver, and the choice of driver and settings path by intercom code.
//
// An operation only moves pins and waits; it reads no program state and
// prints nothing (the common driver's open_call prints one marker line).
// The slots are written during start-up only, before the console and link
// threads exist, so both threads read them without a lock.
#pragma once
#include <cstddef>
#include <cstdint>

using LineOp = void (*)();

// The driver table, zero until an installer runs. Order matters: every
// installer fills the slots in this order.

// The driver's idle levels (link thread, and once at start-up).
inline LineOp gpio_first_status = nullptr;
// Open the door, no call in progress.
inline LineOp open_free = nullptr;
// Open the door for a ringing call; the call is over afterwards.
inline LineOp open_call = nullptr;
// Open the door during a picked-up call.
inline LineOp open_pickup = nullptr;
// Pick up a ringing call on the imitated handset.
inline LineOp pickup = nullptr;
// Dialled: connect the imitated handset (link thread).
inline LineOp select_imit = nullptr;
// Dialled: leave the call to the real handset (link thread).
inline LineOp select_real = nullptr;
// Reject a ringing call.
inline LineOp drop_call = nullptr;
// Hang up a picked-up call.
inline LineOp drop_pickup = nullptr;

// One driver's nine operations, for the installers: one member per slot, of
// the slot's name.
struct LineDriver {
  LineOp gpio_first_status;
  LineOp open_free;
  LineOp open_call;
  LineOp open_pickup;
  LineOp pickup;
  LineOp select_imit;
  LineOp select_real;
  LineOp drop_call;
  LineOp drop_pickup;
};

// The slots by name, in slot order: the one list that installing a driver,
// describing one (--describe-driver) and the tests walk. Nothing else spells
// the nine names out.
struct LineSlot {
  const char* name;
  LineOp* slot;
  LineOp LineDriver::*member;
};
inline constexpr LineSlot kLineSlots[] = {
    {"gpio_first_status", &gpio_first_status, &LineDriver::gpio_first_status},
    {"open_free", &open_free, &LineDriver::open_free},
    {"open_call", &open_call, &LineDriver::open_call},
    {"open_pickup", &open_pickup, &LineDriver::open_pickup},
    {"pickup", &pickup, &LineDriver::pickup},
    {"select_imit", &select_imit, &LineDriver::select_imit},
    {"select_real", &select_real, &LineDriver::select_real},
    {"drop_call", &drop_call, &LineDriver::drop_call},
    {"drop_pickup", &drop_pickup, &LineDriver::drop_pickup},
};
inline constexpr size_t kLineSlotCount = sizeof kLineSlots / sizeof kLineSlots[0];
static_assert(sizeof(LineDriver) == kLineSlotCount * sizeof(LineOp),
              "every member of LineDriver has its row in kLineSlots");

// Installers; each overwrites all nine slots and touches no pin.
void init_common();
void init_VIZIT();
void init_Metakom_2003();
void init_Metakom_2012();
void init_Marshal();
void init_Eltis5000();
void init_Eltis300();
void init_Eltis400();
void init_Eltis100();
void init_Cyfral();
void init_Eltis5000_KM500();
void init_AnalysSignal();

// Installs the driver for the intercom code and returns its settings path
// (for example "/Vizit/VizitCommon.set"), which start-up keeps as
// file_settingName_p2; a code without a driver of its own gets the common
// one and "/Common/Common.set".
const char* select_line_driver(uint8_t intercom_code);

// ---- For the installers ----

// Writes the nine slots, in slot order.
void install_line_driver(const LineDriver& driver);

// Shared by several drivers: the common idle (the board idle state) and the
// select_real that leaves the line to the real handset without a pin moving.
void gpio_first_status_common();
void select_real_common();
