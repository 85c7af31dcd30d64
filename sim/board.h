// The card model: one 10G NIC of the maker, as its host sees it and as its
// firmware runs on it.
//
// A Board is the one card: the PCI function the front ends talk to. It owns
// the parts, each described in its own header:
//   Nic       configuration space and the vendor-specific registers (nic.h)
//   Chip      the processor's address space: SRAM, the special registers,
//             the memory of BAR0 and BAR2 and BAR2's mirror (chip.h)
//   Eeprom    the flash that holds the boot firmware (eeprom.h)
//   Firmware  what the control program does (firmware.h)
//   Phy       the 10G PHY on the special register MDI, with its XFP module
//             (phy.h, xfp.h)
//
// Time and events. Model time counts from the board's power-on (when it is
// made). A door calls advance(now) before every access it serves, and its
// loop calls it again by next_deadline(); advancing ends the PHY's XFP
// commands whose time is up, runs BAR2's mirror and gives the firmware a
// tick. What the parts see of an access (a
// configuration write, a debug request, a special register access, a BAR0
// store a door saw) reaches the firmware as an event once the access is
// done. EEPROM operations end by access counts and wall-clock caps only,
// never by a tick.
//
// Restarts. The card restarts as a whole when reset() is called (from
// outside: a bus reset, a test), when its firmware asks for it (the host
// stored 0 into SRAM word 0: the programmed-I/O restart, firmware.h), when
// the host writes a non-zero value into interrupt timer 3 (IT3, 0xffffffc0),
// which fires as a watchdog, and when its link comes back after it was down
// (below). A restart asked for during an access takes effect once the access
// is done. A restart:
//   - returns configuration space to its power-on state (nic.h): memory
//     space and bus master off, the BAR registers 0 (the host restores
//     them), the PCI Express registers at 0x46, 0x48, 0x4c, 0x50, 0x64 at
//     their defaults, the ids kept;
//   - makes the board answer no configuration request for RESTART_WINDOW_US
//     of model time (its link trains again): reads are all ones, writes are
//     dropped;
//   - leaves the special registers as they are (the real-time counter runs
//     on) but clears IT3, whose timer has fired;
//   - boots the firmware at once (firmware.h): the backup block, then the
//     program in SRAM, or the EEPROM's.
// Faults (BoardOptions): reset_hangs, the board never answers again;
// reset_device_id, it comes back with another device id; reset_keeps_config,
// configuration space is left as it was and answers at once (the firmware
// still boots).
//
// The link, for the port above the board (host.h): link_down() takes it
// down, and the board answers no configuration request until link_up()
// brings it back, which restarts the board (ResetReason::Link); link_up()
// on a link that is up does nothing. link_active() tells whether the link is
// up and trained (what a port shows as its data link layer being active):
// not while it is down, nor in the window after a restart, nor ever again on
// a board that never comes back.
//
// The earlier generations (nic.h: PCI64, KX) start and stop their processor
// through the control word at configuration offset 0x40 (32 bits; byte 0x43
// is its top byte). Every write that reaches it is recorded
// (control_writes(), since the processor last started). A KX (revision 4 to
// 6) starts its processor on a write that leaves bit 30 set (0x40000000),
// a PCI64 (revision 3) on one that leaves bit 7 of byte 0x43 set (0x80);
// the firmware then runs what SRAM holds from 0 and logs the control writes
// (firmware.h). Any other write holds the processor. At power-on (and after
// a restart) the word reads 0x40000000 on a KX and 0xa8000000 on a PCI64:
// running, with the PCI64's status bits 0x28 of byte 0x43, which it shows
// whenever its processor runs. For their loaders, BAR0 holds at power-on
// what the host reads of these boards: the KX's SRAM size (2 MiB,
// big-endian) at 0xfffe80, the PCI64's identification record at 0xa00000
// (its clock word 0x00000130, SRAM size 2 MiB).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "board_options.h"
#include "chip.h"
#include "eeprom.h"
#include "event.h"
#include "firmware.h"
#include "nic.h"
#include "pci_function.h"
#include "phy.h"

namespace sim {

class Board : public PciFunction, private EventSink {
 public:
  using Clock = std::chrono::steady_clock;

  // A board whose BARs the host placed at these bus addresses, powered on
  // at `power_on`. Throws std::invalid_argument for options that cannot be.
  Board(const BoardOptions &options, uint64_t bar0_address, uint64_t bar2_address,
        Clock::time_point power_on = Clock::now());
  Board(const Board &) = delete;
  Board &operator=(const Board &) = delete;

  uint32_t config_read(unsigned offset, int width) override;
  void config_write(unsigned offset, uint32_t value, int width) override;
  unsigned config_size() const override { return 4096; }
  std::array<Resource, 6> resources() const override;
  int irq() const override { return Nic::IRQ; }

  const BoardOptions &options() const { return options_; }
  Nic &nic() { return nic_; }
  const Nic &nic() const { return nic_; }
  Chip &chip() { return chip_; }
  Eeprom &eeprom() { return eeprom_; }
  Firmware &firmware() { return firmware_; }
  Phy &phy() { return phy_; }

  // Model time moves on to `now` (never back).
  void advance(Clock::time_point now);
  // When the board next needs advancing; none when nothing is pending. A
  // running firmware always has a deadline: it watches SRAM word 0.
  std::optional<Clock::time_point> next_deadline() const;
  uint64_t now_us() const { return now_us_; }
  // Restarts the card (above).
  void reset(ResetReason why = ResetReason::Board);
  // How long a restarted board answers no configuration request.
  static constexpr uint64_t RESTART_WINDOW_US = 50000;
  // The link to the port above the board (above).
  void link_down();
  void link_up();
  bool link_active() const;
  // A door saw the host store `count` bytes into BAR0 at `offset`.
  void bar0_written(uint32_t offset, size_t count);

  // The earlier generations' control word writes since the processor last
  // started (above), at most the last CONTROL_WRITES_KEPT.
  struct ControlWrite {
    unsigned offset;
    int width;
    uint32_t value;
    bool operator==(const ControlWrite &) const = default;
  };
  static constexpr size_t CONTROL_WRITES_KEPT = 16;
  const std::vector<ControlWrite> &control_writes() const { return control_writes_; }

  // Configuration accesses the host made, for measuring.
  struct Counters {
    uint64_t config_reads = 0, config_writes = 0;
  } counters;

  // Every configuration access, in order, while record_accesses is set.
  struct ConfigAccess {
    bool write;
    unsigned offset;
    int width;
    uint32_t value;  // read or written
    bool operator==(const ConfigAccess &) const = default;
  };
  bool record_accesses = false;
  std::vector<ConfigAccess> accesses;

 private:
  void event(const Event &e) override;
  // A restart asked for during an access waits for its end: the outermost
  // access, event or advance carries it out.
  class Access;
  void restart_pending();
  void power_on_earlier_generation();
  void control_written(unsigned offset, int width, uint32_t value);

  BoardOptions options_;
  uint64_t bar0_address_, bar2_address_;
  Clock::time_point power_on_;
  uint64_t now_us_ = 0;
  Eeprom eeprom_;
  Chip chip_;
  Firmware firmware_;
  Nic nic_;
  bool in_access_ = false;
  std::optional<ResetReason> pending_restart_;
  bool link_down_ = false;
  uint64_t answers_from_us_ = 0;  // model time from which configuration requests are answered
  std::vector<ControlWrite> control_writes_;
  Phy phy_;
};

}  // namespace sim
