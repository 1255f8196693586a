// The board helpers: pin directions, the board idle state, the co-processor
// reset and relay pulses.
#pragma once
#include <cstdint>

// Directions, the pull-down on GPIO 15, then the board idle state.
void GPIO_init();
// The board idle state: selector low, hook lines released, relays low,
// co-processor reset high. Never resets the co-processor.
void soft_reset();
// Reset pulse for the co-processor: 600 ms low, then 200 ms to come up.
void hard_reset();
// One 2000 ms pulse of relay index 0..3; any other index only waits 10 ms.
void openRel(uint8_t index);
