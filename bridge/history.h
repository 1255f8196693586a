// The last calls to each imitated room, as its household reads them on the
// retained BASE/room/N/history: when each rang and ended, what became of it
// and who acted. At most kHistoryKept calls per room, newest first.
#pragma once
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "bridge/commands.h"

namespace bridge {

inline constexpr size_t kHistoryKept = 20;

// Who sent a code that ran on a call.
enum class Actor { kHousehold, kOperator, kAnswer };
const char* actor_name(Actor actor);

// What became of a call, in the words its record carries: "opened" (the
// door was opened through the bridge), "handset" (the real handset took
// it), "answered" (picked up, the door not opened), "rejected" (hung up
// while it rang), "missed" (it rang out with nothing done).
struct CallActs {
  std::vector<Action> actions;  // codes that ran, in order
  bool handset = false;         // the real handset picked up
  bool common = false;          // the common driver opened the door
};
const char* call_outcome(const CallActs& acts);

class CallHistory {
 public:
  // A call to imitated room `room` was dialled at `time`. A call still
  // open is the caller's to finish first.
  void start(int room, long call, const std::string& time);
  // A code of call `call` ran: its action, and who sent it.
  void on_action(long call, Action action, Actor by);
  void on_handset();
  void on_common();
  // The call's drop: it ends now, its record waits for the codes still
  // on their way (whose reports may come after the drop line).
  void mark_ended(const std::string& time);
  // The open call, if any, and whether its drop came.
  std::optional<long> open_call() const;
  bool ended() const { return open_ && !open_->ended.empty(); }
  // Writes the open call into its room's calls; `time` ends it when its
  // drop never came. Returns its room, or -1 when no call was open.
  int finish(const std::string& time);

  // Takes in a room's record as it was retained on the broker: its calls
  // go behind those of this run that are not among them, up to the bound.
  // False when the record is not one.
  bool restore(int room, const nlohmann::json& record);
  bool has(int room) const { return calls_.count(room) != 0; }
  nlohmann::json record(int room) const;

 private:
  struct Open {
    int room;
    long call;
    std::string time;
    std::string ended;
    CallActs acts;
    std::optional<Actor> by;  // who acted first
  };
  std::optional<Open> open_;
  std::map<int, std::vector<nlohmann::json>> calls_;  // newest first
};

}  // namespace bridge
