// The tools under UBA_SIM, with simcard playing the simulator: the same
// card model reached through the simulator protocol instead of a host's
// buses. These use the fixed files under /tmp that the protocol names, so
// CTest runs them one at a time.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "eeprom.h"
#include "firmware_images.h"
#include "pci_sim.h"
#include "tools_fixture.h"

using namespace tools_test;

namespace {

const std::string SIMCARD = SIMCARD_PATH;
const std::string WAITING = "Waiting for kxgdb to connect...\n";

struct Both {
  Result tool, card;
};

// The tool run with UBA_SIM set and simcard (with `card_args`) beside it.
Both with_simcard(const std::vector<std::string> &card_args, const std::vector<std::string> &tool) {
  std::vector<std::string> card = {SIMCARD, "--wait", "20"};
  card.insert(card.end(), card_args.begin(), card_args.end());
  Process peer(card);
  std::vector<std::string> command = {"/usr/bin/env", "UBA_SIM=1"};
  command.insert(command.end(), tool.begin(), tool.end());
  Result r = run(command, std::chrono::seconds(30));
  return {r, peer.wait(std::chrono::seconds(10))};
}

uint32_t booted_word(uint32_t offset) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v |= (uint32_t)booted_sram_byte(offset + i) << 8 * i;
  return v;
}

TEST(UnderSimulator, PokememReachesBar0AndTheDebugWindow) {
  char word0[32];
  snprintf(word0, sizeof word0, "0x%x\n", booted_word(0));
  struct Case {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"-q", "-b", "0", "0.l"}, word0},
      {{"-q", "-b", "0", "-c", "0.l"}, word0},
      // The shared image keeps what a run stored beyond the program the
      // card loads at each start.
      {{"-b", "0", "0x40000.l", "0x12345678"}, "setting 0x40000.4 = 0x12345678\n"},
      {{"-q", "-b", "0", "-c", "0x40000.l"}, "0x12345678\n"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> tool = {POKEMEM};
    tool.insert(tool.end(), c.args.begin(), c.args.end());
    Both b = with_simcard({}, tool);
    SCOPED_TRACE(testing::PrintToString(c.args) + "\n" + testing::PrintToString(b.card.err));
    EXPECT_EQ(b.tool.status, 0) << b.tool;
    EXPECT_EQ(b.tool.out, c.out);
    EXPECT_EQ(b.tool.err, WAITING);
    EXPECT_EQ(b.card.status, 0) << b.card;
  }
  // The card never wrote over the identification strings the tool put in
  // the shared image.
  Bytes image = read_bytes(SIM_SRAM_FILE);
  ASSERT_GE(image.size(), SIM_ID_STRINGS + SIM_ID_STRINGS_SIZE);
  const char strings[] = "PC=SIMULATOR-Z8\0MAC=00:fa:dd:49:8d:26\0SN=173192\0PN=00-0000\0";
  EXPECT_EQ(std::string(image.begin() + SIM_ID_STRINGS, image.begin() + SIM_ID_STRINGS + sizeof strings),
            std::string(strings, sizeof strings));
}

// Every configuration read answered in several READ_DATA messages: the
// debug window still reads the log right.
TEST(UnderSimulator, KmesgThroughTheDebugWindowWithReadsInParts) {
  for (const char *split : {"1", "2", "3"}) {
    SCOPED_TRACE(split);
    Both b = with_simcard({"--split", split, "--card", "log=0x2010:0x2000"}, {KMESG});
    EXPECT_EQ(b.tool.status, 0) << b.tool;
    std::string expected;
    for (uint32_t n = 0x2000; n < 0x2010; n++) expected += (char)sim::log_stream_byte(n);
    EXPECT_EQ(b.tool.out, expected + "\n\\ kmesg added missing newline\n");
    EXPECT_EQ(b.tool.err, WAITING + "Assuming print buf at offset 0x1dc800, meta at 0x1de9e8\n");
    EXPECT_EQ(b.card.status, 0) << b.card;
  }
}

TEST(UnderSimulator, SramgrabDumpsTheSharedImage) {
  Both b = with_simcard({}, {SRAMGRAB, "-r"});
  ASSERT_EQ(b.tool.status, 0) << b.tool.err;
  EXPECT_EQ(b.tool.err, WAITING + "ramsize = 2048 Kbyte\n");
  Bytes sram = bytes_of(b.tool.out);
  ASSERT_EQ(sram.size(), 0x200000u);
  Bytes program(sram.begin(), sram.begin() + sim::Firmware::PROGRAM_SIZE), expected(sim::Firmware::PROGRAM_SIZE);
  for (uint32_t i = 0; i < expected.size(); i++) expected[i] = booted_sram_byte(i);
  EXPECT_TRUE(SameBytes(program, expected));
  EXPECT_EQ(std::string(sram.begin() + SIM_ID_STRINGS, sram.begin() + SIM_ID_STRINGS + 15), "PC=SIMULATOR-Z8");
}

// The card's DMA into the host's area: a write, an interrupt, and a read of
// what was written, which the tool's side answers.
TEST(UnderSimulator, DmaWritesReadsAndTheInterrupt) {
  Both b = with_simcard({"--dma-write", "100:deadbeef", "--msi", "--dma-read", "100:4"}, {POKEMEM, "-q", "-b", "0", "0.b"});
  EXPECT_EQ(b.tool.status, 0) << b.tool;
  EXPECT_EQ(b.card.status, 0) << b.card;
  EXPECT_EQ(b.card.out, "DMA read at 0x100: de ad be ef\n");
  Bytes dma = read_bytes(SIM_DMA_FILE);
  ASSERT_GE(dma.size(), 0x104u);
  EXPECT_EQ(be32(dma, 0x100), 0xdeadbeefu);
}

// The message log in a raw SRAM image, from its start at the last boot.
std::string log_in(const Bytes &sram) {
  const uint32_t header = sim::Firmware::LOG_HEADER, w = be32(sram, header + 12), ring = be32(sram, header + 20);
  std::string text;
  for (uint32_t n = 0; n < w && n < 8192; n++) text += static_cast<char>(sram.at(ring + n));
  return text;
}

// The soft handoff's block goes to the simulator as a programmed-I/O
// write, which the card's firmware sees at once.
TEST(UnderSimulator, KloadHandsOverThroughTheSimulatorsWrite) {
  Scratch dir;
  Bytes image(0x800);
  for (size_t i = 0; i < image.size(); i++) image[i] = static_cast<uint8_t>(i * 3 + 1);
  put_be32(image, 0, 0xe0000001);
  write_bytes(dir / "ucp.bin", image);
  Both b = with_simcard({}, {KLOAD, "-s", "-r", dir / "ucp.bin"});
  EXPECT_EQ(b.tool.status, 0) << b.tool;
  EXPECT_EQ(b.tool.out, "ramsize = 2048 Kbyte 0 bytes\nloading ucp of size 2048\n");
  EXPECT_EQ(b.tool.err, WAITING + "Loading New UCP (soft-handoff) at 0x14000c\nVerifying Load\n"
                                  "Warning: setting Master command bit\n");
  EXPECT_EQ(b.card.status, 0) << b.card;
  Bytes sram = read_bytes(SIM_SRAM_FILE);
  ASSERT_GE(sram.size(), 0x1000000u);
  EXPECT_TRUE(SameBytes(Bytes(sram.begin(), sram.begin() + image.size()), image));
  EXPECT_EQ(Bytes(sram.begin() + 0xfc0000, sram.begin() + 0xfc0040), Bytes(64, 0));
  EXPECT_THAT(log_in(sram), testing::EndsWith("ucp: soft handoff: 0x800 bytes at 0x14000c, run at 0x0\n"
                                              "ucp: no version header\n"));
}

// -d under the simulator: the image is the card's BAR0 (here the program
// its EEPROM booted), whose copy-block table takes the pages of the
// simulator's DMA area; then kload leaves the card to the simulation.
TEST(UnderSimulator, KloadFillsTheCopyBlockTableInTheSimulatedCard) {
  Scratch dir;
  sim::Eeprom eeprom(0);
  const Bytes &image = program_run::firmware().image;
  std::copy(image.begin(), image.end(), eeprom.bytes().begin() + sim::Eeprom::UCP2_OFFSET);
  eeprom.save(dir / "eeprom.bin");
  Process peer({SIMCARD, "--wait", "20", "--card", "eeprom=" + dir / "eeprom.bin"});
  Process tool({"/usr/bin/env", "UBA_SIM=1", KLOAD, "-d"});
  const std::string sleeping = "Sleeping while simulation occurs\n";
  bool slept = tool.wait_for([&](const std::string &out, const std::string &) { return out.find(sleeping) != std::string::npos; },
                             std::chrono::seconds(30));
  ASSERT_TRUE(slept) << tool.out() << tool.err();
  EXPECT_EQ(tool.out(), "ramsize = 2048 Kbyte 0 bytes\nAssuming UCP " + KLOAD +
                            " is loaded with simulator invocation\nloading ucp of size 16777216\n" + sleeping);
  EXPECT_EQ(tool.err(), WAITING + "Loading New UCP (hard-switch) at 0x14000c\n\tversion: ULVE UCP1 10G stand-in 1.0\n");
  Bytes sram = read_bytes(SIM_SRAM_FILE);
  ASSERT_GE(sram.size(), 0x300u);
  EXPECT_EQ(be32(sram, 0x200), 16u);
  EXPECT_EQ(be32(sram, 0x204), 1u);
  for (uint32_t i = 0; i < 16; i++) {
    EXPECT_EQ(be32(sram, 0x208 + 8 * i), 0u) << i;
    EXPECT_EQ(be32(sram, 0x20c + 8 * i), i * (uint32_t)getpagesize()) << i;
  }
  Result ended = tool.wait(std::chrono::milliseconds(0));  // killed: the simulation would go on for hours
  EXPECT_EQ(ended.status, 128 + SIGKILL);
  EXPECT_EQ(peer.wait(std::chrono::seconds(10)).status, 0);
}

TEST(UnderSimulator, SimcardWithoutAToolGivesUp) {
  unlink(SIM_SOCKET_FILE);
  Result r = run({SIMCARD, "--wait", "0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "simcard: no tool listening on /tmp/udrv_pci0 after 0 s\n");
}

}  // namespace
