// What the modeled host's programs reach beside its configuration files:
// transfers of a configuration file split into register accesses, and the
// host's physical address space.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pci_function.h"

namespace sim {

class Host;

// Reads and writes of a configuration file, split into register accesses
// the way Linux splits them: a byte up to an even offset, a word up to a
// multiple of four, double words, then a word and a byte for the rest. The
// range must lie within the function's configuration space.
void config_file_read(PciFunction &f, unsigned offset, uint8_t *out, size_t count);
void config_file_write(PciFunction &f, unsigned offset, const uint8_t *in, size_t count);

// Reads and writes of the physical-memory file: the host's physical address
// space, where it can be served faithfully. Each board's BAR0 and BAR2 where
// the host placed them (a write into BAR0 is a store the board sees), and
// the memory-mapped configuration window at ECAM_BASE (bus << 20 | device
// << 15 | function << 12 | register), whose transfers are split into
// register accesses like those of a configuration file; there a function
// that is not present, or a register beyond its space, reads all ones and
// ignores writes. A board behind a link that is down answers neither way:
// its BARs read all ones and lose writes, its registers too (Host::reach).
// False, with nothing done, when any byte of the range lies elsewhere.
constexpr uint64_t ECAM_BASE = 0xe0000000, ECAM_SIZE = 0x10000000;
bool memory_file_read(Host &host, uint64_t address, uint8_t *out, size_t count);
bool memory_file_write(Host &host, uint64_t address, const uint8_t *in, size_t count);

}  // namespace sim
