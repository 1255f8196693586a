// zul_stm_sim: the program run on the simulated shield.
//
//   zul_stm_sim [OPTIONS] [--] PROGRAM-ARGUMENTS...
#pragma once

namespace sim {
// The simulator's main: parses its options, sets up the shield and runs the
// program with the remaining arguments.
int simulator_main(int argc, char** argv);
// Writes the logs and ends the process with `status`.
[[noreturn]] void simulator_finish(int status);
}  // namespace sim
