// The model served to the uba library inside one process: an access method
// registered under number 6 ("model") whose configuration accesses are calls
// into a sim::Host and whose BAR mappings are the model's own memory. Like
// every door it advances the boards to the present before each access. Unit
// tests use it where the virtual host would cost a process and FUSE.
#pragma once

#include "host.h"

namespace sim {

constexpr int UBA_PCI_MODEL = 6;

// Makes `host` what the method serves; then uba_pci_method(UBA_PCI_MODEL).
void serve_in_process(Host &host);

}  // namespace sim
