// The program's lines on standard output when nobody takes them any more.
#include "out/output.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "core/stop.h"
#include "line/board.h"
#include "line/pins.h"
#include "sim/board.h"
#include "sim/platform.h"
#include "tests/support.h"

namespace {

// Standard output becomes a device that refuses every write.
void output_refused() {
  FILE* full = fopen("/dev/full", "w");
  if (full == nullptr) {
    _exit(2);
  }
  setbuf(full, nullptr);
  stdout = full;
}

// In child processes: the stop they make is for good.
TEST(Output, ALostLineStopsTheProgramWithTheBoardIdle) {
  EXPECT_EXIT(
      {
        test::fresh_board();
        install_stop_handlers();
        GPIO_init();
        pin_write(kPinLineSelector, kHigh);
        pin_write(kPinHook1, kLow);
        sim::platform_on_exit([] {
          fprintf(stderr, "at exit: selector %d hook %d\n", sim::pin_level(kPinLineSelector),
                  sim::pin_level(kPinHook1));
        });
        output_refused();
        out_line("dial 5");
        _exit(1);  // not reached
      },
      testing::ExitedWithCode(128 + SIGPIPE), "at exit: selector 0 hook 1");
}

TEST(Output, ALostLineEndsTheProgramEvenWithoutAHandler) {
  EXPECT_EXIT(
      {
        test::fresh_board();
        out_on_output_lost(nullptr);
        output_refused();
        out_printf("dial %d\n", 5);
        _exit(1);
      },
      testing::ExitedWithCode(128 + SIGPIPE), "");
}

}  // namespace
