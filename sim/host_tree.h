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
//                              (memory_file_read below)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host.h"

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

// Reads and writes of a configuration file, split into register accesses
// the way Linux splits them: a byte up to an even offset, a word up to a
// multiple of four, double words, then a word and a byte for the rest. The
// range must lie within the function's configuration space.
void config_file_read(PciFunction &f, unsigned offset, uint8_t *out, size_t count);
void config_file_write(PciFunction &f, unsigned offset, const uint8_t *in, size_t count);

// Reads and writes of the physical-memory file: the host's physical address
// space, where it can be served faithfully. Each board's BAR0 and BAR2 where
// the host placed them (a write into BAR0 is a store the board sees), and
// the memory-mapped configuration window at ECAM_BASE (bus << 20 | device
// << 15 | function << 12 | register), whose transfers are split into
// register accesses like those of a configuration file; there a function
// that is not present, or a register beyond its space, reads all ones and
// ignores writes. A board behind a link that is down answers neither way:
// its BARs read all ones and lose writes, its registers too (Host::reach).
// False, with nothing done, when any byte of the range lies elsewhere.
constexpr uint64_t ECAM_BASE = 0xe0000000, ECAM_SIZE = 0x10000000;
bool memory_file_read(Host &host, uint64_t address, uint8_t *out, size_t count);
bool memory_file_write(Host &host, uint64_t address, const uint8_t *in, size_t count);

}  // namespace sim
