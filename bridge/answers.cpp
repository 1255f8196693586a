#include "bridge/answers.h"

#include "bridge/log.h"

namespace bridge {

Answers::Answers(const Config& config) : config_(config) {}

AnswerConfig Answers::configured(int room) const {
  auto it = config_.answers.find(room);
  return it == config_.answers.end() ? AnswerConfig{} : it->second;
}

AnswerMode Answers::mode(int room) const {
  auto it = overrides_.find(room);
  return it == overrides_.end() ? configured(room).mode : it->second.mode;
}

std::string Answers::set(int room, const std::string& payload, long long unix_now_ms) {
  if (!config_.imitated(room)) {
    return "room " + std::to_string(room) + " is not imitated";
  }
  Override o{AnswerMode::kManual, std::nullopt, std::nullopt, ""};
  std::string text = payload;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (!text.empty() && text.front() == '{') {
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return "malformed JSON";
    if (!j.contains("mode") || !j["mode"].is_string()) return "\"mode\" missing or not a string";
    text = j["mode"].get<std::string>();
    for (const auto& [key, value] : j.items()) {
      if (key == "mode") continue;
      if (key == "calls") {
        if (!value.is_number_integer() || value.get<long long>() < 1 ||
            value.get<long long>() > 1000000) {
          return "\"calls\" must be a whole number of calls, 1 or more";
        }
        o.calls = value.get<int>();
      } else if (key == "until") {
        long long until = 0;
        std::string why;
        if (!value.is_string()) return "\"until\" must be a UTC time like 2026-12-24T18:00:00Z";
        if (!parse_iso_time(value.get<std::string>(), &until, &why)) {
          return "\"until\": " + why + "; a UTC time like 2026-12-24T18:00:00Z is wanted";
        }
        if (until <= unix_now_ms) return "\"until\" " + value.get<std::string>() + " has passed";
        o.until_ms = until;
        o.until_text = value.get<std::string>();
      } else {
        return "unknown key \"" + key + "\"";
      }
    }
  }
  const auto mode = answer_mode_from(text);
  if (!mode) return "unknown mode \"" + text + "\" (manual, open or reject)";
  o.mode = *mode;
  if (!o.calls && !o.until_ms && o.mode == configured(room).mode) {
    overrides_.erase(room);
  } else {
    overrides_[room] = o;
  }
  return "";
}

nlohmann::json Answers::state_json(int room) const {
  nlohmann::json j;
  j["mode"] = answer_mode_name(mode(room));
  j["configured"] = answer_mode_name(configured(room).mode);
  auto it = overrides_.find(room);
  if (it != overrides_.end()) {
    if (it->second.calls) j["calls"] = *it->second.calls;
    if (it->second.until_ms) j["until"] = it->second.until_text;
  }
  return j;
}

std::vector<AnswerStep> Answers::on_dial(int room) {
  const AnswerConfig timing = configured(room);
  const AnswerMode now_mode = mode(room);
  auto it = overrides_.find(room);
  if (it != overrides_.end() && it->second.calls && --*it->second.calls <= 0) {
    overrides_.erase(it);
  }
  std::vector<AnswerStep> steps;
  const long long pickup = timing.pickup_after_ms;
  switch (now_mode) {
    case AnswerMode::kOpen:
      steps.push_back({pickup, Action::kPickup});
      steps.push_back({pickup + timing.open_after_ms, Action::kOpen});
      steps.push_back({pickup + timing.open_after_ms + timing.hangup_after_ms, Action::kHangup});
      break;
    case AnswerMode::kReject:
      steps.push_back({pickup, Action::kHangup});
      break;
    case AnswerMode::kManual:
      break;
  }
  return steps;
}

std::vector<int> Answers::expire(long long unix_now_ms) {
  std::vector<int> changed;
  for (auto it = overrides_.begin(); it != overrides_.end();) {
    if (it->second.until_ms && *it->second.until_ms <= unix_now_ms) {
      changed.push_back(it->first);
      it = overrides_.erase(it);
    } else {
      ++it;
    }
  }
  return changed;
}

long long Answers::next_expiry_ms() const {
  long long next = -1;
  for (const auto& [room, o] : overrides_) {
    if (o.until_ms && (next < 0 || *o.until_ms < next)) next = *o.until_ms;
  }
  return next;
}

}  // namespace bridge
