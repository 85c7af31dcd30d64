// The proc access method over a file tree standing for /sys and /proc: the
// choice of tree by kernel release, the directory names, device files, BARs
// and irq, configuration reads and writes, the root check, BAR mapping and
// the descriptors it holds.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "descriptors.h"
#include "fake_pci.h"  // FakeFunction builds the configuration spaces
#include "test_util.h"
#include "uba_internal.h"

using testing::ElementsAre;
using testing::ExitedWithCode;
using testing::MatchesRegex;

namespace {

constexpr char SYS[] = "sys/bus/pci/devices/";
constexpr char PROC[] = "proc/bus/pci/";

FakeFunction space(uint16_t vendor, uint16_t device) {
  FakeFunction f{};
  f.w16(0, vendor);
  f.w16(2, device);
  return f;
}

std::string bytes(const FakeFunction &f, size_t size = 256) {
  return std::string(reinterpret_cast<const char *>(f.cfg.data()), size);
}

class Proc : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = uba_host;
    uba_host.root = root_.path().c_str();
    uba_host.release = "6.1.0-18-amd64";
  }
  void TearDown() override {
    uba_pci_rescan();
    uba_host = saved_;
  }

  // The config file of a /sys function named like "0000:03:00.0".
  std::string sys_function(const std::string &id, const FakeFunction &f, size_t size = 256) {
    return root_.write(SYS + id + "/config", bytes(f, size));
  }
  // Scans with proc and returns the names of the listed functions.
  std::vector<std::string> scan() { return scan_with(UBA_PCI_PROC); }
  // The only function of a tree, scanned.
  pci_dev *only(const std::string &name) {
    EXPECT_THAT(scan(), ElementsAre(name));
    return listed(name);
  }

  TempDir root_;
  uba_host_t saved_;
};

#define REQUIRE_ROOT() \
  if (geteuid() != 0) GTEST_SKIP() << "needs an effective user id of 0"

TEST_F(Proc, KernelReleaseSelectsSysFromTwoSixThirteenOn) {
  sys_function("0000:00:01.0", space(0x8086, 0x0001));
  root_.write(std::string(PROC) + "00/02.0", bytes(space(0x8086, 0x0002)));
  const char *const sys = "00:01.0", *const proc = "00:02.0";
  struct {
    const char *release;
    const char *listed;
  } cases[] = {
      {"2.4.37", proc}, {"2.6", proc},           {"2.6.9", proc}, {"2.6.12-rc3", proc},
      {"2.6.13", sys},  {"2.6.32-5-amd64", sys}, {"3.0", sys},    {"3.0.0-1-generic", sys},
      {"4.19.0", sys},  {"6.1.0-18-amd64", sys}, {"10.2", sys},   {"unknown", proc},
      {nullptr, sys},  // the running kernel's own release
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.release ? c.release : "uname");
    uba_host.release = c.release;
    EXPECT_THAT(scan(), ElementsAre(c.listed));
  }

  // A sysfs-capable release without a /sys tree reads /proc/bus/pci.
  std::filesystem::remove_all(root_.path() + "/sys");
  uba_host.release = "2.6.13";
  EXPECT_THAT(scan(), ElementsAre(proc));
}

TEST_F(Proc, SysEntriesNameDomainBusDeviceAndFunction) {
  sys_function("0000:00:00.0", space(0x8086, 0x0001));
  sys_function("0000:05:1f.0", space(0x8086, 0x0002));
  sys_function("0002:80:03.0", space(0x1f5c, 0x5e0a));
  sys_function("0040:00:00.0", space(0x8086, 0x0003));  // domain 64: beyond what the library handles
  root_.write(std::string(SYS) + ".hidden", "");
  EXPECT_THAT(scan(), ElementsAre("00:00.0", "05:1f.0", "0002:80:03.0"));
  pci_dev *nic = listed("0002:80:03.0");
  EXPECT_EQ(nic->devfs_name, root_.path() + "/sys/bus/pci/devices/0002:80:03.0/config");
  EXPECT_EQ(nic->domain, 2);
  EXPECT_EQ(nic->bus, 0x80);
  EXPECT_EQ(nic->dev, 3);
  EXPECT_EQ(nic->device_id, 0x5e0a);
}

TEST_F(Proc, UnparsableSysEntryStops) {
  for (const char *name : {"bogus", "0000:00:1f"}) {
    SCOPED_TRACE(name);
    TempDir dir;
    uba_host.root = dir.path().c_str();
    dir.mkdir(std::string(SYS) + name);
    EXPECT_EXIT(scan(), ExitedWithCode(1),
                MatchesRegex(std::string("ERROR:pci_proc\\.cpp:[0-9]+:Cannot parse ") + name + "\n"));
  }
}

TEST_F(Proc, ProcBusLongNamesGiveDomainAndBus) {
  uba_host.release = "2.6.9";
  root_.write(std::string(PROC) + "devices", "0100\t80861234\n");
  root_.write(std::string(PROC) + "0000:01/00.0", bytes(space(0x1f5c, 0x5e0a)));
  root_.write(std::string(PROC) + "0001:03/02.0", bytes(space(0x8086, 0x0002)));
  EXPECT_THAT(scan(), ElementsAre("01:00.0", "0001:03:02.0"));
  EXPECT_EQ(listed("01:00.0")->devfs_name, root_.path() + "/proc/bus/pci/0000:01/00.0");
  EXPECT_EQ(listed("0001:03:02.0")->devfs_name, root_.path() + "/proc/bus/pci/0001:03/02.0");
}

TEST_F(Proc, ProcBusShortNamesGiveDomainZeroBuses) {
  uba_host.release = "2.6.9";
  root_.write(std::string(PROC) + "00/00.0", bytes(space(0x8086, 0x0001)));
  root_.write(std::string(PROC) + "01/00.0", bytes(space(0x1f5c, 0x5e0a)));
  root_.write(std::string(PROC) + "0001:03/02.0", bytes(space(0x8086, 0x0002)));
  EXPECT_THAT(scan(), ElementsAre("00:00.0", "01:00.0", "0001:03:02.0"));
  EXPECT_EQ(listed("01:00.0")->devfs_name, root_.path() + "/proc/bus/pci/01/00.0");
  EXPECT_EQ(listed("0001:03:02.0")->devfs_name, root_.path() + "/proc/bus/pci/0001:03/02.0");
}

TEST_F(Proc, UnusableProcBusStops) {
  uba_host.release = "2.6.9";
  for (const char *name : {"abc", "0000:zz"}) {
    SCOPED_TRACE(name);
    TempDir dir;
    uba_host.root = dir.path().c_str();
    dir.mkdir(std::string(PROC) + name);
    EXPECT_EXIT(scan(), ExitedWithCode(1),
                MatchesRegex(std::string("ERROR:pci_proc\\.cpp:[0-9]+:Cannot parse ") + name + " as a pci bus id\n"));
  }
  TempDir empty;
  uba_host.root = empty.path().c_str();
  EXPECT_EXIT(scan(), ExitedWithCode(1),
              MatchesRegex("ERROR:pci_proc\\.cpp:[0-9]+:opening /proc/bus/pci:No such file or directory\n\n"));
}

TEST_F(Proc, BarsAndIrqComeFromTheResourceFile) {
  FakeFunction f = space(0x1f5c, 0x5e0a).bar(0, 0xdead0000).bar(2, 0xbeef0000);
  f.w8(0x3c, 11);
  sys_function("0000:03:00.0", f);
  root_.write(std::string(SYS) + "0000:03:00.0/resource",
              "0x00000000f0000000 0x00000000f0ffffff 0x0000000000040200\n"
              "0x0000000000000000 0x0000000000000000 0x0000000000000000\n"
              "0x00000000f1000000 0x00000000f10fffff 0x0000000000040200\n"
              "0x000000000000e000 0x000000000000e07f 0x0000000000040101\n"
              "0x0000000000000000 0x0000000000000000 0x0000000000000000\n"
              "0x0000004000000000 0x00000040001fffff 0x000000000014220c\n"
              "0x00000000f1100000 0x00000000f110ffff 0x0000000000046200\n");
  root_.write(std::string(SYS) + "0000:03:00.0/irq", "42\n");
  pci_dev *d = only("03:00.0");
  EXPECT_THAT(d->base_addr, ElementsAre(0xf0000000ull, 0ull, 0xf1000000ull, 0xe000ull, 0ull, 0x4000000000ull));
  EXPECT_THAT(d->size, ElementsAre(0xffffffull, 0ull, 0xfffffull, 0x7full, 0ull, 0x1fffffull));
  EXPECT_EQ(d->irq, 42);
}

TEST_F(Proc, WithoutResourceFileBarsAreTheRawRegisters) {
  FakeFunction f = space(0x1f5c, 0x5e0a)
                       .bar(0, 0xf000000c)  // 64-bit: register 1 is its top half
                       .bar(1, 0x00000001)
                       .bar(2, 0xf1000000)
                       .bar(3, 0x0000e001)
                       .bar(4, 0xe0000004)
                       .bar(5, 0x00000002);
  f.w8(0x3c, 11);
  sys_function("0000:03:00.0", f);
  pci_dev *d = only("03:00.0");
  EXPECT_THAT(d->base_addr, ElementsAre(0x1f000000cull, 0ull, 0xf1000000ull, 0xe001ull, 0x2e0000004ull, 0ull));
  EXPECT_THAT(d->size, ElementsAre(0ull, 0ull, 0ull, 0ull, 0ull, 0ull));
  EXPECT_EQ(d->irq, 11);
}

TEST_F(Proc, ReadsTakeExactlyTheWidthAtTheOffset) {
  REQUIRE_ROOT();
  FakeFunction f = space(0x8086, 0x1234);
  for (unsigned i = 0x40; i < 0x100; i++) f.w8(i, i);
  sys_function("0000:00:00.0", f);  // 256 bytes: a read past 0xff would come up short
  pci_dev *d = only("00:00.0");
  struct {
    unsigned reg;
    int width;
    unsigned value;
  } cases[] = {
      {0x00, 2, 0x8086},     {0x02, 2, 0x1234},     {0x41, 1, 0x41},   {0x42, 2, 0x4342},
      {0x44, 4, 0x47464544}, {0xfc, 4, 0xfffefdfc}, {0xfe, 2, 0xfffe}, {0xff, 1, 0xff},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "reg " << std::hex << c.reg << " width " << c.width);
    EXPECT_EQ(read_cfg(d, c.reg, c.width), c.value);
  }
}

TEST_F(Proc, FirstWriteReopensReadWriteAndWritesLandInTheFile) {
  REQUIRE_ROOT();
  std::string config = sys_function("0000:00:00.0", space(0x8086, 0x1234));
  pci_dev *d = only("00:00.0");
  EXPECT_EQ(d->rw, 0);
  EXPECT_EQ(fcntl(d->handle, F_GETFL) & O_ACCMODE, O_RDONLY);

  pci_write_byte(d, 0x0d, 0x40);
  EXPECT_EQ(d->rw, 1);
  EXPECT_EQ(fcntl(d->handle, F_GETFL) & O_ACCMODE, O_RDWR);
  pci_write_word(d, 0x04, 0x0146);
  pci_write_long(d, 0x10, 0xfebc000c);
  pci_write_byte(d, 0xff, 0x5a);

  std::string now = read_file(config);
  ASSERT_EQ(now.size(), 256u);
  EXPECT_EQ(now.substr(0x04, 2), std::string("\x46\x01", 2));
  EXPECT_EQ(now.substr(0x0c, 3), std::string("\x00\x40\x00", 3));
  EXPECT_EQ(now.substr(0x10, 4), std::string("\x0c\x00\xbc\xfe", 4));
  EXPECT_EQ(now[0xff], 0x5a);
  EXPECT_EQ(now.substr(0, 4), std::string("\x86\x80\x34\x12", 4));  // untouched
  EXPECT_EQ(pci_read_long(d, 0x10), 0xfebc000cu);
}

TEST_F(Proc, NonRootReadsTheHeaderOnly) {
  FakeFunction f = space(0x8086, 0x1234);
  f.w8(0x3f, 0x5a);
  sys_function("0000:00:00.0", f, 4096);
  pci_dev *d = only("00:00.0");
  // Only the effective user id changes, so the exit handlers can take root
  // back (the leak checker of a sanitized build needs it to read /proc/self).
  auto drop_root = [] {
    if (geteuid() != 0) return;
    if (seteuid(65534) != 0) _exit(3);
    atexit([] {
      if (seteuid(0) != 0) _exit(4);
    });
  };
  EXPECT_EXIT(
      {
        drop_root();
        pci_read_byte(d, 0x40);
      },
      ExitedWithCode(1),
      MatchesRegex("ERROR:pci_proc\\.cpp:[0-9]+:You need to be root to access PCI configuration space\n\n"));
  EXPECT_EXIT(
      {
        drop_root();
        _exit(pci_read_byte(d, 0x3f) == 0x5a && uba_can_access_ext_conf(d) == 0 ? 7 : 2);
      },
      ExitedWithCode(7), "");
}

TEST_F(Proc, ExtendedSpaceNeedsAFourKibibyteFile) {
  REQUIRE_ROOT();
  sys_function("0000:00:00.0", space(0x8086, 0x0001), 4096);
  sys_function("0000:00:01.0", space(0x8086, 0x0002), 256);
  scan();
  EXPECT_EQ(uba_can_access_ext_conf(listed("00:00.0")), 1);
  EXPECT_EQ(uba_can_access_ext_conf(listed("00:01.0")), 0);
}

TEST_F(Proc, BarsMapThroughTheirResourceFiles) {
  sys_function("0000:03:00.0", space(0x1f5c, 0x5e0a));
  std::string bar0(8192, '\0'), bar2(4096, '\0');
  bar0.replace(4096, 4, "bar0");
  bar2.replace(0, 4, "bar2");
  std::string file0 = root_.write(std::string(SYS) + "0000:03:00.0/resource0", bar0);
  root_.write(std::string(SYS) + "0000:03:00.0/resource2", bar2);
  pci_dev *d = only("03:00.0");

  auto *m = static_cast<char *>(d->pci->ops->mmap_bar(d, 0, 4096, 4096));
  EXPECT_EQ(std::string(m, 4), "bar0");
  memcpy(m + 8, "seen", 4);
  EXPECT_EQ(read_file(file0).substr(4096 + 8, 4), "seen");
  munmap(m, 4096);

  m = static_cast<char *>(d->pci->ops->mmap_bar(d, 2, 0, 4096));
  EXPECT_EQ(std::string(m, 4), "bar2");
  munmap(m, 4096);

  std::string path = root_.path() + "/sys/bus/pci/devices/0000:03:00.0/resource0";
  EXPECT_EXIT(d->pci->ops->mmap_bar(d, 0, 100, 4096), ExitedWithCode(1),
              MatchesRegex("ERROR:pci_proc\\.cpp:[0-9]+:cannot mmap " + re_escape(path) + "\n\n"));
}

TEST_F(Proc, WithoutSysBarsMapPhysicalMemory) {
  uba_host.release = "2.6.9";
  // Flag bits 0x1c: the low five bits are not part of the address.
  root_.write(std::string(PROC) + "00/00.0", bytes(space(0x1f5c, 0x5e0a).bar(0, 0x0010001c)));
  std::string mem(0x102000, '\0');
  mem.replace(0x100020, 4, "mem!");
  root_.write("dev/mem", mem);
  pci_dev *d = only("00:00.0");
  auto *m = static_cast<char *>(d->pci->ops->mmap_bar(d, 0, 0x20, 16));
  EXPECT_EQ(std::string(m, 4), "mem!");
}

TEST_F(Proc, AbsentFunctionsAndRescanLeaveNoDescriptorsOpen) {
  sys_function("0000:00:00.0", space(0xffff, 0xffff));
  sys_function("0000:00:01.0", space(0x8086, 0x0001));
  sys_function("0000:00:02.0", space(0x8086, 0x0002));
  root_.mkdir(std::string(SYS) + "0000:00:03.0");  // no config file
  int before = open_descriptors();
  EXPECT_THAT(scan(), ElementsAre("00:01.0", "00:02.0"));
  EXPECT_EQ(open_descriptors(), before + 2);
  uba_pci_rescan();
  EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
