// The library's binary max-heap, and the heap sort built on it.
//
// Slots are numbered from 1; slot j of a heap lives at base[j - 1], so the
// same steps serve a heap's own slots (base = key + 1) and the caller's array
// of a sort.

#include <cstdlib>

#include "kcoff_internal.h"

namespace {

// Puts `element` into slot `cnt` and sifts it up.
void sift_up(void **base, uint32_t cnt, void *element, kcoff_heap_compare_func_t compare) {
  uint32_t slot = cnt;
  while (slot > 1) {
    uint32_t parent = slot / 2;
    if (compare(element, base[parent - 1]) <= 0) break;
    base[slot - 1] = base[parent - 1];
    slot = parent;
  }
  base[slot - 1] = element;
}

// Takes slot 1 out of a heap of `n` elements (slots 1..n): the last element
// is sifted down from slot 1 among the n - 1 that remain.
void *take_top(void **base, uint32_t n, kcoff_heap_compare_func_t compare) {
  void *top = base[0];
  void *last = base[n - 1];
  const uint32_t remaining = n - 1;
  uint32_t slot = 1;
  for (;;) {
    uint32_t left = 2 * slot, right = left + 1;
    if (left > remaining) break;
    if (right > remaining) {
      if (compare(last, base[left - 1]) < 0) {
        base[slot - 1] = base[left - 1];
        slot = left;
      }
      break;
    }
    uint32_t child = compare(base[left - 1], base[right - 1]) > 0 ? left : right;
    if (compare(last, base[child - 1]) >= 0) break;
    base[slot - 1] = base[child - 1];
    slot = child;
  }
  base[slot - 1] = last;
  return top;
}

}  // namespace

kcoff_status_t kcoff_heap_create(kcoff_heap **hp, kcoff_heap_compare_func_t compare, uint32_t capacity) {
  if (hp == nullptr || compare == nullptr) return EINVAL;
  if (capacity == UINT32_MAX) return ENOMEM;  // its slots could not be counted
  auto *h = static_cast<kcoff_heap *>(calloc(1, sizeof(kcoff_heap)));
  if (h == nullptr) return ENOMEM;
  h->key = static_cast<void **>(calloc((size_t)capacity + 1, sizeof(void *)));
  if (h->key == nullptr) {
    free(h);
    return ENOMEM;
  }
  h->allocated = capacity + 1;
  h->cnt = 1;
  h->compare = compare;
  *hp = h;
  return 0;
}

kcoff_status_t kcoff_heap_insert(kcoff_heap *h, void *element) {
  if (h == nullptr) return EINVAL;
  if (h->cnt == h->allocated) {
    if (h->allocated > UINT32_MAX / 2) return ENOMEM;
    auto **key = static_cast<void **>(calloc((size_t)h->allocated * 2, sizeof(void *)));
    if (key == nullptr) return ENOMEM;
    memcpy(key, h->key, (size_t)h->allocated * sizeof(void *));
    free(h->key);
    h->key = key;
    h->allocated *= 2;
  }
  sift_up(h->key + 1, h->cnt, element, h->compare);
  h->cnt++;
  return 0;
}

void *kcoff_heap_peek(kcoff_heap *h) { return h == nullptr || h->cnt < 2 ? nullptr : h->key[1]; }

void *kcoff_heap_remove(kcoff_heap *h) {
  if (h == nullptr || h->cnt < 2) return nullptr;
  void *top = take_top(h->key + 1, h->cnt - 1, h->compare);
  h->cnt--;
  return top;
}

void kcoff_heap_destroy(kcoff_heap *h) {
  if (h == nullptr) return;
  free(h->key);
  free(h);
}

void kcoff_heap_sort(void **array, uint32_t count, kcoff_heap_compare_func_t compare) {
  if (array == nullptr || count < 2) return;
  // The heap grows over the front of the array as elements are inserted in
  // array order; each removal frees the last slot, where the removed (the
  // greatest of those left) belongs.
  for (uint32_t n = 1; n <= count; n++) sift_up(array, n, array[n - 1], compare);
  for (uint32_t n = count; n > 1; n--) {
    void *top = take_top(array, n, compare);
    array[n - 1] = top;
  }
}
