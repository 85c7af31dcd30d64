// The copy-block: through the card driver's requests and its mapping
// window (a fake driver serving a card file of a file tree), and through a
// /proc/copy-block fixture.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/mman.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "test_util.h"
#include "uba_drv.h"
#include "uba_internal.h"

using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::ExitedWithCode;
using testing::IsEmpty;
using testing::MatchesRegex;

namespace {

struct CbRequest {
  unsigned long number;
  uba_cb_param param;  // as it arrived (zero for the page list)
  bool operator==(const CbRequest &o) const {
    return number == o.number && memcmp(&param, &o.param, sizeof param) == 0;
  }
};

std::ostream &operator<<(std::ostream &os, const CbRequest &r) {
  return os << "request 0x" << std::hex << r.number << " {" << std::dec << r.param.order << ", " << r.param.nb_pages
            << ", " << r.param.nid << ", " << r.param.nid_nb << "}";
}

// The card driver's side of the copy-block requests.
namespace driver {

std::optional<uba_cb_param> block;  // the existing copy-block
std::vector<uint64_t> pages;        // its page addresses
bool alloc_fails;
std::vector<CbRequest> log;

int ioctl(int, unsigned long number, void *arg) {
  auto *param = static_cast<uba_cb_param *>(arg);
  if (number == UBADRV_CB_PAGES) {
    log.push_back({number, {}});
    if (!block) return errno = EINVAL, -1;
    memcpy(arg, pages.data(), block->nb_pages * sizeof(uint64_t));
    return 0;
  }
  log.push_back({number, number == UBADRV_CB_GET ? uba_cb_param{} : *param});
  if (number == UBADRV_CB_GET) {
    if (!block) return errno = ENOENT, -1;
    *param = *block;
    return 0;
  }
  if (number == UBADRV_CB_ALLOC) {
    if (alloc_fails) return errno = ENOMEM, -1;
    block = *param;
    return 0;
  }
  return errno = ENOTTY, -1;
}

}  // namespace driver

constexpr CbRequest GET{UBADRV_CB_GET, {}};
constexpr CbRequest PAGES{UBADRV_CB_PAGES, {}};
CbRequest alloc(uba_cb_param p) { return {UBADRV_CB_ALLOC, p}; }

class CopyBlock : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = uba_host;
    uba_host.root = root_.path().c_str();
    uba_host.ioctl = driver::ioctl;
    driver::block.reset();
    driver::pages.clear();
    driver::alloc_fails = false;
    driver::log.clear();
    card_file_ = root_.write("proc/uba0", "");
  }
  void TearDown() override {
    if (card_.handle > 0) close(card_.handle);
    uba_host = saved_;
  }

  // A board reached through access method `method`; through the driver its
  // device holds the open card file, as the driver method leaves it.
  uba_nic *board(int method) {
    access_.method = method;
    card_.pci = &access_;
    snprintf(card_.devfs_name, sizeof card_.devfs_name, "%s", card_file_.c_str());
    if (method == UBA_PCI_UBADRV && card_.handle <= 0) card_.handle = open(card_file_.c_str(), O_RDWR);
    nic_.dev = &card_;
    return &nic_;
  }

  TempDir root_;
  std::string card_file_;
  uba_host_t saved_;
  pci_access access_{};
  pci_dev card_{};
  uba_nic nic_{};
};

TEST_F(CopyBlock, InitMakesABlockWhenTheDriverHasNone) {
  uba_init_copy_block(board(UBA_PCI_UBADRV), nullptr);
  EXPECT_THAT(driver::log, ElementsAre(GET, alloc({.order = 0, .nb_pages = 16384, .nid = 0, .nid_nb = 1})));

  driver::block.reset();
  driver::log.clear();
  const uba_cb_param mine = {.order = 2, .nb_pages = 64, .nid = 1, .nid_nb = 2};
  uba_init_copy_block(board(UBA_PCI_UBADRV), &mine);
  EXPECT_THAT(driver::log, ElementsAre(GET, alloc(mine)));
}

TEST_F(CopyBlock, InitAcceptsAnExistingBlockOfTheSameSizeOrWithoutParameters) {
  driver::block = uba_cb_param{.order = 0, .nb_pages = 16, .nid = 0, .nid_nb = 1};
  const uba_cb_param same = {.order = 3, .nb_pages = 16, .nid = 0, .nid_nb = 1};
  uba_init_copy_block(board(UBA_PCI_UBADRV), nullptr);
  uba_init_copy_block(board(UBA_PCI_UBADRV), &same);
  EXPECT_THAT(driver::log, ElementsAre(GET, GET));

  const uba_cb_param other = {.order = 0, .nb_pages = 32, .nid = 0, .nid_nb = 1};
  EXPECT_EXIT(uba_init_copy_block(board(UBA_PCI_UBADRV), &other), ExitedWithCode(1),
              MatchesRegex(library_error("copy_block", "copy-block already exist with 16 pages != requested 32\n")));
}

TEST_F(CopyBlock, InitStopsWhenTheDriverCannotMakeTheBlock) {
  driver::alloc_fails = true;
  EXPECT_EXIT(uba_init_copy_block(board(UBA_PCI_UBADRV), nullptr), ExitedWithCode(1),
              MatchesRegex(library_error("copy_block", "ioctl:error Cannot allocate memory")));
}

TEST_F(CopyBlock, InitDoesNothingThroughOtherMethods) {
  for (int method : {UBA_PCI_PROC, UBA_PCI_MM, UBA_PCI_IOCF8}) {
    SCOPED_TRACE(method);
    uba_init_copy_block(board(method), nullptr);
    EXPECT_THAT(driver::log, IsEmpty());
  }
}

TEST_F(CopyBlock, ThroughTheDriverTheBlockIsTheCardFilesWindow) {
  const uint32_t page = getpagesize();
  driver::block = uba_cb_param{.order = 0, .nb_pages = 4, .nid = 0, .nid_nb = 1};
  driver::pages = {0x7f000000, 0x7f200000, 0x12345000, 0x100000000};
  int fd = open(card_file_.c_str(), O_RDWR);
  ASSERT_EQ(ftruncate(fd, UBADRV_COPY_BLOCK_OFFSET + 4 * page), 0);  // sparse
  ASSERT_EQ(pwrite(fd, "first", 5, UBADRV_COPY_BLOCK_OFFSET), 5);
  ASSERT_EQ(pwrite(fd, "last", 4, UBADRV_COPY_BLOCK_OFFSET + 4 * page - 4), 4);

  uba_cb_t *cb = uba_get_copy_block(board(UBA_PCI_UBADRV));
  EXPECT_THAT(driver::log, ElementsAre(GET, PAGES));
  EXPECT_EQ(cb->nb_pages, 4u);
  EXPECT_EQ(cb->page_size, page);
  EXPECT_EQ(cb->map_size, 4 * page);
  EXPECT_STREQ(cb->dev_name, card_file_.c_str());
  EXPECT_THAT(std::vector<uint64_t>(cb->dma_addr, cb->dma_addr + 4), ElementsAreArray(driver::pages));
  EXPECT_EQ(std::string((char *)cb->map, 5), "first");
  EXPECT_EQ(std::string((char *)cb->map + cb->map_size - 4, 4), "last");
  memcpy(cb->map + page, "seen", 4);
  char back[4];
  ASSERT_EQ(pread(fd, back, 4, UBADRV_COPY_BLOCK_OFFSET + page), 4);
  EXPECT_EQ(std::string(back, 4), "seen");
  close(fd);
  munmap(cb->map, cb->map_size);
  free(cb->dma_addr);
  free(const_cast<char *>(cb->dev_name));
  free(cb);

  driver::block.reset();
  EXPECT_EXIT(uba_get_copy_block(board(UBA_PCI_UBADRV)), ExitedWithCode(1),
              MatchesRegex(library_error("copy_block", "ioctl:error No such file or directory")));
}

TEST_F(CopyBlock, ElsewhereTheBlockIsProcCopyBlock) {
  if (getpagesize() != 4096) GTEST_SKIP() << "the sizes line below is for 4 KiB pages";
  // 64 KiB: the file reads as the page addresses first; mapped, the same
  // bytes are the start of the pages.
  std::vector<uint64_t> addresses;
  for (uint64_t i = 0; i < 16; i++) addresses.push_back(0x80000000 + 0x3000 * i);
  std::string content(65536, '\0');
  memcpy(content.data(), addresses.data(), addresses.size() * sizeof(uint64_t));
  memcpy(content.data() + 65532, "tail", 4);
  std::string file = root_.write("proc/copy-block", content);

  testing::internal::CaptureStderr();
  uba_cb_t *cb = uba_get_copy_block(board(UBA_PCI_PROC));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "map_size=64KB,nb=16,psize=4096\n");
  EXPECT_THAT(driver::log, IsEmpty());
  EXPECT_EQ(cb->nb_pages, 16u);
  EXPECT_EQ(cb->page_size, 4096u);
  EXPECT_EQ(cb->map_size, 65536u);
  EXPECT_STREQ(cb->dev_name, file.c_str());
  EXPECT_THAT(std::vector<uint64_t>(cb->dma_addr, cb->dma_addr + 16), ElementsAreArray(addresses));
  EXPECT_EQ(std::string((char *)cb->map + 65532, 4), "tail");
  memcpy(cb->map + 8192, "seen", 4);
  EXPECT_EQ(read_file(file).substr(8192, 4), "seen");
  munmap(cb->map, cb->map_size);
  free(cb->dma_addr);
  free(const_cast<char *>(cb->dev_name));
  free(cb);
}

TEST_F(CopyBlock, WithoutProcCopyBlockTheProgramStops) {
  std::string file = root_.path() + "/proc/copy-block";
  EXPECT_EXIT(uba_get_copy_block(board(UBA_PCI_PROC)), ExitedWithCode(1),
              MatchesRegex(re_escape("ERROR:open(" + file + ",0x2):No such file or directory\n")));
}

}  // namespace
