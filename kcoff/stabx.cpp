// Addresses of the undefined and common symbols.

#include <cstdlib>

#include "kcoff_internal.h"

using namespace kcoff_internal;

namespace {

constexpr uint32_t align16(uint32_t v) { return (v + 15) & ~15u; }

// What `other` says of an external symbol of that name: 0 and the address
// when it has it as an external symbol, 22 when not, or the error of its
// index.
kcoff_status_t address_in_other(kcoff *other, const char *name, uint32_t *address) {
  if (name == nullptr) return EINVAL;
  kcoff_stab_record *rec;
  kcoff_status_t rc = kcoff_stab_index_lookup(other, name, &rec);
  if (rc) return rc;
  if (rec->class_ != KCOFF_CLASS_EXTERN) return EINVAL;
  *address = rec->section != 0 ? rec->value : other->stabx[record_number(other, rec)].common_value;
  return 0;
}

}  // namespace

kcoff_status_t kcoff_stabx_add(kcoff *k, kcoff *other) {
  if (k == nullptr || k->header == nullptr) return EINVAL;
  if (k->stabx) return 0;
  if (other && (other->header == nullptr || other->stabx == nullptr)) return EINVAL;
  kcoff_section_header *bss = kcoff_find_section(k, ".bss");
  if (bss == nullptr) return EINVAL;
  const uint32_t cnt = k->header->stab_cnt;
  auto *stabx = static_cast<kcoff_stabx *>(calloc((size_t)cnt + 1, sizeof(kcoff_stabx)));
  if (stabx == nullptr) return ENOMEM;

  uint32_t next = align16(bss->vma + bss->size);
  for (uint32_t i = 0; i < cnt; i += 1 + k->stab[i].num_aux) {
    const kcoff_stab_record &rec = k->stab[i];
    if (rec.section != 0) continue;
    if (other && rec.class_ == KCOFF_CLASS_EXTERN) {
      char inline_name[9];
      kcoff_status_t rc = address_in_other(other, symbol_key(k, &rec, inline_name), &stabx[i].common_value);
      if (rc == 0) continue;
      if (rc != EINVAL) {
        free(stabx);
        return rc;
      }
    }
    // The record's value is the size in bytes; small ones are packed.
    if (rec.value > 15) next = align16(next);
    stabx[i].common_value = next;
    next += rec.value;
  }
  stabx[cnt].common_value = next;
  k->stabx = stabx;
  return 0;
}

uint32_t kcoff_stabx_common_vma_limit(kcoff *k) {
  if (k == nullptr || k->stabx == nullptr || k->header == nullptr) return 0;
  return k->stabx[k->header->stab_cnt].common_value;
}
