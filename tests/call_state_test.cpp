// The call state machine on one thread in virtual time: call events from the
// co-processor, codes from the controlling process, and the races between
// them staged on the simulated clock.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>

#include "config/config.h"
#include "core/Buffer.h"
#include "core/main_cycle.h"
#include "line/drivers.h"
#include "sim/board.h"
#include "sim/clock.h"
#include "sim/coproc.h"
#include "tests/support.h"

namespace {

using Strings = std::vector<std::string>;
using test::Write;

void event(uint8_t subcode, uint16_t room = 0, uint8_t force = 0) {
  const uint8_t frame[8] = {sim::kFrameStart,
                            sim::kFrameCallEvent,
                            subcode,
                            force,
                            static_cast<uint8_t>(room >> 8),
                            static_cast<uint8_t>(room & 0xFF)};
  call_event(frame);
}

// One pass of the main loop with `code` queued first (0: none).
void pass(uint8_t code = 0) {
  if (code != 0) {
    console_enqueue(code);
  }
  VirtualIntercom_status(&Cycle);
}

std::pair<int, int> cycle() { return {Cycle.state.load(), Cycle.imit.load()}; }

// Runs fn `after_ms` from now on a thread of its own that takes part in the
// simulated clock's turns, as the link thread does (scheduled clock only).
void on_link_thread(unsigned after_ms, void (*fn)()) {
  struct Job {
    unsigned after_ms;
    void (*fn)();
  };
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, nullptr,
                [](void* arg) -> void* {
                  const Job job = *static_cast<Job*>(arg);
                  delete static_cast<Job*>(arg);
                  sim::clock_sleep_ms(job.after_ms);
                  job.fn();
                  return nullptr;
                },
                new Job{after_ms, fn}),
            0);
  pthread_detach(thread);
}

class CallState : public testing::Test {
 protected:
  void SetUp() override {
    test::fresh_board(mode());
    select_line_driver(10);  // VIZIT
    RoomImit[5] = 1;
    RoomImit[9] = 2;
    RoomImit[4095] = 1;
  }
  virtual sim::ClockMode mode() const { return sim::ClockMode::kInstant; }
  // Pin writes made by what `fn` runs, with times from its start.
  static std::vector<Write> traced(const std::function<void()>& fn) {
    const size_t from = test::pin_log_size();
    const double t0 = test::now_ms();
    fn();
    std::vector<Write> w = test::writes(from);
    for (Write& x : w) {
      x.t_ms -= t0;
    }
    return w;
  }
};

// The same with the clock taking turns between the test's thread, as the main
// loop, and the call events' own threads, as the link thread.
class CallStateRace : public CallState {
 protected:
  sim::ClockMode mode() const override { return sim::ClockMode::kScheduled; }
};

TEST_F(CallState, ImitatedRoomIsTakenAnsweredOpenedAndHungUp) {
  event(sim::kCallDial, 5);
  EXPECT_EQ(cycle(), std::make_pair(2, 1));
  EXPECT_EQ(test::writes(), (std::vector<Write>{{0, 23, 0}, {0, 22, 1}, {10, 24, 1}}))
      << "the imitated handset is connected on the dial";
  pass(1);
  EXPECT_EQ(cycle(), std::make_pair(3, 1));
  event(sim::kCallPickup);  // the co-processor sees our own pickup: not reported
  pass(2);
  EXPECT_EQ(cycle(), std::make_pair(3, 1));
  pass(3);
  EXPECT_EQ(cycle(), std::make_pair(0, 0));
  event(sim::kCallDrop);
  EXPECT_EQ(test::lines(), (Strings{"dial 5", "drop"}));
}

TEST_F(CallState, RoomLeftToTheRealHandsetIsOnlyReported) {
  event(sim::kCallDial, 7);
  EXPECT_EQ(cycle(), std::make_pair(2, 0));
  EXPECT_TRUE(test::writes().empty()) << "VIZIT leaves the line alone";
  event(sim::kCallPickup);
  EXPECT_EQ(cycle(), std::make_pair(3, 0));
  event(sim::kCallOpen);
  event(sim::kCallDrop);
  EXPECT_EQ(cycle(), std::make_pair(0, 0));
  EXPECT_EQ(test::lines(), (Strings{"dial 7", "pickup", "open", "drop"}));
  EXPECT_EQ(test::writes().size(), 9u) << "the idle operation on the drop";
}

TEST_F(CallState, BlacklistedRoomIsRejectedByTheNextPass) {
  event(sim::kCallDial, 9);
  EXPECT_EQ(cycle(), std::make_pair(2, 0));
  EXPECT_EQ(test::lines(), Strings{"dial 9"});
  const auto w = traced([] { pass(); });
  EXPECT_EQ(cycle(), std::make_pair(0, 0));
  ASSERT_FALSE(w.empty());
  EXPECT_NEAR(test::now_ms(), 20 + 2030, 0.01) << "20 ms pass wait, then VIZIT's drop_call";
  EXPECT_EQ(console_dequeue(), 0);
}

TEST_F(CallState, ForcedImitationAndRoomsAtAndBeyondTheTableEnd) {
  struct Case {
    uint16_t room;
    uint8_t force;
    int imit;
  };
  for (const Case& c : {Case{7, 1, 1}, Case{9, 1, 1}, Case{4095, 0, 1}, Case{4096, 0, 0},
                        Case{65535, 0, 0}, Case{65535, 1, 1}, Case{7, 2, 0}}) {
    SetUp();
    event(sim::kCallDial, c.room, c.force);
    EXPECT_EQ(cycle(), std::make_pair(2, c.imit)) << c.room << " force " << int(c.force);
    EXPECT_EQ(test::lines(), Strings{"dial " + std::to_string(c.room)});
  }
}

TEST_F(CallState, CodesThatDoNotFitTheStateAreDiscarded) {
  pass(1);
  pass(3);
  pass(99);
  event(sim::kCallDial, 5);
  pass();
  EXPECT_EQ(cycle(), std::make_pair(2, 1)) << "a code typed before the dial does not answer it";
  pass(99);
  pass(1);
  pass(1);
  EXPECT_EQ(cycle(), std::make_pair(3, 1));
}

TEST_F(CallState, OpenInIdleRunsOpenFreeAndLeavesCycleAlone) {
  const auto w = traced([] { pass(23); });
  EXPECT_EQ(w, (std::vector<Write>{{20, 26, 1}, {1020, 26, 0}}));
  EXPECT_EQ(cycle(), std::make_pair(0, 0));
}

TEST_F(CallState, RelayCodesPulseInAnyStateAndLeaveCycleAlone) {
  event(sim::kCallDial, 5);
  for (auto [code, gpio] : {std::pair{20, 6}, std::pair{21, 25}, std::pair{22, 16}}) {
    const auto w = traced([code = code] { pass(static_cast<uint8_t>(code)); });
    EXPECT_EQ(w, (std::vector<Write>{{20, gpio, 1}, {2020, gpio, 0}}));
    EXPECT_EQ(cycle(), std::make_pair(2, 1));
  }
}

TEST_F(CallStateRace, OpenEventDuringOpenCallIsNotPrinted) {
  event(sim::kCallDial, 7);
  on_link_thread(1500, [] { event(sim::kCallOpen); });
  pass(2);
  EXPECT_EQ(cycle(), std::make_pair(0, 0));
  event(sim::kCallOpen);
  EXPECT_EQ(test::lines(), (Strings{"dial 7", "open"}));
}

TEST_F(CallState, OpenDetectedPrintsInEveryStateAndIdleEventKeepsTheFlag) {
  event(sim::kCallOpenDetected);
  event(sim::kCallDial, 5);
  event(sim::kCallOpenDetected);
  pass(1);
  event(sim::kCallOpenDetected);
  event(sim::kCallIdle);
  EXPECT_EQ(cycle(), std::make_pair(0, 1));
  event(6);
  EXPECT_EQ(test::lines(), (Strings{"openDetected", "dial 5", "openDetected", "openDetected"}));
}

TEST_F(CallState, DialWhilePickedUpSelectsAgain) {
  event(sim::kCallDial, 5);
  pass(1);
  event(sim::kCallDial, 7);
  EXPECT_EQ(cycle(), std::make_pair(2, 0));
  event(sim::kCallPickup);
  EXPECT_EQ(cycle(), std::make_pair(3, 0));
  EXPECT_EQ(test::lines(), (Strings{"dial 5", "dial 7", "pickup"}));
}

TEST_F(CallStateRace, DialDuringThePassWaitIsJudgedByTheIdleSnapshot) {
  console_enqueue(1);
  on_link_thread(10, [] { event(sim::kCallDial, 5); });
  pass();
  EXPECT_NEAR(test::now_ms(), 20, 0.01) << "no pickup ran: the pass wait only";
  sim::clock_sleep_ms(50);  // the dial's select_imit is over
  EXPECT_EQ(cycle(), std::make_pair(2, 1)) << "code 1 was taken against idle and discarded";
}

TEST_F(CallStateRace, DropDuringPickupLeavesTheCallIdleAndTheLineReleased) {
  event(sim::kCallDial, 5);
  // 5 ms into pickup: after the hook lines went on hook, before the
  // selector and the off-hook writes.
  on_link_thread(25, [] { event(sim::kCallDrop); });
  pass(1);
  EXPECT_EQ(cycle(), std::make_pair(0, 0));
  EXPECT_EQ(test::lines(), (Strings{"dial 5", "drop"}));
  EXPECT_EQ(sim::pin_level(24), 0) << "the real handset has the line back";
  EXPECT_EQ(sim::pin_level(23), 1);
  EXPECT_EQ(sim::pin_level(22), 1);
  // And the next hang-up code finds nothing to hang up.
  const auto after = traced([] { pass(3); });
  EXPECT_TRUE(after.empty());
}

TEST_F(CallStateRace, DropDuringThePassWaitDropsTheCodeUnrun) {
  event(sim::kCallDial, 5);
  console_enqueue(1);
  on_link_thread(10, [] { event(sim::kCallDrop); });
  const auto w = traced([] { pass(); });
  EXPECT_EQ(cycle(), std::make_pair(0, 0));
  EXPECT_EQ(test::lines(), (Strings{"dial 5", "drop"}));
  EXPECT_EQ(w.size(), 9u) << "only the drop's idle state: no pickup on a dropped call";
  EXPECT_EQ(sim::pin_level(24), 0);
}

// Two threads in virtual time: a link-thread operation that is already
// running when the main loop would start its own sequence still wins the
// line (here the dial comes during the pass's wait, so the hang-up is dropped
// unrun; the next test takes its snapshot after the dial has begun).
TEST(CallStateThreads, SequenceStartedDuringALinkOperationLeavesTheLineToIt) {
  test::fresh_board(sim::ClockMode::kScheduled);
  select_line_driver(20);  // Eltis 100: select_imit holds the link thread 1010 ms
  RoomImit[5] = 1;
  event(sim::kCallDial, 5);
  pass(1);
  ASSERT_EQ(cycle(), std::make_pair(3, 1));
  // A new dial for room 5 arrives on the link thread 5 ms from now, while the
  // controlling process hangs up the call it had.
  pthread_t link;
  ASSERT_EQ(pthread_create(
                &link, nullptr,
                [](void*) -> void* {
                  sim::clock_sleep_ms(5);
                  event(sim::kCallDial, 5);
                  return nullptr;
                },
                nullptr),
            0);
  pthread_detach(link);
  pass(3);
  sim::clock_sleep_ms(3000);
  EXPECT_EQ(cycle(), std::make_pair(2, 1)) << "the dial prevails";
  EXPECT_EQ(sim::pin_level(24), 1) << "the new call keeps the imitated handset on the line";
  EXPECT_EQ(sim::pin_level(23), 0);
  EXPECT_EQ(sim::pin_level(22), 1);
}

// The pass's snapshot is taken while the dial's select_imit is running: its
// hang-up is not stale, but it may not touch the line while the link-thread
// operation runs, nor after it has ended.
TEST(CallStateThreads, PassBegunDuringALinkOperationLeavesTheLineToIt) {
  test::fresh_board(sim::ClockMode::kScheduled);
  select_line_driver(20);  // Eltis 100: select_imit holds the link thread 1010 ms
  RoomImit[5] = 1;
  event(sim::kCallDial, 5);
  pass(1);
  ASSERT_EQ(cycle(), std::make_pair(3, 1));
  on_link_thread(0, [] { event(sim::kCallDial, 5); });
  sim::clock_sleep_ms(5);
  const size_t from = test::pin_log_size();
  const double t0 = test::now_ms();
  pass(3);
  sim::clock_sleep_ms(3000);
  EXPECT_EQ(cycle(), std::make_pair(2, 1)) << "the dial prevails";
  EXPECT_EQ(sim::pin_level(24), 1) << "the new call keeps the imitated handset on the line";
  EXPECT_EQ(sim::pin_level(23), 0);
  EXPECT_EQ(sim::pin_level(22), 1);
  std::vector<Write> line_writes;
  for (Write w : test::writes(from)) {
    if (w.gpio == 22 || w.gpio == 23 || w.gpio == 24) {
      w.t_ms -= t0;
      line_writes.push_back(w);
    }
  }
  EXPECT_EQ(line_writes, (std::vector<Write>{{5, 24, 1}}))
      << "only the dial's select_imit moves a line pin; the hang-up moves none";
}

// A drop handled in full after the pass has decided to pick up and before its
// pickup has begun: the pickup must not take the line of a call that is over.
TEST(CallStateThreads, DropRightAfterThePassDecidedToPickUpLeavesTheLineReleased) {
  test::fresh_board(sim::ClockMode::kScheduled);
  select_line_driver(10);  // VIZIT
  RoomImit[5] = 1;
  event(sim::kCallDial, 5);
  g_pass_seam = [] {
    g_pass_seam = nullptr;
    on_link_thread(0, [] { event(sim::kCallDrop); });
    sim::clock_sleep_ms(1);  // holds the main thread; the link thread runs the whole drop
  };
  pass(1);
  g_pass_seam = nullptr;
  EXPECT_EQ(cycle(), std::make_pair(0, 0));
  EXPECT_EQ(test::lines(), (Strings{"dial 5", "drop"}));
  EXPECT_EQ(sim::pin_level(24), 0) << "the real handset has the line back";
  EXPECT_EQ(sim::pin_level(23), 1);
  EXPECT_EQ(sim::pin_level(22), 1);
}

TEST_F(CallStateRace, DropDuringARelayPulseStillEndsThePulse) {
  on_link_thread(1000, [] { event(sim::kCallDrop); });
  const auto w = traced([] { pass(20); });
  ASSERT_GE(w.size(), 2u);
  EXPECT_EQ(w.front(), (Write{20, 6, 1}));
  EXPECT_EQ(w.back(), (Write{2020, 6, 0}));
}

}  // namespace
