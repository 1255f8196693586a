// The Marshal driver, also used for Raikman lines. It never sets the hook
// lines itself: it only moves the selector and the door relay, and the board
// idle state releases the hook lines.
#include "line/board.h"
#include "line/drivers.h"
#include "line/pins.h"
#include "line/timing.h"

namespace {

// Rests four seconds after the door pulse, where the other systems rest 10 ms.
constexpr MarshalTimings kMarshal = {
    .door_pulse_ms = 1000,
    .door_rest_ms = 4000,
    .pickup_hold_ms = 1000,
    .reject_hold_ms = 2000,
    .release_wait_ms = 10,
};

InstalledRow<MarshalTimings> g_row(&kMarshal);

void open_free_Marshal() {
  pin_write(kPinDoorRelay, kHigh);
  wait_ms(g_row->door_pulse_ms);
  pin_write(kPinDoorRelay, kLow);
  wait_ms(g_row->door_rest_ms);
}

void pickup_Marshal() {
  pin_write(kPinLineSelector, kHigh);
  wait_ms(g_row->pickup_hold_ms);
}

void select_imit_Marshal() {}

void drop_pickup_Marshal() {
  pin_write(kPinLineSelector, kLow);
  wait_ms(g_row->release_wait_ms);
  soft_reset();
}

void drop_call_Marshal() {
  pin_write(kPinLineSelector, kHigh);
  wait_ms(g_row->reject_hold_ms);
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
  g_row.install(tuned_timings<MarshalTimings>(timing_section_of(init_Marshal), kMarshal,
                                              kMarshalFields, true));
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
