// The tools' memory handle in this process, against the card model served
// as an access method: the configuration accesses each kind makes (from the
// model's record of them), the widths of mapped reads, ports, and the
// refusals.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "uba_kram.h"
#include "uba_model_method.h"

namespace {

using Access = sim::Board::ConfigAccess;
constexpr unsigned P = 0x88;  // where the model's vendor-specific registers are

class Kram : public testing::Test {
 protected:
  void SetUp() override {
    sim::HostOptions h;
    h.boards = {sim::BoardOptions{}};
    host = std::make_unique<sim::Host>(h);
    sim::serve_in_process(*host);
    uba_pci_method(sim::UBA_PCI_MODEL);
    nic = uba_open(0, UBA_ZE, UBA_BAR_SKIP);
  }
  void TearDown() override { free(nic); }
  sim::Board &board() { return host->board(0); }
  // The accesses `work` makes.
  std::vector<Access> accesses_of(const std::function<void()> &work) {
    board().accesses.clear();
    board().record_accesses = true;
    work();
    board().record_accesses = false;
    return board().accesses;
  }
  uint8_t sram(uint32_t at) { return board().chip().sram()[at]; }

  std::unique_ptr<sim::Host> host;
  uba_nic *nic = nullptr;
};

Access w(unsigned reg, int width, uint32_t v) { return {true, P + reg, width, v}; }
Access r(unsigned reg, int width, uint32_t v) { return {false, P + reg, width, v}; }

// A 32-bit read: mode 3, the address, the data register as one word, whose
// bytes are reversed into memory order; 16 bits likewise; any other length
// byte by byte, one address write per byte.
TEST_F(Kram, DebugWindowReadsWordsHalvesAndBytes) {
  const uint8_t mem[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  std::copy(mem, mem + 8, board().chip().sram() + 0x1000);
  kram_t k{};
  kram_open_cfg(&k, nic);
  uint8_t buf[8] = {};

  EXPECT_THAT(accesses_of([&] { kram_read(&k, 0x1000, buf, 4); }),
              testing::ElementsAre(w(VS_DBG_MODE, 4, 3), w(VS_DBG_ADDR, 4, 0x1000), r(VS_DBG_DATA, 4, 0x11223344)));
  EXPECT_THAT(buf, testing::ElementsAre(0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0));

  EXPECT_THAT(accesses_of([&] { kram_read(&k, 0x1004, buf, 2); }),
              testing::ElementsAre(w(VS_DBG_MODE, 4, 2), w(VS_DBG_ADDR, 4, 0x1004), r(VS_DBG_DATA, 2, 0x5566)));
  EXPECT_EQ(buf[0], 0x55);
  EXPECT_EQ(buf[1], 0x66);

  std::vector<Access> bytes = {w(VS_DBG_MODE, 4, 1)};
  for (uint32_t i = 0; i < 8; i++) bytes.insert(bytes.end(), {w(VS_DBG_ADDR, 4, 0x1000 + i), r(VS_DBG_DATA, 1, mem[i])});
  EXPECT_EQ(accesses_of([&] { kram_read(&k, 0x1000, buf, 8); }), bytes);
  EXPECT_THAT(buf, testing::ElementsAreArray(mem));
}

TEST_F(Kram, DebugWindowWritesWordsHalvesAndBytes) {
  kram_t k{};
  kram_open_cfg(&k, nic);
  const uint8_t word[4] = {0xa1, 0xa2, 0xa3, 0xa4}, half[2] = {0xb1, 0xb2}, three[3] = {0xc1, 0xc2, 0xc3};
  EXPECT_THAT(accesses_of([&] { kram_write(&k, 0x2000, word, 4); }),
              testing::ElementsAre(w(VS_DBG_MODE, 4, 7), w(VS_DBG_ADDR, 4, 0x2000), w(VS_DBG_DATA, 4, 0xa1a2a3a4)));
  EXPECT_THAT(accesses_of([&] { kram_write(&k, 0x2004, half, 2); }),
              testing::ElementsAre(w(VS_DBG_MODE, 4, 6), w(VS_DBG_ADDR, 4, 0x2004), w(VS_DBG_DATA, 2, 0xb1b2)));
  EXPECT_THAT(accesses_of([&] { kram_write(&k, 0x2006, three, 3); }),
              testing::ElementsAre(w(VS_DBG_MODE, 4, 5), w(VS_DBG_ADDR, 4, 0x2006), w(VS_DBG_DATA, 1, 0xc1),
                                   w(VS_DBG_ADDR, 4, 0x2007), w(VS_DBG_DATA, 1, 0xc2), w(VS_DBG_ADDR, 4, 0x2008),
                                   w(VS_DBG_DATA, 1, 0xc3)));
  const uint8_t expected[9] = {0xa1, 0xa2, 0xa3, 0xa4, 0xb1, 0xb2, 0xc1, 0xc2, 0xc3};
  for (int i = 0; i < 9; i++) EXPECT_EQ(sram(0x2000 + i), expected[i]) << i;
}

// The offset is added to every address, modulo 2^32: the special registers
// at the top of the space are reached from register offsets.
TEST_F(Kram, OffsetWrapsAroundTheAddressSpace) {
  kram_t k{};
  kram_open_cfg(&k, nic);
  k.offset = 0xfffffe00;
  uint32_t isr;
  kram_read(&k, 0x1f8, &isr, 4);
  EXPECT_EQ(__builtin_bswap32(isr), sim::RegisterBlock::ISR_VALUE);
}

// Writes of 0xFF are what an erased EEPROM holds: an all-0xFF buffer
// touches no register; other bytes are one program write each and a read.
TEST_F(Kram, EepromWritesSkipErasedBytes) {
  kram_t k{};
  testing::internal::CaptureStderr();
  kram_open_eeprom(&k, nic);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  const uint8_t ones[16] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                            0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  EXPECT_THAT(accesses_of([&] { kram_write(&k, 0xc0000, ones, sizeof ones); }), testing::IsEmpty());
  const uint8_t data[3] = {0x12, 0xff, 0x34};
  std::vector<Access> done = accesses_of([&] { kram_write(&k, 0xc0000, data, 3); });
  ASSERT_GE(done.size(), 4u);
  EXPECT_EQ(done.front(), w(VS_EE_PROGRAM, 4, 0xc000012));
  EXPECT_EQ(board().eeprom().bytes()[0xc0000], 0x12);
  EXPECT_EQ(board().eeprom().bytes()[0xc0001], 0xff);
  EXPECT_EQ(board().eeprom().bytes()[0xc0002], 0x34);
  uint8_t back[3];
  kram_read(&k, 0xc0000, back, 3);
  EXPECT_THAT(back, testing::ElementsAreArray(data));
}

// Mapped reads use the widest load the device address allows.
TEST(KramMap, ReadWidthsFollowTheDeviceAddress) {
  auto widths = [](uint32_t at, size_t len) {
    std::vector<int> v;
    for (size_t i = 0; i < len;) {
      int width = kram_map_width(at + (uint32_t)i, len - i);
      v.push_back(width);
      i += width;
    }
    return v;
  };
  EXPECT_THAT(widths(1, 7), testing::ElementsAre(1, 2, 4));
  EXPECT_THAT(widths(3, 7), testing::ElementsAre(1, 4, 2));
  EXPECT_THAT(widths(0, 9), testing::ElementsAre(4, 4, 1));
  EXPECT_THAT(widths(2, 1), testing::ElementsAre(1));
}

TEST(KramMap, ReadsWritesAndZeroesMemory) {
  alignas(8) uint8_t memory[64] = {};
  kram_t k{};
  kram_open_map(&k, memory);
  const uint8_t data[7] = {1, 2, 3, 4, 5, 6, 7};
  kram_write(&k, 1, data, 7);
  uint8_t back[7];
  kram_read(&k, 1, back, 7);
  EXPECT_THAT(back, testing::ElementsAreArray(data));
  uint32_t word = 0x11223344;
  kram_write(&k, 8, &word, 4);
  EXPECT_EQ(memory[8], 0x44);
  kram_zero(&k, 0, 12);
  EXPECT_THAT(std::vector<uint8_t>(memory, memory + 12), testing::Each(0));
}

// Ports through the library's host interface: 1, 2 or 4 bytes; raw
// configuration cycles write the address to 0xcf8 first.
std::vector<std::string> port_log;
uint32_t fake_in(unsigned port, int width) {
  port_log.push_back("in " + std::to_string(port) + "/" + std::to_string(width));
  return 0x12345678;
}
void fake_out(unsigned port, uint32_t value, int width) {
  char line[64];
  snprintf(line, sizeof line, "out %u/%d 0x%x", port, width, value);
  port_log.push_back(line);
}
int fake_iopl(int) { return 0; }

TEST(KramPorts, PortsAndConfigurationCycles) {
  uba_host_t saved = uba_host;
  uba_host.iopl = fake_iopl;
  uba_host.port_in = fake_in;
  uba_host.port_out = fake_out;
  port_log.clear();
  kram_t k{};
  kram_open_ioport(&k);
  uint16_t half;
  kram_read(&k, 0x80, &half, 2);
  EXPECT_EQ(half, 0x5678);
  uint8_t byte = 0xab;
  kram_write(&k, 0x81, &byte, 1);
  kram_open_cf8(&k);
  uint32_t word;
  kram_read(&k, 0x80001006, &word, 1);
  EXPECT_THAT(port_log, testing::ElementsAre("in 128/2", "out 129/1 0xab", "out 3320/4 0x80001004", "in 3326/1"));
  EXPECT_EXIT(kram_read(&k, 0x80001000, &word, 3), testing::ExitedWithCode(1),
              testing::MatchesRegex("ERROR:uba_kram\\.h:[0-9]+:kram_read: 3 bytes: I/O ports take 1, 2 or 4\n\n"));
  uba_host = saved;
}

TEST(KramPorts, WithoutTheRightToUsePortsTheOpenStops) {
  uba_host_t saved = uba_host;
  uba_host.iopl = [](int) {
    errno = EPERM;
    return -1;
  };
  kram_t k{};
  EXPECT_EXIT(kram_open_ioport(&k), testing::ExitedWithCode(1),
              testing::MatchesRegex("ERROR:uba_ioport\\.h:[0-9]+:iopl failed: cannot get access to io "
                                    "ports:Operation not permitted\n\n"));
  uba_host = saved;
}

// Clearing is defined for mapped memory and the adapter only; anything else
// stops before the device is touched.
TEST_F(Kram, ZeroOnAnotherKindStopsBeforeTouchingTheDevice) {
  kram_t k{};
  kram_open_cfg(&k, nic);
  EXPECT_EXIT(kram_zero(&k, 0x1000, 4), testing::ExitedWithCode(1),
              testing::MatchesRegex("ERROR:uba_kram\\.h:[0-9]+:kram_zero: not possible through this kind of access "
                                    "\\(4\\)\n\n"));
  // Closing a handle not opened through the adapter does nothing.
  EXPECT_THAT(accesses_of([&] { kram_close(&k); }), testing::IsEmpty());
}

TEST_F(Kram, CapabilityOutOfTheWindowsReachIsRefused) {
  kram_t k{};
  nic->cfg_cap[ULVE_VS_CAP_ID] = 0xf0;
  EXPECT_EXIT(kram_open_cfg(&k, nic), testing::ExitedWithCode(1),
              testing::MatchesRegex("ERROR:uba_kram\\.h:[0-9]+:Cannot handle card with vendor cap=0xf0\n\n"));
}

}  // namespace
