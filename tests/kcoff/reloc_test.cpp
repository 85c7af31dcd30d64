// Relocation: each type's encoding and range, the values of kcoff_reloc, the
// undo on failure, and the SRAM image.

#include <cerrno>
#include <cstdlib>

#include "kcoff_fixture.h"

namespace {

uint32_t be32(const uint8_t *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

TEST(KcoffInsertReloc, EncodingAndRangeOfEveryType) {
  const uint32_t P = 0x1000;
  struct {
    uint16_t type;
    uint32_t w, v;
    int rc;
    uint32_t after;
  } cases[] = {
      {1, 0xFFFFFFFF, (uint32_t)-32, 0, 0xFFFFFFE0},
      {1, 0x00000000, 31, 0, 0x0000001F},
      {1, 0x12345678, 32, EINVAL, 0},
      {1, 0x12345678, (uint32_t)-33, EINVAL, 0},
      {2, 0xFFFFF000, (uint32_t)-512, 0, 0xFFFFF200},
      {2, 0x00000000, 511, 0, 0x000001FF},
      {2, 0, 512, EINVAL, 0},
      {2, 0, (uint32_t)-513, EINVAL, 0},
      {3, 0xAAAA0000, (uint32_t)-32768, 0, 0xAAAA8000},
      {3, 0xAAAAFFFF, 32767, 0, 0xAAAA7FFF},
      {3, 0, 32768, EINVAL, 0},
      {3, 0, (uint32_t)-32769, EINVAL, 0},
      {4, 0xAAAAAAAA, 0x12345678, 0, 0xAAAA5678},  // low half, never out of range
      {5, 0xAAAAAAAA, 0x12345678, 0, 0xAAAA1234},  // high half
      {6, 0xAAAAAAAA, 0xFFFF0000, 0, 0xAAAAFFFF},
      {7, 0xAAAAAAAA, 0x1F1234, 0, 0xAAFE1234},    // bits 16-20 of V in bits 18-22
      {7, 0xFFFFFFFF, 0x010001, 0, 0xFF870001},
      {7, 0, 0x200000, EINVAL, 0},
      {8, 0, 0x1FFFFC, 0, 0x007CFFFC},
      {8, 0, 0x010001, EINVAL, 0},                 // odd
      {8, 0, 0x200000, EINVAL, 0},
      {9, 0, 0x01FFFFFC, 0, 0x01FFFFFC},
      {9, 0xFFFFFFFF, 0x4, 0, 0xFE000007},
      {9, 0, 0x02000000, EINVAL, 0},
      {9, 0, 0x2, EINVAL, 0},
      {10, 0, P + 4, 0, 0x00000004},               // a target 4 bytes ahead
      {10, 0xFE000003, P + 8, 0, 0xFE00000B},
      {10, 0, P - 4, 0, 0x01FFFFFC},
      {10, 0, P + 0x00FFFFFC, 0, 0x00FFFFFC},
      {10, 0, P - 0x01000000, 0, 0x01000000},
      {10, 0, P + 0x01000000, EINVAL, 0},
      {10, 0, P - 0x01000004, EINVAL, 0},
      {11, 0, 7, 0, 0x00000004},                   // low 2 bits dropped
      {11, 0, 0xFF000000, 0, 0x01000000},
      {11, 0, 0x00FFFFFF, 0, 0x00FFFFFC},
      {11, 0, 0x01000000, EINVAL, 0},
      {11, 0, 0xFEFFFFFF, EINVAL, 0},
      {12, 0xAAAAAAAA, 0x12345678, 0, 0x12345678},
      {0, 0x12345678, 0, EINVAL, 0},
      {13, 0x12345678, 0, EINVAL, 0},
      {0xFFFF, 0x12345678, 0, EINVAL, 0},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " V 0x" << std::hex << c.v);
    std::vector<uint8_t> word = kcoff_writer_words({c.w});
    EXPECT_EQ(insert_reloc(c.type, word.data(), c.v, P), c.rc);
    EXPECT_EQ(be32(word.data()), c.rc ? c.w : c.after);
  }
}

// Sections: .text at 0x40 (relocated), .data at 0x100 (relocated), .bss at
// 0x200, .rodata at 0x300 (text kind), .debug (not relocated: flags 0).
struct reloc_file {
  kcoff_writer_file file;
  enum { START, DVAR, CBUF, EDATA, RO, SPECIAL, SMALL };
};

std::vector<uint8_t> numbered_words(uint32_t first, int n) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < n; i++) {
    std::vector<uint8_t> w = kcoff_writer_words({first + i});
    bytes.insert(bytes.end(), w.begin(), w.end());
  }
  return bytes;
}

kcoff_writer_file relocated_file() {
  kcoff_writer_file f;
  auto r12 = [](uint32_t vma, uint32_t sym, uint32_t addend) {
    return kcoff_writer_relocation{.vma = vma, .stab_index = sym, .relocation_type = 12, .offset = addend};
  };
  f.sections = {
      {.name = ".text", .vma = 0x40, .contents = numbered_words(0x11110000, 8), .flags = KCOFF_SECTION_TEXT,
       .relocations = {r12(0x40, reloc_file::START, 0), r12(0x44, reloc_file::START, 4),
                       r12(0x48, reloc_file::DVAR, 8), r12(0x4C, reloc_file::CBUF, 2),
                       r12(0x50, reloc_file::EDATA, 0), r12(0x54, reloc_file::RO, 0),
                       r12(0x58, reloc_file::SPECIAL, 0)}},
      {.name = ".data", .vma = 0x100, .contents = numbered_words(0x22220000, 4), .flags = KCOFF_SECTION_DATA,
       .relocations = {r12(0x100, reloc_file::START, 0), r12(0x104, reloc_file::DVAR, 4)}},
      {.name = ".bss", .vma = 0x200, .flags = KCOFF_SECTION_BSS, .size = 0x20},
      {.name = ".rodata", .vma = 0x300, .contents = numbered_words(0x33330000, 4), .flags = KCOFF_SECTION_TEXT},
      {.name = ".debug", .vma = 0, .contents = numbered_words(0x44440000, 2),
       .relocations = {r12(0, reloc_file::START, 0)}},
  };
  f.symbols = {
      defined("start", 0x48, 1),
      defined("dvar", 0x108, 2),
      common("cbuf", 4),
      common("edata", 0),
      defined("ro", 0x308, 4),
      defined("special", 0x12345678, 0xFFFF),
      defined("small", 32, 3),
  };
  return f;
}

TEST(KcoffReloc, ValuesOfEveryKindOfSymbol) {
  kcoff_writer_output out = write_file(relocated_file());
  const std::vector<uint8_t> original = out.bytes;
  kcoff_ptr k = parse(out.bytes);
  ASSERT_TRUE(k);
  kcoff_offset_value_log *log = nullptr;
  ASSERT_EQ(kcoff_reloc(k.get(), nullptr, KCOFF_SECTION_TEXT | KCOFF_SECTION_DATA, &log, 0), 0);
  ASSERT_NE(log, nullptr);

  const uint8_t *text = out.bytes.data() + out.section_offset[0];
  const uint8_t *data = out.bytes.data() + out.section_offset[1];
  struct {
    const char *what;
    const uint8_t *word;
    uint32_t value;
  } expected[] = {
      {"first section, no addend: the symbol's value", text + 0, 0x48},
      {"first section with an addend: the section's address", text + 4, 0x40 + 4},
      {"a later section: its address", text + 8, 0x100 + 8},
      {"a common symbol: its address", text + 12, 0x220 + 2},
      {"edata: the end of the second section", text + 16, 0x110},
      {"a later section of text kind", text + 20, 0x300},
      {"a special symbol: not relocated", text + 24, 0x11110006},
      {"untouched", text + 28, 0x11110007},
      {"an earlier section: the symbol's value", data + 0, 0x48},
      {"this section: value and addend", data + 4, 0x108 + 4},
      {"untouched", data + 8, 0x22220002},
      {"a section outside the mask", out.bytes.data() + out.section_offset[4], 0x44440000},
  };
  for (auto &e : expected) EXPECT_EQ(be32(e.word), e.value) << e.what;

  // The log holds each patched word as it was, in file order.
  ASSERT_EQ(log->cnt, 8u);
  const uint32_t first = out.section_offset[0];
  for (uint32_t i = 0; i < 6; i++) {
    EXPECT_EQ(log->entry[i].offset, first + 4 * i);
    EXPECT_EQ(memcmp(&log->entry[i].value, &original[first + 4 * i], 4), 0);
  }
  EXPECT_EQ(log->entry[6].offset, out.section_offset[1]);
  kcoff_offset_value_log_free(log);
}

TEST(KcoffReloc, ExternalSymbolsFromASecondHandle) {
  kcoff_writer_file lender;
  lender.sections = {{.name = ".text", .vma = 0x4000, .contents = {0, 0, 0, 0}},
                     {.name = ".data", .vma = 0x5000, .contents = {0, 0, 0, 0}},
                     {.name = ".bss", .vma = 0x6000, .flags = KCOFF_SECTION_BSS, .size = 0x10}};
  lender.symbols = {defined("ext_fn", 0x4010, 1), defined("external_variable", 0x5020, 2), common("ext_buf", 8)};
  kcoff_writer_file f;
  // Relocations in .data against symbols of .data: without resolution each
  // gives the symbol's value and the addend.
  f.sections = {
      {.name = ".text", .vma = 0x40, .contents = {0, 0, 0, 0}, .flags = KCOFF_SECTION_TEXT},
      {.name = ".data", .vma = 0x100, .contents = numbered_words(0, 4), .flags = KCOFF_SECTION_DATA,
       .relocations = {{.vma = 0x100, .stab_index = 0, .relocation_type = 12, .offset = 8},
                       {.vma = 0x104, .stab_index = 1, .relocation_type = 12, .offset = 8},
                       {.vma = 0x108, .stab_index = 2, .relocation_type = 12, .offset = 8},
                       {.vma = 0x10C, .stab_index = 3, .relocation_type = 12, .offset = 1}}},
      {.name = ".bss", .vma = 0x200, .flags = KCOFF_SECTION_BSS, .size = 0x20},
  };
  f.symbols = {
      defined("ext_fn", 0x2000, 2),
      defined("external_variable", 0x3000, 2),
      {.name = "ext_fn", .value = 0x2000, .section = 2, .class_ = KCOFF_CLASS_STATIC},
      common("ext_buf", 4),
  };
  for (int resolve : {0, 1}) {
    SCOPED_TRACE(resolve ? "resolving" : "not resolving");
    kcoff_writer_output lent = write_file(lender), out = write_file(f);
    kcoff_ptr other = parse(lent.bytes), k = parse(out.bytes);
    ASSERT_TRUE(other && k);
    ASSERT_EQ(kcoff_stabx_add(other.get(), nullptr), 0);
    ASSERT_EQ(kcoff_reloc(k.get(), other.get(), KCOFF_SECTION_DATA, nullptr, resolve), 0);
    const uint8_t *data = out.bytes.data() + out.section_offset[1];
    EXPECT_EQ(be32(data + 0), resolve ? 0x4010u : 0x2008u);  // the lender's first section: no addend
    EXPECT_EQ(be32(data + 4), resolve ? 0x5028u : 0x3008u);  // another section: with the addend
    EXPECT_EQ(be32(data + 8), 0x2008u);                      // not external
    EXPECT_EQ(be32(data + 12), 0x6010u + 1);                 // the lender's common address, always
  }
}

// Each case applies good relocations first, then meets a bad one: the
// buffer must come back byte for byte, and no log is handed out.
TEST(KcoffReloc, FailureUndoesEverything) {
  struct {
    const char *what;
    uint16_t type;
    uint32_t symbol;  // record number
    uint32_t addend;
  } cases[] = {
      // V = the address of .bss (a later section) + the addend.
      {"type 1, V = 32", 1, reloc_file::SMALL, uint32_t(32 - 0x200)},
      {"type 1, V = -33", 1, reloc_file::SMALL, uint32_t(-33 - 0x200)},
      {"unknown type", 13, reloc_file::START, 0},
      {"type 8, odd value", 8, reloc_file::START, uint32_t(1 - 0x40)},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    kcoff_writer_file f = relocated_file();
    // Twenty good ones on the data section (more than the log starts with),
    // then the bad one.
    f.sections[1].contents = numbered_words(0x22220000, 21);
    f.sections[1].relocations.clear();
    for (uint32_t i = 0; i < 20; i++)
      f.sections[1].relocations.push_back(
          {.vma = 0x100 + 4 * i, .stab_index = reloc_file::DVAR, .relocation_type = 12});
    f.sections[1].relocations.push_back(
        {.vma = 0x150, .stab_index = c.symbol, .relocation_type = c.type, .offset = c.addend});
    kcoff_writer_output out = write_file(f);
    kcoff_ptr k = parse(out.bytes);
    ASSERT_TRUE(k);
    const std::vector<uint8_t> before = out.bytes;
    kcoff_offset_value_log *log = reinterpret_cast<kcoff_offset_value_log *>(&c);
    EXPECT_EQ(kcoff_reloc(k.get(), nullptr, KCOFF_SECTION_TEXT | KCOFF_SECTION_DATA, &log, 0), EINVAL);
    EXPECT_EQ(out.bytes, before);
    EXPECT_EQ(log, reinterpret_cast<kcoff_offset_value_log *>(&c));
  }
}

TEST(KcoffReloc, BoundariesOfTypeOneThroughAFile) {
  // V = the address of .bss (0x200, a later section) + the addend: -32 and 31
  // fit, -33 and 32 do not.
  struct {
    int32_t v;
    int rc;
  } cases[] = {{-32, 0}, {31, 0}, {-33, EINVAL}, {32, EINVAL}};
  for (auto &c : cases) {
    SCOPED_TRACE(c.v);
    kcoff_writer_file f = relocated_file();
    f.sections[0].relocations.push_back(
        {.vma = 0x5C, .stab_index = reloc_file::SMALL, .relocation_type = 1, .offset = uint32_t(c.v - 0x200)});
    kcoff_writer_output out = write_file(f);
    kcoff_ptr k = parse(out.bytes);
    ASSERT_TRUE(k);
    const std::vector<uint8_t> before = out.bytes;
    ASSERT_EQ(kcoff_reloc(k.get(), nullptr, KCOFF_SECTION_TEXT, nullptr, 0), c.rc);
    if (c.rc)
      EXPECT_EQ(out.bytes, before);
    else
      EXPECT_EQ(be32(out.bytes.data() + out.section_offset[0] + 0x1C), (0x11110007u & ~0x3Fu) | (c.v & 0x3F));
  }
}

TEST(KcoffReloc, NeedsBss) {
  kcoff_writer_file f = relocated_file();
  f.sections[2].name = ".sbss";
  kcoff_writer_output out = write_file(f);
  kcoff_ptr k = parse(out.bytes);
  ASSERT_TRUE(k);
  const std::vector<uint8_t> before = out.bytes;
  EXPECT_EQ(kcoff_reloc(k.get(), nullptr, 0x60, nullptr, 0), EINVAL);
  EXPECT_EQ(out.bytes, before);
}

TEST(KcoffSramImage, PlainFileGivesTheFirstTwoSections) {
  kcoff_writer_file f;
  std::vector<uint8_t> text(0x100), data(0x10, 0xDD);
  for (size_t i = 0; i < text.size(); i++) text[i] = uint8_t(i + 1);
  f.sections = {
      {.name = ".text", .vma = 0, .contents = text, .flags = KCOFF_SECTION_TEXT,
       .relocations = {{.vma = 0, .stab_index = 0, .relocation_type = 12}}},
      {.name = ".data", .vma = 0x200, .contents = data, .flags = KCOFF_SECTION_DATA},
      {.name = ".bss", .vma = 0x210, .flags = KCOFF_SECTION_BSS, .size = 0x100},
  };
  f.symbols = {defined("start", 0x80, 1), common("c", 0x40)};
  kcoff_writer_output out = write_file(f);
  kcoff_ptr k = parse(out.bytes);
  ASSERT_TRUE(k);
  const std::vector<uint8_t> before = out.bytes;
  uint8_t *image = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(kcoff_sram_image(k.get(), &image, &length), 0);
  ASSERT_EQ(length, 0x210u);
  std::vector<uint8_t> expected(0x210);
  std::copy(text.begin(), text.end(), expected.begin());  // not relocated
  std::copy(data.begin(), data.end(), expected.begin() + 0x200);
  EXPECT_EQ(std::vector<uint8_t>(image, image + length), expected);
  EXPECT_EQ(out.bytes, before);
  free(image);

  // A prefixed file marked 0x0000 is built the same way.
  f.prefixed = true;
  f.prefix_mark = 0x0000;
  f.sections[0].contents[0] = f.sections[0].contents[1] = 0;
  f.sections[0].relocations.clear();
  k.reset();
  out = write_file(f);
  k = parse(out.bytes);
  ASSERT_TRUE(k);
  ASSERT_EQ(kcoff_sram_image(k.get(), &image, &length), 0);
  expected[0] = expected[1] = 0;
  EXPECT_EQ(std::vector<uint8_t>(image, image + length), expected);
  free(image);
}

TEST(KcoffSramImage, PlainFileNeedsTwoSections) {
  kcoff_writer_file f;
  f.sections = {{.name = ".text", .contents = {1, 2, 3, 4}}};
  kcoff_writer_output out = write_file(f);
  kcoff_ptr k = parse(out.bytes);
  ASSERT_TRUE(k);
  uint8_t *image = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(kcoff_sram_image(k.get(), &image, &length), EINVAL);
  EXPECT_EQ(image, nullptr);
}

kcoff_writer_file prefixed_file() {
  kcoff_writer_file f;
  f.prefixed = true;
  std::vector<uint8_t> text = numbered_words(0xE0000000, 0x420);  // covers 4096-4099 ...
  std::fill(text.begin() + 0x1000, text.begin() + 0x1004, 0);      // ... which the writer fills
  f.sections = {
      {.name = ".text", .vma = 0, .contents = text, .flags = KCOFF_SECTION_TEXT,
       .relocations = {{.vma = 0x10, .stab_index = 1, .relocation_type = 12},
                       {.vma = 0x14, .stab_index = 0, .relocation_type = 10}}},
      {.name = ".data", .vma = 0x1100, .contents = numbered_words(0xDA7A0000, 4), .flags = KCOFF_SECTION_DATA,
       .relocations = {{.vma = 0x1104, .stab_index = 2, .relocation_type = 12, .offset = 4}}},
      {.name = ".bss", .vma = 0x1200, .flags = KCOFF_SECTION_BSS, .size = 0x30},
  };
  f.symbols = {defined("main", 0x40, 1), defined("table", 0x1108, 2), common("heap_area", 0x100)};
  return f;
}

TEST(KcoffSramImage, PrefixedImageIsTheWholeRelocatedBuffer) {
  kcoff_writer_output out = write_file(prefixed_file());
  const std::vector<uint8_t> original = out.bytes;
  kcoff_ptr k = parse(out.bytes);
  ASSERT_TRUE(k);
  uint8_t *image = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(kcoff_sram_image(k.get(), &image, &length), 0);
  ASSERT_EQ(length, original.size());
  std::vector<uint8_t> expected = original;
  kcoff_writer_put32(expected, 0x10, 0x1100);      // type 12 against a later section: its address
  kcoff_writer_put32(expected, 0x14, 0xE000002D);  // type 10: main is 0x2C bytes ahead
  kcoff_writer_put32(expected, 0x1104, 0x1234);    // the common symbol after .bss, and the addend
  EXPECT_EQ(std::vector<uint8_t>(image, image + length), expected);
  free(image);

  // The handle is back in host order over the relocated buffer.
  ASSERT_NE(k->header, nullptr);
  EXPECT_EQ(k->header->magic, KCOFF_MAGIC);
  uint32_t value = 0;
  ASSERT_EQ(kcoff_symbol_lookup(k.get(), "heap_area", &value), 0);
  EXPECT_EQ(value, 0x1230u);
  ASSERT_EQ(kcoff_unswap(k.get()), 0);
  EXPECT_EQ(out.bytes, expected);
}

TEST(KcoffSramImage, PrefixedImageThatCannotBeRelocatedIsLeftAlone) {
  kcoff_writer_file f = prefixed_file();
  f.sections[1].relocations.push_back({.vma = 0x1108, .stab_index = 0, .relocation_type = 3, .offset = 0x10000});
  kcoff_writer_output out = write_file(f);
  kcoff_ptr k = parse(out.bytes);
  ASSERT_TRUE(k);
  const std::vector<uint8_t> before = out.bytes;
  uint8_t *image = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(kcoff_sram_image(k.get(), &image, &length), EINVAL);
  EXPECT_EQ(image, nullptr);
  EXPECT_EQ(out.bytes, before);
  EXPECT_NE(k->header, nullptr);
}

}  // namespace
