#include "crc32.h"

#include <array>

namespace {

constexpr uint32_t POLY = 0x04C11DB7;

// tables[k][b]: the register contribution of byte b followed by k zero
// bytes, so sixteen bytes are folded with sixteen independent lookups.
constexpr int SLICES = 16;
constexpr std::array<std::array<uint32_t, 256>, SLICES> make_tables() {
  std::array<std::array<uint32_t, 256>, SLICES> t{};
  for (uint32_t b = 0; b < 256; b++) {
    uint32_t crc = b << 24;
    for (int i = 0; i < 8; i++) crc = crc & 0x80000000u ? crc << 1 ^ POLY : crc << 1;
    t[0][b] = crc;
  }
  for (int k = 1; k < SLICES; k++)
    for (uint32_t b = 0; b < 256; b++) t[k][b] = t[k - 1][b] << 8 ^ t[0][t[k - 1][b] >> 24];
  return t;
}

alignas(64) constexpr auto tables = make_tables();

inline uint32_t load_be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

// The four bytes of v, from the most significant, through the tables of
// slices k+3 down to k.
inline uint32_t fold(uint32_t v, int k) {
  return tables[k + 3][v >> 24] ^ tables[k + 2][v >> 16 & 0xff] ^ tables[k + 1][v >> 8 & 0xff] ^ tables[k][v & 0xff];
}

}  // namespace

uint32_t packet_crc32_byte(uint32_t crc, uint8_t data, int lsb_first) {
  for (int i = 0; i < 8; i++) {
    uint32_t bit = lsb_first ? data >> i & 1 : data >> (7 - i) & 1;
    uint32_t out = crc >> 31;
    crc <<= 1;
    if (out ^ bit) crc ^= POLY;
  }
  return crc;
}

uint32_t crc32(const uint8_t *data, size_t len) {
  uint32_t crc = 0xFFFFFFFF;
  for (; len >= 16; data += 16, len -= 16)
    crc = fold(crc ^ load_be32(data), 12) ^ fold(load_be32(data + 4), 8) ^ fold(load_be32(data + 8), 4) ^
          fold(load_be32(data + 12), 0);
  for (; len; data++, len--) crc = crc << 8 ^ tables[0][(crc >> 24) ^ *data];
  return ~crc;
}
