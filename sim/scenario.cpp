#include "sim/scenario.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "sim/clock.h"
#include "sim/console.h"

namespace sim {
namespace {

// Strips a comment: "#" outside double quotes.
std::string strip_comment(const std::string& line) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') {
      quoted = !quoted;
    } else if (line[i] == '#' && !quoted) {
      return line.substr(0, i);
    }
  }
  return line;
}

bool parse_number(const std::string& token, int64_t max, int64_t* out, bool hex_only = false) {
  if (token.empty()) {
    return false;
  }
  const char* s = token.c_str();
  int base = 10;
  if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
    s += 2;
    base = 16;
  } else if (hex_only) {
    base = 16;
  }
  if (*s == '\0' || *s == '-' || *s == '+') {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const long long v = strtoll(s, &end, base);
  if (errno != 0 || *end != '\0' || v < 0 || v > max) {
    return false;
  }
  *out = v;
  return true;
}

// The rest of the line after the first occurrence of `word`, with the blanks
// around it dropped.
std::string rest_after(const std::string& line, const std::string& word) {
  const size_t at = line.find(word);
  size_t from = at + word.size();
  while (from < line.size() && (line[from] == ' ' || line[from] == '\t')) {
    ++from;
  }
  std::string rest = line.substr(from);
  while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t' || rest.back() == '\r')) {
    rest.pop_back();
  }
  return rest;
}

Frame call_event(uint8_t subcode, uint8_t force = 0, uint16_t room = 0) {
  return make_frame(kFrameStart, kFrameCallEvent, subcode, force, static_cast<uint8_t>(room >> 8),
                    static_cast<uint8_t>(room & 0xFF));
}

struct LineParser {
  const std::string& name;
  int number;
  std::string* error;

  bool fail(const std::string& what) const {
    *error = name + ":" + std::to_string(number) + ": " + what;
    return false;
  }

  bool parse_on(const std::string& line, Scenario* out) const {
    const size_t open = line.find('"');
    const size_t close = open == std::string::npos ? open : line.find('"', open + 1);
    if (open == std::string::npos || close == std::string::npos) {
      return fail("on needs a quoted line: on \"LINE\" [after MS] console TEXT");
    }
    ScenarioTrigger trigger;
    trigger.line = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 1));
    std::string word;
    rest >> word;
    if (word == "after") {
      std::string ms;
      int64_t value = 0;
      rest >> ms;
      if (!parse_number(ms, INT32_MAX, &value)) {
        return fail("after needs milliseconds, not '" + ms + "'");
      }
      trigger.after_ns = value * kNsPerMs;
      rest >> word;
    }
    if (word != "console") {
      return fail("on \"LINE\" must be followed by [after MS] console TEXT");
    }
    std::string text;
    std::getline(rest, text);
    trigger.text = rest_after(" " + text, " ");
    out->triggers.push_back(trigger);
    return true;
  }

  bool parse_timed(const std::string& line, Scenario* out) const {
    std::istringstream in(line);
    std::string t_word, event;
    in >> t_word >> event;
    int64_t t_ms = 0;
    if (!parse_number(t_word, INT64_MAX / kNsPerMs, &t_ms)) {
      return fail("'" + t_word + "' is not a time in milliseconds");
    }
    if (event.empty()) {
      return fail("an event must follow the time");
    }
    std::vector<std::string> args;
    for (std::string a; in >> a;) {
      args.push_back(a);
    }
    ScenarioAction a;
    a.t_ns = t_ms * kNsPerMs;
    auto want = [&](size_t lo, size_t hi) { return args.size() >= lo && args.size() <= hi; };
    static const struct {
      const char* word;
      uint8_t subcode;
    } kPlainEvents[] = {{"idle", kCallIdle},
                        {"pickup", kCallPickup},
                        {"open", kCallOpen},
                        {"drop", kCallDrop},
                        {"open-detected", kCallOpenDetected}};
    for (const auto& e : kPlainEvents) {
      if (event == e.word) {
        if (!args.empty()) {
          return fail(event + " takes no arguments");
        }
        a.frame = call_event(e.subcode);
        out->actions.push_back(a);
        return true;
      }
    }
    int64_t v[8] = {};
    if (event == "dial") {
      if (!want(1, 2) || !parse_number(args[0], 0xFFFF, &v[0]) ||
          (args.size() == 2 && args[1] != "force")) {
        return fail("dial needs ROOM (0..65535) and optionally force");
      }
      a.frame = call_event(kCallDial, args.size() == 2 ? 1 : 0, static_cast<uint16_t>(v[0]));
    } else if (event == "signal") {
      if (!want(3, 3) || !parse_number(args[0], 0xFF, &v[0]) ||
          !parse_number(args[1], 0xFF, &v[1]) || !parse_number(args[2], 0xFFFF, &v[2])) {
        return fail("signal needs B2 B3 (0..255) and VALUE (0..65535)");
      }
      a.frame = make_frame(kFrameStart, kFrameSignal, static_cast<uint8_t>(v[0]),
                           static_cast<uint8_t>(v[1]), static_cast<uint8_t>(v[2] >> 8),
                           static_cast<uint8_t>(v[2] & 0xFF));
    } else if (event == "frame") {
      if (!(args.size() == 6 || args.size() == 8)) {
        return fail("frame needs six or eight bytes in hex");
      }
      for (size_t i = 0; i < args.size(); ++i) {
        if (!parse_number(args[i], 0xFF, &v[i], true)) {
          return fail("'" + args[i] + "' is not a byte in hex");
        }
        a.frame[i] = static_cast<uint8_t>(v[i]);
      }
      if (args.size() == 6) {
        a.frame =
            make_frame(a.frame[0], a.frame[1], a.frame[2], a.frame[3], a.frame[4], a.frame[5]);
      }
    } else if (event == "version") {
      if (!args.empty()) {
        return fail("version takes no arguments");
      }
      a.kind = ScenarioAction::kVersion;
    } else if (event == "corrupt" || event == "retransmit") {
      if (!want(1, 1) || !parse_number(args[0], INT32_MAX, &v[0])) {
        return fail(event + " needs a count");
      }
      a.kind = event == "corrupt" ? ScenarioAction::kCorrupt : ScenarioAction::kRetransmit;
      a.count = static_cast<int>(v[0]);
    } else if (event == "end") {
      if (!args.empty()) {
        return fail("end takes no arguments");
      }
      a.kind = ScenarioAction::kEnd;
    } else if (event == "console") {
      a.kind = ScenarioAction::kConsole;
      a.text = rest_after(line, "console");
    } else if (event == "close-input") {
      if (!args.empty()) {
        return fail("close-input takes no arguments");
      }
      a.kind = ScenarioAction::kCloseInput;
    } else {
      return fail("unknown event '" + event + "'");
    }
    out->actions.push_back(a);
    return true;
  }
};

}  // namespace

bool Scenario::drives_input() const {
  if (!triggers.empty()) {
    return true;
  }
  for (const auto& a : actions) {
    if (a.kind == ScenarioAction::kConsole || a.kind == ScenarioAction::kCloseInput) {
      return true;
    }
  }
  return false;
}

bool Scenario::has_end() const {
  for (const auto& a : actions) {
    if (a.kind == ScenarioAction::kEnd) {
      return true;
    }
  }
  return false;
}

int64_t Scenario::last_ns() const {
  int64_t last = 0;
  for (const auto& a : actions) {
    last = std::max(last, a.t_ns);
  }
  return last;
}

bool parse_scenario(const std::string& text, const std::string& name, Scenario* out,
                    std::string* error) {
  std::istringstream in(text);
  std::string raw;
  int number = 0;
  while (std::getline(in, raw)) {
    ++number;
    const std::string line = strip_comment(raw);
    std::istringstream words(line);
    std::string first;
    if (!(words >> first)) {
      continue;
    }
    LineParser p{name, number, error};
    if (!(first == "on" ? p.parse_on(line, out) : p.parse_timed(line, out))) {
      return false;
    }
  }
  return true;
}

void schedule_scenario(const Scenario& scenario, void (*finish)(int status)) {
  for (const ScenarioAction& a : scenario.actions) {
    clock_at(a.t_ns, [a, finish] {
      switch (a.kind) {
        case ScenarioAction::kFrame:
          coproc_queue(a.frame);
          break;
        case ScenarioAction::kVersion:
          coproc_queue_version();
          break;
        case ScenarioAction::kCorrupt:
          coproc_corrupt_next(a.count);
          break;
        case ScenarioAction::kRetransmit:
          coproc_retransmit_next(a.count);
          break;
        case ScenarioAction::kEnd:
          finish(0);
          break;
        case ScenarioAction::kConsole:
          input_push(a.text + "\n");
          break;
        case ScenarioAction::kCloseInput:
          input_close();
          break;
      }
    });
  }
  if (scenario.triggers.empty()) {
    return;
  }
  std::vector<ScenarioTrigger> triggers = scenario.triggers;
  on_output_line([triggers](const std::string& line) {
    for (const ScenarioTrigger& t : triggers) {
      if (line == t.line) {
        const std::string text = t.text + "\n";
        clock_at(clock_now_ns() + t.after_ns, [text] { input_push(text); });
      }
    }
  });
}

}  // namespace sim
