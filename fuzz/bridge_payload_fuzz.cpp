// The bridge's command and answer payloads, as a broker delivers them from
// anybody who may publish: BASE/command and BASE/answer/<room>/set. Whatever
// the payload: a command is either refused with a reason or is one of the
// program's codes; an answer payload that is refused changes neither the
// room's mode nor its retained record, and an accepted one leaves a mode of
// the three and a plan for the next call in time order.
#include <cstdint>
#include <string>

#include "bridge/answers.h"
#include "bridge/commands.h"
#include "bridge/config.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr long long kNowMs = 1'800'000'000'000;  // 2027-01-15

bool valid_code(int code) { return (code >= 1 && code <= 3) || (code >= 20 && code <= 22); }

void check_command(const std::string& payload) {
  const bridge::ParsedCommand p = bridge::parse_command(payload);
  if (!p.command) {
    ZUL_FUZZ_CHECK(!p.error.empty(), "a payload refused without a reason");
    return;
  }
  ZUL_FUZZ_CHECK(p.error.empty(), "a command with an error: %s", p.error.c_str());
  const bridge::Command& c = *p.command;
  ZUL_FUZZ_CHECK(c.action != bridge::Action::kRelay || (c.relay >= 0 && c.relay <= 2), "relay %d",
                 c.relay);
  const int code = bridge::command_code(c.action, c.relay);
  ZUL_FUZZ_CHECK(valid_code(code), "code %d", code);
}

void check_answer(const bridge::Config& config, int room, const std::string& payload) {
  bridge::Answers answers(config);
  const bridge::AnswerMode mode_before = answers.mode(room);
  const std::string record_before = answers.state_json(room).dump();
  const std::string refused = answers.set(room, payload, kNowMs);
  if (!refused.empty()) {
    ZUL_FUZZ_CHECK(answers.mode(room) == mode_before, "a refused payload changed the mode");
    ZUL_FUZZ_CHECK(answers.state_json(room).dump() == record_before,
                   "a refused payload changed the record");
    ZUL_FUZZ_CHECK(answers.next_expiry_ms() == -1, "a refused payload set an expiry");
    return;
  }
  const bridge::AnswerMode mode = answers.mode(room);
  ZUL_FUZZ_CHECK(mode == bridge::AnswerMode::kManual || mode == bridge::AnswerMode::kOpen ||
                     mode == bridge::AnswerMode::kReject,
                 "mode %d", static_cast<int>(mode));
  const long long expiry = answers.next_expiry_ms();
  ZUL_FUZZ_CHECK(expiry == -1 || expiry > kNowMs, "expires at %lld, in the past", expiry);
  long long previous = 0;
  for (const bridge::AnswerStep& s : answers.on_dial(room)) {
    ZUL_FUZZ_CHECK(s.after_ms >= previous, "a step at %lld ms after one at %lld ms", s.after_ms,
                   previous);
    previous = s.after_ms;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bridge::Config config = [] {
    bridge::Config c;
    c.imitate = {5, 7};
    c.answers[7] = bridge::AnswerConfig{bridge::AnswerMode::kOpen, 100, 200, 300};
    return c;
  }();
  const std::string payload(reinterpret_cast<const char*>(data), size);
  check_command(payload);
  check_answer(config, 5, payload);
  check_answer(config, 7, payload);
  check_answer(config, 9, payload);  // not imitated: always refused
  return 0;
}
