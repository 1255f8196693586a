// Which board backend serves this run: the bcm2835 library or the kernel's
// GPIO character device and spidev. Decided once, at start-up, from
// ZUL_BOARD and the device tree's model string.
#pragma once
#include <cstddef>

namespace board {

enum class Model {
  kNotAPi,     // no model string, or not a Raspberry Pi's
  kPi1To4,     // a board the bcm2835 library knows
  kPi5Family,  // Pi 5, Compute Module 5, Pi 500: GPIO and SPI behind the RP1 chip
};

// model: the contents of /proc/device-tree/model, or nullptr when there is none.
Model classify_model(const char* model);

enum class Backend { kBcm2835, kKernel, kRefused };

// zul_board: ZUL_BOARD's value, or nullptr when it is not set. Unset, empty
// or "auto": the library on a Pi 1 to 4, the kernel everywhere else; "kernel"
// and "bcm2835" force one. On kRefused, message holds the line (without the
// program's name or a newline) that tells why.
Backend choose_backend(const char* zul_board, const char* model, char* message,
                       size_t message_size);

}  // namespace board
