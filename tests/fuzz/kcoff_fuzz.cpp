// Arbitrary bytes as a control-program object file. Every call must answer
// with a code or a sound result; nothing may read or write outside the
// buffers. Also checked: a rejected buffer is left as it was, unswap restores
// the file byte for byte, a failed relocation restores every word.

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kcoff.h"

namespace {

void require(bool ok) {
  if (!ok) __builtin_trap();
}

// An exact-size copy, so that a read one byte past the end is seen.
uint8_t *copy_of(const uint8_t *data, size_t size) {
  auto *p = static_cast<uint8_t *>(malloc(size ? size : 1));
  if (size) memcpy(p, data, size);
  return p;
}

// A symbol's name, read the way a program would, within the buffer.
std::string name_of(const kcoff *k, const kcoff_stab_record &rec) {
  if (rec.zero != 0) return std::string(rec.name, strnlen(rec.name, sizeof rec.name));
  uint64_t start = (uint64_t)(k->stabstr - (const char *)k->buffer) + rec.index;
  if (start >= k->buffer_size) return {};
  const char *p = (const char *)k->buffer + start;
  return std::string(p, strnlen(p, k->buffer_size - start));
}

void look_up(kcoff *k) {
  static const char *const fixed[] = {"", "edata", "main", "start", "abcdefgh", "abcdefghi", ".text"};
  uint32_t value;
  kcoff_stab_record *rec;
  for (const char *name : fixed) {
    kcoff_symbol_lookup(k, name, &value);
    kcoff_stab_index_lookup(k, name, &rec);
  }
  for (uint32_t i = 0; i < k->header->stab_cnt && i < 64; i++) {
    std::string name = name_of(k, k->stab[i]);
    int rc = kcoff_symbol_lookup(k, name.c_str(), &value);
    require(rc == 0 || rc == EINVAL);
  }
  kcoff_find_section(k, ".text");
  kcoff_find_section(k, ".bss");
}

// The plain image is as long as its sections' addresses say; keep it small.
bool image_is_modest(const kcoff *k) {
  if (k->buffer[0] == 0xE0 || k->header->section_cnt < 2) return true;
  for (int i = 0; i < 2; i++)
    if ((uint64_t)k->section_header[i].vma + k->section_header[i].size > (64u << 20)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > UINT32_MAX) return 0;
  uint8_t *buffer = copy_of(data, size);
  kcoff *k = nullptr;
  int rc = kcoff_from_buffer(&k, buffer, size);
  if (rc) {
    require(rc == EINVAL && memcmp(buffer, data, size) == 0);
    free(buffer);
    return 0;
  }

  look_up(k);
  require(kcoff_unswap(k) == 0);
  require(memcmp(buffer, data, size) == 0);
  require(kcoff_reswap(k) == 0);

  // A second handle over the same bytes lends its common symbols and
  // external definitions.
  uint8_t *other_buffer = copy_of(data, size);
  kcoff *other = nullptr;
  if (kcoff_from_buffer(&other, other_buffer, size) != 0 || kcoff_stabx_add(other, nullptr) != 0) {
    kcoff_free(other);
    other = nullptr;
  }
  kcoff_stabx_add(k, other);
  kcoff_stabx_common_vma_limit(k);

  uint8_t *before = copy_of(buffer, size);
  kcoff_offset_value_log *log = nullptr;
  rc = kcoff_reloc(k, other, KCOFF_SECTION_TEXT | KCOFF_SECTION_DATA, &log, 1);
  if (rc)
    require(memcmp(buffer, before, size) == 0);
  else
    kcoff_offset_value_log_free(log);
  free(before);

  if (image_is_modest(k)) {
    uint8_t *image = nullptr;
    uint32_t length = 0;
    if (kcoff_sram_image(k, &image, &length) == 0) {
      require(k->header != nullptr);
      free(image);
    }
  }
  if (k->header) look_up(k);

  kcoff_free(other);
  kcoff_free(k);
  free(other_buffer);
  free(buffer);
  return 0;
}
