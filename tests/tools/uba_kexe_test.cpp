// Getting the UCP in this process: a raw image read whole, and the
// converter run by argument vector. Stand-in converters (shell scripts that
// record how they were run) show where it is looked for, what it is given,
// what it is given to write into, and what becomes of its failures.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "firmware_images.h"
#include "tools_fixture.h"
#include "uba_kexe.h"

namespace {

using program_run::Bytes;
using program_run::read_text;
using program_run::Scratch;
using program_run::write_bytes;
using testing::ExitedWithCode;

const std::string KLOAD = KLOAD_PATH;

Bytes get_ucp(std::vector<std::string> args, bool raw, const std::string &argv0) {
  std::vector<char *> list;
  for (std::string &a : args) list.push_back(a.data());
  list.push_back(nullptr);
  uint8_t *buf = nullptr;
  size_t len = 0;
  uba_get_ucp(list.data(), raw, &buf, &len, argv0.c_str());
  Bytes b(buf, buf + len);
  free(buf);
  return b;
}

// A stand-in converter at `dir`/uba_kcoff: records its arguments one per
// line, its PATH and the mode of its output file in `dir`/record, then
// runs `body` (with the output file in $OUT).
void stand_in_converter(const Scratch &dir, const std::string &body) {
  const std::string script = "#!/bin/sh\n"
                             "OUT=$2\n"
                             "{ for a in \"$@\"; do echo \"arg:$a\"; done; echo \"PATH:$PATH\"; stat -c 'mode:%a' \"$OUT\"; } > " +
                             dir / "record" + "\n" + body + "\n";
  write_bytes(dir / "uba_kcoff", Bytes(script.begin(), script.end()));
  chmod((dir / "uba_kcoff").c_str(), 0755);
}

TEST(Kexe, ARawImageIsReadWhole) {
  Scratch dir;
  Bytes image(0x12345);
  for (size_t i = 0; i < image.size(); i++) image[i] = static_cast<uint8_t>(i ^ i >> 8);
  write_bytes(dir / "raw.bin", image);
  EXPECT_EQ(get_ucp({dir / "raw.bin"}, true, KLOAD), image);
}

TEST(Kexe, RefusalsOfARawImage) {
  Scratch dir;
  write_bytes(dir / "raw.bin", Bytes(16, 1));
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EXIT(get_ucp({dir / "raw.bin", "extra"}, true, KLOAD), ExitedWithCode(1),
              "^ERROR:uba_kexe.h:[0-9]+:Cannot pass param to raw ucp image\n$");
  // A FIFO is not waited on: nothing would ever come.
  EXPECT_EXIT(get_ucp({dir / "fifo"}, true, KLOAD), ExitedWithCode(1),
              "^ERROR:uba_kexe.h:[0-9]+:uba_get_ucp:" + dir / "fifo" + " is not a regular file\n$");
  EXPECT_EXIT(uba_get_ucp(nullptr, 1, nullptr, nullptr, "kload"), ExitedWithCode(1),
              "^ERROR:uba_kexe.h:[0-9]+:uba_get_ucp:NULL filename!\n$");
}

// The converter beside the program (here the build's, beside kload)
// turns the object file into its SRAM image.
TEST(Kexe, TheConverterBesideTheProgramMakesTheImage) {
  EXPECT_EQ(get_ucp({std::string(FIRMWARE_DIR) + "/default_ucp1.kcoff"}, false, KLOAD), program_run::firmware().sram);
}

// The program's directory comes first in PATH: that of argv[0], or that of
// the running executable when argv[0] names none. The converter gets every
// argument as it is, writes into a file of mode 0600 in /tmp, which is gone
// afterwards.
TEST(Kexe, TheConverterIsLookedForFromTheProgramsDirectoryAndGivenEachArgumentAsItIs) {
  Scratch first, second;
  stand_in_converter(first, "printf first > \"$OUT\"");
  stand_in_converter(second, "printf second > \"$OUT\"");
  const std::string odd = "a b; touch x 'q' \"$(y)\"";
  setenv("PATH", (second.path() + ":/usr/bin:/bin").c_str(), 1);

  EXPECT_EQ(get_ucp({odd, "-v", "two words"}, false, first / "kload"), Bytes({'f', 'i', 'r', 's', 't'}));
  std::string record = read_text(first / "record");
  EXPECT_THAT(record, testing::MatchesRegex("arg:-o\narg:(/tmp/get_ucp\\.[A-Za-z0-9]{6})\narg:" + tools_test::literal(odd) +
                                            "\narg:-v\narg:two words\nPATH:" + tools_test::literal(first.path()) + ":" +
                                            tools_test::literal(second.path()) + ":/usr/bin:/bin\nmode:600\n"));
  std::string output = record.substr(record.find("arg:/tmp/") + 4);
  output = output.substr(0, output.find('\n'));
  EXPECT_FALSE(std::filesystem::exists(output)) << output;

  // argv[0] without a directory: the test program's own has no converter.
  EXPECT_EQ(get_ucp({odd}, false, "kload"), Bytes({'s', 'e', 'c', 'o', 'n', 'd'}));
}

TEST(Kexe, TheConvertersFailuresStopTheProgram) {
  Scratch dir;
  struct Case {
    const char *what, *body, *message;
  } cases[] = {
      {"a failing status", "exit 3", "uba_get_ucp:uba_kcoff on obj exited with status 3"},
      {"a signal", "kill -9 $$", "uba_get_ucp:uba_kcoff on obj ended by signal 9"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    stand_in_converter(dir, c.body);
    EXPECT_EXIT(get_ucp({"obj"}, false, dir / "kload"), ExitedWithCode(1),
                std::string("^ERROR:uba_kexe.h:[0-9]+:") + c.message + "\n$");
  }
  setenv("PATH", "/nonexistent", 1);
  EXPECT_EXIT(get_ucp({"obj"}, false, "/nowhere/kload"), ExitedWithCode(1),
              "^ERROR:uba_kexe.h:[0-9]+:uba_get_ucp:uba_kcoff not found in PATH=/nowhere:/nonexistent\n$");
}

}  // namespace
