// The processor's special registers: the 512-byte block at the top of its
// 32-bit address space, 0xfffffe00 to 0xffffffff.
//
// A register is an entry of a table {name, address, width, read hook, write
// hook}. An access is dispatched at its exact width: one whose address and
// width are those of a register goes through that register, whichever door
// made it (the debug window, and later a JTAG stream or the scan service), so
// a register behaves the same however it is reached. Any other access inside
// the block acts on plain bytes. Some registers share an address at
// different widths (P0_RECV_SNAPSHOT is P0_RECV_POINTER and P0_RECV_COUNT
// read at once); words pushed through one register in turn (COPY_FROM,
// COPY_SIZE, COPY_TO through COPY) are one entry. Values are in the
// processor's order: the byte at the lowest address is the most significant.
//
// Behaviours:
//   ISR  0xfffffff8, 4 bytes  reads ISR_VALUE; writes are ignored
//   RTC  0xffffffd0, 4 bytes  counts 2 per microsecond of model time; a write
//                             sets the count, which goes on from there
//   IT3  0xffffffc0, 4 bytes  plain storage here; a non-zero write fires the
//                             timer as a watchdog, which restarts the board
//                             (board.h)
//   MDI  0xffffffe1, 1 byte   the management bus of the PHY: every write goes
//                             to what is attached there (phy.h), a read
//                             answers what it says; with nothing attached,
//                             plain storage
//   LED  0xffffffd8, 1 byte   plain storage, but bit 2 (signal detect) is
//                             what drive_signal_detect() last set, and
//                             stays at its value when it is stuck
//                             (stick_signal_detect, BoardOptions::
//                             signal_detect): a host write leaves that bit
//   every other register is plain storage.
// The bytes of a register with a read hook hold its value as of the latest
// refresh (every advance of the board), which is what a plain access to
// some of its bytes sees.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace sim {

// What hangs on the lines that MDI drives: it sees every value the host
// writes there and answers what the register reads.
class MdiPort {
 public:
  virtual uint8_t mdi_read() const = 0;
  virtual void mdi_write(uint8_t value) = 0;

 protected:
  ~MdiPort() = default;
};

class RegisterBlock {
 public:
  static constexpr uint32_t BASE = 0xfffffe00, SIZE = 0x200;
  static constexpr uint32_t ISR = 0xfffffff8, RTC = 0xffffffd0, IT3 = 0xffffffc0, MDI = 0xffffffe1, LED = 0xffffffd8;
  static constexpr uint8_t SIGNAL_DETECT = 0x04;  // the bit of LED
  // The posted, non-posted and completion flow-control credit limits of
  // virtual channel 0 (PCIE_FC_VC0_P_LIMIT, _NP_LIMIT, _CPL_LIMIT): plain
  // storage the board sets at power-on (BoardOptions::flow_control).
  static constexpr std::array<uint32_t, 3> FLOW_CONTROL_LIMITS = {0xfffffee0, 0xfffffef8, 0xffffff10};
  // What ISR reads: no interrupt source of the model ever changes it.
  static constexpr uint32_t ISR_VALUE = 0x51c0ffee;

  struct Register {
    const char *name;
    uint32_t address;
    int width;
    uint32_t (RegisterBlock::*read)() = nullptr;        // null: plain storage
    void (RegisterBlock::*write)(uint32_t) = nullptr;  // null: plain storage
  };
  static std::span<const Register> registers();
  // The register at exactly this address and width, or null.
  static const Register *find(uint32_t address, int width);
  // Whether an access of `width` bytes at `address` lies inside the block.
  static bool holds(uint32_t address, int width) { return address >= BASE && address - BASE + width <= SIZE; }

  // Accesses inside the block.
  uint32_t read(uint32_t address, int width);
  void write(uint32_t address, uint32_t value, int width);

  void set_time(uint64_t now_us) { now_us_ = now_us; }
  // What MDI reaches from now on (null: nothing).
  void attach(MdiPort *port) { mdi_ = port; }
  // The signal-detect bit of LED: set to `on` (unless stuck), or stuck at
  // `value` from now on.
  void drive_signal_detect(bool on);
  void stick_signal_detect(bool value);
  // Stores the current value of every register with a read hook in its bytes.
  void refresh();
  const uint8_t *bytes() const { return bytes_.data(); }

 private:
  static const Register REGISTERS[];

  uint32_t plain_read(uint32_t address, int width) const;
  void plain_write(uint32_t address, uint32_t value, int width);
  uint32_t isr_read();
  void ignore_write(uint32_t);
  uint32_t rtc_read();
  void rtc_write(uint32_t value);
  uint32_t mdi_read();
  void mdi_write(uint32_t value);
  void led_write(uint32_t value);

  std::array<uint8_t, SIZE> bytes_{};
  uint64_t now_us_ = 0;
  uint32_t rtc_set_to_ = 0;  // the count written last, at rtc_set_at_
  uint64_t rtc_set_at_ = 0;
  MdiPort *mdi_ = nullptr;
  bool signal_detect_stuck_ = false;
};

}  // namespace sim
