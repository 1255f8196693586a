// Pictures of a run for people rather than scripts: the pin levels as a
// Value Change Dump for waveform viewers (GTKWave, PulseView), and as an SVG
// timing diagram with the program's output lines marked on it, so that an
// installer sees a driver's sequence at a glance.
//
// Both are written at exit, possibly on the way out of a signal handler, so
// they read the logs directly and format into fixed buffers on the stack:
// no allocation and no lock.
#pragma once

namespace sim {

// Every pin write since the board was reset, one 1-bit wire per output pin
// named for its role, in microseconds, up to the clock's time now.
void write_vcd(int fd);

// One row per output pin with its level over the run, a time axis in
// milliseconds and the output lines as dashed markers. The drawing is a
// fixed width whatever the run's length, so an hour's run stays a bounded
// file: changes closer than a pixel are merged and only the first lines are
// marked.
void write_svg(int fd);

}  // namespace sim
