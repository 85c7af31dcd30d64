// The virtual host's bridges as a command sees them: the chain of parents
// above each NIC, standard tools decoding every bridge, a link taken down
// and brought back from inside, and simhost's bridge options.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "program_run.h"

namespace {

using program_run::Result;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::MatchesRegex;

const std::string SIMHOST = SIMHOST_PATH, PROBE = HOST_PROBE_PATH;
const std::string USAGE_HINT =
    "Usage: simhost [OPTION]... [--] COMMAND [ARG]...\nTry 'simhost --help' for more information.\n";

Result simhost(std::vector<std::string> args) {
  args.insert(args.begin(), SIMHOST);
  return program_run::run(args);
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

TEST(VirtualHostBridges, TheLibraryFindsEachNicBelowItsChainOfBridges) {
  struct Case {
    std::vector<std::string> options;
    std::string listing;
  } cases[] = {
      {{"--switches", "1", "--nics", "2"},
       "00:00.0 8086:0d57 parent=-\n"
       "00:01.0 8086:1901 parent=-\n"
       "00:02.0 8086:1901 parent=-\n"
       "00:1f.0 8086:100e parent=-\n"
       "01:00.0 10b5:8624 parent=00:01.0\n"
       "02:00.0 10b5:8624 parent=01:00.0\n"
       "03:00.0 1f5c:5e0a parent=02:00.0\n"
       "04:00.0 10b5:8624 parent=00:02.0\n"
       "05:00.0 10b5:8624 parent=04:00.0\n"
       "06:00.0 1f5c:5e0a parent=05:00.0\n"},
      {{"--switches", "1", "--root-port", "id=8086:25e3", "--switch-up", "id=10de:0370", "--switch-down",
        "id=8086:2779", "--no-other-device"},
       "00:00.0 8086:0d57 parent=-\n"
       "00:01.0 8086:25e3 parent=-\n"
       "01:00.0 10de:0370 parent=00:01.0\n"
       "02:00.0 8086:2779 parent=01:00.0\n"
       "03:00.0 1f5c:5e0a parent=02:00.0\n"},
      {{"--no-bridges", "--nics", "2"},
       "00:00.0 8086:0d57 parent=-\n"
       "00:01.0 1f5c:5e0a parent=-\n"
       "00:02.0 1f5c:5e0a parent=-\n"
       "00:1f.0 8086:100e parent=-\n"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"--", PROBE, "scan"});
    Result r = simhost(args);
    SCOPED_TRACE(r);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.listing);
  }
}

// Every kind of bridge the options make, decoded by lspci without a
// complaint.
TEST(VirtualHostBridges, StandardToolsDecodeEveryBridge) {
  const std::vector<std::vector<std::string>> hosts = {
      {"--switches", "1", "--root-port", "id=8086:25e3,aer-root=61,status=100", "--switch-up", "pcie-version=1",
       "--switch-down", "id=10de:0370,hidden-aer,aer-uncorr=1000"},
      {"--switches", "1", "--root-port", "short-config", "--switch-up", "no-pcie", "--switch-down", "no-aer"},
  };
  for (const auto &options : hosts) {
    std::vector<std::string> args = options;
    args.insert(args.end(), {"--", "lspci", "-vvv"});
    Result r = simhost(args);
    ASSERT_EQ(r.status, 0) << r;
    std::vector<std::string> complaints;
    for (const std::string &line : lines(r.out)) {
      if (line.find("Vendor Specific Information: Len=1c <?>") != std::string::npos) continue;
      for (const char *complaint : {"<BAD", "<unavailable>", "Unknown", "unreadable", "!!!", "<?>", "access denied"})
        if (line.find(complaint) != std::string::npos) complaints.push_back(line);
    }
    EXPECT_THAT(complaints, IsEmpty());
    EXPECT_THAT(r.out, HasSubstr("Express (v2) Downstream Port (Slot+)"));
  }

  Result tree = simhost({"--switches", "2", "--", "lspci", "-t"});
  EXPECT_EQ(tree.status, 0);
  EXPECT_EQ(tree.out,
            "-[0000:00]-+-00.0\n"
            "           +-01.0-[01-05]----00.0-[02-05]----00.0-[03-05]----00.0-[04-05]----00.0-[05]----00.0\n"
            "           \\-1f.0\n");
}

// From inside the host: link disable on the root port takes the NIC away
// (all ones, Data Link Layer Link Active gone), clearing it brings the NIC
// back reset, as its message log tells, answering once its restart is over.
TEST(VirtualHostBridges, ALinkTakenDownAndBackResetsTheNic) {
  Result r = simhost({"--nic", "log=0", "--", "sh", "-c",
                      "setpci -s 00:01.0 CAP_EXP+10.w=0x10 && setpci -s 01:00.0 0.l COMMAND && "
                      "setpci -s 00:01.0 CAP_EXP+12.w CAP_EXP+1a.w && setpci -s 00:01.0 CAP_EXP+10.w=0 && sleep 0.2 && "
                      "setpci -s 01:00.0 0.l && setpci -s 00:01.0 CAP_EXP+12.w && \"$0\" wait-log 'ucp: reset'",
                      PROBE});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_THAT(r.out, testing::StartsWith("ffffffff\nffff\n1081\n0100\n5e0a1f5c\n3081\n"));
  EXPECT_EQ(r.err, "");
}

TEST(VirtualHostBridges, StatsNameEachNicWhereItSits) {
  struct Case {
    std::vector<std::string> options;
    const char *at;
  } cases[] = {{{"--no-bridges"}, "0000:00:01.0"}, {{"--switches", "1"}, "0000:03:00.0"}};
  for (const Case &c : cases) {
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"--stats", "true"});
    Result r = simhost(args);
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_THAT(r.err, MatchesRegex(std::string("simhost: NIC 0 at ") + c.at +
                                    ": [0-9]+ configuration reads, [0-9]+ writes\n"));
  }
}

TEST(VirtualHostBridges, BridgeOptionsAreCheckedAsOptionsThenByTheModel) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--switches", "128", "true"}, "--switches: '128' is not a number from 0 to 127"},
      {{"--root-port", "turbo", "true"}, "--root-port: turbo: unknown item"},
      {{"--switches", "1", "--switch-down", "aer-corr=2", "true"},
       "--switch-down: aer-corr=2: expected bits in hex among 31c1"},
      {{"--no-bridges", "--switches", "1", "true"}, "--no-bridges leaves no bridge to describe"},
      {{"--no-bridges", "--root-port", "no-aer", "true"}, "--no-bridges leaves no bridge to describe"},
      {{"--switch-up", "no-aer", "true"}, "--switch-up and --switch-down describe the switches of --switches"},
  };
  for (const Case &c : cases) {
    Result r = simhost(c.args);
    SCOPED_TRACE(r);
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.err, "simhost: " + c.message + "\n" + USAGE_HINT);
    EXPECT_EQ(r.out, "");
  }

  struct Refusal {
    std::vector<std::string> args;
    std::string message;
  } refusals[] = {
      {{"--root-port", "hidden-aer", "true"},
       "a root port: only Intel 2779, 277a, 277d and NVIDIA (10de) bridges hide their AER capability"},
      {{"--switches", "1", "--switch-up", "aer-root=1", "true"},
       "an upstream switch port: only a root port has the AER root error status and source"},
      {{"--root-port", "chipset-errors=1:0:0:0", "true"},
       "a root port: only Intel 25e2-25e7 and 25f7-25fa have the E5000 error registers"},
      {{"--nics", "2", "--switches", "127", "true"}, "the boards and their switches need more than 255 buses"},
  };
  for (const Refusal &c : refusals) {
    Result r = simhost(c.args);
    SCOPED_TRACE(r);
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.err, "simhost: cannot model the host: " + c.message + "\n");
  }

  Result help = simhost({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("BITEMS is a comma-separated list of:\n"));
  EXPECT_THAT(help.out, HasSubstr("  chipset-errors=FF:FN:NF:NN"));
}

}  // namespace
