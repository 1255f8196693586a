#include "sim/describe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "core/main.h"
#include "line/drivers.h"
#include "line/pins.h"
#include "line/timing.h"
#include "line/timing_conf.h"
#include "sim/board.h"
#include "sim/clock.h"
#include "sim/console.h"
#include "sim/time_format.h"
#include "sim/traces.h"

namespace sim {
namespace {

constexpr int kExitUsage = 64;

// What an operation did at one moment: a pin write, or a line it printed.
struct Step {
  int64_t t_ns;
  bool printed;
  uint8_t gpio;
  uint8_t level;
  std::string text;
};

// Runs of writes that read better under one name.
struct NamedLevels {
  const char* name;
  std::vector<PinLevel> levels;
};
const NamedLevels kNamedLevels[] = {
    {"board idle state (soft_reset)",
     {{24, 0}, {23, 1}, {22, 1}, {14, 1}, {6, 0}, {25, 0}, {16, 0}, {26, 0}, {2, 1}}},
    {"KM500 idle state: selector high, hook lines on hook",
     {{24, 1}, {23, 0}, {22, 1}, {14, 1}, {6, 0}, {25, 0}, {16, 0}, {26, 0}}},
    {"hook lines released (GPIO 23 high, 22 high)", {{23, 1}, {22, 1}}},
    {"hook lines on hook (GPIO 23 low, 22 high)", {{23, 0}, {22, 1}}},
    {"hook lines off hook (GPIO 23 high, 22 low)", {{23, 1}, {22, 0}}},
    {"hook lines open key (GPIO 23 low, 22 low)", {{23, 0}, {22, 0}}},
};

const char* pin_role(uint8_t gpio) {
  switch (gpio) {
    case kPinLineSelector:
      return "line selector";
    case kPinHook1:
      return "hook line 1";
    case kPinHook2:
      return "hook line 2";
    case kPinDoorRelay:
      return "door relay";
    case kPinCoprocReset:
      return "co-processor reset";
    case kPinRelay0:
      return "relay 0";
    case kPinRelay1:
      return "relay 1";
    case kPinRelay2:
      return "relay 2";
    default:
      return "pin";
  }
}

// How many steps from `at` make up the named run, all at one moment.
size_t matches(std::span<const Step> steps, const NamedLevels& run) {
  if (steps.size() < run.levels.size()) {
    return 0;
  }
  for (size_t i = 0; i < run.levels.size(); ++i) {
    const Step& s = steps[i];
    if (s.printed || s.t_ns != steps[0].t_ns || s.gpio != run.levels[i].pin ||
        s.level != run.levels[i].level) {
      return 0;
    }
  }
  return run.levels.size();
}

void print_steps(FILE* out, std::span<const Step> steps) {
  size_t i = 0;
  while (i < steps.size()) {
    char t[32];
    format_ms(steps[i].t_ns, t, sizeof t);
    if (steps[i].printed) {
      fprintf(out, "  %8s ms  prints \"%s\"\n", t, steps[i].text.c_str());
      ++i;
      continue;
    }
    size_t used = 0;
    for (const NamedLevels& run : kNamedLevels) {
      used = matches(steps.subspan(i), run);
      if (used > 0) {
        fprintf(out, "  %8s ms  %s\n", t, run.name);
        break;
      }
    }
    if (used == 0) {
      fprintf(out, "  %8s ms  %s (GPIO %d) %s\n", t, pin_role(steps[i].gpio), steps[i].gpio,
              steps[i].level != 0 ? "high" : "low");
      used = 1;
    }
    i += used;
  }
}

// Runs one slot; returns its steps, times from its start, and its total.
std::vector<Step> run_slot(const LineSlot& slot, int64_t* total_ns) {
  // The operation's name goes into the output record, as a marker for the
  // picture.
  printf("%s\n", slot.name);
  const size_t first_pin = pin_event_count();
  const size_t first_line = output_line_count();
  const int64_t t0 = clock_now_ns();
  (*slot.slot)();
  *total_ns = clock_now_ns() - t0;

  std::vector<Step> steps;
  for (size_t i = first_pin; i < pin_event_count(); ++i) {
    const PinEvent e = pin_event_at(i);
    if (e.call == PinCall::kWrite) {
      steps.push_back({e.t_ns - t0, false, e.gpio, e.value, {}});
    }
  }
  // A printed line goes before the writes of its moment: the operation
  // prints first (the common driver's open_call).
  const std::vector<OutputLine> lines = output_lines();
  for (size_t i = first_line; i < lines.size(); ++i) {
    Step s{lines[i].t_ns - t0, true, 0, 0, lines[i].text};
    auto at = steps.begin();
    while (at != steps.end() && at->t_ns < s.t_ns) {
      ++at;
    }
    steps.insert(at, s);
  }
  return steps;
}

void write_svg_file(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    fprintf(stderr, "zul_stm_sim: cannot write %s\n", path.c_str());
    return;
  }
  write_svg(fd);
  close(fd);
}

}  // namespace

int describe_driver(int argc, char** program_args, const std::string& svg_path) {
  if (argc < 1) {
    fprintf(stderr,
            "zul_stm_sim: --describe-driver needs the intercom code: "
            "zul_stm_sim --describe-driver -- INTERCOM\n");
    return kExitUsage;
  }
  const auto code = static_cast<uint8_t>(atoi(program_args[0]));
  board_reset(ClockMode::kInstant);
  FILE* const out = stdout;
  console_capture_stdout(-1);  // what the operations print is recorded, not passed on

  if (!timing_conf_load(kTimingConfPath)) {
    return kExitTiming;
  }
  const IntercomSystem& system = intercom_system(code);
  system.install();
  // A driver goes by its section in timing.conf, the name an installation
  // tunes it by: code 16 is described as the Marshal driver it is.
  if (system.timing_section != nullptr) {
    fprintf(out, "intercom %d: the %s driver; times from each operation's start\n", code,
            system.timing_section);
  } else {
    fprintf(out, "intercom %d: the signal-analysis driver, with no timings\n", code);
  }
  for (const LineSlot& slot : kLineSlots) {
    int64_t total_ns = 0;
    const std::vector<Step> steps = run_slot(slot, &total_ns);
    char total[32];
    format_ms(total_ns, total, sizeof total);
    fprintf(out, "\n%s  %s ms\n", slot.name, total);
    print_steps(out, steps);
  }
  if (!svg_path.empty()) {
    write_svg_file(svg_path);
  }
  fflush(out);
  return 0;
}

}  // namespace sim
