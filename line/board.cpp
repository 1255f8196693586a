#include "line/board.h"

#include <bcm2835.h>

#include "line/line_guard.h"
#include "line/pins.h"

namespace {
constexpr uint8_t kOutputs[] = {kPinLineSelector, kPinHook1,     kPinHook2,
                                kPinCoprocReset,  kPinRelay0,    kPinRelay1,
                                kPinRelay2,       kPinDoorRelay, kPinSpiCe0};

constexpr uint8_t kRelayPins[] = {kPinRelay0, kPinRelay1, kPinRelay2, kPinDoorRelay};

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
  line_board_up();
  soft_reset();
}

void soft_reset() { write_levels(kBoardIdle); }

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
