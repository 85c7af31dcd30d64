// Where a file's header lies, and whether the file fits its buffer.

#include <algorithm>
#include <memory>
#include <new>

#include "kcoff_internal.h"

namespace kcoff_internal {

kcoff_status_t locate_header(const uint8_t *buffer, uint32_t size, uint32_t *header) {
  if (buffer == nullptr || size < sizeof(kcoff_file_header)) return EINVAL;
  uint16_t first = load_be16(buffer);
  if (first != 0x0000 && first != 0xE000) {
    *header = 0;
    return 0;
  }
  if (size < PREFIX_MIN_SIZE) return EINVAL;
  uint32_t at = load_be32(buffer + PREFIX_HEADER_WORD);
  if (at > size - sizeof(kcoff_file_header)) return EINVAL;
  *header = at;
  return 0;
}

namespace {

// Reads fields in the order the buffer is in.
struct reader {
  const uint8_t *buffer;
  bool file_order;
  uint16_t u16(uint64_t at) const {
    uint16_t v;
    memcpy(&v, buffer + at, 2);
    return file_order ? flip16(v) : v;
  }
  uint32_t u32(uint64_t at) const {
    uint32_t v;
    memcpy(&v, buffer + at, 4);
    return file_order ? flip32(v) : v;
  }
};

// A byte range [start, end) of the buffer.
struct region {
  uint64_t start, end;
};

bool overlaps_any(const region *sorted, size_t n, uint64_t start, uint64_t end) {
  // The last region that starts before `end` is the only one that can reach
  // into [start, end): the sorted regions do not overlap each other.
  const region *after =
      std::upper_bound(sorted, sorted + n, end - 1, [](uint64_t at, const region &r) { return at < r.start; });
  return after != sorted && (after - 1)->end > start;
}

}  // namespace

kcoff_status_t check_layout(const uint8_t *buffer, uint32_t size, uint32_t header, bool file_order, bool contents) {
  const reader r{buffer, file_order};
  const uint64_t h = header;
  if (h + sizeof(kcoff_file_header) > size) return EINVAL;
  if (r.u16(h + offsetof(kcoff_file_header, magic)) != KCOFF_MAGIC) return EINVAL;
  const uint32_t section_cnt = r.u16(h + offsetof(kcoff_file_header, section_cnt));
  const uint32_t stab_cnt = r.u32(h + offsetof(kcoff_file_header, stab_cnt));
  const uint64_t sections = h + sizeof(kcoff_file_header) + r.u16(h + offsetof(kcoff_file_header, aout_header_size));
  const uint64_t sections_end = sections + (uint64_t)section_cnt * sizeof(kcoff_section_header);
  const uint64_t stab = h + r.u32(h + offsetof(kcoff_file_header, stab_offset));
  const uint64_t stab_end = stab + (uint64_t)stab_cnt * sizeof(kcoff_stab_record);
  if (sections_end > size || stab_end > size) return EINVAL;

  // The regions that get converted, and in a prefixed image (the only kind
  // whose header is not at 0) the words that say it is one and where its
  // header is: none may overlap another.
  std::unique_ptr<region[]> regions(new (std::nothrow) region[section_cnt + 5]);
  if (!regions) return ENOMEM;
  size_t n = 0;
  regions[n++] = {h, h + sizeof(kcoff_file_header)};
  regions[n++] = {sections, sections_end};
  regions[n++] = {stab, stab_end};
  if (header != 0) {
    regions[n++] = {0, 2};
    regions[n++] = {PREFIX_HEADER_WORD, PREFIX_MIN_SIZE};
  }
  auto section_field = [&](uint32_t i, size_t field) {
    return sections + (uint64_t)i * sizeof(kcoff_section_header) + field;
  };
  for (uint32_t i = 0; i < section_cnt; i++) {
    uint32_t cnt = r.u16(section_field(i, offsetof(kcoff_section_header, num_relocations)));
    if (cnt == 0) continue;
    uint64_t start = h + r.u32(section_field(i, offsetof(kcoff_section_header, relocations_offset)));
    uint64_t end = start + (uint64_t)cnt * sizeof(kcoff_relocation_record);
    if (end > size) return EINVAL;
    regions[n++] = {start, end};
  }
  region *first = regions.get();
  n = std::remove_if(first, first + n, [](const region &g) { return g.start == g.end; }) - first;
  std::sort(first, first + n, [](const region &a, const region &b) { return a.start < b.start; });
  for (size_t i = 1; i < n; i++)
    if (first[i].start < first[i - 1].end) return EINVAL;
  if (!contents) return 0;

  for (uint32_t i = 0; i < section_cnt; i++) {
    if (r.u32(section_field(i, offsetof(kcoff_section_header, flags))) & KCOFF_SECTION_BSS) continue;
    uint64_t offset = r.u32(section_field(i, offsetof(kcoff_section_header, offset)));
    if (offset + r.u32(section_field(i, offsetof(kcoff_section_header, size))) > size) return EINVAL;
  }

  // String-table names of the symbols (auxiliary records are not symbols):
  // each starts inside the buffer and ends with a NUL before the buffer does.
  const void *last_nul = memrchr(buffer + stab_end, 0, size - stab_end);
  for (uint64_t i = 0; i < stab_cnt;) {
    uint64_t rec = stab + i * sizeof(kcoff_stab_record);
    if (r.u32(rec) == 0) {
      uint64_t name = stab_end + r.u32(rec + offsetof(kcoff_stab_record, index));
      if (!last_nul || name > (uint64_t)((const uint8_t *)last_nul - buffer)) return EINVAL;
    }
    i += 1 + buffer[rec + offsetof(kcoff_stab_record, num_aux)];
  }

  for (uint32_t i = 0; i < section_cnt; i++) {
    uint32_t cnt = r.u16(section_field(i, offsetof(kcoff_section_header, num_relocations)));
    if (cnt == 0) continue;
    const uint32_t vma = r.u32(section_field(i, offsetof(kcoff_section_header, vma)));
    const uint32_t sec_size = r.u32(section_field(i, offsetof(kcoff_section_header, size)));
    const uint64_t offset = r.u32(section_field(i, offsetof(kcoff_section_header, offset)));
    const uint64_t records = h + r.u32(section_field(i, offsetof(kcoff_section_header, relocations_offset)));
    for (uint32_t j = 0; j < cnt; j++) {
      uint64_t rec = records + (uint64_t)j * sizeof(kcoff_relocation_record);
      if (r.u32(rec + offsetof(kcoff_relocation_record, stab_index)) >= stab_cnt) return EINVAL;
      uint32_t at = r.u32(rec + offsetof(kcoff_relocation_record, vma));
      if (at < vma || (uint64_t)(at - vma) + 4 > sec_size) return EINVAL;
      uint64_t word = offset + (at - vma);
      if (word + 4 > size || overlaps_any(first, n, word, word + 4)) return EINVAL;
    }
  }
  return 0;
}

}  // namespace kcoff_internal
