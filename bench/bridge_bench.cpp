// Figures of zul_stm_mqtt: the time from an event line of the program to its
// publication (as a subscriber receives it, so the broker's hop counts too),
// and the bridge's CPU and memory while the line is idle.
//
//   zul_bridge_bench BRIDGE SIMULATOR MOSQUITTO [SAMPLES]
//
// The latency run puts a FIFO in place of the program (cat copies it to the
// bridge): the bench writes a signal report with a sequence number, stamps
// it, and stamps its arrival on BASE/event. The idle run has the simulator
// as the program, with no calls, for 30 s.
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_process.h"

namespace {

using bench::now_us;
using bench::spawn;
using bench::stop;

using Clock = std::chrono::steady_clock;

struct Sub {
  std::mutex mutex;
  std::vector<long long> arrival;  // by sequence number
  std::atomic<bool> online{false};
};

void on_message(struct mosquitto*, void* self, const struct mosquitto_message* m) {
  auto* sub = static_cast<Sub*>(self);
  const long long t = now_us();
  const std::string topic = m->topic;
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

double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string f;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::atoll(f.c_str());
    if (i == 15) stime = std::atoll(f.c_str());
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long status_kib(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: zul_bridge_bench BRIDGE SIMULATOR MOSQUITTO [SAMPLES]\n");
    return 64;
  }
  const std::string bridge = argv[1], sim = argv[2], mosquitto_path = argv[3];
  const int samples = argc > 4 ? std::atoi(argv[4]) : 2000;
  char dir_template[] = "/tmp/zul_bridge_bench_XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  const int port = 20000 + static_cast<int>(getpid() % 20000);
  std::ofstream(dir + "/mosquitto.conf") << "listener " << port
                                         << " 127.0.0.1\nallow_anonymous true\n"
                                         // the broker's hop to the bench, without Nagle's wait
                                         << "set_tcp_nodelay true\n";
  const pid_t broker = spawn({mosquitto_path, "-c", dir + "/mosquitto.conf"}, dir + "/broker.log");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  Sub sub;
  sub.arrival.assign(static_cast<size_t>(samples), 0);
  mosquitto_lib_init();
  struct mosquitto* m = mosquitto_new(nullptr, true, &sub);
  mosquitto_message_callback_set(m, on_message);
  if (mosquitto_connect(m, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
    fprintf(stderr, "no broker on port %d\n", port);
    return 1;
  }
  mosquitto_subscribe(m, nullptr, "bench/#", 0);
  mosquitto_loop_start(m);

  // ---- latency: a FIFO stands in for the program
  const std::string fifo = dir + "/program";
  mkfifo(fifo.c_str(), 0600);
  std::ofstream(dir + "/latency.toml")
      << "[driver]\ncommand = [\"/bin/sh\", \"-c\", \"exec cat " << fifo
      << "\", \"sh\"]\nintercom = 10\nworking_directory = \"/\"\n[mqtt]\nport = " << port
      << "\ntopic = \"bench/latency\"\n[homeassistant]\ndiscovery = false\n";
  pid_t run = spawn({bridge, "--config", dir + "/latency.toml"}, dir + "/latency.log");
  const int fd = open(fifo.c_str(), O_WRONLY);
  const std::string hello = "ZUL_STM_Driver 1.22\nIntercom: 10\nProgram_STM: 1\nShield: 26\n";
  if (write(fd, hello.data(), hello.size()) < 0) return 1;
  while (!sub.online) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::vector<long long> sent(static_cast<size_t>(samples));
  for (int i = 0; i < samples; ++i) {
    const std::string line = "S0 impulse: HIGH " + std::to_string(i) + "\n";
    sent[static_cast<size_t>(i)] = now_us();
    if (write(fd, line.data(), line.size()) < 0) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  close(fd);
  stop(run);
  std::vector<double> ms;
  {
    std::lock_guard<std::mutex> lock(sub.mutex);
    for (int i = 0; i < samples; ++i) {
      const long long a = sub.arrival[static_cast<size_t>(i)];
      if (a > 0) ms.push_back(static_cast<double>(a - sent[static_cast<size_t>(i)]) / 1000.0);
    }
  }
  std::sort(ms.begin(), ms.end());
  auto pct = [&](double p) {
    return ms.empty() ? -1 : ms[static_cast<size_t>(p * static_cast<double>(ms.size() - 1))];
  };
  printf("event line to publish: %zu of %d received; p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
         ms.size(), samples, pct(0.5), pct(0.99), ms.empty() ? -1 : ms.back());

  // ---- idle: the simulator as the program, no calls
  sub.online = false;
  std::ofstream(dir + "/idle.toml")
      << "[driver]\ncommand = [\"" << sim << "\"]\nintercom = 10\nworking_directory = \"/\"\n"
      << "[rooms]\nimitate = [5, 6]\n[mqtt]\nport = " << port
      << "\ntopic = \"bench/idle\"\n[homeassistant]\nname = \"Bench\"\n";
  run = spawn({bridge, "--config", dir + "/idle.toml"}, dir + "/idle.log");
  while (!sub.online) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::seconds(3));  // start-up over
  const double cpu0 = cpu_seconds(run);
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(30));
  const double cpu1 = cpu_seconds(run);
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  printf("idle: %.3f %% of a core over %.0f s (resolution %.3f %%); RSS %ld KiB (peak %ld KiB)\n",
         100.0 * (cpu1 - cpu0) / wall, wall,
         100.0 / static_cast<double>(sysconf(_SC_CLK_TCK)) / wall, status_kib(run, "VmRSS"),
         status_kib(run, "VmHWM"));
  stop(run);

  mosquitto_disconnect(m);
  mosquitto_loop_stop(m, false);
  mosquitto_destroy(m);
  mosquitto_lib_cleanup();
  stop(broker);
  std::string cleanup = "rm -rf '" + dir + "'";
  return system(cleanup.c_str()) == 0 ? 0 : 1;
}
