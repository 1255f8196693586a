#include "bridge/answers.h"

#include <gtest/gtest.h>

#include "bridge/log.h"

namespace {

using bridge::Action;
using bridge::AnswerMode;
using bridge::Answers;
using bridge::Config;

Config answer_config() {
  Config c;
  c.imitate = {5, 6};
  c.answers[6] = {AnswerMode::kOpen, 100, 200, 300};
  c.answers[5] = {AnswerMode::kManual, 400, 0, 0};
  return c;
}

class AnswersTest : public testing::Test {
 protected:
  Config config = answer_config();
  Answers answers{config};
  long long now = 0;
  void SetUp() override { ASSERT_TRUE(bridge::parse_iso_time("2026-06-01T12:00:00Z", &now)); }
};

TEST_F(AnswersTest, OpenPicksUpOpensAndHangsUpWithItsTimings) {
  const auto steps = answers.on_dial(6);
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(steps[0].after_ms, 100);
  EXPECT_EQ(steps[0].action, Action::kPickup);
  EXPECT_EQ(steps[1].after_ms, 300);
  EXPECT_EQ(steps[1].action, Action::kOpen);
  EXPECT_EQ(steps[2].after_ms, 600);
  EXPECT_EQ(steps[2].action, Action::kHangup);
}

TEST_F(AnswersTest, ManualDoesNothingAndRejectRejects) {
  EXPECT_TRUE(answers.on_dial(5).empty());
  EXPECT_EQ(answers.set(5, "reject", now), "");
  const auto steps = answers.on_dial(5);
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].after_ms, 400);
  EXPECT_EQ(steps[0].action, Action::kHangup);
}

TEST_F(AnswersTest, AModeForTheNextCallOnly) {
  EXPECT_EQ(answers.set(5, R"({"mode":"open","calls":1})", now), "");
  EXPECT_EQ(answers.state_json(5).dump(), R"({"calls":1,"configured":"manual","mode":"open"})");
  EXPECT_EQ(answers.on_dial(5).size(), 3u);
  EXPECT_EQ(answers.mode(5), AnswerMode::kManual);
  EXPECT_TRUE(answers.on_dial(5).empty());
}

TEST_F(AnswersTest, AModeUntilATime) {
  EXPECT_EQ(answers.set(6, R"({"mode":"reject","until":"2026-06-01T13:00:00Z"})", now), "");
  EXPECT_EQ(answers.mode(6), AnswerMode::kReject);
  EXPECT_EQ(answers.next_expiry_ms(), now + 3600000);
  EXPECT_TRUE(answers.expire(now + 3599999).empty());
  EXPECT_EQ(answers.expire(now + 3600000), std::vector<int>{6});
  EXPECT_EQ(answers.mode(6), AnswerMode::kOpen);
  EXPECT_EQ(answers.next_expiry_ms(), -1);
}

TEST_F(AnswersTest, BadSettingsSayWhy) {
  EXPECT_EQ(answers.set(7, "open", now), "room 7 is not imitated");
  EXPECT_EQ(answers.set(5, "opne", now), "unknown mode \"opne\" (manual, open or reject)");
  EXPECT_EQ(answers.set(5, "{", now), "malformed JSON");
  EXPECT_EQ(answers.set(5, R"({"mode":"open","calls":0})", now),
            "\"calls\" must be a whole number of calls, 1 or more");
  EXPECT_EQ(answers.set(5, R"({"mode":"open","until":"2026-06-01T11:00:00Z"})", now),
            "\"until\" 2026-06-01T11:00:00Z has passed");
  EXPECT_EQ(answers.set(5, R"({"mode":"open","until":"tomorrow"})", now),
            "\"until\": \"tomorrow\" is not YYYY-MM-DDTHH:MM:SSZ; a UTC time like "
            "2026-12-24T18:00:00Z is wanted");
  EXPECT_EQ(answers.set(5, R"({"mode":"open","until":"2026-06-31T11:00:00Z"})", now),
            "\"until\": \"2026-06-31T11:00:00Z\": month 6 of 2026 has no day 31; a UTC time "
            "like 2026-12-24T18:00:00Z is wanted");
  EXPECT_EQ(answers.set(5, R"({"mode":"open","for":1})", now), "unknown key \"for\"");
  EXPECT_EQ(answers.mode(5), AnswerMode::kManual);
}

TEST_F(AnswersTest, SettingTheConfiguredModeEndsARunTimeOne) {
  EXPECT_EQ(answers.set(6, "manual", now), "");
  EXPECT_EQ(answers.mode(6), AnswerMode::kManual);
  EXPECT_EQ(answers.set(6, "open", now), "");
  EXPECT_EQ(answers.state_json(6).dump(), R"({"configured":"open","mode":"open"})");
}

}  // namespace
