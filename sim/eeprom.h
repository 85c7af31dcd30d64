// The 10G NIC's EEPROM: the flash that holds the boot firmware. Erased bytes
// read 0xFF; programming can only clear bits; erasing sets a whole sector
// back to 0xFF.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class Eeprom {
 public:
  // The layout of the default content (the header says the same).
  static constexpr uint32_t DEFAULT_SIZE = 0x100000;
  static constexpr uint32_t SECTOR_SIZE = 0x10000;
  static constexpr uint32_t UCP1_OFFSET = 0x10000;
  static constexpr uint32_t UCP2_OFFSET = 0x80000;
  static constexpr uint32_t STRINGS_OFFSET = 0x100;

  // A valid EEPROM of a board: header, description strings naming the
  // board `index`, and a control program in each area.
  explicit Eeprom(int index = 0);

  uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }
  uint32_t sector_size() const { return SECTOR_SIZE; }
  uint8_t read(uint32_t address) const;
  void program(uint32_t address, uint8_t data);
  void erase_sector(uint32_t address);

  // Raw content, as the board holds it.
  const std::vector<uint8_t> &bytes() const { return bytes_; }
  std::vector<uint8_t> &bytes() { return bytes_; }
  // Loads or saves the whole content; a file must hold whole sectors.
  // Failures throw std::runtime_error with the reason.
  void load(const std::string &path);
  void save(const std::string &path) const;

  // Fault: a byte that keeps reading `stuck_value` whatever is done to it.
  std::optional<uint32_t> stuck_address;
  uint8_t stuck_value = 0x00;

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace sim
