// Ending the program without leaving the line taken.
//
// GPIO levels outlive the process: a program killed in the middle of a call
// would leave the line selector high and the apartment's real handset cut off
// until someone restarts it. So every way out writes the board idle state
// first (the co-processor is not reset).
#pragma once

#include "protocol/console.h"  // kExitSignalBase, kStopSignals

// The stop signals (kStopSignals) end the program through the idle state,
// and so does a line that standard output no longer takes.
void install_stop_handlers();

// Standard output is gone: idle state, then exit.
[[noreturn]] void program_stop_output_lost();
