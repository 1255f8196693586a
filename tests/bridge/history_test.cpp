#include "bridge/history.h"

#include <gtest/gtest.h>

namespace bridge {
namespace {

using nlohmann::json;

TEST(CallHistory, EachCallSaysWhatWasDone) {
  const struct {
    std::vector<Action> actions;
    bool handset, common;
    const char* outcome;
  } rows[] = {
      {{}, false, false, "missed"},
      {{Action::kHangup}, false, false, "rejected"},
      {{Action::kPickup, Action::kHangup}, false, false, "answered"},
      {{Action::kPickup, Action::kOpen, Action::kHangup}, false, false, "opened"},
      {{Action::kOpen}, false, false, "opened"},
      {{}, true, false, "handset"},
      {{}, false, true, "opened"},
  };
  for (const auto& r : rows) {
    EXPECT_STREQ(call_outcome({r.actions, r.handset, r.common}), r.outcome) << r.outcome;
  }
}

TEST(CallHistory, KeepsTheNewestCallsOfARoomAndTakesBackWhatTheBrokerKept) {
  CallHistory h;
  // Retained by an earlier run: calls 1..3, newest first.
  json kept = {{"room", 5}, {"calls", json::array()}};
  for (int c = 3; c >= 1; --c) {
    kept["calls"].push_back({{"call", c},
                             {"time", "2026-12-10T10:0" + std::to_string(c) + ":00.000Z"},
                             {"outcome", "missed"}});
  }
  // This run's first call ended before the record was read back; its ids
  // start again at 1.
  h.start(5, 1, "2026-12-10T11:00:00.000Z");
  h.on_action(1, Action::kHangup, Actor::kHousehold);
  h.on_action(2, Action::kOpen, Actor::kOperator);  // another call's: not this one's
  h.mark_ended("2026-12-10T11:00:05.000Z");
  EXPECT_EQ(h.finish("2026-12-10T11:00:09.000Z"), 5);
  EXPECT_TRUE(h.restore(5, kept));
  EXPECT_FALSE(h.restore(5, json::parse(R"({"calls":"none"})")));
  json r = h.record(5);
  ASSERT_EQ(r["calls"].size(), 4u) << r;
  EXPECT_EQ(r["calls"][0], json::parse(R"({"call":1,"time":"2026-12-10T11:00:00.000Z",)"
                                       R"("ended":"2026-12-10T11:00:05.000Z","outcome":"rejected",)"
                                       R"("by":"household","actions":["hangup"]})"));
  EXPECT_EQ(r["calls"][1]["time"], "2026-12-10T10:03:00.000Z");
  EXPECT_EQ(r["calls"][3]["time"], "2026-12-10T10:01:00.000Z");
  // Read back again (its own publication): nothing doubles.
  EXPECT_TRUE(h.restore(5, r));
  EXPECT_EQ(h.record(5), r);
  // Bounded: the oldest go.
  for (int c = 2; c < 40; ++c) {
    h.start(5, c,
            "2026-12-10T12:" + std::string(c < 10 ? "0" : "") + std::to_string(c) + ":00.000Z");
    h.finish("2026-12-10T13:00:00.000Z");
  }
  r = h.record(5);
  ASSERT_EQ(r["calls"].size(), kHistoryKept);
  EXPECT_EQ(r["calls"][0]["call"], 39);
  EXPECT_EQ(r["calls"][0]["by"], nullptr);
  EXPECT_EQ(r["calls"][0]["ended"], "2026-12-10T13:00:00.000Z");  // no drop came
  EXPECT_EQ(h.record(6), json::parse(R"({"room":6,"calls":[]})"));
}

}  // namespace
}  // namespace bridge
