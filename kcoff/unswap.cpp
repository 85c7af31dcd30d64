// Back from host order to file order, the exact inverse of kcoff_reswap.

#include "kcoff_internal.h"

using namespace kcoff_internal;

kcoff_status_t kcoff_unswap(kcoff *k) {
  if (k == nullptr || k->header == nullptr || k->header->magic != KCOFF_MAGIC) return EINVAL;
  // The tables are walked by what the headers say now; make sure that still
  // fits the buffer.
  const uintptr_t at = (uintptr_t)k->header - (uintptr_t)k->buffer;
  if ((uintptr_t)k->header < (uintptr_t)k->buffer || at > k->buffer_size - sizeof(kcoff_file_header)) return EINVAL;
  kcoff_status_t rc = check_layout(k->buffer, k->buffer_size, (uint32_t)at, /*file_order=*/false, /*contents=*/false);
  if (rc) return rc;

  kcoff_file_header *h = k->header;
  auto *sections = reinterpret_cast<kcoff_section_header *>(k->buffer + at + sizeof *h + h->aout_header_size);
  auto *stab = reinterpret_cast<kcoff_stab_record *>(k->buffer + at + h->stab_offset);

  for (uint32_t i = 0; i < h->stab_cnt; i++) flip_stab_record(stab[i]);

  for (uint32_t i = 0; i < h->section_cnt; i++) {
    kcoff_section_header &s = sections[i];
    if (s.num_relocations != 0) {
      auto *rec = reinterpret_cast<kcoff_relocation_record *>(k->buffer + at + s.relocations_offset);
      for (uint32_t j = 0; j < s.num_relocations; j++) flip_relocation(rec[j]);
    }
    if (k->section_relocations) k->section_relocations[i] = nullptr;
    flip_section_header(s);
  }
  flip_file_header(*h);

  k->header = nullptr;
  k->section_header = nullptr;
  k->stab = nullptr;
  return 0;
}
