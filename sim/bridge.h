// The bridges of the modeled host: PCI Express root ports and the upstream
// and downstream ports of switches, each a PCI-to-PCI bridge function
// (header type 1) with its bus numbers and memory window set as the host
// enumerated them.
//
// Configuration space:
//   0x06  status: error bits 8 and 11-15 clear when written with a one
//   0x1e  secondary status: the same bits, the same way
//   0x40  PCI Express capability, version 1 or 2, port type 4 (root port),
//         5 (upstream switch port) or 6 (downstream switch port). Device
//         control holds the payload set, device status bits 0-3 clear when
//         written with a one. Root and downstream ports have a slot and
//         report Data Link Layer Link Active (link status bit 13); a root
//         port has root control and status. Version 2 adds the second
//         device, link and slot registers (completion timeout ranges).
//   0x100 AER capability (version 2 with the root error command, status and
//         error source identification on a root port), unless the bridge has
//         none or hides it. Chipsets that hide it keep it at their own
//         position with an empty extended capability list: 0x1c0 on Intel
//         0x2779, 0x277a and 0x277d, 0x160 on any NVIDIA (0x10de) device.
//   Intel 0x25e2-0x25e7 and 0x25f7-0x25fa (the E5000 chipset) carry their own
//         error registers: 0x148 uncorrectable detect mask, 0x14c correctable
//         detect mask, 0x150 message detect mask (bits 0-2), written by the
//         host; 0x154 first fatal, 0x158 first non-fatal or correctable,
//         0x15c next fatal, 0x160 next non-fatal or correctable error, which
//         clear when written with a one.
//   Intel 0x3595-0x359a: bit 11 of the word at 0x144 is the host's to set.
//
// The link. On a root port or downstream switch port, bit 4 of link control
// (capability + 0x10), link disable, takes the link below down: link status
// loses Data Link Layer Link Active, slot status sets Data Link Layer State
// Changed (bit 8, cleared with a one), and nothing behind the port answers
// (BehindLinks below). Clearing the bit brings the link back: the bit is set
// again, so is the change bit, and everything behind the port is reset: a
// bridge returns to its configuration as the host started with it (bus
// numbers and windows included, since the host's enumeration is not modeled
// again) and resets what is behind it in turn, a board goes through
// reset_after_link_back.
//
// The error bits a bridge starts with (BridgeOptions::errors,
// chipset_errors) are the host's finding at start, not power-on state: a
// reset through the link above clears them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "config_space.h"
#include "error_bits.h"
#include "pci_function.h"

namespace sim {

class Board;

// What a board goes through when the link of the port above it comes back
// after a disable: today a reset (Board::reset). The one place the link
// model reaches into a board.
void reset_after_link_back(Board &board);

struct BridgeOptions {
  enum class Aer : uint8_t {
    Listed,  // at 0x100, linked by the extended capability list
    Hidden,  // at the chipset's own position, the list empty
    None,
  };
  // 0: the kind's own (8086:1901 for a root port, 10b5:8624 for a switch port).
  uint16_t vendor_id = 0, device_id = 0;
  bool pcie = true;         // false: a conventional bridge, without the capability (and without AER)
  uint8_t pcie_version = 2;  // 1 or 2
  uint8_t max_payload_supported = 2;  // 128 << n bytes
  uint8_t payload_set = 0;            // 128 << n bytes, at most the supported
  Aer aer = Aer::Listed;
  bool extended_config = true;  // false: only the first 256 bytes answer
  ErrorBits errors;
  // The E5000 registers 0x154, 0x158, 0x15c, 0x160.
  std::optional<std::array<uint32_t, 4>> chipset_errors;
};

class Bridge : public PciFunction {
 public:
  enum class Kind : uint8_t { RootPort = 4, SwitchUpstream = 5, SwitchDownstream = 6 };
  static constexpr unsigned PCIE_POSITION = 0x40, AER_POSITION = 0x100;

  // Where the host put the bridge: its port number, its buses and the
  // memory window it forwards.
  struct Placement {
    int port;
    int primary, secondary, subordinate;
    uint32_t window_start, window_end;
  };

  // Throws std::invalid_argument for options that cannot be.
  Bridge(Kind kind, const BridgeOptions &options, const Placement &where);

  uint32_t config_read(unsigned offset, int width) override;
  void config_write(unsigned offset, uint32_t value, int width) override;
  unsigned config_size() const override { return config_size_; }

  Kind kind() const { return kind_; }
  // Whether it is the end of a link below it that it can disable.
  bool downstream() const { return options_.pcie && kind_ != Kind::SwitchUpstream; }
  bool link_up() const { return link_up_; }
  // Where the AER registers lie, listed or hidden; 0 without.
  unsigned aer_position() const { return aer_; }
  const ConfigSpace &config() const { return cfg_; }

  // What lies directly behind the port: reset when its link comes back.
  void attach(Bridge &below) { bridges_below_.push_back(&below); }
  void attach(Board &below) { boards_below_.push_back(&below); }

  // A reset reaching the bridge from above: back to the configuration the
  // host started with, link up, and everything behind it reset.
  void reset();

  static bool is_e5000(uint16_t vendor, uint16_t device);
  // Where the chipset keeps AER registers it does not list, or 0.
  static unsigned hidden_aer_position(uint16_t vendor, uint16_t device);

 private:
  void build(const Placement &where);
  void link_control_written();
  void set_link(bool up);
  void reset_behind();

  Kind kind_;
  BridgeOptions options_;
  unsigned config_size_;
  unsigned aer_ = 0;
  ConfigSpace cfg_, started_;
  bool link_up_ = true;
  std::vector<Bridge *> bridges_below_;
  std::vector<Board *> boards_below_;
};

// A function as the host reaches it through the ports above it (those that
// can disable their link, nearest first): the function itself while every
// link on the way is up. While one is down nothing answers there, as for a
// function that is absent: reads return all ones and writes are lost.
class BehindLinks : public PciFunction {
 public:
  BehindLinks(PciFunction &function, std::vector<const Bridge *> ports)
      : function_(function), ports_(std::move(ports)) {}

  bool reachable() const;
  uint32_t config_read(unsigned offset, int width) override;
  void config_write(unsigned offset, uint32_t value, int width) override;
  unsigned config_size() const override { return function_.config_size(); }
  std::array<Resource, 6> resources() const override { return function_.resources(); }
  int irq() const override { return function_.irq(); }

 private:
  PciFunction &function_;
  std::vector<const Bridge *> ports_;
};

}  // namespace sim
