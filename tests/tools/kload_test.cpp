// kload run whole on the virtual host: a raw image and an object file
// through the converter, handed over by the hard switch (both CRCs) and by
// the soft handoff; the three ways of restarting and what the card shows
// after them (its configuration space, its firmware's log); resetting only;
// cards that do not come back right; the X and PCI64 cards; file names that
// are one argument whatever they hold; and the refusals.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "eeprom.h"
#include "firmware_images.h"
#include "tools_fixture.h"

using namespace tools_test;
using testing::MatchesRegex;

namespace {

const std::string USAGE =
    "usage: \n"
    " kload <options>... -i             : to reset the board\n"
    " kload <options>...         <ucp>  : load a new ucp\n"
    "\t -l           : put the image in memory, but don't start\n"
    "\t -r           : ucp is raw image rather than kavi-coff\n"
    "\t -i           : reset card\n"
    "\t -ii          : Z: reset card, leave reboot-to-sram-ucp flag as is\n"
    "\t -s           : Z: use regular \"soft\" handoff\n"
    "\t -p           : Z: restart by setting link down/up from bridge\n"
    "\t -3           : Z: restart by modifying watchdog timer3\n"
    "\t -8           : Z: skip first 8bytes of UCP\n"
    "\t -n           : Z: don't access the card through MMIO\n"
    "\t -e           : Z: use little-endian crc32\n"
    "\t -d           : dma copy-block initialization\n"
    "\t -D<1st-page> :  with -d, start at <1st-page> offset in copy-block\n"
    "\t -c           : clear memory\n"
    "\t -v           : verbose output\n"
    "\t -o<offset>   : load ucp at given offset\n"
    "\t -b<unit>     : board number to use\n"
    "\t -x           : only consider kavi X cards\n"
    "\t -z           : only consider kavi Z cards\n"
    "\t -w           : don't restore pci config space\n";

const std::string BOOTED = "ucp: stand-in control program booted, 0x10000 bytes at 0x0\n";
// What a 10G card's restart prints, from the bridge's line to the end.
const std::string SAVING = "Disable error reporting in bridge 00:01.0\nSaving NIC Conf-space\n";
const std::string RESTORED = "Rereading ID\nNIC has restarted, restoring PCI conf-space\n";
// The card's configuration after kload restored it: command, BAR0, BAR2.
const std::string CONFIGURED = "0006\nc0000000\nc1000000\n";

using ucp_images::crc32_reflected_by_definition;

// A raw UCP image: a version header of `header_size` naming `version`, a
// copy-block table at `table` for 4 pages.
Bytes ucp_image(uint32_t length, const std::string &version, uint32_t header_size = 164, uint32_t table = 0x200) {
  return ucp_images::ucp_image(length, {version, header_size, table, 4, 0});
}

std::string hex8(uint32_t v) {
  char text[16];
  snprintf(text, sizeof text, "0x%08x", v);
  return text;
}

// The lines the firmware logs when it boots `image` from the hard-switch
// header with this CRC word.
std::string hard_switch_boot(const Bytes &image, const std::string &variant, uint32_t crc_word,
                             const std::string &version, int pages = 4) {
  char line[160];
  snprintf(line, sizeof line, "ucp: hard switch: 0x%zx bytes from 0x14000c (%s %s), run at 0x0\n", image.size(),
           variant.c_str(), hex8(crc_word).c_str());
  return line + ("ucp: version: " + version + "\n") + "ucp: copy-block table at 0x200: " + std::to_string(pages) +
         " pages, valid word 0\n";
}

// A kload run on a card, and what the card shows after it: its message log
// (kmesg through configuration space, which needs no BAR), its command
// register and BARs, the hard-switch header's 12 bytes and the first 4 KiB
// of SRAM (through the debug window).
struct Outcome {
  Result kload;
  std::string log, config;
  Bytes header, sram;
};
Outcome kload_on_card(const std::string &items, const std::string &args, const Scratch &dir,
                  const std::string &before = "", const std::string &wait_for_log = "") {
  std::string wait;
  if (!wait_for_log.empty())
    wait = "i=0; until $KMESG -d 2> /dev/null | grep -qF '" + wait_for_log + "' || [ $i -ge 100 ]; do sleep 0.05; i=$((i+1)); done\n";
  Result r = script_on_card(items,
                            before + "$KLOAD " + args + " > $D/out 2> $D/err; echo $? > $D/status\n" + wait +
                                "$KMESG > $D/log 2> /dev/null\n"
                                "setpci -s 01:00.0 04.w 10.l 18.l > $D/config\n"
                                "$POKEMEM -q -c -b 0 0x140000.12 > $D/header\n"
                                "$POKEMEM -q -c -b 0 0.0x1000 > $D/sram\n",
                            dir);
  EXPECT_EQ(r.status, 0) << r;
  Outcome after;
  after.kload = {read_text(dir / "out"), read_text(dir / "err"), atoi(read_text(dir / "status").c_str())};
  after.log = read_text(dir / "log");
  after.config = read_text(dir / "config");
  after.header = read_bytes(dir / "header");
  after.sram = read_bytes(dir / "sram");
  return after;
}

Bytes part(const Bytes &b, size_t at, size_t n) { return Bytes(b.begin() + at, b.begin() + std::min(b.size(), at + n)); }

Bytes header_of(const Bytes &image, uint32_t crc_word) {
  Bytes h(12);
  put_be32(h, 0, 0x6c6f6165);
  put_be32(h, 4, (uint32_t)image.size());
  put_be32(h, 8, crc_word);
  return h;
}

// ---- The hard switch ------------------------------------------------------------

// The image lands at 0x14000c under a header of magic, length and CRC (the
// CRC-32/BZIP2 as the word, or with -e the reflected one stored
// little-endian), the card restarts, its configuration space is restored,
// and its boot code runs the image: copied to 0, its version told.
TEST(Kload, HardSwitchLoadsRestartsAndTheCardBootsTheImage) {
  const Bytes image = ucp_image(0x1000, "kload test 1.0");
  struct Case {
    std::string args, variant;
    uint32_t crc_word;
  } cases[] = {
      {"", "CRC-32/BZIP2", crc32_by_definition(image.data(), image.size())},
      {"-e", "reflected CRC-32, little-endian", __builtin_bswap32(crc32_reflected_by_definition(image))},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    Scratch dir;
    write_bytes(dir / "ucp.bin", image);
    Outcome after = kload_on_card("", c.args + " -r $D/ucp.bin", dir);
    EXPECT_EQ(after.kload.status, 0) << after.kload;
    EXPECT_EQ(after.kload.out, "ramsize = 2048 Kbyte 0 bytes\nloading ucp of size 4096\n");
    EXPECT_EQ(after.kload.err, "Loading New UCP (hard-switch) at 0x14000c\n"
                             "\tversion: kload test 1.0\n"
                             "Verifying Load\n"
                             "Warning: setting Master command bit\n" +
                                 SAVING + "Resetting NIC through PIO\n" + RESTORED);
    EXPECT_EQ(after.header, header_of(image, c.crc_word));
    EXPECT_EQ(after.config, CONFIGURED);
    EXPECT_EQ(after.log,
              "ucp: reset: the host cleared SRAM word 0\n" + hard_switch_boot(image, c.variant, c.crc_word, "kload test 1.0"));
    EXPECT_TRUE(SameBytes(after.sram, image));
  }
}

// An object file becomes its SRAM image through the converter beside kload.
TEST(Kload, AnObjectFileGoesThroughTheConverter) {
  const Bytes &sram = program_run::firmware().sram;
  Scratch dir;
  Outcome after = kload_on_card("", std::string(FIRMWARE_DIR) + "/default_ucp1.kcoff", dir);
  EXPECT_EQ(after.kload.status, 0) << after.kload;
  EXPECT_EQ(after.kload.out, "ramsize = 2048 Kbyte 0 bytes\nloading ucp of size " + std::to_string(sram.size()) + "\n");
  EXPECT_EQ(after.kload.err, "Loading New UCP (hard-switch) at 0x14000c\n"
                           "\tversion: ULVE UCP1 10G stand-in 1.0\n"
                           "Verifying Load\n"
                           "Warning: setting Master command bit\n" +
                               SAVING + "Resetting NIC through PIO\n" + RESTORED);
  const uint32_t crc = crc32_by_definition(sram.data(), sram.size());
  EXPECT_EQ(after.header, header_of(sram, crc));
  EXPECT_EQ(after.log, "ucp: reset: the host cleared SRAM word 0\n" +
                         hard_switch_boot(sram, "CRC-32/BZIP2", crc, "ULVE UCP1 10G stand-in 1.0", 16));
  EXPECT_TRUE(SameBytes(after.sram, part(sram, 0, 0x1000)));
}

// Through the bridge (link down and up), through interrupt timer 3 (also
// with the card reached only through configuration space), and the bridge
// winning over the timer; -v tells the time and watches the bridge.
TEST(Kload, TheWaysOfRestarting) {
  const Bytes image = ucp_image(0x800, "restarted");
  const std::string loaded = "Loading New UCP (hard-switch) at 0x14000c\n\tversion: restarted\nVerifying Load\n"
                             "Warning: setting Master command bit\n";
  const std::string bridge = "Resetting NIC through Bridge 00:01.0\n", timer = "Trying to reset NIC through CFG-PIO to IT3\n";
  struct Case {
    std::string args, err, reset_line;  // err: a regular expression
    std::string config = CONFIGURED;
  } cases[] = {
      {"-p", literal(loaded + SAVING + bridge + RESTORED), "ucp: reset: the link came back\n"},
      {"-3", literal(loaded + SAVING + timer + RESTORED), "ucp: reset: interrupt timer 3 fired as a watchdog\n"},
      {"-p -3", literal(loaded + SAVING + bridge + RESTORED), "ucp: reset: the link came back\n"},
      // Without MMIO kload never turned memory space on.
      {"-n -3", literal("Not using MMIO\n" + loaded + SAVING + timer + RESTORED),
       "ucp: reset: interrupt timer 3 fired as a watchdog\n", "0004\nc0000000\nc1000000\n"},
      // Whatever the bridge's link and error status do meanwhile is told.
      {"-v", literal(loaded + SAVING + "Resetting NIC through PIO\n") +
                 "waiting for reinit, link was put down around RTC=[0-9]+\\.[0-9]{6,7}\n"
                 "([0-9]+:(Link_status|Error-status) going from 0x[0-9a-f]{4} to 0x[0-9a-f]{4}\n)*" +
                 literal(RESTORED),
       "ucp: reset: the host cleared SRAM word 0\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    Scratch dir;
    write_bytes(dir / "ucp.bin", image);
    Outcome after = kload_on_card("", c.args + " -r $D/ucp.bin", dir);
    EXPECT_EQ(after.kload.status, 0) << after.kload;
    EXPECT_THAT(after.kload.err, MatchesRegex(c.err));
    EXPECT_EQ(after.config, c.config);
    const uint32_t crc = crc32_by_definition(image.data(), image.size());
    EXPECT_EQ(after.log, c.reset_line + hard_switch_boot(image, "CRC-32/BZIP2", crc, "restarted"));
  }
}

// -w leaves configuration space as the restart left it: no BARs, no
// memory space (the firmware has booted all the same).
TEST(Kload, WithoutRestoringTheBarsStayUnassigned) {
  Scratch dir;
  write_bytes(dir / "ucp.bin", ucp_image(0x400, "unrestored"));
  Outcome after = kload_on_card("", "-w -r $D/ucp.bin", dir);
  EXPECT_EQ(after.kload.status, 0) << after.kload;
  EXPECT_THAT(after.kload.err, testing::EndsWith("Rereading ID\nNIC has restarted, NOT restoring PCI conf-space\n"));
  EXPECT_EQ(after.config, "0000\n00000000\n00000000\n");
  EXPECT_THAT(after.log, testing::StartsWith("ucp: reset: the host cleared SRAM word 0\nucp: hard switch: 0x400 bytes"));
}

// ---- Without restarting -------------------------------------------------------------

// The soft handoff writes no header and never restarts: the running
// firmware takes the block (with -8 without the image's first 8 bytes) and
// clears it.
TEST(Kload, SoftHandoffWritesTheBlockAndNeverRestarts) {
  const Bytes image = ucp_image(0x1000, "handed over");
  struct Case {
    std::string args, line;
    size_t kept;  // bytes of SRAM the handoff leaves to the running program
  } cases[] = {
      {"-s", "ucp: soft handoff: 0x1000 bytes at 0x14000c, run at 0x0\n", 0},
      {"-s -8", "ucp: soft handoff: 0xff8 bytes at 0x140014, run at 0x8\n", 8},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    Scratch dir;
    write_bytes(dir / "ucp.bin", image);
    Outcome after = kload_on_card("", c.args + " -r $D/ucp.bin", dir, "", "soft handoff");
    EXPECT_EQ(after.kload.status, 0) << after.kload;
    EXPECT_EQ(after.kload.out, "ramsize = 2048 Kbyte 0 bytes\nloading ucp of size 4096\n");
    EXPECT_EQ(after.kload.err, "Loading New UCP (soft-handoff) at 0x14000c\n\tversion: handed over\nVerifying Load\n"
                             "Warning: setting Master command bit\n");
    EXPECT_EQ(after.header, Bytes(12, 0));
    EXPECT_EQ(after.config, "0006\nc0000000\nc1000000\n");  // as kload set it: no restart
    EXPECT_EQ(after.log, BOOTED + c.line + "ucp: version: handed over\nucp: copy-block table at 0x200: 4 pages, valid word 0\n");
    Bytes expected = image;
    for (size_t i = 0; i < c.kept; i++) expected[i] = booted_sram_byte(i);
    EXPECT_TRUE(SameBytes(after.sram, expected));
  }
}

// -l puts the image and its header in place and leaves the card running.
TEST(Kload, LoadOnlyDoesNotStart) {
  const Bytes image = ucp_image(0x800, "not started");
  Scratch dir;
  write_bytes(dir / "ucp.bin", image);
  Outcome after = kload_on_card("", "-l -r $D/ucp.bin", dir);
  EXPECT_EQ(after.kload.status, 0) << after.kload;
  EXPECT_EQ(after.kload.err, "Loading New UCP (hard-switch) at 0x14000c\n\tversion: not started\nVerifying Load\n");
  EXPECT_EQ(after.header, header_of(image, crc32_by_definition(image.data(), image.size())));
  EXPECT_EQ(after.log, BOOTED);
  EXPECT_EQ(after.config, "0002\nc0000000\nc1000000\n");  // memory space on, bus master untouched
  Bytes booted(0x1000);
  for (uint32_t i = 0; i < booted.size(); i++) booted[i] = booted_sram_byte(i);
  EXPECT_TRUE(SameBytes(after.sram, booted));
}

// -i clears a valid header before the restart, so the card boots from its
// EEPROM (here the second area, which holds the updater's image); -ii
// leaves it, so the card runs the image in SRAM again.
TEST(Kload, ResetOnlyClearsTheHeaderOrLeavesIt) {
  const Bytes image = ucp_image(0x800, "kept in SRAM");
  const auto &fw = program_run::firmware();
  sim::Eeprom eeprom(0);
  std::copy(fw.image.begin(), fw.image.end(), eeprom.bytes().begin() + sim::Eeprom::UCP2_OFFSET);
  struct Case {
    std::string args;
    bool header_kept;
    std::string booted;
  } cases[] = {
      {"-i", false,
       "ucp: the EEPROM's second area at 0x80000: 0x" + [&] {
         char n[16];
         snprintf(n, sizeof n, "%zx", fw.sram.size());
         return std::string(n);
       }() + " bytes, run at 0x0\nucp: version: ULVE UCP1 10G stand-in 1.0\nucp: copy-block table at 0x200: 16 pages, valid word 0\n"},
      {"-ii", true, hard_switch_boot(image, "CRC-32/BZIP2", crc32_by_definition(image.data(), image.size()), "kept in SRAM")},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args);
    Scratch dir;
    write_bytes(dir / "ucp.bin", image);
    eeprom.save(dir / "eeprom.bin");
    Outcome after = kload_on_card("eeprom=" + dir / "eeprom.bin", c.args, dir, "$KLOAD -l -r $D/ucp.bin > /dev/null 2>&1\n");
    EXPECT_EQ(after.kload.status, 0) << after.kload;
    EXPECT_EQ(after.kload.out, "");
    EXPECT_EQ(after.kload.err, SAVING + "Resetting NIC through PIO\n" + RESTORED);
    EXPECT_EQ(after.header, c.header_kept ? header_of(image, crc32_by_definition(image.data(), image.size())) : Bytes(12, 0));
    EXPECT_EQ(after.config, "0002\nc0000000\nc1000000\n");  // as the loading kload left it
    EXPECT_EQ(after.log, "ucp: reset: the host cleared SRAM word 0\n" + c.booted);
  }
}

// ---- Cards that do not come back right ------------------------------------------------

TEST(Kload, ACardThatDoesNotComeBackRightIsAnError) {
  struct Case {
    std::string items, error;
  } cases[] = {
      {"reset-hangs", "ERROR: NIC did not reboot correctly: ID=ffff:ffff, should be 1f5c:5e0a\n"},
      {"reset-id=5e0b", "ERROR: NIC did not reboot correctly: ID=1f5c:5e0b, should be 1f5c:5e0a\n"},
      {"reset-keeps-config", "ERROR: NIC did not reboot, conf-space still initialized\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.items);
    Scratch dir;
    Result r = script_on_card(c.items, "$KLOAD -i", dir);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, SAVING + "Resetting NIC through PIO\nRereading ID\n" + c.error);
  }
}

// ---- The X and PCI64 cards ----------------------------------------------------------

// Reset, load at 0 and start through the control word: the firmware logs
// the control writes it saw and runs the image from SRAM. -c clears the
// SRAM first; -l leaves the processor held.
TEST(Kload, XAndPci64CardsResetLoadAndStartThroughTheControlWord) {
  const Bytes image = ucp_image(0x800, "earlier card");
  const std::string started = "ucp: version: earlier card\nucp: copy-block table at 0x200: 4 pages, valid word 0\n";
  struct Case {
    std::string what, items, args, err, log, control;
  } cases[] = {
      {"KX", "device=4c3d,rev=4", "-x -c",
       " resetting nic\n Loading New UCP\n Starting New UCP\n",
       "ucp: started from SRAM by the host, control writes 40:80000000 40:20000000 40:10000000 40:40000000\n" +
           started,
       "40000000\n"},
      {"PCI64", "device=4c3d,rev=3", "-x -c",
       " resetting nic\nUlve PCI64 NIC is under full reset, doing init procedure now\n Loading New UCP\n"
       " Starting New UCP\n",
       "ucp: started from SRAM by the host, control writes 43:54 43:58 43:20 43:80\n" + started, "a8000000\n"},
      {"KX, load only", "device=4c3d,rev=6", "-x -l", " resetting nic\n Loading New UCP\n", "", "20000000\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Scratch dir;
    write_bytes(dir / "ucp.bin", image);
    Result r = script_on_card(c.items + ",log-at=1fffe8",
                              "$POKEMEM -q -b 0 0x1000.l 0x11111111 &&\n"
                              "$KLOAD " + c.args + " -r $D/ucp.bin > $D/out 2> $D/err; echo $? > $D/status\n"
                              "$KMESG -x -d > $D/log 2> /dev/null\n"
                              "setpci -s 01:00.0 40.l > $D/control\n"
                              "$POKEMEM -q -b 0 0.0x1100 > $D/sram\n",
                              dir);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(read_text(dir / "status"), "0\n");
    EXPECT_EQ(read_text(dir / "out"), "ramsize = 2048 Kbyte 0 bytes\nloading ucp of size 2048\n");
    EXPECT_EQ(read_text(dir / "err"), c.err);
    EXPECT_EQ(read_text(dir / "control"), c.control);
    if (!c.log.empty()) {
      EXPECT_EQ(read_text(dir / "log"), c.log);
    }
    Bytes sram = read_bytes(dir / "sram");
    EXPECT_TRUE(SameBytes(part(sram, 0, 0x800), image));
    EXPECT_EQ(be32(sram, 0x1000), c.args.find("-c") != std::string::npos ? 0u : 0x11111111u);
  }
}

// ---- File names ---------------------------------------------------------------------

// Blanks, quotes, semicolons, substitutions: a file name is one argument,
// to the converter as to the reading of a raw image, and nothing in it runs.
TEST(Kload, AFileNameIsOneArgumentAndNeverRuns) {
  const std::string name = "ucp one 'two' \"three\"; touch ran; $(touch ran2) `touch ran3` x";
  struct Case {
    const char *what, *raw;
    Bytes file;
    std::string version;
  } cases[] = {
      {"an object file", "", read_bytes(std::string(FIRMWARE_DIR) + "/default_ucp1.kcoff"), "ULVE UCP1 10G stand-in 1.0"},
      {"a raw image", "-r", ucp_image(0x400, "odd name"), "odd name"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Scratch dir;
    write_bytes(dir / name, c.file);
    // Run from the file's directory, where whatever a shell made of the
    // name would leave its marks.
    Result r = on_card("", {"/usr/bin/env", "D=" + dir.path(), "N=" + name, "KLOAD=" + KLOAD, "R=" + std::string(c.raw),
                            "sh", "-c", "cd \"$D\" && \"$KLOAD\" -l $R \"$D/$N\""});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "Loading New UCP (hard-switch) at 0x14000c\n\tversion: " + c.version + "\nVerifying Load\n");
    for (const char *marker : {"ran", "ran2", "ran3"}) EXPECT_FALSE(fs::exists(dir / marker)) << marker;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
  }
}

// ---- Refusals -----------------------------------------------------------------------

TEST(Kload, FailuresStopWithTheirMessages) {
  Scratch dir;
  write_bytes(dir / "ucp.bin", ucp_image(0x1000, "refused"));
  write_bytes(dir / "no-version.bin", Bytes(0x1000, 0x11));
  write_bytes(dir / "small-header.bin", ucp_image(0x1000, "small header", 160));
  write_bytes(dir / "no-table.bin", ucp_image(0x1000, "no table", 164, 0));
  write_bytes(dir / "table-beyond.bin", ucp_image(0x1000, "table beyond", 164, 0x1000));
  write_bytes(dir / "big.bin", ucp_image(0x100000, "big"));
  const std::string loaded = "Loading New UCP (hard-switch) at 0x14000c\n\tversion: refused\nVerifying Load\n"
                             "Warning: setting Master command bit\n";
  const std::string ramsize = "ramsize = 2048 Kbyte 0 bytes\n";
  struct Case {
    std::string what, items, args, out, err;  // err: a regular expression
  } cases[] = {
      {"an unknown option", "", "-q", "", literal(USAGE)},
      {"a raw image with converter arguments", "", "-r $D/ucp.bin extra", ramsize,
       error_from("uba_kexe.h", "Cannot pass param to raw ucp image") + "\n"},
      {"no image", "", "", ramsize, error_from("uba_kexe.h", "uba_get_ucp:NULL filename!") + "\n"},
      {"a raw image that is not there", "", "-r $D/none", ramsize,
       "ERROR:open\\(" + literal(dir / "none") + ",0x80800\\):No such file or directory\n"},
      {"a directory as a raw image", "", "-r $D", ramsize,
       error_from("uba_kexe.h", "uba_get_ucp:" + literal(dir.path()) + " is not a regular file") + "\n"},
      {"not an object file", "", "$D/ucp.bin", ramsize,
       "uba_kcoff: cannot read object file " + literal(dir / "ucp.bin") + ": Invalid argument\n" +
           error_from("uba_kexe.h", "uba_get_ucp:uba_kcoff on " + literal(dir / "ucp.bin") + " exited with status 22") +
           "\n"},
      {"the programmed-I/O restart without MMIO", "", "-n -r $D/ucp.bin",
       ramsize + "loading ucp of size 4096\n",
       literal("Not using MMIO\n" + loaded + SAVING) + error_from("kload.cpp", "MMIO support is required for that operation") + "\n"},
      {"the soft handoff without MMIO", "", "-n -s -r $D/ucp.bin", "",
       error_from("kload.cpp", "MMIO support is required for that operation") + "\n"},
      {"an X card without MMIO", "device=4c3d,rev=4", "-x -n -r $D/ucp.bin", "",
       "kload: -n works on 10G Ulvelink cards only\n"},
      {"an image past the end of BAR0", "", "-o 0xf80000 -r $D/big.bin", ramsize + "loading ucp of size 1048576\n",
       "Loading New UCP \\(hard-switch\\) at 0xf80000\n\tversion: big\n" +
           error_from("kload.cpp", "The UCP of 1048576 bytes at 0xf80000 does not fit in BAR0 \\(0x1000000 bytes\\)\n") +
           "\n"},
      {"-d without a version header", "", "-d -r $D/no-version.bin", ramsize + "loading ucp of size 4096\n",
       "Loading New UCP \\(hard-switch\\) at 0x14000c\n" + error_from("uba_handoff.h", "Invalid header for dma copy-block") + "\n"},
      {"-d with a header too small for the table", "", "-d -r $D/small-header.bin",
       ramsize + "loading ucp of size 4096\n",
       "Loading New UCP \\(hard-switch\\) at 0x14000c\n\tversion: small header\n" +
           error_from("uba_handoff.h", "Invalid header for dma copy-block") + "\n"},
      {"-d without a table", "", "-d -r $D/no-table.bin", ramsize + "loading ucp of size 4096\n",
       "Loading New UCP \\(hard-switch\\) at 0x14000c\n\tversion: no table\n" +
           error_from("uba_handoff.h", "No copy_block_info available for this UCP but '-d' is used") + "\n"},
      {"-d with a table beyond the image", "", "-d -r $D/table-beyond.bin", ramsize + "loading ucp of size 4096\n",
       "Loading New UCP \\(hard-switch\\) at 0x14000c\n\tversion: table beyond\n" +
           error_from("uba_handoff.h", "No copy_block_info available for this UCP but '-d' is used") + "\n"},
      // The virtual host cannot show the card driver's /proc/copy-block.
      {"-d on a host without the copy-block", "", "-d -r $D/ucp.bin", ramsize + "loading ucp of size 4096\n",
       "Loading New UCP \\(hard-switch\\) at 0x14000c\n\tversion: refused\n"
       "ERROR:open\\(/proc/copy-block,0x2\\):No such file or directory\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Result r = script_on_card(c.items, "$KLOAD " + c.args, dir);
    SCOPED_TRACE(testing::PrintToString(r.err));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.out);
    EXPECT_THAT(r.err, MatchesRegex(c.err));
  }
}

// A card on the host's own bus has no bridge to take its link down.
TEST(Kload, ABridgeRestartNeedsABridge) {
  Result r = in_host(SIMHOST, {"--no-bridges"}, {KLOAD, "-i", "-p"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err, MatchesRegex(error_from("kload.cpp", "Don't know the bridge for NIC 00:01\\.0\n") + "\n"));
}

}  // namespace
