// The intercom code on the command line chooses the line driver and the
// speakerphone settings path.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "line/drivers.h"
#include "sim/board.h"
#include "tests/support.h"

namespace {

// What the installed driver does on the line: every slot's pin trace,
// printed lines and time, each on a fresh board.
struct Behaviour {
  std::vector<std::vector<test::Write>> writes;
  std::vector<std::vector<std::string>> lines;
  std::vector<double> ms;
  bool operator==(const Behaviour&) const = default;
};

Behaviour installed_behaviour() {
  LineOp installed[kLineSlotCount];
  std::transform(std::begin(kLineSlots), std::end(kLineSlots), installed,
                 [](const LineSlot& s) { return *s.slot; });
  Behaviour b;
  for (const LineSlot& slot : kLineSlots) {
    test::fresh_board();  // clears the driver table too: put the one under test back
    for (size_t j = 0; j < kLineSlotCount; ++j) {
      *kLineSlots[j].slot = installed[j];
    }
    (*slot.slot)();
    b.writes.push_back(test::writes());
    b.lines.push_back(test::lines());
    b.ms.push_back(test::now_ms());
  }
  return b;
}

Behaviour behaviour_of(void (*install)()) {
  install();
  return installed_behaviour();
}

struct Choice {
  int code;
  void (*install)();
  const char* path;
};

constexpr const char* kCommonPath = "/Common/Common.set";

const Choice kChoices[] = {
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
    {18, init_Cyfral, kCommonPath},
    {19, init_Eltis5000_KM500, "/Eltis5000/Eltis5000Common.set"},
    {20, init_Eltis100, kCommonPath},
    {238, init_AnalysSignal, kCommonPath},
    {0, init_common, kCommonPath},
    {9, init_common, kCommonPath},
    {21, init_common, kCommonPath},
    {100, init_common, kCommonPath},
    {102, init_common, kCommonPath},
    {255, init_common, kCommonPath},
};

void PrintTo(const Choice& c, std::ostream* os) { *os << "code " << c.code; }

// Selects by code and returns the settings path that comes with the driver.
std::string select_and_take_path(int code) {
  test::fresh_board();
  const char* path = select_line_driver(static_cast<uint8_t>(code));
  return path == nullptr ? "(none)" : path;
}

class DriverSelection : public testing::TestWithParam<Choice> {};

TEST_P(DriverSelection, InstallsItsDriverAndSettingsPath) {
  EXPECT_EQ(select_and_take_path(GetParam().code), GetParam().path);
  const Behaviour selected = installed_behaviour();
  EXPECT_TRUE(selected == behaviour_of(GetParam().install));
}

INSTANTIATE_TEST_SUITE_P(Codes, DriverSelection, testing::ValuesIn(kChoices),
                         [](const auto& info) { return std::to_string(info.param.code); });

TEST(DriverSelection, EveryUnlistedCodeGetsTheCommonDriver) {
  const Behaviour common = behaviour_of(init_common);
  for (int code = 0; code <= 255; ++code) {
    const bool listed = std::any_of(std::begin(kChoices), std::end(kChoices), [&](const Choice& c) {
      return c.code == code && c.install != init_common;
    });
    if (!listed) {
      EXPECT_EQ(select_and_take_path(code), kCommonPath) << code;
      EXPECT_TRUE(installed_behaviour() == common) << code;
    }
  }
}

TEST(DriverSelection, OnlyCode19IdlesWithTheLineOnTheImitatedHandset) {
  for (int code = 0; code <= 255; ++code) {
    select_and_take_path(code);
    const LineOp idle = gpio_first_status;
    test::fresh_board();
    idle();
    EXPECT_EQ(sim::pin_level(24), code == 19 ? 1 : 0) << code;
  }
}

}  // namespace
