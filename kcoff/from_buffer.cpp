// A handle over a file the caller holds in memory.

#include <cstdlib>

#include "kcoff_internal.h"

kcoff_status_t kcoff_from_buffer(kcoff **kp, void *buffer, uint32_t size) {
  if (kp == nullptr || buffer == nullptr) return EINVAL;
  auto *k = static_cast<kcoff *>(calloc(1, sizeof(kcoff)));
  if (k == nullptr) return ENOMEM;
  k->buffer = static_cast<uint8_t *>(buffer);
  k->buffer_size = size;
  kcoff_status_t rc = kcoff_reswap(k);
  if (rc) {
    kcoff_free(k);
    return rc;
  }
  *kp = k;
  return 0;
}
