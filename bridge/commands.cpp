#include "bridge/commands.h"

#include <nlohmann/json.hpp>

#include "bridge/json_text.h"
#include "protocol/console.h"

namespace bridge {

const char* action_name(Action action) {
  switch (action) {
    case Action::kOpen:
      return "open";
    case Action::kHangup:
      return "hangup";
    case Action::kRelay:
      return "relay";
    case Action::kPickup:
      break;
  }
  return "pickup";
}

int command_code(Action action, int relay) {
  switch (action) {
    case Action::kPickup:
      return kCodePickUp;
    case Action::kOpen:
      return kCodeOpen;
    case Action::kHangup:
      return kCodeHangUp;
    case Action::kRelay:
      break;
  }
  return kCodeRelay0 + relay;
}

namespace {

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

bool action_from_word(const std::string& word, Command* out) {
  static const struct {
    const char* word;
    Action action;
    int relay;
  } kWords[] = {{"pickup", Action::kPickup, 0}, {"open", Action::kOpen, 0},
                {"hangup", Action::kHangup, 0}, {"relay0", Action::kRelay, 0},
                {"relay1", Action::kRelay, 1},  {"relay2", Action::kRelay, 2}};
  for (const auto& w : kWords) {
    if (word == w.word) {
      out->action = w.action;
      out->relay = w.relay;
      return true;
    }
  }
  return false;
}

}  // namespace

ParsedCommand parse_command(const std::string& payload) {
  ParsedCommand parsed;
  const std::string text = trimmed(payload);
  if (text.empty()) {
    parsed.error = "empty command";
    return parsed;
  }
  if (text.front() != '{') {
    Command command;
    parsed.action = text;
    if (!action_from_word(text, &command)) {
      parsed.error = "unknown action \"" + text +
                     "\" (pickup, open, hangup, relay0, relay1, relay2, or a JSON object)";
      return parsed;
    }
    parsed.command = command;
    return parsed;
  }
  const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.is_object()) {
    parsed.error = "malformed JSON";
    return parsed;
  }
  if (json.contains("id")) {
    const auto& id = json["id"];
    parsed.id = id.is_string() ? id.get<std::string>() : json_text(id);
  }
  if (!json.contains("action") || !json["action"].is_string()) {
    parsed.error = "\"action\" missing or not a string";
    return parsed;
  }
  const std::string action = json["action"].get<std::string>();
  parsed.action = action;
  Command command;
  command.id = parsed.id;
  if (action == "relay") {
    command.action = Action::kRelay;
    if (!json.contains("relay") || !json["relay"].is_number_integer()) {
      parsed.error = "\"relay\" missing or not an integer (0, 1 or 2)";
      return parsed;
    }
    const long long relay = json["relay"].get<long long>();
    if (relay < 0 || relay > 2) {
      parsed.error = "relay " + std::to_string(relay) + " does not exist (0, 1 or 2)";
      return parsed;
    }
    command.relay = static_cast<int>(relay);
  } else if (action == "relay0" || action == "relay1" || action == "relay2" ||
             !action_from_word(action, &command)) {
    parsed.error = "unknown action \"" + action + "\" (pickup, open, hangup or relay)";
    return parsed;
  }
  for (const auto& [key, value] : json.items()) {
    if (key != "action" && key != "relay" && key != "id") {
      parsed.error = "unknown key \"" + key + "\"";
      return parsed;
    }
  }
  parsed.command = command;
  return parsed;
}

}  // namespace bridge
