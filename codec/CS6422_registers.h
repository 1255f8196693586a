// The CS6422 speakerphone chip's register fields. The chip has six 16-bit
// registers (numbers 0, 2, ..., 10); the register number sits in bits 3..0
// of each register word and the fields share bits 15..4. The table is used
// by the speakerphone setup alone, on the main thread during start-up.
#pragma once
#include <cstdint>

struct CS6422_field {
  char name[10];  // NUL-padded; every name is shorter, so it is terminated
  uint8_t reg;    // register number
  uint8_t shift;  // position of the field's lowest bit in the register word
  uint8_t value;  // current value, never wider than mask
  uint8_t mask;   // the field's width as low bits
};

inline constexpr int32_t CS22_prop_N = 43;
// Starts at the chip's defaults and is changed in place by the setup.
extern CS6422_field CS6422_prop[CS22_prop_N];

// The row named exactly `name` (case-sensitive), or -1.
int CS6422_find(const char* name);
// The whole word of register `reg` from the fields' current values.
uint16_t CS6422_reg_word(uint8_t reg);
// Sets the named field to `value` cut to its width and stores its register's
// word in *word. Returns 1, or 0 with nothing changed when no field has
// that name.
int CS6422_set(const char* name, uint8_t value, uint16_t* word);
