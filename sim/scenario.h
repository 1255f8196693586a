// Scenario files: what happens on the line, in the co-processor and on the
// controlling side, and when.
//
//   <t> dial ROOM [force] | pickup | open | drop | open-detected | idle
//   <t> signal B2 B3 VALUE | version | frame H H H H H H [H H]
//   <t> corrupt N | retransmit N | end
//   <t> console TEXT | close-input
//   on "LINE" [after MS] console TEXT
//
// <t> is in simulated milliseconds since the program started; numbers are
// decimal or 0x-hex; "#" outside quotes starts a comment.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim/coproc.h"

namespace sim {

struct ScenarioAction {
  enum Kind { kFrame, kVersion, kCorrupt, kRetransmit, kEnd, kConsole, kCloseInput };
  int64_t t_ns = 0;
  Kind kind = kFrame;
  Frame frame{};
  int count = 0;
  std::string text;
};

struct ScenarioTrigger {
  std::string line;
  int64_t after_ns = 0;
  std::string text;
};

struct Scenario {
  std::vector<ScenarioAction> actions;
  std::vector<ScenarioTrigger> triggers;
  bool drives_input() const;  // has console, close-input or on lines
  bool has_end() const;
  int64_t last_ns() const;
};

// Parses `text`; on a fault sets `error` to "NAME:LINE: what is wrong".
bool parse_scenario(const std::string& text, const std::string& name, Scenario* out,
                    std::string* error);

// Puts the actions on the clock and the triggers on the program's output.
// `finish` is called by an end action.
void schedule_scenario(const Scenario& scenario, void (*finish)(int status));

// The scenario played when none is given: the whole job, start to end.
extern const char* const kDemoScenario;

}  // namespace sim
