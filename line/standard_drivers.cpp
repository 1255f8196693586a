// The standard line drivers: VIZIT, Metakom 2003 and 2012, Eltis 5000, 300,
// 400 and 100, Cyfral, and Eltis 5000 with the KM500 unit. They answer, open
// and hang up in the same shape and differ in timings and a few steps; one
// row per intercom system holds all of that, and one set of nine operations
// reads the row that the installer put in place.
#include "line/board.h"
#include "line/drivers.h"
#include "line/pins.h"
#include "line/timing.h"

namespace {

// With the KM500 unit the idle line stays on the imitated handset, on hook,
// and a call for a real handset has to take the selector low.
void gpio_first_status_Eltis5000_KM500();
void select_real_Eltis5000_KM500();

// The steps in which a system departs from the plain shape; a row names
// only its departures.
struct StandardShape {
  LineOp idle = gpio_first_status_common;   // the driver's idle levels
  LineOp select_real = select_real_common;  // a dialled call left to the real handset
  unsigned after_hang_up_ms = kNoWait;      // drop_pickup: rest after the idle levels
  bool open_pickup_hangs_up = false;        // the handset hangs up after the door key
  unsigned open_call_pause_ms = kNoWait;    // open_call: between answer and door key
  bool open_call_ends_with_soft_reset = true;
};

struct StandardRow {
  StandardTimings timing;
  StandardShape shape = {};  // the plain shape unless the row says otherwise
};

constexpr StandardRow kVizit = {
    .timing = {.on_hook_settle_ms = 10,
               .connect_settle_ms = 10,
               .pickup_hold_ms = 1000,
               .open_key_presses = 1,
               .open_key_ms = 1000,
               .key_release_wait_ms = 500,
               .reject_hold_ms = kNoWait,
               .release_wait_ms = 10,
               .door_pulse_ms = 1000},
};

// Presses the open key four times, pauses a second between answering and
// the door key, and rests half a second after hanging up.
constexpr StandardRow kMetakom2003 = {
    .timing = {.on_hook_settle_ms = 10,
               .connect_settle_ms = 10,
               .pickup_hold_ms = 1000,
               .open_key_presses = 4,
               .open_key_ms = 500,
               .key_release_wait_ms = 500,
               .reject_hold_ms = 2000,
               .release_wait_ms = 10,
               .door_pulse_ms = 1000},
    .shape = {.after_hang_up_ms = 500, .open_call_pause_ms = 1000},
};

// Metakom 2012 and Eltis 5000 are the same on the line: one row, installed
// by two installers so that timing.conf tunes each system in its own section.
constexpr StandardRow kMetakom2012Eltis5000 = {
    .timing = {.on_hook_settle_ms = 1,
               .connect_settle_ms = 10,
               .pickup_hold_ms = 1000,
               .open_key_presses = 1,
               .open_key_ms = 300,
               .key_release_wait_ms = 500,
               .reject_hold_ms = 2000,
               .release_wait_ms = 10,
               .door_pulse_ms = 1000},
};

constexpr StandardRow kEltis300 = {
    .timing = {.on_hook_settle_ms = 1,
               .connect_settle_ms = 100,
               .pickup_hold_ms = 4000,
               .open_key_presses = 1,
               .open_key_ms = 2000,
               .key_release_wait_ms = 3000,
               .reject_hold_ms = 2000,
               .release_wait_ms = 10,
               .door_pulse_ms = 1000},
};

constexpr StandardRow kEltis400 = {
    .timing = {.on_hook_settle_ms = 1,
               .connect_settle_ms = 100,
               .pickup_hold_ms = 2000,
               .open_key_presses = 1,
               .open_key_ms = 2000,
               .key_release_wait_ms = 3000,
               .reject_hold_ms = 2000,
               .release_wait_ms = 10,
               .door_pulse_ms = 1000},
};

// Hangs up as soon as the door key has been pressed.
constexpr StandardRow kEltis100 = {
    .timing = {.on_hook_settle_ms = 10,
               .connect_settle_ms = 1000,
               .pickup_hold_ms = 1000,
               .open_key_presses = 1,
               .open_key_ms = 2000,
               .key_release_wait_ms = 1500,
               .reject_hold_ms = 1000,
               .release_wait_ms = 10,
               .door_pulse_ms = 1600},
    .shape = {.open_pickup_hangs_up = true},
};

constexpr StandardRow kCyfral = {
    .timing = {.on_hook_settle_ms = 1,
               .connect_settle_ms = 100,
               .pickup_hold_ms = 600,
               .open_key_presses = 1,
               .open_key_ms = 2000,
               .key_release_wait_ms = 3000,
               .reject_hold_ms = 2000,
               .release_wait_ms = 10,
               .door_pulse_ms = 1000},
};

// With the KM500 unit the idle line stays on the imitated handset, on hook,
// so a call for a real handset has to take the selector low, and hanging up
// returns to those idle levels rather than the board idle state.
constexpr StandardRow kEltis5000Km500 = {
    .timing = {.on_hook_settle_ms = 1,
               .connect_settle_ms = 10,
               .pickup_hold_ms = 1000,
               .open_key_presses = 1,
               .open_key_ms = 300,
               .key_release_wait_ms = 500,
               .reject_hold_ms = 2000,
               .release_wait_ms = 2000,
               .door_pulse_ms = 1000},
    .shape = {.idle = gpio_first_status_Eltis5000_KM500,
              .select_real = select_real_Eltis5000_KM500,
              .open_call_ends_with_soft_reset = false},
};

// On hook for a second before the selector gives the line back.
constexpr unsigned kHangUpSettleMs = 1000;
// Pause after the door pulse, as after every relay pulse.
constexpr unsigned kDoorReleaseMs = 10;
// After the KM500 selector lets go of the line for a real handset.
constexpr unsigned kKm500ReleaseMs = 10;

void wait_unless_none(unsigned ms) {
  if (ms != kNoWait) {
    wait_ms(ms);
  }
}

// ---- The nine operations, for any row ----
// Where one uses another, it calls that operation with the same row directly.

void select_imit_of(const StandardRow& r) {
  set_hook(kHookOnHook);
  wait_ms(r.timing.on_hook_settle_ms);
  pin_write(kPinLineSelector, kHigh);
  wait_ms(r.timing.connect_settle_ms);
}

void pickup_of(const StandardRow& r) {
  select_imit_of(r);
  set_hook(kHookOffHook);
  wait_ms(r.timing.pickup_hold_ms);
}

void drop_pickup_of(const StandardRow& r) {
  set_hook(kHookOnHook);
  wait_ms(kHangUpSettleMs);
  pin_write(kPinLineSelector, kLow);
  wait_ms(r.timing.release_wait_ms);
  r.shape.idle();
  wait_unless_none(r.shape.after_hang_up_ms);
}

void open_pickup_of(const StandardRow& r) {
  for (unsigned press = 0; press < r.timing.open_key_presses; ++press) {
    set_hook(kHookOpenKey);
    wait_ms(r.timing.open_key_ms);
    set_hook(kHookOffHook);
    wait_ms(r.timing.key_release_wait_ms);
  }
  if (r.shape.open_pickup_hangs_up) {
    drop_pickup_of(r);
  }
}

void drop_call_of(const StandardRow& r) {
  pickup_of(r);
  wait_unless_none(r.timing.reject_hold_ms);
  drop_pickup_of(r);
}

void open_call_of(const StandardRow& r) {
  pickup_of(r);
  wait_unless_none(r.shape.open_call_pause_ms);
  open_pickup_of(r);
  drop_pickup_of(r);
  if (r.shape.open_call_ends_with_soft_reset) {
    soft_reset();
  }
}

void open_free_of(const StandardRow& r) {
  pin_write(kPinDoorRelay, kHigh);
  wait_ms(r.timing.door_pulse_ms);
  pin_write(kPinDoorRelay, kLow);
  wait_ms(kDoorReleaseMs);
}

// ---- Installing a row ----

using RowOp = void (*)(const StandardRow&);

// The installed system's row with the installation's timings; none before
// an installer of this file has run.
InstalledRow<StandardRow> g_row(nullptr);

template <RowOp Op>
void installed() {
  Op(*g_row);
}

// `section` is the system's section in timing.conf.
void install_standard(const StandardRow& row, const char* section) {
  StandardRow tuned = row;
  tuned.timing = tuned_timings<StandardTimings>(section, row.timing, kStandardFields, true);
  g_row.install(tuned);
  install_line_driver({
      .gpio_first_status = g_row->shape.idle,
      .open_free = installed<open_free_of>,
      .open_call = installed<open_call_of>,
      .open_pickup = installed<open_pickup_of>,
      .pickup = installed<pickup_of>,
      .select_imit = installed<select_imit_of>,
      .select_real = g_row->shape.select_real,
      .drop_call = installed<drop_call_of>,
      .drop_pickup = installed<drop_pickup_of>,
  });
}

// The KM500 idle levels: the board idle state but with the line on the
// imitated handset, on hook. GPIO 2 is left as it is.
constexpr PinLevel kKm500Idle[] = {
    {kPinLineSelector, kHigh}, {kPinHook1, kLow},  {kPinHook2, kHigh}, {kPinCoprocReset, kHigh},
    {kPinRelay0, kLow},        {kPinRelay1, kLow}, {kPinRelay2, kLow}, {kPinDoorRelay, kLow},
};

void gpio_first_status_Eltis5000_KM500() { write_levels(kKm500Idle); }

void select_real_Eltis5000_KM500() {
  pin_write(kPinLineSelector, kLow);
  wait_ms(kKm500ReleaseMs);
}

}  // namespace

// ---- Installers ----

void init_VIZIT() { install_standard(kVizit, timing_section_of(init_VIZIT)); }
void init_Metakom_2003() { install_standard(kMetakom2003, timing_section_of(init_Metakom_2003)); }
void init_Metakom_2012() {
  install_standard(kMetakom2012Eltis5000, timing_section_of(init_Metakom_2012));
}
void init_Eltis5000() {
  install_standard(kMetakom2012Eltis5000, timing_section_of(init_Eltis5000));
}
void init_Eltis300() { install_standard(kEltis300, timing_section_of(init_Eltis300)); }
void init_Eltis400() { install_standard(kEltis400, timing_section_of(init_Eltis400)); }
void init_Eltis100() { install_standard(kEltis100, timing_section_of(init_Eltis100)); }
void init_Cyfral() { install_standard(kCyfral, timing_section_of(init_Cyfral)); }
void init_Eltis5000_KM500() {
  install_standard(kEltis5000Km500, timing_section_of(init_Eltis5000_KM500));
}
