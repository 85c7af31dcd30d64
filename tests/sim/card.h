// A modeled board as the model's own tests reach it: register accesses the
// way the host makes them, the tools' ways through the debug window, and
// model time from a fixed power-on.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "board.h"

constexpr unsigned P = 0x88;  // the default position of the vendor-specific registers
const sim::Board::Clock::time_point T0{};  // when the boards made here power on

inline sim::BoardOptions deterministic() {
  sim::BoardOptions o;
  o.program_time = o.erase_time = std::chrono::microseconds(0);  // operations end by access count only
  return o;
}

// Register access to a board the way the host makes it.
struct Card {
  sim::Board board;
  unsigned p;
  explicit Card(sim::BoardOptions o = deterministic()) : board(o, 0xc0000000, 0xc1000000, T0), p(o.vs_position) {}
  uint32_t r8(unsigned k) { return board.config_read(p + k, 1); }
  uint32_t r32(unsigned k) { return board.config_read(p + k, 4); }
  void w8(unsigned k, uint32_t v) { board.config_write(p + k, v & 0xff, 1); }  // the low byte
  void w32(unsigned k, uint32_t v) { board.config_write(p + k, v, 4); }
  uint64_t accesses() const { return board.counters.config_reads + board.counters.config_writes; }
  std::vector<uint8_t> eeprom(uint32_t at, size_t n) {
    auto &b = board.eeprom().bytes();
    return {b.begin() + at, b.begin() + at + n};
  }
  // Model time moves on to `us` microseconds after power-on.
  void at(uint64_t us) { board.advance(T0 + std::chrono::microseconds(us)); }
  uint8_t *sram() { return board.chip().sram(); }
  uint8_t *bar2() { return board.chip().bar2()->data(); }
  // The firmware's message log since its header was last written.
  std::string log() {
    const uint8_t *h = sram() + board.firmware().log_header();
    uint32_t w = (uint32_t)h[12] << 24 | h[13] << 16 | h[14] << 8 | h[15];
    std::string text;
    for (uint32_t n = 0; n < w && n < 8192; n++) text += static_cast<char>(sram()[board.firmware().log_ring() + n]);
    return text;
  }
};

// The tools' window accesses: 32-bit writes of mode and address.
inline uint32_t window_read32(Card &b, uint32_t a) {
  b.w32(16, 3);
  b.w32(24, a);
  return __builtin_bswap32(b.r32(20));  // memory order
}
inline void window_write32(Card &b, uint32_t a, uint32_t memory_order_value) {
  b.w32(16, 7);
  b.w32(24, a);
  b.w32(20, __builtin_bswap32(memory_order_value));
}
inline std::vector<uint8_t> window_read_bytes(Card &b, uint32_t a, size_t n) {
  std::vector<uint8_t> out(n);
  b.w32(16, 1);
  for (size_t i = 0; i < n; i++) {
    b.w32(24, a + i);
    out[i] = b.r8(20);
  }
  return out;
}

// A big-endian word of memory, as the processor holds it.
inline uint32_t be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
inline void put_be32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = v >> (24 - 8 * i);
}
