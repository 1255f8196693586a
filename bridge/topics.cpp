#include "bridge/topics.h"

namespace bridge {

namespace {

// The level between `prefix` and `suffix` when `topic` is made of the
// three and the level is one level; false otherwise.
bool level_between(const std::string& topic, const std::string& prefix, std::string_view suffix,
                   std::string* level) {
  if (topic.size() < prefix.size() + suffix.size() ||
      topic.compare(0, prefix.size(), prefix) != 0 ||
      topic.compare(topic.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  *level = topic.substr(prefix.size(), topic.size() - prefix.size() - suffix.size());
  return level->find('/') == std::string::npos;
}

}  // namespace

int room_of_level(std::string_view level) {
  if (level.empty() || level.size() > 4 || (level.size() > 1 && level[0] == '0')) return -1;
  int room = 0;
  for (char c : level) {
    if (c < '0' || c > '9') return -1;
    room = room * 10 + (c - '0');
  }
  return room < kRoomCount ? room : -1;
}

std::string not_a_room(std::string_view level) {
  // Appended, not "\"" + std::string(level): GCC 12's optimiser warns
  // falsely (-Wrestrict) on a literal added to a temporary string.
  std::string text = "\"";
  text.append(level);
  text += "\" is not a room number";
  return text;
}

Topics::Topics(const Config& config)
    : base_(config.topic), discovery_prefix_(config.discovery_prefix), node_(config.node_id()) {}

InTopic Topics::parse(const std::string& topic) const {
  InTopic in;
  if (level_between(topic, base_ + "/room/", "/command", &in.room_text)) {
    in.kind = InTopic::Kind::kRoomCommand;
  } else if (level_between(topic, base_ + "/room/", "/answer/set", &in.room_text)) {
    in.kind = InTopic::Kind::kRoomAnswerSet;
  } else if (level_between(topic, base_ + "/room/", "/history", &in.room_text)) {
    in.kind = InTopic::Kind::kRoomHistory;
  } else if (topic == record_get()) {
    in.kind = InTopic::Kind::kRecordGet;
  } else if (topic == command()) {
    in.kind = InTopic::Kind::kCommand;
  } else if (level_between(topic, base_ + "/answer/", "/set", &in.room_text)) {
    in.kind = InTopic::Kind::kAnswerSet;
  } else if (topic == discovery_status()) {
    in.kind = InTopic::Kind::kDiscoveryStatus;
  } else {
    in.room_text.clear();
    return in;
  }
  if (in.kind != InTopic::Kind::kRecordGet && in.kind != InTopic::Kind::kCommand &&
      in.kind != InTopic::Kind::kDiscoveryStatus) {
    in.room = room_of_level(in.room_text);
  }
  return in;
}

std::string Topics::room_topic(std::string_view level, const char* rest) const {
  return base_ + "/room/" + std::string(level) + rest;
}

std::string Topics::answer_topic(std::string_view level, const char* rest) const {
  return base_ + "/answer/" + std::string(level) + rest;
}

std::string Topics::answer(int room) const { return answer_topic(std::to_string(room), ""); }
std::string Topics::answer_set(int room) const {
  return answer_topic(std::to_string(room), "/set");
}

std::string Topics::room_event(int room) const {
  return room_topic(std::to_string(room), "/event");
}
std::string Topics::room_call(int room) const { return room_topic(std::to_string(room), "/call"); }
std::string Topics::room_command(int room) const {
  return room_topic(std::to_string(room), "/command");
}
std::string Topics::room_command_result(int room) const {
  return room_topic(std::to_string(room), "/command/result");
}
std::string Topics::room_answer(int room) const {
  return room_topic(std::to_string(room), "/answer");
}
std::string Topics::room_history(int room) const {
  return room_topic(std::to_string(room), "/history");
}
std::string Topics::room_command_result(std::string_view level) const {
  return room_topic(level, "/command/result");
}
std::string Topics::room_discovery_prefix(int room) const {
  return room_topic(std::to_string(room), "/homeassistant");
}

std::string Topics::discovery_config(const std::string& prefix, const std::string& component,
                                     const std::string& node, const std::string& object) {
  return prefix + "/" + component + "/" + node + "/" + object + "/config";
}

std::string Topics::answer_set_filter() const { return answer_topic("+", "/set"); }
std::string Topics::room_command_filter() const { return room_topic("+", "/command"); }
std::string Topics::room_answer_set_filter() const { return room_topic("+", "/answer/set"); }
std::string Topics::room_history_filter() const { return room_topic("+", "/history"); }
std::string Topics::stale_discovery_filter() const {
  return discovery_config(discovery_prefix_, "+", node_, "+");
}
std::string Topics::stale_room_discovery_filter() const {
  return room_topic("+", "/homeassistant/+/+/+/config");
}
std::string Topics::stale_room_call_filter() const { return room_topic("+", "/call"); }
std::string Topics::stale_answer_filter() const { return answer_topic("+", ""); }
std::string Topics::stale_room_answer_filter() const { return room_topic("+", "/answer"); }

}  // namespace bridge
