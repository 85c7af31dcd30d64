// nicflash run whole: updates on the virtual host (the success, every
// failure the card model can produce, updates cut short by SIGKILL), the
// command line, the boot ROM search, and the installed layout.
//
// Every run that could reach a card runs inside simhost, so no test ever
// touches a card of the machine it runs on; where no card is wanted the
// virtual host has none (the program then stops with 19 after its ROM
// search).

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "crc_force.h"
#include "eeprom.h"
#include "firmware_images.h"

using namespace program_run;

namespace {

const std::string SIMHOST = SIMHOST_PATH, NICFLASH = NICFLASH_PATH, ROM = std::string(FIRMWARE_DIR) + "/ulve10ge.zrom";
constexpr uint32_t UCP2 = sim::Eeprom::UCP2_OFFSET, SECTOR = sim::Eeprom::SECTOR_SIZE;

std::string dir_of(const std::string &path) { return path.substr(0, path.rfind('/')); }

// The ROM beside the built program is the first one found.
const std::string ROM_LINE = "ROM file at " + dir_of(NICFLASH) + "/ulve10ge.zrom\n";
const std::string NO_CARD = "Could not find any Ulvetek card.\nucp2 EEPROM burn failed: No such device\n";

// `command` on a virtual host made by the simhost options `host`, killed
// when it runs longer than `limit`.
Result in_host(std::vector<std::string> host, const std::vector<std::string> &command,
               std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  return program_run::in_host(SIMHOST, std::move(host), command, limit);
}

// The EEPROM the model gives the board with this index in its host.
Bytes model_eeprom(int index) { return sim::Eeprom(index).bytes(); }

// "  STRING\n" for each description string of the EEPROM.
std::string description_lines(const Bytes &eeprom) {
  std::string lines;
  const char *block = reinterpret_cast<const char *>(&eeprom.at(sim::Eeprom::STRINGS_OFFSET));
  for (size_t at = 0; at < 256 && block[at];) {
    size_t n = strnlen(block + at, 256 - at);
    lines += "  " + std::string(block + at, n) + "\n";
    at += n + 1;
  }
  return lines;
}

std::string success_lines(const Bytes &eeprom) {
  return "Updating NIC firmware:\n" + description_lines(eeprom) +
         "Erasing... done\nProgramming... done\nVerifying... done\n";
}

// Progress: the image goes in 32 pieces or fewer, a dot after each but the last.
std::string dots(size_t len) { return std::string((len - 1) / (len / 32 + 1), '.'); }

// The end of the sectors an image at the second area (at `ucp2`) covers.
size_t area_end(size_t image_len, uint32_t ucp2 = UCP2) { return (ucp2 + image_len + SECTOR - 1) / SECTOR * SECTOR; }

// The EEPROM after the update: the image's sectors erased, then the image.
Bytes updated(Bytes eeprom, const Bytes &image, uint32_t ucp2 = UCP2) {
  std::fill(eeprom.begin() + ucp2, eeprom.begin() + area_end(image.size(), ucp2), 0xff);
  std::copy(image.begin(), image.end(), eeprom.begin() + ucp2);
  return eeprom;
}

// The EEPROM with the sectors the update may touch blanked out: what must
// survive any update, finished or not.
Bytes outside_area(Bytes eeprom) {
  if (eeprom.size() >= area_end(firmware().image.size()))
    std::fill(eeprom.begin() + UCP2, eeprom.begin() + area_end(firmware().image.size()), 0);
  return eeprom;
}

// ---------------------------------------------------------------------------
// Updates on the virtual host

TEST(Update, WritesTheImageIntoTheTenGigCardAndSkipsTheOtherDevice) {
  const Firmware &fw = firmware();
  Scratch dir;
  Result r =
      in_host({"--nic", "device=5e0a,save=" + dir / "a.bin", "--nic", "device=5e0b,save=" + dir / "b.bin"}, {NICFLASH});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out, dots(fw.image.size()));
  EXPECT_EQ(r.err, ROM_LINE + success_lines(model_eeprom(0)));

  Bytes a = read_bytes(dir / "a.bin"), before = model_eeprom(0);
  ASSERT_EQ(a.size(), before.size());
  EXPECT_TRUE(SameBytes(Bytes(a.begin(), a.begin() + UCP2), Bytes(before.begin(), before.begin() + UCP2)))
      << "header, description strings and first control-program area";

  // [N][SRAM image][R][ROM][S][CRC-32]
  const uint32_t len = fw.image.size(), s = fw.sram.size(), rom_len = fw.rom.size();
  ASSERT_EQ(len, s + rom_len + 16);
  Bytes area(a.begin() + UCP2, a.begin() + UCP2 + len);
  EXPECT_EQ(be32(area, 0), len - 8);
  EXPECT_TRUE(SameBytes(Bytes(area.begin() + 4, area.begin() + 4 + s), fw.sram));
  EXPECT_EQ(be32(area, 4 + s), rom_len);
  EXPECT_TRUE(SameBytes(Bytes(area.begin() + 8 + s, area.begin() + 8 + s + rom_len), fw.rom));
  EXPECT_EQ(be32(area, len - 8), s);
  EXPECT_EQ(be32(area, len - 4), crc32_by_definition(&area[4], len - 8));
  EXPECT_TRUE(SameBytes(area, fw.image));
  // The rest of the erased sectors reads erased; nothing beyond them changed.
  EXPECT_TRUE(SameBytes(a, updated(before, fw.image)));

  EXPECT_TRUE(SameBytes(read_bytes(dir / "b.bin"), model_eeprom(1))) << "the 0x5e0b card";
}

TEST(Update, WithoutTheRomTheImageHoldsTheProgramAlone) {
  const Firmware &fw = firmware();
  Scratch dir;
  Result r = in_host({"--nic", "save=" + dir / "a.bin"}, {NICFLASH, "--no-pxe"});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out, dots(fw.image_without_rom.size()));
  EXPECT_EQ(r.err, success_lines(model_eeprom(0)));
  const uint32_t s = fw.sram.size();
  ASSERT_EQ(fw.image_without_rom.size(), s + 12);
  Bytes a = read_bytes(dir / "a.bin");
  EXPECT_EQ(be32(a, UCP2), s + 4);
  EXPECT_EQ(be32(a, UCP2 + s + 4), s);
  EXPECT_TRUE(SameBytes(a, updated(model_eeprom(0), fw.image_without_rom)));
}

// Only the five leading bytes of the header are checked; version 0 means
// there are no description strings to show.
TEST(Update, UncheckedHeaderBytesAndHeaderVersionZeroStillUpdate) {
  Scratch dir;
  Bytes before = model_eeprom(0);
  before[5] = 0xab, before[6] = 0x01, before[7] = 0x77;
  put_be32(before, 24, 0);
  write_bytes(dir / "in.bin", before);
  Result r = in_host({"--nic", "eeprom=" + dir / "in.bin" + ",save=" + dir / "a.bin"}, {NICFLASH});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.err, ROM_LINE + "Updating NIC firmware:\nErasing... done\nProgramming... done\nVerifying... done\n");
  EXPECT_TRUE(SameBytes(read_bytes(dir / "a.bin"), updated(before, firmware().image)));
}

// One card of a failing host: its --nic items, the EEPROM it starts with
// (the model's when empty), and whether the update may have reached the
// sectors of its second area.
struct Card {
  std::string items;
  Bytes content;
  bool area_may_change;
};

TEST(Update, EachFailureStopsWithItsMessageAndCodeAndLeavesTheRestAlone) {
  const Firmware &fw = firmware();
  Bytes bad_first_byte = model_eeprom(0), bad_fifth_byte = model_eeprom(0), no_sector_size = model_eeprom(0);
  bad_first_byte[0] = 0x0a;
  bad_fifth_byte[4] = 0x12;
  put_be32(no_sector_size, 12, 0);
  // A stuck byte halfway through the image, where the image holds neither
  // what it keeps reading (0x00) nor 0xff (which is never programmed).
  size_t stuck = fw.image.size() / 2;
  while (fw.image[stuck] == 0x00 || fw.image[stuck] == 0xff) stuck++;
  char stuck_item[32];
  snprintf(stuck_item, sizeof stuck_item, "stuck=%zx:00", UCP2 + stuck);
  const size_t chunk = fw.image.size() / 32 + 1;
  const std::string bad_header =
      "could not read eeprom header: Protocol error\nucp2 EEPROM burn failed: Protocol error\n";

  struct Row {
    const char *what;
    std::vector<Card> cards;  // none: a host without a card of the maker
    std::string out, err;     // err: after the ROM line
    int status;
  };
  const Row rows[] = {
      {"no card of the maker", {}, "", NO_CARD, 19},
      {"only the other device id", {{"device=5e0b", {}, false}}, "", "ucp2 EEPROM burn failed: No such device\n", 19},
      {"no vendor-specific capability",
       {{"no-vs", {}, false}},
       "",
       "could not find Vendor Specific capability: Invalid argument\nucp2 EEPROM burn failed: Invalid argument\n",
       22},
      {"configuration space reads all ones beyond the header",
       {{"dead=40", {}, false}},
       "",
       "could not find Vendor Specific capability: Operation not permitted\n"
       "Perhaps you should run this program as root.\n"
       "ucp2 EEPROM burn failed: Operation not permitted\n",
       1},
      {"wrong first header byte", {{"", bad_first_byte, false}}, "", bad_header, 71},
      {"wrong fifth header byte", {{"", bad_fifth_byte, false}}, "", bad_header, 71},
      {"sector size 0",
       {{"", no_sector_size, false}},
       "",
       "EEPROM header gives an erase sector size of 0\n" + bad_header,
       71},
      {"a stuck byte on the first of two cards",
       {{stuck_item, {}, true}, {"", {}, false}},
       std::string(stuck / chunk, '.'),
       "Updating NIC firmware:\n" + description_lines(model_eeprom(0)) +
           "Erasing... done\nProgramming...could not write eeprom: Invalid argument\n"
           "ucp2 EEPROM burn failed: Invalid argument\n",
       22},
      {"a bad header on the first of two cards", {{"", bad_first_byte, false}, {"", {}, false}}, "", bad_header, 71},
  };
  for (const Row &row : rows) {
    Scratch dir;
    std::vector<std::string> host;
    if (row.cards.empty()) host = {"--nics", "0"};
    for (size_t i = 0; i < row.cards.size(); i++) {
      std::string items = row.cards[i].items.empty() ? "" : row.cards[i].items + ",";
      if (!row.cards[i].content.empty()) {
        write_bytes(dir / ("in" + std::to_string(i)), row.cards[i].content);
        items += "eeprom=" + dir / ("in" + std::to_string(i)) + ",";
      }
      host.insert(host.end(), {"--nic", items + "save=" + dir / ("out" + std::to_string(i))});
    }
    Result r = in_host(host, {NICFLASH});
    SCOPED_TRACE(testing::Message() << row.what << "\n" << r);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, ROM_LINE + row.err);
    for (size_t i = 0; i < row.cards.size(); i++) {
      const Card &card = row.cards[i];
      Bytes before = card.content.empty() ? model_eeprom(i) : card.content,
            after = read_bytes(dir / ("out" + std::to_string(i)));
      if (card.area_may_change)
        EXPECT_TRUE(SameBytes(outside_area(after), outside_area(before))) << "card " << i << " outside its area";
      else
        EXPECT_TRUE(SameBytes(after, before)) << "card " << i;
    }
  }
}

// The header is checked before anything is erased: a layout under which the
// image would reach the header, the first area, or wrap at the registers'
// 24 address bits is refused, and the EEPROM is left exactly as it was.
// Every sound layout still updates.
TEST(Update, HeaderLayoutsThatWouldTouchTheHeaderOrTheFirstAreaAreRefused) {
  const Firmware &fw = firmware();
  const uint32_t len = fw.image.size(), erased = area_end(len) - UCP2;
  ASSERT_GT(len, SECTOR) << "the image must span two sectors for the rows below";
  constexpr uint32_t MIB16 = 0x1000000;
  struct Row {
    const char *what;
    uint32_t size;  // of the EEPROM
    std::optional<uint32_t> eeprom_len, sector, ucp1, ucp2;  // header fields changed
    std::string refusal;  // the line naming the field; empty: the update goes on
  };
  char text[8][160];
  snprintf(text[0], sizeof text[0], "ucp2_offset 0x0, inside the first sector, which holds the header");
  snprintf(text[1], sizeof text[1], "ucp2_offset 0x8000, not a multiple of the sector size 0x10000");
  snprintf(text[7], sizeof text[7], "ucp2_offset 0x10, inside the first sector, which holds the header");
  snprintf(text[2], sizeof text[2], "ucp2_offset 0xff8000, where an image of %u bytes passes the 24-bit address range",
           len);
  snprintf(text[3], sizeof text[3], "ucp2_offset 0xff0000, where an image of %u bytes passes the 24-bit address range",
           len);
  snprintf(text[4], sizeof text[4], "eeprom_len 0x%x, which an image of %u bytes at 0x80000 runs past", UCP2 + len - 1,
           len);
  snprintf(text[5], sizeof text[5], "ucp1_offset 0x80000, inside the sectors 0x80000 to 0x%x that the image erases",
           UCP2 + erased - 1);
  snprintf(text[6], sizeof text[6], "ucp1_offset 0x%x, inside the sectors 0x80000 to 0x%x that the image erases",
           UCP2 + erased - 1, UCP2 + erased - 1);
  const Row rows[] = {
      {"the second area at 0", 0, {}, {}, {}, 0, text[0]},
      {"the second area off a sector boundary", 0, {}, {}, {}, 0x8000, text[1]},
      {"sectors smaller than the header", 0, {}, 0x10, {}, 0x10, text[7]},
      {"a second area near the top of 16 MiB that wraps", MIB16, MIB16, 0x8000, {}, 0xff8000, text[2]},
      {"the last sector of 16 MiB, too small for the image", MIB16, 0, {}, {}, 0xff0000, text[3]},
      {"an image one byte past eeprom_len", 0, UCP2 + len - 1, {}, {}, {}, text[4]},
      {"the first area where the second begins", 0, {}, {}, UCP2, {}, text[5]},
      {"the first area in the last sector the image erases", 0, {}, {}, UCP2 + erased - 1, {}, text[6]},
      {"an image that ends exactly at eeprom_len", 0, UCP2 + len, {}, {}, {}, ""},
      {"eeprom_len 0: no length stated", 0, 0, {}, {}, {}, ""},
      {"the first area right after the erased sectors", 0, {}, {}, UCP2 + erased, {}, ""},
      {"the second area near the top of 16 MiB", MIB16, MIB16, {}, {}, 0xfe0000, ""},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    Scratch dir;
    Bytes before = model_eeprom(0);
    if (row.size) before.resize(row.size, 0xff);
    if (row.eeprom_len) put_be32(before, 8, *row.eeprom_len);
    if (row.sector) put_be32(before, 12, *row.sector);
    if (row.ucp1) put_be32(before, 16, *row.ucp1);
    if (row.ucp2) put_be32(before, 20, *row.ucp2);
    write_bytes(dir / "in.bin", before);
    Result r = in_host({"--nic", "eeprom=" + dir / "in.bin" + ",save=" + dir / "out.bin"}, {NICFLASH});
    Bytes after = read_bytes(dir / "out.bin");
    if (row.refusal.empty()) {
      EXPECT_EQ(r.status, 0) << r;
      EXPECT_EQ(r.err, ROM_LINE + success_lines(before));
      EXPECT_TRUE(SameBytes(after, updated(before, fw.image, row.ucp2.value_or(UCP2))));
    } else {
      EXPECT_EQ(r.status, 71) << r;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, ROM_LINE + "EEPROM header gives " + row.refusal +
                           "\ncould not read eeprom header: Protocol error\n"
                           "ucp2 EEPROM burn failed: Protocol error\n");
      EXPECT_TRUE(SameBytes(after, before));
    }
  }
}

// A byte program that never ends is given up after a second: the update
// stops there with EBUSY, and nothing outside the second area has changed.
TEST(Update, ProgramStepThatNeverEndsIsGivenUp) {
  const Firmware &fw = firmware();
  const size_t chunk = fw.image.size() / 32 + 1;
  size_t at = 10 * chunk + 5;  // in the eleventh piece
  while (fw.image[at] == 0xff) at++;
  char items[64], line[96];
  snprintf(items, sizeof items, "program-hangs=%zx,", UCP2 + at);
  snprintf(line, sizeof line, "EEPROM byte at 0x%zx still programming after 1 s\n", UCP2 + at);
  Scratch dir;
  Result r = in_host({"--nic", items + ("save=" + dir / "a.bin")}, {NICFLASH});
  EXPECT_EQ(r.status, 16) << r;
  EXPECT_EQ(r.out, std::string(10, '.'));
  EXPECT_EQ(r.err, ROM_LINE + "Updating NIC firmware:\n" + description_lines(model_eeprom(0)) +
                       "Erasing... done\nProgramming...\n" + line +
                       "could not write eeprom: Device or resource busy\n"
                       "ucp2 EEPROM burn failed: Device or resource busy\n");
  EXPECT_TRUE(SameBytes(outside_area(read_bytes(dir / "a.bin")), outside_area(model_eeprom(0))));
}

// Bytes of 0xFF are skipped, not programmed. A piece that begins with a run
// of them must still send the whole address with its first written byte:
// the run below is as long as makes that byte's low address byte equal the
// complement of the piece's first address, so an address kept from that
// complement would skip the lane and land the byte at the card's stale
// address.
TEST(Update, PieceBeginningWithARunOfErasedBytesLandsWhereItBelongs) {
  const Firmware &fw = firmware();
  const size_t len = fw.image.size(), chunk = len / 32 + 1, rom_at = 8 + fw.sram.size();
  Bytes image = fw.image;
  size_t piece = 0, run = 0;
  for (size_t k = 1; k < 32 && !run; k++) {
    size_t start = k * chunk;
    size_t r = (255 - 2 * ((UCP2 + start) & 0xff)) & 0xff;
    if (start > rom_at && start + r + 1 < rom_at + fw.rom.size() - 4) piece = start, run = r;
  }
  ASSERT_GT(run, 0u) << "no piece begins inside the ROM";
  std::fill_n(image.begin() + piece, run, 0xff);
  if (image[piece + run] == 0xff) image[piece + run] = 0x5a;
  if (image[piece - 1] == 0xff) image[piece - 1] = 0xa5;
  Bytes rom(image.begin() + rom_at, image.begin() + rom_at + fw.rom.size());
  crc32_force_tail(rom, UCP_ROM_CRC32);
  std::copy(rom.begin(), rom.end(), image.begin() + rom_at);
  put_be32(image, len - 4, crc32_by_definition(&image[4], len - 8));

  Scratch tree;
  fs::create_directories(tree / "bin");
  fs::copy_file(NICFLASH, tree / "bin/nicflash");
  write_bytes(tree / "bin/ulve10ge.zrom", rom);
  Result r = in_host({"--nic", "save=" + tree / "a.bin"}, {tree / "bin/nicflash"});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.err, "ROM file at " + tree / "bin/ulve10ge.zrom\n" + success_lines(model_eeprom(0)));
  EXPECT_TRUE(SameBytes(read_bytes(tree / "a.bin"), updated(model_eeprom(0), image)));
}

// The erase is polled for 10 s at most.
TEST(Update, EraseThatNeverEndsIsGivenUp) {
  Scratch dir;
  Result r = in_host({"--nic", "erase-hangs,save=" + dir / "a.bin"}, {NICFLASH});
  EXPECT_EQ(r.status, 16) << r;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, ROM_LINE + "Updating NIC firmware:\n" + description_lines(model_eeprom(0)) +
                       "Erasing... \n"
                       "EEPROM sector at 0x80000 still erasing after 10 s\n"
                       "could not erase sector: Device or resource busy\n"
                       "ucp2 EEPROM burn failed: Device or resource busy\n");
  EXPECT_TRUE(SameBytes(read_bytes(dir / "a.bin"), model_eeprom(0)));
}

// ---------------------------------------------------------------------------
// Updates cut short: nicflash is killed once it has printed `after` on
// standard error and `dots` progress dots, and `delay_ms` later. The card
// must still boot from its first area, and a second run must finish the job.

struct KillPoint {
  const char *name;
  const char *after;
  int dots;
  int delay_ms;
  bool erase_hangs;  // the first erase never ends: the kill lands in it
};

const KillPoint KILL_POINTS[] = {
    {"InAnEraseThatHangs", "Erasing... ", 0, 20, true},
    {"RightAfterErasingBegins", "Erasing... ", 0, 0, false},
    {"AsProgrammingStarts", "Programming...", 0, 0, false},
    {"AfterTheFirstPiece", "Programming...", 1, 0, false},
    {"AfterTenPieces", "Programming...", 10, 5, false},
    {"AfterTwentyPieces", "Programming...", 20, 0, false},
    {"NearTheEndOfProgramming", "Programming...", 29, 3, false},
    {"AsVerifyingStarts", "Verifying... ", 0, 0, false},
    {"WhileVerifying", "Verifying... ", 0, 50, false},
};

void PrintTo(const KillPoint &k, std::ostream *os) { *os << k.name; }

class Interrupted : public testing::TestWithParam<KillPoint> {};

TEST_P(Interrupted, HeaderAndFirstAreaSurviveAndASecondRunCompletes) {
  const KillPoint &k = GetParam();
  Scratch dir;
  const Bytes before = model_eeprom(0);
  std::string items = std::string(k.erase_hangs ? "erase-hangs," : "") + "save=" + dir / "killed.bin";
  Process first({SIMHOST, "--nic", items, "--", "sh", "-c", "echo $$ > \"$0\" && exec \"$1\"", dir / "pid", NICFLASH});
  bool reached = first.wait_for([&](const std::string &out, const std::string &err) {
    return err.find(k.after) != std::string::npos && std::count(out.begin(), out.end(), '.') >= k.dots;
  });
  ASSERT_TRUE(reached) << "stdout:\n" << first.out() << "\nstderr:\n" << first.err();
  std::this_thread::sleep_for(std::chrono::milliseconds(k.delay_ms));
  pid_t pid = std::atoi(read_text(dir / "pid").c_str());
  ASSERT_GT(pid, 1);
  kill(pid, SIGKILL);
  Result killed = first.wait();
  ASSERT_EQ(killed.status, 128 + SIGKILL) << killed;
  EXPECT_TRUE(SameBytes(outside_area(read_bytes(dir / "killed.bin")), outside_area(before)))
      << "header, first control-program area and everything else outside the second area";

  Result second = in_host({"--nic", "eeprom=" + dir / "killed.bin" + ",save=" + dir / "final.bin"}, {NICFLASH});
  EXPECT_EQ(second.status, 0) << second;
  EXPECT_EQ(second.err, ROM_LINE + success_lines(before));
  EXPECT_TRUE(SameBytes(read_bytes(dir / "final.bin"), updated(before, firmware().image)));
}

INSTANTIATE_TEST_SUITE_P(Update, Interrupted, testing::ValuesIn(KILL_POINTS),
                         [](const testing::TestParamInfo<KillPoint> &info) { return info.param.name; });

// ---------------------------------------------------------------------------
// The command line. Each run has a card it could update, and simhost's
// counters show whether the program went near it.

std::string usage(const std::string &program) {
  return "Syntax: " + program +
         " [OPTIONS]\n"
         "Valid OPTIONS include:\n"
         "  --help\n"
         "    to print this message.\n"
         "  --rabbit=<hostname>\n"
         "     reprogram a NIC via a rabbit, instead of reprogramming all NICs\n"
         "     in the host.  (Requires additional special hardware from Ulvetek.)\n"
         "\n"
         "This program upgrades the EEPROM of all matching NICs found in\n"
         "the host.\n";
}

const std::string CARD_UNTOUCHED = "simhost: NIC 0 at 0000:01:00.0: 0 configuration reads, 0 writes\n";

Result with_options(const std::vector<std::string> &args) {
  std::vector<std::string> command = {NICFLASH};
  command.insert(command.end(), args.begin(), args.end());
  return in_host({"--nics", "1", "--stats"}, command);
}

TEST(Options, HelpAnywherePrintsTheUsageAndNothingElseHappens) {
  const std::vector<std::string> cases[] = {
      {"--help"},
      {"--no-rom", "--help"},
      {"--no-pxe", "--rabbit=", "--help"},
      {"--help", "--no-such-option"},
  };
  for (const auto &args : cases) {
    Result r = with_options(args);
    SCOPED_TRACE(testing::Message() << testing::PrintToString(args) << "\n" << r);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage(NICFLASH));
    EXPECT_EQ(r.err, CARD_UNTOUCHED);
  }
}

// Options are whole strings, except that --rabbit= takes what follows.
TEST(Options, FirstUnknownArgumentStopsTheProgramWithTheUsage) {
  struct Case {
    std::vector<std::string> args;
    const char *named;
  };
  const Case cases[] = {
      {{"--no-such-option", "--help"}, "--no-such-option"},
      {{"--helpme"}, "--helpme"},
      {{"--no-pxe=1"}, "--no-pxe=1"},
      {{"--no-romx"}, "--no-romx"},
      {{"--rabbit"}, "--rabbit"},
      {{"-h"}, "-h"},
      {{""}, ""},
      {{"--no-rom", "stray", "--bad", "--help"}, "stray"},
  };
  for (const Case &c : cases) {
    Result r = with_options(c.args);
    SCOPED_TRACE(testing::Message() << testing::PrintToString(c.args) << "\n" << r);
    EXPECT_EQ(r.status, 22);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage(NICFLASH) + "\nunrecognized option \"" + c.named + "\"\n" + CARD_UNTOUCHED);
  }
}

// The JTAG path is not built yet: it answers ENOSYS, after the ROM search
// and without scanning the PCI buses.
TEST(Options, RabbitTakesTheJtagPathAndLeavesThePciCardsAlone) {
  struct Case {
    std::vector<std::string> args;
    bool rom;
  };
  const Case cases[] = {
      {{"--rabbit="}, true},
      {{"--rabbit=lab-rabbit-7"}, true},
      {{"--rabbit=a", "--no-rom", "--rabbit=b"}, false},
  };
  for (const Case &c : cases) {
    Result r = with_options(c.args);
    SCOPED_TRACE(testing::Message() << testing::PrintToString(c.args) << "\n" << r);
    EXPECT_EQ(r.status, 38);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, (c.rom ? ROM_LINE : "") +
                         "Burning through a rabbit is not available in this build.\n"
                         "ucp2 EEPROM burn failed: Function not implemented\n" +
                         CARD_UNTOUCHED);
  }
}

// ---------------------------------------------------------------------------
// The boot ROM search, with a copy of the program in a directory of its own
// (bin/ of a scratch tree) and ROM files placed around it. The host has no
// card: a run that gets past the search stops with 19.
//
// A program started by a bare name also tries /ulve10ge.zrom and
// /share/eeprom_ze/ulve10ge.zrom first; this machine has neither.

// Besides ROM files: things at a candidate path that are not regular files.
// Opening a FIFO would wait for a writer; each is skipped like a missing file.
enum class Rom { good, bad_crc, directory, fifo, device };

struct Placed {
  std::string path;  // in the scratch tree
  Rom rom;
};

TEST(RomSearch, FindsTheFirstGoodRomAndOtherwiseTellsWhyNot) {
  const std::string beside = "bin/ulve10ge.zrom", share = "share/eeprom_ze/ulve10ge.zrom";
  const std::string a_share = "a/" + share, b_share = "b/" + share;
  struct Case {
    const char *what;
    std::vector<Placed> roms;
    const char *path;     // PATH, of directories in the scratch tree ("missing/..." are not made); null: unset
    const char *program;  // as started: "bin/nicflash" in the tree, or the bare "nicflash" through PATH
    std::vector<std::string> args;
    std::string found;  // the ROM taken, in the scratch tree
    int status;
  };
  const Case cases[] = {
      {"beside the program", {{beside, Rom::good}}, "missing/bin", "bin/nicflash", {}, beside, 19},
      {"wrong CRC beside, good in the program's share directory",
       {{beside, Rom::bad_crc}, {share, Rom::good}},
       "missing/bin",
       "bin/nicflash",
       {},
       "bin/../" + share,
       19},
      {"wrong CRC beside and in share, good under a later PATH directory",
       {{beside, Rom::bad_crc}, {share, Rom::bad_crc}, {a_share, Rom::bad_crc}, {b_share, Rom::good}},
       "missing/bin:a/bin:b/bin",
       "bin/nicflash",
       {},
       "b/bin/../" + share,
       19},
      {"the first good one along PATH",
       {{a_share, Rom::good}, {b_share, Rom::good}},
       "a/bin:b/bin",
       "bin/nicflash",
       {},
       "a/bin/../" + share,
       19},
      {"the last candidate has the wrong CRC",
       {{a_share, Rom::bad_crc}},
       "missing/bin:a/bin",
       "bin/nicflash",
       {},
       "",
       22},
      {"the last candidate is missing", {{a_share, Rom::bad_crc}}, "a/bin:missing/bin", "bin/nicflash", {}, "", 2},
      {"the last candidate is a directory", {{a_share, Rom::directory}}, "a/bin", "bin/nicflash", {}, "", 21},
      {"a FIFO beside the program, good in its share directory",
       {{beside, Rom::fifo}, {share, Rom::good}},
       "missing/bin",
       "bin/nicflash",
       {},
       "bin/../" + share,
       19},
      {"a device beside, a directory in share, good along PATH",
       {{beside, Rom::device}, {share, Rom::directory}, {a_share, Rom::good}},
       "a/bin",
       "bin/nicflash",
       {},
       "a/bin/../" + share,
       19},
      {"the last candidate is a FIFO", {{a_share, Rom::fifo}}, "a/bin", "bin/nicflash", {}, "", 22},
      {"PATH unset after a wrong CRC beside", {{beside, Rom::bad_crc}}, nullptr, "bin/nicflash", {}, "", 2},
      {"bare name: the plain file name is not tried along PATH", {{beside, Rom::good}}, "bin", "nicflash", {}, "", 2},
      {"bare name: the share directory along PATH", {{share, Rom::good}}, "bin", "nicflash", {}, "bin/../" + share, 19},
      {"--no-rom: no search at all", {}, nullptr, "bin/nicflash", {"--no-rom"}, "", 19},
      {"--no-pxe: no search at all", {{beside, Rom::bad_crc}}, "bin", "nicflash", {"--no-pxe"}, "", 19},
  };
  Bytes good = read_bytes(ROM), bad = good;
  bad[100] ^= 1;
  for (const Case &c : cases) {
    Scratch tree;
    fs::create_directories(tree / "bin");
    fs::copy_file(NICFLASH, tree / "bin/nicflash");
    for (const Placed &p : c.roms) {
      fs::create_directories(fs::path(tree / p.path).parent_path());
      if (p.rom == Rom::directory)
        fs::create_directories(tree / p.path);
      else if (p.rom == Rom::fifo)
        ASSERT_EQ(mkfifo((tree / p.path).c_str(), 0644), 0);
      else if (p.rom == Rom::device)  // what /dev/null is
        ASSERT_EQ(mknod((tree / p.path).c_str(), S_IFCHR | 0644, makedev(1, 3)), 0);
      else
        write_bytes(tree / p.path, p.rom == Rom::good ? good : bad);
    }
    std::vector<std::string> command = {"/usr/bin/env", "-u", "PATH"};
    if (c.path) {
      std::string path;
      std::istringstream elements(c.path);
      for (std::string element; std::getline(elements, element, ':');) {
        if (element.rfind("missing/", 0) != 0) fs::create_directories(tree / element);
        path += (path.empty() ? "" : ":") + tree / element;
      }
      command = {"/usr/bin/env", "PATH=" + path};
    }
    command.push_back(strchr(c.program, '/') ? tree / c.program : c.program);
    command.insert(command.end(), c.args.begin(), c.args.end());
    // A search that blocks on a FIFO is a failure, not a hang of the suite.
    Result r = in_host({"--nics", "0"}, command, std::chrono::seconds(10));

    SCOPED_TRACE(testing::Message() << c.what << "\n" << r);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, "");
    if (c.status == 19)
      EXPECT_EQ(r.err, (c.found.empty() ? "" : "ROM file at " + tree / c.found + "\n") + NO_CARD);
    else
      EXPECT_EQ(r.err, std::string("could not find valid ROM file (looked everywhere): ") + strerror(c.status) + "\n");
  }
}

// ---------------------------------------------------------------------------
// The install tree

TEST(Install, ProgramsGoToSbinAndTheRomToShareWhereTheProgramFindsIt) {
  Scratch dir;
  const std::string prefix = dir / "usr";
  Result install = run({CMAKE_PATH, "--install", BUILD_DIR, "--prefix", prefix});
  ASSERT_EQ(install.status, 0) << install;
  for (const char *program : {"sbin/nicflash", "sbin/uba_kcoff"}) {
    EXPECT_TRUE(fs::is_regular_file(prefix + "/" + program)) << program;
    EXPECT_EQ(access((prefix + "/" + program).c_str(), X_OK), 0) << program;
  }
  EXPECT_TRUE(SameBytes(read_bytes(prefix + "/share/eeprom_ze/ulve10ge.zrom"), read_bytes(ROM)));
  EXPECT_FALSE(fs::exists(prefix + "/sbin/ulve10ge.zrom"));

  const std::string found = "ROM file at " + prefix + "/sbin/../share/eeprom_ze/ulve10ge.zrom\n" + NO_CARD;
  Result by_path = in_host({"--nics", "0"}, {"/usr/bin/env", "PATH=/nonexistent", prefix + "/sbin/nicflash"});
  EXPECT_EQ(by_path.status, 19) << by_path;
  EXPECT_EQ(by_path.err, found);
  Result through_path = in_host({"--nics", "0"}, {"/usr/bin/env", "PATH=" + prefix + "/sbin", "nicflash"});
  EXPECT_EQ(through_path.status, 19) << through_path;
  EXPECT_EQ(through_path.err, found);
}

}  // namespace
