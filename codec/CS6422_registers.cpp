#include "codec/CS6422_registers.h"

#include <cstring>

// The values the setup starts from. Fields that the settings file does not
// name keep them; with them the six register words are 0xA400, 0x2A02,
// 0x0004, 0x0006, 0x0008 and 0x000A.
// clang-format off
CS6422_field CS6422_prop[CS22_prop_N] = {
    // name    reg shift value mask
    {"MIC",      0, 15,  1, 0x01},
    {"HDD",      0, 14,  0, 0x01},
    {"GB",       0, 12,  2, 0x03},
    {"RVOL",     0,  8,  4, 0x0F},
    {"TSD",      0,  7,  0, 0x01},
    {"ACC",      0,  5,  0, 0x03},
    {"TSMODE",   0,  4,  0, 0x01},
    {"THDET",    2, 14,  0, 0x03},
    {"TAPS",     2, 12,  2, 0x03},
    {"TVOL",     2,  8, 10, 0x0F},
    {"RSD",      2,  7,  0, 0x01},
    {"NCC",      2,  5,  0, 0x03},
    {"AUNECD",   2,  4,  0, 0x01},
    {"RHDET",    4, 14,  0, 0x03},
    {"RSTHD",    4, 12,  0, 0x03},
    {"NSERMP",   4, 10,  0, 0x03},
    {"HDLY",     4,  8,  0, 0x03},
    {"HHOLD",    4,  7,  0, 0x01},
    {"TDSRMP",   4,  6,  0, 0x01},
    {"RDSRMP",   4,  5,  0, 0x01},
    {"IDLTX",    4,  4,  0, 0x01},
    {"TSATT",    6, 14,  0, 0x03},
    {"PCSEN",    6, 13,  0, 0x01},
    {"TDBTS",    6, 10,  0, 0x07},
    {"RDBTS",    6,  8,  0, 0x03},
    {"TSTHD",    6,  6,  0, 0x03},
    {"TSBIAS",   6,  4,  0, 0x03},
    {"AERLE",    8, 14,  0, 0x03},
    {"AFNSE",    8, 12,  0, 0x03},
    {"NERLE",    8, 10,  0, 0x03},
    {"NFNSE",    8,  8,  0, 0x03},
    {"RGAIN",    8,  6,  0, 0x03},
    {"TGAIN",    8,  4,  0, 0x03},
    {"HWLD",    10, 15,  0, 0x01},
    {"TD",      10, 14,  0, 0x01},
    {"APCD",    10, 13,  0, 0x01},
    {"NPCD",    10, 12,  0, 0x01},
    {"APFD",    10, 11,  0, 0x01},
    {"NPFD",    10, 10,  0, 0x01},
    {"AECD",    10,  9,  0, 0x01},
    {"NECD",    10,  8,  0, 0x01},
    {"ASDT",    10,  6,  0, 0x03},
    {"NSDT",    10,  4,  0, 0x03},
};
// clang-format on

int CS6422_find(const char* name) {
  for (int i = 0; i < CS22_prop_N; ++i) {
    if (strncmp(CS6422_prop[i].name, name, sizeof CS6422_prop[i].name) == 0) {
      return i;
    }
  }
  return -1;
}

uint16_t CS6422_reg_word(uint8_t reg) {
  unsigned word = reg;
  for (const CS6422_field& f : CS6422_prop) {
    if (f.reg == reg) {
      word |= static_cast<unsigned>(f.value) << f.shift;
    }
  }
  return static_cast<uint16_t>(word);
}

int CS6422_set(const char* name, uint8_t value, uint16_t* word) {
  const int row = CS6422_find(name);
  if (row < 0) {
    return 0;
  }
  CS6422_field& f = CS6422_prop[row];
  // A value wider than the field would spill into its neighbours.
  f.value = static_cast<uint8_t>(value & f.mask);
  *word = CS6422_reg_word(f.reg);
  return 1;
}
