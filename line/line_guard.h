// Who may still drive the pins.
//
// The main thread runs the long sequences (pick up, open, hang up, relay
// pulses); the link thread runs the short ones that call events ask for
// (connect the handset on a dial, the idle state on a drop). They are not
// serialised by a lock held across the waits: the link thread would then
// exchange no frame for up to ten seconds. Instead the link thread's
// operation wins: a main-thread sequence that overlaps it in any way (running
// when it begins, or begun while it runs) makes no further write to the line
// pins (selector and hook lines)
// and only sits out its waits, so the line ends in the state the latest call
// event asked for. Relay and door pulses are never cut short.
//
// When the program is stopped, no thread drives a pin after the board idle
// state has been written.
#pragma once
#include <cstdint>

// Writes the level unless the board is stopped or the calling thread's
// sequence has been superseded.
void line_guarded_write(uint8_t pin, uint8_t level);

// Scope of one main-thread sequence that a link-thread operation supersedes.
class MainSequence {
 public:
  MainSequence();
  ~MainSequence();
  MainSequence(const MainSequence&) = delete;
  MainSequence& operator=(const MainSequence&) = delete;
};

// Scope of one link-thread operation; supersedes the running main-thread
// sequence. (On a thread that is itself inside a sequence, as when a test
// stages an event in the middle of one, the operation still writes.)
class LinkOperation {
 public:
  LinkOperation();
  ~LinkOperation();
  LinkOperation(const LinkOperation&) = delete;
  LinkOperation& operator=(const LinkOperation&) = delete;

 private:
  bool outer_in_sequence_;
};

// Stops every further pin write, waits briefly for writes in flight, and
// writes the board idle state. Safe in a signal handler.
void line_stop_board();
