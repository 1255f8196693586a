// The link frames' checksum: CRC-16/MODBUS, stored high byte first.
#pragma once
#include <cstdint>

uint16_t ModRTU_CRC(const uint8_t* buf, uint16_t len);
