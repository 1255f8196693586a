#include "core/main.h"

#include <bcm2835.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec/CS6422.h"
#include "config/config.h"
#include "core/Buffer.h"
#include "core/console_input.h"
#include "core/main_cycle.h"
#include "core/output_watch.h"
#include "core/stop.h"
#include "line/board.h"
#include "line/drivers.h"
#include "line/line_guard.h"
#include "line/pins.h"
#include "line/timing_conf.h"
#include "link/TxRx.h"
#include "out/output.h"
#include "out/report.h"
#include "record/flight_record.h"

int32_t Scan_read = 0;

namespace {
constexpr unsigned kAfterSpiInitMs = 200;
constexpr unsigned kAfterResetMs = 1000;

struct RoomList {
  const char* prompt;
  const char* end_line;
  const char* name;
  uint8_t mark;
};

// Reads one list up to -1. Input that ends ends the list as -1 would, so that
// a controlling process that forgot the terminator still gets a running
// program. A token that is not a number costs that token only: ending the
// list there would shift every later room into the other list (a typo in
// the room list would blacklist the rooms after it).
void read_room_list(const RoomList& list) {
  out_line(list.prompt);
  for (;;) {
    int32_t n = 0;
    char token[24];
    const TokenResult r = read_int_token(stdin, &n, token, sizeof token);
    if (r == TokenResult::kEnd) {
      fprintf(stderr, "zul_stm_driver: input ended before the %s's -1; taking it as ended\n",
              list.name);
      break;
    }
    if (r == TokenResult::kNotNumber) {
      fprintf(stderr, "zul_stm_driver: \"%s\" in the %s is not a number; skipped\n", token,
              list.name);
      continue;
    }
    if (n == kRoomListEnd) {
      break;
    }
    if (n < 0) {
      fprintf(stderr, "zul_stm_driver: negative room %d in the %s skipped\n", static_cast<int>(n),
              list.name);
      continue;
    }
    if (n >= kRoomCount) {
      out_line(kLineBigNumber);
      continue;
    }
    RoomImit[n] = list.mark;
  }
  out_line(list.end_line);
}

void parse_arguments(int argc, char** argv) {
  intercom = static_cast<uint8_t>(atoi(argv[1]));
  if (argc > 2) {
    cycle_time_plus = static_cast<uint16_t>(atoi(argv[2]));
  }
  if (argc > 3) {
    // Bits 0 to 7 of the number, as the register's bits 0 to 7.
    setupRegister0 = static_cast<uint8_t>(atoi(argv[3]) & 0xFF);
  }
}
}  // namespace

void ReedRoom() { read_room_list({kLineRoomsPrompt, kLineRoomsEnd, "room list", kRoomImitated}); }

void ReedBlacklist() {
  read_room_list({kLineBlacklistPrompt, kLineBlacklistEnd, "blacklist", kRoomBlacklisted});
}

int zul_start(int argc, char** argv) {
  setbuf(stdout, nullptr);
  record_begin(argc, argv, kVersionMajor, kVersionMinor, kVersionPatch);
  install_stop_handlers();
  report_open_from_environment();
  spi_on_call_event(call_event);

  if (argc > 1 && strcmp(argv[1], "-v") == 0) {
    out_printf("%s %d.%d%d\n", kLineVersion, kVersionMajor, kVersionMinor, kVersionPatch);
    return kExitVersion;
  }
  if (argc < 2) {
    out_line(kLineNoArg);
    return kExitNoArg;
  }
  parse_arguments(argc, argv);

  out_printf("%s%dv%d%d\n", kLineBanner, kVersionMajor, kVersionMinor, kVersionPatch);
  out_printf("%s %d.%d%d\n", kLineVersion, kVersionMajor, kVersionMinor, kVersionPatch);
  ReedRoom();
  ReedBlacklist();
  // Checked before any pin is configured: a file with a problem must not
  // leave the line to timings the installer did not mean.
  if (!timing_conf_load(kTimingConfPath)) {
    return kExitTiming;
  }

  // Whatever provides the board chooses how to reach it and, when it cannot,
  // has said why on standard error; no pin has been driven then.
  if (bcm2835_init() == 0) {
    return kExitPlatform;
  }
  record_clock_start();
  GPIO_init();
  if (!SPI_init()) {
    return kExitPlatform;  // said by the board's provider, as above
  }
  wait_ms(kAfterSpiInitMs);
  hard_reset();
  wait_ms(kAfterResetMs);
  SPI_first_send();
  file_settingName_p2 = select_line_driver(intercom);
  if (shield == kShieldWithSetup || shield == kShieldWithCodec) {
    spi_send_settings(setupRegister0);
  }
  if (shield == kShieldWithCodec) {
    CS6422_setup_from_settings();
  }
  gpio_first_status();
  return -1;
}

void* Scan_th(void*) {
  console_read_codes();
  // The controlling side has closed our input; the line is still served for
  // as long as somebody reads our events.
  watch_output_reader();
}

void console_read_codes() {
  for (;;) {
    const TokenResult r = read_int_token(stdin, &Scan_read);
    if (r == TokenResult::kEnd) {
      return;
    }
    if (r == TokenResult::kNotNumber) {
      continue;
    }
    if (is_console_code(Scan_read)) {
      console_enqueue(static_cast<uint8_t>(Scan_read));
    }
  }
}

int zul_run() {
  // Nobody waits for the threads, which never return: the console thread
  // reads codes until the input ends and then watches for the output's
  // reader to go (ending the program when it does), and the link thread runs
  // for as long as the program. Detached, neither needs a join.
  pthread_attr_t detached;
  pthread_attr_init(&detached);
  pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
  pthread_t console_thread;
  pthread_t link_thread;
  if (pthread_create(&console_thread, &detached, Scan_th, nullptr) != 0) {
    fprintf(stderr, "zul_stm_driver: cannot start the console thread\n");
    line_stop_board();
    return kExitPlatform;
  }
  if (pthread_create(&link_thread, &detached, SPI_th, nullptr) != 0) {
    fprintf(stderr, "zul_stm_driver: cannot start the link thread\n");
    line_stop_board();
    return kExitPlatform;
  }
  for (;;) {
    VirtualIntercom_status(&Cycle);
  }
}

int zul_main(int argc, char** argv) {
  int status = zul_start(argc, argv);
  if (status < 0) {
    status = zul_run();
  }
  record_finish(status);
  return status;
}
