// The ubadrv access method over card files of a file tree and a fake
// driver that serves configuration requests from memory: the probe, the
// functions a card shows, the requests, and the BAR windows.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "test_util.h"
#include "uba_drv.h"
#include "uba_internal.h"

using testing::ElementsAre;
using testing::ExitedWithCode;
using testing::IsEmpty;
using testing::MatchesRegex;

namespace {

struct Request {
  int card;
  unsigned long number;
  unsigned offset, width;
  uint32_t val;  // as the request arrived
  bool operator==(const Request &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Request &r) {
  return os << "card " << r.card << " request 0x" << std::hex << r.number << " {0x" << r.offset << ", " << r.width
            << ", 0x" << r.val << "}";
}

// The card driver's side of the configuration requests.
namespace driver {

std::map<int, std::array<uint8_t, 4096>> cards;  // card number -> configuration space
std::vector<Request> log;
bool failing;

// The card a descriptor was opened on, from its /proc/uba%d name; -1 if none.
int card_of(int fd) {
  char link[64], path[512];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, path, sizeof path - 1);
  if (n < 0) return -1;
  path[n] = '\0';
  const char *name = strrchr(path, '/');
  int card;
  return name && sscanf(name, "/uba%d", &card) == 1 ? card : -1;
}

int ioctl(int fd, unsigned long number, void *arg) {
  auto *req = static_cast<uba_pci_cfg_req *>(arg);
  int card = card_of(fd);
  log.push_back({card, number, req->offset, req->width, req->val});
  auto it = cards.find(card);
  if (failing || it == cards.end() || req->offset + req->width > 4096u) {
    errno = EIO;
    return -1;
  }
  uint8_t *reg = &it->second[req->offset];
  if (number == 0xc0087504) {
    req->val = 0;
    memcpy(&req->val, reg, req->width);  // little-endian host
  } else if (number == 0x40087505) {
    memcpy(reg, &req->val, req->width);
  } else {
    errno = ENOTTY;
    return -1;
  }
  return 0;
}

}  // namespace driver

class Ubadrv : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = uba_host;
    uba_host.root = root_.path().c_str();
    uba_host.ioctl = driver::ioctl;
  }
  void TearDown() override {
    uba_pci_rescan();
    uba_host = saved_;
  }

  // A card: its file in the tree and its configuration space in the driver.
  std::array<uint8_t, 4096> &card(int n, uint16_t vendor, uint16_t device, uint8_t header_type = 0) {
    root_.write("proc/uba" + std::to_string(n), "");
    auto &s = driver::cards[n];
    s = {};
    s[0] = vendor, s[1] = vendor >> 8, s[2] = device, s[3] = device >> 8, s[0x0e] = header_type;
    return s;
  }
  std::vector<std::string> scan() { return scan_with(UBA_PCI_UBADRV); }

  TempDir root_;
  uba_host_t saved_;
};

// Length of this process's mapping that starts at addr, 0 if none does.
uint64_t mapping_length(const void *addr) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    unsigned long long start, end;
    if (sscanf(line.c_str(), "%llx-%llx", &start, &end) == 2 && start == (uintptr_t)addr) return end - start;
  }
  return 0;
}

TEST_F(Ubadrv, ProbeNeedsTheDriverVariableAndCardZero) {
  uba_pci_method(UBA_PCI_UBADRV);
  pci_access *acc = pci_alloc();
  root_.write("proc/uba1", "");
  struct {
    const char *driver;  // null: unset
    bool card0;
    int result;
  } cases[] = {
      {nullptr, true, -1},
      {"", true, -1},
      {"1", false, -1},
      {"1", true, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << (c.driver ? c.driver : "unset") << (c.card0 ? " with" : " without") << " uba0");
    if (c.driver)
      setenv("UBA_DRIVER", c.driver, 1);
    else
      unsetenv("UBA_DRIVER");
    if (c.card0)
      root_.write("proc/uba0", "");
    else
      unlink((root_.path() + "/proc/uba0").c_str());
    EXPECT_EQ(acc->ops->probe(acc), c.result);
  }
  unsetenv("UBA_DRIVER");
}

TEST_F(Ubadrv, ChosenWhenTheDriverIsLoaded) {
  setenv("UBA_DRIVER", "1", 1);
  card(0, 0x1f5c, 0x5e0a);
  EXPECT_STREQ(pci_alloc()->ops->name, "ubadrv");
  unsetenv("UBA_DRIVER");
}

TEST_F(Ubadrv, EachCardIsDeviceZeroFunctionZeroOfItsBus) {
  card(0, 0x1f5c, 0x5e0a);
  card(1, 0x1f5c, 0x5e0b, 0x80);  // claims to be multi-function: function 1 still absent
  card(3, 0x1b7e, 0x4c3d);
  EXPECT_THAT(scan(), ElementsAre("00:00.0", "01:00.0", "03:00.0"));
  pci_dev *d = listed("03:00.0");
  EXPECT_EQ(d->vendor_id, 0x1b7e);
  EXPECT_EQ(d->device_id, 0x4c3d);
  EXPECT_EQ(d->devfs_name, root_.path() + "/proc/uba3");
  EXPECT_EQ(driver::card_of(d->handle), 3);

  pci_access *acc = pci_alloc();
  EXPECT_FALSE(acc->ops->has_bus(acc, 1, 0));
  struct {
    int domain, dev, func;
  } elsewhere[] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  for (const auto &e : elsewhere) {
    SCOPED_TRACE(testing::Message() << e.domain << ":00:" << e.dev << "." << e.func);
    pci_dev probe{};
    probe.domain = e.domain, probe.dev = e.dev, probe.func = e.func, probe.pci = acc;
    driver::log.clear();
    EXPECT_EQ(acc->ops->init_dev(&probe), nullptr);
    EXPECT_THAT(driver::log, IsEmpty());
  }

  std::vector<int> handles;
  for (pci_dev *p = acc->devices; p; p = p->next) handles.push_back(p->handle);
  uba_pci_rescan();
  for (int h : handles) EXPECT_EQ(fcntl(h, F_GETFD), -1) << "descriptor " << h << " still open";
}

TEST_F(Ubadrv, RequestsCarryOffsetWidthAndValue) {
  auto &space = card(1, 0x1f5c, 0x5e0a);
  for (unsigned i = 0x40; i < 0x100; i++) space[i] = i;
  scan();
  pci_dev *d = listed("01:00.0");

  struct {
    unsigned reg;
    int width;
    uint32_t value;
  } reads[] = {{0x00, 2, 0x1f5c}, {0x0e, 1, 0}, {0x41, 1, 0x41}, {0x44, 4, 0x47464544}, {0xfe, 2, 0xfffe}};
  for (const auto &r : reads) {
    SCOPED_TRACE(testing::Message() << "read reg " << std::hex << r.reg);
    driver::log.clear();
    unsigned got = read_cfg(d, r.reg, r.width);
    EXPECT_EQ(got, r.value);
    EXPECT_THAT(driver::log, ElementsAre(Request{1, 0xc0087504, r.reg, (unsigned)r.width, 0}));
  }

  // Writes go to the driver whatever the register; it decides.
  struct {
    unsigned reg;
    int width;
    uint32_t value;
  } writes[] = {{0x04, 2, 0x0146}, {0x0d, 1, 0x40}, {0x10, 4, 0xfebc000c}, {0x104, 4, 0x00462001}};
  for (const auto &w : writes) {
    SCOPED_TRACE(testing::Message() << "write reg " << std::hex << w.reg);
    driver::log.clear();
    write_cfg(d, w.reg, w.width, w.value);
    EXPECT_THAT(driver::log, ElementsAre(Request{1, 0x40087505, w.reg, (unsigned)w.width, w.value}));
  }
  EXPECT_THAT(std::vector<uint8_t>(space.begin() + 4, space.begin() + 0x14),
              ElementsAre(0x46, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0, 0x0c, 0x00, 0xbc, 0xfe));
  EXPECT_THAT(std::vector<uint8_t>(space.begin() + 0x104, space.begin() + 0x108), ElementsAre(0x01, 0x20, 0x46, 0x00));

  // Reads beyond the 256-byte header space are answered here, as 0.
  driver::log.clear();
  EXPECT_EQ(pci_read_long(d, 0x104), 0u);
  EXPECT_THAT(driver::log, IsEmpty());
}

TEST_F(Ubadrv, FailedRequestsStop) {
  card(0, 0x1f5c, 0x5e0a);
  scan();
  pci_dev *d = listed("00:00.0");
  driver::failing = true;
  EXPECT_EXIT(pci_read_byte(d, 0x08), ExitedWithCode(1),
              MatchesRegex("ERROR:pci_ubadrv\\.cpp:[0-9]+:ioctl\\(UBADRV_PCI_CFG_READ\\) failed\n"));
  EXPECT_EXIT(pci_write_word(d, 0x04, 0x0146), ExitedWithCode(1),
              MatchesRegex("ERROR:pci_ubadrv\\.cpp:[0-9]+:ioctl\\(UBADRV_PCI_CFG_WRITE\\) failed\n"));
}

TEST_F(Ubadrv, BarsMapFixedWindowsOfTheCardFile) {
  card(0, 0x1f5c, 0x5e0a);
  std::string file = root_.path() + "/proc/uba0";
  int fd = open(file.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 0x2100000), 0);  // sparse
  struct {
    off_t at;
    const char *marker;
  } markers[] = {{0xffffff, "x"}, {0x1000000, "B0<<"}, {0x1fffffc, ">>B0"}, {0x2000000, "B2<<"}, {0x20ffffc, ">>B2"}};
  for (const auto &m : markers) ASSERT_EQ(pwrite(fd, m.marker, strlen(m.marker), m.at), (ssize_t)strlen(m.marker));
  scan();
  pci_dev *d = listed("00:00.0");

  struct {
    int bar;
    uint64_t offset, length;
    const char *first, *last;
  } bars[] = {{0, 0x1000000, 0x1000000, "B0<<", ">>B0"}, {2, 0x2000000, 0x100000, "B2<<", ">>B2"}};
  for (const auto &b : bars) {
    SCOPED_TRACE(testing::Message() << "BAR " << b.bar);
    // The offset and length asked for do not matter: the window is fixed.
    auto *m = static_cast<char *>(d->pci->ops->mmap_bar(d, b.bar, 0x40, 0x80));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(mapping_length(m), b.length);
    EXPECT_EQ(std::string(m, 4), b.first);
    EXPECT_EQ(std::string(m + b.length - 4, 4), b.last);
    memcpy(m + 0x100, "seen", 4);
    char back[4];
    ASSERT_EQ(pread(fd, back, 4, b.offset + 0x100), 4);
    EXPECT_EQ(std::string(back, 4), "seen");
    munmap(m, b.length);
  }
  close(fd);

  EXPECT_EXIT(d->pci->ops->mmap_bar(d, 1, 0, 0x1000), ExitedWithCode(1),
              MatchesRegex("ERROR:pci_ubadrv\\.cpp:[0-9]+:invalid bar 1 passed to ubadrv_mmap_bar\n\n"));
}

}  // namespace
