// Writing the image into the second control-program area of every 10G NIC
// through its vendor-specific capability: find the capability, check the
// EEPROM header, show the board's description strings, erase the sectors
// the image will occupy, program it and read it back.
//
// The capability's registers are driven byte lane by byte lane:
//   P+5, P+6, P+7    read address, low to high; writing P+5 starts a read
//   P+8              data: the latest byte read (in the low lane of a word)
//   P+12             data byte to program (0xFF: erase the sector)
//   P+13, P+14, P+15 program address, low to high

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "eeprom_ze.h"

pci_dev *dev_g;

namespace {

constexpr unsigned READ_LOW = 5, READ_MID = 6, READ_HIGH = 7, DATA = 8, PROGRAM_DATA = 12, PROGRAM_LOW = 13,
                   PROGRAM_MID = 14, PROGRAM_HIGH = 15;
constexpr uint8_t VS_CAP_ID = 9;
constexpr int MAX_CAPABILITIES = 48;
// A sector erase takes well under a second on the boards, a byte program
// some microseconds; a board still busy after this long is not going to
// finish.
constexpr uint64_t ERASE_TIMEOUT_US = 10'000'000, PROGRAM_TIMEOUT_US = 1'000'000;
// The program and read address registers hold 24 bits.
constexpr uint64_t ADDRESS_SPACE = 1u << 24;

uint8_t byte_of(uint32_t v, int lane) { return v >> 8 * lane; }

int write_lane(pci_dev *dev, unsigned reg, uint8_t value) { return pci_write_byte(dev, reg, value) ? 0 : EPERM; }

int use_cap(pci_dev *dev, unsigned *cap) { return *cap ? 0 : eeprom_find_vs_cap(dev, cap); }

uint32_t be32(uint32_t v) { return __builtin_bswap32(v); }

// Stores `code` in errno for perror and returns it.
int fail(int code, const char *what) {
  errno = code;
  perror(what);
  return code;
}

}  // namespace

int eeprom_find_vs_cap(pci_dev *dev, unsigned *cap) {
  if (!(pci_read_long(dev, 4) & 1u << 20)) return EINVAL;  // no capabilities list
  unsigned pos = pci_read_byte(dev, 0x34) & 0xfc;
  if (pci_read_word(dev, pos) == 0xffff) return EPERM;  // configuration space does not answer
  // A list has at most 48 entries; a longer walk is a looping list.
  for (int step = 0; pos != 0 && step < MAX_CAPABILITIES; step++) {
    if (pci_read_byte(dev, pos) == VS_CAP_ID) {
      *cap = pos;
      return 0;
    }
    pos = pci_read_byte(dev, pos + 1) & 0xfc;
  }
  return EINVAL;
}

// The byte of address A arrives once A + 1 has been written: each word
// read after every fourth address holds the last four bytes, latest low.
int eeprom_read(pci_dev *dev, uint32_t addr, uint8_t *buf, uint32_t len, unsigned cap) {
  if (int r = use_cap(dev, &cap)) return r;
  if (write_lane(dev, cap + READ_HIGH, byte_of(addr, 2)) || write_lane(dev, cap + READ_MID, byte_of(addr, 1)) ||
      write_lane(dev, cap + READ_LOW, byte_of(addr, 0)))
    return EPERM;
  for (uint32_t i = 0; i < len; i++) {
    uint32_t next = addr + 1 + i;
    if ((next & 0xff) == 0) {
      if ((next & 0xffff) == 0 && write_lane(dev, cap + READ_HIGH, byte_of(next, 2))) return EPERM;
      if (write_lane(dev, cap + READ_MID, byte_of(next, 1))) return EPERM;
    }
    if (write_lane(dev, cap + READ_LOW, byte_of(next, 0))) return EPERM;
    if (i % 4 == 3) {
      uint32_t word = pci_read_long(dev, cap + DATA);
      for (int k = 0; k < 4; k++) buf[i - k] = byte_of(word, k);
    }
  }
  if (uint32_t k = len % 4) {
    uint32_t word = pci_read_long(dev, cap + DATA);
    for (uint32_t j = 0; j < k; j++) buf[len - 1 - j] = byte_of(word, j);
  }
  return 0;
}

int eeprom_erase_sector(pci_dev *dev, uint32_t addr, unsigned cap) {
  if (int r = use_cap(dev, &cap)) return r;
  if (write_lane(dev, cap + PROGRAM_HIGH, byte_of(addr, 2)) || write_lane(dev, cap + PROGRAM_MID, byte_of(addr, 1)) ||
      write_lane(dev, cap + PROGRAM_LOW, byte_of(addr, 0)) || write_lane(dev, cap + PROGRAM_DATA, 0xff))
    return EPERM;
  // The clock is read before each poll, so the last poll comes after the
  // deadline even when this process was held up in between.
  uint64_t deadline = uba_xget_usecs() + ERASE_TIMEOUT_US;
  for (;;) {
    uint64_t now = uba_xget_usecs();
    if ((pci_read_long(dev, cap + DATA) & 0xff) == 0xff) break;
    if (now > deadline) {
      fprintf(stderr, "\nEEPROM sector at 0x%x still erasing after %llu s\n", addr,
              (unsigned long long)(ERASE_TIMEOUT_US / 1000000));
      return EBUSY;
    }
    if (write_lane(dev, cap + READ_LOW, byte_of(addr, 0))) return EPERM;
  }
  return 0;
}

namespace {

// Waits until the byte programmed at `at` reads back. While the board is
// busy its status toggles, so two equal wrong reads in a row mean the byte
// will not take; a board that stays busy is given up after a while.
int await_programmed(pci_dev *dev, uint32_t at, uint8_t byte, unsigned cap) {
  uint64_t deadline = uba_xget_usecs() + PROGRAM_TIMEOUT_US;
  int previous = -1;
  for (;;) {
    uint64_t now = uba_xget_usecs();
    unsigned v = pci_read_byte(dev, cap + DATA);
    if (v == byte) return 0;
    if ((int)v == previous) return EINVAL;
    if (now > deadline) {
      fprintf(stderr, "\nEEPROM byte at 0x%x still programming after %llu s\n", at,
              (unsigned long long)(PROGRAM_TIMEOUT_US / 1000000));
      return EBUSY;
    }
    previous = v;
    if (write_lane(dev, cap + READ_LOW, byte_of(at, 0))) return EPERM;
  }
}

// Programs one piece: the address lanes that differ from the address the
// board holds (it advances the address itself after each byte), then the
// data lane. What the board holds at the start of a piece is not known, so
// the first byte written sends all three lanes.
int program_piece(pci_dev *dev, uint32_t addr, const uint8_t *data, uint32_t len, unsigned cap) {
  std::optional<uint32_t> held;
  for (uint32_t i = 0; i < len; i++) {
    uint32_t at = addr + i;
    if (data[i] == 0xff) continue;  // what an erased EEPROM holds
    for (int lane = 2; lane >= 0; lane--)
      if ((!held || byte_of(at ^ *held, lane)) && write_lane(dev, cap + PROGRAM_LOW + lane, byte_of(at, lane)))
        return EPERM;
    if (write_lane(dev, cap + PROGRAM_DATA, data[i])) return EPERM;
    held = at + 1;
    if (int r = await_programmed(dev, at, data[i], cap)) return r;
  }
  return 0;
}

// Whether the image can go to the second area of the EEPROM under this
// header without touching the header or the first area: the sectors it
// erases must lie after the header's own sector, within the 24 address bits
// of the registers and the EEPROM's stated length, and away from a first
// area placed after the second. A header that fails says why on standard
// error.
bool layout_is_safe(const eeprom_header_ze &h, uint32_t len) {
  const uint64_t sector = be32(h.eeprom_segment_len), ucp2 = be32(h.ucp2_offset), ucp1 = be32(h.ucp1_offset),
                 eeprom_len = be32(h.eeprom_len);
  if (sector == 0) {  // the erase could never get past the first sector
    fprintf(stderr, "EEPROM header gives an erase sector size of 0\n");
    return false;
  }
  if (ucp2 % sector != 0) {
    fprintf(stderr, "EEPROM header gives ucp2_offset 0x%llx, not a multiple of the sector size 0x%llx\n",
            (unsigned long long)ucp2, (unsigned long long)sector);
    return false;
  }
  if (ucp2 < std::max<uint64_t>(sector, sizeof h)) {
    fprintf(stderr, "EEPROM header gives ucp2_offset 0x%llx, inside the first sector, which holds the header\n",
            (unsigned long long)ucp2);
    return false;
  }
  const uint64_t end = ucp2 + len, erased_end = ucp2 + (len + sector - 1) / sector * sector;
  if (end > ADDRESS_SPACE) {
    fprintf(stderr, "EEPROM header gives ucp2_offset 0x%llx, where an image of %u bytes passes the 24-bit address range\n",
            (unsigned long long)ucp2, len);
    return false;
  }
  if (eeprom_len != 0 && end > eeprom_len) {
    fprintf(stderr, "EEPROM header gives eeprom_len 0x%llx, which an image of %u bytes at 0x%llx runs past\n",
            (unsigned long long)eeprom_len, len, (unsigned long long)ucp2);
    return false;
  }
  if (ucp1 >= ucp2 && ucp1 < erased_end) {
    fprintf(stderr, "EEPROM header gives ucp1_offset 0x%llx, inside the sectors 0x%llx to 0x%llx that the image erases\n",
            (unsigned long long)ucp1, (unsigned long long)ucp2, (unsigned long long)erased_end - 1);
    return false;
  }
  return true;
}

}  // namespace

int eeprom_write(pci_dev *dev, uint32_t addr, const uint8_t *data, uint32_t len, unsigned cap) {
  if (int r = use_cap(dev, &cap)) return r;
  uint32_t chunk = len / 32 + 1;
  while (len > chunk) {
    if (int r = program_piece(dev, addr, data, chunk, cap)) return r;
    putchar('.');
    fflush(stdout);
    addr += chunk, data += chunk, len -= chunk;
  }
  return program_piece(dev, addr, data, len, cap);
}

int pci_burn_ucp2(const uint8_t *image, uint32_t len) {
  pci_dev *dev = dev_g;
  unsigned cap = 0;
  if (int r = eeprom_find_vs_cap(dev, &cap)) return fail(r, "could not find Vendor Specific capability");

  eeprom_header_ze h;
  int r = eeprom_read(dev, 0, reinterpret_cast<uint8_t *>(&h), sizeof h, cap);
  static const uint8_t valid_start[5] = {0x09, 0x04, 0xff, 0x08, 0x13};
  if (!r && memcmp(h.__jump, valid_start, sizeof valid_start) != 0) r = EPROTO;
  if (r) return fail(r, "could not read eeprom header");
  uint32_t sector = be32(h.eeprom_segment_len), ucp2 = be32(h.ucp2_offset), version = be32(h.version);
  if (!layout_is_safe(h, len)) return fail(EPROTO, "could not read eeprom header");

  fprintf(stderr, "Updating NIC firmware:\n");
  if (version != 0) {
    char strings[256];
    if (eeprom_read(dev, be32(h.string_specs_offset), reinterpret_cast<uint8_t *>(strings), sizeof strings, cap) == 0)
      for (size_t at = 0; at < sizeof strings && strings[at];) {
        size_t n = strnlen(strings + at, sizeof strings - at);
        fprintf(stderr, "  %.*s\n", (int)n, strings + at);
        at += n + 1;
      }
  }

  fprintf(stderr, "Erasing... ");
  fflush(stderr);
  for (uint64_t e = ucp2; e < (uint64_t)ucp2 + len; e += sector)
    if ((r = eeprom_erase_sector(dev, e, cap))) return fail(r, "could not erase sector");
  fprintf(stderr, "done\n");

  fprintf(stderr, "Programming...");
  fflush(stderr);
  if ((r = eeprom_write(dev, ucp2, image, len, cap))) return fail(r, "could not write eeprom");
  fprintf(stderr, " done\n");

  fprintf(stderr, "Verifying... ");
  fflush(stderr);
  std::unique_ptr<uint8_t, decltype(&free)> back(static_cast<uint8_t *>(malloc(len ? len : 1)), free);
  if (!back) return fail(ENOMEM, "could not allocate verify image");
  if ((r = eeprom_read(dev, ucp2, back.get(), len, cap))) return fail(r, "could not read eeprom");
  if (memcmp(back.get(), image, len) != 0) return fail(EPROTO, "programming failed");
  fprintf(stderr, "done\n");
  return 0;
}

int eeprom_pci_burn_ucp2(const uint8_t *image, uint32_t len) {
  pci_dev_t *devs;
  int count;
  uba_criteria_t criteria;
  criteria.str = "1f5c:";
  uba_select(PCI_SELECT_ID, criteria, &devs, &count);
  if (count == 0) {
    fprintf(stderr, "Could not find any Ulvetek card.\n");
    return ENODEV;
  }
  int result = ENODEV;
  for (int i = 0; i < count; i++) {
    dev_g = devs[i];
    if (pci_read_word(dev_g, 2) != NIC_10G_DEVICE_ID) continue;
    if ((result = pci_burn_ucp2(image, len)) != 0) break;
  }
  free(devs);
  return result;
}
