#include "sim/scenario.h"

namespace sim {
// The whole job in half a minute of simulated time, on any intercom code.
const char* const kDemoScenario = R"(# zul_stm_sim's built-in demo.
# Rooms 5 and 6 are answered by the program, room 9 is rejected.
0 console 5 6 -1 9 -1
# An imitated call: the controlling side picks up, opens the door, hangs up.
3000 dial 5
on "dial 5" after 500 console 1
on "dial 5" after 2500 console 2
on "dial 5" after 5000 console 3
10000 drop
# A blacklisted room: the program rejects the call by itself.
12000 dial 9
16000 drop
# A call left to the real handset: only reported.
18000 dial 7
19000 pickup
21000 open
22000 open-detected
24000 drop
# A relay pulse on the controlling side's command.
25000 console 21
# A signal report, then a burst of corrupted frames that the link survives.
28000 signal 0x21 1 500
28500 corrupt 12
28500 signal 0x10 0 0
30000 end
)";
}  // namespace sim
