#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

#include "bridge/discovery.h"
#include "bridge/outbox.h"

namespace {

using bridge::Message;
using bridge::Outbox;

TEST(Outbox, KeepsOrderAndHandsOnAFewAtATime) {
  Outbox box(10000);
  for (int i = 0; i < 5; ++i) box.push({"t", std::to_string(i), 1, false});
  std::vector<std::string> out;
  while (auto m = box.next(3)) {
    out.push_back(m->payload);
    box.sent();
  }
  EXPECT_EQ(out, (std::vector<std::string>{"0", "1", "2"}));
  box.acknowledged();
  auto m = box.next(3);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->payload, "3");
  box.unget(*m);
  EXPECT_EQ(box.next(3)->payload, "3");
}

TEST(Outbox, TheOldestGiveWayWhenFullAndAreCounted) {
  Outbox box(10000);
  for (int i = 0; i < 10005; ++i) box.push({"t", std::to_string(i), 1, false});
  EXPECT_EQ(box.waiting(), 10000u);
  EXPECT_EQ(box.dropped(), 5u);
  EXPECT_EQ(box.next(1)->payload, "5");
}

TEST(Discovery, OneDeviceWithEveryEntity) {
  bridge::Config c;
  c.topic = "zul/e1";
  c.imitate = {5, 6};
  c.name = "Entrance 1";
  const auto messages = bridge::discovery_messages(c, "1.22");
  std::set<std::string> topics, ids;
  for (const Message& m : messages) {
    EXPECT_TRUE(m.retain) << m.topic;
    topics.insert(m.topic);
    const auto j = nlohmann::json::parse(m.payload);
    ids.insert(j["unique_id"].get<std::string>());
    EXPECT_EQ(j["availability"][0]["topic"], "zul/e1/status") << m.topic;
    EXPECT_EQ(j["device"]["identifiers"][0], "zul_stm_mqtt_zul_e1");
    EXPECT_EQ(j["device"]["name"], "Entrance 1");
    EXPECT_EQ(j["device"]["sw_version"], "1.22");
    EXPECT_TRUE(j["device"].contains("model"));
  }
  const std::set<std::string> expected = {
      "homeassistant/event/zul_e1/call/config",
      "homeassistant/button/zul_e1/open/config",
      "homeassistant/button/zul_e1/pickup/config",
      "homeassistant/button/zul_e1/hangup/config",
      "homeassistant/button/zul_e1/relay0/config",
      "homeassistant/button/zul_e1/relay1/config",
      "homeassistant/button/zul_e1/relay2/config",
      "homeassistant/sensor/zul_e1/last_room/config",
      "homeassistant/binary_sensor/zul_e1/call_active/config",
      "homeassistant/select/zul_e1/answer_5/config",
      "homeassistant/select/zul_e1/answer_6/config",
  };
  EXPECT_EQ(topics, expected);
  EXPECT_EQ(ids.size(), messages.size());
  for (const Message& m : messages) {
    if (m.topic.find("/select/") != std::string::npos && m.topic.find("answer_6") != std::string::npos) {
      const auto j = nlohmann::json::parse(m.payload);
      EXPECT_EQ(j["command_topic"], "zul/e1/answer/6/set");
      EXPECT_EQ(j["state_topic"], "zul/e1/answer/6");
      EXPECT_EQ(j["options"], nlohmann::json::array({"manual", "open", "reject"}));
    }
    if (m.topic.find("/button/") != std::string::npos) {
      EXPECT_EQ(nlohmann::json::parse(m.payload)["command_topic"], "zul/e1/command");
    }
  }
}

}  // namespace
