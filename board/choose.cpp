#include "board/choose.h"

#include <cstdio>
#include <cstring>

namespace board {
namespace {

bool starts_with(const char* s, const char* prefix) {
  return strncmp(s, prefix, strlen(prefix)) == 0;
}

// After "Raspberry Pi ": the Pi 5 family, whose pins the bcm2835 library
// would look for in memory that is not them.
bool behind_rp1(const char* rest) {
  return strcmp(rest, "5") == 0 || starts_with(rest, "5 ") || starts_with(rest, "500") ||
         starts_with(rest, "Compute Module 5");
}

}  // namespace

Model classify_model(const char* model) {
  static const char kPrefix[] = "Raspberry Pi";
  if (model == nullptr || !starts_with(model, kPrefix)) {
    return Model::kNotAPi;
  }
  const char* rest = model + sizeof kPrefix - 1;
  if (*rest == ' ' && behind_rp1(rest + 1)) {
    return Model::kPi5Family;
  }
  return Model::kPi1To4;
}

Backend choose_backend(const char* zul_board, const char* model, char* message,
                       size_t message_size) {
  message[0] = '\0';
  const Model kind = classify_model(model);
  if (zul_board == nullptr || zul_board[0] == '\0' || strcmp(zul_board, "auto") == 0) {
    return kind == Model::kPi1To4 ? Backend::kBcm2835 : Backend::kKernel;
  }
  if (strcmp(zul_board, "kernel") == 0) {
    return Backend::kKernel;
  }
  if (strcmp(zul_board, "bcm2835") != 0) {
    snprintf(message, message_size,
             "ZUL_BOARD=\"%.40s\" is not a board backend; use ZUL_BOARD=kernel (GPIO character "
             "device and spidev) or ZUL_BOARD=bcm2835 (the bcm2835 library, Raspberry Pi 1 to 4), "
             "or leave it unset",
             zul_board);
    return Backend::kRefused;
  }
  if (kind == Model::kPi5Family) {
    snprintf(message, message_size,
             "ZUL_BOARD=bcm2835 cannot drive this board (%.60s): its GPIO and SPI sit behind the "
             "RP1 chip, which the bcm2835 library does not drive; unset ZUL_BOARD or set "
             "ZUL_BOARD=kernel",
             model);
    return Backend::kRefused;
  }
  if (kind == Model::kNotAPi) {
    snprintf(message, message_size,
             "ZUL_BOARD=bcm2835 needs a Raspberry Pi 1 to 4 and this is not one (no \"Raspberry "
             "Pi\" in /proc/device-tree/model); unset ZUL_BOARD to use the GPIO character device "
             "and spidev, or use zul_stm_sim on any other machine");
    return Backend::kRefused;
  }
  return Backend::kBcm2835;
}

}  // namespace board
