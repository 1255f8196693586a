// The flight record: what the program saw and did in its last minutes, for
// looking at a call that went wrong after the fact, and for replaying it on
// the simulated shield.
//
// With ZUL_RECORD=FILE in the environment every SPI transfer, every token
// read from standard input, every line written to standard output and every
// pin write goes into a fixed ring in memory, with its time in ms since the
// peripheral library started (the bcm2835 system timer; 0 before that). The
// ring goes to FILE, as text, when the program ends by any way (a normal
// return, a stop signal, the output's reader gone) and on SIGUSR1 while it
// runs: written to FILE.tmp (FILE.end.tmp at the end) beside it and synced
// first, then renamed over FILE, so FILE is always a whole record (or absent), mode 0600. A missing
// directory of FILE is made, mode 0700. Without ZUL_RECORD every hook is one
// untaken branch.
//
// This module sits below everything of ours (it includes nothing of the
// program), so the link, the line and the core may all call it.
#pragma once
#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

// One ring entry: 48 bytes. 2^18 of them (12 MiB, touched only when
// recording) hold about 14 minutes of an idle link (two transfers every
// 6.5 ms), more than the 10 minutes a look back needs.
inline constexpr size_t kRecordCapacity = size_t{1} << 18;
inline constexpr size_t kRecordTextMax = 30;  // longer lines and tokens are cut here

enum class RecordKind : uint8_t { kNone, kTransfer, kToken, kInputEnd, kLine, kPin };

// A copy of one entry, for the simulator's replay and for tests.
struct RecordEntry {
  uint64_t t_us = 0;
  RecordKind kind = RecordKind::kNone;
  uint8_t len = 0;  // bytes used in data
  uint8_t data[kRecordTextMax] = {};
};

namespace record_detail {
// Set once at start-up by the main thread, and read by every thread and by
// the SIGUSR1 handler. The simulator's timer thread already runs by then,
// and it takes the handler: an atomic, whose release store also publishes
// the file name and header written before it.
extern std::atomic<bool> g_on;
void transfer(const uint8_t* sent, const uint8_t* received);
void token(int outcome, const int32_t* value, const char* text);
void line(const char* text, size_t len);
void vline(const char* format, va_list args);
void pin(uint8_t pin, uint8_t level);
}  // namespace record_detail

// Start-up, first thing: looks at ZUL_RECORD and, when it names a file (or
// record_keep_in_memory was called), starts recording with the program's
// version and arguments as the record's first line, and installs SIGUSR1.
void record_begin(int argc, char** argv, int major, int minor, int patch);
// Right after bcm2835_init: times are counted from here.
void record_clock_start();

// The hooks.
inline void record_transfer(const uint8_t* sent, const uint8_t* received) {
  if (__builtin_expect(record_detail::g_on.load(std::memory_order_relaxed), 0)) {
    record_detail::transfer(sent, received);
  }
}
// What a read from standard input gave: outcome 0 a number (*value), 1 a
// token that is not one (its text, when the reader kept it), 2 the input's
// end.
inline void record_token(int outcome, const int32_t* value, const char* text) {
  if (__builtin_expect(record_detail::g_on.load(std::memory_order_relaxed), 0)) {
    record_detail::token(outcome, value, text);
  }
}
// A line written to standard output, without its line end.
inline void record_line(const char* text, size_t len) {
  if (__builtin_expect(record_detail::g_on.load(std::memory_order_relaxed), 0)) {
    record_detail::line(text, len);
  }
}
// The same for a formatted write; `args` stays usable for the caller.
inline void record_vline(const char* format, va_list args) {
  if (__builtin_expect(record_detail::g_on.load(std::memory_order_relaxed), 0)) {
    record_detail::vline(format, args);
  }
}
inline void record_pin(uint8_t pin, uint8_t level) {
  if (__builtin_expect(record_detail::g_on.load(std::memory_order_relaxed), 0)) {
    record_detail::pin(pin, level);
  }
}

// The program ends with `status` (128 + n after signal n): the ring goes to
// the file, once; later calls do nothing. Async-signal-safe.
void record_finish(int status);
// The ring to the file now, the program going on (SIGUSR1). Async-signal-safe.
void record_snapshot();

// ---- for the simulator's replay and for tests ------------------------------

// Records without ZUL_RECORD too (to memory only, unless ZUL_RECORD names a
// file as well). Call before record_begin.
void record_keep_in_memory();
bool record_active();
// Entries still in the ring, oldest first, and how many older ones it lost.
size_t record_count();
RecordEntry record_entry(size_t i);
uint64_t record_dropped();
// Microseconds since record_clock_start (0 before it).
uint64_t record_now_us();
// Writes the ring as the file holds it, with an end line naming `how`.
void record_write(int fd, const char* how);
// Back to the state before record_begin: off, empty, no file.
void record_reset();
