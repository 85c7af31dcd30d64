// kcoff_writer: writes kcoff object files, for the firmware build and the tests.
//
// Build-time and test code only; no delivered program links it.
//
// Describe the file with the plain structures below, then call kcoff_write:
//
//   kcoff_writer_file f;
//   f.sections.push_back({.name = ".text", .vma = 0, .contents = kcoff_writer_words({0x12345678, 0}),
//                         .flags = KCOFF_SECTION_TEXT,
//                         .relocations = {{.vma = 4, .stab_index = 0, .relocation_type = 12}}});
//   f.sections.push_back({.name = ".data", .vma = 0x100, .contents = {1, 2, 3, 4}, .flags = KCOFF_SECTION_DATA});
//   f.sections.push_back({.name = ".bss", .vma = 0x200, .flags = KCOFF_SECTION_BSS, .size = 0x40});
//   f.symbols.push_back({.name = "start", .value = 0, .section = 1});
//   f.symbols.push_back({.name = "counter", .value = 4});          // common: section 0, value = size
//   kcoff_writer_output out;
//   if (kcoff_write(f, &out) != 0) ... out.error says why ...
//
// Sections are numbered from 1 in the order given. Symbol records are numbered
// from 0 counting auxiliary records; relocations name a symbol by that record
// number (kcoff_writer_record_index turns a position in `symbols` into it).
//
// Layout of a plain file: file header at 0, the optional header (zeros),
// section headers, each section's contents (4-byte aligned), the relocation
// records, the symbol records, the string table.
//
// Layout of a prefixed image: the buffer is what the processor's SRAM holds
// from address 0. Each section with contents lies at the offset equal to its
// vma; the 16-bit word at 0 is the prefix mark (0xE000, or 0x0000) and the
// big-endian word at 4096 holds the file header's offset. The object file
// (headers, relocation records, symbols, string table) follows the sections,
// 16-byte aligned and at 4100 at least. A section that covers byte 0 must
// begin with the prefix mark, and one that covers bytes 4096-4099 must hold
// zeros there (the writer fills in the offset).
//
// Everything is written big-endian, as the format wants it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "kcoff.h"

struct kcoff_writer_relocation {
  uint32_t vma = 0;              // processor address of the word to patch
  uint32_t stab_index = 0;       // symbol record number (auxiliary records counted)
  uint16_t relocation_type = 0;  // 1 to 12 (any value is written)
  uint8_t size = 0;              // not interpreted by the library
  uint8_t xtern = 0;             // not interpreted by the library
  uint32_t offset = 0;           // addend
};

struct kcoff_writer_section {
  std::string name{};               // 1 to 8 characters
  uint32_t vma = 0;                 // processor address (the load address is the same)
  std::vector<uint8_t> contents{};  // the section's bytes, as the processor sees them
  uint32_t flags = 0;               // KCOFF_SECTION_TEXT, _DATA, _BSS
  uint32_t size = 0;                // size of a section without contents (flags with KCOFF_SECTION_BSS);
                                    // ignored for the others, whose size is that of `contents`
  std::vector<kcoff_writer_relocation> relocations{};
};

struct kcoff_writer_symbol {
  std::string name{};    // 1 to 8 characters inline, longer (or empty) in the string table
  uint32_t value = 0;    // address of a defined symbol, size in bytes of a common one
  uint16_t section = 0;  // from 1; 0 undefined or common; above the section count: special
  uint16_t type = 0;
  uint8_t class_ = KCOFF_CLASS_EXTERN;         // the record's class byte
  bool in_string_table = false;                // also put a name of 1 to 8 characters in the string table
  std::vector<std::array<uint8_t, 20>> aux{};  // auxiliary records written after this one, as given
};

struct kcoff_writer_file {
  std::vector<kcoff_writer_section> sections{};
  std::vector<kcoff_writer_symbol> symbols{};
  uint16_t aout_header_size = 0;  // bytes of optional header (zeros) after the file header
  uint32_t timestamp = 0;
  uint16_t flags = 0;
  bool prefixed = false;          // a prefixed image instead of a plain file
  uint16_t prefix_mark = 0xE000;  // first 16-bit word of a prefixed image: 0xE000 or 0x0000
};

// The written file and where its parts lie, all offsets from the start of
// `bytes` (for fixtures that need to change a field).
struct kcoff_writer_output {
  std::vector<uint8_t> bytes;
  uint32_t header_offset = 0;                // file header
  uint32_t section_headers_offset = 0;       // first section header
  std::vector<uint32_t> section_offset;      // each section's contents (0 without contents)
  std::vector<uint32_t> relocations_offset;  // each section's relocation records (0 without any)
  uint32_t stab_offset = 0;                  // first symbol record
  uint32_t stabstr_offset = 0;               // string table
  std::vector<uint32_t> stab_record;         // record number of each symbol
  std::string error;                         // why kcoff_write refused
};

// Writes the file. 0 on success; 22 (EINVAL) with the reason in out->error
// when the description cannot be written (a section name of 0 or more than 8
// characters, a name with a NUL inside, more than 255 auxiliary records, more
// than 65535 sections or relocations of one section, contents and size of a
// bss section, a prefixed image whose sections overlap or clash with the
// prefix words, a file of 4 GiB or more).
int kcoff_write(const kcoff_writer_file &file, kcoff_writer_output *out);

// The record number of symbol `symbol` (a position in file.symbols).
uint32_t kcoff_writer_record_index(const kcoff_writer_file &file, size_t symbol);

// 32-bit words as big-endian bytes, for section contents.
std::vector<uint8_t> kcoff_writer_words(std::initializer_list<uint32_t> words);

// Big-endian fields in a written file.
void kcoff_writer_put16(std::vector<uint8_t> &bytes, size_t at, uint16_t v);
void kcoff_writer_put32(std::vector<uint8_t> &bytes, size_t at, uint32_t v);
uint32_t kcoff_writer_get32(const std::vector<uint8_t> &bytes, size_t at);
