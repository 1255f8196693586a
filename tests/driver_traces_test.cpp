// Every operation of every line driver, pin write by pin write with its time
// in microseconds, against the record in tests/data/driver_traces.txt: the
// timings as data must move the line exactly as the compiled-in sequences
// did.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "line/drivers.h"
#include "sim/board.h"
#include "tests/sim_process.h"
#include "tests/support.h"

namespace {

std::string all_traces() {
  const struct {
    const char* name;
    void (*install)();
  } drivers[] = {
      {"common", init_common},
      {"VIZIT", init_VIZIT},
      {"Metakom_2003", init_Metakom_2003},
      {"Metakom_2012", init_Metakom_2012},
      {"Marshal", init_Marshal},
      {"Eltis5000", init_Eltis5000},
      {"Eltis300", init_Eltis300},
      {"Eltis400", init_Eltis400},
      {"Eltis100", init_Eltis100},
      {"Cyfral", init_Cyfral},
      {"Eltis5000_KM500", init_Eltis5000_KM500},
      {"AnalysSignal", init_AnalysSignal},
  };
  std::string out;
  char piece[64];
  for (const auto& d : drivers) {
    for (const LineSlot& s : kLineSlots) {
      test::fresh_board();
      d.install();
      const int64_t t0 = sim::clock_now_ns();
      (*s.slot)();
      out += std::string(d.name) + " " + s.name + ":";
      for (const sim::PinEvent& e : sim::pin_events()) {
        snprintf(piece, sizeof piece, " %lld:%d=%d", static_cast<long long>((e.t_ns - t0) / 1000),
                 e.gpio, e.value);
        out += piece;
      }
      snprintf(piece, sizeof piece, " end %lld\n",
               static_cast<long long>((sim::clock_now_ns() - t0) / 1000));
      out += piece;
      for (const std::string& line : test::lines()) {
        out += "  prints " + line + "\n";
      }
    }
  }
  return out;
}

TEST(DriverTraces, EveryOperationMovesThePinsAsRecorded) {
  const std::string recorded =
      test::read_file(std::string(ZUL_SOURCE_DIR) + "/tests/data/driver_traces.txt");
  ASSERT_FALSE(recorded.empty());
  EXPECT_EQ(all_traces(), recorded);
}

}  // namespace
