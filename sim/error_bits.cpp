#include "error_bits.h"

#include "config_space.h"

namespace sim {

void set_error_bits(ConfigSpace &c, unsigned pcie, unsigned aer, bool bridge, const ErrorBits &e) {
  c.set16(0x06, c.get16(0x06) | e.status);
  if (bridge) c.set16(0x1e, c.get16(0x1e) | e.secondary_status);
  if (pcie) c.set16(pcie + 0x0a, c.get16(pcie + 0x0a) | e.device_status);
  if (!aer) return;
  c.write_one_to_clear(aer + 0x04, 0x00000001, 4);  // the training error of the first versions
  c.set32(aer + 0x04, c.get32(aer + 0x04) | e.uncorrectable);
  c.set32(aer + 0x10, c.get32(aer + 0x10) | e.correctable);
  if (e.root_status) c.set32(aer + 0x30, c.get32(aer + 0x30) | e.root_status);
  if (e.source) c.set32(aer + 0x34, e.source);
}

}  // namespace sim
