// The programmed-I/O entry points of the simulator method, for the programs
// built without it (nicflash): nothing there can make the simulator active,
// so reaching them is a fault of the caller.

#include "uba.h"

void fake_pci_pio_write(volatile void *, const void *, size_t, const char *, int) {
  handle_error(1, "should not be here");
}

void fake_pci_pio_read(const volatile void *, void *, size_t, const char *, int) {
  handle_error(1, "should not be here");
}
