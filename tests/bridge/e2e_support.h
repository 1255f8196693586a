// End-to-end support: a real broker on a free loopback port with a
// temporary configuration (Mosquitto; ejabberd's MQTT module when
// ZUL_TEST_BROKER=ejabberd), a real MQTT client that records what the bridge
// publishes, and zul_stm_mqtt run as a process with zul_stm_sim as its
// program.
#pragma once
#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace bridge_test {

// A directory under $TMPDIR, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name, const std::string& text) const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
// The words of ZUL_LAUNCHER (the emulator of a cross build), then `path`.
std::vector<std::string> launched(const std::string& path);

class Broker {
 public:
  Broker();
  ~Broker();
  // Whether a broker can be run here at all.
  static bool available();
  // "mosquitto" or "ejabberd" (ZUL_TEST_BROKER).
  static std::string kind();
  // Whether a client must log in even where the broker takes anyone
  // (ejabberd's MQTT module: anonymous logins still give a name and a
  // password); these are the ones to give then.
  static bool needs_login();
  static const char* anonymous_user() { return "anyone"; }
  static const char* anonymous_password() { return "any"; }
  // Only these users, each reaching what the ACL file lets it (mosquitto's
  // acl_file format; for ejabberd made into mod_mqtt's access rules); call
  // before the first start. `users` are name and password pairs, made into
  // a password file by mosquitto_passwd (registered in ejabberd).
  bool secure(const std::vector<std::pair<std::string, std::string>>& users,
              const std::string& acl);
  // Waits until it has opened its listener: its own log says so, which no
  // other broker on the port can fake; on a port taken meanwhile (another
  // test's broker), the first start tries again on a fresh one. A start
  // after a stop keeps the port: the bridge is configured with it.
  bool start();
  void stop();  // SIGTERM; it saves its store and ends
  int port() const { return port_; }
  std::string log() const { return read_file(dir_.path() + "/broker.log"); }

 private:
  void write_config();
  bool start_ejabberd();
  // ejabberdctl on this broker's node, with its own configuration and
  // spool; its status.
  int ejabberdctl(const std::string& command, std::string* output = nullptr) const;
  TempDir dir_;
  std::vector<std::pair<std::string, std::string>> users_;
  std::string acl_;
  int port_ = 0;
  pid_t pid_ = -1;
  bool started_once_ = false;
  std::string config_;
  std::string security_ = "allow_anonymous true\n";
};

struct Received {
  std::string topic;
  std::string payload;
  bool retained = false;
};

// A client with a persistent session: what is published for it while the
// broker is down, or while it reconnects, reaches it afterwards.
class Probe {
 public:
  Probe(int port, const std::string& client_id, const std::string& username = "",
        const std::string& password = "");
  bool connected();
  ~Probe();
  bool subscribe(const std::string& pattern);
  void publish(const std::string& topic, const std::string& payload, bool retain = false);
  std::vector<Received> messages();
  // Waits until `done` holds for the messages so far.
  bool wait_until(const std::function<bool(const std::vector<Received>&)>& done, double timeout_s);
  // Waits for a message on `topic` whose payload contains `part`, among the
  // messages from index `from` on; returns its index or -1.
  int wait_for(const std::string& topic, const std::string& part, double timeout_s,
               size_t from = 0);
  // The JSON payloads on `topic`, in order.
  std::vector<nlohmann::json> json_on(const std::string& topic);

 private:
  static void on_message(struct mosquitto*, void* self, const struct mosquitto_message* m);
  static void on_connect(struct mosquitto*, void* self, int rc);
  struct mosquitto* mosq_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Received> messages_;
  std::vector<std::string> patterns_;
  bool connected_ = false;
};

class BridgeRun {
 public:
  explicit BridgeRun(const std::string& config_path, bool verbose = true);
  ~BridgeRun();
  void signal(int signo);
  pid_t pid() const { return pid_; }
  // Exit status (128 + N after signal N); -1 if it had not ended in time.
  int wait(double timeout_s);
  std::string log() const { return read_file(log_path_); }
  // The pid of the program it started, from its log; -1 when not found.
  pid_t program_pid() const;

 private:
  TempDir dir_;
  std::string log_path_;
  pid_t pid_ = -1;
};

// A configuration for a bridge on `broker_port` whose program is the
// simulator with the given scenario at `speed`, logging its pins.
struct SimSetup {
  SimSetup(std::string text) : scenario(std::move(text)) {}  // NOLINT: a scenario reads as one
  std::string scenario;                                      // scenario text
  double speed = 10;
  std::string extra_toml;   // appended (answers, rooms...)
  std::string driver_toml;  // added to [driver]
  std::string mqtt_toml;    // added to [mqtt]
  std::string rooms = "[rooms]\nimitate = [5, 6]\nblacklist = [9]\n";
  std::string working_directory;  // the program's; empty: the source tree
};
// The [mqtt] lines that log a bridge in where the broker wants a login even
// from anyone (Broker::needs_login), with a password file in dir; empty
// elsewhere.
std::string broker_login(const TempDir& dir);
// The flight records go to dir/records.
std::string sim_config(const TempDir& dir, int broker_port, const SimSetup& setup,
                       std::string* pins_path);

// Runs a command line through the shell; its status, and what it printed
// (standard output and error) in `output`.
int run_command(const std::string& command, std::string* output);

// Pin writes from a pin log: (time in simulated ms, gpio, level).
struct PinWrite {
  double t;
  int gpio;
  int level;
};
std::vector<PinWrite> pin_writes(const std::string& pins_log);
// Index of the first write of `gpio` to `level` at or after `from`, or -1.
int find_write(const std::vector<PinWrite>& w, int gpio, int level, size_t from);

}  // namespace bridge_test
