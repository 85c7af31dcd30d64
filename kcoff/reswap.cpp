// From file order to host order: the file header, the section headers, the
// symbol records and the relocation records.

#include <cstdlib>

#include "kcoff_internal.h"

using namespace kcoff_internal;

kcoff_status_t kcoff_reswap(kcoff *k) {
  if (k == nullptr || k->header != nullptr) return EINVAL;
  uint32_t at;
  kcoff_status_t rc = locate_header(k->buffer, k->buffer_size, &at);
  if (rc == 0) rc = check_layout(k->buffer, k->buffer_size, at, /*file_order=*/true, /*contents=*/true);
  if (rc) return rc;

  auto *h = reinterpret_cast<kcoff_file_header *>(k->buffer + at);
  const uint16_t section_cnt = flip16(h->section_cnt);
  auto **relocations = static_cast<kcoff_relocation_record **>(calloc(section_cnt ? section_cnt : 1, sizeof(void *)));
  if (relocations == nullptr) return ENOMEM;
  free(k->section_relocations);
  k->section_relocations = relocations;

  KCOFF_FLIP(h->magic);
  KCOFF_FLIP(h->section_cnt);
  KCOFF_FLIP(h->timestamp);
  KCOFF_FLIP(h->stab_offset);
  KCOFF_FLIP(h->stab_cnt);
  KCOFF_FLIP(h->aout_header_size);
  KCOFF_FLIP(h->flags);

  auto *sections = reinterpret_cast<kcoff_section_header *>(k->buffer + at + sizeof *h + h->aout_header_size);
  for (uint32_t i = 0; i < h->section_cnt; i++) {
    kcoff_section_header &s = sections[i];
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

  auto *stab = reinterpret_cast<kcoff_stab_record *>(k->buffer + at + h->stab_offset);
  for (uint32_t i = 0; i < h->stab_cnt; i++) {
    kcoff_stab_record &s = stab[i];
    if (s.zero == 0) KCOFF_FLIP(s.index);
    KCOFF_FLIP(s.value);
    KCOFF_FLIP(s.section);
    KCOFF_FLIP(s.type);
  }

  for (uint32_t i = 0; i < h->section_cnt; i++) {
    if (sections[i].num_relocations == 0) continue;
    auto *rec = reinterpret_cast<kcoff_relocation_record *>(k->buffer + at + sections[i].relocations_offset);
    relocations[i] = rec;
    for (uint32_t j = 0; j < sections[i].num_relocations; j++) {
      KCOFF_FLIP(rec[j].vma);
      KCOFF_FLIP(rec[j].stab_index);
      KCOFF_FLIP(rec[j].offset);
      KCOFF_FLIP(rec[j].relocation_type);
    }
  }

  k->header = h;
  k->section_header = sections;
  k->stab = stab;
  k->stabstr = reinterpret_cast<char *>(stab + h->stab_cnt);
  return 0;
}
