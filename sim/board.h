// The simulated shield as tests and the simulator see it: the levels of the
// Raspberry Pi's pins, a log of every library call that touches a pin, the
// SPI0 configuration and every transfer on it.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/clock.h"

namespace sim {

enum class PinCall : uint8_t { kFsel, kPud, kWrite };

struct PinEvent {
  int64_t t_ns;
  PinCall call;
  uint8_t gpio;
  uint8_t value;
};

struct Transfer {
  int64_t t_ns;
  uint8_t sent[8];
  uint8_t received[8];
};

struct SpiConfig {
  bool begun = false;
  int bit_order = -1;
  int data_mode = -1;
  int clock_divider = -1;
  int cs = -1;
  int cs_active = -1;
  std::vector<std::string> calls;  // in call order
};

inline constexpr int kGpioCount = 54;

// A fresh board, co-processor and console, with the clock at 0 in `mode`.
// Tests call it at the start of every case.
void board_reset(ClockMode mode = ClockMode::kInstant, double speed = 1.0);

std::vector<PinEvent> pin_events();
// The pin log entry by entry, without a lock or a copy, for the writers that
// run at exit (possibly from a signal handler, where the lock may be held by
// the very thread that was interrupted). Entries below the count are final;
// the tail after a stop comes last.
size_t pin_event_count();
PinEvent pin_event_at(size_t i);
std::vector<Transfer> transfers();
SpiConfig spi_config();
bool library_initialised();

// Last level written, or -1 if never written.
int pin_level(uint8_t gpio);

// Stop mode, from a stop signal's arrival to the process's end: every pin
// call from then on is recorded without a lock and without allocating (in a
// fixed tail of the pin log, read after the entries before it), on the time
// read without the clock's lock, and is not passed on to the co-processor,
// whose model takes a lock; the run ends anyway. Safe in a signal handler.
void board_stop();
bool board_stopped();
// Room in the tail for the writes after the stop (the idle state is nine).
inline constexpr size_t kStopTailSize = 256;

// Log files, written at exit; each only when its path was set.
void write_pins_log(int fd);
// The kept transfers (board_keep_transfers).
void write_frames_log(int fd);

// Whether transfers() keeps every transfer (the default after a reset, for
// tests); a long run keeps none.
void board_keep_transfers(bool keep);
// The same for the pin writes (pin_events); the levels are kept regardless.
void board_keep_pins(bool keep);
// Streams every transfer from now on to the frames log at path, written as
// the run goes (board_finish_frames writes the rest, at exit, safe in a
// signal handler). False when the file cannot be created.
bool board_stream_frames(const char* path);
void board_finish_frames();

// Who answers the program's transfers instead of the co-processor (the
// replay of a flight record), and how long, in ns, each transfer then takes;
// an empty function gives them back to the co-processor.
using TransferSource = int64_t (*)(const uint8_t* sent, uint8_t* received);
void board_set_transfer_source(TransferSource source);

// Time one 8-byte transfer takes at the configured SPI clock (core clock
// 250 MHz over the divider).
int64_t transfer_time_ns();

}  // namespace sim
