// The connection to the broker, through libmosquitto, driven from the
// service's own poll loop: libmosquitto's thread gives up for good on some
// failures of a first connection (a broker that starts after the bridge, a
// name that does not resolve yet at boot), so the bridge keeps the
// connection itself, for as long as it runs. With several brokers listed
// (the nodes of one cluster), a failed attempt or a lost connection moves on
// to the next one at once; only when the whole list has failed in a row does
// it wait: 1 s, doubling up to 30 s. It stays with a broker that works; a
// broker that never answers is given up after the keepalive. libmosquitto
// repeats unacknowledged QoS 1 messages on the next connection, whichever
// broker that is.
// Its callbacks run inside io() and stop(), on the service's thread, which
// owns everything here: what they report waits in an inbox, handled after
// each pass.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/config.h"
#include "bridge/outbox.h"

struct mosquitto;
struct mosquitto_message;

namespace bridge {

struct MqttEvent {
  enum class Type { kConnected, kConnectFailed, kDisconnected, kMessage, kPublished };
  Type type = Type::kMessage;
  int code = 0;           // connect / disconnect reason, or the message id
  std::string topic;      // a message's; the broker's host:port for the others
  std::string payload;    // the message, or what went wrong in words
  bool retained = false;  // a message the broker kept and hands to every new subscriber
};

class MqttClient {
 public:
  explicit MqttClient(const Config& config);
  ~MqttClient();
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  // Sets the will, credentials and TLS, and starts connecting in the
  // background. False (with the reason) only when the client cannot be set up.
  bool start(std::string* error);
  // What the callbacks reported since the last call.
  std::vector<MqttEvent> take_events();
  bool has_events() const { return !inbox_.empty(); }
  // The connection's socket (-1 while there is none) and whether it has
  // something to write; io() does the reading, writing and keepalive, and
  // attempts a connection when one is due.
  int socket() const;
  bool want_write() const;
  void io(long long now_ms);
  // The broker connected to, or tried next.
  const BrokerAddress& broker() const { return config_.brokers[current_]; }
  // When io() must run next at the latest.
  long long next_io_ms() const { return next_io_ms_; }

  // Hands a message on; false when libmosquitto refused it.
  bool publish(const Message& message, int* mid = nullptr, std::string* error = nullptr);
  bool subscribe(const std::string& pattern, int qos);
  // Publishes the clean-stop status and disconnects, waiting at most
  // `timeout_ms` for the broker to acknowledge it.
  void stop(const Message& last, int timeout_ms);

 private:
  static void on_connect(struct mosquitto*, void* self, int rc);
  static void on_disconnect(struct mosquitto*, void* self, int rc);
  static void on_publish(struct mosquitto*, void* self, int mid);
  static void on_message(struct mosquitto*, void* self, const struct mosquitto_message* m);
  void post(MqttEvent event);

  const Config& config_;
  struct mosquitto* mosq_ = nullptr;
  std::vector<MqttEvent> inbox_;
  bool started_ = false;
  bool connected_ = false;
  size_t current_ = 0;          // the broker in config_.brokers tried or in use
  size_t stored_ = SIZE_MAX;    // the one libmosquitto holds the address of
  size_t failed_in_a_row_ = 0;  // brokers that failed since the last round's wait
  long long next_attempt_ms_ = 0;
  long long backoff_ms_ = 1000;
  long long next_io_ms_ = 0;
  void attempt(long long now_ms);
  // The broker tried or in use failed: on to the next one.
  void move_on(long long now_ms);
  int stop_mid_ = -1;
  bool stop_acked_ = false;
};

}  // namespace bridge
