// Between the library stand-in and the board model.
#pragma once
#include <cstdint>
#include <string>

#include "sim/board.h"

namespace sim {
void board_library_init();
void board_fsel(uint8_t gpio, uint8_t mode);
void board_pud(uint8_t gpio, uint8_t pud);
void board_write(uint8_t gpio, uint8_t level);
// A call of the SPI interface, and the setting it makes, if any.
void board_spi_call(const std::string& call);
void board_spi_call(const std::string& call, int SpiConfig::*field, int value);
void board_spi_call(const std::string& call, bool SpiConfig::*field, bool value);
void board_spi_polarity(uint8_t cs, uint8_t active);
void board_transfer(const uint8_t* sent, uint8_t* received);
// Without a lock, for the system timer.
bool board_library_started();
}  // namespace sim
