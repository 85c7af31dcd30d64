// scandump, loopset and phystate run whole on the virtual host, against the
// scan images the modeled control program keeps in SRAM.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "board_options.h"
#include "scan_chains.h"
#include "tools_fixture.h"

using namespace tools_test;
using testing::MatchesRegex;

namespace {

const std::string SCANDUMP = SCANDUMP_PATH, LOOPSET = LOOPSET_PATH, PHYSTATE = PHYSTATE_PATH;

// A script on a one-card host with the scan tools and pokemem in $SCANDUMP,
// $LOOPSET, $PHYSTATE and $POKEMEM, and a scratch directory in $D.
Result scan_script(const std::string &items, const std::string &script, const Scratch &dir) {
  return on_card(items, {"/usr/bin/env", "SCANDUMP=" + SCANDUMP, "LOOPSET=" + LOOPSET, "PHYSTATE=" + PHYSTATE,
                         "POKEMEM=" + POKEMEM, "D=" + dir.path(), "sh", "-c", script});
}

std::string hex_line(const char *name, uint32_t value) {
  char line[80];
  snprintf(line, sizeof line, "%s=0x%x\n", name, value);
  return line;
}

// What scandump prints for a board of `options` whose applied write chain
// is `applied`: the read chain, then the write chain read back.
std::string dump_of(const sim::BoardOptions &options, const sim::scan::WriteValues &applied) {
  sim::scan::ReadValues read = sim::scan::read_values(options, applied);
  std::string out;
  for (size_t i = 0; i < read.size(); i++) out += hex_line(sim::scan::READ_CHAIN[i].name, read[i]);
  for (size_t i = 0; i < applied.size(); i++) out += hex_line(sim::scan::WRITE_CHAIN[i].name, applied[i]);
  return out;
}

std::string dump_at_power_on(const sim::BoardOptions &options) {
  return dump_of(options, sim::scan::power_on_write_values(options));
}

const std::string SHORT_SNAPSHOT = error_from("uba_scan.h", literal("check failed: len == sizeof(read_scan) + 16")) + "\n";

TEST(Scandump, PrintsBothChainsInChainOrderFromTheSnapshot) {
  sim::BoardOptions plain, looped;
  looped.loopback = 15;
  sim::scan::WriteValues applied = sim::scan::power_on_write_values(plain);
  ASSERT_GE(applied[3], 0x80000000u) << "PCIE_BAR_LSW must show that 32-bit fields are printed whole";

  struct Case {
    std::string items;
    std::vector<std::string> args;
    const sim::BoardOptions &options;
  } cases[] = {
      {"", {}, plain},
      {"", {"-N"}, plain},
      {"device=5e0a,loopback=15", {"-b", "0"}, looped},
  };
  for (const Case &c : cases) {
    std::vector<std::string> command = {SCANDUMP};
    command.insert(command.end(), c.args.begin(), c.args.end());
    Result r = on_card(c.items, command);
    EXPECT_EQ(r.status, 0) << c.items << r;
    EXPECT_EQ(r.err, "") << c.items;
    EXPECT_EQ(r.out, dump_at_power_on(c.options)) << c.items;
  }
}

TEST(Scandump, OpensTheUnitAskedFor) {
  sim::BoardOptions second;
  second.index = 1;
  Result r = in_host(SIMHOST, {"--nic", "device=5e0a", "--nic", "device=5e0a"}, {SCANDUMP, "-b", "1"});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out, dump_at_power_on(second));
  ASSERT_NE(dump_at_power_on(second), dump_at_power_on(sim::BoardOptions{})) << "the cards must differ";

  r = on_card("", {SCANDUMP, "-b", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "FATAL ERROR:trying to open Ulvelink board instance 1: NOT FOUND\n");
}

TEST(ScanTools, StopWhenTheSnapshotIsNotTheHeaderAndTheChains) {
  for (const std::string &tool : {SCANDUMP, PHYSTATE})
    for (const char *items : {"scan-length=95", "scan-length=112", "no-scan"})
      for (const char *access : {"", "-N"}) {
        std::vector<std::string> command = {tool};
        if (*access) command.push_back(access);
        Result r = on_card(items, command);
        EXPECT_EQ(r.status, 1) << tool << " " << items << r;
        EXPECT_EQ(r.out, "") << tool << " " << items;
        EXPECT_THAT(r.err, MatchesRegex(SHORT_SNAPSHOT)) << tool << " " << items;
      }
}

TEST(ScanTools, ASnapshotOutsideBar0IsNotReadThroughIt) {
  // Through the debug registers any processor address is the card's to
  // answer; a mapped read there would leave BAR0's mapping.
  const std::string outside = error_from("uba_scan.h", literal("check failed: addr <= SCAN_BAR0_SIZE - len")) + "\n";
  for (const std::string &tool : {SCANDUMP, PHYSTATE})
    for (const char *at : {"scan-at=0xffffffc0", "scan-at=0xffffa1"}) {
      Result r = on_card(at, {tool, "-N"});
      EXPECT_EQ(r.status, 1) << tool << " " << at << r;
      EXPECT_EQ(r.out, "");
      EXPECT_THAT(r.err, MatchesRegex(outside)) << tool << " " << at;
    }
  // The last snapshot that fits: the bytes there are not a snapshot, but
  // they are read.
  Result r = on_card("scan-at=0xffffa0", {SCANDUMP, "-N"});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 165);
}

TEST(ScanTools, WithoutTheCapabilityNothingIsWrittenEvenThroughBar0) {
  // The locate request goes through the capability's registers whatever
  // reaches memory; at position 0 they would fall on BAR0 and BAR2.
  const std::string refused = error_from("uba_kram.h", literal("Cannot handle card with vendor cap=0x0\n")) + "\n";
  for (const std::string &tool : {SCANDUMP, PHYSTATE})
    for (const char *access : {"", "-N"}) {
      Scratch dir;
      Result r = scan_script("vs-unlisted",
                             "setpci -s 01:00.0 04.w 10.l 14.l 18.l > $D/before; " + tool + " " + access +
                                 "; echo $?; setpci -s 01:00.0 04.w 10.l 14.l 18.l > $D/after",
                             dir);
      EXPECT_EQ(r.out, "1\n") << tool << " " << access << r;
      EXPECT_THAT(r.err, MatchesRegex(refused)) << tool << " " << access;
      EXPECT_EQ(read_text(dir / "after"), read_text(dir / "before")) << tool << " " << access;
      EXPECT_NE(read_text(dir / "before"), "");
    }
}

TEST(ScanTools, BadOptionsPrintTheUsageLine) {
  struct Case {
    std::vector<std::string> command;
    std::string usage;
  } cases[] = {
      {{SCANDUMP, "-x"}, "usage: scandump [ -b<unit>]\n"},
      {{SCANDUMP, "-b"}, "usage: scandump [ -b<unit>]\n"},
      {{PHYSTATE, "-x"}, "phystate [ -b<board_num] [ -N ]\n"},
      {{LOOPSET, "-N"}, "usage: loopset [ -b<unit>] [ -0 | -1 ]\n"},
      {{LOOPSET, "-1", "-2"}, "usage: loopset [ -b<unit>] [ -0 | -1 ]\n"},
  };
  for (const Case &c : cases) {
    Result r = on_card("", c.command);
    EXPECT_EQ(r.status, 1) << c.command[1] << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.usage);
  }
}

TEST(Loopset, ShowsTheLoopbackAndStopsWhenItsControlsDisagree) {
  // The messages end in a newline of their own, then the report's.
  const std::string lanes = error_from("loopset.cpp", "Inconsistent P0_RX_LB settings\n\n");
  const std::string detect = error_from("loopset.cpp", "Inconsistent GPIO_SIGNAL_DETECT/P0_RX_LB0 settings\n\n");
  struct Case {
    std::string items;
    std::vector<std::string> args;
    std::string out, err;  // err: a regular expression
    int status;
  } cases[] = {
      {"", {}, "Loopback is OFF\n", "", 0},
      {"loopback=15", {}, "Loopback is ON\n", "", 0},
      // LB0 on, LB2 off: whatever was asked.
      {"loopback=5", {}, "", lanes, 1},
      {"loopback=5", {"-1"}, "", lanes, 1},
      {"loopback=8", {"-0", "-f"}, "", lanes, 1},
      // The lanes agree but the signal-detect bit does not.
      {"loopback=15,signal-detect=0", {}, "", detect, 1},
      {"loopback=15,signal-detect=0", {"-f"}, "Loopback is ON\n", "", 0},
      {"signal-detect=1", {}, "", detect, 1},
      // A bit that cannot follow is found by the check after the change.
      {"signal-detect=0", {"-1"}, "Turning loopback ON (was previously OFF)\n", detect, 1},
      {"signal-detect=0", {"-1", "-f"}, "Turning loopback ON (was previously OFF)\n", "", 0},
  };
  for (const Case &c : cases) {
    std::vector<std::string> command = {LOOPSET};
    command.insert(command.end(), c.args.begin(), c.args.end());
    Result r = on_card(c.items, command);
    EXPECT_EQ(r.status, c.status) << c.items << r;
    EXPECT_EQ(r.out, c.out) << c.items;
    EXPECT_THAT(r.err, MatchesRegex(c.err)) << c.items;
  }
}

TEST(Loopset, TurnsTheLoopbackOnAndOffChangingOnlyItsBits) {
  Scratch dir;
  Result r = scan_script("",
                         "$POKEMEM -q -b 0 0x1dffc7.53 > $D/before && $LOOPSET -1 && "
                         "$POKEMEM -q -b 0 0x1dffc7.53 > $D/on && $LOOPSET && "
                         "$SCANDUMP | grep '^P0_RX_LB' && $LOOPSET -1 -0 && "
                         "$POKEMEM -q -b 0 0x1dffc7.53 > $D/off && $LOOPSET",
                         dir);
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "Turning loopback ON (was previously OFF)\n"
            "Loopback is ON\n"
            "P0_RX_LB3=0x1\nP0_RX_LB2=0x1\nP0_RX_LB1=0x1\nP0_RX_LB0=0x1\n"
            "Turning loopback OFF (was previously ON)\n"
            "Loopback is OFF\n");

  auto image = sim::scan::write_image(sim::scan::power_on_write_values(sim::BoardOptions{}));
  Bytes before(image.begin(), image.end());
  EXPECT_TRUE(SameBytes(read_bytes(dir / "before"), before));
  Bytes on = before;
  on[0] |= 0x0a;  // P0_RX_LB1 and LB0 at 0x1dffc7
  on[1] |= 0xa0;  // P0_RX_LB3 and LB2 at 0x1dffc8
  ASSERT_NE(on, before);
  EXPECT_TRUE(SameBytes(read_bytes(dir / "on"), on));
  EXPECT_TRUE(SameBytes(read_bytes(dir / "off"), before));
}

TEST(Phystate, PrintsTheEightSelectedBytesAndLeavesTheImageAsItWas) {
  sim::BoardOptions plain, zero;
  zero.pcie_debug = {};
  struct Case {
    std::string items, args;
    const sim::BoardOptions &options;
  } cases[] = {
      {"", "", plain},
      {"", "-N", plain},
      {"pcie-debug=0:0:0:0:0:0:0:0", "", zero},
  };
  static const char *const names[8] = {"state",       "lane_enabled", "lane_selected", "FTS",
                                       "Link-Number", "Tx-detected",  "Rx-detected",   "misc"};
  for (const Case &c : cases) {
    Scratch dir;
    Result r = scan_script(c.items,
                           "$POKEMEM -q -b 0 0x1dffc7.53 > $D/before && $PHYSTATE " + c.args +
                               " && $POKEMEM -q -b 0 0x1dffc7.53 > $D/after && $SCANDUMP > $D/dump",
                           dir);
    std::string expected;
    for (int k = 0; k < 8; k++) {
      char line[40];
      snprintf(line, sizeof line, "%s=0x%02x\n", names[k], c.options.pcie_debug[k]);
      expected += line;
    }
    EXPECT_EQ(r.status, 0) << c.items << r;
    EXPECT_EQ(r.err, "") << c.items;
    EXPECT_EQ(r.out, expected) << c.items << c.args;
    EXPECT_TRUE(SameBytes(read_bytes(dir / "after"), read_bytes(dir / "before"))) << c.items << c.args;
    // The selector is restored and applied again: the snapshot is the boot's.
    EXPECT_EQ(read_text(dir / "dump"), dump_at_power_on(c.options)) << c.items << c.args;
  }
}

}  // namespace
