#include "e2e_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace bridge_test {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

// posix_spawn, not fork: this process runs the probes' MQTT threads, and a
// forked child of a threaded process may only call async-signal-safe
// functions until it execs; posix_spawn does the redirections and the exec
// itself, without copying the address space.
pid_t spawn(const std::vector<std::string>& argv, const std::string& log_path) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int wait_pid(pid_t pid, double timeout_s) {
  const auto start = Clock::now();
  for (;;) {
    int raw = 0;
    const pid_t r = waitpid(pid, &raw, WNOHANG);
    if (r == pid) return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    if (r < 0 || seconds_since(start) > timeout_s) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

std::string toml_array(const std::vector<std::string>& items) {
  std::string text = "[";
  for (const auto& i : items) text += (text.size() > 1 ? ", " : "") + nlohmann::json(i).dump();
  return text + "]";
}

}  // namespace

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/zul_bridge_XXXXXX";
  path_ = mkdtemp(pattern.data()) ? pattern : "";
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& name, const std::string& text) const {
  const std::string path = path_ + "/" + name;
  std::ofstream(path) << text;
  return path;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> launched(const std::string& path) {
  std::vector<std::string> argv = words(ZUL_LAUNCHER);
  argv.push_back(path);
  return argv;
}

// ---- broker

Broker::Broker() { port_ = free_port(); }

Broker::~Broker() { stop(); }

namespace {

const char kEjabberdctl[] = "/usr/sbin/ejabberdctl";

// Mosquitto's ACL file as ejabberd's mod_mqtt rules. Mosquitto checks a
// client's read rights on every message it would deliver; ejabberd checks
// a subscription's filter once, against the filters of access_subscribe,
// and refuses it whole. A filter in the rules lets in the users that have it
// (any one matching filter allows). Publishing is checked per message in
// both.
std::string ejabberd_rules(const std::string& acl) {
  std::map<std::string, std::set<std::string>> read, write;
  std::set<std::string> users;
  std::string user;
  std::istringstream in(acl);
  std::string line;
  while (std::getline(in, line)) {
    const std::vector<std::string> w = words(line);
    if (w.size() == 2 && w[0] == "user") {
      user = w[1];
      users.insert(user);
    } else if (w.size() == 3 && w[0] == "topic") {
      if (w[1] == "read" || w[1] == "readwrite") read[w[2]].insert(user);
      if (w[1] == "write" || w[1] == "readwrite") write[w[2]].insert(user);
    }
  }
  if (users.empty()) return "";
  std::string text = "acl:\n";
  for (const auto& u : users) text += "  zul_" + u + ":\n    user: \"" + u + "@localhost\"\n";
  std::string rules = "access_rules:\n", mqtt;
  int n = 0;
  for (const auto* table : {&read, &write}) {
    mqtt += table == &read ? "    access_subscribe:\n" : "    access_publish:\n";
    for (const auto& [filter, who] : *table) {
      const std::string rule = "zul_rule" + std::to_string(n++);
      rules += "  " + rule + ":\n";
      for (const auto& u : who) rules += "    - allow: zul_" + u + "\n";
      mqtt += "      " + nlohmann::json(filter).dump() + ": " + rule + "\n";
    }
  }
  return text + rules + "modules:\n  mod_mqtt:\n" + mqtt;
}

}  // namespace

std::string Broker::kind() {
  const char* k = getenv("ZUL_TEST_BROKER");
  return k != nullptr && std::string(k) == "ejabberd" ? "ejabberd" : "mosquitto";
}

bool Broker::needs_login() { return kind() == "ejabberd"; }

bool Broker::available() {
  if (kind() == "ejabberd") return access(kEjabberdctl, X_OK) == 0;
  const std::string path = ZUL_MOSQUITTO_PATH;
  return !path.empty() && access(path.c_str(), X_OK) == 0;
}

int Broker::ejabberdctl(const std::string& command, std::string* output) const {
  const std::string& d = dir_.path();
  std::string ignored;
  return run_command(std::string(kEjabberdctl) + " --config-dir '" + d + "' --ctl-config '" + d +
                         "/ejabberdctl.cfg' --config '" + d + "/ejabberd.yml' --spool '" + d +
                         "/spool' --logs '" + d + "/logs' --node zul" + std::to_string(port_) +
                         "@localhost " + command,
                     output != nullptr ? output : &ignored);
}

void Broker::write_config() {
  if (kind() == "ejabberd") {
    // Its own node, listener, spool and logs. Everyone logs in, under a
    // name of the users' or, without users, anonymously.
    const std::string& d = dir_.path();
    const std::string rules = ejabberd_rules(acl_);
    dir_.file("ejabberd.yml",
              "hosts: [localhost]\nloglevel: info\ncertfiles: []\n"
              "listen:\n  - port: " +
                  std::to_string(port_) +
                  "\n    ip: \"127.0.0.1\"\n    module: mod_mqtt\n    backlog: 1000\n" +
                  (users_.empty() ? "auth_method: [anonymous]\nanonymous_protocol: login_anon\n"
                                    "allow_multiple_connections: true\n"
                                  : "auth_method: [internal]\n") +
                  "api_permissions:\n  \"console commands\":\n    from: ejabberd_ctl\n"
                  "    who: all\n    what: \"*\"\n" +
                  (rules.empty() ? "modules:\n  mod_mqtt:\n" : rules) +
                  // Its default of 8 refuses the filter of a room's stale Home
                  // Assistant configurations (zul/test/room/+/homeassistant/
                  // +/+/+/config) as invalid.
                  "    max_topic_depth: 16\n");
    dir_.file("ejabberdctl.cfg",
              "ERL_OPTIONS=\"-env ERL_CRASH_DUMP_BYTES 0\"\n"
              "INET_DIST_INTERFACE=127.0.0.1\nERL_EPMD_ADDRESS=127.0.0.1\n"
              "EJABBERD_PID_PATH=" +
                  d + "/ejabberd.pid\n");
    dir_.file("inetrc", "{lookup,[file,native]}.\n{host,{127,0,0,1}, [\"localhost\"]}.\n");
    std::filesystem::create_directories(d + "/spool");
    std::filesystem::create_directories(d + "/logs");
    // ejabberdctl run by root runs the node as the package's own user.
    std::string out;
    if (geteuid() == 0) run_command("chown -R ejabberd '" + d + "'", &out);
    return;
  }
  // Persistence keeps the probe's session and its queued messages across a
  // stop and start, as a deployed broker would.
  config_ =
      dir_.file("mosquitto.conf", "listener " + std::to_string(port_) + " 127.0.0.1\n" + security_ +
                                      "persistence true\n"
                                      "persistence_location " +
                                      dir_.path() +
                                      "/\n"
                                      "autosave_interval 1\n"
                                      "user root\n"
                                      "log_dest stderr\n");
}

bool Broker::secure(const std::vector<std::pair<std::string, std::string>>& users,
                    const std::string& acl) {
  users_ = users;
  acl_ = acl;
  if (kind() == "ejabberd") return true;
  const std::string passwords = dir_.path() + "/passwords";
  for (size_t i = 0; i < users.size(); ++i) {
    std::string out;
    const std::string command = "mosquitto_passwd -b " + std::string(i == 0 ? "-c " : "") + "'" +
                                passwords + "' '" + users[i].first + "' '" + users[i].second + "'";
    if (run_command(command, &out) != 0) return false;
  }
  security_ = "allow_anonymous false\npassword_file " + passwords + "\nacl_file " +
              dir_.file("acl", acl) + "\n";
  return true;
}

bool Broker::start_ejabberd() {
  // Its port was free when picked; another process may have taken it since,
  // and then the node gives up at once: a new port, as with Mosquitto.
  for (int attempt = 0; attempt < 5; ++attempt) {
    write_config();
    std::string out;
    if (ejabberdctl("start", &out) != 0) return false;
    pid_ = 1;  // a node, not a child: stop() asks ejabberdctl
    // Its log says so once its MQTT listener is open.
    const std::string at = "127.0.0.1:" + std::to_string(port_);
    const std::string open = "Start accepting TCP connections at " + at + " for mod_mqtt";
    const std::string taken = "Failed to open socket at " + at;
    const auto start = Clock::now();
    std::string log;
    // An Erlang node takes seconds to start, and far longer on a loaded machine.
    while ((log = read_file(dir_.path() + "/logs/ejabberd.log")).find(open) == std::string::npos &&
           log.find(taken) == std::string::npos && seconds_since(start) <= 90) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (log.find(open) == std::string::npos) {
      stop();
      if (started_once_ || log.find(taken) == std::string::npos) return false;
      // The node's name follows its port, and its database keeps the name.
      std::error_code ignored;
      std::filesystem::remove_all(dir_.path() + "/spool", ignored);
      port_ = free_port();
      continue;
    }
    for (const auto& [user, password] : users_) {
      if (ejabberdctl("register '" + user + "' localhost '" + password + "'", &out) != 0) {
        stop();
        return false;
      }
    }
    started_once_ = true;
    return true;
  }
  return false;
}

bool Broker::start() {
  if (kind() == "ejabberd") return start_ejabberd();
  for (int attempt = 0; attempt < 5; ++attempt) {
    write_config();
    pid_ = spawn({ZUL_MOSQUITTO_PATH, "-c", config_}, dir_.path() + "/broker.log");
    if (pid_ <= 0) return false;
    const auto start = Clock::now();
    bool ended = false;
    while (!ended && seconds_since(start) < 10) {
      // Printed once every listener is open: the port is this broker's.
      if (log().find(" running") != std::string::npos) {
        started_once_ = true;
        return true;
      }
      int raw = 0;
      ended = waitpid(pid_, &raw, WNOHANG) == pid_;
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!ended) {
      stop();
      return false;
    }
    pid_ = -1;
    if (started_once_) return false;
    port_ = free_port();
  }
  return false;
}

void Broker::stop() {
  if (kind() == "ejabberd") {
    std::string out;
    if (pid_ > 0) {
      ejabberdctl("stop", &out);
      ejabberdctl("stopped", &out);
    }
    pid_ = -1;
    return;
  }
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  if (wait_pid(pid_, 10) < 0) {
    kill(pid_, SIGKILL);
    wait_pid(pid_, 10);
  }
  pid_ = -1;
}

// ---- probe

Probe::Probe(int port, const std::string& client_id, const std::string& username,
             const std::string& password) {
  mosquitto_lib_init();
  mosq_ = mosquitto_new(client_id.c_str(), false, this);
  if (!username.empty()) {
    mosquitto_username_pw_set(mosq_, username.c_str(), password.c_str());
  } else if (Broker::needs_login()) {
    mosquitto_username_pw_set(mosq_, Broker::anonymous_user(), Broker::anonymous_password());
  }
  mosquitto_message_callback_set(mosq_, on_message);
  mosquitto_connect_callback_set(mosq_, on_connect);
  mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
  mosquitto_connect(mosq_, "127.0.0.1", port, 30);
  mosquitto_loop_start(mosq_);
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::seconds(10), [&] { return connected_; });
}

Probe::~Probe() {
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, false);  // a cancelled thread may hold its locks
  mosquitto_destroy(mosq_);
  mosquitto_lib_cleanup();
}

bool Probe::connected() {
  std::lock_guard<std::mutex> lock(mutex_);
  return connected_;
}

void Probe::on_connect(struct mosquitto*, void* self, int rc) {
  auto* p = static_cast<Probe*>(self);
  std::lock_guard<std::mutex> lock(p->mutex_);
  p->connected_ = rc == 0;
  p->changed_.notify_all();
}

void Probe::on_message(struct mosquitto*, void* self, const struct mosquitto_message* m) {
  auto* p = static_cast<Probe*>(self);
  std::lock_guard<std::mutex> lock(p->mutex_);
  p->messages_.push_back(
      {m->topic,
       std::string(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen)),
       m->retain});
  p->changed_.notify_all();
}

bool Probe::subscribe(const std::string& pattern) {
  return mosquitto_subscribe(mosq_, nullptr, pattern.c_str(), 1) == MOSQ_ERR_SUCCESS;
}

void Probe::publish(const std::string& topic, const std::string& payload, bool retain) {
  mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                    1, retain);
}

std::vector<Received> Probe::messages() {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

bool Probe::wait_until(const std::function<bool(const std::vector<Received>&)>& done,
                       double timeout_s) {
  // The check runs without the lock: it may look at the messages itself.
  const auto start = Clock::now();
  for (;;) {
    size_t seen = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen = messages_.size();
    }
    if (done(messages())) return true;
    if (seconds_since(start) > timeout_s) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(50),
                      [&] { return messages_.size() != seen; });
  }
}

int Probe::wait_for(const std::string& topic, const std::string& part, double timeout_s,
                    size_t from) {
  int found = -1;
  wait_until(
      [&](const std::vector<Received>& ms) {
        for (size_t i = from; i < ms.size(); ++i) {
          if (ms[i].topic == topic && ms[i].payload.find(part) != std::string::npos) {
            found = static_cast<int>(i);
            return true;
          }
        }
        return false;
      },
      timeout_s);
  return found;
}

std::vector<nlohmann::json> Probe::json_on(const std::string& topic) {
  std::vector<nlohmann::json> out;
  for (const Received& m : messages()) {
    if (m.topic == topic) out.push_back(nlohmann::json::parse(m.payload, nullptr, false));
  }
  return out;
}

// ---- the bridge

BridgeRun::BridgeRun(const std::string& config_path, bool verbose) {
  log_path_ = dir_.path() + "/bridge.log";
  std::vector<std::string> argv = launched(ZUL_BRIDGE_PATH);
  argv.push_back("--config");
  argv.push_back(config_path);
  if (verbose) argv.push_back("--verbose");
  pid_ = spawn(argv, log_path_);
}

BridgeRun::~BridgeRun() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    if (wait(15) < 0) {
      kill(pid_, SIGKILL);
      wait(5);
    }
  }
}

void BridgeRun::signal(int signo) {
  if (pid_ > 0) kill(pid_, signo);
}

int BridgeRun::wait(double timeout_s) {
  if (pid_ <= 0) return -1;
  const int status = wait_pid(pid_, timeout_s);
  if (status >= 0) pid_ = -1;
  return status;
}

pid_t BridgeRun::program_pid() const {
  const std::string text = log();
  const std::string key = "program started (pid ";
  const size_t at = text.rfind(key);
  if (at == std::string::npos) return -1;
  return static_cast<pid_t>(std::atol(text.c_str() + at + key.size()));
}

// ---- configuration and pins

std::string broker_login(const TempDir& dir) {
  if (!Broker::needs_login()) return "";
  const std::string password = dir.file("anonymous.password", Broker::anonymous_password());
  chmod(password.c_str(), 0600);
  return "username = \"" + std::string(Broker::anonymous_user()) +
         "\"\npassword_file = " + nlohmann::json(password).dump() + "\n";
}

std::string sim_config(const TempDir& dir, int broker_port, const SimSetup& setup,
                       std::string* pins_path) {
  const std::string scenario = dir.file("calls.scn", setup.scenario);
  *pins_path = dir.path() + "/pins.log";
  std::vector<std::string> command = launched(ZUL_SIM_PATH);
  for (const std::string& w :
       {std::string("--speed"), std::to_string(setup.speed), std::string("--scenario"), scenario,
        std::string("--pins"), *pins_path}) {
    command.push_back(w);
  }
  const std::string login =
      setup.mqtt_toml.find("username") == std::string::npos ? broker_login(dir) : "";
  const std::string text =
      "[driver]\ncommand = " + toml_array(command) + "\nintercom = 10\nworking_directory = " +
      nlohmann::json(setup.working_directory.empty() ? std::string(ZUL_SOURCE_DIR)
                                                     : setup.working_directory)
          .dump() +
      "\nrecord_directory = " + nlohmann::json(dir.path() + "/records").dump() + "\n" +
      setup.driver_toml + setup.rooms + "[mqtt]\nport = " + std::to_string(broker_port) +
      "\ntopic = \"zul/test\"\nkeepalive = 5\n" + login + setup.mqtt_toml +
      "[homeassistant]\nname = \"Test entrance\"\n" + setup.extra_toml;
  return dir.file("bridge.toml", text);
}

std::vector<PinWrite> pin_writes(const std::string& pins_log) {
  std::vector<PinWrite> out;
  std::istringstream in(pins_log);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words_in(line);
    PinWrite w{};
    std::string what;
    if (words_in >> w.t >> what >> w.gpio >> w.level && what == "write") out.push_back(w);
  }
  return out;
}

int run_command(const std::string& command, std::string* output) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  char buffer[4096];
  size_t n;
  output->clear();
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
  const int raw = pclose(pipe);
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

int find_write(const std::vector<PinWrite>& w, int gpio, int level, size_t from) {
  for (size_t i = from; i < w.size(); ++i) {
    if (w[i].gpio == gpio && w[i].level == level) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace bridge_test
