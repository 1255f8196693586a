// Every line driver's operations as the shield and the controlling process see
// them: how long each holds its thread, the pin writes with their times, and
// the levels it leaves on the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "line/drivers.h"
#include "out/output.h"
#include "sim/board.h"
#include "sim/console.h"
#include "tests/support.h"

using test::Write;

namespace {

// The eight operations with a time of their own, in slot order after the idle one.
const std::span<const LineSlot> kTimedSlots = std::span(kLineSlots).subspan(1);

const char* name_of(LineOp* slot) {
  for (const LineSlot& n : kLineSlots) {
    if (n.slot == slot) {
      return n.name;
    }
  }
  return "?";
}

// Milliseconds each operation holds its calling thread, nested operations
// included, by driver.
struct DriverTimes {
  const char* name;
  double ms[8];  // in the order of kTimedSlots
};
const DriverTimes kDriverTimes[] = {
    // open_free open_call open_pickup pickup select_imit select_real drop_call drop_pickup
    {"common", {1010, 2010, 1010, 20, 11, 0, 3010, 510}},
    {"VIZIT", {1010, 3530, 1500, 1020, 20, 0, 2030, 1010}},
    {"Metakom_2003", {1010, 7530, 4000, 1020, 20, 0, 4530, 1510}},
    {"Metakom_2012", {1010, 2821, 800, 1011, 11, 0, 4021, 1010}},
    {"Marshal", {5000, 7010, 5010, 1000, 0, 0, 2010, 10}},
    {"Eltis5000", {1010, 2821, 800, 1011, 11, 0, 4021, 1010}},
    {"Eltis300", {1010, 10111, 5000, 4101, 101, 0, 7111, 1010}},
    {"Eltis400", {1010, 8111, 5000, 2101, 101, 0, 5111, 1010}},
    {"Eltis100", {1610, 7530, 4510, 2010, 1010, 0, 4020, 1010}},
    {"Cyfral", {1010, 6711, 5000, 701, 101, 0, 3711, 1010}},
    {"Eltis5000_KM500", {1010, 4811, 800, 1011, 11, 10, 6011, 3000}},
    {"AnalysSignal", {0, 0, 0, 0, 0, 0, 0, 0}},
};

using Driver = const IntercomSystem*;

struct OpRun {
  std::vector<Write> writes;
  std::vector<std::string> lines;
  double ms;
  bool operator==(const OpRun&) const = default;
};

// One operation of a freshly installed driver on a fresh board.
OpRun run(void (*install)(), LineOp* slot) {
  test::fresh_board();
  install();
  (*slot)();
  return {test::writes(), test::lines(), test::now_ms()};
}

// Expected traces, built step by step.
struct Trace {
  std::vector<Write> w;
  Trace& pin(double t, int gpio, int level) {
    w.push_back({t, gpio, level});
    return *this;
  }
  Trace& hook(double t, int gpio23, int gpio22) { return pin(t, 23, gpio23).pin(t, 22, gpio22); }
  Trace& on_hook(double t) { return hook(t, 0, 1); }
  Trace& off_hook(double t) { return hook(t, 1, 0); }
  Trace& open_key(double t) { return hook(t, 0, 0); }
  Trace& released(double t) { return hook(t, 1, 1); }
  Trace& board_idle(double t) {
    for (auto [gpio, level] :
         {std::pair{24, 0}, {23, 1}, {22, 1}, {14, 1}, {6, 0}, {25, 0}, {16, 0}, {26, 0}, {2, 1}}) {
      pin(t, gpio, level);
    }
    return *this;
  }
  Trace& km500_idle(double t) {
    for (auto [gpio, level] :
         {std::pair{24, 1}, {23, 0}, {22, 1}, {14, 1}, {6, 0}, {25, 0}, {16, 0}, {26, 0}}) {
      pin(t, gpio, level);
    }
    return *this;
  }
};

class EveryDriver : public testing::TestWithParam<Driver> {};

TEST_P(EveryDriver, EachOperationHoldsItsThreadForItsTime) {
  const std::string_view name = GetParam()->name;
  const auto times = std::find_if(std::begin(kDriverTimes), std::end(kDriverTimes),
                                  [&](const DriverTimes& d) { return d.name == name; });
  ASSERT_NE(times, std::end(kDriverTimes)) << "no times for " << name;
  for (size_t op = 0; op < kTimedSlots.size(); ++op) {
    EXPECT_EQ(run(GetParam()->install, kTimedSlots[op].slot).ms, times->ms[op])
        << kTimedSlots[op].name;
  }
}

TEST_P(EveryDriver, InstallingTouchesNoPinAndTheIdleOperationDoesNotWait) {
  test::fresh_board();
  GetParam()->install();
  EXPECT_TRUE(test::writes().empty());
  EXPECT_EQ(run(GetParam()->install, &gpio_first_status).ms, 0);
}

TEST_P(EveryDriver, OnlyTheCommonOpenCallPrints) {
  for (const LineSlot& op : kTimedSlots) {
    const bool marker = GetParam()->install == init_common && op.slot == &open_call;
    EXPECT_EQ(run(GetParam()->install, op.slot).lines,
              marker ? std::vector<std::string>{"common"} : std::vector<std::string>{})
        << op.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, EveryDriver, testing::ValuesIn(test::line_drivers()),
                         [](const auto& info) { return std::string(info.param->name); });

// ---- What the standard drivers leave on the line ----

struct Levels {
  int gpio24, gpio23, gpio22;
  bool operator==(const Levels&) const = default;
};
constexpr Levels kConnectedOnHook{1, 0, 1}, kConnectedOffHook{1, 1, 0}, kBoardIdle{0, 1, 1};

Levels levels() { return {sim::pin_level(24), sim::pin_level(23), sim::pin_level(22)}; }

class StandardDriver : public testing::TestWithParam<Driver> {};

TEST_P(StandardDriver, LeavesTheLineAsEachOperationPromises) {
  const Levels idle = GetParam()->install == init_Eltis5000_KM500 ? kConnectedOnHook : kBoardIdle;
  const struct {
    LineOp* slot;
    Levels after;
  } cases[] = {{&select_imit, kConnectedOnHook},
               {&pickup, kConnectedOffHook},
               {&drop_pickup, idle},
               {&drop_call, idle},
               {&open_call, idle},
               {&gpio_first_status, idle}};
  for (const auto& c : cases) {
    run(GetParam()->install, c.slot);
    EXPECT_TRUE(levels() == c.after) << name_of(c.slot);
  }
  run(GetParam()->install, &open_free);
  EXPECT_EQ(sim::pin_level(26), 0);
}

// The drivers with a row of standard timings.
std::vector<Driver> standard_drivers() {
  std::vector<Driver> out;
  for (Driver d : test::line_drivers()) {
    if (d->timing_section != nullptr && d->timing_kind == TimingKind::kStandard) {
      out.push_back(d);
    }
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Drivers, StandardDriver, testing::ValuesIn(standard_drivers()),
                         [](const auto& info) { return std::string(info.param->name); });

// ---- Exact traces ----

TEST(LineDrivers, VizitOpenCallAnswersPressesHangsUpAndResetsTwice) {
  const Trace expected = Trace()
                             .on_hook(0)
                             .pin(10, 24, 1)
                             .off_hook(20)
                             .open_key(1020)
                             .off_hook(2020)
                             .on_hook(2520)
                             .pin(3520, 24, 0)
                             .board_idle(3530)
                             .board_idle(3530);
  const OpRun r = run(init_VIZIT, &open_call);
  EXPECT_EQ(r.writes, expected.w);
  EXPECT_EQ(r.ms, 3530);
}

TEST(LineDrivers, Metakom2003OpenPickupPressesTheOpenKeyFourTimes) {
  Trace expected;
  for (double t : {0, 1000, 2000, 3000}) {
    expected.open_key(t).off_hook(t + 500);
  }
  EXPECT_EQ(run(init_Metakom_2003, &open_pickup).writes, expected.w);
}

TEST(LineDrivers, Metakom2012AndEltis5000AreTheSameOnTheLine) {
  for (const LineSlot& s : kTimedSlots) {
    EXPECT_EQ(run(init_Metakom_2012, s.slot), run(init_Eltis5000, s.slot)) << s.name;
  }
  EXPECT_EQ(run(init_Metakom_2012, &gpio_first_status), run(init_Eltis5000, &gpio_first_status));
}

TEST(LineDrivers, Eltis100HangsUpAfterTheDoorKey) {
  const Trace expected =
      Trace().open_key(0).off_hook(2000).on_hook(3500).pin(4500, 24, 0).board_idle(4510);
  EXPECT_EQ(run(init_Eltis100, &open_pickup).writes, expected.w);
}

TEST(LineDrivers, Km500IdleKeepsTheLineOnTheImitatedHandsetAndLeavesGpio2) {
  EXPECT_EQ(run(init_Eltis5000_KM500, &gpio_first_status).writes, Trace().km500_idle(0).w);
}

TEST(LineDrivers, Km500SelectRealLowersTheSelectorFor10ms) {
  const OpRun r = run(init_Eltis5000_KM500, &select_real);
  EXPECT_EQ(r.writes, Trace().pin(0, 24, 0).w);
  EXPECT_EQ(r.ms, 10);
}

TEST(LineDrivers, Km500DropPickupWaitsTwoSecondsThenReturnsToItsIdle) {
  const Trace expected = Trace().on_hook(0).pin(1000, 24, 0).km500_idle(3000);
  EXPECT_EQ(run(init_Eltis5000_KM500, &drop_pickup).writes, expected.w);
  for (const Write& w : run(init_Eltis5000_KM500, &open_call).writes) {
    EXPECT_NE(w.gpio, 2) << "no board idle state at the end of open_call";
  }
}

TEST(LineDrivers, MarshalRestsFourSecondsAfterTheDoorPulse) {
  EXPECT_EQ(run(init_Marshal, &open_free).writes, Trace().pin(0, 26, 1).pin(1000, 26, 0).w);
  const Trace reject = Trace().pin(0, 24, 1).pin(2000, 24, 0).board_idle(2010);
  EXPECT_EQ(run(init_Marshal, &drop_call).writes, reject.w);
}

TEST(LineDrivers, CommonDriverSequences) {
  const struct {
    LineOp* slot;
    Trace expected;
  } cases[] = {
      {&gpio_first_status, Trace().board_idle(0)},
      {&open_free, Trace().pin(0, 26, 1).pin(1000, 26, 0)},
      {&open_call, Trace().off_hook(0).pin(10, 24, 1).open_key(1010)},
      {&open_pickup, Trace().pin(0, 23, 0).pin(1000, 23, 1)},
      {&pickup, Trace().off_hook(0).pin(10, 24, 1)},
      {&select_imit, Trace().on_hook(0).pin(1, 24, 1)},
      {&select_real, Trace()},
      {&drop_call, Trace().off_hook(0).pin(10, 24, 1).released(2010)},
      {&drop_pickup, Trace().released(0).pin(500, 24, 0)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(run(init_common, c.slot).writes, c.expected.w) << name_of(c.slot);
  }
}

TEST(LineDrivers, CommonOpenCallMarkerIsALineOfItsOwn) {
  test::fresh_board();
  init_common();
  open_call();
  EXPECT_EQ(sim::output_text(), "common\n");
  out_line("drop");
  EXPECT_EQ(test::lines(), (std::vector<std::string>{"common", "drop"}));
}

TEST(LineDrivers, AnalysSignalMovesNoPinOutsideItsIdleOperation) {
  for (const LineSlot& s : kTimedSlots) {
    EXPECT_TRUE(run(init_AnalysSignal, s.slot).writes.empty()) << s.name;
  }
  EXPECT_EQ(run(init_AnalysSignal, &gpio_first_status).writes, Trace().board_idle(0).w);
}

}  // namespace
