// zul_stm_sim from the outside: its command line, its logs, and the program
// behind it as a controlling process and the shield see them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdlib>
#include <sstream>

#include "tests/sim_process.h"

#ifndef ZUL_SIM_LAUNCHER
#define ZUL_SIM_LAUNCHER ""
#endif

namespace {

using Strings = std::vector<std::string>;
using test::read_file;
using test::run_sim;
using test::split_lines;
using test::temp_file;

struct LogLine {
  double t;
  std::string rest;
};

std::vector<LogLine> parse_log(const std::string& path) {
  std::vector<LogLine> out;
  for (const std::string& line : split_lines(read_file(path))) {
    std::istringstream in(line);
    LogLine l{};
    in >> l.t;
    std::getline(in, l.rest);
    if (!l.rest.empty() && l.rest[0] == ' ') {
      l.rest.erase(0, 1);
    }
    out.push_back(l);
  }
  return out;
}

TEST(Simulator, PassesVersionAndMissingArgumentThrough) {
  std::string out;
  EXPECT_EQ(run_sim({"--", "-v"}, "", &out), 2);
  EXPECT_EQ(out, "ZUL_STM_Driver 1.22\n");
  EXPECT_EQ(run_sim({}, "", &out), 1);
  EXPECT_EQ(out, "error: no arg\n");
}

#ifdef ZUL_DRIVER_PATH
// The real program on this machine, with ZUL_BOARD set to `board` (unset
// when empty): its exit status and the last line of its standard error.
int run_driver(const std::string& board, std::string* last_error_line) {
  const std::string err = temp_file();
  const std::string env = board.empty() ? "env -u ZUL_BOARD " : "env ZUL_BOARD=" + board + " ";
  const std::string cmd = env + std::string(ZUL_SIM_LAUNCHER) + " " + ZUL_DRIVER_PATH +
                          " 10 < /dev/null > /dev/null 2> " + err;
  const int status = system(cmd.c_str());
  const Strings lines = split_lines(read_file(err));
  *last_error_line = lines.empty() ? "" : lines.back();
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool is_a_raspberry_pi() {
  return read_file("/proc/device-tree/model").rfind("Raspberry Pi", 0) == 0;
}

// The library's route must refuse before it touches memory.
TEST(Driver, OffARaspberryPiTheLibrarysRouteSaysSoAndExits3) {
  if (is_a_raspberry_pi()) {
    GTEST_SKIP() << "this is a Raspberry Pi: the driver would really start";
  }
  std::string err;
  EXPECT_EQ(run_driver("bcm2835", &err), 3);
  EXPECT_NE(err.find("ZUL_BOARD=bcm2835 needs a Raspberry Pi 1 to 4 and this is not one"),
            std::string::npos)
      << err;
}

TEST(Driver, AnUnknownBoardBackendIsNamedAndExits3) {
  std::string err;
  EXPECT_EQ(run_driver("pi9", &err), 3);
  EXPECT_EQ(err.find("zul_stm_driver: ZUL_BOARD=\"pi9\" is not a board backend"), 0u) << err;
}

// Anywhere but a Pi 1 to 4 the kernel's devices are the board: a machine
// without GPIO chips is told so.
TEST(Driver, WithoutGpioChipsTheKernelRouteSaysSoAndExits3) {
  if (is_a_raspberry_pi() || system("ls /dev/gpiochip* > /dev/null 2>&1") == 0) {
    GTEST_SKIP() << "this machine has GPIO chips";
  }
  for (const char* board : {"", "kernel"}) {
    std::string err;
    EXPECT_EQ(run_driver(board, &err), 3) << board;
    EXPECT_EQ(err.find("zul_stm_driver: no GPIO chip (/dev/gpiochip*) on this machine"), 0u) << err;
  }
}
#endif

TEST(Simulator, MalformedOptionsGiveUsageAndStatus64) {
  for (const Strings& args :
       {Strings{"--bogus", "10"}, Strings{"--until"}, Strings{"--until", "x", "10"},
        Strings{"--speed", "0", "10"}, Strings{"--shield", "300", "10"}}) {
    test::SimProcess p(args);
    EXPECT_EQ(p.wait(), 64) << args[0];
    EXPECT_NE(p.stderr_text().find("usage: zul_stm_sim"), std::string::npos);
  }
}

TEST(Simulator, StartUpOnTheBoardWithRoomLists) {
  const std::string pins = temp_file();
  std::string out;
  EXPECT_EQ(
      run_sim({"--until", "2500", "--speed", "4", "--pins", pins, "--", "10"}, "5 7 -1 7 -1", &out),
      0);
  const Strings expected_start = {"#STM_driver_1v22",        "ZUL_STM_Driver 1.22",
                                  "#Write rooms:",           "#End read rooms",
                                  "#Write blacklist rooms:", "#End read blacklist rooms"};
  Strings lines = split_lines(out);
  ASSERT_GE(lines.size(), expected_start.size());
  lines.resize(expected_start.size());
  EXPECT_EQ(lines, expected_start);
  const Strings init = {"fsel 24 1",  "fsel 23 1",  "fsel 22 1",  "fsel 14 1",  "fsel 6 1",
                        "fsel 25 1",  "fsel 16 1",  "fsel 26 1",  "fsel 8 1",   "fsel 15 0",
                        "pud 15 1",   "fsel 2 1",   "write 24 0", "write 23 1", "write 22 1",
                        "write 14 1", "write 6 0",  "write 25 0", "write 16 0", "write 26 0",
                        "write 2 1",  "write 14 0", "write 14 1"};
  const std::vector<LogLine> log = parse_log(pins);
  ASSERT_GE(log.size(), init.size());
  for (size_t i = 0; i < init.size(); ++i) {
    EXPECT_EQ(log[i].rest, init[i]) << i;
  }
}

TEST(Simulator, ResetPulseTimesInVirtualTime) {
  const std::string pins = temp_file();
  std::string out;
  EXPECT_EQ(run_sim({"--virtual", "--until", "2500", "--pins", pins, "--scenario",
                     temp_file("0 console 5 7 -1 7 -1\n"), "--", "10"},
                    "", &out),
            0);
  std::vector<LogLine> log = parse_log(pins);
  ASSERT_GE(log.size(), 23u);
  EXPECT_EQ(log[20].rest, "write 2 1");
  EXPECT_EQ(log[21].rest, "write 14 0");
  EXPECT_EQ(log[22].rest, "write 14 1");
  EXPECT_EQ(log[21].t - log[20].t, 200) << "low 200 ms after the board set-up";
  EXPECT_EQ(log[22].t - log[21].t, 600) << "high 600 ms later";
}

std::vector<LogLine> frames_of(const Strings& args, const std::string& input, std::string* out) {
  const std::string frames = temp_file();
  Strings all = {"--virtual", "--frames", frames};
  all.insert(all.end(), args.begin(), args.end());
  EXPECT_EQ(run_sim(all, input, out), 0);
  return parse_log(frames);
}

TEST(Simulator, HandshakeThenSetupFrameThenAPollEveryCycle) {
  std::string out;
  const auto log =
      frames_of({"--scenario", temp_file("0 console -1 -1\n3000 end\n"), "--", "10"}, "", &out);
  ASSERT_GT(log.size(), 8u);
  EXPECT_EQ(log[0].rest, "A1020A0000007263 0000000000000000");
  EXPECT_EQ(log[2].rest.substr(0, 16), "A10100000000AA24");
  EXPECT_EQ(log[3].rest, "0000000000000000 A1020A00011A29E3");
  EXPECT_EQ(log[4].rest.substr(0, 16), "A10B00000000ABBC");
  // Then nothing but polls and fetches, one cycle about every 6.5 ms.
  const size_t polls_from = 8;
  for (size_t i = polls_from; i < log.size(); i += 2) {
    ASSERT_EQ(log[i].rest.substr(0, 16), "A10100000000AA24") << i;
    if (i + 2 < log.size()) {
      EXPECT_NEAR(log[i + 2].t - log[i].t, 6.5, 0.2);
    }
  }
  const Strings lines = split_lines(out);
  for (const char* wanted : {"Intercom: 10", "Program_STM: 1", "Shield: 26"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), wanted), lines.end()) << wanted;
  }
}

TEST(Simulator, ArgumentsAnnounceModuloAndPushTheMaskLowByte) {
  std::string out;
  const auto log = frames_of(
      {"--scenario", temp_file("0 console -1 -1\n2500 end\n"), "--", "266", "0", "300"}, "", &out);
  ASSERT_GT(log.size(), 4u);
  EXPECT_EQ(log[0].rest.substr(0, 16), "A1020A0000007263");
  EXPECT_EQ(log[4].rest.substr(0, 6), "A10B2C");
}

TEST(Simulator, SetupFrameOnlyOnShields26And27) {
  for (const char* shield : {"25", "26", "27"}) {
    std::string out;
    const auto log = frames_of(
        {"--shield", shield, "--scenario", temp_file("0 console -1 -1\n2500 end\n"), "--", "10"},
        "", &out);
    bool setup = false;
    for (const LogLine& l : log) {
      setup = setup || l.rest.substr(0, 4) == "A10B";
    }
    EXPECT_EQ(setup, std::string(shield) != "25") << shield;
  }
}

TEST(Simulator, SilentCoprocessorIsResetTwentyOneTimesAndTheProgramCarriesOn) {
  const std::string pins = temp_file();
  std::string out;
  EXPECT_EQ(
      run_sim({"--virtual", "--no-answer", "20", "--pins", pins, "--scenario",
               temp_file("0 console -1 -1\n60000 signal 0x21 1 500\n61000 end\n"), "--", "10"},
              "", &out),
      0);
  int resets = 0;
  for (const LogLine& l : parse_log(pins)) {
    resets += l.rest == "write 14 0";
  }
  EXPECT_EQ(resets, 21);
  const Strings lines = split_lines(out);
  const Strings tail(lines.end() - 4, lines.end());
  EXPECT_EQ(tail, (Strings{"Intercom: 0", "Program_STM: 0", "Shield: 0", "S0 impulse: HIGH 500"}));
}

TEST(Simulator, SignalReportsPrintOnceEachThroughCorruption) {
  const std::string scenario =
      "0 console -1 -1\n"
      "3000 signal 0x21 1 500\n"
      "3100 corrupt 2\n3100 signal 0x10 0 0\n"
      "3200 corrupt 10\n3200 signal 0x02 0 65535\n"
      "3300 corrupt 25\n3300 signal 0x21 0 7\n"
      "4000 end\n";
  std::string out;
  frames_of({"--scenario", temp_file(scenario), "--", "10"}, "", &out);
  Strings reports;
  for (const std::string& l : split_lines(out)) {
    if (l.find("LOW") != std::string::npos || l.find("HIGH") != std::string::npos) {
      reports.push_back(l);
    }
  }
  EXPECT_EQ(reports, (Strings{"S0 impulse: HIGH 500", "Ek ? LOW 0", "S1 steady LOW 65535",
                              "S0 impulse: LOW 7"}));
}

TEST(Simulator, MalformedScenarioNamesFileAndLine) {
  const std::string path = temp_file("# fine\n100 pickup\n200 dial x\n");
  test::SimProcess p({"--scenario", path, "--", "10"});
  EXPECT_EQ(p.wait(), 64);
  EXPECT_NE(p.stderr_text().find(path + ":3:"), std::string::npos) << p.stderr_text();
  for (const char* bad :
       {"100 hop\n", "x pickup\n", "1 frame A1 01\n", "1 signal 1 2\n", "1 dial 70000\n",
        "on drop console 1\n", "on \"drop\" after x console 1\n"}) {
    test::SimProcess q({"--scenario", temp_file(bad), "--", "10"});
    EXPECT_EQ(q.wait(), 64) << bad;
  }
}

TEST(Simulator, SigtermWritesTheLogsAndEnds) {
  const std::string pins = temp_file();
  test::SimProcess p({"--pins", pins, "--", "10"});
  p.write("-1 -1\n");
  ASSERT_TRUE(p.wait_for("Shield: 26"));
  p.signal(SIGTERM);
  EXPECT_EQ(p.wait(), 128 + SIGTERM);
  EXPECT_FALSE(parse_log(pins).empty());
}

}  // namespace
