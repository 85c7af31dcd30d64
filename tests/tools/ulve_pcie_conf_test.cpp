// ulve-pcie-conf run whole on the virtual host: the path of bridges above a
// NIC, the payload lines, every error table with its bit names at each
// verbosity, clearing, the payload set on every device, the flow-control
// credits, the completion timeout, hidden AER positions, and its refusals.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tools_fixture.h"

using namespace tools_test;
using testing::HasSubstr;
using testing::MatchesRegex;
using testing::Not;

namespace {

const std::string CONF = ULVE_PCIE_CONF_PATH;

const std::string USAGE =
    "usage: ulve-pcie-conf [ -b<num> ] [ -p <psize> ]\n"
    "\t -b <num>            -- 10g board instance number\n"
    "\t -p <payload-size> ] -- set pcie max payload size\n"
    "\t -E                  -- Use mmcfg pci access method\n"
    "\t -x                  -- look at 2G cards\n"
    "\t -e                  -- display error status bits\n"
    "\t -N                  -- Look for hidden Nvidia/Intel AER cap (with -e)\n"
    "\t -c                  -- display and clear error status bits\n"
    "\t -f                  -- print pcie virtual channels FC information\n"
    "\t -t                  -- print completion-timeout settings\n"
    "\t -v                  -- more verbose (can be used multiple time)\n";

// The first lines for a NIC alone behind its root port.
const std::string LOOKING = "Looking ulve-10g-nic=01:00.0, bridge0=00:01.0 \n\n";
const std::string NIC_PAYLOAD = "10G NIC:Max Payload Size = (128/max-supported=512), Read Req Size=512\n";
const std::string BRIDGE0_PAYLOAD = "Bridge0:Max Payload Size = (128/max-supported=512), Read Req Size=512\n";

// A NIC without error bits, as -e shows it.
const std::string QUIET_NIC =
    "\tURRE=0,FERE=0,NFERE=0,CERE=0, serr_enable=0\n"
    "\tPCI Status=0x0010\n"
    "\t\n"
    "\tPCIe Status=0x0000\n"
    "\t\n"
    "\tAER_Uncorr=0x00000000\n"
    "\t\n"
    "\tAER_Corr=0x00000000\n"
    "\t\n";

// ulve-pcie-conf with `args` on a virtual host made with the simhost
// options `host`.
Result conf(const std::vector<std::string> &host, const std::vector<std::string> &args) {
  std::vector<std::string> command = {CONF};
  command.insert(command.end(), args.begin(), args.end());
  return in_host(SIMHOST, host, command);
}

// A shell script on such a host, with the tool in $CONF.
Result conf_script(const std::vector<std::string> &host, const std::string &script) {
  return in_host(SIMHOST, host, {"/usr/bin/env", "CONF=" + CONF, "sh", "-c", script});
}

// What the output shows from the first bridge on.
std::string from_bridge0(const std::string &out) {
  size_t at = out.find("Bridge0:");
  return at == std::string::npos ? "" : out.substr(at);
}

// ---- The path and the payload lines ----------------------------------------

// Without -e or -c only the payload line of each device is printed, the NIC
// first, then each bridge up to the root, blank lines between them.
TEST(UlvePcieConf, ShowsThePayloadLineOfTheNicAndOfEachBridgeUpToTheRoot) {
  struct Case {
    const char *what;
    std::vector<std::string> host, args;
    std::string out;
  } cases[] = {
      {"one root port", {}, {}, LOOKING + NIC_PAYLOAD + "\n" + BRIDGE0_PAYLOAD},
      {"a switch between them, each with its sizes",
       {"--nic", "payload=256:256", "--switches", "1", "--root-port", "payload=4096:256", "--switch-up",
        "payload=2048:512", "--switch-down", "payload=1024:128"},
       {},
       "Looking ulve-10g-nic=03:00.0, bridge0=02:00.0 bridge1=01:00.0 bridge2=00:01.0 \n"
       "\n"
       "10G NIC:Max Payload Size = (256/max-supported=256), Read Req Size=512\n"
       "\n"
       "Bridge0:Max Payload Size = (128/max-supported=1024), Read Req Size=512\n"
       "\n"
       "Bridge1:Max Payload Size = (512/max-supported=2048), Read Req Size=512\n"
       "\n"
       "Bridge2:Max Payload Size = (256/max-supported=4096), Read Req Size=512\n"},
      {"two switches",
       {"--switches", "2"},
       {},
       "Looking ulve-10g-nic=05:00.0, bridge0=04:00.0 bridge1=03:00.0 bridge2=02:00.0 bridge3=01:00.0 "
       "bridge4=00:01.0 \n\n" +
           NIC_PAYLOAD + "\n" + BRIDGE0_PAYLOAD + "\n" +
           "Bridge1:Max Payload Size = (128/max-supported=512), Read Req Size=512\n\n"
           "Bridge2:Max Payload Size = (128/max-supported=512), Read Req Size=512\n\n"
           "Bridge3:Max Payload Size = (128/max-supported=512), Read Req Size=512\n\n"
           "Bridge4:Max Payload Size = (128/max-supported=512), Read Req Size=512\n"},
      {"the second NIC",
       {"--nics", "2"},
       {"-b", "1"},
       "Looking ulve-10g-nic=02:00.0, bridge0=00:02.0 \n\n" + NIC_PAYLOAD + "\n" + BRIDGE0_PAYLOAD},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Result r = conf(c.host, c.args);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
}

TEST(UlvePcieConf, ANicWithoutAParentIsShownAloneAfterTheMessage) {
  Result r = conf({"--no-bridges"}, {"-e"});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out, "Looking ulve-10g-nic=00:01.0, \n\n" + NIC_PAYLOAD + QUIET_NIC);
  EXPECT_EQ(r.err, "No parent found for 00:01.0\n");
}

// ---- The error tables --------------------------------------------------------

// Every bit of every table set somewhere, and every enable and mask field
// set apart from its neighbours, on a NIC behind an E5000 root port.
const std::vector<std::string> ALL_ERRORS = {
    "--nic", "status=f900,devsta=f,aer-uncorr=1ff031,aer-corr=31c1", "--root-port",
    "id=8086:25e3,sec-status=f900,status=100,devsta=5,aer-uncorr=200010,aer-corr=41,aer-root=61,"
    "aer-source=03000100,chipset-errors=1fff:3ffff:1:20000"};
const std::string SET_ENABLES_AND_MASKS =
    "setpci -s 01:00.0 CAP_EXP+8.w=0x502b COMMAND=0x0100 && "
    "setpci -s 00:01.0 CAP_EXP+8.w=0x0004 CAP_EXP+1c.w=0x0005 BRIDGE_CONTROL=0x0002 108.l=0x1000 12c.l=0x6 "
    "148.l=0x10 14c.l=0x41 150.l=0x5 && ";

TEST(UlvePcieConf, ErrorTablesNameEachSetBitInTableOrder) {
  Result r = conf_script(ALL_ERRORS, SET_ENABLES_AND_MASKS + "$CONF -e -vv");
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, LOOKING +
                       "10G NIC:Max Payload Size = (256/max-supported=512), Read Req Size=4096\n"
                       "\tURRE=1,FERE=0,NFERE=1,CERE=1, serr_enable=1\n"
                       "\tPCI Status=0xf910\n"
                       "\t+rec-parity +t-abort +rcv-t-abort +m-abort +sig-serr +sig-parity \n"
                       "\tPCIe Status=0x000f\n"
                       "\t+corr +non-fatal +fatal +ur \n"
                       "\tAER_Uncorr=0x001ff031\n"
                       "\t+training +dl-proto +surprise-down +poisoned +fcpe +cpl-timeout +ca +unexp-cpl "
                       "+rcv-overflow +malformed-tlp +ecrc-error +ur \n"
                       "\tAER_Uncorr_Mask=0x00000000\n"
                       "\t\n"
                       "\tAER_Uncorr_Severity=0x00062030\n"
                       "\t+dl-proto +surprise-down +fcpe +rcv-overflow +malformed-tlp \n"
                       "\tAER_Corr=0x000031c1\n"
                       "\t+rcv-error +bad-tlp +bad-dllp +rollover +replay +advisory \n"
                       "\n"
                       "Bridge0:Max Payload Size = (128/max-supported=512), Read Req Size=128\n"
                       "\tURRE=0,FERE=1,NFERE=0,CERE=0, serr_enable=0\n"
                       "\troot system error on msg: fatal=1 , non-fatal=0, Corr=1\n"
                       "\tError forwarding=1\n"
                       "\tSecondary Status=0xf900\n"
                       "\t+rec-parity +t-abort +rcv-t-abort +m-abort +sig-serr +sig-parity \n"
                       "\tPCI Status=0x0110\n"
                       "\t+rec-parity \n"
                       "\tPCIe Status=0x0005\n"
                       "\t+corr +fatal \n"
                       "\tAER_Uncorr=0x00200010\n"
                       "\t+dl-proto \n"
                       "\tAER_Uncorr_Mask=0x00001000\n"
                       "\t+poisoned \n"
                       "\tAER_Uncorr_Severity=0x00062030\n"
                       "\t+dl-proto +surprise-down +fcpe +rcv-overflow +malformed-tlp \n"
                       "\tAER_Corr=0x00000041\n"
                       "\t+rcv-error +bad-tlp \n"
                       "\tAER Root interrupt on msg: fatal=1 , non-fatal=1, Corr=0\n"
                       "\tAER Root status=0x61\n"
                       "\t+corr +non-fatal +fatal \n"
                       "\tAER corr-req-id=0x0100 uncorrectable-req-id=0x0300\n"
                       "\tE5000_Uncorr_Detect_Mask=0x00000010\n"
                       "\tE5000_Corr_Detect_Mask=0x00000041\n"
                       "\t+rcv-error +bad-tlp \n"
                       "\tE5000_Msg_Detect_Mask=0x5, Fatal=1, Non-fatal=0, Corr=1\n"
                       "\tE5000_FIRST_FATAL_ERR=0x1fff\n"
                       "\t+dllp-proto +fatal-msg +ur-req +training +poisoned +fcpe +cpl-timeout +ca-abort "
                       "+unexp-cpl +rcv-overflow +malformed-tlp +esi-reset-timeout +surprise-down \n"
                       "\tE5000_FIRST_NONFATAL_CORR_ERR=0x3ffff\n"
                       "\t+dllp-proto +ur +training +poisoned +fcpe +cpl-timeout +ca +unexp-cpl +malformed-tlp "
                       "+rcv-overflow +non-fatal-msg +rcv-error +bad-tlp +bad-dllp +rollover +replay +corr-msg "
                       "+surprise-down \n"
                       "\tE5000_NEXT_FATAL_ERR=0x1\n"
                       "\t+dllp-proto \n"
                       "\tE5000_NEXT_NONFATAL_CORR_ERR=0x20000\n"
                       "\t+surprise-down \n");
}

// Without -v neither the masks, the root registers nor the chipset's are
// read; -v adds all but the chipset's, which take -vv.
TEST(UlvePcieConf, VerbosityAddsTheMasksAndRootRegistersThenTheChipsets) {
  Result quiet = conf(ALL_ERRORS, {"-e"});
  EXPECT_EQ(quiet.status, 0) << quiet;
  EXPECT_EQ(from_bridge0(quiet.out),
            "Bridge0:Max Payload Size = (128/max-supported=512), Read Req Size=512\n"
            "\tURRE=0,FERE=0,NFERE=0,CERE=0, serr_enable=0\n"
            "\tSecondary Status=0xf900\n"
            "\t+rec-parity +t-abort +rcv-t-abort +m-abort +sig-serr +sig-parity \n"
            "\tPCI Status=0x0110\n"
            "\t+rec-parity \n"
            "\tPCIe Status=0x0005\n"
            "\t+corr +fatal \n"
            "\tAER_Uncorr=0x00200010\n"
            "\t+dl-proto \n"
            "\tAER_Corr=0x00000041\n"
            "\t+rcv-error +bad-tlp \n");

  Result verbose = conf(ALL_ERRORS, {"-e", "-v"});
  EXPECT_EQ(verbose.status, 0) << verbose;
  for (const char *line : {"\troot system error on msg:", "\tError forwarding=0\n", "\tAER_Uncorr_Mask=",
                           "\tAER_Uncorr_Severity=", "\tAER Root status=0x61\n", "\tAER corr-req-id="})
    EXPECT_THAT(verbose.out, HasSubstr(line));
  EXPECT_THAT(verbose.out, Not(HasSubstr("E5000")));
}

// -c shows what -e shows and writes each status register back with the
// value it read: what was shown is cleared, what was not shown (the root
// status without -v, the chipset's registers without -vv) stays.
TEST(UlvePcieConf, ClearingWritesBackExactlyWhatWasShown) {
  const std::string registers =
      "setpci -s 01:00.0 STATUS CAP_EXP+a.w 104.l 110.l && "
      "setpci -s 00:01.0 STATUS SEC_STATUS CAP_EXP+a.w 104.l 110.l 130.l 154.l 158.l 15c.l 160.l";
  Result shown = conf(ALL_ERRORS, {"-e"});
  ASSERT_EQ(shown.status, 0) << shown;

  Result r = conf_script(ALL_ERRORS, "$CONF -c && echo -- && " + registers + " && $CONF -c -vv >/dev/null && echo -- && " +
                                         registers);
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, shown.out +
                       "--\n"
                       "0010\n0000\n00000000\n00000000\n"
                       "0010\n0000\n0000\n00000000\n00000000\n00000061\n00001fff\n0003ffff\n00000001\n00020000\n"
                       "--\n"
                       "0010\n0000\n00000000\n00000000\n"
                       "0010\n0000\n0000\n00000000\n00000000\n00000000\n00000000\n00000000\n00000000\n00000000\n");
}

// Chipsets that keep their AER registers off the list: -N finds them, and
// without it the message suggests -N for those chipsets only.
TEST(UlvePcieConf, HiddenAerPositionsAndDevicesWithoutAer) {
  const std::string head = "Bridge0:Max Payload Size = (128/max-supported=512), Read Req Size=512\n"
                           "\tURRE=0,FERE=0,NFERE=0,CERE=0, serr_enable=0\n"
                           "\tSecondary Status=0x0\n"
                           "\t\n"
                           "\tPCI Status=0x0010\n"
                           "\t\n"
                           "\tPCIe Status=0x0000\n"
                           "\t\n";
  const std::string poisoned = "\tAER_Uncorr=0x00001000\n\t+poisoned \n\tAER_Corr=0x00000000\n\t\n";
  struct Case {
    const char *what;
    std::string items;
    std::vector<std::string> args;
    std::string tail;
  } cases[] = {
      {"Intel's hidden one without -N", "id=8086:2779,hidden-aer,aer-uncorr=1000", {"-e"},
       "\tDevice has no AER capability (try -N ?)\n"},
      {"Intel's hidden one at 1c0", "id=8086:277a,hidden-aer,aer-uncorr=1000", {"-e", "-N"}, poisoned},
      {"another Intel id at 1c0", "id=8086:277d,hidden-aer,aer-uncorr=1000", {"-e", "-N"}, poisoned},
      {"NVIDIA's at 160", "id=10de:0370,hidden-aer,aer-uncorr=1000", {"-e", "-N"}, poisoned},
      {"NVIDIA's without -N", "id=10de:0370,hidden-aer", {"-e"}, "\tDevice has no AER capability (try -N ?)\n"},
      {"a listed one needs no -N", "id=8086:2779,aer-uncorr=1000", {"-e"}, poisoned},
      {"none on another chipset", "no-aer", {"-e", "-N"}, "\tDevice has no AER capability\n"},
      {"the extended space out of reach", "short-config", {"-e"}, "\tAER not readable (try -E?)\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Result r = conf({"--root-port", c.items}, c.args);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(from_bridge0(r.out), head + c.tail);
    EXPECT_EQ(r.out.substr(0, LOOKING.size() + NIC_PAYLOAD.size()), LOOKING + NIC_PAYLOAD);
  }
}

// ---- Setting the payload ------------------------------------------------------

TEST(UlvePcieConf, PayloadIsSetOnEveryDeviceOnlyWhenEachSupportsIt) {
  const std::vector<std::string> nic512_behind256 = {"--nic", "payload=512", "--root-port", "payload=256"};
  const std::string shown = LOOKING + NIC_PAYLOAD + "\n" +
                            "Bridge0:Max Payload Size = (128/max-supported=256), Read Req Size=512\n";
  const std::string device_controls = "setpci -s 01:00.0 CAP_EXP+8.w && setpci -s 00:01.0 CAP_EXP+8.w";
  struct Case {
    const char *what;
    std::string value;
    int status;
    std::string out, err;
  } cases[] = {
      {"256: the bridge supports it", "256", 0,
       shown +
           "Updating max payload to 256\n"
           "Rereading\n"
           "10G NIC:Max Payload Size = (256/max-supported=512), Read Req Size=512\n"
           "Bridge0:Max Payload Size = (256/max-supported=256), Read Req Size=512\n"
           "2830\n2020\n",
       ""},
      {"512: the bridge does not", "512", 1, shown + "2810\n2000\n", "Invalid payload value: 512\n"},
      {"100: not a power of two", "100", 1, shown + "2810\n2000\n", "Invalid payload value: 100\n"},
      {"64: below 128", "64", 1, shown + "2810\n2000\n", "Invalid payload value: 64\n"},
      {"-128", "-128", 1, shown + "2810\n2000\n", "Invalid payload value: -128\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Result r = conf_script(nic512_behind256, "$CONF -p " + c.value + "; s=$?; " + device_controls + "; exit $s");
    EXPECT_EQ(r.status, c.status) << r;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }

  // Through a switch: every bridge, nearest first, and the NIC.
  Result r = conf_script({"--switches", "1"},
                         "$CONF -p 512 >/dev/null && for d in 03:00.0 02:00.0 01:00.0 00:01.0; do setpci -s $d "
                         "CAP_EXP+8.w; done");
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out, "2850\n2040\n2040\n2040\n");
}

// ---- The NIC's own registers ---------------------------------------------------

// The credit words are the NIC's special registers, read through its debug
// window. 0x41004010: an init1 word whose header and data credits are both
// infinite (fields 0 and 0x10, the data credits shown times 4).
TEST(UlvePcieConf, FlowControlCreditsOfTheNic) {
  struct Case {
    std::string items, lines;
  } cases[] = {
      {"fc=41004010:80200001:c0ffffff",
       "\tPosted: fc-init1, hdr=Inf-0 data=Inf-64\n"
       "\tNon-Posted: fc-update, hdr=32 data=4\n"
       "\tCpl: fc-init2, hdr=255 data=Inf-65532\n"},
      {"fc=0:3fffffff:8100000a",
       "\tPosted: unknown, hdr=0 data=0\n"
       "\tNon-Posted: unknown, hdr=Inf-255 data=Inf-65532\n"
       "\tCpl: fc-update, hdr=Inf-0 data=40\n"},
      {"device=5e0a",
       "\tPosted: fc-update, hdr=32 data=1024\n"
       "\tNon-Posted: fc-update, hdr=32 data=4\n"
       "\tCpl: fc-update, hdr=Inf-0 data=Inf-0\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.items);
    Result r = conf({"--nic", c.items}, {"-f"});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, LOOKING + NIC_PAYLOAD + "\n" + BRIDGE0_PAYLOAD + "FC info:\n" + c.lines);
    EXPECT_EQ(r.err, "");
  }
}

TEST(UlvePcieConf, CompletionTimeoutOfAVersionTwoCapability) {
  struct Case {
    std::string items, setup, lines;
  } cases[] = {
      {"device=5e0a", "", "PCIE Cap Version = 2\n\tCPL Timeout:  val=0x0 (range_cap=0xf), disabled=0 (disable_cap=1)\n"},
      {"device=5e0a", "setpci -s 01:00.0 CAP_EXP+28.w=0x15 && ",
       "PCIE Cap Version = 2\n\tCPL Timeout:  val=0x5 (range_cap=0xf), disabled=1 (disable_cap=1)\n"},
      {"pcie-version=1", "", "PCIE Cap Version = 1\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.items + " " + c.setup);
    Result r = conf_script({"--nic", c.items}, c.setup + "$CONF -t");
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, LOOKING + NIC_PAYLOAD + "\n" + BRIDGE0_PAYLOAD + c.lines);
    EXPECT_EQ(r.err, "");
  }
}

// ---- 2G cards ----------------------------------------------------------------------

// No PCI Express register is read: no payload line, no PCIe or AER status,
// and only the nearest bridge.
TEST(UlvePcieConf, TwoGigabitModeLooksAtTheNearestBridgeWithoutPcieRegisters) {
  Result r = conf({"--nic", "device=4c3d,rev=4,status=4000", "--switches", "1", "--switch-down", "sec-status=800"},
                  {"-x", "-e"});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "Looking ulve-10g-nic=03:00.0, bridge0=02:00.0 \n"
            "\tURRE=0,FERE=0,NFERE=0,CERE=0, serr_enable=0\n"
            "\tPCI Status=0x4010\n"
            "\t+sig-serr \n"
            "\n"
            "\tURRE=0,FERE=0,NFERE=0,CERE=0, serr_enable=0\n"
            "\tSecondary Status=0x800\n"
            "\t+t-abort \n"
            "\tPCI Status=0x0010\n"
            "\t\n");

  // The payload and the completion timeout have no registers to go to:
  // refused before anything is touched.
  for (const char *args : {"-x -p 256", "-x -t"}) {
    SCOPED_TRACE(args);
    Result refused = conf_script({"--nic", "device=4c3d,rev=4"},
                                 std::string("$CONF ") + args + "; s=$?; setpci -s 01:00.0 40.l; exit $s");
    EXPECT_EQ(refused.status, 1) << refused;
    EXPECT_EQ(refused.out, "40000000\n") << "the running card's control word, untouched";
    EXPECT_EQ(refused.err, std::string(args).substr(3, 2) +
                               " cannot be used with -x: 2G cards have no PCIe registers to look at\n");
  }
}

// ---- Refusals and failures -----------------------------------------------------

// A bridge without the capability stops the inspector before any register
// is shown or changed: -c and -p leave everything as it was.
TEST(UlvePcieConf, ADeviceWithoutThePcieCapabilityStopsItBeforeAnythingIsTouched) {
  Result r = conf_script({"--nic", "status=f900", "--root-port", "no-pcie,status=f900"},
                         "$CONF -c -p 256; s=$?; setpci -s 01:00.0 STATUS CAP_EXP+8.w && setpci -s 00:01.0 STATUS; "
                         "exit $s");
  EXPECT_EQ(r.status, 1) << r;
  EXPECT_EQ(r.out, "Looking ulve-10g-nic=01:00.0, bridge0=00:01.0 \nf910\n2810\nf900\n");
  EXPECT_THAT(r.err, MatchesRegex(error_from("ulve-pcie-conf.cpp", "00:01.0 has no PCI Express capability: nothing done") +
                                  "\n"));
}

// The virtual host serves /dev/mem through pread and pwrite only: the
// memory-mapped method's mapping of the configuration window fails there,
// with the library's message.
TEST(UlvePcieConf, MemoryMappedMethodStopsWhereDevMemCannotBeMapped) {
  Result r = conf({}, {"-E", "-e"});
  EXPECT_EQ(r.status, 1) << r;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "mapping /dev/mem(e0000000,268435456) failed:19:No such device\n");
}

TEST(UlvePcieConf, UsageAndFailuresToOpen) {
  struct Case {
    const char *what;
    std::vector<std::string> host, args;
    std::string err;
  } cases[] = {
      {"-h", {}, {"-h"}, literal(USAGE)},
      {"an unknown option", {}, {"-q"}, literal(USAGE)},
      {"a missing value", {}, {"-p"}, literal(USAGE)},
      {"no such unit", {}, {"-b", "1"}, "FATAL ERROR:trying to open Ulvelink board instance 1: NOT FOUND\n"},
      {"-f without the debug window", {"--nic", "no-vs"}, {"-f"},
       error_from("uba_kram.h", "Cannot handle card with vendor cap=0x0\n") + "\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Result r = conf(c.host, c.args);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, MatchesRegex(c.err));
  }
}

}  // namespace
