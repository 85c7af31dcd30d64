// Releasing a handle.

#include <cstdlib>

#include "kcoff_internal.h"

void kcoff_free(kcoff *k) {
  if (k == nullptr) return;
  free(k->stabx);
  free(k->stab_idx);
  free(k->section_relocations);
  free(k->addr_name);
  if (k->flags & KCOFF_FLAG_SHOULD_FREE_BUFFER) free(k->buffer);
  free(k);
}
