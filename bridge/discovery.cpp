#include "bridge/discovery.h"

#include <nlohmann/json.hpp>

#include "bridge/json_text.h"
#include "protocol/console.h"

namespace bridge {

namespace {

using nlohmann::json;

// The events of a call; the entrance's device adds the bridge's own.
const auto& kCallEvents = kCallEventLines;

// Every event fires: a key that an event lacks (no room before the first
// dial, no route but on a dial) renders as null through get(), where a plain
// attribute would be undefined, which tojson cannot write, and Home
// Assistant would drop the event with a warning.
const char kEventTemplate[] =
    "{{ {'event_type': value_json.event, 'room': value_json.get('room'), "
    "'call': value_json.get('call'), 'route': value_json.get('route')} | tojson }}";

struct Device {
  const Config& config;
  std::string prefix;  // discovery prefix
  std::string node;    // node id: topics, unique ids and entity ids
  json device;
  json origin;
  bool available_by_status;  // the bridge's status topic is readable by its users
  std::vector<Message>* out;

  json base(const std::string& component, const std::string& object,
            const std::string& name) const {
    json j;
    j["name"] = name;
    j["unique_id"] = node + "_" + object;
    // Entity ids that do not hang on the names Home Assistant shows.
    j["default_entity_id"] = component + "." + node + "_" + object;
    j["device"] = device;
    j["o"] = origin;
    if (available_by_status) {
      j["availability"] = json::array({{{"topic", config.topic + "/status"},
                                        {"payload_available", "online"},
                                        {"payload_not_available", "offline"}}});
    }
    return j;
  }
  void add(const std::string& component, const std::string& object, const json& j) const {
    out->push_back(
        {prefix + "/" + component + "/" + node + "/" + object + "/config", json_text(j), 1, true});
  }
  void diagnostic(const std::string& object, const std::string& name, const std::string& topic,
                  const std::string& value_template, const std::string& icon) const {
    json j = base("sensor", object, name);
    j["state_topic"] = topic;
    j["value_template"] = value_template;
    j["entity_category"] = "diagnostic";
    j["icon"] = icon;
    add("sensor", object, j);
  }
};

json origin_of(const Config& config, const std::string& sw_version) {
  json o = {{"name", "zul_stm_mqtt"}, {"sw_version", sw_version}};
  if (!config.support_url.empty()) o["support_url"] = config.support_url;
  return o;
}

void entrance(const Config& config, const std::string& sw_version, std::vector<Message>* out) {
  Device d{config, config.discovery_prefix,       config.node_id(),
           {},     origin_of(config, sw_version), true,
           out};
  d.device = {{"identifiers", json::array({"zul_stm_mqtt_" + d.node})},
              {"name", config.name},
              {"manufacturer", "zul_stm_driver"},
              {"model", "ZUL STM intercom shield"},
              {"sw_version", sw_version}};
  const std::string base = config.topic;

  json call = d.base("event", "call", "Call");
  call["state_topic"] = base + "/event";
  json types = json::array();
  for (const char* e : kCallEvents) types.push_back(e);
  types.push_back("signal");
  types.push_back("driver_exit");
  call["event_types"] = types;
  call["value_template"] = kEventTemplate;
  call["device_class"] = "doorbell";
  d.add("event", "call", call);

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
    json button = d.base("button", b.object, b.name);
    button["command_topic"] = base + "/command";
    button["payload_press"] = b.payload;
    button["icon"] = b.icon;
    d.add("button", b.object, button);
  }

  json room = d.base("sensor", "last_room", "Last dialled room");
  room["state_topic"] = base + "/call";
  // No room yet (a start before the first dial): the sensor keeps what it
  // showed, rather than the text "None".
  room["value_template"] =
      "{{ value_json.room if value_json.get('room') is not none else this.state }}";
  room["icon"] = "mdi:door";
  d.add("sensor", "last_room", room);

  // No device class: "occupancy" would bring a call into presence automations.
  json active = d.base("binary_sensor", "call_active", "Call in progress");
  active["state_topic"] = base + "/call";
  active["value_template"] = "{{ 'ON' if value_json.state != 'idle' else 'OFF' }}";
  active["icon"] = "mdi:phone-in-talk";
  d.add("binary_sensor", "call_active", active);

  for (int r : config.imitate) {
    const std::string object = "answer_" + std::to_string(r);
    json select = d.base("select", object, "Answer room " + std::to_string(r));
    select["command_topic"] = base + "/answer/" + std::to_string(r) + "/set";
    select["state_topic"] = base + "/answer/" + std::to_string(r);
    select["value_template"] = "{{ value_json.mode }}";
    select["options"] = json::array({"manual", "open", "reject"});
    d.add("select", object, select);
  }

  // Diagnostics: what an installer looks at when the door does not answer.
  json program = d.base("sensor", "program", "Program");
  program["state_topic"] = base + "/health";
  program["value_template"] = "{{ value_json.program }}";
  program["json_attributes_topic"] = base + "/health";
  program["device_class"] = "enum";
  program["options"] = json::array({"starting", "running", "restarting"});
  program["entity_category"] = "diagnostic";
  program["icon"] = "mdi:cog";
  d.add("sensor", "program", program);
  d.diagnostic("firmware", "Firmware", base + "/info", "{{ value_json.get('firmware') }}",
               "mdi:chip");
  d.diagnostic("shield", "Shield", base + "/info", "{{ value_json.get('shield') }}",
               "mdi:expansion-card");
  d.diagnostic("restarts", "Program restarts", base + "/health", "{{ value_json.restarts }}",
               "mdi:restart");
  d.diagnostic("events_waiting", "Events waiting for the broker", base + "/health",
               "{{ value_json.waiting }}", "mdi:tray-full");
}

// A household's door: read and pressed through BASE/room/N/ alone, which is
// all its broker user may reach; the bridge's status is not among it.
void household(const Config& config, const std::string& sw_version, int room,
               std::vector<Message>* out) {
  const std::string rbase = config.topic + "/room/" + std::to_string(room);
  Device d{
      config, rbase + "/homeassistant",      config.node_id() + "_room_" + std::to_string(room),
      {},     origin_of(config, sw_version), false,
      out};
  d.device = {{"identifiers", json::array({"zul_stm_mqtt_" + d.node})},
              {"name", config.name + " room " + std::to_string(room)},
              {"manufacturer", "zul_stm_driver"},
              {"model", "ZUL STM intercom shield, one room"},
              {"sw_version", sw_version}};
  json call = d.base("event", "call", "Call");
  call["state_topic"] = rbase + "/event";
  call["event_types"] = json::array();
  for (const char* e : kCallEvents) call["event_types"].push_back(e);
  call["value_template"] = kEventTemplate;
  call["device_class"] = "doorbell";
  d.add("event", "call", call);
  static const struct {
    const char* object;
    const char* name;
    const char* icon;
  } kButtons[] = {{"open", "Open door", "mdi:door-open"},
                  {"pickup", "Pick up", "mdi:phone"},
                  {"hangup", "Hang up", "mdi:phone-hangup"}};
  for (const auto& b : kButtons) {
    json button = d.base("button", b.object, b.name);
    button["command_topic"] = rbase + "/command";
    button["payload_press"] = b.object;
    button["icon"] = b.icon;
    d.add("button", b.object, button);
  }
  json active = d.base("binary_sensor", "call_active", "Call in progress");
  active["state_topic"] = rbase + "/call";
  active["value_template"] = "{{ 'ON' if value_json.state != 'idle' else 'OFF' }}";
  active["icon"] = "mdi:phone-in-talk";
  d.add("binary_sensor", "call_active", active);
}

}  // namespace

std::vector<Message> discovery_messages(const Config& config, const std::string& sw_version) {
  std::vector<Message> out;
  if (!config.discovery) return out;
  entrance(config, sw_version, &out);
  if (config.room_devices) {
    for (int r : config.imitate) household(config, sw_version, r, &out);
  }
  return out;
}

std::vector<std::string> stale_patterns(const Config& config) {
  return {config.discovery_prefix + "/+/" + config.node_id() + "/+/config",
          config.topic + "/room/+/homeassistant/+/+/+/config", config.topic + "/room/+/call",
          config.topic + "/answer/+"};
}

}  // namespace bridge
