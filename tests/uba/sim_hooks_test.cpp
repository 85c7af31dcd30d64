// What the core library does while the simulator method is active: BAR
// mappings and the copy-block come from the simulator's state. The method
// is not linked here, so the state is set by hand, as the method would.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "fake_pci.h"
#include "test_util.h"
#include "uba_internal.h"

using testing::ExitedWithCode;
using testing::MatchesRegex;

namespace {

class SimHooks : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = uba_host;
    uba_host.root = root_.path().c_str();
    fake_pci::reset();
    fake_pci::add(0, 0, 0, 0x1f5c, 0x5e0a).bar(0, 0x1000000).bar(2, 0x3000000);
    fake_pci::use();
    pci_scan_bus(pci_alloc());
    nic_.dev = pci_alloc()->devices;
    zero_ = root_.write("dev/zero", "");
    ASSERT_EQ(truncate(zero_.c_str(), 0x100000), 0);
  }
  void TearDown() override {
    uba_sim = {};
    uba_host = saved_;
  }
  void activate() {
    uba_sim.active = 1;
    uba_sim.kavi_space = image_;
    uba_sim.dev = nic_.dev;
    uba_sim.cb.nb_pages = 3;
  }

  TempDir root_;
  std::string zero_;
  uba_host_t saved_;
  uba_nic nic_{};
  uint8_t image_[64] = {};
};

TEST_F(SimHooks, InactiveUnlessTheMethodActivatesIt) {
  EXPECT_EQ(uba_sim.active, 0);
  EXPECT_EQ(uba_sim.kavi_space, nullptr);
  // Inactive, BAR0 is the function's own.
  void *bar0 = uba_ioremap(&nic_, 0, 0x1000);
  EXPECT_NE(bar0, image_);
  iounmap_dev(bar0);
}

TEST_F(SimHooks, Bar0IsTheSharedImageAndBar2PlainMemory) {
  activate();
  EXPECT_EQ(uba_ioremap(&nic_, 0, 0x1000000), image_);

  auto *bar2 = static_cast<uint8_t *>(uba_ioremap(&nic_, 2, 0x100000));
  ASSERT_NE(bar2, nullptr);
  memcpy(bar2 + 0xffffc, "zero", 4);
  EXPECT_EQ(read_file(zero_).substr(0xffffc), "zero") << "BAR2 is the host's zero device, from its start";
  iounmap_dev(bar2);

  for (int bar : {1, 3, 5, -1, 6}) {
    SCOPED_TRACE(bar);
    EXPECT_EXIT(uba_ioremap(&nic_, bar, 0x1000), ExitedWithCode(1),
                MatchesRegex(library_error("open", "uba_ioremap:invalid bar " + std::to_string(bar) + "\n")));
  }
}

TEST_F(SimHooks, TheCopyBlockIsTheSimulatorsRecord) {
  activate();
  EXPECT_EQ(uba_get_copy_block(&nic_), &uba_sim.cb);
  EXPECT_EQ(uba_get_copy_block(&nic_)->nb_pages, 3u);
}

TEST(SimStubs, WithoutTheMethodProgrammedIoStops) {
  uint8_t word[4] = {};
  EXPECT_EXIT(fake_pci_pio_write(word, word, 4, "/src/caller.cpp", 7), ExitedWithCode(1),
              MatchesRegex(library_error("uba", "should not be here")));
  EXPECT_EXIT(fake_pci_pio_read(word, word, 4, "/src/caller.cpp", 7), ExitedWithCode(1),
              MatchesRegex(library_error("uba", "should not be here")));
}

}  // namespace
