// The standard line drivers: VIZIT, Metakom 2003 and 2012, Eltis 5000, 300,
// 400 and 100, Cyfral, and Eltis 5000 with the KM500 unit. They answer, open
// and hang up in the same shape and differ in timings and a few steps; one
// row per intercom system holds all of that, and one set of nine operations
// reads it.
#include <optional>

#include "line/board.h"
#include "line/drivers.h"
#include "line/pins.h"

namespace {

// How long each step holds the line, in milliseconds. An empty optional wait
// is no wait at all, not a wait of 0 ms.
struct StandardTimings {
  unsigned on_hook_settle_ms;    // on hook, before the selector connects the imitated handset
  unsigned connect_settle_ms;    // after the selector connects it
  unsigned pickup_hold_ms;       // off hook, before the answer is done
  unsigned open_key_presses;     // presses of the open key per door opening
  unsigned open_key_ms;          // each press
  unsigned key_release_wait_ms;  // off hook again after each press
  std::optional<unsigned> reject_hold_ms;  // answered before a rejected call is hung up
  unsigned release_wait_ms;                // after the selector gives the line back
  unsigned door_pulse_ms;                  // door relay held high
};

// The steps in which a system departs from the plain shape.
struct StandardShape {
  LineOp idle;                                 // the driver's idle levels
  LineOp select_real;                          // a dialled call left to the real handset
  std::optional<unsigned> after_hang_up_ms;    // drop_pickup: rest after the idle levels
  bool open_pickup_hangs_up;                   // the handset hangs up after the door key
  std::optional<unsigned> open_call_pause_ms;  // open_call: between answer and door key
  bool open_call_ends_with_soft_reset;
};

struct StandardRow {
  StandardTimings timing;
  StandardShape shape;
};

void gpio_first_status_Eltis5000_KM500();
void select_real_Eltis5000_KM500();

constexpr StandardShape kPlainShape = {
    .idle = gpio_first_status_common,
    .select_real = select_real_common,
    .after_hang_up_ms = std::nullopt,
    .open_pickup_hangs_up = false,
    .open_call_pause_ms = std::nullopt,
    .open_call_ends_with_soft_reset = true,
};

// Metakom 2003 pauses a second between answering and the door key, and rests
// half a second after hanging up.
constexpr StandardShape kMetakom2003Shape = {
    .idle = gpio_first_status_common,
    .select_real = select_real_common,
    .after_hang_up_ms = 500,
    .open_pickup_hangs_up = false,
    .open_call_pause_ms = 1000,
    .open_call_ends_with_soft_reset = true,
};

// Eltis 100 hangs up as soon as the door key has been pressed.
constexpr StandardShape kEltis100Shape = {
    .idle = gpio_first_status_common,
    .select_real = select_real_common,
    .after_hang_up_ms = std::nullopt,
    .open_pickup_hangs_up = true,
    .open_call_pause_ms = std::nullopt,
    .open_call_ends_with_soft_reset = true,
};

// With the KM500 unit the idle line stays on the imitated handset, on hook,
// so a call for a real handset has to take the selector low, and hanging up
// returns to those idle levels rather than the board idle state.
constexpr StandardShape kKm500Shape = {
    .idle = gpio_first_status_Eltis5000_KM500,
    .select_real = select_real_Eltis5000_KM500,
    .after_hang_up_ms = std::nullopt,
    .open_pickup_hangs_up = false,
    .open_call_pause_ms = std::nullopt,
    .open_call_ends_with_soft_reset = false,
};

constexpr std::nullopt_t kNoWait = std::nullopt;

// clang-format off
//                                     on-hook  connect  pickup  open key           reject   release  door
//                                     settle   settle   hold    presses ms    rel. hold     wait     pulse
constexpr StandardRow kVizit          {{10,     10,      1000,   1,      1000, 500,  kNoWait, 10,      1000}, kPlainShape};
constexpr StandardRow kMetakom2003    {{10,     10,      1000,   4,      500,  500,  2000,    10,      1000}, kMetakom2003Shape};
constexpr StandardRow kMetakom2012    {{1,      10,      1000,   1,      300,  500,  2000,    10,      1000}, kPlainShape};
constexpr StandardRow kEltis5000      {{1,      10,      1000,   1,      300,  500,  2000,    10,      1000}, kPlainShape};
constexpr StandardRow kEltis300       {{1,      100,     4000,   1,      2000, 3000, 2000,    10,      1000}, kPlainShape};
constexpr StandardRow kEltis400       {{1,      100,     2000,   1,      2000, 3000, 2000,    10,      1000}, kPlainShape};
constexpr StandardRow kEltis100       {{10,     1000,    1000,   1,      2000, 1500, 1000,    10,      1600}, kEltis100Shape};
constexpr StandardRow kCyfral         {{1,      100,     600,    1,      2000, 3000, 2000,    10,      1000}, kPlainShape};
constexpr StandardRow kEltis5000Km500 {{1,      10,      1000,   1,      300,  500,  2000,    2000,    1000}, kKm500Shape};
// clang-format on

// On hook for a second before the selector gives the line back.
constexpr unsigned kHangUpSettleMs = 1000;
// Pause after the door pulse, as after every relay pulse.
constexpr unsigned kDoorReleaseMs = 10;
// After the KM500 selector lets go of the line for a real handset.
constexpr unsigned kKm500ReleaseMs = 10;

void wait_if(std::optional<unsigned> ms) {
  if (ms) {
    wait_ms(*ms);
  }
}

// ---- The nine operations of a standard driver ----
// Where one uses another, it calls that operation of its own driver directly.

template <const StandardRow& R>
void select_imit_std() {
  set_hook(kHookOnHook);
  wait_ms(R.timing.on_hook_settle_ms);
  pin_write(kPinLineSelector, kHigh);
  wait_ms(R.timing.connect_settle_ms);
}

template <const StandardRow& R>
void pickup_std() {
  select_imit_std<R>();
  set_hook(kHookOffHook);
  wait_ms(R.timing.pickup_hold_ms);
}

template <const StandardRow& R>
void drop_pickup_std() {
  set_hook(kHookOnHook);
  wait_ms(kHangUpSettleMs);
  pin_write(kPinLineSelector, kLow);
  wait_ms(R.timing.release_wait_ms);
  R.shape.idle();
  wait_if(R.shape.after_hang_up_ms);
}

template <const StandardRow& R>
void open_pickup_std() {
  for (unsigned press = 0; press < R.timing.open_key_presses; ++press) {
    set_hook(kHookOpenKey);
    wait_ms(R.timing.open_key_ms);
    set_hook(kHookOffHook);
    wait_ms(R.timing.key_release_wait_ms);
  }
  if (R.shape.open_pickup_hangs_up) {
    drop_pickup_std<R>();
  }
}

template <const StandardRow& R>
void drop_call_std() {
  pickup_std<R>();
  wait_if(R.timing.reject_hold_ms);
  drop_pickup_std<R>();
}

template <const StandardRow& R>
void open_call_std() {
  pickup_std<R>();
  wait_if(R.shape.open_call_pause_ms);
  open_pickup_std<R>();
  drop_pickup_std<R>();
  if (R.shape.open_call_ends_with_soft_reset) {
    soft_reset();
  }
}

template <const StandardRow& R>
void open_free_std() {
  pin_write(kPinDoorRelay, kHigh);
  wait_ms(R.timing.door_pulse_ms);
  pin_write(kPinDoorRelay, kLow);
  wait_ms(kDoorReleaseMs);
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

// ---- The operations by name ----

constexpr LineOp open_free_vizit = &open_free_std<kVizit>;
constexpr LineOp open_call_vizit = &open_call_std<kVizit>;
constexpr LineOp open_pickup_vizit = &open_pickup_std<kVizit>;
constexpr LineOp pickup_vizit = &pickup_std<kVizit>;
constexpr LineOp select_imit_vizit = &select_imit_std<kVizit>;
constexpr LineOp drop_call_vizit = &drop_call_std<kVizit>;
constexpr LineOp drop_pickup_vizit = &drop_pickup_std<kVizit>;

constexpr LineOp open_free_Metakom_2003 = &open_free_std<kMetakom2003>;
constexpr LineOp open_call_Metakom_2003 = &open_call_std<kMetakom2003>;
constexpr LineOp open_pickup_Metakom_2003 = &open_pickup_std<kMetakom2003>;
constexpr LineOp pickup_Metakom_2003 = &pickup_std<kMetakom2003>;
constexpr LineOp select_imit_Metakom_2003 = &select_imit_std<kMetakom2003>;
constexpr LineOp drop_call_Metakom_2003 = &drop_call_std<kMetakom2003>;
constexpr LineOp drop_pickup_Metakom_2003 = &drop_pickup_std<kMetakom2003>;

constexpr LineOp open_free_Metakom_2012 = &open_free_std<kMetakom2012>;
constexpr LineOp open_call_Metakom_2012 = &open_call_std<kMetakom2012>;
constexpr LineOp open_pickup_Metakom_2012 = &open_pickup_std<kMetakom2012>;
constexpr LineOp pickup_Metakom_2012 = &pickup_std<kMetakom2012>;
constexpr LineOp select_imit_Metakom_2012 = &select_imit_std<kMetakom2012>;
constexpr LineOp drop_call_Metakom_2012 = &drop_call_std<kMetakom2012>;
constexpr LineOp drop_pickup_Metakom_2012 = &drop_pickup_std<kMetakom2012>;

constexpr LineOp open_free_Eltis5000 = &open_free_std<kEltis5000>;
constexpr LineOp open_call_Eltis5000 = &open_call_std<kEltis5000>;
constexpr LineOp open_pickup_Eltis5000 = &open_pickup_std<kEltis5000>;
constexpr LineOp pickup_Eltis5000 = &pickup_std<kEltis5000>;
constexpr LineOp select_imit_Eltis5000 = &select_imit_std<kEltis5000>;
constexpr LineOp drop_call_Eltis5000 = &drop_call_std<kEltis5000>;
constexpr LineOp drop_pickup_Eltis5000 = &drop_pickup_std<kEltis5000>;

constexpr LineOp open_free_Eltis300 = &open_free_std<kEltis300>;
constexpr LineOp open_call_Eltis300 = &open_call_std<kEltis300>;
constexpr LineOp open_pickup_Eltis300 = &open_pickup_std<kEltis300>;
constexpr LineOp pickup_Eltis300 = &pickup_std<kEltis300>;
constexpr LineOp select_imit_Eltis300 = &select_imit_std<kEltis300>;
constexpr LineOp drop_call_Eltis300 = &drop_call_std<kEltis300>;
constexpr LineOp drop_pickup_Eltis300 = &drop_pickup_std<kEltis300>;

constexpr LineOp open_free_Eltis400 = &open_free_std<kEltis400>;
constexpr LineOp open_call_Eltis400 = &open_call_std<kEltis400>;
constexpr LineOp open_pickup_Eltis400 = &open_pickup_std<kEltis400>;
constexpr LineOp pickup_Eltis400 = &pickup_std<kEltis400>;
constexpr LineOp select_imit_Eltis400 = &select_imit_std<kEltis400>;
constexpr LineOp drop_call_Eltis400 = &drop_call_std<kEltis400>;
constexpr LineOp drop_pickup_Eltis400 = &drop_pickup_std<kEltis400>;

constexpr LineOp open_free_Eltis100 = &open_free_std<kEltis100>;
constexpr LineOp open_call_Eltis100 = &open_call_std<kEltis100>;
constexpr LineOp open_pickup_Eltis100 = &open_pickup_std<kEltis100>;
constexpr LineOp pickup_Eltis100 = &pickup_std<kEltis100>;
constexpr LineOp select_imit_Eltis100 = &select_imit_std<kEltis100>;
constexpr LineOp drop_call_Eltis100 = &drop_call_std<kEltis100>;
constexpr LineOp drop_pickup_Eltis100 = &drop_pickup_std<kEltis100>;

constexpr LineOp open_free_Cyfral = &open_free_std<kCyfral>;
constexpr LineOp open_call_Cyfral = &open_call_std<kCyfral>;
constexpr LineOp open_pickup_Cyfral = &open_pickup_std<kCyfral>;
constexpr LineOp pickup_Cyfral = &pickup_std<kCyfral>;
constexpr LineOp select_imit_Cyfral = &select_imit_std<kCyfral>;
constexpr LineOp drop_call_Cyfral = &drop_call_std<kCyfral>;
constexpr LineOp drop_pickup_Cyfral = &drop_pickup_std<kCyfral>;

constexpr LineOp open_free_Eltis5000_KM500 = &open_free_std<kEltis5000Km500>;
constexpr LineOp open_call_Eltis5000_KM500 = &open_call_std<kEltis5000Km500>;
constexpr LineOp open_pickup_Eltis5000_KM500 = &open_pickup_std<kEltis5000Km500>;
constexpr LineOp pickup_Eltis5000_KM500 = &pickup_std<kEltis5000Km500>;
constexpr LineOp select_imit_Eltis5000_KM500 = &select_imit_std<kEltis5000Km500>;
constexpr LineOp drop_call_Eltis5000_KM500 = &drop_call_std<kEltis5000Km500>;
constexpr LineOp drop_pickup_Eltis5000_KM500 = &drop_pickup_std<kEltis5000Km500>;

}  // namespace

// ---- Installers ----

void init_VIZIT() {
  install_line_driver({
      .gpio_first_status = kVizit.shape.idle,
      .open_free = open_free_vizit,
      .open_call = open_call_vizit,
      .open_pickup = open_pickup_vizit,
      .pickup = pickup_vizit,
      .select_imit = select_imit_vizit,
      .select_real = kVizit.shape.select_real,
      .drop_call = drop_call_vizit,
      .drop_pickup = drop_pickup_vizit,
  });
}

void init_Metakom_2003() {
  install_line_driver({
      .gpio_first_status = kMetakom2003.shape.idle,
      .open_free = open_free_Metakom_2003,
      .open_call = open_call_Metakom_2003,
      .open_pickup = open_pickup_Metakom_2003,
      .pickup = pickup_Metakom_2003,
      .select_imit = select_imit_Metakom_2003,
      .select_real = kMetakom2003.shape.select_real,
      .drop_call = drop_call_Metakom_2003,
      .drop_pickup = drop_pickup_Metakom_2003,
  });
}

void init_Metakom_2012() {
  install_line_driver({
      .gpio_first_status = kMetakom2012.shape.idle,
      .open_free = open_free_Metakom_2012,
      .open_call = open_call_Metakom_2012,
      .open_pickup = open_pickup_Metakom_2012,
      .pickup = pickup_Metakom_2012,
      .select_imit = select_imit_Metakom_2012,
      .select_real = kMetakom2012.shape.select_real,
      .drop_call = drop_call_Metakom_2012,
      .drop_pickup = drop_pickup_Metakom_2012,
  });
}

void init_Eltis5000() {
  install_line_driver({
      .gpio_first_status = kEltis5000.shape.idle,
      .open_free = open_free_Eltis5000,
      .open_call = open_call_Eltis5000,
      .open_pickup = open_pickup_Eltis5000,
      .pickup = pickup_Eltis5000,
      .select_imit = select_imit_Eltis5000,
      .select_real = kEltis5000.shape.select_real,
      .drop_call = drop_call_Eltis5000,
      .drop_pickup = drop_pickup_Eltis5000,
  });
}

void init_Eltis300() {
  install_line_driver({
      .gpio_first_status = kEltis300.shape.idle,
      .open_free = open_free_Eltis300,
      .open_call = open_call_Eltis300,
      .open_pickup = open_pickup_Eltis300,
      .pickup = pickup_Eltis300,
      .select_imit = select_imit_Eltis300,
      .select_real = kEltis300.shape.select_real,
      .drop_call = drop_call_Eltis300,
      .drop_pickup = drop_pickup_Eltis300,
  });
}

void init_Eltis400() {
  install_line_driver({
      .gpio_first_status = kEltis400.shape.idle,
      .open_free = open_free_Eltis400,
      .open_call = open_call_Eltis400,
      .open_pickup = open_pickup_Eltis400,
      .pickup = pickup_Eltis400,
      .select_imit = select_imit_Eltis400,
      .select_real = kEltis400.shape.select_real,
      .drop_call = drop_call_Eltis400,
      .drop_pickup = drop_pickup_Eltis400,
  });
}

void init_Eltis100() {
  install_line_driver({
      .gpio_first_status = kEltis100.shape.idle,
      .open_free = open_free_Eltis100,
      .open_call = open_call_Eltis100,
      .open_pickup = open_pickup_Eltis100,
      .pickup = pickup_Eltis100,
      .select_imit = select_imit_Eltis100,
      .select_real = kEltis100.shape.select_real,
      .drop_call = drop_call_Eltis100,
      .drop_pickup = drop_pickup_Eltis100,
  });
}

void init_Cyfral() {
  install_line_driver({
      .gpio_first_status = kCyfral.shape.idle,
      .open_free = open_free_Cyfral,
      .open_call = open_call_Cyfral,
      .open_pickup = open_pickup_Cyfral,
      .pickup = pickup_Cyfral,
      .select_imit = select_imit_Cyfral,
      .select_real = kCyfral.shape.select_real,
      .drop_call = drop_call_Cyfral,
      .drop_pickup = drop_pickup_Cyfral,
  });
}

void init_Eltis5000_KM500() {
  install_line_driver({
      .gpio_first_status = kEltis5000Km500.shape.idle,
      .open_free = open_free_Eltis5000_KM500,
      .open_call = open_call_Eltis5000_KM500,
      .open_pickup = open_pickup_Eltis5000_KM500,
      .pickup = pickup_Eltis5000_KM500,
      .select_imit = select_imit_Eltis5000_KM500,
      .select_real = kEltis5000Km500.shape.select_real,
      .drop_call = drop_call_Eltis5000_KM500,
      .drop_pickup = drop_pickup_Eltis5000_KM500,
  });
}
