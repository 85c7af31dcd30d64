// A modeled host: a host bridge, one PCI Express root port per modeled NIC
// with the NIC on its secondary bus, and a device of another vendor.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "nic.h"
#include "pci_function.h"

namespace sim {

struct HostOptions {
  std::vector<NicOptions> nics = {NicOptions{}};
  bool other_device = true;
};

class Host {
 public:
  struct Slot {
    int domain, bus, dev, func;
    PciFunction *function;
    std::string name() const;  // "0000:01:00.0"
  };

  explicit Host(const HostOptions &options);
  ~Host();
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;

  // Every function, in bus order.
  const std::vector<Slot> &slots() const { return slots_; }
  PciFunction *find(int domain, int bus, int dev, int func) const;
  size_t nic_count() const { return nics_.size(); }
  Nic &nic(size_t i) { return *nics_.at(i); }
  // Where the host placed NIC i: its bus (device 0, function 0).
  int nic_bus(size_t i) const { return static_cast<int>(i) + 1; }

 private:
  std::vector<std::unique_ptr<PciFunction>> owned_;
  std::vector<Nic *> nics_;
  std::vector<Slot> slots_;
};

}  // namespace sim
