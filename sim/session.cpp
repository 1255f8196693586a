#include "sim/session.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <future>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/main.h"
#include "record/flight_record.h"
#include "sim/board.h"
#include "sim/console.h"
#include "sim/coproc.h"
#include "sim/describe.h"
#include "sim/platform.h"
#include "sim/replay.h"
#include "sim/scenario.h"
#include "sim/traces.h"

namespace sim {
namespace {

constexpr int kExitUsage = 64;
constexpr int64_t kQuietEndNs = 10000 * kNsPerMs;

struct Options {
  std::string pins, frames, lines, vcd, svg, scenario, replay;
  double until_ms = -1;
  double tolerance_ms = kReplayToleranceMs;
  double speed = 1;
  bool virtual_time = false;
  bool paced = false;
  bool demo = false;
  bool seed_given = false;
  bool describe_driver = false;
  CoprocOptions coproc;
};

Options g_options;
FlightRecordFile& g_record = *new FlightRecordFile;

const char kUsage[] =
    "usage: zul_stm_sim [OPTIONS] [--] PROGRAM-ARGUMENTS...\n"
    "  --pins FILE        pin log: <t> fsel|pud|write <gpio> <value>\n"
    "  --frames FILE      SPI log: <t> <sent> <received>\n"
    "  --lines FILE       the program's output lines: <t> <line>\n"
    "  --vcd FILE         the pin writes as a Value Change Dump (GTKWave, PulseView)\n"
    "  --svg FILE         a timing picture of the pins with the output lines marked\n"
    "  --until MS         end after MS simulated milliseconds\n"
    "  --speed X          real time X times faster (default 1)\n"
    "  --virtual          deterministic virtual time\n"
    "  --paced            virtual time held to real time: the scenario's steps come at\n"
    "                     their real times, the program runs ahead between them, and a\n"
    "                     quiet line costs next to no CPU; standard input passes through\n"
    "  --scenario FILE    line events, faults and the controlling side\n"
    "  --demo             play the built-in demo (the default with --virtual)\n"
    "  --shield N         shield code the co-processor reports (default 26)\n"
    "  --firmware N       firmware version it reports (default 1)\n"
    "  --no-answer N      silent until reset more than N times\n"
    "  --faults RATE      corrupt that share of the co-processor's frames\n"
    "  --seed N           seed for --faults\n"
    "  --describe-driver  print the selected driver's operations (with --svg: draw\n"
    "                     them) and exit without running the program\n"
    "  --replay FILE      replay a flight record (ZUL_RECORD) in virtual time and compare\n"
    "                     what the program does with it: replay: identical, or the first\n"
    "                     divergence; exit 0 or 1. The program's arguments\n"
    "                     default to the record's\n"
    "  --tolerance MS     how far a replayed pin write or line may be off its recorded\n"
    "                     time (default 50)\n"
    "Times in the logs are simulated milliseconds since the program started.\n";

bool to_double(const char* s, double* out) {
  char* end = nullptr;
  errno = 0;
  const double v = strtod(s, &end);
  if (errno != 0 || end == s || *end != '\0' || !(v >= 0)) {
    return false;
  }
  *out = v;
  return true;
}

bool to_uint(const char* s, unsigned long long max, unsigned long long* out) {
  if (*s == '\0' || *s == '-' || *s == '+') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = strtoull(s, &end, 0);
  if (errno != 0 || *end != '\0' || v > max) {
    return false;
  }
  *out = v;
  return true;
}

// Returns the index of the first program argument, or -1 on a bad option.
int parse_options(int argc, char** argv, Options* o) {
  int i = 1;
  for (; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--") {
      return i + 1;
    }
    if (opt.rfind("--", 0) != 0) {
      return i;
    }
    if (opt == "--virtual") {
      o->virtual_time = true;
      continue;
    }
    if (opt == "--paced") {
      o->paced = true;
      continue;
    }
    if (opt == "--demo") {
      o->demo = true;
      continue;
    }
    if (opt == "--describe-driver") {
      o->describe_driver = true;
      continue;
    }
    static const char* const kWithValue[] = {"--pins",   "--frames",   "--lines",     "--vcd",
                                             "--svg",    "--scenario", "--until",     "--speed",
                                             "--shield", "--firmware", "--no-answer", "--faults",
                                             "--seed",   "--replay",   "--tolerance"};
    bool known = false;
    for (const char* k : kWithValue) {
      known = known || opt == k;
    }
    if (!known) {
      fprintf(stderr, "zul_stm_sim: unknown option %s\n", opt.c_str());
      return -1;
    }
    if (i + 1 >= argc) {
      fprintf(stderr, "zul_stm_sim: %s needs a value\n", opt.c_str());
      return -1;
    }
    const char* value = argv[++i];
    unsigned long long n = 0;
    bool ok = true;
    if (opt == "--pins") {
      o->pins = value;
    } else if (opt == "--frames") {
      o->frames = value;
    } else if (opt == "--lines") {
      o->lines = value;
    } else if (opt == "--vcd") {
      o->vcd = value;
    } else if (opt == "--svg") {
      o->svg = value;
    } else if (opt == "--scenario") {
      o->scenario = value;
    } else if (opt == "--replay") {
      o->replay = value;
    } else if (opt == "--tolerance") {
      ok = to_double(value, &o->tolerance_ms);
    } else if (opt == "--until") {
      ok = to_double(value, &o->until_ms);
    } else if (opt == "--speed") {
      ok = to_double(value, &o->speed) && o->speed > 0;
    } else if (opt == "--shield") {
      ok = to_uint(value, 255, &n);
      o->coproc.shield = static_cast<uint8_t>(n);
    } else if (opt == "--firmware") {
      ok = to_uint(value, 65535, &n);
      o->coproc.firmware = static_cast<uint16_t>(n);
    } else if (opt == "--no-answer") {
      ok = to_uint(value, 1000000, &n);
      o->coproc.no_answer_resets = static_cast<int>(n);
    } else if (opt == "--faults") {
      ok = to_double(value, &o->coproc.fault_rate) && o->coproc.fault_rate <= 1.0;
    } else {  // --seed: the list above holds no other name
      ok = to_uint(value, UINT64_MAX, &n);
      o->coproc.seed = n;
      o->seed_given = true;
    }
    if (!ok) {
      fprintf(stderr, "zul_stm_sim: bad value '%s' for %s\n", value, opt.c_str());
      return -1;
    }
  }
  return i;
}

void write_file(const std::string& path, void (*writer)(int fd)) {
  if (path.empty()) {
    return;
  }
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    return;
  }
  writer(fd);
  close(fd);
}

void write_logs() {
  write_file(g_options.pins, write_pins_log);
  board_finish_frames();  // streamed all along; the rest of its buffer
  write_file(g_options.lines, write_lines_log);
  write_file(g_options.vcd, write_vcd);
  write_file(g_options.svg, write_svg);
}

// Until the program installs its own handlers: end at once, through the exit
// hook that writes the logs (standard output is unbuffered, nothing to flush).
void on_signal(int signo) { _exit(128 + signo); }

// Paced: the process's standard input, read by a thread of the simulator's
// own, goes into the feed that the program reads in the turns (a read of
// the real descriptor would hold every thread of the turns). It starts
// reading once the feed is in place.
std::promise<void>& g_pump_go = *new std::promise<void>;

void pump_stdin(std::future<void> go) {
  go.wait();
  char buf[4096];
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      input_close();
      return;
    }
    input_push(std::string(buf, static_cast<size_t>(n)));
  }
}

void on_stall() {
  fprintf(stderr,
          "zul_stm_sim: the program waits for standard input that the scenario never gives; "
          "ending the run\n");
  simulator_finish(0);
}

bool load_scenario(Scenario* scenario) {
  std::string text = kDemoScenario;
  std::string name = "(demo)";
  if (!g_options.scenario.empty()) {
    std::ifstream in(g_options.scenario);
    if (!in) {
      fprintf(stderr, "zul_stm_sim: cannot read %s\n", g_options.scenario.c_str());
      return false;
    }
    std::stringstream all;
    all << in.rdbuf();
    text = all.str();
    name = g_options.scenario;
  } else if (!g_options.demo && !g_options.virtual_time) {
    return true;  // a plain shield; standard input passes through
  }
  std::string error;
  if (!parse_scenario(text, name, scenario, &error)) {
    fprintf(stderr, "zul_stm_sim: %s\n", error.c_str());
    return false;
  }
  return true;
}

// A replay plays the record's own co-processor and input, in virtual time.
bool load_replay() {
  if (!g_options.scenario.empty() || g_options.demo || g_options.coproc.fault_rate > 0) {
    fprintf(stderr,
            "zul_stm_sim: --replay plays the record's own co-processor and input; it takes "
            "no --scenario, --demo or --faults\n");
    return false;
  }
  std::string error;
  if (!load_flight_record(g_options.replay, &g_record, &error)) {
    fprintf(stderr, "zul_stm_sim: %s\n", error.c_str());
    return false;
  }
  g_options.virtual_time = true;
  g_options.demo = false;
  return true;
}

// Faults at random get a seed, which is printed so that the run can be
// played again with --seed.
void announce_faults() {
  if (g_options.coproc.fault_rate > 0 && !g_options.seed_given) {
    g_options.coproc.seed = static_cast<uint64_t>(time(nullptr)) ^ static_cast<uint64_t>(getpid());
  }
  if (g_options.coproc.fault_rate > 0) {
    fprintf(stderr, "zul_stm_sim: faults at rate %g with --seed %llu\n",
            g_options.coproc.fault_rate, static_cast<unsigned long long>(g_options.coproc.seed));
  }
}

// The simulated shield, its logs and the program's standard streams, and how
// the run ends on a signal or a stall.
// pump: the process's standard input reaches the program through the
// simulator's own thread (paced runs whose scenario does not write it).
void set_up_board(bool replaying, bool pump, bool feed_input) {
  if (pump) {
    // Started before the clock's reset, so that it is a thread of its own
    // and not one of the program's turns; it takes no stop signal.
    sigset_t before;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    platform_block_stop_signals();
    std::thread(pump_stdin, g_pump_go.get_future()).detach();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }
  board_reset(
      g_options.virtual_time || g_options.paced ? ClockMode::kScheduled : ClockMode::kRealTime,
      g_options.speed);
  if (g_options.paced) {
    clock_pace_to_real_time();
  }
  coproc_configure(g_options.coproc);
  // Only what the run asked for: transfers go straight to their log.
  board_keep_transfers(false);
  // The pin writes and the lines only for the files that show them: a run of
  // weeks without them keeps its memory flat.
  board_keep_pins(!g_options.pins.empty() || !g_options.vcd.empty() || !g_options.svg.empty());
  console_keep_output(!g_options.lines.empty() || !g_options.vcd.empty() || !g_options.svg.empty());
  if (!g_options.frames.empty()) {
    board_stream_frames(g_options.frames.c_str());
  }
  // A replay shows its verdict, not the program's lines.
  const int echo_fd = replaying ? -1 : dup(STDOUT_FILENO);
  console_capture_stdout(echo_fd);
  if (feed_input) {
    console_feed_stdin();
  }
  if (pump) {
    g_pump_go.set_value();
  }
  platform_on_exit(write_logs);
  for (int signo : {SIGINT, SIGTERM}) {
    signal(signo, on_signal);
  }
  clock_on_stall(on_stall);
}

// What happens on the line, and when the run ends.
void schedule_run(const Scenario& scenario, bool replaying) {
  if (replaying) {
    replay_prepare(g_record, g_options.tolerance_ms, simulator_finish);
  } else {
    schedule_scenario(scenario, simulator_finish);
  }
  if (g_options.until_ms >= 0) {
    clock_at(static_cast<int64_t>(g_options.until_ms * kNsPerMs), [] { simulator_finish(0); });
  } else if (g_options.virtual_time && !replaying && !scenario.has_end()) {
    clock_at(scenario.last_ns() + kQuietEndNs, [] { simulator_finish(0); });
  }
}

// The program's argv: those given after the options, or when a replay is
// given none, the record's.
std::vector<char*> program_arguments(int argc, char** args, bool replaying) {
  std::vector<char*> program_args;
  program_args.push_back(const_cast<char*>("zul_stm_driver"));
  for (int i = 0; i < argc; ++i) {
    program_args.push_back(args[i]);
  }
  if (replaying) {
    std::vector<std::string> given(args, args + argc);
    if (given.empty()) {
      for (std::string& a : g_record.args) {
        program_args.push_back(a.data());
      }
    } else if (given != g_record.args) {
      fprintf(stderr, "zul_stm_sim: replaying with other arguments than the record's\n");
    }
  }
  program_args.push_back(nullptr);
  return program_args;
}

}  // namespace

void simulator_finish(int status) {
  if (!g_options.replay.empty()) {
    std::string report;
    status = replay_verdict(&report);
    if (write(STDOUT_FILENO, report.data(), report.size()) < 0) {
      status = 1;
    }
  }
  record_finish(status);
  fflush(stdout);
  _exit(status);  // the platform's exit hook writes the logs
}

int simulator_main(int argc, char** argv) {
  const int first = parse_options(argc, argv, &g_options);
  if (first < 0) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }
  if (g_options.describe_driver) {
    return describe_driver(argc - first, argv + first, g_options.svg);
  }
  const bool replaying = !g_options.replay.empty();
  if (replaying && !load_replay()) {
    return kExitUsage;
  }
  Scenario scenario;
  if (!replaying && !load_scenario(&scenario)) {
    return kExitUsage;
  }
  announce_faults();
  if (g_options.paced && (g_options.virtual_time || replaying)) {
    fprintf(stderr, "zul_stm_sim: --paced runs in real time; it takes no --virtual or --replay\n");
    return kExitUsage;
  }
  set_up_board(replaying, g_options.paced && !scenario.drives_input(),
               g_options.virtual_time || g_options.paced || replaying || scenario.drives_input());
  schedule_run(scenario, replaying);
  std::vector<char*> program_args = program_arguments(argc - first, argv + first, replaying);
  const int status = zul_main(static_cast<int>(program_args.size()) - 1, program_args.data());
  simulator_finish(status);
}

}  // namespace sim
