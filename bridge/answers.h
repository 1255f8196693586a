// Automatic answers per imitated room: manual (the bridge only reports),
// open (pick up, open the door, hang up) or reject, as configured, and
// changed at run time through BASE/answer/<room>/set for the next calls or
// until a given time, after which the configured mode is back.
#pragma once
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "bridge/commands.h"
#include "bridge/config.h"

namespace bridge {

struct AnswerStep {
  long long after_ms;  // since the dial
  Action action;
};

class Answers {
 public:
  explicit Answers(const Config& config);

  AnswerMode mode(int room) const;
  // Applies a BASE/answer/<room>/set payload; returns why it was refused, or
  // an empty text.
  std::string set(int room, const std::string& payload, long long unix_now_ms);
  // The retained BASE/answer/<room> record.
  nlohmann::json state_json(int room) const;
  // A call to `room` was dialled: the steps to take, and a run-time mode
  // limited to a number of calls counts this one.
  std::vector<AnswerStep> on_dial(int room);
  // Run-time modes whose time has passed go back to the configured mode;
  // returns the rooms that changed.
  std::vector<int> expire(long long unix_now_ms);
  // Earliest expiry time of a run-time mode, or -1.
  long long next_expiry_ms() const;
  // Rooms that have an answer record: every imitated room.
  const std::vector<int>& rooms() const { return config_.imitate; }

 private:
  struct Override {
    AnswerMode mode;
    std::optional<int> calls;
    std::optional<long long> until_ms;
    std::string until_text;
  };
  AnswerConfig configured(int room) const;

  const Config& config_;
  std::map<int, Override> overrides_;
};

}  // namespace bridge
