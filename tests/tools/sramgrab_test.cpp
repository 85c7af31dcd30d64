// sramgrab run whole on the virtual host: the raw dump and the kxgdb core
// through the BARs and through the debug window, and the SRAM backup across
// a reset of the modeled card.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "register_block.h"
#include "tools_fixture.h"

using namespace tools_test;

namespace {

const std::string USAGE =
    "usage: sramgrab [ options ]...\n"
    "\t -b <num>   -- select card instance <num>\n"
    "\t -x         -- select only KX-based card (D, E, F)\n"
    "\t -z         -- select only 10G Ulvelink cards\n"
    "\t -r         -- output raw binary bytes (default kxgdb core)\n"
    "\t -e         -- don't dump: enable Z-card ucp0 sram-shuffling\n"
    "\t -s <size>    -- with -e: tell ucp0 to save <size>KB (default 512KB)\n"
    "\t -n           -- with -e: ignore next reset (for \"hard=\" ucp-switching)\n"
    "\t -c         -- Z-card: dump the sram, reconstituting shuffled parts\n";

constexpr uint32_t SRAM = 0x200000;
// The firmware's message log (ring and header) changes as it runs: its time
// words follow model time.
constexpr uint32_t LOG_START = sim::Firmware::LOG_HEADER - sim::Firmware::LOG_RING_BELOW_HEADER,
                   LOG_END = sim::Firmware::LOG_HEADER + sim::Firmware::LOG_HEADER_SIZE;

// The SRAM with the log area blanked.
Bytes outside_log(Bytes sram) {
  if (sram.size() >= LOG_END) std::fill(sram.begin() + LOG_START, sram.begin() + LOG_END, 0);
  return sram;
}

Bytes booted_sram() {
  Bytes b(SRAM);
  for (uint32_t i = 0; i < SRAM; i++) b[i] = booted_sram_byte(i);
  return b;
}

// The kxgdb core of `sram` with this ISR value.
std::string core_of(const Bytes &sram, uint32_t isr) {
  std::string core;
  char line[32];
  snprintf(line, sizeof line, "1\n0x1f8 0x%x\n0x%x\n", isr, (unsigned)sram.size() / 4);
  core += line;
  for (size_t at = 0; at + 4 <= sram.size(); at += 4) {
    snprintf(line, sizeof line, "0x%x\n", be32(sram, at));
    core += line;
  }
  return core;
}

// The ISR as sramgrab takes it: the register's big-endian bytes read in host order.
const uint32_t ISR = __builtin_bswap32(sim::RegisterBlock::ISR_VALUE);

TEST(Sramgrab, RawDumpThroughTheBars) {
  Scratch dir;
  Result r = script_on_card("", "$SRAMGRAB -r > $D/bars", dir);
  ASSERT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "ramsize = 2048 Kbyte\n");
  EXPECT_TRUE(SameBytes(outside_log(read_bytes(dir / "bars")), outside_log(booted_sram())));
}

// The core: one register line (the ISR, through BAR2's window on the
// special registers, or through the debug window), the word count, then
// every SRAM word big-endian. Compared with a raw dump through the BARs of
// the same run, whose log time words may have moved on. The debug window
// reads the SRAM byte by byte, so its run is the slow one.
TEST(Sramgrab, KxgdbCoreThroughTheBarsAndTheDebugWindow) {
  for (const char *how : {"", "-d"}) {
    SCOPED_TRACE(how);
    Scratch dir;
    Result r = script_on_card("", std::string("$SRAMGRAB ") + how + " > $D/core && $SRAMGRAB -r > $D/raw", dir);
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "ramsize = 2048 Kbyte\nramsize = 2048 Kbyte\n");
    std::string core = read_text(dir / "core"), expected = core_of(read_bytes(dir / "raw"), ISR);
    EXPECT_EQ(std::count(core.begin(), core.end(), '\n'), 3 + 0x80000);
    char head[48];
    snprintf(head, sizeof head, "1\n0x1f8 0x%x\n0x80000\n", ISR);
    EXPECT_EQ(core.substr(0, strlen(head)), head);
    // Lines of the two time words of the log header may differ.
    std::vector<std::string> got, want;
    std::istringstream a(core), b(expected);
    for (std::string l; std::getline(a, l);) got.push_back(l);
    for (std::string l; std::getline(b, l);) want.push_back(l);
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); i++) {
      size_t word = (i - 3) * 4;
      if (i >= 3 && word >= sim::Firmware::LOG_HEADER && word < sim::Firmware::LOG_HEADER + 8) continue;
      ASSERT_EQ(got[i], want[i]) << "line " << i;
    }
  }
}

TEST(Sramgrab, WithoutBar2TheIsrIsUnknown) {
  Scratch dir;
  Result r = script_on_card("no-bar2", "$SRAMGRAB | head -2", dir);
  ASSERT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out, "1\n0x1f8 0xffffffff\n");
}

// -e writes the block ucp0 reads at the next reset: targets, length, then
// the magic.
TEST(Sramgrab, EnablingTheBackupWritesTheControlBlock) {
  struct Case {
    std::vector<std::string> args;
    std::string line, block;  // block: the four words, as pokemem -n prints them
  } cases[] = {
      {{"-e"},
       "Backup enable at 0x001dea00: save for target 0x14fe00 512KB\n",
       "0x73617665\n0x80000\n0x14fe00\n0x147e00\n"},
      {{"-e", "-n", "-s", "256"},
       "Backup enable at 0x001dea00: savn for target 0x18fe00 256KB\n",
       "0x7361766e\n0x40000\n0x18fe00\n0x187e00\n"},
  };
  for (const Case &c : cases) {
    Scratch dir;
    std::string args;
    for (const std::string &a : c.args) args += " " + a;
    Result r = script_on_card("",
                              "$SRAMGRAB" + args +
                                  " && for a in 0x1dea00 0x1dea04 0x1dea08 0x1dea0c; do $POKEMEM -qn -b 0 $a.l; done",
                              dir);
    SCOPED_TRACE(args);
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "ramsize = 2048 Kbyte\n" + c.line);
    EXPECT_EQ(r.out, c.block);
  }
}

// The whole cycle: marks in SRAM where the next boot writes (the program's
// area and its scratch), -e, a dump, the programmed-I/O restart (word 0 set
// to 0 by kload -i, which restores configuration space after it), then -c
// gives the SRAM as it was at the reset, while a plain dump shows what the
// boot wrote.
TEST(Sramgrab, BackupAcrossAResetGivesThePreResetSramBack) {
  Scratch dir;
  Result r = script_on_card("",
                            "P=\"$POKEMEM -q -b 0\"\n"
                            "$P 0x100.l 0x11111111 && $P 0x1e0100.l 0x22222222 && $P 0x40000.l 0x33333333 &&\n"
                            "$SRAMGRAB -e 2> /dev/null && $SRAMGRAB -r > $D/before 2> /dev/null &&\n"
                            "$KLOAD -i 2> $D/kload &&\n"
                            "$SRAMGRAB -c -r > $D/restored && $SRAMGRAB -r > $D/after 2> /dev/null\n",
                            dir);
  ASSERT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.err, "ramsize = 2048 Kbyte\nBackup retrieval from 0x0014fe00(len=512KB)\n 0x147e00->0x1e0000 (len=32KB)\n");
  Bytes before = read_bytes(dir / "before"), restored = read_bytes(dir / "restored"), after = read_bytes(dir / "after");
  ASSERT_EQ(before.size(), SRAM);
  // The backup copied SRAM as the reset found it: word 0 was 0 then.
  std::fill_n(before.begin(), 4, 0);
  auto part = [](const Bytes &b, size_t at, size_t n) { return Bytes(b.begin() + at, b.begin() + at + n); };
  EXPECT_TRUE(SameBytes(part(restored, 0, 0x80000), part(before, 0, 0x80000)));
  EXPECT_TRUE(SameBytes(part(restored, 0x1e0000, 0x8000), part(before, 0x1e0000, 0x8000)));
  // The boot rewrote the program and its scratch: the marks are gone there.
  EXPECT_EQ(be32(after, 0x100), be32(booted_sram(), 0x100));
  EXPECT_EQ(be32(after, 0x1e0100), be32(booted_sram(), 0x1e0100));
  EXPECT_EQ(be32(after, 0x40000), 0x33333333u);
  EXPECT_EQ(be32(after, 0x1dea00), 0x646f6e65u) << "the block says 'done'";
}

TEST(Sramgrab, FailuresStopBeforeTheDump) {
  struct Case {
    const char *what;
    std::string items;
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {"-h", "", {"-h"}, USAGE},
      {"an unknown option", "", {"-q"}, USAGE},
      {"no backup made", "", {"-c"}, "ramsize = 2048 Kbyte\nBackup copy of sram start does not exists, magic=0x0()\n"},
      {"-e on a card that is not a 10G one", "device=4c3d,rev=4", {"-x", "-e"},
       "ramsize = 2048 Kbyte\nsramgrab: -e works on 10G Ulvelink cards only\n"},
      {"-c on a card that is not a 10G one", "device=4c3d,rev=4", {"-x", "-c"},
       "ramsize = 2048 Kbyte\nsramgrab: -c works on 10G Ulvelink cards only\n"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> command = {SRAMGRAB};
    command.insert(command.end(), c.args.begin(), c.args.end());
    Result r = on_card(c.items, command);
    SCOPED_TRACE(c.what);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
  }
}

}  // namespace
