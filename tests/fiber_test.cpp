// The program's threads in virtual time: fibers on the simulator's one OS
// thread. To the program they are threads all the same (their own
// thread_locals, mutexes that wait for their holder, join), and the same
// scenario and seed give the same run to the byte, faults and all.
#include "sim/fiber.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "sim/clock.h"
#include "tests/sim_process.h"
#include "tests/support.h"

namespace {

using test::read_file;
using test::temp_file;

thread_local int t_value = 7;

double now_ms() { return static_cast<double>(sim::clock_now_ns()) / sim::kNsPerMs; }

pid_t os_thread() { return static_cast<pid_t>(syscall(SYS_gettid)); }

TEST(Fibers, EachProgramThreadKeepsItsOwnThreadLocalsAcrossTurns) {
  test::fresh_board(sim::ClockMode::kScheduled);
  t_value = 1;
  static int seen_at_start = 0;
  static int seen_after_wait = 0;
  pthread_t t;
  ASSERT_EQ(pthread_create(
                &t, nullptr,
                [](void*) -> void* {
                  seen_at_start = t_value;  // a new thread's initial value
                  t_value = 2;
                  sim::clock_sleep_ms(10);
                  seen_after_wait = t_value;
                  return nullptr;
                },
                nullptr),
            0);
  sim::clock_sleep_ms(5);  // the thread runs, sets its copy, and waits
  EXPECT_EQ(t_value, 1) << "the other thread's write is its own";
  t_value = 3;
  sim::clock_sleep_ms(10);
  EXPECT_EQ(seen_at_start, 7);
  EXPECT_EQ(seen_after_wait, 2);
  EXPECT_EQ(t_value, 3);
}

pid_t inside = 0;  // the OS thread note_os_thread ran on
void* note_os_thread(void*) {
  inside = os_thread();
  return nullptr;
}

TEST(Fibers, ProgramThreadsShareTheSimulatorsOsThreadInVirtualTimeOnly) {
  test::fresh_board(sim::ClockMode::kScheduled);
  pthread_t t;
  ASSERT_EQ(pthread_create(&t, nullptr, note_os_thread, nullptr), 0);
  sim::clock_sleep_ms(1);
  EXPECT_EQ(inside, os_thread());
  EXPECT_EQ(pthread_join(t, nullptr), 0);

  test::fresh_board(sim::ClockMode::kInstant);
  inside = 0;
  ASSERT_EQ(pthread_create(&t, nullptr, note_os_thread, nullptr), 0);
  ASSERT_EQ(pthread_join(t, nullptr), 0);
  EXPECT_NE(inside, os_thread()) << "outside virtual time a thread is a kernel thread";
}

// A thread that finds a mutex held by a thread that waits gives up its turn
// until the holder lets the mutex go, instead of blocking the one OS thread.
TEST(Fibers, AMutexHeldAcrossAWaitIsTakenWhenItsHolderLetsItGo) {
  test::fresh_board(sim::ClockMode::kScheduled);
  static std::mutex m;
  static double released_ms = -1;
  pthread_t t;
  ASSERT_EQ(pthread_create(
                &t, nullptr,
                [](void*) -> void* {
                  m.lock();
                  sim::clock_sleep_ms(10);
                  released_ms = now_ms();
                  m.unlock();
                  sim::clock_sleep_ms(100);
                  return nullptr;
                },
                nullptr),
            0);
  pthread_detach(t);
  sim::clock_sleep_ms(1);
  {
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(now_ms(), 10.0) << "taken at the holder's release, not before";
    EXPECT_EQ(released_ms, 10.0);
  }
  sim::clock_sleep_ms(200);
}

TEST(Fibers, JoinWaitsForTheThreadsEndAndGivesItsResult) {
  test::fresh_board(sim::ClockMode::kScheduled);
  pthread_t t;
  static int answer = 42;
  ASSERT_EQ(pthread_create(
                &t, nullptr,
                [](void*) -> void* {
                  sim::clock_sleep_ms(25);
                  return &answer;
                },
                nullptr),
            0);
  void* result = nullptr;
  ASSERT_EQ(pthread_join(t, &result), 0);
  EXPECT_EQ(result, &answer);
  EXPECT_EQ(now_ms(), 25.0);
}

TEST(Fibers, EndedThreadsFreeTheirPlaceAndTooManyAtOnceAreRefused) {
  test::fresh_board(sim::ClockMode::kScheduled);
  for (int i = 0; i < 3 * sim::kFiberSlots; ++i) {
    pthread_t t;
    ASSERT_EQ(pthread_create(
                  &t, nullptr, [](void*) -> void* { return nullptr; }, nullptr),
              0)
        << i;
    ASSERT_EQ(pthread_join(t, nullptr), 0) << i;
  }
  std::vector<pthread_t> waiting;
  const auto forever = [](void*) -> void* {
    sim::clock_sleep_ms(1000000);
    return nullptr;
  };
  for (int i = 0; i < sim::kFiberSlots; ++i) {
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, forever, nullptr), 0) << i;
    waiting.push_back(t);
  }
  pthread_t one_more;
  testing::internal::CaptureStderr();
  EXPECT_EQ(pthread_create(&one_more, nullptr, forever, nullptr), EAGAIN);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("no room for another program thread"),
            std::string::npos);
  sim::clock_sleep_ms(1);
  // The next run starts afresh: the waiting ones are dropped.
  test::fresh_board(sim::ClockMode::kScheduled);
  pthread_t t;
  EXPECT_EQ(pthread_create(&t, nullptr, forever, nullptr), 0);
}

// In a child process: the table of every fiber ever started is bounded.
TEST(Fibers, MoreThreadsInOneProcessThanTheFiberTableHoldsStopTheSimulatorWithTheBound) {
  EXPECT_DEATH(
      {
        test::fresh_board(sim::ClockMode::kScheduled);
        for (;;) {
          pthread_t t;
          if (pthread_create(
                  &t, nullptr, [](void*) -> void* { return nullptr; }, nullptr) != 0 ||
              pthread_join(t, nullptr) != 0) {
            _exit(1);
          }
        }
      },
      "more program threads than the [0-9]+ that one process may start");
}

// ---- the simulator's runs on fibers ------------------------------------------

// Calls one after another with the scripted answers, on a co-processor that
// corrupts some of its frames.
std::string busy_scenario(int calls) {
  const int rooms[] = {5, 6, 9, 7};
  std::string s = "0 console 5 6 -1 9 -1\n";
  s += "on \"dial 5\" after 400 console 2\non \"dial 6\" after 400 console 1\n";
  s += "on \"dial 6\" after 2000 console 2\non \"dial 6\" after 4000 console 3\n";
  for (int i = 0; i < calls; ++i) {
    const int t = 3000 + 20000 * i;
    const int room = rooms[i % 4];
    s += std::to_string(t) + " dial " + std::to_string(room) + "\n";
    if (room == 7) {
      s += std::to_string(t + 1000) + " pickup\n" + std::to_string(t + 2000) + " open\n";
    }
    s += std::to_string(t + 15000) + " drop\n";
  }
  return s + std::to_string(3000 + 20000 * calls) + " end\n";
}

TEST(FiberRuns, SameScenarioAndSeedGiveByteIdenticalOutputsTwentyTimesWithFaults) {
  const std::string scenario = temp_file(busy_scenario(12));
  std::vector<std::string> first;
  for (int run = 0; run < 20; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const std::string pins = temp_file();
    const std::string frames = temp_file();
    const std::string lines = temp_file();
    const std::string vcd = temp_file();
    std::string out;
    ASSERT_EQ(
        test::run_sim({"--virtual", "--faults", "0.05", "--seed", "7", "--pins", pins, "--frames",
                       frames, "--lines", lines, "--vcd", vcd, "--scenario", scenario, "--", "10"},
                      "", &out),
        0);
    const std::vector<std::string> got = {out, read_file(pins), read_file(frames), read_file(lines),
                                          read_file(vcd)};
    if (run == 0) {
      ASSERT_NE(out.find("dial 5"), std::string::npos);
      ASSERT_NE(got[2].find("A1FF000000007E0D"), std::string::npos)
          << "the faults made the program ask for a retransmission";
      first = got;
      continue;
    }
    const char* names[] = {"output", "pins", "frames", "lines", "vcd"};
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_TRUE(got[i] == first[i]) << names[i] << " differs from the first run's";
    }
  }
}

// In virtual time the stop signal lands on whichever fiber runs, wherever it
// is: in the program, in the simulator's scheduler, in a switch.
TEST(FiberRuns, StopSignalAtAnyPointOfAVirtualRunEndsThroughTheIdleState) {
  std::string s = "0 console 5 -1 -1\n";
  s += "on \"dial 5\" after 200 console 1\non \"dial 5\" after 800 console 2\n";
  s += "on \"dial 5\" after 2600 console 3\non \"dial 5\" after 4500 console 22\n";
  for (int call = 0; call < 2000; ++call) {
    const int t = 1500 + 7000 * call;
    s += std::to_string(t) + " dial 5\n" + std::to_string(t + 4200) + " drop\n";
  }
  const std::string scenario = temp_file(s);
  std::mt19937 rng(5);
  for (int run = 0; run < 6; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const std::string pins = temp_file();
    const std::string frames = temp_file();
    test::SimProcess p({"--virtual", "--faults", "0.05", "--seed", "3", "--pins", pins, "--frames",
                        frames, "--scenario", scenario, "--", "10"});
    ASSERT_TRUE(p.wait_for("dial 5", 20));
    // Some more calls go by, a different number each run.
    const int more = static_cast<int>(rng() % 40);
    int seen = 0;
    std::string line;
    while (seen < more && p.read_line(&line, 10)) {
      seen += line == "dial 5";
    }
    p.signal(SIGTERM);
    while (p.read_line(&line, 10)) {
    }
    ASSERT_EQ(p.wait(10), 128 + SIGTERM) << "(-1: still running after 10 s)";
    test::expect_board_idle_last(test::pin_writes(read_file(pins)));
    const std::string frame_log = read_file(frames);
    ASSERT_FALSE(frame_log.empty());
    EXPECT_EQ(frame_log.back(), '\n');
  }
}

}  // namespace
