// The firmware as nicflash carries it, for the tests of nicflash and what
// surrounds it.
#pragma once

#include "eeprom_ze.h"
#include "kcoff.h"
#include "program_run.h"
#include "ucp_images.h"

namespace program_run {

using ucp_images::crc32_by_definition;

// The control program and boot ROM of the firmware build, and the images
// nicflash builds of them (with the ROM, and without).
struct Firmware {
  Bytes sram;  // SRAM image of default_ucp1
  Bytes rom;
  Bytes image, image_without_rom;
};

inline const Firmware &firmware() {
  static const Firmware f = [] {
    const std::string dir = FIRMWARE_DIR, object = dir + "/default_ucp1.kcoff", rom = dir + "/ulve10ge.zrom";
    Firmware f;
    f.rom = read_bytes(rom);
    // A fresh handle for each image: building one relocates the program.
    auto with_program = [&](auto use) {
      kcoff *k = nullptr;
      if (kcoff_from_filename(&k, object.c_str()) != 0) {
        ADD_FAILURE() << "cannot read " << object;
        return;
      }
      use(k);
      kcoff_free(k);
    };
    with_program([&](kcoff *k) {
      uint8_t *buf;
      uint32_t len;
      if (kcoff_sram_image(k, &buf, &len) != 0) {
        ADD_FAILURE() << "no SRAM image of " << object;
        return;
      }
      f.sram.assign(buf, buf + len);
      free(buf);
    });
    for (bool with_rom : {true, false})
      with_program([&](kcoff *k) {
        uint8_t *buf;
        uint32_t len;
        if (eeprom_ucp_bundle_create(&buf, &len, k, with_rom ? rom.c_str() : nullptr) != 0) {
          ADD_FAILURE() << "cannot build the image";
          return;
        }
        (with_rom ? f.image : f.image_without_rom).assign(buf, buf + len);
        free(buf);
      });
    return f;
  }();
  return f;
}

}  // namespace program_run
