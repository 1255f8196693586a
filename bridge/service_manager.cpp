#include "bridge/service_manager.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>

namespace bridge {

ServiceManager::ServiceManager() {
  uint64_t usec = 0;
  // A ping at every quarter of the interval: one late pass, or one lost
  // datagram, still leaves the manager a ping within the interval.
  if (sd_watchdog_enabled(0, &usec) > 0) {
    ping_every_ms_ = std::max<long long>(1, static_cast<long long>(usec / 4000));
  }
}

long long ServiceManager::pass(long long now_ms, bool serving) {
  if (serving && !ready_) {
    ready_ = true;
    sd_notify(0, "READY=1");
  }
  if (ping_every_ms_ == 0) return -1;
  if (now_ms >= ping_due_ms_) {
    sd_notify(0, "WATCHDOG=1");
    ping_due_ms_ = now_ms + ping_every_ms_;
  }
  return ping_due_ms_ - now_ms;
}

void ServiceManager::status(const std::string& text) {
  if (text == status_) return;
  status_ = text;
  sd_notify(0, ("STATUS=" + text).c_str());
}

void ServiceManager::stopping() { sd_notify(0, "STOPPING=1"); }

}  // namespace bridge
