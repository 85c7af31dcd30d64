// Board open and BAR mapping over the fake method, whose BARs are a sparse
// file in which the physical address is the file offset.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "fake_pci.h"
#include "test_util.h"
#include "uba_mmio.h"

using testing::ElementsAre;
using testing::Eq;
using testing::ExitedWithCode;
using testing::MatchesRegex;

namespace {

constexpr uint32_t BAR0 = 0x1000000, BAR2 = 0x3000000;

// Bytes of the "physical memory" behind the fake's BARs.
std::string phys_bytes(uint64_t addr, size_t n) {
  std::string s(n, '\0');
  int fd = open(fake_pci::bar_file.c_str(), O_RDONLY);
  EXPECT_EQ(pread(fd, s.data(), n, addr), (ssize_t)n);
  close(fd);
  return s;
}

void put_phys(uint64_t addr, const std::string &bytes) {
  int fd = open(fake_pci::bar_file.c_str(), O_WRONLY);
  EXPECT_EQ(pwrite(fd, bytes.data(), bytes.size(), addr), (ssize_t)bytes.size());
  close(fd);
}

class Open : public testing::Test {
 protected:
  void SetUp() override {
    unsetenv("UBA_MMCONF");
    fake_pci::reset();
  }
  void TearDown() override {
    for (uba_nic *nic : opened) free(nic);
  }
  // Opens a board; the record is the caller's, freed when the test ends.
  uba_nic *open_nic(int unit, int mask, int flags) { return opened.emplace_back(uba_open(unit, mask, flags)); }
  std::vector<uba_nic *> opened;
  // A 10G board with both BARs assigned and a capability list.
  FakeFunction &ze_board(int bus, uint16_t device = 0x5e0a) {
    return fake_pci::add(bus, 0, 0, 0x1f5c, device)
        .revision(2)
        .bar(0, BAR0 | 0xc)
        .bar(2, BAR2)
        .capabilities({{0x40, 0x01}, {0x50, 0x10}, {0x88, 0x09}});
  }
};

TEST_F(Open, TenGigBoardHasBothBarsMappedAndItsCapabilitiesRecorded) {
  fake_pci::add(0, 0, 0, 0x8086, 0x0d57);
  ze_board(1);
  fake_pci::use();
  uba_nic *nic = open_nic(0, UBA_ZE, 0);
  EXPECT_STREQ(nic->dev->name, "01:00.0");
  EXPECT_EQ(nic->rev, 2);
  EXPECT_EQ(nic->type, UBA_ZE);
  EXPECT_EQ(nic->phys, BAR0);
  EXPECT_EQ(nic->phys2, BAR2);
  EXPECT_EQ(nic->sram_size, 0x200000u);
  EXPECT_EQ(nic->bar2_size, 0x100000u);
  EXPECT_EQ(nic->cfg, nullptr);
  EXPECT_EQ(nic->eeprom, nullptr);

  // The mappings are the BARs themselves, both ways.
  uba_mmio_write<uint32_t>(nic->base + 0xfffffc, 0x11223344);
  uba_mmio_write<uint32_t>(nic->base2 + 0x10, 0x55667788);
  EXPECT_EQ(phys_bytes(BAR0 + 0xfffffc, 4), "\x44\x33\x22\x11");
  EXPECT_EQ(phys_bytes(BAR2 + 0x10, 4), "\x88\x77\x66\x55");
  put_phys(BAR2 + 0xffffc, "\x01\x02\x03\x04");
  EXPECT_EQ(uba_mmio_read<uint32_t>(nic->base2 + 0xffffc), 0x04030201u);

  std::array<uint8_t, 256> expected_caps{};
  expected_caps[0x01] = 0x40, expected_caps[0x10] = 0x50, expected_caps[0x09] = 0x88;
  EXPECT_TRUE(std::equal(expected_caps.begin(), expected_caps.end(), nic->cfg_cap));
}

TEST_F(Open, UnitCountsTheBoardsOfTheMask) {
  ze_board(1);
  fake_pci::add(2, 0, 0, 0x1f5c, 0x4c3d).revision(1);  // K4: not in the mask
  ze_board(3, 0x5e0b);
  fake_pci::use();
  EXPECT_STREQ(open_nic(1, UBA_ZE, 0)->dev->name, "03:00.0");
  const char *not_found = "FATAL ERROR:trying to open Ulvelink board instance %d: NOT FOUND\n";
  for (int unit : {2, -1}) {
    char expected[100];
    snprintf(expected, sizeof expected, not_found, unit);
    EXPECT_EXIT(uba_open(unit, UBA_ZE, 0), ExitedWithCode(1), Eq(expected));
  }
}

TEST_F(Open, UnassignedBar0FailsUnlessBarsAreSkipped) {
  ze_board(1).bar(0, 0);
  fake_pci::use();
  EXPECT_EXIT(uba_open(0, UBA_ZE, 0), ExitedWithCode(1), Eq("NIC 1f5c:5e0a(rev 2) BAR not initialized\n"));
  EXPECT_EXIT(uba_open(0, UBA_ZE, UBA_BAR2_SKIP), ExitedWithCode(1),
              Eq("NIC 1f5c:5e0a (rev 2) at 01:00.0: BAR0 not initialized\n"));
  // For configuration-space and EEPROM work the board opens without its BARs.
  uba_nic *nic = open_nic(0, UBA_ZE, UBA_BAR_SKIP);
  EXPECT_EQ(nic->base, nullptr);
  EXPECT_EQ(nic->base2, nullptr);
  EXPECT_EQ(nic->cfg_cap[9], 0x88);
}

TEST_F(Open, UnassignedBar2IsOnlyAWarning) {
  ze_board(1).bar(2, 0);
  fake_pci::use();
  testing::internal::CaptureStderr();
  uba_nic *nic = open_nic(0, UBA_ZE, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning NIC 1f5c:5e0a (rev 2) at slot: 01:00: BAR2 not initialized\n");
  EXPECT_NE(nic->base, nullptr);
  EXPECT_EQ(nic->base2, nullptr);
  EXPECT_EQ(nic->bar2_size, 0u);
}

TEST_F(Open, BarRegistersMustAgreeWithTheOperatingSystem) {
  FakeFunction &f = ze_board(1);
  f.os_bars = {{BAR0 + 0x20000000, 0, BAR2, 0, 0, 0}};
  fake_pci::use();
  EXPECT_EXIT(uba_open(0, UBA_ZE, 0), ExitedWithCode(1), Eq("Cfg-space BAR0 is inconsistent with OS view of it\n"));
  EXPECT_NE(open_nic(0, UBA_ZE, UBA_BAR0_SKIP)->base2, nullptr);  // the check is of the BAR that is mapped

  f.os_bars = {{BAR0 | 0x1f, 0, BAR2 + 0x100000, 0, 0, 0}};  // flag bits do not count
  uba_pci_rescan();
  EXPECT_EXIT(uba_open(0, UBA_ZE, 0), ExitedWithCode(1), Eq("Cfg-space BAR2 is inconsistent with OS view of it\n"));
}

TEST_F(Open, MappedConfigurationViewThroughBar2) {
  FakeFunction &f = ze_board(1);
  fake_pci::use();
  // The board shows its configuration space at BAR2 + 0x80000; the
  // capability list there is what gets recorded.
  std::string view(0x100, '\0');
  view[0] = '\x5c', view[1] = '\x1f', view[6] = 0x10, view[0x34] = 0x60, view[0x60] = 0x09;
  put_phys(BAR2 + 0x80000, view);
  setenv("UBA_MMCONF", "", 1);
  uba_nic *nic = open_nic(0, UBA_ZE, 0);
  EXPECT_EQ(nic->cfg, nic->base2 + 0x80000);
  EXPECT_EQ(nic->cfg_cap[9], 0x60);
  EXPECT_EQ(nic->cfg_cap[0x10], 0);
  EXPECT_EQ(f.r16(4), 2);  // memory space switched on
  for (const FakeAccess &a : fake_pci::log) {
    if (a.write) {
      EXPECT_EQ(a, (FakeAccess{true, 2, 4, 2}));
    }
  }

  // A skip bit leaves the view off.
  EXPECT_EQ(open_nic(0, UBA_ZE, UBA_BAR0_SKIP)->cfg, nullptr);

  // A view that does not answer with the vendor id stops the program.
  put_phys(BAR2 + 0x80000, "\xff\xff");
  EXPECT_EXIT(uba_open(0, UBA_ZE, 0), ExitedWithCode(1), Eq("ERROR:uba_cfg_space_read:vendor-id: 0xffff\n"));
}

TEST_F(Open, DeadConfigurationSpaceStopsTheOpen) {
  FakeFunction &f = ze_board(1);
  fake_pci::use();
  pci_scan_bus(pci_alloc());
  f.w16(0, 0xffff);  // the board dropped off the bus after the scan
  EXPECT_EXIT(uba_open(0, UBA_ZE, UBA_BAR_SKIP), ExitedWithCode(1), Eq("ERROR:uba_cfg_space_read:vendor-id: 0xffff\n"));
}

TEST_F(Open, UnknownInTheMaskReturnsTheBoardUnmapped) {
  fake_pci::add(1, 0, 0, 0x1f5c, 0x4c3d).revision(9).bar(0, BAR0).capabilities({{0x40, 0x09}});
  fake_pci::use();
  uba_nic *nic = open_nic(0, UBA_UNKNOWN, 0);
  EXPECT_EQ(nic->type, UBA_UNKNOWN);
  EXPECT_EQ(nic->rev, 9);
  EXPECT_EQ(nic->phys, BAR0);
  EXPECT_EQ(nic->base, nullptr);
  EXPECT_EQ(nic->cfg_cap[9], 0);
}

TEST_F(Open, OldestGenerationIsNotSupported) {
  fake_pci::add(1, 0, 0, 0x1b7e, 0x4c3d).revision(1).bar(0, BAR0);
  fake_pci::use();
  EXPECT_EXIT(uba_open(0, UBA_K4, 0), ExitedWithCode(1), Eq("NIC 1b7e:4c3d(rev 1) not yet supported\n"));
}

TEST_F(Open, CapabilityListFaults) {
  FakeFunction &f = ze_board(1);
  fake_pci::use();

  f.w8(0x89, 0x50);  // 0x88 -> 0x50 again
  EXPECT_EXIT(uba_open(0, UBA_ZE, UBA_BAR_SKIP), ExitedWithCode(1), Eq("Capability cycle found in dev at 01:00.0\n"));

  f.w8(0x89, 0xff);
  EXPECT_EXIT(uba_open(0, UBA_ZE, UBA_BAR_SKIP), ExitedWithCode(1), Eq("ERROR:uba_cfg_space_capability: cap_ptr =0xff\n"));

  f.w8(0x89, 0x60);  // a second vendor-specific capability
  f.w8(0x60, 0x09);
  f.w8(0x61, 0x00);
  testing::internal::CaptureStderr();
  uba_nic *nic = open_nic(0, UBA_ZE, UBA_BAR_SKIP);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "\nWarning: dev at 01:00.0 duplicate capability 9 found at 88 and 60\n");
  EXPECT_EQ(nic->cfg_cap[9], 0x60);
}

TEST_F(Open, EarlierGenerationsShowTheirSpaceInsideBar0) {
  fake_pci::add(1, 0, 0, 0x1f5c, 0x4c3d).revision(3).bar(0, BAR0);  // PCI64
  fake_pci::add(2, 0, 0, 0x1f5c, 0x4c3d).revision(5).bar(0, BAR0 + 0x1000000);  // KX
  fake_pci::use();
  put_phys(BAR0 + 0x1000000 + 0xfffe80, std::string("\x00\x08\x03\xff", 4));  // KX: SRAM size register, big-endian
  put_phys(BAR0 + 0x800000, "\x5c\x1f");                      // PCI64: its configuration view in BAR0

  uba_nic *pci64 = open_nic(0, UBA_PCI64, UBA_BAR_CFG);
  EXPECT_EQ(pci64->type, UBA_PCI64);
  EXPECT_EQ(pci64->sram_size, 0x200000u);
  EXPECT_EQ((volatile uint8_t *)pci64->eeprom, pci64->base + 0xa00000);
  EXPECT_EQ(pci64->cfg, pci64->base + 0x800000);
  EXPECT_EQ(pci64->base2, nullptr);

  uba_nic *kx = open_nic(0, UBA_KX, 0);
  EXPECT_EQ(kx->type, UBA_KX);
  EXPECT_EQ(kx->sram_size, 0x80000u);  // 0x000803ff & 0x0ffffc00
  EXPECT_EQ(kx->cfg, nullptr);

  uba_nic *skipped = open_nic(0, UBA_KX, UBA_BAR0_SKIP | UBA_BAR_CFG);
  EXPECT_EQ(skipped->sram_size, 0u);
  EXPECT_EQ(skipped->base, nullptr);
  EXPECT_EQ(skipped->cfg, nullptr);  // no view without the BAR that holds it
}

TEST_F(Open, Pci64StartUpSequence) {
  FakeFunction &f = fake_pci::add(1, 0, 0, 0x1f5c, 0x4c3d).revision(3).bar(0, BAR0);
  fake_pci::use();
  uba_nic *nic = open_nic(0, UBA_PCI64, 0);
  // Identification record: clock value 0x12345678, SRAM size 0x00100000.
  put_phys(BAR0 + 0xa00000, std::string("\x12\x34\x56\x78", 4));
  put_phys(BAR0 + 0xa0000c, std::string("\x00\x10\x00\x00", 4));

  f.w8(0x43, 0x28);  // running: nothing to do but read the SRAM size
  fake_pci::log.clear();
  uba_pci64_init(nic, 0, 5);
  EXPECT_THAT(fake_pci::log, ElementsAre(FakeAccess{false, 1, 0x43, 0x28}));
  EXPECT_EQ(nic->sram_size, 0x100000u);

  fake_pci::log.clear();
  testing::internal::CaptureStderr();
  uba_pci64_init(nic, /*force=*/1, /*mult=*/5);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Ulve PCI64 NIC is under full reset, doing init procedure now\n");
  EXPECT_THAT(fake_pci::log, ElementsAre(FakeAccess{false, 1, 0x43, 0x28}, FakeAccess{true, 2, 4, 0x0002},
                                         FakeAccess{true, 1, 0x43, 0x54}, FakeAccess{true, 1, 0x43, 0x58},
                                         FakeAccess{true, 1, 0x43, 0x20}, FakeAccess{true, 2, 6, 0x8000}));
  EXPECT_EQ(phys_bytes(BAR0 + 0x8041f8, 4), std::string("\x12\x34\x56\x58", 4));  // bits 4..6 = mult
  EXPECT_EQ(phys_bytes(BAR0 + 0x804050, 4), std::string("\x00\x00\x80\x00", 4));
}

TEST_F(Open, KxRegisterPort) {
  fake_pci::add(1, 0, 0, 0x1f5c, 0x4c3d).revision(4).bar(0, BAR0);
  fake_pci::use();
  uba_nic *nic = open_nic(0, UBA_KX, 0);
  uba_kx_port_write(nic, 0x0123, 0xbeef);
  EXPECT_EQ(phys_bytes(BAR0 + 0xfffc70, 2), "\x01\x23");
  EXPECT_EQ(phys_bytes(BAR0 + 0xfffc78, 2), "\xbe\xef");
  put_phys(BAR0 + 0xfffc78, "\xca\xfe");
  EXPECT_EQ(uba_kx_port_read(nic, 0x0042), 0xcafe);
  EXPECT_EQ(phys_bytes(BAR0 + 0xfffc70, 2), "\x80\x42");
}

TEST_F(Open, IoremapWithoutAMethodMappingUsesPhysicalMemory) {
  TempDir root;
  std::string mem = root.write("dev/mem", "");
  ASSERT_EQ(truncate(mem.c_str(), BAR0 + 0x2000), 0);
  uba_host.root = root.path().c_str();
  ze_board(1).bar(2, 0);
  fake_pci::have_mmap_bar = false;
  fake_pci::use();
  testing::internal::CaptureStderr();
  uba_nic *nic = open_nic(0, UBA_ZE, UBA_BAR0_SKIP);
  testing::internal::GetCapturedStderr();

  auto p = static_cast<volatile uint8_t *>(uba_ioremap(nic, 0, 0x1000));
  p[5] = 0x77;
  EXPECT_EQ(read_file(mem).substr(BAR0 + 5, 1), "\x77");
  EXPECT_EXIT(uba_ioremap(nic, 2, 0x1000), ExitedWithCode(1),
              MatchesRegex("ERROR:open\\.cpp:[0-9]+:01:00\\.0:Invalid bar 2\n\n"));
}

// The number is checked before the method maps anything: a number outside
// 0..5 would read past the BAR table, and an unassigned BAR (here also the
// upper half of BAR0's 64-bit pair) would map physical address 0.
TEST_F(Open, IoremapRefusesBarsThatCannotBeOrAreNotAssigned) {
  for (bool method_maps : {true, false}) {
    fake_pci::reset();
    ze_board(1).bar(0, BAR0 | 0x4).bar(2, 0);
    fake_pci::have_mmap_bar = method_maps;
    fake_pci::use();
    testing::internal::CaptureStderr();
    uba_nic *nic = open_nic(0, UBA_ZE, UBA_BAR_SKIP);
    testing::internal::GetCapturedStderr();
    for (int bar : {-1, 6, 7, 1, 2, 3}) {
      SCOPED_TRACE(testing::Message() << "bar " << bar << (method_maps ? " mapped by the method" : ""));
      EXPECT_EXIT(uba_ioremap(nic, bar, 0x1000), ExitedWithCode(1),
                  MatchesRegex("ERROR:open\\.cpp:[0-9]+:01:00\\.0:Invalid bar " + std::to_string(bar) + "\n\n"));
    }
  }
}

TEST(Ioremap, KeepsTheOffsetWithinThePageAndTakes64BitAddresses) {
  TempDir dir;
  std::string file = dir.write("phys", "");
  ASSERT_EQ(truncate(file.c_str(), 0x100003000ull), 0);
  int fd = open(file.c_str(), O_RDWR);
  ASSERT_EQ(pwrite(fd, "AB", 2, 0x1ffe), 2);
  ASSERT_EQ(pwrite(fd, "hi", 2, 0x100001234ull), 2);
  close(fd);

  auto p = static_cast<const char *>(ioremap_dev(file.c_str(), 0x1ffe, 4));
  EXPECT_EQ((uintptr_t)p & 0xfff, 0xffeu);
  EXPECT_EQ(std::string(p, 2), "AB");
  auto high = static_cast<const char *>(ioremap_dev(file.c_str(), 0x100001234ull, 2));
  EXPECT_EQ((uintptr_t)high & 0xfff, 0x234u);
  EXPECT_EQ(std::string(high, 2), "hi");
}

TEST(Ioremap, FailuresNameTheFileAddressAndSpan) {
  EXPECT_EXIT(ioremap_dev("/nonexistent/phys", 0x1ffe, 4), ExitedWithCode(1),
              Eq("opening /nonexistent/phys(1ffe,8192) failed:2:No such file or directory\n"));
  EXPECT_EXIT(ioremap_dev("/dev/null", 0x1000, 16), ExitedWithCode(1),
              Eq("mapping /dev/null(1000,4096) failed:19:No such device\n"));
  TempDir root;
  uba_host.root = root.path().c_str();  // no /proc/umem and no /dev/mem
  EXPECT_EXIT(ioremap_dev(nullptr, 0xfe000000, 0x1000000), ExitedWithCode(1),
              Eq("opening " + root.path() + "/dev/mem(fe000000,16777216) failed:2:No such file or directory\n"));
}

}  // namespace
