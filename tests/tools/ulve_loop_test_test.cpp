// ulve_loop_test run whole: its option errors, the IP mode over this host's
// loopback, and the raw mode through a veth pair in a network namespace of
// the test's own, with simreflect sending the frames back from the far end
// (faithfully, or spoiling one frame or the path the way a faulty loopback
// would).

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "program_run.h"

using program_run::error_from;
using program_run::literal;
using program_run::Process;
using program_run::Result;
using program_run::run;
using testing::HasSubstr;

namespace {

constexpr auto LIMIT = std::chrono::seconds(30);

const std::string USAGE =
    "usage: \n ulve_loop_test <options>  : test a network loopback configuration\n"
    "\t -d <ip>       : <target-ip> to exercise ip-loopback (requires ulve10ge_iprev=1)\n"
    "\t -m <mac-addr> : <mac-addr> to exercise loopback with raw-socket\n"
    "\t -l <test-length> : length of the test in seconds (default 10s)\n";

const std::string FRAME_INDEX_CHECK =
    literal("check failed: n >= 4 && frame_index(rbuf + iter_bytes) == iter_bytes / FRAME_BYTES\n");

std::vector<std::string> loop_test(std::vector<std::string> args) {
  args.insert(args.begin(), ULVE_LOOP_TEST_PATH);
  return args;
}

// A "[PASS]" line taken apart; `ok` when the line has the documented form.
struct Pass {
  bool ok = false;
  long long iters = 0, mb = 0, sec = 0;
  double gbps = 0;
};

Pass parse_pass(const std::string &line) {
  Pass p;
  if (!testing::Matches(testing::MatchesRegex(
          R"(\[PASS\] [0-9]+ iters, [0-9]+ MB, [0-9]+ sec, [0-9]+\.[0-9]{3} Gb/s)" "\n"))(line))
    return p;
  p.ok = sscanf(line.c_str(), "[PASS] %lld iters, %lld MB, %lld sec, %lf Gb/s", &p.iters, &p.mb, &p.sec, &p.gbps) == 4;
  return p;
}

// The figures of a passing run of `seconds` with chunks of `chunk` bytes
// agree with each other: every chunk came back whole, and the rate is the
// bytes over a time of at least the test length.
void expect_consistent(const Pass &p, long long chunk, long long seconds) {
  ASSERT_TRUE(p.ok);
  EXPECT_GE(p.iters, 2);
  EXPECT_EQ(p.mb, p.iters * chunk / 1000000);
  EXPECT_GE(p.sec, seconds);
  EXPECT_GT(p.gbps, 0);
  EXPECT_LE(p.gbps, (p.mb + 1) * 0.008 / seconds);
}

// -------------------------------------------------------------------------
// Options
// -------------------------------------------------------------------------

TEST(LoopTestOptions, RefusedCommandLinesPrintTheUsageText) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"-t", "1"},                             // no mode
      {"-i", "lo"},                            // an interface is not a mode
      {"-m", "02:00:00:00:01"},                // five fields
      {"-m", "02:00:00:00:00:100"},            // a field wider than a byte
      {"-l", "5"},                             // the usage text names it, yet it is not an option
      {"-d"},                                  // missing value
      {"-d", "127.0.0.1", "-x"},
  };
  for (const auto &args : cases) {
    Result r = run(loop_test(args), LIMIT);
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, USAGE);
  }
}

TEST(LoopTestOptions, ValuesThatCannotBeHonouredStopBeforeAnyTraffic) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      // strtoul takes -1 for the largest number: no test of that length.
      {{"-d", "127.0.0.1", "-t", "-1"}, "test length -1 out of range\n"},
      {{"-d", "127.0.0.1", "-t", "4294967296"}, "test length 4294967296 out of range\n"},
      // Cut to nine characters it would name another interface.
      {{"-i", "abcdefghij", "-m", "02:00:00:00:00:01"}, "interface name abcdefghij longer than 9 characters\n"},
  };
  for (const Case &c : cases) {
    Result r = run(loop_test(c.args), LIMIT);
    SCOPED_TRACE(c.message);
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, testing::MatchesRegex(error_from("ulve_loop_test.cpp", c.message)));
  }
}

// -------------------------------------------------------------------------
// IP mode over this host's loopback
// -------------------------------------------------------------------------

TEST(LoopTestIp, OneSecondOverLoopbackPassesWithEveryChunkBack) {
  // A later -d overrides an earlier -m, with the IP mode's chunk size.
  for (const auto &args : {std::vector<std::string>{"-d", "127.0.0.1", "-t", "1"},
                           std::vector<std::string>{"-m", "02:00:00:00:00:01", "-d", "127.0.0.1", "-t", "1"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    Result r = run(loop_test(args), LIMIT);
    ASSERT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.err, "");
    const std::string start = "IP loopback test for 1 seconds:\n";
    ASSERT_EQ(r.out.substr(0, start.size()), start) << r;
    expect_consistent(parse_pass(r.out.substr(start.size())), 100000, 1);
  }
}

TEST(LoopTestIp, FewerThanTwoIterationsFail) {
  Result r = run(loop_test({"-d", "127.0.0.1", "-t", "0"}), LIMIT);
  EXPECT_EQ(r.status, 1) << r;
  EXPECT_EQ(r.out, "IP loopback test for 0 seconds:\n");
  EXPECT_THAT(r.err, testing::MatchesRegex(error_from("ulve_loop_test.cpp", "Only 0 iterations completed\n\n")));
}

// -------------------------------------------------------------------------
// Raw mode through a veth pair
// -------------------------------------------------------------------------

// A network namespace of this test with lo up and a veth pair lt0 (near,
// 02:00:00:00:00:0a, with an IPv4 address: the interface list the tool
// reads shows only such interfaces) and lt1 (far, 02:00:00:00:00:0b), MTU
// 9000, both up. Removed with everything in it at the end.
class RawLoop : public testing::Test {
 protected:
  static constexpr const char *NEAR_MAC = "02:00:00:00:00:0a";

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    static std::atomic<int> serial{0};
    ns_ = "ulve_loop_" + std::to_string(getpid()) + "_" + std::to_string(serial++);
    Result made = run({"ip", "netns", "add", ns_}, LIMIT);
    if (made.status != 0) {
      ns_.clear();
      GTEST_SKIP() << "cannot make a network namespace: " << made;
    }
    Result veth = ip({"link", "add", "lt0", "address", NEAR_MAC, "mtu", "9000", "type", "veth", "peer", "name", "lt1",
                      "address", "02:00:00:00:00:0b", "mtu", "9000"});
    if (veth.status != 0) GTEST_SKIP() << "cannot make a veth pair: " << veth;
    for (const std::vector<std::string> &step :
         {std::vector<std::string>{"link", "set", "lo", "up"}, {"link", "set", "lt0", "up"},
          {"link", "set", "lt1", "up"}, {"addr", "add", "10.199.0.1/24", "dev", "lt0"}})
      ASSERT_EQ(ip(step).status, 0) << testing::PrintToString(step);
  }

  void TearDown() override {
    if (reflector_) stop_reflector();
    if (!ns_.empty()) run({"ip", "netns", "del", ns_}, LIMIT);
  }

  Result ip(std::vector<std::string> args) {
    args.insert(args.begin(), {"ip", "-n", ns_});
    return run(args, LIMIT);
  }

  std::vector<std::string> inside(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"ip", "netns", "exec", ns_});
    return argv;
  }

  // simreflect on lt1 with `options`, once it answers.
  void start_reflector(std::vector<std::string> options = {}) {
    options.insert(options.begin(), SIMREFLECT_PATH);
    options.push_back("lt1");
    reflector_ = std::make_unique<Process>(inside(options));
    ASSERT_TRUE(reflector_->wait_for(
        [](const std::string &out, const std::string &) { return out.find("reflecting") != std::string::npos; },
        std::chrono::seconds(10)))
        << reflector_->err();
  }

  // Stops the reflector as a user would; it ends cleanly with its counts.
  // The frames it received, or -1.
  long long stop_reflector() {
    kill(reflector_->pid(), SIGTERM);
    Result r = reflector_->wait(std::chrono::seconds(10));
    reflector_.reset();
    EXPECT_EQ(r.status, 0) << r;
    long long received = -1, sent = -1;
    if (!testing::Matches(testing::MatchesRegex("simreflect: [0-9]+ frames received, [0-9]+ sent back\n"))(r.err) ||
        sscanf(r.err.c_str(), "simreflect: %lld frames received, %lld sent back", &received, &sent) != 2) {
      ADD_FAILURE() << r;
      return -1;
    }
    return received;
  }

  Result loop(std::vector<std::string> args) { return run(inside(loop_test(std::move(args))), LIMIT); }

  std::string ns_;
  std::unique_ptr<Process> reflector_;
};

TEST_F(RawLoop, PassesWithEightFramesPerChunk) {
  start_reflector();
  Result r = loop({"-m", NEAR_MAC, "-t", "1"});
  long long frames = stop_reflector();
  ASSERT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.err, "");
  const std::string start = "Raw loopback test for 1 seconds:\n";
  ASSERT_EQ(r.out.substr(0, start.size()), start) << r;
  Pass p = parse_pass(r.out.substr(start.size()));
  expect_consistent(p, 64000, 1);
  EXPECT_EQ(frames, 8 * p.iters);
}

TEST_F(RawLoop, InterfaceByNameTellsWhatItPassesOver) {
  start_reflector();
  Result r = loop({"-i", "lt0", "-m", "02:00:00:00:00:01", "-t", "1"});
  ASSERT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.err, "");
  const std::string start = "Ignoreing lo\nRaw loopback test for 1 seconds:\n";
  ASSERT_EQ(r.out.substr(0, start.size()), start) << r;
  expect_consistent(parse_pass(r.out.substr(start.size())), 64000, 1);
}

// What a faulty path does to the run: each fault is found by the check meant
// for it, and the run fails.
TEST_F(RawLoop, AFaultyPathFailsTheRunWithTheCheckThatFindsIt) {
  struct Case {
    std::vector<std::string> reflector;
    std::string error;  // a regular expression for what follows the location
  } cases[] = {
      // A byte past the frame index: the data comparison at the end.
      {{"--corrupt=3"}, "Found corrupted data, iter [0-9]+/[0-9]+\n\n"},
      // Frame 24 is the first of chunk 3. The pause at frame 16 (chunk 2)
      // holds the sender past the test length after its fifth chunk, so
      // chunk 3 is one of the last two received, which were never sent on:
      // only the comparison of what came back last finds it.
      {{"--pause=16:2000", "--corrupt=24"}, "Found corrupted data, iter 3/5\n\n"},
      // A frame out of its place: the frame index.
      {{"--reorder=3"}, FRAME_INDEX_CHECK},
      {{"--drop=3"}, FRAME_INDEX_CHECK},
      // No answer: the chunk wait, after 12 chunks and 4 frames.
      {{"--silent-after=100"}, "Timed-out waiting for chunk completion\n\t rcvd=800000\n\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.reflector));
    start_reflector(c.reflector);
    Result r = loop({"-i", "lt0", "-m", NEAR_MAC, "-t", "1"});
    stop_reflector();
    EXPECT_EQ(r.status, 1) << r;
    EXPECT_EQ(r.out, "Ignoreing lo\nRaw loopback test for 1 seconds:\n");
    EXPECT_THAT(r.err, testing::MatchesRegex(error_from("ulve_loop_test.cpp", c.error)));
  }
}

TEST_F(RawLoop, NoInterfaceWithTheMacStopsBeforeAnyTraffic) {
  Result r = loop({"-m", "02:00:00:00:00:99", "-t", "1"});
  EXPECT_EQ(r.status, 1) << r;
  EXPECT_EQ(r.out, "");
  EXPECT_THAT(r.err, testing::MatchesRegex(error_from("ulve_loop_test.cpp", "No interface for mac addr\n")));
}

TEST_F(RawLoop, APathWithoutJumboFramesStopsAtTheFirstSend) {
  ASSERT_EQ(ip({"link", "set", "lt0", "mtu", "1500"}).status, 0);
  Result r = loop({"-m", NEAR_MAC, "-t", "1"});
  EXPECT_EQ(r.status, 1) << r;
  EXPECT_EQ(r.out, "Raw loopback test for 1 seconds:\n");
  const std::string message = literal("sendto():raw:90:Message too long\n\n");
  EXPECT_THAT(r.err, testing::MatchesRegex(error_from("ulve_loop_test.cpp", message)));
}

}  // namespace
