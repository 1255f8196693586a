// An installation's TEQsettings/timing.conf as the installer and the line
// see it: overrides that move the pins by exactly what they say and are
// reported on standard error only, and files with problems refused line by
// line before any pin is touched.
#include "line/timing_conf.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/main.h"
#include "line/drivers.h"
#include "sim/board.h"
#include "tests/sim_process.h"
#include "tests/support.h"

using test::Write;

namespace {

// A directory under $TMPDIR holding TEQsettings/timing.conf, removed at the end.
class ConfDir {
 public:
  explicit ConfDir(const std::string& text) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zul_timing_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      abort();
    }
    dir_ = pattern;
    mkdir((dir_ + "/TEQsettings").c_str(), 0755);
    std::ofstream(path()) << text;
  }
  ~ConfDir() {
    unlink(path().c_str());
    rmdir((dir_ + "/TEQsettings").c_str());
    rmdir(dir_.c_str());
  }
  ConfDir(const ConfDir&) = delete;
  ConfDir& operator=(const ConfDir&) = delete;

  const std::string& dir() const { return dir_; }
  std::string path() const { return dir_ + "/" + kTimingConfPath; }

 private:
  std::string dir_;
};

// Loads the text as timing.conf; returns what the loader said on standard
// error, line by line, with the directory taken out of the file's name.
struct Loaded {
  bool ok;
  std::vector<std::string> errors;
};
Loaded load(const ConfDir& conf) {
  testing::internal::CaptureStderr();
  const bool ok = timing_conf_load(conf.path().c_str());
  std::string err = testing::internal::GetCapturedStderr();
  for (size_t at = err.find(conf.dir() + "/"); at != std::string::npos;
       at = err.find(conf.dir() + "/")) {
    err.erase(at, conf.dir().size() + 1);
  }
  return {ok, test::split_lines(err)};
}

struct OpRun {
  std::vector<Write> writes;
  double ms;
  std::string err;
  std::vector<std::string> lines;
};

// One operation of a freshly installed driver, on a board fresh but for the
// overrides already loaded.
OpRun run(void (*install)(), LineOp* slot) {
  sim::board_reset();
  testing::internal::CaptureStderr();
  install();
  const std::string err = testing::internal::GetCapturedStderr();
  (*slot)();
  return {test::writes(), test::now_ms(), err, test::lines()};
}

// The writes of `w` with every write at or after `from_ms` moved by `by_ms`.
std::vector<Write> shifted(std::vector<Write> w, double from_ms, double by_ms) {
  for (Write& x : w) {
    if (x.t_ms >= from_ms) {
      x.t_ms += by_ms;
    }
  }
  return w;
}

class TimingConf : public testing::Test {
 protected:
  void SetUp() override { test::fresh_board(); }
  void TearDown() override { timing_conf_clear(); }
};

TEST_F(TimingConf, VizitPickupHoldOf1500LengthensOpenCallByExactly500ms) {
  const OpRun before = run(init_VIZIT, &open_call);
  ConfDir conf(
      "# this building's Vizit panel needs a longer answer\n[VIZIT]\npickup_hold_ms = 1500\n");
  ASSERT_TRUE(load(conf).ok);
  const OpRun after = run(init_VIZIT, &open_call);

  EXPECT_EQ(before.ms, 3530);
  EXPECT_EQ(after.ms, 4030);
  // Off hook at 20 ms; everything from the open key on comes 500 ms later.
  EXPECT_EQ(after.writes, shifted(before.writes, 1020, 500));
  EXPECT_EQ(after.err, "timing: VIZIT pickup_hold_ms = 1500 (default 1000)\n");
  EXPECT_TRUE(after.lines.empty()) << "standard output is the controlling process's";
}

TEST_F(TimingConf, OnlyTheSelectedSystemsSectionIsApplied) {
  const OpRun vizit = run(init_VIZIT, &drop_call);
  ConfDir conf("[Cyfral]\npickup_hold_ms = 5000\n[Marshal]\ndoor_rest_ms = 0\n");
  ASSERT_TRUE(load(conf).ok);
  const OpRun again = run(init_VIZIT, &drop_call);
  EXPECT_EQ(again.writes, vizit.writes);
  EXPECT_EQ(again.ms, vizit.ms);
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(run(init_Cyfral, &pickup).ms, 5101);
}

TEST_F(TimingConf, AFileWithoutOverridesChangesNothing) {
  ConfDir conf("; nothing tuned here\n# [VIZIT]\n# pickup_hold_ms = 1500\n\n[VIZIT]\n");
  const OpRun before = run(init_Metakom_2003, &open_call);
  ASSERT_TRUE(load(conf).ok);
  const OpRun after = run(init_Metakom_2003, &open_call);
  EXPECT_EQ(after.writes, before.writes);
  EXPECT_EQ(after.ms, 7530);
  EXPECT_EQ(after.err, "");
}

TEST_F(TimingConf, NoWaitBecomesAWaitWhenSet) {
  ConfDir conf("[VIZIT]\nreject_hold_ms = 250\nopen_key_presses = 2\n");
  ASSERT_TRUE(load(conf).ok);
  const OpRun reject = run(init_VIZIT, &drop_call);
  EXPECT_EQ(reject.ms, 2030 + 250);
  EXPECT_EQ(reject.err,
            "timing: VIZIT open_key_presses = 2 (default 1)\n"
            "timing: VIZIT reject_hold_ms = 250 (default none)\n");
  EXPECT_EQ(run(init_VIZIT, &open_pickup).ms, 3000);
}

TEST_F(TimingConf, CommonAndMarshalAreTunedToo) {
  ConfDir conf(
      "[common]\ndoor_pulse_ms = 2000\nhang_up_settle_ms = 0\n[Marshal]\ndoor_rest_ms = 1000\n");
  ASSERT_TRUE(load(conf).ok);
  const OpRun common_door = run(init_common, &open_free);
  EXPECT_EQ(common_door.writes, (std::vector<Write>{{0, 26, 1}, {2000, 26, 0}}));
  EXPECT_EQ(common_door.ms, 2010);
  EXPECT_EQ(run(init_common, &drop_pickup).ms, 10);
  const OpRun marshal = run(init_Marshal, &open_free);
  EXPECT_EQ(marshal.writes, (std::vector<Write>{{0, 26, 1}, {1000, 26, 0}}));
  EXPECT_EQ(marshal.ms, 2000);
  EXPECT_EQ(marshal.err, "timing: Marshal door_rest_ms = 1000 (default 4000)\n");
}

// Each row's installer takes the row's section, and no other installer
// does (the Raikman row's is Marshal's installer and section).
const char* first_key(TimingKind kind) {
  switch (kind) {
    case TimingKind::kStandard:
      return kStandardFields[0].key;
    case TimingKind::kCommon:
      return kCommonFields[0].key;
    case TimingKind::kMarshal:
      return kMarshalFields[0].key;
  }
  return "";
}

TEST_F(TimingConf, EachInstallerAppliesItsRowsSection) {
  for (const IntercomSystem& row : kIntercomSystems) {
    if (row.timing_section == nullptr) {
      continue;
    }
    const std::string section = row.timing_section, key = first_key(row.timing_kind);
    ConfDir conf("[" + section + "]\n" + key + " = 7\n");
    ASSERT_TRUE(load(conf).ok) << section;
    const std::string said = "timing: " + section + " " + key + " = 7 (default ";
    EXPECT_EQ(run(row.install, &gpio_first_status).err.substr(0, said.size()), said) << row.name;
    for (const IntercomSystem* other : test::line_drivers()) {
      if (other->install != row.install) {
        EXPECT_EQ(run(other->install, &gpio_first_status).err, "") << row.name << other->name;
      }
    }
  }
}

// An override moves its own system's operations and no other's: every
// operation of every driver, through the slot table, before and after.
TEST_F(TimingConf, AnOverrideMovesOnlyItsOwnSystemsOperations) {
  const std::vector<const IntercomSystem*> drivers = test::line_drivers();
  std::vector<OpRun> before;
  for (const IntercomSystem* d : drivers) {
    for (const LineSlot& s : kLineSlots) {
      before.push_back(run(d->install, s.slot));
    }
  }
  EXPECT_EQ(run(init_VIZIT, &pickup).ms, 1020);
  EXPECT_EQ(run(init_Eltis300, &open_call).ms, 10111);
  EXPECT_EQ(run(init_Eltis5000_KM500, &drop_pickup).ms, 3000);
  EXPECT_EQ(run(init_Metakom_2003, &open_pickup).ms, 4000);
  EXPECT_EQ(run(init_Eltis100, &select_imit).ms, 1010);

  ConfDir conf("[VIZIT]\npickup_hold_ms = 1500\n");
  ASSERT_TRUE(load(conf).ok);
  EXPECT_EQ(run(init_VIZIT, &pickup).ms, 1520);
  EXPECT_EQ(run(init_VIZIT, &open_call).ms, 4030);
  size_t i = 0;
  for (const IntercomSystem* d : drivers) {
    for (const LineSlot& s : kLineSlots) {
      const OpRun after = run(d->install, s.slot);
      const OpRun& was = before[i++];
      // VIZIT's pickup, and every VIZIT operation that answers first.
      const bool moved = d->install == init_VIZIT &&
                         (s.slot == &pickup || s.slot == &open_call || s.slot == &drop_call);
      EXPECT_EQ(after.ms != was.ms, moved) << d->name << " " << s.name;
      EXPECT_EQ(after.ms - was.ms, moved ? 500 : 0) << d->name << " " << s.name;
    }
  }
}

// ---- Files with problems ----

struct BadFile {
  const char* name;
  const char* text;
  std::vector<std::string> errors;
};

void PrintTo(const BadFile& b, std::ostream* os) { *os << b.name; }

const char kSections[] =
    "VIZIT, Metakom_2003, Metakom_2012, Marshal, Eltis5000, Eltis300, Eltis400, Eltis100, "
    "Cyfral, Eltis5000_KM500, common";
const std::string kStandardKeys =
    "on_hook_settle_ms, connect_settle_ms, pickup_hold_ms, open_key_presses, open_key_ms, "
    "key_release_wait_ms, reject_hold_ms, release_wait_ms, door_pulse_ms";

const BadFile kBadFiles[] = {
    {"UnknownSection",
     "[Vizit]\npickup_hold_ms = 1500\nopen_key_ms = 1200\n",
     {std::string("TEQsettings/timing.conf:2: unknown section [Vizit]; the sections are ") +
      kSections}},
    {"UnknownKey",
     "[VIZIT]\npickup_hold = 1500\n",
     {"TEQsettings/timing.conf:2: unknown key pickup_hold in [VIZIT]; its keys are " +
      kStandardKeys}},
    {"UnknownKeyOfMarshal",
     "[Marshal]\nopen_key_ms = 1\n",
     {"TEQsettings/timing.conf:2: unknown key open_key_ms in [Marshal]; its keys are "
      "door_pulse_ms, door_rest_ms, pickup_hold_ms, reject_hold_ms, release_wait_ms"}},
    {"NotAWholeNumber",
     "[VIZIT]\npickup_hold_ms = 1.5\nopen_key_ms = -3\ndoor_pulse_ms = ten\n",
     {"TEQsettings/timing.conf:2: pickup_hold_ms = 1.5 is not a whole number",
      "TEQsettings/timing.conf:3: open_key_ms = -3 is not a whole number",
      "TEQsettings/timing.conf:4: door_pulse_ms = ten is not a whole number"}},
    {"CommentAfterAValue",
     "[VIZIT]\npickup_hold_ms = 1500 # longer\n",
     {"TEQsettings/timing.conf:2: pickup_hold_ms = 1500 # longer is not a whole number (a "
      "comment goes on a line of its own)"}},
    {"WaitOutOfRange",
     "[Cyfral]\npickup_hold_ms = 60001\nopen_key_ms = 60000\nrelease_wait_ms = 99999999999\n",
     {"TEQsettings/timing.conf:2: pickup_hold_ms = 60001 is outside 0..60000 ms",
      "TEQsettings/timing.conf:4: release_wait_ms = 99999999999 is outside 0..60000 ms"}},
    {"PressesOutOfRange",
     "[Metakom_2003]\nopen_key_presses = 0\n[Eltis300]\nopen_key_presses = 11\n",
     {"TEQsettings/timing.conf:2: open_key_presses = 0 is outside 1..10",
      "TEQsettings/timing.conf:4: open_key_presses = 11 is outside 1..10"}},
    {"EverySectionIsChecked",
     "[VIZIT]\npickup_hold_ms = 1500\n[Eltis100]\ndoor_pulse_ms = 70000\n[common]\nx = 1\n",
     {"TEQsettings/timing.conf:4: door_pulse_ms = 70000 is outside 0..60000 ms",
      "TEQsettings/timing.conf:6: unknown key x in [common]; its keys are on_hook_settle_ms, "
      "connect_settle_ms, off_hook_settle_ms, pickup_hold_ms, open_call_hold_ms, open_key_ms, "
      "key_release_wait_ms, reject_hold_ms, reject_release_ms, hang_up_settle_ms, "
      "release_wait_ms, door_pulse_ms"}},
    {"MalformedLines",
     "pickup_hold_ms 1500\n[VIZIT\n[VIZIT]\nopen_key_ms 3\n",
     {"TEQsettings/timing.conf:1: neither a [section] nor a key = value line",
      "TEQsettings/timing.conf:2: neither a [section] nor a key = value line",
      "TEQsettings/timing.conf:4: neither a [section] nor a key = value line"}},
    {"KeyOutsideASection",
     "pickup_hold_ms = 1500\n",
     {"TEQsettings/timing.conf:1: pickup_hold_ms is outside any [section]; put it under the "
      "system it is for"}},
    {"NoValue",
     "[VIZIT]\npickup_hold_ms =\n",
     {"TEQsettings/timing.conf:2: pickup_hold_ms has no value"}},
    {"SetTwice",
     "[VIZIT]\npickup_hold_ms = 1500\n[Cyfral]\npickup_hold_ms = 1\n[VIZIT]\npickup_hold_ms = "
     "1600\n",
     {"TEQsettings/timing.conf:6: pickup_hold_ms in [VIZIT] is set already, on line 2"}},
};

class BadTimingConf : public testing::TestWithParam<BadFile> {
 protected:
  void TearDown() override { timing_conf_clear(); }
};

TEST_P(BadTimingConf, IsRefusedWithOneLinePerProblemAndKeepsNoOverride) {
  test::fresh_board();
  ConfDir conf(GetParam().text);
  const Loaded r = load(conf);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.errors, GetParam().errors);
  // Not even the good lines of a refused file count.
  EXPECT_EQ(run(init_VIZIT, &open_call).ms, 3530);
}

INSTANTIATE_TEST_SUITE_P(Files, BadTimingConf, testing::ValuesIn(kBadFiles),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TimingConf, ALineTooLongIsRefusedWhole) {
  ConfDir conf("[VIZIT]\n# " + std::string(300, '-') + "\npickup_hold_ms = x\n");
  const Loaded r = load(conf);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.errors, (std::vector<std::string>{
                          "TEQsettings/timing.conf:2: the line is longer than 198 characters",
                          "TEQsettings/timing.conf:3: pickup_hold_ms = x is not a whole number"}));
}

TEST_F(TimingConf, AMissingFileMeansTheCompiledInTimings) {
  ConfDir conf("[VIZIT]\npickup_hold_ms = 1500\n");
  ASSERT_TRUE(load(conf).ok);
  testing::internal::CaptureStderr();
  EXPECT_TRUE(timing_conf_load((conf.dir() + "/TEQsettings/none.conf").c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(run(init_VIZIT, &open_call).ms, 3530);
}

TEST_F(TimingConf, AFileThatCannotBeReadIsAProblem) {
  ConfDir conf("");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(timing_conf_load((conf.dir() + "/TEQsettings").c_str()));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("TEQsettings: cannot be read"),
            std::string::npos);
}

// ---- At start-up ----

// The working directory for one test, restored afterwards.
class InDir {
 public:
  explicit InDir(const std::string& dir) {
    if (getcwd(saved_, sizeof saved_) == nullptr || chdir(dir.c_str()) != 0) {
      abort();
    }
  }
  ~InDir() {
    if (chdir(saved_) != 0) {
      abort();
    }
  }
  InDir(const InDir&) = delete;
  InDir& operator=(const InDir&) = delete;

 private:
  char saved_[1024];
};

TEST_F(TimingConf, AtStartUpABadFileEndsTheProgramWithStatus4BeforeAnyPinCall) {
  ConfDir conf("[VIZIT]\npickup_hold_ms = 1500\nopen_key_ms = 1.2\n");
  InDir in(conf.dir());
  test::give_input("5 -1 -1");
  testing::internal::CaptureStderr();
  EXPECT_EQ(test::start({"10"}), 4);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "TEQsettings/timing.conf:3: open_key_ms = 1.2 is not a whole number\n");
  EXPECT_TRUE(sim::pin_events().empty());
  EXPECT_FALSE(sim::library_initialised());
  EXPECT_EQ(test::lines().back(), "#End read blacklist rooms");
}

TEST_F(TimingConf, AtStartUpTheSelectedSystemsOverridesAreAppliedAndReported) {
  ConfDir conf("[VIZIT]\npickup_hold_ms = 1500\n[Cyfral]\nopen_key_ms = 100\n");
  InDir in(conf.dir());
  test::give_input("-1 -1");
  testing::internal::CaptureStderr();
  EXPECT_EQ(test::start({"10"}), -1);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("timing: VIZIT pickup_hold_ms = 1500 (default 1000)\n"), std::string::npos)
      << err;
  EXPECT_EQ(err.find("Cyfral"), std::string::npos) << err;
  for (const std::string& line : test::lines()) {
    EXPECT_EQ(line.find("timing"), std::string::npos) << line;
  }
  sim::board_reset();
  pickup();
  EXPECT_EQ(test::now_ms(), 1520);
}

// ---- The simulator, as an installer runs it ----

std::vector<std::string> lines_starting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& line : test::split_lines(text)) {
    if (line.rfind(prefix, 0) == 0) {
      out.push_back(line);
    }
  }
  return out;
}

TEST(DescribeDriver, ShowsEachOperationsTotalAndItsSteps) {
  ConfDir conf("# nothing tuned\n");
  std::string out;
  EXPECT_EQ(test::run_sim({"--describe-driver", "--", "10"}, "", &out, 60, conf.dir()), 0);
  EXPECT_EQ(lines_starting(out, "open_call "), std::vector<std::string>{"open_call  3530 ms"});
  EXPECT_NE(out.find("intercom 10: the VIZIT driver"), std::string::npos) << out;
  EXPECT_NE(out.find("open_call  3530 ms\n"
                     "         0 ms  hook lines on hook (GPIO 23 low, 22 high)\n"
                     "        10 ms  line selector (GPIO 24) high\n"
                     "        20 ms  hook lines off hook (GPIO 23 high, 22 low)\n"
                     "      1020 ms  hook lines open key (GPIO 23 low, 22 low)\n"
                     "      2020 ms  hook lines off hook (GPIO 23 high, 22 low)\n"
                     "      2520 ms  hook lines on hook (GPIO 23 low, 22 high)\n"
                     "      3520 ms  line selector (GPIO 24) low\n"
                     "      3530 ms  board idle state (soft_reset)\n"
                     "      3530 ms  board idle state (soft_reset)\n"),
            std::string::npos)
      << out;
  const std::vector<std::string> totals = {
      "gpio_first_status  0 ms", "open_free  1010 ms", "open_call  3530 ms",
      "open_pickup  1500 ms",    "pickup  1020 ms",    "select_imit  20 ms",
      "select_real  0 ms",       "drop_call  2030 ms", "drop_pickup  1010 ms"};
  std::vector<std::string> seen;
  for (const std::string& line : test::split_lines(out)) {
    if (line.find("  ") != std::string::npos && line[0] != ' ') {
      seen.push_back(line);
    }
  }
  EXPECT_EQ(seen, totals);
}

TEST(DescribeDriver, AppliesTheOverridesAndReportsThemOnStandardError) {
  ConfDir conf("[VIZIT]\npickup_hold_ms = 1500\n");
  test::SimProcess p({"--describe-driver", "--", "10"}, conf.dir());
  p.close_input();
  std::string line;
  std::vector<std::string> out;
  while (p.read_line(&line)) {
    out.push_back(line);
  }
  EXPECT_EQ(p.wait(), 0);
  EXPECT_NE(std::find(out.begin(), out.end(), "open_call  4030 ms"), out.end());
  EXPECT_NE(std::find(out.begin(), out.end(), "pickup  1520 ms"), out.end());
  EXPECT_EQ(p.stderr_text(), "timing: VIZIT pickup_hold_ms = 1500 (default 1000)\n");
}

TEST(DescribeDriver, RefusesABadFileWithStatus4) {
  ConfDir conf("[VIZIT]\npickup_hold_ms = 1500ms\n");
  test::SimProcess p({"--describe-driver", "--", "10"}, conf.dir());
  p.close_input();
  std::string line;
  EXPECT_FALSE(p.read_line(&line));
  EXPECT_EQ(p.wait(), 4);
  EXPECT_EQ(p.stderr_text(),
            "TEQsettings/timing.conf:2: pickup_hold_ms = 1500ms is not a whole number\n");
}

TEST(DescribeDriver, DrawsTheOperationsOneAfterAnother) {
  ConfDir conf("");
  const std::string svg = test::temp_file();
  std::string out;
  EXPECT_EQ(
      test::run_sim({"--describe-driver", "--svg", svg, "--", "13"}, "", &out, 60, conf.dir()), 0);
  const std::string picture = test::read_file(svg);
  unlink(svg.c_str());
  EXPECT_NE(out.find("open_free  5000 ms"), std::string::npos) << out;
  size_t at = 0;
  for (const char* op :
       {">gpio_first_status<", ">open_free<", ">open_call<", ">open_pickup<", ">pickup<",
        ">select_imit<", ">select_real<", ">drop_call<", ">drop_pickup<"}) {
    at = picture.find(op, at);
    EXPECT_NE(at, std::string::npos) << op;
  }
  EXPECT_NE(picture.find("</svg>"), std::string::npos);
}

TEST(DescribeDriver, ShowsWhatAnOperationPrints) {
  ConfDir conf("");
  std::string out;
  EXPECT_EQ(test::run_sim({"--describe-driver", "--", "0"}, "", &out, 60, conf.dir()), 0);
  EXPECT_NE(out.find("open_call  2010 ms\n         0 ms  prints \"common\"\n"), std::string::npos)
      << out;
}

TEST(DescribeDriver, NeedsTheIntercomCode) {
  std::string out;
  EXPECT_EQ(test::run_sim({"--describe-driver"}, "", &out), 64);
  EXPECT_EQ(out, "");
}

TEST(TimingConfInTheSimulator, OverridesChangeThePinsButNotStandardOutput) {
  const std::string scenario = test::temp_file(
      "0 console 5 -1 -1\n3000 dial 5\non \"dial 5\" after 500 console 2\n12000 end\n");
  ConfDir plain("");
  ConfDir tuned("[VIZIT]\npickup_hold_ms = 1500\n");
  std::string out_plain;
  std::string out_tuned;
  const std::string pins = test::temp_file();
  EXPECT_EQ(test::run_sim({"--virtual", "--scenario", scenario, "--", "10"}, "", &out_plain, 60,
                          plain.dir()),
            0);
  test::SimProcess p({"--virtual", "--scenario", scenario, "--pins", pins, "--", "10"},
                     tuned.dir());
  p.close_input();
  std::string line;
  while (p.read_line(&line)) {
    out_tuned += line + "\n";
  }
  EXPECT_EQ(p.wait(), 0);
  EXPECT_EQ(out_tuned, out_plain);
  EXPECT_NE(out_plain.find("dial 5"), std::string::npos);
  EXPECT_EQ(p.stderr_text(), "timing: VIZIT pickup_hold_ms = 1500 (default 1000)\n");
  // open_call: the first on-hook write after the dial, to the door key, 1520 ms.
  const std::vector<std::string> log = test::split_lines(test::read_file(pins));
  unlink(pins.c_str());
  unlink(scenario.c_str());
  double off_hook = -1;
  double open_key = -1;
  for (size_t i = 1; i < log.size(); ++i) {
    double t = 0;
    int gpio = 0;
    int level = 0;
    if (sscanf(log[i].c_str(), "%lf write %d %d", &t, &gpio, &level) != 3 || t < 3000) {
      continue;
    }
    int prev_gpio = 0;
    int prev_level = 0;
    double prev_t = 0;
    sscanf(log[i - 1].c_str(), "%lf write %d %d", &prev_t, &prev_gpio, &prev_level);
    if (gpio == 22 && prev_gpio == 23 && prev_t == t) {
      if (prev_level == 1 && level == 0 && off_hook < 0) {
        off_hook = t;
      }
      if (prev_level == 0 && level == 0 && open_key < 0) {
        open_key = t;
      }
    }
  }
  ASSERT_GE(off_hook, 0);
  EXPECT_DOUBLE_EQ(open_key - off_hook, 1500);
}

}  // namespace
