// The common driver, for every intercom code without a driver of its own,
// and the two operations that other drivers share with it.
#include "line/board.h"
#include "line/drivers.h"
#include "line/pins.h"
#include "line/timing.h"
#include "out/output.h"
#include "protocol/console.h"

void gpio_first_status_common() { soft_reset(); }

void select_real_common() {}

namespace {

constexpr CommonTimings kCommon = {
    .on_hook_settle_ms = 1,
    .connect_settle_ms = 10,
    .off_hook_settle_ms = 10,
    .pickup_hold_ms = 10,
    .open_call_hold_ms = 1000,
    .open_key_ms = 1000,
    .key_release_wait_ms = 10,
    .reject_hold_ms = 2000,
    .reject_release_ms = 1000,
    .hang_up_settle_ms = 500,
    .release_wait_ms = 10,
    .door_pulse_ms = 1000,
};

// Pause after the door pulse, as after every relay pulse.
constexpr unsigned kDoorReleaseMs = 10;

InstalledRow<CommonTimings> g_row(&kCommon);

void open_free_common() {
  pin_write(kPinDoorRelay, kHigh);
  wait_ms(g_row->door_pulse_ms);
  pin_write(kPinDoorRelay, kLow);
  wait_ms(kDoorReleaseMs);
}

// Leaves the line connected with the open key held until the next idle
// operation. The marker is a line of its own: the controlling process reads
// lines, and the next event line must not be glued to it.
void open_call_common() {
  out_line(kLineCommon);
  set_hook(kHookOffHook);
  wait_ms(g_row->off_hook_settle_ms);
  pin_write(kPinLineSelector, kHigh);
  wait_ms(g_row->open_call_hold_ms);
  set_hook(kHookOpenKey);
  wait_ms(g_row->open_key_ms);
}

// The open key on GPIO 23 alone; GPIO 22 keeps its level.
void open_pickup_common() {
  pin_write(kPinHook1, kLow);
  wait_ms(g_row->open_key_ms);
  pin_write(kPinHook1, kHigh);
  wait_ms(g_row->key_release_wait_ms);
}

// Off hook first, then the line: no select_imit before it.
void pickup_common() {
  set_hook(kHookOffHook);
  wait_ms(g_row->off_hook_settle_ms);
  pin_write(kPinLineSelector, kHigh);
  wait_ms(g_row->pickup_hold_ms);
}

void select_imit_common() {
  set_hook(kHookOnHook);
  wait_ms(g_row->on_hook_settle_ms);
  pin_write(kPinLineSelector, kHigh);
  wait_ms(g_row->connect_settle_ms);
}

// Answers for two seconds, then releases the hook lines; the selector stays
// high until the next idle operation.
void drop_call_common() {
  set_hook(kHookOffHook);
  wait_ms(g_row->off_hook_settle_ms);
  pin_write(kPinLineSelector, kHigh);
  wait_ms(g_row->reject_hold_ms);
  set_hook(kHookReleased);
  wait_ms(g_row->reject_release_ms);
}

// Hook lines and selector only; relays, GPIO 14 and GPIO 2 keep their levels.
void drop_pickup_common() {
  set_hook(kHookReleased);
  wait_ms(g_row->hang_up_settle_ms);
  pin_write(kPinLineSelector, kLow);
  wait_ms(g_row->release_wait_ms);
}

}  // namespace

void init_common() {
  g_row.install(
      tuned_timings<CommonTimings>(timing_section_of(init_common), kCommon, kCommonFields, true));
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
