// The speakerphone setup as the co-processor sees it: which codec register
// frames reach it for a given settings file, and when no setup takes place.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec/CS6422.h"
#include "codec/CS6422_registers.h"
#include "config/config.h"
#include "link/TxRx.h"
#include "sim/coproc.h"
#include "tests/codec_support.h"
#include "tests/support.h"

namespace {

void fresh() {
  test::fresh_board();
  test::fresh_codec_table();
  memset(SPI_tx, 0, sizeof SPI_tx);
  memset(SPI_rx, 0, sizeof SPI_rx);
  shield = 0;
}

// The register words of the codec register frames the co-processor took.
std::vector<int> words_received() {
  std::vector<int> words;
  for (const sim::Frame& f : sim::coproc_record().settings) {
    EXPECT_EQ(f, sim::make_frame(0xA1, 0x0A, f[2], f[3], 0, 0));
    words.push_back(f[2] << 8 | f[3]);
  }
  return words;
}

int open_files() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (readdir(d) != nullptr) {
    ++n;
  }
  closedir(d);
  return n;
}

// A settings file holding `text`, removed again when the case ends.
struct TempSettings {
  std::string name = test::temp_path("settings_XXXXXX");
  const char* path = nullptr;
  explicit TempSettings(const std::string& text) {
    const int fd = mkstemp(name.data());
    path = name.c_str();
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
  }
  ~TempSettings() { unlink(path); }
};

TEST(CS6422Frame, RegSendLoadsBytes0To5OfTheSettingsSlotOrNothing) {
  fresh();
  EXPECT_EQ(CS6422_reg_send("rvol", 1), 0);
  EXPECT_EQ(SPI_tx[kSlotSettings], 0);
  EXPECT_EQ(CS6422_reg_send("MIC", 0), 1);
  const std::vector<uint8_t> slot(SPI_tx + kSlotSettings, SPI_tx + kSlotSettings + 8);
  EXPECT_EQ(slot, (std::vector<uint8_t>{0xA1, 0x0A, 0x24, 0x00, 0x00, 0x00, 0, 0}));
}

struct SetupCase {
  const char* what;
  std::string text;
  int result;
  std::vector<int> words;
};

class Setup : public testing::TestWithParam<SetupCase> {};

TEST_P(Setup, SendsARegisterForEachAcceptedProperty) {
  fresh();
  TempSettings file(GetParam().text);
  const int files = open_files();
  EXPECT_EQ(CS6422_StartSetup(27, file.path), GetParam().result);
  EXPECT_EQ(words_received(), GetParam().words);
  EXPECT_EQ(open_files(), files);
  EXPECT_EQ(file_settings, nullptr);
  // Each push: two exchange cycles and 200 ms of waiting.
  EXPECT_GE(test::now_ms(), 200.0 * GetParam().words.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Setup,
    testing::Values(
        SetupCase{"MicAlone", "#CS6422\nMIC=0\n", 1, {0x2400}},
        SetupCase{"MicThenHdd", "#CS6422\nMIC=0\nHDD=1\n", 1, {0x2400, 0x6400}},
        SetupCase{"RvolTwice", "#CS6422\nRVOL=1111\nRVOL=0001\n", 1, {0xAF00, 0xA100}},
        SetupCase{"TvolCutByItsMask", "#CS6422\nTVOL=11111\n", 1, {0x2F02}},
        SetupCase{"Necd", "#CS6422\nNECD=1", 1, {0x010A}},
        SetupCase{"UnknownAndMalformedSkipped",
                  "#CS6422\nrvol=1\nXYZ=1\nRVOL=10101010\nRVOL=0001\n",
                  1,
                  {0xA100}},
        SetupCase{"OnlyItsOwnSection", "#Other\nMIC=0\n#CS6422\nHDD=1\n#Next\nGB=0\n", 1, {0xE400}},
        SetupCase{"NoProperties", "#CS6422\n", 1, {}},
        SetupCase{"NoSection", "#Other\nMIC=0\n", 0, {}},
        SetupCase{"OverLongHeadlineFirst", "#ABCDEFGHIJKLMNOPQRS\n#CS6422\nMIC=0\n", 0, {}}),
    [](const testing::TestParamInfo<SetupCase>& info) { return std::string(info.param.what); });

TEST(Setup, ShieldsUpTo25OpenNothing) {
  fresh();
  TempSettings file("#CS6422\nMIC=0\n");
  file_settings = stdin;  // opening would overwrite it
  EXPECT_EQ(CS6422_StartSetup(25, file.path), 0);
  EXPECT_EQ(file_settings, stdin);
  file_settings = nullptr;
  EXPECT_EQ(CS6422_StartSetup(26, file.path), 1);
  EXPECT_EQ(words_received(), std::vector<int>{0x2400});
}

// A directory opens, but every read from it fails without reaching an end.
TEST(Setup, MissingOrUnreadableFileSendsNothing) {
  const std::string dir = test::temp_dir();
  for (const char* path : {"/nonexistent/TEQsettings/Common/Common.set", dir.c_str()}) {
    fresh();
    const int files = open_files();
    EXPECT_EQ(CS6422_StartSetup(27, path), 0) << path;
    EXPECT_TRUE(words_received().empty()) << path;
    EXPECT_EQ(open_files(), files) << path;
  }
}

TEST(Setup, FromSettingsUsesTheDriversPathUnderTEQsettings) {
  fresh();
  shield = 27;
  file_settingName_p2 = "/Metakom2012/Metakom2012Common.set";
  char cwd[512];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(ZUL_SOURCE_DIR), 0);
  CS6422_setup_from_settings();
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_STREQ(file_settingName, "TEQsettings/Metakom2012/Metakom2012Common.set");
  EXPECT_EQ(words_received().size(), 43u);
}

// Each example file names all 43 fields with the values the table starts
// from, so it sends 43 frames and leaves the table as it was.
TEST(Setup, ExampleFilesSendEveryFieldsRegisterUnchanged) {
  for (const std::string& path : test::kSettingsPaths) {
    fresh();
    EXPECT_EQ(CS6422_StartSetup(27, test::example_settings(path).c_str()), 1) << path;
    std::vector<int> expected;
    for (const CS6422_field& f : CS6422_prop) {
      expected.push_back(CS6422_reg_word(f.reg));
    }
    EXPECT_EQ(words_received(), expected) << path;
    EXPECT_TRUE(test::codec_table_is_default()) << path;
  }
}

}  // namespace
