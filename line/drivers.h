// The line driver table: nine operations that the rest of the program calls
// without knowing which intercom system is on the line, one installer per
// line driver, and the table of intercom systems: by intercom code, the
// driver, its settings path and its section of TEQsettings/timing.conf.
//
// An operation only moves pins and waits; it reads no program state and
// prints nothing (the common driver's open_call prints one marker line).
// The slots are written during start-up only, before the console and link
// threads exist, so both threads read them without a lock.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string_view>

#include "line/timing.h"

using LineOp = void (*)();

// The driver table, zero until an installer runs. Order matters: every
// installer fills the slots in this order.

// The driver's idle levels (link thread, and once at start-up).
inline LineOp gpio_first_status = nullptr;
// Open the door, no call in progress.
inline LineOp open_free = nullptr;
// Open the door for a ringing call; the call is over afterwards.
inline LineOp open_call = nullptr;
// Open the door during a picked-up call.
inline LineOp open_pickup = nullptr;
// Pick up a ringing call on the imitated handset.
inline LineOp pickup = nullptr;
// Dialled: connect the imitated handset (link thread).
inline LineOp select_imit = nullptr;
// Dialled: leave the call to the real handset (link thread).
inline LineOp select_real = nullptr;
// Reject a ringing call.
inline LineOp drop_call = nullptr;
// Hang up a picked-up call.
inline LineOp drop_pickup = nullptr;

// One driver's nine operations, for the installers: one member per slot, of
// the slot's name.
struct LineDriver {
  LineOp gpio_first_status;
  LineOp open_free;
  LineOp open_call;
  LineOp open_pickup;
  LineOp pickup;
  LineOp select_imit;
  LineOp select_real;
  LineOp drop_call;
  LineOp drop_pickup;
};

// The slots by name, in slot order: the one list that installing a driver,
// describing one (--describe-driver) and the tests walk. Nothing else spells
// the nine names out.
struct LineSlot {
  const char* name;
  LineOp* slot;
  LineOp LineDriver::*member;
};
inline constexpr LineSlot kLineSlots[] = {
    {"gpio_first_status", &gpio_first_status, &LineDriver::gpio_first_status},
    {"open_free", &open_free, &LineDriver::open_free},
    {"open_call", &open_call, &LineDriver::open_call},
    {"open_pickup", &open_pickup, &LineDriver::open_pickup},
    {"pickup", &pickup, &LineDriver::pickup},
    {"select_imit", &select_imit, &LineDriver::select_imit},
    {"select_real", &select_real, &LineDriver::select_real},
    {"drop_call", &drop_call, &LineDriver::drop_call},
    {"drop_pickup", &drop_pickup, &LineDriver::drop_pickup},
};
inline constexpr size_t kLineSlotCount = sizeof kLineSlots / sizeof kLineSlots[0];
static_assert(sizeof(LineDriver) == kLineSlotCount * sizeof(LineOp),
              "every member of LineDriver has its row in kLineSlots");

// Installers; each overwrites all nine slots and touches no pin.
void init_common();
void init_VIZIT();
void init_Metakom_2003();
void init_Metakom_2012();
void init_Marshal();
void init_Eltis5000();
void init_Eltis300();
void init_Eltis400();
void init_Eltis100();
void init_Cyfral();
void init_Eltis5000_KM500();
void init_AnalysSignal();

// ---- The intercom systems ----

using LineInstaller = void (*)();

// What an intercom code stands for: its driver, the speakerphone settings
// that come with it, and the section of TEQsettings/timing.conf that tunes
// the driver. The names and paths are an installation's: the console's
// users give the codes, and stored files use the paths and sections.
struct IntercomSystem {
  const char* name;
  std::initializer_list<uint8_t> codes;  // none: every code no other row lists
  const char* settings_path;             // appended to the settings directory on the CS6422 shield
  const char* timing_section;            // nullptr: the driver has no timings
  TimingKind timing_kind;                // the keys its section takes
  LineInstaller install;
};

inline constexpr const char* kCommonSettings = "/Common/Common.set";

// In the order in which timing.conf's messages list the sections. The last
// row, with no codes, is the common driver's.
inline constexpr IntercomSystem kIntercomSystems[] = {
    {.name = "VIZIT",
     .codes = {10, 101, 103},
     .settings_path = "/Vizit/VizitCommon.set",
     .timing_section = "VIZIT",
     .timing_kind = TimingKind::kStandard,
     .install = init_VIZIT},
    {.name = "Metakom_2003",
     .codes = {11},
     .settings_path = "/Metakom2003/Metakom2003Common.set",
     .timing_section = "Metakom_2003",
     .timing_kind = TimingKind::kStandard,
     .install = init_Metakom_2003},
    {.name = "Metakom_2012",
     .codes = {12},
     .settings_path = "/Metakom2012/Metakom2012Common.set",
     .timing_section = "Metakom_2012",
     .timing_kind = TimingKind::kStandard,
     .install = init_Metakom_2012},
    {.name = "Marshal",
     .codes = {13},
     .settings_path = "/Marshal/MarshalCommon.set",
     .timing_section = "Marshal",
     .timing_kind = TimingKind::kMarshal,
     .install = init_Marshal},
    // Raikman lines behave as Marshal's, timings included, but have their
    // own speakerphone settings.
    {.name = "Raikman",
     .codes = {16},
     .settings_path = "/Raikman/RaikmanCommon.set",
     .timing_section = "Marshal",
     .timing_kind = TimingKind::kMarshal,
     .install = init_Marshal},
    {.name = "Eltis5000",
     .codes = {14},
     .settings_path = "/Eltis5000/Eltis5000Common.set",
     .timing_section = "Eltis5000",
     .timing_kind = TimingKind::kStandard,
     .install = init_Eltis5000},
    {.name = "Eltis300",
     .codes = {15},
     .settings_path = "/Eltis300/Eltis300Common.set",
     .timing_section = "Eltis300",
     .timing_kind = TimingKind::kStandard,
     .install = init_Eltis300},
    {.name = "Eltis400",
     .codes = {17},
     .settings_path = "/Eltis400/Eltis400Common.set",
     .timing_section = "Eltis400",
     .timing_kind = TimingKind::kStandard,
     .install = init_Eltis400},
    {.name = "Eltis100",
     .codes = {20},
     .settings_path = kCommonSettings,
     .timing_section = "Eltis100",
     .timing_kind = TimingKind::kStandard,
     .install = init_Eltis100},
    {.name = "Cyfral",
     .codes = {18},
     .settings_path = kCommonSettings,
     .timing_section = "Cyfral",
     .timing_kind = TimingKind::kStandard,
     .install = init_Cyfral},
    // The KM500 unit shares the Eltis 5000 settings.
    {.name = "Eltis5000_KM500",
     .codes = {19},
     .settings_path = "/Eltis5000/Eltis5000Common.set",
     .timing_section = "Eltis5000_KM500",
     .timing_kind = TimingKind::kStandard,
     .install = init_Eltis5000_KM500},
    {.name = "AnalysSignal",
     .codes = {238},
     .settings_path = kCommonSettings,
     .timing_section = nullptr,
     .timing_kind = TimingKind::kStandard,
     .install = init_AnalysSignal},
    {.name = "common",
     .codes = {},
     .settings_path = kCommonSettings,
     .timing_section = "common",
     .timing_kind = TimingKind::kCommon,
     .install = init_common},
};

// The row for the intercom code: the one that lists it, else the common one.
constexpr const IntercomSystem& intercom_system(uint8_t intercom_code) {
  for (const IntercomSystem& s : kIntercomSystems) {
    if (std::find(s.codes.begin(), s.codes.end(), intercom_code) != s.codes.end()) {
      return s;
    }
  }
  return kIntercomSystems[std::size(kIntercomSystems) - 1];
}

// The row that owns a timing.conf section, the first that names it (the
// Raikman row shares Marshal's), or nullptr.
constexpr const IntercomSystem* timing_section_owner(std::string_view section) {
  for (const IntercomSystem& s : kIntercomSystems) {
    if (s.timing_section != nullptr && s.timing_section == section) {
      return &s;
    }
  }
  return nullptr;
}

// The build refuses a table with a row missing a name or a settings path, a
// code in two rows (the second would never be chosen), other than one row
// without codes, at the end, or two rows that share a section but not its
// kind of timings. The installers are not compared here: GCC does not take
// the address of a function for a constant where null pointer checks are
// kept (-fno-delete-null-pointer-checks, which UndefinedBehaviorSanitizer
// implies). The test that runs every row's installer with its section
// overridden shows that rows sharing a section share its driver.
consteval bool intercom_systems_are_whole() {
  const size_t count = std::size(kIntercomSystems);
  for (size_t i = 0; i < count; ++i) {
    const IntercomSystem& s = kIntercomSystems[i];
    if (s.name == nullptr || s.settings_path == nullptr ||
        (s.codes.size() == 0) != (i == count - 1)) {
      return false;
    }
    for (uint8_t code : s.codes) {
      if (&intercom_system(code) != &s) {
        return false;
      }
    }
    const IntercomSystem* owner =
        s.timing_section != nullptr ? timing_section_owner(s.timing_section) : &s;
    if (owner->timing_kind != s.timing_kind) {
      return false;
    }
  }
  return true;
}
static_assert(intercom_systems_are_whole(), "see intercom_systems_are_whole");

// An installer's section, for the installer itself (found by comparing
// function addresses, so at run time: see above).
constexpr const char* timing_section_of(LineInstaller installer) {
  for (const IntercomSystem& s : kIntercomSystems) {
    if (s.install == installer && s.timing_section != nullptr) {
      return s.timing_section;
    }
  }
  throw "no row of kIntercomSystems gives this installer a timing section";
}

// Installs the driver for the intercom code and returns its settings path
// (for example "/Vizit/VizitCommon.set"), which start-up keeps as
// file_settingName_p2.
const char* select_line_driver(uint8_t intercom_code);

// ---- For the installers ----

// Writes the nine slots, in slot order. Here rather than beside the
// selection, so that the drivers call nothing of the module that calls them.
inline void install_line_driver(const LineDriver& driver) {
  for (const LineSlot& s : kLineSlots) {
    *s.slot = driver.*s.member;
  }
}

// Shared by several drivers: the common idle (the board idle state) and the
// select_real that leaves the line to the real handset without a pin moving.
void gpio_first_status_common();
void select_real_common();
