// The frame decoder against a co-processor that sends anything: the input
// chooses the intercom code and two rooms (one imitated, one blacklisted),
// and then is the co-processor's side of every transfer, 8 bytes each, for
// as many exchange cycles as it lasts. Whatever it sends: the call state
// stays one of its three states, the program only prints lines that the
// bridge reads as one of the program's kinds, only the shield's pins move
// and only to 0 or 1, the queue gets nothing but the blacklisted room's
// hang-up, and replies of which none is a whole frame (start byte and
// checksum) change nothing at all.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bridge/protocol.h"
#include "config/config.h"
#include "core/Buffer.h"
#include "core/main_cycle.h"
#include "fuzz/fuzz_support.h"
#include "line/drivers.h"
#include "line/pin_map.h"
#include "link/CRC16.h"
#include "link/TxRx.h"
#include "protocol/link_frame.h"
#include "sim/board.h"
#include "tests/support.h"

namespace {

constexpr int kMaxCycles = 64;
constexpr uint8_t kHangUp = 3;

bool shield_pin(uint8_t gpio) {
  switch (gpio) {
    case kPinLineSelector:
    case kPinHook1:
    case kPinHook2:
    case kPinCoprocReset:
    case kPinRelay0:
    case kPinRelay1:
    case kPinRelay2:
    case kPinDoorRelay:
    case kPinAux2:
      return true;
    default:
      return false;
  }
}

bool whole_frame(const uint8_t* f) {
  const uint16_t crc = ModRTU_CRC(f, kFrameCheckedBytes);
  return f[0] == kStartByte && crc == (f[6] << 8 | f[7]);
}

// The co-processor's side of one input: its replies, frame after frame, and
// whether any of them was a whole frame. The transfer source is a plain
// function, so what it plays lives here.
struct Replies {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t at = 0;
  bool any_frame = false;
};
Replies g_replies;

int64_t play_reply(const uint8_t*, uint8_t* received) {
  Replies& r = g_replies;
  memset(received, 0, kFrameBytes);
  if (r.at < r.size) {
    memcpy(received, r.data + r.at, std::min<size_t>(kFrameBytes, r.size - r.at));
    r.at += kFrameBytes;
  }
  r.any_frame = r.any_frame || whole_frame(received);
  return sim::transfer_time_ns();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) {
    return 0;
  }
  fuzz::one_board();
  test::fresh_program();
  const size_t pins_from = sim::pin_event_count();
  fuzz::Stdio stdio(nullptr, 0);
  select_line_driver(data[0]);
  const unsigned imitated = (data[1] << 8 | data[2]) % kRoomCount;
  const unsigned blacklisted = (data[3] << 8 | data[4]) % kRoomCount;
  RoomImit[imitated] = kRoomImitated;
  RoomImit[blacklisted] = kRoomBlacklisted;
  data += 5;
  size -= 5;

  g_replies = Replies{data, size};
  sim::board_set_transfer_source(play_reply);
  for (int cycle = 0; cycle < kMaxCycles && g_replies.at < size; ++cycle) {
    spi_buffer_txrx();
    spi_parser();
    const int32_t state = Cycle.state.load();
    const int32_t imit = Cycle.imit.load();
    ZUL_FUZZ_CHECK(state == kStateIdle || state == kStateDialled || state == kStatePickedUp,
                   "call state %d", state);
    ZUL_FUZZ_CHECK(imit == 0 || imit == 1, "imitation flag %d", imit);
    const uint8_t* command = SPI_tx + kSlotCommand;
    static const uint8_t kNone[kFrameBytes] = {};
    ZUL_FUZZ_CHECK(memcmp(command, kNone, kFrameBytes) == 0 ||
                       memcmp(command, kRetransmitFrame, kFrameBytes) == 0 ||
                       memcmp(command, SPI_tx + kSlotCopy, kFrameBytes) == 0,
                   "the command slot holds a frame nobody put there");
  }
  sim::board_set_transfer_source(nullptr);

  const std::vector<std::string> printed = stdio.lines();
  for (const std::string& line : printed) {
    ZUL_FUZZ_CHECK(bridge::parse_program_line(line).kind != bridge::ProgramLine::Kind::kOther,
                   "printed \"%s\", which the bridge cannot read", line.c_str());
  }
  const size_t pins_to = sim::pin_event_count();
  for (size_t i = pins_from; i < pins_to; ++i) {
    const sim::PinEvent e = sim::pin_event_at(i);
    if (e.call == sim::PinCall::kWrite) {
      ZUL_FUZZ_CHECK(shield_pin(e.gpio) && e.value <= 1, "GPIO %d written %d", e.gpio, e.value);
    }
  }
  for (uint8_t code = console_dequeue(); code != 0; code = console_dequeue()) {
    ZUL_FUZZ_CHECK(code == kHangUp, "code %d queued by the link", code);
  }
  if (!g_replies.any_frame) {
    ZUL_FUZZ_CHECK(printed.empty(), "printed \"%s\" without a whole frame", printed[0].c_str());
    ZUL_FUZZ_CHECK(pins_to == pins_from, "a pin moved without a whole frame");
    ZUL_FUZZ_CHECK(Cycle.state.load() == kStateIdle && Cycle.imit.load() == 0,
                   "the call state moved without a whole frame");
  }
  return 0;
}
