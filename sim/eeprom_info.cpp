// eeprom_info: tells what a saved EEPROM of a 10G NIC holds (as simhost's
// save= writes it, or any dump of a board's EEPROM).
//
//   eeprom_info FILE
//
// Prints the header's fields, the description strings, and what the second
// control-program area holds: the image [N][SRAM image][R][ROM][S][CRC-32]
// with its lengths, the stored and the computed CRC-32, and the version
// string of the control program (the word at SRAM offset 60 locates its
// version header; the string starts 4 bytes into it).
//
// Exit status: 0 when the header is valid and the area holds a consistent
// image, 1 when not (or the file cannot be read), 2 for a wrong command line.
//
// It reads the bytes on its own, with a CRC-32 of its own, so that it can
// judge what the updater wrote without sharing its code.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "byte_order.h"

namespace {

constexpr uint32_t HEADER_SIZE = 32, STRINGS_SIZE = 256;
constexpr uint32_t VERSION_WORD = 60, VERSION_STRING_MAX = 128;

uint32_t be32(const std::vector<uint8_t> &b, uint64_t at) { return sim::be32(&b[at]); }

// Polynomial 0x04C11DB7, most significant bit first, register from all
// ones, result complemented.
uint32_t crc32(const uint8_t *p, size_t n) {
  static uint32_t table[256];
  if (!table[1])
    for (uint32_t b = 0; b < 256; b++) {
      uint32_t c = b << 24;
      for (int i = 0; i < 8; i++) c = c & 0x80000000u ? c << 1 ^ 0x04C11DB7u : c << 1;
      table[b] = c;
    }
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < n; i++) crc = crc << 8 ^ table[(crc >> 24) ^ p[i]];
  return ~crc;
}

bool read_file(const char *path, std::vector<uint8_t> &out) {
  FILE *f = fopen(path, "rb");
  if (!f) return false;
  uint8_t buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out.insert(out.end(), buf, buf + n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

// The version string of an SRAM image of `s` bytes starting at `at`.
std::string version_string(const std::vector<uint8_t> &b, uint64_t at, uint32_t s) {
  if (s < VERSION_WORD + 4) return {};
  uint64_t header = be32(b, at + VERSION_WORD);
  if (header + 4 >= s) return {};
  std::string v;
  for (uint64_t i = header + 4; i < s && b[at + i] && v.size() < VERSION_STRING_MAX; i++) {
    char c = static_cast<char>(b[at + i]);
    v += c >= 0x20 && c < 0x7f ? c : '?';
  }
  return v;
}

// Reports the image in the second area; true when it is consistent.
bool show_image(const std::vector<uint8_t> &b, uint32_t ucp2) {
  uint64_t size = b.size();
  printf("second control-program area at 0x%06x:\n", ucp2);
  if ((uint64_t)ucp2 + 12 > size) {
    printf("  lies beyond the end of the EEPROM\n");
    return false;
  }
  uint32_t n = be32(b, ucp2);
  printf("  N (bytes under the CRC)  %u\n", n);
  if (n < 4 || (uint64_t)ucp2 + 8 + n > size) {
    printf("  N does not fit the EEPROM: the area holds no image\n");
    return false;
  }
  uint64_t body = ucp2 + 4ull;
  uint32_t s = be32(b, body + n - 4);
  printf("  S (SRAM image)           %u\n", s);
  bool consistent = true;
  if (s + 4ull == n) {
    printf("  R (boot ROM)             none\n");
  } else if (s + 8ull <= n) {
    uint32_t r = be32(b, body + s);
    printf("  R (boot ROM)             %u\n", r);
    if (s + 8ull + r != n) {
      printf("  the lengths do not add up: S + R + 8 = %llu, N = %u\n", s + 8ull + r, n);
      consistent = false;
    }
  } else {
    printf("  S does not fit within N\n");
    consistent = false;
  }
  uint32_t stored = be32(b, body + n), computed = crc32(&b[body], n);
  bool crc_ok = stored == computed;
  printf("  CRC-32                   stored 0x%08x, computed 0x%08x: %s\n", stored, computed, crc_ok ? "OK" : "BAD");
  if (consistent && s + 4ull <= n) {
    std::string v = version_string(b, body, s);
    printf("  version                  %s\n", v.empty() ? "(none)" : v.c_str());
  }
  return consistent && crc_ok;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2 || argv[1][0] == '-') {
    fprintf(stderr, "usage: eeprom_info FILE\n");
    return 2;
  }
  std::vector<uint8_t> b;
  if (!read_file(argv[1], b)) {
    fprintf(stderr, "eeprom_info: %s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  printf("%s: %zu bytes\n", argv[1], b.size());
  if (b.size() < HEADER_SIZE) {
    printf("too short for a header\n");
    return 1;
  }

  static const uint8_t valid_start[5] = {0x09, 0x04, 0xff, 0x08, 0x13};
  bool header_ok = memcmp(b.data(), valid_start, sizeof valid_start) == 0;
  uint32_t segment = be32(b, 12), ucp1 = be32(b, 16), ucp2 = be32(b, 20), version = be32(b, 24), strings = be32(b, 28);
  printf("header:\n  jump     ");
  for (int i = 0; i < 8; i++) printf(" %02x", b[i]);
  printf(" (%s)\n", header_ok ? "valid" : "NOT VALID");
  printf("  EEPROM size     0x%06x\n  sector size     0x%06x\n  ucp1 offset     0x%06x\n  ucp2 offset     0x%06x\n",
         be32(b, 8), segment, ucp1, ucp2);
  printf("  header version  %u\n", version);
  if (version != 0) {
    printf("  strings offset  0x%06x\n", strings);
    if ((uint64_t)strings + STRINGS_SIZE <= b.size()) {
      printf("description strings:\n");
      const char *block = reinterpret_cast<const char *>(&b[strings]);
      for (size_t at = 0; at < STRINGS_SIZE && block[at];) {
        size_t len = strnlen(block + at, STRINGS_SIZE - at);
        printf("  %.*s\n", (int)len, block + at);
        at += len + 1;
      }
    }
  }
  if (!header_ok || segment == 0) {
    printf("the header is not valid: the areas cannot be trusted\n");
    return 1;
  }
  return show_image(b, ucp2) ? 0 : 1;
}
