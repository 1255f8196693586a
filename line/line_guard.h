// The one rule for the call and the line between the two threads.
//
// The main thread runs the long sequences (pick up, open, hang up, relay
// pulses); the link thread handles the call events and runs the short line
// operations they ask for (connect the handset on a dial, the idle state on a
// drop). They are not serialised by a lock held across the waits: the link
// thread would then exchange no frame for up to ten seconds. Instead:
//
// - One lock, the call lock, guards the call state record (core's `Cycle`)
//   and the call epoch. Every write of the record is made inside a CallStep.
// - Every call event moves the epoch on, in a CallStep, before its line
//   operation and before or with its write of the record.
// - A main-thread pass notes the epoch with its snapshot of the record. When
//   it runs a call operation, it checks the epoch, sets its own fields and
//   opens its MainSequence in one CallStep, and writes its next state in a
//   later CallStep only if the epoch is still the one it noted. So a call
//   event at any moment after the snapshot prevails over the pass: before the
//   check, the code is dropped unrun; after it, the sequence makes no further
//   write to the line pins (selector and hook lines) and only sits out its
//   waits, and the pass writes no state. The line ends as the latest call
//   event left it. Relay and door pulses are never cut short.
// - A link-thread line operation also moves the epoch on when it ends, and
//   while it runs no sequence writes the line pins: a sequence opened during
//   it (from a snapshot taken after its event) is superseded as well.
//
// When the program is stopped, no thread drives a pin after the board idle
// state has been written.
#pragma once
#include <cstdint>

// One step under the call lock, never held across a wait or a line
// operation.
class CallStep {
 public:
  CallStep();
  ~CallStep();
  CallStep(const CallStep&) = delete;
  CallStep& operator=(const CallStep&) = delete;

  // The call epoch now.
  uint32_t epoch() const;
  // A call event: the epoch moves on, superseding the main thread's sequence
  // and making the pass's snapshot stale.
  void call_event();
};

// Scope of one main-thread sequence. Opened inside the CallStep in which the
// pass checked its snapshot, it holds the line as of that step's epoch.
class MainSequence {
 public:
  explicit MainSequence(const CallStep& step);
  ~MainSequence();
  MainSequence(const MainSequence&) = delete;
  MainSequence& operator=(const MainSequence&) = delete;
};

// Scope of one link-thread line operation, begun after its call event's
// step: moves the epoch on again when it ends. Never opened inside a
// MainSequence (a call event is handled on the link thread, or on the main
// thread during start-up, outside any sequence).
class LinkOperation {
 public:
  LinkOperation();
  ~LinkOperation();
  LinkOperation(const LinkOperation&) = delete;
  LinkOperation& operator=(const LinkOperation&) = delete;
};

// Writes the level unless the board is stopped or the calling thread's
// sequence has been superseded. For pin_write alone.
void line_guarded_write(uint8_t pin, uint8_t level);

// The pins have been configured: from now on the stop path may write them.
void line_board_up();

// Stops every further pin write, waits briefly for writes in flight, and
// writes the board idle state (if the pins have been configured). Safe in a
// signal handler.
void line_stop_board();
