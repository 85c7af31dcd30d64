// Sections by name.

#include "kcoff_internal.h"

kcoff_section_header *kcoff_find_section(kcoff *k, const char *name) {
  if (k == nullptr || k->header == nullptr || name == nullptr) return nullptr;
  // From the last to the first: of two sections with one name, the later one.
  for (uint32_t i = k->header->section_cnt; i-- > 0;) {
    kcoff_section_header *s = &k->section_header[i];
    if (strncmp(s->name, name, sizeof s->name) == 0) return s;
  }
  return nullptr;
}
