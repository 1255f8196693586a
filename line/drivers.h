// The line driver table: nine operations that the rest of the program calls
// without knowing which intercom system is on the line, one installer per
// line driver, and the choice of driver and settings path by intercom code.
//
// An operation only moves pins and waits; it reads no program state and
// prints nothing (the common driver's open_call prints one marker line).
// The slots are written during start-up only, before the console and link
// threads exist, so both threads read them without a lock.
#pragma once
#include <cstdint>

using LineOp = void (*)();

// The driver table, zero until an installer runs. Order matters: every
// installer fills the slots in this order.
extern LineOp gpio_first_status;  // the driver's idle levels (link thread, and once at start-up)
extern LineOp open_free;          // open the door, no call in progress
extern LineOp open_call;          // open the door for a ringing call; the call is over afterwards
extern LineOp open_pickup;        // open the door during a picked-up call
extern LineOp pickup;             // pick up a ringing call on the imitated handset
extern LineOp select_imit;        // dialled: connect the imitated handset (link thread)
extern LineOp select_real;        // dialled: leave the call to the real handset (link thread)
extern LineOp drop_call;          // reject a ringing call
extern LineOp drop_pickup;        // hang up a picked-up call

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

// One driver's nine operations, in slot order.
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

// Writes the nine slots, in slot order.
void install_line_driver(const LineDriver& driver);

// Shared by several drivers: the common idle (the board idle state) and the
// select_real that leaves the line to the real handset without a pin moving.
void gpio_first_status_common();
void select_real_common();
