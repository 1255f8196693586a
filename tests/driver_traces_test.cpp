// Every operation of every line driver, pin write by pin write with its time
// in microseconds, against the record in tests/data/driver_traces.txt: the
// timings as data must move the line exactly as the compiled-in sequences
// did.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "line/drivers.h"
#include "sim/board.h"
#include "tests/sim_process.h"
#include "tests/support.h"

namespace {

// One driver's lines: each operation's writes, each with the lines it prints.
std::string traces_of(const IntercomSystem& driver) {
  std::string out;
  char piece[64];
  for (const LineSlot& s : kLineSlots) {
    test::fresh_board();
    driver.install();
    const int64_t t0 = sim::clock_now_ns();
    (*s.slot)();
    out += std::string(driver.name) + " " + s.name + ":";
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
  return out;
}

// The recorded lines of the driver of that name, the printed ones with them.
std::string recorded_of(const std::string& recorded, const std::string& name) {
  std::istringstream in(recorded);
  std::string out;
  bool its = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("  ", 0) != 0) {
      its = line.rfind(name + " ", 0) == 0;
    }
    if (its) {
      out += line + "\n";
    }
  }
  return out;
}

TEST(DriverTraces, EveryOperationMovesThePinsAsRecorded) {
  const std::string recorded =
      test::read_file(std::string(ZUL_SOURCE_DIR) + "/tests/data/driver_traces.txt");
  ASSERT_FALSE(recorded.empty());
  size_t compared = 0;
  for (const IntercomSystem* driver : test::line_drivers()) {
    const std::string expected = recorded_of(recorded, driver->name);
    EXPECT_EQ(traces_of(*driver), expected) << driver->name;
    compared += expected.size();
  }
  EXPECT_EQ(compared, recorded.size()) << "the record holds a driver that the table has not";
}

}  // namespace
