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
// what to do about it.
bool open_board(char* message, size_t message_size);
// Gives everything back (tests; the program itself never ends this way).
void close_board();

// What the bcm2835 library's divider stands for: 250 MHz over the divider,
// odd dividers rounded down to even as the BCM2835 SPI block does (889 gives
// 888, 281 531 Hz); 0 and 1 stand for 65536.
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
