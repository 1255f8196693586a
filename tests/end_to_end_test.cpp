// The whole program under zul_stm_sim, driven as a controlling process
// drives it: room lists in, event lines out, codes back. Real-time runs check
// order and outcome; runs in virtual time check exact times on the pins.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "protocol/console.h"
#include "tests/sim_process.h"
#include "tests/support.h"

namespace {

using Strings = std::vector<std::string>;
using test::read_file;
using test::run_sim;
using test::split_lines;
using test::temp_file;

using test::PinWrite;

std::vector<PinWrite> pin_writes(const std::string& path) {
  return test::pin_writes(read_file(path));
}

Strings events_only(const Strings& lines) {
  Strings out;
  for (const std::string& l : lines) {
    for (const char* e : kCallEventLines) {
      if (l.rfind(e, 0) == 0) {
        out.push_back(l);
        break;
      }
    }
  }
  return out;
}

// Starts the simulator with a flight record, so that a test can see the pins
// move while the program runs: each SIGUSR1 writes the record so far.
std::unique_ptr<test::SimProcess> recorded(const Strings& args, const std::string& record) {
  setenv("ZUL_RECORD", record.c_str(), 1);
  auto p = std::make_unique<test::SimProcess>(args);
  unsetenv("ZUL_RECORD");
  return p;
}

// Asks for the record until it shows `text` (within 30 s).
bool record_shows(test::SimProcess& p, const std::string& record, const std::string& text) {
  const auto t0 = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(30)) {
    p.signal(SIGUSR1);
    usleep(20000);  // how often to ask, not how long anything takes
    if (read_file(record).find(text) != std::string::npos) {
      return true;
    }
  }
  return false;
}

using test::expect_board_idle_last;

// ---- real time -------------------------------------------------------------

// In real time, and --paced (virtual time held to real time, the fleet
// benchmark's stand-in): the same program behind the same pipes, and the
// scenario's step no earlier than its real time.
class RealTime : public ::testing::TestWithParam<bool> {};

TEST_P(RealTime, ImitatedRoomIsAnsweredOpenedAndHungUp) {
  const std::string pins = temp_file();
  std::vector<std::string> args = {
      "--speed", "5", "--pins", pins, "--scenario", temp_file("3000 dial 5\n"), "--", "10"};
  if (GetParam()) {
    args.insert(args.begin(), "--paced");
  }
  const auto t0 = std::chrono::steady_clock::now();
  test::SimProcess p(args);
  p.write("5 -1 9 -1\n");
  ASSERT_TRUE(p.wait_for("dial 5"));
  // 3000 simulated ms at five times the speed.
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(600));
  p.write("1\n2\n3\n");
  // VIZIT: pickup 1020 ms, open_pickup 1500, drop_pickup 1010: done within
  // a second of real time at five times the speed; give it plenty.
  std::string line;
  while (p.read_line(&line, 3)) {
  }
  p.signal(SIGTERM);
  p.wait();
  EXPECT_EQ(events_only(p.seen()), Strings{"dial 5"});
  const auto w = pin_writes(pins);
  // The door: the hook lines at open key then back, after the pickup.
  int open_key = 0;
  for (size_t i = 1; i < w.size(); ++i) {
    open_key += w[i - 1].gpio == 23 && w[i - 1].level == 0 && w[i].gpio == 22 && w[i].level == 0;
  }
  EXPECT_EQ(open_key, 1);
  expect_board_idle_last(w);
}

INSTANTIATE_TEST_SUITE_P(ClockModes, RealTime, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) {
                           return i.param ? std::string("Paced") : std::string("Ticking");
                         });

TEST(EndToEnd, RealHandsetCallEventsArriveInOrder) {
  std::string out;
  EXPECT_EQ(
      run_sim({"--speed", "5", "--until", "6000", "--scenario",
               temp_file("3000 dial 7\n3500 pickup\n3600 open\n3700 open-detected\n3800 drop\n"),
               "--", "10"},
              "5 -1 9 -1\n", &out),
      0);
  EXPECT_EQ(events_only(split_lines(out)),
            (Strings{"dial 7", "pickup", "open", "openDetected", "drop"}));
}

TEST(EndToEnd, InputThatEndsEarlyLeavesTheProgramServingTheLine) {
  std::string out;
  EXPECT_EQ(run_sim({"--speed", "5", "--until", "5000", "--scenario",
                     temp_file("3000 dial 9\n4000 drop\n"), "--", "10"},
                    "5 -1 9", &out),
            0);
  EXPECT_EQ(events_only(split_lines(out)), (Strings{"dial 9", "drop"}));
}

TEST(EndToEnd, SigtermInTheMiddleOfACallLeavesTheBoardIdle) {
  const std::string pins = temp_file();
  const std::string record = temp_file();
  const auto running =
      recorded({"--pins", pins, "--scenario", temp_file("2500 dial 5\n"), "--", "13"}, record);
  test::SimProcess& p = *running;
  p.write("5 -1 -1\n");
  ASSERT_TRUE(p.wait_for("dial 5"));
  p.write("1\n");  // Marshal's pickup: selector high for a second
  ASSERT_TRUE(record_shows(p, record, " pin 24 1\n")) << read_file(record);
  p.signal(SIGTERM);
  EXPECT_EQ(p.wait(), 128 + SIGTERM);
  const auto w = pin_writes(pins);
  expect_board_idle_last(w);
  bool selector_was_high = false;
  for (const PinWrite& x : w) {
    selector_was_high = selector_was_high || (x.gpio == 24 && x.level == 1);
  }
  EXPECT_TRUE(selector_was_high) << "the call had taken the line";
}

TEST(EndToEnd, ClosedOutputEndsTheProgramWithTheBoardIdle) {
  const std::string pins = temp_file();
  {
    test::SimProcess p(
        {"--pins", pins, "--scenario", temp_file("2500 dial 5\n2600 drop\n"), "--", "10"});
    p.write("5 -1 -1\n");
    ASSERT_TRUE(p.wait_for("Shield: 26"));
    p.close_output();
    EXPECT_EQ(p.wait(), 128 + SIGPIPE);
  }
  expect_board_idle_last(pin_writes(pins));
}

// The controlling process dies in the middle of a picked-up call: both of its
// pipes close, and the program hands the line back at once rather than at its
// next event line.
TEST(EndToEnd, ControllingProcessGoneHandsTheLineBackAtOnce) {
  const std::string pins = temp_file();
  const std::string record = temp_file();
  const auto running =
      recorded({"--pins", pins, "--scenario", temp_file("2500 dial 5\n"), "--", "10"}, record);
  test::SimProcess& p = *running;
  p.write("5 -1 -1\n");
  ASSERT_TRUE(p.wait_for("dial 5"));
  p.write("1\n");  // VIZIT's pickup: off hook (GPIO 22 low), and the call holds the line
  ASSERT_TRUE(record_shows(p, record, " pin 22 0\n")) << read_file(record);
  p.close_input();
  p.close_output();
  // Nothing more would be printed for hours: only the watch can end it.
  EXPECT_EQ(p.wait(5), 128 + SIGPIPE);
  const auto w = pin_writes(pins);
  expect_board_idle_last(w);
  bool picked_up = false;
  for (const PinWrite& x : w) {
    picked_up = picked_up || (x.gpio == 24 && x.level == 1);
  }
  EXPECT_TRUE(picked_up) << "the imitated handset had the line";
}

// Closing only our input is a supported way to drive the program: it goes on
// serving the line and printing events.
TEST(EndToEnd, InputClosedButOutputReadKeepsTheProgramRunning) {
  test::SimProcess p({"--scenario", temp_file("2500 dial 7\n4500 drop\n"), "--", "10"});
  p.write("5 -1 -1\n");
  p.close_input();
  EXPECT_TRUE(p.wait_for("dial 7"));
  EXPECT_TRUE(p.wait_for("drop"));
  p.signal(SIGTERM);
  EXPECT_EQ(p.wait(), 128 + SIGTERM);
}

TEST(EndToEnd, TypoInARoomListIsNamedAndCostsThatTokenOnly) {
  test::SimProcess p({"--", "10"});
  p.write("5 x 6 -1 9 -1\n");
  ASSERT_TRUE(p.wait_for("#End read blacklist rooms"));
  p.signal(SIGTERM);
  p.wait();
  EXPECT_NE(p.stderr_text().find("\"x\" in the room list is not a number; skipped"),
            std::string::npos)
      << p.stderr_text();
}

// ---- virtual time ----------------------------------------------------------

struct SimRun {
  std::string out;
  std::vector<PinWrite> pins;
  std::string lines_log;
};

SimRun run_virtual(const std::string& scenario, const Strings& program_args,
                   const Strings& extra = {}) {
  SimRun r;
  const std::string pins = temp_file();
  const std::string lines = temp_file();
  Strings args = {"--virtual", "--pins", pins, "--lines", lines, "--scenario", temp_file(scenario)};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back("--");
  args.insert(args.end(), program_args.begin(), program_args.end());
  EXPECT_EQ(run_sim(args, "", &r.out), 0);
  r.pins = pin_writes(pins);
  r.lines_log = read_file(lines);
  return r;
}

// Pin writes strictly after time t.
std::vector<PinWrite> after(const std::vector<PinWrite>& w, double t) {
  std::vector<PinWrite> out;
  for (const PinWrite& x : w) {
    if (x.t > t) {
      out.push_back(x);
    }
  }
  return out;
}

TEST(Virtual, CodesDuringARelayPulseFillFiveSlotsAndLoseTheSixth) {
  const SimRun r = run_virtual(
      "0 console -1 -1\n3000 console 20\n3500 console 21 21 21 21 21 21\n20000 end\n", {"10"});
  int relay1 = 0;
  for (const PinWrite& x : r.pins) {
    relay1 += x.gpio == 25 && x.level == 1;
  }
  EXPECT_EQ(relay1, 5);
}

struct OperationCase {
  std::string intercom;
  std::string codes;     // answered to the dial, one per line
  double first_to_last;  // ms between the first and the last pin write after the code
};

class DriverOnThePins : public testing::TestWithParam<OperationCase> {};

// After "dial 5" the scenario answers with the code; the next pass takes it,
// waits 20 ms, then runs the operation. From its first pin write to its last
// it spans exactly the driver's sequence (without the waits after the last).
TEST_P(DriverOnThePins, OperationAfterAConsoleCodeRunsItsExactSequence) {
  const OperationCase& c = GetParam();
  const SimRun r = run_virtual("0 console 5 -1 -1\n3000 dial 5\non \"dial 5\" after 500 console " +
                                   c.codes + "\n30000 end\n",
                               {c.intercom});
  double dial_t = -1;
  for (const std::string& l : split_lines(r.lines_log)) {
    if (l.find(" dial 5") != std::string::npos) {
      dial_t = std::stod(l);
    }
  }
  ASSERT_GE(dial_t, 0);
  const auto w = after(r.pins, dial_t + 500);
  ASSERT_FALSE(w.empty());
  // The code waits for the next pass, which then waits 20 ms itself.
  EXPECT_GE(w.front().t - (dial_t + 500), 20);
  EXPECT_LE(w.front().t - (dial_t + 500), 41);
  EXPECT_NEAR(w.back().t - w.front().t, c.first_to_last, 1e-3);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, DriverOnThePins,
    testing::Values(OperationCase{"10", "2", 3530},   // VIZIT open_call
                    OperationCase{"101", "3", 2030},  // VIZIT drop_call
                    OperationCase{"11", "2", 7530},   // Metakom 2003 open_call
                    OperationCase{"12", "3", 4021},   // Metakom 2012 drop_call
                    OperationCase{"13", "2", 7010},   // Marshal: door, 4 s, then reject
                    OperationCase{"15", "2", 10111},  // Eltis 300 open_call
                    OperationCase{"20", "2", 7530},   // Eltis 100 open_call
                    OperationCase{"18", "1", 101},    // Cyfral pickup: then 600 ms held
                    OperationCase{"19", "3", 6011},   // KM500 drop_call
                    OperationCase{"9", "3", 2010}));  // common drop_call: then 1000 ms

TEST(Virtual, SameScenarioTwiceGivesIdenticalLogs) {
  const std::string scenario =
      "0 console 5 -1 9 -1\n3000 dial 5\non \"dial 5\" after 300 console 1\n"
      "on \"dial 5\" after 2000 console 2\non \"dial 5\" after 4000 console 3\n"
      "9000 dial 9\n12000 dial 7\n12500 pickup\n13000 drop\n13500 console 22\n"
      "14000 signal 0x21 1 500\n14100 corrupt 3\n14100 signal 0x10 0 0\n20000 end\n";
  const SimRun a = run_virtual(scenario, {"10"}, {"--faults", "0.2", "--seed", "7"});
  const SimRun b = run_virtual(scenario, {"10"}, {"--faults", "0.2", "--seed", "7"});
  EXPECT_EQ(a.out, b.out);
  EXPECT_EQ(a.lines_log, b.lines_log);
  ASSERT_EQ(a.pins.size(), b.pins.size());
  for (size_t i = 0; i < a.pins.size(); ++i) {
    EXPECT_EQ(a.pins[i].t, b.pins[i].t);
    EXPECT_EQ(a.pins[i].gpio, b.pins[i].gpio);
  }
  EXPECT_EQ(events_only(split_lines(a.out)),
            (Strings{"dial 5", "dial 9", "dial 7", "pickup", "drop"}));
}

TEST(Virtual, SeededFaultsDeliverEveryEventExactlyOnce) {
  std::string scenario = "0 console -1 -1\n";
  Strings expected;
  for (int i = 0; i < 40; ++i) {
    scenario += std::to_string(3000 + 50 * i) + " signal 0x21 1 " + std::to_string(i) + "\n";
    expected.push_back("S0 impulse: HIGH " + std::to_string(i));
  }
  scenario += "6000 end\n";
  for (const char* seed : {"1", "2", "3", "4", "5"}) {
    const SimRun r = run_virtual(scenario, {"238"}, {"--faults", "0.3", "--seed", seed});
    Strings reports;
    for (const std::string& l : split_lines(r.out)) {
      if (l.rfind("S0 ", 0) == 0) {
        reports.push_back(l);
      }
    }
    EXPECT_EQ(reports, expected) << "repeat with --faults 0.3 --seed " << seed;
  }
}

}  // namespace

namespace {

struct SettingsCase {
  const char* intercom;
  const char* path;
};

class SpeakerphoneSetup : public testing::TestWithParam<SettingsCase> {};

// Run in a folder holding TEQsettings/<path>: on shield 27 the co-processor
// gets exactly the codec register frames the #CS6422 section calls for.
TEST_P(SpeakerphoneSetup, SendsTheSectionsRegistersOnShield27Only) {
  const std::string dir = test::temp_dir();
  const std::string file = std::string(dir) + "/TEQsettings" + GetParam().path;
  ASSERT_EQ(system(("mkdir -p \"$(dirname " + file + ")\"").c_str()), 0);
  {
    std::ofstream out(file);
    out << "#Other\nMIC=1\n#CS6422\nMIC=0\nHDD=1\nbogus=1\nNECD=1\n#Next\nRVOL=1\n";
  }
  for (const char* shield : {"27", "26"}) {
    const std::string frames = temp_file();
    std::string out;
    EXPECT_EQ(run_sim({"--virtual", "--shield", shield, "--frames", frames, "--scenario",
                       temp_file("0 console -1 -1\n8000 end\n"), "--", GetParam().intercom},
                      "", &out, 60, dir),
              0);
    Strings codec;
    for (const std::string& line : split_lines(read_file(frames))) {
      std::istringstream in(line);
      std::string t, sent;
      in >> t >> sent;
      if (sent.rfind("A10A", 0) == 0) {
        codec.push_back(sent.substr(0, 12));
      }
    }
    if (std::string(shield) == "27") {
      EXPECT_EQ(codec, (Strings{"A10A24000000", "A10A64000000", "A10A010A0000"}))
          << GetParam().path;
    } else {
      EXPECT_TRUE(codec.empty()) << "shield 26 never opens the file";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, SpeakerphoneSetup,
                         testing::Values(SettingsCase{"10", "/Vizit/VizitCommon.set"},
                                         SettingsCase{"11", "/Metakom2003/Metakom2003Common.set"},
                                         SettingsCase{"12", "/Metakom2012/Metakom2012Common.set"},
                                         SettingsCase{"13", "/Marshal/MarshalCommon.set"},
                                         SettingsCase{"14", "/Eltis5000/Eltis5000Common.set"},
                                         SettingsCase{"15", "/Eltis300/Eltis300Common.set"},
                                         SettingsCase{"16", "/Raikman/RaikmanCommon.set"},
                                         SettingsCase{"17", "/Eltis400/Eltis400Common.set"},
                                         SettingsCase{"19", "/Eltis5000/Eltis5000Common.set"},
                                         SettingsCase{"238", "/Common/Common.set"}));

TEST(SpeakerphoneSetupFiles, MalformedFilesNeverHangStartUp) {
  const std::string dir = test::temp_dir();
  const std::string base = std::string(dir) + "/TEQsettings/Vizit";
  ASSERT_EQ(system(("mkdir -p " + base).c_str()), 0);
  for (const std::string& text :
       {std::string("#CS6422"), std::string("#CS6422\n=\n==\n#"),
        std::string("\xff\xff#CS6422\nMIC"), std::string("#CS64222222222222222222\n#CS6422\nMIC=0"),
        std::string(5000, '#')}) {
    {
      std::ofstream out(base + "/VizitCommon.set", std::ios::binary);
      out << text;
    }
    std::string out;
    EXPECT_EQ(run_sim({"--virtual", "--shield", "27", "--scenario",
                       temp_file("0 console -1 -1\n8000 end\n"), "--", "10"},
                      "", &out, 60, dir),
              0);
    EXPECT_NE(out.find("Shield: 27"), std::string::npos);
  }
}

}  // namespace
