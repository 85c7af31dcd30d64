// What the scan tools (scandump, phystate, loopset) share: the two scan
// images the NIC's control program keeps in SRAM, and how they are reached.
//
// - The write-chain image: 53 bytes at 0x1DFFC7. Reversed (the byte at
//   0x1DFFFB first) they are the 420-bit write chain as a scan stream. The
//   program applies the image when the host rewrites the PCI command
//   register.
// - The scan snapshot, published as resource 2 of the capability's locate
//   request: a 16-byte header, then 80 bytes that, reversed, are the read
//   chain followed by the write chain as read back.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tckavi.h"
#include "uba_kram.h"

constexpr uint32_t WRITE_IMAGE = 0x1DFFC7;
constexpr unsigned WRITE_IMAGE_SIZE = 53;  // ceil(420 / 8)
constexpr unsigned SCAN_SNAPSHOT_RESOURCE = 2;

// The chain data of a snapshot, after its header.
typedef unsigned char read_scan[80];

// The options of the tools that read the snapshot, "b:N": the NIC unit
// (decimal) and whether BAR0 is used rather than the debug registers. Any
// other option prints `usage` on standard error and exits with 1.
inline void scan_tool_options(int argc, char **argv, const char *usage, int *unit, bool *mapped) {
  opterr = 0;
  int c;
  while ((c = getopt(argc, argv, "b:N")) != -1) {
    switch (c) {
      case 'b': *unit = (int)strtol(optarg, nullptr, 10); break;
      case 'N': *mapped = true; break;
      default:
        fputs(usage, stderr);
        exit(1);
    }
  }
}

// Opens NIC `unit` and the processor-memory handle over its mapped BAR0
// (`mapped`) or, with BAR0 left unmapped, over the capability's debug
// registers.
inline uba_nic *scan_open(int unit, bool mapped, kram_t *k) {
  uba_nic *nic = uba_open(unit, UBA_ZE, mapped ? 0 : UBA_BAR_SKIP);
  if (mapped)
    kram_open_map(k, nic->base);
  else
    kram_open_cfg(k, nic);
  return nic;
}

// Asks the control program where the scan snapshot lies. It refreshes the
// snapshot on each request, so a caller may ask again only for that. The
// request goes through the capability's debug registers even when memory is
// reached through BAR0, so their position is checked first either way.
inline void scan_locate(uba_nic *nic, uint32_t *addr, uint32_t *len) {
  unsigned p = kram_vs_position(nic);
  ulve_vs_write<uint8_t>(nic, p + VS_DBG_MODE, 8);
  ulve_vs_write32(nic, p + VS_DBG_ADDR, SCAN_SNAPSHOT_RESOURCE);
  if (len) *len = ulve_vs_read32(nic, p + VS_DBG_DATA);
  if (addr) *addr = ulve_vs_read32(nic, p + VS_DBG_ADDR);
}

// BAR0's length, all of which the tools map.
constexpr uint32_t SCAN_BAR0_SIZE = 0x1000000;

// Where the snapshot's chain data lies; stops unless the snapshot is the
// 16-byte header and the chain data, and, when `k` reads through BAR0, lies
// in it (the debug registers take any processor address).
inline uint32_t scan_snapshot_data(uba_nic *nic, const kram_t *k) {
  uint32_t addr, len;
  scan_locate(nic, &addr, &len);
  uba_check(len == sizeof(read_scan) + 16);
  if (k->type == KRAM_MAP) uba_check(addr <= SCAN_BAR0_SIZE - len);
  return addr + len - sizeof(read_scan);
}

// `len` bytes at `addr` in scan-stream order (reversed).
inline void scan_image_read(kram_t *k, uint32_t addr, unsigned char *stream, unsigned len) {
  kram_read(k, addr, stream, len);
  std::reverse(stream, stream + len);
}

inline void write_image_store(kram_t *k, const unsigned char *stream) {
  unsigned char image[WRITE_IMAGE_SIZE];
  std::reverse_copy(stream, stream + WRITE_IMAGE_SIZE, image);
  kram_write(k, WRITE_IMAGE, image, WRITE_IMAGE_SIZE);
}

// Rewrites the PCI command register with its own value: the control
// program applies the write-chain image then.
inline void write_image_apply(uba_nic *nic) {
  unsigned command = pci_read_word(nic->dev, 4);
  pci_write_word(nic->dev, 4, (int)command);
}
