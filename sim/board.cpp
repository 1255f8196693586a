#include "sim/board.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "sim/append_log.h"
#include "sim/console.h"
#include "sim/coproc.h"
#include "sim/log_stream.h"
#include "sim/time_format.h"

namespace sim {
namespace {

constexpr double kCoreClockHz = 250e6;
constexpr int kDefaultDivider = 65536;

// The board's lock. It guards the pin and transfer logs' writers, the SPI
// settings, the frames log's writer and the flags below up to g_source. It
// is held only for a few stores, never across a wait of the clock (nor a
// fiber switch), never by the stop path (which may interrupt its holder).
std::mutex& mu = *new std::mutex;
AppendLog<PinEvent>& g_pins = *new AppendLog<PinEvent>;
AppendLog<Transfer>& g_transfers = *new AppendLog<Transfer>;
// A simulated hour is over a million transfers: the simulator keeps none and
// streams them to the frames log if one was asked for; tests keep them.
bool g_keep_transfers = true;
bool g_keep_pins = true;  // under mu
LogStream& g_frames = *new LogStream;
SpiConfig& g_spi = *new SpiConfig;
bool g_initialised = false;
// Not under the lock: atomic.
std::atomic<int> g_level[kGpioCount];
std::atomic<bool> g_started{false};  // read by the system timer without a lock
// Set before a run (the replay's recorded co-processor), read by every
// transfer: atomic, so that the transfers take no lock for it.
std::atomic<TransferSource> g_source{nullptr};

// Stop mode. An entry of the tail is claimed by one fetch_add, then written,
// then marked ready; readers take the ready entries of the prefix.
std::atomic<bool> g_stopped{false};
PinEvent g_tail[kStopTailSize];
std::atomic<bool> g_tail_ready[kStopTailSize];
std::atomic<size_t> g_tail_claimed{0};
// Length of the locked log when the tail began. The stopping program lets the
// writes in flight finish first, so nothing lands in the log after that; an
// entry of the very thread that was interrupted stays unfinished, unread.
std::atomic<size_t> g_log_before_tail{0};

void reset_state() {
  g_pins.clear();
  g_transfers.clear();
  g_spi = SpiConfig{};
  for (auto& level : g_level) {
    level.store(-1);
  }
  g_initialised = false;
  g_started.store(false);
  g_source.store(nullptr);
  g_keep_transfers = true;
  g_keep_pins = true;
  g_frames.finish();
  g_stopped.store(false);
  for (auto& ready : g_tail_ready) {
    ready.store(false);
  }
  g_tail_claimed.store(0);
  g_log_before_tail.store(0);
}

void set_level(PinCall call, uint8_t gpio, uint8_t value) {
  if (call == PinCall::kWrite && gpio < kGpioCount) {
    g_level[gpio].store(value);
  }
}

void record_after_stop(PinCall call, uint8_t gpio, uint8_t value) {
  const size_t i = g_tail_claimed.fetch_add(1);
  if (i == 0) {
    g_log_before_tail.store(g_pins.size());
  }
  if (i < kStopTailSize) {
    g_tail[i] = PinEvent{clock_now_ns_at_exit(), call, gpio, value};
    g_tail_ready[i].store(true, std::memory_order_release);
  }
  set_level(call, gpio, value);
}

// The ready prefix of the tail.
size_t tail_count() {
  size_t n = 0;
  while (n < kStopTailSize && g_tail_ready[n].load(std::memory_order_acquire)) {
    ++n;
  }
  return n;
}

size_t log_count() { return tail_count() > 0 ? g_log_before_tail.load() : g_pins.size(); }

void record(PinCall call, uint8_t gpio, uint8_t value) {
  if (g_stopped.load()) {
    record_after_stop(call, gpio, value);
    return;
  }
  const int64_t now = clock_now_ns();
  std::lock_guard<std::mutex> lock(mu);
  if (g_keep_pins) {
    g_pins.push(PinEvent{now, call, gpio, value});
  }
  set_level(call, gpio, value);
}

const char* call_name(PinCall call) {
  switch (call) {
    case PinCall::kFsel:
      return "fsel";
    case PinCall::kPud:
      return "pud";
    case PinCall::kWrite:
      return "write";
  }
  return "?";
}

constexpr char kHex[] = "0123456789ABCDEF";

// "<t> <sent> <received>\n" into out (room for kFrameLineMax); its length.
constexpr size_t kFrameLineMax = 32 + 1 + 16 + 1 + 16 + 1;
size_t format_frame_line(const Transfer& x, char* out) {
  format_ms(x.t_ns, out, 32);
  size_t len = strlen(out);
  out[len++] = ' ';
  for (uint8_t b : x.sent) {
    out[len++] = kHex[b >> 4];
    out[len++] = kHex[b & 0xF];
  }
  out[len++] = ' ';
  for (uint8_t b : x.received) {
    out[len++] = kHex[b >> 4];
    out[len++] = kHex[b & 0xF];
  }
  out[len++] = '\n';
  return len;
}

}  // namespace

// ---- called by the library stand-in -----------------------------------------

void board_library_init() {
  std::lock_guard<std::mutex> lock(mu);
  g_initialised = true;
  g_started.store(true);
}

bool board_library_started() { return g_started.load(); }

void board_set_transfer_source(TransferSource source) { g_source.store(source); }

void board_fsel(uint8_t gpio, uint8_t mode) { record(PinCall::kFsel, gpio, mode); }

void board_pud(uint8_t gpio, uint8_t pud) { record(PinCall::kPud, gpio, pud); }

void board_write(uint8_t gpio, uint8_t level) {
  record(PinCall::kWrite, gpio, level);
  if (!g_stopped.load()) {
    coproc_pin_written(gpio, level);
  }
}

void board_spi_call(const std::string& call) {
  std::lock_guard<std::mutex> lock(mu);
  g_spi.calls.push_back(call);
}

void board_spi_call(const std::string& call, int SpiConfig::*field, int value) {
  std::lock_guard<std::mutex> lock(mu);
  g_spi.calls.push_back(call);
  g_spi.*field = value;
}

void board_spi_call(const std::string& call, bool SpiConfig::*field, bool value) {
  std::lock_guard<std::mutex> lock(mu);
  g_spi.calls.push_back(call);
  g_spi.*field = value;
}

void board_spi_polarity(uint8_t cs, uint8_t active) {
  std::lock_guard<std::mutex> lock(mu);
  g_spi.calls.push_back("setChipSelectPolarity");
  g_spi.cs = cs;
  g_spi.cs_active = active;
}

void board_transfer(const uint8_t* sent, uint8_t* received) {
  Transfer t{};
  memcpy(t.sent, sent, 8);
  int64_t takes_ns = 0;
  if (const TransferSource source = g_source.load()) {
    takes_ns = source(t.sent, t.received);
  } else {
    coproc_transfer(t.sent, t.received);
    takes_ns = transfer_time_ns();
  }
  memcpy(received, t.received, 8);
  t.t_ns = clock_now_ns();
  {
    std::lock_guard<std::mutex> lock(mu);
    if (g_keep_transfers) {
      g_transfers.push(t);
    }
    if (char* at = g_frames.reserve(kFrameLineMax)) {
      g_frames.commit(format_frame_line(t, at));
    }
  }
  clock_spend_ns(takes_ns);
}

// ---- tests and the simulator ------------------------------------------------

void board_reset(ClockMode mode, double speed) {
  clock_reset(mode, speed);
  {
    std::lock_guard<std::mutex> lock(mu);
    reset_state();
  }
  coproc_reset_all();
  console_reset();
}

std::vector<PinEvent> pin_events() {
  std::lock_guard<std::mutex> lock(mu);
  std::vector<PinEvent> out;
  const size_t tail = tail_count();
  const size_t before = tail > 0 ? g_log_before_tail.load() : g_pins.size();
  for (size_t i = 0; i < before; ++i) {
    out.push_back(g_pins[i]);
  }
  for (size_t i = 0; i < tail; ++i) {
    out.push_back(g_tail[i]);
  }
  return out;
}

// The locked log is read only up to its count when the stop began: a thread
// interrupted in the middle of its entry never finishes it.
size_t pin_event_count() {
  const size_t tail = tail_count();
  return (tail > 0 ? g_log_before_tail.load() : g_pins.size()) + tail;
}

PinEvent pin_event_at(size_t i) {
  const size_t before = log_count();
  return i < before ? g_pins[i] : g_tail[i - before];
}

void board_stop() { g_stopped.store(true); }

bool board_stopped() { return g_stopped.load(); }

std::vector<Transfer> transfers() {
  std::lock_guard<std::mutex> lock(mu);
  std::vector<Transfer> out;
  for (size_t i = 0; i < g_transfers.size(); ++i) {
    out.push_back(g_transfers[i]);
  }
  return out;
}

SpiConfig spi_config() {
  std::lock_guard<std::mutex> lock(mu);
  return g_spi;
}

bool library_initialised() {
  std::lock_guard<std::mutex> lock(mu);
  return g_initialised;
}

int pin_level(uint8_t gpio) { return gpio < kGpioCount ? g_level[gpio].load() : -1; }

int64_t transfer_time_ns() {
  int divider = kDefaultDivider;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (g_spi.clock_divider > 0) {
      divider = g_spi.clock_divider;
    }
  }
  return static_cast<int64_t>(64.0 * divider / kCoreClockHz * 1e9);
}

void write_pins_log(int fd) {
  // Buffered on the stack: no allocation at exit.
  char buf[8192];
  size_t used = 0;
  const size_t n = pin_event_count();
  for (size_t i = 0; i <= n; ++i) {
    if (i == n || used + 96 > sizeof buf) {
      if (used > 0 && write(fd, buf, used) < 0) {
        return;
      }
      used = 0;
    }
    if (i == n) {
      break;
    }
    const PinEvent e = pin_event_at(i);
    char t[32];
    format_ms(e.t_ns, t, sizeof t);
    const int len = snprintf(buf + used, 96, "%s %s %u %u\n", t, call_name(e.call),
                             static_cast<unsigned>(e.gpio), static_cast<unsigned>(e.value));
    if (len > 0) {
      used += static_cast<size_t>(len);
    }
  }
}

void board_keep_transfers(bool keep) {
  std::lock_guard<std::mutex> lock(mu);
  g_keep_transfers = keep;
}

void board_keep_pins(bool keep) {
  std::lock_guard<std::mutex> lock(mu);
  g_keep_pins = keep;
}

bool board_stream_frames(const char* path) {
  std::lock_guard<std::mutex> lock(mu);
  return g_frames.open(path);
}

void board_finish_frames() { g_frames.finish(); }

void write_frames_log(int fd) {
  char buf[8192];
  size_t used = 0;
  const size_t n = g_transfers.size();
  for (size_t i = 0; i <= n; ++i) {
    if (i == n || used + kFrameLineMax > sizeof buf) {
      if (used > 0 && write(fd, buf, used) < 0) {
        return;
      }
      used = 0;
    }
    if (i < n) {
      used += format_frame_line(g_transfers[i], buf + used);
    }
  }
}

}  // namespace sim
