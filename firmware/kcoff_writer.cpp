// Writes kcoff object files: plain files and prefixed images.

#include "kcoff_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr size_t FILE_HEADER = 20, SECTION_HEADER = 40, RELOCATION = 16, SYMBOL = 20;
constexpr size_t PREFIX_HEADER_WORD = 4096, PREFIX_MIN_SIZE = PREFIX_HEADER_WORD + 4;

size_t align(size_t v, size_t a) { return (v + a - 1) / a * a; }

bool has_contents(const kcoff_writer_section &s) { return !(s.flags & KCOFF_SECTION_BSS) && !s.contents.empty(); }

bool name_inline(const kcoff_writer_symbol &s) { return !s.in_string_table && !s.name.empty() && s.name.size() <= 8; }

int refuse(kcoff_writer_output *out, std::string why) {
  out->error = std::move(why);
  return EINVAL;
}

// What is wrong with the description, or empty.
std::string check(const kcoff_writer_file &f) {
  if (f.sections.size() > 65535) return "more than 65535 sections";
  for (const kcoff_writer_section &s : f.sections) {
    if (s.name.empty() || s.name.size() > 8) return "section name \"" + s.name + "\" is not 1 to 8 characters";
    if (s.name.find('\0') != std::string::npos) return "section name with a NUL inside";
    if (s.relocations.size() > 65535) return "section " + s.name + " has more than 65535 relocations";
    if ((s.flags & KCOFF_SECTION_BSS) && !s.contents.empty()) return "bss section " + s.name + " with contents";
  }
  for (const kcoff_writer_symbol &s : f.symbols) {
    if (s.name.find('\0') != std::string::npos) return "symbol name with a NUL inside";
    if (s.aux.size() > 255) return "symbol " + s.name + " has more than 255 auxiliary records";
  }
  if (f.prefixed && f.prefix_mark != 0xE000 && f.prefix_mark != 0x0000) return "prefix mark is not 0xE000 or 0x0000";
  return {};
}

// Lays the sections out from address 0 of a prefixed image; returns the end
// of the furthest one, or 0 with the reason when they overlap.
size_t prefix_layout(const kcoff_writer_file &f, kcoff_writer_output *out) {
  std::vector<std::pair<uint64_t, uint64_t>> spans;
  for (const kcoff_writer_section &s : f.sections)
    if (has_contents(s)) spans.emplace_back(s.vma, (uint64_t)s.vma + s.contents.size());
  std::sort(spans.begin(), spans.end());
  for (size_t i = 1; i < spans.size(); i++)
    if (spans[i].first < spans[i - 1].second) {
      out->error = "sections overlap in the prefixed image";
      return 0;
    }
  size_t end = PREFIX_MIN_SIZE;
  for (auto &span : spans) end = std::max<size_t>(end, span.second);
  return end;
}

bool covered(const kcoff_writer_file &f, size_t at) {
  return std::any_of(f.sections.begin(), f.sections.end(), [&](const kcoff_writer_section &s) {
    return has_contents(s) && at >= s.vma && at - s.vma < s.contents.size();
  });
}

}  // namespace

int kcoff_write(const kcoff_writer_file &f, kcoff_writer_output *out) {
  *out = {};
  if (std::string why = check(f); !why.empty()) return refuse(out, why);
  std::vector<uint8_t> &b = out->bytes;
  const size_t nsec = f.sections.size();
  out->section_offset.assign(nsec, 0);
  out->relocations_offset.assign(nsec, 0);

  uint32_t records = 0;
  std::string strings;
  std::vector<uint32_t> string_index(f.symbols.size());
  for (size_t i = 0; i < f.symbols.size(); i++) {
    const kcoff_writer_symbol &s = f.symbols[i];
    out->stab_record.push_back(records);
    records += 1 + s.aux.size();
    if (!name_inline(s)) {
      string_index[i] = strings.size();
      strings += s.name;
      strings += '\0';
    }
  }

  // Where everything goes.
  size_t h = 0;
  if (f.prefixed) {
    size_t end = prefix_layout(f, out);
    if (end == 0) return EINVAL;
    for (size_t i = 0; i < nsec; i++)
      if (has_contents(f.sections[i])) out->section_offset[i] = f.sections[i].vma;
    h = align(end, 16);
  }
  size_t pos = h + FILE_HEADER + f.aout_header_size;
  out->section_headers_offset = pos;
  pos += nsec * SECTION_HEADER;
  if (!f.prefixed)
    for (size_t i = 0; i < nsec; i++)
      if (has_contents(f.sections[i])) {
        pos = align(pos, 4);
        out->section_offset[i] = pos;
        pos += f.sections[i].contents.size();
      }
  for (size_t i = 0; i < nsec; i++)
    if (!f.sections[i].relocations.empty()) {
      pos = align(pos, 4);
      out->relocations_offset[i] = pos;
      pos += f.sections[i].relocations.size() * RELOCATION;
    }
  pos = align(pos, 4);
  out->stab_offset = pos;
  pos += (size_t)records * SYMBOL;
  out->stabstr_offset = pos;
  pos += strings.size();
  if (pos > UINT32_MAX) return refuse(out, "the file would be 4 GiB or more");
  out->header_offset = h;
  b.assign(pos, 0);

  // Contents first: in a prefixed image the prefix words are checked against them.
  for (size_t i = 0; i < nsec; i++)
    if (has_contents(f.sections[i]))
      memcpy(&b[out->section_offset[i]], f.sections[i].contents.data(), f.sections[i].contents.size());
  if (f.prefixed) {
    const uint8_t mark[2] = {uint8_t(f.prefix_mark >> 8), uint8_t(f.prefix_mark)};
    for (size_t at = 0; at < 2; at++) {
      if (covered(f, at) && b[at] != mark[at])
        return refuse(out, "the section at address 0 does not begin with the prefix mark");
      b[at] = mark[at];
    }
    for (size_t at = PREFIX_HEADER_WORD; at < PREFIX_MIN_SIZE; at++)
      if (covered(f, at) && b[at] != 0)
        return refuse(out, "the section at address 4096 does not hold zeros for the header offset");
    kcoff_writer_put32(b, PREFIX_HEADER_WORD, h);
  }

  kcoff_writer_put16(b, h + 0, KCOFF_MAGIC);
  kcoff_writer_put16(b, h + 2, nsec);
  kcoff_writer_put32(b, h + 4, f.timestamp);
  kcoff_writer_put32(b, h + 8, out->stab_offset - h);
  kcoff_writer_put32(b, h + 12, records);
  kcoff_writer_put16(b, h + 16, f.aout_header_size);
  kcoff_writer_put16(b, h + 18, f.flags);

  for (size_t i = 0; i < nsec; i++) {
    const kcoff_writer_section &s = f.sections[i];
    const size_t at = out->section_headers_offset + i * SECTION_HEADER;
    memcpy(&b[at], s.name.data(), s.name.size());
    kcoff_writer_put32(b, at + 8, s.vma);
    kcoff_writer_put32(b, at + 12, s.vma);
    kcoff_writer_put32(b, at + 16, (s.flags & KCOFF_SECTION_BSS) ? s.size : s.contents.size());
    kcoff_writer_put32(b, at + 20, out->section_offset[i]);
    kcoff_writer_put32(b, at + 24, s.relocations.empty() ? 0 : out->relocations_offset[i] - h);
    kcoff_writer_put16(b, at + 32, s.relocations.size());
    kcoff_writer_put32(b, at + 36, s.flags);
    for (size_t j = 0; j < s.relocations.size(); j++) {
      const kcoff_writer_relocation &r = s.relocations[j];
      const size_t rec = out->relocations_offset[i] + j * RELOCATION;
      kcoff_writer_put32(b, rec + 0, r.vma);
      kcoff_writer_put32(b, rec + 4, r.stab_index);
      kcoff_writer_put16(b, rec + 8, r.relocation_type);
      b[rec + 10] = r.size;
      b[rec + 11] = r.xtern;
      kcoff_writer_put32(b, rec + 12, r.offset);
    }
  }

  for (size_t i = 0; i < f.symbols.size(); i++) {
    const kcoff_writer_symbol &s = f.symbols[i];
    const size_t at = out->stab_offset + (size_t)out->stab_record[i] * SYMBOL;
    if (name_inline(s))
      memcpy(&b[at], s.name.data(), s.name.size());
    else
      kcoff_writer_put32(b, at + 4, string_index[i]);  // the first word stays 0
    kcoff_writer_put32(b, at + 8, s.value);
    kcoff_writer_put16(b, at + 12, s.section);
    kcoff_writer_put16(b, at + 14, s.type);
    b[at + 16] = s.class_;
    b[at + 17] = s.aux.size();
    for (size_t j = 0; j < s.aux.size(); j++) memcpy(&b[at + (j + 1) * SYMBOL], s.aux[j].data(), SYMBOL);
  }
  memcpy(&b[out->stabstr_offset], strings.data(), strings.size());
  return 0;
}

uint32_t kcoff_writer_record_index(const kcoff_writer_file &file, size_t symbol) {
  uint32_t n = 0;
  for (size_t i = 0; i < symbol && i < file.symbols.size(); i++) n += 1 + file.symbols[i].aux.size();
  return n;
}

std::vector<uint8_t> kcoff_writer_words(std::initializer_list<uint32_t> words) {
  std::vector<uint8_t> bytes(words.size() * 4);
  size_t at = 0;
  for (uint32_t w : words) {
    kcoff_writer_put32(bytes, at, w);
    at += 4;
  }
  return bytes;
}

void kcoff_writer_put16(std::vector<uint8_t> &bytes, size_t at, uint16_t v) {
  bytes[at] = v >> 8;
  bytes[at + 1] = v;
}

void kcoff_writer_put32(std::vector<uint8_t> &bytes, size_t at, uint32_t v) {
  kcoff_writer_put16(bytes, at, v >> 16);
  kcoff_writer_put16(bytes, at + 2, v);
}

uint32_t kcoff_writer_get32(const std::vector<uint8_t> &bytes, size_t at) {
  return (uint32_t)bytes[at] << 24 | (uint32_t)bytes[at + 1] << 16 | (uint32_t)bytes[at + 2] << 8 | bytes[at + 3];
}
