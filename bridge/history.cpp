#include "bridge/history.h"

#include <algorithm>

namespace bridge {

const char* actor_name(Actor actor) {
  switch (actor) {
    case Actor::kOperator:
      return "operator";
    case Actor::kAnswer:
      return "answer";
    case Actor::kHousehold:
      break;
  }
  return "household";
}

const char* call_outcome(const CallActs& acts) {
  const auto did = [&](Action a) {
    return std::find(acts.actions.begin(), acts.actions.end(), a) != acts.actions.end();
  };
  // The door matters most to a household: opened is opened, whoever else
  // touched the call.
  if (did(Action::kOpen) || acts.common) return "opened";
  if (acts.handset) return "handset";
  if (did(Action::kPickup)) return "answered";
  if (did(Action::kHangup)) return "rejected";
  return "missed";
}

void CallHistory::start(int room, long call, const std::string& time) {
  open_ = Open{room, call, time, "", {}, std::nullopt};
}

void CallHistory::on_action(long call, Action action, Actor by) {
  if (!open_ || open_->call != call || action == Action::kRelay) return;
  open_->acts.actions.push_back(action);
  if (!open_->by) open_->by = by;
}

void CallHistory::on_handset() {
  if (open_) open_->acts.handset = true;
}

void CallHistory::on_common() {
  if (open_) open_->acts.common = true;
}

void CallHistory::mark_ended(const std::string& time) {
  if (open_ && open_->ended.empty()) open_->ended = time;
}

std::optional<long> CallHistory::open_call() const {
  return open_ ? std::optional<long>(open_->call) : std::nullopt;
}

int CallHistory::finish(const std::string& time) {
  if (!open_) return -1;
  Open o = std::move(*open_);
  open_.reset();
  nlohmann::json actions = nlohmann::json::array();
  for (Action a : o.acts.actions) actions.push_back(action_name(a));
  nlohmann::json entry = {{"call", o.call},
                          {"time", o.time},
                          {"ended", o.ended.empty() ? time : o.ended},
                          {"outcome", call_outcome(o.acts)},
                          {"by", o.by ? nlohmann::json(actor_name(*o.by)) : nlohmann::json()},
                          {"actions", actions}};
  std::vector<nlohmann::json>& calls = calls_[o.room];
  calls.insert(calls.begin(), std::move(entry));
  if (calls.size() > kHistoryKept) calls.resize(kHistoryKept);
  return o.room;
}

bool CallHistory::restore(int room, const nlohmann::json& record) {
  if (!record.is_object() || !record.contains("calls") || !record["calls"].is_array()) {
    return false;
  }
  std::vector<nlohmann::json>& calls = calls_[room];
  const auto ours = [&](const std::string& time) {
    return std::any_of(calls.begin(), calls.end(),
                       [&](const nlohmann::json& c) { return c["time"] == time; });
  };
  std::vector<nlohmann::json> merged = calls;
  for (const nlohmann::json& c : record["calls"]) {
    // Call ids start again with every run of the bridge: a call is known by
    // the time it rang.
    if (!c.is_object() || !c.contains("time") || !c["time"].is_string()) continue;
    if (ours(c["time"].get<std::string>())) continue;
    merged.push_back(c);
    if (merged.size() >= 2 * kHistoryKept) break;
  }
  // ISO 8601 times in UTC with milliseconds sort as text.
  std::stable_sort(merged.begin(), merged.end(),
                   [](const nlohmann::json& a, const nlohmann::json& b) {
                     return a["time"].get<std::string>() > b["time"].get<std::string>();
                   });
  if (merged.size() > kHistoryKept) merged.resize(kHistoryKept);
  calls = std::move(merged);
  return true;
}

nlohmann::json CallHistory::record(int room) const {
  nlohmann::json calls = nlohmann::json::array();
  auto it = calls_.find(room);
  if (it != calls_.end()) {
    for (const nlohmann::json& c : it->second) calls.push_back(c);
  }
  return {{"room", room}, {"calls", calls}};
}

}  // namespace bridge
