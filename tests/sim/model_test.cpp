// The card model on its own: configuration space, the vendor-specific
// registers with the EEPROM and the debug window, faults, and the host. The
// access sequences of the programs that drive these registers are written
// out here exactly as those programs issue them, and each must work.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "card.h"
#include "host.h"
#include "test_util.h"

using testing::ElementsAreArray;

namespace {

using sim::BoardOptions;

// ---- The host sequences ------------------------------------------------

// The tools' read: address << 8 as one 32-bit write, then per byte the next
// address and an 8-bit read of the data register.
std::vector<uint8_t> tool_read(Card &b, uint32_t a, size_t n) {
  std::vector<uint8_t> out(n);
  b.w32(4, a << 8);
  for (size_t i = 0; i < n; i++) {
    b.w32(4, (uint32_t)(a + i + 1) << 8);
    out[i] = b.r8(8);
  }
  return out;
}

// The tools' byte-program step; returns the number of re-reads it needed,
// or -1 when the tenth read-back still differed.
int tool_program(Card &b, uint32_t a, const std::vector<uint8_t> &data) {
  int rereads = 0;
  for (size_t i = 0; i < data.size(); i++) {
    if (data[i] == 0xff) continue;
    b.w32(12, (uint32_t)((a + i) << 8) + data[i]);
    uint8_t v = b.r8(8);
    for (int retries = 1; v != data[i]; retries++) {
      if (retries == 10) return -1;
      b.w32(4, (uint32_t)(a + i) << 8);
      v = b.r8(8);
      rereads++;
    }
  }
  return rereads;
}

bool tool_alive(Card &b, unsigned q) {
  b.board.config_write(q + 4, 0x55aa00, 4);
  uint32_t first = b.board.config_read(q + 4, 4);
  b.board.config_write(q + 4, 0xaa5500, 4);
  return first + b.board.config_read(q + 4, 4) == 0xffff00;
}

// The updater's read through the byte lanes, a word read every fourth byte.
std::vector<uint8_t> updater_read(Card &b, uint32_t a, size_t n) {
  std::vector<uint8_t> out(n);
  b.w8(7, a >> 16), b.w8(6, a >> 8), b.w8(5, a);
  for (size_t i = 0; i < n; i++) {
    uint32_t next = a + 1 + i;
    if ((next & 0xff) == 0) {
      if ((next & 0xffff) == 0) b.w8(7, next >> 16);
      b.w8(6, next >> 8);
    }
    b.w8(5, next);
    if (i % 4 == 3) {
      uint32_t word = b.r32(8);
      for (int k = 0; k < 4; k++) out[i - k] = word >> 8 * k;
    }
  }
  if (size_t k = n % 4) {
    uint32_t word = b.r32(8);
    for (size_t j = 0; j < k; j++) out[n - 1 - j] = word >> 8 * j;
  }
  return out;
}

// The updater's sector erase; returns the number of polls, or -1 past `limit`.
int updater_erase(Card &b, uint32_t e, int limit = 100000) {
  b.w8(15, e >> 16), b.w8(14, e >> 8), b.w8(13, e);
  b.w8(12, 0xff);
  int polls = 0;
  while ((b.r32(8) & 0xff) != 0xff) {
    if (++polls > limit) return -1;
    b.w8(5, e);
  }
  return polls;
}

// The updater's programming: only the address lanes that changed, then the
// data lane; wait until the byte shows, failing on two equal wrong reads.
// Returns false on such a failure.
bool updater_program(Card &b, uint32_t a, const std::vector<uint8_t> &data) {
  uint32_t kept = ~a;
  for (size_t i = 0; i < data.size(); i++) {
    uint32_t x = a + i;
    if (data[i] == 0xff) continue;
    for (int lane = 2; lane >= 0; lane--)
      if (((x ^ kept) >> 8 * lane) & 0xff) b.w8(13 + lane, x >> 8 * lane);
    b.w8(12, data[i]);
    kept = x + 1;
    int last = -1;
    for (uint8_t v = b.r8(8); v != data[i]; v = b.r8(8)) {
      if (v == last) return false;
      last = v;
      b.w8(5, x);
    }
  }
  return true;
}

// The processor-access backend's debug protocol: address bytes from +27
// down, skipping unchanged ones but always writing +24.
struct DebugPort {
  Card &b;
  uint32_t last = 0;
  bool first = true;
  void set_address(uint32_t a) {
    for (int k = 3; k >= 0; k--)
      if (k == 0 || first || ((a ^ last) >> 8 * k) & 0xff) b.w8(24 + k, a >> 8 * k);
    last = a, first = false;
  }
  uint32_t read(int mode, uint32_t a) {
    b.w8(16, mode);
    set_address(a);
    return b.r32(20);
  }
  // Buffered write: the address once, then the data lanes; the board
  // advances the address after each completed write.
  void write_buffer(uint32_t a, const std::vector<uint8_t> &buf) {
    size_t i = 0, len = buf.size();
    b.w8(16, 5);
    set_address(a);
    if (a & 1) b.w8(20, buf[i++]), a++, len--;
    if ((a & 3) == 2 && len >= 2) {
      b.w8(16, 6), b.w8(21, buf[i]), b.w8(20, buf[i + 1]);
      i += 2, a += 2, len -= 2;
    }
    if (len > 3) b.w8(16, 7);
    for (; len > 3; i += 4, a += 4, len -= 4)
      for (int k = 3; k >= 0; k--) b.w8(20 + k, buf[i + 3 - k]);
    if (len >= 2) b.w8(16, 6), b.w8(21, buf[i]), b.w8(20, buf[i + 1]), i += 2, len -= 2;
    if (len == 1) b.w8(16, 5), b.w8(20, buf[i]);
  }
};

// ---- Configuration space -------------------------------------------------

TEST(ModelConfig, IdentityBarsAndCapabilityList) {
  Card b;
  sim::Board &n = b.board;
  EXPECT_EQ(n.config_read(0, 4), 0x5e0a1f5cu);
  EXPECT_EQ(n.config_read(0x08, 4) >> 8, 0x020000u);  // Ethernet controller
  EXPECT_EQ(n.config_read(0x10, 4), 0xc0000000u);
  EXPECT_EQ(n.config_read(0x18, 4), 0xc1000000u);
  // BAR sizing: all ones read back as the size mask; the address restores.
  n.config_write(0x10, 0xffffffff, 4);
  n.config_write(0x18, 0xffffffff, 4);
  EXPECT_EQ(n.config_read(0x10, 4), 0xff000000u);
  EXPECT_EQ(n.config_read(0x18, 4), 0xfff00000u);
  n.config_write(0x10, 0xc0000000, 4);
  EXPECT_EQ(n.config_read(0x10, 4), 0xc0000000u);

  EXPECT_TRUE(n.config_read(0x06, 2) & 0x10);
  std::vector<std::pair<unsigned, unsigned>> caps;
  for (unsigned pos = n.config_read(0x34, 1); pos; pos = n.config_read(pos + 1, 1))
    caps.emplace_back(pos, n.config_read(pos, 1));
  EXPECT_THAT(caps, ElementsAreArray({std::pair{0x40u, 0x10u}, std::pair{0x88u, 0x09u}}));
  EXPECT_EQ(n.config_read(0x40 + 2, 2) & 0xf0, 0u);  // an endpoint
  EXPECT_EQ(n.config_read(0x88 + 2, 1), 28u);        // vendor-specific length
  EXPECT_EQ(n.config_read(0x100, 4), 0x00010001u);   // AER, version 1, last
}

TEST(ModelConfig, RegistersWriteLikeHardware) {
  Card b;
  sim::Board &n = b.board;
  n.config_write(0x04, 0xffff, 2);
  EXPECT_EQ(n.config_read(0x04, 2), 0x0546u);  // only the implemented command bits
  n.config_write(0x00, 0x12345678, 4);         // identity is read-only
  n.config_write(0xc0, 0xdeadbeef, 4);         // nothing lives here
  EXPECT_EQ(n.config_read(0x00, 4), 0x5e0a1f5cu);
  EXPECT_EQ(n.config_read(0xc0, 4), 0u);
  n.config_write(0x40 + 8, 0x5020, 2);  // device control: payload 256, read request 2048
  EXPECT_EQ(n.config_read(0x40 + 8, 2), 0x5020u);
}

TEST(ModelConfig, ErrorStatusBitsClearWhenWrittenWithOne) {
  BoardOptions o = deterministic();
  sim::Board n(o, 0xc0000000, 0xc1000000);
  // The board records errors in its own status registers.
  sim::ConfigSpace &cfg = n.nic().config();
  cfg.set32(0x104, 0x00101010);  // AER uncorrectable: UR, poisoned TLP, data link protocol
  cfg.set16(0x40 + 0x0a, 0x0009);
  n.config_write(0x104, 0x00001000, 4);
  EXPECT_EQ(n.config_read(0x104, 4), 0x00100010u);
  n.config_write(0x104, 0xffffffff, 4);
  EXPECT_EQ(n.config_read(0x104, 4), 0u);
  n.config_write(0x40 + 0x0a, 0x0001, 2);
  EXPECT_EQ(n.config_read(0x40 + 0x0a, 2), 0x0008u);
}

TEST(ModelFaults, DeadBoardReadsAllOnes) {
  BoardOptions o = deterministic();
  o.dead_from = 0;
  Card b(o);
  EXPECT_EQ(b.board.config_read(0, 2), 0xffffu);
  EXPECT_EQ(b.board.config_read(0x34, 1), 0xffu);
  EXPECT_EQ(b.board.config_read(P + 4, 4), 0xffffffffu);

  o.dead_from = 0x40;  // the header answers, nothing beyond it
  Card half(o);
  EXPECT_EQ(half.board.config_read(0, 4), 0x5e0a1f5cu);
  EXPECT_EQ(half.board.config_read(0x34, 1), 0x40u);
  EXPECT_EQ(half.board.config_read(0x40, 2), 0xffffu);
  EXPECT_FALSE(tool_alive(half, P));
}

TEST(ModelFaults, VendorRegistersMissingOrUnlisted) {
  BoardOptions none = deterministic();
  none.vs_present = false;
  Card missing(none);
  EXPECT_EQ(missing.board.config_read(0x40 + 1, 1), 0u);  // the list ends after PCI Express
  EXPECT_FALSE(tool_alive(missing, 0x88));
  EXPECT_FALSE(tool_alive(missing, 0xf0));

  BoardOptions unlisted = deterministic();
  unlisted.vs_position = 0xf0;
  unlisted.vs_listed = false;
  Card at_f0(unlisted);
  EXPECT_EQ(at_f0.board.config_read(0x40 + 1, 1), 0u);
  EXPECT_TRUE(tool_alive(at_f0, 0xf0));
  EXPECT_FALSE(tool_alive(at_f0, 0x88));
  // At 0xf0 only the EEPROM registers fit below 0x100; the debug registers
  // would lie in the extended space, where the AER capability stays.
  EXPECT_EQ(tool_read(at_f0, 0, 5), at_f0.eeprom(0, 5));
  at_f0.board.config_write(0x100 + 0x08, 0x00001000, 4);  // AER mask, not a debug register
  EXPECT_EQ(at_f0.board.config_read(0x108, 4), 0x00001000u);
}

// ---- EEPROM ---------------------------------------------------------------

TEST(ModelEeprom, DefaultContentHasAValidHeaderAndStrings) {
  sim::Eeprom e(1);
  auto &b = e.bytes();
  EXPECT_THAT(std::vector<uint8_t>(b.begin(), b.begin() + 5), ElementsAreArray({0x09, 0x04, 0xff, 0x08, 0x13}));
  auto be32 = [&](unsigned at) { return (uint32_t)b[at] << 24 | b[at + 1] << 16 | b[at + 2] << 8 | b[at + 3]; };
  EXPECT_EQ(be32(8), e.size());
  EXPECT_EQ(be32(12), e.sector_size());
  EXPECT_EQ(be32(16), sim::Eeprom::UCP1_OFFSET);
  EXPECT_EQ(be32(20), sim::Eeprom::UCP2_OFFSET);
  EXPECT_NE(be32(24), 0u);
  std::vector<std::string> strings;
  for (const char *s = reinterpret_cast<const char *>(&b[be32(28)]); *s; s += strlen(s) + 1) strings.push_back(s);
  EXPECT_THAT(strings, ElementsAreArray({"PC=ULVE-10G-SIM", "MAC=00:fa:dd:00:00:02", "SN=100001", "PN=10G-SR-0001"}));
  EXPECT_NE(b[sim::Eeprom::UCP1_OFFSET], 0xff);  // both areas hold a program
}

TEST(ModelEeprom, LoadsAndSavesWholeSectors) {
  TempDir dir;
  sim::Eeprom e(0);
  e.bytes()[0x12345] = 0x42;
  std::string path = dir.path() + "/eeprom.bin";
  e.save(path);
  sim::Eeprom other(3);
  other.load(path);
  EXPECT_EQ(other.bytes(), e.bytes());
  EXPECT_THROW(other.load(dir.write("short", "abc")), std::runtime_error);
  EXPECT_THROW(other.load(dir.path() + "/missing"), std::runtime_error);
  EXPECT_EQ(other.bytes(), e.bytes());  // a failed load changes nothing
}

TEST(ModelEeprom, ToolReadGetsEachByteAfterTheNextAddress) {
  Card b;
  EXPECT_EQ(tool_read(b, 0, 32), b.eeprom(0, 32));
  EXPECT_EQ(tool_read(b, 0xfffe, 5), b.eeprom(0xfffe, 5));
  // Step by step: writing A starts nothing visible yet, A + 1 brings byte A.
  b.w32(4, 0x100 << 8);
  b.w32(4, 0x101 << 8);
  EXPECT_EQ(b.r8(8), b.eeprom(0x100, 1)[0]);
  EXPECT_EQ(b.r32(4), 0x101u << 8);  // the address register reads back
}

TEST(ModelEeprom, UpdaterReadThroughByteLanes) {
  Card b;
  for (auto [at, n] : {std::pair{0u, 32u}, {0x1fd, 7}, {0xfffa, 11}, {0x100, 256}, {0x80000, 3}}) {
    SCOPED_TRACE(at);
    EXPECT_EQ(updater_read(b, at, n), b.eeprom(at, n));
  }
  // A 32-bit read holds the last four bytes, the latest low.
  b.w8(7, 0), b.w8(6, 0), b.w8(5, 0);
  for (int a = 1; a <= 4; a++) b.w8(5, a);
  auto h = b.eeprom(0, 4);
  EXPECT_EQ(b.r32(8), (uint32_t)h[0] << 24 | h[1] << 16 | h[2] << 8 | h[3]);
  EXPECT_EQ(b.r8(8), h[3]);
}

TEST(ModelEeprom, EraseRunsForAWhileThenReadsFF) {
  BoardOptions o = deterministic();
  o.erase_accesses = 20;
  Card b(o);
  const uint32_t sector = sim::Eeprom::UCP1_OFFSET + sim::Eeprom::SECTOR_SIZE;
  std::vector<uint8_t> before = b.board.eeprom().bytes();
  b.w8(15, sector >> 16), b.w8(14, sector >> 8), b.w8(13, sector);
  b.w8(12, 0xff);
  EXPECT_TRUE(b.board.nic().eeprom_busy());
  // While it runs: never 0xFF, and two successive reads never agree.
  uint32_t previous = b.r32(8);
  EXPECT_NE(previous & 0xff, 0xffu);
  for (int i = 0; i < 5; i++) {
    b.w8(5, sector);
    uint32_t now = b.r32(8);
    EXPECT_NE(now & 0xff, 0xffu);
    EXPECT_NE(now & 0xff, previous & 0xff);
    previous = now;
  }
  EXPECT_NE(b.eeprom(sector, 1)[0], 0xff);  // the sector is still as it was
  int polls = updater_erase(b, sector);      // a second erase request while busy is ignored
  EXPECT_GT(polls, 0);
  EXPECT_FALSE(b.board.nic().eeprom_busy());
  EXPECT_EQ(b.eeprom(sector, 0x10000), std::vector<uint8_t>(0x10000, 0xff));
  std::fill(before.begin() + sector, before.begin() + sector + 0x10000, 0xff);
  EXPECT_EQ(b.board.eeprom().bytes(), before);  // only that one sector
}

TEST(ModelEeprom, EraseAlsoEndsByTheClock) {
  BoardOptions o;
  o.erase_accesses = 1000000;
  o.erase_time = std::chrono::microseconds(500);
  Card b(o);
  b.w8(15, 0x08), b.w8(14, 0), b.w8(13, 0);
  b.w8(12, 0xff);
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(b.r32(8) & 0xff, 0xffu);  // a host that was away finds it done
}

TEST(ModelEeprom, UpdaterEraseAndProgramThenVerify) {
  BoardOptions o = deterministic();
  o.program_accesses = 3;  // make the updater poll
  Card b(o);
  const uint32_t at = sim::Eeprom::UCP2_OFFSET;
  std::vector<uint8_t> image(300);
  for (size_t i = 0; i < image.size(); i++) image[i] = i % 7 == 0 ? 0xff : (uint8_t)(i * 37);
  ASSERT_GE(updater_erase(b, at), 0);
  EXPECT_TRUE(updater_program(b, at, image));
  EXPECT_EQ(b.eeprom(at, image.size()), image);
  EXPECT_EQ(updater_read(b, at, image.size()), image);
}

TEST(ModelEeprom, ProgrammingCostsOneWriteAndOneReadPerByte) {
  Card b;  // the default timing: a program ends by the next access
  const uint32_t at = sim::Eeprom::UCP2_OFFSET;
  ASSERT_GE(updater_erase(b, at), 0);
  std::vector<uint8_t> image(1000, 0x5a);
  uint64_t before = b.accesses();
  EXPECT_TRUE(updater_program(b, at, image));
  EXPECT_EQ(b.accesses() - before, 2 * image.size() + 3);  // + the three address lanes once
}

TEST(ModelEeprom, ProgrammingOnlyClearsBits) {
  Card b;
  const uint32_t at = sim::Eeprom::UCP2_OFFSET;  // not erased: holds an old program
  uint8_t old = b.eeprom(at, 1)[0];
  uint8_t wanted = ~old | 0x01;
  EXPECT_FALSE(updater_program(b, at, {wanted}));  // reads back old & wanted, twice
  EXPECT_EQ(b.eeprom(at, 1)[0], old & wanted);
}

TEST(ModelEeprom, ToolProgramStepWithItsReReads) {
  BoardOptions o = deterministic();
  o.program_accesses = 5;
  Card b(o);
  const uint32_t at = sim::Eeprom::UCP2_OFFSET + 0x10000;
  ASSERT_GE(updater_erase(b, at), 0);
  std::vector<uint8_t> data = {0x12, 0xff, 0x00, 0x80, 0x7f};
  int rereads = tool_program(b, at, data);
  EXPECT_GT(rereads, 0);  // it had to wait
  EXPECT_EQ(b.eeprom(at, data.size()), data);

  uint64_t before = b.accesses();
  EXPECT_EQ(tool_program(b, at + 16, std::vector<uint8_t>(8, 0xff)), 0);
  EXPECT_EQ(b.accesses(), before);  // erased bytes need nothing
}

TEST(ModelFaults, StuckByteAndHangingErase) {
  BoardOptions o = deterministic();
  o.stuck_address = sim::Eeprom::UCP2_OFFSET + 2;
  Card b(o);
  ASSERT_GE(updater_erase(b, sim::Eeprom::UCP2_OFFSET), 0);
  EXPECT_EQ(tool_program(b, sim::Eeprom::UCP2_OFFSET, {1, 2, 3, 4}), -1);
  EXPECT_FALSE(updater_program(b, sim::Eeprom::UCP2_OFFSET + 2, {3}));
  EXPECT_EQ(tool_read(b, sim::Eeprom::UCP2_OFFSET, 4), (std::vector<uint8_t>{1, 2, 0, 0xff}));

  BoardOptions h = deterministic();
  h.erase_hangs = true;
  Card hung(h);
  EXPECT_EQ(updater_erase(hung, sim::Eeprom::UCP2_OFFSET, 1000), -1);
  EXPECT_TRUE(hung.board.nic().eeprom_busy());
}

// ---- Debug window ----------------------------------------------------------

TEST(ModelDebugWindow, ReadsAreBigEndianFromSram) {
  Card b;
  uint8_t *sram = b.board.chip().bar0().data();
  const uint8_t bytes[] = {0x11, 0x22, 0x33, 0x44, 0x55};
  memcpy(sram + 0x1000, bytes, sizeof bytes);
  DebugPort port{b};
  EXPECT_EQ(port.read(1, 0x1001) & 0xff, 0x22u);
  EXPECT_EQ(port.read(2, 0x1002) & 0xffff, 0x3344u);
  EXPECT_EQ(port.read(3, 0x1000), 0x11223344u);
  EXPECT_EQ(window_read32(b, 0x1000), 0x44332211u);  // memory order on a little-endian host
  EXPECT_EQ(window_read_bytes(b, 0x1001, 4), (std::vector<uint8_t>{0x22, 0x33, 0x44, 0x55}));
  EXPECT_EQ(port.read(3, 0x300000), 0u);  // nothing there
}

TEST(ModelDebugWindow, BufferedWriteAdvancesTheAddress) {
  Card b;
  DebugPort port{b};
  std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  port.write_buffer(0x2001, data);
  EXPECT_EQ(std::vector<uint8_t>(b.board.chip().bar0().data() + 0x2001, b.board.chip().bar0().data() + 0x200c), data);
  EXPECT_EQ(b.r32(24), 0x200cu);  // the address moved on by each write's width
  // The tools' way: 32-bit writes of mode, address and data.
  window_write32(b, 0x3000, 0xa1b2c3d4);
  EXPECT_EQ(b.board.chip().read(0x3000, 4), 0xd4c3b2a1u);
}

TEST(ModelDebugWindow, AddressBytesFromTheTopAndOnlyTheChangedOnes) {
  Card b;
  b.board.chip().write(0xfffc, 0x01020304, 4);
  b.board.chip().write(0x10000, 0x05060708, 4);
  DebugPort port{b};
  EXPECT_EQ(port.read(3, 0xfffc), 0x01020304u);
  uint64_t writes = b.board.counters.config_writes;
  EXPECT_EQ(port.read(3, 0x10000), 0x05060708u);
  EXPECT_EQ(b.board.counters.config_writes - writes, 1 + 3u);  // mode, then +26, +25, +24
}

TEST(ModelDebugWindow, SpecialRegisterPageLocateAndSnapshot) {
  Card b;
  DebugPort port{b};
  window_write32(b, 0xfffffff0, 0x00c0ffee);
  EXPECT_EQ(b.board.chip().read(0xfffffff0, 4), 0xeeffc000u);
  EXPECT_EQ(port.read(3, 0xfffffff0), 0xeeffc000u);

  b.board.firmware().located[2] = {0x180000, 0x400};
  b.w8(16, 8);
  port.set_address(2);
  EXPECT_EQ(b.r32(24), 0x180000u);
  EXPECT_EQ(b.r32(20), 0x400u);
  b.w8(16, 8);
  port.set_address(7);  // not published
  EXPECT_EQ(b.r32(24), 0u);

  b.w8(16, 9);
  port.set_address(0x180000);
  for (int k = 3; k >= 0; k--) b.w8(20 + k, 0x400 >> 8 * k);
  EXPECT_EQ(b.r32(20), 0x400u);
  EXPECT_EQ(b.r32(24), 0x180000u);
}

TEST(ModelDebugWindow, SramIsBar0) {
  Card b;
  b.board.chip().bar0().data()[0x1fffff] = 0x99;
  EXPECT_EQ(b.board.chip().read(0x1fffff, 1), 0x99u);
  b.board.chip().write(0x200000, 0x77, 1);  // past the SRAM: dropped
  EXPECT_EQ(b.board.chip().bar0().data()[0x200000], 0);
}

// ---- BAR memory in a file ----------------------------------------------------

TEST(ModelSharedMemory, AFileIsMadeOrKeptAndShared) {
  TempDir dir;
  const std::string made = dir.path() + "/made";
  {
    sim::SharedMemory m(sim::SharedMemory::File{made}, 0x10000);
    m.data()[0x1234] = 0x42;
  }
  std::string content = read_file(made);
  ASSERT_EQ(content.size(), 0x10000u);
  EXPECT_EQ(content[0x1234], 0x42);

  const std::string short_file = dir.write("short", "abc");  // kept, and grown to the size
  sim::SharedMemory grown(sim::SharedMemory::File{short_file}, 0x1000);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(grown.data()), 4), std::string("abc\0", 4));
  EXPECT_EQ(read_file(short_file).size(), 0x1000u);
  const std::string long_file = dir.write("long", std::string(0x3000, 'x'));  // never cut
  sim::SharedMemory part(sim::SharedMemory::File{long_file}, 0x1000);
  EXPECT_EQ(read_file(long_file).size(), 0x3000u);
}

TEST(ModelSharedMemory, OnlyARegularFileReachedWithoutALink) {
  TempDir dir;
  const std::string target = dir.write("target", "precious");
  ASSERT_EQ(symlink(target.c_str(), (dir.path() + "/link").c_str()), 0);
  ASSERT_EQ(symlink((dir.path() + "/nowhere").c_str(), (dir.path() + "/dangling").c_str()), 0);
  ASSERT_EQ(mkfifo((dir.path() + "/fifo").c_str(), 0600), 0);
  dir.mkdir("directory");
  for (const char *name : {"link", "dangling", "fifo", "directory"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(sim::SharedMemory(sim::SharedMemory::File{dir.path() + "/" + name}, 0x1000), std::runtime_error);
  }
  EXPECT_EQ(read_file(target), "precious");
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/nowhere"));
}

TEST(ModelSharedMemory, ABoardsBar0InAFile) {
  TempDir dir;
  BoardOptions o = deterministic();
  o.bar0_file = dir.path() + "/sram";
  Card c(o);
  window_write32(c, 0x3000, 0x44332211);  // memory order 11 22 33 44
  std::string content = read_file(o.bar0_file);
  ASSERT_EQ(content.size(), sim::Chip::BAR0_SIZE);
  EXPECT_EQ(content.substr(0x3000, 4), "\x11\x22\x33\x44");
  EXPECT_EQ(static_cast<uint8_t>(content[0]), sim::Firmware::program_byte(0));  // booted there
}

// ---- The host around the boards ---------------------------------------------

TEST(ModelHost, BridgesPortsBoardsAndAnotherDevice) {
  sim::HostOptions o;
  o.boards = {BoardOptions{}, BoardOptions{}};
  o.boards[1].device_id = 0x5e0b;
  sim::Host host(o);
  std::vector<std::string> names;
  for (const auto &s : host.slots()) names.push_back(s.name());
  EXPECT_THAT(names, ElementsAreArray({"0000:00:00.0", "0000:00:01.0", "0000:00:02.0", "0000:00:1f.0",
                                       "0000:01:00.0", "0000:02:00.0"}));
  for (size_t i = 0; i < host.board_count(); i++) {
    sim::PciFunction *port = host.find(0, 0, 1 + i, 0);
    EXPECT_EQ(port->config_read(0x0e, 1), 1u);
    EXPECT_EQ(port->config_read(0x19, 1), (unsigned)host.board_bus(i));
    EXPECT_EQ(port->config_read(0x42, 2) >> 4 & 0xf, 4u);  // root port
    auto bars = host.board(i).resources();
    uint32_t window = port->config_read(0x20, 4);
    EXPECT_LE((window & 0xfff0) << 16, bars[0].start);
    EXPECT_GE((window >> 16 & 0xfff0) << 16 | 0xfffff, bars[2].end);
    EXPECT_EQ(host.find(0, host.board_bus(i), 0, 0), &host.board(i));
  }
  EXPECT_EQ(host.board(1).config_read(2, 2), 0x5e0bu);
  EXPECT_EQ(host.find(0, 0, 0x1f, 0)->config_read(0, 2), 0x8086u);
  EXPECT_NE(host.board(0).eeprom().bytes(), host.board(1).eeprom().bytes());  // each board its own
}

}  // namespace
