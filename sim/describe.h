// zul_stm_sim --describe-driver -- INTERCOM: the line driver that the
// intercom code selects, with the installation's TEQsettings/timing.conf
// applied, as its nine operations' pin steps and totals; optionally drawn
// as an SVG timing picture, one operation after another.
#pragma once
#include <string>

namespace sim {
// program_args are the program's arguments (the intercom code first).
// Returns the exit status: 0, 4 for a timing.conf with problems, 64 for no
// intercom code.
int describe_driver(int argc, char** program_args, const std::string& svg_path);
}  // namespace sim
