// pokemem run whole on the virtual host: every space it reaches on a modeled
// card (BAR0, BAR2, the EEPROM, the debug window), files, the spaces the
// virtual host keeps from the real machine, and the command-line errors.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "eeprom.h"
#include "register_block.h"
#include "tools_fixture.h"

using namespace tools_test;
using testing::MatchesRegex;

namespace {

const std::string USAGE =
    "usage: pokemem [ -m ] [ -b <unit> ] [ -n ] <addr>.<size> [ <val> ]\n"
    "  <address> is the location to read/write in PCI-MEM(default) or RAM\n"
    "  <size> is either a numeric length (binary dump read op) or one of:\n"
    "    [bwlq] (PCI sizes conventions {byte|word|long|quad} =>  1|2|4|8 bytes\n"
    "  -m  the address is in RAM rather than the PCI-MEM space\n"
    "  -i  the location is in the special I/O port address space (not MMIO)\n"
    "  -b <unit>  the address is IO and relative to start of Ulvelink NIC board <unit>\n"
    "  -2 in association with -b, use BAR2 instead of BAR0 for Ulvelink base IO address\n"
    "  -e in association with -b, use access eeprom of the 10g NIC\n"
    "  -c in association with -b, access board through debug config space regs\n"
    "  -n  select wether to byte swap the value read or written\n"
    "  -w  write raw data taken from stdin\n"
    "  -q  silent (don't print what's done, just the eventual result)\n"
    "  -r  <rabbit-ip> access memory from the rabbit\n"
    "  If <val> is present, do a write operation to the location, otherwise read\n"
    "Examples:\n"
    "  pokemem 0xde000508.l : read swapped 32bit word at IO address 0xde000508\n"
    "  pokemem -m 0x00020100 : read the  32bit word at phys RAM address 0x20100\n"
    "  pokemem -b 0 0.0x100000 : dump 1st MB of Ulvelink SRAM\n"
    "  pokemem -nb0 0xfffdf8.l : read ISR of Ulvelink KX board (on little-endian host)\n"
    "  pokemem -n 0xde000508.w 0x55aa: write swapped short in pci-mem\n";

// The first card's BAR0 and BAR2 on the virtual host's buses.
constexpr uint32_t BAR0 = 0xc0000000, BAR2 = 0xc1000000;

Result pokemem(const std::vector<std::string> &args, const std::string &items = "") {
  std::vector<std::string> command = {POKEMEM};
  command.insert(command.end(), args.begin(), args.end());
  return on_card(items, command);
}

// The value pokemem prints for the four bytes of SRAM the firmware booted
// at `offset`, in host order.
uint32_t booted_word(uint32_t offset) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v |= (uint32_t)booted_sram_byte(offset + i) << 8 * i;
  return v;
}

std::string hex(uint64_t v) {
  char text[24];
  snprintf(text, sizeof text, "0x%llx", (unsigned long long)v);
  return text;
}

TEST(Pokemem, CommandLineErrorsPrintTheUsage) {
  struct Case {
    std::vector<std::string> args;
    std::string before_usage;
  } cases[] = {
      {{}, ""},
      {{"0x10.l", "1", "2"}, ""},
      {{"-y", "0x10.l"}, "unknown option:0x10.l\n"},
      // No size: the character shown is the NUL that ends the operand.
      {{"0x00020100"}, std::string("Unknown size:\0\n", 15)},
      {{"0x10b"}, std::string("Unknown size:\0\n", 15)},
      {{"0x10.x"}, "Unknown size:x\n"},
      {{"0x10.4", "5"}, "Unknown size:4\n"},
  };
  for (const Case &c : cases) {
    Result r = pokemem(c.args);
    SCOPED_TRACE(testing::PrintToString(c.args) + "\n" + testing::PrintToString(r.err));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.before_usage + USAGE);
  }
}

// Addresses are 32-bit: a larger one would reach another location.
TEST(Pokemem, AddressBeyondThirtyTwoBitsIsRefused) {
  Result r = pokemem({"-b", "0", "0x100000010.l"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Address 0x100000010 does not fit in 32 bits\n");
}

// Values of every size through the mapped BAR0 (which is the SRAM), in host
// order and swapped, announced and quiet; ranges dumped raw.
TEST(Pokemem, ReadsAndWritesBar0ValuesOfEverySize) {
  Scratch dir;
  Result r = script_on_card("",
                            "P=\"$POKEMEM -b 0\"\n"
                            "$P 0.l; $P -n 0.l\n"
                            "$P 0x100.b 0x5a; $P 0x100.b\n"
                            "$P 0x200.w 0x55aa; $P 0x200.2 > $D/w; $P -n 0x204.w 0x55aa; $P 0x204.2 > $D/nw\n"
                            "$P 0x210.l 0x11223344; $P -q 0x210.l; $P -qn 0x210.L\n"
                            "$P 0x220.Q 0x0102030405060708; $P 0x220.q; $P 0x220.8 > $D/q\n"
                            "$P -q 0x230.W 7; $P -q 0x230.W\n"
                            "$P 0x10.b\n",
                            dir);
  ASSERT_EQ(r.status, 0) << r;
  uint32_t word0 = booted_word(0);
  EXPECT_EQ(r.out, "0x0.L = " + hex(word0) + "\n" + "0x0.L = " + hex(__builtin_bswap32(word0)) + "\n" +
                       "setting 0x100.1 = 0x5a\n0x100.B = 0x5a\n"
                       "setting 0x200.2 = 0x55aa\nsetting 0x204.2 = 0x55aa\n"
                       "setting 0x210.4 = 0x11223344\n0x11223344\n0x44332211\n"
                       "setting 0x220.8 = 0x102030405060708\n0x220.Q = 0x102030405060708\n"
                       "0x7\n"
                       "0x10.B = " +
                       hex(booted_sram_byte(0x10)) + "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_text(dir / "w"), "\xaa\x55");
  EXPECT_EQ(read_text(dir / "nw"), "\x55\xaa");
  EXPECT_EQ(read_text(dir / "q"), "\x08\x07\x06\x05\x04\x03\x02\x01");
}

TEST(Pokemem, DumpsTheFirstMegabyteOfSramRaw) {
  Result r = pokemem({"-b", "0", "0.0x100000"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  Bytes expected(0x100000);
  for (uint32_t i = 0; i < expected.size(); i++) expected[i] = booted_sram_byte(i);
  EXPECT_TRUE(SameBytes(bytes_of(r.out), expected));
}

// BAR2 shows the special registers at 0xffe00; the ISR is big-endian there.
TEST(Pokemem, Bar2HoldsTheSpecialRegistersAndPlainMemory) {
  Scratch dir;
  Result r = script_on_card("",
                            "P=\"$POKEMEM -b 0 -2\"\n"
                            "$P -n 0xffff8.l; $P 0x40.l 0xcafe; $P -q 0x40.l\n",
                            dir);
  ASSERT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out, "0xffff8.L = " + hex(sim::RegisterBlock::ISR_VALUE) + "\nsetting 0x40.4 = 0xcafe\n0xcafe\n");

  Result none = pokemem({"-b", "0", "-2", "0.l"}, "no-bar2");
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, "Warning NIC 1f5c:5e0a (rev 1) at slot: 01:00: BAR2 not initialized\n"
                      "BAR2 no available on this NIC\n");
}

// The EEPROM through the capability: the header read, a byte programmed
// where the EEPROM is erased, and nothing else changed.
TEST(Pokemem, ReachesTheEepromThroughTheCapability) {
  Scratch dir;
  constexpr uint32_t ERASED = 0xc0000;  // beyond the second area's content
  Result r = script_on_card("save=" + dir / "after.bin",
                            "P=\"$POKEMEM -b 0 -e\"\n"
                            "$P 0.8 > $D/header; $P 0xc0000.b 0x5a; $P 0xc0000.b; $P -q 0xc0001.b\n",
                            dir);
  ASSERT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out, "setting 0xc0000.1 = 0x5a\n0xc0000.B = 0x5a\n0xff\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_text(dir / "header"), std::string("\x09\x04\xff\x08\x13\x00\x00\x00", 8));
  Bytes expected = sim::Eeprom(0).bytes();
  expected[ERASED] = 0x5a;
  EXPECT_TRUE(SameBytes(read_bytes(dir / "after.bin"), expected));
}

// The debug window reaches the same SRAM as BAR0, at every width.
TEST(Pokemem, DebugWindowReachesTheSameMemoryAsBar0) {
  Scratch dir;
  Result r = script_on_card("",
                            "C=\"$POKEMEM -b 0 -c\"; P=\"$POKEMEM -b 0\"\n"
                            "$C 0x300.l 0x11223344; $P -q 0x300.l\n"
                            "$C 0x304.w 0xbeef; $P -q 0x304.w\n"
                            "$C 0x306.b 0x42; $P -q 0x306.b\n"
                            "$C 0x300.8 > $D/window; $P 0x300.8 > $D/bar0\n"
                            "$C -q 0.l\n",
                            dir);
  ASSERT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out, "setting 0x300.4 = 0x11223344\n0x11223344\nsetting 0x304.2 = 0xbeef\n0xbeef\n"
                   "setting 0x306.1 = 0x42\n0x42\n" +
                       hex(booted_word(0)) + "\n");
  EXPECT_EQ(read_bytes(dir / "window"), read_bytes(dir / "bar0"));
  EXPECT_EQ(read_text(dir / "bar0"), std::string("\x44\x33\x22\x11\xef\xbe\x42", 7) + (char)booted_sram_byte(0x307));
}

TEST(Pokemem, FilesReadAndWrittenOrMapped) {
  Scratch dir;
  write_bytes(dir / "f", Bytes(64, 0));
  Result r = script_on_card("",
                            "$POKEMEM -f $D/f 0x10.l 0xdeadbeef; $POKEMEM -q -f $D/f 0x10.l\n"
                            "$POKEMEM -m -f $D/f 0x20.w 0x1234; $POKEMEM -q -m -f $D/f 0x20.w\n"
                            "$POKEMEM -f $D/f 0x10.4 > $D/dump\n",
                            dir);
  ASSERT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out, "setting 0x10.4 = 0xdeadbeef\n0xdeadbeef\nsetting 0x20.2 = 0x1234\n0x1234\n");
  Bytes f = read_bytes(dir / "f");
  EXPECT_EQ(be32(f, 0x10), 0xefbeaddeu);
  EXPECT_EQ(f[0x20], 0x34);
  EXPECT_EQ(f[0x21], 0x12);
  EXPECT_EQ(read_text(dir / "dump"), "\xef\xbe\xad\xde");
}

// -w takes the bytes to write from standard input.
TEST(Pokemem, WritesRawBytesFromStandardInput) {
  Scratch dir;
  Result r = script_on_card("",
                            "printf 'ABCDEFGH' | $POKEMEM -b 0 -w 0x400.8; $POKEMEM -b 0 0x400.8\n"
                            "printf 'xy' | $POKEMEM -q -b 0 -w 0x400.w; $POKEMEM -b 0 0x400.3\n"
                            "printf 'x' | $POKEMEM -b 0 -w 0x400.2\n",
                            dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "setting 0x400.8 = ...\nABCDEFGHxyC");
  EXPECT_THAT(r.err, MatchesRegex(".*premature end of data.*\n"));
}

// The virtual host keeps the real machine out of reach: its physical memory
// file is the modeled one (read and written live, not mapped), and the
// right to use I/O ports is gone, so each of these either reaches the model
// or stops with the program's own message.
TEST(Pokemem, PhysicalMemoryAndPortsNeverReachTheRealMachine) {
  Scratch dir;
  Result ram = script_on_card("", "$POKEMEM -q -m " + hex(BAR0) + ".l; $POKEMEM -m " + hex(BAR2 + 0x40) +
                                      ".l 0x77; $POKEMEM -q -b 0 -2 0x40.l",
                              dir);
  EXPECT_EQ(ram.status, 0) << ram;
  EXPECT_EQ(ram.out, hex(booted_word(0)) + "\nsetting " + hex(BAR2 + 0x40) + ".4 = 0x77\n0x77\n");

  struct Case {
    const char *what;
    std::vector<std::string> command;
    std::string err;  // a regular expression
  } cases[] = {
      {"the default physical window", {POKEMEM, hex(BAR0) + ".l"},
       "mapping /dev/mem\\(c0000000,4096\\) failed:19:No such device\n"},
      {"RAM outside the modeled windows", {POKEMEM, "-m", "0x20100.l"}, "ERROR:.*Input/output error.*\n"},
      {"I/O ports", {POKEMEM, "-i", "0x80.b"},
       error_from("uba_ioport.h", "iopl failed: cannot get access to io ports:[A-Za-z ]+\n") + "\n"},
      {"configuration cycles", {POKEMEM, "-H", "0x80000000.l"},
       error_from("uba_ioport.h", "iopl failed: cannot get access to io ports:[A-Za-z ]+\n") + "\n"},
      {"the memory-mapped configuration method", {"/usr/bin/env", "UBA_PCI=mm", POKEMEM, "-b", "0", "0.l"},
       "mapping /dev/mem\\(e0000000,268435456\\) failed:19:No such device\n"},
      {"the port configuration method", {"/usr/bin/env", "UBA_PCI=iocf8", POKEMEM, "-b", "0", "0.l"},
       error_from("pci_iocf8.cpp", "iopl failed: cannot get access to io ports:[A-Za-z ]+\n") + "\n"},
  };
  for (const Case &c : cases) {
    Result r = on_card("", c.command);
    SCOPED_TRACE(c.what + std::string("\n") + testing::PrintToString(r.err));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, MatchesRegex(c.err));
  }
}

// Until the JTAG path is built the adapter cannot be opened.
TEST(Pokemem, RabbitFailsCleanly) {
  Result r = pokemem({"-r", "lab-rabbit", "0.l"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err, MatchesRegex(error_from("uba_kram.h", "tckavi_board_open failed") + "\n"));
}

}  // namespace
