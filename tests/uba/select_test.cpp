// Board selection: slot texts, id texts and NIC generations.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_pci.h"

using testing::ElementsAreArray;

namespace {

class Select : public testing::Test {
 protected:
  void SetUp() override {
    fake_pci::reset();
    fake_pci::add(0, 0, 0, 0x8086, 0x0d57);
    fake_pci::add(0, 1, 0, 0x1f5c, 0x5e0a);
    fake_pci::add(0, 2, 0, 0x1f5c, 0x5e0b);
    fake_pci::add(0, 3, 0, 0x1f5c, 0x1234);   // the maker's, but no NIC
    fake_pci::add(1, 0, 0, 0x1b7e, 0x4c3d).revision(1);  // the second vendor id
    for (uint8_t rev : {0, 2, 3, 4, 5, 6, 7, 8}) fake_pci::add(2, rev, 0, 0x1f5c, 0x4c3d).revision(rev);
    fake_pci::add(2, 3, 0, 0x1f5c, 0x4c3d, /*domain=*/1).revision(3).multifunction();
    fake_pci::add(2, 3, 1, 0x8086, 0x0001, /*domain=*/1);
    fake_pci::add(3, 3, 0, 0x8086, 0x0002);
    fake_pci::use();
  }
  // Names of the selected functions, in the order given.
  static std::vector<std::string> select(uba_criteria_type_t type, uba_criteria_t criteria) {
    pci_dev_t *devs;
    int n;
    uba_select(type, criteria, &devs, &n);
    std::vector<std::string> v;
    for (int i = 0; i < n; i++) v.push_back(devs[i]->name);
    free(devs);
    return v;
  }
  static std::vector<std::string> select_text(uba_criteria_type_t type, const char *text) {
    uba_criteria_t c;
    c.str = text;
    return select(type, c);
  }
  static std::vector<std::string> select_mask(int mask) {
    uba_criteria_t c;
    c.mask = mask;
    return select(PCI_SELECT_ULVE_GENERATION, c);
  }
};

TEST_F(Select, SlotTexts) {
  struct {
    const char *text;
    std::vector<std::string> selected;
  } cases[] = {
      {"0001:02:03.1", {"0001:02:03.1"}},
      {"02:03.1", {"0001:02:03.1"}},
      {"02:03", {"02:03.0", "0001:02:03.0", "0001:02:03.1"}},
      {"0000:02:03.0", {"02:03.0"}},
      {"3:3.0", {"03:03.0"}},
      {"03", {"03:03.0"}},
      {"0003", {"03:03.0"}},  // four digits and nothing more: a bus, not a domain
      {"2:7.0", {"02:07.0"}},
      {"2:9", {}},
  };
  for (const auto &c : cases) EXPECT_THAT(select_text(PCI_SELECT_SLOT, c.text), ElementsAreArray(c.selected)) << c.text;
}

TEST_F(Select, IdTexts) {
  EXPECT_THAT(select_text(PCI_SELECT_ID, "1f5c:"),
              ElementsAreArray({"00:01.0", "00:02.0", "00:03.0", "02:00.0", "02:02.0", "02:03.0", "02:04.0",
                                "02:05.0", "02:06.0", "02:07.0", "02:08.0", "0001:02:03.0"}));
  EXPECT_THAT(select_text(PCI_SELECT_ID, "1f5c:5e0b"), ElementsAreArray({"00:02.0"}));
  EXPECT_THAT(select_text(PCI_SELECT_ID, "0x1b7e 4c3d"), ElementsAreArray({"01:00.0"}));
  EXPECT_THAT(select_text(PCI_SELECT_ID, ":5e0a"), ElementsAreArray({"00:01.0"}));
}

TEST_F(Select, AnyOtherTypeSelectsEverything) {
  EXPECT_EQ(select_text(static_cast<uba_criteria_type_t>(0), "1f5c:").size(), 16u);
}

TEST_F(Select, GenerationsByDeviceIdAndRevision) {
  struct {
    int mask;
    std::vector<std::string> selected;
  } cases[] = {
      {UBA_ZE, {"00:01.0", "00:02.0", "02:07.0"}},
      {UBA_K4, {"01:00.0"}},
      {UBA_PCI64, {"02:03.0", "0001:02:03.0"}},
      {UBA_KX, {"02:04.0", "02:05.0", "02:06.0"}},
      {UBA_UNKNOWN, {"02:00.0", "02:02.0", "02:08.0"}},
      {UBA_K4 | UBA_PCI64, {"01:00.0", "02:03.0", "0001:02:03.0"}},
      {0, {}},
  };
  for (const auto &c : cases) EXPECT_THAT(select_mask(c.mask), ElementsAreArray(c.selected)) << c.mask;
}

TEST_F(Select, RevisionIsReadOnlyForTheSharedDeviceId) {
  pci_scan_bus(pci_alloc());
  fake_pci::log.clear();
  select_mask(UBA_ZE | UBA_K4 | UBA_PCI64 | UBA_KX | UBA_UNKNOWN);
  EXPECT_EQ(fake_pci::log.size(), 10u);  // the ten 0x4c3d boards, one revision byte each
  for (const FakeAccess &a : fake_pci::log) EXPECT_EQ(a, (FakeAccess{false, 1, 8, a.value}));
}

TEST_F(Select, NoMatchGivesNullAndZero) {
  uba_criteria_t c;
  c.str = "7f:00.0";
  pci_dev_t *devs = reinterpret_cast<pci_dev_t *>(&c);
  int n = -1;
  uba_select(PCI_SELECT_SLOT, c, &devs, &n);
  EXPECT_EQ(devs, nullptr);
  EXPECT_EQ(n, 0);
}

TEST_F(Select, NoTextToSelectByStops) {
  EXPECT_EXIT(select_text(PCI_SELECT_SLOT, nullptr), testing::ExitedWithCode(1),
              testing::MatchesRegex("ERROR:select\\.cpp:[0-9]+:uba_select: no slot text to select by\n\n"));
  EXPECT_EXIT(select_text(PCI_SELECT_ID, nullptr), testing::ExitedWithCode(1),
              testing::MatchesRegex("ERROR:select\\.cpp:[0-9]+:uba_select: no id text to select by\n\n"));
}

TEST(Filter, FieldStepsAndMatching) {
  pci_filter f;
  uba_make_filter(PCI_SELECT_SLOT, "0001:02:03.1", &f);
  EXPECT_EQ(f.vid, -1);
  EXPECT_EQ(f.did, -1);
  EXPECT_EQ(f.domain, 1);
  EXPECT_EQ(f.bus, 2);
  EXPECT_EQ(f.slot, 3);
  EXPECT_EQ(f.func, 1);
  uba_make_filter(PCI_SELECT_ID, "1f5c:", &f);
  EXPECT_EQ(f.vid, 0x1f5c);
  EXPECT_EQ(f.did, -1);
  EXPECT_EQ(f.bus, -1);

  // One step: a hexadecimal number, then exactly one separator of any kind.
  const char *text = "  0x1a/b";
  int field = -1;
  uba_filter_one(&text, &field);
  EXPECT_EQ(field, 0x1a);
  EXPECT_STREQ(text, "b");
  text = "zz";
  uba_filter_one(&text, &field);  // nothing to read: the field stays, one character is passed
  EXPECT_EQ(field, 0x1a);
  EXPECT_STREQ(text, "z");

  pci_dev dev{};
  dev.vendor_id = 0x1f5c;
  dev.device_id = 0x5e0a;
  dev.domain = 0;
  dev.bus = 2;
  dev.dev = 3;
  dev.func = 1;
  uba_make_filter(PCI_SELECT_SLOT, "02:03.1", &f);
  EXPECT_TRUE(pci_filter_match(&f, &dev));
  dev.func = 0;
  EXPECT_FALSE(pci_filter_match(&f, &dev));
  uba_make_filter(PCI_SELECT_ID, "1f5c:5e0a", &f);
  EXPECT_TRUE(pci_filter_match(&f, &dev));
}

}  // namespace
