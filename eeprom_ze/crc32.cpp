#include "crc32.h"

#include <array>

namespace {

constexpr uint32_t POLY = 0x04C11DB7;

// tables[k][b]: the register contribution of byte b followed by k zero
// bytes, so eight bytes are folded with eight lookups.
constexpr std::array<std::array<uint32_t, 256>, 8> make_tables() {
  std::array<std::array<uint32_t, 256>, 8> t{};
  for (uint32_t b = 0; b < 256; b++) {
    uint32_t crc = b << 24;
    for (int i = 0; i < 8; i++) crc = crc & 0x80000000u ? crc << 1 ^ POLY : crc << 1;
    t[0][b] = crc;
  }
  for (int k = 1; k < 8; k++)
    for (uint32_t b = 0; b < 256; b++) t[k][b] = t[k - 1][b] << 8 ^ t[0][t[k - 1][b] >> 24];
  return t;
}

constexpr auto tables = make_tables();

inline uint32_t load_be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

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
  for (; len >= 8; data += 8, len -= 8) {
    uint32_t high = crc ^ load_be32(data);
    crc = tables[7][high >> 24] ^ tables[6][high >> 16 & 0xff] ^ tables[5][high >> 8 & 0xff] ^ tables[4][high & 0xff] ^
          tables[3][data[4]] ^ tables[2][data[5]] ^ tables[1][data[6]] ^ tables[0][data[7]];
  }
  for (; len; data++, len--) crc = crc << 8 ^ tables[0][(crc >> 24) ^ *data];
  return ~crc;
}
