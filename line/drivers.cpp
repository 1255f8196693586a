#include "line/drivers.h"

void install_line_driver(const LineDriver& driver) {
  for (const LineSlot& s : kLineSlots) {
    *s.slot = driver.*s.member;
  }
}

namespace {
struct DriverChoice {
  uint8_t intercom_code;
  void (*install)();
  const char* settings_path;  // appended to the settings directory on the CS6422 shield
};

constexpr const char* kCommonSettings = "/Common/Common.set";

// Raikman (16) lines behave as Marshal's but have their own speakerphone
// settings; KM500 (19) shares the Eltis 5000 settings.
constexpr DriverChoice kDriverChoices[] = {
    {10, init_VIZIT, "/Vizit/VizitCommon.set"},
    {101, init_VIZIT, "/Vizit/VizitCommon.set"},
    {103, init_VIZIT, "/Vizit/VizitCommon.set"},
    {11, init_Metakom_2003, "/Metakom2003/Metakom2003Common.set"},
    {12, init_Metakom_2012, "/Metakom2012/Metakom2012Common.set"},
    {13, init_Marshal, "/Marshal/MarshalCommon.set"},
    {14, init_Eltis5000, "/Eltis5000/Eltis5000Common.set"},
    {15, init_Eltis300, "/Eltis300/Eltis300Common.set"},
    {16, init_Marshal, "/Raikman/RaikmanCommon.set"},
    {17, init_Eltis400, "/Eltis400/Eltis400Common.set"},
    {18, init_Cyfral, kCommonSettings},
    {19, init_Eltis5000_KM500, "/Eltis5000/Eltis5000Common.set"},
    {20, init_Eltis100, kCommonSettings},
    {238, init_AnalysSignal, kCommonSettings},
};
}  // namespace

const char* select_line_driver(uint8_t intercom_code) {
  for (const DriverChoice& choice : kDriverChoices) {
    if (choice.intercom_code == intercom_code) {
      choice.install();
      return choice.settings_path;
    }
  }
  init_common();
  return kCommonSettings;
}
