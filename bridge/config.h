// The bridge's configuration: one TOML file. Every problem found is reported
// with the key it concerns, all of them at once, so that one run of
// --check-config is enough to mend a file.
#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "protocol/console.h"  // kRoomCount

namespace bridge {

enum class AnswerMode { kManual, kOpen, kReject };
const char* answer_mode_name(AnswerMode mode);
std::optional<AnswerMode> answer_mode_from(const std::string& text);

struct AnswerConfig {
  AnswerMode mode = AnswerMode::kManual;
  int pickup_after_ms = 1000;  // ringing, before the pick up (or the reject)
  int open_after_ms = 1000;    // picked up, before the door opens
  int hangup_after_ms = 2000;  // door opened, before the hang up
};

// One broker the bridge may connect to.
struct BrokerAddress {
  std::string host;
  int port = 1883;
  std::string text() const;  // as a log line names it: host:port, [v6]:port
};

struct Config {
  // [driver]
  std::vector<std::string> command;  // program and its own leading arguments
  int intercom = 0;
  std::optional<int> cycle_ms;
  std::optional<int> setup_mask;
  std::string working_directory = "/etc/zul-stm-driver";
  // The program's flight record (ZUL_RECORD): on by default, in the
  // service's state directory; the records of unplanned exits are kept there,
  // the newest `records_kept`.
  bool record = true;
  std::string record_directory;  // empty: $STATE_DIRECTORY, else /var/lib/zul-stm-mqtt
  int records_kept = 5;
  // [rooms]
  std::vector<int> imitate;
  std::vector<int> blacklist;
  // [mqtt]
  std::string host = "127.0.0.1";
  int port = 1883;
  // The brokers in the order they are tried: mqtt.hosts, or mqtt.host and
  // mqtt.port alone. A failed or lost connection moves on to the next.
  std::vector<BrokerAddress> brokers;
  std::string topic;
  std::string client_id;  // empty: derived from the topic
  std::string username;
  std::string password;  // read from password_file, never from this file
  std::string password_file;
  std::string ca_file, cert_file, key_file;
  bool tls_insecure = false;
  int keepalive_s = 30;
  int protocol = 4;  // 4 = MQTT 3.1.1, 5 = MQTT 5
  int queue_limit = 10000;
  // [homeassistant]
  bool discovery = true;
  std::string discovery_prefix = "homeassistant";
  std::string name = "Intercom";
  // The device's identity in Home Assistant; empty: from the base topic.
  std::string device_id;
  // A device of its own per imitated room, under BASE/room/N/homeassistant,
  // for the household's own Home Assistant.
  bool room_devices = false;
  // The origin's support URL in discovery (http or https); empty: none.
  std::string support_url;
  // [answer.N]
  std::map<int, AnswerConfig> answers;

  bool tls() const { return !ca_file.empty(); }
  bool imitated(int room) const;
  // A name safe in topics and identifiers: homeassistant.device_id, or the
  // base topic's.
  std::string node_id() const;
  // Where the program's flight record goes, and the kept ones.
  std::string record_dir() const;
  std::string record_path() const { return record_dir() + "/flight.rec"; }
};

// Parses TOML text; `origin` names the file in messages. Returns the problems
// found, each starting with its key ("mqtt.port: ..."); empty means valid.
std::vector<std::string> parse_config(const std::string& text, const std::string& origin,
                                      Config* out);
std::vector<std::string> load_config(const std::string& path, Config* out);

// The driver's words: command, then INTERCOM [CYCLE_MS [SETUP_MASK]].
std::vector<std::string> driver_argv(const Config& config);
// What the program reads first: the two room lists, each ended by -1.
std::string room_lists_text(const Config& config);

}  // namespace bridge
