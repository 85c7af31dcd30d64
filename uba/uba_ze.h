// The 10G NIC's vendor-specific capability (PCI capability ID 9): its
// register block and the EEPROM primitives every tool carries.
//
// Registers sit at byte offsets from the capability's position P:
//   VS_EE_READ_ADDR  +4   EEPROM read address << 8 (lanes +5 low, +6, +7 high);
//                         writing it, or lane +5 alone, starts a read
//   VS_EE_DATA       +8   bytes read: as 8 bits the latest, as 32 bits the last
//                         four with the latest in the low byte
//   VS_EE_PROGRAM    +12  (address << 8) + data; writing it, or lane +12 alone,
//                         programs the data at the held address, which then
//                         advances; data 0xFF erases the sector instead
//   VS_DBG_MODE      +16  debug access: 1-3 read, 5-7 write 8/16/32 bits
//   VS_DBG_DATA      +20  debug data
//   VS_DBG_ADDR      +24  debug address
//
// A register is reached through the board's mapped configuration view when
// it has one, else through the configuration accessors; every access stands
// between full barriers so the device sees them one by one, in order.
// Failures stop the program and are reported from this header.
#pragma once

#include <cstdio>
#include <initializer_list>

#include "uba.h"
#include "uba_mmio.h"

enum : unsigned {
  VS_EE_READ_ADDR = 4,
  VS_EE_DATA = 8,
  VS_EE_PROGRAM = 12,
  VS_DBG_MODE = 16,
  VS_DBG_DATA = 20,
  VS_DBG_ADDR = 24,
};

constexpr unsigned ULVE_VS_CAP_ID = 9;

// A register of the width of T: through the mapped view, or the accessor of
// that width.
template <class T>
inline T ulve_vs_read(uba_nic *nic, unsigned reg) {
  static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4);
  if (nic->cfg) return uba_mmio_read<T>(nic->cfg + reg);
  uba_mb();
  T v = sizeof(T) == 1   ? pci_read_byte(nic->dev, reg)
        : sizeof(T) == 2 ? pci_read_word(nic->dev, reg)
                         : pci_read_long(nic->dev, reg);
  uba_mb();
  return v;
}

template <class T>
inline void ulve_vs_write(uba_nic *nic, unsigned reg, T value) {
  static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4);
  if (nic->cfg) return uba_mmio_write<T>(nic->cfg + reg, value);
  uba_mb();
  if constexpr (sizeof(T) == 1)
    pci_write_byte(nic->dev, reg, value);
  else if constexpr (sizeof(T) == 2)
    pci_write_word(nic->dev, reg, value);
  else
    pci_write_long(nic->dev, reg, value);
  uba_mb();
}

inline uint8_t ulve_vs_read8(uba_nic *nic, unsigned reg) { return ulve_vs_read<uint8_t>(nic, reg); }
inline uint32_t ulve_vs_read32(uba_nic *nic, unsigned reg) { return ulve_vs_read<uint32_t>(nic, reg); }
inline void ulve_vs_write32(uba_nic *nic, unsigned reg, uint32_t value) { ulve_vs_write<uint32_t>(nic, reg, value); }

// Reads len bytes from EEPROM address addr. Reads are pipelined: the byte
// of address A arrives once the address A + 1 has been written.
inline void ulve_pci_eeprom_read(uba_nic *nic, uint32_t addr, uint8_t *buf, size_t len) {
  unsigned p = nic->cfg_cap[ULVE_VS_CAP_ID];
  handle_error(p == 0, "ulve_pci_eeprom_read");
  ulve_vs_write32(nic, p + VS_EE_READ_ADDR, addr << 8);
  for (size_t i = 0; i < len; i++) {
    ulve_vs_write32(nic, p + VS_EE_READ_ADDR, (uint32_t)(addr + i + 1) << 8);
    buf[i] = ulve_vs_read8(nic, p + VS_EE_DATA);
  }
}

// Programs len bytes at addr through the capability at p, without erasing:
// bytes of 0xFF are what an erased EEPROM already holds and are skipped.
// Each byte is read back until it shows; the tenth failed read-back stops
// the program. Returns 0.
inline int ulve_pci_eeprom_program(uba_nic *nic, uint32_t addr, const uint8_t *data, size_t len, unsigned p) {
  constexpr int MAX_RETRIES = 10;
  for (size_t i = 0; i < len; i++) {
    uint8_t byte = data[i];
    if (byte == 0xff) continue;
    uint32_t at = addr + (uint32_t)i;
    ulve_vs_write32(nic, p + VS_EE_PROGRAM, (at << 8) + byte);
    uint8_t reread = ulve_vs_read8(nic, p + VS_EE_DATA);
    for (int retries = 1; reread != byte; retries++) {
      handle_error(retries == MAX_RETRIES, "Cannot program at offset 0x%x=0x%x, reread=0x%x, retries=%d\n", at, byte,
                   reread, retries);
      ulve_vs_write32(nic, p + VS_EE_READ_ADDR, at << 8);
      reread = ulve_vs_read8(nic, p + VS_EE_DATA);
    }
  }
  return 0;
}

// Programs len bytes at addr (erased beforehand) in at most 32 pieces,
// printing a dot on standard error after each.
inline void ulve_pci_eeprom_write(uba_nic *nic, uint32_t addr, const uint8_t *data, size_t len) {
  size_t piece = len / 32 + 1;
  while (len > 0) {
    size_t n = len < piece ? len : piece;
    int r = ulve_pci_eeprom_program(nic, addr, data, n, nic->cfg_cap[ULVE_VS_CAP_ID]);
    handle_error(r != 0, "ulve_pci_eeprom_write failed at 0x%x,len=%d\n", addr, (int)n);
    fputc('.', stderr);
    addr += n;
    data += n;
    len -= n;
  }
  fputc('\n', stderr);
}

// Whether working registers answer at position q: the read address register
// holds what is written to it.
inline bool ulve_vs_cap_alive(uba_nic *nic, unsigned q) {
  ulve_vs_write32(nic, q + VS_EE_READ_ADDR, 0x55aa00);
  uint32_t first = ulve_vs_read32(nic, q + VS_EE_READ_ADDR);
  ulve_vs_write32(nic, q + VS_EE_READ_ADDR, 0xaa5500);
  uint32_t second = ulve_vs_read32(nic, q + VS_EE_READ_ADDR);
  return first + second == 0xffff00;
}

// Checks the board's capability position and, when nothing answers there,
// looks at the two positions where boards have it (0xf0, then 0x88),
// warning about each position that does not answer. Entry 9 of cfg_cap
// becomes the position found; with none, it stays as it was.
inline void ulve_vs_cap_check(uba_nic *nic) {
  unsigned p = nic->cfg_cap[ULVE_VS_CAP_ID];
  auto answers = [nic](unsigned q) {
    if (q != 0 && ulve_vs_cap_alive(nic, q)) return true;
    fprintf(stderr, "WARNING, vs cap does not seem to exists at 0x%x\n", q);
    return false;
  };
  if (answers(p)) return;
  for (unsigned q : {0xf0u, 0x88u}) {
    if (q == p || !answers(q)) continue;
    fprintf(stderr, "WARNING: Using vs cap found at 0x%x\n", q);
    nic->cfg_cap[ULVE_VS_CAP_ID] = q;
    return;
  }
}
