#include "bridge/pacer.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using bridge::Pacer;

// Everything the pacer lets out between `from` and `to`, polled every ms,
// with the time each code went.
std::vector<std::pair<long long, int>> drain(Pacer* p, long long from, long long to) {
  std::vector<std::pair<long long, int>> sent;
  for (long long t = from; t <= to; ++t) {
    while (auto code = p->take(t)) sent.push_back({t, *code});
  }
  return sent;
}

TEST(Pacer, ACodeGoesOutAtOnce) {
  Pacer p;
  p.push(1, 1, 0);
  EXPECT_EQ(p.next_due_ms(0), 0);
  EXPECT_EQ(p.take(0), 1);
  EXPECT_EQ(p.next_due_ms(0), -1);
}

TEST(Pacer, CodesAreSpacedByMoreThanOnePass) {
  Pacer p;
  p.push(1, 1, 0);
  p.push(2, 1, 0);
  const auto sent = drain(&p, 0, 100);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].first, 0);
  EXPECT_EQ(sent[1].first, bridge::kMinGapMs);
}

TEST(Pacer, NeverMoreThanFourWaitInTheProgram) {
  Pacer p;
  for (int i = 0; i < 8; ++i) p.push(20, 0, 0);
  // Relay pulses hold the program's loop: four go at once, a fifth when the
  // first has been taken by the idle loop, and the sixth only once the first
  // pulse is over.
  auto sent = drain(&p, 0, 1000);
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[3].first, 3 * bridge::kMinGapMs);
  EXPECT_GT(sent[4].first, bridge::kPassMs);
  for (long long t = 0; t <= 60000; t += 10) {
    EXPECT_LE(p.in_program(t), bridge::kPacerSlots) << t;
    while (auto code = p.take(t)) sent.push_back({t, *code});
  }
  EXPECT_EQ(sent.size(), 8u);
  EXPECT_EQ(p.held(), 0u);
  // Each later one waited for a relay pulse to be over.
  EXPECT_GE(sent[5].first, bridge::kRelayHoldMaxMs);
}

TEST(Pacer, TheProgramsOwnRejectTakesASlot) {
  Pacer p;
  p.program_busy_until(5000);
  p.program_queued(3, 0);
  for (int i = 0; i < 5; ++i) p.push(21, 0, 0);
  const auto sent = drain(&p, 0, 1000);
  EXPECT_EQ(sent.size(), 3u);
  EXPECT_EQ(p.in_program(1000), bridge::kPacerSlots);
}

TEST(Pacer, ANewCallDropsTheCodesHeldForAnEarlierOne) {
  Pacer p;
  p.program_busy_until(100000);
  for (int i = 0; i < 4; ++i) p.push(20, 0, 0);
  drain(&p, 0, 200);
  p.push(3, 1, 200);
  p.push(22, 0, 200);
  EXPECT_EQ(p.drop_other_calls(2), std::vector<int>{3});
  EXPECT_EQ(p.held(), 1u);
}

TEST(Pacer, StartUpHoldsCodesUntilTheLoopRuns) {
  Pacer p;
  p.program_busy_until(15000);
  for (int i = 0; i < 6; ++i) p.push(2, 0, 0);
  const auto sent = drain(&p, 0, 14000);
  EXPECT_EQ(sent.size(), 4u);
}

TEST(Pacer, AResetForgetsEverything) {
  Pacer p;
  for (int i = 0; i < 6; ++i) p.push(20, 0, 0);
  drain(&p, 0, 200);
  p.reset();
  EXPECT_EQ(p.held(), 0u);
  EXPECT_EQ(p.in_program(200), 0);
}

}  // namespace
