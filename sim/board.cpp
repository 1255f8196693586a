#include "sim/board.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "sim/append_log.h"
#include "sim/console.h"
#include "sim/coproc.h"
#include "sim/time_format.h"

namespace sim {
namespace {

constexpr double kCoreClockHz = 250e6;
constexpr int kDefaultDivider = 65536;

std::mutex& mu = *new std::mutex;
AppendLog<PinEvent>& g_pins = *new AppendLog<PinEvent>;
AppendLog<Transfer>& g_transfers = *new AppendLog<Transfer>;
SpiConfig& g_spi = *new SpiConfig;
int g_level[kGpioCount];
bool g_initialised = false;

void reset_state() {
  g_pins.clear();
  g_transfers.clear();
  g_spi = SpiConfig{};
  for (int i = 0; i < kGpioCount; ++i) {
    g_level[i] = -1;
  }
  g_initialised = false;
}

void record(PinCall call, uint8_t gpio, uint8_t value) {
  const int64_t now = clock_now_ns();
  std::lock_guard<std::mutex> lock(mu);
  g_pins.push(PinEvent{now, call, gpio, value});
  if (call == PinCall::kWrite && gpio < kGpioCount) {
    g_level[gpio] = value;
  }
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

}  // namespace

// ---- called by the library stand-in -----------------------------------------

void board_library_init() {
  std::lock_guard<std::mutex> lock(mu);
  g_initialised = true;
}

void board_fsel(uint8_t gpio, uint8_t mode) { record(PinCall::kFsel, gpio, mode); }

void board_pud(uint8_t gpio, uint8_t pud) { record(PinCall::kPud, gpio, pud); }

void board_write(uint8_t gpio, uint8_t level) {
  record(PinCall::kWrite, gpio, level);
  coproc_pin_written(gpio, level);
}

void board_spi_call(const std::string& call, int* field, int value) {
  std::lock_guard<std::mutex> lock(mu);
  g_spi.calls.push_back(call);
  if (field != nullptr) {
    *field = value;
  }
}

void board_spi_polarity(uint8_t cs, uint8_t active) {
  std::lock_guard<std::mutex> lock(mu);
  g_spi.calls.push_back("setChipSelectPolarity");
  g_spi.cs = cs;
  g_spi.cs_active = active;
}

SpiConfig& board_spi() { return g_spi; }

void board_transfer(const uint8_t* sent, uint8_t* received) {
  Transfer t{};
  memcpy(t.sent, sent, 8);
  coproc_transfer(t.sent, t.received);
  memcpy(received, t.received, 8);
  t.t_ns = clock_now_ns();
  {
    std::lock_guard<std::mutex> lock(mu);
    g_transfers.push(t);
  }
  clock_spend_ns(transfer_time_ns());
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
  for (size_t i = 0; i < g_pins.size(); ++i) {
    out.push_back(g_pins[i]);
  }
  return out;
}

size_t pin_event_count() { return g_pins.size(); }

PinEvent pin_event_at(size_t i) { return g_pins[i]; }

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

int pin_level(uint8_t gpio) {
  std::lock_guard<std::mutex> lock(mu);
  return gpio < kGpioCount ? g_level[gpio] : -1;
}

int64_t transfer_time_ns() {
  const int divider = g_spi.clock_divider > 0 ? g_spi.clock_divider : kDefaultDivider;
  return static_cast<int64_t>(64.0 * divider / kCoreClockHz * 1e9);
}

void write_pins_log(int fd) {
  char line[96];
  const size_t n = g_pins.size();
  for (size_t i = 0; i < n; ++i) {
    const PinEvent& e = g_pins[i];
    char t[32];
    format_ms(e.t_ns, t, sizeof t);
    const int len = snprintf(line, sizeof line, "%s %s %u %u\n", t, call_name(e.call),
                             static_cast<unsigned>(e.gpio), static_cast<unsigned>(e.value));
    if (len > 0 && write(fd, line, static_cast<size_t>(len)) < 0) {
      return;
    }
  }
}

void write_frames_log(int fd) {
  char line[96];
  const size_t n = g_transfers.size();
  for (size_t i = 0; i < n; ++i) {
    const Transfer& x = g_transfers[i];
    char t[32];
    format_ms(x.t_ns, t, sizeof t);
    int len = snprintf(line, sizeof line, "%s ", t);
    for (uint8_t b : x.sent) {
      len += snprintf(line + len, sizeof line - static_cast<size_t>(len), "%02X", b);
    }
    line[len++] = ' ';
    for (uint8_t b : x.received) {
      len += snprintf(line + len, sizeof line - static_cast<size_t>(len), "%02X", b);
    }
    line[len++] = '\n';
    if (write(fd, line, static_cast<size_t>(len)) < 0) {
      return;
    }
  }
}

}  // namespace sim
