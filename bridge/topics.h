// Every MQTT topic of the bridge, built and read here alone. BASE is the
// configured [mqtt] topic; N a room. The manual page lists them for users,
// and brokers' ACLs are written against them: a change here is a change of
// what every household's broker user may reach.
//
// A room in a topic is written as the bridge writes it: 0..4095 in decimal
// digits, without a sign, spaces or leading zeros. "07" is not room 7: a
// household's user may write BASE/room/7/command alone, and a second
// spelling of its room would be a topic its ACL does not cover.
#pragma once
#include <string>
#include <string_view>

#include "bridge/config.h"

namespace bridge {

// The room a topic level names, or -1 when it names none by the rule above.
int room_of_level(std::string_view level);
// Why a topic level is refused as a room.
std::string not_a_room(std::string_view level);

// What a message the bridge receives is for.
struct InTopic {
  enum class Kind {
    kOther,            // not the bridge's (a stale retained record, say)
    kCommand,          // BASE/command
    kRoomCommand,      // BASE/room/N/command
    kAnswerSet,        // BASE/answer/N/set
    kRoomAnswerSet,    // BASE/room/N/answer/set, a household's
    kRoomHistory,      // BASE/room/N/history, the bridge's own, read back
    kRecordGet,        // BASE/record/get
    kDiscoveryStatus,  // PREFIX/status, Home Assistant's
  };
  Kind kind = Kind::kOther;
  // Of a room's topic or an answer: the level as it came, and the room it
  // names (-1: none, refused with not_a_room).
  std::string room_text;
  int room = -1;
};

class Topics {
 public:
  explicit Topics(const Config& config);

  InTopic parse(const std::string& topic) const;

  // The bridge's own.
  std::string status() const { return base_ + "/status"; }
  std::string info() const { return base_ + "/info"; }
  std::string event() const { return base_ + "/event"; }
  std::string call() const { return base_ + "/call"; }
  std::string health() const { return base_ + "/health"; }
  std::string command() const { return base_ + "/command"; }
  std::string command_result() const { return base_ + "/command/result"; }
  std::string record() const { return base_ + "/record"; }
  std::string record_get() const { return base_ + "/record/get"; }
  std::string answer(int room) const;      // BASE/answer/N, retained
  std::string answer_set(int room) const;  // BASE/answer/N/set

  // A household's, under BASE/room/N/.
  std::string room_event(int room) const;
  std::string room_call(int room) const;
  std::string room_command(int room) const;
  std::string room_command_result(int room) const;
  std::string room_answer(int room) const;   // retained, as BASE/answer/N
  std::string room_history(int room) const;  // retained, the room's last calls
  // The result of a command on BASE/room/LEVEL/command whose level names no
  // room: where its sender looks.
  std::string room_command_result(std::string_view level) const;
  // The prefix of a household's own discovery.
  std::string room_discovery_prefix(int room) const;

  // Home Assistant's.
  std::string discovery_status() const { return discovery_prefix_ + "/status"; }
  static std::string discovery_config(const std::string& prefix, const std::string& component,
                                      const std::string& node, const std::string& object);

  // Filters the bridge subscribes to.
  std::string answer_set_filter() const;       // BASE/answer/+/set
  std::string room_command_filter() const;     // BASE/room/+/command
  std::string room_answer_set_filter() const;  // BASE/room/+/answer/set
  // The rooms' histories: read back at the start, whatever else is there
  // cleared.
  std::string room_history_filter() const;  // BASE/room/+/history
  // Where retained records of this bridge may lie from an earlier
  // configuration.
  std::string stale_discovery_filter() const;       // PREFIX/+/NODE/+/config
  std::string stale_room_discovery_filter() const;  // BASE/room/+/homeassistant/+/+/+/config
  std::string stale_room_call_filter() const;       // BASE/room/+/call
  std::string stale_answer_filter() const;          // BASE/answer/+
  std::string stale_room_answer_filter() const;     // BASE/room/+/answer

 private:
  std::string room_topic(std::string_view level, const char* rest) const;
  std::string answer_topic(std::string_view level, const char* rest) const;

  std::string base_;
  std::string discovery_prefix_;
  std::string node_;
};

}  // namespace bridge
