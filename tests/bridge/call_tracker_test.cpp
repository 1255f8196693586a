#include "bridge/call_tracker.h"

#include <gtest/gtest.h>

namespace {

using bridge::Action;
using bridge::CallState;
using bridge::CallTracker;
using bridge::Config;
using bridge::parse_program_line;

Config rooms_config() {
  Config c;
  c.imitate = {5, 6};
  c.blacklist = {9};
  return c;
}

class CallTrackerTest : public testing::Test {
 protected:
  void line(const char* text) { tracker.on_line(parse_program_line(text)); }
  Config config = rooms_config();
  CallTracker tracker{config};
};

TEST_F(CallTrackerTest, AnImitatedCallIsPickedUpOpenedAndHungUp) {
  line("dial 5");
  EXPECT_EQ(tracker.state(), CallState::kRinging);
  EXPECT_EQ(tracker.call_json().dump(),
            R"({"call":1,"room":5,"route":"imitated","state":"ringing"})");
  auto d = tracker.decide(Action::kPickup, 0);
  EXPECT_TRUE(d.accepted);
  EXPECT_EQ(d.code, 1);
  EXPECT_EQ(tracker.call_json()["by"], "imitation");
  d = tracker.decide(Action::kPickup, 0);
  EXPECT_FALSE(d.accepted);
  EXPECT_EQ(d.reason, "the call is already answered");
  d = tracker.decide(Action::kOpen, 0);
  EXPECT_TRUE(d.accepted);
  EXPECT_EQ(d.code, 2);
  EXPECT_EQ(tracker.state(), CallState::kAnswered);
  d = tracker.decide(Action::kHangup, 0);
  EXPECT_TRUE(d.accepted);
  EXPECT_EQ(d.code, 3);
  EXPECT_EQ(tracker.state(), CallState::kIdle);
  d = tracker.decide(Action::kHangup, 0);
  EXPECT_FALSE(d.accepted);
  EXPECT_EQ(d.reason, "no call is in progress");
}

TEST_F(CallTrackerTest, NothingButARingingImitatedCallIsPickedUp) {
  auto d = tracker.decide(Action::kPickup, 0);
  EXPECT_FALSE(d.accepted);
  EXPECT_EQ(d.reason, "no call is ringing");
  line("dial 7");
  d = tracker.decide(Action::kPickup, 0);
  EXPECT_FALSE(d.accepted);
  EXPECT_EQ(d.reason, "the call to room 7 belongs to a real handset");
  line("dial 9");
  d = tracker.decide(Action::kPickup, 0);
  EXPECT_FALSE(d.accepted);
  EXPECT_EQ(d.reason, "the program rejects the call to blacklisted room 9 itself");
}

TEST_F(CallTrackerTest, OpeningARingingCallEndsIt) {
  line("dial 6");
  const auto d = tracker.decide(Action::kOpen, 0);
  EXPECT_TRUE(d.accepted);
  EXPECT_EQ(tracker.state(), CallState::kIdle);
}

TEST_F(CallTrackerTest, TheDoorOpensWithNoCall) {
  const auto d = tracker.decide(Action::kOpen, 0);
  EXPECT_TRUE(d.accepted);
  EXPECT_EQ(d.code, 2);
}

TEST_F(CallTrackerTest, RelaysPulseInEveryState) {
  for (int relay = 0; relay <= 2; ++relay) {
    EXPECT_EQ(tracker.decide(Action::kRelay, relay).code, 20 + relay);
  }
  line("dial 7");
  EXPECT_TRUE(tracker.decide(Action::kRelay, 1).accepted);
  EXPECT_EQ(tracker.state(), CallState::kRinging);
}

TEST_F(CallTrackerTest, ARealHandsetCallIsFollowedFromItsEvents) {
  line("dial 7");
  line("pickup");
  EXPECT_EQ(tracker.call_json().dump(),
            R"({"by":"handset","call":1,"room":7,"route":"real","state":"answered"})");
  EXPECT_FALSE(tracker.decide(Action::kHangup, 0).accepted);
  line("open");
  line("drop");
  EXPECT_EQ(tracker.state(), CallState::kIdle);
  EXPECT_EQ(*tracker.call_id(), 1);
}

TEST_F(CallTrackerTest, EveryDialIsANewCallAndRoomsBeyondTheTableAreReal) {
  line("dial 5");
  line("drop");
  line("dial 65535");
  EXPECT_EQ(*tracker.call_id(), 2);
  EXPECT_STREQ(bridge::route_name(tracker.route()), "real");
  line("dial 4095");
  EXPECT_EQ(*tracker.call_id(), 3);
}

TEST_F(CallTrackerTest, EventsCarryTheCallTheyBelongTo) {
  nlohmann::json before = nlohmann::json::object();
  tracker.add_call_fields(&before);
  EXPECT_TRUE(before["call"].is_null());
  line("dial 6");
  nlohmann::json event = {{"event", "openDetected"}};
  tracker.add_call_fields(&event);
  EXPECT_EQ(event["call"], 1);
  EXPECT_EQ(event["room"], 6);
}

TEST_F(CallTrackerTest, ARestartedProgramHasNoCall) {
  line("dial 5");
  tracker.on_program_start();
  EXPECT_EQ(tracker.state(), CallState::kIdle);
  EXPECT_FALSE(tracker.decide(Action::kPickup, 0).accepted);
}

}  // namespace
