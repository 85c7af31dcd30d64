// Reading object files: where the header is, byte order both ways, sections,
// reading from disk, and files that do not fit their buffer.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>

#include "descriptors.h"
#include "kcoff_fixture.h"

namespace {

// A file with every kind of record: three sections with relocations, inline
// and string-table names, a special symbol with auxiliary records, a common
// symbol; plain, or a prefixed image whose .text covers the prefix words.
kcoff_writer_file sample(bool prefixed = false, uint16_t aout_header_size = 0) {
  const uint32_t text_size = prefixed ? 0x1100 : 0x40;
  const uint32_t data = prefixed ? 0x1200 : 0x100, bss = prefixed ? 0x1300 : 0x200;
  std::vector<uint8_t> text(text_size);
  for (uint32_t i = 0; i < text_size; i++) text[i] = uint8_t(i * 7 + 1);
  if (prefixed) {
    text[0] = 0xE0, text[1] = 0x00;
    std::fill(text.begin() + 0x1000, text.begin() + 0x1004, 0);
  }
  kcoff_writer_file f;
  f.prefixed = prefixed;
  f.aout_header_size = aout_header_size;
  f.sections = {
      {.name = ".text", .vma = 0, .contents = text, .flags = KCOFF_SECTION_TEXT,
       .relocations = {{.vma = 8, .stab_index = 0, .relocation_type = 12, .offset = 0x10},
                       {.vma = 0xC, .stab_index = 1, .relocation_type = 4, .size = 2, .xtern = 1}}},
      {.name = ".data", .vma = data, .contents = kcoff_writer_words({1, 2, 3, 4}), .flags = KCOFF_SECTION_DATA,
       .relocations = {{.vma = data + 4, .stab_index = 7, .relocation_type = 12}}},
      {.name = ".bss", .vma = bss, .flags = KCOFF_SECTION_BSS, .size = 0x34},
  };
  f.symbols = {
      defined("start", 0, 1),
      defined("a_long_symbol_name", data + 4, 2),
      defined("abcdefgh", data, 2),
      {.name = "forced", .value = 4, .section = 1, .in_string_table = true},
      // A special symbol whose auxiliary records look like names: one
      // inline, one with a string index far outside the file.
      {.name = ".file", .section = 0xFFFE, .class_ = 103,
       .aux = {aux_record("ghost"), aux_record(std::string_view("\0\0\0\0\x7f\xff\xff\xff", 8))}},
      common("counter", 4),
  };
  return f;
}

TEST(KcoffRead, PlainFileIsConvertedToHostOrder) {
  kcoff_writer_output out = write_file(sample());
  const std::vector<uint8_t> original = out.bytes;
  kcoff_ptr k = parse(out.bytes);
  ASSERT_TRUE(k);
  uint8_t *base = out.bytes.data();
  EXPECT_EQ((uint8_t *)k->header, base);
  EXPECT_EQ(k->header->magic, KCOFF_MAGIC);
  EXPECT_EQ(k->header->section_cnt, 3);
  EXPECT_EQ(k->header->stab_cnt, 8u);
  EXPECT_EQ((uint8_t *)k->section_header, base + out.section_headers_offset);
  EXPECT_EQ((uint8_t *)k->stab, base + out.stab_offset);
  EXPECT_EQ((uint8_t *)k->stabstr, base + out.stabstr_offset);
  EXPECT_EQ(k->flags, 0);

  const kcoff_section_header &data = k->section_header[1];
  EXPECT_EQ(std::string(data.name), ".data");
  EXPECT_EQ(data.vma, 0x100u);
  EXPECT_EQ(data.size, 16u);
  EXPECT_EQ(data.offset, out.section_offset[1]);
  EXPECT_EQ(data.num_relocations, 1);
  EXPECT_EQ(data.flags, (uint32_t)KCOFF_SECTION_DATA);
  EXPECT_EQ(k->section_header[2].size, 0x34u);

  EXPECT_EQ((uint8_t *)k->section_relocations[0], base + out.relocations_offset[0]);
  EXPECT_EQ((uint8_t *)k->section_relocations[1], base + out.relocations_offset[1]);
  EXPECT_EQ(k->section_relocations[2], nullptr);
  const kcoff_relocation_record &r = k->section_relocations[0][1];
  EXPECT_EQ(r.vma, 0xCu);
  EXPECT_EQ(r.stab_index, 1u);
  EXPECT_EQ(r.relocation_type, 4);
  EXPECT_EQ(r.size, 2);
  EXPECT_EQ(r.xtern, 1);

  EXPECT_EQ(k->stab[1].zero, 0u);
  EXPECT_STREQ(k->stabstr + k->stab[1].index, "a_long_symbol_name");
  EXPECT_EQ(k->stab[1].value, 0x104u);
  EXPECT_EQ(k->stab[4].section, 0xFFFE);
  EXPECT_EQ(k->stab[4].class_, 103);
  EXPECT_EQ(k->stab[4].num_aux, 2);
  EXPECT_EQ(std::string(k->stab[5].name, 5), "ghost");  // auxiliary record, name bytes left alone

  // Section contents stay as the processor sees them.
  const size_t text = out.section_offset[0];
  EXPECT_TRUE(std::equal(base + text, base + text + 0x40, original.begin() + text));
}

TEST(KcoffRead, HeaderIsFoundWhereTheFirstWordSays) {
  struct {
    const char *what;
    kcoff_writer_file file;
  } cases[] = {
      {"plain", sample(false)},
      {"plain with an optional header of odd size", sample(false, 7)},
      {"prefixed, 0xE000", sample(true)},
      {"prefixed, 0x0000, optional header", [] {
         kcoff_writer_file f = sample(true, 3);
         f.prefix_mark = 0x0000;
         f.sections[0].contents[0] = 0;
         return f;
       }()},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    kcoff_writer_output out = write_file(c.file);
    kcoff_ptr k = parse(out.bytes);
    ASSERT_TRUE(k);
    EXPECT_EQ((uint8_t *)k->header, out.bytes.data() + out.header_offset);
    EXPECT_EQ((uint8_t *)k->section_header, out.bytes.data() + out.header_offset + 20 + c.file.aout_header_size);
    EXPECT_EQ(k->header->aout_header_size, c.file.aout_header_size);
    const kcoff_section_header *data = kcoff_find_section(k.get(), ".data");
    ASSERT_NE(data, nullptr);
    const uint32_t vma = data->vma;  // a packed field, maybe misaligned: read by value
    EXPECT_EQ(vma, c.file.sections[1].vma);
    EXPECT_EQ(kcoff_symbol_lookup(k.get(), "a_long_symbol_name", nullptr), 0);
  }
}

TEST(KcoffRead, UnswapRestoresTheFileByteForByte) {
  for (bool prefixed : {false, true}) {
    SCOPED_TRACE(prefixed ? "prefixed" : "plain");
    kcoff_writer_output out = write_file(sample(prefixed, 5));
    const std::vector<uint8_t> original = out.bytes;
    kcoff_ptr k = parse(out.bytes);
    ASSERT_TRUE(k);
    EXPECT_NE(out.bytes, original);
    EXPECT_EQ(kcoff_reswap(k.get()), EINVAL);  // already in host order

    ASSERT_EQ(kcoff_unswap(k.get()), 0);
    EXPECT_EQ(out.bytes, original);
    EXPECT_EQ(k->header, nullptr);
    EXPECT_EQ(k->section_header, nullptr);
    EXPECT_EQ(k->stab, nullptr);
    for (int i = 0; i < 3; i++) EXPECT_EQ(k->section_relocations[i], nullptr);
    EXPECT_EQ(kcoff_unswap(k.get()), EINVAL);  // already in file order
    EXPECT_EQ(out.bytes, original);

    // Back and forth again; lookups built before the swap still work after.
    ASSERT_EQ(kcoff_reswap(k.get()), 0);
    EXPECT_EQ(kcoff_symbol_lookup(k.get(), "start", nullptr), 0);
    ASSERT_EQ(kcoff_unswap(k.get()), 0);
    ASSERT_EQ(kcoff_reswap(k.get()), 0);
    uint32_t value = 0;
    EXPECT_EQ(kcoff_symbol_lookup(k.get(), "abcdefgh", &value), 0);
    EXPECT_EQ(value, prefixed ? 0x1200u : 0x100u);
    ASSERT_EQ(kcoff_unswap(k.get()), 0);
    EXPECT_EQ(out.bytes, original);
  }
}

TEST(KcoffRead, FindSectionTakesTheLaterOfTwoAndEightCharacterNames) {
  kcoff_writer_file f;
  f.sections = {
      {.name = ".text", .vma = 0x10, .contents = {1, 2, 3, 4}, .flags = KCOFF_SECTION_TEXT},
      {.name = ".longnam", .vma = 0x20, .contents = {5, 6, 7, 8}},
      {.name = ".text", .vma = 0x30, .contents = {9, 10, 11, 12}, .flags = KCOFF_SECTION_TEXT},
  };
  kcoff_writer_output out = write_file(f);
  kcoff_ptr k = parse(out.bytes);
  ASSERT_TRUE(k);
  EXPECT_EQ(kcoff_find_section(k.get(), ".text"), &k->section_header[2]);
  EXPECT_EQ(kcoff_find_section(k.get(), ".longnam"), &k->section_header[1]);
  EXPECT_EQ(kcoff_find_section(k.get(), ".longna"), nullptr);
  EXPECT_EQ(kcoff_find_section(k.get(), ".tex"), nullptr);
  EXPECT_EQ(kcoff_find_section(k.get(), ".bss"), nullptr);
  ASSERT_EQ(kcoff_unswap(k.get()), 0);
  EXPECT_EQ(kcoff_find_section(k.get(), ".text"), nullptr);  // nothing to search in file order
}

// A file the library must accept: what lies outside the buffer is not read.
TEST(KcoffRead, AcceptsWhatItDoesNotRead) {
  kcoff_writer_file f = sample();
  f.sections[2].size = 0xFFFFFF00;  // bss contents are not in the file
  kcoff_writer_output out = write_file(f);
  // Line numbers are not read.
  kcoff_writer_put32(out.bytes, out.section_headers_offset + 28, 0xFFFFFFF0);
  kcoff_writer_put16(out.bytes, out.section_headers_offset + 34, 0xFFFF);
  kcoff_ptr k = parse(out.bytes);
  ASSERT_TRUE(k);
  EXPECT_EQ(k->section_header[2].size, 0xFFFFFF00u);
}

// One file per case, each answered with 22 and left exactly as it was.
TEST(KcoffRead, RejectsFilesThatDoNotFitTheirBuffer) {
  using mutation = std::function<void(std::vector<uint8_t> &, const kcoff_writer_output &)>;
  auto put16 = [](size_t field, uint16_t v, bool section = false, int s = 0) -> mutation {
    return [=](std::vector<uint8_t> &b, const kcoff_writer_output &o) {
      kcoff_writer_put16(b, (section ? o.section_headers_offset + 40 * s : o.header_offset) + field, v);
    };
  };
  auto put32 = [](size_t field, uint32_t v, bool section = false, int s = 0) -> mutation {
    return [=](std::vector<uint8_t> &b, const kcoff_writer_output &o) {
      kcoff_writer_put32(b, (section ? o.section_headers_offset + 40 * s : o.header_offset) + field, v);
    };
  };
  // Two sections at one address, the first with a relocation: fine alone,
  // but not with the second sharing its records.
  kcoff_writer_file twins;
  twins.sections = {
      {.name = ".text", .vma = 0x100, .contents = kcoff_writer_words({0, 0}), .flags = KCOFF_SECTION_TEXT,
       .relocations = {{.vma = 0x104, .stab_index = 0, .relocation_type = 12}}},
      {.name = ".text2", .vma = 0x100, .contents = kcoff_writer_words({0, 0}), .flags = KCOFF_SECTION_TEXT},
  };
  twins.symbols = {defined("start", 0x100, 1)};
  struct {
    const char *what;
    bool prefixed;
    mutation change;
    const kcoff_writer_file *file = nullptr;  // instead of the sample
  } cases[] = {
      {"little-endian magic", false, [](auto &b, auto &) { std::swap(b[0], b[1]); }},
      {"wrong magic in a prefixed image", true, [](auto &b, auto &o) { b[o.header_offset + 1] = 1; }},
      {"section count past the end", false, put16(2, 0xFFFF)},
      {"symbol count past the end", false, put32(12, 0x0FFFFFFF)},
      {"symbol count whose size wraps 32 bits", false, put32(12, 0xCCCCCCCD)},
      {"symbol table past the end", false,
       [](auto &b, auto &o) { kcoff_writer_put32(b, 8, b.size() - o.header_offset); }},
      {"symbol table offset huge", true, put32(8, 0xFFFFFFF0)},
      {"optional header pushes the section headers out", false, put16(16, 0xFFFF)},
      {"relocation records past the end", false, put32(24, 0xFFFFFFF0, true, 0)},
      {"relocation count past the end", false, put16(32, 0xFFFF, true, 1)},
      {"section contents past the end", false,
       [](auto &b, auto &o) { kcoff_writer_put32(b, o.section_headers_offset + 40 + 20, b.size() - 8); }},
      {"section size past the end", true, put32(16, 0xFFFFFFFF, true, 1)},
      {"string index past the end", false,
       [](auto &b, auto &o) { kcoff_writer_put32(b, o.stab_offset + 20 * 1 + 4, 0x7FFFFFFF); }},
      {"string index at the very end", false,
       [](auto &b, auto &o) { kcoff_writer_put32(b, o.stab_offset + 20 * 1 + 4, b.size() - o.stabstr_offset); }},
      {"last name unterminated", false, [](auto &b, auto &) { b.back() = 'x'; }},
      {"relocation against a record past the table", false,
       [](auto &b, auto &o) { kcoff_writer_put32(b, o.relocations_offset[0] + 4, 8); }},
      {"relocated word past its section", false,
       [](auto &b, auto &o) { kcoff_writer_put32(b, o.relocations_offset[0] + 16, 0x3E); }},
      {"relocated word before its section", false,
       [](auto &b, auto &o) { kcoff_writer_put32(b, o.relocations_offset[1], 0xFC); }},
      {"relocated word of a bss section lands on the section headers", false,
       [](auto &b, auto &o) {
         // Give .bss the relocation records of .data.
         kcoff_writer_put32(b, o.section_headers_offset + 80 + 24, o.relocations_offset[1] - o.header_offset);
         kcoff_writer_put16(b, o.section_headers_offset + 80 + 32, 1);
         kcoff_writer_put16(b, o.section_headers_offset + 40 + 32, 0);
         kcoff_writer_put32(b, o.relocations_offset[1], 0x230);
       }},
      {"relocated word on the file header", false, put32(20, 0, true, 0)},
      {"relocated word on the symbol table", false,
       [](auto &b, auto &o) { kcoff_writer_put32(b, o.section_headers_offset + 20, o.stab_offset - 8); }},
      {"relocated word on the prefix mark", true,
       [](auto &b, auto &o) { kcoff_writer_put32(b, o.relocations_offset[0], 0); }},
      {"relocated word on the header offset", true,
       [](auto &b, auto &o) { kcoff_writer_put32(b, o.relocations_offset[0], 0xFFE); }},
      {"two sections share relocation records", false,
       [](auto &b, auto &o) {
         kcoff_writer_put32(b, o.section_headers_offset + 40 + 24, o.relocations_offset[0] - o.header_offset);
         kcoff_writer_put16(b, o.section_headers_offset + 40 + 32, 1);
       },
       &twins},
      {"prefixed image too short for the header offset", true, [](auto &b, auto &) { b.resize(4099); }},
      {"prefixed header offset past the end", true,
       [](auto &b, auto &) { kcoff_writer_put32(b, 4096, b.size() - 19); }},
      {"prefixed file header over the header offset", true,
       [](auto &b, auto &o) {
         // A file header at 4080, with no sections and the symbol table
         // where it was: its last field, the flags, is the header offset's
         // low half.
         std::vector<uint8_t> h(b.begin() + o.header_offset, b.begin() + o.header_offset + 20);
         kcoff_writer_put16(h, 2, 0);
         kcoff_writer_put32(h, 8, o.stab_offset - 4080);
         std::copy(h.begin(), h.end(), b.begin() + 4080);
         kcoff_writer_put32(b, 4096, 4080);
       }},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    kcoff_writer_output out = write_file(c.file ? *c.file : sample(c.prefixed));
    c.change(out.bytes, out);
    // An exact-size copy, so that a read past the end is seen.
    std::vector<uint8_t> bytes(out.bytes);
    bytes.shrink_to_fit();
    const std::vector<uint8_t> before = bytes;
    kcoff *k = reinterpret_cast<kcoff *>(&bytes);  // must stay untouched
    EXPECT_EQ(kcoff_from_buffer(&k, bytes.data(), bytes.size()), EINVAL);
    EXPECT_EQ(k, reinterpret_cast<kcoff *>(&bytes));
    EXPECT_EQ(bytes, before);
  }
}

TEST(KcoffRead, RejectsEveryTruncation) {
  for (bool prefixed : {false, true}) {
    SCOPED_TRACE(prefixed ? "prefixed" : "plain");
    const std::vector<uint8_t> whole = write_file(sample(prefixed)).bytes;
    for (size_t length = 0; length < whole.size(); length++) {
      std::vector<uint8_t> cut(whole.begin(), whole.begin() + length);
      cut.shrink_to_fit();
      const std::vector<uint8_t> before = cut;
      kcoff *k = nullptr;
      ASSERT_EQ(kcoff_from_buffer(&k, cut.data(), cut.size()), EINVAL) << "length " << length;
      ASSERT_EQ(cut, before) << "length " << length;
    }
  }
}

class TempFile {
 public:
  TempFile() {
    char name[] = "/tmp/kcoff_test.XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    path_ = name;
  }
  ~TempFile() { unlink(path_.c_str()); }
  const char *path() const { return path_.c_str(); }
  void write(const std::vector<uint8_t> &bytes) const {
    FILE *f = fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
  }

 private:
  std::string path_;
};

TEST(KcoffFile, BufferFileReadsTheWholeFile) {
  TempFile file;
  std::vector<uint8_t> bytes(70000);
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = uint8_t(i * 31);
  file.write(bytes);
  uint8_t *buffer = nullptr;
  uint32_t size = 0;
  ASSERT_EQ(kcoff_buffer_file(file.path(), &buffer, &size), 0);
  ASSERT_EQ(size, bytes.size());
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buffer));
  free(buffer);
}

// Only regular files are read: a FIFO (which would block the open until a
// writer came) and a device are refused like a directory, before any read.
TEST(KcoffFile, BufferFileFailuresLeaveNoBuffer) {
  TempFile empty;
  char dir[] = "/tmp/kcoff_test_dir.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  struct {
    const char *path;
    int code;
  } cases[] = {
      {"/nonexistent/kcoff", ENOENT}, {empty.path(), EINVAL}, {dir, EISDIR},
      {fifo.c_str(), EINVAL},         {"/dev/zero", EINVAL},
  };
  int descriptors = open_descriptors();
  for (auto &c : cases) {
    SCOPED_TRACE(c.path);
    uint8_t *buffer = reinterpret_cast<uint8_t *>(&c);
    uint32_t size = 12345;
    EXPECT_EQ(kcoff_buffer_file(c.path, &buffer, &size), c.code);
    EXPECT_EQ(buffer, reinterpret_cast<uint8_t *>(&c));
    EXPECT_EQ(size, 12345u);
  }
  EXPECT_EQ(open_descriptors(), descriptors);
  unlink(fifo.c_str());
  rmdir(dir);
}

TEST(KcoffFile, FromFilenameOwnsTheBuffer) {
  TempFile file;
  file.write(write_file(sample()).bytes);
  kcoff *k = nullptr;
  ASSERT_EQ(kcoff_from_filename(&k, file.path()), 0);
  EXPECT_EQ(k->flags, KCOFF_FLAG_SHOULD_FREE_BUFFER);
  EXPECT_EQ(kcoff_symbol_lookup(k, "a_long_symbol_name", nullptr), 0);
  kcoff_free(k);  // frees the buffer too: the leak checker would tell

  std::vector<uint8_t> bad = write_file(sample()).bytes;
  bad[0] = 0x12;
  file.write(bad);
  k = nullptr;
  EXPECT_EQ(kcoff_from_filename(&k, file.path()), EINVAL);
  EXPECT_EQ(k, nullptr);
  EXPECT_EQ(kcoff_from_filename(&k, "/nonexistent/kcoff"), ENOENT);
}

}  // namespace
