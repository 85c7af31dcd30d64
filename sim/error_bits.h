// The error bits a PCI Express function of the modeled host has set when the
// host starts: the state an inspector finds, shows by name and clears. Each
// register keeps its bits until the host writes them with a one.
#pragma once

#include <cstdint>

namespace sim {

class ConfigSpace;

struct ErrorBits {
  uint16_t status = 0;            // PCI status (0x06)
  uint16_t secondary_status = 0;  // a bridge's secondary status (0x1e)
  uint16_t device_status = 0;     // PCI Express device status (capability + 0x0a)
  uint32_t uncorrectable = 0;     // AER uncorrectable error status (AER + 0x04)
  uint32_t correctable = 0;       // AER correctable error status (AER + 0x10)
  uint32_t root_status = 0;       // AER root error status (AER + 0x30), root ports
  // AER error source identification (AER + 0x34), root ports: the requester
  // of the last correctable error message in the low 16 bits, of the last
  // uncorrectable one in the high 16. Read-only.
  uint32_t source = 0;
};

// The bits each register holds: the ones that may be set.
constexpr uint16_t STATUS_ERROR_BITS = 0xf900;  // parity, target and master aborts, SERR, parity error
constexpr uint16_t DEVICE_STATUS_ERROR_BITS = 0x000f;
// Training error (bit 0, of the first PCI Express versions), data link
// protocol, surprise down, and bits 12 to 21.
constexpr uint32_t AER_UNCORRECTABLE_BITS = 0x003ff031;
constexpr uint32_t AER_CORRECTABLE_BITS = 0x000031c1;
constexpr uint32_t AER_ROOT_STATUS_BITS = 0x0000007f;

// Sets `errors` in a configuration space whose PCI Express capability lies
// at `pcie` and AER capability at `aer` (either 0: none; the secondary
// status only when `bridge`). The bits must be among those above.
void set_error_bits(ConfigSpace &c, unsigned pcie, unsigned aer, bool bridge, const ErrorBits &errors);

}  // namespace sim
