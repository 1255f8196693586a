// The shield through the kernel's GPIO character device and spidev: the
// board backend that needs no root and serves every Pi with a current kernel,
// the Pi 5 included (see kernel_board.cpp for how it meets the program).
#pragma once
#include <cstddef>
#include <cstdint>

namespace kboard {

// The system calls the backend makes, so that its logic can be tried on a
// machine without GPIO chips or SPI. Production uses real_sys().
struct Sys {
  int (*open)(const char* path, int flags);
  int (*close)(int fd);
  int (*ioctl)(int fd, unsigned long request, void* arg);
  // Fills names with the entries of /dev whose names start with "gpiochip"
  // (at most max of them, each NUL-terminated); returns how many, or -1 with
  // errno set.
  int (*list_chips)(char (*names)[32], int max);
};
const Sys& real_sys();
// From now on the backend calls these (tests only; the table must outlive
// every later call).
void use_sys(const Sys& sys);

// The lines the shield uses, found by these names on whichever chip has them.
inline constexpr size_t kLineCount = 8;
inline constexpr uint8_t kLinePins[kLineCount] = {6, 14, 16, 22, 23, 24, 25, 26};
inline constexpr const char* kSpiDevice = "/dev/spidev0.0";

// Takes every line and the SPI device, or nothing at all: on false no line
// has been driven and message holds one line (no newline) saying why and
// what to do about it. On true message holds the one line to say about the
// board at start-up, or is empty when there is nothing to say (the lines
// were found by name).
bool open_board(char* message, size_t message_size);
// Gives everything back (tests; the program itself never ends this way).
void close_board();

// The speed to ask spidev for so that the kernel sets the divider the
// bcm2835 library's one stands for: odd dividers are rounded down to even, as
// the BCM2835 SPI block does (889 is 888), and 0 and 1 stand for 65536. The
// kernel's spi-bcm2835 turns a speed into ceil(core clock / speed), rounded
// up to even, so the answer is the lowest speed that still gives that
// divider on the 250 MHz core clock: ceil(250 MHz / 888) = 281 532 Hz. One
// hertz less (281 531, the rate itself) gives 890, which is 280 899 Hz.
// Past a divider of about 22 000 some even dividers lie between two whole
// hertz; the request then gives the next even divider below, a clock a
// fraction of a hertz faster.
//
// The kernel divides the core clock of the board it runs on, so the same
// request is another rate elsewhere (integer hertz, as the kernel reports):
//
//   board                    core clock  divider  SPI clock
//   Pi 1, Pi 2               250 MHz        888   281 531 Hz
//   Pi 3, Zero 2 W           400 MHz       1422   281 293 Hz
//   Pi 4                     500 MHz       1776   281 531 Hz
//   Pi 5 (RP1, DesignWare)   200 MHz        712   280 898 Hz
//
// RP1's SPI driver (spi-dw) rounds ceil(200 MHz / speed) up to even the same
// way, so it gives 712 whether 281 531 or 281 532 Hz is asked for.
uint32_t spi_speed_for_divider(uint16_t divider);

// The bcm2835 calls of the program, once open_board succeeded.
void gpio_fsel(uint8_t pin, uint8_t mode);
void gpio_set_pud(uint8_t pin, uint8_t pud);
void gpio_write(uint8_t pin, uint8_t level);
void delay_ms(unsigned ms);
uint64_t clock_us();
int spi_begin();
void spi_set_bit_order(uint8_t order);
void spi_set_data_mode(uint8_t mode);
void spi_set_clock_divider(uint16_t divider);
void spi_set_chip_select_polarity(uint8_t cs, uint8_t active);
void spi_transfernb(char* send, char* receive, uint32_t length);

}  // namespace kboard
