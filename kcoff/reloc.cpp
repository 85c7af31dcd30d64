// Applying a file's relocations to its section contents, all or nothing.

#include "kcoff_internal.h"

using namespace kcoff_internal;

namespace {

// The value V that record `r`, found in section number `section` (from 1),
// puts into its word; its symbol is not special.
kcoff_status_t relocation_value(kcoff *k, kcoff *other, bool resolve_extern, const kcoff_relocation_record &r,
                                uint32_t section, uint32_t *v) {
  const kcoff_stab_record &sym = k->stab[r.stab_index];
  const uint32_t n = sym.section, a = r.offset;
  if (n == 0) {
    *v = k->stabx[r.stab_index].common_value + a;
    return 0;
  }
  if (resolve_extern && other && sym.class_ == KCOFF_CLASS_EXTERN) {
    char inline_name[9];
    const char *name = symbol_key(k, &sym, inline_name);
    kcoff_stab_record *found;
    kcoff_status_t rc = name ? kcoff_stab_index_lookup(other, name, &found) : EINVAL;
    if (rc == 0 && found->section != 0) {
      // Against the other file's first section the addend is already in.
      *v = found->value + (found->section == 1 ? 0 : a);
      return 0;
    }
    if (rc != 0 && rc != EINVAL) return rc;
  }
  if ((n == 1 && a != 0) || n > section)
    *v = k->section_header[n - 1].vma + a;
  else
    *v = sym.value + a;
  return 0;
}

kcoff_status_t relocate(kcoff *k, kcoff *other, uint32_t mask, kcoff_offset_value_log *log, bool resolve_extern) {
  const kcoff_file_header *h = k->header;
  // "edata" marks the end of the data section, the second one.
  for (uint32_t i = h->stab_cnt; i-- > 0;) {
    if (symbol_name(k, &k->stab[i]) != "edata") continue;
    if (h->section_cnt < 2) return EINVAL;
    k->stabx[i].common_value = k->section_header[1].vma + k->section_header[1].size;
  }

  for (uint32_t s = 0; s < h->section_cnt; s++) {
    const kcoff_section_header &sec = k->section_header[s];
    const kcoff_relocation_record *records = k->section_relocations[s];
    if ((sec.flags & mask) == 0 || records == nullptr) continue;
    for (uint32_t j = 0; j < sec.num_relocations; j++) {
      const kcoff_relocation_record &r = records[j];
      if (r.stab_index >= h->stab_cnt) return EINVAL;
      if (k->stab[r.stab_index].section > h->section_cnt) continue;  // special symbols are not relocated
      uint32_t v;
      kcoff_status_t rc = relocation_value(k, other, resolve_extern, r, s + 1, &v);
      if (rc) return rc;
      if (r.vma < sec.vma) return EINVAL;
      const uint64_t at = (uint64_t)sec.offset + (r.vma - sec.vma);
      if (at + 4 > k->buffer_size) return EINVAL;
      uint8_t *word = k->buffer + at;
      uint32_t before;
      memcpy(&before, word, sizeof before);
      if ((rc = kcoff_offset_value_log_add(log, (uint32_t)at, before))) return rc;
      if ((rc = insert_reloc(r.relocation_type, word, v, r.vma))) return rc;
    }
  }
  return 0;
}

}  // namespace

kcoff_status_t kcoff_reloc(kcoff *k, kcoff *other, uint32_t mask, kcoff_offset_value_log **logp, int resolve_extern) {
  if (k == nullptr || k->header == nullptr || (other && other->header == nullptr)) return EINVAL;
  if (kcoff_find_section(k, ".bss") == nullptr) return EINVAL;
  kcoff_status_t rc = kcoff_stabx_add(k, other);
  if (rc) return rc;
  kcoff_offset_value_log *log;
  if ((rc = kcoff_offset_value_log_create(&log))) return rc;

  rc = relocate(k, other, mask, log, resolve_extern != 0);
  if (rc) {
    // Put every overwritten word back, the last first.
    for (uint32_t i = log->cnt; i-- > 0;) memcpy(k->buffer + log->entry[i].offset, &log->entry[i].value, 4);
    kcoff_offset_value_log_free(log);
    return rc;
  }
  if (logp)
    *logp = log;
  else
    kcoff_offset_value_log_free(log);
  return 0;
}
