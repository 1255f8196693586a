// The link under faults, end to end in virtual time: every frame the
// co-processor has to say reaches the controlling process as one line, once,
// in order, whatever bursts of corrupted frames and retransmit requests come
// on top of random corruption.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/sim_process.h"

namespace {

using Strings = std::vector<std::string>;
using test::read_file;
using test::run_sim;
using test::split_lines;
using test::temp_file;

constexpr int kFirstEventMs = 3000;  // after the handshake and the start-up

// The lines that report line events and signals, in order.
Strings reports(const std::string& out) {
  static const char* const kKinds[] = {"dial ", "pickup", "open", "drop", "S0 ", "S1 "};
  Strings r;
  for (const std::string& l : split_lines(out)) {
    for (const char* k : kKinds) {
      if (l.rfind(k, 0) == 0) {
        r.push_back(l);
        break;
      }
    }
  }
  return r;
}

// Event i of a soak, as a scenario line at time t, and the line it prints.
// A call to a room that is in neither list (only reported) takes four
// events; in between, signal reports count on.
void add_event(int i, int t, std::string* scenario, Strings* expected) {
  const std::string at = std::to_string(t) + " ";
  switch (i % 8) {
    case 0:
      *scenario += at + "dial " + std::to_string(1000 + i / 8 % 3000) + "\n";
      expected->push_back("dial " + std::to_string(1000 + i / 8 % 3000));
      return;
    case 2:
      *scenario += at + "pickup\n";
      expected->push_back("pickup");
      return;
    case 4:
      *scenario += at + "open\n";
      expected->push_back("open");
      return;
    case 6:
      *scenario += at + "drop\n";
      expected->push_back("drop");
      return;
    default:
      *scenario += at + "signal 0x21 1 " + std::to_string(i) + "\n";
      expected->push_back("S0 impulse: HIGH " + std::to_string(i));
      return;
  }
}

struct Soak {
  Strings printed;
  Strings expected;
  std::string frames;  // the frames log
};

Soak run_soak(int events, const std::string& seed) {
  Soak s;
  std::string scenario = "0 console -1 -1\n";
  int t = kFirstEventMs;
  for (int i = 0; i < events; ++i) {
    add_event(i, t, &scenario, &s.expected);
    // A burst every 50 events, at a different point of the exchange each
    // time: corrupted frames, the co-processor's requests, and a corrupted
    // frame followed by requests.
    if (i % 50 == 25) {
      const int n = i / 50 % 2 == 0 ? 10 : 25;
      const std::string at = std::to_string(t + i / 50 % 7) + " ";
      switch (i / 100 % 3) {
        case 0:
          scenario += at + "retransmit " + std::to_string(n) + "\n";
          break;
        case 1:
          scenario += at + "corrupt " + std::to_string(n) + "\n";
          break;
        default:
          scenario += at + "corrupt 1\n" + std::to_string(t + 7 + i / 50 % 5) + " retransmit " +
                      std::to_string(n) + "\n";
          break;
      }
    }
    t += 10;
  }
  const std::string frames = temp_file();
  std::string out;
  EXPECT_EQ(run_sim({"--virtual", "--frames", frames, "--faults", "0.1", "--seed", seed,
                     "--scenario", temp_file(scenario), "--", "10"},
                    "", &out, 120),
            0);
  s.printed = reports(out);
  s.frames = read_file(frames);
  return s;
}

// Cycles that ended on our retransmit request answered by the co-processor's
// and began the next with the poll frame.
int cycles_ended_on_both_asking(const std::string& frames_log) {
  const std::string kPoll = "A10100000000AA24";
  const std::string kRetransmit = "A1FF000000007E0D";
  std::vector<std::pair<std::string, std::string>> t;  // sent, received
  for (const std::string& l : split_lines(frames_log)) {
    const size_t a = l.find(' ');
    const size_t b = l.find(' ', a + 1);
    t.emplace_back(l.substr(a + 1, b - a - 1), l.substr(b + 1));
  }
  int n = 0;
  for (size_t i = 0; i + 2 < t.size(); ++i) {
    n += t[i].first == kRetransmit && t[i + 1].second == kRetransmit && t[i + 2].first == kPoll;
  }
  return n;
}

std::string first_difference(const Strings& got, const Strings& want) {
  for (size_t i = 0; i < got.size() && i < want.size(); ++i) {
    if (got[i] != want[i]) {
      return "at " + std::to_string(i) + ": got \"" + got[i] + "\", expected \"" + want[i] + "\"";
    }
  }
  return "lengths " + std::to_string(got.size()) + " and " + std::to_string(want.size());
}

TEST(LinkSoak, BurstsOnTopOfRandomCorruptionLoseDuplicateInventAndReorderNothing) {
  for (const char* seed : {"1", "2"}) {
    SCOPED_TRACE(std::string("--faults 0.1 --seed ") + seed);
    const Soak s = run_soak(6000, seed);
    EXPECT_EQ(s.printed.size(), s.expected.size());
    EXPECT_TRUE(s.printed == s.expected) << first_difference(s.printed, s.expected);
    EXPECT_GT(cycles_ended_on_both_asking(s.frames), 0) << "the soak never reached that end";
  }
}

// A corrupted reply, then a retransmit request from the co-processor, in
// either order and at any point of an exchange: every later event arrives.
TEST(LinkSoak, CorruptOneThenRetransmitOneStillDeliversEveryLaterEvent) {
  for (int gap_ms = 0; gap_ms <= 12; ++gap_ms) {
    SCOPED_TRACE("retransmit " + std::to_string(gap_ms) + " ms after corrupt");
    std::string scenario = "0 console -1 -1\n";
    Strings expected;
    add_event(1, kFirstEventMs, &scenario, &expected);
    const int fault_ms = kFirstEventMs + 100;
    scenario += std::to_string(fault_ms) + " corrupt 1\n" + std::to_string(fault_ms + gap_ms) +
                " retransmit 1\n";
    for (int i = 0; i < 16; ++i) {
      add_event(i + 2, fault_ms + 20 * i, &scenario, &expected);
    }
    std::string out;
    ASSERT_EQ(run_sim({"--virtual", "--scenario", temp_file(scenario), "--", "10"}, "", &out), 0);
    EXPECT_EQ(reports(out), expected);
  }
}

}  // namespace
