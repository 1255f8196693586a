#include "bridge/outbox.h"

namespace bridge {

void Outbox::push(Message message) {
  if (queue_.size() >= limit_) {
    queue_.pop_front();
    ++dropped_;
  }
  queue_.push_back(std::move(message));
}

std::optional<Message> Outbox::next(size_t max_in_flight) {
  if (queue_.empty() || in_flight_ >= max_in_flight) return std::nullopt;
  Message m = std::move(queue_.front());
  queue_.pop_front();
  return m;
}

void Outbox::unget(Message message) { queue_.push_front(std::move(message)); }

}  // namespace bridge
