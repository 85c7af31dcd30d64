// The board's 10G PHY: a clause-45 MDIO slave at port address 0 on the
// management bus the host bit-bangs through the special register MDI
// (0xffffffe1), and the XFP module it serves (xfp.h).
//
// The lines. What the host writes into MDI: bit 0 the data it puts out,
// bit 1 whether it drives the data line, bit 2 the clock MDC. The data line
// is low when the host or the PHY drives it low, and high otherwise: when
// nobody drives it, it is pulled up. A read of MDI answers the bits the host
// wrote last, with bit 0 replaced by the line.
//
// Frames. The PHY samples the line on each rising edge of MDC (nothing else
// happens on a falling edge, or while MDC stays as it is). A frame starts
// with a 0 after at least 32 ones (the preamble) and has 32 bits, most
// significant first: ST (2 bits, 00), OP (2), PRTAD (5), DEVAD (5), then the
// turnaround TA (2) and 16 bits of data. OP 00 sets the device's address
// register, 01 writes the addressed register, 11 reads it, and 10 reads it
// and then moves the address on by one. In a read, from the rising edge
// that ends DEVAD, the PHY leaves the line alone for the first turnaround
// bit, drives 0 for the second, then the 16 data bits, each put out on the
// rising edge before its own, and lets go after the last. In a write or
// address frame the host drives TA 10 and the data; a frame whose TA is not
// 10 does nothing. The PHY does nothing with, and never drives during, a
// frame of another ST or port, or for a device it lacks. Every frame is 32
// bits, whatever they are (the ones after a frame cut short complete it),
// and the next needs a whole preamble after it.
//
// Devices: 1 (PMA/PMD), 3 (PCS) and 4 (PHY XS). Each register is 16 bits;
// those not listed hold what was last written to them (0 at power-on).
//   1.0x0 0x2040      1.0x1 0x0006 with the link up, else 0x0082 (read-only)
//   1.0x2, 1.0xe 0x0157; 1.0x3, 1.0xf 0x7a31 (identifiers, read-only)
//   1.0x4 0x0001      1.0x5 0x001a (devices 1, 3, 4)   1.0x6 0 (read-only)
//   1.0x7 0x0006      1.0x9 transmit disable: bits 0-4 (bit 0 is TX_DIS)
//   1.0xa 1 with the link up, else 0 (signal detect, read-only)
//   1.0x8000 the XFP command register (below)
//   1.(0x8007 + R), R = 0..255: the PHY's copy of XFP byte R, in bits 7-0
//   1.0xc200 the XFP pins, read-only: bit 0 the module is absent, bit 1 it
//            is not ready, bit 3 it has no signal, bit 15 TX_DIS (1.0x9 bit
//            0); an empty cage reads bits 0, 1 and 3
//   1.0xd006 0x000b, 1.0xd007 0x0009 (LEDs)
//   3.0x0 0x2040      3.0x1 as 1.0x1   3.0x2, 3.0x3 as 1.0x2, 1.0x3
//   3.0x20 0x100d with the link up, else 0x000c (read-only)
//   3.0xc037 a counter that answers one more on every read (from 1,
//            wrapping at 16 bits)
//   4.0x0 0x2040      4.0x1 0x0006 (read-only)  4.0x2, 4.0x3 as 1.0x2, 1.0x3
//   4.0x18 0x1c0f (lanes aligned and synchronised, read-only)
// The link is up when the module is present, ready and has a signal.
//
// The XFP command register 1.0x8000. Written, it holds the value; a command
// starts when the low byte is 0x22 (a transfer: the PHY writes its copy of
// the byte at the address in the high byte into the module) or the value is
// 3 (a refresh: the PHY reads the module's 256 bytes into its copy). While
// the command runs, the register reads the value with bit 3 set (busy:
// 0x7f22 reads 0x7f2a, 3 reads 0xb); a transfer takes 10 ms of model time,
// a refresh 25 ms. Then it reads the value with bit 2 set once (done:
// 0x7f26, 7), and the value itself after that. A module that is absent or
// not ready fails the command: it reads the value with bits 3 and 2 set
// once (0x7f2e, 0xf), and nothing is copied. Faults: a command that never
// ends (busy for ever), a done status that stays once read, a command that
// fails with a good module. A copy that has not been refreshed since
// power-on holds zeros.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>

#include "board_options.h"
#include "register_block.h"
#include "xfp.h"

namespace sim {

class Phy : public MdiPort {
 public:
  static constexpr uint8_t MDIO_DATA = 1, MDIO_DRIVE = 2, MDC = 4;
  static constexpr int PORT = 0, PMA = 1, PCS = 3, XS = 4;
  static constexpr uint16_t XFP_COMMAND = 0x8000, XFP_COPY = 0x8007, XFP_PINS = 0xc200, COUNTER = 0xc037;
  static constexpr uint16_t BUSY = 0x8, DONE = 0x4, FAILED = 0xc;
  static constexpr uint64_t TRANSFER_US = 10000, REFRESH_US = 25000;

  explicit Phy(const BoardOptions &options);
  Phy(const Phy &) = delete;
  Phy &operator=(const Phy &) = delete;

  uint8_t mdi_read() const override;
  void mdi_write(uint8_t value) override;

  // Model time has reached `now_us`: a command whose time is up ends.
  void advance(uint64_t now_us);

  // Register accesses as frames make them, with their effects.
  uint16_t read(int device, uint16_t reg);
  void write(int device, uint16_t reg, uint16_t value);
  // What a read would answer, without its effects.
  uint16_t peek(int device, uint16_t reg) const;
  static bool has_device(int device) { return device == PMA || device == PCS || device == XS; }

  Xfp &xfp() { return xfp_; }
  // Frames acted on since power-on (address, write and read frames).
  unsigned frames() const { return frames_; }

 private:
  enum class Phase : uint8_t { Idle, Header, Tail, Reply, Ignore };
  enum class Command : uint8_t { None, Transfer, Refresh };
  enum class State : uint8_t { Idle, Busy, Done, Failed };

  bool line() const;
  void rising_edge();
  void header_received();
  void tail_received();
  bool link() const { return xfp_.signal() && xfp_.ready(); }
  uint16_t pins() const;
  void start_command(uint16_t value);
  void settle();
  uint16_t command_status() const;
  static uint32_t key(int device, uint16_t reg) { return (uint32_t)device << 16 | reg; }

  const BoardOptions &options_;
  Xfp xfp_;
  uint64_t now_us_ = 0;

  // The lines and the frame being received.
  uint8_t written_ = 0;           // what the host wrote last into MDI
  std::optional<bool> out_;       // what the PHY drives, when it does
  unsigned ones_ = 0;             // ones in a row on the line, up to 32
  Phase phase_ = Phase::Idle;
  unsigned count_ = 0;            // bits of the frame so far
  uint32_t shift_ = 0;            // those bits
  uint16_t reply_ = 0;            // what a read frame answers
  std::array<uint16_t, 32> address_{};  // each device's address register
  unsigned frames_ = 0;

  // The registers.
  std::map<uint32_t, uint16_t> plain_;  // those that hold what was written
  uint16_t tx_disable_ = 0;
  uint16_t counter_ = 0;
  std::array<uint8_t, 256> copy_{};  // the PHY's copy of the module's memory
  uint16_t command_ = 0;
  Command running_ = Command::None;
  State state_ = State::Idle;
  uint64_t ends_us_ = 0;
};

}  // namespace sim
