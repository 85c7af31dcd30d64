// phyreg run whole on the virtual host: PHY registers read and written over
// the modeled card's management bus, device 0 as the PHY's copy of the XFP
// module's memory, the register dump, the XFP display against the model's
// module (and modules the items change), reads the PHY answers wrongly, the
// product-code check, the mapped access of -N, and the command-line errors.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tools_fixture.h"

using namespace tools_test;
using testing::MatchesRegex;

namespace {

const std::string USAGE =
    "usage: phyreg is used to access PHY/XFP registers\n"
    "  phyreg [ -b<board_num ]                    -- display XFP status\n"
    "  phyreg [ -b<board_num ]  <dev>.<reg>       -- display a PHY reg\n"
    "  phyreg [ -b<board_num ]  <dev>.<reg> <val> -- write <val> into PHY reg\n"
    "  phyreg [ -b<board_num ]  -v                -- dump a bunch of PHY regs\n"
    "\t  -- <reg> is parsed as base 10 unless prefixed with 0x\n"
    "\t Options:\n"
    "\t\t -b<board_num> : use NIC <board_num> (default 0)\n"
    "\t\t -N            : use bar2 MMIO to access MDIO bus\n"
    "\n"
    "\t examples:\n"
    "\t\t   phyreg           -- display XFP status\n"
    "\t\t   phyreg 1.9       -- display laser-enable reg\n"
    "\t\t   phyreg 1.0xc200  -- display XFP status pins\n"
    "\t\t   phyreg 1.9 0     -- turn laser on\n"
    "\t\t   phyreg 1.9 1     -- turn laser off\n";

const std::string PHYREG = PHYREG_PATH;

Result phyreg(const std::vector<std::string> &args, const std::string &items = "") {
  std::vector<std::string> command = {PHYREG};
  command.insert(command.end(), args.begin(), args.end());
  return on_card(items, command);
}

// A shell script on a card described by `items`, with phyreg in $PHYREG.
Result phyreg_script(const std::string &items, const std::string &script) {
  return on_card(items, {"/usr/bin/env", "PHYREG=" + PHYREG, "sh", "-c", script});
}

std::string hex(unsigned v) {
  char text[16];
  snprintf(text, sizeof text, "0x%x", v);
  return text;
}

// A fatal message of phyreg's own, as a regular expression.
std::string fatal(const std::string &message) { return error_from("phyreg.cpp", literal(message)) + "\n"; }

// ---- Registers ------------------------------------------------------------------

TEST(Phyreg, ReadsAndWritesRegistersByDeviceAndNumber) {
  Result r = phyreg_script("",
                           "$PHYREG 1.9 && $PHYREG 1.0xc200 && $PHYREG 1.9 1 && $PHYREG 1.9 && $PHYREG 1.0xc200 &&\n"
                           "$PHYREG -b 0 1.9 0 && $PHYREG -x 1.0xc200 && $PHYREG -b0 4.24");
  EXPECT_EQ(r.status, 0) << r;
  // The transmitter's disable bit shows on the module's TX_DIS pin.
  EXPECT_EQ(r.out,
            "1.9h = 0x0\n"
            "1.c200h = 0x0\n"
            "Setting 1.9h = 0x1\n"
            "1.9h = 0x1\n"
            "1.c200h = 0x8000\n"
            "Setting 1.9h = 0x0\n"
            "1.c200h = 0x0\n"
            "4.18h = 0x1c0f\n");
  EXPECT_EQ(r.err, "");
}

// Device 0, register R is 1.(0x8007 + R): what the PHY last copied of the
// module's memory. The XFP display refreshes the copy.
TEST(Phyreg, DeviceZeroIsThePhysCopyOfTheModulesMemory) {
  Result r = phyreg_script("",
                           "$PHYREG 0.131 && $PHYREG 0.131 0x5a && $PHYREG 1.0x808a &&\n"
                           "$PHYREG > /dev/null && $PHYREG 0.131 && $PHYREG 0.127");
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out,
            "0.83h = 0x0\n"
            "Setting 0.83h = 0x5a\n"
            "1.808ah = 0x5a\n"
            "0.83h = 0x40\n"
            "0.7fh = 0x1\n");
  EXPECT_EQ(r.err, "");
}

TEST(Phyreg, DumpsTheRegisterList) {
  Result r = phyreg({"-v"});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out,
            "1.0h (pma/pmd ctl): 0x2040\n"
            "1.1h (pma/pmd status): 0x6\n"
            "1.2h (pma/pmd id0): 0x157\n"
            "1.3h (pma/pmd id1): 0x7a31\n"
            "1.4h (pma/pmd speed ability): 0x1\n"
            "1.5h (pma/pmd devs0): 0x1a\n"
            "1.6h (pma/pmd devs1): 0x0\n"
            "1.7h (pma/pmd ctl_2): 0x6\n"
            "1.9h (pma/pmd rx dis): 0x0\n"
            "1.ah (pma/pmd rx sig): 0x1\n"
            "1.eh (pma/pmd oui_0): 0x157\n"
            "1.fh (pma/pmd oui_1): 0x7a31\n"
            "1.8000h (pma/pmd vs nvr ctl): 0x0\n"
            "1.800dh (pma/pmd vs msa customer field adr): 0x0\n"
            "1.800eh (pma/pmd vs msa vendor field adr): 0x0\n"
            "1.8018h (pma/pmd vs msa 10gbase-type field): 0x0\n"
            "1.9000h (pma/pmd rx alrm ctl): 0x0\n"
            "1.9001h (pma/pmd tx alrm ctl): 0x0\n"
            "1.9002h (pma/pmd lasi ctl): 0x0\n"
            "1.9003h (pma/pmd rx alrm status): 0x0\n"
            "1.9004h (pma/pmd tx alrm status): 0x0\n"
            "1.9005h (pma/pmd lasi status): 0x0\n"
            "1.9006h (pma/pmd tx flag ctl): 0x0\n"
            "1.9007h (pma/pmd rx flag ctl): 0x0\n"
            "1.c001h (pma/pmd vs ctl): 0x0\n"
            "1.c025h (pma/pmd vs fiber power): 0x0\n"
            "1.c200h (pma/pmd xfp sta): 0x0\n"
            "1.c201h (pma/pmd xfp ctl): 0x0\n"
            "1.d000h (pma/pmd quake PC0): 0x0\n"
            "1.d001h (pma/pmd quake PC1): 0x0\n"
            "1.d004h (pma/pmd output pads): 0x0\n"
            "1.d006h (pma/pmd LED1): 0xb\n"
            "1.d007h (pma/pmd LED2): 0x9\n"
            "1.d008h (pma/pmd LED3): 0x0\n"
            "3.0h (pcs ctl_1): 0x2040\n"
            "3.1h (pcs sta_1): 0x6\n"
            "3.2h (pcs id_0): 0x157\n"
            "3.3h (pcs id_1): 0x7a31\n"
            "3.20h (pcs 10base-R sta_1): 0x100d\n"
            "3.21h (pcs 10base-R sta_2): 0x0\n"
            "4.0h (xs ctl_1): 0x2040\n"
            "4.1h (xs sta_1): 0x6\n"
            "4.2h (xs id_0): 0x157\n"
            "4.3h (xs id_1): 0x7a31\n"
            "4.18h (xs lane sta): 0x1c0f\n"
            "4.c002h (xs vs sta): 0x0\n");
  EXPECT_EQ(r.err, "");
}

// -R: the counter 3.0xc037 read once at its address, then 100 times with
// read frames alone; the model's counter answers one more on every read.
TEST(Phyreg, ReadSpeedTestPrintsTheHundredValuesAndTheRate) {
  std::string values;
  for (int v = 2; v <= 101; v++) values += hex(v) + "\n";
  Result r = phyreg({"-R"});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_THAT(r.out, MatchesRegex(literal(values) + "[0-9.e+-]+ Mbit/s of DOWN\n"));
  EXPECT_EQ(r.err, "");
}

// ---- The XFP display ----------------------------------------------------------------

// What phyreg shows of the default card's module (xfp.h), and where a case
// differs from it.
struct Display {
  std::string status = "status=0x0 Present Ready Signal-OK TX-ENABLED";
  std::string latched = "       +reset-complete", current = "       ";
  std::string temp = "34.5", rx_power = "0.5";
  std::string aux = "\tLaser Temp (Celsius) = 38.5000\n\t+3.3 Supply (V) = 3.29\n";
  std::string type = "XFP (6)", connector = "LC (7)", compliance = "10GBASE-LR (64)";
  std::string vendor = "SIMOPTIX        ";

  std::string text() const {
    return "XFP:\n\t" + status + "\n\tLatched status:\n\t" + latched + "\n\tCurrent status:\n\t" + current +
           "\n\tTemp = " + temp + " Celsius\n\tTX bias = 13.398 mA\n\tTX power = 0.75 mW\n\tRX power = " + rx_power +
           " mW\n" + aux + "\tType = " + type + "\n\tConnector = " + connector + "\n\tCompliance = " + compliance +
           "\n\tWavelength = 1310 nm\n\tVendor = " + vendor +
           "\n\tPN = XFP-LR-SIM      \n\tSN = SX10G0000001    \n\tDate = 2024/03/15 (01)\n";
  }
};

TEST(Phyreg, ShowsTheXfpModule) {
  struct Case {
    const char *what;
    std::string items, before;  // before: commands run first
    void (*differs)(Display &);
  } cases[] = {
      {"the card's module", "", "", [](Display &) {}},
      {"a second look, with the transmitter off: nothing latched since", "",
       "$PHYREG > /dev/null && $PHYREG 1.9 1 > /dev/null && ",
       [](Display &d) {
         d.status = "status=0x8000 Present Ready Signal-OK TX-DISABLED";
         d.latched = "       ";
       }},
      {"no signal", "xfp-no-signal", "",
       [](Display &d) {
         d.status = "status=0x8 Present Ready No-Signal TX-ENABLED";
         d.latched = "    +rx-loss-of-signal +rx-cdr-not-locked  +reset-complete";
         d.current = "    +rx-loss-of-signal +rx-cdr-not-locked  ";
         d.rx_power = "0";
       }},
      // Signed values below zero; measurement type 0 shows nothing.
      {"a module below zero", "xfp-bytes=60:ff80,xfp-bytes=de:40,xfp-bytes=6a:ff00", "",
       [](Display &d) {
         d.temp = "-0.5";
         d.aux = "\tLaser Temp (Celsius) = -1.0000\n";
       }},
      {"other measurement types", "xfp-bytes=de:35,xfp-bytes=6a:27106658", "",
       [](Display &d) { d.aux = "\tTEC Current (mA) = 1.0000\n\tLaser Wavelength (nm) = 1310\n"; }},
      {"unnamed measurements, another type, SC, SR over LR, another vendor",
       "xfp-bytes=de:c2,xfp-bytes=80:05,xfp-bytes=82:01,xfp-bytes=83:c0,xfp-bytes=94:41434d45", "",
       [](Display &d) {
         d.aux = "";
         d.type = "?? (5)";
         d.connector = "SC (1)";
         d.compliance = "10GBASE-SR (192)";
         d.vendor = "ACMEPTIX        ";
       }},
      {"ER, an unknown connector", "xfp-bytes=82:02,xfp-bytes=83:20", "",
       [](Display &d) {
         d.connector = "?? (2)";
         d.compliance = "10GBASE-ER (32)";
       }},
      {"no compliance it knows", "xfp-bytes=83:1f", "", [](Display &d) { d.compliance = "?? (31)"; }},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    Display expected;
    k.differs(expected);
    Result r = phyreg_script(k.items, k.before + "$PHYREG");
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, expected.text());
    EXPECT_EQ(r.err, "");
  }
}

TEST(Phyreg, AModuleThatIsAbsentOrNotReadyShowsItsStatusOnly) {
  struct Case {
    std::string items, out;
    int status;
  } cases[] = {
      {"no-xfp", "XFP:\n\tstatus=0xb Absent NOT-ready No-Signal TX-ENABLED\n", 0},
      {"xfp-not-ready",
       "XFP:\n\tstatus=0x2 Present NOT-ready Signal-OK TX-ENABLED\n"
       "Cannot read XFP data while not-ready (page-select-status=0x7f2e)\n",
       1},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.items);
    Result r = phyreg({}, k.items);
    EXPECT_EQ(r.status, k.status) << r;
    EXPECT_EQ(r.out, k.out);
    EXPECT_EQ(r.err, "");
  }
}

// A transfer or refresh that does not go busy, done, idle stops phyreg,
// and no poll goes on for ever.
TEST(Phyreg, XfpCommandsThatGoWrongStopIt) {
  const std::string status = "XFP:\n\tstatus=0x0 Present Ready Signal-OK TX-ENABLED\n";
  struct Case {
    std::string items, err;
  } cases[] = {
      {"xfp-hangs=transfer", fatal("xfp reg command still busy after 2000 ms, val=0x7f2a\n")},
      {"xfp-fails=transfer", fatal("xfp reg command != done, val=0x7f2e\n")},
      {"xfp-done-sticks=transfer", fatal("xfp reg command != idle after done, val=0x7f26\n")},
      {"xfp-hangs=refresh", fatal("xfp refresh command still busy after 2000 ms, val=0xb\n")},
      {"xfp-fails=refresh", fatal("xfp refresh command != done, val=0xf\n")},
      {"xfp-done-sticks=refresh", fatal("xfp refresh command != idle after done, val=0x7\n")},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.items);
    Result r = phyreg({}, k.items);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, status);
    EXPECT_THAT(r.err, MatchesRegex(k.err)) << r;
  }
}

// ---- Reads the PHY answers wrongly ----------------------------------------------------

// A read whose turnaround bits are not 1, 0 is reported with the 18 bits
// received and gives 0; phyreg goes on.
TEST(Phyreg, AReadWithAWrongTurnaroundIsReportedAndGivesZero) {
  std::string speed = "Invalid MDI access to PRTADR/PHY 0, MMD 3, addr=0xc037, bits=0x1\n";
  for (int v = 2; v <= 101; v++)
    speed += "Invalid MDI access to PRTADR/PHY 0, MMD 3, bits=" + hex(v) + "\n";
  for (int i = 0; i < 100; i++) speed += "0x0\n";
  speed += "0 Mbit/s of DOWN\n";
  struct Case {
    std::string items;
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {"mdio-bad-ta", {"1.2"}, "Invalid MDI access to PRTADR/PHY 0, MMD 1, addr=0x2, bits=0x157\n1.2h = 0x0\n"},
      {"mdio-bad-ta", {"0.131"}, "Invalid MDI access to PRTADR/PHY 0, MMD 1, addr=0x808a, bits=0x0\n0.83h = 0x0\n"},
      {"mdio-bad-ta", {"-R"}, speed},
      // Nobody answers for a device the PHY lacks: the line stays high.
      {"", {"2.0"}, "Invalid MDI access to PRTADR/PHY 0, MMD 2, addr=0x0, bits=0x3ffff\n2.0h = 0x0\n"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.args[0]);
    Result r = phyreg(k.args, k.items);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, k.out);
    EXPECT_EQ(r.err, "");
  }
  // The display: the pins read 0, and the transfer's command register too,
  // whether the PHY said busy or already done.
  Result r = phyreg({}, "mdio-bad-ta");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, MatchesRegex("Invalid MDI access to PRTADR/PHY 0, MMD 1, addr=0xc200, bits=0x0\n"
                                  "XFP:\n\tstatus=0x0 Present Ready Signal-OK TX-ENABLED\n"
                                  "Invalid MDI access to PRTADR/PHY 0, MMD 1, addr=0x8000, bits=0x7f2[a6]\n"));
  EXPECT_THAT(r.err, MatchesRegex(fatal("xfp reg command != done, val=0x0\n"))) << r;
}

// ---- The card -------------------------------------------------------------------------

TEST(Phyreg, TakesOnlyCardsWhoseProductCodeNamesAnXfpCage) {
  struct Case {
    std::string items;
    std::vector<std::string> args;
    const char *refused;  // the code in the message; null: taken
  } cases[] = {
      {"pc=PNX-10G-XFP-R", {"1.2"}, nullptr},
      {"pc=PNX-10G-XFPL-R", {"1.2"}, nullptr},
      {"pc=PNX-10G-XFP-R2", {"1.2"}, nullptr},  // it begins with a code taken
      {"pc=PNX-10G-XFP", {"1.2"}, "PNX-10G-XFP"},
      {"pc=PNX-10G-SR", {"1.2"}, "PNX-10G-SR"},
      {"pc=", {"1.2"}, "unknown"},
      {"pc=PNX-10G-SR", {"-N", "1.2"}, "PNX-10G-SR"},  // the strings through BAR0
      {"pc=PNX-10G-SR", {"-v"}, "PNX-10G-SR"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.items + " " + k.args[0]);
    Result r = phyreg(k.args, k.items);
    if (!k.refused) {
      EXPECT_EQ(r.status, 0) << r;
      EXPECT_EQ(r.out, "1.2h = 0x157\n");
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_THAT(r.err, MatchesRegex(fatal(std::string("Card is not a -R NIC with XFP cage: PC=") + k.refused + "\n")))
          << r;
    }
  }
}

// -N bit-bangs MDI through BAR2, which is shared memory the model publishes
// the special registers into on each advance and takes the host's stores
// from then: of the host's many stores between two advances it sees the
// last only, so no frame reaches the PHY, and what the host reads back is
// mostly its own store of 0 (a tick of the model in between shows the
// undriven line instead, hence the pattern for the bits). Every read is
// invalid and gives 0; a write is lost.
TEST(Phyreg, ThroughBar2NoFrameReachesThePhy) {
  Result r = phyreg_script("", "$PHYREG -N 1.9; $PHYREG -N 1.9 1; $PHYREG 1.9; $PHYREG -N");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, MatchesRegex("Invalid MDI access to PRTADR/PHY 0, MMD 1, addr=0x9, bits=0x[0-9a-f]+\n"
                                  "1\\.9h = 0x0\n"
                                  "Setting 1\\.9h = 0x1\n"
                                  "1\\.9h = 0x0\n"
                                  "Invalid MDI access to PRTADR/PHY 0, MMD 1, addr=0xc200, bits=0x[0-9a-f]+\n"
                                  "XFP:\n\tstatus=0x0 Present Ready Signal-OK TX-ENABLED\n"
                                  "Invalid MDI access to PRTADR/PHY 0, MMD 1, addr=0x8000, bits=0x[0-9a-f]+\n"))
      << r;
  EXPECT_THAT(r.err, MatchesRegex(fatal("xfp reg command != done, val=0x0\n")));

  Result no_bar2 = phyreg({"-N", "1.9"}, "no-bar2");
  EXPECT_EQ(no_bar2.status, 1);
  EXPECT_EQ(no_bar2.out, "");
  EXPECT_THAT(no_bar2.err, MatchesRegex(literal("Warning NIC 1f5c:5e0a (rev 1) at slot: 01:00: BAR2 not initialized\n") +
                                        fatal("Cannot use -N: BAR2 is not mapped\n")));
}

// ---- The command line -----------------------------------------------------------------

TEST(Phyreg, RefusesBadCommandLines) {
  struct Case {
    std::vector<std::string> args;
    std::string items, err;  // err: a regular expression
  } cases[] = {
      {{"-q"}, "", literal(USAGE)},
      {{"-b"}, "", literal(USAGE)},
      {{"1.9", "1", "2"}, "", literal(USAGE)},
      {{"19"}, "", fatal("Invalid register syntax: 19\n")},
      {{"1.0x10000"}, "", fatal("Invalid register syntax: 1.0x10000\n")},
      {{"32.0"}, "", fatal("Invalid register syntax: 32.0\n")},
      {{"0.0x7ff9"}, "", fatal("Invalid register syntax: 0.0x7ff9\n")},  // past 1.0xffff
      {{"1.9", "0x10000"}, "", fatal("Invalid register value: 0x10000\n")},
      {{"-b", "1", "1.9"}, "", literal("FATAL ERROR:trying to open Ulvelink board instance 1: NOT FOUND\n")},
      {{"1.9"}, "vs=e4", error_from("uba_kram.h", "Cannot handle card with vendor cap=0xe4\n") + "\n"},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.args[0]);
    Result r = phyreg(k.args, k.items);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, MatchesRegex(k.err)) << r;
  }
}

}  // namespace
