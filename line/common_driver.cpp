// The common driver, for every intercom code without a driver of its own,
// and the two operations that other drivers share with it.
#include "line/board.h"
#include "line/drivers.h"
#include "line/pins.h"
#include "out/output.h"

void gpio_first_status_common() { soft_reset(); }

void select_real_common() {}

namespace {

void open_free_common() {
  pin_write(kPinDoorRelay, kHigh);
  wait_ms(1000);
  pin_write(kPinDoorRelay, kLow);
  wait_ms(10);
}

// Leaves the line connected with the open key held until the next idle
// operation. The marker is a line of its own: the controlling process reads
// lines, and the next event line must not be glued to it.
void open_call_common() {
  out_line("common");
  set_hook(kHookOffHook);
  wait_ms(10);
  pin_write(kPinLineSelector, kHigh);
  wait_ms(1000);
  set_hook(kHookOpenKey);
  wait_ms(1000);
}

// The open key on GPIO 23 alone; GPIO 22 keeps its level.
void open_pickup_common() {
  pin_write(kPinHook1, kLow);
  wait_ms(1000);
  pin_write(kPinHook1, kHigh);
  wait_ms(10);
}

// Off hook first, then the line: no select_imit before it.
void pickup_common() {
  set_hook(kHookOffHook);
  wait_ms(10);
  pin_write(kPinLineSelector, kHigh);
  wait_ms(10);
}

void select_imit_common() {
  set_hook(kHookOnHook);
  wait_ms(1);
  pin_write(kPinLineSelector, kHigh);
  wait_ms(10);
}

// Answers for two seconds, then releases the hook lines; the selector stays
// high until the next idle operation.
void drop_call_common() {
  set_hook(kHookOffHook);
  wait_ms(10);
  pin_write(kPinLineSelector, kHigh);
  wait_ms(2000);
  set_hook(kHookReleased);
  wait_ms(1000);
}

// Hook lines and selector only; relays, GPIO 14 and GPIO 2 keep their levels.
void drop_pickup_common() {
  set_hook(kHookReleased);
  wait_ms(500);
  pin_write(kPinLineSelector, kLow);
  wait_ms(10);
}

}  // namespace

void init_common() {
  install_line_driver({
      .gpio_first_status = gpio_first_status_common,
      .open_free = open_free_common,
      .open_call = open_call_common,
      .open_pickup = open_pickup_common,
      .pickup = pickup_common,
      .select_imit = select_imit_common,
      .select_real = select_real_common,
      .drop_call = drop_call_common,
      .drop_pickup = drop_pickup_common,
  });
}
