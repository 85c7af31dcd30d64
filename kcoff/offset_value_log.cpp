// The undo log of relocation: each overwritten word and where it was.

#include <cstdlib>

#include "kcoff_internal.h"

kcoff_status_t kcoff_offset_value_log_create(kcoff_offset_value_log **logp) {
  if (logp == nullptr) return EINVAL;
  auto *log = static_cast<kcoff_offset_value_log *>(calloc(1, sizeof(kcoff_offset_value_log)));
  if (log == nullptr) return ENOMEM;
  log->alloced = 15;
  log->entry = static_cast<kcoff_offset_value_log_entry *>(calloc(log->alloced, sizeof(kcoff_offset_value_log_entry)));
  if (log->entry == nullptr) {
    free(log);
    return ENOMEM;
  }
  *logp = log;
  return 0;
}

kcoff_status_t kcoff_offset_value_log_add(kcoff_offset_value_log *log, uint32_t offset, uint32_t value) {
  if (log == nullptr) return EINVAL;
  if (log->cnt == log->alloced) {
    if (log->alloced > UINT32_MAX / 2) return ENOMEM;
    auto *entry = static_cast<kcoff_offset_value_log_entry *>(
        realloc(log->entry, (size_t)log->alloced * 2 * sizeof(kcoff_offset_value_log_entry)));
    if (entry == nullptr) return ENOMEM;
    log->entry = entry;
    log->alloced *= 2;
  }
  log->entry[log->cnt++] = {offset, value};
  return 0;
}

void kcoff_offset_value_log_free(kcoff_offset_value_log *log) {
  if (log == nullptr) return;
  free(log->entry);
  free(log);
}
