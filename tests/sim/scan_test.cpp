// The scan chains as the model keeps them: the layouts and their bit
// streams, the write image the firmware writes and applies, the snapshot it
// refreshes, the debug selector, LED's signal-detect bit, and the items
// that set them up. The card is driven the way scandump, phystate and
// loopset drive it: the locate request, byte accesses through the debug
// window, and the command register read and written back.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "board_items.h"
#include "card.h"
#include "scan_chains.h"

namespace {

using sim::BoardOptions;
namespace scan = sim::scan;

constexpr size_t at(std::span<const scan::Field> chain, std::string_view name) { return *scan::find(chain, name); }
constexpr size_t PCIE_DEBUG = at(scan::WRITE_CHAIN, "PCIE_DEBUG"), LB0 = at(scan::WRITE_CHAIN, "P0_RX_LB0"),
                 RD_DATA = at(scan::READ_CHAIN, "PCIE_DEBUG_RD_DATA");
constexpr uint32_t LED = 0xffffffd8;

BoardOptions with(void (*set)(BoardOptions &)) {
  BoardOptions o = deterministic();
  set(o);
  return o;
}

// ---- The host's accesses ----------------------------------------------------

struct Located {
  uint32_t address, length;
};
// The locate request: mode 8, the resource id, then address and length.
Located locate(Card &c, uint32_t id = scan::SNAPSHOT_RESOURCE) {
  c.w8(16, 8);
  c.w32(24, id);
  return {c.r32(24), c.r32(20)};
}
// The snapshot request: mode 9 with an address and a length.
void snapshot_request(Card &c, uint32_t address, uint32_t length) {
  c.w8(16, 9);
  c.w32(24, address);
  c.w32(20, length);
}
// Byte writes through the debug window: mode 5 once, then address and data.
void window_write_bytes(Card &c, uint32_t a, const std::vector<uint8_t> &bytes) {
  c.w8(16, 5);
  for (size_t i = 0; i < bytes.size(); i++) {
    c.w32(24, a + i);
    c.w8(20, bytes[i]);
  }
}
// The command register read and written back.
void rewrite_command(Card &c) { c.board.config_write(4, c.board.config_read(4, 2), 2); }

std::vector<uint8_t> image_in_sram(Card &c) { return window_read_bytes(c, scan::WRITE_IMAGE, scan::WRITE_IMAGE_SIZE); }
void put_image(Card &c, const scan::WriteValues &v) {
  auto image = scan::write_image(v);
  window_write_bytes(c, scan::WRITE_IMAGE, {image.begin(), image.end()});
}
scan::WriteValues image_values(Card &c) {
  auto bytes = image_in_sram(c);
  return scan::decode_write_image(std::span<const uint8_t, scan::WRITE_IMAGE_SIZE>(bytes.data(), bytes.size()));
}

// The snapshot as the tools read it: the 80 bytes at its address + 16.
struct Snapshot {
  std::vector<uint8_t> header;
  scan::ReadValues read;
  scan::WriteValues written;
};
Snapshot read_snapshot(Card &c) {
  Snapshot s;
  s.header = window_read_bytes(c, scan::SNAPSHOT, 16);
  auto data = window_read_bytes(c, scan::SNAPSHOT + 16, 80);
  scan::decode_snapshot_data(std::span<const uint8_t, 80>(data.data(), data.size()), &s.read, &s.written);
  return s;
}
uint32_t refreshes(const Snapshot &s) { return be32(s.header.data() + 4); }
// PCIE_DEBUG_RD_DATA as phystate takes it from the 80 bytes reversed: bits
// 5-7 of byte 15 are its low 3 bits, bits 0-4 of byte 16 its high 5.
uint8_t debug_byte(Card &c) {
  auto data = window_read_bytes(c, scan::SNAPSHOT + 16, 80);
  std::reverse(data.begin(), data.end());
  return static_cast<uint8_t>(data[15] >> 5 | (data[16] & 0x1f) << 3);
}
uint8_t led(Card &c) { return window_read_bytes(c, LED, 1)[0]; }

// ---- The layouts and their streams --------------------------------------------

TEST(ScanChains, FieldsLieWhereTheToolsLookForThem) {
  // One field set to all ones, every other 0: the bytes of the SRAM image
  // (write chain) or of the snapshot's 80 bytes it occupies.
  const struct Case {
    bool read;  // a read-chain field, in the snapshot's data; else the write image
    const char *name;
    uint32_t value;
    std::vector<std::pair<size_t, uint8_t>> bytes;  // offset in SRAM order, value
  } cases[] = {
      {false, "PCIE_MEM_SIZE", 0x1f, {{52, 0x1f}}},
      {false, "PCIE_BAR_LSW", 0xffffffff, {{51, 0xf0}, {50, 0xff}, {49, 0xff}, {48, 0xff}, {47, 0x0f}}},
      {false, "PCIE_BAR_MSW", 0x80000001, {{47, 0x10}, {43, 0x08}}},
      {false, "PCIE_DEBUG", 0xff, {{52 - 18, 0xf8}}},  // chain byte 18, bits 3-7; bits beyond the width dropped
      {false, "P0_RX_LB0", 1, {{0, 0x08}}},            // bit 3 of 0x1dffc7
      {false, "P0_RX_LB1", 1, {{0, 0x02}}},            // bit 1 of 0x1dffc7
      {false, "P0_RX_LB2", 1, {{1, 0x80}}},            // bit 7 of 0x1dffc8
      {false, "P0_RX_LB3", 1, {{1, 0x20}}},            // bit 5 of 0x1dffc8
      {true, "P0_TX_DATA_RECEIVED", 1, {{79, 0x01}}},  // the last byte read is the stream's first
      {true, "P0_TX_Q_SENT", 1, {{79, 0x04}}},
      {true, "PCIE_DEBUG_RD_DATA", 0xff, {{79 - 15, 0xe0}, {79 - 16, 0x1f}}},
      {true, "PCIE_RX_LANE0_INVALID_COUNT", 0xff, {{79 - 26, 0xff}}},  // the read chain's last byte
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.name);
    std::vector<uint8_t> bytes, expected;
    if (k.read) {
      scan::ReadValues r{};
      r[at(scan::READ_CHAIN, k.name)] = k.value;
      auto data = scan::snapshot_data(r, {});
      bytes.assign(data.begin(), data.end());
    } else {
      scan::WriteValues w{};
      w[at(scan::WRITE_CHAIN, k.name)] = k.value;
      auto image = scan::write_image(w);
      bytes.assign(image.begin(), image.end());
    }
    expected.assign(bytes.size(), 0);
    for (auto [offset, value] : k.bytes) expected[offset] = value;
    EXPECT_EQ(bytes, expected);
  }
  EXPECT_EQ(scan::first_bit(scan::WRITE_CHAIN, PCIE_DEBUG), 147u);
  EXPECT_EQ(scan::first_bit(scan::READ_CHAIN, RD_DATA), 125u);
  EXPECT_EQ(scan::first_bit(scan::WRITE_CHAIN, LB0), 419u);
  EXPECT_FALSE(scan::find(scan::WRITE_CHAIN, "PCIE_DEBUG_RD_DATA"));
}

TEST(ScanChains, ValuesComeBackFromTheImageAndTheSnapshot) {
  // Every field a different value of its whole width, the 32-bit ones with
  // their top bit set.
  scan::WriteValues w{};
  scan::ReadValues r{};
  auto fill = [](std::span<const scan::Field> chain, std::span<uint32_t> values, uint32_t seed) {
    for (size_t i = 0; i < chain.size(); i++) {
      uint32_t v = (seed + 0x9e3779b9u * (uint32_t)(i + 1)) | 0x80000000u;
      values[i] = chain[i].bits == 32 ? v : v & ((1u << chain[i].bits) - 1);
    }
  };
  fill(scan::WRITE_CHAIN, w, 7);
  fill(scan::READ_CHAIN, r, 11);
  auto image = scan::write_image(w);
  EXPECT_EQ(scan::decode_write_image(image), w);
  EXPECT_EQ(image[0] >> 4, 0);  // the pad bits
  scan::ReadValues r2{};
  scan::WriteValues w2{};
  auto data = scan::snapshot_data(r, w);
  scan::decode_snapshot_data(data, &r2, &w2);
  EXPECT_EQ(r2, r);
  EXPECT_EQ(w2, w);
  // The snapshot's write part is the write image, byte for byte.
  EXPECT_TRUE(std::equal(image.begin(), image.end(), data.begin()));
}

// ---- The write image ----------------------------------------------------------

TEST(ScanImage, EveryBootWritesThePowerOnImageAndAppliesIt) {
  BoardOptions o = deterministic();
  o.loopback = 15;
  o.device_id = 0x5e0b;
  o.index = 3;
  Card c(o);
  const scan::WriteValues v = scan::power_on_write_values(o);
  EXPECT_EQ(image_values(c), v);
  EXPECT_EQ(c.board.chip().write_chain(), v);
  EXPECT_EQ(v[at(scan::WRITE_CHAIN, "PCIE_ID")], 0x5e0bu);
  EXPECT_EQ(v[at(scan::WRITE_CHAIN, "P0_MAC_ADDRESS5")], 3u);
  auto bytes = image_in_sram(c);
  EXPECT_EQ(bytes[0] & 0x0a, 0x0a);  // LB1, LB0
  EXPECT_EQ(bytes[1] & 0xa0, 0xa0);  // LB2, LB3
  EXPECT_EQ(led(c) & 4, 4);

  // A reset undoes what the host stored and applied.
  scan::WriteValues off = v;
  for (const char *lb : {"P0_RX_LB0", "P0_RX_LB1", "P0_RX_LB2", "P0_RX_LB3"}) off[at(scan::WRITE_CHAIN, lb)] = 0;
  put_image(c, off);
  rewrite_command(c);
  EXPECT_EQ(led(c) & 4, 0);
  locate(c);
  c.board.reset();
  c.at(sim::Board::RESTART_WINDOW_US);  // answering again
  EXPECT_EQ(image_values(c), v);
  EXPECT_EQ(c.board.chip().write_chain(), v);
  EXPECT_EQ(led(c) & 4, 4);
  Snapshot s = read_snapshot(c);
  EXPECT_EQ(refreshes(s), 0u);
  EXPECT_EQ(s.written, v);
}

TEST(ScanImage, AppliedOnlyWhenTheCommandRegisterIsWritten) {
  const struct {
    unsigned offset;
    int width;
    bool applies;
  } cases[] = {
      {0x04, 2, true}, {0x04, 4, true}, {0x04, 1, true}, {0x02, 4, true},
      {0x06, 2, false}, {0x0c, 1, false}, {0x00, 2, false},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(testing::Message() << "write at 0x" << std::hex << k.offset << ", width " << k.width);
    Card c;
    const scan::WriteValues before = c.board.chip().write_chain();
    scan::WriteValues v = before;
    v[PCIE_DEBUG] = 8;
    v[LB0] = 1;
    put_image(c, v);
    EXPECT_EQ(c.board.chip().write_chain(), before);  // stores alone change nothing
    locate(c);
    EXPECT_EQ(read_snapshot(c).written, before);
    c.board.config_write(k.offset, c.board.config_read(k.offset, k.width), k.width);
    EXPECT_EQ(c.board.chip().write_chain(), k.applies ? v : before);
    locate(c);
    Snapshot s = read_snapshot(c);
    EXPECT_EQ(s.written, k.applies ? v : before);
    EXPECT_EQ(s.read[RD_DATA], k.applies ? scan::PCIE_DEBUG_DEFAULT[2] : scan::PCIE_DEBUG_DEFAULT[3]);
    EXPECT_EQ(led(c) & 4, k.applies ? 4 : 0);
  }
}

// ---- The snapshot -------------------------------------------------------------

TEST(ScanSnapshot, RefreshedOnLocateAndOnSnapshotRequests) {
  BoardOptions o = deterministic();
  o.loopback = 5;
  Card c(o);
  Located l = locate(c);
  EXPECT_EQ(l.address, 0x1dff40u);
  EXPECT_EQ(l.length, 96u);
  Snapshot s = read_snapshot(c);
  EXPECT_EQ(s.header, (std::vector<uint8_t>{'s', 'c', 'a', 'n', 0, 0, 0, 1, 0, 0xd8, 0x01, 0xa4, 0, 0x1d, 0xff, 0xc7}));
  const scan::WriteValues v = scan::power_on_write_values(o);
  EXPECT_EQ(s.written, v);
  EXPECT_EQ(s.read, scan::read_values(o, v));
  EXPECT_EQ(window_read_bytes(c, scan::SNAPSHOT, 96), [&] {
    auto whole = scan::snapshot(o, v, 1);
    return std::vector<uint8_t>(whole.begin(), whole.end());
  }());

  // Loopback on lanes 0 and 2 only, the XFP module without a signal: the
  // port is down until all four lanes loop, once that is applied.
  BoardOptions quiet = o;
  quiet.xfp_signal = false;
  Card q(quiet);
  locate(q);
  s = read_snapshot(q);
  EXPECT_EQ(s.read[at(scan::READ_CHAIN, "P0_RX_LANE0_SYNCHRONIZED")], 1u);
  EXPECT_EQ(s.read[at(scan::READ_CHAIN, "P0_RX_LANE1_SYNCHRONIZED")], 0u);
  EXPECT_EQ(s.read[at(scan::READ_CHAIN, "P0_RX_OK")], 0u);
  EXPECT_EQ(s.read[at(scan::READ_CHAIN, "LOOP_COUNT")] & 0xf, 5u);
  scan::WriteValues all = v;
  for (const char *lb : {"P0_RX_LB1", "P0_RX_LB3"}) all[at(scan::WRITE_CHAIN, lb)] = 1;
  put_image(q, all);
  rewrite_command(q);
  snapshot_request(q, 0x1dff40, 96);
  EXPECT_EQ(q.r32(24), 0x1dff40u);  // the request's address and length stay
  EXPECT_EQ(q.r32(20), 96u);
  s = read_snapshot(q);
  EXPECT_EQ(refreshes(s), 2u);
  EXPECT_EQ(s.read, scan::read_values(quiet, all));
  EXPECT_EQ(s.read[at(scan::READ_CHAIN, "P0_RX_OK")], 1u);
  EXPECT_EQ(s.read[at(scan::READ_CHAIN, "P0_RX_LANES_ALIGNED")], 1u);

  // Reads, writes and locates of other resources leave it.
  locate(q, 7);
  window_read32(q, scan::SNAPSHOT);
  window_write_bytes(q, 0x100000, {1, 2});
  EXPECT_EQ(refreshes(read_snapshot(q)), 2u);
}

TEST(ScanSnapshot, TheSelectorPicksTheDebugByte) {
  const std::array<uint8_t, 8> zeros{}, own = {0x00, 0x01, 0x7f, 0x80, 0xfe, 0x55, 0xaa, 0x33};
  for (const auto &table : {scan::PCIE_DEBUG_DEFAULT, zeros, own}) {
    BoardOptions o = deterministic();
    o.pcie_debug = table;
    Card c(o);
    locate(c);
    EXPECT_EQ(debug_byte(c), table[scan::power_on_write_values(o)[PCIE_DEBUG] >> 2]);
    // phystate's way: selection k in bits 5-7 of chain byte 18, bits 3-4
    // (the selector's low bits) cleared; here also with them set.
    for (uint32_t low : {0u, 3u}) {
      for (uint32_t k = 0; k < 8; k++) {
        SCOPED_TRACE(testing::Message() << "selector " << (k * 4 + low));
        scan::WriteValues v = c.board.chip().write_chain();
        v[PCIE_DEBUG] = k * 4 + low;
        put_image(c, v);
        rewrite_command(c);
        locate(c);
        EXPECT_EQ(debug_byte(c), table[k]);
      }
    }
  }
  EXPECT_EQ(std::set<uint8_t>(scan::PCIE_DEBUG_DEFAULT.begin(), scan::PCIE_DEBUG_DEFAULT.end()).size(), 8u);
}

TEST(ScanSnapshot, ItsLengthAndItsAbsence) {
  Card shorter(with([](BoardOptions &o) { o.scan_length = 80; }));
  Located l = locate(shorter);
  EXPECT_EQ(l.address, scan::SNAPSHOT);
  EXPECT_EQ(l.length, 80u);
  EXPECT_EQ(refreshes(read_snapshot(shorter)), 1u);  // kept as ever

  Card none(with([](BoardOptions &o) { o.scan_snapshot = false; }));
  l = locate(none);
  EXPECT_EQ(l.address, 0u);
  EXPECT_EQ(l.length, 0u);
  snapshot_request(none, scan::SNAPSHOT, 96);
  EXPECT_EQ(window_read_bytes(none, scan::SNAPSHOT, 96), std::vector<uint8_t>(96, 0));
  EXPECT_EQ(image_values(none), scan::power_on_write_values(none.board.options()));  // the image is there
}

// ---- LED ----------------------------------------------------------------------

TEST(ScanLed, SignalDetectFollowsTheAppliedLoopbackUnlessStuck) {
  const struct Case {
    const char *what;
    uint8_t loopback;
    std::optional<bool> stuck;
    uint8_t at_boot, after_host_write, after_apply;  // LED after each step
  } cases[] = {
      // The host writes 0xf3 (bit 2 clear), then LB0 is turned over and applied.
      {"follows, loopback off", 0, std::nullopt, 0x00, 0xf3, 0xf7},
      {"follows, loopback on", 15, std::nullopt, 0x04, 0xf3, 0xf3},
      {"stuck at 1", 0, true, 0x04, 0xf7, 0xf7},
      {"stuck at 0, loopback on", 15, false, 0x00, 0xf3, 0xf3},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    BoardOptions o = deterministic();
    o.loopback = k.loopback;
    o.signal_detect = k.stuck;
    Card c(o);
    EXPECT_EQ(led(c), k.at_boot);
    window_write_bytes(c, LED, {0xf3});
    EXPECT_EQ(led(c), k.after_host_write);
    scan::WriteValues v = c.board.chip().write_chain();
    v[LB0] ^= 1;
    put_image(c, v);
    EXPECT_EQ(led(c), k.after_host_write);  // not before the command register is written
    rewrite_command(c);
    EXPECT_EQ(led(c), k.after_apply);
  }
}

// ---- The items ----------------------------------------------------------------

TEST(ScanItems, SetTheOptions) {
  sim::BoardChoice choice;
  ASSERT_EQ(sim::parse_board_items("loopback=5,signal-detect=0,scan-length=0x40,scan-at=0xffffffc0,no-scan,"
                                   "pcie-debug=0:1:2:0x10:255:0xfe:7:0x80",
                                   &choice),
            "");
  const BoardOptions &o = choice.options;
  EXPECT_EQ(o.loopback, 5);
  EXPECT_EQ(o.signal_detect, false);
  EXPECT_EQ(o.scan_length, 0x40u);
  EXPECT_EQ(o.scan_address, 0xffffffc0u);
  EXPECT_FALSE(o.scan_snapshot);
  EXPECT_EQ(o.pcie_debug, (std::array<uint8_t, 8>{0, 1, 2, 0x10, 255, 0xfe, 7, 0x80}));

  ASSERT_EQ(sim::parse_board_items("loopback=15,signal-detect=1", &choice), "");
  EXPECT_EQ(choice.options.loopback, 15);
  EXPECT_EQ(choice.options.signal_detect, true);
  EXPECT_EQ(choice.options.scan_length, std::nullopt);
  EXPECT_TRUE(choice.options.scan_snapshot);
  EXPECT_EQ(choice.options.pcie_debug, scan::PCIE_DEBUG_DEFAULT);
}

TEST(ScanItems, RefuseWhatCannotBe) {
  const std::string loopback = ": expected loopback=M, a number from 0 to 15 (bit k: P0_RX_LBk)",
                    signal = ": expected signal-detect=0 or signal-detect=1",
                    length = ": expected scan-length=N, a length below 2^32 (decimal, or hex after 0x)",
                    at = ": expected scan-at=ADDR, an address below 2^32 (decimal, or hex after 0x)",
                    debug = ": expected pcie-debug=B0:B1:B2:B3:B4:B5:B6:B7, eight bytes (decimal, or hex after 0x)";
  const struct {
    std::string items, why;
  } cases[] = {
      {"loopback=16", "loopback=16" + loopback},
      {"loopback", "loopback" + loopback},
      {"loopback=on", "loopback=on" + loopback},
      {"signal-detect=2", "signal-detect=2" + signal},
      {"signal-detect", "signal-detect" + signal},
      {"scan-length=", "scan-length=" + length},
      {"scan-length=4294967296", "scan-length=4294967296" + length},
      {"scan-at=0x100000000", "scan-at=0x100000000" + at},
      {"no-scan=1", "no-scan=1: takes no value"},
      {"pcie-debug=1:2:3:4:5:6:7", "pcie-debug=1:2:3:4:5:6:7" + debug},
      {"pcie-debug=1:2:3:4:5:6:7:8:9", "pcie-debug=1:2:3:4:5:6:7:8:9" + debug},
      {"pcie-debug=1:2:3:4:5:6:7:256", "pcie-debug=1:2:3:4:5:6:7:256" + debug},
      {"pcie-debug=1:2:3::5:6:7:8", "pcie-debug=1:2:3::5:6:7:8" + debug},
      {"pcie-debug=ff:2:3:4:5:6:7:8", "pcie-debug=ff:2:3:4:5:6:7:8" + debug},
  };
  for (const auto &k : cases) {
    sim::BoardChoice choice;
    EXPECT_EQ(sim::parse_board_items(k.items, &choice), k.why);
  }
}

}  // namespace
