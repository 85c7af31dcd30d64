// kmesg run whole on the virtual host: the ring in each state it can be in,
// the header's read count, clearing, the native buffer, a saved SRAM image,
// and following the log while the modeled firmware writes to it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tools_fixture.h"

using namespace tools_test;
using testing::MatchesRegex;

namespace {

const std::string USAGE =
    "usage: kmesg [ -r<rabbit> | -b<unit>] [ -c ] [ -s ]\n"
    "\t  -r<rabbit>  get message log using rabbit at IP <rabbit>\n"
    "\t  -b<unit>    get message log using using PIO from NIC <unit> (default=0)\n"
    "\t  -f<file>    get message log from <file> (sramgrab for instance)\n"
    "\t  -c          clear the message log\n"
    "\t  -m          look at a native QN print buffer instead of kaviZ ext zone\n"
    "\t  -n          only use conf-space access, no MMIO\n"
    "\t  -s          get all messages (even those already seen)\n"
    "\t  -w          loop waiting for new data\n"
    "\t  -2          with -r: rabbit is plugged to a kavi 2Z\n"
    "\t  -d          dry-run: don't mark the messages as read\n"
    "\t  -z          only z cards\n"
    "\t  -x          only x cards\n"
    "\t  -v          verbose (print time)\n";

const std::string ASSUMING = "Assuming print buf at offset 0x1dc800, meta at 0x1de9e8\n";
const std::string ADDED_NEWLINE = "\n\\ kmesg added missing newline\n";

// Bytes [from, to) of the log stream the model presets.
std::string stream(uint32_t from, uint32_t to) {
  std::string s;
  for (uint32_t n = from; n != to; n++) s += (char)sim::log_stream_byte(n);
  return s;
}

std::string preset(uint32_t written, uint32_t read) {
  char items[64];
  snprintf(items, sizeof items, "log=0x%x:0x%x", written, read);
  return items;
}

// kmesg with `args`, then the header's read count as pokemem prints it.
struct KmesgRun {
  Result result;
  std::string read_after;
};
KmesgRun kmesg_then_read_count(const std::string &items, const std::string &args) {
  Scratch dir;
  Result r = script_on_card(items, "$KMESG " + args + "; s=$?; $POKEMEM -qn -b 0 0x1de9f8.l > $D/r; exit $s", dir);
  return {r, read_text(dir / "r")};
}

// The ring in every state: the bytes shown, what is reported lost, and
// where the read count ends up.
TEST(Kmesg, ShowsWhatArrivedSinceTheLastReadInEveryStateOfTheRing) {
  struct Case {
    const char *what;
    uint32_t written, read;
    std::string args, out, err, read_after;
  } cases[] = {
      {"nothing new", 0x10000, 0x10000, "", "", ASSUMING, "0x10000\n"},
      {"sixteen new bytes at the ring's start", 0x10010, 0x10000, "", stream(0x10000, 0x10010) + ADDED_NEWLINE,
       ASSUMING, "0x10010\n"},
      {"a read that wraps", 8292, 100, "", stream(100, 8292) + ADDED_NEWLINE, ASSUMING, "0x2064\n"},
      {"an overrun", 10000, 1000, "", stream(1808, 10000) + ADDED_NEWLINE,
       ASSUMING + "\n\n** 808 characters lost ***\n\n", "0x2710\n"},
      {"-s with everything still in the ring", 5000, 5000, "-s", stream(0, 5000) + ADDED_NEWLINE, ASSUMING,
       "0x1388\n"},
      {"-s after the ring went round", 20000, 20000, "-s", stream(20000 - 8192, 20000), ASSUMING, "0x4e20\n"},
      {"-d leaves the read count", 0x10010, 0x10000, "-d", stream(0x10000, 0x10010) + ADDED_NEWLINE, ASSUMING,
       "0x10000\n"},
      {"-N through the mapped BAR0", 0x10010, 0x10000, "-N", stream(0x10000, 0x10010) + ADDED_NEWLINE, ASSUMING,
       "0x10010\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    KmesgRun run = kmesg_then_read_count(preset(c.written, c.read), c.args);
    EXPECT_EQ(run.result.status, 0) << run.result;
    EXPECT_TRUE(SameBytes(bytes_of(run.result.out), bytes_of(c.out)));
    EXPECT_EQ(run.result.err, c.err);
    EXPECT_EQ(run.read_after, c.read_after);
  }
}

TEST(Kmesg, VerboseTellsTheCardsTime) {
  Result r = on_card(preset(64, 64), {KMESG, "-v"});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_THAT(r.err, MatchesRegex(ASSUMING + "Current time: usecs=[0-9]+\\.[0-9]{6}\n"));
}

TEST(Kmesg, SecondChipHeader) {
  Result r = on_card("log-at=0x1d69e8," + preset(64, 0), {KMESG, "-2"});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out, stream(0, 64));
  EXPECT_EQ(r.err, "Assuming print buf at offset 0x1d4800, meta at 0x1d69e8\n");
}

// Clearing zeroes the header, which the firmware rewrites only at its next
// boot: until then the magic is bad. It needs memory-mapped access.
TEST(Kmesg, ClearingZeroesTheHeaderThroughTheMappedBar) {
  Scratch dir;
  Result r = script_on_card(preset(64, 0), "$KMESG -N -c; s=$?; $POKEMEM -b 0 0x1de9e8.24 > $D/header; exit $s", dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, ASSUMING +
                       "KMESG INIT: Clearing print area: old magic=0x7072696e\n"
                       "KMESG Bad magic:0x0 (should be 0x7072696e), use kmesg -c to reinitialize\n");
  EXPECT_EQ(read_text(dir / "header"), std::string(24, '\0'));
}

TEST(Kmesg, FailuresStopWithTheirMessages) {
  Scratch dir;
  write_bytes(dir / "sram", Bytes(0x200000, 0));
  struct Case {
    const char *what;
    std::string items;
    std::vector<std::string> args;
    std::string err;  // a regular expression
  } cases[] = {
      {"an unknown option", "", {"-q"}, literal(USAGE)},
      {"a bad magic", "log-magic=0x12345678", {},
       ASSUMING + "KMESG Bad magic:0x12345678 \\(should be 0x7072696e\\), use kmesg -c to reinitialize\n"},
      {"clearing through configuration space", "", {"-c"},
       ASSUMING + "KMESG INIT: cannot clear the print area through configuration space; use -N\n"},
      {"clearing a file", "", {"-c", "-f", dir / "sram"},
       "Assuming print buf at offset 0x0, meta at 0x1de9e8\n"
       "KMESG INIT: cannot clear the print area through a file; use -N\n"},
      {"-m twice", "", {"-mm"}, error_from("kmesg.cpp", "kmesg not compiled with QN headers\n") + "\n"},
      {"no card of those kinds", "", {"-x"},
       "FATAL ERROR:trying to open Ulvelink board instance 0: NOT FOUND\n"},
      {"the adapter", "", {"-r", "lab-rabbit"}, error_from("uba_kram.h", "tckavi_board_open failed") + "\n"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> command = {KMESG};
    command.insert(command.end(), c.args.begin(), c.args.end());
    Result r = on_card(c.items, command);
    SCOPED_TRACE(c.what + std::string("\n") + testing::PrintToString(r.err));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, MatchesRegex(c.err));
  }
}

// A saved SRAM image (sramgrab -r) holds the log too; reading it marks the
// bytes read in the file, unless the run is dry.
TEST(Kmesg, ReadsASavedSramImage) {
  Scratch dir;
  Result r = script_on_card(preset(96, 32),
                            "$SRAMGRAB -r > $D/sram 2> /dev/null && cp $D/sram $D/dry &&\n"
                            "$KMESG -f $D/dry -d && $KMESG -f $D/sram && $KMESG -f $D/sram\n",
                            dir);
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out, stream(32, 96) + stream(32, 96));
  const std::string assuming = "Assuming print buf at offset 0x1dc800, meta at 0x1de9e8\n";
  EXPECT_EQ(r.err, assuming + assuming + assuming);
  EXPECT_EQ(be32(read_bytes(dir / "sram"), 0x1de9f8), 96u);
  EXPECT_EQ(be32(read_bytes(dir / "dry"), 0x1de9f8), 32u);
}

// Native mode: 4096 bytes at 0x100000 with no header, read whole every time,
// without their trailing NULs.
TEST(Kmesg, NativeBufferIsReadWholeWithoutItsTrailingNuls) {
  Scratch dir;
  Bytes buffer(4096, 0);
  const std::string text = "native line one\nnative line two\n";
  std::copy(text.begin(), text.end(), buffer.begin());
  write_bytes(dir / "native", buffer);
  Result r = script_on_card("", "$POKEMEM -q -b 0 -w 0x100000.4096 < $D/native && $KMESG -m && $KMESG -m", dir);
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out, text + text);
  const std::string assuming = "Assuming print buf at offset 0x100000, meta at 0xffffffff\n";
  EXPECT_EQ(r.err, assuming + assuming);
}

// -w follows the log as the firmware writes it: its steady line every 100 ms
// of the card's time. The test stops it after a few lines.
TEST(Kmesg, FollowsNewMessages) {
  Process p({SIMHOST, "--nic", "log-every=100," + preset(0, 0), "--", KMESG, "-w"});
  bool followed = p.wait_for(
      [](const std::string &out, const std::string &) {
        return std::count(out.begin(), out.end(), '\n') >= 3;
      },
      std::chrono::seconds(20));
  ASSERT_TRUE(followed) << "stdout:\n" << p.out() << "\nstderr:\n" << p.err();
  std::istringstream lines(p.out());
  long last = -1;
  for (std::string line; std::getline(lines, line) && !lines.eof();) {
    long k;
    ASSERT_EQ(sscanf(line.c_str(), "ucp: tick %ld at", &k), 1) << line;
    EXPECT_GT(k, last);
    last = k;
  }
  EXPECT_EQ(p.err(), ASSUMING);
}

}  // namespace
