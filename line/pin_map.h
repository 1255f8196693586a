// The board's pin map and the levels that make up its idle state: data only,
// for every part of line control that names a pin.
#pragma once
#include <cstdint>

// Broadcom GPIO numbers of the shield.
enum : uint8_t {
  kPinLineSelector = 24,  // high: apartment line to the imitated handset
  kPinHook1 = 23,         // first hook line
  kPinHook2 = 22,         // second hook line
  kPinCoprocReset = 14,   // co-processor reset, active low
  kPinRelay0 = 6,
  kPinRelay1 = 25,
  kPinRelay2 = 16,
  kPinDoorRelay = 26,  // door relay, also relay index 3
  kPinSpiCe0 = 8,      // made an output, then taken over by SPI0 as CE0
  kPinSpare15 = 15,    // input with pull-down, never read
  kPinAux2 = 2,        // driven high by the board idle state
};

enum : uint8_t { kLow = 0, kHigh = 1 };
enum : uint8_t { kFselInput = 0, kFselOutput = 1 };
enum : uint8_t { kPudDown = 1 };

// Hook line states: GPIO 23 level, GPIO 22 level.
struct HookState {
  uint8_t hook1;
  uint8_t hook2;
};
inline constexpr HookState kHookReleased{kHigh, kHigh};
inline constexpr HookState kHookOnHook{kLow, kHigh};
inline constexpr HookState kHookOffHook{kHigh, kLow};
inline constexpr HookState kHookOpenKey{kLow, kLow};

// One pin and the level it is to have.
struct PinLevel {
  uint8_t pin;
  uint8_t level;
};

// The board idle state, in the order the shield expects it; GPIO 8 and 15
// are never written and the co-processor reset stays high.
inline constexpr PinLevel kBoardIdle[] = {
    {kPinLineSelector, kLow}, {kPinHook1, kHigh},    {kPinHook2, kHigh},
    {kPinCoprocReset, kHigh}, {kPinRelay0, kLow},    {kPinRelay1, kLow},
    {kPinRelay2, kLow},       {kPinDoorRelay, kLow}, {kPinAux2, kHigh},
};

// The pins that carry the call: a sequence that a call event has superseded
// writes them no more. Relay and door pulses always finish: one stopped
// half-way would leave a relay or the door held.
constexpr bool is_line_pin(uint8_t pin) {
  return pin == kPinLineSelector || pin == kPinHook1 || pin == kPinHook2;
}
