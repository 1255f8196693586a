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
    // systemd arms the watchdog only once the service is ready; before, the
    // same pings push the start's timeout on by one interval each, so a
    // loop that hangs while the broker is still away is caught all the same.
    not_ready_ping_ = "WATCHDOG=1\nEXTEND_TIMEOUT_USEC=" + std::to_string(usec);
  }
}

long long ServiceManager::pass(long long now_ms, bool serving) {
  if (serving && !ready_) {
    ready_ = true;
    sd_notify(0, "READY=1");
  }
  if (ping_every_ms_ == 0) return -1;
  if (now_ms >= ping_due_ms_) {
    sd_notify(0, ready_ ? "WATCHDOG=1" : not_ready_ping_.c_str());
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
