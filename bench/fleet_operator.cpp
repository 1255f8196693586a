// The operator of a fleet benchmark: subscribes to zul/+/event on the broker
// for a number of seconds and prints how long each event took from the
// bridge's own time stamp (taken when it read the program's line) to its
// arrival here, as p50, p99 and max, how many came from each entrance, and
// which event was the slowest (entrance and time), so that a long one can
// be matched with what the machine was doing then. Events stamped before
// FROM_MS (milliseconds since the epoch) are the fleet's start, counted
// apart. HOST is the broker's (default 127.0.0.1): on a cluster, another
// node than the entrances'; USER and PASSWORD its login (ejabberd's MQTT
// logins always carry one).
//
//   zul_fleet_operator [--connections K ENTRANCES] PORT SECONDS [FROM_MS [HOST [USER PASSWORD]]]
//
// With --connections, the events come over K connections, the k-th of them
// subscribed to zul/eN/event for every N of 1..ENTRANCES with N % K == k,
// rather than over one subscribed to zul/+/event. ejabberd sends each
// connection one QoS 1 message at a time and the next only after its
// acknowledgement, so one connection that takes a whole estate's events
// waits a round trip per event; an estate's consumer spreads them over
// several.
//
// The stamp has whole milliseconds, so each figure is too long by less than
// one millisecond; bridge and operator share this machine's clock.
#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bridge/log.h"

namespace {

struct Seen {
  std::mutex mutex;
  std::vector<double> latency_ms;
  std::map<std::string, int> per_topic;
  int unparsed = 0;
  int before_window = 0;
  long long from_ms = 0;
  double max_ms = -1;
  std::string max_topic;
  long long max_stamp_ms = 0;
};

long long now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void on_message(struct mosquitto*, void* self, const struct mosquitto_message* m) {
  const long long arrived = now_us();
  auto* seen = static_cast<Seen*>(self);
  const std::string payload(static_cast<const char*>(m->payload),
                            static_cast<size_t>(m->payloadlen));
  const auto j = nlohmann::json::parse(payload, nullptr, false);
  long long stamp_ms = 0;
  std::lock_guard<std::mutex> lock(seen->mutex);
  if (!j.is_object() || !j.contains("time") || !j["time"].is_string() ||
      !bridge::parse_iso_time(j["time"].get<std::string>(), &stamp_ms)) {
    seen->unparsed++;
    return;
  }
  if (stamp_ms < seen->from_ms) {
    seen->before_window++;
    return;
  }
  const double ms = static_cast<double>(arrived - stamp_ms * 1000) / 1000.0;
  seen->latency_ms.push_back(ms);
  seen->per_topic[m->topic]++;
  if (ms > seen->max_ms) {
    seen->max_ms = ms;
    seen->max_topic = m->topic;
    seen->max_stamp_ms = stamp_ms;
  }
}

}  // namespace

int main(int argc, char** argv) {
  int connections = 1;
  int entrances = 0;
  if (argc > 3 && std::string(argv[1]) == "--connections") {
    connections = atoi(argv[2]);
    entrances = atoi(argv[3]);
    argc -= 3;
    argv += 3;
  }
  if (argc < 3 || argc > 7 || argc == 6 || connections < 1 || connections > 1000 ||
      (connections > 1 && entrances < 1)) {
    fprintf(stderr,
            "usage: zul_fleet_operator [--connections K ENTRANCES] PORT SECONDS [FROM_MS [HOST "
            "[USER PASSWORD]]]\n");
    return 64;
  }
  const int port = atoi(argv[1]);
  const int seconds = atoi(argv[2]);
  const char* host = argc > 4 ? argv[4] : "127.0.0.1";
  Seen seen;
  seen.from_ms = argc > 3 ? atoll(argv[3]) : 0;
  mosquitto_lib_init();
  std::vector<struct mosquitto*> clients;
  for (int k = 0; k < connections; k++) {
    const std::string id = "fleet-operator-" + std::to_string(k);
    struct mosquitto* m = mosquitto_new(id.c_str(), true, &seen);
    clients.push_back(m);
    mosquitto_message_callback_set(m, on_message);
    if (argc > 6) mosquitto_username_pw_set(m, argv[5], argv[6]);
    // Its acknowledgements must not wait for Nagle: the broker sends it no
    // more than its in-flight window of unacknowledged events.
    mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
    if (mosquitto_connect(m, host, port, 30) != MOSQ_ERR_SUCCESS) {
      fprintf(stderr, "zul_fleet_operator: no broker on port %d\n", port);
      return 1;
    }
    if (connections == 1) {
      mosquitto_subscribe(m, nullptr, "zul/+/event", 1);
    } else {
      for (int n = 1; n <= entrances; n++) {
        if (n % connections != k) continue;
        mosquitto_subscribe(m, nullptr, ("zul/e" + std::to_string(n) + "/event").c_str(), 1);
      }
    }
    mosquitto_loop_start(m);
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  for (struct mosquitto* m : clients) {
    mosquitto_disconnect(m);
    mosquitto_loop_stop(m, false);
  }
  std::lock_guard<std::mutex> lock(seen.mutex);
  std::vector<double> ms = seen.latency_ms;
  std::sort(ms.begin(), ms.end());
  const auto pct = [&](double p) {
    return ms.empty() ? -1.0 : ms[static_cast<size_t>(p * static_cast<double>(ms.size() - 1))];
  };
  int least = -1, most = 0;
  for (const auto& [topic, n] : seen.per_topic) {
    least = least < 0 ? n : std::min(least, n);
    most = std::max(most, n);
  }
  printf("events: %zu from %zu entrances (%d to %d each), %d without a time stamp\n", ms.size(),
         seen.per_topic.size(), least < 0 ? 0 : least, most, seen.unparsed);
  printf("event to operator: p50 %.2f ms, p99 %.2f ms, max %.2f ms (1 ms stamp resolution)\n",
         pct(0.5), pct(0.99), ms.empty() ? -1.0 : ms.back());
  if (!ms.empty()) {
    const time_t at = static_cast<time_t>(seen.max_stamp_ms / 1000);
    char when[32];
    strftime(when, sizeof when, "%H:%M:%S", gmtime(&at));
    printf("slowest: %s stamped %s.%03lld UTC; %d events before the window not counted\n",
           seen.max_topic.c_str(), when, seen.max_stamp_ms % 1000, seen.before_window);
  }
  for (struct mosquitto* m : clients) mosquitto_destroy(m);
  mosquitto_lib_cleanup();
  return ms.empty() ? 1 : 0;
}
