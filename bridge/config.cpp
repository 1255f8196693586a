#include "bridge/config.h"

#include <sys/stat.h>
#include <toml++/toml.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "bridge/topics.h"

namespace bridge {

const char* answer_mode_name(AnswerMode mode) {
  switch (mode) {
    case AnswerMode::kOpen:
      return "open";
    case AnswerMode::kReject:
      return "reject";
    case AnswerMode::kManual:
      break;
  }
  return "manual";
}

std::optional<AnswerMode> answer_mode_from(const std::string& text) {
  if (text == "manual") return AnswerMode::kManual;
  if (text == "open") return AnswerMode::kOpen;
  if (text == "reject") return AnswerMode::kReject;
  return std::nullopt;
}

bool Config::imitated(int room) const {
  for (int r : imitate) {
    if (r == room) return true;
  }
  return false;
}

std::string Config::node_id() const {
  std::string id;
  for (char c : device_id.empty() ? topic : device_id) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    id += plain ? c : '_';
  }
  return id;
}

std::string BrokerAddress::text() const {
  const std::string name = host.find(':') == std::string::npos ? host : "[" + host + "]";
  return name + ":" + std::to_string(port);
}

std::string Config::record_dir() const {
  if (!record_directory.empty()) return record_directory;
  // systemd's StateDirectory= names it; it may list several, colon-separated.
  const char* state = getenv("STATE_DIRECTORY");
  if (state && *state) {
    const std::string all = state;
    return all.substr(0, all.find(':'));
  }
  return "/var/lib/zul-stm-mqtt";
}

namespace {

// A key as a message names it: as TOML writes it, bare where it can be and
// quoted otherwise (the empty key, legal in TOML, as ""). Every message then
// starts with a key that reads back as one, even one holding a dot, a colon
// or a quote.
std::string key_text(const std::string& name) {
  static const char kBare[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";
  if (!name.empty() && name.find_first_not_of(kBare) == std::string::npos) {
    return name;
  }
  std::string out = "\"";
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04X", c);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

// Reads one table: each getter marks its key as known, and finish() names
// every key of the table that no getter asked for.
class Table {
 public:
  Table(const toml::table* table, std::string path, std::vector<std::string>* errors)
      : table_(table), path_(std::move(path)), errors_(errors) {}

  std::string key(const std::string& name) const {
    return path_.empty() ? key_text(name) : path_ + "." + key_text(name);
  }
  void error(const std::string& name, const std::string& text) const {
    errors_->push_back(key(name) + ": " + text);
  }
  // An element of an array, as name[i].
  void item_error(const std::string& name, size_t i, const std::string& text) const {
    errors_->push_back(key(name) + "[" + std::to_string(i) + "]: " + text);
  }
  const toml::node* node(const std::string& name, bool required) {
    known_.insert(name);
    const toml::node* found = table_ ? table_->get(name) : nullptr;
    if (!found && required) error(name, "missing (required)");
    return found;
  }

  void get_string(const std::string& name, std::string* out, bool required = false) {
    const toml::node* n = node(name, required);
    if (!n) return;
    if (auto v = n->value<std::string>(); v && n->is_string()) {
      *out = *v;
    } else {
      error(name, std::string("must be a string, not ") + type_name(*n));
    }
  }
  void get_bool(const std::string& name, bool* out) {
    const toml::node* n = node(name, false);
    if (!n) return;
    if (n->is_boolean()) {
      *out = *n->value<bool>();
    } else {
      error(name, std::string("must be true or false, not ") + type_name(*n));
    }
  }
  // Integers within [low, high]; true when the key was present and valid.
  bool get_int(const std::string& name, int* out, long long low, long long high,
               bool required = false) {
    const toml::node* n = node(name, required);
    if (!n) return false;
    if (!n->is_integer()) {
      error(name, std::string("must be an integer, not ") + type_name(*n));
      return false;
    }
    const long long v = *n->value<long long>();
    if (v < low || v > high) {
      error(name,
            std::to_string(v) + " is outside " + std::to_string(low) + ".." + std::to_string(high));
      return false;
    }
    *out = static_cast<int>(v);
    return true;
  }
  void get_rooms(const std::string& name, std::vector<int>* out) {
    const toml::node* n = node(name, false);
    if (!n) return;
    const toml::array* array = n->as_array();
    if (!array) {
      error(name, std::string("must be an array of room numbers, not ") + type_name(*n));
      return;
    }
    for (size_t i = 0; i < array->size(); ++i) {
      const toml::node& item = *array->get(i);
      if (!item.is_integer()) {
        item_error(name, i, std::string("must be a room number, not ") + type_name(item));
        continue;
      }
      const long long room = *item.value<long long>();
      if (room < 0 || room >= kRoomCount) {
        item_error(name, i, "room " + std::to_string(room) + " is outside 0..4095");
        continue;
      }
      out->push_back(static_cast<int>(room));
    }
  }
  void get_strings(const std::string& name, std::vector<std::string>* out, bool required) {
    const toml::node* n = node(name, required);
    if (!n) return;
    const toml::array* array = n->as_array();
    if (!array) {
      error(name, std::string("must be an array of strings, not ") + type_name(*n));
      return;
    }
    for (size_t i = 0; i < array->size(); ++i) {
      const toml::node& item = *array->get(i);
      if (!item.is_string()) {
        item_error(name, i, std::string("must be a string, not ") + type_name(item));
        continue;
      }
      out->push_back(*item.value<std::string>());
    }
    if (array->empty()) error(name, "must name the program");
  }

  void finish(const std::set<std::string>& also_known = {}) const {
    if (!table_) return;
    for (const auto& [name, value] : *table_) {
      const std::string text(name.str());
      if (!known_.count(text) && !also_known.count(text)) error(text, "unknown key");
    }
  }

  static const char* type_name(const toml::node& n) {
    switch (n.type()) {
      case toml::node_type::string:
        return "a string";
      case toml::node_type::integer:
        return "an integer";
      case toml::node_type::floating_point:
        return "a number with a fraction";
      case toml::node_type::boolean:
        return "a boolean";
      case toml::node_type::array:
        return "an array";
      case toml::node_type::table:
        return "a table";
      default:
        return "a date or time";
    }
  }

 private:
  const toml::table* table_;
  std::string path_;
  std::vector<std::string>* errors_;
  std::set<std::string> known_;
};

const toml::table* sub_table(const toml::table& root, const std::string& name,
                             std::vector<std::string>* errors) {
  const toml::node* n = root.get(name);
  if (!n) return nullptr;
  if (!n->is_table()) {
    errors->push_back(name + ": must be a table ([" + name + "])");
    return nullptr;
  }
  return n->as_table();
}

bool readable(const std::string& path, std::string* why) {
  std::ifstream in(path);
  if (!in) {
    *why = "cannot read " + path;
    return false;
  }
  return true;
}

void read_driver(const toml::table& root, Config* c, std::vector<std::string>* errors) {
  const toml::table* t = sub_table(root, "driver", errors);
  if (!t && !root.get("driver")) errors->push_back("driver: missing (required table [driver])");
  Table driver(t, "driver", errors);
  driver.get_strings("command", &c->command, true);
  driver.get_int("intercom", &c->intercom, 0, 255, true);
  int value = 0;
  if (driver.get_int("cycle_ms", &value, 0, 65535)) c->cycle_ms = value;
  if (driver.get_int("setup_mask", &value, 0, 255)) c->setup_mask = value;
  driver.get_string("working_directory", &c->working_directory);
  driver.get_bool("record", &c->record);
  driver.get_string("record_directory", &c->record_directory);
  if (t && t->get("record_directory") && c->record_directory.empty()) {
    driver.error("record_directory", "must not be empty");
  }
  driver.get_int("records_kept", &c->records_kept, 1, 1000);
  driver.finish();
}

void read_rooms(const toml::table& root, Config* c, std::vector<std::string>* errors) {
  Table rooms(sub_table(root, "rooms", errors), "rooms", errors);
  rooms.get_rooms("imitate", &c->imitate);
  rooms.get_rooms("blacklist", &c->blacklist);
  rooms.finish();
  for (int room : c->blacklist) {
    if (c->imitated(room)) {
      errors->push_back("rooms.blacklist: room " + std::to_string(room) +
                        " is also in rooms.imitate");
    }
  }
}

// One entry of mqtt.hosts: HOST, HOST:PORT, or an IPv6 address in brackets
// with or without :PORT. An entry without a port takes mqtt.port's. Empty
// `why` when it reads as one.
BrokerAddress broker_from(const std::string& entry, int default_port, std::string* why) {
  BrokerAddress broker{entry, default_port};
  std::string port_text;
  if (!entry.empty() && entry.front() == '[') {
    const size_t close = entry.find(']');
    if (close == std::string::npos || close == 1) {
      *why = "an IPv6 address in brackets has no closing ] or is empty";
      return broker;
    }
    broker.host = entry.substr(1, close - 1);
    const std::string rest = entry.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') {
      *why = "only :PORT may follow the brackets";
      return broker;
    }
    if (!rest.empty()) port_text = rest.substr(1);
    if (rest == ":") port_text = ":";
  } else if (std::count(entry.begin(), entry.end(), ':') > 1) {
    *why = "an IPv6 address goes in brackets, as [" + entry + "]:1883";
    return broker;
  } else if (const size_t colon = entry.find(':'); colon != std::string::npos) {
    broker.host = entry.substr(0, colon);
    port_text = entry.substr(colon + 1);
    if (port_text.empty()) port_text = ":";
  }
  if (broker.host.empty() || broker.host.find_first_of(" \t/") != std::string::npos) {
    *why = "not a broker (HOST or HOST:PORT)";
    return broker;
  }
  if (port_text == ":") {
    *why = "no port after the colon";
    return broker;
  }
  if (!port_text.empty()) {
    const bool digits =
        port_text.size() <= 5 && port_text.find_first_not_of("0123456789") == std::string::npos;
    const long port = digits ? std::stol(port_text) : 0;
    if (port < 1 || port > 65535) {
      *why = "port " + port_text + " is not a port number 1..65535";
      return broker;
    }
    broker.port = static_cast<int>(port);
  }
  return broker;
}

void read_brokers(const toml::table* t, Table* mqtt, Config* c) {
  const toml::node* n = mqtt->node("hosts", false);
  if (!n) {
    c->brokers = {{c->host, c->port}};
    return;
  }
  if (t->get("host")) mqtt->error("hosts", "give either mqtt.host or mqtt.hosts, not both");
  const toml::array* array = n->as_array();
  if (!array) {
    mqtt->error("hosts", std::string("must be an array of brokers (\"HOST:PORT\"), not ") +
                             Table::type_name(*n));
    return;
  }
  if (array->empty()) mqtt->error("hosts", "must name at least one broker");
  for (size_t i = 0; i < array->size(); ++i) {
    const toml::node& item = *array->get(i);
    if (!item.is_string()) {
      mqtt->item_error(
          "hosts", i,
          std::string("must be a string (\"HOST:PORT\"), not ") + Table::type_name(item));
      continue;
    }
    const std::string entry = *item.value<std::string>();
    std::string why;
    const BrokerAddress broker = broker_from(entry, c->port, &why);
    for (const BrokerAddress& before : c->brokers) {
      if (why.empty() && before.host == broker.host && before.port == broker.port) {
        why = "names " + broker.text() + " again";
      }
    }
    if (!why.empty()) {
      mqtt->item_error("hosts", i, "\"" + entry + "\": " + why);
      continue;
    }
    c->brokers.push_back(broker);
  }
  if (!c->brokers.empty()) {
    // The first broker is the one named where a single one is shown.
    c->host = c->brokers.front().host;
    c->port = c->brokers.front().port;
  }
}

void read_mqtt(const toml::table& root, Config* c, std::vector<std::string>* errors) {
  const toml::table* t = sub_table(root, "mqtt", errors);
  if (!t && !root.get("mqtt")) errors->push_back("mqtt: missing (required table [mqtt])");
  Table mqtt(t, "mqtt", errors);
  mqtt.get_string("host", &c->host);
  if (c->host.empty()) mqtt.error("host", "must not be empty");
  const bool port_given = mqtt.get_int("port", &c->port, 1, 65535);
  mqtt.get_string("topic", &c->topic, true);
  if (t && t->get("topic") && t->get("topic")->is_string()) {
    if (c->topic.empty() || c->topic.front() == '/' || c->topic.back() == '/' ||
        c->topic.find_first_of("+#") != std::string::npos) {
      mqtt.error("topic", "\"" + c->topic +
                              "\" is not a base topic (non-empty, no + or #, no leading or "
                              "trailing /)");
    }
  }
  mqtt.get_string("client_id", &c->client_id);
  mqtt.get_string("username", &c->username);
  mqtt.get_string("password_file", &c->password_file);
  if (t && t->get("password")) {
    mqtt.node("password", false);
    mqtt.error("password",
               "not allowed here: put the password in a file named by "
               "mqtt.password_file");
  }
  struct stat st {};
  if (!c->password_file.empty() && stat(c->password_file.c_str(), &st) == 0 &&
      (st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    // As ssh refuses a key others can read: a secret open to them is no
    // secret, and saying so beats using it.
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    mqtt.error("password_file", c->password_file + " is open to its group or others (mode " + mode +
                                    "); make it the owner's alone: chmod 600 " + c->password_file);
  } else if (!c->password_file.empty()) {
    std::ifstream in(c->password_file);
    if (!in) {
      mqtt.error("password_file", "cannot read " + c->password_file);
    } else {
      std::getline(in, c->password);
      if (c->username.empty()) mqtt.error("password_file", "needs mqtt.username");
    }
  }
  mqtt.get_int("keepalive", &c->keepalive_s, 5, 3600);
  std::string protocol = "3.1.1";
  mqtt.get_string("protocol", &protocol);
  if (protocol == "3.1.1") {
    c->protocol = 4;
  } else if (protocol == "5") {
    c->protocol = 5;
  } else {
    mqtt.error("protocol", "\"" + protocol + "\" is neither \"3.1.1\" nor \"5\"");
  }
  mqtt.get_int("queue_limit", &c->queue_limit, 10000, 1000000);

  const toml::table* tls_table = t ? sub_table(*t, "tls", errors) : nullptr;
  Table tls(tls_table, "mqtt.tls", errors);
  tls.get_string("ca_file", &c->ca_file);
  tls.get_string("cert_file", &c->cert_file);
  tls.get_string("key_file", &c->key_file);
  tls.get_bool("insecure", &c->tls_insecure);
  tls.finish();
  std::string why;
  for (const auto& [name, path] :
       {std::pair<const char*, const std::string&>{"ca_file", c->ca_file},
        {"cert_file", c->cert_file},
        {"key_file", c->key_file}}) {
    if (!path.empty() && !readable(path, &why)) tls.error(name, why);
  }
  if (tls_table && c->ca_file.empty()) tls.error("ca_file", "missing (required for TLS)");
  if (c->cert_file.empty() != c->key_file.empty()) {
    tls.error(c->cert_file.empty() ? "cert_file" : "key_file",
              "cert_file and key_file go together");
  }
  if (tls_table && !port_given) c->port = 8883;
  read_brokers(t, &mqtt, c);
  mqtt.finish({"tls"});
}

bool t_has(const toml::table& root, const char* table, const char* key) {
  const toml::node* t = root.get(table);
  return t && t->is_table() && t->as_table()->get(key);
}

void read_homeassistant(const toml::table& root, Config* c, std::vector<std::string>* errors) {
  Table ha(sub_table(root, "homeassistant", errors), "homeassistant", errors);
  ha.get_bool("discovery", &c->discovery);
  ha.get_string("prefix", &c->discovery_prefix);
  if (c->discovery_prefix.empty() || c->discovery_prefix.find_first_of("+#") != std::string::npos) {
    ha.error("prefix", "\"" + c->discovery_prefix + "\" is not a topic prefix");
  }
  ha.get_string("name", &c->name);
  ha.get_string("device_id", &c->device_id);
  if (t_has(root, "homeassistant", "device_id") && c->device_id.empty()) {
    ha.error("device_id", "must not be empty");
  }
  ha.get_bool("room_devices", &c->room_devices);
  ha.get_string("support_url", &c->support_url);
  if (!c->support_url.empty() && c->support_url.rfind("http://", 0) != 0 &&
      c->support_url.rfind("https://", 0) != 0) {
    ha.error("support_url", "\"" + c->support_url + "\" is not an http:// or https:// URL");
  }
  ha.finish();
}

void read_answers(const toml::table& root, Config* c, std::vector<std::string>* errors) {
  const toml::table* answers = sub_table(root, "answer", errors);
  if (!answers) return;
  for (const auto& [name, node] : *answers) {
    const std::string text(name.str());
    const std::string path = "answer." + key_text(text);
    // Spelled as in the room's topics: [answer.07] would name a room no
    // topic BASE/answer/07 ever reaches.
    const int room = room_of_level(text);
    if (room < 0) {
      errors->push_back(path + ": \"" + text + "\" is not a room number 0..4095");
      continue;
    }
    if (!node.is_table()) {
      errors->push_back(path + ": must be a table ([" + path + "])");
      continue;
    }
    if (!c->imitated(room)) {
      errors->push_back(path + ": room " + text + " is not in rooms.imitate");
    }
    AnswerConfig answer;
    Table t(node.as_table(), path, errors);
    std::string mode = "manual";
    t.get_string("mode", &mode);
    if (auto m = answer_mode_from(mode)) {
      answer.mode = *m;
    } else {
      t.error("mode", "\"" + mode + "\" is none of manual, open, reject");
    }
    constexpr int kMaxWaitMs = 600000;
    t.get_int("pickup_after_ms", &answer.pickup_after_ms, 0, kMaxWaitMs);
    t.get_int("open_after_ms", &answer.open_after_ms, 0, kMaxWaitMs);
    t.get_int("hangup_after_ms", &answer.hangup_after_ms, 0, kMaxWaitMs);
    t.finish();
    c->answers[room] = answer;
  }
}

}  // namespace

std::vector<std::string> parse_config(const std::string& text, const std::string& origin,
                                      Config* out) {
  std::vector<std::string> errors;
  toml::table root;
  try {
    root = toml::parse(text, origin);
  } catch (const toml::parse_error& e) {
    std::ostringstream message;
    message << origin << ":" << e.source().begin.line << ":" << e.source().begin.column
            << ": not valid TOML: " << e.description();
    errors.push_back(message.str());
    return errors;
  }
  Config c;
  read_driver(root, &c, &errors);
  read_rooms(root, &c, &errors);
  read_mqtt(root, &c, &errors);
  read_homeassistant(root, &c, &errors);
  read_answers(root, &c, &errors);
  for (const auto& [name, node] : root) {
    const std::string key(name.str());
    if (key != "driver" && key != "rooms" && key != "mqtt" && key != "homeassistant" &&
        key != "answer") {
      errors.push_back(key_text(key) + ": unknown key");
    }
  }
  if (c.client_id.empty()) c.client_id = "zul_stm_mqtt_" + c.node_id();
  *out = c;
  return errors;
}

std::vector<std::string> load_config(const std::string& path, Config* out) {
  std::ifstream in(path);
  if (!in) return {path + ": cannot read the file"};
  std::ostringstream text;
  text << in.rdbuf();
  return parse_config(text.str(), path, out);
}

std::vector<std::string> driver_argv(const Config& config) {
  std::vector<std::string> argv = config.command;
  argv.push_back(std::to_string(config.intercom));
  if (config.cycle_ms || config.setup_mask)
    argv.push_back(std::to_string(config.cycle_ms.value_or(0)));
  if (config.setup_mask) argv.push_back(std::to_string(*config.setup_mask));
  return argv;
}

std::string room_lists_text(const Config& config) {
  std::string text;
  for (int room : config.imitate) text += std::to_string(room) + " ";
  text += "-1\n";
  for (int room : config.blacklist) text += std::to_string(room) + " ";
  return text + "-1\n";
}

}  // namespace bridge
