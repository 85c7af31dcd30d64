// Access method "iocf8": configuration mechanism 1 through I/O ports 0xcf8
// (address) and 0xcfc (data). Reaches the 256-byte space of domain 0.

#include <cerrno>
#include <cstring>

#include "uba_internal.h"

struct uba_iocf8_pci {
  pci_access pci;
};

namespace {

constexpr unsigned CONFIG_ADDRESS = 0xcf8, CONFIG_DATA = 0xcfc;

uba_iocf8_pci iocf8_state;

void iocf8_init(pci_access *) {
  if (uba_host.iopl(3) < 0) {
    int e = errno;
    handle_error(1, "iopl failed: cannot get access to io ports:%s\n", strerror(e));
  }
}

void iocf8_fini(pci_access *) { uba_host.iopl(0); }

int iocf8_has_bus(pci_access *, int domain, int) { return domain == 0; }

pci_dev *iocf8_init_dev(pci_dev *dev) {
  if (dev->domain != 0) return nullptr;
  dev->cfg_addr = 0x80000000u | dev->bus << 16 | dev->dev << 11 | dev->func << 8;
  return uba_pci_read_header(dev, true);
}

// The address and data accesses form one configuration cycle. Since Linux
// 5.5, iopl(3) grants the ports but no longer lets a process disable
// interrupts (cli faults), so the pair is issued as it is.
unsigned iocf8_read(pci_dev *dev, unsigned reg, int width) {
  if (reg > 255) return 0;
  uba_host.port_out(CONFIG_ADDRESS, dev->cfg_addr + (reg & ~3u), 4);
  return uba_host.port_in(CONFIG_DATA + (reg & 3), width);
}

void iocf8_write(pci_dev *dev, unsigned reg, unsigned value, int width) {
  handle_error(reg > 255, "pci reg 0x%x invalid for iocf8\n", reg);
  uba_host.port_out(CONFIG_ADDRESS, dev->cfg_addr + (reg & ~3u), 4);
  uba_host.port_out(CONFIG_DATA + (reg & 3), value, width);
}

unsigned iocf8_readb(pci_dev *dev, unsigned reg) { return iocf8_read(dev, reg, 1); }
unsigned iocf8_readw(pci_dev *dev, unsigned reg) { return iocf8_read(dev, reg, 2); }
unsigned iocf8_readl(pci_dev *dev, unsigned reg) { return iocf8_read(dev, reg, 4); }
void iocf8_writeb(pci_dev *dev, unsigned reg, unsigned v) { iocf8_write(dev, reg, v, 1); }
void iocf8_writew(pci_dev *dev, unsigned reg, unsigned v) { iocf8_write(dev, reg, v, 2); }
void iocf8_writel(pci_dev *dev, unsigned reg, unsigned v) { iocf8_write(dev, reg, v, 4); }

const uba_pci_ops iocf8_ops = {
    .name = "iocf8",
    .readb = iocf8_readb,
    .readw = iocf8_readw,
    .readl = iocf8_readl,
    .writeb = iocf8_writeb,
    .writew = iocf8_writew,
    .writel = iocf8_writel,
    .init = iocf8_init,
    .fini = iocf8_fini,
    .mmap_bar = nullptr,
    .has_bus = iocf8_has_bus,
    .can_access_ext_conf = nullptr,
    .probe = nullptr,
    .init_dev = iocf8_init_dev,
    .close_dev = nullptr,
};

}  // namespace

__attribute__((constructor)) void uba_pci_iocf8_init(void) {
  iocf8_state.pci.u.iocf8_pci = &iocf8_state;
  iocf8_state.pci.ops = &iocf8_ops;
  iocf8_state.pci.method = UBA_PCI_IOCF8;
  uba_pci_register(UBA_PCI_IOCF8, &iocf8_state.pci);
}
