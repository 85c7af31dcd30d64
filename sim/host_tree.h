// The files through which the virtual host shows a modeled host to a
// command: what Linux serves under /sys/bus/pci and /proc/bus/pci. The tree
// is built once from the model when the host starts, the way the kernel
// enumerates once at boot; only the configuration files stay live. They
// reach each function the way the host's accesses do (Host::Slot::reached),
// so nothing answers behind a link that is down; the mapped BAR files cannot
// follow that and stay the board's memory.
//
// Layout, relative to where it is mounted (/sys/bus/pci):
//
//   devices/DDDD:BB:DD.F       symbolic link into .devices, as in sysfs
//   drivers/, slots/           empty
//   .devices/pciDDDD:BB/...    one directory per function, nested below the
//                              bridge whose secondary bus holds it, with the
//                              attribute files (config, resource, resourceN,
//                              irq, vendor, device, class, revision,
//                              subsystem_vendor, subsystem_device)
//   .proc/devices, .proc/BB/DD.F
//                              what /proc/bus/pci shows
//   .mem                       the host's physical memory: what /dev/mem shows
//                              (memory_file_read, physical_memory.h)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host.h"
#include "physical_memory.h"

namespace sim {

class HostTree {
 public:
  enum class Kind : uint8_t { Directory, Text, Config, Link, Memory };
  struct Node {
    std::string name;
    Kind kind;
    uint16_t mode;  // permission bits
    uint32_t parent;
    std::vector<uint32_t> children;   // Directory
    std::string text;                 // Text: the content; Link: the target
    PciFunction *function = nullptr;  // Config
  };
  static constexpr uint32_t ROOT = 0;
  static constexpr uint32_t NONE = UINT32_MAX;
  // The size the physical-memory file shows: the 32-bit physical space.
  static constexpr uint64_t MEMORY_SIZE = 0x100000000;

  explicit HostTree(Host &host);

  Host &host() const { return host_; }

  size_t size() const { return nodes_.size(); }
  const Node &node(uint32_t index) const { return nodes_[index]; }
  // The entry `name` of directory `dir`, or NONE.
  uint32_t child(uint32_t dir, std::string_view name) const;
  // The node at a relative path such as "devices/0000:01:00.0" (links are
  // not followed), or NONE.
  uint32_t find(std::string_view path) const;

 private:
  uint32_t add(uint32_t parent, std::string name, Kind kind, uint16_t mode, std::string text = {});
  void add_function(uint32_t dir, const Host::Slot &slot);

  Host &host_;
  std::vector<Node> nodes_;
};

}  // namespace sim
