// What the modeled firmware does: its boot, the message log kmesg reads,
// the SRAM backup block sramgrab sets up, the programmed-I/O restart, and
// the options that set a board's log up as a test needs it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "card.h"
#include "host.h"

namespace {

using sim::Firmware;
using testing::ElementsAre;
using testing::HasSubstr;

constexpr uint32_t M = Firmware::LOG_HEADER, RING = M - 0x21e8, BACKUP = Firmware::BACKUP_BLOCK;
const std::string BOOTED = "ucp: stand-in control program booted, 0x10000 bytes at 0x0\n";

// The message log as a reader finds it.
struct Log {
  uint32_t time0, time1, magic, w, r, ring;
};
Log log_header(Card &c, uint32_t at = M) {
  const uint8_t *h = c.sram() + at;
  return {be32(h), be32(h + 4), be32(h + 8), be32(h + 12), be32(h + 16), be32(h + 20)};
}
// Stream bytes [from, to) of the ring at `ring`.
std::string ring_text(Card &c, uint32_t from, uint32_t to, uint32_t ring = RING) {
  std::string text;
  for (uint32_t n = from; n != to; n++) text += static_cast<char>(c.sram()[ring + n % 8192]);
  return text;
}
// Everything written since the header was last written.
std::string log_text(Card &c) { return ring_text(c, 0, log_header(c).w); }

std::vector<uint8_t> bytes(Card &c, uint32_t at, size_t n) { return {c.sram() + at, c.sram() + at + n}; }
std::vector<uint8_t> program() {
  std::vector<uint8_t> p(Firmware::PROGRAM_SIZE);
  for (uint32_t i = 0; i < p.size(); i++) p[i] = Firmware::program_byte(i);
  return p;
}
std::vector<uint8_t> scratch() {
  std::vector<uint8_t> s(Firmware::SCRATCH_SIZE);
  for (uint32_t i = 0; i < s.size(); i++) s[i] = Firmware::scratch_byte(i);
  return s;
}
void fill(Card &c, uint32_t at, size_t n, uint8_t seed) {
  for (size_t i = 0; i < n; i++) c.sram()[at + i] = static_cast<uint8_t>(seed + i * 13 + (i >> 9));
}

// ---- Boot -------------------------------------------------------------------

TEST(ModelFirmware, PowerOnLoadsTheProgramAndScratchAndStartsTheLog) {
  Card c;
  EXPECT_EQ(bytes(c, 0, Firmware::PROGRAM_SIZE), program());
  EXPECT_NE(be32(c.sram()), 0u);  // a 0 there would ask for a restart
  EXPECT_EQ(bytes(c, Firmware::SCRATCH, Firmware::SCRATCH_SIZE), scratch());
  Log h = log_header(c);
  EXPECT_EQ(h.magic, 0x7072696eu);
  EXPECT_EQ(h.ring, 0x1dc800u);
  EXPECT_EQ(h.r, 0u);
  EXPECT_EQ(h.w, BOOTED.size());
  EXPECT_EQ(log_text(c), BOOTED);
  EXPECT_EQ(bytes(c, 0x1dfe00, 256), std::vector<uint8_t>(256, 0));  // the identification strings are left alone
}

TEST(ModelFirmware, TimeWordsAddUpToModelTime) {
  Card c;
  c.at(1234);
  EXPECT_EQ(log_header(c).time0 + log_header(c).time1, 1234u);
  c.board.reset();  // word 0 becomes the time of the boot
  c.at(5000);
  Log h = log_header(c);
  EXPECT_EQ(h.time0, 1234u);
  EXPECT_EQ(h.time0 + h.time1, 5000u);
}

// ---- The message log --------------------------------------------------------

TEST(ModelLog, AResetRewritesTheHeaderAndTellsWhatHappened) {
  Card c;
  put_be32(c.sram() + M + 16, 7);  // a reader has read some
  c.board.reset();
  Log h = log_header(c);
  EXPECT_EQ(h.magic, 0x7072696eu);
  EXPECT_EQ(h.r, 0u);
  EXPECT_EQ(log_text(c), "ucp: reset\n" + BOOTED);
  EXPECT_EQ(c.board.firmware().resets(), 1u);
}

TEST(ModelLog, TheReadCountIsTheHostsAlone) {
  sim::BoardOptions o = deterministic();
  o.log_every = std::chrono::milliseconds(1);
  Card c(o);
  put_be32(c.sram() + M + 16, 12345);
  c.at(3000);
  EXPECT_EQ(log_header(c).r, 12345u);
  EXPECT_EQ(log_header(c).w, BOOTED.size() + 3 * strlen("ucp: tick 1 at 1 ms\n"));
}

TEST(ModelLog, AClearedHeaderStaysClearedUntilTheNextReset) {
  sim::BoardOptions o = deterministic();
  o.log_every = std::chrono::milliseconds(10);
  Card c(o);
  std::vector<uint8_t> ring_before = bytes(c, RING, 8192);
  std::memset(c.sram() + M, 0, 24);  // kmesg -c
  c.at(100000);                      // ticks, time and ten lines due
  c.board.config_write(0x04, 0x0006, 2);
  EXPECT_EQ(bytes(c, M, 24), std::vector<uint8_t>(24, 0));
  EXPECT_EQ(bytes(c, RING, 8192), ring_before);
  c.board.reset();
  EXPECT_EQ(log_header(c).magic, 0x7072696eu);
  EXPECT_EQ(log_text(c), "ucp: reset\n" + BOOTED);
}

TEST(ModelLog, TheSteadyProducerWritesANumberedLinePerPeriodOfModelTime) {
  sim::BoardOptions o = deterministic();
  o.log_every = std::chrono::milliseconds(10);
  Card c(o);
  EXPECT_EQ(c.board.next_deadline(), T0 + std::chrono::milliseconds(10));
  c.at(9999);
  EXPECT_EQ(log_text(c), BOOTED);
  c.at(35000);
  EXPECT_EQ(log_text(c), BOOTED + "ucp: tick 1 at 10 ms\nucp: tick 2 at 20 ms\nucp: tick 3 at 30 ms\n");
  EXPECT_EQ(c.board.next_deadline(), T0 + std::chrono::milliseconds(40));
  // Numbered by model time: after a long quiet spell the count goes on from
  // the time, and only the latest lines are written.
  uint32_t w = log_header(c).w;
  c.at(3600000000);
  Log h = log_header(c);
  EXPECT_EQ(h.w - w, 256 * strlen("ucp: tick 360000 at 3600000 ms\n"));
  EXPECT_THAT(ring_text(c, w, h.w), testing::StartsWith("ucp: tick 359745 at 3597450 ms\n"));
  EXPECT_THAT(ring_text(c, w, h.w), testing::EndsWith("ucp: tick 360000 at 3600000 ms\n"));
}

// The write count runs on across 2^32, and the ring wraps at 8192 bytes.
TEST(ModelLog, WritesWrapTheRingAndTheCount) {
  sim::BoardOptions o = deterministic();
  o.log_preset = sim::BoardOptions::LogPreset{0xfffffff0, 0xfffffff0};
  o.log_every = std::chrono::milliseconds(1);
  Card c(o);
  c.at(1000);
  const std::string line = "ucp: tick 1 at 1 ms\n";
  Log h = log_header(c);
  EXPECT_EQ(h.w, static_cast<uint32_t>(0xfffffff0u + line.size()));
  EXPECT_EQ(h.r, 0xfffffff0u);
  EXPECT_EQ(ring_text(c, 0xfffffff0u, h.w), line);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(c.sram()) + RING + 8176, 16), line.substr(0, 16));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(c.sram()) + RING, 4), line.substr(16));
}

// Every case of a reader's pass can be set up: the ring holds the last
// bytes of the preset stream up to w.
TEST(ModelLog, PresetRingsHoldTheStreamUpToW) {
  struct Case {
    uint32_t w, r;
  } cases[] = {{100, 100}, {0x10010, 0x10000}, {8292, 100}, {9000 + 50, 50}, {5000, 5000}, {20000, 20000},
               {0, 0}};
  for (const Case &k : cases) {
    SCOPED_TRACE(testing::Message() << "w=" << k.w << " r=" << k.r);
    sim::BoardOptions o = deterministic();
    o.log_preset = sim::BoardOptions::LogPreset{k.w, k.r};
    Card c(o);
    Log h = log_header(c);
    EXPECT_EQ(h.magic, 0x7072696eu);
    EXPECT_EQ(h.w, k.w);  // no boot line
    EXPECT_EQ(h.r, k.r);
    EXPECT_EQ(h.ring, RING);
    uint32_t from = k.w > 8192 ? k.w - 8192 : 0;
    std::string expected;
    for (uint32_t n = from; n < k.w; n++) expected += static_cast<char>(sim::log_stream_byte(n));
    EXPECT_EQ(ring_text(c, from, k.w), expected);
  }
  EXPECT_EQ(sim::log_stream_byte(0x540), 'l');
  std::string line;
  for (uint32_t n = 0x540; n < 0x560; n++) line += static_cast<char>(sim::log_stream_byte(n));
  EXPECT_EQ(line, "log line 0000002a of the preset\n");
}

TEST(ModelLog, ABadMagicOrAnotherPlaceAtPowerOnOnly) {
  sim::BoardOptions bad = deterministic();
  bad.log_magic = 0x12345678;
  Card b(bad);
  EXPECT_EQ(log_header(b).magic, 0x12345678u);
  EXPECT_EQ(log_text(b), BOOTED);  // the firmware logs on regardless
  b.board.reset();
  EXPECT_EQ(log_header(b).magic, 0x7072696eu);

  sim::BoardOptions moved = deterministic();
  moved.log_header = 0x1d69e8;
  Card m(moved);
  Log h = log_header(m, 0x1d69e8);
  EXPECT_EQ(h.magic, 0x7072696eu);
  EXPECT_EQ(h.ring, 0x1d4800u);
  EXPECT_EQ(ring_text(m, 0, h.w, 0x1d4800), BOOTED);
  EXPECT_EQ(log_header(m).magic, 0u);  // nothing at the usual place
  EXPECT_EQ(m.board.firmware().log_ring(), 0x1d4800u);

  for (uint32_t at : {0x1d69e9u, 0x21e4u, 0x1fffecu}) {
    sim::BoardOptions o = deterministic();
    o.log_header = at;
    EXPECT_THROW(Card{o}, std::invalid_argument) << std::hex << at;
  }
}

// ---- The SRAM backup block ---------------------------------------------------

void set_backup(Card &c, uint32_t magic, uint32_t length, uint32_t target, uint32_t second) {
  put_be32(c.sram() + BACKUP, magic);
  put_be32(c.sram() + BACKUP + 4, length);
  put_be32(c.sram() + BACKUP + 8, target);
  put_be32(c.sram() + BACKUP + 12, second);
}

TEST(ModelBackup, SaveCopiesTheStartAndTheScratchBeforeTheBoot) {
  struct Case {
    uint32_t length, target, second;
  } cases[] = {
      {0x80000, 0x14fe00, 0x147e00},   // what sramgrab -e asks for by default
      {0x100000, 0x0cfe00, 0x0c7e00},  // copies that overlap what they copy
      {0, 0x1cfe00, 0x1c7e00},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.length);
    Card c;
    fill(c, 0, k.length, 1);
    fill(c, Firmware::SCRATCH, Firmware::SCRATCH_SIZE, 2);
    std::vector<uint8_t> start = bytes(c, 0, k.length), kept = bytes(c, Firmware::SCRATCH, Firmware::SCRATCH_SIZE);
    set_backup(c, 0x73617665, k.length, k.target, k.second);
    c.board.reset();
    EXPECT_EQ(bytes(c, k.target, k.length), start);
    EXPECT_EQ(bytes(c, k.second, Firmware::SCRATCH_SIZE), kept);
    EXPECT_EQ(be32(c.sram() + BACKUP), 0x646f6e65u);
    EXPECT_EQ(be32(c.sram() + BACKUP + 4), k.length);
    EXPECT_EQ(be32(c.sram() + BACKUP + 8), k.target);
    EXPECT_EQ(bytes(c, 0, Firmware::PROGRAM_SIZE), program());  // then the boot
    EXPECT_EQ(bytes(c, Firmware::SCRATCH, Firmware::SCRATCH_SIZE), scratch());
    EXPECT_THAT(log_text(c), HasSubstr("ucp: SRAM backup: "));
  }
  Card c;
  set_backup(c, 0x73617665, 0x80000, 0x14fe00, 0x147e00);
  c.board.reset();
  EXPECT_EQ(log_text(c), "ucp: reset\n"
                         "ucp: SRAM backup: 0x80000 bytes from 0x0 saved at 0x14fe00, 0x8000 bytes from 0x1e0000 at "
                         "0x147e00\n" +
                             BOOTED);
}

// 'savn': the first reset is let pass, the one after it saves.
TEST(ModelBackup, SaveNextLetsOneResetPassThenSaves) {
  Card c;
  set_backup(c, 0x7361766e, 0x80000, 0x14fe00, 0x147e00);
  std::vector<uint8_t> target_before = bytes(c, 0x14fe00, 0x80000);
  c.board.reset();
  EXPECT_EQ(be32(c.sram() + BACKUP), 0x73617665u);
  EXPECT_EQ(bytes(c, 0x14fe00, 0x80000), target_before);
  EXPECT_THAT(log_text(c), HasSubstr("ucp: SRAM backup: this reset let pass, the next one saves\n"));

  fill(c, 0, 0x80000, 3);  // what the host loaded meanwhile
  std::vector<uint8_t> loaded = bytes(c, 0, 0x80000);
  c.board.reset();
  EXPECT_EQ(be32(c.sram() + BACKUP), 0x646f6e65u);
  EXPECT_EQ(bytes(c, 0x14fe00, 0x80000), loaded);
}

TEST(ModelBackup, DoneAndOtherMagicsAreLeftAlone) {
  for (uint32_t magic : {0x646f6e65u, 0u, 0x73617666u}) {
    SCOPED_TRACE(magic);
    Card c;
    set_backup(c, magic, 0x80000, 0x14fe00, 0x147e00);
    std::vector<uint8_t> target_before = bytes(c, 0x147e00, 0x88000);
    c.board.reset();
    EXPECT_EQ(be32(c.sram() + BACKUP), magic);
    EXPECT_EQ(bytes(c, 0x147e00, 0x88000), target_before);
    EXPECT_EQ(log_text(c), "ucp: reset\n" + BOOTED);
  }
}

TEST(ModelBackup, CopiesThatWouldNotFitInSramAreRefused) {
  struct Case {
    uint32_t length, target, second;
  } cases[] = {
      {0x20000, 0x1f0000, 0x147e00},  // the start's copy passes the end
      {0x80000, 0x14fe00, 0x1fc000},  // the scratch's copy does
      {0xffffffff, 0x10, 0x147e00},   // a length that would wrap
      {0x200001, 0, 0x147e00},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.target);
    Card c;
    fill(c, 0x100000, 0xd0000, 4);
    std::vector<uint8_t> upper = bytes(c, 0x100000, 0xd0000);  // up to below the log
    set_backup(c, 0x73617665, k.length, k.target, k.second);
    c.board.reset();
    EXPECT_EQ(be32(c.sram() + BACKUP), 0x73617665u);
    EXPECT_EQ(bytes(c, 0x100000, 0xd0000), upper);
    char line[160];
    snprintf(line, sizeof line,
             "ucp: SRAM backup refused: 0x%x bytes to 0x%x and 0x8000 bytes to 0x%x do not fit in SRAM\n", k.length,
             k.target, k.second);
    EXPECT_EQ(log_text(c), "ucp: reset\n" + std::string(line) + BOOTED);
  }
}

// ---- The programmed-I/O restart ----------------------------------------------

const std::string RESTARTED = "ucp: reset: the host cleared SRAM word 0\n" + BOOTED;

// A host store into BAR0 goes unseen; the next event of a door shows it.
TEST(ModelRestart, AZeroInWordZeroRestartsAtTheNextDoorEvent) {
  struct Case {
    const char *door;
    void (*event)(Card &);
  } cases[] = {
      {"a configuration write", [](Card &c) { c.board.config_write(0x04, 0x0006, 2); }},
      {"a debug read elsewhere", [](Card &c) { window_read32(c, 0x1000); }},
      {"a special register read", [](Card &c) { c.board.chip().read(sim::RegisterBlock::ISR, 4); }},
      {"a BAR0 store the door saw", [](Card &c) { c.board.bar0_written(0, 4); }},
      {"a register write taken from BAR2",
       [](Card &c) {
         c.bar2()[0xffe00 + 0x1d8] = 1;  // LED
         c.at(1);
       }},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.door);
    Card c;
    fill(c, 0x1000, 0x100, 5);
    put_be32(c.sram(), 0);
    c.board.config_read(0, 4);  // reads are no event
    EXPECT_EQ(c.board.firmware().resets(), 0u);
    k.event(c);
    EXPECT_EQ(c.board.firmware().resets(), 1u);
    EXPECT_EQ(bytes(c, 0, Firmware::PROGRAM_SIZE), program());
    EXPECT_EQ(log_text(c), RESTARTED);
  }
}

TEST(ModelRestart, TheToolsWindowWriteOfZeroRestartsAtOnce) {
  Card c;
  window_write32(c, 0, 0);
  EXPECT_EQ(c.board.firmware().resets(), 1u);
  EXPECT_NE(be32(c.sram()), 0u);
  window_write32(c, 4, 0);  // another word: nothing
  EXPECT_EQ(c.board.firmware().resets(), 1u);
}

// On ticks alone the firmware restarts only when two looks in a row read 0.
TEST(ModelRestart, OnTicksTwoLooksMustAgree) {
  Card c;
  put_be32(c.sram(), 0);
  c.at(10000);
  EXPECT_EQ(c.board.firmware().resets(), 0u);
  c.sram()[3] = 1;  // the host's stores went on
  c.at(20000);
  c.sram()[3] = 0;
  c.at(30000);
  EXPECT_EQ(c.board.firmware().resets(), 0u);
  c.at(40000);
  EXPECT_EQ(c.board.firmware().resets(), 1u);
  EXPECT_EQ(log_text(c), RESTARTED);
  c.at(50000);
  EXPECT_EQ(c.board.firmware().resets(), 1u);
}

// The restart is the whole card's: configuration space comes back at
// power-on, after a while (board.h).
TEST(ModelRestart, ARestartHonoursTheBackupBlockAndResetsConfigurationSpace) {
  Card c;
  c.board.config_write(0x04, 0x0006, 2);
  set_backup(c, 0x73617665, 0x1000, 0x14fe00, 0x147e00);
  fill(c, 0, 0x1000, 6);
  std::vector<uint8_t> start = bytes(c, 0, 0x1000);
  put_be32(c.sram(), 0);
  start[0] = start[1] = start[2] = start[3] = 0;
  c.board.bar0_written(0, 4);
  EXPECT_EQ(bytes(c, 0x14fe00, 0x1000), start);
  EXPECT_EQ(c.board.config_read(0x04, 2), 0xffffu);
  c.at(sim::Board::RESTART_WINDOW_US);
  EXPECT_EQ(c.board.config_read(0x04, 2), 0x0000u);
  EXPECT_THAT(log_text(c), testing::StartsWith("ucp: reset: the host cleared SRAM word 0\nucp: SRAM backup: "));
}

// ---- Time ---------------------------------------------------------------------

TEST(ModelTime, TheFirmwareAlwaysWatchesWordZero) {
  Card c;
  EXPECT_EQ(c.board.next_deadline(), T0 + std::chrono::milliseconds(10));
  c.at(3000);
  EXPECT_EQ(c.board.next_deadline(), T0 + std::chrono::milliseconds(13));

  sim::HostOptions none;
  none.boards.clear();
  EXPECT_EQ(sim::Host(none).next_deadline(), std::nullopt);
  sim::HostOptions two;
  two.boards = {deterministic(), deterministic()};
  two.boards[1].log_every = std::chrono::milliseconds(2);
  sim::Host host(two);
  auto now = sim::Board::Clock::now();
  host.advance(now);
  ASSERT_TRUE(host.next_deadline());
  EXPECT_EQ(*host.next_deadline(), host.board(1).next_deadline());
  EXPECT_LE(*host.next_deadline(), now + std::chrono::milliseconds(2));
}

// ---- The access log ------------------------------------------------------------

}  // namespace

namespace sim {
void PrintTo(const Board::ConfigAccess &a, std::ostream *os) {
  *os << (a.write ? "write " : "read ") << a.width << " at 0x" << std::hex << a.offset << ": 0x" << a.value;
}
}  // namespace sim

namespace {

// What the tools' memory handle does through the debug window, access by
// access: a 4-byte read, then bytes one address at a time.
TEST(ModelAccessLog, RecordsEveryConfigurationAccessWhenSwitchedOn) {
  Card c;
  put_be32(c.sram() + 0x2000, 0x11223344);
  window_read32(c, 0x2000);
  EXPECT_TRUE(c.board.accesses.empty());  // off unless asked for

  c.board.record_accesses = true;
  EXPECT_EQ(window_read32(c, 0x2000), 0x44332211u);
  window_read_bytes(c, 0x2001, 2);
  using A = sim::Board::ConfigAccess;
  EXPECT_THAT(c.board.accesses, ElementsAre(A{true, P + 16, 4, 3}, A{true, P + 24, 4, 0x2000},
                                            A{false, P + 20, 4, 0x11223344}, A{true, P + 16, 4, 1},
                                            A{true, P + 24, 4, 0x2001}, A{false, P + 20, 1, 0x22},
                                            A{true, P + 24, 4, 0x2002}, A{false, P + 20, 1, 0x33}));
}

}  // namespace
