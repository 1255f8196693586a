// Which backend serves a run: the device tree's model string against
// ZUL_BOARD, and the line the program prints when it serves none.
#include <gtest/gtest.h>

#include <string>

#include "board/choose.h"

namespace {

using board::Backend;

struct Case {
  const char* model;      // nullptr: no /proc/device-tree/model
  const char* zul_board;  // nullptr: not set
  Backend backend;
  const char* message_part;  // for kRefused
};

class BoardChoice : public testing::TestWithParam<Case> {};

TEST_P(BoardChoice, ModelAndZulBoardGiveTheBackend) {
  const Case& c = GetParam();
  char message[320];
  EXPECT_EQ(board::choose_backend(c.zul_board, c.model, message, sizeof message), c.backend);
  if (c.backend == Backend::kRefused) {
    EXPECT_NE(std::string(message).find(c.message_part), std::string::npos) << message;
  } else {
    EXPECT_STREQ(message, "");
  }
}

constexpr const char* kPi5 = "Raspberry Pi 5 Model B Rev 1.0";
constexpr const char* kPi4 = "Raspberry Pi 4 Model B Rev 1.4";

INSTANTIATE_TEST_SUITE_P(
    Table, BoardChoice,
    testing::Values(
        // Unset, empty or "auto": the library where it serves, the kernel elsewhere.
        Case{kPi4, nullptr, Backend::kBcm2835, ""},
        Case{"Raspberry Pi 400 Rev 1.0", nullptr, Backend::kBcm2835, ""},
        Case{"Raspberry Pi Compute Module 4 Rev 1.0", "", Backend::kBcm2835, ""},
        Case{"Raspberry Pi 3 Model B Plus Rev 1.3", "auto", Backend::kBcm2835, ""},
        Case{"Raspberry Pi Zero 2 W Rev 1.0", nullptr, Backend::kBcm2835, ""},
        Case{"Raspberry Pi Model B Rev 2", nullptr, Backend::kBcm2835, ""},
        Case{kPi5, nullptr, Backend::kKernel, ""}, Case{"Raspberry Pi 5", "", Backend::kKernel, ""},
        Case{"Raspberry Pi Compute Module 5 Rev 1.0", nullptr, Backend::kKernel, ""},
        Case{"Raspberry Pi Compute Module 5 Lite Rev 1.0", "auto", Backend::kKernel, ""},
        Case{"Raspberry Pi 500 Rev 1.0", nullptr, Backend::kKernel, ""},
        Case{"linux,dummy-virt", nullptr, Backend::kKernel, ""},
        Case{nullptr, nullptr, Backend::kKernel, ""},
        // ZUL_BOARD=kernel: on any board.
        Case{kPi4, "kernel", Backend::kKernel, ""}, Case{kPi5, "kernel", Backend::kKernel, ""},
        Case{"Some Other Board", "kernel", Backend::kKernel, ""},
        // ZUL_BOARD=bcm2835: only where the library serves.
        Case{kPi4, "bcm2835", Backend::kBcm2835, ""},
        Case{kPi5, "bcm2835", Backend::kRefused,
             "ZUL_BOARD=bcm2835 cannot drive this board (Raspberry Pi 5 Model B Rev 1.0): its "
             "GPIO and SPI sit behind the RP1 chip"},
        Case{"Raspberry Pi 500 Rev 1.0", "bcm2835", Backend::kRefused, "behind the RP1 chip"},
        Case{"Some Other Board", "bcm2835", Backend::kRefused,
             "ZUL_BOARD=bcm2835 needs a Raspberry Pi 1 to 4 and this is not one"},
        Case{nullptr, "bcm2835", Backend::kRefused, "this is not one"},
        // Anything else is a mistake, on every board.
        Case{kPi4, "Kernel", Backend::kRefused, "ZUL_BOARD=\"Kernel\" is not a board backend"},
        Case{kPi5, "gpiod", Backend::kRefused, "ZUL_BOARD=\"gpiod\" is not a board backend"},
        Case{nullptr, " kernel", Backend::kRefused, "is not a board backend"}));

TEST(BoardModel, ThePi5FamilyIsToldApartFromNamesThatOnlyLookLikeIt) {
  EXPECT_EQ(board::classify_model("Raspberry Pi 5"), board::Model::kPi5Family);
  EXPECT_EQ(board::classify_model("Raspberry Pi 50"), board::Model::kPi1To4);
  EXPECT_EQ(board::classify_model("Raspberry Pi"), board::Model::kPi1To4);
  EXPECT_EQ(board::classify_model("Raspberry Pie 5"), board::Model::kPi1To4);
  EXPECT_EQ(board::classify_model("raspberry pi 5"), board::Model::kNotAPi);
  EXPECT_EQ(board::classify_model(nullptr), board::Model::kNotAPi);
}

}  // namespace
