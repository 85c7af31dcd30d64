// The board's PCI side: its configuration space and the vendor-specific
// registers in it.
//
// Configuration space: vendor 0x1f5c, a 16 MiB BAR0 and a 1 MiB BAR2 (none
// when the board has no BAR2: its register reads 0), the PCI Express capability, the vendor-specific capability (ID 9) and an AER
// extended capability at 0x100. The PCI Express capability is version 2 or,
// by option, 1 (without the completion timeout registers at +0x24 and
// +0x28); device control holds the payload set. The status registers hold
// the error bits the board starts with (BoardOptions::errors) until the host
// clears them.
//
// A board of the earlier generations (device
// 0x4c3d at any revision but 7, which is a 10G card: PCI64 at revision 3,
// KX at 4 to 6) has, in place of the PCI Express capability, the control
// word of its processor at 0x40, plain storage the host writes (what it
// does is the board's, board.h).
//
// A restart returns configuration space to its power-on state with the
// BARs unassigned (reset_config): command 0, BAR registers 0, the PCI
// Express registers (0x46, 0x48, 0x4c, 0x50, 0x64 among them) at their
// defaults, the vendor-specific registers cleared.
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
// whichever comes first, as seen at the next access (the board's timer
// ticks never end one). While it runs, reads of VS_EE_DATA answer a status
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
// The processor's address space is the chip's (chip.h); resources for the
// locate request are what the firmware publishes (firmware.h). Each request
// of the debug window is reported to the board as an event once it is done.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "board_options.h"
#include "chip.h"
#include "config_space.h"
#include "eeprom.h"
#include "event.h"
#include "firmware.h"

namespace sim {

// Whether a board of these options is of the generations before the 10G
// cards (conventional PCI and PCI-X).
inline bool earlier_generation(const BoardOptions &o) { return o.device_id == 0x4c3d && o.revision != 7; }

class Nic {
 public:
  static constexpr uint8_t PCIE_POSITION = 0x40;
  static constexpr unsigned AER_POSITION = 0x100;
  static constexpr int IRQ = 11;
  static constexpr unsigned CONTROL_WORD = 0x40;  // the earlier generations' processor control

  // The PCI side of a board whose BARs the host placed at these bus addresses.
  Nic(const BoardOptions &options, uint64_t bar0_address, uint64_t bar2_address, Eeprom &eeprom, Chip &chip,
      Firmware &firmware, EventSink &events);

  // Configuration accesses of width 1, 2 or 4 bytes within the 4 KiB space.
  uint32_t config_read(unsigned offset, int width);
  void config_write(unsigned offset, uint32_t value, int width);
  const ConfigSpace &config() const { return cfg_; }
  ConfigSpace &config() { return cfg_; }
  // Whether an EEPROM program or erase is running.
  bool eeprom_busy() const { return busy_.has_value(); }
  // Configuration space as at power-on, with the BARs unassigned and this
  // device id; the vendor-specific registers cleared. An EEPROM operation
  // under way goes on.
  void reset_config(uint16_t device_id);

 private:
  struct Operation {
    bool erase;
    uint32_t address;
    uint8_t data;
    uint64_t end_access;
    std::chrono::steady_clock::time_point end_time;
    bool ends_by_time;
  };

  void build_config_space(uint64_t bar0_address, uint64_t bar2_address, uint16_t device_id);
  void add_pcie_capability();
  void set_initial_error_bits();
  bool in_vs(unsigned offset) const;
  bool is_dead(unsigned offset) const;
  void count_access();
  void start_eeprom_read();
  void start_program();
  void shift_in(uint8_t byte);
  void debug_address_written();
  void debug_data_written();

  const BoardOptions &options_;
  Eeprom &eeprom_;
  Chip &chip_;
  Firmware &firmware_;
  EventSink &events_;
  ConfigSpace cfg_;
  uint8_t vs_[28] = {};        // the vendor-specific register bytes, from P
  uint32_t ee_data_ = 0;       // VS_EE_DATA shift register
  uint8_t ee_fetched_ = 0xff;  // the byte the last read start fetched
  bool status_toggle_ = false;
  uint64_t accesses_ = 0;
  std::optional<Operation> busy_;
};

}  // namespace sim
