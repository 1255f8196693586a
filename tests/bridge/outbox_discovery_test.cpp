#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>

#include "bridge/discovery.h"
#include "bridge/outbox.h"
#include "bridge/service.h"

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
    // Entity ids from the stable node, not from names; the origin named.
    EXPECT_FALSE(j.contains("object_id")) << m.topic;
    const std::string component = m.topic.substr(14, m.topic.find('/', 14) - 14);
    EXPECT_EQ(j["default_entity_id"], component + "." + j["unique_id"].get<std::string>());
    EXPECT_EQ(j["o"], nlohmann::json::parse(R"({"name":"zul_stm_mqtt","sw_version":"1.22"})"));
    EXPECT_NE(j.value("device_class", ""), "occupancy") << m.topic;
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
      "homeassistant/sensor/zul_e1/program/config",
      "homeassistant/sensor/zul_e1/firmware/config",
      "homeassistant/sensor/zul_e1/shield/config",
      "homeassistant/sensor/zul_e1/restarts/config",
      "homeassistant/sensor/zul_e1/events_waiting/config",
  };
  EXPECT_EQ(topics, expected);
  EXPECT_EQ(ids.size(), messages.size());
  for (const Message& m : messages) {
    if (m.topic.find("/select/") != std::string::npos &&
        m.topic.find("answer_6") != std::string::npos) {
      const auto j = nlohmann::json::parse(m.payload);
      EXPECT_EQ(j["command_topic"], "zul/e1/answer/6/set");
      EXPECT_EQ(j["state_topic"], "zul/e1/answer/6");
      EXPECT_EQ(j["options"], nlohmann::json::array({"manual", "open", "reject"}));
    }
    if (m.topic.find("/button/") != std::string::npos) {
      EXPECT_EQ(nlohmann::json::parse(m.payload)["command_topic"], "zul/e1/command");
    }
    const auto j = nlohmann::json::parse(m.payload);
    const bool diagnostic = j.value("entity_category", "") == "diagnostic";
    EXPECT_EQ(diagnostic, m.topic.find("/sensor/") != std::string::npos &&
                              m.topic.find("last_room") == std::string::npos)
        << m.topic;
    if (m.topic.find("/event/") != std::string::npos) {
      EXPECT_EQ(j["device_class"], "doorbell");
      EXPECT_EQ(j["event_types"].size(), 8u);
    }
  }
}

TEST(Discovery, TheDeviceStaysTheSameWhenTheTopicChangesAndItsIdIsSet) {
  bridge::Config c;
  c.topic = "zul/e1";
  c.device_id = "entrance-1";
  const auto before = bridge::discovery_messages(c, "1.22");
  c.topic = "building/north/entrance-1";
  const auto after = bridge::discovery_messages(c, "1.22");
  ASSERT_EQ(before.size(), after.size());
  for (size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(before[i].topic, after[i].topic);
    const auto a = nlohmann::json::parse(before[i].payload);
    const auto b = nlohmann::json::parse(after[i].payload);
    EXPECT_EQ(a["unique_id"], b["unique_id"]);
    EXPECT_EQ(a["device"], b["device"]);
    EXPECT_EQ(a["default_entity_id"], b["default_entity_id"]);
  }
  EXPECT_EQ(nlohmann::json::parse(after[0].payload)["device"]["identifiers"][0],
            "zul_stm_mqtt_entrance_1");
  c.discovery = false;
  EXPECT_TRUE(bridge::discovery_messages(c, "1.22").empty());
}

TEST(Discovery, EachRoomsDeviceLivesUnderThatRoomsTopics) {
  bridge::Config c;
  c.topic = "zul/e1";
  c.imitate = {5, 6};
  c.room_devices = true;
  c.support_url = "https://example.org/zul";
  std::set<std::string> room5;
  for (const Message& m : bridge::discovery_messages(c, "1.22")) {
    const auto j = nlohmann::json::parse(m.payload);
    EXPECT_EQ(j["o"]["support_url"], "https://example.org/zul");
    if (m.topic.rfind("zul/e1/room/5/", 0) != 0) continue;
    room5.insert(m.topic);
    // Nothing a household's broker user cannot read or write.
    EXPECT_FALSE(j.contains("availability")) << m.topic;
    for (const char* key : {"state_topic", "command_topic"}) {
      if (j.contains(key)) {
        EXPECT_EQ(j[key].get<std::string>().rfind("zul/e1/room/5/", 0), 0u);
      }
    }
    EXPECT_EQ(j["device"]["identifiers"][0], "zul_stm_mqtt_zul_e1_room_5");
  }
  EXPECT_EQ(room5, (std::set<std::string>{
                       "zul/e1/room/5/homeassistant/event/zul_e1_room_5/call/config",
                       "zul/e1/room/5/homeassistant/button/zul_e1_room_5/open/config",
                       "zul/e1/room/5/homeassistant/button/zul_e1_room_5/pickup/config",
                       "zul/e1/room/5/homeassistant/button/zul_e1_room_5/hangup/config",
                       "zul/e1/room/5/homeassistant/binary_sensor/zul_e1_room_5/call_active/config",
                   }));
}

}  // namespace
