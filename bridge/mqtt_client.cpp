#include "bridge/mqtt_client.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <chrono>
#include <thread>

#include "bridge/log.h"

namespace bridge {

MqttClient::MqttClient(const Config& config) : config_(config) {
  mosquitto_lib_init();
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    wake_[0] = wake_[1] = -1;
  }
}

MqttClient::~MqttClient() {
  if (mosq_) {
    if (started_) mosquitto_loop_stop(mosq_, true);
    mosquitto_destroy(mosq_);
  }
  mosquitto_lib_cleanup();
  for (int fd : wake_) {
    if (fd >= 0) close(fd);
  }
}

bool MqttClient::start(std::string* error) {
  if (wake_[0] < 0) {
    *error = "cannot make a pipe";
    return false;
  }
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
  const std::string status = config_.topic + "/status";
  int rc = mosquitto_will_set(mosq_, status.c_str(), 7, "offline", 1, true);
  if (rc == MOSQ_ERR_SUCCESS && !config_.username.empty()) {
    rc = mosquitto_username_pw_set(mosq_, config_.username.c_str(),
                                   config_.password_file.empty() ? nullptr
                                                                 : config_.password.c_str());
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
  mosquitto_reconnect_delay_set(mosq_, 1, 30, true);
  mosquitto_connect_callback_set(mosq_, on_connect);
  mosquitto_disconnect_callback_set(mosq_, on_disconnect);
  mosquitto_publish_callback_set(mosq_, on_publish);
  mosquitto_message_callback_set(mosq_, on_message);
  rc = mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port, config_.keepalive_s);
  if (rc != MOSQ_ERR_SUCCESS) {
    // Not final: the client's thread goes on trying with its backoff.
    const std::string why = rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc);
    post({MqttEvent::Type::kConnectFailed, rc, "", why});
  }
  rc = mosquitto_loop_start(mosq_);
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = std::string("MQTT client thread: ") + mosquitto_strerror(rc);
    return false;
  }
  started_ = true;
  return true;
}

void MqttClient::post(MqttEvent event) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (event.type == MqttEvent::Type::kPublished && event.code == stop_mid_) stop_acked_ = true;
    inbox_.push_back(std::move(event));
  }
  const char byte = 1;
  [[maybe_unused]] ssize_t written = write(wake_[1], &byte, 1);
}

std::vector<MqttEvent> MqttClient::take_events() {
  char drain[64];
  while (read(wake_[0], drain, sizeof drain) > 0) {
  }
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<MqttEvent> events;
  events.swap(inbox_);
  return events;
}

void MqttClient::on_connect(struct mosquitto*, void* self, int rc) {
  static_cast<MqttClient*>(self)->post(
      {rc == 0 ? MqttEvent::Type::kConnected : MqttEvent::Type::kConnectFailed, rc, "",
       mosquitto_connack_string(rc)});
}

void MqttClient::on_disconnect(struct mosquitto*, void* self, int rc) {
  const std::string why = rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc);
  static_cast<MqttClient*>(self)->post({MqttEvent::Type::kDisconnected, rc, "", why});
}

void MqttClient::on_publish(struct mosquitto*, void* self, int mid) {
  static_cast<MqttClient*>(self)->post({MqttEvent::Type::kPublished, mid, "", ""});
}

void MqttClient::on_message(struct mosquitto*, void* self, const struct mosquitto_message* m) {
  std::string payload(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen));
  static_cast<MqttClient*>(self)->post({MqttEvent::Type::kMessage, m->mid, m->topic, payload});
}

bool MqttClient::publish(const Message& message, int* mid_out, std::string* error) {
  int mid = 0;
  const int rc =
      mosquitto_publish(mosq_, &mid, message.topic.c_str(), static_cast<int>(message.payload.size()),
                        message.payload.data(), message.qos, message.retain);
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
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_mid_ = -2;
  }
  const int rc = mosquitto_publish(mosq_, &mid, last.topic.c_str(),
                                   static_cast<int>(last.payload.size()), last.payload.data(),
                                   last.qos, last.retain);
  if (rc == MOSQ_ERR_SUCCESS) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_mid_ = mid;
      // The acknowledgement may have come before the id was known.
      for (const MqttEvent& e : inbox_) {
        if (e.type == MqttEvent::Type::kPublished && e.code == mid) stop_acked_ = true;
      }
    }
    const long long until = steady_ms() + timeout_ms;
    while (steady_ms() < until) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_acked_) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, false);
  started_ = false;
}

}  // namespace bridge
