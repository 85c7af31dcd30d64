// How the virtual host turns transfers of its files (configuration files,
// the physical-memory file) into accesses of the model, without mounting
// anything.

#include "host_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A function that logs every register access ("4@8": 4 bytes at 8) over
// plain bytes.
class Recorder : public sim::PciFunction {
 public:
  Recorder() {
    for (unsigned i = 0; i < sizeof bytes; i++) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  }
  uint32_t config_read(unsigned offset, int width) override {
    log.push_back(std::to_string(width) + "@" + std::to_string(offset));
    uint32_t v = 0;
    for (int i = 0; i < width; i++) v |= (uint32_t)bytes[offset + i] << 8 * i;
    return v;
  }
  void config_write(unsigned offset, uint32_t value, int width) override {
    log.push_back(std::to_string(width) + "@" + std::to_string(offset));
    for (int i = 0; i < width; i++) bytes[offset + i] = value >> 8 * i;
  }
  unsigned config_size() const override { return sizeof bytes; }

  uint8_t bytes[64];
  std::vector<std::string> log;
};

// Registers react to the width and position of each access (a write that
// covers one byte of a register starts an EEPROM read), so a transfer must be
// split exactly as Linux splits it.
TEST(ConfigFile, TransfersSplitIntoRegisterAccessesAsLinuxSplitsThem) {
  struct Case {
    unsigned offset;
    size_t count;
    std::vector<std::string> accesses;
  };
  const Case cases[] = {
      {0, 4, {"4@0"}}, {0, 12, {"4@0", "4@4", "4@8"}}, {1, 7, {"1@1", "2@2", "4@4"}}, {2, 2, {"2@2"}},
      {3, 1, {"1@3"}}, {1, 2, {"1@1", "1@2"}},         {5, 3, {"1@5", "2@6"}},        {6, 7, {"2@6", "4@8", "1@12"}},
      {8, 0, {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.count << " bytes at " << c.offset);
    Recorder read_side;
    uint8_t out[64] = {};
    sim::config_file_read(read_side, c.offset, out, c.count);
    EXPECT_EQ(read_side.log, c.accesses);
    for (size_t i = 0; i < c.count; i++) EXPECT_EQ(out[i], read_side.bytes[c.offset + i]) << "byte " << i;

    Recorder write_side;
    uint8_t in[64], before[64];
    for (size_t i = 0; i < sizeof in; i++) in[i] = static_cast<uint8_t>(0xa0 + i);
    memcpy(before, write_side.bytes, sizeof before);
    sim::config_file_write(write_side, c.offset, in, c.count);
    EXPECT_EQ(write_side.log, c.accesses);
    for (unsigned at = 0; at < sizeof before; at++) {
      bool inside = at >= c.offset && at < c.offset + c.count;
      EXPECT_EQ(write_side.bytes[at], inside ? in[at - c.offset] : before[at]) << "offset " << at;
    }
  }
}

// ---- The physical-memory file -----------------------------------------------

class PhysicalMemory : public testing::Test {
 protected:
  PhysicalMemory() : host(two_boards()) {}
  static sim::HostOptions two_boards() {
    sim::HostOptions o;
    o.boards = {sim::BoardOptions{}, sim::BoardOptions{}};
    o.boards[1].bar2_present = false;
    return o;
  }
  std::vector<uint8_t> read(uint64_t address, size_t count, bool *ok = nullptr) {
    std::vector<uint8_t> out(count, 0xa5);
    bool done = sim::memory_file_read(host, address, out.data(), count);
    if (ok) *ok = done;
    return done ? out : std::vector<uint8_t>{};
  }
  bool write(uint64_t address, std::vector<uint8_t> bytes) {
    return sim::memory_file_write(host, address, bytes.data(), bytes.size());
  }
  sim::Host host;
};

TEST_F(PhysicalMemory, BarsWhereTheHostPlacedThem) {
  sim::Board &b0 = host.board(0), &b1 = host.board(1);
  uint64_t bar0 = b1.resources()[0].start, bar2 = b0.resources()[2].start;
  ASSERT_TRUE(write(bar0 + 0x1000, {1, 2, 3, 4}));
  EXPECT_EQ(b1.chip().read(0x1000, 4), 0x01020304u);
  EXPECT_EQ(read(bar0 + 0xfffffe, 2), (std::vector<uint8_t>{0, 0}));  // BAR0's last bytes
  EXPECT_EQ(read(bar2 + 0xffff8, 4), (std::vector<uint8_t>{0x51, 0xc0, 0xff, 0xee}));  // the ISR's mirror
  ASSERT_TRUE(write(bar2 + 0x10, {9}));
  EXPECT_EQ(b0.chip().bar2()->data()[0x10], 9);
}

TEST_F(PhysicalMemory, AStoreOfZeroIntoWordZeroIsSeenAtOnce) {
  sim::Board &b = host.board(0);
  ASSERT_TRUE(write(b.resources()[0].start, {0, 0, 0, 0}));
  EXPECT_EQ(b.firmware().resets(), 1u);
  EXPECT_NE(b.chip().read(0, 4), 0u);
  ASSERT_TRUE(write(b.resources()[0].start + 4, {0, 0, 0, 0}));  // another word is only data
  EXPECT_EQ(b.firmware().resets(), 1u);
}

TEST_F(PhysicalMemory, TheConfigurationWindowReachesEveryFunction) {
  constexpr uint64_t W = sim::ECAM_BASE;
  EXPECT_EQ(read(W, 4), (std::vector<uint8_t>{0x86, 0x80, 0x57, 0x0d}));  // the host bridge, which mm looks for
  EXPECT_EQ(read(W + (1 << 20), 4), (std::vector<uint8_t>{0x5c, 0x1f, 0x0a, 0x5e}));
  EXPECT_EQ(read(W + (2 << 20) + 0x100, 4), (std::vector<uint8_t>{0x01, 0x00, 0x01, 0x00}));  // extended space
  // Nothing there, or beyond a conventional function's space: all ones.
  for (uint64_t at : {W + (3 << 20), W + (1 << 20) + (1 << 15), W + 0x100, W + (0x1f << 15) + 0xffc}) {
    SCOPED_TRACE(at);
    EXPECT_EQ(read(at, 4), (std::vector<uint8_t>(4, 0xff)));
  }
  // A transfer over a function's end: its last bytes, then all ones.
  EXPECT_EQ(read(W + (1 << 20) + 0xffe, 4), (std::vector<uint8_t>{0, 0, 0xff, 0xff}));

  sim::Board &b = host.board(0);
  b.record_accesses = true;
  ASSERT_TRUE(write(W + (1 << 20) + 4, {0x06, 0x00}));
  ASSERT_TRUE(write(W + (1 << 20) + 0x88 + 16, {3, 0, 0, 0}));
  using A = sim::Board::ConfigAccess;
  EXPECT_EQ(b.accesses, (std::vector<A>{{true, 4, 2, 6}, {true, 0x98, 4, 3}}));  // one access of the width written
  EXPECT_EQ(b.config_read(4, 2), 6u);
  EXPECT_TRUE(write(W + (5 << 20), {1, 2, 3, 4}));  // nothing there: ignored
}

TEST_F(PhysicalMemory, ElsewhereNothingIsDone) {
  sim::Board &b0 = host.board(0), &b1 = host.board(1);
  const uint64_t bar0 = b0.resources()[0].start, bar2 = b0.resources()[2].start;
  struct Case {
    const char *what;
    uint64_t address;
    size_t count;
  } cases[] = {
      {"low memory", 0x1000, 4},
      {"the other vendor's BAR, which maps nothing", 0xfebc0000, 4},
      {"across BAR0's end into BAR2", bar0 + 0xfffffe, 4},
      {"past BAR2's end", bar2 + 0xffffe, 4},
      {"the place of a BAR2 the board does not have", b1.resources()[0].start + 0x1000000, 4},
      {"past the configuration window", sim::ECAM_BASE + sim::ECAM_SIZE - 2, 4},
      {"above 4 GiB", 0x1c0000000, 4},
      {"an offset that wraps", UINT64_MAX - 1, 4},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    bool ok = true;
    read(k.address, k.count, &ok);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(write(k.address, std::vector<uint8_t>(k.count, 0x5a)));
  }
  // Not even the part that lies inside a window.
  const uint8_t *bar0_memory = b0.chip().bar0().data(), *bar2_memory = b0.chip().bar2()->data();
  EXPECT_EQ(bar0_memory[0xfffffe] | bar0_memory[0xffffff], 0);
  EXPECT_EQ(bar2_memory[0] | bar2_memory[0xffffe] | bar2_memory[0xfffff], 0);
}

}  // namespace
