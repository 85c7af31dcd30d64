// The name-sorted index of the symbol records.

#include <cstdlib>

#include "kcoff_internal.h"

namespace kcoff_internal {
kcoff *stab_compare_l;
}

using namespace kcoff_internal;

int stab_compare(const void *a, const void *b) {
  return compare_names(symbol_name(stab_compare_l, static_cast<const kcoff_stab_record *>(a)),
                       symbol_name(stab_compare_l, static_cast<const kcoff_stab_record *>(b)));
}

kcoff_status_t kcoff_stab_index_create(kcoff *k) {
  if (k == nullptr || k->header == nullptr) return EINVAL;
  if (k->stab_idx) return 0;
  const uint32_t cnt = k->header->stab_cnt;
  auto **idx = static_cast<kcoff_stab_record **>(calloc(cnt ? cnt : 1, sizeof(kcoff_stab_record *)));
  if (idx == nullptr) return ENOMEM;
  uint32_t n = 0;
  // Auxiliary records are not symbols: step over them.
  for (uint32_t i = 0; i < cnt; i += 1 + k->stab[i].num_aux) idx[n++] = &k->stab[i];
  stab_compare_l = k;
  kcoff_heap_sort(reinterpret_cast<void **>(idx), n, stab_compare);
  k->stab_idx = idx;
  k->stab_index_cnt = n;
  return 0;
}
