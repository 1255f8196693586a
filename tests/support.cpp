#include "tests/support.h"

#include <ftw.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec/CS6422.h"
#include "codec/File_RxTx.h"
#include "config/config.h"
#include "core/Buffer.h"
#include "core/main.h"
#include "core/main_cycle.h"
#include "line/drivers.h"
#include "line/timing_conf.h"
#include "link/TxRx.h"
#include "sim/platform.h"

namespace test {

void fresh_board(sim::ClockMode mode) {
  sim::board_reset(mode);
  sim::platform_set_model("Raspberry Pi 4 Model B Rev 1.4");
  sim::platform_set_init_fails(false);
  sim::platform_set_thread_create_fails(false);
  sim::console_capture_stdout(-1);
  sim::console_feed_stdin();
  fresh_program();
}

void fresh_program() {
  intercom = 0;
  cycle_time_plus = 0;
  setupRegister0 = 0;
  memset(RoomImit, 0, sizeof RoomImit);
  file_settingName_p1 = nullptr;
  file_settingName_p2 = nullptr;
  memset(file_settingName, 0, sizeof file_settingName);
  Scan_read = 0;
  spi_reset_state();
  for (const LineSlot& s : kLineSlots) {
    *s.slot = nullptr;
  }
  if (file_settings != nullptr && file_settings != stdin) {
    fclose(file_settings);
  }
  file_settings = nullptr;
  memset(file_string, 0, sizeof file_string);
  file_property = FileProperty{};
  static const uint8_t kEmptyQueue[16] = {5, 1};
  memcpy(bufferConsole, kEmptyQueue, sizeof bufferConsole);
  Cycle.state.store(0);
  Cycle.imit.store(0);
  g_pass_seam = nullptr;
  // As start-up does: call events decoded on the link reach the call state.
  spi_on_call_event(call_event);
  timing_conf_clear();
}

std::string hex(const uint8_t* bytes, size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

std::vector<std::string> frames_sent(size_t from) {
  std::vector<std::string> out;
  const auto all = sim::transfers();
  for (size_t i = from; i < all.size(); ++i) {
    out.push_back(hex(all[i].sent, 8));
  }
  return out;
}

std::vector<std::string> frames_received(size_t from) {
  std::vector<std::string> out;
  const auto all = sim::transfers();
  for (size_t i = from; i < all.size(); ++i) {
    out.push_back(hex(all[i].received, 8));
  }
  return out;
}

void give_input(const std::string& text) {
  sim::input_push(text);
  sim::input_close();
}

std::vector<std::string> lines() {
  std::vector<std::string> out;
  for (const auto& l : sim::output_lines()) {
    out.push_back(l.text);
  }
  return out;
}

std::vector<Write> writes(size_t from) {
  std::vector<Write> out;
  const auto events = sim::pin_events();
  for (size_t i = from; i < events.size(); ++i) {
    if (events[i].call == sim::PinCall::kWrite) {
      out.push_back(
          {static_cast<double>(events[i].t_ns) / sim::kNsPerMs, events[i].gpio, events[i].value});
    }
  }
  return out;
}

size_t pin_log_size() { return sim::pin_events().size(); }

double now_ms() { return static_cast<double>(sim::clock_now_ns()) / sim::kNsPerMs; }

namespace {
std::string& case_dir = *new std::string;

int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }
}  // namespace

void make_case_dir() {
  const char* base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zul_test_XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    perror(pattern.c_str());
    abort();
  }
  case_dir = pattern;
}

void remove_case_dir() {
  if (!case_dir.empty()) {
    nftw(case_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    case_dir.clear();
  }
}

std::string temp_dir() {
  if (case_dir.empty()) {
    make_case_dir();  // outside a case (a test's own set-up): still one directory
  }
  return case_dir;
}

std::string temp_path(const std::string& name) { return temp_dir() + "/" + name; }

int start(std::vector<std::string> args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>("zul_stm_driver"));
  for (auto& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  return zul_start(static_cast<int>(argv.size()) - 1, argv.data());
}

std::vector<const IntercomSystem*> line_drivers() {
  std::vector<const IntercomSystem*> out;
  for (const IntercomSystem& s : kIntercomSystems) {
    if (std::none_of(out.begin(), out.end(),
                     [&](const IntercomSystem* d) { return d->install == s.install; })) {
      out.push_back(&s);
    }
  }
  return out;
}

}  // namespace test
