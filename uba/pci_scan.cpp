// The PCI device list: the bus scan, the configuration accessors, the
// capability walks and the bit-field accessors.

#include <bitset>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "uba_internal.h"

uba_pci_state uba_pci;

namespace {

constexpr uint16_t QUIRK_SWITCH_VENDOR = 0x10b5, QUIRK_SWITCH_DEVICE = 0x8532;
constexpr unsigned QUIRK_SWITCH_BUS = 2;

// A capability list has at most 48 entries in the 192 bytes after the
// header; a longer walk is a broken or looping list.
constexpr int MAX_CAPABILITIES = 48;
constexpr int MAX_EXT_CAPABILITIES = 512;

pci_dev *new_device(pci_access *acc, int domain, int bus, int dev, int func) {
  auto d = static_cast<pci_dev *>(uba_xmalloc(sizeof(pci_dev)));
  memset(d, 0, sizeof *d);
  d->domain = domain;
  d->bus = bus;
  d->dev = dev;
  d->func = func;
  d->pci = acc;
  if (domain)
    snprintf(d->name, sizeof d->name, "%04x:%02x:%02x.%d", domain, bus, dev, func);
  else
    snprintf(d->name, sizeof d->name, "%02x:%02x.%d", bus, dev, func);
  return d;
}

// Tries one function and appends it to the list when present; returns it
// with its header-type byte, or null when it is absent.
pci_dev *scan_function(pci_access *acc, int domain, int bus, int dev, int func, unsigned *header_type_out) {
  pci_dev *d = new_device(acc, domain, bus, dev, func);
  pci_dev *res = acc->ops->init_dev(d);
  if (!res) {
    free(d);
    return nullptr;
  }
  handle_error(res != d, "assertion failed: res == pdev");
  unsigned header_type = pci_read_byte(d, 0x0e);
  d->is_bridge = (header_type & 0x7f) == 1;
  // The parent is taken before the bridge records its own claim, so a bridge
  // that claims its own bus cannot become its own parent.
  d->parent = uba_pci.bridges[domain][bus];
  if (d->is_bridge) {
    d->secondary_bus = pci_read_byte(d, 0x19);
    handle_error(uba_pci.bridges[domain][d->secondary_bus] != nullptr, "Two bridges claim bus number %d\n",
                 d->secondary_bus);
    uba_pci.bridges[domain][d->secondary_bus] = d;
  }
  *acc->dev_tail = d;
  acc->dev_tail = &d->next;
  *header_type_out = header_type;
  return d;
}

bool is_quirk_switch(const pci_dev *d) {
  return d->vendor_id == QUIRK_SWITCH_VENDOR && d->device_id == QUIRK_SWITCH_DEVICE && d->bus == QUIRK_SWITCH_BUS;
}

void scan_one_bus(pci_access *acc, int domain, int bus) {
  for (int dev = 0; dev < 32; dev++) {
    for (int func = 0; func < 8; func++) {
      unsigned header_type = 0;
      pci_dev *d = scan_function(acc, domain, bus, dev, func, &header_type);
      if (d && is_quirk_switch(d)) return;  // the rest of this switch's bus is not scanned
      if (func == 0 && (!d || !(header_type & 0x80))) break;  // not a multi-function device
    }
  }
}

}  // namespace

pci_dev *uba_pci_read_header(pci_dev *dev, bool read_bars) {
  dev->vendor_id = pci_read_word(dev, 0);
  if (dev->vendor_id == 0 || dev->vendor_id == 0xffff) return nullptr;
  dev->device_id = pci_read_word(dev, 2);
  dev->irq = pci_read_byte(dev, 0x3c);
  if (read_bars) {
    for (int i = 0; i < 6; i++) {
      dev->size[i] = 0;
      dev->base_addr[i] = pci_read_long(dev, 0x10 + 4 * i);
      if ((dev->base_addr[i] & 7) == 4 && i < 5) {  // 64-bit memory BAR: the next register is its top half
        dev->base_addr[i] |= (uint64_t)pci_read_long(dev, 0x14 + 4 * i) << 32;
        i++;
      }
    }
  }
  return dev;
}

pci_access *pci_alloc(void) {
  uba_choose_method();
  return uba_pci.pci;
}

void pci_scan_bus(pci_access *) {
  if (uba_pci.scanned) return;
  uba_choose_method();
  pci_access *acc = uba_pci.pci;
  acc->ops->init(acc);
  uba_pci.bridges = static_cast<pci_dev_t(*)[256]>(uba_xmalloc(sizeof(pci_dev_t[UBA_PCI_DOMAINS][256])));
  memset(uba_pci.bridges, 0, sizeof(pci_dev_t[UBA_PCI_DOMAINS][256]));
  acc->devices = nullptr;
  acc->dev_tail = &acc->devices;
  for (int domain = 0; domain < UBA_PCI_DOMAINS; domain++)
    for (int bus = 0; bus < 256; bus++)
      if (!acc->ops->has_bus || acc->ops->has_bus(acc, domain, bus)) scan_one_bus(acc, domain, bus);
  uba_pci.scanned = true;
}

void uba_pci_rescan(void) {
  if (!uba_pci.scanned) return;
  pci_access *acc = uba_pci.pci;
  for (pci_dev *d = acc->devices, *next; d; d = next) {
    next = d->next;
    if (acc->ops->close_dev) acc->ops->close_dev(d);
    free(d);
  }
  free(uba_pci.bridges);
  uba_pci.bridges = nullptr;
  acc->devices = nullptr;
  acc->dev_tail = &acc->devices;
  if (acc->ops->fini) acc->ops->fini(acc);
  uba_pci.scanned = false;
}

unsigned pci_read_byte(pci_dev *dev, unsigned reg) { return dev->pci->ops->readb(dev, reg); }
unsigned pci_read_word(pci_dev *dev, unsigned reg) { return dev->pci->ops->readw(dev, reg); }
unsigned pci_read_long(pci_dev *dev, unsigned reg) { return dev->pci->ops->readl(dev, reg); }

int pci_write_byte(pci_dev *dev, unsigned reg, int val) {
  dev->pci->ops->writeb(dev, reg, val);
  return 1;
}
void pci_write_word(pci_dev *dev, unsigned reg, int val) { dev->pci->ops->writew(dev, reg, val); }
void pci_write_long(pci_dev *dev, unsigned reg, uint32_t val) { dev->pci->ops->writel(dev, reg, val); }

int pci_read_block(pci_dev *dev, unsigned reg, uint8_t *buf, int len) {
  for (int i = 0; i < len; i++) buf[i] = pci_read_byte(dev, reg + i);
  return 1;
}

void _pci_read_bitfield(pci_dev *dev, unsigned off, void *field, size_t size) {
  switch (size) {
    case 1: {
      uint8_t v = pci_read_byte(dev, off);
      memcpy(field, &v, 1);
      break;
    }
    case 2: {
      uint16_t v = pci_read_word(dev, off);
      memcpy(field, &v, 2);
      break;
    }
    case 4: {
      uint32_t v = pci_read_long(dev, off);
      memcpy(field, &v, 4);
      break;
    }
    default: abort();
  }
}

void _pci_write_bitfield(pci_dev *dev, unsigned off, const void *field, size_t size) {
  switch (size) {
    case 1: {
      uint8_t v;
      memcpy(&v, field, 1);
      pci_write_byte(dev, off, v);
      break;
    }
    case 2: {
      uint16_t v;
      memcpy(&v, field, 2);
      pci_write_word(dev, off, v);
      break;
    }
    case 4: {
      uint32_t v;
      memcpy(&v, field, 4);
      pci_write_long(dev, off, v);
      break;
    }
    default: abort();
  }
}

namespace {

// Walks the standard capability list and returns the first position that
// `accept` takes, or 0. A pointer of 0xff is what a device that has dropped
// off the bus answers: the program stops. A cycle or an overlong list ends
// the walk as not found.
template <class Accept>
int walk_capabilities(pci_dev *dev, Accept accept) {
  unsigned ptr = (pci_read_word(dev, 0x06) & 0x10) ? pci_read_byte(dev, 0x34) : 0;
  std::bitset<64> visited;
  for (int step = 0; step < MAX_CAPABILITIES && ptr != 0; step++) {
    if (ptr == 0xff) {
      fprintf(stderr, "ERROR:uba_cfg_space_capability: cap_ptr =0xff\n");
      exit(1);
    }
    unsigned pos = ptr & 0xfc;
    if (visited[pos >> 2]) return 0;
    visited.set(pos >> 2);
    if (accept(pos)) return pos;
    ptr = pci_read_byte(dev, pos + 1);
  }
  return 0;
}

}  // namespace

int uba_find_capability_n(pci_dev *dev, unsigned cap_id, unsigned idx) {
  return walk_capabilities(dev, [&](unsigned pos) {
    if (pci_read_byte(dev, pos) != cap_id) return false;
    if (idx == 0) return true;
    idx--;
    return false;
  });
}

int uba_find_hyper_capability(pci_dev *dev, unsigned hyper_id, unsigned idx) {
  constexpr unsigned HYPERTRANSPORT_CAP_ID = 8;
  return walk_capabilities(dev, [&](unsigned pos) {
    if (pci_read_byte(dev, pos) != HYPERTRANSPORT_CAP_ID) return false;
    unsigned type = pci_read_byte(dev, pos + 3) >> 3;  // top five bits of the command word
    // Ids below 8 name the three-bit interface type, held in bits 4..2 here.
    bool match = hyper_id < 8 ? (type & 0x1c) == hyper_id : type == hyper_id;
    if (!match) return false;
    if (idx == 0) return true;
    idx--;
    return false;
  });
}

int uba_find_ext_capability(pci_dev *dev, unsigned ext_cap_id) {
  if (!uba_can_access_ext_conf(dev)) {
    fprintf(stderr, "Warning:uba_find_ext_capability:%s:ext-conf unreadable with \"%s\"\n", dev->name,
            dev->pci->ops->name);
    return 0;
  }
  unsigned pos = 0x100;
  for (int i = 0; i < MAX_EXT_CAPABILITIES; i++) {
    uint32_t header = pci_read_long(dev, pos);
    if ((header & 0xffff) == ext_cap_id) return pos;
    // The low two bits of the next pointer are reserved: masking them keeps
    // every header read aligned and inside the 4 KiB space.
    pos = (header >> 20) & 0xffc;
    if (pos < 0x100) return 0;
  }
  return 0;
}

int uba_can_access_ext_conf(pci_dev *dev) {
  return dev->pci->ops->can_access_ext_conf ? dev->pci->ops->can_access_ext_conf(dev) : 0;
}

const char *uba_pci_name(pci_dev *dev) { return dev->name; }
