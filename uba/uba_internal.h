// Internals shared by the units of the uba library (and its tests).
#pragma once

#include <cstddef>
#include <cstdint>

#include "uba.h"

// Where the library meets the host. Programs keep the defaults; the tests
// point them at fixtures (a file tree standing for /sys, /proc and /dev, a
// fake driver, fake I/O ports) to reach what a real host cannot show.
struct uba_host_t {
  const char *root;     // prefix of every host file opened by fixed name ("" = none)
  const char *release;  // kernel release; null: ask uname
  int (*ioctl)(int fd, unsigned long request, void *arg);
  int (*iopl)(int level);
  uint32_t (*port_in)(unsigned port, int width);
  void (*port_out)(unsigned port, uint32_t value, int width);
};
extern uba_host_t uba_host;

// Formats a host file name, with the host root in front, into buf; stops the
// program when it does not fit.
void uba_host_path(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// The bus scan's state: whether the list is built, which bridge claimed each
// bus, and the chosen access method.
struct uba_pci_state {
  bool scanned;
  pci_dev_t (*bridges)[256];  // [domain][bus]
  pci_access *pci;
};
extern uba_pci_state uba_pci;

constexpr int UBA_PCI_DOMAINS = 64;

// The configuration header read that every method's init_dev ends with: ids,
// interrupt line and, when read_bars is set, the raw BAR registers. Returns
// dev when a function answers, null when the vendor id is 0 or 0xffff.
pci_dev *uba_pci_read_header(pci_dev *dev, bool read_bars);

// The generation bit of a device of these ids and revision (0 when it is not one
// of the maker's NICs).
int uba_generation(uint16_t vendor_id, uint16_t device_id, int rev);

// Undoes a mapping of ioremap_dev (given the address it returned) and
// closes the descriptor the mapping kept open.
void iounmap_dev(volatile void *mapped);
