#include "sim/scenario.h"

namespace sim {
// Room 5 is imitated, room 9 blacklisted, every other room left to the real
// handset.
const char* const kDemoScenario = R"(# The whole job, start to end.
0 console 5 -1 9 -1
10000 end
)";
}  // namespace sim
