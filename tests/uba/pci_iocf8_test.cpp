// The iocf8 access method over emulated I/O ports: configuration mechanism 1
// (address at 0xcf8, data at 0xcfc..0xcff) in front of in-memory
// configuration spaces, and a recorded iopl.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <map>
#include <tuple>
#include <vector>

#include "test_util.h"
#include "uba_internal.h"

using testing::ElementsAre;
using testing::ExitedWithCode;
using testing::IsEmpty;
using testing::MatchesRegex;

namespace {

struct PortAccess {
  bool out;
  unsigned port;
  uint32_t value;
  int width;
  bool operator==(const PortAccess &) const = default;
};

std::ostream &operator<<(std::ostream &os, const PortAccess &a) {
  return os << (a.out ? "out" : "in") << a.width << "(0x" << std::hex << a.port << ", 0x" << a.value << ")";
}

// The host side of mechanism 1.
namespace ports {

std::vector<PortAccess> log;
std::map<std::tuple<int, int, int>, std::array<uint8_t, 256>> spaces;  // (bus, dev, func)
uint32_t address;
std::vector<int> iopl_levels;
int iopl_errno;  // non-zero: iopl fails with it

uint32_t mask(int width) { return width == 4 ? ~0u : (1u << (8 * width)) - 1; }

// The space that the latched address selects, or null.
std::array<uint8_t, 256> *selected() {
  if (!(address & 0x80000000)) return nullptr;
  auto it = spaces.find({address >> 16 & 0xff, address >> 11 & 0x1f, address >> 8 & 7});
  return it == spaces.end() ? nullptr : &it->second;
}

uint32_t in(unsigned port, int width) {
  uint32_t value = ~0u;  // nothing answers
  auto *space = selected();
  if (space && port >= 0xcfc && port <= 0xcff) {
    value = 0;
    for (int i = 0; i < width; i++) value |= (uint32_t)(*space)[(address & 0xfc) + (port - 0xcfc) + i] << (8 * i);
  }
  value &= mask(width);
  log.push_back({false, port, value, width});
  return value;
}

void out(unsigned port, uint32_t value, int width) {
  log.push_back({true, port, value, width});
  if (port == 0xcf8 && width == 4) {
    address = value;
  } else if (auto *space = selected(); space && port >= 0xcfc && port <= 0xcff) {
    for (int i = 0; i < width; i++) (*space)[(address & 0xfc) + (port - 0xcfc) + i] = value >> (8 * i);
  }
}

int iopl(int level) {
  iopl_levels.push_back(level);
  if (iopl_errno) {
    errno = iopl_errno;
    return -1;
  }
  return 0;
}

std::array<uint8_t, 256> &add(int bus, int dev, int func, uint16_t vendor, uint16_t device, uint8_t header_type = 0) {
  auto &s = spaces[{bus, dev, func}];
  s = {};
  s[0] = vendor, s[1] = vendor >> 8, s[2] = device, s[3] = device >> 8, s[0x0e] = header_type;
  return s;
}

}  // namespace ports

class Iocf8 : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = uba_host;
    uba_host.iopl = ports::iopl;
    uba_host.port_in = ports::in;
    uba_host.port_out = ports::out;
  }
  void TearDown() override {
    uba_pci_rescan();
    uba_host = saved_;
  }
  std::vector<std::string> scan() { return scan_with(UBA_PCI_IOCF8); }

  uba_host_t saved_;
};

TEST_F(Iocf8, ScanFindsFunctionsAndHoldsIoPrivilegeUntilRescan) {
  ports::add(0, 0, 0, 0x8086, 0x29c0);
  ports::add(0x12, 0x1f, 0, 0x1f5c, 0x5e0a, 0x80);
  ports::add(0x12, 0x1f, 5, 0x1f5c, 0x5e0b);
  EXPECT_THAT(scan(), ElementsAre("00:00.0", "12:1f.0", "12:1f.5"));
  EXPECT_EQ(listed("12:1f.5")->device_id, 0x5e0b);
  EXPECT_THAT(ports::iopl_levels, ElementsAre(3));
  uba_pci_rescan();
  EXPECT_THAT(ports::iopl_levels, ElementsAre(3, 0));
}

TEST_F(Iocf8, OtherDomainsAreAbsent) {
  ports::add(0, 0, 0, 0x8086, 0x29c0);
  scan();
  pci_access *acc = pci_alloc();
  EXPECT_FALSE(acc->ops->has_bus(acc, 1, 0));
  pci_dev d{};
  d.domain = 1;
  d.pci = acc;
  ports::log.clear();
  EXPECT_EQ(acc->ops->init_dev(&d), nullptr);
  EXPECT_THAT(ports::log, IsEmpty());
}

TEST_F(Iocf8, AccessesLatchTheAddressThenUseTheDataPortOfTheWidth) {
  auto &space = ports::add(0x12, 0x1f, 0, 0x1f5c, 0x5e0a, 0x80);
  ports::add(0x12, 0x1f, 5, 0x1f5c, 0x5e0b);
  for (unsigned i = 0x40; i < 0x100; i++) space[i] = i;
  scan();
  pci_dev *d = listed("12:1f.0");

  // Bus 0x12, device 0x1f, function 0: 0x8012f800 with the register's dword.
  struct {
    unsigned reg;
    int width;
    uint32_t value, address;
    unsigned data_port;
  } reads[] = {
      {0x00, 2, 0x1f5c, 0x8012f800, 0xcfc},     {0x02, 2, 0x5e0a, 0x8012f800, 0xcfe},
      {0x0e, 1, 0x80, 0x8012f80c, 0xcfe},       {0x41, 1, 0x41, 0x8012f840, 0xcfd},
      {0x44, 4, 0x47464544, 0x8012f844, 0xcfc}, {0xff, 1, 0xff, 0x8012f8fc, 0xcff},
  };
  for (const auto &r : reads) {
    SCOPED_TRACE(testing::Message() << "read reg " << std::hex << r.reg);
    ports::log.clear();
    unsigned got = read_cfg(d, r.reg, r.width);
    EXPECT_EQ(got, r.value);
    EXPECT_THAT(ports::log,
                ElementsAre(PortAccess{true, 0xcf8, r.address, 4}, PortAccess{false, r.data_port, r.value, r.width}));
  }

  struct {
    unsigned reg;
    int width;
    uint32_t value, address;
    unsigned data_port;
  } writes[] = {
      {0x04, 2, 0x0146, 0x8012f804, 0xcfc},
      {0x0d, 1, 0x40, 0x8012f80c, 0xcfd},
      {0x10, 4, 0xfebc000c, 0x8012f810, 0xcfc},
      {0x3e, 2, 0x0003, 0x8012f83c, 0xcfe},
  };
  for (const auto &w : writes) {
    SCOPED_TRACE(testing::Message() << "write reg " << std::hex << w.reg);
    ports::log.clear();
    write_cfg(d, w.reg, w.width, w.value);
    EXPECT_THAT(ports::log,
                ElementsAre(PortAccess{true, 0xcf8, w.address, 4}, PortAccess{true, w.data_port, w.value, w.width}));
  }
  EXPECT_THAT(std::vector<uint8_t>(space.begin() + 4, space.begin() + 0x14),
              ElementsAre(0x46, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x80, 0, 0x0c, 0x00, 0xbc, 0xfe));
  EXPECT_EQ(space[0x3e], 3);
  EXPECT_EQ(space[0x3f], 0);

  // Function 5 of the same device: the function field of the address.
  ports::log.clear();
  EXPECT_EQ(pci_read_word(listed("12:1f.5"), 2), 0x5e0bu);
  EXPECT_EQ(ports::log.at(0), (PortAccess{true, 0xcf8, 0x8012fd00, 4}));
}

TEST_F(Iocf8, ExtendedRegistersAreOutOfReach) {
  ports::add(0, 0, 0, 0x8086, 0x29c0);
  scan();
  pci_dev *d = listed("00:00.0");
  ports::log.clear();
  EXPECT_EQ(pci_read_long(d, 0x100), 0u);
  EXPECT_EQ(pci_read_byte(d, 0xfff), 0u);
  EXPECT_THAT(ports::log, IsEmpty());
  EXPECT_EQ(uba_can_access_ext_conf(d), 0);
  EXPECT_EXIT(pci_write_long(d, 0x100, 1), ExitedWithCode(1),
              MatchesRegex("ERROR:pci_iocf8\\.cpp:[0-9]+:pci reg 0x100 invalid for iocf8\n\n"));
}

TEST_F(Iocf8, RefusedIoPrivilegeStops) {
  ports::iopl_errno = EPERM;
  EXPECT_EXIT(scan(), ExitedWithCode(1),
              MatchesRegex("ERROR:pci_iocf8\\.cpp:[0-9]+:iopl failed: cannot get access to io ports:"
                           "Operation not permitted\n\n"));
}

}  // namespace
