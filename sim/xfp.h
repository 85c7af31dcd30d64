// The XFP optical module in the board's cage, as the PHY reaches it over the
// module's two-wire bus: 256 bytes of memory, a lower page (0-127) and an
// upper page (128-255) that shows the table selected by byte 127.
//
// Its memory as it powers on (two-byte values are high byte first):
//   0        identifier 0x06 (XFP)
//   2-9      temperature alarm and warning thresholds: high alarm 0x5000,
//            low alarm 0xf600, high warning 0x4b00, low warning 0xfb00
//   84       latched status flags (below)
//   96-97    temperature 0x2280 (34.5 Celsius, signed 1/256)
//   100-101  TX bias 0x1a2b (13.398 mA, 0.002 mA units)
//   102-103  TX power 0x1d4c (0.75 mW, 0.0001 mW units)
//   104-105  RX power 0x1388 (0.5 mW); 0 without a signal
//   106-107  auxiliary measurement 1: 0x2680 (laser temperature 38.5 Celsius)
//   108-109  auxiliary measurement 2: 0x8084 (+3.3 V supply at 3.29 V)
//   127      table select: 0
// Table 1, the module's identity:
//   128      identifier 0x06 (XFP)
//   129      extended identifier 0x90
//   130      connector 0x07 (LC)
//   131      10G Ethernet compliance 0x40 (10GBASE-LR)
//   148-163  vendor name "SIMOPTIX        "
//   168-183  part number "XFP-LR-SIM      "
//   184-185  revision "A1"
//   186-187  wavelength 0x6658 (1310 nm, 0.05 nm units)
//   196-211  serial number "SX10G0000001    "
//   212-219  date code "24031501" (2024-03-15, lot 01)
//   222      auxiliary measurement types 0x47 (1: laser temperature,
//            2: +3.3 V supply)
// Every other byte, and the upper page of every other table, is 0.
// BoardOptions::xfp_bytes sets bytes over these (128 and up: in table 1).
//
// Status flags (byte 84), bit 7 to 0: TX not ready, TX fault, TX CDR not
// locked, RX not ready, RX loss of signal, RX CDR not locked, not ready,
// reset complete. The byte latches: a read answers every condition seen
// since the last read, then forgets those that have gone. At power-on the
// module has just come out of reset (bit 0); a module that is not ready
// keeps bits 7, 4 and 1 set, one without a signal bits 3 and 2.
//
// Writes: the module takes byte 127 (table select) and nothing else.
// A module that is absent or not ready answers nothing: the PHY's transfers
// to and from it fail (phy.h).
#pragma once

#include <array>
#include <cstdint>

#include "board_options.h"

namespace sim {

class Xfp {
 public:
  static constexpr uint8_t STATUS_FLAGS = 84, TABLE_SELECT = 127, IDENTITY_TABLE = 1;
  static constexpr uint8_t TX_NOT_READY = 0x80, TX_FAULT = 0x40, TX_CDR_NOT_LOCKED = 0x20, RX_NOT_READY = 0x10,
                           RX_LOSS_OF_SIGNAL = 0x08, RX_CDR_NOT_LOCKED = 0x04, NOT_READY = 0x02,
                           RESET_COMPLETE = 0x01;

  explicit Xfp(const BoardOptions &options);

  bool present() const { return present_; }
  bool ready() const { return present_ && ready_; }
  bool signal() const { return present_ && signal_; }

  // A byte as the bus reads it: reading the status flags clears what has gone.
  uint8_t read(uint8_t address);
  void write(uint8_t address, uint8_t value);
  // The byte a read would answer, without the read's effect.
  uint8_t peek(uint8_t address) const;

 private:
  uint8_t conditions() const;  // the status flags that hold now

  bool present_, ready_, signal_;
  std::array<uint8_t, 128> lower_{}, identity_{};
  uint8_t latched_ = RESET_COMPLETE;
};

}  // namespace sim
