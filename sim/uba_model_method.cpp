#include "uba_model_method.h"

#include "uba_internal.h"

namespace sim {

namespace {

Host *served;

PciFunction *function_of(pci_dev *dev) { return served->reach(dev->domain, dev->bus, dev->dev, dev->func); }

uint32_t read(pci_dev *dev, unsigned reg, int width) {
  served->advance(Board::Clock::now());
  PciFunction *f = function_of(dev);
  if (reg + width > f->config_size()) return width == 4 ? 0xffffffffu : (1u << 8 * width) - 1;
  return f->config_read(reg, width);
}

void write(pci_dev *dev, unsigned reg, unsigned value, int width) {
  served->advance(Board::Clock::now());
  PciFunction *f = function_of(dev);
  if (reg + width <= f->config_size()) f->config_write(reg, value, width);
}

unsigned readb(pci_dev *d, unsigned r) { return read(d, r, 1); }
unsigned readw(pci_dev *d, unsigned r) { return read(d, r, 2); }
unsigned readl(pci_dev *d, unsigned r) { return read(d, r, 4); }
void writeb(pci_dev *d, unsigned r, unsigned v) { write(d, r, v, 1); }
void writew(pci_dev *d, unsigned r, unsigned v) { write(d, r, v, 2); }
void writel(pci_dev *d, unsigned r, unsigned v) { write(d, r, v, 4); }

void init(pci_access *) {}

int has_bus(pci_access *, int domain, int bus) {
  for (const Host::Slot &s : served->slots())
    if (s.domain == domain && s.bus == bus) return 1;
  return 0;
}

// Like the operating system's view: BARs and interrupt from the resources.
pci_dev *init_dev(pci_dev *dev) {
  PciFunction *f = function_of(dev);
  if (!f || !uba_pci_read_header(dev, false)) return nullptr;
  auto resources = f->resources();
  for (int i = 0; i < 6; i++) {
    dev->base_addr[i] = resources[i].start;
    dev->size[i] = resources[i].end - resources[i].start;
  }
  dev->irq = f->irq();
  return dev;
}

void *mmap_bar(pci_dev *dev, int bar, unsigned offset, unsigned size) {
  const SharedMemory *memory = function_of(dev)->resources().at(bar).memory;
  handle_error(!memory || offset + size > memory->size(), "cannot map BAR %d of %s", bar, dev->name);
  return memory->data() + offset;
}

int can_access_ext_conf(pci_dev *dev) { return function_of(dev)->config_size() > 256; }

const uba_pci_ops ops = {
    .name = "model",
    .readb = readb,
    .readw = readw,
    .readl = readl,
    .writeb = writeb,
    .writew = writew,
    .writel = writel,
    .init = init,
    .fini = nullptr,
    .mmap_bar = mmap_bar,
    .has_bus = has_bus,
    .can_access_ext_conf = can_access_ext_conf,
    .probe = [](pci_access *) { return served ? 0 : -1; },
    .init_dev = init_dev,
    .close_dev = nullptr,
};

pci_access access;

__attribute__((constructor)) void register_model_method() {
  access.ops = &ops;
  access.method = UBA_PCI_MODEL;
  uba_pci_register(UBA_PCI_MODEL, &access);
}

}  // namespace

void serve_in_process(Host &host) { served = &host; }

}  // namespace sim
