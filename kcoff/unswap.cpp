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

  for (uint32_t i = 0; i < h->stab_cnt; i++) {
    kcoff_stab_record &s = stab[i];
    if (s.zero == 0) KCOFF_FLIP(s.index);
    KCOFF_FLIP(s.value);
    KCOFF_FLIP(s.section);
    KCOFF_FLIP(s.type);
  }

  for (uint32_t i = 0; i < h->section_cnt; i++) {
    kcoff_section_header &s = sections[i];
    if (s.num_relocations != 0) {
      auto *rec = reinterpret_cast<kcoff_relocation_record *>(k->buffer + at + s.relocations_offset);
      for (uint32_t j = 0; j < s.num_relocations; j++) {
        KCOFF_FLIP(rec[j].vma);
        KCOFF_FLIP(rec[j].stab_index);
        KCOFF_FLIP(rec[j].offset);
        KCOFF_FLIP(rec[j].relocation_type);
      }
    }
    if (k->section_relocations) k->section_relocations[i] = nullptr;
    KCOFF_FLIP(s.lma);
    KCOFF_FLIP(s.vma);
    KCOFF_FLIP(s.size);
    KCOFF_FLIP(s.offset);
    KCOFF_FLIP(s.relocations_offset);
    KCOFF_FLIP(s.line_number_offset);
    KCOFF_FLIP(s.flags);
    KCOFF_FLIP(s.num_relocations);
    KCOFF_FLIP(s.num_line_numbers);
  }

  KCOFF_FLIP(h->magic);
  KCOFF_FLIP(h->section_cnt);
  KCOFF_FLIP(h->timestamp);
  KCOFF_FLIP(h->stab_offset);
  KCOFF_FLIP(h->stab_cnt);
  KCOFF_FLIP(h->aout_header_size);
  KCOFF_FLIP(h->flags);

  k->header = nullptr;
  k->section_header = nullptr;
  k->stab = nullptr;
  return 0;
}
