// One PCI function of a modeled host: its configuration space and what the
// operating system reports of it.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

class SharedMemory;

class PciFunction {
 public:
  // A BAR as the operating system lists it; `memory` backs a memory BAR
  // that can be mapped.
  struct Resource {
    uint64_t start = 0, end = 0, flags = 0;
    const SharedMemory *memory = nullptr;
  };

  virtual ~PciFunction() = default;
  // Configuration accesses of width 1, 2 or 4 bytes with offset + width
  // within config_size(); values are in host order.
  virtual uint32_t config_read(unsigned offset, int width) = 0;
  virtual void config_write(unsigned offset, uint32_t value, int width) = 0;
  // 4096 for PCI Express functions, 256 for conventional ones.
  virtual unsigned config_size() const = 0;
  virtual std::array<Resource, 6> resources() const { return {}; }
  virtual int irq() const { return 0; }
};

}  // namespace sim
