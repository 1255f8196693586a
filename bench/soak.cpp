// A chaos soak of one entrance: zul_stm_mqtt with zul_stm_sim in real time as
// its program, on a Mosquitto broker with a user per household, a subscriber
// standing in for Home Assistant, an operator and three households sending
// commands, and faults at seeded random times: the program and the bridge
// killed (a supervisor restarts the bridge as systemd would), the broker
// killed and restarted with and without persistence, stopped for a while,
// the record directory full, malformed and oversized payloads from every
// household, and the bridge's wall clock stepped back and forth. At the end,
// every outcome counted in a table; exit status 1 when a count is wrong.
//
//   zul_soak BRIDGE SIM MOSQUITTO SECONDS SEED [OUTAGE_S [SPEED]]
//
// The events: every event line the bridge read from the program (its
// --verbose log) must reach the subscriber; they are matched in order, by
// event and room or signal value (the scenario's signal values do not
// repeat), which holds across wall-clock steps. Duplicates (QoS 1 resends)
// are counted, not failed. Commands carry ids and each must get exactly one
// result; each malformed payload, one refusal.
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_process.h"
#include "bridge/protocol.h"

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

const std::string kBase = "zul/soak";
const int kRooms[] = {5, 6, 7};  // imitated: 5 opens, 6 manual, 7 rejects

double now_s() {
  static const auto t0 = Clock::now();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void sleep_s(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".new";
  std::ofstream(tmp) << text;
  rename(tmp.c_str(), path.c_str());
}

int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

bool wait_exit(pid_t pid, double seconds) {
  const double until = now_s() + seconds;
  while (now_s() < until) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return true;
    sleep_s(0.01);
  }
  return false;
}

// ---- what the soak's clients receive

struct Message {
  double t;
  std::string topic, payload;
  bool retained;
};

class Client {
 public:
  // A persistent session when `persistent`: what the broker keeps for it
  // across its own reconnects reaches it.
  Client(const std::string& id, const std::string& user, int port, bool persistent,
         std::vector<std::string> subscriptions)
      : subscriptions_(std::move(subscriptions)), port_(port) {
    m_ = mosquitto_new(id.c_str(), !persistent, this);
    mosquitto_username_pw_set(m_, user.c_str(), (user + "-pw").c_str());
    mosquitto_connect_callback_set(m_, [](mosquitto* m, void* self, int rc) {
      auto* c = static_cast<Client*>(self);
      if (rc != 0) return;
      for (const auto& s : c->subscriptions_) mosquitto_subscribe(m, nullptr, s.c_str(), 1);
      c->connected_ = true;
    });
    mosquitto_disconnect_callback_set(
        m_, [](mosquitto*, void* self, int) { static_cast<Client*>(self)->connected_ = false; });
    mosquitto_message_callback_set(m_, [](mosquitto*, void* self, const mosquitto_message* msg) {
      auto* c = static_cast<Client*>(self);
      std::lock_guard<std::mutex> lock(c->mutex_);
      c->got_.push_back({now_s(), msg->topic,
                         std::string(static_cast<const char*>(msg->payload),
                                     static_cast<size_t>(msg->payloadlen)),
                         msg->retain});
    });
    // Its own loop that tries again every 50 ms: it is back on a restarted
    // broker before the bridge (which waits a second first), so nothing the
    // bridge publishes there goes out before this session has subscribed.
    thread_ = std::thread([this] {
      bool up = false;
      while (!stop_) {
        if (!up) {
          up = mosquitto_connect(m_, "127.0.0.1", port_, 60) == MOSQ_ERR_SUCCESS;
          if (!up) sleep_s(0.05);
          continue;
        }
        if (mosquitto_loop(m_, 50, 1) != MOSQ_ERR_SUCCESS) {
          connected_ = false;
          up = mosquitto_reconnect(m_) == MOSQ_ERR_SUCCESS;
          if (!up) sleep_s(0.05);
        }
      }
      mosquitto_disconnect(m_);
    });
  }
  ~Client() {
    stop_ = true;
    thread_.join();
    mosquitto_destroy(m_);
  }
  bool connected() const { return connected_; }
  bool publish(const std::string& topic, const std::string& payload) {
    return connected_ &&
           mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.data(), 1, false) == MOSQ_ERR_SUCCESS;
  }
  std::vector<Message> messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return got_;
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return got_.size();
  }

 private:
  mosquitto* m_ = nullptr;
  std::vector<std::string> subscriptions_;
  int port_;
  std::atomic<bool> connected_{false}, stop_{false};
  std::mutex mutex_;
  std::vector<Message> got_;
  std::thread thread_;
};

// ---- the soak

struct Sample {
  double t;
  long bridge_rss_kib, bridge_fds, program_rss_kib, program_fds, broker_rss_kib;
};

struct FaultCount {
  int injected = 0, recovered = 0, retained_right = 0, call_idle = 0;
  double worst_recovery_s = 0;
};

long proc_rss_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return atol(line.c_str() + 6);
  }
  return 0;
}

long proc_fds(pid_t pid) {
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (!d) return 0;
  long n = 0;
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

pid_t child_of(pid_t pid) {
  const std::string text =
      read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  return static_cast<pid_t>(atol(text.c_str()));
}

class Soak {
 public:
  Soak(std::string bridge, std::string sim, std::string mosquitto, double seconds, unsigned seed,
       double outage_s, double speed)
      : bridge_path_(std::move(bridge)),
        sim_path_(std::move(sim)),
        mosquitto_path_(std::move(mosquitto)),
        seconds_(seconds),
        outage_s_(outage_s),
        speed_(speed),
        rng_(seed),
        seed_(seed) {}
  int run();

 private:
  void setup();
  void start_broker(bool persistent);
  void start_bridge();
  void supervise();
  int connections();
  bool recover(const std::string& fault, double since);
  void calm(double seconds);
  void calm_no_commands(double seconds);
  void wait_results(double seconds);
  void send_command(bool from_operator);
  void fault(const std::string& kind);
  void malformed();
  void fill_records(bool full);
  void sample();
  int report();

  std::string bridge_path_, sim_path_, mosquitto_path_, faketime_;
  double seconds_, outage_s_, speed_;
  std::mt19937 rng_;
  unsigned seed_;
  std::string work_, records_;
  bool tmpfs_ = false;
  int port_ = 0;
  pid_t broker_ = -1, bridge_ = -1;
  int broker_starts_ = 0, bridge_starts_ = 0;
  int kills_since_bridge_start_ = 0;
  // The bridge's connections to the broker before a broker fault: the
  // retained "online" outlives a broker's clean restart, so only the
  // bridge's own log says that it is back.
  int connections_before_ = -1;
  int unexpected_bridge_exits_ = 0;
  std::unique_ptr<Client> sub_, operator_;
  std::vector<std::unique_ptr<Client>> households_;
  struct Sent {
    int room;  // 0: the operator's topic
    double t;
    std::string payload;
  };
  std::map<std::string, Sent> sent_;
  int next_id_ = 0;
  std::vector<std::pair<std::string, std::string>> malformed_sent_;  // topic, what
  std::vector<std::pair<double, double>> malformed_windows_;
  int acl_probes_ = 0;
  std::vector<double> bridge_kill_times_;
  std::vector<std::string> offline_after_kill_;
  int record_requests_ = 0;
  std::map<std::string, FaultCount> faults_;
  std::vector<std::string> problems_;
  std::vector<Sample> samples_;
};

void Soak::setup() {
  char pattern[] = "/tmp/zul_soak_XXXXXX";
  work_ = mkdtemp(pattern);
  records_ = work_ + "/records";
  mkdir(records_.c_str(), 0700);
  tmpfs_ = mount("tmpfs", records_.c_str(), "tmpfs", 0, "size=64m,mode=0700") == 0;
  port_ = free_port();
  // Users and their rules as the manual page sets a building up.
  std::string acl =
      "user bridge\ntopic readwrite " + kBase + "/#\ntopic readwrite homeassistant/#\n" +
      "user operator\ntopic read " + kBase + "/#\ntopic write " + kBase + "/command\ntopic write " +
      kBase + "/answer/+/set\ntopic write " + kBase + "/record/get\ntopic read homeassistant/#\n";
  std::vector<std::string> users = {"bridge", "operator"};
  for (int r : kRooms) {
    const std::string u = "room" + std::to_string(r);
    users.push_back(u);
    acl += "user " + u + "\ntopic read " + kBase + "/room/" + std::to_string(r) +
           "/#\ntopic write " + kBase + "/room/" + std::to_string(r) + "/command\n";
  }
  write_file(work_ + "/acl", acl);
  for (size_t i = 0; i < users.size(); ++i) {
    const std::string cmd = "mosquitto_passwd -b " + std::string(i == 0 ? "-c " : "") + work_ +
                            "/passwords " + users[i] + " " + users[i] + "-pw";
    if (system(cmd.c_str()) != 0) problems_.push_back("mosquitto_passwd failed");
  }
  write_file(work_ + "/bridge-password", "bridge-pw\n");
  chmod((work_ + "/bridge-password").c_str(), 0600);
  // The calls: every 12 to 24 s a call to one of the rooms (imitated 5, 6,
  // 7; blacklisted 9; a real handset 3), and a signal report every 1.5 s
  // whose value does not repeat, for four hours of the program's time (a
  // restarted program starts it again).
  std::ostringstream scn;
  std::mt19937 calls(seed_);
  const int rooms[] = {5, 6, 7, 9, 3};
  for (long t = 2500, v = 1; t < 4L * 3600 * 1000; t += 1500, ++v) {
    scn << t << " signal 0x21 1 " << v % 65536 << "\n";
  }
  for (long t = 4000; t < 4L * 3600 * 1000; t += 12000 + static_cast<long>(calls() % 12000)) {
    const int room = rooms[calls() % 5];
    scn << t << " dial " << room << "\n";
    if (room == 3) {
      scn << t + 2000 << " pickup\n" << t + 4000 << " open\n" << t + 6000 << " drop\n";
    } else {
      scn << t + 9000 << " drop\n";
    }
  }
  write_file(work_ + "/calls.scn", scn.str());
  // Debian's faketime package, whatever the architecture's directory.
  glob_t found{};
  if (glob("/usr/lib/*/faketime/libfaketime.so.1", 0, nullptr, &found) == 0) {
    faketime_ = found.gl_pathv[0];
  }
  globfree(&found);
  write_file(work_ + "/faketime", "+0\n");
  // The program through a shell that names its pin log by its own pid.
  const std::string driver = "exec \"$0\" --speed " + std::to_string(speed_) + " --pins " + work_ +
                             "/pins.$$ --scenario " + work_ + "/calls.scn \"$@\"";
  std::string toml =
      "[driver]\ncommand = [\"/bin/sh\", \"-c\", " + json(driver).dump() + ", " +
      json(sim_path_).dump() +
      "]\nintercom = 10\nworking_directory = " + json(std::string(ZUL_SOURCE_DIR)).dump() +
      "\nrecord_directory = " + json(records_).dump() +
      "\n[rooms]\nimitate = [5, 6, 7]\nblacklist = [9]\n[mqtt]\nport = " + std::to_string(port_) +
      "\ntopic = \"" + kBase + "\"\nusername = \"bridge\"\npassword_file = \"" + work_ +
      "/bridge-password\"\nkeepalive = 5\n[homeassistant]\nname = \"Soak\"\n"
      "[answer.5]\nmode = \"open\"\n[answer.7]\nmode = \"reject\"\n";
  write_file(work_ + "/bridge.toml", toml);
}

void Soak::start_broker(bool persistent) {
  std::string conf = "listener " + std::to_string(port_) +
                     " 127.0.0.1\nallow_anonymous false\npassword_file " + work_ +
                     "/passwords\nacl_file " + work_ + "/acl\nuser root\nlog_dest stderr\n" +
                     "max_queued_messages 100000\n";
  if (persistent) {
    conf += "persistence true\npersistence_location " + work_ + "/\nautosave_interval 1\n";
  }
  write_file(work_ + "/mosquitto.conf", conf);
  const std::string log = work_ + "/broker." + std::to_string(++broker_starts_) + ".log";
  broker_ = bench::spawn({mosquitto_path_, "-c", work_ + "/mosquitto.conf"}, log);
  const double until = now_s() + 10;
  while (now_s() < until && read_file(log).find(" running") == std::string::npos) sleep_s(0.01);
}

void Soak::start_bridge() {
  std::vector<std::string> env;
  if (!faketime_.empty()) {
    env = {"LD_PRELOAD=" + faketime_, "FAKETIME_TIMESTAMP_FILE=" + work_ + "/faketime",
           "FAKETIME_DONT_FAKE_MONOTONIC=1", "FAKETIME_CACHE_DURATION=1"};
  }
  bridge_ = bench::spawn({bridge_path_, "--config", work_ + "/bridge.toml", "--verbose"},
                         work_ + "/bridge." + std::to_string(++bridge_starts_) + ".log", env);
  kills_since_bridge_start_ = 0;
}

// As systemd with Restart=on-failure would, but at once rather than after
// the unit's RestartSec, to keep the soak's time for the faults.
void Soak::supervise() {
  int status = 0;
  if (bridge_ > 0 && waitpid(bridge_, &status, WNOHANG) == bridge_) {
    if (!(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) {
      ++unexpected_bridge_exits_;
      problems_.push_back("the bridge ended by itself (bridge." + std::to_string(bridge_starts_) +
                          ".log)");
    }
    start_bridge();
  }
}

// Until the retained state says the entrance serves again, seen by a new
// session as Home Assistant would see it after its own restart.
bool Soak::recover(const std::string& fault, double since) {
  FaultCount& f = faults_[fault];
  const double until = now_s() + 120;
  bool retained_ok = false;
  while (now_s() < until && !retained_ok) {
    supervise();
    if (connections() <= connections_before_) {
      sleep_s(0.05);
      continue;
    }
    Client probe("soak-probe-" + std::to_string(rng_()), "operator", port_, false,
                 {kBase + "/status", kBase + "/health", kBase + "/call"});
    const double look = now_s() + 1.5;
    std::string status, program, call;
    long restarts = -1;
    while (now_s() < look) {
      for (const auto& m : probe.messages()) {
        if (!m.retained) continue;
        if (m.topic == kBase + "/status") status = m.payload;
        if (m.topic == kBase + "/call") {
          const json j = json::parse(m.payload, nullptr, false);
          if (j.is_object()) call = j.value("state", "");
        }
        if (m.topic == kBase + "/health") {
          const json j = json::parse(m.payload, nullptr, false);
          if (j.is_object()) {
            program = j.value("program", "");
            restarts = j.value("restarts", -1L);
          }
        }
      }
      if (status == "online" && program == "running" && !call.empty()) break;
      sleep_s(0.05);
    }
    retained_ok =
        status == "online" && program == "running" && restarts == kills_since_bridge_start_;
    if (retained_ok) {
      f.retained_right++;
      f.recovered++;
      f.worst_recovery_s = std::max(f.worst_recovery_s, now_s() - since);
      // The line idle: the retained call goes back to idle (a call the
      // scenario has in progress ends within its 9 s).
      const double idle_until = now_s() + 30;
      while (now_s() < idle_until) {
        bool idle = false;
        for (const auto& m : probe.messages()) {
          if (m.topic != kBase + "/call") continue;
          const json j = json::parse(m.payload, nullptr, false);
          idle = j.is_object() && j.value("state", "") == "idle";
        }
        if (idle) {
          f.call_idle++;
          break;
        }
        sleep_s(0.1);
      }
    }
  }
  if (!retained_ok) problems_.push_back("no recovery after " + fault);
  return retained_ok;
}

void Soak::send_command(bool from_operator) {
  static const char* const kOperator[] = {"pickup", "open", "hangup", "relay"};
  static const char* const kHousehold[] = {"pickup", "open", "hangup"};
  const std::string id = "c" + std::to_string(++next_id_);
  if (from_operator) {
    json c = {{"action", kOperator[rng_() % 4]}, {"id", id}};
    if (c["action"] == "relay") c["relay"] = rng_() % 3;
    if (operator_->publish(kBase + "/command", c.dump())) sent_[id] = {0, now_s(), c.dump()};
  } else {
    const size_t h = rng_() % households_.size();
    const json c = {{"action", kHousehold[rng_() % 3]}, {"id", id}};
    if (households_[h]->publish(kBase + "/room/" + std::to_string(kRooms[h]) + "/command",
                                c.dump())) {
      sent_[id] = {kRooms[h], now_s(), c.dump()};
    }
  }
}

void Soak::calm(double seconds) {
  const double until = now_s() + seconds;
  while (now_s() < until) {
    supervise();
    send_command(rng_() % 2 == 0);
    sleep_s(0.3 + (rng_() % 1700) / 1000.0);
  }
}

std::map<std::string, int> results_by_id(const std::vector<Message>& got) {
  std::map<std::string, int> n;
  for (const auto& m : got) {
    if (m.topic.find("/command/result") == std::string::npos) continue;
    const json j = json::parse(m.payload, nullptr, false);
    if (j.is_object() && j.contains("id") && j["id"].is_string()) n[j["id"].get<std::string>()]++;
  }
  return n;
}

void Soak::wait_results(double seconds) {
  const double until = now_s() + seconds;
  while (now_s() < until) {
    const auto n = results_by_id(sub_->messages());
    bool all = true;
    for (const auto& [id, c] : sent_) all = all && n.count(id) > 0;
    if (all) return;
    sleep_s(0.1);
  }
}

void Soak::fill_records(bool full) {
  const std::string filler = records_ + "/filler";
  if (!full) {
    unlink(filler.c_str());
    return;
  }
  const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  static char block[65536];
  while (fd >= 0 && write(fd, block, sizeof block) > 0) {
  }
  if (fd >= 0) close(fd);
}

void Soak::malformed() {
  std::vector<std::string> payloads = {
      "",
      " ",
      std::string("\0\1\xff\xfe", 4),
      "{",
      "{\"action\":",
      "[]",
      "null",
      "42",
      "{\"action\":42}",
      "{\"action\":\"relay\",\"relay\":9}",
      "relay0",
      "{\"action\":\"pickup\",\"id\":{\"x\":1}}",
      "PICKUP",
      "pickup\n\nextra",
      "\xc3\x28\xa0\xa1",
      "{\"action\":\"dance\",\"id\":\"\xc3\x28\"}",
      std::string(100000, '['),
      "{\"action\":\"open\",\"id\":\"" + std::string(65536, 'a') + "\"}",
      std::string(1 << 20, '{')};
  const double from = now_s();
  for (size_t h = 0; h < households_.size(); ++h) {
    const std::string topic = kBase + "/room/" + std::to_string(kRooms[h]) + "/command";
    for (const auto& p : payloads) {
      if (households_[h]->publish(topic, p)) malformed_sent_.push_back({topic, p.substr(0, 20)});
    }
    // Topics a household may not write: the broker drops them.
    for (const auto& t : {kBase + "/command", kBase + "/answer/5/set", kBase + "/record/get",
                          kBase + "/room/" + std::to_string(kRooms[(h + 1) % 3]) + "/command"}) {
      if (households_[h]->publish(t, "relay1")) ++acl_probes_;
    }
  }
  const double until = now_s() + 20;
  while (now_s() < until) {
    size_t n = 0;
    for (const auto& m : sub_->messages()) {
      n += m.t >= from && m.topic.find("/room/") != std::string::npos &&
           m.topic.find("/command/result") != std::string::npos;
    }
    if (n >= malformed_sent_.size()) break;
    sleep_s(0.1);
  }
  sleep_s(1);  // a second result for any of them would show here
  malformed_windows_.push_back({from, now_s()});
}

int Soak::connections() {
  const std::string log = read_file(work_ + "/bridge." + std::to_string(bridge_starts_) + ".log");
  int n = 0;
  for (size_t at = log.find("connected to the broker"); at != std::string::npos;
       at = log.find("connected to the broker", at + 1)) {
    n += at == 0 || log[at - 1] == ' ';  // not "disconnected"
  }
  return n;
}

void Soak::fault(const std::string& kind) {
  const double t = now_s();
  connections_before_ = kind.rfind("broker", 0) == 0 && kind.find("SIGSTOP") == std::string::npos
                            ? connections()
                            : -1;
  faults_[kind].injected++;
  if (kind == "program SIGKILL") {
    const pid_t p = child_of(bridge_);
    if (p > 0) {
      kill(p, SIGKILL);
      ++kills_since_bridge_start_;
    }
  } else if (kind == "bridge SIGKILL") {
    bridge_kill_times_.push_back(t);
    kill(bridge_, SIGKILL);
    waitpid(bridge_, nullptr, 0);
    // The program sees its input end and stops itself; its stop is what a
    // real unit's line relies on.
    bridge_ = -1;
    start_bridge();
  } else if (kind == "broker restart (persistent)") {
    kill(broker_, SIGTERM);
    wait_exit(broker_, 10);
    start_broker(true);
  } else if (kind == "broker SIGKILL (no persistence)") {
    kill(broker_, SIGKILL);
    wait_exit(broker_, 10);
    start_broker(false);
  } else if (kind == "broker unreachable (SIGSTOP)") {
    kill(broker_, SIGSTOP);
    calm_no_commands(outage_s_);
    kill(broker_, SIGCONT);
  } else if (kind == "broker away") {
    kill(broker_, SIGTERM);
    wait_exit(broker_, 10);
    calm_no_commands(outage_s_);
    start_broker(true);
  } else if (kind == "record directory full") {
    fill_records(true);
    if (operator_->publish(kBase + "/record/get", "")) ++record_requests_;
    sleep_s(2);
    const pid_t p = child_of(bridge_);
    if (p > 0) {
      kill(p, SIGKILL);
      ++kills_since_bridge_start_;
    }
    recover(kind, t);
    fill_records(false);
    return;
  } else if (kind == "malformed payloads") {
    malformed();
  } else if (kind == "wall clock stepped") {
    write_file(work_ + "/faketime", "+7200\n");
    calm(3);
    write_file(work_ + "/faketime", "-86400\n");
    calm(3);
    write_file(work_ + "/faketime", "+0\n");
    calm(2);
    wait_results(15);
  }
  recover(kind, t);
}

void Soak::calm_no_commands(double seconds) {
  const double until = now_s() + seconds;
  while (now_s() < until) {
    supervise();
    sleep_s(0.1);
  }
}

void Soak::sample() {
  const pid_t program = bridge_ > 0 ? child_of(bridge_) : 0;
  samples_.push_back({now_s(), proc_rss_kib(bridge_), proc_fds(bridge_), proc_rss_kib(program),
                      proc_fds(program), proc_rss_kib(broker_)});
}

int Soak::run() {
  setup();
  start_broker(true);
  sub_ =
      std::make_unique<Client>("soak-home-assistant", "operator", port_, true,
                               std::vector<std::string>{kBase + "/event", kBase + "/command/result",
                                                        kBase + "/room/+/command/result",
                                                        kBase + "/status", kBase + "/health"});
  operator_ = std::make_unique<Client>("soak-operator", "operator", port_, false,
                                       std::vector<std::string>{});
  for (int r : kRooms) {
    households_.push_back(std::make_unique<Client>("soak-room" + std::to_string(r),
                                                   "room" + std::to_string(r), port_, false,
                                                   std::vector<std::string>{}));
  }
  while (!sub_->connected() && now_s() < 10) sleep_s(0.02);
  printf("soak: %.0f s, seed %u, outage %.0f s, speed %g, broker port %d, work %s\n", seconds_,
         seed_, outage_s_, speed_, port_, work_.c_str());
  printf("soak: record directory on %s; wall clock steps %s\n",
         tmpfs_ ? "a 64 MiB tmpfs" : "the disk (no tmpfs could be mounted: not filled)",
         faketime_.empty() ? "skipped (no libfaketime)" : ("by " + faketime_).c_str());
  fflush(stdout);
  const double start = now_s();
  start_bridge();
  recover("start", start);
  sample();
  std::vector<std::string> kinds = {"program SIGKILL",
                                    "bridge SIGKILL",
                                    "broker restart (persistent)",
                                    "broker SIGKILL (no persistence)",
                                    "broker unreachable (SIGSTOP)",
                                    "broker away",
                                    "malformed payloads"};
  if (tmpfs_) kinds.push_back("record directory full");
  if (!faketime_.empty()) kinds.push_back("wall clock stepped");
  const bool short_run = seconds_ <= 300;
  for (int round = 0; round == 0 || now_s() - start < seconds_; ++round) {
    std::shuffle(kinds.begin(), kinds.end(), rng_);
    for (const auto& kind : kinds) {
      if (round > 0 && now_s() - start >= seconds_) break;
      calm(short_run ? 3 + rng_() % 3 : 20 + rng_() % 40);
      if (kind != "program SIGKILL") wait_results(15);
      printf("soak: %6.1f s  %s\n", now_s(), kind.c_str());
      fflush(stdout);
      fault(kind);
      sample();
    }
  }
  calm(3);
  wait_results(20);
  calm_no_commands(3);
  kill(bridge_, SIGTERM);
  if (!wait_exit(bridge_, 15)) problems_.push_back("the bridge did not stop on SIGTERM");
  bridge_ = -1;
  sleep_s(1);
  printf("soak: ran %.0f s\n", now_s() - start);
  return report();
}

struct Signature {
  std::string name;
  long detail = -1;  // a dial's room, a signal's value
  bool operator==(const Signature& o) const { return name == o.name && detail == o.detail; }
};

int Soak::report() {
  const auto got = sub_->messages();
  operator_.reset();
  households_.clear();
  sub_.reset();
  kill(broker_, SIGTERM);
  wait_exit(broker_, 10);
  if (tmpfs_) umount2(records_.c_str(), MNT_DETACH);

  // Events: what each bridge read, in order, against what arrived.
  std::vector<Signature> expected;
  for (int i = 1; i <= bridge_starts_; ++i) {
    std::istringstream log(read_file(work_ + "/bridge." + std::to_string(i) + ".log"));
    const std::string mark = "zul_stm_mqtt: program: ";
    for (std::string line; std::getline(log, line);) {
      if (line.rfind(mark, 0) != 0) continue;
      const auto p = bridge::parse_program_line(line.substr(mark.size()));
      if (!bridge::is_event(p.kind)) continue;
      Signature s{bridge::event_name(p.kind)};
      if (p.kind == bridge::ProgramLine::Kind::kDial ||
          p.kind == bridge::ProgramLine::Kind::kSignal) {
        s.detail = static_cast<long>(p.number);
      }
      expected.push_back(s);
    }
  }
  std::vector<Signature> received;
  std::set<std::string> payloads;
  int duplicates = 0, exits = 0;
  for (const auto& m : got) {
    if (m.topic != kBase + "/event") continue;
    if (!payloads.insert(m.payload).second) {
      ++duplicates;
      continue;
    }
    const json j = json::parse(m.payload, nullptr, false);
    if (!j.is_object()) continue;
    Signature s{j.value("event", "")};
    if (s.name == "driver_exit") {
      ++exits;
      continue;
    }
    if (s.name == "dial") s.detail = j.value("room", -1L);
    if (s.name == "signal") s.detail = j.value("value", -1L);
    received.push_back(s);
  }
  size_t r = 0;
  long lost = 0, extra = 0;
  for (const auto& e : expected) {
    const size_t window = e.name == "signal" ? 400 : 12;
    size_t k = r;
    while (k < received.size() && k < r + window && !(received[k] == e)) ++k;
    if (k < received.size() && received[k] == e) {
      extra += static_cast<long>(k - r);
      r = k + 1;
    } else {
      ++lost;
    }
  }
  extra += static_cast<long>(received.size() - r);

  // Commands: one result each.
  const auto results = results_by_id(got);
  long none = 0, twice = 0;
  for (const auto& [id, c] : sent_) {
    const auto it = results.find(id);
    none += it == results.end();
    if (it == results.end() || it->second > 1) {
      printf("soak: %.1f s, room %d: %s: %d results\n", c.t, c.room, c.payload.c_str(),
             it == results.end() ? 0 : it->second);
    }
    twice += it != results.end() && it->second > 1;
  }
  // Malformed payloads: one refusal each, and nothing through the rules.
  long malformed_results = 0, acl_leaks = 0, record_results = 0;
  for (const auto& m : got) {
    const bool in_window =
        std::any_of(malformed_windows_.begin(), malformed_windows_.end(),
                    [&](const auto& w) { return m.t >= w.first && m.t <= w.second; });
    if (m.topic.find("/command/result") == std::string::npos) continue;
    const json j = json::parse(m.payload, nullptr, false);
    const bool ours = j.is_object() && j.contains("id") && j["id"].is_string() &&
                      sent_.count(j["id"].get<std::string>()) > 0;
    const bool answer = j.is_object() && j.value("source", "") == "answer";
    if (j.is_object() && j.value("action", "") == "record") ++record_results;
    if (!in_window || ours || answer) continue;
    if (m.topic.find("/room/") != std::string::npos) {
      ++malformed_results;
    } else if (!(j.is_object() && j.value("action", "") == "record")) {
      ++acl_leaks;
    }
  }
  // The last will after each bridge kill: "offline" before "online" again.
  int wills = 0;
  for (double t : bridge_kill_times_) {
    for (const auto& m : got) {
      if (m.t >= t && m.topic == kBase + "/status") {
        wills += m.payload == "offline";
        break;
      }
    }
  }
  // Pins: every program that stopped (each one not killed writes its pin
  // log as it ends) left each pin at the same level, and no pin stayed away
  // from it longer than a call lasts.
  std::vector<std::map<int, int>> finals;
  double longest_away_s = 0;
  int pin_logs = 0;
  DIR* d = opendir(work_.c_str());
  while (dirent* e = d ? readdir(d) : nullptr) {
    if (strncmp(e->d_name, "pins.", 5) != 0) continue;
    ++pin_logs;
    std::istringstream log(read_file(work_ + "/" + e->d_name));
    std::map<int, int> level;
    std::vector<std::tuple<double, int, int>> writes;
    double t = 0;
    std::string what;
    int gpio = 0, value = 0;
    while (log >> t >> what >> gpio >> value) {
      if (what != "write") continue;
      writes.emplace_back(t, gpio, value);
      level[gpio] = value;
    }
    finals.push_back(level);
    std::map<int, double> away_since;
    for (const auto& [wt, g, v] : writes) {
      if (v != level[g]) {
        away_since.try_emplace(g, wt);
      } else if (away_since.count(g)) {
        longest_away_s = std::max(longest_away_s, (wt - away_since[g]) / 1000.0);
        away_since.erase(g);
      }
    }
  }
  if (d) closedir(d);
  int pins_not_idle = 0;
  for (const auto& f : finals) pins_not_idle += f != finals.front();

  // Memory and descriptors: the bridge's and the program's, after each fault.
  const auto stat = [&](auto field) {
    std::vector<long> v;
    for (const auto& s : samples_) v.push_back(s.*field);
    if (v.size() > 2) v.erase(v.begin());  // the first is before any fault
    const size_t q = std::max<size_t>(1, v.size() / 4);
    const auto med = [](std::vector<long> x) {
      std::sort(x.begin(), x.end());
      return x.empty() ? 0L : x[x.size() / 2];
    };
    return std::make_tuple(med({v.begin(), v.begin() + static_cast<long>(q)}),
                           med({v.end() - static_cast<long>(q), v.end()}),
                           *std::max_element(v.begin(), v.end()));
  };
  const auto [brss0, brss1, brssmax] = stat(&Sample::bridge_rss_kib);
  const auto [bfd0, bfd1, bfdmax] = stat(&Sample::bridge_fds);
  const auto [prss0, prss1, prssmax] = stat(&Sample::program_rss_kib);
  const auto [pfd0, pfd1, pfdmax] = stat(&Sample::program_fds);
  const auto [mrss0, mrss1, mrssmax] = stat(&Sample::broker_rss_kib);

  int wrong = 0;
  const auto row = [&](const std::string& what, const std::string& figure, bool ok) {
    printf("| %-52s | %-34s | %-4s |\n", what.c_str(), figure.c_str(), ok ? "ok" : "FAIL");
    wrong += !ok;
  };
  const auto str = [](long v) { return std::to_string(v); };
  printf("\n| %-52s | %-34s | %-4s |\n|%s|%s|%s|\n", "count", "figure", "",
         std::string(54, '-').c_str(), std::string(36, '-').c_str(), std::string(6, '-').c_str());
  int total_faults = 0;
  for (const auto& [kind, f] : faults_) {
    if (kind == "start") continue;
    total_faults += f.injected;
    char fig[96];
    snprintf(fig, sizeof fig, "%d, recovered %d, idle %d, worst %.1f s", f.injected, f.recovered,
             f.call_idle, f.worst_recovery_s);
    row("fault: " + kind, fig,
        f.injected > 0 && f.recovered == f.injected && f.retained_right == f.injected &&
            f.call_idle == f.injected);
  }
  row("events the bridge read from the program", str(static_cast<long>(expected.size())),
      !expected.empty());
  row("  lost before the subscriber", str(lost), lost == 0);
  row("  arrived that no program line explains", str(extra), extra == 0);
  row("  duplicates (QoS 1 resends, counted)", str(duplicates), true);
  row("  driver_exit events (program ends)", str(exits), true);
  row("commands sent (operator and households)", str(static_cast<long>(sent_.size())),
      !sent_.empty());
  row("  with no result", str(none), none == 0);
  row("  with more than one result", str(twice), twice == 0);
  row("malformed and oversized payloads sent", str(static_cast<long>(malformed_sent_.size())),
      true);
  row("  refusals for them", str(malformed_results),
      malformed_results == static_cast<long>(malformed_sent_.size()));
  row("  writes outside a household's rules (dropped)", str(acl_probes_), true);
  row("  results for those (must be none)", str(acl_leaks), acl_leaks == 0);
  row("record requests on a full directory, results",
      str(record_requests_) + ", " + str(record_results), record_results == record_requests_);
  row("bridge kills with the last will seen (offline)",
      str(wills) + " of " + str(static_cast<long>(bridge_kill_times_.size())),
      wills == static_cast<int>(bridge_kill_times_.size()));
  row("bridge exits nobody asked for", str(unexpected_bridge_exits_),
      unexpected_bridge_exits_ == 0);
  row("program pin logs with the pins left idle",
      str(pin_logs - pins_not_idle) + " of " + str(pin_logs), pin_logs > 0 && pins_not_idle == 0);
  char fig[96];
  snprintf(fig, sizeof fig, "%.1f s", longest_away_s);
  row("  longest a pin stayed away from idle", fig, longest_away_s < 30);
  const auto flat = [&](const char* what, long a, long b, long max, long slack) {
    snprintf(fig, sizeof fig, "%ld -> %ld (max %ld)", a, b, max);
    row(what, fig, b <= a + slack);
  };
  // A short run is all warm-up: each kind of fault comes once, and the first
  // record packed or payload refused grows the heap once for good (1.3 MiB
  // seen in a minute). Only a long run, where every fault comes again and
  // again, tells such a step from a leak; a short one still catches a gross
  // one.
  const bool short_run = seconds_ <= 300;
  flat("bridge RSS KiB, first quarter -> last quarter", brss0, brss1, brssmax,
       short_run ? std::max(4096L, brss0 / 2) : std::max(1024L, brss0 / 10));
  flat("bridge open descriptors", bfd0, bfd1, bfdmax, 1);
  flat("program RSS KiB", prss0, prss1, prssmax, std::max(2048L, prss0 / 10));
  flat("program open descriptors", pfd0, pfd1, pfdmax, 1);
  flat("broker RSS KiB (for reference)", mrss0, mrss1, mrssmax, 1L << 30);
  for (const auto& p : problems_) printf("soak: %s\n", p.c_str());
  printf("soak: %d faults, %d counts wrong; logs in %s\n", total_faults, wrong, work_.c_str());
  if (wrong == 0 && getenv("ZUL_SOAK_KEEP") == nullptr) {
    std::string cmd = "rm -rf " + work_;
    if (system(cmd.c_str()) != 0) return 1;
  }
  return wrong == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6 || argc > 8) {
    fprintf(stderr, "usage: zul_soak BRIDGE SIM MOSQUITTO SECONDS SEED [OUTAGE_S [SPEED]]\n");
    return 64;
  }
  signal(SIGPIPE, SIG_IGN);
  mosquitto_lib_init();
  Soak soak(argv[1], argv[2], argv[3], atof(argv[4]), static_cast<unsigned>(atol(argv[5])),
            argc > 6 ? atof(argv[6]) : 5, argc > 7 ? atof(argv[7]) : 1);
  const int status = soak.run();
  mosquitto_lib_cleanup();
  return status;
}
