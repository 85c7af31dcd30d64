// Internals shared by the units of the kcoff library.
#pragma once

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "kcoff.h"

namespace kcoff_internal {

// Between file order (big-endian) and host order; the same step both ways.
inline uint16_t flip16(uint16_t v) {
  if constexpr (std::endian::native == std::endian::little) return __builtin_bswap16(v);
  return v;
}
inline uint32_t flip32(uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) return __builtin_bswap32(v);
  return v;
}
inline uint16_t flipped(uint16_t v) { return flip16(v); }
inline uint32_t flipped(uint32_t v) { return flip32(v); }
// Converts a field in place; the fields of the file's structures are packed,
// so they are read and written by value, never bound to a reference.
#define KCOFF_FLIP(field) ((field) = kcoff_internal::flipped(field))

// Each record's multi-byte fields, turned between file and host order (the
// same operation both ways). Names and single bytes stay as they are.
inline void flip_file_header(kcoff_file_header &h) {
  KCOFF_FLIP(h.magic);
  KCOFF_FLIP(h.section_cnt);
  KCOFF_FLIP(h.timestamp);
  KCOFF_FLIP(h.stab_offset);
  KCOFF_FLIP(h.stab_cnt);
  KCOFF_FLIP(h.aout_header_size);
  KCOFF_FLIP(h.flags);
}
inline void flip_section_header(kcoff_section_header &s) {
  KCOFF_FLIP(s.lma);
  KCOFF_FLIP(s.vma);
  KCOFF_FLIP(s.size);
  KCOFF_FLIP(s.offset);
  KCOFF_FLIP(s.relocations_offset);
  KCOFF_FLIP(s.line_number_offset);
  KCOFF_FLIP(s.flags);
  KCOFF_FLIP(s.num_relocations);
  KCOFF_FLIP(s.num_line_numbers);
}
// The string-table index only when the name is not inline; `zero` reads
// the same in either order.
inline void flip_stab_record(kcoff_stab_record &s) {
  if (s.zero == 0) KCOFF_FLIP(s.index);
  KCOFF_FLIP(s.value);
  KCOFF_FLIP(s.section);
  KCOFF_FLIP(s.type);
}
inline void flip_relocation(kcoff_relocation_record &r) {
  KCOFF_FLIP(r.vma);
  KCOFF_FLIP(r.stab_index);
  KCOFF_FLIP(r.offset);
  KCOFF_FLIP(r.relocation_type);
}

inline uint16_t load_be16(const uint8_t *p) {
  uint16_t v;
  memcpy(&v, p, 2);
  return flip16(v);
}
inline uint32_t load_be32(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return flip32(v);
}
inline void store_be32(uint8_t *p, uint32_t v) {
  v = flip32(v);
  memcpy(p, &v, 4);
}

// Where the file header of a prefixed image is recorded, and the least buffer
// that can hold that record.
constexpr uint32_t PREFIX_HEADER_WORD = 0x1000;
constexpr uint32_t PREFIX_MIN_SIZE = PREFIX_HEADER_WORD + 4;

// The file header's offset in the buffer: 0 for a plain file, the word at
// byte 4096 for a prefixed image. 22 when the buffer cannot hold it.
kcoff_status_t locate_header(const uint8_t *buffer, uint32_t size, uint32_t *header);

// Checks that the file whose header lies at `header` fits its buffer, with the
// headers and tables in file order (`file_order`) or host order. Always: the
// file header and its magic, the section headers, the symbol records and the
// relocation records lie inside the buffer and do not overlap each other or,
// in a prefixed image, the words that locate the header. With `contents`
// also: section contents (bss excepted), the string-table names of the
// symbols, and each relocation record's symbol index and patched word, which
// must lie inside its section and touch none of the regions above. 22 when
// the file does not fit, 12 when memory runs out.
kcoff_status_t check_layout(const uint8_t *buffer, uint32_t size, uint32_t header, bool file_order, bool contents);

// A symbol's name, never reaching past the buffer: the inline characters (at
// most 8), or the string-table name up to its NUL or the buffer's end (empty
// when the index lies outside the buffer).
inline std::string_view symbol_name(const kcoff *k, const kcoff_stab_record *rec) {
  if (rec->zero != 0) return {rec->name, strnlen(rec->name, sizeof rec->name)};
  uint64_t start = (uint64_t)(k->stabstr - (const char *)k->buffer) + rec->index;
  if (start >= k->buffer_size) return {};
  const char *p = (const char *)k->buffer + start;
  return {p, strnlen(p, k->buffer_size - start)};
}

// A symbol's name as a terminated string for a lookup: inline names are
// copied into `inline_name`; null when a string-table name runs to the end of
// the buffer unterminated.
inline const char *symbol_key(const kcoff *k, const kcoff_stab_record *rec, char (&inline_name)[9]) {
  std::string_view name = symbol_name(k, rec);
  if (rec->zero != 0) {
    memcpy(inline_name, name.data(), name.size());
    inline_name[name.size()] = '\0';
    return inline_name;
  }
  const char *end = (const char *)k->buffer + k->buffer_size;
  if (name.data() == nullptr || name.data() + name.size() >= end) return nullptr;
  return name.data();
}

// -1, 0 or 1 as strcmp would give, bytes compared unsigned.
inline int compare_names(std::string_view a, std::string_view b) {
  int c = a.compare(b);
  return (c > 0) - (c < 0);
}

// The symbol record's number in the table.
inline uint32_t record_number(const kcoff *k, const kcoff_stab_record *rec) { return (uint32_t)(rec - k->stab); }

// The comparison context of the index's sort and search.
extern kcoff *stab_compare_l;
extern kcoff *search_l;

}  // namespace kcoff_internal
