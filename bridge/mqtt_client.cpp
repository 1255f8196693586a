#include "bridge/mqtt_client.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bridge/log.h"
#include "bridge/topics.h"

namespace bridge {

MqttClient::MqttClient(const Config& config) : config_(config) { mosquitto_lib_init(); }

MqttClient::~MqttClient() {
  if (mosq_) {
    mosquitto_destroy(mosq_);
  }
  mosquitto_lib_cleanup();
}

bool MqttClient::start(std::string* error) {
  mosq_ = mosquitto_new(config_.client_id.c_str(), true, this);
  if (!mosq_) {
    *error = "cannot create the MQTT client";
    return false;
  }
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION,
                       config_.protocol == 5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
  // Each event is a small packet of its own: Nagle's algorithm would hold it
  // back until the broker acknowledged the one before (tens of ms).
  mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
  const std::string status = Topics(config_).status();
  int rc = mosquitto_will_set(mosq_, status.c_str(), 7, "offline", 1, true);
  if (rc == MOSQ_ERR_SUCCESS && !config_.username.empty()) {
    rc = mosquitto_username_pw_set(
        mosq_, config_.username.c_str(),
        config_.password_file.empty() ? nullptr : config_.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && config_.tls()) {
    rc = mosquitto_tls_set(mosq_, config_.ca_file.c_str(), nullptr,
                           config_.cert_file.empty() ? nullptr : config_.cert_file.c_str(),
                           config_.key_file.empty() ? nullptr : config_.key_file.c_str(), nullptr);
    if (rc == MOSQ_ERR_SUCCESS && config_.tls_insecure) {
      rc = mosquitto_tls_insecure_set(mosq_, true);
    }
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = std::string("MQTT client set-up: ") + mosquitto_strerror(rc);
    return false;
  }
  mosquitto_connect_callback_set(mosq_, on_connect);
  mosquitto_disconnect_callback_set(mosq_, on_disconnect);
  mosquitto_publish_callback_set(mosq_, on_publish);
  mosquitto_message_callback_set(mosq_, on_message);
  started_ = true;
  attempt(steady_ms());
  return true;
}

void MqttClient::attempt(long long now_ms) {
  const BrokerAddress& broker = config_.brokers[current_];
  // The first attempt at a broker gives libmosquitto its address; later ones
  // reuse it. Either way the session's unacknowledged messages are kept for
  // repeating.
  const int rc = stored_ == current_ ? mosquitto_reconnect_async(mosq_)
                                     : mosquitto_connect_async(mosq_, broker.host.c_str(),
                                                               broker.port, config_.keepalive_s);
  // A failed attempt has stored the address all the same, unless the
  // arguments themselves were refused.
  if (rc != MOSQ_ERR_INVAL) stored_ = current_;
  if (rc != MOSQ_ERR_SUCCESS) {
    const std::string why = rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc);
    post({MqttEvent::Type::kConnectFailed, rc, broker.text(), why});
    move_on(now_ms);
  }
}

void MqttClient::move_on(long long now_ms) {
  current_ = (current_ + 1) % config_.brokers.size();
  if (++failed_in_a_row_ < config_.brokers.size()) {
    next_attempt_ms_ = now_ms;
    return;
  }
  failed_in_a_row_ = 0;
  next_attempt_ms_ = now_ms + backoff_ms_;
  backoff_ms_ = std::min<long long>(30000, backoff_ms_ * 2);
}

int MqttClient::socket() const { return mosq_ ? mosquitto_socket(mosq_) : -1; }

bool MqttClient::want_write() const { return mosq_ && mosquitto_want_write(mosq_); }

void MqttClient::io(long long now_ms) {
  if (!started_) return;
  if (mosquitto_socket(mosq_) < 0) {
    if (now_ms >= next_attempt_ms_) attempt(now_ms);
    next_io_ms_ = mosquitto_socket(mosq_) < 0 ? next_attempt_ms_ : now_ms + 1000;
    return;
  }
  // Non-blocking: reads and writes what is ready, sends the keepalive, and
  // on a lost connection closes the socket and reports it.
  for (int i = 0; i < 8 && mosquitto_socket(mosq_) >= 0; ++i) {
    if (mosquitto_loop(mosq_, 0, 1) != MOSQ_ERR_SUCCESS) break;
  }
  next_io_ms_ =
      now_ms + (mosquitto_socket(mosq_) < 0 ? std::max(0LL, next_attempt_ms_ - now_ms) : 1000);
}

void MqttClient::post(MqttEvent event) {
  if (event.type == MqttEvent::Type::kPublished && event.code == stop_mid_) stop_acked_ = true;
  inbox_.push_back(std::move(event));
}

std::vector<MqttEvent> MqttClient::take_events() {
  std::vector<MqttEvent> events;
  events.swap(inbox_);
  return events;
}

void MqttClient::on_connect(struct mosquitto*, void* self, int rc) {
  auto* client = static_cast<MqttClient*>(self);
  if (rc == 0) {
    client->backoff_ms_ = 1000;
    client->failed_in_a_row_ = 0;
    client->connected_ = true;
  }
  // A refusal closes the connection: on_disconnect moves on.
  client->post({rc == 0 ? MqttEvent::Type::kConnected : MqttEvent::Type::kConnectFailed, rc,
                client->broker().text(), mosquitto_connack_string(rc)});
}

void MqttClient::on_disconnect(struct mosquitto*, void* self, int rc) {
  auto* client = static_cast<MqttClient*>(self);
  // libmosquitto has no words of its own for a broker that stopped
  // answering (a hung broker, a cut cable).
  const std::string why = rc == MOSQ_ERR_ERRNO       ? strerror(errno)
                          : rc == MOSQ_ERR_KEEPALIVE ? "no answer within the keepalive"
                                                     : mosquitto_strerror(rc);
  client->post({MqttEvent::Type::kDisconnected, rc, client->broker().text(), why});
  if (!client->started_) return;  // the bridge's own disconnection, when it stops
  if (!client->connected_) {
    client->move_on(steady_ms());
    return;
  }
  // A connection that worked and is lost is no failure of a round: the next
  // broker (the same one, when it is the only one) is tried at once, and
  // the whole list again before any wait.
  client->connected_ = false;
  client->current_ = (client->current_ + 1) % client->config_.brokers.size();
  client->failed_in_a_row_ = 0;
  client->next_attempt_ms_ = steady_ms();
}

void MqttClient::on_publish(struct mosquitto*, void* self, int mid) {
  static_cast<MqttClient*>(self)->post({MqttEvent::Type::kPublished, mid, "", ""});
}

void MqttClient::on_message(struct mosquitto*, void* self, const struct mosquitto_message* m) {
  std::string payload(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen));
  static_cast<MqttClient*>(self)->post(
      {MqttEvent::Type::kMessage, m->mid, m->topic, payload, m->retain});
}

bool MqttClient::publish(const Message& message, int* mid_out, std::string* error) {
  int mid = 0;
  const int rc = mosquitto_publish(mosq_, &mid, message.topic.c_str(),
                                   static_cast<int>(message.payload.size()), message.payload.data(),
                                   message.qos, message.retain);
  if (rc != MOSQ_ERR_SUCCESS && error) *error = mosquitto_strerror(rc);
  if (mid_out) *mid_out = mid;
  return rc == MOSQ_ERR_SUCCESS;
}

bool MqttClient::subscribe(const std::string& pattern, int qos) {
  return mosquitto_subscribe(mosq_, nullptr, pattern.c_str(), qos) == MOSQ_ERR_SUCCESS;
}

void MqttClient::stop(const Message& last, int timeout_ms) {
  if (!mosq_ || !started_) return;
  int mid = 0;
  if (mosquitto_socket(mosq_) >= 0 &&
      mosquitto_publish(mosq_, &mid, last.topic.c_str(), static_cast<int>(last.payload.size()),
                        last.payload.data(), last.qos, last.retain) == MOSQ_ERR_SUCCESS) {
    stop_mid_ = mid;
    const long long until = steady_ms() + timeout_ms;
    while (!stop_acked_ && steady_ms() < until && mosquitto_socket(mosq_) >= 0) {
      mosquitto_loop(mosq_, 20, 1);
    }
  }
  started_ = false;
  mosquitto_disconnect(mosq_);
  if (mosquitto_socket(mosq_) >= 0) mosquitto_loop(mosq_, 0, 1);
}

}  // namespace bridge
