#include "bridge/json_text.h"
#include "bridge/discovery.h"

#include <nlohmann/json.hpp>

namespace bridge {

namespace {

using nlohmann::json;

struct Entities {
  const Config& config;
  json device;
  std::string node;
  std::vector<Message> out;

  json base(const std::string& object, const std::string& name) const {
    json j;
    j["name"] = name;
    j["unique_id"] = node + "_" + object;
    j["object_id"] = node + "_" + object;
    j["device"] = device;
    j["availability"] = json::array({{{"topic", config.topic + "/status"},
                                      {"payload_available", "online"},
                                      {"payload_not_available", "offline"}}});
    return j;
  }
  void add(const std::string& component, const std::string& object, const json& j) {
    out.push_back({config.discovery_prefix + "/" + component + "/" + node + "/" + object +
                       "/config",
                   json_text(j), 1, true});
  }
};

}  // namespace

std::vector<Message> discovery_messages(const Config& config, const std::string& sw_version) {
  Entities e{config, json::object(), config.node_id(), {}};
  e.device = {{"identifiers", json::array({"zul_stm_mqtt_" + e.node})},
              {"name", config.name},
              {"manufacturer", "zul_stm_driver"},
              {"model", "ZUL STM intercom shield"},
              {"sw_version", sw_version.empty() ? "unknown" : sw_version}};
  const std::string base = config.topic;

  json call = e.base("call", "Call");
  call["state_topic"] = base + "/event";
  call["event_types"] = json::array(
      {"dial", "pickup", "open", "drop", "openDetected", "common", "signal", "driver_exit"});
  call["value_template"] =
      "{{ {'event_type': value_json.event, 'room': value_json.room, 'call': value_json.call} "
      "| tojson }}";
  call["icon"] = "mdi:doorbell";
  e.add("event", "call", call);

  static const struct {
    const char* object;
    const char* name;
    const char* payload;
    const char* icon;
  } kButtons[] = {{"open", "Open door", "open", "mdi:door-open"},
                  {"pickup", "Pick up", "pickup", "mdi:phone"},
                  {"hangup", "Hang up", "hangup", "mdi:phone-hangup"},
                  {"relay0", "Relay 0", "relay0", "mdi:electric-switch"},
                  {"relay1", "Relay 1", "relay1", "mdi:electric-switch"},
                  {"relay2", "Relay 2", "relay2", "mdi:electric-switch"}};
  for (const auto& b : kButtons) {
    json button = e.base(b.object, b.name);
    button["command_topic"] = base + "/command";
    button["payload_press"] = b.payload;
    button["icon"] = b.icon;
    e.add("button", b.object, button);
  }

  json room = e.base("last_room", "Last dialled room");
  room["state_topic"] = base + "/call";
  room["value_template"] = "{{ value_json.room }}";
  room["icon"] = "mdi:door";
  e.add("sensor", "last_room", room);

  json active = e.base("call_active", "Call in progress");
  active["state_topic"] = base + "/call";
  active["value_template"] = "{{ 'ON' if value_json.state != 'idle' else 'OFF' }}";
  active["device_class"] = "occupancy";
  e.add("binary_sensor", "call_active", active);

  for (int r : config.imitate) {
    const std::string object = "answer_" + std::to_string(r);
    json select = e.base(object, "Answer room " + std::to_string(r));
    select["command_topic"] = base + "/answer/" + std::to_string(r) + "/set";
    select["state_topic"] = base + "/answer/" + std::to_string(r);
    select["value_template"] = "{{ value_json.mode }}";
    select["options"] = json::array({"manual", "open", "reject"});
    e.add("select", object, select);
  }
  return e.out;
}

}  // namespace bridge
