// The packet checksum computed bit by bit, exactly as defined: the reference
// that every fast implementation is tested and benchmarked against.
#pragma once

#include <cstdint>

namespace kalvent_test {

inline uint32_t crc32BitSerial(const void* data, uint32_t words) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint32_t crc = 0xFFFFFFFFu;
  for (uint32_t i = 0; i < words; ++i, p += 4) {
    const uint32_t word = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                          static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    for (int b = 31; b >= 0; --b) {
      const uint32_t top = crc >> 31;
      crc <<= 1;
      if (top != ((word >> b) & 1u)) crc ^= 0x04C11DB7u;
    }
  }
  return crc;
}

}  // namespace kalvent_test
