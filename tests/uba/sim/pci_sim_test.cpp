// The simulator access method against a peer thread that plays the
// simulator, in a private root so that none of the fixed /tmp paths is
// touched: the probe, the start-up and its files, the simulated function,
// configuration requests, programmed I/O, the receiver and its stops.
//
// The method starts once per process (it is never torn down), so each test
// that starts it needs a process of its own, as CTest gives it. The stops
// start it inside a death-test child, so the parent has no thread to fork.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "pci_sim.h"
#include "sim_peer.h"
#include "test_util.h"
#include "uba_internal.h"

using testing::ElementsAre;
using testing::ExitedWithCode;
using testing::MatchesRegex;

namespace {

constexpr char WAITING[] = "Waiting for kxgdb to connect...\n";

void ten_gig_nic(std::array<uint8_t, SIM_CONFIG_SPACE> &cfg) {
  cfg = {};
  cfg[0] = 0x5c, cfg[1] = 0x1f;  // vendor 0x1f5c
  cfg[2] = 0x0a, cfg[3] = 0x5e;  // device 0x5e0a
  cfg[8] = 3;                    // revision
}

std::string bytes_at(const volatile uint8_t *p, size_t n) { return std::string((const char *)p, n); }

std::string pattern(size_t n, uint8_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = char(seed + 7 * i);
  return s;
}

// A report of the checked full read, whatever errno's text then is.
std::string premature_end(size_t len, size_t got) {
  return "ERROR:xcalls\\.cpp:[0-9]+:" +
         re_escape("read(len=" + std::to_string(len) + "),got=" + std::to_string(got) +
                   ",cc=0:premature end of data:") +
         "[^\n]*\n";
}

// A host whose /tmp and /dev/zero are its own.
class SimHost : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = uba_host;
    uba_host.root = root_.path().c_str();
    root_.mkdir("tmp");
    std::string zero = root_.write("dev/zero", "");
    ASSERT_EQ(truncate(zero.c_str(), SIM_BAR2_SIZE), 0);
    setenv("UBA_SIM", "1", 1);
    unsetenv("UBA_PCI");
    unsetenv("UBA_VERBOSE");
    umask(022);  // the modes below are the method's doing
  }
  void TearDown() override {
    unsetenv("UBA_SIM");
    uba_host = saved_;
  }

  std::string path(const char *name) const { return root_.path() + name; }

  // Starts the method against the peer (a 10G NIC unless the test set up
  // its configuration space) with a bus scan; returns what the start-up
  // printed.
  std::string start() {
    if (!peer_cfg_set_) ten_gig_nic(peer_.cfg);
    peer_.start();
    testing::internal::CaptureStderr();
    pci_scan_bus(pci_alloc());
    return testing::internal::GetCapturedStderr();
  }

  // In a death-test child: starts the method, lets `act` provoke a stop,
  // and waits a bounded time for the program to end.
  void provoke(const std::function<void(SimPeer &)> &act) {
    ten_gig_nic(peer_.cfg);
    peer_.start();
    pci_scan_bus(pci_alloc());
    act(peer_);
    for (int i = 0; i < 1000; i++) usleep(10000);
  }

  TempDir root_;
  uba_host_t saved_;
  SimPeer peer_{root_.path() + SIM_SOCKET_FILE};
  bool peer_cfg_set_ = false;
};

// Tests that start the method in the test process itself.
class SimMethod : public SimHost {
 protected:
  void SetUp() override {
    ASSERT_EQ(uba_sim.kavi_space, nullptr)
        << "the simulator method starts once per process: run each test in a process of its own (ctest does)";
    SimHost::SetUp();
  }
};

TEST(SimProbe, TheMethodIsTriedFirstAndOnlyWithUbaSim) {
  struct {
    const char *uba_sim;  // null: unset
    const char *out;
  } cases[] = {
      {nullptr,
       "uba: Ignoring sim, probe failed\nuba: Ignoring ubadrv, probe failed\nuba: Choosing: proc\n=> proc active=0\n"},
      {"", "uba: Ignoring sim, probe failed\nuba: Ignoring ubadrv, probe failed\nuba: Choosing: proc\n=> proc active=0\n"},
      {"1", "uba: Choosing: sim\n=> sim active=1\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.uba_sim ? c.uba_sim : "unset");
    auto child = [&] {
      if (c.uba_sim)
        setenv("UBA_SIM", c.uba_sim, 1);
      else
        unsetenv("UBA_SIM");
      unsetenv("UBA_PCI");
      unsetenv("UBA_DRIVER");
      setenv("UBA_VERBOSE", "1", 1);
      uba_choose_method();
      fprintf(stderr, "=> %s active=%d\n", uba_pci.pci->ops->name, uba_sim.active);
      exit(0);
    };
    EXPECT_EXIT(child(), ExitedWithCode(0), MatchesRegex(re_escape(c.out)));
  }
}

TEST_F(SimMethod, StartUpOnAFreshHost) {
  EXPECT_EQ(start(), WAITING);
  EXPECT_EQ(uba_sim.active, 1);

  struct {
    const char *name;
    mode_t type;
    off_t size;  // -1: not checked
  } files[] = {
      {SIM_SOCKET_FILE, S_IFSOCK, -1},
      {SIM_SRAM_FILE, S_IFREG, 0x1000000},
      {SIM_DMA_FILE, S_IFREG, 0x4000000},
  };
  for (const auto &f : files) {
    SCOPED_TRACE(f.name);
    struct stat st;
    ASSERT_EQ(lstat(path(f.name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & S_IFMT, f.type);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    if (f.size >= 0) {
      EXPECT_EQ(st.st_size, f.size);
    }
  }

  // The identification strings, in the image and so in its file.
  const std::string ids = std::string("PC=SIMULATOR-Z8\0MAC=00:fa:dd:49:8d:26\0SN=173192\0PN=00-0000\0\0", 60) +
                          std::string(256 - 60, '\0');
  EXPECT_EQ(bytes_at(uba_sim.kavi_space + 0x1dfe00, 256), ids);
  int sram = open(path(SIM_SRAM_FILE).c_str(), O_RDONLY);
  std::string in_file(256, '\0');
  ASSERT_EQ(pread(sram, in_file.data(), 256, 0x1dfe00), 256);
  close(sram);
  EXPECT_EQ(in_file, ids);

  // The DMA area as a copy-block: each page's address is its offset.
  const uba_cb &cb = uba_sim.cb;
  const uint32_t page = getpagesize();
  EXPECT_EQ(cb.page_size, page);
  EXPECT_EQ(cb.nb_pages, 0x4000000 / page);
  EXPECT_EQ(cb.map_size, 0x4000000u);
  EXPECT_STREQ(cb.dev_name, path(SIM_DMA_FILE).c_str());
  EXPECT_EQ(cb.dma_addr[0], 0u);
  EXPECT_EQ(cb.dma_addr[1], page);
  EXPECT_EQ(cb.dma_addr[cb.nb_pages - 1], 0x4000000u - page);
  memcpy(cb.map + 0x3fffffc, "area", 4);
  int dma = open(path(SIM_DMA_FILE).c_str(), O_RDONLY);
  char back[4];
  ASSERT_EQ(pread(dma, back, 4, 0x3fffffc), 4);
  close(dma);
  EXPECT_EQ(std::string(back, 4), "area");

  // One simulator only: the listening socket is closed once it has come.
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path(SIM_SOCKET_FILE).c_str());
  EXPECT_NE(connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  EXPECT_EQ(errno, ECONNREFUSED);
  close(s);
}

TEST_F(SimMethod, StartUpAfterAnEarlierRun) {
  // What an earlier run leaves: its socket, the BAR0 image, the DMA area.
  int old = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path(SIM_SOCKET_FILE).c_str());
  ASSERT_EQ(bind(old, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  close(old);
  std::string image = root_.write(&SIM_SRAM_FILE[1], std::string(0x100, 'i') + "kept");
  std::string area = root_.write(&SIM_DMA_FILE[1], std::string(0x100, 'd') + "gone");
  chmod(image.c_str(), 0600);

  EXPECT_EQ(start(), WAITING);
  EXPECT_EQ(bytes_at(uba_sim.kavi_space + 0xfc, 8), "iiiikept") << "the image keeps what it held";
  EXPECT_EQ(std::string((char *)uba_sim.cb.map, 0x104), std::string(0x104, '\0')) << "the area starts cleared";
  struct stat st;
  ASSERT_EQ(stat(image.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0x1000000);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  ASSERT_EQ(stat(area.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0x4000000);
}

struct Request {
  uint32_t type, lsw, length;
  std::string data;
  bool operator==(const Request &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Request &r) {
  return os << "{type " << r.type << ", 0x" << std::hex << r.lsw << ", " << std::dec << r.length << ", "
            << testing::PrintToString(r.data) << "}";
}
std::vector<Request> requests(SimPeer &peer) {
  std::vector<Request> out;
  for (const SimMessage &m : peer.config_requests()) out.push_back({m.h.type, m.h.lsw, m.h.length, m.data});
  return out;
}

TEST_F(SimMethod, TheSimulatorShowsOneFunctionWhoseBarsTheHostAssigns) {
  start();
  std::vector<std::string> names;
  for (pci_dev *d = pci_alloc()->devices; d; d = d->next) names.push_back(d->name);
  ASSERT_THAT(names, ElementsAre("00:00.0"));
  pci_dev *d = pci_alloc()->devices;
  EXPECT_EQ(d->vendor_id, 0x1f5c);
  EXPECT_EQ(d->device_id, 0x5e0a);
  EXPECT_EQ(uba_sim.dev, d);
  EXPECT_THAT(d->base_addr, ElementsAre(0x40000000, 0, 0x80000000, 0, 0, 0));
  EXPECT_THAT(d->size, ElementsAre(0x1000000, 0, 0x100000, 0, 0, 0));
  EXPECT_THAT(requests(peer_), ElementsAre(Request{CFG_READ, 0, 2, ""}, Request{CFG_READ, 2, 2, ""},
                                           Request{CFG_WRITE, 0x10, 4, std::string("\0\0\0\x40", 4)},
                                           Request{CFG_WRITE, 0x18, 4, std::string("\0\0\0\x80", 4)},
                                           Request{CFG_READ, 0x0e, 1, ""}));
  EXPECT_EQ(uba_can_access_ext_conf(d), 1);
}

TEST_F(SimMethod, NoFunctionWhereTheVendorIdReadsAllOnes) {
  peer_.cfg.fill(0xff);
  peer_cfg_set_ = true;
  start();
  EXPECT_EQ(pci_alloc()->devices, nullptr);
  EXPECT_THAT(requests(peer_), ElementsAre(Request{CFG_READ, 0, 2, ""}, Request{CFG_READ, 2, 2, ""}));
}

TEST_F(SimMethod, ConfigurationAccessesOfEachWidth) {
  ten_gig_nic(peer_.cfg);
  for (unsigned i = 0x40; i < SIM_CONFIG_SPACE; i++) peer_.cfg[i] = uint8_t(i * 3);
  peer_cfg_set_ = true;
  start();
  pci_dev *d = pci_alloc()->devices;
  struct {
    unsigned reg;
    int width;
    uint32_t value;
  } reads[] = {{0x00, 2, 0x1f5c}, {0x08, 1, 3}, {0x41, 1, 0xc3}, {0x44, 4, 0xd5d2cfcc}, {0xffc, 4, 0xfdfaf7f4}};
  for (const auto &r : reads) {
    SCOPED_TRACE(testing::Message() << "read 0x" << std::hex << r.reg);
    EXPECT_EQ(read_cfg(d, r.reg, r.width), r.value);
  }
  // A write returns once the simulator has taken it.
  struct {
    unsigned reg;
    int width;
    uint32_t value;
    std::string bytes;
  } writes[] = {{0x04, 2, 0x0146, std::string("\x46\x01", 2)},
                {0x0d, 1, 0x40, "\x40"},
                {0x104, 4, 0x00462001, std::string("\x01\x20\x46\x00", 4)}};
  for (const auto &w : writes) {
    SCOPED_TRACE(testing::Message() << "write 0x" << std::hex << w.reg);
    write_cfg(d, w.reg, w.width, w.value);
    EXPECT_EQ(std::string((char *)&peer_.cfg[w.reg], w.width), w.bytes);
    EXPECT_EQ(requests(peer_).back(), (Request{CFG_WRITE, w.reg, (uint32_t)w.width, w.bytes}));
  }
}

TEST_F(SimMethod, AReadAnsweredInTwoPartsCompletesWithTheSecond) {
  ten_gig_nic(peer_.cfg);
  memcpy(&peer_.cfg[0x40], "\x11\x22\x33\x44", 4);
  peer_cfg_set_ = true;
  start();
  // Static: should the read return early, the peer still looks at them
  // after this body has ended.
  static std::atomic<bool> returned{false};
  static std::optional<bool> returned_after_first;
  peer_.between_parts = [] { returned_after_first = returned.load(); };
  peer_.split_reads = true;
  uint32_t value = 0;
  fake_pci_cfg_read(0x40, &value, 4);
  returned = true;
  EXPECT_EQ(value, 0x44332211u);
  ASSERT_TRUE(returned_after_first.has_value());
  EXPECT_FALSE(*returned_after_first) << "the read returned on the first part";
}

TEST_F(SimMethod, ShortAlignedWritesLowInBar0AreStoresTheRestGoToTheSimulator) {
  start();
  volatile uint8_t *bar0 = uba_sim.kavi_space;
  // Each write is followed by one that always goes to the simulator: the
  // next message the peer takes shows whether the first one went too.
  const uint32_t fence_at = 0x800000;
  const std::string fence = pattern(36, 0xf0);
  struct {
    const char *what;
    uint32_t offset;
    size_t len;
    size_t source_shift;  // the source's distance from 8-byte alignment
    bool stored;
  } cases[] = {
      {"8 bytes at a word", 0x104, 8, 0, true},
      {"8 bytes at a double word", 0x108, 8, 0, true},
      {"32 bytes", 0x200, 32, 0, true},
      {"4 bytes from an odd source", 0x300, 4, 1, true},
      {"the last word below 0x80000", 0x7fffc, 4, 0, true},
      {"8 bytes at 0x80000", 0x80000, 8, 0, false},
      {"36 bytes", 0x400, 36, 0, false},
      {"an address off the word", 0x502, 8, 0, false},
      {"6 bytes", 0x600, 6, 0, false},
      {"16 KiB", 0x10000, 16384, 0, false},
  };
  uint8_t sent = 1;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    alignas(8) char source[16384 + 8];
    std::string data = pattern(c.len, sent++);
    memcpy(source + c.source_shift, data.data(), c.len);
    std::string before = bytes_at(bar0 + c.offset, c.len);
    fake_pci_pio_write(bar0 + c.offset, source + c.source_shift, c.len, __FILE__, __LINE__);
    fake_pci_pio_write(bar0 + fence_at, fence.data(), fence.size(), __FILE__, __LINE__);
    if (c.stored) {
      EXPECT_EQ(bytes_at(bar0 + c.offset, c.len), data);
    } else {
      std::optional<SimMessage> m = peer_.next();
      ASSERT_TRUE(m);
      EXPECT_EQ(m->h.type, MEM_WRITE);
      EXPECT_EQ(m->h.length, c.len);
      EXPECT_EQ(m->h.lsw, 0x40000000 + c.offset);
      EXPECT_EQ(m->h.msw, 0u);
      EXPECT_EQ(m->data, data);
      EXPECT_EQ(bytes_at(bar0 + c.offset, c.len), before) << "the simulator stores it, not the host";
    }
    std::optional<SimMessage> m = peer_.next();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->h.lsw, 0x40000000 + fence_at) << "only the fence is next";
    EXPECT_EQ(m->data, fence);
  }
}

TEST_F(SimMethod, TheReceiverServesTheSimulatorsMessages) {
  start();
  const uba_cb &cb = uba_sim.cb;
  const std::string block = pattern(0x10000, 5);
  peer_.send({MEM_WRITE, 8, 0x1000, 0}, "dmawrite");
  peer_.send({MEM_WRITE, 4, SIM_MSI_ADDRESS, 0}, std::string("\0\0\xb0\x0b", 4));
  // Messages not for the host are ignored: one of a type unknown to it is
  // passed over with its data; a configuration read has none.
  peer_.send({77, 5, 0x2000, 0}, "junk!");
  peer_.send({CFG_WRITE, 2, 0x2004, 0}, "cw");
  peer_.send({CFG_READ, 4, 0x2008, 0});
  peer_.send({MEM_WRITE, 4, 0x3fffffc, 0}, "last");
  peer_.send({MEM_WRITE, (uint32_t)block.size(), 0x20000, 0}, block);
  // Answers come in order, so by the first all the above is in the area.
  EXPECT_EQ(peer_.dma_read(0x1000, 8), "dmawrite");
  EXPECT_EQ(std::string((char *)cb.map + 0x1000, 8), "dmawrite");
  EXPECT_EQ(std::string((char *)cb.map + 0x2000, 12), std::string(12, '\0'));
  EXPECT_EQ(peer_.dma_read(0x3fffffc, 4), "last");
  EXPECT_TRUE(peer_.dma_read(0x20000, block.size()) == block) << "a DMA read longer than one host message";
  EXPECT_EQ(peer_.dma_read(0x4000000, 0), "");
  // The stream is still in step for the host's own requests.
  EXPECT_EQ(pci_read_word(pci_alloc()->devices, 0), 0x1f5cu);
}

TEST_F(SimHost, TheReceiverStopsOnMessagesItMustNotActOn) {
  struct {
    const char *what;
    std::function<void(SimPeer &)> act;
    std::string out;  // regular expression
  } cases[] = {
      {"DMA write past the area", [](SimPeer &p) { p.send({MEM_WRITE, 8, 0x3fffffc, 0}, "12345678"); },
       re_escape("fake_pci:MEM_WRITE(lsw=0x3fffffc,length=8), max=0x4000000\n")},
      {"DMA write wrapping round", [](SimPeer &p) { p.send({MEM_WRITE, 0x10, 0xfffffff8, 0}, pattern(16, 1)); },
       re_escape("fake_pci:MEM_WRITE(lsw=0xfffffff8,length=10), max=0x4000000\n")},
      {"DMA read past the area", [](SimPeer &p) { p.send({MEM_READ, 0x100, 0x3ffff80, 0}); },
       re_escape("fake_pci:MEM_READ(lsw=0x3ffff80,length=100), max=0x4000000\n")},
      {"interrupt of 8 bytes", [](SimPeer &p) { p.send({MEM_WRITE, 8, SIM_MSI_ADDRESS, 0}, pattern(8, 1)); },
       library_error("pci_sim_receiver", "fake_pci:msi of 8 bytes, not 4")},
      {"interrupt with other data",
       [](SimPeer &p) { p.send({MEM_WRITE, 4, SIM_MSI_ADDRESS, 0}, std::string("\0\0\xb0\x0c", 4)); },
       library_error("pci_sim_receiver", "fake_pci:msi data 0xb00c, not 0xb00b")},
      {"read data for no read", [](SimPeer &p) { p.send({READ_DATA, 4, 0, 0}, "abcd"); },
       library_error("pci_sim_receiver", "fake_pci:READ_DATA without a configuration read in flight")},
      {"more read data than asked for",
       [](SimPeer &p) {
         p.extra_read_bytes = 1;
         pci_read_long(pci_alloc()->devices, 0);
       },
       library_error("pci_sim_receiver", "fake_pci:READ_DATA of 5 bytes, 4 asked for")},
      {"completion of no write", [](SimPeer &p) { p.send({CFG_WRITE_DONE, 0, 0, 0}); },
       library_error("pci_sim_receiver", "fake_pci:CFG_WRITE_DONE without a configuration write in flight")},
      {"the simulator goes away", [](SimPeer &p) { p.close_connection(); }, premature_end(16, 0)},
      {"the simulator goes away within a message",
       [](SimPeer &p) {
         p.send({MEM_WRITE, 8, 0x1000, 0}, "abc");
         p.close_connection();
       },
       premature_end(8, 3)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EXIT(provoke(c.act), ExitedWithCode(1), MatchesRegex(re_escape(WAITING) + c.out));
  }
}

TEST_F(SimMethod, TheOpenedBoardIsTheSimulatorsImage) {
  start();
  uba_nic *nic = uba_open(0, UBA_ZE, 0);
  EXPECT_EQ(nic->dev, uba_sim.dev);
  EXPECT_EQ(nic->type, UBA_ZE);
  EXPECT_EQ(nic->rev, 3);
  EXPECT_EQ(nic->base, uba_sim.kavi_space);
  ASSERT_NE(nic->base2, nullptr);
  nic->base2[0xffffc] = 0x5a;  // plain memory
  EXPECT_EQ(uba_get_copy_block(nic), &uba_sim.cb);
  free(nic);
}

TEST(SimPieces, AReadIsCopiedUpToEach64ByteBoundaryThenInOnePiece) {
  struct {
    uintptr_t addr;
    size_t len;
    std::vector<size_t> pieces;
  } cases[] = {
      {54, 100, {10, 64, 26}},     // 10 bytes before a boundary
      {0, 64, {64}},               // one aligned line
      {0, 128, {64, 64}},          // the rest is a whole line
      {63, 66, {1, 64, 1}},        // one byte on each side
      {10, 20, {20}},              // short: one piece
      {32, 65, {32, 33}},          // 65 > 64: up to the boundary first
      {0x1000, 0, {}},             // nothing
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.addr << "+" << c.len);
    std::vector<size_t> pieces;
    size_t next = 0;
    fake_pci_read_pieces(c.addr, c.len, [&](size_t at, size_t n) {
      EXPECT_EQ(at, next);
      next += n;
      pieces.push_back(n);
    });
    EXPECT_EQ(pieces, c.pieces);
  }
}

// Programmed I/O on an image of the test's own, as the method would have
// left it; no simulator, so only what stays in the image can be done.
class SimImage : public testing::Test {
 protected:
  static constexpr size_t SIZE = 0x200000;
  void SetUp() override {
    image_ = static_cast<uint8_t *>(aligned_alloc(4096, SIZE));
    for (size_t i = 0; i < SIZE; i++) image_[i] = uint8_t(i * 13 + 1);
    dev_.size[0] = SIZE;
    uba_sim.kavi_space = image_;
    uba_sim.dev = &dev_;
  }
  void TearDown() override {
    uba_sim = {};
    free(image_);
  }
  std::string where(const char *call, const void *addr, size_t len) {
    char text[160];
    snprintf(text, sizeof text, "%s(%p,len=%zu):outside the BAR0 image", call, addr, len);
    return "ERROR:caller\\.cpp:7:" + re_escape(text) + "\n";
  }
  uint8_t *image_;
  pci_dev dev_{};
};

TEST_F(SimImage, ReadsCopyTheImage) {
  std::string out(100, '\0');
  fake_pci_pio_read(image_ + 0x1000 - 10, out.data(), out.size(), __FILE__, __LINE__);
  EXPECT_EQ(out, std::string((char *)image_ + 0x1000 - 10, 100));
  std::string whole(SIM_MAX_PIO_READ, '\0');
  fake_pci_pio_read(image_ + SIZE - SIM_MAX_PIO_READ, whole.data(), whole.size(), __FILE__, __LINE__);
  EXPECT_EQ(whole, std::string((char *)image_ + SIZE - SIM_MAX_PIO_READ, SIM_MAX_PIO_READ));
}

TEST_F(SimImage, AccessesOutsideTheImageOrTooLongStopWithTheCallersLocation) {
  char buf[16];
  static std::string big(SIM_MAX_PIO_READ + 1, '\0');
  uint8_t *end = image_ + SIZE;
  EXPECT_EXIT(fake_pci_pio_write(end - 4, buf, 8, "/src/caller.cpp", 7), ExitedWithCode(1),
              MatchesRegex(where("fake_pci_pio_write", end - 4, 8)));
  EXPECT_EXIT(fake_pci_pio_write(image_ - 4, buf, 4, "/src/caller.cpp", 7), ExitedWithCode(1),
              MatchesRegex(where("fake_pci_pio_write", image_ - 4, 4)));
  EXPECT_EXIT(fake_pci_pio_read(end, buf, 1, "/src/caller.cpp", 7), ExitedWithCode(1),
              MatchesRegex(where("fake_pci_pio_read", end, 1)));
  EXPECT_EXIT(fake_pci_pio_write(image_, big.data(), SIM_MAX_PIO_WRITE + 1, "/src/caller.cpp", 7), ExitedWithCode(1),
              MatchesRegex("ERROR:caller\\.cpp:7:fake_pci_pio_write\\(len=16385\\):more than 16384 bytes\n"));
  EXPECT_EXIT(fake_pci_pio_read(image_, big.data(), SIM_MAX_PIO_READ + 1, "/src/caller.cpp", 7), ExitedWithCode(1),
              MatchesRegex("ERROR:caller\\.cpp:7:fake_pci_pio_read\\(len=1048577\\):more than 0x100000 bytes\n"));
  uba_sim = {};
  EXPECT_EXIT(fake_pci_pio_read(image_, buf, 1, "/src/caller.cpp", 7), ExitedWithCode(1),
              MatchesRegex(where("fake_pci_pio_read", image_, 1)))
      << "nothing is inside while the method has not started";
}

TEST(SimConfig, RequestsBeyondTheConfigurationSpaceStop) {
  uint32_t v = 0;
  EXPECT_EXIT(fake_pci_cfg_read(4095, &v, 2), ExitedWithCode(1),
              MatchesRegex(library_error("pci_sim", "fake_pci_cfg_read(offset=0xfff,len=2):beyond the configuration space")));
  EXPECT_EXIT(fake_pci_cfg_write(4096, &v, 1), ExitedWithCode(1),
              MatchesRegex(library_error("pci_sim", "fake_pci_cfg_write(offset=0x1000,len=1):beyond the configuration space")));
  EXPECT_EXIT(fake_pci_cfg_read(0xffffffff, &v, 2), ExitedWithCode(1),
              MatchesRegex(library_error("pci_sim", "fake_pci_cfg_read(offset=0xffffffff,len=2):beyond the configuration space")));
}

// What may be planted at each fixed path before a run.
enum class Plant { symlink, directory, fifo, hard_link };

TEST_F(SimHost, NothingPlantedAtTheFixedPathsIsFollowedOrChanged) {
  const std::string victim = root_.write("victim", "the victim's own bytes");
  char flags[16];
  snprintf(flags, sizeof flags, "0x%x", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC);
  auto open_error = [&](const char *name, const char *why) {
    return re_escape("ERROR:open(" + path(name) + "," + flags + "):" + why + "\n");
  };
  auto not_regular = [&](const char *name) {
    return library_error("pci_sim", path(name) + ":not a regular file of one link\n");
  };
  auto not_socket = [&](const char *name) { return library_error("pci_sim", path(name) + ":not a socket, not removed\n"); };
  const std::string waiting = re_escape(WAITING);
  struct {
    const char *name;
    Plant plant;
    std::string out;  // regular expression
  } cases[] = {
      {SIM_SOCKET_FILE, Plant::symlink, not_socket(SIM_SOCKET_FILE)},
      {SIM_SOCKET_FILE, Plant::directory, not_socket(SIM_SOCKET_FILE)},
      {SIM_SOCKET_FILE, Plant::fifo, not_socket(SIM_SOCKET_FILE)},
      {SIM_SOCKET_FILE, Plant::hard_link, not_socket(SIM_SOCKET_FILE)},
      {SIM_SRAM_FILE, Plant::symlink, open_error(SIM_SRAM_FILE, "Too many levels of symbolic links")},
      {SIM_SRAM_FILE, Plant::directory, open_error(SIM_SRAM_FILE, "Is a directory")},
      {SIM_SRAM_FILE, Plant::fifo, not_regular(SIM_SRAM_FILE)},
      {SIM_SRAM_FILE, Plant::hard_link, not_regular(SIM_SRAM_FILE)},
      {SIM_DMA_FILE, Plant::symlink, waiting + open_error(SIM_DMA_FILE, "Too many levels of symbolic links")},
      {SIM_DMA_FILE, Plant::directory, waiting + open_error(SIM_DMA_FILE, "Is a directory")},
      {SIM_DMA_FILE, Plant::fifo, waiting + not_regular(SIM_DMA_FILE)},
      {SIM_DMA_FILE, Plant::hard_link, waiting + not_regular(SIM_DMA_FILE)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << " " << int(c.plant));
    std::string at = path(c.name);
    switch (c.plant) {
      case Plant::symlink: ASSERT_EQ(symlink(victim.c_str(), at.c_str()), 0); break;
      case Plant::directory: ASSERT_EQ(mkdir(at.c_str(), 0755), 0); break;
      case Plant::fifo: ASSERT_EQ(mkfifo(at.c_str(), 0644), 0); break;
      case Plant::hard_link: ASSERT_EQ(link(victim.c_str(), at.c_str()), 0); break;
    }
    EXPECT_EXIT(provoke([](SimPeer &) {}), ExitedWithCode(1), MatchesRegex(c.out));
    struct stat st;
    ASSERT_EQ(lstat(at.c_str(), &st), 0) << "what was planted is still there";
    mode_t planted[] = {S_IFLNK, S_IFDIR, S_IFIFO, S_IFREG};
    EXPECT_EQ(st.st_mode & S_IFMT, planted[int(c.plant)]);
    EXPECT_EQ(read_file(victim), "the victim's own bytes");
    struct stat vs;
    ASSERT_EQ(stat(victim.c_str(), &vs), 0);
    EXPECT_EQ(vs.st_mode & 07777, 0644u) << "nor is its mode changed";
    if (c.plant == Plant::directory)
      rmdir(at.c_str());
    else
      unlink(at.c_str());
  }
}

}  // namespace
