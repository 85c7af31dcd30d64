// The mm access method over a sparse file standing for /dev/mem: which
// physical window it accepts, where each register lies, the buses a window
// holds, and the window's release.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "descriptors.h"
#include "test_util.h"
#include "uba_internal.h"

using testing::ElementsAre;
using testing::ExitedWithCode;
using testing::IsEmpty;
using testing::MatchesRegex;

namespace {

constexpr uint64_t E = 0xe0000000, D = 0xd0000000, F = 0xf0000000;

class Mm : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = uba_host;
    uba_host.root = root_.path().c_str();
    root_.mkdir("dev");
    mem_path_ = root_.path() + "/dev/mem";
    mem_ = open(mem_path_.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(mem_, 0);
    clear_memory();
  }
  void TearDown() override {
    uba_pci_rescan();
    uba_host = saved_;
    close(mem_);
  }

  // 4 GiB of zeroes, costing nothing until written.
  void clear_memory() {
    ASSERT_EQ(ftruncate(mem_, 0), 0);
    ASSERT_EQ(ftruncate(mem_, 1ull << 32), 0);
  }
  void poke(uint64_t addr, uint64_t value, int width) { ASSERT_EQ(pwrite(mem_, &value, width, addr), width); }
  uint64_t peek(uint64_t addr, int width) {
    uint64_t value = 0;
    EXPECT_EQ(pread(mem_, &value, width, addr), width);
    return value;
  }
  // A function's ids (and header type) at a physical configuration address.
  void function(uint64_t addr, uint16_t vendor, uint16_t device, uint8_t header_type = 0) {
    poke(addr, vendor, 2);
    poke(addr + 2, device, 2);
    poke(addr + 0x0e, header_type, 1);
  }

  std::vector<std::string> scan() { return scan_with(UBA_PCI_MM); }
  // Bytes of the memory file mapped into this process.
  uint64_t mapped_bytes() {
    std::ifstream maps("/proc/self/maps");
    uint64_t total = 0;
    for (std::string line; std::getline(maps, line);) {
      if (line.size() < mem_path_.size() || line.compare(line.size() - mem_path_.size(), mem_path_.size(), mem_path_))
        continue;
      unsigned long long start, end;
      if (sscanf(line.c_str(), "%llx-%llx", &start, &end) == 2) total += end - start;
    }
    return total;
  }

  TempDir root_;
  uba_host_t saved_;
  std::string mem_path_;
  int mem_ = -1;
};

TEST_F(Mm, WindowIsTheFirstWhoseHostBridgeVendorFits) {
  struct Placement {
    uint64_t window, offset;
    uint16_t vendor;
  };
  struct {
    const char *what;
    std::vector<Placement> placements;
    uint64_t accepted;
  } cases[] = {
      {"0x1166 at the first window", {{E, 0, 0x1166}}, E},
      {"0x8086 at the second, 0x10de at the third", {{D, 0, 0x8086}, {F, 0, 0x10de}}, D},
      {"unknown vendors before the third", {{E, 0, 0x1234}, {D, 0, 0x1b7e}, {F, 0, 0x10de}}, F},
      {"every window fits", {{E, 0, 0x10de}, {D, 0, 0x8086}, {F, 0, 0x1166}}, E},
      {"0x1166 at device 1", {{E, 0x8000, 0x8086}, {D, 0, 0x1234}, {D, 0x8000, 0x1166}}, D},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    uba_pci_rescan();
    clear_memory();
    // The device id tells which window a listed function came from.
    for (const Placement &p : c.placements) function(p.window + p.offset, p.vendor, p.window >> 16);
    std::vector<std::string> names = scan();
    EXPECT_THAT(names, testing::Not(IsEmpty()));
    for (const std::string &name : names) EXPECT_EQ(listed(name)->device_id, c.accepted >> 16) << name;
  }
}

TEST_F(Mm, BusesBeyondTheWindowAreAbsent) {
  function(F, 0x10de, 0x0001);
  function(F + 0x1f00000, 0x8086, 0x0002);  // bus 0x1f: the last of a 32 MiB window
  function(F + 0x2000000, 0x8086, 0x0003);  // bus 0x20: outside it
  EXPECT_THAT(scan(), ElementsAre("00:00.0", "1f:00.0"));
  pci_access *mm = pci_alloc();
  EXPECT_TRUE(mm->ops->has_bus(mm, 0, 0x1f));
  EXPECT_FALSE(mm->ops->has_bus(mm, 0, 0x20));
  EXPECT_FALSE(mm->ops->has_bus(mm, 1, 0));
}

TEST_F(Mm, RegistersLieAtBusDeviceFunctionStrides) {
  function(E, 0x8086, 0x0001);
  function(E + 0x328000, 0x1f5c, 0x5e0a, 0x80);  // bus 3, device 5, multi-function
  const uint64_t base = 0xe032a000;              // bus 3, device 5, function 2
  function(base, 0x1f5c, 0x5e0b);
  EXPECT_THAT(scan(), ElementsAre("00:00.0", "03:05.0", "03:05.2"));
  pci_dev *d = listed("03:05.2");
  EXPECT_EQ(d->device_id, 0x5e0b);

  struct {
    unsigned reg;
    int width;
    uint32_t value;
  } cases[] = {
      {0x04, 2, 0x0146},  {0x0d, 1, 0x40},        {0x10, 4, 0xfebc000c}, {0x100, 4, 0x14010001},
      {0x40a, 2, 0xbeef}, {0xff8, 4, 0xa5c3e187}, {0xfff, 1, 0x5a},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "reg " << std::hex << c.reg << " width " << c.width);
    uint32_t mask = c.width == 4 ? ~0u : (1u << (8 * c.width)) - 1;
    poke(base + c.reg, 0xeeeeeeee, 4);
    if (c.width == 1)
      pci_write_byte(d, c.reg, c.value);
    else if (c.width == 2)
      pci_write_word(d, c.reg, c.value);
    else
      pci_write_long(d, c.reg, c.value);
    EXPECT_EQ(peek(base + c.reg, 4), (c.value & mask) | (0xeeeeeeeeu & ~mask));

    poke(base + c.reg, ~c.value, 4);
    unsigned got = c.width == 1   ? pci_read_byte(d, c.reg)
                   : c.width == 2 ? pci_read_word(d, c.reg)
                                  : pci_read_long(d, c.reg);
    EXPECT_EQ(got, ~c.value & mask);
  }
  EXPECT_EQ(uba_can_access_ext_conf(d), 1);
}

TEST_F(Mm, RescanReleasesTheWindowAndTheNextScanProbesAgain) {
  function(E, 0x8086, 0x0001);
  EXPECT_THAT(scan(), ElementsAre("00:00.0"));
  EXPECT_EQ(mapped_bytes(), 0x10000000u);
  uba_pci_rescan();
  EXPECT_EQ(mapped_bytes(), 0u);

  clear_memory();
  function(F, 0x10de, 0x0002);
  pci_scan_bus(pci_alloc());
  EXPECT_EQ(mapped_bytes(), 0x2000000u);
  ASSERT_NE(pci_alloc()->devices, nullptr);
  EXPECT_EQ(pci_alloc()->devices->device_id, 0x0002);
}

// A mapping keeps its descriptor while it lives: the accepted window holds
// one, a rejected window none once it is unmapped.
TEST_F(Mm, RejectedWindowsLeaveNoDescriptorsOpen) {
  function(E, 0x1234, 0x0001);
  function(D, 0x1b7e, 0x0002);
  function(F, 0x10de, 0x0003);
  int before = open_descriptors();
  EXPECT_THAT(scan(), ElementsAre("00:00.0"));
  EXPECT_EQ(open_descriptors(), before + 1);
  EXPECT_EQ(mapped_bytes(), 0x2000000u);
  uba_pci_rescan();
  EXPECT_EQ(open_descriptors(), before);
  EXPECT_EQ(mapped_bytes(), 0u);
}

TEST_F(Mm, ForcedWithoutAFittingWindowStops) {
  function(E, 0x1234, 0x0001);
  EXPECT_EXIT(scan(), ExitedWithCode(1),
              MatchesRegex("ERROR:pci_mm\\.cpp:[0-9]+:Cannot find memory-mapped ext-conf-space location\n\n"));
}

TEST_F(Mm, ChosenByNameWithoutAFittingWindowLeavesNoMethod) {
  setenv("UBA_PCI", "mm", 1);
  setenv("UBA_VERBOSE", "1", 1);
  EXPECT_EXIT(pci_alloc(), ExitedWithCode(1),
              MatchesRegex("(uba: Ignoring method: [a-z0-9]+\n)*"
                           "uba: Ignoring mm, probe failed\n"
                           "uba: Ignoring method: iocf8\n"
                           "ERROR:pci_methods\\.cpp:[0-9]+:UBA: No PCI access method available\n"));
  unsetenv("UBA_PCI");
  unsetenv("UBA_VERBOSE");
}

TEST_F(Mm, MissingMemoryFileStops) {
  unlink(mem_path_.c_str());
  std::string expected =
      "opening " + root_.path() + "/dev/mem(e0000000,268435456) failed:2:No such file or directory\n";
  EXPECT_EXIT(scan(), ExitedWithCode(1), testing::Eq(expected));
}

}  // namespace
