// Board open and BAR mapping: a NIC named by unit number becomes a uba_nic
// with its BARs mapped and its capability positions recorded. Also the
// physical-memory mapping, the PCI64 start-up sequence and the KX register
// port.

#include <bitset>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "uba_drv.h"
#include "uba_internal.h"
#include "uba_mmio.h"

namespace {

constexpr uint64_t BAR_FLAG_BITS = 0x1f;
constexpr size_t BAR0_MAP_SIZE = 0x1000000, BAR2_MAP_SIZE = 0x100000;
constexpr uint64_t PAGE = 4096;

[[noreturn]] __attribute__((format(printf, 1, 2))) void open_failed(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  exit(1);
}

// Configuration reads of an opened board: through its mapped view when it
// has one, else through the access method.
unsigned cfg_read8(uba_nic *nic, unsigned reg) {
  return nic->cfg ? uba_mmio_read<uint8_t>(nic->cfg + reg) : pci_read_byte(nic->dev, reg);
}
unsigned cfg_read16(uba_nic *nic, unsigned reg) {
  return nic->cfg ? uba_mmio_read<uint16_t>(nic->cfg + reg) : pci_read_word(nic->dev, reg);
}
void cfg_write8(uba_nic *nic, unsigned reg, uint8_t v) {
  if (nic->cfg)
    uba_mmio_write<uint8_t>(nic->cfg + reg, v);
  else
    pci_write_byte(nic->dev, reg, v);
}
void cfg_write16(uba_nic *nic, unsigned reg, uint16_t v) {
  if (nic->cfg)
    uba_mmio_write<uint16_t>(nic->cfg + reg, v);
  else
    pci_write_word(nic->dev, reg, v);
}

// A 10G board's BAR register must hold the address the operating system
// reports for it; a mismatch means the two views of the board disagree.
void check_bar_register(uba_nic *nic, unsigned reg, uint64_t phys, const char *which) {
  uint32_t value = pci_read_long(nic->dev, reg) & ~(uint32_t)BAR_FLAG_BITS;
  if (value != (uint32_t)phys) open_failed("Cfg-space %s is inconsistent with OS view of it\n", which);
}

void map_ze(uba_nic *nic, int flags) {
  pci_dev *dev = nic->dev;
  nic->sram_size = 0x200000;
  if (!nic->phys) {
    if (!(flags & UBA_BAR0_SKIP))
      open_failed("NIC %04x:%04x (rev %d) at %s: BAR0 not initialized\n", dev->vendor_id, dev->device_id, nic->rev,
                  dev->name);
  } else if (!(flags & UBA_BAR0_SKIP)) {
    check_bar_register(nic, 0x10, nic->phys, "BAR0");
    nic->base = static_cast<uint8_t *>(uba_ioremap(nic, 0, BAR0_MAP_SIZE));
  }
  if (!nic->phys2) {
    if (!(flags & UBA_BAR2_SKIP))
      fprintf(stderr, "Warning NIC %04x:%04x (rev %d) at slot: %02x:%02x: BAR2 not initialized\n", dev->vendor_id,
              dev->device_id, nic->rev, dev->bus, dev->dev);
  } else if (!(flags & UBA_BAR2_SKIP)) {
    nic->bar2_size = BAR2_MAP_SIZE;
    check_bar_register(nic, 0x18, nic->phys2, "BAR2");
    nic->base2 = static_cast<uint8_t *>(uba_ioremap(nic, 2, BAR2_MAP_SIZE));
  }
  if ((flags & UBA_BAR_CFG) && nic->base2) nic->cfg = nic->base2 + 0x80000;
}

// PCI64 and KX boards show their configuration space inside BAR0.
void map_bar0_board(uba_nic *nic, int flags) {
  if (flags & UBA_BAR0_SKIP) {
    nic->sram_size = 0;
    return;
  }
  nic->base = static_cast<uint8_t *>(uba_ioremap(nic, 0, BAR0_MAP_SIZE));
  if (nic->type == UBA_PCI64) {
    nic->eeprom = reinterpret_cast<volatile uba_old_eeprom *>(nic->base + 0xa00000);
    nic->sram_size = 0x200000;
  } else {
    nic->sram_size = uba_mmio_read_be32(nic->base + 0xfffe80) & 0x0ffffc00;
  }
  if (flags & UBA_BAR_CFG) nic->cfg = nic->base + 0x800000;
}

// Records where each capability sits; stops on a cycle or a dead pointer.
void record_capabilities(uba_nic *nic) {
  pci_dev *dev = nic->dev;
  unsigned ptr = (cfg_read16(nic, 0x06) & 0x10) ? cfg_read8(nic, 0x34) : 0;
  std::bitset<64> visited;
  while (ptr != 0 && ptr < 0xff) {
    unsigned pos = ptr & 0xfc;
    if (visited[pos >> 2])
      open_failed("Capability cycle found in dev at %02x:%02x.%d\n", dev->bus, dev->dev, dev->func);
    unsigned id = cfg_read8(nic, pos);
    if (nic->cfg_cap[id])
      fprintf(stderr, "\nWarning: dev at %02x:%02x.%d duplicate capability %d found at %02x and %02x\n", dev->bus,
              dev->dev, dev->func, id, nic->cfg_cap[id], pos);
    nic->cfg_cap[id] = pos;
    visited.set(pos >> 2);
    ptr = cfg_read8(nic, pos + 1);
  }
  if (ptr == 0xff) open_failed("ERROR:uba_cfg_space_capability: cap_ptr =0xff\n");
}

}  // namespace

uba_nic *uba_open(int unit, int mask, int flags) {
  if (getenv("UBA_MMCONF") && !(flags & UBA_BAR_SKIP)) flags |= UBA_BAR_CFG;

  auto nic = static_cast<uba_nic *>(malloc(sizeof(uba_nic)));
  if (!nic) open_failed("uba_open:FATAL ERROR:Cannot allocate %d bytes\n", (int)sizeof(uba_nic));
  memset(nic, 0, sizeof *nic);

  pci_dev_t *devs;
  int count;
  uba_criteria_t criteria;
  criteria.mask = mask;
  uba_select(PCI_SELECT_ULVE_GENERATION, criteria, &devs, &count);
  if (unit < 0 || unit >= count)
    open_failed("FATAL ERROR:trying to open Ulvelink board instance %d: NOT FOUND\n", unit);
  pci_dev *dev = nic->dev = devs[unit];
  free(devs);

  nic->rev = pci_read_byte(dev, 8);
  nic->type = (uba_nic_type_t)uba_generation(dev->vendor_id, dev->device_id, nic->rev);
  nic->phys = dev->base_addr[0] & ~BAR_FLAG_BITS;
  nic->phys2 = dev->base_addr[2] & ~BAR_FLAG_BITS;
  if (!nic->phys && !(flags & UBA_BAR_SKIP))
    open_failed("NIC %04x:%04x(rev %d) BAR not initialized\n", dev->vendor_id, dev->device_id, nic->rev);
  if (mask & UBA_UNKNOWN) return nic;

  switch (nic->type) {
    case UBA_PCI64:
    case UBA_KX: map_bar0_board(nic, flags); break;
    case UBA_ZE: map_ze(nic, flags); break;
    default: open_failed("NIC %04x:%04x(rev %d) not yet supported\n", dev->vendor_id, dev->device_id, nic->rev);
  }

  if (flags & UBA_BAR_CFG) {
    unsigned command = pci_read_word(dev, 4);
    if (!(command & 2)) pci_write_word(dev, 4, command | 2);  // memory space on, so the view answers
  }
  if (cfg_read16(nic, 0) != dev->vendor_id) open_failed("ERROR:uba_cfg_space_read:vendor-id: 0xffff\n");
  record_capabilities(nic);
  return nic;
}

namespace {

// Under the simulator BAR0 is the image shared with it, and BAR2 plain
// memory: nothing of the simulated board answers there.
void *simulated_bar(int bar, size_t length) {
  if (bar == 0) return const_cast<uint8_t *>(uba_sim.kavi_space);
  handle_error(bar != 2, "uba_ioremap:invalid bar %d\n", bar);
  char zero[256];
  uba_host_path(zero, sizeof zero, "/dev/zero");
  return ioremap_dev(zero, 0, length);
}

}  // namespace

void *uba_ioremap(uba_nic *nic, int bar, size_t length) {
  if (uba_sim.active) return simulated_bar(bar, length);
  pci_dev *dev = nic->dev;
  // A BAR the function cannot have, or one the host left unassigned, has
  // nothing behind it to map, whichever way the method maps.
  uint64_t phys = bar >= 0 && bar < 6 ? dev->base_addr[bar] & ~BAR_FLAG_BITS : 0;
  handle_error(phys == 0, "%s:Invalid bar %d\n", dev->name, bar);
  if (dev->pci->ops->mmap_bar) return dev->pci->ops->mmap_bar(dev, bar, 0, length);
  return ioremap_dev(nullptr, phys, length);
}

namespace {

// The mappings ioremap_dev made, each with the descriptor it keeps open.
struct physical_mapping {
  void *start;
  size_t span;
  int fd;
};
std::vector<physical_mapping> physical_mappings;

}  // namespace

void *ioremap_dev(const char *file, uint64_t addr, size_t size) {
  uint64_t start = addr & ~(PAGE - 1);
  size_t span = ((addr + size + PAGE - 1) & ~(PAGE - 1)) - start;
  char umem[256], mem[256];
  const char *name = file;
  int fd;
  if (file) {
    fd = open(file, O_RDWR);
  } else {
    uba_host_path(umem, sizeof umem, "%s", UBADRV_UMEM_FILE);
    uba_host_path(mem, sizeof mem, "/dev/mem");
    name = mem;
    fd = open(umem, O_RDWR);
    if (fd < 0) fd = open(mem, O_RDWR);
  }
  if (fd < 0) {
    int e = errno;
    open_failed("%s %s(%llx,%lu) failed:%d:%s\n", "opening", name, (unsigned long long)addr, (unsigned long)span, e,
                strerror(e));
  }
  // The descriptor stays open while the mapping lives.
  void *map = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_SHARED, fd, (off_t)start);
  if (map == MAP_FAILED) {
    int e = errno;
    open_failed("%s %s(%llx,%lu) failed:%d:%s\n", "mapping", name, (unsigned long long)addr, (unsigned long)span, e,
                strerror(e));
  }
  physical_mappings.push_back({map, span, fd});
  return static_cast<uint8_t *>(map) + (addr - start);
}

void iounmap_dev(volatile void *mapped) {
  void *start = reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(mapped) & ~(uintptr_t)(PAGE - 1));
  for (auto m = physical_mappings.begin(); m != physical_mappings.end(); ++m)
    if (m->start == start) {
      munmap(m->start, m->span);
      close(m->fd);
      physical_mappings.erase(m);
      return;
    }
}

void uba_pci64_init(uba_nic *nic, int force, int mult) {
  constexpr unsigned RESET_CONTROL = 0x43;
  volatile uint8_t *clock_register = nic->base + 0x8041f8;
  bool running = (cfg_read8(nic, RESET_CONTROL) & 0x28) == 0x28;
  if (force || !running) {
    fprintf(stderr, "Ulve PCI64 NIC is under full reset, doing init procedure now\n");
    cfg_write16(nic, 4, 0x0002);
    cfg_write8(nic, RESET_CONTROL, 0x54);
    usleep(1000);
    cfg_write8(nic, RESET_CONTROL, 0x58);
    usleep(1000);
    uba_mmio_write_be32(clock_register, 0x00000080);
    usleep(10000);
    uint32_t clock = uba_mmio_read_be32(&nic->eeprom->kavi_clockval);
    clock = (clock & ~0x70u) | (uint32_t)mult << 4;
    uba_mmio_write_be32(clock_register, clock);
    usleep(10000);
    cfg_write8(nic, RESET_CONTROL, 0x20);
    uba_mmio_write_be32(nic->base + 0x804050, 0x00008000);
    cfg_write16(nic, 6, 0x8000);
  }
  nic->sram_size = uba_mmio_read_be32(&nic->eeprom->kavi_sram_size);
}

namespace {
constexpr size_t KX_PORT_ADDRESS = 0xfffc70, KX_PORT_DATA = 0xfffc78;
}

void uba_kx_port_write(uba_nic *nic, int offset, uint16_t data) {
  uba_mmio_write_be16(nic->base + KX_PORT_ADDRESS, offset);
  usleep(10);
  uba_mmio_write_be16(nic->base + KX_PORT_DATA, data);
}

uint16_t uba_kx_port_read(uba_nic *nic, int offset) {
  uba_mmio_write_be16(nic->base + KX_PORT_ADDRESS, offset | 0x8000);
  usleep(10);
  return uba_mmio_read_be16(nic->base + KX_PORT_DATA);
}
