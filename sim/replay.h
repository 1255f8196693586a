// Replaying a flight record on the simulated shield: the co-processor's side
// answers each transfer with the recorded reply, in transfer order, the
// console feeds the recorded tokens at their recorded times, and what the
// program then does is compared with what the record says it did.
//
// Compared: the frames it sent (exactly), its pin writes (order, pin and
// level exactly; time within the tolerance) and its output lines (order and
// text exactly; time within the tolerance). A record taken in real time has
// sleeps that overshoot and a main loop whose 20 ms passes fall elsewhere, so
// times only agree to a few tens of milliseconds; the replay makes each
// transfer end at its recorded time, so the link never drifts.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "record/flight_record.h"

namespace sim {

inline constexpr double kReplayToleranceMs = 50;

struct RecordLine {
  uint64_t t_us = 0;
  RecordEntry entry;
  size_t file_line = 0;
};

struct FlightRecordFile {
  std::string path;
  std::vector<std::string> args;  // the recorded program arguments, without the program name
  std::vector<RecordLine> lines;  // the entries, in the file's order
  uint64_t end_us = 0;
  size_t end_line = 0;
  std::string end_how;
};

// Reads a record; on a fault sets `error` to "FILE:LINE: what is wrong".
bool load_flight_record(const std::string& path, FlightRecordFile* out, std::string* error);

// Prepares the run (before the program starts, clock in virtual time):
// transfer answers, the input feed, and the end of the run at the record's
// end plus the tolerance, where `finish` is called.
void replay_prepare(const FlightRecordFile& record, double tolerance_ms, void (*finish)(int));

// After the run: "replay: identical" or the first divergence; 0 or 1.
int replay_verdict(std::string* report);

}  // namespace sim
