// kload's handoff code in this process, against the card model served as
// an access method: the reflected CRC-32, the image's version header, the
// copy-block table filled from a /proc/copy-block fixture (the virtual host
// cannot show the card driver's file) and handed to the card, the
// hard-switch header and the load with their checks (a card whose debug
// window is dead shows them fail), and the soft-handoff block.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "program_run.h"
#include "ucp_images.h"
#include "uba_handoff.h"
#include "uba_internal.h"
#include "uba_model_method.h"

namespace {

using program_run::Bytes;
using program_run::put_be32;
using testing::ExitedWithCode;

// A UCP image with a version header of `header_size`, a copy-block table
// at `table` for `pages` pages.
Bytes ucp_image(uint32_t length, uint32_t header_size = 164, uint32_t table = 0x200, uint32_t pages = 3) {
  return ucp_images::ucp_image(length, {"handoff test", header_size, table, pages, 0});
}

Bytes cut(Bytes b, size_t length) {
  b.resize(length);
  return b;
}

class Handoff : public testing::Test {
 protected:
  void open(sim::BoardOptions o = {}) {
    sim::HostOptions h;
    h.boards = {o};
    host = std::make_unique<sim::Host>(h);
    sim::serve_in_process(*host);
    uba_pci_method(sim::UBA_PCI_MODEL);
    nic = uba_open(0, UBA_ZE, 0);
  }
  void TearDown() override { free(nic); }
  sim::Board &board() { return host->board(0); }
  uint8_t *sram() { return board().chip().sram(); }
  Bytes sram_bytes(uint32_t at, size_t n) { return Bytes(sram() + at, sram() + at + n); }

  std::unique_ptr<sim::Host> host;
  uba_nic *nic = nullptr;
};

// Sixteen bytes at a time and the rest one by one give the CRC-32 of its
// definition: zlib's, bit by bit, least significant first.
TEST(HandoffCrc, TheReflectedCrcIsZlibs) {
  const char *check = "123456789";
  EXPECT_EQ(uba_crc32_reflected(reinterpret_cast<const uint8_t *>(check), 9), 0xCBF43926u);
  EXPECT_EQ(uba_crc32_reflected(nullptr, 0), 0u);
  Bytes data(1000);
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(i * 167 + (i >> 3));
  for (size_t n : {1, 15, 16, 17, 31, 32, 33, 999, 1000}) {
    uint32_t crc = 0xffffffff;
    for (size_t i = 0; i < n; i++)
      for (int bit = 0; bit < 8; bit++) crc = ((crc ^ (data[i] >> bit)) & 1) ? crc >> 1 ^ 0xedb88320 : crc >> 1;
    EXPECT_EQ(uba_crc32_reflected(data.data(), n), ~crc) << n;
  }
}

// The version header is taken only where it lies inside the image, and
// its string never reaches past the image or 132 characters.
TEST(HandoffVersion, TheHeaderAndItsStringStayInsideTheImage) {
  Bytes image = ucp_image(0x400);
  char version[UCP_VERSION_MAX + 1];
  ASSERT_EQ(ucp_version_header(image.data(), image.size()), 0x100u);
  ucp_version_string(image.data(), image.size(), 0x100, version);
  EXPECT_STREQ(version, "handoff test");

  EXPECT_EQ(ucp_version_header(image.data(), 63), 0u);
  for (uint32_t at : {0u, 0x400u, 0x3fcu, 0xffffffffu}) {
    put_be32(image, 60, at);
    EXPECT_EQ(ucp_version_header(image.data(), image.size()), 0u) << at;
  }
  Bytes unended(0x108, 'v');
  put_be32(unended, 60, 0x100);
  ucp_version_string(unended.data(), unended.size(), 0x100, version);
  EXPECT_STREQ(version, "vvvv");
  Bytes long_one(0x400, 'w');
  ucp_version_string(long_one.data(), long_one.size(), 0x100, version);
  EXPECT_EQ(strlen(version), 132u);
}

// -d needs a version header big enough for the table's offset, a table,
// and a table that fits in the image.
TEST(HandoffCopyBlock, ATableIsNeededAndMustFit) {
  EXPECT_EQ(uba_copy_block_table(ucp_image(0x1000).data(), 0x1000), 0x200u);
  struct Case {
    const char *what;
    Bytes image;
    const char *message;
  } cases[] = {
      {"no version header", Bytes(0x1000, 0), "Invalid header for dma copy-block"},
      {"a header of 160 bytes", ucp_image(0x1000, 160), "Invalid header for dma copy-block"},
      {"a header cut by the image's end", cut(ucp_image(0x1000), 0x1a0), "Invalid header for dma copy-block"},
      {"no table", ucp_image(0x1000, 164, 0), "No copy_block_info available for this UCP but '-d' is used"},
      {"a table at the image's end", ucp_image(0x1000, 164, 0x1000),
       "No copy_block_info available for this UCP but '-d' is used"},
      {"a table too long", ucp_image(0x1000, 164, 0x200, 0x1c0),
       "The copy-block table at 0x200 for 448 pages does not fit in the UCP of 4096 bytes"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EXIT(uba_copy_block_table(c.image.data(), c.image.size()), ExitedWithCode(1),
                std::string("^ERROR:uba_handoff.h:[0-9]+:") + c.message + "\n$");
  }
}

// The pages of a /proc/copy-block of 16 pages, from -D's first page on,
// fill the table of a program that the card then boots: its firmware
// reads the valid word.
TEST_F(Handoff, TheCopyBlockFillsTheTableAndTheCardSeesItValid) {
  open();
  program_run::Scratch root;
  Bytes file(16 * 4096, 0xcc);
  for (int i = 0; i < 16; i++) {
    uint64_t address = 0x1234500000000ull + 0x1000ull * i;
    memcpy(file.data() + 8 * i, &address, 8);
  }
  program_run::write_bytes(root / "proc/copy-block", file);
  uba_host.root = root.path().c_str();
  testing::internal::CaptureStderr();
  uba_cb_t *cb = uba_get_copy_block(nic);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "map_size=64KB,nb=16,psize=4096\n");
  ASSERT_EQ(cb->nb_pages, 16u);

  Bytes image = ucp_image(0x1000);
  uint32_t table = uba_copy_block_table(image.data(), image.size());
  EXPECT_EXIT(uba_fill_copy_block(image.data(), table, cb, 14), ExitedWithCode(1),
              "^ERROR:uba_handoff.h:[0-9]+:UCP needs 3 dma pages, host CB has 16\n$");
  uba_fill_copy_block(image.data(), table, cb, 13);
  Bytes expected = ucp_image(0x1000);
  for (uint32_t i = 0; i < 3; i++) {
    put_be32(expected, 0x208 + 8 * i, 0x12345);
    put_be32(expected, 0x20c + 8 * i, 0x1000 * (13 + i));
  }
  put_be32(expected, 0x204, 1);
  EXPECT_EQ(image, expected);

  kram_t k{};
  kram_open_map(&k, nic->base);
  ASSERT_EQ(uba_write_hard_switch(&k, image.data(), image.size(), false), 0);
  testing::internal::CaptureStderr();
  uba_load_verified(&k, UBA_HARD_SWITCH_LOAD, image.data(), image.size());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Verifying Load\n");
  EXPECT_EQ(image, expected);
  board().reset();
  EXPECT_EQ(board().firmware().program().copy_block_valid, 1u);
  EXPECT_EQ(sram_bytes(0, image.size()), expected);
  free(cb->dma_addr);
  free(const_cast<char *>(cb->dev_name));
  free(cb);
  uba_host.root = "";
}

// The header through the debug window, with either CRC; on a card whose
// debug window is dead (it reads all ones and takes nothing) the header's
// check tells what it read, and the load's check stops the program.
TEST_F(Handoff, TheHeaderAndTheLoadAreCheckedByReadingBack) {
  open();
  kram_t k{};
  kram_open_cfg(&k, nic);
  Bytes image = cut(ucp_image(0x1000), 0x40);
  ASSERT_EQ(uba_write_hard_switch(&k, image.data(), image.size(), false), 0);
  Bytes header(12);
  put_be32(header, 0, 0x6c6f6165);
  put_be32(header, 4, 0x40);
  put_be32(header, 8, crc32(image.data(), image.size()));
  EXPECT_EQ(sram_bytes(0x140000, 12), header);
  ASSERT_EQ(uba_write_hard_switch(&k, image.data(), image.size(), true), 0);
  uint32_t reflected = uba_crc32_reflected(image.data(), image.size());
  EXPECT_EQ(sram_bytes(0x140008, 4),
            (Bytes{uint8_t(reflected), uint8_t(reflected >> 8), uint8_t(reflected >> 16), uint8_t(reflected >> 24)}));
}

TEST_F(Handoff, ADeadWindowFailsBothChecks) {
  sim::BoardOptions o;
  o.dead_from = 0x90;  // the capability's header answers, its debug registers do not
  open(o);
  kram_t k{};
  kram_open_cfg(&k, nic);
  Bytes image = cut(ucp_image(0x1000), 0x40);
  testing::internal::CaptureStderr();
  EXPECT_EQ(uba_write_hard_switch(&k, image.data(), image.size(), false), 1);
  char expected[160];
  snprintf(expected, sizeof expected,
           "ERROR: HDR did not make it:\nwritten=0x00000040 0x6c6f6165 0x%08x\nreread=0xffffffff 0xffffffff 0xffffffff\n",
           crc32(image.data(), image.size()));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
  EXPECT_EXIT(uba_load_verified(&k, UBA_HARD_SWITCH_LOAD, image.data(), image.size()), ExitedWithCode(1),
              "^Verifying Load\nERROR:uba_handoff.h:[0-9]+:ERROR: UCP not properly reread\n\n$");
}

// Sixteen words at BAR0 + 0xfc0000, which the running firmware takes at
// its next look.
TEST_F(Handoff, TheSoftHandoffBlock) {
  open();
  Bytes image = ucp_image(0x1000);
  std::copy(image.begin(), image.end(), sram() + UBA_HARD_SWITCH_LOAD);
  uba_soft_handoff(nic->base, UBA_HARD_SWITCH_LOAD, image.size(), 8);
  const uint8_t *block = board().chip().bar0().data() + UBA_HANDOFF;
  Bytes expected(64, 0);
  const uint32_t words[] = {0xffffffff, 0xffffffff, 0x6b636168, 0x140014, 0xff8, 8, 8};
  for (size_t i = 0; i < std::size(words); i++) put_be32(expected, 4 * i, words[i]);
  EXPECT_EQ(Bytes(block, block + 64), expected);
  board().bar0_written(UBA_HANDOFF, 64);
  EXPECT_EQ(board().firmware().handoffs(), 1u);
  EXPECT_EQ(sram_bytes(8, 0xff8), Bytes(image.begin() + 8, image.end()));
  EXPECT_EXIT(uba_soft_handoff(nic->base, UBA_HARD_SWITCH_LOAD, 4, 8), ExitedWithCode(1),
              "^ERROR:uba_handoff.h:[0-9]+:uba_soft_handoff:an image of 4 bytes has no 8 bytes to skip\n$");
}

}  // namespace
