// Access method "mm": the memory-mapped extended configuration space, found
// by probing the usual physical windows.

#include "uba_internal.h"
#include "uba_mmio.h"

struct uba_mm_pci {
  volatile uint8_t *mapped_addr;  // the accepted window, null while unmapped
  uint32_t size;                  // bytes mapped
  pci_access pci;
};

namespace {

struct window {
  uint64_t addr;
  uint32_t size;
};
// Candidate windows, in the order they are tried.
constexpr window mmpos[] = {{0xe0000000, 0x10000000}, {0xd0000000, 0x10000000}, {0xf0000000, 0x2000000}};

constexpr uint32_t BUS_STRIDE = 0x100000, DEV_STRIDE = 0x8000, FUNC_STRIDE = 0x1000;

uba_mm_pci mm_state;

// A window is accepted when the host bridge at its start has one of the
// vendor ids of the chipsets that carry it.
bool window_answers(const volatile uint8_t *w) {
  uint16_t vendor = uba_mmio_read<uint16_t>(w);
  uint16_t vendor_dev1 = uba_mmio_read<uint16_t>(w + DEV_STRIDE);
  return vendor == 0x1166 || vendor == 0x8086 || vendor == 0x10de || vendor_dev1 == 0x1166;
}

int mm_probe(pci_access *pci) {
  uba_mm_pci *mm = pci->u.mm_pci;
  if (mm->mapped_addr) return 0;
  for (const window &w : mmpos) {
    auto map = static_cast<volatile uint8_t *>(ioremap_dev(nullptr, w.addr, w.size));
    if (window_answers(map)) {
      mm->mapped_addr = map;
      mm->size = w.size;
      return 0;
    }
    iounmap_dev(map);
  }
  return -1;
}

void mm_init(pci_access *pci) {
  handle_error(mm_probe(pci) < 0, "Cannot find memory-mapped ext-conf-space location\n");
}

void mm_fini(pci_access *pci) {
  uba_mm_pci *mm = pci->u.mm_pci;
  if (mm->mapped_addr) iounmap_dev(mm->mapped_addr);
  mm->mapped_addr = nullptr;
}

int mm_has_bus(pci_access *pci, int domain, int bus) {
  return domain == 0 && (uint64_t)bus * BUS_STRIDE < pci->u.mm_pci->size;
}

pci_dev *mm_init_dev(pci_dev *dev) {
  if (!mm_has_bus(dev->pci, dev->domain, dev->bus)) return nullptr;
  return uba_pci_read_header(dev, true);
}

volatile uint8_t *reg_addr(pci_dev *dev, unsigned reg) {
  return dev->pci->u.mm_pci->mapped_addr + dev->bus * BUS_STRIDE + dev->dev * DEV_STRIDE + dev->func * FUNC_STRIDE +
         reg;
}

unsigned mm_readb(pci_dev *dev, unsigned reg) { return uba_mmio_read<uint8_t>(reg_addr(dev, reg)); }
unsigned mm_readw(pci_dev *dev, unsigned reg) { return uba_mmio_read<uint16_t>(reg_addr(dev, reg)); }
unsigned mm_readl(pci_dev *dev, unsigned reg) { return uba_mmio_read<uint32_t>(reg_addr(dev, reg)); }
void mm_writeb(pci_dev *dev, unsigned reg, unsigned v) { uba_mmio_write<uint8_t>(reg_addr(dev, reg), v); }
void mm_writew(pci_dev *dev, unsigned reg, unsigned v) { uba_mmio_write<uint16_t>(reg_addr(dev, reg), v); }
void mm_writel(pci_dev *dev, unsigned reg, unsigned v) { uba_mmio_write<uint32_t>(reg_addr(dev, reg), v); }

int mm_can_access_ext_conf(pci_dev *) { return 1; }

const uba_pci_ops mm_ops = {
    .name = "mm",
    .readb = mm_readb,
    .readw = mm_readw,
    .readl = mm_readl,
    .writeb = mm_writeb,
    .writew = mm_writew,
    .writel = mm_writel,
    .init = mm_init,
    .fini = mm_fini,
    .mmap_bar = nullptr,
    .has_bus = mm_has_bus,
    .can_access_ext_conf = mm_can_access_ext_conf,
    .probe = mm_probe,
    .init_dev = mm_init_dev,
    .close_dev = nullptr,
};

}  // namespace

__attribute__((constructor)) void uba_pci_mm_init(void) {
  mm_state.pci.u.mm_pci = &mm_state;
  mm_state.pci.ops = &mm_ops;
  mm_state.pci.method = UBA_PCI_MM;
  uba_pci_register(UBA_PCI_MM, &mm_state.pci);
}
