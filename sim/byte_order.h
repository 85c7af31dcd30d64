// 32-bit words in the byte orders the card uses: big-endian in SRAM, the
// EEPROM and the processor's view; little-endian in the vendor-specific
// registers of configuration space.
#pragma once

#include <cstdint>

namespace sim {

inline uint32_t be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
inline void put_be32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline uint32_t le32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
inline void put_le32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> 8 * i);
}

}  // namespace sim
