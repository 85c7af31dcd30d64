// The image of the processor's SRAM from address 0.

#include <algorithm>
#include <cstdlib>

#include "kcoff_internal.h"

kcoff_status_t kcoff_sram_image(kcoff *k, uint8_t **image, uint32_t *length) {
  if (k == nullptr || k->header == nullptr || image == nullptr || length == nullptr) return EINVAL;

  if (k->buffer[0] == 0xE0) {
    // A prefixed image is the SRAM image itself, once relocated and back in
    // file order.
    kcoff_status_t rc = kcoff_reloc(k, nullptr, KCOFF_SECTION_TEXT | KCOFF_SECTION_DATA, nullptr, 0);
    if (rc == 0) rc = kcoff_unswap(k);
    if (rc) return rc;
    auto *copy = static_cast<uint8_t *>(malloc(k->buffer_size));
    if (copy) memcpy(copy, k->buffer, k->buffer_size);
    rc = kcoff_reswap(k);
    if (copy == nullptr) return ENOMEM;
    if (rc) {
      free(copy);
      return rc;
    }
    *image = copy;
    *length = k->buffer_size;
    return 0;
  }

  // Otherwise the first two sections, normally ".text" and ".data", at their
  // addresses, zeros elsewhere.
  if (k->header->section_cnt < 2) return EINVAL;
  const kcoff_section_header *s = k->section_header;
  uint64_t end = 0;
  for (int i = 0; i < 2; i++) {
    if ((uint64_t)s[i].offset + s[i].size > k->buffer_size) return EINVAL;
    end = std::max(end, (uint64_t)s[i].vma + s[i].size);
  }
  if (end > UINT32_MAX) return EINVAL;
  auto *out = static_cast<uint8_t *>(calloc(end ? end : 1, 1));
  if (out == nullptr) return ENOMEM;
  for (int i = 0; i < 2; i++) memcpy(out + s[i].vma, k->buffer + s[i].offset, s[i].size);
  *image = out;
  *length = (uint32_t)end;
  return 0;
}
