// The modeled host's bridges: the path of ports above each board, the link
// that a port takes down and brings back, the error registers that clear
// when written with a one, the chipsets' own registers, and the items that
// describe bridges and the NIC's PCI Express side.

#include "bridge.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board_items.h"
#include "bridge_items.h"
#include "card.h"
#include "host.h"
#include "host_tree.h"

namespace {

using sim::Bridge;
using sim::BridgeOptions;
using testing::ElementsAre;

constexpr unsigned PCIE = 0x40, LINK_CONTROL = PCIE + 0x10, LINK_STATUS = PCIE + 0x12, SLOT_STATUS = PCIE + 0x1a,
                   AER = 0x100;
constexpr uint32_t LINK_ACTIVE = 0x2000, LINK_STATE_CHANGED = 0x0100, LINK_DISABLE = 0x0010;

sim::HostOptions with_switches(unsigned n) {
  sim::HostOptions o;
  o.switches = n;
  return o;
}

Bridge make_bridge(Bridge::Kind kind, const BridgeOptions &o) {
  return Bridge(kind, o, Bridge::Placement{1, 0, 1, 1, 0xc0000000, 0xc10fffff});
}

// ---- The path ---------------------------------------------------------------------

TEST(ModelBridges, EachBoardSitsBelowItsRootPortAndItsSwitches) {
  sim::HostOptions o = with_switches(1);
  o.boards = {sim::BoardOptions{}, sim::BoardOptions{}};
  sim::Host host(o);
  std::vector<std::string> names;
  for (const auto &s : host.slots()) names.push_back(s.name());
  EXPECT_THAT(names, ElementsAre("0000:00:00.0", "0000:00:01.0", "0000:00:02.0", "0000:00:1f.0", "0000:01:00.0",
                                 "0000:02:00.0", "0000:03:00.0", "0000:04:00.0", "0000:05:00.0", "0000:06:00.0"));
  struct Expected {
    int bus, dev;
    unsigned type;  // port type
    int primary, secondary, subordinate;
  };
  const Expected path[2][3] = {{{2, 0, 6, 2, 3, 3}, {1, 0, 5, 1, 2, 3}, {0, 1, 4, 0, 1, 3}},
                               {{5, 0, 6, 5, 6, 6}, {4, 0, 5, 4, 5, 6}, {0, 2, 4, 0, 4, 6}}};
  for (size_t b = 0; b < 2; b++) {
    SCOPED_TRACE(testing::Message() << "board " << b);
    EXPECT_EQ(host.board_bus(b), b ? 6 : 3);
    EXPECT_EQ(host.board_name(b), b ? "0000:06:00.0" : "0000:03:00.0");
    EXPECT_EQ(host.find(0, host.board_bus(b), 0, 0), &host.board(b));
    const auto &above = host.bridges_above(b);
    ASSERT_EQ(above.size(), 3u);
    auto bars = host.board(b).resources();
    for (size_t k = 0; k < 3; k++) {
      const Expected &e = path[b][k];
      Bridge *bridge = above[k];
      EXPECT_EQ(host.find(0, e.bus, e.dev, 0), bridge);
      EXPECT_EQ(bridge->config_read(PCIE + 2, 2) >> 4 & 0xf, e.type);
      EXPECT_EQ(bridge->config_read(0x18, 4) & 0xffffff, (uint32_t)(e.subordinate << 16 | e.secondary << 8 | e.primary));
      uint32_t window = bridge->config_read(0x20, 4);
      EXPECT_LE((window & 0xfff0) << 16, bars[0].start);
      EXPECT_GE((window >> 16 & 0xfff0) << 16 | 0xfffff, bars[2].end);
    }
  }
}

TEST(ModelBridges, WithoutBridgesTheBoardsSitOnTheRootBus) {
  sim::HostOptions o;
  o.bridges = false;
  o.boards = {sim::BoardOptions{}, sim::BoardOptions{}};
  sim::Host host(o);
  std::vector<std::string> names;
  for (const auto &s : host.slots()) names.push_back(s.name());
  EXPECT_THAT(names, ElementsAre("0000:00:00.0", "0000:00:01.0", "0000:00:02.0", "0000:00:1f.0"));
  EXPECT_EQ(host.find(0, 0, 2, 0), &host.board(1));
  EXPECT_EQ(host.reach(0, 0, 2, 0), &host.board(1));
  EXPECT_EQ(host.board_name(1), "0000:00:02.0");
  EXPECT_TRUE(host.bridges_above(1).empty());
}

TEST(ModelBridges, TheBusesEndAt255) {
  sim::HostOptions o = with_switches(127);
  EXPECT_NO_THROW(sim::Host{o});
  o.boards.resize(2);
  EXPECT_THROW(sim::Host{o}, std::invalid_argument);
}

// ---- The link ------------------------------------------------------------------------

// Link disable on a root port: the link status loses Data Link Layer Link
// Active and the change is flagged; the board answers nothing, through its
// configuration space and its BARs in physical memory; the board itself is
// not told. Clearing the bit brings everything back and resets the board,
// once.
// A time after which a board restarted now answers again.
sim::Board::Clock::time_point past_restart() {
  return sim::Board::Clock::now() + std::chrono::microseconds(2 * sim::Board::RESTART_WINDOW_US);
}

TEST(ModelLink, DisableTakesTheBoardAwayAndItsReleaseResetsTheBoard) {
  sim::Host host{sim::HostOptions{}};
  Bridge &port = *host.bridges_above(0)[0];
  sim::Board &board = host.board(0);
  sim::PciFunction &reached = *host.reach(0, 1, 0, 0);
  uint64_t bar0 = board.resources()[0].start;
  auto memory_word = [&] {
    uint32_t w = 0;
    EXPECT_TRUE(sim::memory_file_read(host, bar0, reinterpret_cast<uint8_t *>(&w), 4));
    return w;
  };
  ASSERT_EQ(reached.config_read(0, 4), 0x5e0a1f5cu);
  EXPECT_EQ(port.config_read(LINK_STATUS, 2) & LINK_ACTIVE, LINK_ACTIVE);
  uint32_t word0 = memory_word();
  unsigned resets = board.firmware().resets();

  port.config_write(LINK_CONTROL, LINK_DISABLE, 2);
  EXPECT_FALSE(port.link_up());
  EXPECT_EQ(port.config_read(LINK_STATUS, 2) & LINK_ACTIVE, 0u);
  EXPECT_EQ(port.config_read(SLOT_STATUS, 2), LINK_STATE_CHANGED);
  EXPECT_FALSE(host.board_reachable(0));
  EXPECT_EQ(reached.config_read(0, 4), 0xffffffffu);
  EXPECT_EQ(reached.config_read(2, 2), 0xffffu);
  EXPECT_EQ(reached.config_read(8, 1), 0xffu);
  reached.config_write(0x04, 0x0006, 2);  // lost
  EXPECT_EQ(board.nic().config().get16(0x04), 0u);
  EXPECT_EQ(memory_word(), 0xffffffffu);
  EXPECT_EQ(board.firmware().resets(), resets);
  port.config_write(SLOT_STATUS, LINK_STATE_CHANGED, 2);  // cleared with a one
  EXPECT_EQ(port.config_read(SLOT_STATUS, 2), 0u);

  port.config_write(LINK_CONTROL, 0, 2);
  EXPECT_TRUE(port.link_up());
  EXPECT_EQ(port.config_read(LINK_STATUS, 2) & LINK_ACTIVE, LINK_ACTIVE);
  EXPECT_EQ(port.config_read(SLOT_STATUS, 2), LINK_STATE_CHANGED);
  // The restarted board answers again once its restart is over.
  EXPECT_EQ(reached.config_read(0, 4), 0xffffffffu);
  host.advance(past_restart());
  EXPECT_EQ(reached.config_read(0, 4), 0x5e0a1f5cu);
  EXPECT_EQ(memory_word(), word0);
  EXPECT_EQ(board.firmware().resets(), resets + 1);

  // Writing link control without changing the bit changes nothing.
  port.config_write(LINK_CONTROL, 0x0040, 2);
  EXPECT_EQ(board.firmware().resets(), resets + 1);
  EXPECT_EQ(port.config_read(LINK_CONTROL, 2), 0x0040u);
}

// Below a switch: the downstream port's link takes only the board away; the
// root port's takes the switch too. When the root port's link comes back,
// the switch returns to how the host started it (its own disabled link up
// again) and the board is reset once.
TEST(ModelLink, AboveASwitchEverythingBehindGoesAndIsResetOnce) {
  sim::Host host(with_switches(1));
  const auto &above = host.bridges_above(0);
  Bridge &down = *above[0], &up = *above[1], &root = *above[2];
  sim::PciFunction &board = *host.reach(0, 3, 0, 0), &down_reached = *host.reach(0, 2, 0, 0),
                   &up_reached = *host.reach(0, 1, 0, 0);
  unsigned resets = host.board(0).firmware().resets();

  up.config_write(LINK_CONTROL, LINK_DISABLE, 2);  // an upstream port has no link to disable
  EXPECT_EQ(up.config_read(LINK_CONTROL, 2), 0u);
  EXPECT_TRUE(up.link_up());

  down.config_write(LINK_CONTROL, LINK_DISABLE, 2);
  EXPECT_EQ(board.config_read(0, 2), 0xffffu);
  EXPECT_EQ(down_reached.config_read(0, 2), 0x10b5u);

  down_reached.config_write(0x04, 0x0006, 2);
  root.config_write(LINK_CONTROL, LINK_DISABLE, 2);
  EXPECT_EQ(up_reached.config_read(0, 2), 0xffffu);
  EXPECT_EQ(down_reached.config_read(0, 2), 0xffffu);
  EXPECT_EQ(host.reach(0, 0, 1, 0)->config_read(0, 2), 0x8086u);

  root.config_write(LINK_CONTROL, 0, 2);
  EXPECT_TRUE(down.link_up());
  EXPECT_EQ(down_reached.config_read(LINK_CONTROL, 2), 0u);
  EXPECT_EQ(down_reached.config_read(0x04, 2), 0u);  // back to how the host started it
  EXPECT_EQ(down_reached.config_read(0x18, 4) & 0xffffff, 0x030302u);
  host.advance(past_restart());
  EXPECT_EQ(board.config_read(0, 2), 0x1f5cu);
  EXPECT_EQ(host.board(0).firmware().resets(), resets + 1);
}

// ---- Error registers ---------------------------------------------------------------

// Each status register keeps the bits it started with until the host writes
// them with a one; zeros and the other bits change nothing.
TEST(ModelBridges, ErrorBitsClearWhenWrittenWithAOne) {
  BridgeOptions o;
  o.errors = {0xf900, 0xf900, 0x000f, 0x003ff031, 0x000031c1, 0x0000007f, 0x12345678};
  Bridge port = make_bridge(Bridge::Kind::RootPort, o);
  struct Case {
    const char *what;
    unsigned offset;
    int width;
    uint32_t started, kept_bits, written, after;
  } cases[] = {
      {"status", 0x06, 2, 0xf910, 0x0010, 0x4800, 0xb110},
      {"secondary status", 0x1e, 2, 0xf900, 0, 0x0100, 0xf800},
      {"device status", PCIE + 0x0a, 2, 0x000f, 0, 0x0009, 0x0006},
      {"uncorrectable", AER + 0x04, 4, 0x003ff031, 0, 0x00000001, 0x003ff030},
      {"correctable", AER + 0x10, 4, 0x000031c1, 0, 0x000031c0, 0x00000001},
      {"root status", AER + 0x30, 4, 0x0000007f, 0, 0xffffff80, 0x0000007f},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(port.config_read(c.offset, c.width), c.started);
    port.config_write(c.offset, 0, c.width);
    EXPECT_EQ(port.config_read(c.offset, c.width), c.started);
    port.config_write(c.offset, c.written, c.width);
    EXPECT_EQ(port.config_read(c.offset, c.width), c.after);
    port.config_write(c.offset, c.width == 4 ? 0xffffffffu : 0xffffu, c.width);
    EXPECT_EQ(port.config_read(c.offset, c.width), c.kept_bits);
  }
  // The error source identification is the port's to set.
  EXPECT_EQ(port.config_read(AER + 0x34, 4), 0x12345678u);
  port.config_write(AER + 0x34, 0xffffffff, 4);
  EXPECT_EQ(port.config_read(AER + 0x34, 4), 0x12345678u);
}

// A reset through the link above takes the bridge back to how the host
// started it: the error bits it was found with are gone.
TEST(ModelBridges, AResetFromAboveClearsTheErrorBitsFoundAtStart) {
  BridgeOptions o;
  o.errors.status = 0x0100;
  o.errors.device_status = 0x0002;
  Bridge port = make_bridge(Bridge::Kind::SwitchDownstream, o);
  port.config_write(0x04, 0x0006, 2);
  port.reset();
  EXPECT_EQ(port.config_read(0x06, 2), 0x0010u);
  EXPECT_EQ(port.config_read(PCIE + 0x0a, 2), 0u);
  EXPECT_EQ(port.config_read(0x04, 2), 0u);
}

// ---- Chipsets -------------------------------------------------------------------------

TEST(ModelBridges, TheE5000ErrorRegisters) {
  BridgeOptions o;
  o.vendor_id = 0x8086;
  o.device_id = 0x25f8;
  o.chipset_errors = std::array<uint32_t, 4>{0x1fff, 0x3ffff, 0x0001, 0x20000};
  Bridge port = make_bridge(Bridge::Kind::RootPort, o);
  EXPECT_EQ(port.config_read(0x154, 4), 0x1fffu);
  EXPECT_EQ(port.config_read(0x158, 4), 0x3ffffu);
  EXPECT_EQ(port.config_read(0x15c, 4), 0x0001u);
  EXPECT_EQ(port.config_read(0x160, 4), 0x20000u);
  port.config_write(0x154, 0x0fff, 4);
  port.config_write(0x158, 0x10000, 4);
  EXPECT_EQ(port.config_read(0x154, 4), 0x1000u);
  EXPECT_EQ(port.config_read(0x158, 4), 0x2ffffu);
  // The detect masks are the host's.
  port.config_write(0x148, 0xffffffff, 4);
  port.config_write(0x14c, 0xffffffff, 4);
  port.config_write(0x150, 0xffffffff, 4);
  EXPECT_EQ(port.config_read(0x148, 4), sim::AER_UNCORRECTABLE_BITS);
  EXPECT_EQ(port.config_read(0x14c, 4), sim::AER_CORRECTABLE_BITS);
  EXPECT_EQ(port.config_read(0x150, 4), 7u);

  // Elsewhere these offsets are nothing.
  Bridge other = make_bridge(Bridge::Kind::RootPort, BridgeOptions{});
  for (unsigned at = 0x148; at <= 0x160; at += 4) {
    other.config_write(at, 0xffffffff, 4);
    EXPECT_EQ(other.config_read(at, 4), 0u) << at;
  }
}

// Hidden AER: the registers at the chipset's own position, the extended
// capability list empty.
TEST(ModelBridges, ChipsetsHideTheirAerAtTheirOwnPosition) {
  struct Case {
    uint16_t vendor, device;
    unsigned at;
  } cases[] = {{0x8086, 0x2779, 0x1c0}, {0x8086, 0x277a, 0x1c0}, {0x8086, 0x277d, 0x1c0}, {0x10de, 0x0370, 0x160}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.vendor << ":" << c.device);
    BridgeOptions o;
    o.vendor_id = c.vendor;
    o.device_id = c.device;
    o.aer = BridgeOptions::Aer::Hidden;
    o.errors.uncorrectable = 0x1000;
    Bridge port = make_bridge(Bridge::Kind::RootPort, o);
    EXPECT_EQ(port.aer_position(), c.at);
    EXPECT_EQ(port.config_read(0x100, 4), 0u);
    EXPECT_EQ(port.config_read(c.at + 4, 4), 0x1000u);
    port.config_write(c.at + 4, 0x1000, 4);
    EXPECT_EQ(port.config_read(c.at + 4, 4), 0u);
  }
  BridgeOptions o;
  o.vendor_id = 0x8086;
  o.device_id = 0x3597;
  Bridge port = make_bridge(Bridge::Kind::RootPort, o);
  port.config_write(0x144, 0xffff, 2);
  EXPECT_EQ(port.config_read(0x144, 2), 0x0800u);
}

TEST(ModelBridges, VersionOnePayloadAndConventionalBridges) {
  BridgeOptions o;
  o.pcie_version = 1;
  o.max_payload_supported = 5;
  o.payload_set = 3;
  Bridge v1 = make_bridge(Bridge::Kind::SwitchUpstream, o);
  EXPECT_EQ(v1.config_read(PCIE + 2, 2), 0x0051u);
  EXPECT_EQ(v1.config_read(PCIE + 4, 4) & 7, 5u);
  EXPECT_EQ(v1.config_read(PCIE + 8, 2) >> 5 & 7, 3u);
  v1.config_write(PCIE + 0x28, 0x1f, 2);
  EXPECT_EQ(v1.config_read(PCIE + 0x24, 4), 0u);
  EXPECT_EQ(v1.config_read(PCIE + 0x28, 2), 0u);

  BridgeOptions conventional;
  conventional.pcie = false;
  Bridge pci = make_bridge(Bridge::Kind::RootPort, conventional);
  EXPECT_EQ(pci.config_size(), 256u);
  EXPECT_EQ(pci.config_read(0x06, 2) & 0x10, 0u);  // no capability list
  EXPECT_FALSE(pci.downstream());

  BridgeOptions short_config;
  short_config.extended_config = false;
  EXPECT_EQ(make_bridge(Bridge::Kind::RootPort, short_config).config_size(), 256u);
}

TEST(ModelBridges, OptionsThatCannotBeAreRefused) {
  struct Case {
    const char *what;
    Bridge::Kind kind;
    void (*set)(BridgeOptions &);
    std::string why;
  } cases[] = {
      {"version 3", Bridge::Kind::RootPort, [](BridgeOptions &o) { o.pcie_version = 3; },
       "a root port: the capability's version is 1 or 2"},
      {"a payload set above the supported", Bridge::Kind::RootPort,
       [](BridgeOptions &o) { o.max_payload_supported = 1, o.payload_set = 2; },
       "a root port: the payload set is at most the supported one, at most 4096 bytes"},
      {"root status on a switch port", Bridge::Kind::SwitchUpstream, [](BridgeOptions &o) { o.errors.root_status = 1; },
       "an upstream switch port: only a root port has the AER root error status and source"},
      {"a bit outside its register", Bridge::Kind::SwitchDownstream, [](BridgeOptions &o) { o.errors.status = 0x0010; },
       "a downstream switch port: error bits outside their registers' error bits"},
      {"hiding AER on another chipset", Bridge::Kind::RootPort, [](BridgeOptions &o) { o.aer = BridgeOptions::Aer::Hidden; },
       "a root port: only Intel 2779, 277a, 277d and NVIDIA (10de) bridges hide their AER capability"},
      {"E5000 registers on another chipset", Bridge::Kind::RootPort,
       [](BridgeOptions &o) { o.chipset_errors = std::array<uint32_t, 4>{}; },
       "a root port: only Intel 25e2-25e7 and 25f7-25fa have the E5000 error registers"},
      {"AER status without AER", Bridge::Kind::RootPort,
       [](BridgeOptions &o) { o.aer = BridgeOptions::Aer::None, o.errors.correctable = 1; },
       "a root port: without AER it has no AER status"},
      {"device status without the capability", Bridge::Kind::RootPort,
       [](BridgeOptions &o) { o.pcie = false, o.errors.device_status = 1; },
       "a root port: without the PCI Express capability it has no device status and no AER"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    BridgeOptions o;
    c.set(o);
    try {
      make_bridge(c.kind, o);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument &e) {
      EXPECT_EQ(e.what(), c.why);
    }
  }
}

// ---- The NIC's side ---------------------------------------------------------------------

TEST(ModelNicPcie, PayloadVersionErrorBitsAndCreditWords) {
  sim::BoardOptions o = deterministic();
  o.max_payload_supported = 3;
  o.payload_set = 1;
  o.pcie_version = 1;
  o.errors.status = 0x2000;
  o.errors.uncorrectable = 0x00000001;
  o.flow_control = {0x41004010, 0x00000001, 0xc0ffffff};
  Card c(o);
  sim::Board &b = c.board;
  EXPECT_EQ(b.config_read(PCIE + 2, 2), 0x0001u);
  EXPECT_EQ(b.config_read(PCIE + 4, 4) & 7, 3u);
  EXPECT_EQ(b.config_read(PCIE + 8, 2), 0x2830u);
  EXPECT_EQ(b.config_read(PCIE + 0x24, 4), 0u);  // no completion timeout registers in version 1
  EXPECT_EQ(b.config_read(0x06, 2), 0x2010u);
  EXPECT_EQ(b.config_read(AER + 4, 4), 1u);
  b.config_write(AER + 4, 1, 4);  // the training error clears like the others
  EXPECT_EQ(b.config_read(AER + 4, 4), 0u);
  // Through the debug window, as the tools read them (memory order).
  EXPECT_EQ(window_read32(c, 0xfffffee0), __builtin_bswap32(0x41004010));
  EXPECT_EQ(window_read32(c, 0xfffffef8), __builtin_bswap32(0x00000001));
  EXPECT_EQ(window_read32(c, 0xffffff10), __builtin_bswap32(0xc0ffffff));
  EXPECT_EQ(be32(c.bar2() + sim::Chip::BAR2_SPECIALS + 0xe0), 0x41004010u);  // published in BAR2 too

  sim::BoardOptions bad = deterministic();
  bad.errors.secondary_status = 0x0100;
  EXPECT_THROW(Card{bad}, std::invalid_argument);
}

// ---- Items -----------------------------------------------------------------------------------

TEST(BridgeItems, TakeEveryItemOrSayWhichIsBad) {
  BridgeOptions o;
  EXPECT_EQ(sim::parse_bridge_items("id=8086:25E3,payload=1024:256,pcie-version=1,hidden-aer,short-config,"
                                    "status=f900,sec-status=800,devsta=f,aer-uncorr=3ff031,aer-corr=31c1,aer-root=7f,"
                                    "aer-source=ffff0001,chipset-errors=1:2:3:4",
                                    &o),
            "");
  EXPECT_EQ(o.vendor_id, 0x8086);
  EXPECT_EQ(o.device_id, 0x25e3);
  EXPECT_EQ(o.max_payload_supported, 3);
  EXPECT_EQ(o.payload_set, 1);
  EXPECT_EQ(o.pcie_version, 1);
  EXPECT_EQ(o.aer, BridgeOptions::Aer::Hidden);
  EXPECT_FALSE(o.extended_config);
  EXPECT_EQ(o.errors.status, 0xf900);
  EXPECT_EQ(o.errors.secondary_status, 0x0800);
  EXPECT_EQ(o.errors.device_status, 0x000f);
  EXPECT_EQ(o.errors.uncorrectable, 0x3ff031u);
  EXPECT_EQ(o.errors.correctable, 0x31c1u);
  EXPECT_EQ(o.errors.root_status, 0x7fu);
  EXPECT_EQ(o.errors.source, 0xffff0001u);
  EXPECT_EQ(o.chipset_errors, (std::array<uint32_t, 4>{1, 2, 3, 4}));
  BridgeOptions none;
  EXPECT_EQ(sim::parse_bridge_items("no-pcie", &none), "");
  EXPECT_FALSE(none.pcie);
  EXPECT_EQ(sim::parse_bridge_items("no-aer", &none), "");
  EXPECT_EQ(none.aer, BridgeOptions::Aer::None);

  struct Case {
    const char *items, *why;
  } cases[] = {
      {"id=8086", "id=8086: expected id=VVVV:DDDD, a vendor (neither 0 nor ffff) and a device id in hex"},
      {"id=ffff:1234", "id=ffff:1234: expected id=VVVV:DDDD, a vendor (neither 0 nor ffff) and a device id in hex"},
      {"payload=192", "payload=192: expected payload=MAX[:SET], sizes in bytes that are powers of two from 128 to "
                      "4096, SET at most MAX"},
      {"payload=256:512", "payload=256:512: expected payload=MAX[:SET], sizes in bytes that are powers of two from "
                          "128 to 4096, SET at most MAX"},
      {"payload=8192", "payload=8192: expected payload=MAX[:SET], sizes in bytes that are powers of two from 128 to "
                       "4096, SET at most MAX"},
      {"pcie-version=3", "pcie-version=3: the capability's version is 1 or 2"},
      {"status=10", "status=10: expected bits in hex among f900"},
      {"devsta=10", "devsta=10: expected bits in hex among f"},
      {"aer-root=80", "aer-root=80: expected bits in hex among 7f"},
      {"aer-corr=zz", "aer-corr=zz: expected bits in hex among 31c1"},
      {"chipset-errors=1:2:3", "chipset-errors=1:2:3: expected chipset-errors=FF:FN:NF:NN, four 32-bit words in hex"},
      {"chipset-errors=1:2:3:4:5",
       "chipset-errors=1:2:3:4:5: expected chipset-errors=FF:FN:NF:NN, four 32-bit words in hex"},
      {"no-aer=1", "no-aer=1: takes no value"},
      {"no-aer,turbo", "turbo: unknown item"},
  };
  for (const Case &c : cases) {
    BridgeOptions kept;
    EXPECT_EQ(sim::parse_bridge_items(c.items, &kept), c.why);
    EXPECT_EQ(kept.aer, BridgeOptions::Aer::Listed) << c.items;  // left as it was
  }
}

TEST(BoardItems, ThePciExpressSideOfTheNic) {
  sim::BoardChoice nic;
  EXPECT_EQ(sim::parse_board_items("payload=4096:2048,pcie-version=1,status=100,devsta=3,aer-uncorr=1,aer-corr=40,"
                                   "fc=41004010:0:FFFFFFFF",
                                   &nic),
            "");
  EXPECT_EQ(nic.options.max_payload_supported, 5);
  EXPECT_EQ(nic.options.payload_set, 4);
  EXPECT_EQ(nic.options.pcie_version, 1);
  EXPECT_EQ(nic.options.errors.status, 0x100);
  EXPECT_EQ(nic.options.errors.device_status, 3);
  EXPECT_EQ(nic.options.errors.uncorrectable, 1u);
  EXPECT_EQ(nic.options.errors.correctable, 0x40u);
  EXPECT_EQ(nic.options.flow_control, (std::array<uint32_t, 3>{0x41004010, 0, 0xffffffff}));
  struct Case {
    const char *items, *why;
  } cases[] = {
      {"fc=1:2", "fc=1:2: expected fc=P:NP:CPL, three 32-bit words in hex"},
      {"fc=1:2:3:4", "fc=1:2:3:4: expected fc=P:NP:CPL, three 32-bit words in hex"},
      {"fc=1::3", "fc=1::3: expected fc=P:NP:CPL, three 32-bit words in hex"},
      {"sec-status=100", "sec-status=100: unknown item"},  // a bridge's register
      {"aer-root=1", "aer-root=1: unknown item"},
      {"payload=128:256", "payload=128:256: expected payload=MAX[:SET], sizes in bytes that are powers of two from "
                          "128 to 4096, SET at most MAX"},
  };
  for (const Case &c : cases) {
    sim::BoardChoice kept;
    EXPECT_EQ(sim::parse_board_items(c.items, &kept), c.why);
  }
}

}  // namespace
