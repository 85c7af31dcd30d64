// simhost as a program: what a command sees inside the virtual host, the
// options, the exit status, and that nothing of it is left afterwards.
// Every test runs the built simhost (as root) with a command inside it,
// often the probe host_probe.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "firmware.h"
#include "program_run.h"

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::MatchesRegex;
using testing::StartsWith;

namespace {

const std::string SIMHOST = SIMHOST_PATH, PROBE = HOST_PROBE_PATH;
const std::string USAGE_HINT =
    "Usage: simhost [OPTION]... [--] COMMAND [ARG]...\nTry 'simhost --help' for more information.\n";

using program_run::Process;
using program_run::Result;
using program_run::run;

// simhost with these arguments (options, then the command).
Result simhost(std::vector<std::string> args) {
  args.insert(args.begin(), SIMHOST);
  return run(args);
}

// Where this test may write: a fresh directory, removed afterwards.
class Scratch {
 public:
  Scratch() {
    char name[] = "/tmp/simhost_test.XXXXXX";
    if (!mkdtemp(name)) abort();
    path_ = name;
  }
  ~Scratch() { fs::remove_all(path_); }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The names in a directory, sorted.
std::vector<std::string> listing(const char *dir) {
  std::vector<std::string> names;
  for (const auto &e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// lspci on this machine complains about its kernel-module database, inside
// the virtual host or not; nothing else may reach stderr.
std::string without_kmod_note(const std::string &err) {
  std::string out;
  for (const std::string &line : lines(err))
    if (line.find("Unable to load libkmod resources") == std::string::npos) out += line + "\n";
  return out;
}

// ---------------------------------------------------------------------------
// What a command sees

TEST(VirtualHost, LibraryFindsExactlyTheModeledFunctionsWithTheirParents) {
  struct Case {
    std::vector<std::string> options;
    std::string listing;
  };
  const Case cases[] = {
      {{},
       "00:00.0 8086:0d57 parent=-\n"
       "00:01.0 8086:1901 parent=-\n"
       "00:1f.0 8086:100e parent=-\n"
       "01:00.0 1f5c:5e0a parent=00:01.0\n"},
      {{"--nics", "2"},
       "00:00.0 8086:0d57 parent=-\n"
       "00:01.0 8086:1901 parent=-\n"
       "00:02.0 8086:1901 parent=-\n"
       "00:1f.0 8086:100e parent=-\n"
       "01:00.0 1f5c:5e0a parent=00:01.0\n"
       "02:00.0 1f5c:5e0a parent=00:02.0\n"},
      {{"--nic", "device=5e0b", "--nic", "device=4c3d,rev=2", "--no-other-device"},
       "00:00.0 8086:0d57 parent=-\n"
       "00:01.0 8086:1901 parent=-\n"
       "00:02.0 8086:1901 parent=-\n"
       "01:00.0 1f5c:5e0b parent=00:01.0\n"
       "02:00.0 1f5c:4c3d parent=00:02.0\n"},
      {{"--nics", "0"}, "00:00.0 8086:0d57 parent=-\n00:1f.0 8086:100e parent=-\n"},
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

// uba_open maps BAR0 and BAR2 through the resource files, which lead to the
// model's own memory: what the command stores in BAR0 the processor reads
// through the debug window, and the other way round.
TEST(VirtualHost, OpenedBoardSharesItsBarsWithTheModel) {
  struct Case {
    std::vector<std::string> options;
    std::vector<std::string> probe;
    const char *capabilities;
  };
  const Case cases[] = {
      {{}, {"open"}, "cap10=40 cap09=88"},
      {{"--nic", "vs=a0"}, {"open"}, "cap10=40 cap09=a0"},
      // Not in the capability list, and still answering where they are.
      {{"--nic", "vs-unlisted"}, {"open", "88"}, "cap10=40 cap09=00"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"--", PROBE});
    args.insert(args.end(), c.probe.begin(), c.probe.end());
    Result r = simhost(args);
    SCOPED_TRACE(r);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(c.capabilities) +
                         "\n"
                         "bar0 /memfd:ulve-bar0 (deleted)\n"
                         "bar2 /memfd:ulve-bar2 (deleted)\n"
                         "window read 12345678\n"
                         "bar0 bytes cafef00d\n"
                         "bar2 byte a5\n");
  }
}

TEST(VirtualHost, StandardToolsListAndDecodeEveryFunction) {
  Result r = simhost({"--nics", "2", "--", "lspci", "-vvv"});
  ASSERT_EQ(r.status, 0) << r;
  EXPECT_EQ(without_kmod_note(r.err), "");
  std::vector<std::string> functions;
  for (const std::string &line : lines(r.out))
    if (!line.empty() && line[0] != '\t') functions.push_back(line.substr(0, line.find(':', 8)));
  EXPECT_THAT(functions, testing::ElementsAre("00:00.0 Host bridge", "00:01.0 PCI bridge", "00:02.0 PCI bridge",
                                              "00:1f.0 Ethernet controller", "01:00.0 Ethernet controller",
                                              "02:00.0 Ethernet controller"));
  // Every capability is decoded; only the vendor-specific one, whose
  // registers lspci cannot know, shows its raw header.
  std::vector<std::string> complaints;
  for (const std::string &line : lines(r.out)) {
    if (line.find("Vendor Specific Information: Len=1c <?>") != std::string::npos) continue;
    for (const char *complaint : {"<BAD", "<unavailable>", "Unknown", "unreadable", "!!!", "<?>", "access denied"})
      if (line.find(complaint) != std::string::npos) complaints.push_back(line);
  }
  EXPECT_THAT(complaints, testing::IsEmpty());
  EXPECT_THAT(r.out, HasSubstr("Capabilities: [88] Vendor Specific Information: Len=1c <?>"));

  Result tree = simhost({"--nics", "2", "--", "lspci", "-t"});
  EXPECT_EQ(tree.status, 0);
  EXPECT_EQ(tree.out,
            "-[0000:00]-+-00.0\n"
            "           +-01.0-[01]----00.0\n"
            "           +-02.0-[02]----00.0\n"
            "           \\-1f.0\n");
}

// /proc/bus/pci tells the same as /sys/bus/pci: lspci reading only the
// /proc view prints the same decoding, resources and interrupts included.
TEST(VirtualHost, ProcViewShowsTheSameFunctions) {
  Scratch dir;
  Result r = simhost({"--nics", "2", "--", "sh", "-c",
                      "lspci -vvv > \"$0\"/sys.txt && lspci -vvv -A linux-proc > \"$0\"/proc.txt", dir / ""});
  ASSERT_EQ(r.status, 0) << r;
  EXPECT_THAT(read_file(dir / "sys.txt"), HasSubstr("01:00.0 Ethernet controller"));
  EXPECT_EQ(read_file(dir / "proc.txt"), read_file(dir / "sys.txt"));
}

TEST(VirtualHost, CommandSeesLiveConfigurationSpaces) {
  const std::string config = "/sys/bus/pci/devices/0000:01:00.0/config";
  struct Case {
    const char *what;
    std::vector<std::string> args;
    std::string out;
  };
  const Case cases[] = {
      {"the environment", {"--", "sh", "-c", "echo $SIMHOST"}, "1\n"},
      {"ids of a chosen board",
       {"--nic", "device=5e0b,rev=7", "--", "sh", "-c",
        "cd /sys/bus/pci/devices/0000:01:00.0 && cat vendor device revision class && setpci -s 01:00.0 0.l 8.b"},
       "0x1f5c\n0x5e0b\n0x07\n0x020000\n5e0b1f5c\n07\n"},
      // A write through /proc/bus/pci is read back through /sys/bus/pci.
      {"one space behind both views",
       {"--", "sh", "-c", "setpci -A linux-proc -s 01:00.0 COMMAND=0x0006 && setpci -s 01:00.0 COMMAND"},
       "0006\n"},
      {"a dead board", {"--nic", "dead", "--", "setpci", "-s", "01:00.0", "0.l", "COMMAND"}, "ffffffff\nffff\n"},
      {"a board dead beyond its header", {"--nic", "dead=40", "--", "setpci", "-s", "01:00.0", "0.l", "40.w"},
       "5e0a1f5c\nffff\n"},
      {"a stuck EEPROM byte", {"--nic", "stuck=100:42", "--", PROBE, "eeprom", "100"}, "42\n"},
      {"the whole space for root", {"--", "wc", "-c", config}, "4096 " + config + "\n"},
      {"the header only for others",
       {"--", "setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups", "wc", "-c", config},
       "64 " + config + "\n"},
  };
  for (const Case &c : cases) {
    Result r = simhost(c.args);
    SCOPED_TRACE(testing::Message() << c.what << "\n" << r);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
  }
}

// ---------------------------------------------------------------------------
// This machine's hardware stays out of reach

// Bytes as the probe prints them.
std::string hex(const std::vector<uint8_t> &bytes) {
  std::string text;
  char two[3];
  for (uint8_t b : bytes) snprintf(two, sizeof two, "%02x", b), text += two;
  return text;
}

// /dev/mem is the modeled host's physical memory: the boards' BARs and the
// configuration window, live; nothing elsewhere; and it cannot be mapped.
TEST(VirtualHost, DevMemIsTheModeledPhysicalMemory) {
  const bool had_dev_mem = fs::exists("/dev/mem");
  const std::vector<std::string> dev_before = listing("/dev");
  Result r = simhost({"--", "sh", "-c",
                      "p=$0; stat -c '%F %s' /dev/mem; "
                      "$p peek 0xe0000000 4; $p peek 0xe0100000 4; $p peek 0xe0200000 4; "
                      "$p poke 0xe0100004 0600; setpci -s 01:00.0 COMMAND; "
                      "$p poke 0xc0003000 a1b2c3d4; $p window 3000; $p peek 0xc0003000 4; "
                      "$p peek 0xc10ffff8 4; $p poke 0xc10fffd8 5a; $p window ffffffd8; "
                      "$p peek 0x1000 4; $p poke 0xfebc0000 00; $p peek 0xc0fffffe 4; "
                      "$p map 0xc0000000; $p map 0xe0000000",
                      PROBE});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out,
            "regular file 4294967296\n"
            "8680570d\n"  // the host bridge, where the library's mm method looks
            "5c1f0a5e\n"
            "ffffffff\n"  // no function there
            "poke: 2 bytes\n"
            "0006\n"
            "poke: 4 bytes\n"
            "a1b2c3d4\n"  // what the processor reads
            "a1b2c3d4\n"
            "51c0ffee\n"  // the ISR at BAR2 + 0xffff8
            "poke: 1 bytes\n"
            "5a000000\n"  // LED, stored through BAR2, as the processor reads it
            "peek: Input/output error\n"
            "poke: Input/output error\n"
            "peek: Input/output error\n"  // across the end of BAR0
            "map: No such device\n"
            "map: No such device\n")
      << r;
  EXPECT_EQ(fs::exists("/dev/mem"), had_dev_mem);
  EXPECT_EQ(listing("/dev"), dev_before);
}

TEST(VirtualHost, TheCommandKeepsTheRestOfDev) {
  Result r = simhost({"--", "sh", "-c",
                      "test -c /dev/null && test -c /dev/zero && test -L /dev/fd && test -d /dev/pts && "
                      "echo gone > /dev/null && head -c 2 /dev/zero | od -An -tx1"});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out, " 00 00\n");
}

TEST(VirtualHost, TheLibrarysMemoryMappedMethodStopsWithItsOwnMessage) {
  Result r = simhost({"--", "sh", "-c", "UBA_PCI=mm exec \"$0\" scan", PROBE});
  EXPECT_EQ(r.status, 1) << r;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "mapping /dev/mem(e0000000,268435456) failed:19:No such device\n");
}

// Taken from the bounding set as well: not even a program the command runs
// gets it back.
TEST(VirtualHost, TheCommandHasNoRawIo) {
  Result r = simhost({"--", "sh", "-c", "\"$0\" caps; \"$0\" iopl; sh -c '\"$0\" caps' \"$0\"", PROBE});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_THAT(r.out, MatchesRegex("CAP_SYS_RAWIO effective 0 permitted 0 inheritable 0 bounding 0\n"
                                  "iopl: (Operation not permitted|Function not implemented)\n"
                                  "CAP_SYS_RAWIO effective 0 permitted 0 inheritable 0 bounding 0\n"));
  // The library's port method stops with its own message.
  Result ports = simhost({"--", "sh", "-c", "UBA_PCI=iocf8 exec \"$0\" scan", PROBE});
  EXPECT_EQ(ports.status, 1) << ports;
  EXPECT_THAT(ports.err, MatchesRegex("ERROR:pci_iocf8.cpp:[0-9]+:iopl failed: cannot get access to io ports:"
                                      "(Operation not permitted|Function not implemented)\n+"));
}

// Host stores into BAR0 are not trapped: one through /dev/mem is seen at
// once, one through the mapped BAR0 on the virtual host's timer.
TEST(VirtualHost, AStoreOfZeroIntoWordZeroRestartsTheBoard) {
  std::vector<uint8_t> word0;
  for (uint32_t i = 0; i < 4; i++) word0.push_back(sim::Firmware::program_byte(i));
  struct Case {
    const char *store;
    std::string script, out;
  } cases[] = {
      {"through /dev/mem", "$0 poke 0xc0000000 00000000 && $0 peek 0xc0000000 4",
       "poke: 4 bytes\n" + hex(word0) + "\n"},
      {"through the mapped BAR0", "$0 restart", "restarted\nucp: reset: the host cleared SRAM word 0\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.store);
    Result r =
        simhost({"--", "sh", "-c", c.script + " && $0 wait-log 'ucp: reset: the host cleared SRAM word 0'", PROBE});
    EXPECT_EQ(r.status, 0) << r;
    EXPECT_EQ(r.out, c.out + "found\n");
  }
}

TEST(VirtualHost, BoardWithoutBar2) {
  const std::string dir = "/sys/bus/pci/devices/0000:01:00.0";
  Result r = simhost({"--nic", "no-bar2", "--", "sh", "-c",
                      "setpci -s 01:00.0 18.l; sed -n 3p " + dir + "/resource; ls " + dir +
                          " | grep resource; \"$0\" peek 0xc1000000 4",
                      PROBE});
  EXPECT_EQ(r.status, 0) << r;
  EXPECT_EQ(r.out,
            "00000000\n"
            "0x0000000000000000 0x0000000000000000 0x0000000000000000\n"
            "resource\nresource0\n"
            "peek: Input/output error\n");
}

TEST(VirtualHost, TheMessageLogAsTheItemsSetItUp) {
  auto word = [](uint32_t v) { return hex({uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}); };
  std::vector<uint8_t> stream;
  for (uint32_t n = 0x10000; n < 0x10010; n++) stream.push_back(sim::log_stream_byte(n));
  Result preset = simhost({"--nic", "log=0x10010:65536,log-at=1d69e8,log-magic=12345678", "--", "sh", "-c",
                           "$0 peek 0xc01d69f0 16; $0 peek 0xc01d4800 16", PROBE});
  EXPECT_EQ(preset.status, 0) << preset;
  EXPECT_EQ(preset.out, word(0x12345678) + word(0x10010) + word(0x10000) + word(0x1d4800) + "\n" + hex(stream) + "\n");

  // The producer goes on while the command only looks at the mapped BAR0.
  Result steady = simhost({"--nic", "log-every=10", "--", PROBE, "wait-log", "ucp: tick 3 at 30 ms\n"});
  EXPECT_EQ(steady.status, 0) << steady;
  EXPECT_EQ(steady.out, "found\n");
}

// ---------------------------------------------------------------------------
// The EEPROM across runs

// An EEPROM image of whole sectors with one erased byte at 0x12345.
std::string eeprom_image() {
  std::string image(0x100000, '\0');
  for (size_t i = 0; i < image.size(); i++) image[i] = static_cast<char>(i * 7 + 3);
  image[0x12345] = '\xff';
  return image;
}

TEST(VirtualHost, EepromIsLoadedAtStartAndSavedHoweverTheCommandEnds) {
  struct Case {
    const char *ending;
    int status;
  };
  const Case cases[] = {{"exit 0", 0}, {"exit 3", 3}, {"kill -KILL $$", 137}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.ending);
    Scratch dir;
    std::ofstream(dir / "in.bin", std::ios::binary) << eeprom_image();
    // Reads a loaded byte, then programs the erased one.
    Result r = simhost({"--nic", "eeprom=" + (dir / "in.bin") + ",save=" + (dir / "out.bin"), "--", "sh", "-c",
                        std::string("\"$0\" eeprom 100 && \"$0\" eeprom 12345 5a; ") + c.ending, PROBE});
    EXPECT_EQ(r.status, c.status) << r;
    EXPECT_EQ(r.out, "03\n5a\n") << r;  // 0x100 * 7 + 3, low byte
    std::string expected = eeprom_image();
    expected[0x12345] = 0x5a;
    EXPECT_TRUE(read_file(dir / "out.bin") == expected) << "the saved EEPROM differs";
  }
}

// ---------------------------------------------------------------------------
// Options and exit status

TEST(Simhost, ExitsWithTheCommandsStatus) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {{"--", "true"}, 0, ""},
      {{"true"}, 0, ""},
      {{"--", "sh", "-c", "exit 3"}, 3, ""},
      {{"--", "sh", "-c", "kill -TERM $$"}, 128 + SIGTERM, ""},
      {{"--", "/nonexistent/command"}, 127, "simhost: /nonexistent/command: No such file or directory\n"},
      {{"--", "/dev/null"}, 126, "simhost: /dev/null: Permission denied\n"},
  };
  for (const Case &c : cases) {
    Result r = simhost(c.args);
    SCOPED_TRACE(r);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(Simhost, RefusesBadOptionsWithTheUsage) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"--nics", "x", "true"}, "--nics: 'x' is not a number from 0 to 30"},
      {{"--nics", "31", "true"}, "--nics: '31' is not a number from 0 to 30"},
      {{"--nics"}, "option '--nics' needs a value"},
      {{"--nics", "1", "--nic", "dead", "true"}, "--nics and --nic exclude each other"},
      {{"--nic", "device=1234", "true"}, "--nic: device=1234: the device id is one of 5e0a, 5e0b, 4c3d"},
      {{"--nic", "rev=256", "true"}, "--nic: rev=256: the revision is a number from 0 to 255"},
      {{"--nic", "vs=81", "true"}, "--nic: vs=81: the position is a multiple of 4 from 80 to fc (hex)"},
      {{"--nic", "stuck=12:100", "true"},
       "--nic: stuck=12:100: expected ADDR[:VALUE], a 24-bit address and a byte in hex"},
      {{"--nic", "dead=zz", "true"}, "--nic: dead=zz: expected dead or dead=OFFSET, an offset in hex below 1000"},
      {{"--nic", "save=", "true"}, "--nic: save=: a file name is needed"},
      {{"--nic", "dead,turbo", "true"}, "--nic: turbo: unknown item"},
      {{"--nic", "no-bar2=1", "true"}, "--nic: no-bar2=1: takes no value"},
      {{"--nic", "reset-hangs=1", "true"}, "--nic: reset-hangs=1: takes no value"},
      {{"--nic", "reset-id=12345", "true"}, "--nic: reset-id=12345: expected reset-id=HEX, a device id in hex"},
      {{"--nic", "log=x", "true"}, "--nic: log=x: expected log=W[:R], byte counts below 2^32 (decimal, or hex after 0x)"},
      {{"--nic", "log=4294967296", "true"},
       "--nic: log=4294967296: expected log=W[:R], byte counts below 2^32 (decimal, or hex after 0x)"},
      {{"--nic", "log=5:", "true"}, "--nic: log=5:: expected log=W[:R], byte counts below 2^32 (decimal, or hex after 0x)"},
      {{"--nic", "log-magic=7072696e0", "true"},
       "--nic: log-magic=7072696e0: expected log-magic=HEX, a 32-bit value in hex"},
      {{"--nic", "log-at=1d69e9", "true"},
       "--nic: log-at=1d69e9: the header address is a multiple of 4 from 21e8 to 1fffe8 (hex)"},
      {{"--nic", "log-at=1fffec", "true"},
       "--nic: log-at=1fffec: the header address is a multiple of 4 from 21e8 to 1fffe8 (hex)"},
      {{"--nic", "log-every=0", "true"},
       "--nic: log-every=0: the period is a number of milliseconds from 1 to 3600000"},
      {{"--turbo", "true"}, "unknown option '--turbo'"},
      {{}, "no command given"},
      {{"--nics", "2"}, "no command given"},
  };
  for (const Case &c : cases) {
    Result r = simhost(c.args);
    SCOPED_TRACE(r);
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(r.err, "simhost: " + c.message + "\n" + USAGE_HINT);
    EXPECT_EQ(r.out, "");
  }

  Result help = simhost({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, StartsWith("Usage: simhost [OPTION]... [--] COMMAND [ARG]...\n"));
  EXPECT_EQ(help.err, "");
}

TEST(Simhost, FailsClearlyWhenItCannotBuildTheHost) {
  struct Case {
    const char *what;
    std::vector<std::string> argv;
    std::string err;
  };
  const Case cases[] = {
      {"an EEPROM file that is not there",
       {SIMHOST, "--nic", "eeprom=/nonexistent/eeprom.bin", "true"},
       "simhost: NIC 0: eeprom=/nonexistent/eeprom.bin: .*"},
      // Root without capabilities cannot create a mount namespace.
      {"no capabilities",
       {"setpriv", "--inh-caps=-all", "--bounding-set=-all", SIMHOST, "true"},
       "simhost: cannot create a private mount namespace: Operation not permitted\n"},
      {"no FUSE device",
       {"unshare", "--mount", "--", "sh", "-c", "mount --bind /dev/null /dev/fuse && exec \"$0\" -- true", SIMHOST},
       "simhost: cannot mount a FUSE file system on /sys/bus/pci: .*"},
  };
  for (const Case &c : cases) {
    Result r = run(c.argv);
    SCOPED_TRACE(testing::Message() << c.what << "\n" << r);
    EXPECT_EQ(r.status, 125);
    EXPECT_THAT(r.err, MatchesRegex(c.err));
  }
}

// ---------------------------------------------------------------------------
// Nothing left behind

bool mounted_here() { return read_file("/proc/self/mountinfo").find("fuse.simhost") != std::string::npos; }

// Whether the process has ended: gone, or a zombie that nobody of ours reaps.
bool ended(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return true;
  size_t paren = stat.rfind(')');
  return paren != std::string::npos && stat.compare(paren + 1, 3, " Z ") == 0;
}

bool ends_soon(pid_t pid) {
  for (int i = 0; i < 100 && !ended(pid); i++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return ended(pid);
}

pid_t read_pid(const std::string &path) {
  for (int i = 0; i < 200; i++) {
    std::string text = read_file(path);
    if (!text.empty() && text.back() == '\n') return std::stoi(text);
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return -1;
}

// The command leaves a sleep in its group and another in a session of its
// own, writes their pids and its own, then ends as each case says, or
// simhost is signalled while the command waits.
TEST(Simhost, LeavesNoMountAndNoProcessWhateverTheEnding) {
  struct Case {
    const char *ending;
    int signal_simhost;  // 0: none
    int status;
  };
  const Case cases[] = {
      {"exit 0", 0, 0},
      {"exit 4", 0, 4},
      {"kill -KILL $$", 0, 128 + SIGKILL},
      {"wait", SIGTERM, 128 + SIGTERM},
      {"wait", SIGINT, 128 + SIGINT},
      {"wait", SIGKILL, 128 + SIGKILL},
  };
  const std::vector<std::string> real_devices = listing("/sys/bus/pci/devices");
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.ending << ", signal " << c.signal_simhost);
    Scratch dir;
    std::string script =
        "sleep 1000 >/dev/null 2>&1 & echo $! > \"$0\"/group; "
        "setsid sleep 1000 >/dev/null 2>&1 & echo $! > \"$0\"/session; "
        "echo $$ > \"$0\"/command; " +
        std::string(c.ending);
    Process simhost_process({SIMHOST, "--", "sh", "-c", script, dir / ""});
    pid_t group = read_pid(dir / "group"), session = read_pid(dir / "session"), command = read_pid(dir / "command");
    ASSERT_GT(group, 0);
    ASSERT_GT(session, 0);
    ASSERT_GT(command, 0);
    if (c.signal_simhost) kill(simhost_process.pid(), c.signal_simhost);
    Result r = simhost_process.wait();
    EXPECT_EQ(r.status, c.status) << r;

    EXPECT_TRUE(ends_soon(command));
    EXPECT_TRUE(ends_soon(group));
    if (c.signal_simhost == SIGKILL) {
      // With simhost gone, nothing ends what has left the command's group.
      kill(session, SIGKILL);
    } else {
      EXPECT_TRUE(ended(session));
    }
    EXPECT_FALSE(mounted_here());
    EXPECT_EQ(listing("/sys/bus/pci/devices"), real_devices);
  }
}

}  // namespace
