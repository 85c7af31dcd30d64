// The tools' handle on a NIC's processor memory, whichever way it is
// reached: a mapped BAR or physical window (KRAM_MAP), the EEPROM or the
// debug registers of the vendor-specific capability (KRAM_EEPROM,
// KRAM_CFG), the network JTAG adapter (KRAM_TCKAVI), a file (KRAM_FILE),
// I/O ports (KRAM_IOPORT) or raw configuration cycles (KRAM_CF8).
//
// A tool zeroes a kram_t, opens it one way, then reads and writes with
// device addresses; `offset` is added to every address (modulo 2^32).
// Every failure stops the program, reported from this header (the EEPROM
// programming message from uba_ze.h, the I/O port one from uba_ioport.h).
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tckavi.h"
#include "uba.h"
#include "uba_ioport.h"
#include "uba_mmio.h"
#include "uba_ze.h"

enum kram_type {
  KRAM_EEPROM = 1,
  KRAM_MAP = 2,
  KRAM_TCKAVI = 3,
  KRAM_CFG = 4,
  KRAM_FILE = 5,
  KRAM_IOPORT = 6,
  KRAM_CF8 = 7,
};

struct kram_t {
  int type;                // a kram_type; 0: not opened
  volatile uint8_t *map;   // KRAM_MAP: where device address 0 lies
  uba_nic *nic;            // KRAM_EEPROM, KRAM_CFG
  const char *host;        // KRAM_TCKAVI: the adapter, whose JTAG link is switched off at close
  ::board *board;          // KRAM_TCKAVI
  int fd;                  // KRAM_FILE
  uint32_t offset;         // added to every address
};

// ---- Plain copies to device memory ------------------------------------------

// Fills len bytes at dst with `byte`: in 32-bit words when dst and len allow
// it, with a full barrier each time the destination reaches a multiple of
// 32 bytes.
inline void pio_fill(volatile void *dst, uint8_t byte, size_t len) {
  auto d = static_cast<volatile uint8_t *>(dst);
  if ((reinterpret_cast<uintptr_t>(d) | len) % 4 == 0) {
    uint32_t word = byte * 0x01010101u;
    for (size_t i = 0; i < len; i += 4) {
      *reinterpret_cast<volatile uint32_t *>(d + i) = word;
      if (reinterpret_cast<uintptr_t>(d + i + 4) % 32 == 0) uba_mb();
    }
  } else {
    for (size_t i = 0; i < len; i++) d[i] = byte;
  }
}

// Copies len bytes to dst: in 32-bit words, in order, when dst, src and len
// allow it, with a full barrier each time the destination reaches a
// multiple of 32 bytes; otherwise byte by byte.
inline void pio_copy(volatile void *dst, const void *src, size_t len) {
  auto d = static_cast<volatile uint8_t *>(dst);
  auto s = static_cast<const uint8_t *>(src);
  if ((reinterpret_cast<uintptr_t>(d) | reinterpret_cast<uintptr_t>(s) | len) % 4 == 0) {
    for (size_t i = 0; i < len; i += 4) {
      *reinterpret_cast<volatile uint32_t *>(d + i) = *reinterpret_cast<const uint32_t *>(s + i);
      if (reinterpret_cast<uintptr_t>(d + i + 4) % 32 == 0) uba_mb();
    }
  } else {
    for (size_t i = 0; i < len; i++) d[i] = s[i];
  }
}

// The width of the next load of a mapped read at device address `at` with
// `left` bytes to go: the widest the address's alignment allows.
inline int kram_map_width(uint32_t at, size_t left) {
  if (at % 2 || left < 2) return 1;
  if (at % 4 || left < 4) return 2;
  return 4;
}

// ---- Opening ------------------------------------------------------------------

// Device address a of a KRAM_MAP handle, in this process. The arithmetic is
// done on integers: `map` may lie outside any object (a physical window
// starts at its address).
inline volatile uint8_t *kram_map_at(const kram_t *k, uint32_t a) {
  return reinterpret_cast<volatile uint8_t *>(reinterpret_cast<uintptr_t>(k->map) + a);
}

inline void kram_open_map(kram_t *k, volatile uint8_t *base) {
  *k = kram_t{};
  k->type = KRAM_MAP;
  k->map = base;
}

// Physical memory from `addr` for `size` bytes, with device addresses being
// physical addresses.
inline void kram_open_phys(kram_t *k, uint64_t addr, size_t size) {
  auto window = reinterpret_cast<uintptr_t>(ioremap_dev(nullptr, addr, size));
  kram_open_map(k, reinterpret_cast<volatile uint8_t *>(window - (uintptr_t)addr));
}

// The whole of a file, mapped shared; device addresses are file offsets.
inline void kram_open_mapped_file(kram_t *k, const char *path, bool writable) {
  int fd = uba_xopen(path, writable ? O_RDWR : O_RDONLY);
  struct stat st;
  handle_error(fstat(fd, &st) != 0, "cannot stat %s: %s\n", path, strerror(errno));
  void *map = mmap(nullptr, st.st_size ? st.st_size : 1, PROT_READ | (writable ? PROT_WRITE : 0), MAP_SHARED, fd, 0);
  handle_error(map == MAP_FAILED, "cannot map %s: %s\n", path, strerror(errno));
  kram_open_map(k, static_cast<volatile uint8_t *>(map));
}

inline void kram_open_file(kram_t *k, const char *path, bool writable) {
  *k = kram_t{};
  k->type = KRAM_FILE;
  k->fd = uba_xopen(path, writable ? O_RDWR : O_RDONLY);
}

// The board's EEPROM; the board is opened with its BARs skipped. The
// capability position is checked (and corrected when it lies elsewhere).
inline void kram_open_eeprom(kram_t *k, uba_nic *nic) {
  *k = kram_t{};
  k->type = KRAM_EEPROM;
  k->nic = nic;
  ulve_vs_cap_check(nic);
}

// Where the vendor-specific capability lies; stops unless its registers fit
// in configuration space after the header. Without the capability (0) its
// register offsets would fall on the header's BARs.
inline unsigned kram_vs_position(uba_nic *nic) {
  unsigned p = nic->cfg_cap[ULVE_VS_CAP_ID];
  handle_error(p < 1 || p > 0xe0, "Cannot handle card with vendor cap=0x%x\n", p);
  return p;
}

// The board's memory through the capability's debug registers.
inline void kram_open_cfg(kram_t *k, uba_nic *nic) {
  *k = kram_t{};
  kram_vs_position(nic);
  k->type = KRAM_CFG;
  k->nic = nic;
}

inline void kram_open_ioport(kram_t *k) {
  *k = kram_t{};
  k->type = KRAM_IOPORT;
  uba_ioport_open();
}

inline void kram_open_cf8(kram_t *k) {
  *k = kram_t{};
  k->type = KRAM_CF8;
  uba_ioport_open();
}

// The SRAM of the NIC behind the network JTAG adapter `host`, with its JTAG
// link switched on until kram_close.
inline void kram_open_tckavi(kram_t *k, const char *host) {
  *k = kram_t{};
  k->type = KRAM_TCKAVI;
  handle_error(tckavi(&k->board) != 0, "tckavi failed");
  handle_error(tckavi_board_open(k->board, host) != 0, "tckavi_board_open failed");
  handle_error(tckavi_board_set(k->board, 0, 0) != 0, "tckavi_board_set(jtag_on) failed");
  handle_error(tckavi_kavi_sram_size(k->board, 0x200000) != 0, "tckavi_kavi_sram_size");
  k->host = host;
}

// ---- Access -------------------------------------------------------------------

namespace kram_detail {

constexpr unsigned CF8_ADDRESS = 0xcf8, CF8_DATA = 0xcfc;

inline bool port_width(size_t len) { return len == 1 || len == 2 || len == 4; }

// The port an I/O access at `addr` goes through: the port itself, or for a
// configuration cycle the data port, after the address is written to 0xcf8.
inline unsigned data_port(const kram_t *k, uint32_t addr) {
  if (k->type != KRAM_CF8) return addr;
  uba_port_out(CF8_ADDRESS, addr & ~3u, 4);
  return CF8_DATA + (addr & 3);
}

// The first len (at most 4) bytes at buf as a host-order value.
inline uint32_t host_value(const void *buf, size_t len) {
  uint32_t v = 0;
  memcpy(&v, buf, len < sizeof v ? len : sizeof v);
  return v;
}

inline void kram_dbg_address(uba_nic *nic, uint32_t addr) {
  ulve_vs_write32(nic, nic->cfg_cap[ULVE_VS_CAP_ID] + VS_DBG_ADDR, addr);
}

inline void kram_dbg_mode(uba_nic *nic, uint32_t mode) {
  ulve_vs_write32(nic, nic->cfg_cap[ULVE_VS_CAP_ID] + VS_DBG_MODE, mode);
}

}  // namespace kram_detail

inline void kram_read(kram_t *k, uint32_t addr, void *buf, size_t len) {
  using namespace kram_detail;
  addr += k->offset;
  auto out = static_cast<uint8_t *>(buf);
  switch (k->type) {
    case KRAM_EEPROM:
      ulve_pci_eeprom_read(k->nic, addr, out, len);
      return;
    case KRAM_MAP: {
      if (uba_sim.active) {
        // The simulator's reads take at most 1 MiB; a whole SRAM is two.
        constexpr size_t MOST = 0x100000;
        for (size_t i = 0; i < len; i += MOST)
          fake_pci_pio_read(kram_map_at(k, addr + (uint32_t)i), out + i, len - i < MOST ? len - i : MOST, __FILE__,
                            __LINE__);
        return;
      }
      uba_mb();
      for (size_t i = 0; i < len;) {
        volatile uint8_t *at = kram_map_at(k, addr + (uint32_t)i);
        int width = kram_map_width(addr + (uint32_t)i, len - i);
        if (width == 1) {
          out[i] = *at;
        } else if (width == 2) {
          uint16_t v = *reinterpret_cast<volatile uint16_t *>(at);
          memcpy(out + i, &v, 2);
        } else {
          uint32_t v = *reinterpret_cast<volatile uint32_t *>(at);
          memcpy(out + i, &v, 4);
        }
        i += width;
      }
      uba_mb();
      return;
    }
    case KRAM_TCKAVI:
      handle_error(tckavi_sram_read_buffer(k->board, addr, buf, len) != 0, "tckavi_sram_read_buffer");
      return;
    case KRAM_CFG: {
      uba_nic *nic = k->nic;
      unsigned data = nic->cfg_cap[ULVE_VS_CAP_ID] + VS_DBG_DATA;
      if (len == 4) {
        kram_dbg_mode(nic, 3);
        kram_dbg_address(nic, addr);
        uint32_t v = __builtin_bswap32(ulve_vs_read<uint32_t>(nic, data));
        memcpy(out, &v, 4);
      } else if (len == 2) {
        kram_dbg_mode(nic, 2);
        kram_dbg_address(nic, addr);
        uint16_t v = __builtin_bswap16(ulve_vs_read<uint16_t>(nic, data));
        memcpy(out, &v, 2);
      } else {
        kram_dbg_mode(nic, 1);
        for (size_t i = 0; i < len; i++) {
          kram_dbg_address(nic, addr + (uint32_t)i);
          out[i] = ulve_vs_read<uint8_t>(nic, data);
        }
      }
      return;
    }
    case KRAM_FILE:
      uba_xxfullpread(__FILE__, __LINE__, k->fd, buf, len, addr);
      return;
    case KRAM_IOPORT:
    case KRAM_CF8: {
      handle_error(!port_width(len), "kram_read: %zu bytes: I/O ports take 1, 2 or 4\n", len);
      unsigned port = data_port(k, addr);
      uint32_t v = uba_port_in(port, (int)len);
      memcpy(out, &v, len);
      return;
    }
    default:
      handle_error(1, "kram_read: handle not opened\n");
  }
}

inline void kram_write(kram_t *k, uint32_t addr, const void *buf, size_t len) {
  using namespace kram_detail;
  addr += k->offset;
  auto in = static_cast<const uint8_t *>(buf);
  switch (k->type) {
    case KRAM_EEPROM:
      ulve_pci_eeprom_program(k->nic, addr, in, len, k->nic->cfg_cap[ULVE_VS_CAP_ID]);
      return;
    case KRAM_MAP: {
      volatile uint8_t *at = kram_map_at(k, addr);
      uba_mb();
      if (len == 1) {
        *at = in[0];
      } else if (len == 2) {
        uint16_t v;
        memcpy(&v, in, 2);
        *reinterpret_cast<volatile uint16_t *>(at) = v;
      } else if (len == 4) {
        *reinterpret_cast<volatile uint32_t *>(at) = host_value(in, 4);
      } else {
        pio_copy(at, in, len);
      }
      uba_mb();
      return;
    }
    case KRAM_TCKAVI:
      handle_error(tckavi_sram_write_buffer(k->board, addr, buf, len) != 0, "tckavi_sram_write_buffer");
      return;
    case KRAM_CFG: {
      uba_nic *nic = k->nic;
      unsigned data = nic->cfg_cap[ULVE_VS_CAP_ID] + VS_DBG_DATA;
      if (len == 4) {
        kram_dbg_mode(nic, 7);
        kram_dbg_address(nic, addr);
        ulve_vs_write<uint32_t>(nic, data, __builtin_bswap32(host_value(in, 4)));
      } else if (len == 2) {
        kram_dbg_mode(nic, 6);
        kram_dbg_address(nic, addr);
        ulve_vs_write<uint16_t>(nic, data, __builtin_bswap16((uint16_t)host_value(in, 2)));
      } else {
        kram_dbg_mode(nic, 5);
        for (size_t i = 0; i < len; i++) {
          kram_dbg_address(nic, addr + (uint32_t)i);
          ulve_vs_write<uint8_t>(nic, data, in[i]);
        }
      }
      return;
    }
    case KRAM_FILE:
      uba_xxpwrite(__FILE__, __LINE__, k->fd, buf, len, addr);
      return;
    case KRAM_IOPORT:
    case KRAM_CF8: {
      handle_error(!port_width(len), "kram_write: %zu bytes: I/O ports take 1, 2 or 4\n", len);
      unsigned port = data_port(k, addr);
      uba_port_out(port, host_value(in, len), (int)len);
      return;
    }
    default:
      handle_error(1, "kram_write: handle not opened\n");
  }
}

// Sets len bytes to zero; mapped memory and the adapter only.
inline void kram_zero(kram_t *k, uint32_t addr, size_t len) {
  addr += k->offset;
  if (k->type == KRAM_MAP) {
    uba_mb();
    pio_fill(kram_map_at(k, addr), 0, len);
    uba_mb();
  } else if (k->type == KRAM_TCKAVI) {
    void *zeros = uba_xmalloc(len ? len : 1);
    memset(zeros, 0, len);
    handle_error(tckavi_sram_write_buffer(k->board, addr, zeros, len) != 0, "tckavi_sram_write_buffer");
    free(zeros);
  } else {
    handle_error(1, "kram_zero: not possible through this kind of access (%d)\n", k->type);
  }
}

// A 32-bit word of the processor's memory: big-endian, as its structures are.
inline uint32_t kram_read_be32(kram_t *k, uint32_t addr) {
  uint32_t v;
  kram_read(k, addr, &v, 4);
  return __builtin_bswap32(v);
}

inline void kram_write_be32(kram_t *k, uint32_t addr, uint32_t value) {
  uint32_t v = __builtin_bswap32(value);
  kram_write(k, addr, &v, 4);
}

inline void kram_close(kram_t *k) {
  if (k->host) handle_error(tckavi_board_set(k->board, 0, 1) != 0, "tckavi_board_set(jtag_off) failed");
}
