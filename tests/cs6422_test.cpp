// The CS6422 register table and the example settings files that come with
// the program. The frames that setting fields sends are in the setup's tests.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec/CS6422_registers.h"
#include "codec/File_RxTx.h"
#include "tests/codec_support.h"

namespace {

TEST(CS6422Table, DefaultsGiveTheRegisterWordsTheChipStartsFrom) {
  test::fresh_codec_table();
  const std::vector<uint16_t> words = {0xA400, 0x2A02, 0x0004, 0x0006, 0x0008, 0x000A};
  for (uint8_t reg = 0; reg <= 10; reg = static_cast<uint8_t>(reg + 2)) {
    EXPECT_EQ(CS6422_reg_word(reg), words[reg / 2]) << "register " << int{reg};
  }
}

TEST(CS6422Table, FieldsOfEachRegisterCoverBits15To4WithoutOverlap) {
  for (uint8_t reg = 0; reg <= 10; reg = static_cast<uint8_t>(reg + 2)) {
    unsigned covered = 0;
    for (const CS6422_field& f : CS6422_prop) {
      if (f.reg == reg) {
        const unsigned bits = static_cast<unsigned>(f.mask) << f.shift;
        EXPECT_EQ(covered & bits, 0u) << f.name;
        EXPECT_LE(f.value, f.mask) << f.name;
        EXPECT_LT(strnlen(f.name, sizeof f.name), sizeof f.name);
        covered |= bits;
      }
    }
    EXPECT_EQ(covered, 0xFFF0u) << "register " << int{reg};
  }
}

class ExampleSettings : public testing::TestWithParam<std::string> {};

// An installer reads the format and every field name off these files, so each
// names every field once, in table order, with the value it starts from.
TEST_P(ExampleSettings, NameEveryFieldOnceWithItsDefault) {
  test::fresh_codec_table();
  FILE* f = nullptr;
  ASSERT_EQ(file_openSettings(test::example_settings(GetParam()).c_str(), &f), 1);
  ASSERT_EQ(file_readHeadline("#CS6422", f), 1);
  std::vector<std::string> names;
  FileProperty p = {};
  for (int r = file_readProperty(&p, f); r != kPropEnd && names.size() < 100;
       r = file_readProperty(&p, f)) {
    uint16_t word = 0;
    EXPECT_EQ(r, kPropRead);
    EXPECT_EQ(CS6422_set(p.name, p.value, &word), 1) << p.name;
    names.push_back(p.name);
  }
  file_closeSettings(f);
  std::vector<std::string> fields;
  for (const CS6422_field& row : CS6422_prop) {
    fields.push_back(row.name);
  }
  EXPECT_EQ(names, fields);
  EXPECT_TRUE(test::codec_table_is_default());
}

INSTANTIATE_TEST_SUITE_P(Files, ExampleSettings, testing::ValuesIn(test::kSettingsPaths));

}  // namespace
