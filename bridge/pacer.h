// Pacing of the codes written to the program, on what the program reports
// (ZUL_REPORT_FD): each code it queues, loses to a full queue, takes, runs or
// skips, and each operation's end.
//
// The bridge writes a code only when the program has nothing else in hand:
// no code of the bridge's on its way, queued or running, and no code of the
// program's own (the reject of a blacklisted call). The main loop's next
// pass then takes it, within one pass of its being written, and acts on the
// call state it was decided for; a code decided for a call that has ended
// meanwhile never leaves the bridge. The others wait here, in order, however
// long the program's line sequences take.
//
// What became of each code (run, skipped, lost, dropped) is handed back once
// the program has said so: that is when a command's result is published.
#pragma once
#include <cstddef>
#include <deque>
#include <optional>
#include <vector>

#include "bridge/protocol.h"

namespace bridge {

// Codes the bridge holds for the program at most, counting the one in hand:
// a command behind more would act long after its sender meant it.
inline constexpr size_t kMaxCodesWaiting = 4;

enum class Outcome {
  kRun,      // the program started its operation or pulse
  kSkipped,  // the program took it and had no action for it in the call's state
  kLost,     // the program's queue was full
  kDropped,  // not written: its call ended first
  kEnded,    // the program ended before it said what became of it
  kUnknown,  // the program's reports of it were lost, or named another code
};

// A report that named another code than the one the bridge expected next:
// the bridge's picture of what the program holds is wrong from there on.
struct Mismatch {
  const char* report;  // the report's word: "queued", "take", "run", ...
  int expected;        // the code the bridge had in that place
  int reported;        // the code the program named
};

// A code whose fate is known; `ticket` is the one given to push().
struct Settled {
  long ticket;
  int code;
  Outcome outcome;
  bool operator==(const Settled&) const = default;
};

class Pacer {
 public:
  // A code to write when the program can take it; `call` ties it to the call
  // it is for (0: none, as for relays), `ticket` names it in what comes back.
  void push(int code, long call, long ticket);
  // The code to write now, if the program can take one.
  std::optional<int> take();
  // What a report of the program settles. A report that names another code
  // than the one in its place settles everything in hand as unknown (see
  // mismatch()).
  std::vector<Settled> on_report(const ProgramReport& report);
  // The last report's mismatch, if it had one.
  const std::optional<Mismatch>& mismatch() const { return mismatch_; }
  // A new call: codes still held for earlier calls are dropped.
  std::vector<Settled> drop_other_calls(long call);
  // The program ended or was started again: everything is settled as ended.
  std::vector<Settled> reset();

  // The program has said that it reports (its first report).
  bool program_reports() const { return reports_; }
  // Codes not yet settled: held, on their way, queued or running.
  size_t waiting() const;
  // Codes not yet written.
  size_t held() const { return held_.size(); }
  // Whether the program has a code in hand (queued, taken or running), the
  // bridge's or its own.
  bool program_busy() const;

 private:
  struct Code {
    int code;
    long call;
    long ticket;  // 0: the program's own
  };
  static void settle(std::vector<Settled>* out, const Code& c, Outcome outcome);
  std::vector<Settled> forget_all(Outcome outcome);
  // Whether `in_place` (the code the bridge expected) is `reported`; if not,
  // notes the mismatch and gives up everything in hand into `out`.
  bool matches(const Code& in_place, int reported, const char* report, std::vector<Settled>* out);

  bool reports_ = false;
  std::deque<Code> held_;       // not yet written
  std::deque<Code> written_;    // written, not yet reported queued (in the pipe)
  std::deque<Code> queued_;     // in the program's queue, in its order
  std::optional<Code> taken_;   // taken by the main loop, until skipped or done
  bool taken_settled_ = false;  // its "run" has been handed back
  std::optional<Mismatch> mismatch_;
};

}  // namespace bridge
