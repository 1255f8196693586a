// The shield through the kernel's GPIO character device and spidev: the
// board backend that needs no root and serves every Pi with a current kernel,
// the Pi 5 included (see kernel_board.cpp for how it meets the program).
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "board/ops.h"
#include "line/pin_map.h"

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

// The lines the shield uses, found by their names (GPIO<n>) on whichever
// chip has them: every pin of the board idle state but GPIO 2, which is left
// to the system (see kernel_board.cpp), in ascending order, so that messages
// name them in the order of the header's numbers.
inline constexpr size_t kLineCount = std::size(kBoardIdle) - 1;
constexpr std::array<uint8_t, kLineCount> kernel_lines() {
  std::array<uint8_t, kLineCount> pins{};
  size_t n = 0;
  for (const PinLevel& p : kBoardIdle) {
    if (p.pin != kPinAux2) {
      pins[n++] = p.pin;
    }
  }
  for (size_t i = 1; i < n; ++i) {
    for (size_t j = i; j > 0 && pins[j - 1] > pins[j]; --j) {
      const uint8_t t = pins[j];
      pins[j] = pins[j - 1];
      pins[j - 1] = t;
    }
  }
  return pins;
}
inline constexpr std::array<uint8_t, kLineCount> kLinePins = kernel_lines();
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

// The backend's table of the program's bcm2835 calls. Its init opens the
// board (open_board) and says on standard error what open_board has to say.
extern const board::Ops kOps;

}  // namespace kboard
