// The EEPROM primitives of uba_ze.h against the card model, served to the
// library in this process.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_util.h"
#include "uba_model_method.h"
#include "uba_ze.h"

using testing::ExitedWithCode;
using testing::MatchesRegex;

namespace {

class Eeprom : public testing::Test {
 protected:
  // A host with one board of these options, opened as unit 0.
  uba_nic *open_board(sim::BoardOptions o = {}) {
    o.program_time = o.erase_time = std::chrono::microseconds(0);
    sim::HostOptions h;
    h.boards = {o};
    host = std::make_unique<sim::Host>(h);
    sim::serve_in_process(*host);
    uba_pci_method(sim::UBA_PCI_MODEL);
    nic.reset(uba_open(0, UBA_ZE, UBA_BAR_SKIP));
    return nic.get();
  }
  sim::Board &board() { return host->board(0); }
  uint64_t accesses() { return board().counters.config_reads + board().counters.config_writes; }
  std::vector<uint8_t> eeprom(uint32_t at, size_t n) {
    auto &b = board().eeprom().bytes();
    return {b.begin() + at, b.begin() + at + n};
  }
  void erase(uint32_t sector) { board().eeprom().erase_sector(sector); }

  std::unique_ptr<sim::Host> host;
  std::unique_ptr<uba_nic, decltype(&free)> nic{nullptr, free};
};

TEST_F(Eeprom, ReadCollectsEachByteAfterTheNextAddress) {
  uba_nic *n = open_board();
  std::vector<uint8_t> buf(300);
  uint64_t before = accesses();
  ulve_pci_eeprom_read(n, 0xfff0, buf.data(), buf.size());
  EXPECT_EQ(buf, eeprom(0xfff0, 300));
  EXPECT_EQ(accesses() - before, 1 + 2 * buf.size());  // the first address, then a write and a read per byte
}

TEST_F(Eeprom, ReadWithoutTheCapabilityStopsTheProgram) {
  sim::BoardOptions o;
  o.vs_present = false;
  uba_nic *n = open_board(o);
  uint8_t b;
  EXPECT_EXIT(ulve_pci_eeprom_read(n, 0, &b, 1), ExitedWithCode(1),
              MatchesRegex(library_error("uba_ze.h", "ulve_pci_eeprom_read")));
}

TEST_F(Eeprom, WriteProgramsInAtMost32PiecesWithADotEach) {
  uba_nic *n = open_board();
  erase(0x80000);
  for (auto [length, pieces] : {std::pair{1, 1}, {31, 31}, {64, 22}, {100, 25}, {1000, 32}}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> data(length);
    for (int i = 0; i < length; i++) data[i] = (uint8_t)(length + i);
    uint32_t at = 0x80000 + 2 * length;
    testing::internal::CaptureStderr();
    ulve_pci_eeprom_write(n, at, data.data(), data.size());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(pieces, '.') + "\n");
    EXPECT_EQ(eeprom(at, length), data);
  }
}

TEST_F(Eeprom, ErasedBytesTouchNoRegister) {
  uba_nic *n = open_board();
  std::vector<uint8_t> all_ones(64, 0xff);
  uint64_t before = accesses();
  testing::internal::CaptureStderr();
  ulve_pci_eeprom_write(n, 0x80000, all_ones.data(), all_ones.size());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(22, '.') + "\n");
  EXPECT_EQ(accesses(), before);
}

TEST_F(Eeprom, ProgramWaitsForTheByteWithReReads) {
  sim::BoardOptions o;
  o.program_accesses = 7;  // three re-reads (a write and a read each) before the byte shows
  uba_nic *n = open_board(o);
  erase(0x90000);
  const uint8_t data[] = {0x01, 0xff, 0xa5};
  uint64_t before = accesses();
  EXPECT_EQ(ulve_pci_eeprom_program(n, 0x90000, data, 3, 0x88), 0);
  EXPECT_EQ(eeprom(0x90000, 3), std::vector<uint8_t>(data, data + 3));
  EXPECT_EQ(accesses() - before, 2 * (2 + 2 * 3u));
}

TEST_F(Eeprom, StuckByteStopsAfterTheTenthReRead) {
  sim::BoardOptions o;
  o.stuck_address = 0x80002;
  o.stuck_value = 0x00;
  uba_nic *n = open_board(o);
  erase(0x80000);
  const uint8_t data[] = {0x11, 0x22, 0x33, 0x44};
  // On the way out the child shows what the EEPROM kept: the bytes
  // programmed before the stuck one.
  static sim::Board *board_at_exit = &board();
  EXPECT_EXIT(
      {
        atexit([] {
          auto &b = board_at_exit->eeprom().bytes();
          fprintf(stderr, "kept %02x %02x %02x %02x\n", b[0x80000], b[0x80001], b[0x80002], b[0x80003]);
        });
        ulve_pci_eeprom_write(n, 0x80000, data, 4);
      },
      ExitedWithCode(1),
      MatchesRegex("\\.\\." + library_error("uba_ze.h", "Cannot program at offset 0x80002=0x33, reread=0x0, retries=10\n") +
                   "kept 11 22 ff ff\n"));
}

TEST_F(Eeprom, LivenessCheckKeepsAWorkingPosition) {
  uba_nic *n = open_board();
  ASSERT_EQ(n->cfg_cap[9], 0x88);
  testing::internal::CaptureStderr();
  ulve_vs_cap_check(n);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(n->cfg_cap[9], 0x88);
}

TEST_F(Eeprom, LivenessCheckFallsBackToTheUsualPositions) {
  struct {
    uint8_t registers_at;
    const char *warnings;
  } cases[] = {
      {0xf0,
       "WARNING, vs cap does not seem to exists at 0x0\n"
       "WARNING: Using vs cap found at 0xf0\n"},
      {0x88,
       "WARNING, vs cap does not seem to exists at 0x0\n"
       "WARNING, vs cap does not seem to exists at 0xf0\n"
       "WARNING: Using vs cap found at 0x88\n"},
  };
  for (const auto &c : cases) {
    sim::BoardOptions o;
    o.vs_position = c.registers_at;
    o.vs_listed = false;  // the list does not name them: the board's entry is 0
    uba_nic *n = open_board(o);
    ASSERT_EQ(n->cfg_cap[9], 0);
    testing::internal::CaptureStderr();
    ulve_vs_cap_check(n);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.warnings);
    EXPECT_EQ(n->cfg_cap[9], c.registers_at);
    std::vector<uint8_t> header(8);
    ulve_pci_eeprom_read(n, 0, header.data(), 8);  // and it works from there
    EXPECT_EQ(header, eeprom(0, 8));
  }
}

TEST_F(Eeprom, LivenessCheckLeavesThePositionWhenNothingAnswers) {
  sim::BoardOptions o;
  o.vs_present = false;
  uba_nic *n = open_board(o);
  testing::internal::CaptureStderr();
  ulve_vs_cap_check(n);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "WARNING, vs cap does not seem to exists at 0x0\n"
            "WARNING, vs cap does not seem to exists at 0xf0\n"
            "WARNING, vs cap does not seem to exists at 0x88\n");
  EXPECT_EQ(n->cfg_cap[9], 0);

  n->cfg_cap[9] = 0xf0;  // a position that was recorded but does not answer
  testing::internal::CaptureStderr();
  ulve_vs_cap_check(n);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "WARNING, vs cap does not seem to exists at 0xf0\n"
            "WARNING, vs cap does not seem to exists at 0x88\n");
  EXPECT_EQ(n->cfg_cap[9], 0xf0);
}

}  // namespace
