// The STM32 co-processor at the far end of the simulated SPI0.
//
// It keeps the program's side of the bargain: in the transfer after a frame
// it shifts out one frame of its own, or zeros when it has nothing; after a
// reset it answers the poll that follows an intercom announcement with a
// version report; it resends its last frame on a retransmit request and asks
// for a resend when a frame fails its checksum. Line events and faults come
// from the scenario or from the tests.
//
// "Its last frame" is the last frame it had to say, never its own retransmit
// request: a request answered with a request would leave both sides asking
// each other for ever. And a frame the program asked for again stays owed
// until it has gone out again, so a program that gives up asking and polls
// still gets it before anything newer.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

using Frame = std::array<uint8_t, 8>;

// The link as the co-processor's firmware knows it: the frame's start byte,
// the frame types in both directions, and the codes of its call events.
//
// The program names them in protocol/link_frame.h; these are written again
// on purpose and must not include that file. The co-processor is another
// device, and this model stands in for its firmware: a constant the program
// gets wrong then shows as a link that fails in the tests, where one shared
// definition would carry the same mistake to both ends unseen. Every part of
// the simulator and of the tests that plays the co-processor's side takes
// them from here.
inline constexpr uint8_t kFrameStart = 0xA1;
inline constexpr uint8_t kFramePoll = 0x01;
inline constexpr uint8_t kFrameCallEvent = 0x01;
inline constexpr uint8_t kFrameAnnounce = 0x02;
inline constexpr uint8_t kFrameVersion = 0x02;
inline constexpr uint8_t kFrameCodec = 0x0A;
inline constexpr uint8_t kFrameSetup = 0x0B;
inline constexpr uint8_t kFrameSignal = 0xEE;
inline constexpr uint8_t kFrameRetransmit = 0xFF;
// A call event's byte 2.
inline constexpr uint8_t kCallIdle = 0;
inline constexpr uint8_t kCallDial = 1;  // byte 3: 1 forces the call; bytes 4, 5: the room
inline constexpr uint8_t kCallPickup = 2;
inline constexpr uint8_t kCallOpen = 3;
inline constexpr uint8_t kCallDrop = 4;
inline constexpr uint8_t kCallOpenDetected = 5;

struct CoprocOptions {
  uint8_t shield = 26;
  uint16_t firmware = 1;
  // Silent (empty replies) until it has been reset more than this many times,
  // the start-up reset included; 0 answers from power-on.
  int no_answer_resets = 0;
  // Share of the frames it sends that go out with a broken checksum, drawn
  // from `seed`.
  double fault_rate = 0.0;
  uint64_t seed = 1;
};

// Power-on state with default options (a fresh board).
void coproc_reset_all();
void coproc_configure(const CoprocOptions& options);

// The board tells it about its reset line and hands it every transfer.
void coproc_pin_written(uint8_t gpio, uint8_t level);
void coproc_transfer(const uint8_t* mosi, uint8_t* miso);

// Checksum as the co-processor's firmware computes it.
uint16_t coproc_crc(const uint8_t* bytes, int length);
// Six bytes with their checksum, high byte first.
Frame make_frame(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5);

// Line side: a frame to go out with the next reply to a poll (FIFO).
void coproc_queue(const Frame& frame);
// Faults: the next n frames sent go out with a broken checksum; the next n
// frames received are answered with a retransmit request (it still takes
// note of a request for its own last frame among them, which it then owes).
void coproc_corrupt_next(int n);
void coproc_retransmit_next(int n);

// What it has seen, for tests and logs.
struct CoprocRecord {
  int resets = 0;
  int announcements = 0;
  uint8_t announced_intercom = 0;
  int version_reports = 0;
  std::vector<Frame> settings;  // setup and codec register frames accepted, in order
  size_t queued = 0;            // frames still waiting to go out
};
CoprocRecord coproc_record();

}  // namespace sim

namespace sim {
// A version report as it would answer now (announced intercom, firmware,
// shield), queued like any other frame.
void coproc_queue_version();
}  // namespace sim
