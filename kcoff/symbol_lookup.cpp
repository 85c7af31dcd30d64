// A symbol's value by name.

#include "kcoff_internal.h"

using namespace kcoff_internal;

kcoff_status_t kcoff_symbol_lookup(kcoff *k, const char *name, uint32_t *value) {
  kcoff_stab_record *rec;
  kcoff_status_t rc = kcoff_stab_index_lookup(k, name, &rec);
  if (rc || value == nullptr) return rc;
  if (rec->section != 0) {
    *value = rec->value;
    return 0;
  }
  // Undefined or common: its address comes from the common-symbol table.
  if (k->stabx == nullptr) return EINVAL;
  *value = k->stabx[record_number(k, rec)].common_value;
  return 0;
}
