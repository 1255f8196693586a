#include "line/pins.h"

#include <bcm2835.h>

#include "line/line_guard.h"

void pin_write(uint8_t pin, uint8_t level) { line_guarded_write(pin, level); }

void write_levels(std::span<const PinLevel> levels) {
  for (const PinLevel& p : levels) {
    pin_write(p.pin, p.level);
  }
}

void set_hook(HookState state) {
  pin_write(kPinHook1, state.hook1);
  pin_write(kPinHook2, state.hook2);
}

void wait_ms(unsigned ms) { bcm2835_delay(ms); }
