#include "bridge/commands.h"

#include <gtest/gtest.h>

namespace {

using bridge::Action;
using bridge::parse_command;

TEST(Commands, BareWordsAsHomeAssistantButtonsSendThem) {
  const struct {
    const char* word;
    Action action;
    int relay;
    int code;
  } cases[] = {{"pickup", Action::kPickup, 0, 1}, {"open", Action::kOpen, 0, 2},
               {"hangup", Action::kHangup, 0, 3}, {"relay0", Action::kRelay, 0, 20},
               {"relay1", Action::kRelay, 1, 21}, {"relay2\n", Action::kRelay, 2, 22}};
  for (const auto& c : cases) {
    const auto p = parse_command(c.word);
    ASSERT_TRUE(p.command) << c.word << ": " << p.error;
    EXPECT_EQ(p.command->action, c.action);
    EXPECT_EQ(p.command->relay, c.relay);
    EXPECT_EQ(bridge::command_code(p.command->action, p.command->relay), c.code);
  }
}

TEST(Commands, JsonObjectsWithAnId) {
  auto p = parse_command(R"({"action":"relay","relay":2,"id":"r-1"})");
  ASSERT_TRUE(p.command) << p.error;
  EXPECT_EQ(p.command->action, Action::kRelay);
  EXPECT_EQ(p.command->relay, 2);
  EXPECT_EQ(*p.command->id, "r-1");
  p = parse_command(R"({"action":"open"})");
  ASSERT_TRUE(p.command) << p.error;
  EXPECT_EQ(p.command->action, Action::kOpen);
  EXPECT_FALSE(p.command->id);
}

TEST(Commands, BadCommandsSayWhy) {
  const struct {
    const char* payload;
    const char* error;
  } cases[] = {
      {"{\"action\":", "malformed JSON"},
      {"[1]",
       "unknown action \"[1]\" (pickup, open, hangup, relay0, relay1, relay2, or a JSON "
       "object)"},
      {"", "empty command"},
      {"ring",
       "unknown action \"ring\" (pickup, open, hangup, relay0, relay1, relay2, or a JSON "
       "object)"},
      {R"({"relay":1})", "\"action\" missing or not a string"},
      {R"({"action":"relay","relay":7,"id":"x"})", "relay 7 does not exist (0, 1 or 2)"},
      {R"({"action":"relay","relay":-1})", "relay -1 does not exist (0, 1 or 2)"},
      {R"({"action":"relay"})", "\"relay\" missing or not an integer (0, 1 or 2)"},
      {R"({"action":"relay1"})", "unknown action \"relay1\" (pickup, open, hangup or relay)"},
      {R"({"action":"open","door":2})", "unknown key \"door\""},
  };
  for (const auto& c : cases) {
    const auto p = parse_command(c.payload);
    EXPECT_FALSE(p.command) << c.payload;
    EXPECT_EQ(p.error, c.error) << c.payload;
  }
  EXPECT_EQ(*parse_command(R"({"action":"relay","relay":7,"id":"x"})").id, "x");
}

}  // namespace
