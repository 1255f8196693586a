// The pacer against the program's reports: one code in the program's hands
// at a time, each settled by what the program says became of it; and an hour
// of automatically answered calls in virtual time against a model of the
// program's queue and main loop.
#include "bridge/pacer.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "bridge/protocol.h"

namespace {

using bridge::Outcome;
using bridge::Pacer;
using bridge::Settled;

std::vector<Settled> report(Pacer* p, const std::string& line) {
  const bridge::ProgramReport r = bridge::parse_report_line(line);
  EXPECT_NE(r.kind, bridge::ProgramReport::Kind::kUnknown) << line;
  return p->on_report(r);
}

Pacer reporting() {
  Pacer p;
  report(&p, "reports 1");
  return p;
}

TEST(Pacer, NothingGoesToAProgramThatDoesNotReport) {
  Pacer p;
  p.push(1, 1, 7);
  EXPECT_FALSE(p.take());
  EXPECT_FALSE(p.program_reports());
  report(&p, "reports 1");
  EXPECT_EQ(p.take(), 1);
}

TEST(Pacer, OneCodeAtATimeEachSettledByWhatTheProgramDid) {
  Pacer p = reporting();
  p.push(1, 1, 11);
  p.push(2, 1, 12);
  EXPECT_EQ(p.take(), 1);
  EXPECT_FALSE(p.take()) << "the first is on its way";
  EXPECT_TRUE(report(&p, "queued 1").empty());
  EXPECT_FALSE(p.take()) << "queued";
  EXPECT_TRUE(report(&p, "take 1").empty());
  EXPECT_FALSE(p.take()) << "taken";
  EXPECT_EQ(report(&p, "run 1"), (std::vector<Settled>{{11, 1, Outcome::kRun}}));
  EXPECT_FALSE(p.take()) << "its sequence holds the main loop";
  EXPECT_TRUE(report(&p, "done 1").empty());
  EXPECT_EQ(p.take(), 2);
  report(&p, "queued 2");
  report(&p, "take 2");
  EXPECT_EQ(report(&p, "skip 2"), (std::vector<Settled>{{12, 2, Outcome::kSkipped}}));
  EXPECT_EQ(p.waiting(), 0u);
  EXPECT_FALSE(p.program_busy());
}

TEST(Pacer, TheProgramsOwnRejectHoldsTheNextCodeBack) {
  Pacer p = reporting();
  report(&p, "own 3");
  p.push(20, 0, 5);
  EXPECT_FALSE(p.take());
  report(&p, "take 3");
  EXPECT_TRUE(report(&p, "run 3").empty()) << "the program's own code settles nothing of ours";
  EXPECT_FALSE(p.take());
  report(&p, "done 3");
  EXPECT_EQ(p.take(), 20);
  // Its own code queued behind ours is not ours either.
  report(&p, "queued 20");
  report(&p, "own 3");
  report(&p, "take 20");
  EXPECT_EQ(report(&p, "run 20"), (std::vector<Settled>{{5, 20, Outcome::kRun}}));
  report(&p, "done 20");
  report(&p, "take 3");
  EXPECT_TRUE(report(&p, "skip 3").empty());
}

TEST(Pacer, ACodeLostToAFullQueueIsSettledAsLost) {
  Pacer p = reporting();
  p.push(21, 0, 9);
  EXPECT_EQ(p.take(), 21);
  EXPECT_EQ(report(&p, "full 21"), (std::vector<Settled>{{9, 21, Outcome::kLost}}));
  EXPECT_FALSE(p.program_busy());
}

TEST(Pacer, ANewCallDropsTheCodesHeldForAnEarlierOne) {
  Pacer p = reporting();
  p.push(1, 1, 1);
  p.push(3, 1, 2);
  p.push(22, 0, 3);
  EXPECT_EQ(p.take(), 1);  // on its way: the program settles it
  EXPECT_EQ(p.drop_other_calls(2), (std::vector<Settled>{{2, 3, Outcome::kDropped}}));
  EXPECT_EQ(p.held(), 1u);
  EXPECT_EQ(p.waiting(), 2u);
}

TEST(Pacer, AProgramThatEndsSettlesEverythingAsEnded) {
  Pacer p = reporting();
  p.push(1, 1, 1);
  p.push(2, 1, 2);
  p.take();
  report(&p, "queued 1");
  EXPECT_EQ(p.reset(), (std::vector<Settled>{{1, 1, Outcome::kEnded}, {2, 2, Outcome::kEnded}}));
  EXPECT_EQ(p.waiting(), 0u);
  EXPECT_FALSE(p.program_reports()) << "the next program says it again";
}

TEST(Pacer, LostReportsGiveUpWhatWasInHand) {
  Pacer p = reporting();
  p.push(1, 1, 1);
  p.take();
  EXPECT_EQ(report(&p, "lost 2"), (std::vector<Settled>{{1, 1, Outcome::kUnknown}}));
  EXPECT_FALSE(p.program_busy());
}

TEST(Pacer, ReportLinesThatAreNoneAreKnownAsSuch) {
  for (const char* line : {"", "take", "take x", "take -1", "tak 1", "queued 1 2", "reports"}) {
    EXPECT_EQ(bridge::parse_report_line(line).kind, bridge::ProgramReport::Kind::kUnknown) << line;
  }
}

// ---- an hour of calls in virtual time

// The program as its reports show it: five queue slots, a main loop that
// takes one code per pass, waits 20 ms and then runs the code's sequence
// (VIZIT's durations), and a call state that the line and the codes move.
class ProgramModel {
 public:
  static constexpr long long kPassMs = 20;
  struct Report {
    long long t;
    std::string line;
  };

  void dial(long long t) {
    state_ = kDialled;
    epoch_++;
    (void)t;
  }
  void drop(long long t) {
    state_ = kIdle;
    epoch_++;
    (void)t;
  }
  void write(int code, long long t) {
    if (queue_.size() < 5) {
      queue_.push_back(code);
      emit(t, "queued", code);
    } else {
      emit(t, "full", code);
    }
  }
  // Runs the main loop up to `t`.
  void run_until(long long t) {
    while (next_pass_ <= t) {
      const long long pass = next_pass_;
      if (queue_.empty()) {
        next_pass_ = pass + kPassMs;
        continue;
      }
      const int code = queue_.front();
      queue_.pop_front();
      emit(pass, "take", code);
      takes_.push_back({pass, code});
      const long long decide = pass + kPassMs;
      const long long ms = duration(code);
      if (ms < 0) {
        emit(decide, "skip", code);
        next_pass_ = decide;
        continue;
      }
      emit(decide, "run", code);
      runs_.push_back(code);
      emit(decide + ms, "done", code);
      next_pass_ = decide + ms;
    }
  }
  // Reports written up to `t`, in order.
  std::vector<std::string> reports_until(long long t) {
    std::vector<std::string> out;
    while (!reports_.empty() && reports_.front().t <= t) {
      out.push_back(reports_.front().line);
      reports_.pop_front();
    }
    return out;
  }
  const std::vector<std::pair<long long, int>>& takes() const { return takes_; }
  const std::vector<int>& runs() const { return runs_; }

 private:
  enum { kIdle, kDialled, kPickedUp } state_ = kIdle;
  // The sequence's length and the state it leaves, or -1: no action.
  long long duration(int code) {
    if (code >= 20 && code <= 22) return 2010;
    switch (state_) {
      case kIdle:
        return code == 2 ? 1010 : -1;
      case kDialled:
        if (code == 1) {
          state_ = kPickedUp;
          return 1020;
        }
        if (code == 2) {
          state_ = kIdle;
          return 3530;
        }
        if (code == 3) {
          state_ = kIdle;
          return 2030;
        }
        return -1;
      case kPickedUp:
        if (code == 2) return 1500;
        if (code == 3) {
          state_ = kIdle;
          return 1010;
        }
        return -1;
    }
    return -1;
  }
  void emit(long long t, const char* word, int code) {
    reports_.push_back({t, std::string(word) + " " + std::to_string(code)});
  }
  std::deque<int> queue_;
  std::deque<Report> reports_;
  long long next_pass_ = 0;
  int epoch_ = 0;
  std::vector<std::pair<long long, int>> takes_;
  std::vector<int> runs_;
};

TEST(PacerModel, AReportOfAnotherCodeGivesUpWhatWasInHandAndFollowsTheProgramAfresh) {
  // The program reads the bridge's pick up (1) as an open (2): every result
  // in hand is unknown, and the hang up waits until the open has run.
  Pacer pacer = reporting();
  ProgramModel program;
  program.dial(0);
  pacer.push(1, 1, 1);
  pacer.push(3, 1, 2);
  std::vector<Settled> settled;
  std::vector<bridge::Mismatch> mismatches;
  bool first = true;
  for (long long t = 0; t <= 10000; ++t) {
    program.run_until(t);
    for (const std::string& line : program.reports_until(t)) {
      for (const auto& s : report(&pacer, line)) settled.push_back(s);
      if (pacer.mismatch()) mismatches.push_back(*pacer.mismatch());
    }
    if (auto code = pacer.take()) {
      program.write(first ? 2 : *code, t);
      first = false;
    }
  }
  ASSERT_EQ(mismatches.size(), 1u);
  EXPECT_STREQ(mismatches[0].report, "queued");
  EXPECT_EQ(mismatches[0].expected, 1);
  EXPECT_EQ(mismatches[0].reported, 2);
  // The open ended the call, so the program had nothing to do with the hang up.
  EXPECT_EQ(settled, (std::vector<Settled>{{1, 1, Outcome::kUnknown}, {2, 3, Outcome::kSkipped}}));
  ASSERT_EQ(program.takes().size(), 2u);
  EXPECT_GE(program.takes()[1].first, 3530) << "written while the open still ran";
}

TEST(PacerHour, CallsEveryTwentySecondsAnsweredAutomaticallyAreNeverHeldBack) {
  constexpr long long kCallEveryMs = 20000;
  constexpr long long kHourMs = 3600 * 1000;
  // The answer: pick up 1 s after the dial, open at 2 s (while the pickup
  // still holds the main loop), hang up at 4 s; the caller's side drops the
  // line 12 s after the dial.
  struct Step {
    long long due;
    int code;
    long call;
  };
  Pacer pacer = reporting();
  ProgramModel program;
  std::deque<Step> steps;
  std::map<long, long long> due_of;      // ticket -> when the step was due
  std::vector<long long> written_after;  // write time minus when the program could take it
  std::vector<long long> taken_after;    // take time minus write time
  std::vector<Settled> settled;
  long long free_since = 0;  // since when the program has had nothing in hand
  bool was_busy = false;
  std::deque<long long> written_at;
  long ticket = 0;
  for (long long t = 0; t <= kHourMs + 30000; ++t) {
    if (t % kCallEveryMs == 0 && t < kHourMs) {
      const long call = t / kCallEveryMs + 1;
      program.dial(t);
      for (const auto& s : pacer.drop_other_calls(call)) settled.push_back(s);
      steps.push_back({t + 1000, 1, call});
      steps.push_back({t + 2000, 2, call});
      steps.push_back({t + 4000, 3, call});
    }
    if (t % kCallEveryMs == 12000) program.drop(t);
    while (!steps.empty() && steps.front().due <= t) {
      pacer.push(steps.front().code, steps.front().call, ++ticket);
      due_of[ticket] = steps.front().due;
      steps.pop_front();
    }
    program.run_until(t);
    for (const std::string& line : program.reports_until(t)) {
      for (const auto& s : report(&pacer, line)) settled.push_back(s);
    }
    if (was_busy && !pacer.program_busy()) free_since = t;
    if (auto code = pacer.take()) {
      // The oldest held step is the one written.
      const long long due = due_of.begin()->second;
      due_of.erase(due_of.begin());
      written_after.push_back(t - std::max(due, free_since));
      written_at.push_back(t);
      program.write(*code, t);
    }
    was_busy = pacer.program_busy();
  }
  const auto& takes = program.takes();
  ASSERT_EQ(takes.size(), written_at.size());
  for (size_t i = 0; i < takes.size(); ++i) taken_after.push_back(takes[i].first - written_at[i]);
  const long long calls = kHourMs / kCallEveryMs;
  ASSERT_EQ(written_after.size(), static_cast<size_t>(3 * calls));
  for (size_t i = 0; i < written_after.size(); ++i) {
    EXPECT_EQ(written_after[i], 0) << "code " << i << " waited in the bridge";
    EXPECT_LE(taken_after[i], ProgramModel::kPassMs) << "code " << i << " waited in the program";
  }
  ASSERT_EQ(settled.size(), static_cast<size_t>(3 * calls));
  for (const Settled& s : settled) EXPECT_EQ(s.outcome, Outcome::kRun) << s.ticket;
  EXPECT_EQ(program.runs().size(), static_cast<size_t>(3 * calls));
}

}  // namespace
