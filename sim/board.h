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
  // Resets the board: what the firmware does on a reset (configuration
  // space is left as it is).
  void reset();
  // A door saw the host store `count` bytes into BAR0 at `offset`.
  void bar0_written(uint32_t offset, size_t count);

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

  BoardOptions options_;
  uint64_t bar0_address_, bar2_address_;
  Clock::time_point power_on_;
  uint64_t now_us_ = 0;
  Eeprom eeprom_;
  Chip chip_;
  Firmware firmware_;
  Nic nic_;
  Phy phy_;
};

}  // namespace sim
