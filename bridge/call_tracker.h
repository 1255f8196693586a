// The call as the bridge follows it from the program's event lines and from
// the codes it sends. It decides which commands the call state takes, so
// that the program is only sent codes that act on the call in progress.
#pragma once
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "bridge/commands.h"
#include "bridge/config.h"
#include "bridge/protocol.h"

namespace bridge {

enum class CallState { kIdle, kRinging, kAnswered };
enum class Route { kImitated, kBlacklisted, kReal };
enum class AnsweredBy { kNobody, kImitation, kHandset };

const char* call_state_name(CallState state);
const char* route_name(Route route);

struct Decision {
  bool accepted = false;
  int code = 0;        // what to write to the program when accepted
  std::string reason;  // why not, when refused
};

class CallTracker {
 public:
  explicit CallTracker(const Config& config);

  // Follows one line of the program; true when the call record changed.
  bool on_line(const ProgramLine& line);
  // The program was started again: no call, the call ids go on.
  void on_program_start();

  // Decides on a command and, when it is accepted, follows what the code
  // does to the call.
  Decision decide(Action action, int relay);

  Route route_of(int room) const;
  CallState state() const { return state_; }
  Route route() const { return route_; }
  std::optional<int> room() const { return room_; }
  // Id of the last dialled call (every event until the next dial belongs to
  // it); empty before the first dial.
  std::optional<long> call_id() const { return call_id_; }

  // The retained BASE/call record.
  nlohmann::json call_json() const;
  // The fields every event carries: "call" and, during a call, "room".
  void add_call_fields(nlohmann::json* event) const;

 private:
  const Config& config_;
  CallState state_ = CallState::kIdle;
  Route route_ = Route::kReal;
  AnsweredBy by_ = AnsweredBy::kNobody;
  std::optional<int> room_;
  std::optional<long> call_id_;
  long next_call_id_ = 1;
};

}  // namespace bridge
