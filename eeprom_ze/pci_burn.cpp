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
#include <cstring>
#include <memory>

#include "eeprom_ze.h"

pci_dev *dev_g;

namespace {

constexpr unsigned READ_LOW = 5, READ_MID = 6, READ_HIGH = 7, DATA = 8, PROGRAM_DATA = 12, PROGRAM_LOW = 13,
                   PROGRAM_MID = 14, PROGRAM_HIGH = 15;
constexpr uint8_t VS_CAP_ID = 9;
constexpr int MAX_CAPABILITIES = 48;
// A sector erase takes well under a second on the boards; a board still
// busy after this long is not going to finish.
constexpr uint64_t ERASE_TIMEOUT_US = 10'000'000;

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
  uint64_t deadline = uba_xget_usecs() + ERASE_TIMEOUT_US;
  while ((pci_read_long(dev, cap + DATA) & 0xff) != 0xff) {
    if (uba_xget_usecs() > deadline) {
      fprintf(stderr, "\nEEPROM sector at 0x%x still erasing after %llu s\n", addr,
              (unsigned long long)(ERASE_TIMEOUT_US / 1000000));
      return EBUSY;
    }
    if (write_lane(dev, cap + READ_LOW, byte_of(addr, 0))) return EPERM;
  }
  return 0;
}

namespace {

// Programs one piece: only the address lanes that changed since the last
// byte (the board advances the address itself), then the data lane; then
// waits until the byte reads back. Two equal wrong reads in a row mean the
// byte will not take.
int program_piece(pci_dev *dev, uint32_t addr, const uint8_t *data, uint32_t len, unsigned cap) {
  uint32_t kept = ~addr;
  for (uint32_t i = 0; i < len; i++) {
    uint32_t at = addr + i;
    if (data[i] == 0xff) continue;  // what an erased EEPROM holds
    for (int lane = 2; lane >= 0; lane--)
      if (byte_of(at ^ kept, lane) && write_lane(dev, cap + PROGRAM_LOW + lane, byte_of(at, lane))) return EPERM;
    if (write_lane(dev, cap + PROGRAM_DATA, data[i])) return EPERM;
    kept = at + 1;
    int previous = -1;
    for (unsigned v = pci_read_byte(dev, cap + DATA); v != data[i]; v = pci_read_byte(dev, cap + DATA)) {
      if ((int)v == previous) return EINVAL;
      previous = v;
      if (write_lane(dev, cap + READ_LOW, byte_of(at, 0))) return EPERM;
    }
  }
  return 0;
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
  if (sector == 0) {  // the erase could never get past the first sector
    fprintf(stderr, "EEPROM header gives an erase sector size of 0\n");
    return fail(EPROTO, "could not read eeprom header");
  }

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
