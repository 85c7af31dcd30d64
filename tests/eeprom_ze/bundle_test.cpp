// The EEPROM image: CRC-32 and the framing of the SRAM image and the ROM.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <random>

#include "eeprom_ze.h"
#include "crc_force.h"
#include "kcoff.h"
#include "kcoff_writer.h"

namespace {

uint32_t be32_at(const uint8_t *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

uint32_t bit_serial_crc(const std::vector<uint8_t> &data) {
  uint32_t crc = 0xFFFFFFFF;
  for (uint8_t b : data) crc = packet_crc32_byte(crc, b, 0);
  return ~crc;
}

TEST(Crc32, CheckValueAndTheBitSerialDefinition) {
  const char *digits = "123456789";
  EXPECT_EQ(crc32(reinterpret_cast<const uint8_t *>(digits), 9), 0xFC891918u);
  EXPECT_EQ(crc32(nullptr, 0), 0u);
  std::mt19937 rng(5);
  for (size_t n : {1, 3, 7, 8, 9, 15, 16, 17, 1000, 4099}) {
    std::vector<uint8_t> data(n);
    for (auto &b : data) b = rng();
    EXPECT_EQ(crc32(data.data(), n), bit_serial_crc(data)) << n;
  }
  // The bit-order flag takes the data bits from bit 0 up.
  EXPECT_EQ(packet_crc32_byte(0x12345678, 0x01, 1), packet_crc32_byte(0x12345678, 0x80, 0));
  EXPECT_EQ(packet_crc32_byte(0x12345678, 0xa0, 1), packet_crc32_byte(0x12345678, 0x05, 0));
}

TEST(EeppromUtil, AppendAndWrap) {
  uint8_t *buf = nullptr;
  uint32_t len = 0;
  ASSERT_EQ(eeprom_util_append(&buf, &len, "ab", 2), 0);
  ASSERT_EQ(eeprom_util_append(&buf, &len, "cde", 3), 0);
  ASSERT_EQ(eeprom_util_wrap(&buf, &len), 0);
  ASSERT_EQ(len, 13u);
  EXPECT_EQ(be32_at(buf), 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf + 4), 5), "abcde");
  EXPECT_EQ(be32_at(buf + 9), crc32(reinterpret_cast<const uint8_t *>("abcde"), 5));
  free(buf);
}

class Bundle : public testing::Test {
 protected:
  // A plain program: .text of 0x100 bytes at 0 and .data of 0x20 at 0x200,
  // so its SRAM image is 0x220 bytes.
  void SetUp() override {
    kcoff_writer_file f;
    kcoff_writer_section text, data, bss;
    text.name = ".text", text.vma = 0, text.flags = KCOFF_SECTION_TEXT, text.contents.assign(0x100, 0x11);
    data.name = ".data", data.vma = 0x200, data.flags = KCOFF_SECTION_DATA, data.contents.assign(0x20, 0x22);
    bss.name = ".bss", bss.vma = 0x220, bss.flags = KCOFF_SECTION_BSS, bss.size = 0x10;
    f.sections = {text, data, bss};
    kcoff_writer_output out;
    ASSERT_EQ(kcoff_write(f, &out), 0) << out.error;
    file = out.bytes;
    ASSERT_EQ(kcoff_from_buffer(&ucp, file.data(), file.size()), 0);
    uint8_t *image;
    uint32_t len;
    ASSERT_EQ(kcoff_sram_image(ucp, &image, &len), 0);
    sram.assign(image, image + len);
    free(image);
  }
  void TearDown() override { kcoff_free(ucp); }
  // A ROM of these bytes followed by the four that give it the boot ROM's CRC-32.
  static std::string accepted_rom(const std::string &bytes) {
    std::vector<uint8_t> rom(bytes.begin(), bytes.end());
    rom.resize(rom.size() + 4);
    crc32_force_tail(rom, UCP_ROM_CRC32);
    return std::string(rom.begin(), rom.end());
  }
  std::string rom_file(const std::string &content) {
    char path[] = "/tmp/rom.XXXXXX";
    int fd = mkstemp(path);
    EXPECT_EQ(write(fd, content.data(), content.size()), (ssize_t)content.size());
    close(fd);
    rom_paths.push_back(path);
    return path;
  }
  ~Bundle() override {
    for (auto &p : rom_paths) unlink(p.c_str());
  }

  std::vector<uint8_t> file, sram;
  kcoff *ucp = nullptr;
  std::vector<std::string> rom_paths;
};

TEST_F(Bundle, WithoutRomTheImageIsLengthSramLengthCrc) {
  uint8_t *image;
  uint32_t len;
  ASSERT_EQ(eeprom_ucp_bundle_create(&image, &len, ucp, nullptr), 0);
  const uint32_t s = sram.size();
  ASSERT_EQ(len, s + 12);
  EXPECT_EQ(be32_at(image), s + 4);
  EXPECT_EQ(std::vector<uint8_t>(image + 4, image + 4 + s), sram);
  EXPECT_EQ(be32_at(image + 4 + s), s);
  EXPECT_EQ(be32_at(image + len - 4), crc32(image + 4, s + 4));
  free(image);
}

TEST_F(Bundle, WithRomTheRomAndItsLengthComeBeforeTheSramLength) {
  std::string rom = accepted_rom("stand-in boot ROM bytes");
  uint8_t *image;
  uint32_t len;
  ASSERT_EQ(eeprom_ucp_bundle_create(&image, &len, ucp, rom_file(rom).c_str()), 0);
  const uint32_t s = sram.size(), r = rom.size();
  ASSERT_EQ(len, s + r + 16);
  EXPECT_EQ(be32_at(image), s + r + 8);
  EXPECT_EQ(std::vector<uint8_t>(image + 4, image + 4 + s), sram);
  EXPECT_EQ(be32_at(image + 4 + s), r);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(image + 8 + s), r), rom);
  EXPECT_EQ(be32_at(image + len - 8), s);
  EXPECT_EQ(be32_at(image + len - 4), crc32(image + 4, s + r + 8));
  free(image);
}

TEST_F(Bundle, FailuresAreReportedOnceAndLeaveNoImage) {
  uint8_t *image = reinterpret_cast<uint8_t *>(&image);
  uint32_t len = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(eeprom_ucp_bundle_create(&image, &len, ucp, "/nonexistent/ulve10ge.zrom"), ENOENT);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "could not buffer ROM image: No such file or directory\n");
  EXPECT_EQ(image, nullptr);

  // The ROM is read again here, after the search took it: one that has
  // changed in between is not bundled.
  std::string changed = accepted_rom("stand-in boot ROM bytes");
  changed[3] ^= 0x20;
  std::string path = rom_file(changed);
  image = reinterpret_cast<uint8_t *>(&image);
  testing::internal::CaptureStderr();
  EXPECT_EQ(eeprom_ucp_bundle_create(&image, &len, ucp, path.c_str()), EINVAL);
  char expected[160];
  snprintf(expected, sizeof expected, "ROM file at %s now has the CRC-32 0x%08x, not 0x292337f5\n", path.c_str(),
           crc32(reinterpret_cast<const uint8_t *>(changed.data()), changed.size()));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(expected) + "could not buffer ROM image: Invalid argument\n");
  EXPECT_EQ(image, nullptr);

  // A program whose SRAM image cannot be built: fewer than two sections.
  kcoff_writer_file f;
  kcoff_writer_section text;
  text.name = ".text", text.flags = KCOFF_SECTION_TEXT, text.contents.assign(16, 0);
  f.sections = {text};
  kcoff_writer_output out;
  ASSERT_EQ(kcoff_write(f, &out), 0);
  kcoff *one_section;
  ASSERT_EQ(kcoff_from_buffer(&one_section, out.bytes.data(), out.bytes.size()), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(eeprom_ucp_bundle_create(&image, &len, one_section, nullptr), EINVAL);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "could not create ucp SRAM image: Invalid argument\n");
  kcoff_free(one_section);
}

}  // namespace
