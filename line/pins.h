// Board pin map and the one path by which the program drives an output pin.
#pragma once
#include <cstdint>
#include <span>

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

// Every output level the program sets goes through here rather than straight
// to bcm2835_gpio_write, so that a stopped board, or a sequence that another
// thread has superseded, drives no further pin.
void pin_write(uint8_t pin, uint8_t level);

// The levels, in order, with no wait between them.
void write_levels(std::span<const PinLevel> levels);

// GPIO 23 then GPIO 22, back to back.
void set_hook(HookState state);

// Milliseconds of blocking sleep of the calling thread.
void wait_ms(unsigned ms);
