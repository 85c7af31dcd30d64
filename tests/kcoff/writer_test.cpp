// The writer of fixture and firmware files: the prefixed layout, and the
// descriptions it refuses.

#include <cerrno>

#include "kcoff_fixture.h"

namespace {

TEST(KcoffWriter, PrefixedImageLaysSectionsAtTheirAddresses) {
  kcoff_writer_file f;
  f.prefixed = true;
  f.sections = {
      {.name = ".text", .vma = 0, .contents = kcoff_writer_words({0xE0001234, 0x55555555}),
       .flags = KCOFF_SECTION_TEXT},
      {.name = ".data", .vma = 0x2000, .contents = kcoff_writer_words({0xDA7ADA7A}), .flags = KCOFF_SECTION_DATA},
      {.name = ".bss", .vma = 0x3000, .flags = KCOFF_SECTION_BSS, .size = 0x100},
  };
  kcoff_writer_output out = write_file(f);
  EXPECT_EQ(out.header_offset, 0x2010u);  // after the furthest contents, 16-byte aligned
  EXPECT_EQ(kcoff_writer_get32(out.bytes, 0), 0xE0001234u);
  EXPECT_EQ(kcoff_writer_get32(out.bytes, 4096), out.header_offset);
  EXPECT_EQ(kcoff_writer_get32(out.bytes, 0x2000), 0xDA7ADA7Au);
  EXPECT_EQ(out.section_offset, (std::vector<uint32_t>{0, 0x2000, 0}));

  // Without contents up to 4096, the object file still starts past the word there.
  f.sections.resize(1);
  EXPECT_EQ(write_file(f).header_offset, 0x1010u);
}

TEST(KcoffWriter, RefusesWhatCannotBeWritten) {
  auto with = [](auto change) {
    kcoff_writer_file f;
    f.sections = {{.name = ".text", .contents = {0xE0, 0, 0, 0}}};
    change(f);
    return f;
  };
  struct {
    const char *what;
    kcoff_writer_file file;
  } cases[] = {
      {"empty section name", with([](auto &f) { f.sections[0].name = ""; })},
      {"section name of 9", with([](auto &f) { f.sections[0].name = ".textlong"; })},
      {"bss with contents", with([](auto &f) { f.sections[0].flags = KCOFF_SECTION_BSS; })},
      {"256 auxiliary records",
       with([](auto &f) { f.symbols = {{.name = "x", .aux = std::vector<std::array<uint8_t, 20>>(256)}}; })},
      {"NUL in a symbol name", with([](auto &f) { f.symbols = {{.name = std::string("a\0b", 3)}}; })},
      {"prefix mark of another kind", with([](auto &f) {
         f.prefixed = true;
         f.prefix_mark = 0x1300;
       })},
      {"contents at 0 without the mark", with([](auto &f) {
         f.prefixed = true;
         f.sections[0].contents[0] = 0x12;
       })},
      {"contents at 4096 not zero", with([](auto &f) {
         f.prefixed = true;
         f.sections[0].contents.resize(0x1004, 0x77);
       })},
      {"overlapping sections in a prefixed image", with([](auto &f) {
         f.prefixed = true;
         f.sections.push_back({.name = ".data", .vma = 2, .contents = {1, 2, 3, 4}});
       })},
  };
  for (auto &c : cases) {
    kcoff_writer_output out;
    EXPECT_EQ(kcoff_write(c.file, &out), EINVAL) << c.what;
    EXPECT_FALSE(out.error.empty()) << c.what;
  }
}

}  // namespace
