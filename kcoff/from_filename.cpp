// A handle over a file read from disk; the handle owns the buffer.

#include <cstdlib>

#include "kcoff_internal.h"

kcoff_status_t kcoff_from_filename(kcoff **kp, const char *path) {
  if (kp == nullptr) return EINVAL;
  uint8_t *buffer;
  uint32_t size;
  kcoff_status_t rc = kcoff_buffer_file(path, &buffer, &size);
  if (rc) return rc;
  kcoff *k;
  rc = kcoff_from_buffer(&k, buffer, size);
  if (rc) {
    free(buffer);
    return rc;
  }
  k->flags = KCOFF_FLAG_SHOULD_FREE_BUFFER;
  *kp = k;
  return 0;
}
