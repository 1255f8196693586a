// Board pins, the co-processor reset and relay pulses, as the shield sees them.
#include "sim/board.h"

#include <gtest/gtest.h>

#include "line/board.h"
#include "tests/support.h"

using test::Write;

namespace {

TEST(Board, GpioInitSetsDirectionsPullAndIdleStateInOrder) {
  test::fresh_board();
  GPIO_init();
  std::vector<std::string> calls;
  for (const auto& e : sim::pin_events()) {
    const char* kind = e.call == sim::PinCall::kFsel  ? "fsel"
                       : e.call == sim::PinCall::kPud ? "pud"
                                                      : "write";
    calls.push_back(std::string(kind) + " " + std::to_string(e.gpio) + " " +
                    std::to_string(e.value));
  }
  const std::vector<std::string> expected = {
      "fsel 24 1",  "fsel 23 1",  "fsel 22 1",  "fsel 14 1",  "fsel 6 1",  "fsel 25 1",
      "fsel 16 1",  "fsel 26 1",  "fsel 8 1",   "fsel 15 0",  "pud 15 1",  "fsel 2 1",
      "write 24 0", "write 23 1", "write 22 1", "write 14 1", "write 6 0", "write 25 0",
      "write 16 0", "write 26 0", "write 2 1"};
  EXPECT_EQ(calls, expected);
  EXPECT_EQ(sim::pin_level(8), -1) << "GPIO 8 is left to SPI0";
  EXPECT_EQ(sim::pin_level(15), -1);
  EXPECT_EQ(test::now_ms(), 0);
}

TEST(Board, SoftResetNeverPullsTheCoprocessorResetLow) {
  test::fresh_board();
  GPIO_init();
  const size_t from = test::pin_log_size();
  soft_reset();
  for (const Write& w : test::writes(from)) {
    if (w.gpio == 14) {
      EXPECT_EQ(w.level, 1);
    }
  }
  EXPECT_EQ(test::writes(from).size(), 9u);
}

TEST(Board, HardResetHoldsResetLow600msAndReturns200msAfterRaisingIt) {
  test::fresh_board();
  hard_reset();
  EXPECT_EQ(test::writes(), (std::vector<Write>{{0, 14, 0}, {600, 14, 1}}));
  EXPECT_EQ(test::now_ms(), 800);
}

struct RelayCase {
  uint8_t index;
  int gpio;  // -1: no pin
};

class RelayPulse : public testing::TestWithParam<RelayCase> {};

TEST_P(RelayPulse, PulsesItsPinFor2000msThenPauses10ms) {
  test::fresh_board();
  openRel(GetParam().index);
  if (GetParam().gpio < 0) {
    EXPECT_TRUE(test::writes().empty());
    EXPECT_EQ(test::now_ms(), 10);
  } else {
    EXPECT_EQ(test::writes(),
              (std::vector<Write>{{0, GetParam().gpio, 1}, {2000, GetParam().gpio, 0}}));
    EXPECT_EQ(test::now_ms(), 2010);
  }
}

INSTANTIATE_TEST_SUITE_P(Indexes, RelayPulse,
                         testing::Values(RelayCase{0, 6}, RelayCase{1, 25}, RelayCase{2, 16},
                                         RelayCase{3, 26}, RelayCase{4, -1}, RelayCase{255, -1}));

}  // namespace
