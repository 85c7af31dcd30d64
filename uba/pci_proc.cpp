// Access method "proc": configuration space through the operating system's
// files, /sys/bus/pci/devices on kernels that have it, else /proc/bus/pci.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "uba_internal.h"

struct uba_proc_pci {
  uint8_t bus_present[UBA_PCI_DOMAINS][256];  // the buses that the operating system lists
  pci_access pci;
  int bus0_short_form;  // /proc/bus/pci names domain-0 buses by bus number alone
  int use_sys_fs;
};

namespace {

constexpr char SYS_DEVICES[] = "/sys/bus/pci/devices";
constexpr char PROC_BUS_PCI[] = "/proc/bus/pci";

uba_proc_pci proc_state;

// The /sys device tree exists from kernel 2.6.13 on. The release is compared
// as numbers, so 3.x to 6.x and later count as well.
bool release_has_sysfs() {
  const char *release = uba_host.release;
  struct utsname uts;
  if (!release) {
    if (uname(&uts) != 0) return false;
    release = uts.release;
  }
  int major = 0, minor = 0, patch = 0;
  if (sscanf(release, "%d.%d.%d", &major, &minor, &patch) < 2) return false;
  if (major != 2) return major > 2;
  if (minor != 6) return minor > 6;
  return patch >= 13;
}

bool scan_sys_fs(uba_proc_pci *p) {
  char path[256];
  uba_host_path(path, sizeof path, "%s", SYS_DEVICES);
  DIR *dir = opendir(path);
  if (!dir) return false;
  while (struct dirent *e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    unsigned domain, bus, dev;
    int func;
    // The name lives in the stream's buffer: report before anything closes it.
    handle_error(sscanf(e->d_name, "%x:%x:%x.%d", &domain, &bus, &dev, &func) != 4 || bus > 255, "Cannot parse %s",
                 e->d_name);
    if (domain < UBA_PCI_DOMAINS) p->bus_present[domain][bus] = 1;
  }
  closedir(dir);
  return true;
}

void scan_proc_bus_pci(uba_proc_pci *p) {
  char path[256];
  uba_host_path(path, sizeof path, "%s", PROC_BUS_PCI);
  DIR *dir = opendir(path);
  if (!dir) {
    int e = errno;
    handle_error(1, "opening /proc/bus/pci:%s\n", strerror(e));
  }
  while (struct dirent *e = readdir(dir)) {
    const char *name = e->d_name;
    if (name[0] == '.' || strcmp(name, "devices") == 0) continue;
    unsigned domain = 0, bus = 0;
    bool parsed;
    if (strlen(name) == 7) {
      parsed = sscanf(name, "%x:%x", &domain, &bus) == 2;
    } else {
      p->bus0_short_form = 1;
      parsed = strlen(name) == 2 && sscanf(name, "%x", &bus) == 1;
    }
    // The name lives in the stream's buffer: report before anything closes it.
    handle_error(!parsed || bus > 255, "Cannot parse %s as a pci bus id", name);
    if (domain < UBA_PCI_DOMAINS) p->bus_present[domain][bus] = 1;
  }
  closedir(dir);
}

void proc_os_init(pci_access *pci) {
  uba_proc_pci *p = pci->u.proc_pci;
  memset(p->bus_present, 0, sizeof p->bus_present);
  p->bus0_short_form = 0;
  p->use_sys_fs = 0;
  if (release_has_sysfs() && scan_sys_fs(p)) {
    p->use_sys_fs = 1;
    return;
  }
  scan_proc_bus_pci(p);
}

// Only the buses that the operating system lists can hold functions, so the
// scan skips the others without looking at their 256 slots.
int proc_has_bus(pci_access *pci, int domain, int bus) { return pci->u.proc_pci->bus_present[domain][bus]; }

bool file_exists(const char *path) {
  struct stat st;
  return stat(path, &st) == 0;
}

// BAR starts and sizes from the operating system's resource file.
void read_resources(pci_dev *dev, const char *path) {
  char text[701];
  int fd = uba_xopen(path, O_RDONLY);
  ssize_t n = uba_xread(fd, text, sizeof text - 1);
  close(fd);
  text[n] = '\0';
  const char *line = text;
  for (int i = 0; i < 6 && line; i++) {
    unsigned long long start, end, flags;
    if (sscanf(line, "%llx %llx %llx", &start, &end, &flags) == 3) {
      dev->base_addr[i] = start;
      dev->size[i] = end - start;
    }
    line = strchr(line, '\n');
    if (line) line++;
  }
}

void read_irq(pci_dev *dev, const char *path) {
  char text[32];
  int fd = uba_xopen(path, O_RDONLY);
  ssize_t n = uba_xread(fd, text, sizeof text - 1);
  close(fd);
  text[n] = '\0';
  int irq;
  if (sscanf(text, "%d", &irq) == 1) dev->irq = irq;
}

pci_dev *proc_init_dev(pci_dev *dev) {
  uba_proc_pci *p = dev->pci->u.proc_pci;
  if (!p->bus_present[dev->domain][dev->bus]) return nullptr;
  if (p->use_sys_fs)
    uba_host_path(dev->devfs_name, sizeof dev->devfs_name, "%s/%04x:%02x:%02x.%d/config", SYS_DEVICES, dev->domain,
                  dev->bus, dev->dev, dev->func);
  else if (dev->domain != 0 || !p->bus0_short_form)
    uba_host_path(dev->devfs_name, sizeof dev->devfs_name, "%s/%04x:%02x/%02x.%d", PROC_BUS_PCI, dev->domain,
                  dev->bus, dev->dev, dev->func);
  else
    uba_host_path(dev->devfs_name, sizeof dev->devfs_name, "%s/%02x/%02x.%d", PROC_BUS_PCI, dev->bus, dev->dev,
                  dev->func);
  if (!file_exists(dev->devfs_name)) return nullptr;
  dev->handle = uba_xopen(dev->devfs_name, O_RDONLY);

  char sys_dir[256], path[300];
  uba_host_path(sys_dir, sizeof sys_dir, "%s/%04x:%02x:%02x.%d", SYS_DEVICES, dev->domain, dev->bus, dev->dev,
                dev->func);
  snprintf(path, sizeof path, "%s/resource", sys_dir);
  bool have_resources = file_exists(path);
  if (!uba_pci_read_header(dev, !have_resources)) {
    close(dev->handle);
    return nullptr;
  }
  if (have_resources) {
    read_resources(dev, path);
    snprintf(path, sizeof path, "%s/irq", sys_dir);
    if (file_exists(path)) read_irq(dev, path);
  }
  return dev;
}

uint32_t proc_read(pci_dev *dev, unsigned reg, int width) {
  handle_error(reg > 63 && geteuid() != 0, "You need to be root to access PCI configuration space\n");
  uint32_t value = 0;  // little-endian host: the bytes read are the low bytes
  uba_xfullpread(dev->handle, &value, width, reg);
  return value;
}

void proc_write(pci_dev *dev, unsigned reg, uint32_t value, int width) {
  if (!dev->rw) {
    close(dev->handle);
    dev->handle = uba_xopen(dev->devfs_name, O_RDWR);
    dev->rw = 1;
  }
  uba_xpwrite(dev->handle, &value, width, reg);
}

unsigned proc_readb(pci_dev *dev, unsigned reg) { return proc_read(dev, reg, 1); }
unsigned proc_readw(pci_dev *dev, unsigned reg) { return proc_read(dev, reg, 2); }
unsigned proc_readl(pci_dev *dev, unsigned reg) { return proc_read(dev, reg, 4); }
void proc_writeb(pci_dev *dev, unsigned reg, unsigned value) { proc_write(dev, reg, value, 1); }
void proc_writew(pci_dev *dev, unsigned reg, unsigned value) { proc_write(dev, reg, value, 2); }
void proc_writel(pci_dev *dev, unsigned reg, unsigned value) { proc_write(dev, reg, value, 4); }

int proc_can_access_ext_conf(pci_dev *dev) {
  if (geteuid() != 0) return 0;
  uint32_t header;
  return pread(dev->handle, &header, 4, 256) == 4;
}

void *proc_mmap_bar(pci_dev *dev, int bar, unsigned offset, unsigned size) {
  if (!dev->pci->u.proc_pci->use_sys_fs) return ioremap_dev(nullptr, (dev->base_addr[bar] & ~0x1full) + offset, size);
  // The BAR's own resource file sits beside the config file.
  char path[sizeof dev->devfs_name + 16];
  snprintf(path, sizeof path, "%s", dev->devfs_name);
  snprintf(strrchr(path, '/'), sizeof path - (strrchr(path, '/') - path), "/resource%d", bar);
  int fd = uba_xopen(path, O_RDWR);
  void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
  close(fd);  // the mapping keeps the file
  handle_error(map == MAP_FAILED, "cannot mmap %s\n", path);
  return map;
}

void proc_close_dev(pci_dev *dev) { close(dev->handle); }

const uba_pci_ops proc_ops = {
    .name = "proc",
    .readb = proc_readb,
    .readw = proc_readw,
    .readl = proc_readl,
    .writeb = proc_writeb,
    .writew = proc_writew,
    .writel = proc_writel,
    .init = proc_os_init,
    .fini = nullptr,
    .mmap_bar = proc_mmap_bar,
    .has_bus = proc_has_bus,
    .can_access_ext_conf = proc_can_access_ext_conf,
    .probe = nullptr,
    .init_dev = proc_init_dev,
    .close_dev = proc_close_dev,
};

}  // namespace

__attribute__((constructor)) void uba_pci_proc_init(void) {
  proc_state.pci.u.proc_pci = &proc_state;
  proc_state.pci.ops = &proc_ops;
  proc_state.pci.method = UBA_PCI_PROC;
  uba_pci_register(UBA_PCI_PROC, &proc_state.pci);
}
