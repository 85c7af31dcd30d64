// A PCI configuration access method over in-memory configuration spaces,
// registered under method number 7, for what a real host cannot show:
// bridges, multi-function devices, broken capability lists, the maker's
// boards. BARs map a sparse file in which the physical address is the file
// offset.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "uba_internal.h"

struct FakeFunction {
  int domain, bus, dev, func;
  std::array<uint8_t, 4096> cfg{};
  // BAR starts that the operating system reports, when they differ from the
  // registers (like the proc method's resource file).
  std::optional<std::array<uint64_t, 6>> os_bars;

  void w8(unsigned off, uint8_t v) { cfg[off] = v; }
  void w16(unsigned off, uint16_t v) { w8(off, v & 0xff), w8(off + 1, v >> 8); }
  void w32(unsigned off, uint32_t v) { w16(off, v & 0xffff), w16(off + 2, v >> 16); }
  uint8_t r8(unsigned off) const { return cfg[off]; }
  uint16_t r16(unsigned off) const { return r8(off) | r8(off + 1) << 8; }
  uint32_t r32(unsigned off) const { return r16(off) | (uint32_t)r16(off + 2) << 16; }

  FakeFunction &multifunction() { return w8(0x0e, r8(0x0e) | 0x80), *this; }
  FakeFunction &bridge_to(uint8_t secondary) { return w8(0x0e, (r8(0x0e) & 0x80) | 1), w8(0x19, secondary), *this; }
  FakeFunction &revision(uint8_t rev) { return w8(8, rev), *this; }
  FakeFunction &bar(int i, uint32_t v) { return w32(0x10 + 4 * i, v), *this; }
  // A well-formed capability list: (position, id) in list order.
  FakeFunction &capabilities(std::initializer_list<std::pair<uint8_t, uint8_t>> caps);
  // A well-formed extended capability list from 0x100: (position, id).
  FakeFunction &ext_capabilities(std::initializer_list<std::pair<uint16_t, uint16_t>> caps);
};

struct FakeAccess {
  bool write;
  int width;
  unsigned reg;
  uint32_t value;
  bool operator==(const FakeAccess &) const = default;
};

namespace fake_pci {

constexpr int METHOD = 7;

// Forgets every function and access and restores the defaults below.
void reset();
FakeFunction &add(int bus, int dev, int func, uint16_t vendor, uint16_t device, int domain = 0);
FakeFunction *find(int domain, int bus, int dev, int func);
// Makes the fake the chosen method (discarding any scanned list).
void use();

// Configuration accesses made through the method since the last reset.
extern std::vector<FakeAccess> log;
// The probe's answer; the fake is skipped when probing unless set to 0.
extern int probe_result;
extern bool ext_conf;       // offsets 256 and up reachable
extern bool have_mmap_bar;  // the method maps BARs itself (through bar_file)
extern bool have_has_bus;   // the method tells the scan which buses hold functions
extern int init_calls, fini_calls, close_calls;
// The file BARs are mapped from; created by reset().
extern std::string bar_file;

}  // namespace fake_pci
