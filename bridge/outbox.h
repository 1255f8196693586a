// Events waiting for the broker: kept in order, bounded, and handed to the
// MQTT client only while it is connected, a few at a time, so that an outage
// of the broker loses nothing and repeats nothing. When the bound is reached
// the oldest events give way, and the loss is counted.
#pragma once
#include <cstddef>
#include <deque>
#include <optional>
#include <string>

namespace bridge {

struct Message {
  std::string topic;
  std::string payload;
  int qos = 1;
  bool retain = false;
};

class Outbox {
 public:
  explicit Outbox(size_t limit) : limit_(limit) {}

  void push(Message message);
  // The next message to publish, while fewer than `max_in_flight` await
  // their acknowledgement.
  std::optional<Message> next(size_t max_in_flight);
  // Gives back the message that next() returned and could not be handed on.
  void unget(Message message);
  void sent() { ++in_flight_; }
  void acknowledged() {
    if (in_flight_ > 0) --in_flight_;
  }

  size_t waiting() const { return queue_.size(); }
  size_t in_flight() const { return in_flight_; }
  size_t dropped() const { return dropped_; }

 private:
  size_t limit_;
  std::deque<Message> queue_;
  size_t in_flight_ = 0;
  size_t dropped_ = 0;
};

}  // namespace bridge
