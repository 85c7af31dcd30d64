// The card model: one 10G NIC of the maker as its host sees it.
//
// Configuration space: vendor 0x1f5c, a 16 MiB BAR0 and a 1 MiB BAR2, the
// PCI Express capability, the vendor-specific capability (ID 9) and an AER
// extended capability at 0x100.
//
// Vendor-specific registers, at byte offsets from the capability's position P:
//
//   +4..+7   VS_EE_READ_ADDR  EEPROM read address << 8 (lanes +5 low, +6 middle,
//                             +7 high). A write that covers +5 starts a read of the
//                             address then held.
//   +8..+11  VS_EE_DATA       shift register of bytes read: the latest in +8.
//   +12..+15 VS_EE_PROGRAM    +12 data, +13..+15 program address (low to high). A
//                             write that covers +12 programs the data at the held
//                             address, which then advances by one; data 0xFF
//                             erases the sector holding the address instead.
//   +16      VS_DBG_MODE      1-3 read 8/16/32 bits, 5-7 write 8/16/32 bits,
//                             8 locate, 9 snapshot.
//   +20..+23 VS_DBG_DATA      +20 bits 7-0 ... +23 bits 31-24.
//   +24..+27 VS_DBG_ADDR      +24 bits 7-0 ... +27 bits 31-24.
//
// EEPROM reads are pipelined: each read start first shifts the byte fetched
// by the previous start into VS_EE_DATA, then fetches the byte at the held
// read address. So the byte of address A reaches VS_EE_DATA when the next
// read starts, typically after A + 1 is written. The read and program
// addresses are separate registers.
//
// Programming and erasing take time: the operation ends after a number of
// further configuration accesses to the board, or after a wall-clock time,
// whichever comes first. While it runs, reads of VS_EE_DATA answer a status
// byte in the low lane: bit 7 the complement of bit 7 of the byte being
// written (0 for an erase, whose bytes become 0xFF), bit 6 toggling on every
// read, the rest 0; so the status never equals the awaited byte and two
// successive reads never agree. Read starts are ignored meanwhile. When the
// operation ends, the byte now held at the programmed address (0xFF for an
// erase) is shifted into VS_EE_DATA and is also what the next read start
// shifts in, so a re-read after writing the read address shows it again.
//
// The debug window reaches the processor's address space: a write covering
// +24 in a read mode reads at VS_DBG_ADDR into VS_DBG_DATA (big-endian
// memory order, the low bits counting), and in mode 8 looks the resource id
// in VS_DBG_ADDR up, leaving its address there and its length in
// VS_DBG_DATA. A write covering +20 in a write mode stores VS_DBG_DATA at
// VS_DBG_ADDR and advances the address by the width; in mode 9 it takes a
// snapshot of VS_DBG_DATA bytes at VS_DBG_ADDR and leaves where it put it.
//
// Processor address space: 2 MiB of SRAM from 0, which is also BAR0 from 0,
// and a page of special registers at 0xfffff000; other addresses read 0 and
// ignore writes.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "config_space.h"
#include "eeprom.h"
#include "pci_function.h"
#include "shared_memory.h"

namespace sim {

struct NicOptions {
  uint16_t device_id = 0x5e0a;  // 0x5e0a, 0x5e0b, or 0x4c3d (generation by revision)
  uint8_t revision = 1;
  uint8_t vs_position = 0x88;  // where the vendor-specific registers answer
  bool vs_listed = true;       // the capability list links them
  bool vs_present = true;      // false: the board has no such registers
  // Configuration space reads all ones from this offset on and ignores
  // writes there: 0 for a board that has dropped off the bus, 0x40 for one
  // whose header still answers but nothing beyond it.
  std::optional<unsigned> dead_from;
  bool erase_hangs = false;    // an erase never completes
  // A byte program never completes: at this address, or at any when none is given.
  bool program_hangs = false;
  std::optional<uint32_t> program_hangs_at;
  std::optional<uint32_t> stuck_address;  // an EEPROM byte that keeps reading stuck_value
  uint8_t stuck_value = 0x00;
  uint8_t max_payload_supported = 2;  // 128 << n bytes
  // An EEPROM operation ends after this many further configuration accesses
  // of the board, or after this much wall-clock time (0: not by the clock).
  unsigned program_accesses = 1, erase_accesses = 32;
  std::chrono::microseconds program_time{20}, erase_time{2000};
  int index = 0;  // the board's number in its host: names it in its EEPROM
};

class Nic : public PciFunction {
 public:
  static constexpr uint32_t BAR0_SIZE = 0x1000000, BAR2_SIZE = 0x100000;
  static constexpr uint32_t SRAM_SIZE = 0x200000;
  static constexpr uint32_t SPECIAL_PAGE = 0xfffff000;
  static constexpr uint8_t PCIE_POSITION = 0x40;
  static constexpr unsigned AER_POSITION = 0x100;

  // A board whose BARs the host placed at these bus addresses.
  Nic(const NicOptions &options, uint64_t bar0_address, uint64_t bar2_address);

  uint32_t config_read(unsigned offset, int width) override;
  void config_write(unsigned offset, uint32_t value, int width) override;
  unsigned config_size() const override { return 4096; }
  std::array<Resource, 6> resources() const override;
  int irq() const override { return 11; }

  const NicOptions &options() const { return options_; }
  Eeprom &eeprom() { return eeprom_; }
  SharedMemory &bar0() { return bar0_; }
  SharedMemory &bar2() { return bar2_; }
  const ConfigSpace &config() const { return cfg_; }
  // The processor's address space, big-endian, as the debug window sees it.
  uint32_t processor_read(uint32_t address, int width) const;
  void processor_write(uint32_t address, uint32_t value, int width);

  // Configuration accesses the host made, for measuring.
  struct Counters {
    uint64_t config_reads = 0, config_writes = 0;
  } counters;
  // Resources the firmware publishes to the locate request: id -> (address, length).
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> located;
  // Whether an EEPROM program or erase is running.
  bool eeprom_busy() const { return busy_.has_value(); }

 private:
  struct Operation {
    bool erase;
    uint32_t address;
    uint8_t data;
    uint64_t end_access;
    std::chrono::steady_clock::time_point end_time;
    bool ends_by_time;
  };

  void build_config_space();
  bool in_vs(unsigned offset) const;
  bool is_dead(unsigned offset) const;
  void tick();
  void start_eeprom_read();
  void start_program();
  void shift_in(uint8_t byte);
  void debug_address_written();
  void debug_data_written();

  NicOptions options_;
  ConfigSpace cfg_;
  SharedMemory bar0_, bar2_;
  uint64_t bar0_address_, bar2_address_;
  Eeprom eeprom_;
  std::array<uint8_t, 4096> special_{};
  uint8_t vs_[28] = {};        // the vendor-specific register bytes, from P
  uint32_t ee_data_ = 0;       // VS_EE_DATA shift register
  uint8_t ee_fetched_ = 0xff;  // the byte the last read start fetched
  bool status_toggle_ = false;
  uint64_t accesses_ = 0;
  std::optional<Operation> busy_;
};

}  // namespace sim
