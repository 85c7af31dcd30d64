// nicflash: the EEPROM firmware updater of the 10G NICs.
//
// Failures come back as errno-style codes (0 success, 1 EPERM, 12 ENOMEM,
// 16 EBUSY, 19 ENODEV, 22 EINVAL, 71 EPROTO); a failing step prints its own
// line with perror after storing the code in errno.
#pragma once

#include <cstdint>

#include "crc32.h"
#include "uba.h"

struct kcoff;

// The EEPROM's header, all numbers big-endian. nicflash reads it and never
// writes it.
struct eeprom_header_ze {
  uint8_t __jump[8];             // boot code entry: 09 04 FF 08 13 ...
  uint32_t eeprom_len;           // size of the EEPROM
  uint32_t eeprom_segment_len;   // size of one erase sector
  uint32_t ucp1_offset;          // first control-program area: never touched
  uint32_t ucp2_offset;          // second control-program area: where the image goes
  uint32_t version;              // 0: no description strings
  uint32_t string_specs_offset;  // 256 bytes of NUL-terminated strings, ended by an empty one
};
static_assert(sizeof(eeprom_header_ze) == 32);

// ---- The image: [N][SRAM image][R][ROM][S][CRC-32] ------------------------

// Appends `data` to the heap buffer *buf of *len bytes (replacing it).
// 12 and nothing changed when memory runs out.
int eeprom_util_append(uint8_t **buf, uint32_t *len, const void *data, uint32_t data_len);
// Frames the buffer as [big-endian length][contents][big-endian CRC-32].
int eeprom_util_wrap(uint8_t **buf, uint32_t *len);
// Builds the image of the control program `ucp`, with the ROM file at
// rom_path when it is not null; the ROM bundled must have the CRC-32
// UCP_ROM_CRC32 (22 otherwise).
int eeprom_ucp_bundle_create(uint8_t **image, uint32_t *len, kcoff *ucp, const char *rom_path);

// ---- Update over PCI --------------------------------------------------------

// The NIC being updated.
extern pci_dev *dev_g;

// Updates every 10G NIC of the maker (device id 0x5e0a): 0, the first
// failing NIC's code, or 19 when there is none.
int eeprom_pci_burn_ucp2(const uint8_t *image, uint32_t len);
// Updates the NIC in dev_g.
int pci_burn_ucp2(const uint8_t *image, uint32_t len);
// Programs len erased bytes at addr; cap 0: look the capability up first.
int eeprom_write(pci_dev *dev, uint32_t addr, const uint8_t *data, uint32_t len, unsigned cap);
// The steps, each looking the capability up itself when cap is 0.
int eeprom_find_vs_cap(pci_dev *dev, unsigned *cap);
int eeprom_read(pci_dev *dev, uint32_t addr, uint8_t *buf, uint32_t len, unsigned cap);
int eeprom_erase_sector(pci_dev *dev, uint32_t addr, unsigned cap);

// ---- Update over JTAG ---------------------------------------------------------

// Burns the image into the NIC behind the network JTAG adapter `host`.
int eeprom_burn(const char *host, const uint8_t *image, uint32_t len, int flag);
