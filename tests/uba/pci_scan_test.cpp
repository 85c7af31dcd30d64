// The bus scan over the fake method: the list, bridges and parents, the
// multi-function rule, the bus-2 quirk, and rescan.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_pci.h"
#include "uba_internal.h"

using testing::ElementsAre;
using testing::MatchesRegex;

namespace {

class Scan : public testing::Test {
 protected:
  void SetUp() override { fake_pci::reset(); }
  // Scans with the fake and returns the names of the listed functions.
  std::vector<std::string> scan() {
    fake_pci::use();
    pci_scan_bus(pci_alloc());
    std::vector<std::string> names;
    for (pci_dev *d = pci_alloc()->devices; d; d = d->next) names.push_back(d->name);
    return names;
  }
  pci_dev *listed(const char *name) {
    for (pci_dev *d = pci_alloc()->devices; d; d = d->next)
      if (std::string(d->name) == name) return d;
    return nullptr;
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
  EXPECT_THAT(scan(), ElementsAre("00:00.0", "00:02.0", "03:00.0", "003f:01:1f.0"));
  pci_dev *nic = listed("03:00.0");
  EXPECT_EQ(nic->vendor_id, 0x1f5c);
  EXPECT_EQ(nic->device_id, 0x5e0a);
  EXPECT_STREQ(uba_pci_name(nic), "03:00.0");
}

}  // namespace
