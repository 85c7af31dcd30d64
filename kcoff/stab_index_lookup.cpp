// Finding a symbol record by name through the index.

#include <cstdlib>

#include "kcoff_internal.h"

namespace kcoff_internal {
kcoff *search_l;
}

using namespace kcoff_internal;

int compare_str_and_symbol(const void *name, const void *rec) {
  // An inline name has at most 8 characters: a longer key that begins with
  // them is the greater.
  return compare_names(static_cast<const char *>(name),
                       symbol_name(search_l, *static_cast<const kcoff_stab_record *const *>(rec)));
}

kcoff_status_t kcoff_stab_index_lookup(kcoff *k, const char *name, kcoff_stab_record **rec) {
  if (k == nullptr || name == nullptr || rec == nullptr) return EINVAL;
  kcoff_status_t rc = kcoff_stab_index_create(k);
  if (rc) return rc;
  search_l = k;
  auto **hit = static_cast<kcoff_stab_record **>(
      bsearch(name, k->stab_idx, k->stab_index_cnt, sizeof *k->stab_idx, compare_str_and_symbol));
  if (hit == nullptr) return EINVAL;
  // Of several symbols with the name, the first in the file.
  kcoff_stab_record *found = *hit;
  const uint32_t at = (uint32_t)(hit - k->stab_idx);
  for (uint32_t i = at; i > 0 && compare_str_and_symbol(name, &k->stab_idx[i - 1]) == 0; i--)
    if (k->stab_idx[i - 1] < found) found = k->stab_idx[i - 1];
  for (uint32_t i = at + 1; i < k->stab_index_cnt && compare_str_and_symbol(name, &k->stab_idx[i]) == 0; i++)
    if (k->stab_idx[i] < found) found = k->stab_idx[i];
  *rec = found;
  return 0;
}
