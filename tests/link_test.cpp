// The co-processor link as the bus and the controlling process see it: the
// checksum, the exchange cycle with retransmission, the handshake, the
// settings push and the decoder's lines.
#include <bcm2835.h>
#include <gtest/gtest.h>

#include <cstring>

#include "config/config.h"
#include "link/CRC16.h"
#include "link/TxRx.h"
#include "sim/board.h"
#include "sim/coproc.h"
#include "tests/support.h"

namespace {

using Strings = std::vector<std::string>;

const char kPoll[] = "A10100000000AA24";
const char kRetransmit[] = "A1FF000000007E0D";
const char kZeros[] = "0000000000000000";

struct CrcCase {
  std::vector<uint8_t> bytes;
  uint16_t crc;
};

TEST(Checksum, MatchesTheWorkedFramesAndTheModbusCheckValue) {
  const std::vector<CrcCase> cases = {
      {{0xA1, 0x01, 0, 0, 0, 0}, 0xAA24},
      {{0xA1, 0xFF, 0, 0, 0, 0}, 0x7E0D},
      {{0xA1, 0x02, 0x0A, 0, 0, 0}, 0x7263},
      {{0xA1, 0x0B, 0, 0, 0, 0}, 0xABBC},
      {{0xA1, 0x02, 0x0A, 0, 1, 0x1A}, 0x29E3},
      {{0, 0, 0, 0, 0, 0}, 0x1B00},
      {{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, 0x4B37},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ModRTU_CRC(c.bytes.data(), static_cast<uint16_t>(c.bytes.size())), c.crc)
        << test::hex(c.bytes.data(), c.bytes.size());
  }
}

class Link : public testing::Test {
 protected:
  void SetUp() override {
    test::fresh_board();
    ASSERT_TRUE(SPI_init());
    const uint8_t poll[8] = {0xA1, 0x01, 0, 0, 0, 0, 0xAA, 0x24};
    memcpy(SPI_tx, poll, 8);  // as the handshake leaves it
  }
};

// The bus as the co-processor needs it: most significant bit first, mode 0,
// 250 MHz / 889, chip select 0 active low, set in that order after begin.
TEST_F(Link, InitConfiguresSpi0ForTheCoprocessor) {
  test::fresh_board();
  ASSERT_TRUE(SPI_init());
  const sim::SpiConfig spi = sim::spi_config();
  EXPECT_TRUE(spi.begun);
  EXPECT_EQ(spi.bit_order, BCM2835_SPI_BIT_ORDER_MSBFIRST);
  EXPECT_EQ(spi.bit_order, 1);
  EXPECT_EQ(spi.data_mode, 0);
  EXPECT_EQ(spi.clock_divider, 889);
  EXPECT_EQ(spi.cs, 0);
  EXPECT_EQ(spi.cs_active, 0) << "active low";
  EXPECT_EQ(spi.calls, (Strings{"begin", "setBitOrder", "setDataMode", "setClockDivider",
                                "setChipSelectPolarity"}));
  EXPECT_EQ(sim::transfer_time_ns(), 227584) << "64 bits at 250 MHz / 889";
}

// A case after one whose last reply failed its checksum decodes as if it
// were the first case of the run.
TEST_F(Link, FreshStateForgetsThatTheLastReplyFailedItsChecksum) {
  sim::coproc_queue({0xA1, 0xEE, 0x21, 1, 1, 0xF4, 0xFF, 0xFF});
  spi_buffer_txrx();
  test::fresh_board();
  const sim::Frame f = sim::make_frame(0xA1, 0xEE, 0x21, 1, 1, 0xF4);
  memcpy(SPI_rx, f.data(), 8);
  spi_parser();
  EXPECT_EQ(test::lines(), Strings{"S0 impulse: HIGH 500"});
}

TEST_F(Link, CycleWithNothingPendingPollsThenFetches) {
  const double t0 = test::now_ms();
  spi_buffer_txrx();
  EXPECT_EQ(test::frames_sent(), (Strings{kPoll, kZeros}));
  EXPECT_EQ(test::hex(SPI_tx + kSlotCopy, 8), kPoll);
  EXPECT_EQ(SPI_tx[kSlotCommand], 0);
  EXPECT_NEAR(test::now_ms() - t0, 6.5, 0.1);  // 1 ms, a transfer, 5 ms, a transfer
}

TEST_F(Link, ReplyWithZeroStartAndChecksumIsNoReplyWhateverTheMiddle) {
  sim::coproc_queue({0, 0x11, 0x22, 0x33, 0x44, 0x55, 0, 0});
  spi_buffer_txrx();
  EXPECT_EQ(test::frames_sent().size(), 2u);
  spi_parser();
  EXPECT_TRUE(test::lines().empty());
}

TEST_F(Link, ReplyThatAlwaysFailsItsChecksumCostsTenAttemptsAndIsNotDecoded) {
  sim::coproc_queue({0xA1, 0xEE, 0x21, 1, 1, 0xF4, 0xFF, 0xFF});  // a signal report, bad checksum
  spi_buffer_txrx();
  const Strings sent = test::frames_sent();
  ASSERT_EQ(sent.size(), 20u);
  EXPECT_EQ(sent[0], kPoll);
  for (size_t attempt = 1; attempt < 10; ++attempt) {
    EXPECT_EQ(sent[2 * attempt], kRetransmit) << "attempt " << attempt + 1;
  }
  spi_parser();
  EXPECT_TRUE(test::lines().empty()) << "a reply that failed its checksum is never acted on";
  EXPECT_EQ(test::hex(SPI_tx + kSlotCommand, 8), kRetransmit) << "still pending";
  spi_buffer_txrx();
  EXPECT_EQ(test::frames_sent(20)[0], kRetransmit);
}

TEST_F(Link, GoodReplyNotStartingWithA1EndsTheCycleAndIsIgnored) {
  sim::coproc_queue(sim::make_frame(0x55, 0xEE, 0x21, 1, 1, 0xF4));
  spi_buffer_txrx();
  EXPECT_EQ(test::frames_sent().size(), 2u);
  spi_parser();
  EXPECT_TRUE(test::lines().empty());
}

TEST_F(Link, SettingsSlotGoesBeforeCommandSlotWhichIsDroppedUnsent) {
  const uint8_t announce[6] = {0xA1, 0x02, 0x0A, 0, 0, 0};
  const uint8_t setup[6] = {0xA1, 0x0B, 0x2C, 0, 0, 0};
  memcpy(SPI_tx + kSlotCommand, announce, 6);
  memcpy(SPI_tx + kSlotSettings, setup, 6);
  spi_buffer_txrx();
  const Strings sent = test::frames_sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], test::hex(sim::make_frame(0xA1, 0x0B, 0x2C, 0, 0, 0).data(), 8));
  EXPECT_EQ(SPI_tx[kSlotCommand], 0);
  EXPECT_EQ(SPI_tx[kSlotSettings], 0);
}

TEST_F(Link, RetransmitRequestAnsweringASetupFrameResendsIt) {
  sim::coproc_retransmit_next(1);
  spi_send_settings(0x2C);
  const std::string setup = test::hex(sim::make_frame(0xA1, 0x0B, 0x2C, 0, 0, 0).data(), 8);
  const Strings sent = test::frames_sent();
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(sent[0], setup);
  EXPECT_EQ(test::frames_received()[1], kRetransmit);
  EXPECT_EQ(sent[2], setup) << "the copy goes out again, from the command slot";
  ASSERT_EQ(sim::coproc_record().settings.size(), 1u);
}

TEST_F(Link, RetransmitRequestAfterOurOwnRetransmitRequestRepeatsIt) {
  memcpy(SPI_tx + kSlotCommand, sim::make_frame(0xA1, 0xFF, 0, 0, 0, 0).data(), 6);
  sim::coproc_retransmit_next(1);
  spi_buffer_txrx();
  const Strings sent = test::frames_sent();
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(sent[0], kRetransmit);
  EXPECT_EQ(sent[2], kRetransmit);
}

// Our retransmit request answered by the co-processor's on the tenth
// attempt: the next cycle does not go on asking, it polls, and the frame the
// co-processor still owes arrives on that poll, once.
TEST_F(Link, CycleEndingOnBothSidesAskingForAResendLeavesThePollForTheNext) {
  sim::coproc_queue(sim::make_frame(0xA1, 0xEE, 0x21, 1, 1, 0xF4));
  sim::coproc_corrupt_next(1);
  // After the corrupted reply (6.5 ms), before our request goes out (7.5 ms).
  sim::clock_at(7 * sim::kNsPerMs, [] { sim::coproc_retransmit_next(9); });
  spi_buffer_txrx();
  const Strings sent = test::frames_sent();
  const Strings received = test::frames_received();
  ASSERT_EQ(sent.size(), 20u);
  EXPECT_EQ(sent[0], kPoll);
  for (size_t attempt = 1; attempt < 10; ++attempt) {
    EXPECT_EQ(sent[2 * attempt], kRetransmit) << "attempt " << attempt + 1;
    EXPECT_EQ(received[2 * attempt + 1], kRetransmit) << "attempt " << attempt + 1;
  }
  EXPECT_EQ(SPI_tx[kSlotCommand], 0) << test::hex(SPI_tx + kSlotCommand, 8);
  spi_parser();
  EXPECT_TRUE(test::lines().empty());
  spi_buffer_txrx();
  spi_parser();
  EXPECT_EQ(test::frames_sent(20), (Strings{kPoll, kZeros}));
  EXPECT_EQ(test::lines(), Strings{"S0 impulse: HIGH 500"});
}

// Only that exchange is cut short: a frame of ours that the co-processor
// asked for on the tenth attempt still goes out first in the next cycle.
TEST_F(Link, TenthAttemptAskedForAFrameOfOursKeepsItForTheNextCycle) {
  const uint8_t setup[6] = {0xA1, 0x0B, 0x2C, 0, 0, 0};
  memcpy(SPI_tx + kSlotSettings, setup, 6);
  sim::coproc_retransmit_next(10);
  spi_buffer_txrx();
  const std::string frame = test::hex(sim::make_frame(0xA1, 0x0B, 0x2C, 0, 0, 0).data(), 8);
  EXPECT_EQ(test::hex(SPI_tx + kSlotCommand, 8), frame);
  spi_buffer_txrx();
  EXPECT_EQ(test::frames_sent(20)[0], frame);
  EXPECT_EQ(sim::coproc_record().settings.size(), 1u);
}

// A corrupted reply, then a retransmit request from the co-processor: the
// co-processor resends its frame, not its request, and nothing stalls.
TEST_F(Link, CorruptedReplyThenCoprocessorRequestStillDeliversEveryFrame) {
  for (int value = 0; value < 6; ++value) {
    sim::coproc_queue(sim::make_frame(0xA1, 0xEE, 0x21, 1, 0, static_cast<uint8_t>(value)));
  }
  for (int round = 0; round < 2; ++round) {
    sim::coproc_corrupt_next(1);
    sim::coproc_retransmit_next(1);
    for (int cycle = 0; cycle < 3; ++cycle) {
      spi_buffer_txrx();
      spi_parser();
    }
  }
  for (int cycle = 0; cycle < 4; ++cycle) {
    spi_buffer_txrx();
    spi_parser();
  }
  EXPECT_EQ(test::lines(),
            (Strings{"S0 impulse: HIGH 0", "S0 impulse: HIGH 1", "S0 impulse: HIGH 2",
                     "S0 impulse: HIGH 3", "S0 impulse: HIGH 4", "S0 impulse: HIGH 5"}));
  const Strings received = test::frames_received();
  ASSERT_GE(received.size(), 2u);
  EXPECT_EQ(received.back(), kZeros) << "the outbox is empty at the end, nothing pending";
}

// The program's request for a frame it missed, answered by a request of the
// co-processor's: the co-processor remembers that it owes the frame.
TEST_F(Link, FrameAskedForDuringARequestBurstIsSentOnceTheBurstIsOver) {
  for (int burst : {1, 5, 8, 9, 20, 25}) {
    SCOPED_TRACE(burst);
    test::fresh_board();
    ASSERT_TRUE(SPI_init());
    memcpy(SPI_tx, sim::make_frame(0xA1, 0x01, 0, 0, 0, 0).data(), 8);
    sim::coproc_queue(sim::make_frame(0xA1, 0xEE, 0x21, 1, 1, 0xF4));
    sim::coproc_queue(sim::make_frame(0xA1, 0xEE, 0x02, 0, 0, 7));
    sim::coproc_corrupt_next(1);
    sim::clock_at(7 * sim::kNsPerMs, [burst] { sim::coproc_retransmit_next(burst); });
    for (int cycle = 0; cycle < 6; ++cycle) {
      spi_buffer_txrx();
      spi_parser();
    }
    EXPECT_EQ(test::lines(), (Strings{"S0 impulse: HIGH 500", "S1 steady LOW 7"}));
  }
}

TEST_F(Link, CorruptedEventIsDeliveredOnceAfterTheResend) {
  sim::coproc_queue(sim::make_frame(0xA1, 0xEE, 0x21, 1, 1, 0xF4));
  for (int corrupt : {1, 9, 10, 25}) {
    SCOPED_TRACE(corrupt);
    test::fresh_board();
    ASSERT_TRUE(SPI_init());
    memcpy(SPI_tx, sim::make_frame(0xA1, 0x01, 0, 0, 0, 0).data(), 8);
    sim::coproc_queue(sim::make_frame(0xA1, 0xEE, 0x21, 1, 1, 0xF4));
    sim::coproc_corrupt_next(corrupt);
    for (int cycle = 0; cycle < 5; ++cycle) {
      spi_buffer_txrx();
      spi_parser();
    }
    EXPECT_EQ(test::lines(), Strings{"S0 impulse: HIGH 500"});
  }
}

struct DecodeCase {
  std::vector<uint8_t> bytes;  // bytes 0..5
  Strings lines;
};

class Decoder : public testing::TestWithParam<DecodeCase> {};

TEST_P(Decoder, PrintsWhatTheFrameReports) {
  test::fresh_board();
  const auto& b = GetParam().bytes;
  const sim::Frame f = sim::make_frame(b[0], b[1], b[2], b[3], b[4], b[5]);
  memcpy(SPI_rx, f.data(), 8);
  spi_parser();
  EXPECT_EQ(test::lines(), GetParam().lines);
  EXPECT_EQ(shield, 0) << "a version report in the running phase leaves the shield alone";
}

INSTANTIATE_TEST_SUITE_P(
    Frames, Decoder,
    testing::Values(DecodeCase{{0xA1, 0x02, 0x0A, 0x00, 0x01, 0x1A},
                               {"Intercom: 10", "Program_STM: 1", "Shield: 26"}},
                    DecodeCase{{0xA1, 0x02, 0xFF, 0x12, 0x34, 0x1B},
                               {"Intercom: 255", "Program_STM: 4660", "Shield: 27"}},
                    DecodeCase{{0xA1, 0xEE, 0x21, 0x01, 0x01, 0xF4}, {"S0 impulse: HIGH 500"}},
                    DecodeCase{{0xA1, 0xEE, 0x10, 0x00, 0x00, 0x00}, {"Ek ? LOW 0"}},
                    DecodeCase{{0xA1, 0xEE, 0x02, 0x02, 0xFF, 0xFF}, {"S1 steady LOW 65535"}},
                    DecodeCase{{0xA1, 0xEE, 0xF3, 0x01, 0x00, 0x07}, {"? ? HIGH 7"}},
                    DecodeCase{{0xA1, 0x01, 0x06, 0x00, 0x00, 0x05}, {}},  // unnamed subcode
                    DecodeCase{{0xA1, 0x10, 0x01, 0x02, 0x03, 0x04}, {}},  // type 16
                    DecodeCase{{0xA1, 0xFF, 0x00, 0x00, 0x00, 0x00}, {}},  // a retransmit request
                    DecodeCase{{0xA1, 0x33, 0x01, 0x02, 0x03, 0x04}, {}},  // unknown type
                    DecodeCase{{0xA0, 0xEE, 0x21, 0x01, 0x01, 0xF4}, {}}));

class Handshake : public testing::Test {
 protected:
  void SetUp() override {
    test::fresh_board();
    ASSERT_TRUE(SPI_init());
    intercom = 10;
  }
  static int resets() { return sim::coproc_record().resets; }
};

TEST_F(Handshake, FirstAttemptAnsweredWithoutReset) {
  SPI_first_send();
  EXPECT_EQ(resets(), 0);
  EXPECT_EQ(shield, 26);
  EXPECT_EQ(test::lines(), (Strings{"Intercom: 10", "Program_STM: 1", "Shield: 26"}));
  const Strings sent = test::frames_sent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0], "A1020A0000007263");
  EXPECT_EQ(sent[2], kPoll);
  EXPECT_EQ(test::frames_received()[3], "A1020A00011A29E3");
}

TEST_F(Handshake, SilentCoprocessorCostsTwentyAttemptsAndResets) {
  sim::CoprocOptions silent;
  silent.no_answer_resets = 1000;
  sim::coproc_configure(silent);
  SPI_first_send();
  EXPECT_EQ(resets(), 20);
  EXPECT_EQ(shield, 0);
  EXPECT_EQ(test::lines(), (Strings{"Intercom: 0", "Program_STM: 0", "Shield: 0"}));
  EXPECT_EQ(test::frames_sent().size(), 80u);
}

TEST_F(Handshake, CoprocessorThatAnswersAfterItsSecondResetIsFound) {
  sim::CoprocOptions late;
  late.no_answer_resets = 2;  // answers from its third reset on
  late.shield = 27;
  late.firmware = 0x0203;
  sim::coproc_configure(late);
  SPI_first_send();
  EXPECT_EQ(resets(), 3);
  EXPECT_EQ(shield, 27);
  EXPECT_EQ(test::lines(), (Strings{"Intercom: 10", "Program_STM: 515", "Shield: 27"}));
}

TEST_F(Handshake, CorruptedVersionReportIsNotTakenForAnAnswer) {
  sim::coproc_corrupt_next(10);  // the whole first attempt's poll cycle
  SPI_first_send();
  EXPECT_EQ(resets(), 1);
  EXPECT_EQ(shield, 26);
}

TEST_F(Handshake, SettingsPushSendsTheSetupFrameThenPollsAndDecodes) {
  SPI_first_send();
  const size_t from = sim::transfers().size();
  const double t0 = test::now_ms();
  spi_send_settings(44);
  const Strings sent = test::frames_sent(from);
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0], test::hex(sim::make_frame(0xA1, 0x0B, 44, 0, 0, 0).data(), 8));
  EXPECT_EQ(sent[2], kPoll);
  EXPECT_NEAR(test::now_ms() - t0, 213, 0.5);  // two cycles of 6.5 ms and 2 x 100 ms
  ASSERT_EQ(sim::coproc_record().settings.size(), 1u);
  EXPECT_EQ(sim::coproc_record().settings[0][2], 44);
}

}  // namespace
