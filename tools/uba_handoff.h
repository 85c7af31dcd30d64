// Handing a new control program (UCP) to a 10G NIC: loading it and checking
// it made it, the hard-switch header that tells the boot code to run it from
// SRAM at the next reset, the soft-handoff block that tells the running
// firmware to run it at once, and the copy-block table of the image.
//
// The structures, all words big-endian as the processor reads them:
//   hard-switch header, 16 bytes at SRAM 0x140000: magic 0x6c6f6165, the
//       image length, its CRC-32 (the CRC-32/BZIP2 as the word, or the
//       reflected zlib CRC-32 stored little-endian), a word the image itself
//       overwrites when it is loaded at 0x14000c, right after the header;
//   soft-handoff block, 64 bytes at BAR0 offset 0xfc0000: 0xffffffff twice,
//       magic 0x6b636168, load address + skip, length - skip, the skip twice,
//       then zeros;
//   UCP image: the word at offset 60, when non-zero, is the offset of its
//       version header: word 0 its size, the version string from byte 4, and
//       (when the size is at least 161) the word at 160 the offset of the
//       copy-block table: the pages the program needs, a valid word, then
//       each page's 64-bit bus address, high word first.
//
// Every failure stops the program, reported from this header.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "crc32.h"
#include "uba_kram.h"

constexpr uint32_t UBA_HARD_SWITCH = 0x140000, UBA_HARD_SWITCH_MAGIC = 0x6C6F6165, UBA_HARD_SWITCH_LOAD = 0x14000C;
constexpr uint32_t UBA_HANDOFF = 0xFC0000, UBA_HANDOFF_MAGIC = 0x6B636168, UBA_HANDOFF_WORDS = 16;
constexpr uint32_t UCP_VERSION_WORD = 60, UCP_VERSION_MAX = 132, UCP_COPY_BLOCK_WORD = 160;

namespace handoff_detail {

inline uint32_t be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
inline void put_be32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// zlib's CRC-32 tables: polynomial 0x04C11DB7 reflected, least significant
// bit first. tables[k][b] is the register's change for byte b followed by k
// zero bytes, so sixteen bytes are folded with sixteen independent lookups.
constexpr int SLICES = 16;
constexpr std::array<std::array<uint32_t, 256>, SLICES> reflected_tables() {
  std::array<std::array<uint32_t, 256>, SLICES> t{};
  for (uint32_t b = 0; b < 256; b++) {
    uint32_t c = b;
    for (int i = 0; i < 8; i++) c = c & 1 ? c >> 1 ^ 0xEDB88320u : c >> 1;
    t[0][b] = c;
  }
  for (int k = 1; k < SLICES; k++)
    for (uint32_t b = 0; b < 256; b++) t[k][b] = t[k - 1][b] >> 8 ^ t[0][t[k - 1][b] & 0xff];
  return t;
}
alignas(64) inline constexpr auto REFLECTED = reflected_tables();

}  // namespace handoff_detail

// The reflected CRC-32 (zlib's: from all ones, complemented; "123456789"
// gives 0xCBF43926).
inline uint32_t uba_crc32_reflected(const uint8_t *data, size_t len) {
  const auto &t = handoff_detail::REFLECTED;
  uint32_t crc = 0xFFFFFFFF;
  for (; len >= 16; data += 16, len -= 16) {
    uint32_t x = crc ^ (data[0] | data[1] << 8 | data[2] << 16 | (uint32_t)data[3] << 24);
    crc = t[15][x & 0xff] ^ t[14][x >> 8 & 0xff] ^ t[13][x >> 16 & 0xff] ^ t[12][x >> 24];
    for (int i = 4; i < 16; i++) crc ^= t[15 - i][data[i]];
  }
  for (; len; data++, len--) crc = crc >> 8 ^ t[0][(crc ^ *data) & 0xff];
  return ~crc;
}

// The offset of the image's version header, or 0 when it has none (or it
// lies beyond the image).
inline uint32_t ucp_version_header(const uint8_t *image, size_t len) {
  if (len < UCP_VERSION_WORD + 4) return 0;
  uint32_t at = handoff_detail::be32(image + UCP_VERSION_WORD);
  return at != 0 && at < len && len - at > 4 ? at : 0;
}

// The version string of the header at `at`: at most UCP_VERSION_MAX
// characters, and never beyond the image.
inline void ucp_version_string(const uint8_t *image, size_t len, uint32_t at, char (&out)[UCP_VERSION_MAX + 1]) {
  size_t n = 0;
  for (size_t i = at + 4; i < len && n < UCP_VERSION_MAX && image[i]; i++) out[n++] = static_cast<char>(image[i]);
  out[n] = '\0';
}

// The offset of the image's copy-block table, which must lie wholly inside
// it: a program without one cannot be given the copy-block.
inline uint32_t uba_copy_block_table(const uint8_t *image, size_t len) {
  using handoff_detail::be32;
  uint32_t header = ucp_version_header(image, len);
  handle_error(!header || be32(image + header) < UCP_COPY_BLOCK_WORD + 1 || len - header < UCP_COPY_BLOCK_WORD + 4,
               "Invalid header for dma copy-block");
  uint32_t table = be32(image + header + UCP_COPY_BLOCK_WORD);
  handle_error(table == 0 || table >= len, "No copy_block_info available for this UCP but '-d' is used");
  handle_error(len - table < 8 || (len - table - 8) / 8 < be32(image + table),
               "The copy-block table at 0x%x for %u pages does not fit in the UCP of %zu bytes", table,
               len - table < 8 ? 0 : be32(image + table), len);
  return table;
}

// Writes the addresses of the copy-block's pages first_page onward into the
// table at `table`, as many as the program needs, then marks it valid.
inline void uba_fill_copy_block(uint8_t *image, uint32_t table, const uba_cb_t *cb, uint32_t first_page) {
  using namespace handoff_detail;
  const uint32_t needed = be32(image + table);
  handle_error((uint64_t)cb->nb_pages < (uint64_t)needed + first_page, "UCP needs %d dma pages, host CB has %d",
               (int)needed, (int)cb->nb_pages);
  for (uint32_t i = 0; i < needed; i++) {
    uint64_t address = cb->dma_addr[first_page + i];
    put_be32(image + table + 8 + 8 * i, static_cast<uint32_t>(address >> 32));
    put_be32(image + table + 12 + 8 * i, static_cast<uint32_t>(address));
  }
  uba_mb();
  put_be32(image + table + 4, 1);
}

// The hard-switch header of the image, written at 0x140000 and read back.
// 0 when it reads back as written; otherwise it says what it read and
// gives 1.
inline int uba_write_hard_switch(kram_t *k, const uint8_t *image, size_t len, bool little_endian_crc) {
  using namespace handoff_detail;
  uint8_t header[16] = {};
  put_be32(header, UBA_HARD_SWITCH_MAGIC);
  put_be32(header + 4, static_cast<uint32_t>(len));
  if (little_endian_crc) {
    uint32_t crc = uba_crc32_reflected(image, len);
    for (int i = 0; i < 4; i++) header[8 + i] = static_cast<uint8_t>(crc >> 8 * i);
  } else {
    put_be32(header + 8, crc32(image, len));
  }
  kram_write(k, UBA_HARD_SWITCH, header, sizeof header);
  uint8_t reread[16];
  kram_read(k, UBA_HARD_SWITCH, reread, sizeof reread);
  if (memcmp(header, reread, 12) == 0) return 0;
  fprintf(stderr, "ERROR: HDR did not make it:\nwritten=0x%08x 0x%08x 0x%08x\nreread=0x%08x 0x%08x 0x%08x\n",
          be32(header + 4), be32(header), be32(header + 8), be32(reread + 4), be32(reread), be32(reread + 8));
  return 1;
}

// Writes the image at `address` and reads it back over itself: the two
// must have the same CRC-32.
inline void uba_load_verified(kram_t *k, uint32_t address, uint8_t *image, size_t len) {
  uint32_t crc = uba_crc32_reflected(image, len);
  kram_write(k, address, image, len);
  fprintf(stderr, "Verifying Load\n");
  kram_read(k, address, image, len);
  handle_error(uba_crc32_reflected(image, len) != crc, "ERROR: UCP not properly reread\n");
}

// The soft-handoff block for the image of `len` bytes at `address`, as
// sixteen 32-bit stores into the mapped BAR0 (through the simulator when it
// is active), then a barrier.
inline void uba_soft_handoff(volatile uint8_t *bar0, uint32_t address, size_t len, uint32_t skip) {
  using handoff_detail::put_be32;
  handle_error(len < skip, "uba_soft_handoff:an image of %zu bytes has no %u bytes to skip", len, skip);
  uint8_t block[4 * UBA_HANDOFF_WORDS] = {};
  put_be32(block, 0xFFFFFFFF);
  put_be32(block + 4, 0xFFFFFFFF);
  put_be32(block + 8, UBA_HANDOFF_MAGIC);
  put_be32(block + 12, address + skip);
  put_be32(block + 16, static_cast<uint32_t>(len - skip));
  put_be32(block + 20, skip);
  put_be32(block + 24, skip);
  volatile uint8_t *at = bar0 + UBA_HANDOFF;
  if (uba_sim.active) {
    fake_pci_pio_write(at, block, sizeof block, __FILE__, __LINE__);
  } else {
    for (uint32_t i = 0; i < UBA_HANDOFF_WORDS; i++) {
      uint32_t word;
      memcpy(&word, block + 4 * i, 4);
      *reinterpret_cast<volatile uint32_t *>(at + 4 * i) = word;
    }
  }
  uba_mb();
}
