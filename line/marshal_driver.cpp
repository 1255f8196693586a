// The Marshal driver, also used for Raikman lines. It never sets the hook
// lines itself: it only moves the selector and the door relay, and the board
// idle state releases the hook lines.
#include "line/board.h"
#include "line/drivers.h"
#include "line/pins.h"

namespace {

// Rests four seconds after the door pulse, where the other systems rest 10 ms.
void open_free_Marshal() {
  pin_write(kPinDoorRelay, kHigh);
  wait_ms(1000);
  pin_write(kPinDoorRelay, kLow);
  wait_ms(4000);
}

void pickup_Marshal() {
  pin_write(kPinLineSelector, kHigh);
  wait_ms(1000);
}

void select_imit_Marshal() {}

void drop_pickup_Marshal() {
  pin_write(kPinLineSelector, kLow);
  wait_ms(10);
  soft_reset();
}

void drop_call_Marshal() {
  pin_write(kPinLineSelector, kHigh);
  wait_ms(2000);
  drop_pickup_Marshal();
}

void open_call_Marshal() {
  open_free_Marshal();
  drop_call_Marshal();
}

void open_pickup_Marshal() {
  open_free_Marshal();
  drop_pickup_Marshal();
}

}  // namespace

void init_Marshal() {
  install_line_driver({
      .gpio_first_status = gpio_first_status_common,
      .open_free = open_free_Marshal,
      .open_call = open_call_Marshal,
      .open_pickup = open_pickup_Marshal,
      .pickup = pickup_Marshal,
      .select_imit = select_imit_Marshal,
      .select_real = select_real_common,
      .drop_call = drop_call_Marshal,
      .drop_pickup = drop_pickup_Marshal,
  });
}
