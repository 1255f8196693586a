// The time from an event line of the program to a subscriber of the events
// (p50, p99, max) while another client fetches full flight records over MQTT
// one after another,
// and the same with no fetch, for comparison: reading and compressing a
// record must not hold up the bridge's loop, which carries the events.
//
//   zul_record_fetch_bench BRIDGE SIMULATOR MOSQUITTO [SAMPLES]
//
// The simulator first makes a full record (an idle hour in virtual time,
// the ring wrapped: ~13 MB of text). A FIFO then stands in for the program
// (cat copies it to the bridge), under a shell that answers SIGUSR1 as the
// program does: the full record under ZUL_RECORD, by a rename.
#include <fcntl.h>
#include <mosquitto.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_process.h"

namespace {

using bench::now_us;
using bench::spawn;
using bench::stop;

// Written by the two clients' libmosquitto threads, read by main: arrival
// under `mutex`, the rest atomic.
struct Sub {
  std::mutex mutex;
  std::vector<long long> arrival;  // by sequence number
  std::atomic<bool> online{false};
  std::atomic<int> records{0};  // records received
  std::atomic<size_t> record_bytes{0};
};

void on_message(struct mosquitto*, void* self, const struct mosquitto_message* m) {
  auto* sub = static_cast<Sub*>(self);
  const long long t = now_us();
  const std::string topic = m->topic;
  if (topic.size() > 7 && topic.compare(topic.size() - 7, 7, "/record") == 0) {
    sub->record_bytes = static_cast<size_t>(m->payloadlen);
    ++sub->records;
    return;
  }
  const std::string payload(static_cast<const char*>(m->payload),
                            static_cast<size_t>(m->payloadlen));
  if (topic.size() > 7 && topic.compare(topic.size() - 7, 7, "/status") == 0) {
    sub->online = payload == "online";
    return;
  }
  const auto j = nlohmann::json::parse(payload, nullptr, false);
  if (j.is_object() && j.value("event", "") == "signal") {
    std::lock_guard<std::mutex> lock(sub->mutex);
    const size_t seq = j["value"].get<size_t>();
    if (seq < sub->arrival.size()) sub->arrival[seq] = t;
  }
}

// One run of `samples` event lines 5 ms apart; with `fetch`, a record is
// asked for again as soon as the last one came.
void run(const std::string& bridge, const std::string& dir, int port, struct mosquitto* m, Sub* sub,
         int samples, bool fetch) {
  const std::string fifo = dir + "/program";
  unlink(fifo.c_str());
  mkfifo(fifo.c_str(), 0600);
  const std::string program =
      "trap 'cp \"$1\" \"$ZUL_RECORD.tmp\" && mv \"$ZUL_RECORD.tmp\" \"$ZUL_RECORD\"' USR1; "
      "cat \"$2\" & c=$!; while kill -0 $c 2>/dev/null; do wait $c; done";
  std::ofstream(dir + "/bench.toml")
      << "[driver]\ncommand = [\"/bin/sh\", \"-c\", " << nlohmann::json(program).dump()
      << ", \"sh\", \"" << dir << "/full.rec\", \"" << fifo
      << "\"]\nintercom = 10\nworking_directory = \"/\"\nrecord_directory = \"" << dir
      << "/records\"\n[mqtt]\nport = " << port
      << "\ntopic = \"bench/fetch\"\n[homeassistant]\ndiscovery = false\n";
  sub->online = false;
  sub->records = 0;
  {
    std::lock_guard<std::mutex> lock(sub->mutex);
    sub->arrival.assign(static_cast<size_t>(samples), 0);
  }
  const pid_t bridge_pid = spawn({bridge, "--config", dir + "/bench.toml"}, dir + "/bridge.log");
  const int fd = open(fifo.c_str(), O_WRONLY);
  const std::string hello = "ZUL_STM_Driver 1.22\nIntercom: 10\nProgram_STM: 1\nShield: 26\n";
  if (write(fd, hello.data(), hello.size()) < 0) exit(1);
  while (!sub->online) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int asked = 0;
  std::vector<long long> sent(static_cast<size_t>(samples));
  for (int i = 0; i < samples; ++i) {
    if (fetch && sub->records >= asked) {
      mosquitto_publish(m, nullptr, "bench/fetch/record/get", 0, "", 1, false);
      ++asked;
    }
    const std::string line = "S0 impulse: HIGH " + std::to_string(i) + "\n";
    sent[static_cast<size_t>(i)] = now_us();
    if (write(fd, line.data(), line.size()) < 0) exit(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  close(fd);
  stop(bridge_pid);
  std::vector<double> ms;
  {
    std::lock_guard<std::mutex> lock(sub->mutex);
    for (int i = 0; i < samples; ++i) {
      const long long a = sub->arrival[static_cast<size_t>(i)];
      if (a > 0) ms.push_back(static_cast<double>(a - sent[static_cast<size_t>(i)]) / 1000.0);
    }
  }
  std::sort(ms.begin(), ms.end());
  auto pct = [&](double p) {
    return ms.empty() ? -1 : ms[static_cast<size_t>(p * static_cast<double>(ms.size() - 1))];
  };
  if (fetch) {
    printf("while fetching records (%d fetched, %zu bytes each on the broker):\n",
           sub->records.load(), sub->record_bytes.load());
  } else {
    printf("with no fetch:\n");
  }
  printf("  event line to subscriber: %zu of %d received; p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
         ms.size(), samples, pct(0.5), pct(0.99), ms.empty() ? -1 : ms.back());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: zul_record_fetch_bench BRIDGE SIMULATOR MOSQUITTO [SAMPLES]\n");
    return 64;
  }
  const std::string bridge = argv[1], sim = argv[2], mosquitto_path = argv[3];
  const int samples = argc > 4 ? std::atoi(argv[4]) : 2000;
  char dir_template[] = "/tmp/zul_record_fetch_bench_XXXXXX";
  const std::string dir = mkdtemp(dir_template);

  // A full record: an idle hour wraps the ring.
  std::ofstream(dir + "/hour.scn") << "0 console 5 -1 -1\n3600000 end\n";
  const pid_t maker = spawn({sim, "--virtual", "--scenario", dir + "/hour.scn", "--", "10"},
                            dir + "/sim.log", {"ZUL_RECORD=" + dir + "/full.rec"});
  waitpid(maker, nullptr, 0);
  struct stat st {};
  if (stat((dir + "/full.rec").c_str(), &st) != 0) {
    fprintf(stderr, "the simulator made no record\n");
    return 1;
  }
  printf("a full record: %lld bytes\n", static_cast<long long>(st.st_size));

  const int port = 20000 + static_cast<int>(getpid() % 20000);
  std::ofstream(dir + "/mosquitto.conf")
      << "listener " << port << " 127.0.0.1\nallow_anonymous true\n"
      << "set_tcp_nodelay true\n";
  const pid_t broker = spawn({mosquitto_path, "-c", dir + "/mosquitto.conf"}, dir + "/broker.log");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  // Two clients, as in a house: one follows the events, the other fetches
  // records; a record on the events' own connection would hold up the
  // events queued behind it there, whatever the bridge does.
  Sub sub;
  mosquitto_lib_init();
  struct mosquitto* events = mosquitto_new(nullptr, true, &sub);
  struct mosquitto* fetcher = mosquitto_new(nullptr, true, &sub);
  for (struct mosquitto* c : {events, fetcher}) {
    mosquitto_message_callback_set(c, on_message);
    if (mosquitto_connect(c, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
      fprintf(stderr, "no broker on port %d\n", port);
      return 1;
    }
  }
  mosquitto_subscribe(events, nullptr, "bench/fetch/event", 0);
  mosquitto_subscribe(events, nullptr, "bench/fetch/status", 0);
  mosquitto_subscribe(fetcher, nullptr, "bench/fetch/record", 0);
  mosquitto_loop_start(events);
  mosquitto_loop_start(fetcher);

  run(bridge, dir, port, fetcher, &sub, samples, false);
  run(bridge, dir, port, fetcher, &sub, samples, true);

  for (struct mosquitto* c : {events, fetcher}) {
    mosquitto_disconnect(c);
    mosquitto_loop_stop(c, false);
    mosquitto_destroy(c);
  }
  mosquitto_lib_cleanup();
  stop(broker);
  std::string cleanup = "rm -rf '" + dir + "'";
  return system(cleanup.c_str()) == 0 ? 0 : 1;
}
