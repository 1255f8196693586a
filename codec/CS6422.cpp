#include "codec/CS6422.h"

#include <cstdio>

#include "codec/CS6422_registers.h"
#include "config/config.h"
#include "link/TxRx.h"
#include "out/check.h"
#include "protocol/link_frame.h"

FileProperty file_property = {};

namespace {
// Shields below this code have no chip. Start-up asks on 27 alone; 26 passes
// this test as well and would be set up just the same.
constexpr uint16_t kFirstCodecShield = 26;
constexpr const char* kSection = "#CS6422";
constexpr const char* kSettingsDir = "TEQsettings";
}  // namespace

void CS6422_SPIsend(uint16_t word) {
  uint8_t* slot = SPI_tx + kSlotSettings;
  slot[0] = kStartByte;
  slot[1] = kTypeCodecRegister;
  slot[2] = static_cast<uint8_t>(word >> 8);
  slot[3] = static_cast<uint8_t>(word & 0xFF);
  slot[4] = 0;
  slot[5] = 0;
}

int CS6422_reg_send(const char* name, uint8_t value) {
  uint16_t word = 0;
  if (CS6422_set(name, value, &word) == 0) {
    return 0;
  }
  CS6422_SPIsend(word);
  return 1;
}

int CS6422_StartSetup(uint16_t shield_code, const char* path) {
  if (shield_code < kFirstCodecShield) {
    return 0;
  }
  if (file_openSettings(path, &file_settings) != 1) {
    return 0;
  }
  int result = 0;
  if (file_readHeadline(kSection, file_settings) == 1) {
    // Ends: every read consumes a character, and the end of the file or a
    // read error gives kPropEnd. Malformed properties and unknown names are
    // skipped without a word, and their fields keep their values.
    int read = kPropEnd;
    do {
      read = file_readProperty(&file_property, file_settings);
      if (read == kPropRead && CS6422_reg_send(file_property.name, file_property.value) == 1) {
        spi_settings_push();
      }
    } while (read != kPropEnd);
    result = 1;
  }
  file_closeSettings(file_settings);
  file_settings = nullptr;
  return result;
}

void CS6422_setup_from_settings() {
  // Without the driver's path the chip would silently keep the settings it
  // holds, as for a missing file, with no word of why.
  ZUL_CHECK(file_settingName_p2 != nullptr && "the line driver's settings path is chosen first");
  file_settingName_p1 = kSettingsDir;
  snprintf(file_settingName, sizeof file_settingName, "%s%s", file_settingName_p1,
           file_settingName_p2);
  // Nothing to be done about a missing file or section: the chip then simply
  // runs on what it holds.
  (void)CS6422_StartSetup(shield, file_settingName);
}
