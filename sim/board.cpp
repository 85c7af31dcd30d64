#include "board.h"

namespace sim {

Board::Board(const BoardOptions &options, uint64_t bar0_address, uint64_t bar2_address, Clock::time_point power_on)
    : options_(options),
      bar0_address_(bar0_address),
      bar2_address_(bar2_address),
      power_on_(power_on),
      eeprom_(options.index),
      chip_(options_, *this),
      firmware_(options_, chip_),
      nic_(options_, bar0_address, bar2_address, eeprom_, chip_, firmware_, *this),
      phy_(options_) {
  if (options.stuck_address) {
    eeprom_.stuck_address = options.stuck_address;
    eeprom_.stuck_value = options.stuck_value;
  }
  chip_.specials().attach(&phy_);
  firmware_.power_on();
  chip_.advance(0);
}

uint32_t Board::config_read(unsigned offset, int width) {
  counters.config_reads++;
  uint32_t value = nic_.config_read(offset, width);
  if (record_accesses) accesses.push_back({false, offset, width, value});
  return value;
}

void Board::config_write(unsigned offset, uint32_t value, int width) {
  counters.config_writes++;
  if (record_accesses) accesses.push_back({true, offset, width, value});
  nic_.config_write(offset, value, width);
  event({Event::Kind::ConfigWritten, offset, width});
}

std::array<PciFunction::Resource, 6> Board::resources() const {
  constexpr uint64_t MEM = 0x00040200;  // memory, aligned to its size
  std::array<Resource, 6> r{};
  r[0] = {bar0_address_, bar0_address_ + Chip::BAR0_SIZE - 1, MEM, &chip_.bar0()};
  if (const SharedMemory *bar2 = chip_.bar2()) r[2] = {bar2_address_, bar2_address_ + Chip::BAR2_SIZE - 1, MEM, bar2};
  return r;
}

void Board::advance(Clock::time_point now) {
  if (now > power_on_) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - power_on_).count();
    now_us_ = std::max(now_us_, static_cast<uint64_t>(us));
  }
  phy_.advance(now_us_);
  chip_.advance(now_us_);
  firmware_.advance(now_us_);
}

std::optional<Board::Clock::time_point> Board::next_deadline() const {
  return power_on_ + std::chrono::microseconds(firmware_.next_deadline_us());
}

void Board::reset() { event({Event::Kind::Reset, 0, 0, ResetReason::Board}); }

void Board::bar0_written(uint32_t offset, size_t count) {
  event({Event::Kind::Bar0Written, offset, static_cast<int>(count)});
}

void Board::event(const Event &e) { firmware_.event(e); }

}  // namespace sim
