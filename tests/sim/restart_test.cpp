// The card's restarts and boots: every way of restarting and what it does
// to configuration space, the link, the faults; the boot code's choice of
// program (the hard-switch header in SRAM with either CRC, the EEPROM's
// second area, the first); the soft handoff; and the earlier generations'
// control word.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "card.h"
#include "ucp_images.h"

namespace {

using sim::Board;
using sim::Firmware;
using testing::HasSubstr;
using Bytes = std::vector<uint8_t>;
using Source = Firmware::Program::Source;

const std::string BOOTED = "ucp: stand-in control program booted, 0x10000 bytes at 0x0\n";

using ucp_images::crc32_by_definition;
using ucp_images::crc32_reflected_by_definition;

void put(Bytes &b, size_t at, uint32_t v) { put_be32(b.data() + at, v); }

// A program image built for address 0: its first word, a version header at
// 0x100 (size `header_size`) naming `version`, a copy-block table at 0x200
// for 3 pages whose valid word is `valid`, and a pattern.
Bytes program_image(uint32_t length, const char *version, uint32_t valid = 0, uint32_t header_size = 164) {
  return ucp_images::ucp_image(length, {version, header_size, 0x200, 3, valid});
}

Bytes sram_bytes(Card &c, uint32_t at, size_t n) { return Bytes(c.sram() + at, c.sram() + at + n); }

// The hard-switch header and its image, as a loader leaves them.
enum class Crc { Bzip2, ZlibLittleEndian, Wrong };
void hard_switch(Card &c, const Bytes &image, Crc crc) {
  std::copy(image.begin(), image.end(), c.sram() + Firmware::HARD_SWITCH_IMAGE);
  put_be32(c.sram() + 0x140000, 0x6c6f6165);
  put_be32(c.sram() + 0x140004, static_cast<uint32_t>(image.size()));
  uint32_t word = crc == Crc::Bzip2 ? crc32_by_definition(image)
                  : crc == Crc::ZlibLittleEndian ? __builtin_bswap32(crc32_reflected_by_definition(image))
                                                 : crc32_by_definition(image) ^ 1;
  put_be32(c.sram() + 0x140008, word);
}

// The EEPROM's second area holding `image` framed as the updater writes it
// (without a ROM); `spoil` flips a bit of the framed SRAM image.
void second_area(Card &c, const Bytes &image, bool spoil = false) {
  Bytes body = image;
  body.resize(image.size() + 4);
  put(body, image.size(), static_cast<uint32_t>(image.size()));
  Bytes framed(4);
  put(framed, 0, static_cast<uint32_t>(body.size()));
  framed.insert(framed.end(), body.begin(), body.end());
  framed.resize(framed.size() + 4);
  put(framed, framed.size() - 4, crc32_by_definition(body));
  if (spoil) framed[100] ^= 0x10;
  auto &e = c.board.eeprom().bytes();
  std::copy(framed.begin(), framed.end(), e.begin() + sim::Eeprom::UCP2_OFFSET);
}

// ---- Restarts -------------------------------------------------------------------

// The configuration registers a restart loses, as the card's host sets
// them up, and their power-on values.
struct Register {
  unsigned offset;
  int width;
  uint32_t set, power_on;
};
const Register REGISTERS[] = {
    {0x04, 2, 0x0006, 0x0000},          {0x10, 4, 0xc0000000, 0},           {0x18, 4, 0xc1000000, 0},
    {0x48, 2, 0x2830, 0x2810},          {0x50, 2, 0x0003, 0x0000},          {0x68, 2, 0x0005, 0x0000},
    {P + 24, 4, 0x12345678, 0},
};
constexpr uint32_t ID = 0x5e0a1f5c;

struct Way {
  const char *what;
  std::function<void(Card &)> restart;
  std::string line;  // what the log says first
};
const Way WAYS[] = {
    {"reset from outside", [](Card &c) { c.board.reset(); }, "ucp: reset\n"},
    {"the host's store of 0 into SRAM word 0",
     [](Card &c) {
       put_be32(c.sram(), 0);
       c.board.bar0_written(0, 4);
     },
     "ucp: reset: the host cleared SRAM word 0\n"},
    // The watchdog fires when the window's write is done: its address then
    // advances in the registers that the restart clears.
    {"interrupt timer 3 through the debug window", [](Card &c) { window_write32(c, 0xffffffc0, 0x14000000); },
     "ucp: reset: interrupt timer 3 fired as a watchdog\n"},
    {"interrupt timer 3 through BAR2",
     [](Card &c) {
       put_be32(c.bar2() + 0xffe00 + 0x1c0, 0x14000000);
       c.at(1);
     },
     "ucp: reset: interrupt timer 3 fired as a watchdog\n"},
    {"the link down, then up",
     [](Card &c) {
       c.board.link_down();
       EXPECT_EQ(c.board.config_read(0, 4), 0xffffffffu);
       EXPECT_EQ(c.board.firmware().resets(), 0u);
       c.board.link_up();
     },
     "ucp: reset: the link came back\n"},
};

TEST(ModelRestart, EveryWayResetsConfigurationSpaceAfterAWhileAndBoots) {
  for (const Way &way : WAYS) {
    SCOPED_TRACE(way.what);
    Card c;
    for (const Register &r : REGISTERS) c.board.config_write(r.offset, r.set, r.width);
    for (const Register &r : REGISTERS) ASSERT_EQ(c.board.config_read(r.offset, r.width), r.set) << r.offset;
    c.at(1000);
    uint32_t rtc_before = c.board.chip().read(sim::RegisterBlock::RTC, 4);
    way.restart(c);
    EXPECT_EQ(c.board.firmware().resets(), 1u);
    EXPECT_EQ(c.log(), way.line + BOOTED);
    EXPECT_FALSE(c.board.link_active());
    EXPECT_EQ(c.board.config_read(0, 4), 0xffffffffu);
    EXPECT_EQ(c.board.config_read(0x04, 2), 0xffffu);
    c.board.config_write(0x04, 0x0002, 2);  // dropped

    c.at(c.board.now_us() + Board::RESTART_WINDOW_US - 1);
    EXPECT_EQ(c.board.config_read(0, 4), 0xffffffffu);
    c.at(c.board.now_us() + 1);
    EXPECT_TRUE(c.board.link_active());
    EXPECT_EQ(c.board.config_read(0, 4), ID);
    for (const Register &r : REGISTERS) EXPECT_EQ(c.board.config_read(r.offset, r.width), r.power_on) << r.offset;
    EXPECT_EQ(c.board.config_read(0x44, 4), 0x00008002u);  // what cannot be written is as it was
    EXPECT_EQ(c.board.config_read(0x4c, 4), 0x00000481u);
    EXPECT_EQ(c.board.config_read(0x64, 4), 0x0000001fu);
    // The counter ran on; the timer that fired is cleared.
    EXPECT_GE(c.board.chip().read(sim::RegisterBlock::RTC, 4), rtc_before + 2 * Board::RESTART_WINDOW_US);
    EXPECT_EQ(c.board.chip().register_block().read(sim::RegisterBlock::IT3, 4), 0u);
    EXPECT_EQ(c.board.firmware().resets(), 1u);
  }
}

TEST(ModelRestart, TheLinkStaysDownUntilItComesBack) {
  Card c;
  c.board.config_write(0x04, 0x0006, 2);
  c.board.link_up();  // up already: nothing
  EXPECT_EQ(c.board.firmware().resets(), 0u);
  c.board.link_down();
  c.at(10000000);
  EXPECT_FALSE(c.board.link_active());
  EXPECT_EQ(c.board.config_read(0, 4), 0xffffffffu);
  c.board.config_write(0x04, 0x0000, 2);  // dropped
  EXPECT_EQ(c.board.firmware().resets(), 0u);
  EXPECT_EQ(c.board.nic().config().get16(0x04), 0x0006);
  c.board.link_up();
  EXPECT_EQ(c.board.firmware().resets(), 1u);
  EXPECT_EQ(c.board.nic().config().get16(0x04), 0x0000);
}

TEST(ModelRestart, AZeroWriteOfTheTimerIsNoWatchdog) {
  Card c;
  window_write32(c, 0xffffffc0, 0);
  EXPECT_EQ(c.board.firmware().resets(), 0u);
  EXPECT_TRUE(c.board.link_active());
}

// The faults: a board that never comes back, one that comes back as
// another device, one whose configuration space a restart leaves alone.
TEST(ModelRestart, Faults) {
  sim::BoardOptions hangs = deterministic();
  hangs.reset_hangs = true;
  Card h(hangs);
  h.board.reset();
  h.at(3600000000);
  EXPECT_FALSE(h.board.link_active());
  EXPECT_EQ(h.board.config_read(0, 4), 0xffffffffu);
  EXPECT_EQ(h.log(), "ucp: reset\n" + BOOTED);  // its firmware runs

  sim::BoardOptions other = deterministic();
  other.reset_device_id = 0x5e0b;
  Card o(other);
  EXPECT_EQ(o.board.config_read(0, 4), ID);
  o.board.reset();
  o.at(Board::RESTART_WINDOW_US);
  EXPECT_EQ(o.board.config_read(0, 4), 0x5e0b1f5cu);

  sim::BoardOptions keeps = deterministic();
  keeps.reset_keeps_config = true;
  Card k(keeps);
  k.board.config_write(0x04, 0x0006, 2);
  put_be32(k.sram(), 0);
  k.board.bar0_written(0, 4);
  EXPECT_EQ(k.board.firmware().resets(), 1u);
  EXPECT_TRUE(k.board.link_active());
  EXPECT_EQ(k.board.config_read(0x04, 2), 0x0006u);
}

// A program whose own word 0 is 0 is not restarted by it: the watch needs
// word 0 seen non-zero since the boot.
TEST(ModelRestart, TheWatchOnWordZeroWaitsUntilItWasNonZero) {
  Card c;
  Bytes image = program_image(0x1000, "zero first");
  put(image, 0, 0);
  hard_switch(c, image, Crc::Bzip2);
  c.board.reset();
  ASSERT_EQ(be32(c.sram()), 0u);
  for (uint64_t t = 10000; t <= 50000; t += 10000) c.at(t);
  c.board.config_write(0x04, 0, 2);
  EXPECT_EQ(c.board.firmware().resets(), 1u);
  c.sram()[3] = 1;  // the program runs; then the host stores 0
  c.at(60000);
  c.sram()[3] = 0;
  c.at(70000);
  c.at(80000);
  EXPECT_EQ(c.board.firmware().resets(), 2u);
}

// ---- Boot -----------------------------------------------------------------------

TEST(ModelBoot, TheHardSwitchRunsTheImageInSramWithEitherCrc) {
  struct Case {
    Crc crc;
    const char *variant;
  } cases[] = {{Crc::Bzip2, "CRC-32/BZIP2"}, {Crc::ZlibLittleEndian, "reflected CRC-32, little-endian"}};
  for (const Case &k : cases) {
    SCOPED_TRACE(k.variant);
    Card c;
    Bytes image = program_image(0x1800, "kload test 2.1", 1);
    hard_switch(c, image, k.crc);
    Bytes header = sram_bytes(c, 0x140000, 12);
    c.board.reset();
    EXPECT_EQ(sram_bytes(c, 0, image.size()), image);
    char line[128];
    snprintf(line, sizeof line, "ucp: hard switch: 0x1800 bytes from 0x14000c (%s 0x%08x), run at 0x0\n", k.variant,
             be32(header.data() + 8));
    EXPECT_EQ(c.log(), "ucp: reset\n" + std::string(line) +
                           "ucp: version: kload test 2.1\n"
                           "ucp: copy-block table at 0x200: 3 pages, valid word 1\n");
    const Firmware::Program &p = c.board.firmware().program();
    EXPECT_EQ(p.source, Source::HardSwitch);
    EXPECT_EQ(p.length, 0x1800u);
    EXPECT_EQ(p.version, "kload test 2.1");
    EXPECT_EQ(p.copy_block_valid, 1u);
    // The header stays: the next reset runs the image again.
    EXPECT_EQ(sram_bytes(c, 0x140000, 12), header);
    put_be32(c.sram() + 0x800, 0);
    c.board.reset();
    EXPECT_EQ(sram_bytes(c, 0, image.size()), image);
    EXPECT_EQ(c.board.firmware().program().source, Source::HardSwitch);
  }
}

// A header that does not hold is refused and the boot goes on to the
// EEPROM: its second area when that holds an image, else the first.
TEST(ModelBoot, ARefusedHeaderFallsBackToTheSecondAreaThenTheFirst) {
  const Bytes loaded = program_image(0x1000, "in SRAM"), flashed = program_image(0x2400, "in the EEPROM", 0, 160);
  struct Case {
    const char *what;
    uint32_t length;  // 0: the image's
    bool area_holds_image, spoil_area;
    Source source;
  } cases[] = {
      {"a wrong CRC, an image in the second area", 0, true, false, Source::SecondArea},
      {"a wrong CRC, a spoiled second area", 0, true, true, Source::StandIn},
      {"a wrong CRC, no image in the second area", 0, false, false, Source::StandIn},
      {"a length past SRAM", 0xc0000, true, false, Source::SecondArea},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    Card c;
    hard_switch(c, loaded, k.length ? Crc::Bzip2 : Crc::Wrong);
    if (k.length) put_be32(c.sram() + 0x140004, k.length);
    if (k.area_holds_image) second_area(c, flashed, k.spoil_area);
    c.board.reset();
    char refused[160];
    if (k.length)
      snprintf(refused, sizeof refused, "ucp: hard switch refused: 0x%x bytes from 0x14000c do not fit in SRAM\n",
               k.length);
    else
      snprintf(refused, sizeof refused,
               "ucp: hard switch refused: CRC-32 0x%08x is not the image's (0x%08x, or 0x%08x reflected)\n",
               crc32_by_definition(loaded) ^ 1, crc32_by_definition(loaded), crc32_reflected_by_definition(loaded));
    std::string booted = k.source == Source::SecondArea
                             ? "ucp: the EEPROM's second area at 0x80000: 0x2400 bytes, run at 0x0\n"
                               "ucp: version: in the EEPROM\n"  // a header too small for a table
                             : BOOTED;
    EXPECT_EQ(c.log(), "ucp: reset\n" + std::string(refused) + booted);
    EXPECT_EQ(c.board.firmware().program().source, k.source);
    if (k.source == Source::SecondArea) {
      EXPECT_EQ(sram_bytes(c, 0, flashed.size()), flashed);
    }
  }
}

// At power-on SRAM holds nothing to trust: the boot looks at the EEPROM only.
TEST(ModelBoot, PowerOnBootsFromTheEepromOnly) {
  Card c;
  EXPECT_EQ(c.board.firmware().program().source, Source::StandIn);
  const Bytes flashed = program_image(0x3000, "flashed 3");
  second_area(c, flashed);
  hard_switch(c, program_image(0x1000, "in SRAM"), Crc::Bzip2);
  c.board.firmware().power_on();
  EXPECT_EQ(c.board.firmware().program().source, Source::SecondArea);
  EXPECT_EQ(sram_bytes(c, 0, flashed.size()), flashed);
  EXPECT_EQ(c.log(),
            "ucp: the EEPROM's second area at 0x80000: 0x3000 bytes, run at 0x0\n"
            "ucp: version: flashed 3\n"
            "ucp: copy-block table at 0x200: 3 pages, valid word 0\n");
}

// ---- Soft handoff ---------------------------------------------------------------

// The block as the loader writes it, into BAR0 beyond SRAM.
void handoff_block(Card &c, uint32_t address, uint32_t length, uint32_t skip, uint32_t magic = 0x6b636168) {
  uint8_t *b = c.board.chip().bar0().data() + Firmware::HANDOFF;
  const uint32_t words[16] = {0xffffffff, 0xffffffff, magic, address, length, skip, skip};
  for (int i = 0; i < 16; i++) put_be32(b + 4 * i, words[i]);
}
Bytes block_bytes(Card &c) {
  const uint8_t *b = c.board.chip().bar0().data() + Firmware::HANDOFF;
  return Bytes(b, b + 64);
}

TEST(ModelHandoff, ADoorEventHandsOverAtOnceWithoutARestart) {
  for (uint32_t skip : {0u, 8u}) {
    SCOPED_TRACE(skip);
    Card c;
    c.board.config_write(0x04, 0x0006, 2);
    Bytes image = program_image(0x1000, "handed over", 1);
    std::copy(image.begin(), image.end(), c.sram() + 0x14000c);
    Bytes before = sram_bytes(c, 0, 8);
    handoff_block(c, 0x14000c + skip, 0x1000 - skip, skip);
    c.board.bar0_written(Firmware::HANDOFF, 64);
    Bytes expected = image;
    if (skip) std::copy(before.begin(), before.end(), expected.begin());
    EXPECT_EQ(sram_bytes(c, 0, image.size()), expected);
    EXPECT_EQ(block_bytes(c), Bytes(64, 0));
    char line[96];
    snprintf(line, sizeof line, "ucp: soft handoff: 0x%x bytes at 0x%x, run at 0x%x\n", 0x1000 - skip,
             0x14000c + skip, skip);
    EXPECT_EQ(c.log(), BOOTED + line + "ucp: version: handed over\nucp: copy-block table at 0x200: 3 pages, valid word 1\n");
    EXPECT_EQ(c.board.firmware().handoffs(), 1u);
    EXPECT_EQ(c.board.firmware().resets(), 0u);
    EXPECT_EQ(c.board.config_read(0x04, 2), 0x0006u);
    EXPECT_EQ(c.board.firmware().program().source, Source::Handoff);
  }
}

// On ticks the block must read the same twice: the loader writes the magic
// before the address and length.
TEST(ModelHandoff, OnTicksTwoSightingsMustAgree) {
  Card c;
  Bytes image = program_image(0x800, "ticked");
  std::copy(image.begin(), image.end(), c.sram() + 0x14000c);
  handoff_block(c, 0, 0, 0);  // the magic is there, the rest not yet
  c.at(10000);
  EXPECT_EQ(c.board.firmware().handoffs(), 0u);
  handoff_block(c, 0x14000c, 0x800, 0);
  c.at(20000);  // not what the last tick read
  EXPECT_EQ(c.board.firmware().handoffs(), 0u);
  EXPECT_EQ(c.sram()[0x400], Firmware::program_byte(0x400));  // the stand-in still runs
  c.at(30000);
  EXPECT_EQ(c.board.firmware().handoffs(), 1u);
  EXPECT_EQ(sram_bytes(c, 0, image.size()), image);
  c.at(40000);
  EXPECT_EQ(c.board.firmware().handoffs(), 1u);
}

TEST(ModelHandoff, BlocksThatCannotBeRunAreClearedWithALine) {
  struct Case {
    uint32_t address, length, skip, other_skip;
    const char *line;
  } cases[] = {
      {0x1ff000, 0x2000, 0, 0, "ucp: soft handoff refused: 0x2000 bytes at 0x1ff000, skip 0 and 0, do not fit in SRAM\n"},
      {0x14000c, 0x1000, 8, 0, "ucp: soft handoff refused: 0x1000 bytes at 0x14000c, skip 8 and 0, do not fit in SRAM\n"},
      {0x14000c, 0, 0, 0, "ucp: soft handoff refused: 0x0 bytes at 0x14000c, skip 0 and 0, do not fit in SRAM\n"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.line);
    Card c;
    Bytes before = sram_bytes(c, 0, 0x10000);
    handoff_block(c, k.address, k.length, k.skip);
    put_be32(c.board.chip().bar0().data() + Firmware::HANDOFF + 24, k.other_skip);
    c.board.bar0_written(Firmware::HANDOFF, 64);
    EXPECT_EQ(block_bytes(c), Bytes(64, 0));
    EXPECT_EQ(sram_bytes(c, 0, 0x10000), before);
    EXPECT_EQ(c.log(), BOOTED + k.line);
    EXPECT_EQ(c.board.firmware().handoffs(), 0u);
  }
  Card c;  // without the magic, nothing
  handoff_block(c, 0x14000c, 0x100, 0, 0x6b636169);
  Bytes block = block_bytes(c);
  c.board.bar0_written(Firmware::HANDOFF, 64);
  EXPECT_EQ(block_bytes(c), block);
  EXPECT_EQ(c.log(), BOOTED);
}

// ---- The earlier generations ---------------------------------------------------------

sim::BoardOptions earlier(uint8_t revision) {
  sim::BoardOptions o = deterministic();
  o.device_id = 0x4c3d;
  o.revision = revision;
  o.log_header = 0x1fffe8;
  return o;
}

TEST(ModelEarlierGenerations, TheControlWordHoldsAndStartsTheProcessor) {
  using W = Board::ControlWrite;
  struct Case {
    uint8_t revision;
    uint32_t power_on;
    std::vector<W> writes;  // the last one starts the processor
    std::string line;
    uint32_t after;
  } cases[] = {
      {4, 0x40000000, {{0x40, 4, 0x80000000}, {0x40, 4, 0x20000000}, {0x40, 4, 0x10000000}, {0x40, 4, 0x40000000}},
       "ucp: started from SRAM by the host, control writes 40:80000000 40:20000000 40:10000000 40:40000000\n",
       0x40000000},
      {3, 0xa8000000, {{0x43, 1, 0x54}, {0x43, 1, 0x58}, {0x43, 1, 0x20}, {0x43, 1, 0x80}},
       "ucp: started from SRAM by the host, control writes 43:54 43:58 43:20 43:80\n", 0xa8000000},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.revision);
    Card c(earlier(k.revision));
    EXPECT_EQ(c.board.config_read(0x40, 4), k.power_on);
    EXPECT_EQ(c.board.config_read(0x34, 1), P);  // no PCI Express capability
    EXPECT_TRUE(c.board.firmware().running());
    for (size_t i = 0; i + 1 < k.writes.size(); i++) {
      c.board.config_write(k.writes[i].offset, k.writes[i].value, k.writes[i].width);
      EXPECT_FALSE(c.board.firmware().running());
    }
    EXPECT_EQ(c.board.control_writes(), std::vector<W>(k.writes.begin(), k.writes.end() - 1));
    // Held, the program looks at nothing; the host loads meanwhile.
    Bytes image = program_image(0x1000, "earlier one");
    put(image, 0, 0);
    std::copy(image.begin(), image.end(), c.sram());
    c.at(50000);
    EXPECT_EQ(c.board.firmware().resets(), 0u);
    const W &start = k.writes.back();
    c.board.config_write(start.offset, start.value, start.width);
    EXPECT_TRUE(c.board.firmware().running());
    EXPECT_EQ(c.board.config_read(0x40, 4), k.after);
    EXPECT_TRUE(c.board.control_writes().empty());
    EXPECT_EQ(sram_bytes(c, 0, image.size()), image);
    EXPECT_EQ(c.log(), k.line + "ucp: version: earlier one\nucp: copy-block table at 0x200: 3 pages, valid word 0\n");
    EXPECT_EQ(c.board.firmware().program().source, Source::Sram);
  }
}

// What their loaders read in BAR0: the KX's SRAM size, the PCI64's record.
TEST(ModelEarlierGenerations, Bar0HoldsWhatTheirLoadersRead) {
  Card kx(earlier(5));
  EXPECT_EQ(be32(kx.board.chip().bar0().data() + 0xfffe80), 0x200000u);
  Card pci64(earlier(3));
  const uint8_t *record = pci64.board.chip().bar0().data() + 0xa00000;
  EXPECT_EQ(be32(record), 0x130u);
  EXPECT_EQ(be32(record + 12), 0x200000u);
  Card ze;
  EXPECT_EQ(be32(ze.board.chip().bar0().data() + 0xfffe80), 0u);
  EXPECT_EQ(ze.board.config_read(0x40, 1), 0x10u);  // the PCI Express capability
}

}  // namespace
