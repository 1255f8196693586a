#include "core/main_cycle.h"

#include <optional>

#include "config/config.h"
#include "core/Buffer.h"
#include "line/board.h"
#include "line/drivers.h"
#include "line/line_guard.h"
#include "line/pins.h"
#include "out/output.h"

CycleRecord Cycle;
void (*g_pass_seam)() = nullptr;

namespace {

constexpr unsigned kPassWaitMs = 20;

enum : uint8_t {
  kCodePickUp = 1,
  kCodeOpen = 2,
  kCodeHangUp = 3,
  kCodeRelay0 = 20,
  kCodeRelay1 = 21,
  kCodeRelay2 = 22,
  kCodeOpenToo = 23,
};

enum : uint8_t {
  kEventIdle = 0,
  kEventDial = 1,
  kEventPickup = 2,
  kEventOpen = 3,
  kEventDrop = 4,
  kEventOpenDetected = 5,
};

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
// sequence.
void run_call_operation(CycleRecord* cycle, uint32_t snapshot_epoch, void (*operation)(),
                        After after) {
  std::optional<MainSequence> sequence;
  {
    CallStep step;
    if (step.epoch() != snapshot_epoch) {
      return;
    }
    cycle->imit.store(1);
    sequence.emplace(step);
  }
  if (g_pass_seam != nullptr) {
    g_pass_seam();
  }
  operation();
  sequence.reset();
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
  out_printf("dial %d\n", room);
  if (mark == kRoomBlacklisted) {
    console_enqueue(kCodeHangUp);
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

  switch (code) {
    case kCodeRelay0:
      openRel(0);
      return;
    case kCodeRelay1:
      openRel(1);
      return;
    case kCodeRelay2:
      openRel(2);
      return;
    default:
      break;
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
        open_free();
      }
      return;
    case kStateDialled:
      if (code == kCodePickUp) {
        run_call_operation(cycle, epoch, pickup, After::kPickedUp);
      } else if (open) {
        run_call_operation(cycle, epoch, open_call, After::kIdle);
      } else if (code == kCodeHangUp) {
        run_call_operation(cycle, epoch, drop_call, After::kIdle);
      }
      return;
    case kStatePickedUp:
      if (open) {
        run_call_operation(cycle, epoch, open_pickup, After::kKeepState);
      } else if (code == kCodeHangUp) {
        run_call_operation(cycle, epoch, drop_pickup, After::kIdle);
      }
      return;
    default:
      return;
  }
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
        out_line("pickup");
      }
      return;
    case kEventOpen:
      if (Cycle.imit.load() == 0) {
        out_line("open");
      }
      return;
    case kEventDrop:
      event_sets(kStateIdle, 0);
      run_link_operation(gpio_first_status);
      out_line("drop");
      return;
    case kEventOpenDetected:
      out_line("openDetected");
      return;
    default:
      return;
  }
}
