// Configuration space storage that writes like real registers: a byte is
// read-only unless marked writable, and status bits clear when written with
// a one.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

class ConfigSpace {
 public:
  explicit ConfigSpace(unsigned size);

  unsigned size() const { return static_cast<unsigned>(bytes_.size()); }
  // Register accesses, as the host makes them.
  uint32_t read(unsigned offset, int width) const;
  void write(unsigned offset, uint32_t value, int width);

  // Set-up and the device's own view: plain storage, no masks.
  uint8_t get8(unsigned offset) const { return bytes_[offset]; }
  uint16_t get16(unsigned offset) const;
  uint32_t get32(unsigned offset) const;
  void set8(unsigned offset, uint8_t v) { bytes_[offset] = v; }
  void set16(unsigned offset, uint16_t v);
  void set32(unsigned offset, uint32_t v);
  // Bits the host may write, and bits it clears by writing a one.
  void writable(unsigned offset, uint32_t mask, int width);
  void write_one_to_clear(unsigned offset, uint32_t mask, int width);

  // Appends a capability to the standard list (setting the capabilities
  // bit of the status register) and returns its position.
  unsigned add_capability(unsigned position, uint8_t id);
  // Appends an extended capability (the list starts at 0x100).
  unsigned add_ext_capability(unsigned position, uint16_t id, uint8_t version);
  // Appends the advanced error reporting capability: status registers that
  // clear when written with a one, masks and severities the host sets;
  // version 2 adds a root port's error command and status.
  unsigned add_aer_capability(unsigned position, uint8_t version);

 private:
  std::vector<uint8_t> bytes_, writable_, w1c_;
  unsigned last_cap_ = 0, last_ext_cap_ = 0;
};

}  // namespace sim
