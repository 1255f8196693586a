// Helpers shared by the tests: a fresh board and program state per case,
// the program's standard input and output, and the pin log in a form that
// reads like the hardware's behaviour.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "line/drivers.h"
#include "sim/board.h"
#include "sim/clock.h"
#include "sim/console.h"

namespace test {

// A fresh simulated board (instant clock at 0), console and program state.
void fresh_board(sim::ClockMode mode = sim::ClockMode::kInstant);
// The program's state alone as at its start, on the board as it is (the
// fuzz targets keep one board for many inputs: a fresh board's logs are
// costly to set out again).
void fresh_program();

// The program's standard input holds `text` and then ends.
void give_input(const std::string& text);

// Lines the program printed so far.
std::vector<std::string> lines();

// Pin writes as "t:gpio=level" in ms, from index `from` of the pin log.
struct Write {
  double t_ms;
  int gpio;
  int level;
  bool operator==(const Write&) const = default;
};
std::vector<Write> writes(size_t from = 0);
size_t pin_log_size();

// Milliseconds on the simulated clock.
double now_ms();

// Bytes as uppercase hex, and the frames on SPI0 from transfer `from` on.
std::string hex(const uint8_t* bytes, size_t n);
std::vector<std::string> frames_sent(size_t from = 0);
std::vector<std::string> frames_received(size_t from = 0);

// Every line driver once: the rows of kIntercomSystems in order, less those
// whose installer an earlier row has (Raikman's, which is Marshal's).
std::vector<const IntercomSystem*> line_drivers();

// Runs the program's start-up with these arguments; returns zul_start's result.
int start(std::vector<std::string> args);

// This case's own directory under $TMPDIR (/tmp when unset): made when the
// case starts, removed with everything in it when the case ends.
std::string temp_dir();
// A path inside it, "<dir>/<name>" (nothing is created).
std::string temp_path(const std::string& name);
// Called by the test runner around every case.
void make_case_dir();
void remove_case_dir();

}  // namespace test
