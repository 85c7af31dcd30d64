// How a modeled board is made: its identity, its faults, and the state its
// firmware starts in. The one options record of a board; simhost's --nic
// items set these fields.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error_bits.h"
#include "scan_chains.h"

namespace sim {

struct BoardOptions {
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
  // The PCI Express side as the host finds it: the payload set in device
  // control (128 << n bytes, at most the supported), the capability's
  // version (1 or 2), the error bits set.
  uint8_t payload_set = 0;
  uint8_t pcie_version = 2;
  ErrorBits errors;
  // The flow-control credit limits the PCIe core learnt from its link
  // partner, in the special registers PCIE_FC_VC0_P_LIMIT,
  // PCIE_FC_VC0_NP_LIMIT and PCIE_FC_VC0_CPL_LIMIT: kind in bits 30-31 (2,
  // an update), infinite header credits in bit 24, header credits in bits
  // 16-23, infinite data credits in bit 14, data credits in bits 0-13.
  std::array<uint32_t, 3> flow_control = {0x80200100, 0x80200001, 0x81004000};
  // An EEPROM operation ends after this many further configuration accesses
  // of the board, or after this much wall-clock time (0: not by the clock).
  unsigned program_accesses = 1, erase_accesses = 32;
  std::chrono::microseconds program_time{20}, erase_time{2000};
  int index = 0;  // the board's number in its host: names it in its EEPROM

  // How the card comes back from a restart (board.h): never (its
  // configuration space reads all ones for good), with another device id,
  // or without resetting its configuration space at all.
  bool reset_hangs = false;
  std::optional<uint16_t> reset_device_id;
  bool reset_keeps_config = false;

  bool bar2_present = true;  // false: the BAR2 register reads 0 and nothing is published there
  // BAR0 in this file (created when absent) instead of memory of its own,
  // for a peer that shares the BAR0 image through a file.
  std::string bar0_file;

  // The message log as the board powers on.
  uint32_t log_header = 0x1de9e8;   // where its header lies (the ring lies below it)
  std::optional<uint32_t> log_magic;  // a header with this magic instead of the valid one
  // A ring that already holds `written` bytes of the preset stream
  // (log_stream_byte), of which the host has read `read`.
  struct LogPreset {
    uint32_t written, read;
  };
  std::optional<LogPreset> log_preset;
  // The firmware logs a numbered line this often, in model time.
  std::optional<std::chrono::milliseconds> log_every;

  // The identification strings at SRAM 0x1dfe00 (firmware.h): written by
  // every boot when id_strings is set (simhost's boards); otherwise those
  // bytes are left to the host (a tool under UBA_SIM writes its own).
  bool id_strings = false;
  std::string product_code = "PNX-10G-XFP-R";  // "PC=" and this; empty: no product code

  // The PHY and its XFP module (phy.h, xfp.h).
  bool xfp_present = true;  // false: the cage is empty
  bool xfp_ready = true;    // false: the module never becomes ready
  bool xfp_signal = true;   // false: the module receives no signal
  // XFP commands of the PHY (PHY_TRANSFER, PHY_REFRESH bits) that never
  // end, those whose done status stays once read, and those that fail even
  // with a good module (its two-wire bus does not answer them).
  uint8_t xfp_hangs = 0, xfp_done_sticks = 0, xfp_fails = 0;
  static constexpr uint8_t PHY_TRANSFER = 1, PHY_REFRESH = 2;
  // Bytes of the module's memory as it powers on, from `address` on (128
  // and up: the identity table).
  struct XfpBytes {
    uint8_t address;
    std::vector<uint8_t> bytes;
  };
  std::vector<XfpBytes> xfp_bytes;
  // The PHY drives the first turnaround bit of a read low, where it should
  // leave the line alone.
  bool mdio_bad_turnaround = false;

  // The scan chains (scan_chains.h, firmware.h). The port's loopback in the
  // write image at every boot: bit k is P0_RX_LBk (15: all on).
  uint8_t loopback = 0;
  // The signal-detect bit of LED (bit 2) is stuck at this value: neither
  // the firmware nor the host changes it.
  std::optional<bool> signal_detect;
  // The locate request answers this length for the snapshot (the snapshot
  // is kept as ever).
  std::optional<uint32_t> scan_length;
  // The locate request answers this address for the snapshot (which is
  // kept where it always is).
  std::optional<uint32_t> scan_address;
  // false: the snapshot is neither published nor written.
  bool scan_snapshot = true;
  // What PCIE_DEBUG_RD_DATA shows for the selections PCIE_DEBUG >> 2 = 0..7.
  std::array<uint8_t, 8> pcie_debug = scan::PCIE_DEBUG_DEFAULT;
};

}  // namespace sim
