// The call state machine: the main loop's passes and the call events the
// co-processor reports.
#pragma once
#include <atomic>
#include <cstdint>

enum : int32_t { kStateIdle = 0, kStateDialled = 2, kStatePickedUp = 3 };

// Written by the main loop and by the link thread, each only inside a
// CallStep, that is under the call lock of line/line_guard.h, which also
// guards the call epoch that every write of a call event moves on. Each
// field is atomic as well, so a look outside a step (the open event's look at
// the flag) reads a whole value.
struct CycleRecord {
  std::atomic<int32_t> state{kStateIdle};
  std::atomic<int32_t> imit{0};  // the imitated handset has the call
};
extern CycleRecord Cycle;

// One pass of the main loop: snapshot, at most one queued code, 20 ms, then
// the code's action in the snapshot's state.
void VirtualIntercom_status(CycleRecord* cycle);

// A call event frame (type 1) from the co-processor; runs on the link thread
// (and on the main thread during the start-up settings pushes).
void call_event(const uint8_t* frame);

// A seam for tests: when set, runs on the main thread right after a pass has
// decided to run a call operation and before the operation's first step.
// Null in the program; a test sets it while only its own thread runs passes.
extern void (*g_pass_seam)();
