// Micro-benchmarks of the link's inner pieces and of the flight record's
// hooks. The exchange cycle runs against the simulated board with its
// instant clock, so its figure includes the board's own bookkeeping.
#include <bcm2835.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

#include "link/CRC16.h"
#include "link/TxRx.h"
#include "record/flight_record.h"
#include "sim/board.h"
#include "sim/clock.h"

namespace {

void BM_ModRTU_CRC(benchmark::State& state) {
  uint8_t frame[6] = {0xA1, 0x01, 0x01, 0x00, 0x00, 0x05};
  for (auto _ : state) {
    benchmark::DoNotOptimize(frame);
    benchmark::DoNotOptimize(ModRTU_CRC(frame, 6));
    frame[5] = static_cast<uint8_t>(frame[5] + 1);
  }
}
BENCHMARK(BM_ModRTU_CRC);

// A fresh board with the link up and the poll frame loaded, as after the
// handshake.
void link_up() {
  sim::board_reset(sim::ClockMode::kInstant);
  bcm2835_init();
  if (!SPI_init()) {
    std::abort();
  }
  const uint8_t poll[8] = {0xA1, 0x01, 0, 0, 0, 0, 0xAA, 0x24};
  memset(SPI_tx, 0, sizeof SPI_tx);
  memcpy(SPI_tx, poll, 8);
}

// One exchange cycle with nothing pending: poll, 5 ms, fetch of no reply.
void BM_spi_buffer_txrx(benchmark::State& state) {
  link_up();
  int64_t since_reset = 0;
  for (auto _ : state) {
    spi_buffer_txrx();
    if (++since_reset == (1 << 16)) {  // the board logs every transfer: start it afresh
      state.PauseTiming();
      link_up();
      since_reset = 0;
      state.ResumeTiming();
    }
  }
}
BENCHMARK(BM_spi_buffer_txrx);

// The decoder on one reply: 0 no reply, 1 an ignored type, 2 a version
// report, 3 a signal report (the last two print, here to /dev/null).
void BM_spi_parser(benchmark::State& state) {
  static const uint8_t kReplies[4][8] = {
      {0, 0, 0, 0, 0, 0, 0, 0},
      {0xA1, 0x10, 0, 0, 0, 0, 0, 0},
      {0xA1, 0x02, 0x0A, 0x00, 0x01, 0x1A, 0x29, 0xE3},
      {0xA1, 0xEE, 0x21, 0x01, 0x00, 0x20, 0, 0},
  };
  FILE* devnull = fopen("/dev/null", "w");
  FILE* saved = stdout;
  stdout = devnull;
  for (auto _ : state) {
    memcpy(SPI_rx, kReplies[state.range(0)], 8);
    spi_parser();
  }
  stdout = saved;
  fclose(devnull);
}
BENCHMARK(BM_spi_parser)->DenseRange(0, 3);

const uint8_t kPoll[8] = {0xA1, 0x01, 0, 0, 0, 0, 0xAA, 0x24};
const uint8_t kNone[8] = {};

void BM_record_transfer_off(benchmark::State& state) {
  record_reset();
  for (auto _ : state) {
    record_transfer(kPoll, kNone);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_record_transfer_off);

void recording_on() {
  record_reset();
  sim::board_reset(sim::ClockMode::kInstant);
  record_keep_in_memory();
  char name[] = "zul_stm_driver";
  char* argv[] = {name, nullptr};
  record_begin(1, argv, 1, 2, 2);
  bcm2835_init();
  record_clock_start();
}

void BM_record_transfer_on(benchmark::State& state) {
  recording_on();
  for (auto _ : state) {
    record_transfer(kPoll, kNone);
  }
  record_reset();
}
BENCHMARK(BM_record_transfer_on);

void BM_record_pin_on(benchmark::State& state) {
  recording_on();
  for (auto _ : state) {
    record_pin(24, 1);
  }
  record_reset();
}
BENCHMARK(BM_record_pin_on);

}  // namespace

BENCHMARK_MAIN();
