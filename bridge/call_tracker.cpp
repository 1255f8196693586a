#include "bridge/call_tracker.h"

#include <algorithm>

namespace bridge {

const char* call_state_name(CallState state) {
  switch (state) {
    case CallState::kRinging:
      return "ringing";
    case CallState::kAnswered:
      return "answered";
    case CallState::kIdle:
      break;
  }
  return "idle";
}

const char* route_name(Route route) {
  switch (route) {
    case Route::kImitated:
      return "imitated";
    case Route::kBlacklisted:
      return "blacklisted";
    case Route::kReal:
      break;
  }
  return "real";
}

CallTracker::CallTracker(const Config& config) : config_(config) {}

Route CallTracker::route_of(int room) const {
  // The program's room table ends at 4095; a dial beyond it rings the real
  // handset, and the bridge's lists cannot name such a room.
  if (room < 0 || room >= kRoomCount) return Route::kReal;
  // A room in both lists is refused by the configuration; the blacklist
  // would win in the program.
  const auto& b = config_.blacklist;
  if (std::find(b.begin(), b.end(), room) != b.end()) return Route::kBlacklisted;
  return config_.imitated(room) ? Route::kImitated : Route::kReal;
}

bool CallTracker::on_line(const ProgramLine& line) {
  using K = ProgramLine::Kind;
  switch (line.kind) {
    case K::kDial:
      call_id_ = next_call_id_++;
      room_ = static_cast<int>(line.number);
      route_ = route_of(*room_);
      state_ = CallState::kRinging;
      by_ = AnsweredBy::kNobody;
      return true;
    case K::kPickup:
      // Printed only while the imitation holds nothing: a real handset.
      state_ = CallState::kAnswered;
      by_ = AnsweredBy::kHandset;
      return true;
    case K::kDrop:
      if (state_ == CallState::kIdle && by_ == AnsweredBy::kNobody) return false;
      state_ = CallState::kIdle;
      by_ = AnsweredBy::kNobody;
      return true;
    default:
      return false;
  }
}

void CallTracker::on_program_start() {
  state_ = CallState::kIdle;
  by_ = AnsweredBy::kNobody;
}

Decision CallTracker::decide(Action action, int relay) {
  Decision d;
  if (action == Action::kRelay) {
    d.accepted = true;
    d.code = command_code(action, relay);
    return d;
  }
  const std::string room_text = room_ ? std::to_string(*room_) : "";
  if (state_ != CallState::kIdle && route_ == Route::kBlacklisted) {
    d.reason = "the program rejects the call to blacklisted room " + room_text + " itself";
    return d;
  }
  if (state_ != CallState::kIdle && route_ == Route::kReal) {
    d.reason = "the call to room " + room_text + " belongs to a real handset";
    return d;
  }
  switch (action) {
    case Action::kPickup:
      if (state_ == CallState::kIdle) {
        d.reason = "no call is ringing";
        return d;
      }
      if (state_ == CallState::kAnswered) {
        d.reason = "the call is already answered";
        return d;
      }
      state_ = CallState::kAnswered;
      by_ = AnsweredBy::kImitation;
      break;
    case Action::kOpen:
      // Idle: opens the door with no call. Ringing: answers, opens and ends
      // the call in one sequence. Answered: opens and keeps the call.
      if (state_ == CallState::kRinging) {
        state_ = CallState::kIdle;
        by_ = AnsweredBy::kNobody;
      }
      break;
    case Action::kHangup:
      if (state_ == CallState::kIdle) {
        d.reason = "no call is in progress";
        return d;
      }
      state_ = CallState::kIdle;
      by_ = AnsweredBy::kNobody;
      break;
    case Action::kRelay:
      break;
  }
  d.accepted = true;
  d.code = command_code(action, relay);
  return d;
}

nlohmann::json CallTracker::call_json() const {
  nlohmann::json j;
  j["state"] = call_state_name(state_);
  j["room"] = room_ ? nlohmann::json(*room_) : nlohmann::json(nullptr);
  j["call"] = call_id_ ? nlohmann::json(*call_id_) : nlohmann::json(nullptr);
  if (room_) j["route"] = route_name(route_);
  if (by_ != AnsweredBy::kNobody) j["by"] = by_ == AnsweredBy::kImitation ? "imitation" : "handset";
  return j;
}

void CallTracker::add_call_fields(nlohmann::json* event) const {
  (*event)["call"] = call_id_ ? nlohmann::json(*call_id_) : nlohmann::json(nullptr);
  if (room_ && !event->contains("room")) (*event)["room"] = *room_;
}

}  // namespace bridge
