#include "bridge/pacer.h"

#include <algorithm>

namespace bridge {

namespace {

long long hold_ms(int code) { return code >= 20 && code <= 22 ? kRelayHoldMaxMs : kLineHoldMaxMs; }

}  // namespace

void Pacer::push(int code, long call, long long) { held_.push_back({code, call}); }

int Pacer::in_program(long long now_ms) const {
  int count = 0;
  for (long long t : taken_by_) {
    if (t > now_ms) ++count;
  }
  return count;
}

void Pacer::record_sent(int code, long long now_ms) {
  // Taken by the first pass that starts after the current hold ends; the
  // pass itself waits 20 ms before it runs the code's sequence.
  const long long taken = std::max(now_ms, loop_free_ms_) + kPassMs + kSlackMs;
  taken_by_.push_back(taken);
  loop_free_ms_ = taken + kPassMs + hold_ms(code);
  while (!taken_by_.empty() && taken_by_.front() <= now_ms) taken_by_.pop_front();
}

std::optional<int> Pacer::take(long long now_ms) {
  if (held_.empty() || now_ms - last_write_ms_ < kMinGapMs || in_program(now_ms) >= kPacerSlots) {
    return std::nullopt;
  }
  const int code = held_.front().code;
  held_.pop_front();
  record_sent(code, now_ms);
  last_write_ms_ = now_ms;
  return code;
}

long long Pacer::next_due_ms(long long now_ms) const {
  if (held_.empty()) return -1;
  long long due = std::max(now_ms, last_write_ms_ + kMinGapMs);
  if (in_program(now_ms) >= kPacerSlots) {
    // The oldest code still counted must be taken first.
    long long first = -1;
    for (long long t : taken_by_) {
      if (t > now_ms && (first < 0 || t < first)) first = t;
    }
    due = std::max(due, first);
  }
  return due;
}

std::vector<int> Pacer::drop_other_calls(long call) {
  std::vector<int> dropped;
  std::deque<Held> kept;
  for (const Held& h : held_) {
    if (h.call != 0 && h.call != call) {
      dropped.push_back(h.code);
    } else {
      kept.push_back(h);
    }
  }
  held_ = kept;
  return dropped;
}

void Pacer::program_queued(int code, long long now_ms) { record_sent(code, now_ms); }

void Pacer::program_busy_until(long long until_ms) {
  loop_free_ms_ = std::max(loop_free_ms_, until_ms);
}

void Pacer::reset() {
  held_.clear();
  taken_by_.clear();
  loop_free_ms_ = 0;
}

}  // namespace bridge
