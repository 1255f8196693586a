// The bridge's configuration: one TOML file. Every problem found is reported
// with the key it concerns, all of them at once, so that one run of
// --check-config is enough to mend a file.
#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "out/console_protocol.h"  // kRoomCount

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

struct Config {
  // [driver]
  std::vector<std::string> command;  // program and its own leading arguments
  int intercom = 0;
  std::optional<int> cycle_ms;
  std::optional<int> setup_mask;
  std::string working_directory = "/etc/zul-stm-driver";
  // [rooms]
  std::vector<int> imitate;
  std::vector<int> blacklist;
  // [mqtt]
  std::string host = "127.0.0.1";
  int port = 1883;
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
  // [answer.N]
  std::map<int, AnswerConfig> answers;

  bool tls() const { return !ca_file.empty(); }
  bool imitated(int room) const;
  // A name safe in topics and identifiers, from the base topic.
  std::string node_id() const;
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
