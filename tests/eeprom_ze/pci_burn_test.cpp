// The update over PCI against the card model, served to the library in this
// process: which cards, what is erased, programmed and verified, what is
// printed, and each failure with its code.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <random>

#include "eeprom_ze.h"
#include "uba_model_method.h"

namespace {

constexpr uint32_t UCP2 = sim::Eeprom::UCP2_OFFSET, SECTOR = sim::Eeprom::SECTOR_SIZE;

std::vector<uint8_t> random_image(size_t n, unsigned seed = 1) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto &b : v) b = rng();
  return v;
}

std::string strings_of(int board) {
  char text[200];
  snprintf(text, sizeof text, "  PC=ULVE-10G-SIM\n  MAC=00:fa:dd:00:00:%02x\n  SN=%06d\n  PN=10G-SR-0001\n", board + 1,
           100000 + board);
  return text;
}

std::string success_lines(int board) {
  return "Updating NIC firmware:\n" + strings_of(board) + "Erasing... done\nProgramming... done\nVerifying... done\n";
}

class PciBurn : public testing::Test {
 protected:
  // A host with boards of these options.
  void host_with(std::vector<sim::BoardOptions> boards) {
    sim::HostOptions h;
    h.boards = std::move(boards);
    for (auto &o : h.boards) o.program_time = o.erase_time = std::chrono::microseconds(0);
    host = std::make_unique<sim::Host>(h);
    for (size_t i = 0; i < host->board_count(); i++) before.push_back(host->board(i).eeprom().bytes());
    sim::serve_in_process(*host);
    uba_pci_method(sim::UBA_PCI_MODEL);
  }
  static sim::BoardOptions board(uint16_t device = 0x5e0a) {
    sim::BoardOptions o;
    o.device_id = device;
    return o;
  }
  // Runs the update; the result, and what it printed on each stream.
  int burn(const std::vector<uint8_t> &image) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int r = eeprom_pci_burn_ucp2(image.data(), image.size());
    out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
    return r;
  }
  std::vector<uint8_t> &eeprom(size_t i) { return host->board(i).eeprom().bytes(); }
  std::vector<uint8_t> area(size_t i, uint32_t at, size_t n) { return {eeprom(i).begin() + at, eeprom(i).begin() + at + n}; }
  // Everything outside [at, at + n) is as it was.
  void expect_rest_unchanged(size_t i, uint32_t at, size_t n) {
    std::vector<uint8_t> now = eeprom(i), then = before[i];
    std::fill(now.begin() + at, now.begin() + at + n, 0);
    std::fill(then.begin() + at, then.begin() + at + n, 0);
    EXPECT_TRUE(now == then) << "board " << i;
  }

  std::unique_ptr<sim::Host> host;
  std::vector<std::vector<uint8_t>> before;
  std::string out, err;
};

TEST_F(PciBurn, UpdatesEveryTenGigCardAndSkipsTheOthers) {
  host_with({board(), board(0x5e0b), board(0x4c3d), board()});
  auto image = random_image(1000);
  image[5] = image[6] = 0xff;
  EXPECT_EQ(burn(image), 0);
  EXPECT_EQ(err, success_lines(0) + success_lines(3));
  EXPECT_EQ(out, std::string(2 * 31, '.'));  // chunks of 32 bytes: a dot after each of the first 31
  for (size_t i : {0, 3}) {
    EXPECT_EQ(area(i, UCP2, image.size()), image);
    // Erasing cleared the rest of the sector; nothing else changed.
    EXPECT_EQ(area(i, UCP2 + image.size(), SECTOR - image.size()), std::vector<uint8_t>(SECTOR - image.size(), 0xff));
    expect_rest_unchanged(i, UCP2, SECTOR);
  }
  EXPECT_EQ(eeprom(1), before[1]);
  EXPECT_EQ(eeprom(2), before[2]);
}

TEST_F(PciBurn, ErasesTheSectorsTheImageOccupies) {
  for (uint32_t size : {SECTOR, SECTOR + 1}) {
    SCOPED_TRACE(size);
    host_with({board()});
    before.assign(1, eeprom(0));
    ASSERT_EQ(burn(random_image(size)), 0);
    bool second_erased = eeprom(0)[UCP2 + SECTOR + 1] == 0xff;
    EXPECT_EQ(second_erased, size > SECTOR);
    expect_rest_unchanged(0, UCP2, size > SECTOR ? 2 * SECTOR : SECTOR);
  }
}

TEST_F(PciBurn, ChunksOfOneThirtySecondWithADotAfterAllButTheLast) {
  for (auto [size, dots] : {std::pair{1u, 0}, {31u, 30}, {32u, 15}, {64u, 21}, {4000u, 31}}) {
    host_with({board()});
    ASSERT_EQ(burn(random_image(size)), 0);
    EXPECT_EQ(out, std::string(dots, '.')) << size;
  }
}

TEST_F(PciBurn, ErasedBytesAreVerifiedButNeverProgrammed) {
  host_with({board(), board()});
  std::vector<uint8_t> ones(4096, 0xff), zeros(4096, 0x00);
  auto accesses = [&](size_t i) { return host->board(i).counters.config_reads + host->board(i).counters.config_writes; };
  uint64_t a0 = accesses(0);
  ASSERT_EQ(eeprom_pci_burn_ucp2(zeros.data(), zeros.size()), 0);  // both boards: the same work but programming
  uint64_t with_programming = accesses(0) - a0;
  host_with({board()});
  a0 = accesses(0);
  ASSERT_EQ(burn(ones), 0);
  EXPECT_EQ(area(0, UCP2, 4096), ones);
  // A write and a read per byte, and the three address bytes at the start
  // of each of the 32 chunks.
  EXPECT_EQ(with_programming - (accesses(0) - a0), 2 * 4096u + 3 * 32);
}

// Erased bytes are skipped. When the image itself begins with 255 of them,
// the first byte written has the low address byte 0xFF, which is also the
// low byte of the complement of the image's address: the whole address must
// still be sent, or the byte lands where the erase left the card's address.
TEST_F(PciBurn, AnImageBeginningWithErasedBytesLandsWhereItBelongs) {
  host_with({board()});
  auto image = random_image(10000);  // pieces of 313 bytes: the run is inside the first
  std::fill_n(image.begin(), 255, 0xff);
  image[255] = 0x42;
  EXPECT_EQ(burn(image), 0) << err;
  EXPECT_EQ(area(0, UCP2, image.size()), image);
}

TEST_F(PciBurn, DescriptionStrings) {
  struct {
    const char *what;
    uint32_t version;
    std::string block;
    std::string printed;
  } cases[] = {
      {"no strings in a version 0 header", 0, std::string("PC=X\0", 5), ""},
      {"a block that begins empty", 1, std::string(1, '\0'), ""},
      {"strings until the empty one", 1, std::string("A=1\0B=2\0\0C=3\0", 13), "  A=1\n  B=2\n"},
      {"a last string cut by the block's end", 1, std::string(256, 'x'), "  " + std::string(256, 'x') + "\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    host_with({board()});
    auto &e = eeprom(0);
    e[27] = c.version;
    std::fill(e.begin() + 0x100, e.begin() + 0x200, 0);
    std::copy(c.block.begin(), c.block.end(), e.begin() + 0x100);
    ASSERT_EQ(burn(random_image(100)), 0);
    EXPECT_EQ(err, "Updating NIC firmware:\n" + c.printed + "Erasing... done\nProgramming... done\nVerifying... done\n");
  }
}

TEST_F(PciBurn, FailuresWithTheirMessagesAndCodes) {
  auto header_byte = [](size_t at, uint8_t v) {
    return [at, v](sim::Host &h) { h.board(0).eeprom().bytes()[at] = v; };
  };
  auto image = random_image(3000);
  image[100] = 0xff;
  struct Case {
    const char *what;
    std::vector<sim::BoardOptions> boards;
    std::function<void(sim::Host &)> change;
    int code;
    std::string messages;
  };
  sim::BoardOptions no_vs = board(), dead = board(), stuck = board(), stuck_on_erased = board();
  no_vs.vs_present = false;
  dead.dead_from = 0x40;
  stuck.stuck_address = UCP2 + 2000;
  stuck_on_erased.stuck_address = UCP2 + 100;  // where the image leaves the EEPROM erased
  const std::string started = "Updating NIC firmware:\n" + strings_of(0) + "Erasing... done\n";
  Case cases[] = {
      {"no card of the maker", {}, nullptr, ENODEV, "Could not find any Ulvetek card.\n"},
      {"none of the updated id", {board(0x5e0b)}, nullptr, ENODEV, ""},
      {"no vendor-specific capability", {no_vs}, nullptr, EINVAL,
       "could not find Vendor Specific capability: Invalid argument\n"},
      {"configuration space reading all ones", {dead}, nullptr, EPERM,
       "could not find Vendor Specific capability: Operation not permitted\n"},
      {"a bad header", {board()}, header_byte(4, 0x12), EPROTO, "could not read eeprom header: Protocol error\n"},
      {"a zero sector size", {board()}, [](sim::Host &h) { std::fill_n(h.board(0).eeprom().bytes().begin() + 12, 4, 0); },
       EPROTO, "EEPROM header gives an erase sector size of 0\ncould not read eeprom header: Protocol error\n"},
      {"a byte that does not take", {stuck}, nullptr, EINVAL,
       started + "Programming...could not write eeprom: Invalid argument\n"},
      {"a byte that reads back wrong", {stuck_on_erased}, nullptr, EPROTO,
       started + "Programming... done\nVerifying... programming failed: Protocol error\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    host_with(c.boards);
    if (c.change) c.change(*host);
    EXPECT_EQ(burn(image), c.code);
    EXPECT_EQ(err, c.messages);
  }
}

TEST_F(PciBurn, AFailingCardStopsTheUpdateBeforeTheNext) {
  sim::BoardOptions stuck = board();
  stuck.stuck_address = UCP2 + 10;
  host_with({stuck, board()});
  EXPECT_EQ(burn(random_image(500)), EINVAL);
  EXPECT_THAT(err, testing::EndsWith("could not write eeprom: Invalid argument\n"));
  EXPECT_EQ(eeprom(1), before[1]);
}

TEST_F(PciBurn, ALoopingCapabilityListIsNotFollowedForever) {
  host_with({board()});
  // PCI Express at 0x40 -> 0x88, whose id is no longer 9 and which points back.
  auto &cfg = host->board(0).nic().config();
  cfg.set8(0x88, 0x11);
  cfg.set8(0x89, 0x40);
  EXPECT_EQ(burn(random_image(10)), EINVAL);
  EXPECT_EQ(err, "could not find Vendor Specific capability: Invalid argument\n");
}

}  // namespace
