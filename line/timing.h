// The line drivers' timings as data, by the names an installation uses for
// them in TEQsettings/timing.conf (timing_conf.h): one struct of fields per
// kind of driver, and the table of fields that the file may set. The
// sections' names are in the table of intercom systems (drivers.h).
//
// The drivers keep their compiled-in rows as defaults; an installer copies
// its system's row, lays the file's overrides over it and points the
// operations at the copy. Rows are written during start-up only, before the
// console and link threads exist.
#pragma once
#include <climits>
#include <span>

// A step that a sequence leaves out altogether. That is not a wait of 0 ms,
// which would still be a call of the library's delay.
inline constexpr unsigned kNoWait = UINT_MAX;

inline constexpr unsigned kMaxWaitMs = 60000;
inline constexpr unsigned kMinPresses = 1;
inline constexpr unsigned kMaxPresses = 10;

// VIZIT, Metakom 2003 and 2012, Eltis 5000, 300, 400 and 100, Cyfral, and
// Eltis 5000 with the KM500 unit.
struct StandardTimings {
  unsigned on_hook_settle_ms;    // on hook, before the selector connects the imitated handset
  unsigned connect_settle_ms;    // after the selector connects it
  unsigned pickup_hold_ms;       // off hook, before the answer is done
  unsigned open_key_presses;     // presses of the open key per door opening
  unsigned open_key_ms;          // each press
  unsigned key_release_wait_ms;  // off hook again after each press
  unsigned reject_hold_ms;       // answered before a rejected call is hung up (or kNoWait)
  unsigned release_wait_ms;      // after the selector gives the line back
  unsigned door_pulse_ms;        // door relay held high
};

// The common driver, for every intercom code without a driver of its own.
struct CommonTimings {
  unsigned on_hook_settle_ms;    // select_imit: on hook, before the selector goes high
  unsigned connect_settle_ms;    // select_imit: after the selector
  unsigned off_hook_settle_ms;   // pickup, open_call, drop_call: off hook, before the selector
  unsigned pickup_hold_ms;       // pickup: after the selector
  unsigned open_call_hold_ms;    // open_call: connected, before the open key
  unsigned open_key_ms;          // open_call and open_pickup: the open key
  unsigned key_release_wait_ms;  // open_pickup: after the key
  unsigned reject_hold_ms;       // drop_call: connected, before the hook lines are released
  unsigned reject_release_ms;    // drop_call: released, before it returns
  unsigned hang_up_settle_ms;    // drop_pickup: released, before the selector goes low
  unsigned release_wait_ms;      // drop_pickup: after the selector
  unsigned door_pulse_ms;        // open_free: door relay held high
};

// Marshal, also used for Raikman lines.
struct MarshalTimings {
  unsigned door_pulse_ms;    // door relay held high
  unsigned door_rest_ms;     // after the door pulse
  unsigned pickup_hold_ms;   // pickup: selector high
  unsigned reject_hold_ms;   // drop_call: selector high, before hanging up
  unsigned release_wait_ms;  // drop_pickup: after the selector goes low
};

// One field that timing.conf may set: its key and the values it takes.
template <class Timings>
struct TimingField {
  const char* key;
  unsigned Timings::*member;
  unsigned min;
  unsigned max;
};

template <class T>
constexpr TimingField<T> wait_field(const char* key, unsigned T::*member) {
  return {key, member, 0, kMaxWaitMs};
}

inline constexpr TimingField<StandardTimings> kStandardFields[] = {
    wait_field("on_hook_settle_ms", &StandardTimings::on_hook_settle_ms),
    wait_field("connect_settle_ms", &StandardTimings::connect_settle_ms),
    wait_field("pickup_hold_ms", &StandardTimings::pickup_hold_ms),
    {"open_key_presses", &StandardTimings::open_key_presses, kMinPresses, kMaxPresses},
    wait_field("open_key_ms", &StandardTimings::open_key_ms),
    wait_field("key_release_wait_ms", &StandardTimings::key_release_wait_ms),
    wait_field("reject_hold_ms", &StandardTimings::reject_hold_ms),
    wait_field("release_wait_ms", &StandardTimings::release_wait_ms),
    wait_field("door_pulse_ms", &StandardTimings::door_pulse_ms),
};

inline constexpr TimingField<CommonTimings> kCommonFields[] = {
    wait_field("on_hook_settle_ms", &CommonTimings::on_hook_settle_ms),
    wait_field("connect_settle_ms", &CommonTimings::connect_settle_ms),
    wait_field("off_hook_settle_ms", &CommonTimings::off_hook_settle_ms),
    wait_field("pickup_hold_ms", &CommonTimings::pickup_hold_ms),
    wait_field("open_call_hold_ms", &CommonTimings::open_call_hold_ms),
    wait_field("open_key_ms", &CommonTimings::open_key_ms),
    wait_field("key_release_wait_ms", &CommonTimings::key_release_wait_ms),
    wait_field("reject_hold_ms", &CommonTimings::reject_hold_ms),
    wait_field("reject_release_ms", &CommonTimings::reject_release_ms),
    wait_field("hang_up_settle_ms", &CommonTimings::hang_up_settle_ms),
    wait_field("release_wait_ms", &CommonTimings::release_wait_ms),
    wait_field("door_pulse_ms", &CommonTimings::door_pulse_ms),
};

inline constexpr TimingField<MarshalTimings> kMarshalFields[] = {
    wait_field("door_pulse_ms", &MarshalTimings::door_pulse_ms),
    wait_field("door_rest_ms", &MarshalTimings::door_rest_ms),
    wait_field("pickup_hold_ms", &MarshalTimings::pickup_hold_ms),
    wait_field("reject_hold_ms", &MarshalTimings::reject_hold_ms),
    wait_field("release_wait_ms", &MarshalTimings::release_wait_ms),
};

// The three kinds of section in timing.conf, by the keys they take; the
// table of intercom systems (drivers.h) gives each section's kind.
enum class TimingKind { kStandard, kCommon, kMarshal };

// The value the loaded file gives the system's key, or nullptr.
const unsigned* timing_override(const char* system, const char* key);

void report_timing_override(const char* system, const char* key, unsigned value,
                            unsigned default_value);

// The row's timings with the file's overrides for `system` laid over them.
// An installer passes report = true: each override then gets one line on
// standard error.
template <class T>
T tuned_timings(const char* system, const T& defaults, std::span<const TimingField<T>> fields,
                bool report) {
  T out = defaults;
  for (const TimingField<T>& f : fields) {
    if (const unsigned* value = timing_override(system, f.key)) {
      out.*f.member = *value;
      if (report) {
        report_timing_override(system, f.key, *value, defaults.*f.member);
      }
    }
  }
  return out;
}

// The row a driver's operations read: the compiled-in one (or none) until
// the installer puts the installation's copy in place. Written by the
// installer during start-up only, before the console and link threads exist;
// both read it without a lock afterwards.
template <class Row>
class InstalledRow {
 public:
  constexpr explicit InstalledRow(const Row* compiled) : row_(compiled) {}

  void install(const Row& tuned) {
    copy_ = tuned;
    row_ = &copy_;
  }
  const Row& operator*() const { return *row_; }
  const Row* operator->() const { return row_; }

 private:
  Row copy_{};
  const Row* row_;
};
