// Control-program images the tests hand to the loader and to the card
// model, and the two CRC-32s such images are checked with, bit by bit as
// they are defined (so a test never checks a CRC with the code it tests).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ucp_images {

// CRC-32/BZIP2: polynomial 0x04C11DB7, most significant bit first, register
// from all ones, result complemented.
inline uint32_t crc32_by_definition(const uint8_t *p, size_t n) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < n; i++)
    for (int bit = 7; bit >= 0; bit--) crc = (crc >> 31 ^ (p[i] >> bit & 1)) ? crc << 1 ^ 0x04C11DB7 : crc << 1;
  return ~crc;
}

// zlib's CRC-32: the same polynomial reflected, least significant bit first.
inline uint32_t crc32_reflected_by_definition(const uint8_t *p, size_t n) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < n; i++)
    for (int bit = 0; bit < 8; bit++) crc = ((crc ^ (p[i] >> bit)) & 1) ? crc >> 1 ^ 0xEDB88320 : crc >> 1;
  return ~crc;
}

inline uint32_t crc32_by_definition(const std::vector<uint8_t> &b) { return crc32_by_definition(b.data(), b.size()); }
inline uint32_t crc32_reflected_by_definition(const std::vector<uint8_t> &b) {
  return crc32_reflected_by_definition(b.data(), b.size());
}

// What a UCP image carries: a version header at 0x100 of `header_size`
// naming `version`, and a copy-block table at `table` (none when 0) for
// `pages` pages with the valid word `valid`.
struct UcpShape {
  std::string version = "test";
  uint32_t header_size = 164;
  uint32_t table = 0x200;
  uint32_t pages = 3;
  uint32_t valid = 0;
};

// A raw UCP image of `length` bytes: a non-zero first word, the word at
// offset 60 pointing at the version header, the shape's header and table,
// and a pattern everywhere else.
inline std::vector<uint8_t> ucp_image(uint32_t length, const UcpShape &shape = {}) {
  std::vector<uint8_t> b(length);
  auto put = [&](uint32_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) b.at(at + i) = static_cast<uint8_t>(v >> (24 - 8 * i));
  };
  for (uint32_t i = 0; i < length; i++) b[i] = static_cast<uint8_t>(i * 13 + 5);
  put(0, 0xe0001234);
  put(60, 0x100);
  put(0x100, shape.header_size);
  std::fill(b.begin() + 0x104, b.begin() + 0x1a0, 0);
  std::copy(shape.version.begin(), shape.version.end(), b.begin() + 0x104);
  put(0x100 + 160, shape.table);
  if (shape.table + 8 <= length) {
    put(shape.table, shape.pages);
    put(shape.table + 4, shape.valid);
  }
  return b;
}

}  // namespace ucp_images
