// Pacing of the codes written to the program. The program takes at most one
// code per 20 ms pass of its main loop, none while a line sequence or a relay
// pulse holds that loop, and keeps up to five waiting; a sixth is lost
// without a word. It cannot be asked how full its queue is, so the bridge
// keeps a worst-case model of it: every code sent is taken no later than the
// longest sequence of the code before it allows, and the bridge writes a
// code only while the model shows a free slot beyond one kept for the
// program's own reject of a blacklisted call.
#pragma once
#include <deque>
#include <optional>
#include <vector>

namespace bridge {

inline constexpr int kProgramQueueSlots = 5;
// One slot stays free for the code 3 the program queues itself for a dial to
// a blacklisted room.
inline constexpr int kPacerSlots = kProgramQueueSlots - 1;
inline constexpr long long kPassMs = 20;
inline constexpr long long kMinGapMs = 25;  // between two writes: one pass and some
// Longest main-loop hold per code: line sequences take up to about 10 s,
// a relay pulse 2 s and a 10 ms pause; scheduling slack on top.
inline constexpr long long kLineHoldMaxMs = 12000;
inline constexpr long long kRelayHoldMaxMs = 2200;
inline constexpr long long kSlackMs = 50;
// Shield 27's speakerphone setup keeps the program from its main loop for
// about 9 s after the handshake report.
inline constexpr long long kSetupHoldMaxMs = 15000;

class Pacer {
 public:
  // A code the bridge decided to send; `call` ties it to the call it is for
  // (0: none, as for relays), so that a new call discards it.
  void push(int code, long call, long long now_ms);
  // The code to write now, if the model allows one.
  std::optional<int> take(long long now_ms);
  // When take() may next give a code; -1 when nothing is held.
  long long next_due_ms(long long now_ms) const;
  // A new call: codes still held for earlier calls are dropped. Returns them.
  std::vector<int> drop_other_calls(long call);
  // The program queued a code itself (the reject of a blacklisted room).
  void program_queued(int code, long long now_ms);
  // The program holds its main loop (start-up) until at most `until_ms`.
  void program_busy_until(long long until_ms);
  // The program was started again: its queue is empty.
  void reset();

  size_t held() const { return held_.size(); }
  // Codes the model counts in the program's queue at `now_ms`.
  int in_program(long long now_ms) const;

 private:
  struct Held {
    int code;
    long call;
  };
  void record_sent(int code, long long now_ms);

  std::deque<Held> held_;
  std::deque<long long> taken_by_;  // latest time each sent code is taken
  long long loop_free_ms_ = 0;      // the main loop's hold ends by then
  long long last_write_ms_ = -1000000;
};

}  // namespace bridge
