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
//
// Failures print a line on stderr and exit with 1.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

}  // namespace

int main(int argc, char **argv) {
  std::string what = argc > 1 ? argv[1] : "";
  if (what == "scan" && argc == 2) return scan();
  if (what == "open" && argc <= 3) return open_board(argc == 3 ? argv[2] : nullptr);
  if (what == "eeprom" && (argc == 3 || argc == 4)) return eeprom(argv[2], argc == 4 ? argv[3] : nullptr);
  fprintf(stderr, "usage: host_probe scan | open [POSITION] | eeprom ADDR [BYTE]\n");
  return 2;
}
