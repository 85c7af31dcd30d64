// Probe that the virtual host's tests run inside simhost: it looks at the
// modeled host the way the suite's programs do and prints what it finds.
//
//   host_probe scan                 the library's device list: "NAME VVVV:DDDD parent=NAME|-"
//   host_probe open [POSITION]      opens board 0 and prints its capability table entries,
//                                   the files behind its BAR mappings, and round trips
//                                   between BAR0 and the debug window of the vendor-specific
//                                   registers (at POSITION, hex, or where the list links them)
//   host_probe eeprom ADDR [BYTE]   reads the EEPROM byte at ADDR (hex) of 01:00.0 through
//                                   the vendor-specific registers at 0x88; with BYTE, programs
//                                   it first
//   host_probe window ADDR          reads the processor's 32-bit word at ADDR (hex) through
//                                   the debug window of 01:00.0 (at 0x88)
//   host_probe peek ADDR COUNT      reads COUNT bytes of /dev/mem at ADDR, printed in hex
//   host_probe poke ADDR HEX        writes the bytes HEX into /dev/mem at ADDR
//   host_probe map ADDR             maps a page of /dev/mem at ADDR, shared
//   host_probe caps                 whether CAP_SYS_RAWIO is in each capability set
//   host_probe iopl                 asks for the I/O ports with iopl(3)
//   host_probe restart              stores 0 into word 0 of board 0's mapped BAR0, then waits
//                                   (at most 5 s) for the board to restart and prints the
//                                   first line of its message log
//   host_probe wait-log TEXT        waits (at most 5 s) until board 0's message log, read
//                                   through its mapped BAR0, holds TEXT
//
// /dev/mem and system calls print their failures on stdout, as results
// ("peek: Input/output error"). Other failures print a line on stderr and
// exit with 1.

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/io.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "uba.h"

namespace {

[[noreturn]] void die(const char *what) {
  fprintf(stderr, "host_probe: %s\n", what);
  exit(1);
}

int scan() {
  pci_access *acc = pci_alloc();
  pci_scan_bus(acc);
  for (pci_dev *d = acc->devices; d; d = d->next)
    printf("%s %04x:%04x parent=%s\n", d->name, d->vendor_id, d->device_id, d->parent ? d->parent->name : "-");
  return 0;
}

// The file behind the mapping that holds `address`, from /proc/self/maps.
std::string mapped_file(const volatile void *address) {
  FILE *maps = fopen("/proc/self/maps", "r");
  if (!maps) die("cannot read /proc/self/maps");
  char line[512];
  std::string file = "?";
  auto at = reinterpret_cast<uintptr_t>(address);
  while (fgets(line, sizeof line, maps)) {
    unsigned long start, end;
    int name_at = 0;
    if (sscanf(line, "%lx-%lx %*s %*s %*s %*s %n", &start, &end, &name_at) < 2 || at < start || at >= end) continue;
    file = line + name_at;
    file.erase(file.find_last_not_of('\n') + 1);
    break;
  }
  fclose(maps);
  return file;
}

// Debug window registers, from the vendor-specific position P.
constexpr unsigned DBG_MODE = 16, DBG_DATA = 20, DBG_ADDR = 24;
constexpr uint8_t READ32 = 3, WRITE32 = 7;

int open_board(const char *position) {
  uba_nic *nic = uba_open(0, UBA_ZE, 0);
  printf("cap10=%02x cap09=%02x\n", nic->cfg_cap[0x10], nic->cfg_cap[9]);
  printf("bar0 %s\nbar2 %s\n", mapped_file(nic->base).c_str(), mapped_file(nic->base2).c_str());
  unsigned p = position ? strtoul(position, nullptr, 16) : nic->cfg_cap[9];
  pci_dev *dev = nic->dev;

  // BAR0 to the window: bytes stored through the mapping, read as a
  // big-endian word by the processor.
  const uint8_t stored[4] = {0x12, 0x34, 0x56, 0x78};
  for (int i = 0; i < 4; i++) nic->base[0x1000 + i] = stored[i];
  pci_write_byte(dev, p + DBG_MODE, READ32);
  pci_write_long(dev, p + DBG_ADDR, 0x1000);
  printf("window read %08x\n", pci_read_long(dev, p + DBG_DATA));

  // The window to BAR0.
  pci_write_byte(dev, p + DBG_MODE, WRITE32);
  pci_write_long(dev, p + DBG_ADDR, 0x2000);
  pci_write_long(dev, p + DBG_DATA, 0xcafef00d);
  printf("bar0 bytes %02x%02x%02x%02x\n", nic->base[0x2000], nic->base[0x2001], nic->base[0x2002], nic->base[0x2003]);

  // BAR2 is mapped read-write as well.
  nic->base2[0x100] = 0xa5;
  printf("bar2 byte %02x\n", nic->base2[0x100]);
  free(nic);
  return 0;
}

// EEPROM registers, from the vendor-specific position.
constexpr unsigned VS = 0x88, EE_READ_ADDR = 4, EE_DATA = 8, EE_PROGRAM = 12;

class Config {
 public:
  Config() : fd_(open("/sys/bus/pci/devices/0000:01:00.0/config", O_RDWR | O_CLOEXEC)) {
    if (fd_ < 0) die("cannot open the config file of 01:00.0");
  }
  ~Config() { close(fd_); }
  uint8_t read8(unsigned reg) {
    uint8_t v;
    if (pread(fd_, &v, 1, reg) != 1) die("config read failed");
    return v;
  }
  uint32_t read32(unsigned reg) {
    uint32_t v;
    if (pread(fd_, &v, 4, reg) != 4) die("config read failed");
    return v;
  }
  void write32(unsigned reg, uint32_t v) {
    if (pwrite(fd_, &v, 4, reg) != 4) die("config write failed");
  }

 private:
  int fd_;
};

int eeprom(const char *address_text, const char *byte_text) {
  Config cfg;
  uint32_t address = strtoul(address_text, nullptr, 16);
  if (byte_text) {
    uint8_t byte = strtoul(byte_text, nullptr, 16);
    cfg.write32(VS + EE_PROGRAM, byte | address << 8);
    // Until the operation ends the data register shows a status that never
    // equals the byte awaited.
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (cfg.read8(VS + EE_DATA) != byte)
      if (std::chrono::steady_clock::now() > give_up) die("programming never ended");
  }
  // Reads are pipelined: the byte of an address arrives with the next start.
  cfg.write32(VS + EE_READ_ADDR, address << 8);
  cfg.write32(VS + EE_READ_ADDR, (address + 1) << 8);
  printf("%02x\n", cfg.read8(VS + EE_DATA));
  return 0;
}

int window(const char *address_text) {
  Config cfg;
  cfg.write32(VS + DBG_MODE, READ32);
  cfg.write32(VS + DBG_ADDR, strtoul(address_text, nullptr, 16));
  printf("%08x\n", cfg.read32(VS + DBG_DATA));
  return 0;
}

int open_dev_mem() {
  int fd = open("/dev/mem", O_RDWR | O_CLOEXEC);
  if (fd < 0) die("cannot open /dev/mem");
  return fd;
}

int peek(const char *address_text, const char *count_text) {
  uint64_t address = strtoull(address_text, nullptr, 0);
  std::string bytes(strtoul(count_text, nullptr, 0), '\0');
  int fd = open_dev_mem();
  ssize_t n = pread(fd, bytes.data(), bytes.size(), (off_t)address);
  if (n < 0) {
    printf("peek: %s\n", strerror(errno));
    return 0;
  }
  for (ssize_t i = 0; i < n; i++) printf("%02x", (uint8_t)bytes[i]);
  printf("\n");
  return 0;
}

int poke(const char *address_text, const char *hex) {
  uint64_t address = strtoull(address_text, nullptr, 0);
  std::string bytes;
  for (const char *p = hex; p[0] && p[1]; p += 2) bytes += (char)std::stoi(std::string(p, 2), nullptr, 16);
  int fd = open_dev_mem();
  ssize_t n = pwrite(fd, bytes.data(), bytes.size(), (off_t)address);
  if (n < 0)
    printf("poke: %s\n", strerror(errno));
  else
    printf("poke: %zd bytes\n", n);
  return 0;
}

int map(const char *address_text) {
  int fd = open_dev_mem();
  void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, (off_t)strtoull(address_text, nullptr, 0));
  printf("map: %s\n", page == MAP_FAILED ? strerror(errno) : "mapped");
  return 0;
}

int caps() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) die("capget failed");
  const __user_cap_data_struct &d = data[CAP_SYS_RAWIO / 32];
  const uint32_t bit = 1u << (CAP_SYS_RAWIO % 32);
  printf("CAP_SYS_RAWIO effective %d permitted %d inheritable %d bounding %d\n", !!(d.effective & bit),
         !!(d.permitted & bit), !!(d.inheritable & bit), prctl(PR_CAPBSET_READ, CAP_SYS_RAWIO) == 1);
  return 0;
}

int ask_for_ports() {
  if (iopl(3) != 0)
    printf("iopl: %s\n", strerror(errno));
  else
    printf("iopl: granted\n");
  return 0;
}

// Board 0's SRAM through its mapped BAR0, which the model never sees: its
// resource file mapped, so that configuration space need not answer (a
// restarted board's does not for a while, and has lost its BARs).
struct MappedSram {
  static volatile uint8_t *map_bar0() {
    int fd = open("/sys/bus/pci/devices/0000:01:00.0/resource0", O_RDWR | O_CLOEXEC);
    if (fd < 0) die("cannot open the resource0 file of 01:00.0");
    void *map = mmap(nullptr, 0x1000000, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) die("cannot map the resource0 file of 01:00.0");
    return static_cast<volatile uint8_t *>(map);
  }
  volatile uint8_t *sram = map_bar0();
  ~MappedSram() { munmap(const_cast<uint8_t *>(sram), 0x1000000); }
  uint32_t word(uint32_t at) const {
    return (uint32_t)sram[at] << 24 | sram[at + 1] << 16 | sram[at + 2] << 8 | sram[at + 3];
  }
  // The message log from its start at the latest boot.
  std::string log() const {
    constexpr uint32_t HEADER = 0x1de9e8;
    uint32_t written = word(HEADER + 12), ring = word(HEADER + 20);
    std::string text;
    if (ring > 0x200000 - 8192) return text;
    for (uint32_t n = 0; n < written && n < 8192; n++) text += (char)sram[ring + n];
    return text;
  }
};

// Whether `done` comes to hold within five seconds, looking every millisecond.
bool within_five_seconds(const std::function<bool()> &done) {
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    usleep(1000);
  }
  return true;
}

int restart() {
  MappedSram board;
  *reinterpret_cast<volatile uint32_t *>(board.sram) = 0;
  // The boot rewrites word 0 before the log's header and first line, and
  // the model runs beside this process: wait for the whole of it.
  if (!within_five_seconds([&] { return board.word(0) != 0 && board.log().rfind("ucp: reset", 0) == 0; }))
    die("the board did not restart");
  std::string log = board.log();
  printf("restarted\n%s", log.substr(0, log.find('\n') + 1).c_str());
  return 0;
}

int wait_log(const char *text) {
  MappedSram board;
  printf(within_five_seconds([&] { return board.log().find(text) != std::string::npos; }) ? "found\n" : "not found\n");
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::string what = argc > 1 ? argv[1] : "";
  if (what == "scan" && argc == 2) return scan();
  if (what == "open" && argc <= 3) return open_board(argc == 3 ? argv[2] : nullptr);
  if (what == "eeprom" && (argc == 3 || argc == 4)) return eeprom(argv[2], argc == 4 ? argv[3] : nullptr);
  if (what == "window" && argc == 3) return window(argv[2]);
  if (what == "peek" && argc == 4) return peek(argv[2], argv[3]);
  if (what == "poke" && argc == 4) return poke(argv[2], argv[3]);
  if (what == "map" && argc == 3) return map(argv[2]);
  if (what == "caps" && argc == 2) return caps();
  if (what == "iopl" && argc == 2) return ask_for_ports();
  if (what == "restart" && argc == 2) return restart();
  if (what == "wait-log" && argc == 3) return wait_log(argv[2]);
  fprintf(stderr,
          "usage: host_probe scan | open [POSITION] | eeprom ADDR [BYTE] | window ADDR | peek ADDR COUNT |\n"
          "       poke ADDR HEX | map ADDR | caps | iopl | restart | wait-log TEXT\n");
  return 2;
}
