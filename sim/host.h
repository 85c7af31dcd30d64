// A modeled host: a host bridge, one PCI Express root port per modeled
// board with the board on its secondary bus, and a device of another vendor.
// A root port's link disable (Link Control bit 4) takes its board's link
// down, and clearing it brings the link back, restarting the board
// (Board::link_down, Board::link_up).
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "pci_function.h"

namespace sim {

struct HostOptions {
  std::vector<BoardOptions> boards = {BoardOptions{}};
  bool other_device = true;
};

class Host {
 public:
  struct Slot {
    int domain, bus, dev, func;
    PciFunction *function;
    std::string name() const;  // "0000:01:00.0"
  };

  explicit Host(const HostOptions &options);
  ~Host();
  Host(const Host &) = delete;
  Host &operator=(const Host &) = delete;

  // Every function, in bus order.
  const std::vector<Slot> &slots() const { return slots_; }
  PciFunction *find(int domain, int bus, int dev, int func) const;
  size_t board_count() const { return boards_.size(); }
  Board &board(size_t i) { return *boards_.at(i); }
  // Where the host placed board i: its bus (device 0, function 0).
  int board_bus(size_t i) const { return static_cast<int>(i) + 1; }

  // Advances every board; the earliest of their deadlines (none without boards).
  void advance(Board::Clock::time_point now);
  std::optional<Board::Clock::time_point> next_deadline() const;

 private:
  std::vector<std::unique_ptr<PciFunction>> owned_;
  std::vector<Board *> boards_;
  std::vector<Slot> slots_;
};

}  // namespace sim
