// Shared by the speakerphone setup's tests: the register table as the
// program starts with it, and where the example settings files live.
#pragma once
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "codec/CS6422_registers.h"

namespace test {

// Taken before any case runs; the table is constant-initialised.
inline const std::array<CS6422_field, CS22_prop_N> kCodecDefaults = [] {
  std::array<CS6422_field, CS22_prop_N> a{};
  memcpy(a.data(), CS6422_prop, sizeof CS6422_prop);
  return a;
}();

inline void fresh_codec_table() { memcpy(CS6422_prop, kCodecDefaults.data(), sizeof CS6422_prop); }

inline bool codec_table_is_default() {
  return memcmp(CS6422_prop, kCodecDefaults.data(), sizeof CS6422_prop) == 0;
}

// Every distinct settings path of the line driver table.
inline const std::vector<std::string> kSettingsPaths = {"/Vizit/VizitCommon.set",
                                                        "/Metakom2003/Metakom2003Common.set",
                                                        "/Metakom2012/Metakom2012Common.set",
                                                        "/Marshal/MarshalCommon.set",
                                                        "/Eltis5000/Eltis5000Common.set",
                                                        "/Eltis300/Eltis300Common.set",
                                                        "/Raikman/RaikmanCommon.set",
                                                        "/Eltis400/Eltis400Common.set",
                                                        "/Common/Common.set"};

inline std::string example_settings(const std::string& settings_path) {
  return std::string(ZUL_SOURCE_DIR) + "/TEQsettings" + settings_path;
}

}  // namespace test
