// The bus scan over the fake method: the list, bridges and parents, the
// multi-function rule, the bus-2 quirk, the header read and rescan.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_pci.h"
#include "test_util.h"

using testing::ElementsAre;
using testing::ExitedWithCode;
using testing::MatchesRegex;

namespace {

class Scan : public testing::Test {
 protected:
  void SetUp() override { fake_pci::reset(); }
  // Scans with the fake and returns the names of the listed functions.
  std::vector<std::string> scan() {
    fake_pci::use();
    return scan_with(fake_pci::METHOD);
  }
};

TEST_F(Scan, EmptyHostGivesEmptyList) {
  EXPECT_TRUE(scan().empty());
  EXPECT_EQ(fake_pci::init_calls, 1);
}

TEST_F(Scan, ListsInDomainBusDeviceFunctionOrderWithNames) {
  fake_pci::add(3, 0, 0, 0x1f5c, 0x5e0a);
  fake_pci::add(0, 2, 0, 0x8086, 0x1234);
  fake_pci::add(0, 0, 0, 0x8086, 0x0001);
  fake_pci::add(1, 0x1f, 0, 0x10de, 0x0002, /*domain=*/0x3f);
  fake_pci::add(0, 3, 0, 0xffff, 0xffff);  // nothing answers there
  fake_pci::add(0, 4, 0, 0x0000, 0x0000);
  EXPECT_THAT(scan(), ElementsAre("00:00.0", "00:02.0", "03:00.0", "003f:01:1f.0"));
  pci_dev *nic = listed("03:00.0");
  EXPECT_EQ(nic->vendor_id, 0x1f5c);
  EXPECT_EQ(nic->device_id, 0x5e0a);
  EXPECT_EQ(nic->pci, pci_alloc());
  EXPECT_STREQ(uba_pci_name(nic), "03:00.0");
}

TEST_F(Scan, WithoutHasBusEveryBusIsTried) {
  fake_pci::have_has_bus = false;
  fake_pci::add(0, 0, 0, 0x8086, 0x0001);
  fake_pci::add(0xff, 0x1f, 0, 0x8086, 0x0002, /*domain=*/0x3f);
  fake_pci::add(0, 0, 0, 0x8086, 0x0003, /*domain=*/0x40);  // beyond the domains scanned
  EXPECT_THAT(scan(), ElementsAre("00:00.0", "003f:ff:1f.0"));
}

TEST_F(Scan, ScanIsDoneOncePerProcess) {
  fake_pci::add(0, 0, 0, 0x8086, 0x0001);
  scan();
  size_t accesses = fake_pci::log.size();
  pci_scan_bus(pci_alloc());
  EXPECT_EQ(fake_pci::log.size(), accesses);
  EXPECT_EQ(fake_pci::init_calls, 1);
}

TEST_F(Scan, HeaderReadGivesIdsIrqAndRawBarsWith64BitPairs) {
  fake_pci::add(0, 1, 0, 0x1f5c, 0x5e0a)
      .bar(0, 0xfe00000c)  // 64-bit prefetchable memory BAR: BAR1 holds its top half
      .bar(1, 0x00000001)
      .bar(2, 0xfd000000)
      .bar(4, 0x0000e001)  // I/O BAR, flags kept
      .w8(0x3c, 11);
  scan();
  pci_dev *d = listed("00:01.0");
  EXPECT_EQ(d->irq, 11);
  EXPECT_EQ(d->base_addr[0], 0x1fe00000cull);
  EXPECT_EQ(d->base_addr[1], 0u);
  EXPECT_EQ(d->base_addr[2], 0xfd000000u);
  EXPECT_EQ(d->base_addr[4], 0xe001u);
  for (uint64_t size : d->size) EXPECT_EQ(size, 0u);
}

TEST_F(Scan, BridgesBecomeParentsOfTheirSecondaryBus) {
  fake_pci::add(0, 1, 0, 0x8086, 0x0101).bridge_to(3);
  fake_pci::add(0, 2, 0, 0x8086, 0x0102);
  fake_pci::add(3, 0, 0, 0x10b5, 0x0001).bridge_to(5);
  fake_pci::add(3, 1, 0, 0x1f5c, 0x5e0a);
  fake_pci::add(5, 0, 0, 0x1f5c, 0x5e0b);
  scan();
  pci_dev *root_port = listed("00:01.0"), *sw = listed("03:00.0");
  EXPECT_TRUE(root_port->is_bridge);
  EXPECT_EQ(root_port->secondary_bus, 3);
  EXPECT_EQ(root_port->parent, nullptr);
  EXPECT_FALSE(listed("00:02.0")->is_bridge);
  EXPECT_EQ(listed("00:02.0")->parent, nullptr);
  EXPECT_EQ(sw->parent, root_port);
  EXPECT_EQ(listed("03:01.0")->parent, root_port);
  EXPECT_EQ(listed("05:00.0")->parent, sw);
}

TEST_F(Scan, BridgeClaimsAreKeptPerDomain) {
  fake_pci::add(0, 1, 0, 0x8086, 0x0101).bridge_to(2);
  fake_pci::add(0, 1, 0, 0x8086, 0x0101, /*domain=*/1).bridge_to(2);
  fake_pci::add(2, 0, 0, 0x1f5c, 0x5e0a, /*domain=*/1);
  scan();
  EXPECT_EQ(listed("0001:02:00.0")->parent, listed("0001:00:01.0"));
}

TEST_F(Scan, BridgeClaimingItsOwnBusIsNotItsOwnParent) {
  fake_pci::add(0, 1, 0, 0x8086, 0x0101).bridge_to(0);
  scan();
  EXPECT_EQ(listed("00:01.0")->parent, nullptr);
}

TEST_F(Scan, TwoBridgesClaimingOneBusStopTheProgram) {
  fake_pci::add(0, 1, 0, 0x8086, 0x0101).bridge_to(3);
  fake_pci::add(0, 2, 0, 0x8086, 0x0101).bridge_to(3);
  EXPECT_EXIT(scan(), ExitedWithCode(1), MatchesRegex("ERROR:pci_scan\\.cpp:[0-9]+:Two bridges claim bus number 3\n\n"));
}

TEST_F(Scan, OnlyMultiFunctionDevicesAreProbedBeyondFunctionZero) {
  fake_pci::add(0, 1, 0, 0x8086, 0x0001);  // single function: function 2 is never looked at
  fake_pci::add(0, 1, 2, 0x8086, 0x0002);
  fake_pci::add(0, 2, 0, 0x8086, 0x0003).multifunction();
  fake_pci::add(0, 2, 3, 0x8086, 0x0004);
  fake_pci::add(0, 2, 7, 0x8086, 0x0005);
  fake_pci::add(0, 3, 1, 0x8086, 0x0006);  // no function 0: nothing of device 3 is looked at
  EXPECT_THAT(scan(), ElementsAre("00:01.0", "00:02.0", "00:02.3", "00:02.7"));
}

TEST_F(Scan, SwitchQuirkEndsTheScanOfBusTwoOnly) {
  fake_pci::add(2, 1, 0, 0x8086, 0x0001);
  fake_pci::add(2, 4, 0, 0x10b5, 0x8532).multifunction();
  fake_pci::add(2, 4, 1, 0x8086, 0x0002);
  fake_pci::add(2, 5, 0, 0x8086, 0x0003);
  fake_pci::add(3, 0, 0, 0x8086, 0x0004);
  fake_pci::add(1, 4, 0, 0x10b5, 0x8532);  // the same switch elsewhere changes nothing
  fake_pci::add(1, 5, 0, 0x8086, 0x0005);
  EXPECT_THAT(scan(), ElementsAre("01:04.0", "01:05.0", "02:01.0", "02:04.0", "03:00.0"));
}

TEST_F(Scan, RescanClosesEveryDeviceFinishesTheMethodAndScansAfresh) {
  fake_pci::add(0, 0, 0, 0x8086, 0x0001);
  fake_pci::add(0, 1, 0, 0x8086, 0x0002);
  scan();
  uba_pci_rescan();
  EXPECT_EQ(fake_pci::close_calls, 2);
  EXPECT_EQ(fake_pci::fini_calls, 1);
  EXPECT_EQ(pci_alloc()->devices, nullptr);
  uba_pci_rescan();  // nothing scanned: nothing to do
  EXPECT_EQ(fake_pci::fini_calls, 1);

  fake_pci::add(0, 2, 0, 0x8086, 0x0003);
  pci_scan_bus(pci_alloc());
  EXPECT_EQ(fake_pci::init_calls, 2);
  EXPECT_NE(listed("00:02.0"), nullptr);
}

TEST_F(Scan, AccessorsDispatchToTheMethod) {
  FakeFunction &f = fake_pci::add(0, 0, 0, 0x8086, 0x0001);
  f.w32(0x40, 0x44332211);
  scan();
  pci_dev *d = listed("00:00.0");
  fake_pci::log.clear();
  EXPECT_EQ(pci_read_byte(d, 0x41), 0x22u);
  EXPECT_EQ(pci_read_word(d, 0x42), 0x4433u);
  EXPECT_EQ(pci_read_long(d, 0x40), 0x44332211u);
  EXPECT_EQ(pci_write_byte(d, 0x50, 0xab), 1);
  pci_write_word(d, 0x52, 0xcdef);
  pci_write_long(d, 0x54, 0x01020304);
  EXPECT_EQ(f.r32(0x50), 0xcdef00abu);
  EXPECT_EQ(f.r32(0x54), 0x01020304u);
  EXPECT_THAT(fake_pci::log, ElementsAre(FakeAccess{false, 1, 0x41, 0x22}, FakeAccess{false, 2, 0x42, 0x4433},
                                         FakeAccess{false, 4, 0x40, 0x44332211}, FakeAccess{true, 1, 0x50, 0xab},
                                         FakeAccess{true, 2, 0x52, 0xcdef}, FakeAccess{true, 4, 0x54, 0x01020304}));

  uint8_t block[5];
  fake_pci::log.clear();
  EXPECT_EQ(pci_read_block(d, 0x40, block, 5), 1);
  EXPECT_THAT(block, ElementsAre(0x11, 0x22, 0x33, 0x44, 0x00));
  EXPECT_EQ(fake_pci::log.size(), 5u);  // one byte read each
}

// A register layout in the shape of the PCI Express device control register.
struct devctl_t {
  uint16_t correctable : 1, non_fatal : 1, fatal : 1, unsupported : 1, relaxed : 1, payload : 3, rest : 8;
};

TEST_F(Scan, BitFieldAccessorsCarryWholeRegisters) {
  FakeFunction &f = fake_pci::add(0, 0, 0, 0x8086, 0x0001);
  f.w16(0x48, 0x2810);
  f.w32(0x60, 0xdeadbeef);
  scan();
  pci_dev *d = listed("00:00.0");

  devctl_t ctl;
  pci_read_bitfield(d, 0x48, ctl);
  EXPECT_EQ(ctl.relaxed, 1);
  EXPECT_EQ(ctl.payload, 0);
  EXPECT_EQ(ctl.rest, 0x28);
  ctl.payload = 1;
  fake_pci::log.clear();
  pci_write_bitfield(d, 0x48, ctl);
  EXPECT_THAT(fake_pci::log, ElementsAre(FakeAccess{true, 2, 0x48, 0x2830}));

  uint8_t byte;
  uint32_t word;
  pci_read_bitfield(d, 0x61, byte);
  pci_read_bitfield(d, 0x60, word);
  EXPECT_EQ(byte, 0xbe);
  EXPECT_EQ(word, 0xdeadbeefu);
  word = 0x12345678;
  pci_write_bitfield(d, 0x60, word);
  EXPECT_EQ(f.r32(0x60), 0x12345678u);

  char three[3] = {};
  EXPECT_DEATH(_pci_read_bitfield(d, 0x60, three, 3), "");
  EXPECT_DEATH(_pci_write_bitfield(d, 0x60, three, 3), "");
}

}  // namespace
