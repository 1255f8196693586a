#include "link/TxRx.h"

#include <bcm2835.h>

#include <cstring>

#include "config/config.h"
#include "line/board.h"
#include "line/pins.h"
#include "link/CRC16.h"
#include "out/output.h"
#include "protocol/console.h"
#include "protocol/link_frame.h"
#include "record/flight_record.h"

uint8_t SPI_tx[32] = {};
uint8_t SPI_rx[32] = {};
uint8_t shield = 0;

namespace {

constexpr uint8_t kAttempts = 10;
constexpr uint16_t kHandshakeAttempts = 20;
constexpr unsigned kBeforeTransferMs = 1;
constexpr unsigned kReplyGapMs = 5;  // the co-processor prepares its reply meanwhile
constexpr unsigned kSettingsSettleMs = 100;

// Whether the reply area holds a reply that passed its checksum (or no reply
// at all). Like the slots, the main thread's during start-up and the link
// thread's alone afterwards. A reply that failed it is never acted on: its retransmit request
// is still pending, and the co-processor's resend delivers the frame once.
bool g_reply_ok = true;

// Start-up installs it before the first exchange; written on the main thread
// before the link thread exists, read by whichever thread decodes.
CallEventHandler g_call_event_handler = nullptr;

void transfer(uint8_t* send, uint8_t* receive) {
  bcm2835_spi_transfernb(reinterpret_cast<char*>(send), reinterpret_cast<char*>(receive),
                         kFrameBytes);
  record_transfer(send, receive);
}

void seal(uint8_t* frame) {
  const uint16_t crc = ModRTU_CRC(frame, kFrameCheckedBytes);
  frame[kFrameCheckedBytes] = static_cast<uint8_t>(crc >> 8);
  frame[kFrameCheckedBytes + 1] = static_cast<uint8_t>(crc & 0xFF);
}

// First transfer of an attempt: settings before command before poll.
void send_next_frame() {
  uint8_t* slot = SPI_tx + kSlotPoll;
  if (SPI_tx[kSlotSettings] != 0) {
    slot = SPI_tx + kSlotSettings;
    seal(slot);
  } else if (SPI_tx[kSlotCommand] != 0) {
    slot = SPI_tx + kSlotCommand;
    seal(slot);
  }
  transfer(slot, SPI_rx + 8);
  memcpy(SPI_tx + kSlotCopy, slot, 8);
  if (slot == SPI_tx + kSlotSettings) {
    memset(SPI_tx + kSlotSettings, 0, 8);
  }
}

void print_version(const uint8_t* r) {
  out_printf("%s %d\n", kLineIntercom, r[2]);
  out_printf("%s %d\n", kLineFirmware, r[3] * 256 + r[4]);
  out_printf("%s %d\n", kLineShield, r[5]);
}

// Byte 2: the channel in the low nibble, the form in the high one (0
// steady, 2 impulse); byte 3: the level (1 high); bytes 4 and 5: the value.
void print_signal(const uint8_t* r) {
  constexpr unsigned kNamedChannels = sizeof kSignalChannels / sizeof kSignalChannels[0];
  const unsigned channel = r[2] & 0x0F;
  const uint8_t form = r[2] >> 4;
  const char* channel_word = channel < kNamedChannels ? kSignalChannels[channel] : kSignalUnknown;
  const char* form_word = form == 0 ? kSignalSteady : form == 2 ? kSignalImpulse : kSignalUnknown;
  const char* level_word = r[3] == 1 ? kSignalHigh : kSignalLow;
  out_printf("%s %s %s %d\n", channel_word, form_word, level_word, r[4] * 256 + r[5]);
}

}  // namespace

void spi_on_call_event(CallEventHandler handler) { g_call_event_handler = handler; }

bool SPI_init() {
  const int begun = bcm2835_spi_begin();
  bcm2835_spi_setBitOrder(BCM2835_SPI_BIT_ORDER_MSBFIRST);
  bcm2835_spi_setDataMode(BCM2835_SPI_MODE0);
  bcm2835_spi_setClockDivider(kSpiClockDivider);
  bcm2835_spi_setChipSelectPolarity(BCM2835_SPI_CS0, LOW);
  return begun != 0;
}

void spi_buffer_txrx() {
  for (uint8_t attempt = 0; attempt < kAttempts; ++attempt) {
    wait_ms(kBeforeTransferMs);
    send_next_frame();
    wait_ms(kReplyGapMs);
    memset(SPI_tx + kSlotCommand, 0, 8);
    transfer(SPI_tx + kSlotCommand, SPI_rx);

    if (SPI_rx[0] == 0 && SPI_rx[6] == 0 && SPI_rx[7] == 0) {
      g_reply_ok = true;  // the co-processor had nothing to say
      return;
    }
    const uint16_t crc = ModRTU_CRC(SPI_rx, 6);
    if (crc != ((SPI_rx[6] << 8) | SPI_rx[7])) {
      g_reply_ok = false;
      memcpy(SPI_tx + kSlotCommand, kRetransmitFrame, 8);
      continue;
    }
    g_reply_ok = true;
    if (SPI_rx[0] == kStartByte && SPI_rx[1] == kTypeRetransmit) {
      memcpy(SPI_tx + kSlotCommand, SPI_tx + kSlotCopy, 8);
      continue;
    }
    return;
  }
  // The attempts are used up. If the last one was our retransmit request
  // answered by the co-processor's, both sides were asking each other to
  // resend and the command slot now holds our request again: carried into
  // the next cycle it would go on for as long as the co-processor answers it
  // in kind. Start the next cycle from the poll frame instead; a
  // co-processor that still owes a frame sends it on the poll.
  const bool both_asking = g_reply_ok && SPI_rx[0] == kStartByte && SPI_rx[1] == kTypeRetransmit &&
                           memcmp(SPI_tx + kSlotCopy, kRetransmitFrame, 8) == 0;
  if (both_asking) {
    memset(SPI_tx + kSlotCommand, 0, 8);
  }
}

void spi_reset_state() {
  memset(SPI_tx, 0, sizeof SPI_tx);
  memset(SPI_rx, 0, sizeof SPI_rx);
  shield = 0;
  g_reply_ok = true;
}

void* SPI_th(void*) {
  for (;;) {
    if (cycle_time_plus != 0) {
      wait_ms(cycle_time_plus);
    }
    spi_buffer_txrx();
    spi_parser();
  }
}

void SPI_first_send() {
  bool answered = false;
  for (uint16_t attempt = 0; attempt < kHandshakeAttempts && !answered; ++attempt) {
    memcpy(SPI_tx + kSlotPoll, kPollFrame, 8);
    const uint8_t announce[6] = {kStartByte, kTypeAnnounce, intercom, 0, 0, 0};
    memcpy(SPI_tx + kSlotCommand, announce, 6);
    spi_buffer_txrx();
    if (cycle_time_plus != 0) {
      wait_ms(cycle_time_plus);
    }
    spi_buffer_txrx();
    answered = g_reply_ok && SPI_rx[0] == kStartByte && SPI_rx[1] == kTypeVersion;
    if (!answered) {
      hard_reset();
    }
  }
  // A last reply that failed its checksum says nothing about the shield.
  static const uint8_t kNothing[8] = {};
  const uint8_t* reply = g_reply_ok ? SPI_rx : kNothing;
  shield = reply[5];
  print_version(reply);
}

void spi_settings_push() {
  spi_buffer_txrx();
  wait_ms(kSettingsSettleMs);
  spi_buffer_txrx();
  wait_ms(kSettingsSettleMs);
  spi_parser();
}

void spi_send_settings(uint8_t value) {
  const uint8_t frame[6] = {kStartByte, kTypeSetup, value, 0, 0, 0};
  memcpy(SPI_tx + kSlotSettings, frame, 6);
  spi_settings_push();
}

void spi_parser() {
  if (!g_reply_ok || SPI_rx[0] != kStartByte) {
    return;
  }
  switch (SPI_rx[1]) {
    case kTypeCallEvent:
      if (g_call_event_handler != nullptr) {
        g_call_event_handler(SPI_rx);
      }
      return;
    case kTypeVersion:
      print_version(SPI_rx);
      return;
    case kTypeSignal:
      print_signal(SPI_rx);
      return;
    default:  // any type without an action here, retransmit requests included
      return;
  }
}
