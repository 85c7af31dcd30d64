// Access method "ubadrv": the card driver's per-card files. The driver
// presents card N as bus N, device 0, function 0 of domain 0, answers
// configuration requests and maps the card's BARs.

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "uba_drv.h"
#include "uba_internal.h"

struct uba_ubadrv_pci {
  uint32_t nbcard;
  pci_access pci;
};

namespace {

uba_ubadrv_pci ubadrv_state;

int ubadrv_probe(pci_access *) {
  const char *driver = getenv("UBA_DRIVER");
  if (!driver || !*driver) return -1;
  char path[256];
  uba_host_path(path, sizeof path, UBADRV_CARD_FILE, 0);
  return access(path, F_OK) == 0 ? 0 : -1;
}

void ubadrv_init(pci_access *) {}
void ubadrv_fini(pci_access *) {}

int ubadrv_has_bus(pci_access *, int domain, int) { return domain == 0; }

pci_dev *ubadrv_init_dev(pci_dev *dev) {
  if (dev->domain != 0 || dev->dev != 0 || dev->func != 0) return nullptr;
  uba_host_path(dev->devfs_name, sizeof dev->devfs_name, UBADRV_CARD_FILE, dev->bus);
  dev->handle = open(dev->devfs_name, O_RDWR);
  if (dev->handle < 0) return nullptr;
  if (!uba_pci_read_header(dev, true)) {
    close(dev->handle);
    return nullptr;
  }
  return dev;
}

unsigned ubadrv_read(pci_dev *dev, unsigned reg, int width) {
  if (reg > 255) return 0;
  uba_pci_cfg_req req = {(uint16_t)reg, (uint16_t)width, 0};
  handle_error(uba_host.ioctl(dev->handle, UBADRV_PCI_CFG_READ, &req) != 0, "ioctl(UBADRV_PCI_CFG_READ) failed");
  return req.val;
}

void ubadrv_write(pci_dev *dev, unsigned reg, unsigned value, int width) {
  uba_pci_cfg_req req = {(uint16_t)reg, (uint16_t)width, value};
  handle_error(uba_host.ioctl(dev->handle, UBADRV_PCI_CFG_WRITE, &req) != 0, "ioctl(UBADRV_PCI_CFG_WRITE) failed");
}

unsigned ubadrv_readb(pci_dev *dev, unsigned reg) { return ubadrv_read(dev, reg, 1); }
unsigned ubadrv_readw(pci_dev *dev, unsigned reg) { return ubadrv_read(dev, reg, 2); }
unsigned ubadrv_readl(pci_dev *dev, unsigned reg) { return ubadrv_read(dev, reg, 4); }
void ubadrv_writeb(pci_dev *dev, unsigned reg, unsigned v) { ubadrv_write(dev, reg, v, 1); }
void ubadrv_writew(pci_dev *dev, unsigned reg, unsigned v) { ubadrv_write(dev, reg, v, 2); }
void ubadrv_writel(pci_dev *dev, unsigned reg, unsigned v) { ubadrv_write(dev, reg, v, 4); }

// The driver maps a fixed window per BAR, whatever offset and length the
// caller asks for.
void *ubadrv_mmap_bar(pci_dev *dev, int bar, unsigned, unsigned) {
  uint64_t offset, length;
  if (bar == 0) {
    offset = UBADRV_BAR0_OFFSET;
    length = UBADRV_BAR0_SIZE;
  } else if (bar == 2) {
    offset = UBADRV_BAR2_OFFSET;
    length = UBADRV_BAR2_SIZE;
  } else {
    handle_error(1, "invalid bar %d passed to ubadrv_mmap_bar\n", bar);
    return nullptr;
  }
  void *map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, dev->handle, offset);
  if (map == MAP_FAILED || map == nullptr) {
    int e = errno;
    handle_error(1, "ubadrv_mmap_bar:%s", strerror(e));
  }
  return map;
}

void ubadrv_close_dev(pci_dev *dev) { close(dev->handle); }

const uba_pci_ops ubadrv_ops = {
    .name = "ubadrv",
    .readb = ubadrv_readb,
    .readw = ubadrv_readw,
    .readl = ubadrv_readl,
    .writeb = ubadrv_writeb,
    .writew = ubadrv_writew,
    .writel = ubadrv_writel,
    .init = ubadrv_init,
    .fini = ubadrv_fini,
    .mmap_bar = ubadrv_mmap_bar,
    .has_bus = ubadrv_has_bus,
    .can_access_ext_conf = nullptr,
    .probe = ubadrv_probe,
    .init_dev = ubadrv_init_dev,
    .close_dev = ubadrv_close_dev,
};

}  // namespace

__attribute__((constructor)) void uba_pci_ubadrv_init(void) {
  ubadrv_state.pci.u.ubadrv_pci = &ubadrv_state;
  ubadrv_state.pci.ops = &ubadrv_ops;
  ubadrv_state.pci.method = UBA_PCI_UBADRV;
  uba_pci_register(UBA_PCI_UBADRV, &ubadrv_state.pci);
}
