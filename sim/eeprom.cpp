#include "eeprom.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "byte_order.h"

namespace sim {

namespace {

// Stand-in control-program bytes: recognisable and different per area.
void fill_program_area(std::vector<uint8_t> &b, uint32_t from, uint32_t length, uint32_t seed) {
  uint32_t x = seed;
  for (uint32_t i = 0; i < length; i++) {
    x = x * 1103515245 + 12345;
    b[from + i] = x >> 16;
  }
}

}  // namespace

Eeprom::Eeprom(int index) : bytes_(DEFAULT_SIZE, 0xff) {
  // Header: the five checked leading bytes, then the layout.
  const uint8_t jump[8] = {0x09, 0x04, 0xff, 0x08, 0x13, 0x00, 0x00, 0x00};
  std::memcpy(bytes_.data(), jump, sizeof jump);
  put_be32(&bytes_[8], DEFAULT_SIZE);
  put_be32(&bytes_[12], SECTOR_SIZE);
  put_be32(&bytes_[16], UCP1_OFFSET);
  put_be32(&bytes_[20], UCP2_OFFSET);
  put_be32(&bytes_[24], 1);  // version: the header has description strings
  put_be32(&bytes_[28], STRINGS_OFFSET);

  char strings[256] = {};
  int n = snprintf(strings, sizeof strings, "PC=ULVE-10G-SIM%c" "MAC=00:fa:dd:00:00:%02x%c" "SN=%06d%c" "PN=10G-SR-0001%c",
                   0, (index + 1) & 0xff, 0, 100000 + index, 0, 0);
  std::memset(strings + n, 0, sizeof strings - n);  // an empty string ends the list
  std::memcpy(&bytes_[STRINGS_OFFSET], strings, sizeof strings);

  fill_program_area(bytes_, UCP1_OFFSET, 0x20000, 1 + index);
  fill_program_area(bytes_, UCP2_OFFSET, 0x20000, 101 + index);
}

uint8_t Eeprom::read(uint32_t address) const {
  if (stuck_address && *stuck_address == address) return stuck_value;
  return address < size() ? bytes_[address] : 0xff;
}

void Eeprom::program(uint32_t address, uint8_t data) {
  if (address >= size() || (stuck_address && *stuck_address == address)) return;
  bytes_[address] &= data;  // flash cells can only go from 1 to 0
}

void Eeprom::erase_sector(uint32_t address) {
  if (address >= size()) return;
  uint32_t start = address / SECTOR_SIZE * SECTOR_SIZE;
  std::fill(bytes_.begin() + start, bytes_.begin() + start + SECTOR_SIZE, 0xff);
}

void Eeprom::load(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::vector<uint8_t> content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (content.empty() || content.size() % SECTOR_SIZE || content.size() > 0x1000000)
    throw std::runtime_error(path + ": an EEPROM image is a whole number of 64 KiB sectors, at most 16 MiB");
  bytes_ = std::move(content);
}

void Eeprom::save(const std::string &path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes_.data()), bytes_.size());
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

}  // namespace sim
