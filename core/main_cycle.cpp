#include "core/main_cycle.h"

#include <mutex>

#include "core/Buffer.h"
#include "core/main.h"
#include "core/output.h"
#include "line/common.h"
#include "line/drivers.h"
#include "line/line_guard.h"
#include "line/pins.h"

CycleRecord Cycle;

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

// A call event that changes Cycle while a pass is inside a line operation
// prevails over the state the pass would write afterwards: otherwise a drop
// reported during a one-second pickup would leave the call "picked up" after
// it has ended. The counter tells the pass that this happened; the lock makes
// the pass's look and its write one step against the event's write.
std::mutex g_cycle_lock;
uint32_t g_event_writes = 0;

void event_sets(int32_t state) {
  std::lock_guard<std::mutex> lock(g_cycle_lock);
  Cycle.state.store(state);
  ++g_event_writes;
}

// The real handset's pickup counts only while the imitation does not hold
// the call; the look and the write are one step against a pass's flag.
bool event_sets_unless_imitated(int32_t state) {
  std::lock_guard<std::mutex> lock(g_cycle_lock);
  if (Cycle.imit.load() != 0) {
    return false;
  }
  Cycle.state.store(state);
  ++g_event_writes;
  return true;
}

void event_sets(int32_t state, int32_t imit) {
  std::lock_guard<std::mutex> lock(g_cycle_lock);
  Cycle.imit.store(imit);
  Cycle.state.store(state);
  ++g_event_writes;
}

enum class After { kKeepState, kPickedUp, kIdle };

// Flag set, the driver operation, then the next state unless a call event
// has written Cycle meanwhile. An event since the pass's snapshot (during its
// 20 ms wait) makes the snapshot stale: the code is then dropped unrun, as a
// code that does not fit the state is, rather than, say, picking up a call
// that has just been dropped.
void run_call_operation(CycleRecord* cycle, uint32_t snapshot_events, void (*operation)(),
                        After after) {
  {
    std::lock_guard<std::mutex> lock(g_cycle_lock);
    if (g_event_writes != snapshot_events) {
      return;
    }
    cycle->imit.store(1);
  }
  {
    MainSequence sequence;
    operation();
  }
  std::lock_guard<std::mutex> lock(g_cycle_lock);
  if (g_event_writes != snapshot_events) {
    return;
  }
  if (after == After::kPickedUp) {
    cycle->state.store(kStatePickedUp);
  } else if (after == After::kIdle) {
    cycle->state.store(kStateIdle);
    cycle->imit.store(0);
  }
}

// Line operations of the link thread take the line from whatever the main
// thread is doing on it.
void run_link_operation(void (*operation)()) {
  LinkOperation scope;
  operation();
}

void dial(const uint8_t* frame) {
  const uint16_t room = static_cast<uint16_t>(frame[4] * 256 + frame[5]);
  // Rooms beyond the table belong to neither list.
  const uint8_t mark = room < kRoomCount ? RoomImit[room] : uint8_t{kRoomNone};
  const bool imitate = mark == kRoomImitated || frame[3] == 1;
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
  uint32_t events = 0;
  {
    std::lock_guard<std::mutex> lock(g_cycle_lock);
    state = cycle->state.load();
    events = g_event_writes;
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
        MainSequence sequence;
        open_free();
      }
      return;
    case kStateDialled:
      if (code == kCodePickUp) {
        run_call_operation(cycle, events, pickup, After::kPickedUp);
      } else if (open) {
        run_call_operation(cycle, events, open_call, After::kIdle);
      } else if (code == kCodeHangUp) {
        run_call_operation(cycle, events, drop_call, After::kIdle);
      }
      return;
    case kStatePickedUp:
      if (open) {
        run_call_operation(cycle, events, open_pickup, After::kKeepState);
      } else if (code == kCodeHangUp) {
        run_call_operation(cycle, events, drop_pickup, After::kIdle);
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
