#include "config_space.h"

#include <stdexcept>

namespace sim {

namespace {
constexpr unsigned STATUS = 0x06, CAP_POINTER = 0x34;
constexpr uint16_t STATUS_CAP_LIST = 0x10;
}  // namespace

ConfigSpace::ConfigSpace(unsigned size) : bytes_(size), writable_(size), w1c_(size) {}

uint32_t ConfigSpace::read(unsigned offset, int width) const {
  uint32_t v = 0;
  for (int i = 0; i < width; i++) v |= (uint32_t)bytes_.at(offset + i) << 8 * i;
  return v;
}

void ConfigSpace::write(unsigned offset, uint32_t value, int width) {
  for (int i = 0; i < width; i++) {
    unsigned at = offset + i;
    uint8_t v = value >> 8 * i;
    uint8_t &b = bytes_.at(at);
    b = (b & ~writable_[at]) | (v & writable_[at]);
    b &= ~(v & w1c_[at]);
  }
}

uint16_t ConfigSpace::get16(unsigned offset) const { return get8(offset) | get8(offset + 1) << 8; }
uint32_t ConfigSpace::get32(unsigned offset) const { return get16(offset) | (uint32_t)get16(offset + 2) << 16; }
void ConfigSpace::set16(unsigned offset, uint16_t v) { set8(offset, v), set8(offset + 1, v >> 8); }
void ConfigSpace::set32(unsigned offset, uint32_t v) { set16(offset, v), set16(offset + 2, v >> 16); }

void ConfigSpace::writable(unsigned offset, uint32_t mask, int width) {
  for (int i = 0; i < width; i++) writable_.at(offset + i) |= mask >> 8 * i;
}

void ConfigSpace::write_one_to_clear(unsigned offset, uint32_t mask, int width) {
  for (int i = 0; i < width; i++) w1c_.at(offset + i) |= mask >> 8 * i;
}

unsigned ConfigSpace::add_capability(unsigned position, uint8_t id) {
  if (position < 0x40 || position > 0xfc || position % 4) throw std::invalid_argument("capability position");
  set16(STATUS, get16(STATUS) | STATUS_CAP_LIST);
  set8(last_cap_ ? last_cap_ + 1 : CAP_POINTER, position);
  set8(position, id);
  set8(position + 1, 0);
  last_cap_ = position;
  return position;
}

unsigned ConfigSpace::add_ext_capability(unsigned position, uint16_t id, uint8_t version) {
  if (position < 0x100 || position + 4 > size() || position % 4) throw std::invalid_argument("extended capability");
  if (last_ext_cap_) set32(last_ext_cap_, (get32(last_ext_cap_) & 0xfffff) | position << 20);
  set32(position, id | (uint32_t)(version & 0xf) << 16);
  last_ext_cap_ = position;
  return position;
}

unsigned ConfigSpace::add_aer_capability(unsigned position, uint8_t version) {
  constexpr uint32_t UNCORRECTABLE = 0x003ff030, CORRECTABLE = 0x000031c1;
  unsigned a = add_ext_capability(position, 0x0001, version);
  write_one_to_clear(a + 0x04, UNCORRECTABLE, 4);
  writable(a + 0x08, UNCORRECTABLE, 4);
  set32(a + 0x0c, 0x00062030);  // the default severities
  writable(a + 0x0c, UNCORRECTABLE, 4);
  write_one_to_clear(a + 0x10, CORRECTABLE, 4);
  set32(a + 0x14, 0x00002000);  // advisory non-fatal errors masked
  writable(a + 0x14, CORRECTABLE, 4);
  if (version >= 2) {
    writable(a + 0x2c, 0x00000007, 4);            // root error command
    write_one_to_clear(a + 0x30, 0x0000007f, 4);  // root error status
  }
  return a;
}

}  // namespace sim
