// The link frame: 8 bytes, start byte, frame type, four data bytes, and the
// CRC-16/MODBUS of bytes 0..5 stored high byte first at bytes 6 and 7. The
// one place that names the frame's layout and its types.
#pragma once
#include <cstdint>

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

// The two frames that never change, checksum included.
inline constexpr uint8_t kPollFrame[kFrameBytes] = {kStartByte, kTypePoll, 0, 0, 0, 0, 0xAA, 0x24};
inline constexpr uint8_t kRetransmitFrame[kFrameBytes] = {
    kStartByte, kTypeRetransmit, 0, 0, 0, 0, 0x7E, 0x0D};
