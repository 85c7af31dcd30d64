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

  flip_file_header(*h);
  auto *sections = reinterpret_cast<kcoff_section_header *>(k->buffer + at + sizeof *h + h->aout_header_size);
  for (uint32_t i = 0; i < h->section_cnt; i++) flip_section_header(sections[i]);
  auto *stab = reinterpret_cast<kcoff_stab_record *>(k->buffer + at + h->stab_offset);
  for (uint32_t i = 0; i < h->stab_cnt; i++) flip_stab_record(stab[i]);

  for (uint32_t i = 0; i < h->section_cnt; i++) {
    if (sections[i].num_relocations == 0) continue;
    auto *rec = reinterpret_cast<kcoff_relocation_record *>(k->buffer + at + sections[i].relocations_offset);
    relocations[i] = rec;
    for (uint32_t j = 0; j < sections[i].num_relocations; j++) flip_relocation(rec[j]);
  }

  k->header = h;
  k->section_header = sections;
  k->stab = stab;
  k->stabstr = reinterpret_cast<char *>(stab + h->stab_cnt);
  return 0;
}
