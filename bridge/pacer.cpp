#include "bridge/pacer.h"

namespace bridge {

void Pacer::settle(std::vector<Settled>* out, const Code& c, Outcome outcome) {
  if (c.ticket != 0) out->push_back({c.ticket, c.code, outcome});
}

void Pacer::push(int code, long call, long ticket) { held_.push_back({code, call, ticket}); }

bool Pacer::program_busy() const { return !written_.empty() || !queued_.empty() || taken_; }

size_t Pacer::waiting() const {
  size_t n = held_.size() + written_.size() + (taken_ && taken_->ticket != 0 ? 1 : 0);
  for (const Code& c : queued_) n += c.ticket != 0 ? 1 : 0;
  return n;
}

std::optional<int> Pacer::take() {
  if (!reports_ || held_.empty() || program_busy()) return std::nullopt;
  written_.push_back(held_.front());
  held_.pop_front();
  return written_.back().code;
}

// Every report that names a code is compared with the code the bridge has in
// that place: popping it unseen would hand the next results to the wrong
// commands for as long as the program runs. On a mismatch nothing in hand
// can be told apart any more, so all of it is given up as unknown, and the
// report is followed as the first of a program whose codes are none of the
// bridge's: the next code goes once the program says it is free again.
bool Pacer::matches(const Code& in_place, int reported, const char* report,
                    std::vector<Settled>* out) {
  if (in_place.code == reported) return true;
  mismatch_ = Mismatch{report, in_place.code, reported};
  *out = forget_all(Outcome::kUnknown);
  return false;
}

std::vector<Settled> Pacer::on_report(const ProgramReport& r) {
  using K = ProgramReport::Kind;
  std::vector<Settled> out;
  mismatch_.reset();
  const int code = static_cast<int>(r.number);
  switch (r.kind) {
    case K::kHello:
      reports_ = true;
      break;
    case K::kQueued:
      // The console thread reads the codes in the order they were written.
      if (!written_.empty() && matches(written_.front(), code, "queued", &out)) {
        queued_.push_back(written_.front());
        written_.pop_front();
      } else {
        queued_.push_back({code, 0, 0});  // not one the bridge is following
      }
      break;
    case K::kFull:
      if (!written_.empty() && matches(written_.front(), code, "full", &out)) {
        settle(&out, written_.front(), Outcome::kLost);
        written_.pop_front();
      }
      break;
    case K::kOwn:
      queued_.push_back({code, 0, 0});
      break;
    case K::kOwnFull:
      break;
    case K::kTake:
      if (!queued_.empty() && matches(queued_.front(), code, "take", &out)) {
        taken_ = queued_.front();
        queued_.pop_front();
      } else {
        taken_ = Code{code, 0, 0};
      }
      taken_settled_ = false;
      break;
    case K::kRun:
      if (taken_ && !matches(*taken_, code, "run", &out)) {
        taken_ = Code{code, 0, 0};  // running, and none of the bridge's
        taken_settled_ = false;
      }
      if (taken_ && !taken_settled_) {
        settle(&out, *taken_, Outcome::kRun);
        taken_settled_ = true;
      }
      break;
    case K::kSkip:
      if (taken_ && matches(*taken_, code, "skip", &out) && !taken_settled_) {
        settle(&out, *taken_, Outcome::kSkipped);
      }
      taken_.reset();
      break;
    case K::kDone:
      if (taken_) (void)matches(*taken_, code, "done", &out);
      taken_.reset();
      break;
    case K::kLost:
      // What the lost reports said cannot be known: whatever was on its way
      // is given up as unknown, and the next code goes when the program
      // has reported again.
      out = forget_all(Outcome::kUnknown);
      break;
    case K::kUnknown:
      break;
  }
  return out;
}

std::vector<Settled> Pacer::forget_all(Outcome outcome) {
  std::vector<Settled> out;
  for (const Code& c : written_) settle(&out, c, outcome);
  for (const Code& c : queued_) settle(&out, c, outcome);
  if (taken_ && !taken_settled_) settle(&out, *taken_, outcome);
  written_.clear();
  queued_.clear();
  taken_.reset();
  return out;
}

std::vector<Settled> Pacer::drop_other_calls(long call) {
  std::vector<Settled> out;
  std::deque<Code> kept;
  for (const Code& c : held_) {
    if (c.call != 0 && c.call != call) {
      settle(&out, c, Outcome::kDropped);
    } else {
      kept.push_back(c);
    }
  }
  held_ = kept;
  return out;
}

std::vector<Settled> Pacer::reset() {
  std::vector<Settled> out = forget_all(Outcome::kEnded);
  for (const Code& c : held_) settle(&out, c, Outcome::kEnded);
  held_.clear();
  reports_ = false;
  return out;
}

}  // namespace bridge
