#include "core/main_cycle.h"

#include <optional>

#include "config/config.h"
#include "core/Buffer.h"
#include "line/board.h"
#include "line/drivers.h"
#include "line/line_guard.h"
#include "line/pins.h"
#include "out/output.h"
#include "out/report.h"
#include "protocol/console.h"
#include "protocol/link_frame.h"

CycleRecord Cycle;
void (*g_pass_seam)() = nullptr;

namespace {

constexpr unsigned kPassWaitMs = 20;

// Every write of Cycle is made in a CallStep (line/line_guard.h): a call
// event moves the call epoch on in the same step as its write, and a pass's
// look at the epoch and its write are one step against it. A call event that
// changes Cycle while a pass is inside a line operation thus prevails over
// the state the pass would write afterwards: otherwise a drop reported during
// a one-second pickup would leave the call "picked up" after it has ended.
// The idle event and the real handset's pickup count as well: each says what
// the line is doing now, whatever the pass meant to do with it.

void event_sets(int32_t state) {
  CallStep step;
  step.call_event();
  Cycle.state.store(state);
}

// The real handset's pickup counts only while the imitation does not hold
// the call; the look and the write are one step against a pass's flag.
bool event_sets_unless_imitated(int32_t state) {
  CallStep step;
  if (Cycle.imit.load() != 0) {
    return false;
  }
  step.call_event();
  Cycle.state.store(state);
  return true;
}

void event_sets(int32_t state, int32_t imit) {
  CallStep step;
  step.call_event();
  Cycle.imit.store(imit);
  Cycle.state.store(state);
}

enum class After { kKeepState, kPickedUp, kIdle };

// Flag set, the driver operation, then the next state unless a call event
// has come since the pass's snapshot. An event before the check (during the
// pass's 20 ms wait) makes the snapshot stale: the code is then dropped
// unrun, as a code that does not fit the state is, rather than, say, picking
// up a call that has just been dropped. The check, the flag and the opening
// of the sequence are one step, so an event after it supersedes the
// sequence. The controlling process hears which it was: "run" then "done",
// or "skip".
void run_call_operation(CycleRecord* cycle, uint32_t snapshot_epoch, uint8_t code,
                        void (*operation)(), After after) {
  std::optional<MainSequence> sequence;
  {
    CallStep step;
    if (step.epoch() != snapshot_epoch) {
      report_code(kReportSkip, code);
      return;
    }
    cycle->imit.store(1);
    sequence.emplace(step);
  }
  report_code(kReportRun, code);
  if (g_pass_seam != nullptr) {
    g_pass_seam();
  }
  operation();
  sequence.reset();
  report_code(kReportDone, code);
  CallStep step;
  if (step.epoch() != snapshot_epoch) {
    return;
  }
  if (after == After::kPickedUp) {
    cycle->state.store(kStatePickedUp);
  } else if (after == After::kIdle) {
    cycle->state.store(kStateIdle);
    cycle->imit.store(0);
  }
}

// A call event's line operation, after the event's step: it takes the line
// from whatever the main thread is doing on it.
void run_link_operation(void (*operation)()) {
  LinkOperation scope;
  operation();
}

void dial(const uint8_t* frame) {
  const uint16_t room = static_cast<uint16_t>(frame[4] * 256 + frame[5]);
  // Rooms beyond the table belong to neither list.
  const uint8_t mark = room < kRoomCount ? RoomImit[room] : uint8_t{kRoomNone};
  const bool imitate = mark == kRoomImitated || frame[3] == 1;
  {
    // The new call supersedes whatever the pass is doing before the line
    // moves for it; Cycle follows once the line is set.
    CallStep step;
    step.call_event();
  }
  run_link_operation(imitate ? select_imit : select_real);
  event_sets(kStateDialled, imitate ? 1 : 0);
  out_printf("%s %d\n", kLineDial, room);
  if (mark == kRoomBlacklisted) {
    console_enqueue(kCodeHangUp, QueueSource::kOwn);
  }
}

}  // namespace

void VirtualIntercom_status(CycleRecord* cycle) {
  int32_t state = kStateIdle;
  uint32_t epoch = 0;
  {
    CallStep step;
    state = cycle->state.load();
    epoch = step.epoch();
  }
  const uint8_t code = console_dequeue();
  wait_ms(kPassWaitMs);
  if (code == 0) {
    return;
  }

  if (is_relay_code(code)) {
    report_code(kReportRun, code);
    openRel(static_cast<uint8_t>(code - kCodeRelay0));
    report_code(kReportDone, code);
    return;
  }
  const bool open = code == kCodeOpen || code == kCodeOpenToo;
  switch (state) {
    case kStateIdle:
      if (open) {
        std::optional<MainSequence> sequence;
        {
          CallStep step;
          sequence.emplace(step);
        }
        report_code(kReportRun, code);
        open_free();
        sequence.reset();
        report_code(kReportDone, code);
        return;
      }
      break;
    case kStateDialled:
      if (code == kCodePickUp) {
        run_call_operation(cycle, epoch, code, pickup, After::kPickedUp);
        return;
      }
      if (open) {
        run_call_operation(cycle, epoch, code, open_call, After::kIdle);
        return;
      }
      if (code == kCodeHangUp) {
        run_call_operation(cycle, epoch, code, drop_call, After::kIdle);
        return;
      }
      break;
    case kStatePickedUp:
      if (open) {
        run_call_operation(cycle, epoch, code, open_pickup, After::kKeepState);
        return;
      }
      if (code == kCodeHangUp) {
        run_call_operation(cycle, epoch, code, drop_pickup, After::kIdle);
        return;
      }
      break;
    default:
      break;
  }
  // No action in this state (99 never has one).
  report_code(kReportSkip, code);
}

void call_event(const uint8_t* frame) {
  switch (frame[2]) {
    case kEventIdle:
      event_sets(kStateIdle);
      return;
    case kEventDial:
      dial(frame);
      return;
    case kEventPickup:
      if (event_sets_unless_imitated(kStatePickedUp)) {
        out_line(kLinePickup);
      }
      return;
    case kEventOpen:
      if (Cycle.imit.load() == 0) {
        out_line(kLineOpen);
      }
      return;
    case kEventDrop:
      event_sets(kStateIdle, 0);
      run_link_operation(gpio_first_status);
      out_line(kLineDrop);
      return;
    case kEventOpenDetected:
      out_line(kLineOpenDetected);
      return;
    default:
      return;
  }
}
