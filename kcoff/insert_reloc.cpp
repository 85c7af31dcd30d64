// Patching one big-endian word by relocation type.

#include "kcoff_internal.h"

using namespace kcoff_internal;

kcoff_status_t merge(uint8_t *word, uint32_t mask, uint32_t bits) {
  if (word == nullptr) return EINVAL;
  store_be32(word, (load_be32(word) & ~mask) | (bits & mask));
  return 0;
}

kcoff_status_t merge_unsigned(uint8_t *word, uint32_t mask, uint32_t bits) {
  if ((bits & mask) != bits) return EINVAL;
  return merge(word, mask, bits);
}

kcoff_status_t merge_signed(uint8_t *word, uint32_t mask, uint32_t bits) {
  if (mask == 0) return EINVAL;
  // The field's top bit and every bit above it must be alike.
  const int top = 31 - __builtin_clz(mask);
  const uint32_t above = bits >> top;
  if (above != 0 && above != UINT32_MAX >> top) return EINVAL;
  return merge(word, mask, bits);
}

kcoff_status_t _insert_reloc(uint16_t type, uint8_t *word, uint32_t v, uint32_t p) {
  switch (type) {
    case 1: return merge_signed(word, 0x0000003F, v);
    case 2: return merge_signed(word, 0x000003FF, v);
    case 3: return merge_signed(word, 0x0000FFFF, v);
    case 4: return merge(word, 0x0000FFFF, v);
    case 5:
    case 6: return merge(word, 0x0000FFFF, v >> 16);
    case 7:
    case 8:
      // Bits 0-15 of the value stay, bits 16-20 go to bits 18-22.
      if ((v & (type == 7 ? 0x1FFFFF : 0x1FFFFC)) != v) return EINVAL;
      return merge(word, 0x007CFFFF, ((v << 2) & 0x007C0000) | (v & 0xFFFF));
    case 9: return merge_unsigned(word, 0x01FFFFFC, v);
    case 10: return merge_signed(word, 0x01FFFFFC, v - p);
    case 11: return merge_signed(word, 0x01FFFFFC, v);
    case 12: return merge(word, 0xFFFFFFFF, v);
    default: return EINVAL;
  }
}

kcoff_status_t insert_reloc(uint16_t type, uint8_t *word, uint32_t v, uint32_t p) {
  if (word == nullptr) return EINVAL;
  return _insert_reloc(type, word, v, p);
}
