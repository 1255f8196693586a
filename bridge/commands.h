// Commands from BASE/command: a JSON object or a bare action word, as a
// Home Assistant button sends it. Parsing only; whether the call state takes
// a command is the call tracker's decision.
#pragma once
#include <optional>
#include <string>

namespace bridge {

enum class Action { kPickup, kOpen, kHangup, kRelay };
const char* action_name(Action action);

struct Command {
  Action action = Action::kPickup;
  int relay = 0;  // 0..2 for kRelay
  std::optional<std::string> id;
};

struct ParsedCommand {
  std::optional<Command> command;
  std::string error;                  // why the payload is no command, when `command` is empty
  std::optional<std::string> id;      // the id, when the payload had one
  std::optional<std::string> action;  // the action word, when there was one
};

ParsedCommand parse_command(const std::string& payload);

// The program's code for an accepted command: 1, 2, 3 or 20 + relay.
int command_code(Action action, int relay);

}  // namespace bridge
