// The bcm2835 functions the program calls, played by the simulated shield.
// Defined against the library's own header, inside its extern "C" block, so
// that a signature differing from the real library does not compile.
#include <bcm2835.h>

#include "sim/board_internal.h"
#include "sim/clock.h"
#include "sim/platform.h"

extern "C" {

int bcm2835_init(void) {
  if (sim::platform_init_fails()) {
    return 0;
  }
  sim::board_library_init();
  return 1;
}

int bcm2835_close(void) { return 1; }

void bcm2835_gpio_fsel(uint8_t pin, uint8_t mode) { sim::board_fsel(pin, mode); }

void bcm2835_gpio_set_pud(uint8_t pin, uint8_t pud) { sim::board_pud(pin, pud); }

void bcm2835_gpio_write(uint8_t pin, uint8_t on) { sim::board_write(pin, on); }

void bcm2835_delay(unsigned int millis) { sim::clock_sleep_ms(millis); }

// The system timer: microseconds of the virtual clock, 0 until the library
// has been started (the real one reads nothing before it maps the
// peripherals). No lock: the flight record reads it in signal handlers.
uint64_t bcm2835_st_read(void) {
  if (!sim::board_library_started()) {
    return 0;
  }
  return static_cast<uint64_t>(sim::clock_now_ns_at_exit() / 1000);
}

int bcm2835_spi_begin(void) {
  sim::board_spi_call("begin", &sim::SpiConfig::begun, 1);
  return 1;
}

void bcm2835_spi_end(void) { sim::board_spi_call("end"); }

void bcm2835_spi_setBitOrder(uint8_t order) {
  sim::board_spi_call("setBitOrder", &sim::SpiConfig::bit_order, order);
}

void bcm2835_spi_setDataMode(uint8_t mode) {
  sim::board_spi_call("setDataMode", &sim::SpiConfig::data_mode, mode);
}

void bcm2835_spi_setClockDivider(uint16_t divider) {
  sim::board_spi_call("setClockDivider", &sim::SpiConfig::clock_divider, divider);
}

void bcm2835_spi_setChipSelectPolarity(uint8_t cs, uint8_t active) {
  sim::board_spi_polarity(cs, active);
}

void bcm2835_spi_transfernb(char* tbuf, char* rbuf, uint32_t len) {
  uint8_t sent[8] = {};
  uint8_t received[8] = {};
  for (uint32_t i = 0; i < len && i < 8; ++i) {
    sent[i] = static_cast<uint8_t>(tbuf[i]);
  }
  sim::board_transfer(sent, received);
  for (uint32_t i = 0; i < len; ++i) {
    rbuf[i] = i < 8 ? static_cast<char>(received[i]) : 0;
  }
}

}  // extern "C"
