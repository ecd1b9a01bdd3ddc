// The one CRC-32 the device expects (CRC-32/JAMCRC), computed here the plain
// way, independently of the program's own, for tests to compare with.
#pragma once

#include <cstdint>
#include <vector>

inline uint32_t reference_jamcrc(const std::vector<uint8_t>& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return crc;
}
