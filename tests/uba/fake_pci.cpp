#include "fake_pci.h"

#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <memory>
#include <tuple>
#include <unistd.h>

namespace fake_pci {

std::vector<FakeAccess> log;
int probe_result;
bool ext_conf;
bool have_mmap_bar;
bool have_has_bus;
int init_calls, fini_calls, close_calls;
std::string bar_file;

namespace {

using Key = std::tuple<int, int, int, int>;
std::map<Key, std::unique_ptr<FakeFunction>> functions;

FakeFunction &of(pci_dev *dev) { return *find(dev->domain, dev->bus, dev->dev, dev->func); }

uint32_t read(pci_dev *dev, unsigned reg, int width) {
  FakeFunction &f = of(dev);
  uint32_t v = width == 1 ? f.r8(reg) : width == 2 ? f.r16(reg) : f.r32(reg);
  log.push_back({false, width, reg, v});
  return v;
}

void write(pci_dev *dev, unsigned reg, uint32_t v, int width) {
  FakeFunction &f = of(dev);
  log.push_back({true, width, reg, v});
  if (width == 1)
    f.w8(reg, v);
  else if (width == 2)
    f.w16(reg, v);
  else
    f.w32(reg, v);
}

unsigned readb(pci_dev *d, unsigned r) { return read(d, r, 1); }
unsigned readw(pci_dev *d, unsigned r) { return read(d, r, 2); }
unsigned readl(pci_dev *d, unsigned r) { return read(d, r, 4); }
void writeb(pci_dev *d, unsigned r, unsigned v) { write(d, r, v, 1); }
void writew(pci_dev *d, unsigned r, unsigned v) { write(d, r, v, 2); }
void writel(pci_dev *d, unsigned r, unsigned v) { write(d, r, v, 4); }

void init(pci_access *) { init_calls++; }
void fini(pci_access *) { fini_calls++; }
int probe(pci_access *) { return probe_result; }
void close_dev(pci_dev *) { close_calls++; }
int can_access_ext_conf(pci_dev *) { return ext_conf; }

int has_bus(pci_access *, int domain, int bus) {
  for (const auto &[key, f] : functions)
    if (std::get<0>(key) == domain && std::get<1>(key) == bus) return 1;
  return 0;
}

pci_dev *init_dev(pci_dev *dev) {
  FakeFunction *f = find(dev->domain, dev->bus, dev->dev, dev->func);
  if (!f) return nullptr;
  if (!uba_pci_read_header(dev, !f->os_bars)) return nullptr;
  if (f->os_bars)
    for (int i = 0; i < 6; i++) dev->base_addr[i] = (*f->os_bars)[i];
  return dev;
}

void *mmap_bar(pci_dev *dev, int bar, unsigned offset, unsigned size) {
  return ioremap_dev(bar_file.c_str(), (dev->base_addr[bar] & ~0x1full) + offset, size);
}

uba_pci_ops ops = {
    .name = "fake",
    .readb = readb,
    .readw = readw,
    .readl = readl,
    .writeb = writeb,
    .writew = writew,
    .writel = writel,
    .init = init,
    .fini = fini,
    .mmap_bar = mmap_bar,
    .has_bus = nullptr,
    .can_access_ext_conf = can_access_ext_conf,
    .probe = probe,
    .init_dev = init_dev,
    .close_dev = close_dev,
};

pci_access access;

__attribute__((constructor)) void register_fake() {
  access.ops = &ops;
  access.method = METHOD;
  uba_pci_register(METHOD, &access);
}

}  // namespace

void reset() {
  functions.clear();
  log.clear();
  probe_result = -1;
  ext_conf = true;
  have_mmap_bar = true;
  have_has_bus = true;
  init_calls = fini_calls = close_calls = 0;
  if (bar_file.empty()) {
    char path[] = "/tmp/fake_pci_bars.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) abort();
    close(fd);
    bar_file = path;
    static pid_t owner = getpid();  // death-test children exit too, but the file is the parent's
    atexit([] {
      if (getpid() == owner) unlink(bar_file.c_str());
    });
  }
  truncate(bar_file.c_str(), 0);
  if (truncate(bar_file.c_str(), 1ull << 33) != 0) abort();  // sparse: 8 GiB of "physical memory"
}

FakeFunction &add(int bus, int dev, int func, uint16_t vendor, uint16_t device, int domain) {
  auto &f = functions[{domain, bus, dev, func}];
  f = std::make_unique<FakeFunction>();
  f->domain = domain, f->bus = bus, f->dev = dev, f->func = func;
  f->w16(0, vendor);
  f->w16(2, device);
  return *f;
}

FakeFunction *find(int domain, int bus, int dev, int func) {
  auto it = functions.find({domain, bus, dev, func});
  return it == functions.end() ? nullptr : it->second.get();
}

void use() {
  ops.mmap_bar = have_mmap_bar ? mmap_bar : nullptr;
  ops.has_bus = have_has_bus ? has_bus : nullptr;
  uba_pci_method(METHOD);
}

}  // namespace fake_pci

FakeFunction &FakeFunction::capabilities(std::initializer_list<std::pair<uint8_t, uint8_t>> caps) {
  w16(0x06, r16(0x06) | 0x10);
  uint8_t *link = &cfg[0x34];
  for (auto [pos, id] : caps) {
    *link = pos;
    w8(pos, id);
    w8(pos + 1, 0);
    link = &cfg[pos + 1];
  }
  return *this;
}

FakeFunction &FakeFunction::ext_capabilities(std::initializer_list<std::pair<uint16_t, uint16_t>> caps) {
  const std::pair<uint16_t, uint16_t> *prev = nullptr;
  for (const auto &cap : caps) {
    if (prev) w32(prev->first, prev->second | 1u << 16 | (uint32_t)cap.first << 20);
    w32(cap.first, cap.second | 1u << 16);
    prev = &cap;
  }
  return *this;
}
