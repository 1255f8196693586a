// The one path by which the program drives an output pin, and its waits.
#pragma once
#include <cstdint>
#include <span>

#include "line/pin_map.h"

// Every output level the program sets goes through here rather than straight
// to bcm2835_gpio_write, so that a stopped board, or a sequence that a call
// event has superseded, drives no further pin.
void pin_write(uint8_t pin, uint8_t level);

// The levels, in order, with no wait between them.
void write_levels(std::span<const PinLevel> levels);

// GPIO 23 then GPIO 22, back to back.
void set_hook(HookState state);

// Milliseconds of blocking sleep of the calling thread.
void wait_ms(unsigned ms);
