// The registry of PCI configuration access methods and the choice of one.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "uba_internal.h"

// The built-in methods register themselves from start-up constructors in
// their own units. Naming the registrations here makes a static link pull
// those units in; otherwise nothing would refer to them.
void uba_pci_iocf8_init(void);
void uba_pci_mm_init(void);
void uba_pci_proc_init(void);
void uba_pci_ubadrv_init(void);
[[maybe_unused]] __attribute__((used)) static void (*const builtin_methods[])(void) = {
    uba_pci_iocf8_init, uba_pci_mm_init, uba_pci_proc_init, uba_pci_ubadrv_init};

int uba_verbose;

namespace {

pci_access *pci_methods[UBA_PCI_MAX_METHOD + 1];
const char *user_method;  // UBA_PCI, or null
bool environment_read;

}  // namespace

void uba_pci_register(int method, pci_access *pci) {
  unsigned m = (unsigned)method & 0x3fffffffu;  // the two top bits are ignored
  handle_error(m > UBA_PCI_MAX_METHOD, "uba_pci_register: invalid method %d", method);
  pci_methods[m] = pci;
}

void uba_pci_init(void) {
  if (environment_read) return;
  environment_read = true;
  const char *verbose = getenv("UBA_VERBOSE");
  uba_verbose = verbose && *verbose;
  const char *method = getenv("UBA_PCI");
  user_method = method && *method ? method : nullptr;
}

void uba_pci_method(unsigned m) {
  uba_pci_init();
  handle_error(m > UBA_PCI_MAX_METHOD || !pci_methods[m], "Application request invalid uba pci method %d\n", m);
  uba_pci_rescan();
  uba_pci.pci = pci_methods[m];
}

void uba_choose_method(void) {
  if (uba_pci.pci) return;
  uba_pci_init();
  for (int m = UBA_PCI_MAX_METHOD; m >= 0; m--) {
    pci_access *pci = pci_methods[m];
    if (!pci) continue;
    const char *name = pci->ops->name;
    if (user_method && strcmp(name, user_method) != 0) {
      if (uba_verbose) fprintf(stderr, "uba: Ignoring method: %s\n", name);
      continue;
    }
    if (!pci->ops->probe || pci->ops->probe(pci) >= 0) {
      uba_pci.pci = pci;
      break;
    }
    if (uba_verbose) fprintf(stderr, "uba: Ignoring %s, probe failed\n", name);
  }
  handle_error(!uba_pci.pci, "UBA: No PCI access method available");
  if (uba_verbose) fprintf(stderr, "uba: Choosing: %s\n", uba_pci.pci->ops->name);
}
