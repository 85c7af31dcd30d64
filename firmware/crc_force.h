// Giving a byte string a chosen CRC-32 by its last four bytes: how the boot
// ROM gets the CRC-32 nicflash accepts, and how tests shape ROMs of their own.
#pragma once

#include <cstdint>
#include <vector>

#include "crc32.h"

// Sets the last four bytes of `bytes` (at least four) so that the CRC-32 of
// the whole is `target`.
inline void crc32_force_tail(std::vector<uint8_t> &bytes, uint32_t target) {
  // The register the first bytes must leave for the last four to bring it
  // to ~target: ~target run backwards through 32 zero bits.
  constexpr uint32_t POLY = 0x04C11DB7;
  uint32_t wanted = ~target;
  for (int i = 0; i < 32; i++) wanted = wanted & 1 ? ((wanted ^ POLY) >> 1) | 0x80000000u : wanted >> 1;
  const size_t head = bytes.size() - 4;
  uint32_t tail = ~crc32(bytes.data(), head) ^ wanted;
  for (int i = 0; i < 4; i++) bytes[head + i] = tail >> (24 - 8 * i);
}
