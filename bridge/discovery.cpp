#include "bridge/discovery.h"

#include <nlohmann/json.hpp>

#include "bridge/json_text.h"
#include "bridge/topics.h"
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

struct Button {
  const char* object;  // and the word it sends
  const char* name;
  const char* icon;
};

// The entrance's relays are the operator's alone.
constexpr Button kEntranceButtons[] = {
    {"open", "Open door", "mdi:door-open"},       {"pickup", "Pick up", "mdi:phone"},
    {"hangup", "Hang up", "mdi:phone-hangup"},    {"relay0", "Relay 0", "mdi:electric-switch"},
    {"relay1", "Relay 1", "mdi:electric-switch"}, {"relay2", "Relay 2", "mdi:electric-switch"}};
constexpr Button kRoomButtons[] = {{"open", "Open door", "mdi:door-open"},
                                   {"pickup", "Pick up", "mdi:phone"},
                                   {"hangup", "Hang up", "mdi:phone-hangup"}};

json call_event_types() {
  json types = json::array();
  for (const char* e : kCallEvents) types.push_back(e);
  return types;
}

struct Device {
  std::string prefix;  // discovery prefix
  std::string node;    // node id: topics, unique ids and entity ids
  json device;
  json origin;
  // The bridge's status topic, when it is readable by the device's users.
  std::string status_topic;
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
    if (!status_topic.empty()) {
      j["availability"] = json::array({{{"topic", status_topic},
                                        {"payload_available", "online"},
                                        {"payload_not_available", "offline"}}});
    }
    return j;
  }
  void add(const std::string& component, const std::string& object, const json& j) const {
    out->push_back(
        {Topics::discovery_config(prefix, component, node, object), json_text(j), 1, true});
  }
  void call_event(const std::string& state_topic, const json& event_types) const {
    json call = base("event", "call", "Call");
    call["state_topic"] = state_topic;
    call["event_types"] = event_types;
    call["value_template"] = kEventTemplate;
    call["device_class"] = "doorbell";
    add("event", "call", call);
  }
  template <size_t N>
  void buttons(const std::string& command_topic, const Button (&list)[N]) const {
    for (const Button& b : list) {
      json button = base("button", b.object, b.name);
      button["command_topic"] = command_topic;
      button["payload_press"] = b.object;
      button["icon"] = b.icon;
      add("button", b.object, button);
    }
  }
  // No device class: "occupancy" would bring a call into presence automations.
  void call_active(const std::string& call_topic) const {
    json active = base("binary_sensor", "call_active", "Call in progress");
    active["state_topic"] = call_topic;
    active["value_template"] = "{{ 'ON' if value_json.state != 'idle' else 'OFF' }}";
    active["icon"] = "mdi:phone-in-talk";
    add("binary_sensor", "call_active", active);
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

Device device_of(const Config& config, const std::string& sw_version, const std::string& prefix,
                 const std::string& node, const std::string& name, const std::string& model,
                 std::vector<Message>* out) {
  json origin = {{"name", "zul_stm_mqtt"}, {"sw_version", sw_version}};
  if (!config.support_url.empty()) origin["support_url"] = config.support_url;
  return {prefix,
          node,
          {{"identifiers", json::array({"zul_stm_mqtt_" + node})},
           {"name", name},
           {"manufacturer", "zul_stm_driver"},
           {"model", model},
           {"sw_version", sw_version}},
          origin,
          "",
          out};
}

void last_room(const Device& d, const Topics& t) {
  json room = d.base("sensor", "last_room", "Last dialled room");
  room["state_topic"] = t.call();
  // No room yet (a start before the first dial): the sensor keeps what it
  // showed, rather than the text "None".
  room["value_template"] =
      "{{ value_json.room if value_json.get('room') is not none else this.state }}";
  room["icon"] = "mdi:door";
  d.add("sensor", "last_room", room);
}

void answer_select(const Device& d, const Topics& t, int room) {
  const std::string object = "answer_" + std::to_string(room);
  json select = d.base("select", object, "Answer room " + std::to_string(room));
  select["command_topic"] = t.answer_set(room);
  select["state_topic"] = t.answer(room);
  select["value_template"] = "{{ value_json.mode }}";
  select["options"] = json::array({"manual", "open", "reject"});
  d.add("select", object, select);
}

// What an installer looks at when the door does not answer.
void diagnostics(const Device& d, const Topics& t) {
  json program = d.base("sensor", "program", "Program");
  program["state_topic"] = t.health();
  program["value_template"] = "{{ value_json.program }}";
  program["json_attributes_topic"] = t.health();
  program["device_class"] = "enum";
  program["options"] = json::array({"starting", "running", "restarting"});
  program["entity_category"] = "diagnostic";
  program["icon"] = "mdi:cog";
  d.add("sensor", "program", program);
  d.diagnostic("firmware", "Firmware", t.info(), "{{ value_json.get('firmware') }}", "mdi:chip");
  d.diagnostic("shield", "Shield", t.info(), "{{ value_json.get('shield') }}",
               "mdi:expansion-card");
  d.diagnostic("restarts", "Program restarts", t.health(), "{{ value_json.restarts }}",
               "mdi:restart");
  d.diagnostic("events_waiting", "Events waiting for the broker", t.health(),
               "{{ value_json.waiting }}", "mdi:tray-full");
}

void entrance(const Config& config, const std::string& sw_version, std::vector<Message>* out) {
  const Topics t(config);
  Device d = device_of(config, sw_version, config.discovery_prefix, config.node_id(), config.name,
                       "ZUL STM intercom shield", out);
  d.status_topic = t.status();
  json types = call_event_types();
  types.push_back("signal");
  types.push_back("driver_exit");
  d.call_event(t.event(), types);
  d.buttons(t.command(), kEntranceButtons);
  last_room(d, t);
  d.call_active(t.call());
  for (int r : config.imitate) answer_select(d, t, r);
  diagnostics(d, t);
}

// A household's door: read and pressed through BASE/room/N/ alone, which is
// all its broker user may reach; the bridge's status is not among it.
void household(const Config& config, const std::string& sw_version, int room,
               std::vector<Message>* out) {
  const Topics t(config);
  const Device d = device_of(config, sw_version, t.room_discovery_prefix(room),
                             config.node_id() + "_room_" + std::to_string(room),
                             config.name + " room " + std::to_string(room),
                             "ZUL STM intercom shield, one room", out);
  d.call_event(t.room_event(room), call_event_types());
  d.buttons(t.room_command(room), kRoomButtons);
  d.call_active(t.room_call(room));
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
  const Topics t(config);
  return {t.stale_discovery_filter(), t.stale_room_discovery_filter(), t.stale_room_call_filter(),
          t.stale_answer_filter(),    t.stale_room_answer_filter(),    t.room_history_filter()};
}

}  // namespace bridge
