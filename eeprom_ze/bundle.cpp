// The image written to the second control-program area:
//   [N][SRAM image, S bytes][R][ROM, R bytes][S][CRC-32 of the N bytes before it]
// with N the length between the first word and the CRC, all big-endian;
// without a ROM the R word and the ROM are left out.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "eeprom_ze.h"
#include "kcoff.h"

namespace {

void put_be32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = v >> (24 - 8 * i);
}

int report(int code, const char *what) {
  errno = code;
  perror(what);
  return code;
}

}  // namespace

int eeprom_util_append(uint8_t **buf, uint32_t *len, const void *data, uint32_t data_len) {
  if (data_len > UINT32_MAX - 8 - *len) return EFBIG;  // the image's lengths are 32-bit
  auto grown = static_cast<uint8_t *>(malloc(*len + data_len ? *len + data_len : 1));
  if (!grown) return ENOMEM;
  if (*len) memcpy(grown, *buf, *len);
  if (data_len) memcpy(grown + *len, data, data_len);
  free(*buf);
  *buf = grown;
  *len += data_len;
  return 0;
}

int eeprom_util_wrap(uint8_t **buf, uint32_t *len) {
  if (*len > UINT32_MAX - 8) return EFBIG;
  auto framed = static_cast<uint8_t *>(malloc(*len + 8));
  if (!framed) return ENOMEM;
  put_be32(framed, *len);
  if (*len) memcpy(framed + 4, *buf, *len);
  put_be32(framed + 4 + *len, crc32(*buf, *len));
  free(*buf);
  *buf = framed;
  *len += 8;
  return 0;
}

int eeprom_ucp_bundle_create(uint8_t **image, uint32_t *len, kcoff *ucp, const char *rom_path) {
  uint8_t *buf = nullptr;
  uint32_t sram_len = 0;
  if (int r = kcoff_sram_image(ucp, &buf, &sram_len)) return report(r, "could not create ucp SRAM image");
  uint32_t n = sram_len;
  uint8_t word[4];
  auto failed = [&](int code, const char *what) {
    free(buf);
    *image = nullptr;
    return report(code, what);
  };
  if (rom_path) {
    uint8_t *rom = nullptr;
    uint32_t rom_len = 0;
    if (int r = kcoff_buffer_file(rom_path, &rom, &rom_len)) return failed(r, "could not buffer ROM image");
    // The ROM search checked the file, but this is a second read of it: what
    // goes into the image must itself be the ROM that was accepted.
    if (uint32_t crc = crc32(rom, rom_len); crc != UCP_ROM_CRC32) {
      free(rom);
      fprintf(stderr, "ROM file at %s now has the CRC-32 0x%08x, not 0x%08x\n", rom_path, crc, UCP_ROM_CRC32);
      return failed(EINVAL, "could not buffer ROM image");
    }
    put_be32(word, rom_len);
    int r = eeprom_util_append(&buf, &n, word, 4);
    const char *what = "could not append ROM length to ucp2 image";
    if (!r) r = eeprom_util_append(&buf, &n, rom, rom_len), what = "could not append ROM to ucp2 image";
    free(rom);
    if (r) return failed(r, what);
  }
  put_be32(word, sram_len);
  if (int r = eeprom_util_append(&buf, &n, word, 4)) return failed(r, "could not append UCP length");
  if (int r = eeprom_util_wrap(&buf, &n)) return failed(r, "could not wrap image with length+crc32");
  *image = buf;
  *len = n;
  return 0;
}
