// Writes the seed corpus of kcoff_fuzz: small valid object files of each
// shape the library reads, into the directory given. Fails when the library
// refuses one of them.
//   kcoff_fuzz_corpus DIR

#include <cstdio>
#include <string>

#include "kcoff_writer.h"

namespace {

kcoff_writer_symbol symbol(std::string name, uint32_t value, uint16_t section, uint8_t cls = KCOFF_CLASS_EXTERN) {
  return {.name = std::move(name), .value = value, .section = section, .class_ = cls};
}

// Sections .text, .data and .bss, one relocation of every type, inline and
// string-table names, auxiliary records, common and special symbols.
kcoff_writer_file everything(bool prefixed) {
  const uint32_t text = 0, data = prefixed ? 0x1100 : 0x100, bss = prefixed ? 0x1200 : 0x200;
  std::vector<uint8_t> code(prefixed ? 0x1080 : 0x80);
  for (size_t i = 0; i < code.size(); i++) code[i] = uint8_t(i);
  if (prefixed) {
    code[0] = 0xE0, code[1] = 0;
    for (size_t i = 0x1000; i < 0x1004; i++) code[i] = 0;
  }
  kcoff_writer_file f;
  f.prefixed = prefixed;
  std::vector<kcoff_writer_relocation> relocations;
  for (uint16_t type = 1; type <= 12; type++)
    relocations.push_back(
        {.vma = text + 0x10 + 4u * type, .stab_index = type == 10 ? 0u : 4u, .relocation_type = type});
  f.sections = {
      {.name = ".text", .vma = text, .contents = code, .flags = KCOFF_SECTION_TEXT, .relocations = relocations},
      {.name = ".data",
       .vma = data,
       .contents = kcoff_writer_words({1, 2, 3, 4}),
       .flags = KCOFF_SECTION_DATA,
       .relocations = {{.vma = data + 4, .stab_index = 6, .relocation_type = 12, .offset = 4},
                       {.vma = data + 8, .stab_index = 7, .relocation_type = 12}}},
      {.name = ".bss", .vma = bss, .flags = KCOFF_SECTION_BSS, .size = 0x34},
  };
  f.symbols = {
      symbol("main", text + 0x60, 1),
      symbol("a_long_symbol_name", data, 2),
      {.name = ".file", .section = 0xFFFE, .class_ = 103, .aux = {{'m', 'a', 'i', 'n', '.', 'c'}}},
      symbol("zero", 0, 1),  // record 4: small values fit every type
      symbol("edata", 0, 0),
      symbol("counter", 4, 0),
      symbol("buffer_of_the_program", 64, 0),
      {.name = "local", .value = text + 4, .section = 1, .class_ = KCOFF_CLASS_STATIC, .in_string_table = true},
  };
  return f;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  kcoff_writer_file minimal;
  minimal.sections = {{.name = ".bss", .flags = KCOFF_SECTION_BSS, .size = 16}};
  kcoff_writer_file zero_mark = everything(true);
  zero_mark.prefix_mark = 0x0000;
  zero_mark.sections[0].contents[0] = 0;
  zero_mark.sections[0].relocations.resize(2);
  kcoff_writer_file optional_header = everything(false);
  optional_header.aout_header_size = 7;

  const std::pair<const char *, kcoff_writer_file> seeds[] = {
      {"plain", everything(false)},         {"prefixed", everything(true)}, {"prefixed_zero_mark", zero_mark},
      {"optional_header", optional_header}, {"minimal", minimal},
  };
  for (auto &[name, file] : seeds) {
    kcoff_writer_output out;
    if (kcoff_write(file, &out) != 0) {
      fprintf(stderr, "%s: %s\n", name, out.error.c_str());
      return 1;
    }
    // A seed the library refuses would only teach the fuzzer the refusal.
    std::vector<uint8_t> copy = out.bytes;
    kcoff *k;
    if (int rc = kcoff_from_buffer(&k, copy.data(), copy.size())) {
      fprintf(stderr, "%s: refused by the library (%d)\n", name, rc);
      return 1;
    }
    kcoff_free(k);
    std::string path = std::string(argv[1]) + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(out.bytes.data(), 1, out.bytes.size(), f) != out.bytes.size() || fclose(f) != 0) {
      perror(path.c_str());
      return 1;
    }
  }
  return 0;
}
