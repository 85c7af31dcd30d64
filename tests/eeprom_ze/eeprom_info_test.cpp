// eeprom_info, the bench's reader of saved EEPROMs: it must tell a good
// image in the second area from anything else, since the main job relies
// on it to show what an update did.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "eeprom.h"
#include "firmware_images.h"

using namespace program_run;
using testing::HasSubstr;

namespace {

const std::string EEPROM_INFO = EEPROM_INFO_PATH;
constexpr uint32_t UCP2 = sim::Eeprom::UCP2_OFFSET;

Bytes with_image(const Bytes &image) {
  Bytes eeprom = sim::Eeprom(0).bytes();
  std::fill(eeprom.begin() + UCP2, eeprom.begin() + UCP2 + 0x20000, 0xff);
  std::copy(image.begin(), image.end(), eeprom.begin() + UCP2);
  return eeprom;
}

TEST(EepromInfo, TellsAConsistentImageFromAnythingElse) {
  const Firmware &fw = firmware();
  char sizes[128], rom_size[64];
  snprintf(sizes, sizeof sizes, "  N (bytes under the CRC)  %zu\n  S (SRAM image)           %zu\n", fw.image.size() - 8,
           fw.sram.size());
  snprintf(rom_size, sizeof rom_size, "  R (boot ROM)             %zu\n", fw.rom.size());
  const std::string version = "  version                  ULVE UCP1 10G stand-in 1.0\n";

  Bytes flipped = with_image(fw.image), bad_header = with_image(fw.image), bad_lengths = with_image(fw.image);
  flipped[UCP2 + 4 + fw.sram.size() + 100] ^= 0x10;  // in the ROM
  bad_header[1] = 0;
  put_be32(bad_lengths, UCP2 + 4 + fw.sram.size(), fw.rom.size() + 4);  // R no longer adds up
  struct Case {
    const char *what;
    Bytes eeprom;
    int status;
    std::vector<std::string> shown;
  };
  const Case cases[] = {
      {"the image with the ROM",
       with_image(fw.image),
       0,
       {"(valid)", "  PC=ULVE-10G-SIM\n", sizes, rom_size, ": OK\n", version}},
      {"the image without the ROM",
       with_image(fw.image_without_rom),
       0,
       {"  R (boot ROM)             none\n", ": OK\n", version}},
      {"one byte of the ROM changed", flipped, 1, {sizes, ": BAD\n"}},
      {"lengths that do not add up", bad_lengths, 1, {"the lengths do not add up"}},
      {"the model's old content", sim::Eeprom(1).bytes(), 1, {"  MAC=00:fa:dd:00:00:02\n", "the area holds no image"}},
      {"a header that is not valid", bad_header, 1, {"(NOT VALID)", "the header is not valid"}},
  };
  for (const Case &c : cases) {
    Scratch dir;
    write_bytes(dir / "eeprom.bin", c.eeprom);
    Result r = run({EEPROM_INFO, dir / "eeprom.bin"});
    SCOPED_TRACE(testing::Message() << c.what << "\n" << r);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "");
    for (const std::string &text : c.shown) EXPECT_THAT(r.out, HasSubstr(text));
  }
}

}  // namespace
