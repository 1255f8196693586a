// Start-up as the controlling process and the board see it: the command
// line, the banners, the room lists and the first pin movements.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "config/config.h"
#include "core/main.h"
#include "link/TxRx.h"
#include "sim/coproc.h"
#include "sim/platform.h"
#include "tests/support.h"

using test::Write;

namespace {

const std::vector<std::string> kBanners = {"#STM_driver_1v22", "ZUL_STM_Driver 1.22"};

TEST(CommandLine, VersionWinsOverFurtherArgumentsAndReadsNoInput) {
  test::fresh_board();
  sim::input_push("5 -1");  // left unread
  EXPECT_EQ(test::start({"-v", "10", "0"}), 2);
  EXPECT_EQ(test::lines(), std::vector<std::string>{"ZUL_STM_Driver 1.22"});
  EXPECT_TRUE(sim::pin_events().empty());
  EXPECT_FALSE(sim::library_initialised());
}

TEST(CommandLine, MissingArgumentPrintsErrorAndExits1) {
  test::fresh_board();
  EXPECT_EQ(test::start({}), 1);
  EXPECT_EQ(test::lines(), std::vector<std::string>{"error: no arg"});
  EXPECT_TRUE(sim::pin_events().empty());
}

struct ArgCase {
  std::vector<std::string> args;
  int intercom;
  int cycle_time_plus;
  int setup;
};

class Arguments : public testing::TestWithParam<ArgCase> {};

TEST_P(Arguments, AreKeptModuloTheirWidth) {
  test::fresh_board();
  test::give_input("-1 -1");
  EXPECT_EQ(test::start(GetParam().args), -1);
  EXPECT_EQ(intercom, GetParam().intercom);
  EXPECT_EQ(cycle_time_plus, GetParam().cycle_time_plus);
  EXPECT_EQ(setupRegister0, GetParam().setup);
}

INSTANTIATE_TEST_SUITE_P(Cases, Arguments,
                         testing::Values(ArgCase{{"10"}, 10, 0, 0}, ArgCase{{"266"}, 10, 0, 0},
                                         ArgCase{{"abc"}, 0, 0, 0},
                                         ArgCase{{"10", "70000"}, 10, 4464, 0},
                                         ArgCase{{"10", "0", "300"}, 10, 0, 44},
                                         ArgCase{{"10", "5", "-1"}, 10, 5, 255},
                                         ArgCase{{"10", "0", "65791"}, 10, 0, 255},
                                         ArgCase{{"10", "0", "-256"}, 10, 0, 0},
                                         ArgCase{{"12", "0", "7", "extra"}, 12, 0, 7}));

struct RoomCase {
  const char* input;
  std::vector<std::string> lines;          // after the banners
  std::vector<std::pair<int, int>> rooms;  // room, expected mark
};

class RoomLists : public testing::TestWithParam<RoomCase> {};

TEST_P(RoomLists, FillTheRoomTable) {
  test::fresh_board();
  test::give_input(GetParam().input);
  EXPECT_EQ(test::start({"10"}), -1);
  std::vector<std::string> expected = kBanners;
  expected.insert(expected.end(), GetParam().lines.begin(), GetParam().lines.end());
  std::vector<std::string> printed = test::lines();
  printed.resize(std::min(printed.size(), expected.size()));
  EXPECT_EQ(printed, expected);
  int marked = 0;
  for (int room = 0; room < kRoomCount; ++room) {
    marked += RoomImit[room] != 0;
  }
  EXPECT_EQ(marked, static_cast<int>(GetParam().rooms.size()));
  for (auto [room, mark] : GetParam().rooms) {
    EXPECT_EQ(RoomImit[room], mark) << "room " << room;
  }
}

const std::vector<std::string> kBothEmpty = {
    "#Write rooms:", "#End read rooms", "#Write blacklist rooms:", "#End read blacklist rooms"};

INSTANTIATE_TEST_SUITE_P(
    Cases, RoomLists,
    testing::Values(RoomCase{"5 7 -1 7 -1", kBothEmpty, {{5, 1}, {7, 2}}},
                    RoomCase{"-1 -1", kBothEmpty, {}},
                    RoomCase{"4095 4096 -1 -1",
                             {"#Write rooms:", "Error: big number", "#End read rooms",
                              "#Write blacklist rooms:", "#End read blacklist rooms"},
                             {{4095, 1}}},
                    RoomCase{"99999999999 -1 -1",
                             {"#Write rooms:", "Error: big number", "#End read rooms",
                              "#Write blacklist rooms:", "#End read blacklist rooms"},
                             {}},
                    // Input that ends early ends each open list as -1 would.
                    RoomCase{"5 7", kBothEmpty, {{5, 1}, {7, 1}}}, RoomCase{"", kBothEmpty, {}},
                    // A token that is not a number costs that token only.
                    RoomCase{"5 abc 8 -1", kBothEmpty, {{5, 1}, {8, 1}}},
                    RoomCase{"5 x 6 -1 9 -1", kBothEmpty, {{5, 1}, {6, 1}, {9, 2}}},
                    RoomCase{"-1 1x 9 -- + -1", kBothEmpty, {{9, 2}}},
                    // Negative rooms other than -1 are never stored.
                    RoomCase{"-5 3 -1 -4096 -1", kBothEmpty, {{3, 1}}}));

TEST(StartUp, BringsUpTheBoardThenResetsTheCoprocessor) {
  test::fresh_board();
  test::give_input("-1 -1");
  EXPECT_EQ(test::start({"10"}), -1);
  EXPECT_TRUE(sim::library_initialised());
  std::vector<Write> resets;
  for (const Write& w : test::writes()) {
    if (w.gpio == 14) {
      resets.push_back(w);
    }
  }
  // Idle level at board set-up, low 200 ms later, high after 600 ms.
  ASSERT_GE(resets.size(), 3u);
  EXPECT_EQ(resets[0], (Write{0, 14, 1}));
  EXPECT_EQ(resets[1], (Write{200, 14, 0}));
  EXPECT_EQ(resets[2], (Write{800, 14, 1}));
}

// Start-up keeps the chosen driver's settings path and connects the link's
// call events to the call state machine.
TEST(StartUp, KeepsTheDriversSettingsPathAndHandsCallEventsOn) {
  test::fresh_board();
  spi_on_call_event(nullptr);
  test::give_input("5 -1 -1");
  ASSERT_EQ(test::start({"12"}), -1);
  EXPECT_STREQ(file_settingName_p2, "/Metakom2012/Metakom2012Common.set");
  const size_t before = test::lines().size();
  sim::coproc_queue(sim::make_frame(0xA1, 0x01, 1, 0, 0, 5));
  spi_buffer_txrx();
  spi_parser();
  const std::vector<std::string> all = test::lines();
  ASSERT_GE(all.size(), before);
  EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()),
            std::vector<std::string>{"dial 5"});
}

TEST(StartUp, LibraryThatCannotStartDrivesNoPinAndExits3) {
  test::fresh_board();
  sim::platform_set_init_fails(true);
  test::give_input("-1 -1");
  EXPECT_EQ(test::start({"10"}), 3);
  EXPECT_TRUE(sim::pin_events().empty());
}

}  // namespace

namespace {

// In a child process: the board stop it makes is for good.
TEST(StartUp, ThreadThatCannotStartEndsWithStatus3) {
  EXPECT_EXIT(
      {
        test::fresh_board();
        test::give_input("-1 -1");
        if (test::start({"19"}) != -1) {
          _exit(1);
        }
        sim::platform_set_thread_create_fails(true);
        const int status = zul_run();
        // The board idle state was written even for the KM500's idle levels.
        _exit(sim::pin_level(24) == 0 && sim::pin_level(23) == 1 ? status : 1);
      },
      testing::ExitedWithCode(3), "cannot start the console thread");
}

}  // namespace
