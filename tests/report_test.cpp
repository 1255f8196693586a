// The reports on ZUL_REPORT_FD: what became of each code, in the queue's
// order, on a pipe the test reads; and that a reader who stops reading, or
// goes, never holds up or ends the program.
#include "out/report.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/config.h"
#include "core/Buffer.h"
#include "core/main_cycle.h"
#include "line/drivers.h"
#include "sim/coproc.h"
#include "tests/sim_process.h"
#include "tests/support.h"

namespace {

using Strings = std::vector<std::string>;

void event(uint8_t subcode, uint16_t room = 0) {
  const uint8_t frame[8] = {sim::kFrameStart,
                            sim::kFrameCallEvent,
                            subcode,
                            0,
                            static_cast<uint8_t>(room >> 8),
                            static_cast<uint8_t>(room & 0xFF)};
  call_event(frame);
}

void pass(uint8_t code = 0) {
  if (code != 0) {
    console_enqueue(code);
  }
  VirtualIntercom_status(&Cycle);
}

class Reports : public testing::Test {
 protected:
  void SetUp() override {
    test::fresh_board();
    select_line_driver(10);  // VIZIT
    RoomImit[5] = kRoomImitated;
    RoomImit[9] = kRoomBlacklisted;
    ASSERT_EQ(pipe(fds_), 0);
    fcntl(fds_[0], F_SETFL, O_NONBLOCK);
  }
  void TearDown() override {
    report_close();
    unsetenv("ZUL_REPORT_FD");
    if (fds_[0] >= 0) close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }
  // Opens the reports on the pipe's write end, as start-up does.
  void open_reports() {
    setenv("ZUL_REPORT_FD", std::to_string(fds_[1]).c_str(), 1);
    report_open_from_environment();
    fds_[1] = -1;  // the reports own it now
  }
  // The report lines that have come since the last call.
  Strings read_reports() {
    char buffer[65536];
    const ssize_t n = read(fds_[0], buffer, sizeof buffer);
    pending_ += n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    Strings lines;
    size_t end;
    while ((end = pending_.find('\n')) != std::string::npos) {
      lines.push_back(pending_.substr(0, end));
      pending_.erase(0, end + 1);
    }
    return lines;
  }
  int fds_[2] = {-1, -1};
  std::string pending_;
};

TEST_F(Reports, ACallsCodesAreQueuedTakenRunAndDone) {
  open_reports();
  EXPECT_EQ(read_reports(), Strings{"reports 1"});
  event(sim::kCallDial, 5);
  pass(1);
  pass(2);
  pass(3);
  event(sim::kCallDrop);
  EXPECT_EQ(read_reports(), (Strings{"queued 1", "take 1", "run 1", "done 1", "queued 2", "take 2",
                                     "run 2", "done 2", "queued 3", "take 3", "run 3", "done 3"}));
  EXPECT_EQ(test::lines(), (Strings{"dial 5", "drop"})) << "standard output as without reports";
}

TEST_F(Reports, ACodeWithNoActionIsSkippedAndARelayRunsInAnyState) {
  open_reports();
  read_reports();
  pass(1);   // idle: nothing to pick up
  pass(99);  // never an action
  pass(23);  // idle: opens the door
  pass(21);
  EXPECT_EQ(read_reports(),
            (Strings{"queued 1", "take 1", "skip 1", "queued 99", "take 99", "skip 99", "queued 23",
                     "take 23", "run 23", "done 23", "queued 21", "take 21", "run 21", "done 21"}));
}

TEST_F(Reports, TheProgramsOwnRejectAndAFullQueueAreReported) {
  open_reports();
  read_reports();
  for (int i = 0; i < 4; ++i) console_enqueue(20);
  event(sim::kCallDial, 9);  // blacklisted: the program queues its reject itself, the fifth code
  console_enqueue(21);
  event(sim::kCallDial, 9);
  EXPECT_EQ(read_reports(), (Strings{"queued 20", "queued 20", "queued 20", "queued 20", "own 3",
                                     "full 21", "own-full 3"}));
  pass();
  EXPECT_EQ(read_reports(), (Strings{"take 20", "run 20", "done 20"}));
}

TEST_F(Reports, AReaderThatStopsReadingHoldsNothingUpAndLearnsHowManyWereLost) {
  const int also = dup(fds_[1]);  // the same pipe, to fill it as an idle reader lets it fill
  ASSERT_GE(also, 0);
  fcntl(also, F_SETPIPE_SZ, 4096);
  open_reports();  // the pipe's writes are non-blocking from here on, through `also` too
  const std::string filler(512, 'x');
  while (write(also, filler.data(), filler.size()) > 0) {
  }
  while (write(also, filler.data(), 1) > 0) {
  }
  close(also);
  const double t0 = test::now_ms();
  pass(99);
  pass(20);
  EXPECT_NEAR(test::now_ms() - t0, 20 + 20 + 2000 + 10, 0.01)
      << "the passes went on as always: two waits, the pulse, its pause";
  // Drained: the next report says how many did not go (the hello may have).
  std::string drained;
  char buffer[4096];
  for (ssize_t n; (n = read(fds_[0], buffer, sizeof buffer)) > 0;)
    drained.append(buffer, size_t(n));
  const bool hello_went = drained.find("reports 1\n") != std::string::npos;
  pass(99);
  EXPECT_EQ(read_reports(),
            (Strings{hello_went ? "lost 7" : "lost 8", "queued 99", "take 99", "skip 99"}));
}

volatile sig_atomic_t g_pipe_signals = 0;

TEST_F(Reports, AReaderThatHasGoneEndsTheReportsNotTheProgram) {
  // The program's SIGPIPE handler ends it; here one that counts stands in.
  struct sigaction counting = {};
  counting.sa_handler = [](int) { g_pipe_signals = g_pipe_signals + 1; };
  sigemptyset(&counting.sa_mask);
  struct sigaction previous = {};
  sigaction(SIGPIPE, &counting, &previous);
  g_pipe_signals = 0;
  open_reports();
  read_reports();
  close(fds_[0]);
  fds_[0] = -1;
  pass(20);
  EXPECT_FALSE(report_is_open());
  event(sim::kCallDial, 5);
  pass(1);
  EXPECT_EQ(Cycle.state.load(), kStatePickedUp) << "the program goes on";
  sigaction(SIGPIPE, &previous, nullptr);
  EXPECT_EQ(g_pipe_signals, 0) << "a SIGPIPE reached the handler";
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "a SIGPIPE left waiting";
}

TEST_F(Reports, AValueThatIsNoWritableDescriptorIsNamedAndIgnored) {
  for (const std::string& value : Strings{"x", "", "1", "4x", "999", std::to_string(fds_[0])}) {
    setenv("ZUL_REPORT_FD", value.c_str(), 1);
    testing::internal::CaptureStderr();
    report_open_from_environment();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ZUL_REPORT_FD=\"" + value +
                       "\" is not a descriptor of 3 or more open "
                       "for writing; no reports are written"),
              std::string::npos)
        << value << ": " << err;
    EXPECT_FALSE(report_is_open()) << value;
  }
}

// The whole program as a process: the demo's calls, answered by its own
// controlling side, print the same bytes with reports as without, and the
// reports follow every code to its end, the program's own reject included.
TEST(ReportsOfTheProgram, StandardOutputIsTheSameWithReportsAsWithout) {
  std::string plain;
  ASSERT_EQ(test::run_sim({"--virtual", "--", "10"}, "", &plain), 0);
  const std::string path = test::temp_file();
  const int fd = open(path.c_str(), O_WRONLY);  // inherited by the simulator
  ASSERT_GE(fd, 3);
  setenv("ZUL_REPORT_FD", std::to_string(fd).c_str(), 1);
  std::string reported;
  const int status = test::run_sim({"--virtual", "--", "10"}, "", &reported);
  unsetenv("ZUL_REPORT_FD");
  close(fd);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(reported, plain);
  EXPECT_EQ(test::split_lines(test::read_file(path)),
            (Strings{"reports 1", "queued 1", "take 1", "run 1",    "done 1", "queued 2",
                     "take 2",    "run 2",    "done 2", "queued 3", "take 3", "run 3",
                     "done 3",    "own 3",    "take 3", "run 3",    "done 3", "queued 21",
                     "take 21",   "run 21",   "done 21"}));
}

}  // namespace
