// The simulator stopped by a signal while everything is busy: pins switching,
// lines printed, frames on the bus, logs recorded. Whichever thread the
// signal lands on, and whatever that thread holds just then, the program
// ends through the board idle state and the simulator writes its logs.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/stop.h"
#include "line/board.h"
#include "sim/board.h"
#include "sim/clock.h"
#include "sim/platform.h"
#include "tests/sim_process.h"
#include "tests/support.h"

namespace {

// A sanitizer adds threads of its own, and defers a signal to a thread until
// that thread next calls into it: there, only the process is signalled.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

using test::read_file;
using test::split_lines;
using test::temp_file;

// Calls to the imitated room 5 one after another, each picked up, the door
// opened and hung up, with a relay pulse between; signal reports every 20 ms.
std::string busy_scenario() {
  std::string s = "0 console 5 -1 -1\n";
  s += "on \"dial 5\" after 200 console 1\non \"dial 5\" after 800 console 2\n";
  s += "on \"dial 5\" after 2600 console 3\non \"dial 5\" after 4500 console 22\n";
  for (int call = 0; call < 200; ++call) {
    const int t = 1500 + 7000 * call;
    s += std::to_string(t) + " dial 5\n" + std::to_string(t + 4200) + " drop\n";
  }
  for (int i = 0; i < 10000; ++i) {
    s += std::to_string(1500 + 20 * i) + " signal 0x21 1 " + std::to_string(i % 60000) + "\n";
  }
  return s;
}

// Whether the thread blocks SIGTERM (its SigBlk mask in /proc).
bool blocks_sigterm(pid_t pid, pid_t tid) {
  const std::string status =
      read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/status");
  const size_t at = status.find("SigBlk:");
  if (at == std::string::npos) {
    return false;
  }
  const unsigned long long mask = std::stoull(status.substr(at + 7), nullptr, 16);
  return (mask >> (SIGTERM - 1) & 1) != 0;
}

// The threads a signal sent to the process may land on (all_count: how many
// there are in all).
std::vector<pid_t> threads_of(pid_t pid, size_t* all_count) {
  std::vector<pid_t> out;
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  if (d == nullptr) {
    return out;
  }
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') {
      const auto tid = static_cast<pid_t>(std::stol(e->d_name));
      ++*all_count;
      if (!blocks_sigterm(pid, tid)) {
        out.push_back(tid);
      }
    }
  }
  closedir(d);
  return out;
}

TEST(SimulatorStop, SigtermDuringHeavyPinAndLogActivityEndsThroughTheIdleState) {
  const std::string scenario = temp_file(busy_scenario());
  // In an emulator the process's threads are the emulator's; only a signal
  // to the whole process is meaningful there.
  const bool native = std::string(ZUL_SIM_LAUNCHER).empty() && !kSanitized;
  std::mt19937 rng(11);
  for (int run = 0; run < 10; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const std::string pins = temp_file();
    const std::string lines = temp_file();
    const std::string frames = temp_file();
    test::SimProcess p({"--speed", "200", "--faults", "0.05", "--seed", "3", "--pins", pins,
                        "--lines", lines, "--frames", frames, "--scenario", scenario, "--", "10"});
    ASSERT_TRUE(p.wait_for("dial 5", 20));
    // Keep reading, so that the program's output never blocks.
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(20 + rng() % 300);
    std::string line;
    while (std::chrono::steady_clock::now() < until && p.read_line(&line, 0.01)) {
    }
    // Every thread of the process in turn, as the kernel may pick any of
    // them for a signal sent to the process.
    size_t all = 0;
    const std::vector<pid_t> threads = native ? threads_of(p.pid(), &all) : std::vector<pid_t>{};
    if (native) {
      // The program's threads take it; the simulator's timer thread, which
      // runs the scenario inside the simulator's locks, blocks it.
      EXPECT_FALSE(threads.empty());
      EXPECT_LT(threads.size(), all) << "a thread that blocks the stop signals";
    }
    if (threads.empty()) {
      p.signal(SIGTERM);
    } else {
      syscall(SYS_tgkill, p.pid(), threads[static_cast<size_t>(run) % threads.size()], SIGTERM);
    }
    const auto sent = std::chrono::steady_clock::now();
    while (p.read_line(&line, 10) &&
           std::chrono::steady_clock::now() - sent < std::chrono::seconds(10)) {
    }
    const int status = p.wait(10);
    ASSERT_EQ(status, 128 + SIGTERM) << "(-1: still running after 10 s)\n" << p.stderr_text();
    test::expect_board_idle_last(test::pin_writes(read_file(pins)));
    EXPECT_FALSE(read_file(lines).empty());
    // The frames log streams while the run goes on: the stop still gets the
    // rest of it out, whole lines only.
    const std::string frame_log = read_file(frames);
    ASSERT_FALSE(frame_log.empty());
    EXPECT_EQ(frame_log.back(), '\n');
    static const std::regex kFrameLine("[0-9]+(\\.[0-9]+)? [0-9A-F]{16} [0-9A-F]{16}");
    std::istringstream frame_lines(frame_log);
    int bad = 0;
    int dial_frames = 0;
    for (std::string l; std::getline(frame_lines, l);) {
      if (!std::regex_match(l, kFrameLine) && ++bad <= 3) {
        ADD_FAILURE() << "frames log line: " << l;
      }
      // The reply that carried a dial for room 5 (the stop may come before
      // the next transfer, while the dial's select operation runs).
      dial_frames += l.find(" A10101000005") != std::string::npos;
    }
    // Every dial printed came in a transfer that the log still holds: the
    // stop got the buffered rest of the log out.
    int dial_lines = 0;
    std::istringstream line_log(read_file(lines));
    for (std::string l; std::getline(line_log, l);) {
      dial_lines += l.find(" dial 5") != std::string::npos;
    }
    ASSERT_GT(dial_lines, 0);
    EXPECT_GE(dial_frames, dial_lines);
  }
}

// At the process's end, on standard error: the last nine pin writes.
void report_last_writes() {
  static char text[160];
  size_t len = 0;
  const size_t n = sim::pin_event_count();
  for (size_t i = n >= 9 ? n - 9 : 0; i < n; ++i) {
    const sim::PinEvent e = sim::pin_event_at(i);
    len += static_cast<size_t>(snprintf(text + len, sizeof text - len, "%u=%u ",
                                        static_cast<unsigned>(e.gpio),
                                        static_cast<unsigned>(e.value)));
  }
  if (write(STDERR_FILENO, text, len) < 0) {
    return;
  }
}

// The signal lands on a thread that holds the clock's lock (a wait's wake-up
// test runs under it): the stop path must not need that lock. A stop path
// that does hangs, and the alarm ends the child instead.
TEST(SimulatorStopDeathTest, StopSignalInsideTheClocksLockStillWritesTheIdleState) {
  EXPECT_EXIT(
      {
        alarm(5);
        test::fresh_board(sim::ClockMode::kRealTime);
        GPIO_init();
        sim::platform_on_exit(report_last_writes);
        install_stop_handlers();
        sim::clock_wait_until([] {
          raise(SIGTERM);
          return true;
        });
        _exit(1);
      },
      testing::ExitedWithCode(128 + SIGTERM), "24=0 23=1 22=1 14=1 6=0 25=0 16=0 26=0 2=1 $");
}

// The scenario's end and a stop signal at once: the end writes the logs
// (here slowly, as a long run's logs are), and the signal's _exit on another
// thread comes while it does. The process must not end under the writer.
std::atomic<bool> g_writing{false};

void slow_logs() {
  g_writing.store(true);
  const timespec a_long_log = {0, 300 * 1000 * 1000};
  nanosleep(&a_long_log, nullptr);
  static const char kDone[] = "logs written\n";
  if (write(STDERR_FILENO, kDone, sizeof kDone - 1) < 0) {
    return;
  }
}

TEST(SimulatorStopDeathTest, AStopSignalWhileTheEndWritesTheLogsWaitsForThem) {
  EXPECT_EXIT(
      {
        alarm(5);
        test::fresh_board(sim::ClockMode::kRealTime);
        GPIO_init();
        sim::platform_on_exit(slow_logs);
        install_stop_handlers();
        // The stop signals go to this thread alone: the one writing the logs
        // blocks them from its _exit on.
        std::thread stopper([] {
          while (!g_writing.load()) {
            sched_yield();
          }
          raise(SIGTERM);
        });
        stopper.detach();
        _exit(0);
      },
      [](int status) {
        return WIFEXITED(status) &&
               (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 128 + SIGTERM);
      },
      "logs written\n$");
}

}  // namespace
