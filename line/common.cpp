#include "line/common.h"

#include <bcm2835.h>

#include <atomic>

#include "line/pins.h"

namespace {
constexpr uint8_t kOutputs[] = {kPinLineSelector, kPinHook1,     kPinHook2,
                                kPinCoprocReset,  kPinRelay0,    kPinRelay1,
                                kPinRelay2,       kPinDoorRelay, kPinSpiCe0};

// In the order the shield expects them; GPIO 8 and 15 are never written.
constexpr PinLevel kBoardIdle[] = {
    {kPinLineSelector, kLow}, {kPinHook1, kHigh},    {kPinHook2, kHigh},
    {kPinCoprocReset, kHigh}, {kPinRelay0, kLow},    {kPinRelay1, kLow},
    {kPinRelay2, kLow},       {kPinDoorRelay, kLow}, {kPinAux2, kHigh},
};

constexpr uint8_t kRelayPins[] = {kPinRelay0, kPinRelay1, kPinRelay2, kPinDoorRelay};

// Set once the pins have been configured; before that the library may not be
// initialised and no pin may be touched.
std::atomic<bool> g_board_up{false};

constexpr unsigned kResetLowMs = 600;
constexpr unsigned kResetRecoverMs = 200;
constexpr unsigned kRelayPulseMs = 2000;
constexpr unsigned kRelayPauseMs = 10;
}  // namespace

void GPIO_init() {
  for (uint8_t pin : kOutputs) {
    bcm2835_gpio_fsel(pin, kFselOutput);
  }
  bcm2835_gpio_fsel(kPinSpare15, kFselInput);
  bcm2835_gpio_set_pud(kPinSpare15, kPudDown);
  bcm2835_gpio_fsel(kPinAux2, kFselOutput);
  g_board_up.store(true);
  soft_reset();
}

void soft_reset() { write_levels(kBoardIdle); }

void board_idle_raw() {
  if (!g_board_up.load()) {
    return;
  }
  for (const PinLevel& p : kBoardIdle) {
    bcm2835_gpio_write(p.pin, p.level);
  }
}

void hard_reset() {
  pin_write(kPinCoprocReset, kLow);
  wait_ms(kResetLowMs);
  pin_write(kPinCoprocReset, kHigh);
  wait_ms(kResetRecoverMs);
}

void openRel(uint8_t index) {
  if (index < sizeof kRelayPins) {
    pin_write(kRelayPins[index], kHigh);
    wait_ms(kRelayPulseMs);
    pin_write(kRelayPins[index], kLow);
  }
  wait_ms(kRelayPauseMs);
}
