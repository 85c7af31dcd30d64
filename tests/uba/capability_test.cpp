// The capability walks: standard, HyperTransport and PCI Express extended.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_pci.h"

using testing::ExitedWithCode;

namespace {

class Capabilities : public testing::Test {
 protected:
  // The device under test, on a host of its own.
  FakeFunction &f = (fake_pci::reset(), fake_pci::add(0, 0, 0, 0x1f5c, 0x5e0a));
  pci_dev *dev() {
    fake_pci::use();
    pci_scan_bus(pci_alloc());
    return pci_alloc()->devices;
  }
};

TEST_F(Capabilities, FindsTheNthCapabilityOfAnId) {
  f.capabilities({{0x40, 0x01}, {0x50, 0x10}, {0x60, 0x09}, {0x70, 0x09}, {0x88, 0x05}});
  pci_dev *d = dev();
  struct {
    unsigned id, idx;
    int pos;
  } cases[] = {{0x01, 0, 0x40}, {0x10, 0, 0x50}, {0x09, 0, 0x60}, {0x09, 1, 0x70},
               {0x09, 2, 0},    {0x05, 0, 0x88}, {0x11, 0, 0}};
  for (auto c : cases) EXPECT_EQ(uba_find_capability_n(d, c.id, c.idx), c.pos) << c.id << "/" << c.idx;
}

TEST_F(Capabilities, PointersHaveTheirLowTwoBitsCleared) {
  f.capabilities({{0x40, 0x01}, {0x50, 0x10}});
  f.w8(0x34, 0x43);
  f.w8(0x41, 0x52);
  EXPECT_EQ(uba_find_capability_n(dev(), 0x10, 0), 0x50);
}

TEST_F(Capabilities, NoListWithoutTheStatusBit) {
  f.capabilities({{0x40, 0x10}});
  f.w16(0x06, 0);  // capabilities-list bit clear: the pointer at 0x34 means nothing
  EXPECT_EQ(uba_find_capability_n(dev(), 0x10, 0), 0);
}

TEST_F(Capabilities, DeadPointerStopsTheProgram) {
  f.capabilities({{0x40, 0x01}});
  f.w8(0x41, 0xff);
  pci_dev *d = dev();
  EXPECT_EXIT(uba_find_capability_n(d, 0x10, 0), ExitedWithCode(1),
              testing::Eq("ERROR:uba_cfg_space_capability: cap_ptr =0xff\n"));
  EXPECT_EXIT(uba_find_hyper_capability(d, 0, 0), ExitedWithCode(1),
              testing::Eq("ERROR:uba_cfg_space_capability: cap_ptr =0xff\n"));
}

TEST_F(Capabilities, LoopingListsEndAsNotFound) {
  f.capabilities({{0x40, 0x01}, {0x50, 0x05}, {0x60, 0x08}});
  f.w8(0x61, 0x40);  // back to the start
  pci_dev *d = dev();
  EXPECT_EQ(uba_find_capability_n(d, 0x05, 0), 0x50);
  EXPECT_EQ(uba_find_capability_n(d, 0x10, 0), 0);
  EXPECT_EQ(uba_find_capability_n(d, 0x05, 1), 0);  // a loop does not find an entry twice
  EXPECT_EQ(uba_find_hyper_capability(d, 0x1f, 0), 0);
  f.w8(0x41, 0x40);  // an entry pointing at itself
  EXPECT_EQ(uba_find_capability_n(d, 0x10, 0), 0);
}

TEST_F(Capabilities, HyperTransportWalkMatchesInterfaceTypeOrFullType) {
  // Byte 3 of each HyperTransport capability: the top five bits of its
  // command word. 0x00: slave/primary interface (type 000xx); 0x20:
  // host/secondary (001xx); 0xa8: a full type 0x15.
  f.capabilities({{0x40, 0x08}, {0x50, 0x01}, {0x60, 0x08}, {0x70, 0x08}, {0x80, 0x08}});
  f.w8(0x43, 0x00);
  f.w8(0x63, 0x20);
  f.w8(0x73, 0xa8);
  f.w8(0x83, 0x38);  // type 0x07: interface type 001 as well, so an id-4 match
  pci_dev *d = dev();
  struct {
    unsigned id, idx;
    int pos;
  } cases[] = {{0, 0, 0x40}, {4, 0, 0x60}, {4, 1, 0x80}, {4, 2, 0}, {0x15, 0, 0x70}, {0x14, 0, 0}};
  for (auto c : cases) EXPECT_EQ(uba_find_hyper_capability(d, c.id, c.idx), c.pos) << c.id << "/" << c.idx;
}

TEST_F(Capabilities, ExtendedCapabilitiesFollowTheirNextPointers) {
  f.ext_capabilities({{0x100, 0x0001}, {0x148, 0x000b}, {0x300, 0x0019}});
  pci_dev *d = dev();
  EXPECT_EQ(uba_find_ext_capability(d, 0x0001), 0x100);
  EXPECT_EQ(uba_find_ext_capability(d, 0x000b), 0x148);
  EXPECT_EQ(uba_find_ext_capability(d, 0x0019), 0x300);
  EXPECT_EQ(uba_find_ext_capability(d, 0x0002), 0);  // the last header's next pointer is 0
}

TEST_F(Capabilities, BrokenExtendedListsEndInsideTheSpace) {
  pci_dev *d = dev();
  f.w32(0x100, 0x10010001);  // points back at itself
  EXPECT_EQ(uba_find_ext_capability(d, 0x0002), 0);
  f.w32(0x100, 0xffffffff);  // a dead device; no read may cross the end of the space
  fake_pci::log.clear();
  EXPECT_EQ(uba_find_ext_capability(d, 0x0002), 0);
  for (const FakeAccess &a : fake_pci::log) EXPECT_LE(a.reg + a.width, 4096u);
}

TEST_F(Capabilities, UnreadableExtendedSpaceWarnsAndFindsNothing) {
  f.ext_capabilities({{0x100, 0x0001}});
  fake_pci::ext_conf = false;
  pci_dev *d = dev();
  EXPECT_EQ(uba_can_access_ext_conf(d), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(uba_find_ext_capability(d, 0x0001), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning:uba_find_ext_capability:00:00.0:ext-conf unreadable with \"fake\"\n");
}

}  // namespace
