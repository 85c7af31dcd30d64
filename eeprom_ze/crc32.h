// CRC-32 of the EEPROM image and the boot ROM: polynomial 0x04C11DB7, most
// significant bit first, register starting at 0xFFFFFFFF, result
// complemented, no reflection (the CRC-32/BZIP2 parameters; "123456789"
// gives 0xFC891918).
#pragma once

#include <cstddef>
#include <cstdint>

// One byte through the register, bit by bit: the definition. Bit 7 - i of
// the data is used in step i, or bit i when `lsb_first` is set.
uint32_t packet_crc32_byte(uint32_t crc, uint8_t data, int lsb_first);

// The CRC of `len` bytes; the same result as feeding every byte through
// packet_crc32_byte, computed sixteen bytes at a time.
uint32_t crc32(const uint8_t *data, size_t len);

// The CRC-32 that the whole boot ROM file must have to be taken.
constexpr uint32_t UCP_ROM_CRC32 = 0x292337F5;
