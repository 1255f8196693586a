// What systemd hears from the bridge, through its own library (sd_notify):
// READY=1 once the bridge serves, WATCHDOG=1 from the loop while the loop
// turns (with EXTEND_TIMEOUT_USEC= before it is ready), STATUS= with what Home Assistant's
// diagnostics say. Started any other way (no NOTIFY_SOCKET) it says nothing and costs nothing.
#pragma once
#include <string>

namespace bridge {

// Owned by the loop's thread, as everything of the service; nothing here
// runs on a thread of its own, so a loop that stops turning stops the pings.
class ServiceManager {
 public:
  // Reads WATCHDOG_USEC (and WATCHDOG_PID) as systemd sets them.
  ServiceManager();
  // Once per pass of the loop: READY=1 the first time `serving` holds, and
  // WATCHDOG=1 when a ping is due. Returns the milliseconds until the next
  // ping is due, which the loop's wait must not outlast; -1 without a
  // watchdog.
  long long pass(long long now_ms, bool serving);
  // STATUS=, when it differs from the last one sent.
  void status(const std::string& text);
  // STOPPING=1: the bridge is on its way out, handing the line back.
  void stopping();

 private:
  long long ping_every_ms_ = 0;  // 0: no watchdog
  long long ping_due_ms_ = 0;
  bool ready_ = false;
  std::string not_ready_ping_;
  std::string status_;
};

}  // namespace bridge
