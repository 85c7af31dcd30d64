#include "chip.h"

#include <cstring>

namespace sim {

namespace {

bool in_sram(uint32_t address, int width) { return address < Chip::SRAM_SIZE && Chip::SRAM_SIZE - address >= (uint32_t)width; }

// The narrowest register holding the byte at `address`, or null.
const RegisterBlock::Register *narrowest_holding(uint32_t address) {
  const RegisterBlock::Register *best = nullptr;
  for (const RegisterBlock::Register &r : RegisterBlock::registers())
    if (address >= r.address && address - r.address < (uint32_t)r.width && (!best || r.width < best->width)) best = &r;
  return best;
}

}  // namespace

Chip::Chip(const BoardOptions &options, EventSink &events)
    : events_(events),
      bar0_(options.bar0_file.empty() ? std::make_unique<SharedMemory>("ulve-bar0", BAR0_SIZE)
                                      : std::make_unique<SharedMemory>(SharedMemory::File{options.bar0_file}, BAR0_SIZE)) {
  if (options.bar2_present) bar2_ = std::make_unique<SharedMemory>("ulve-bar2", BAR2_SIZE);
  // The PCIe core's flow-control credit limits, as its link trained them.
  for (size_t i = 0; i < RegisterBlock::FLOW_CONTROL_LIMITS.size(); i++)
    register_block_.write(RegisterBlock::FLOW_CONTROL_LIMITS[i], options.flow_control[i], 4);
  // A signal-detect input that does not follow anything.
  if (options.signal_detect) register_block_.stick_signal_detect(*options.signal_detect);
  publish();
}

uint32_t Chip::read(uint32_t address, int width) {
  uint32_t value = 0;
  if (in_sram(address, width)) {
    for (int i = 0; i < width; i++) value = value << 8 | sram()[address + i];
  } else if (RegisterBlock::holds(address, width)) {
    value = register_block_.read(address, width);
    if (RegisterBlock::find(address, width)) events_.event({Event::Kind::SpecialRead, address, width});
  } else {
    for (int i = 0; i < width; i++) {
      uint32_t at = address + i;
      uint8_t byte = at < SRAM_SIZE ? sram()[at] : RegisterBlock::holds(at, 1) ? register_block_.read(at, 1) : 0;
      value = value << 8 | byte;
    }
  }
  return value;
}

void Chip::write(uint32_t address, uint32_t value, int width) {
  if (RegisterBlock::holds(address, width)) {
    register_block_.write(address, value, width);
    if (RegisterBlock::find(address, width)) events_.event({Event::Kind::SpecialWritten, address, width});
    return;
  }
  for (int i = 0; i < width; i++) {
    uint32_t at = address + i;
    uint8_t byte = value >> 8 * (width - 1 - i);
    if (at < SRAM_SIZE)
      sram()[at] = byte;
    else if (RegisterBlock::holds(at, 1))
      register_block_.write(at, byte, 1);
  }
}

void Chip::advance(uint64_t now_us) {
  register_block_.set_time(now_us);
  if (!bar2_) return;
  take_host_writes();
  publish();
}

void Chip::take_host_writes() {
  uint8_t *mirror = bar2_->data() + BAR2_SPECIALS;
  for (uint32_t k = 0; k < RegisterBlock::SIZE; k++) {
    if (mirror[k] == published_[k]) continue;
    const RegisterBlock::Register *r = narrowest_holding(RegisterBlock::BASE + k);
    uint32_t at = r ? r->address : RegisterBlock::BASE + k;
    int width = r ? r->width : 1;
    uint32_t offset = at - RegisterBlock::BASE, value = 0;
    for (int i = 0; i < width; i++) value = value << 8 | mirror[offset + i];
    // The register's other changed bytes are applied with it.
    std::memcpy(&published_[offset], &mirror[offset], width);
    write(at, value, width);
  }
}

void Chip::publish() {
  register_block_.refresh();
  std::memcpy(published_.data(), register_block_.bytes(), RegisterBlock::SIZE);
  if (bar2_) std::memcpy(bar2_->data() + BAR2_SPECIALS, published_.data(), RegisterBlock::SIZE);
}

void Chip::load_write_chain(const scan::WriteValues &values) {
  write_chain_ = values;
  constexpr size_t LB0 = *scan::find(scan::WRITE_CHAIN, "P0_RX_LB0");
  register_block_.drive_signal_detect(values[LB0] & 1);
}

}  // namespace sim
