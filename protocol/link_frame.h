// The link between the program and the STM32 co-processor on the shield, as
// the program sees it: the bus, the frame's layout, its types, and the call
// events it carries. The frame is 8 bytes: start byte, frame type, four data
// bytes, and the CRC-16/MODBUS of bytes 0..5 stored high byte first at bytes
// 6 and 7.
//
// The one place in the program that names them. The co-processor is another
// device with firmware of its own; the simulator's model of it (sim/coproc.h)
// keeps its own copy on purpose, written from the device's side, so that a
// wrong constant here shows as a link that fails in the tests rather than as
// the same mistake on both ends.
#pragma once
#include <cstdint>

// SPI0's clock divider: about 281 kHz from the 250 MHz core clock, the speed
// the co-processor's firmware is made for.
inline constexpr uint16_t kSpiClockDivider = 889;

inline constexpr int kFrameBytes = 8;
inline constexpr uint16_t kFrameCheckedBytes = 6;  // bytes covered by the checksum

inline constexpr uint8_t kStartByte = 0xA1;

// Frame types (byte 1). The program's and the co-processor's share codes:
// 0x01 is the poll going out and a call event coming in, 0x02 the
// announcement going out and the version report coming in.
enum : uint8_t {
  kTypePoll = 0x01,
  kTypeCallEvent = 0x01,
  kTypeAnnounce = 0x02,
  kTypeVersion = 0x02,
  kTypeCodecRegister = 0x0A,
  kTypeSetup = 0x0B,
  kTypeSignal = 0xEE,
  kTypeRetransmit = 0xFF,
};

// A call event's code (byte 2). A dial carries a 1 at byte 3 when the call
// is forced (imitated whatever the room lists say), and the room at bytes 4
// and 5, high byte first.
enum : uint8_t {
  kEventIdle = 0,
  kEventDial = 1,
  kEventPickup = 2,
  kEventOpen = 3,
  kEventDrop = 4,
  kEventOpenDetected = 5,
};

// The two frames that never change, checksum included.
inline constexpr uint8_t kPollFrame[kFrameBytes] = {kStartByte, kTypePoll, 0, 0, 0, 0, 0xAA, 0x24};
inline constexpr uint8_t kRetransmitFrame[kFrameBytes] = {
    kStartByte, kTypeRetransmit, 0, 0, 0, 0, 0x7E, 0x0D};
