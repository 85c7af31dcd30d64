// A modeled host: a host bridge, one PCI Express root port per modeled
// board with the board on its secondary bus, and a device of another vendor.
//
// Between a board and its root port there may be switches, each an upstream
// port on the bus below the bridge above it and a downstream port on the
// switch's own bus (bridge.h): with N switches the board's path holds 1 + 2N
// bridges and 1 + 2N buses, numbered in order after the previous board's.
// Without bridges the boards sit on bus 0 in their root ports' places. Each
// bridge forwards the memory window that holds its board's BARs.
//
// What the host's accesses reach (Slot::reached, reach) is each function
// through the links above it: nothing answers behind a port whose link is
// down (BehindLinks).
//
// A root port's or downstream port's link disable (Link Control bit 4)
// takes the link down, and clearing it brings the link back, restarting the
// board behind it (Board::link_down, Board::link_up).
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "bridge.h"
#include "pci_function.h"

namespace sim {

struct HostOptions {
  std::vector<BoardOptions> boards = {BoardOptions{}};
  bool other_device = true;
  bool bridges = true;    // false: no root port or switch above any board
  unsigned switches = 0;  // switches between each root port and its board
  BridgeOptions root_port, switch_upstream, switch_downstream;
};

class Host {
 public:
  struct Slot {
    int domain, bus, dev, func;
    PciFunction *function;
    PciFunction *door = nullptr;  // what reaches the function through the links above it; null: nothing between
    std::string name() const;  // "0000:01:00.0"
    // What an access of the host reaches at this place.
    PciFunction &reached() const { return door ? *door : *function; }
  };

  explicit Host(const HostOptions &options);
  ~Host();
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;

  // Every function, in bus order.
  const std::vector<Slot> &slots() const { return slots_; }
  PciFunction *find(int domain, int bus, int dev, int func) const;
  // What an access of the host reaches there (Slot::reached), or null.
  PciFunction *reach(int domain, int bus, int dev, int func) const;
  size_t board_count() const { return boards_.size(); }
  Board &board(size_t i) { return *boards_.at(i); }
  // Where the host placed board i: its bus (device 0, function 0, unless
  // the host has no bridges), and its name ("0000:01:00.0").
  int board_bus(size_t i) const { return placed_.at(i).bus; }
  std::string board_name(size_t i) const;
  // The bridges above board i, nearest first (none without bridges).
  const std::vector<Bridge *> &bridges_above(size_t i) const { return above_.at(i); }
  // Whether every link above board i is up.
  bool board_reachable(size_t i) const;

  // Advances every board; the earliest of their deadlines (none without boards).
  void advance(Board::Clock::time_point now);
  std::optional<Board::Clock::time_point> next_deadline() const;

 private:
  struct Placed {
    int bus, dev;
  };

  std::vector<std::unique_ptr<PciFunction>> owned_;
  std::vector<Board *> boards_;
  std::vector<Placed> placed_;
  std::vector<std::vector<Bridge *>> above_;
  std::vector<Slot> slots_;
};

}  // namespace sim
