// zul_vm_check: the checks that run inside the virtual machine of
// tests/vm/run.sh, as a static arm64 program.
//
// It stands where the shield would: it makes the GPIO chip (gpio-sim, through
// configfs) with the Pi 5's header label and line names, answers SPI0 as the
// shield's co-processor (the simulator's own, sim/coproc.cpp, behind the fake
// controller zul_spi_peer), starts the real zul_stm_driver on the kernel
// backend and watches what the kernel reports: pin levels through gpio-sim's
// sysfs, every pin write through the gpio trace events, the SPI settings and
// frames through the fake controller, and the program's output.
//
// Every finding is one console line, "ZULVM ok|FAIL CASE: what", read by the
// host script; "ZULVM case-done CASE" closes a case.
//
//   zul_vm_check no-spi         before the fake controller is loaded
//   zul_vm_check failures       a line missing, a line busy, no permission
//   zul_vm_check startup SHIELD [call | user]
//                               start-up, then a call and the relays; or
//                               start-up as a user in the groups gpio and spi
//   zul_vm_check serve SHIELD   the board of a booted system: the chip, and the
//                               co-processor in the background until SIGTERM
//   zul_vm_check line running|stopped
//                               the levels a service leaves on that board
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/gpio.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/coproc.h"

namespace {

// ---- Reporting ----

int g_failures = 0;
std::string g_case = "?";

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
  char text[2048];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  // One write per line: the kernel's own messages share the console.
  std::string line = "ZULVM " + std::string(text) + "\n";
  (void)!write(STDOUT_FILENO, line.data(), line.size());
}

bool check(bool ok, const std::string& what) {
  if (ok) {
    say("ok %s: %s", g_case.c_str(), what.c_str());
  } else {
    ++g_failures;
    say("FAIL %s: %s", g_case.c_str(), what.c_str());
  }
  return ok;
}

std::string hex(const uint8_t* bytes, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    snprintf(b, sizeof b, i == 0 ? "%02x" : " %02x", bytes[i]);
    s += b;
  }
  return s;
}

int64_t now_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

// Whether the program under test has ended its output: then nothing it was
// to do will come any more, and waits for it give up at once.
std::function<bool()> g_program_ended;

// Waits for a condition that the run must reach, polling; false on time-out.
bool wait_for(const std::function<bool()>& reached, int timeout_ms,
              bool while_program_runs = true) {
  const int64_t end = now_us() + int64_t{timeout_ms} * 1000;
  for (;;) {
    if (reached()) {
      return true;
    }
    if (now_us() > end || (while_program_runs && g_program_ended && g_program_ended())) {
      return false;
    }
    usleep(5000);
  }
}

// ---- Files ----

std::optional<std::string> read_file(const std::string& path) {
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) {
    return std::nullopt;
  }
  std::string s;
  char buf[4096];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
    s.append(buf, n);
  }
  fclose(f);
  return s;
}

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) {
    s.pop_back();
  }
  return s;
}

bool write_file(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
  if (fd < 0) {
    say("cannot open %s: %s", path.c_str(), strerror(errno));
    return false;
  }
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (!ok) {
    say("cannot write '%s' to %s: %s", text.c_str(), path.c_str(), strerror(errno));
  }
  close(fd);
  return ok;
}

// ---- The board: lines and their idle levels ----

struct Line {
  const char* name;
  int offset;  // Broadcom number = offset on the header chip
  int idle;
};
constexpr Line kLines[] = {
    {"GPIO24", 24, 0},  // line selector
    {"GPIO23", 23, 1},  // hook line 1
    {"GPIO22", 22, 1},  // hook line 2
    {"GPIO14", 14, 1},  // co-processor reset, active low
    {"GPIO6", 6, 0},    // relay 0
    {"GPIO25", 25, 0},  // relay 1
    {"GPIO16", 16, 0},  // relay 2
    {"GPIO26", 26, 0},  // door relay
};
constexpr int kChipLines = 28;
constexpr int kCe0 = 8;  // the kernel's SPI driver holds it on a Pi
constexpr int kResetLine = 14;

// The level a line shows while nobody drives it.
int pull_of(int offset) { return offset == kResetLine ? 1 : 0; }

const char* name_of(int offset) {
  static char other[16];
  for (const Line& l : kLines) {
    if (l.offset == offset) {
      return l.name;
    }
  }
  snprintf(other, sizeof other, "GPIO%d", offset);
  return other;
}

// ---- The GPIO chip: gpio-sim through configfs ----

constexpr const char* kConfig = "/sys/kernel/config/gpio-sim/zul";

struct Chip {
  std::string dev;    // /dev/gpiochipN
  std::string sysfs;  // .../gpio-sim.N/gpiochipN
  int base = -1;      // its first global GPIO number, as the trace names lines
};

void remove_chip() {
  struct stat st {};
  if (stat(kConfig, &st) != 0) {
    return;
  }
  write_file(std::string(kConfig) + "/live", "0");
  const std::string bank = std::string(kConfig) + "/bank0";
  for (int i = 0; i < kChipLines; ++i) {
    const std::string line = bank + "/line" + std::to_string(i);
    rmdir((line + "/hog").c_str());
    rmdir(line.c_str());
  }
  rmdir(bank.c_str());
  rmdir(kConfig);
}

std::optional<Chip> live_chip();

// A fresh chip for every case, as a Pi 5 shows its header (label
// pinctrl-rp1, lines GPIO0..GPIO27, CE0 held by the SPI driver). `missing`
// names a line left unnamed. All lines start as inputs pulled down.
std::optional<Chip> make_chip(int missing = -1) {
  remove_chip();
  const std::string bank = std::string(kConfig) + "/bank0";
  bool ok = mkdir(kConfig, 0755) == 0 && mkdir(bank.c_str(), 0755) == 0 &&
            write_file(bank + "/label", "pinctrl-rp1") &&
            write_file(bank + "/num_lines", std::to_string(kChipLines));
  for (int i = 0; ok && i < kChipLines; ++i) {
    const std::string line = bank + "/line" + std::to_string(i);
    ok = mkdir(line.c_str(), 0755) == 0;
    if (ok && i != missing) {
      ok = write_file(line + "/name", "GPIO" + std::to_string(i));
    }
    if (ok && i == kCe0) {
      ok = mkdir((line + "/hog").c_str(), 0755) == 0 &&
           write_file(line + "/hog/name", "spi0 CS0") &&
           write_file(line + "/hog/direction", "output-high");
    }
  }
  ok = ok && write_file(std::string(kConfig) + "/live", "1");
  if (!ok) {
    check(false, "the gpio-sim chip could be made");
    return std::nullopt;
  }
  auto chip = live_chip();
  // The shield pulls the co-processor's reset line up: it runs while
  // nothing drives the line.
  if (!chip ||
      !write_file(chip->sysfs + "/sim_gpio" + std::to_string(kResetLine) + "/pull", "pull-up")) {
    return std::nullopt;
  }
  return chip;
}

// The chip made before (by this process or by the one serving the line).
std::optional<Chip> live_chip() {
  const std::string bank = std::string(kConfig) + "/bank0";
  const auto dev_name = read_file(std::string(kConfig) + "/dev_name");
  const auto chip_name = read_file(bank + "/chip_name");
  if (!dev_name || !chip_name) {
    check(false, "the gpio-sim chip is there");
    return std::nullopt;
  }
  Chip chip;
  chip.dev = "/dev/" + trimmed(*chip_name);
  chip.sysfs = "/sys/devices/platform/" + trimmed(*dev_name) + "/" + trimmed(*chip_name);
  // The legacy sysfs class lists every chip with its base and its parent.
  if (DIR* dir = opendir("/sys/class/gpio")) {
    while (const dirent* d = readdir(dir)) {
      const std::string entry = std::string("/sys/class/gpio/") + d->d_name;
      if (strncmp(d->d_name, "gpiochip", 8) != 0) {
        continue;
      }
      char parent[256] = {};
      const ssize_t n = readlink((entry + "/device").c_str(), parent, sizeof parent - 1);
      const char* base_name = strrchr(parent, '/');
      const auto label = read_file(entry + "/label");
      if (n > 0 && base_name != nullptr && trimmed(*dev_name) == base_name + 1 && label &&
          trimmed(*label) == "pinctrl-rp1") {
        chip.base = atoi(d->d_name + 8);
      }
    }
    closedir(dir);
  }
  if (chip.base < 0) {
    check(false, "the gpio-sim chip's base was found in /sys/class/gpio");
    return std::nullopt;
  }
  return chip;
}

// The level gpio-sim shows on a line: what a consumer drives, or the pull.
int sysfs_level(const Chip& chip, int offset) {
  const auto v = read_file(chip.sysfs + "/sim_gpio" + std::to_string(offset) + "/value");
  return v ? atoi(v->c_str()) : -1;
}

std::string sysfs_levels(const Chip& chip) {
  std::string s;
  for (const Line& l : kLines) {
    s += std::string(s.empty() ? "" : " ") + l.name + "=" +
         std::to_string(sysfs_level(chip, l.offset));
  }
  return s;
}

// Waits until the lines named show the levels given; reports either way.
bool expect_levels(const Chip& chip, const std::vector<std::pair<int, int>>& want,
                   const std::string& when, int timeout_ms = 10000) {
  const bool reached = wait_for(
      [&] {
        for (const auto& [offset, level] : want) {
          if (sysfs_level(chip, offset) != level) {
            return false;
          }
        }
        return true;
      },
      timeout_ms);
  std::string wanted;
  for (const auto& [offset, level] : want) {
    wanted +=
        std::string(wanted.empty() ? "" : " ") + name_of(offset) + "=" + std::to_string(level);
  }
  return check(reached, "pins " + when + ": " + wanted + " (sysfs: " + sysfs_levels(chip) + ")");
}

struct LineInfo {
  bool used = false;
  bool output = false;
  std::string consumer;
};

LineInfo line_info(const Chip& chip, int offset) {
  LineInfo out;
  const int fd = open(chip.dev.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return out;
  }
  gpio_v2_line_info info{};
  info.offset = static_cast<uint32_t>(offset);
  if (ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, &info) == 0) {
    out.used = (info.flags & GPIO_V2_LINE_FLAG_USED) != 0;
    out.output = (info.flags & GPIO_V2_LINE_FLAG_OUTPUT) != 0;
    out.consumer = info.consumer;
  }
  close(fd);
  return out;
}

// Another consumer takes a line, as an input; the descriptor keeps it.
int hold_line(const Chip& chip, int offset, const char* consumer) {
  const int fd = open(chip.dev.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  gpio_v2_line_request req{};
  req.offsets[0] = static_cast<uint32_t>(offset);
  req.num_lines = 1;
  snprintf(req.consumer, sizeof req.consumer, "%s", consumer);
  req.config.flags = GPIO_V2_LINE_FLAG_INPUT;
  const int ret = ioctl(fd, GPIO_V2_GET_LINE_IOCTL, &req);
  close(fd);
  return ret == 0 ? req.fd : -1;
}

// ---- The kernel's record of every pin write: the gpio trace events ----

constexpr const char* kTrace = "/sys/kernel/tracing";
// The widths of pulses are read from the kernel's trace of an emulated
// machine, on the clock the program sleeps on; yet once, on a loaded host,
// a relay's 2 s pulse read 56 ms short there. The exact widths are checked
// in virtual time by the simulator's tests; here a pulse must be there, and
// of about its length.
constexpr int64_t kTraceSlackMs = 100;

// "WHAT N ms (at least M)", checked against the width less the slack.
void check_width(const std::string& what, int64_t ms, int64_t want_ms) {
  check(ms >= want_ms - kTraceSlackMs, what + " " + std::to_string(ms) + " ms (at least " +
                                           std::to_string(want_ms - kTraceSlackMs) + ")");
}

struct PinEvent {
  int64_t t_us;
  int offset;
  bool direction;  // a direction change, else a value written
  bool out;        // direction: made an output
  int value;       // value: the level written
};

void trace_start() {
  write_file(std::string(kTrace) + "/trace_clock", "mono");
  write_file(std::string(kTrace) + "/events/gpio/enable", "1");
  write_file(std::string(kTrace) + "/trace", "");
}

// The chip's events since trace_start(), in order.
std::vector<PinEvent> trace_events(const Chip& chip) {
  std::vector<PinEvent> events;
  const auto text = read_file(std::string(kTrace) + "/trace");
  if (!text) {
    return events;
  }
  size_t at = 0;
  while (at < text->size()) {
    size_t end = text->find('\n', at);
    if (end == std::string::npos) {
      end = text->size();
    }
    const std::string line = text->substr(at, end - at);
    at = end + 1;
    const size_t mark = line.find(": gpio_");
    if (line.empty() || line[0] == '#' || mark == std::string::npos) {
      continue;
    }
    const size_t t_from = line.rfind(' ', mark - 1);
    const double t_s = atof(line.c_str() + (t_from == std::string::npos ? 0 : t_from + 1));
    unsigned gpio = 0;
    char word[8] = {};
    int number = 0;
    PinEvent e{};
    e.t_us = static_cast<int64_t>(t_s * 1e6 + 0.5);
    if (sscanf(line.c_str() + mark, ": gpio_value: %u %7s %d", &gpio, word, &number) == 3) {
      if (strcmp(word, "set") != 0) {
        continue;
      }
      e.value = number;
    } else if (sscanf(line.c_str() + mark, ": gpio_direction: %u %7s (%d)", &gpio, word, &number) ==
               3) {
      if (number != 0) {
        continue;  // failed: nothing changed
      }
      e.direction = true;
      e.out = strcmp(word, "out") == 0;
    } else {
      continue;
    }
    const int offset = static_cast<int>(gpio) - chip.base;
    if (offset < 0 || offset >= kChipLines) {
      continue;
    }
    e.offset = offset;
    events.push_back(e);
  }
  return events;
}

// A level that a line took: the first value written to a line, and every
// value written that differs from the line's level before.
struct Change {
  int64_t t_us;
  int offset;
  int level;
};

std::vector<Change> level_changes(const std::vector<PinEvent>& events, int64_t from_us = 0) {
  std::vector<Change> changes;
  std::map<int, int> level;
  for (const PinEvent& e : events) {
    if (e.direction) {
      continue;
    }
    const auto it = level.find(e.offset);
    if (it == level.end() || it->second != e.value) {
      level[e.offset] = e.value;
      if (e.t_us >= from_us) {
        changes.push_back({e.t_us, e.offset, e.value});
      }
    }
  }
  return changes;
}

std::string describe(const std::vector<Change>& changes) {
  std::string s;
  for (const Change& c : changes) {
    s += std::string(s.empty() ? "" : " ") + name_of(c.offset) + ":" + std::to_string(c.level);
  }
  return s.empty() ? "none" : s;
}

// The changes from `from_us` on must be exactly `want` (line, level), in order.
bool expect_changes(const Chip& chip, int64_t from_us, const std::vector<std::pair<int, int>>& want,
                    const std::string& when, std::vector<Change>* got_out = nullptr,
                    int timeout_ms = 10000) {
  std::vector<Change> got;
  wait_for(
      [&] {
        got = level_changes(trace_events(chip), from_us);
        return got.size() >= want.size();
      },
      timeout_ms);
  std::vector<Change> wanted;
  for (const auto& [offset, level] : want) {
    wanted.push_back({0, offset, level});
  }
  bool same = got.size() == wanted.size();
  for (size_t i = 0; same && i < got.size(); ++i) {
    same = got[i].offset == wanted[i].offset && got[i].level == wanted[i].level;
  }
  if (got_out != nullptr) {
    *got_out = got;
  }
  return check(same, "pin writes " + when + ": " + describe(got) +
                         (same ? "" : " (expected " + describe(wanted) + ")"));
}

// ---- The co-processor at the far end of the fake SPI controller ----

// Same layout as struct zsp_header in modules/zul_spi_peer.c.
struct ZspHeader {
  uint32_t seq;
  uint32_t mode;
  uint32_t speed_hz;
  uint32_t max_speed_hz;
  uint16_t len;
  uint8_t bits_per_word;
  uint8_t chip_select;
  uint8_t transfers;
  uint8_t mixed;
  uint8_t cs_change;
  uint8_t pad;
};
static_assert(sizeof(ZspHeader) == 24);

// The speed each message asks for: the library's divider 889, which the
// controller takes as 888 (it divides by even numbers only), as the lowest
// speed that spi-bcm2835 turns into 888 on the 250 MHz core clock,
// ceil(250 MHz / 888). 281 531 Hz, the rate itself, would give 890.
constexpr uint32_t kSpiHz = (250000000 + 888 - 1) / 888;  // 281532

// SPI mode bits as <linux/spi/spi.h> has them.
constexpr uint32_t kSpiCpha = 0x01, kSpiCpol = 0x02, kSpiCsHigh = 0x04, kSpiLsbFirst = 0x08;

struct Message {
  int64_t t_us;
  ZspHeader h;
  uint8_t tx[8];
  uint8_t rx[8];
};

class Peer {
 public:
  bool start(uint8_t shield) {
    sim::coproc_reset_all();
    sim::CoprocOptions options;
    options.shield = shield;
    sim::coproc_configure(options);
    fd_ = open("/dev/zul_spi_peer", O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
      check(false, std::string("the SPI peer device opens: ") + strerror(errno));
      return false;
    }
    stop_ = false;
    served_ = false;
    if (chip_ != nullptr) {
      watcher_ = std::thread([this] { watch(); });
    }
    thread_ = std::thread([this] { serve(); });
    return true;
  }

  ~Peer() { stop(); }

  // Stops the threads; the server is woken from its read by signals.
  void stop() {
    if (fd_ < 0) {
      return;
    }
    stop_ = true;
    while (!served_) {
      pthread_kill(thread_.native_handle(), SIGUSR1);
      usleep(2000);
    }
    thread_.join();
    if (watcher_.joinable()) {
      watcher_.join();
    }
    close(fd_);
    fd_ = -1;
  }

  std::vector<Message> log() {
    std::lock_guard<std::mutex> lock(mu_);
    return log_;
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mu_);
    return log_.size();
  }

  // The co-processor's reset line, as the kernel shows it, watched all the
  // time: the program pulses it while the bus is quiet. Called before start().
  void watch_reset(const Chip* chip) { chip_ = chip; }

 private:
  void watch() {
    int last = -1;
    while (!stop_) {
      const int level = sysfs_level(*chip_, kResetLine);
      if (level != last && level >= 0) {
        sim::coproc_pin_written(kResetLine, static_cast<uint8_t>(level));
        last = level;
      }
      usleep(2000);
    }
  }

  void serve() {
    while (!stop_) {
      uint8_t buf[sizeof(ZspHeader) + 256];
      const ssize_t n = read(fd_, buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) {
          continue;
        }
        say("the SPI peer's read failed: %s", strerror(errno));
        break;
      }
      Message m{};
      m.t_us = now_us();
      memcpy(&m.h, buf, sizeof m.h);
      const uint8_t* tx = buf + sizeof m.h;
      uint8_t reply[256] = {};
      if (m.h.len == 8) {
        sim::coproc_transfer(tx, reply);
      }
      memcpy(m.tx, tx, m.h.len < 8 ? m.h.len : 8);
      memcpy(m.rx, reply, 8);
      if (write(fd_, reply, m.h.len) != m.h.len) {
        say("the SPI peer's reply failed: %s", strerror(errno));
      }
      std::lock_guard<std::mutex> lock(mu_);
      log_.push_back(m);
    }
    served_ = true;
  }

  int fd_ = -1;
  const Chip* chip_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<bool> served_{false};
  std::thread thread_, watcher_;
  std::mutex mu_;
  std::vector<Message> log_;  // guarded by mu_
};

// ---- The program under test ----

struct RunAs {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

class Program {
 public:
  bool start(const std::vector<std::string>& args, const std::optional<RunAs>& as = {}) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
      return check(false, "pipes for the program");
    }
    started_us_ = now_us();
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      if (chdir("/zul") != 0) {
        _exit(120);
      }
      if (as) {
        if (setgroups(as->groups.size(), as->groups.data()) != 0 || setgid(as->gid) != 0 ||
            setuid(as->uid) != 0) {
          _exit(121);
        }
      }
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>("/zul/zul_stm_driver"));
      for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
      }
      argv.push_back(nullptr);
      char* env[] = {const_cast<char*>("ZUL_BOARD=kernel"), const_cast<char*>("PATH=/bin"),
                     nullptr};
      execve(argv[0], argv.data(), env);
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_reader_ = std::thread([this, fd = out[0]] { collect(fd, &out_lines_); });
    err_reader_ = std::thread([this, fd = err[0]] { collect(fd, &err_lines_); });
    return true;
  }

  void send(const std::string& text) {
    if (write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      say("writing '%s' to the program failed: %s", text.c_str(), strerror(errno));
    }
  }

  bool wait_line(const std::string& line, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mu_);
    bool seen = false;
    cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
      for (const auto& l : out_lines_) {
        seen = seen || l == line;
      }
      return seen || out_ended_;
    });
    return seen;
  }

  bool ended() {
    std::lock_guard<std::mutex> lock(mu_);
    return out_ended_;
  }

  // The exit status (128+N after signal N), or -1 after a time-out (then killed).
  int wait_exit(int timeout_ms) {
    int status = 0;
    const bool exited = wait_for(
        [&] {
          const pid_t r = waitpid(pid_, &status, WNOHANG);
          return r == pid_;
        },
        timeout_ms, false);
    if (!exited) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    close(in_);
    out_reader_.join();
    err_reader_.join();
    if (!exited) {
      return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  void signal(int sig) { kill(pid_, sig); }
  std::vector<std::string> out_lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return out_lines_;
  }
  std::vector<std::string> err_lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return err_lines_;
  }
  int64_t started_us() const { return started_us_; }

 private:
  void collect(int fd, std::vector<std::string>* lines) {
    std::string partial;
    char buf[512];
    ssize_t n = 0;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
      partial.append(buf, static_cast<size_t>(n));
      size_t nl = 0;
      while ((nl = partial.find('\n')) != std::string::npos) {
        std::lock_guard<std::mutex> lock(mu_);
        lines->push_back(partial.substr(0, nl));
        partial.erase(0, nl + 1);
        cv_.notify_all();
      }
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (!partial.empty()) {
      lines->push_back(partial);
    }
    if (lines == &out_lines_) {
      out_ended_ = true;
    }
    cv_.notify_all();
    close(fd);
  }

  pid_t pid_ = -1;
  int in_ = -1;
  int64_t started_us_ = 0;
  std::thread out_reader_, err_reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> out_lines_, err_lines_;  // guarded by mu_
  bool out_ended_ = false;                          // guarded by mu_
};

std::string joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) {
    s += (s.empty() ? "" : " | ") + l;
  }
  return s.empty() ? "(nothing)" : s;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int64_t g_case_started_us = 0;

void begin_case(const std::string& name) {
  g_case = name;
  g_case_started_us = now_us();
  say("case %s", name.c_str());
}

void end_case() {
  g_program_ended = nullptr;
  say("case-time %s %.1f s", g_case.c_str(),
      static_cast<double>(now_us() - g_case_started_us) / 1e6);
  say("case-done %s", g_case.c_str());
}

// A case from begin_case to end_case, whichever way it returns.
class Case {
 public:
  explicit Case(const std::string& name) { begin_case(name); }
  ~Case() { end_case(); }
  Case(const Case&) = delete;
  Case& operator=(const Case&) = delete;
};

// ---- The failures: exit 3, one line on standard error, no pin driven ----

struct Failure {
  std::string name;
  std::vector<std::string> message_has = {};      // every one of these, in the stderr line
  std::vector<std::string> message_has_one = {};  // and one of these, when any
  std::optional<RunAs> as = std::nullopt;
  int missing_line = -1;
  int held_line = -1;
  bool device_groups = false;  // the devices belong to the groups gpio and spi, as udev makes them
};

// The lines the kernel traced as made outputs or written since
// trace_start(), but `except`.
std::string driven_pins(const Chip& chip, int except) {
  std::string driven;
  for (const PinEvent& e : trace_events(chip)) {
    if (e.offset != except && (!e.direction || e.out)) {
      driven += std::string(driven.empty() ? "" : " ") + name_of(e.offset) +
                (e.direction ? ":out" : ":" + std::to_string(e.value));
    }
  }
  return driven;
}

// The check above must see what it is for: a program that asks for all its
// lines as outputs in one request, while GPIO 24 is busy, is refused, yet
// 6.1 has already made the lines before GPIO 24 outputs while it walked the
// request. The trace must show them.
void run_detector_self_test() {
  begin_case("detector-self-test");
  const auto chip = make_chip();
  if (!chip) {
    end_case();
    return;
  }
  const int holder = hold_line(*chip, 24, "vm-holder");
  trace_start();
  const int fd = open(chip->dev.c_str(), O_RDONLY | O_CLOEXEC);
  gpio_v2_line_request req{};
  for (const Line& l : kLines) {
    req.offsets[req.num_lines++] = static_cast<uint32_t>(l.offset);
  }
  std::sort(req.offsets, req.offsets + req.num_lines);
  snprintf(req.consumer, sizeof req.consumer, "naive");
  req.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
  const int ret = ioctl(fd, GPIO_V2_GET_LINE_IOCTL, &req);
  const int e = errno;
  close(fd);
  check(ret != 0 && e == EBUSY,
        "a request of all lines as outputs is refused while GPIO24 is held");
  const std::string driven = driven_pins(*chip, 24);
  check(!driven.empty(), "the trace shows the lines it drove before GPIO24 all the same (" +
                             (driven.empty() ? std::string("none") : driven) + ")");
  close(holder);
  end_case();
}

constexpr gid_t kGpioGroup = 997;
constexpr gid_t kSpiGroup = 999;
constexpr uid_t kUser = 1000;

void give_devices(gid_t gpio, gid_t spi, mode_t mode) {
  for (int n = 0; n < 16; ++n) {
    const std::string dev = "/dev/gpiochip" + std::to_string(n);
    if (access(dev.c_str(), F_OK) == 0) {
      (void)!chown(dev.c_str(), 0, gpio);
      chmod(dev.c_str(), mode);
    }
  }
  if (access("/dev/spidev0.0", F_OK) == 0) {
    (void)!chown("/dev/spidev0.0", 0, spi);
    chmod("/dev/spidev0.0", mode);
  }
}

void give_devices_to_groups(bool groups) {
  give_devices(groups ? kGpioGroup : 0, groups ? kSpiGroup : 0, groups ? 0660 : 0600);
}

// The devices given to the groups gpio and spi (or not) for a case, and
// given back to root when it ends.
class DeviceGroups {
 public:
  explicit DeviceGroups(bool groups) { give_devices_to_groups(groups); }
  ~DeviceGroups() { give_devices_to_groups(false); }
  DeviceGroups(const DeviceGroups&) = delete;
  DeviceGroups& operator=(const DeviceGroups&) = delete;
};

void run_failure(const Failure& f) {
  const Case c(f.name);
  const auto chip = make_chip(f.missing_line);
  if (!chip) {
    return;
  }
  const DeviceGroups groups(f.device_groups);
  int holder = -1;
  if (f.held_line >= 0) {
    holder = hold_line(*chip, f.held_line, "vm-holder");
    check(holder >= 0, std::string("another consumer holds ") + name_of(f.held_line));
  }
  trace_start();
  Program program;
  program.start({"10"}, f.as);
  program.send("5 -1 -1\n");
  const int status = program.wait_exit(30000);
  check(status == 3, "exit status " + std::to_string(status) + " (expected 3)");
  const auto err = program.err_lines();
  const std::string line = err.empty() ? "" : err[0];
  say("stderr %s: %s", g_case.c_str(), joined(err).c_str());
  check(err.size() == 1, "one line on standard error (got " + std::to_string(err.size()) + ")");
  for (const std::string& part : f.message_has) {
    check(contains(line, part), "the message names '" + part + "'");
  }
  if (!f.message_has_one.empty()) {
    std::string names;
    bool named = false;
    for (const std::string& part : f.message_has_one) {
      named = named || contains(line, part);
      names += (names.empty() ? "'" : " or '") + part + "'";
    }
    check(named, "the message names " + names);
  }
  const auto out = program.out_lines();
  bool spoke_to_shield = false;
  for (const auto& l : out) {
    spoke_to_shield = spoke_to_shield || l.rfind("Intercom:", 0) == 0;
  }
  check(!spoke_to_shield, "no version report on standard output: " + joined(out));
  // Nothing driven: the kernel saw no pin made an output or written, and
  // every line is an unused input showing its pull again.
  const std::string driven = driven_pins(*chip, f.held_line);
  check(driven.empty(), "no pin driven, as the kernel traced it (" +
                            (driven.empty() ? std::string("no writes") : driven) + ")");
  std::string outputs;
  for (const Line& l : kLines) {
    const LineInfo info = line_info(*chip, l.offset);
    if (l.offset != f.held_line &&
        (info.output || info.used || sysfs_level(*chip, l.offset) != pull_of(l.offset))) {
      outputs += std::string(outputs.empty() ? "" : " ") + l.name;
    }
  }
  check(outputs.empty(), "every line an unused input at its pull afterwards" +
                             (outputs.empty() ? std::string() : " (not: " + outputs + ")"));
  if (holder >= 0) {
    close(holder);
  }
}

// ---- Start-up, a call, the relays ----

uint8_t frame_type(const uint8_t* f) { return f[0] == sim::kFrameStart ? f[1] : 0; }
bool is_zero(const uint8_t* f) {
  for (int i = 0; i < 8; ++i) {
    if (f[i] != 0) {
      return false;
    }
  }
  return true;
}

bool same_frame(const uint8_t* a, const sim::Frame& b) { return memcmp(a, b.data(), 8) == 0; }

// Frames other than polls and empty fetches, both ways, from message `from` on.
void print_frames(const std::vector<Message>& log, size_t from, int64_t t0_us) {
  for (size_t i = from; i < log.size(); ++i) {
    const Message& m = log[i];
    const double ms = static_cast<double>(m.t_us - t0_us) / 1000.0;
    if (!is_zero(m.tx) && !(frame_type(m.tx) == sim::kFramePoll && m.tx[2] == 0)) {
      say("frame %s +%.1f ms >> %s", g_case.c_str(), ms, hex(m.tx, 8).c_str());
    }
    if (!is_zero(m.rx)) {
      say("frame %s +%.1f ms << %s", g_case.c_str(), ms, hex(m.rx, 8).c_str());
    }
  }
}

void check_spi_settings(const std::vector<Message>& log) {
  size_t bad = 0;
  std::string first_bad;
  for (const Message& m : log) {
    const bool ok = (m.h.mode & (kSpiCpha | kSpiCpol | kSpiCsHigh | kSpiLsbFirst)) == 0 &&
                    m.h.bits_per_word == 8 && m.h.speed_hz == kSpiHz && m.h.chip_select == 0 &&
                    m.h.len == 8 && m.h.transfers == 1 && m.h.mixed == 0 && m.h.cs_change == 0;
    if (!ok && bad++ == 0) {
      char b[200];
      snprintf(b, sizeof b,
               "message %u: mode 0x%x, %u bits, %u Hz, cs %u, %u bytes in %u transfers%s", m.h.seq,
               m.h.mode, m.h.bits_per_word, m.h.speed_hz, m.h.chip_select, m.h.len, m.h.transfers,
               m.h.cs_change ? ", chip select dropped inside" : "");
      first_bad = b;
    }
  }
  say("spi %s: %zu messages", g_case.c_str(), log.size());
  check(!log.empty() && bad == 0,
        "every SPI message: mode 0 (chip select active low, MSB first), 8 bits, " +
            std::to_string(kSpiHz) + " Hz, chip select 0, one 8-byte transfer (" +
            std::to_string(log.size()) + " messages" +
            (bad == 0 ? std::string(")")
                      : ", " + std::to_string(bad) + " not, first " + first_bad + ")"));
}

// The settings frames (setup and codec registers) that the same program
// sends on the simulated board, zul_stm_sim, to a co-processor reporting
// `shield`: what the kernel path must carry too. Empty when it cannot run.
std::vector<sim::Frame> simulated_settings(uint8_t shield) {
  std::vector<sim::Frame> frames;
  const char* scenario = "/tmp/settings.scn";
  const char* log = "/tmp/settings.frames";
  FILE* f = fopen(scenario, "w");
  if (f == nullptr) {
    return frames;
  }
  // Virtual time: the whole start-up in a moment.
  fputs("0 console 5 -1 -1\n60000 end\n", f);
  fclose(f);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    if (chdir("/zul") != 0) {
      _exit(120);
    }
    const std::string shield_arg = std::to_string(shield);
    execl("/zul/zul_stm_sim", "zul_stm_sim", "--virtual", "--shield", shield_arg.c_str(),
          "--frames", log, "--scenario", scenario, "--", "10", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const auto text = read_file(log);
  if (!text || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    say("zul_stm_sim --shield %u ended with status 0x%x", shield, status);
    return frames;
  }
  // "<t> <sent> <received>", the frames as 16 hex digits.
  size_t at = 0;
  while (at < text->size()) {
    size_t end = text->find('\n', at);
    if (end == std::string::npos) {
      end = text->size();
    }
    char t[32], sent[32], received[32];
    if (sscanf(text->substr(at, end - at).c_str(), "%31s %31s %31s", t, sent, received) == 3 &&
        strlen(sent) == 16) {
      sim::Frame frame{};
      for (size_t i = 0; i < 8; ++i) {
        char byte[3] = {sent[2 * i], sent[2 * i + 1], 0};
        frame[i] = static_cast<uint8_t>(strtoul(byte, nullptr, 16));
      }
      if (frame[0] == sim::kFrameStart &&
          (frame[1] == sim::kFrameSetup || frame[1] == sim::kFrameCodec)) {
        frames.push_back(frame);
      }
    }
    at = end + 1;
  }
  return frames;
}

void check_startup_frames(const std::vector<Message>& log, uint8_t shield) {
  // The handshake: the announcement of intercom 10, a poll, and the version
  // report in the fetch after it.
  const sim::Frame announce = sim::make_frame(0xA1, 0x02, 10, 0, 0, 0);
  const sim::Frame version = sim::make_frame(0xA1, 0x02, 10, 0, 1, shield);
  const sim::Frame setup = sim::make_frame(0xA1, 0x0B, 0, 0, 0, 0);
  size_t announced = log.size(), reported = log.size();
  std::vector<const Message*> settings;
  size_t crc_bad = 0, retransmits = 0;
  for (size_t i = 0; i < log.size(); ++i) {
    const uint8_t* tx = log[i].tx;
    if (announced == log.size() && same_frame(tx, announce)) {
      announced = i;
    }
    if (reported == log.size() && same_frame(log[i].rx, version)) {
      reported = i;
    }
    if (frame_type(tx) == sim::kFrameSetup || frame_type(tx) == sim::kFrameCodec) {
      settings.push_back(&log[i]);
    }
    if (!is_zero(tx)) {
      const uint16_t crc = sim::coproc_crc(tx, 6);
      crc_bad += (tx[6] != (crc >> 8) || tx[7] != (crc & 0xFF)) ? 1 : 0;
      retransmits += frame_type(tx) == sim::kFrameRetransmit ? 1 : 0;
    }
  }
  check(announced < log.size(),
        "handshake: the program announced intercom 10 (" + hex(announce.data(), 8) + ")");
  check(reported < log.size() && reported > announced,
        "handshake: the version report (" + hex(version.data(), 8) + ") went back after it");
  check(crc_bad == 0,
        "every frame the program sent has its checksum (" + std::to_string(crc_bad) + " without)");
  check(retransmits == 0, "the program asked for no resend (" + std::to_string(retransmits) + ")");
  check(!settings.empty() && same_frame(settings[0]->tx, setup),
        "settings push: the setup register first (" + hex(setup.data(), 8) + ")");
  size_t codec = 0;
  for (const Message* m : settings) {
    codec += frame_type(m->tx) == sim::kFrameCodec ? 1 : 0;
  }
  if (shield == 27) {
    check(codec > 0, "settings push: codec registers on shield 27 (" + std::to_string(codec) + ")");
  } else {
    check(codec == 0,
          "settings push: no codec registers on shield 26 (" + std::to_string(codec) + ")");
  }
  const std::vector<sim::Frame> simulated = simulated_settings(shield);
  bool same = !simulated.empty() && simulated.size() == settings.size();
  size_t first_difference = 0;
  while (same && first_difference < settings.size() &&
         same_frame(settings[first_difference]->tx, simulated[first_difference])) {
    ++first_difference;
  }
  same = same && first_difference == settings.size();
  check(same,
        "settings push: the same " + std::to_string(settings.size()) +
            " frames in the same order as zul_stm_sim sends on a simulated shield " +
            std::to_string(shield) + " (which sends " + std::to_string(simulated.size()) +
            (same || first_difference >= settings.size() || first_difference >= simulated.size()
                 ? ")"
                 : "; frame " + std::to_string(first_difference + 1) +
                       " differs: " + hex(settings[first_difference]->tx, 8) + " here, " +
                       hex(simulated[first_difference].data(), 8) + " there)"));
  const sim::CoprocRecord record = sim::coproc_record();
  check(record.settings.size() == settings.size(),
        "the co-processor accepted every settings frame (" +
            std::to_string(record.settings.size()) + " of " + std::to_string(settings.size()) +
            ")");
}

sim::Frame call_event(uint8_t subcode, uint16_t room = 0) {
  return sim::make_frame(sim::kFrameStart, sim::kFrameCallEvent, subcode, 0,
                         static_cast<uint8_t>(room >> 8), static_cast<uint8_t>(room & 0xFF));
}

// The co-processor's frame went to the program: shifted out in a fetch.
void check_delivered(Peer& peer, const sim::Frame& frame, const std::string& what) {
  bool delivered = false;
  for (const Message& m : peer.log()) {
    delivered = delivered || same_frame(m.rx, frame);
  }
  check(delivered, what + " frame went to the program (" + hex(frame.data(), 8) + ")");
}

// Lines to expect on standard output, in order, after the banners.
bool expect_output(Program& program, const std::vector<std::string>& want) {
  const auto out = program.out_lines();
  std::vector<std::string> tail;
  for (size_t i = 2; i < out.size(); ++i) {
    tail.push_back(out[i]);
  }
  const bool banners = out.size() >= 2 && out[0].rfind("#STM_driver_", 0) == 0 &&
                       out[1].rfind("ZUL_STM_Driver ", 0) == 0;
  return check(
      banners && tail == want,
      "standard output: " + joined(out) +
          (banners && tail == want ? std::string()
                                   : " (expected the banners, then " + joined(want) + ")"));
}

// The board idle state, as line levels.
std::vector<std::pair<int, int>> idle_levels() {
  std::vector<std::pair<int, int>> idle;
  for (const Line& l : kLines) {
    idle.emplace_back(l.offset, l.idle);
  }
  return idle;
}

// Start-up as far as the shield's report; when it never comes, the program
// is killed and what it wrote is shown.
bool reach_shield_line(Program& program, const std::string& shield_line) {
  program.send("5 -1 -1\n");
  if (check(program.wait_line(shield_line, 30000), "start-up reaches '" + shield_line + "'")) {
    return true;
  }
  program.signal(SIGKILL);
  program.wait_exit(10000);
  say("stdout %s: %s", g_case.c_str(), joined(program.out_lines()).c_str());
  say("stderr %s: %s", g_case.c_str(), joined(program.err_lines()).c_str());
  return false;
}

// The frames and lines of start-up, and the idle state it leaves.
void check_started(const Chip& chip, Peer& peer, Program& program, uint8_t shield,
                   const std::string& shield_line) {
  // Start-up has ended once the link thread polls on its own: many polls
  // after the last settings frame.
  const bool running = wait_for(
      [&] {
        const auto log = peer.log();
        size_t last_settings = 0;
        for (size_t i = 0; i < log.size(); ++i) {
          const uint8_t t = frame_type(log[i].tx);
          if (t == sim::kFrameSetup || t == sim::kFrameCodec) {
            last_settings = i;
          }
        }
        return last_settings > 0 && log.size() > last_settings + 40;
      },
      30000);
  check(running, "the link runs on after the settings push");
  const std::vector<Message> log = peer.log();
  print_frames(log, 0, program.started_us());
  check_startup_frames(log, shield);
  expect_output(program, {"#Write rooms:", "#End read rooms",
                          "#Write blacklist rooms:", "#End read blacklist rooms", "Intercom: 10",
                          "Program_STM: 1", shield_line});
  expect_levels(chip, idle_levels(), "after start-up (the board idle state)");
}

// The kernel's trace of start-up: the eight lines, each made an output
// with its idle level as it was requested (no glitch), then the reset
// pulse, and nothing else; GPIO 8 left to the SPI driver.
void check_start_up_trace(const Chip& chip) {
  const auto events = trace_events(chip);
  std::map<int, int> first_value;
  std::string made_outputs;
  for (const PinEvent& e : events) {
    if (e.direction && e.out) {
      made_outputs += std::string(made_outputs.empty() ? "" : " ") + name_of(e.offset);
    }
    if (!e.direction && first_value.count(e.offset) == 0) {
      first_value[e.offset] = e.value;
    }
  }
  std::string glitches;
  for (const Line& l : kLines) {
    const auto it = first_value.find(l.offset);
    if (it == first_value.end() || it->second != l.idle) {
      glitches += std::string(glitches.empty() ? "" : " ") + l.name;
    }
  }
  check(first_value.size() == std::size(kLines) && glitches.empty(),
        "every output's first level is its idle level (outputs: " + made_outputs + ")" +
            (glitches.empty() ? "" : "; not: " + glitches));
  std::vector<Change> changes = level_changes(events);
  std::vector<Change> after_first;
  for (size_t i = std::size(kLines); i < changes.size(); ++i) {
    after_first.push_back(changes[i]);
  }
  const bool pulse = after_first.size() == 2 && after_first[0].offset == kResetLine &&
                     after_first[0].level == 0 && after_first[1].offset == kResetLine &&
                     after_first[1].level == 1;
  const int64_t low_ms = pulse ? (after_first[1].t_us - after_first[0].t_us) / 1000 : -1;
  check(pulse && low_ms >= 600 - kTraceSlackMs,
        "after the idle levels only the co-processor's reset pulse: " + describe(after_first) +
            " (low for " + std::to_string(low_ms) + " ms, at least " +
            std::to_string(600 - kTraceSlackMs) + ")");
  const sim::CoprocRecord record = sim::coproc_record();
  check(record.resets >= 1, "the co-processor saw its reset line pulsed (" +
                                std::to_string(record.resets) + " resets)");
}

// A call to room 5, which the program imitates: dial, pick up (1), open the
// door (2), hang up (3); the co-processor reports the door opened and then
// the call's end. Then the relays.
void run_call(const Chip& chip, Peer& peer, Program& program, const std::string& shield_line) {
  const size_t frames_from = peer.count();
  int64_t from = now_us();
  sim::coproc_queue(call_event(sim::kCallDial, 5));
  check(program.wait_line("dial 5", 10000), "the program reports 'dial 5'");
  expect_levels(chip, {{24, 1}, {23, 0}, {22, 1}}, "after dial 5 (on hook, selector high)");
  expect_changes(chip, from, {{23, 0}, {24, 1}}, "for dial 5");
  check_delivered(peer, call_event(sim::kCallDial, 5), "the dial");

  from = now_us();
  program.send("1\n");
  expect_levels(chip, {{24, 1}, {23, 1}, {22, 0}}, "after code 1 (off hook)");
  expect_changes(chip, from, {{23, 1}, {22, 0}}, "for code 1, pick up");

  from = now_us();
  program.send("2\n");
  std::vector<Change> got;
  if (expect_changes(chip, from, {{23, 0}, {23, 1}}, "for code 2, open (the open key pressed)",
                     &got)) {
    const int64_t held_ms = (got[1].t_us - got[0].t_us) / 1000;
    check_width("the open key held", held_ms, 1000);
  }
  expect_levels(chip, {{24, 1}, {23, 1}, {22, 0}}, "after code 2 (off hook again)");
  sim::coproc_queue(call_event(sim::kCallOpenDetected));
  check(program.wait_line("openDetected", 10000), "the program reports 'openDetected'");
  check_delivered(peer, call_event(sim::kCallOpenDetected), "the door-opened");

  from = now_us();
  program.send("3\n");
  expect_changes(chip, from, {{23, 0}, {22, 1}, {24, 0}, {23, 1}},
                 "for code 3, hang up (on hook, selector low, idle)");
  expect_levels(chip, idle_levels(), "after hanging up (the board idle state)");
  sim::coproc_queue(call_event(sim::kCallDrop));
  check(program.wait_line("drop", 10000), "the program reports 'drop'");
  check_delivered(peer, call_event(sim::kCallDrop), "the drop");

  // The relays: codes 20, 21, 22 pulse relays 0, 1, 2 for two seconds.
  const std::pair<int, int> relays[] = {{20, 6}, {21, 25}, {22, 16}};
  for (const auto& [code, pin] : relays) {
    from = now_us();
    program.send(std::to_string(code) + "\n");
    if (expect_changes(chip, from, {{pin, 1}, {pin, 0}},
                       "for code " + std::to_string(code) + ", a relay pulse", &got)) {
      const int64_t width_ms = (got[1].t_us - got[0].t_us) / 1000;
      check_width(std::string(name_of(pin)) + " high for", width_ms, 2000);
    }
  }
  expect_levels(chip, idle_levels(), "after the relay pulses (the board idle state)");
  print_frames(peer.log(), frames_from, program.started_us());
  expect_output(program, {"#Write rooms:", "#End read rooms",
                          "#Write blacklist rooms:", "#End read blacklist rooms", "Intercom: 10",
                          "Program_STM: 1", shield_line, "dial 5", "openDetected", "drop"});
}

// SIGTERM: the program writes the idle state and exits with 128+15.
void check_stop(const Chip& chip, Peer& peer, Program& program) {
  const int64_t stop_from = now_us();
  program.signal(SIGTERM);
  const int status = program.wait_exit(10000);
  check(status == 143, "exit status after SIGTERM " + std::to_string(status) + " (expected 143)");
  const auto stop_changes = level_changes(trace_events(chip), stop_from);
  check(stop_changes.empty(),
        "the stop left the idle state as it was (changes: " + describe(stop_changes) + ")");
  peer.stop();
  check_spi_settings(peer.log());
  say("stderr %s: %s", g_case.c_str(), joined(program.err_lines()).c_str());
}

// Start-up on a shield that reports `shield`; with `call`, then a call and
// the relays. `as` runs the program as that user, the devices belonging to
// the groups gpio and spi as on Raspberry Pi OS.
void run_shield(const std::string& name, uint8_t shield, bool call,
                const std::optional<RunAs>& as = std::nullopt) {
  const Case c(name);
  const auto chip = make_chip();
  if (!chip) {
    return;
  }
  const DeviceGroups groups(as.has_value());
  trace_start();
  Peer peer;
  peer.watch_reset(&*chip);
  if (!peer.start(shield)) {
    return;
  }
  Program program;
  program.start({"10"}, as);
  g_program_ended = [&program] { return program.ended(); };
  const std::string shield_line = "Shield: " + std::to_string(shield);
  if (!reach_shield_line(program, shield_line)) {
    return;
  }
  check_started(*chip, peer, program, shield, shield_line);
  check_start_up_trace(*chip);
  if (call) {
    run_call(*chip, peer, program, shield_line);
  }
  check_stop(*chip, peer, program);
}

void run_failures() {
  run_detector_self_test();
  run_failure({.name = "line-missing", .message_has = {"GPIO25"}, .missing_line = 25});
  run_failure({.name = "line-busy", .message_has = {"GPIO24", "vm-holder"}, .held_line = 24});
  run_failure({.name = "no-groups",
               .message_has = {},
               .message_has_one = {"group gpio", "group spi"},
               .as = RunAs{kUser, kUser, {}},
               .device_groups = true});
  run_failure({.name = "no-gpio-group",
               .message_has = {"group gpio"},
               .as = RunAs{kUser, kUser, {kSpiGroup}},
               .device_groups = true});
  run_failure({.name = "no-spi-group",
               .message_has = {"group spi"},
               .as = RunAs{kUser, kUser, {kGpioGroup}},
               .device_groups = true});
}

// Without the fake controller there is no /dev/spidev0.0.
void run_no_spi() {
  run_failure({.name = "no-spi", .message_has = {"/dev/spidev0.0", "dtparam=spi=on"}});
}

// ---- The board of a booted system (tests/vm/systemd.sh) ----

// A group's id from /etc/group (getgrnam() in a static program would load
// the NSS modules of another C library).
gid_t group_id(const std::string& name) {
  const auto text = read_file("/etc/group");
  size_t at = 0;
  while (text && at < text->size()) {
    size_t end = text->find('\n', at);
    if (end == std::string::npos) {
      end = text->size();
    }
    const std::string line = text->substr(at, end - at);
    at = end + 1;
    const size_t id_from = line.find(':', line.find(':') + 1);
    if (line.compare(0, name.size() + 1, name + ":") == 0 && id_from != std::string::npos) {
      return static_cast<gid_t>(atoi(line.c_str() + id_from + 1));
    }
  }
  return 0;
}

// The chip made, its devices given to the groups gpio and spi (as udev gives
// them on Raspberry Pi OS), the trace started; then the co-processor answers
// SPI0 until SIGTERM. The first process returns once all that is in place (a
// forking service), so that a unit ordered after it finds the board.
int serve(uint8_t shield) {
  g_case = "serve";
  const auto chip = make_chip();
  const gid_t gpio_gid = group_id("gpio");
  const gid_t spi_gid = group_id("spi");
  if (!chip || !check(gpio_gid != 0 && spi_gid != 0, "the groups gpio and spi exist")) {
    return 1;
  }
  give_devices(gpio_gid, spi_gid, 0660);
  trace_start();
  // Blocked before the threads start, so that only sigwait() takes them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  const pid_t pid = fork();
  if (pid != 0) {
    return pid > 0 ? 0 : 1;
  }
  Peer peer;
  peer.watch_reset(&*chip);
  if (!peer.start(shield)) {
    return 1;
  }
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  peer.stop();
  say("served %zu SPI messages", peer.count());
  return 0;
}

// The line as a service leaves it. "running": every line at its idle level
// (hook switches open, relays off). "stopped": every line handed back, the
// last level written to each its idle level, and gpio-sim showing its pull.
int check_line(const std::string& when) {
  g_case = "systemd";
  const auto chip = live_chip();
  if (!chip) {
    return 1;
  }
  if (when == "running") {
    expect_levels(*chip, idle_levels(), "while the service runs (the board idle state)");
    return g_failures == 0 ? 0 : 1;
  }
  std::map<int, int> last;
  for (const PinEvent& e : trace_events(*chip)) {
    if (!e.direction) {
      last[e.offset] = e.value;
    }
  }
  std::string held, not_idle;
  std::vector<std::pair<int, int>> pulls;
  for (const Line& l : kLines) {
    const LineInfo info = line_info(*chip, l.offset);
    if (info.used) {
      held += std::string(" ") + l.name + " (" + info.consumer + ")";
    }
    const auto it = last.find(l.offset);
    if (it == last.end() || it->second != l.idle) {
      not_idle += std::string(" ") + l.name + ":" +
                  (it == last.end() ? "never written" : std::to_string(it->second));
    }
    pulls.emplace_back(l.offset, pull_of(l.offset));
  }
  check(held.empty(), "after the stop no line is held" + (held.empty() ? "" : ":" + held));
  check(not_idle.empty(), "the last level written to each line was its idle level" +
                              (not_idle.empty() ? "" : ", not:" + not_idle));
  expect_levels(*chip, pulls, "after the stop (each line at its pull)", 2000);
  return g_failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  struct sigaction sa {};
  sa.sa_handler = [](int) {};  // only ends a blocking read
  sigaction(SIGUSR1, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const std::string what = argc > 1 ? argv[1] : "";
  if (what == "no-spi") {
    run_no_spi();
  } else if (what == "failures") {
    run_failures();
  } else if (what == "startup" && argc > 2) {
    const std::string how = argc > 3 ? argv[3] : "";
    std::optional<RunAs> as;
    if (how == "user") {
      as = RunAs{kUser, kUser, {kGpioGroup, kSpiGroup}};
    }
    run_shield(std::string("shield") + argv[2] + (as ? "-user" : ""),
               static_cast<uint8_t>(atoi(argv[2])), how == "call", as);
  } else if (what == "serve" && argc > 2) {
    return serve(static_cast<uint8_t>(atoi(argv[2])));
  } else if (what == "line" && argc > 2) {
    return check_line(argv[2]);
  } else {
    fprintf(stderr,
            "usage: zul_vm_check no-spi | failures | startup SHIELD [call | user] | serve SHIELD"
            " | line running|stopped\n");
    return 2;
  }
  return g_failures == 0 ? 0 : 1;
}
