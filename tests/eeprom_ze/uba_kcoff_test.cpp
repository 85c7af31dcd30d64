// uba_kcoff run whole: object file in, raw SRAM image out; refusals leave
// no output behind, and the output is never written through a link.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "kcoff_writer.h"
#include "firmware_images.h"

using namespace program_run;

namespace {

const std::string UBA_KCOFF = UBA_KCOFF_PATH, FIRMWARE = FIRMWARE_DIR;
const std::string USAGE = "usage: uba_kcoff -o OUT OBJECT\n";

Bytes sram_image_of(const std::string &object) {
  kcoff *k = nullptr;
  if (kcoff_from_filename(&k, object.c_str()) != 0) {
    ADD_FAILURE() << "cannot read " << object;
    return {};
  }
  uint8_t *buf;
  uint32_t len;
  Bytes image;
  if (kcoff_sram_image(k, &buf, &len) == 0) {
    image.assign(buf, buf + len);
    free(buf);
  } else {
    ADD_FAILURE() << "no SRAM image of " << object;
  }
  kcoff_free(k);
  return image;
}

// A small plain (not prefixed) object: code, data with a pointer into the
// code, and room after them.
Bytes plain_object() {
  kcoff_writer_file f;
  kcoff_writer_section text, data, bss;
  text.name = ".text", text.vma = 0, text.contents = kcoff_writer_words({0x11111111, 0x22222222, 0x33333333});
  text.flags = KCOFF_SECTION_TEXT;
  data.name = ".data", data.vma = 0x100, data.contents = kcoff_writer_words({0xcafef00d, 0});
  data.flags = KCOFF_SECTION_DATA;
  kcoff_writer_relocation r;
  r.vma = 0x104, r.stab_index = 0, r.relocation_type = 12, r.offset = 4;
  data.relocations.push_back(r);
  bss.name = ".bss", bss.vma = 0x200, bss.flags = KCOFF_SECTION_BSS, bss.size = 0x40;
  f.sections = {text, data, bss};
  kcoff_writer_symbol start;
  start.name = "start", start.value = 0, start.section = 1;
  f.symbols.push_back(start);
  kcoff_writer_output out;
  EXPECT_EQ(kcoff_write(f, &out), 0) << out.error;
  return out.bytes;
}

TEST(UbaKcoff, WritesTheSramImageOfTheObject) {
  Scratch dir;
  write_bytes(dir / "plain.kcoff", plain_object());
  for (const std::string &object :
       {FIRMWARE + "/default_ucp1.kcoff", FIRMWARE + "/burner_ucp.kcoff", dir / "plain.kcoff"}) {
    // A longer file already there is replaced whole.
    write_bytes(dir / "out.bin", Bytes(300000, 0x5a));
    Result r = run({UBA_KCOFF, "-o", dir / "out.bin", object});
    SCOPED_TRACE(testing::Message() << object << "\n" << r);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    Bytes expected = sram_image_of(object);
    EXPECT_FALSE(expected.empty());
    EXPECT_TRUE(SameBytes(read_bytes(dir / "out.bin"), expected));
  }
}

TEST(UbaKcoff, RefusesWhatIsNotAnObjectAndWritesNothing) {
  Scratch dir;
  Bytes program = read_bytes(FIRMWARE + "/default_ucp1.kcoff");
  write_bytes(dir / "truncated.kcoff", Bytes(program.begin(), program.begin() + 4200));
  Bytes bad_count = plain_object();
  bad_count[2] = 0x7f;  // thousands of section headers that are not there
  write_bytes(dir / "bad_count.kcoff", bad_count);
  write_bytes(dir / "text.kcoff", Bytes(5000, 'x'));
  write_bytes(dir / "empty.kcoff", {});
  fs::create_directories(dir / "directory.kcoff");
  struct Case {
    const char *object;
    int code;
  };
  const Case cases[] = {
      {"truncated.kcoff", EINVAL}, {"bad_count.kcoff", EINVAL}, {"text.kcoff", EINVAL},
      {"empty.kcoff", EINVAL},     {"missing.kcoff", ENOENT},   {"directory.kcoff", EISDIR},
  };
  for (const Case &c : cases) {
    const std::string object = dir / c.object;
    Result r = run({UBA_KCOFF, "-o", dir / "out.bin", object});
    SCOPED_TRACE(testing::Message() << c.object << "\n" << r);
    EXPECT_EQ(r.status, c.code);
    EXPECT_EQ(r.err, "uba_kcoff: cannot read object file " + object + ": " + strerror(c.code) + "\n");
    EXPECT_FALSE(fs::exists(dir / "out.bin"));
  }
}

TEST(UbaKcoff, RefusesAWrongCommandLine) {
  Scratch dir;
  const std::string object = FIRMWARE + "/default_ucp1.kcoff", out = dir / "out.bin";
  const std::vector<std::string> cases[] = {
      {}, {object}, {"-o", out}, {"-o", out, object, object}, {"-x", "-o", out, object}, {"-o"},
  };
  for (const auto &args : cases) {
    std::vector<std::string> argv = {UBA_KCOFF};
    argv.insert(argv.end(), args.begin(), args.end());
    Result r = run(argv);
    SCOPED_TRACE(testing::Message() << testing::PrintToString(args) << "\n" << r);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, testing::EndsWith(USAGE));
    EXPECT_FALSE(fs::exists(out));
  }
}

// The converter runs as root for the loader, in directories others may
// write to: a link planted where the output goes is refused.
TEST(UbaKcoff, DoesNotWriteThroughALinkPlantedAtTheOutput) {
  struct Case {
    const char *what;
    bool target_exists;
  };
  for (const Case &c : {Case{"link to a file", true}, Case{"link to a file not there yet", false}}) {
    SCOPED_TRACE(c.what);
    Scratch dir;
    const std::string target = dir / "precious", out = dir / "out.bin";
    if (c.target_exists) write_bytes(target, {'k', 'e', 'e', 'p'});
    ASSERT_EQ(symlink(target.c_str(), out.c_str()), 0);
    Result r = run({UBA_KCOFF, "-o", out, FIRMWARE + "/default_ucp1.kcoff"});
    EXPECT_EQ(r.status, ELOOP) << r;
    EXPECT_EQ(r.err, "uba_kcoff: cannot create " + out + ": " + strerror(ELOOP) + "\n");
    EXPECT_TRUE(fs::is_symlink(out));
    if (c.target_exists)
      EXPECT_EQ(read_text(target), "keep");
    else
      EXPECT_FALSE(fs::exists(target));
  }
}

}  // namespace
