// The board's processor, as the host reaches it: its address space and the
// memory of the board's BARs.
//
// Processor address space (values big-endian: the byte at the lowest
// address is the most significant):
//   0x00000000..0x001fffff  SRAM, which is BAR0 from offset 0 (BAR0 is 16 MiB;
//                           the processor does not reach the rest of it)
//   0xfffffe00..0xffffffff  the special registers (register_block.h); the flow-control
//                           credit limits hold BoardOptions::flow_control, and
//                           LED's signal-detect bit is stuck by
//                           BoardOptions::signal_detect when it is given
//   anywhere else           reads 0, writes are ignored
// The chip runs with the write chain last loaded (load_write_chain; the
// firmware loads it from its image, firmware.h). Loading it sets LED's
// signal-detect bit to the port's loopback, P0_RX_LB0: a port looped on
// itself detects its own signal.
// An access that does not lie wholly in one region is done byte by byte.
// Accesses of special registers are reported to the board as events.
//
// BAR2 (1 MiB) mirrors the special registers at offset 0xffe00, so the ISR
// is at BAR2 + 0xffff8. BAR2 is plain shared memory the host maps, whose
// loads and stores the model never sees, so the block is published there:
// on every advance, the bytes of BAR2 [0xffe00, 0x100000) that differ from
// the copy published last are taken as host writes and applied as register
// writes (each changed byte through the narrowest register that holds it,
// written whole at its width with the bytes BAR2 holds; a byte of no
// register as a plain byte), then the block is published again. This is
// eventual by nature: a host store takes effect, and a register's new value
// shows in BAR2, only at the next advance (before the next access a door
// serves, or on the loop's timer). What must act at the moment of the
// host's store cannot be modeled through the mirror. Without BAR2 nothing is
// published.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "board_options.h"
#include "event.h"
#include "shared_memory.h"
#include "register_block.h"
#include "scan_chains.h"

namespace sim {

class Chip {
 public:
  static constexpr uint32_t SRAM_SIZE = 0x200000;
  static constexpr uint32_t BAR0_SIZE = 0x1000000, BAR2_SIZE = 0x100000;
  static constexpr uint32_t BAR2_SPECIALS = 0xffe00;  // where BAR2 mirrors the special registers

  Chip(const BoardOptions &options, EventSink &events);

  uint32_t read(uint32_t address, int width);
  void write(uint32_t address, uint32_t value, int width);

  uint8_t *sram() { return bar0_->data(); }
  SharedMemory &bar0() { return *bar0_; }
  const SharedMemory &bar0() const { return *bar0_; }
  SharedMemory *bar2() { return bar2_.get(); }  // null when the board has no BAR2
  const SharedMemory *bar2() const { return bar2_.get(); }
  RegisterBlock &register_block() { return register_block_; }

  const scan::WriteValues &write_chain() const { return write_chain_; }
  void load_write_chain(const scan::WriteValues &values);

  // Model time has reached `now_us`: the mirror takes the host's writes and
  // is published again.
  void advance(uint64_t now_us);

 private:
  void take_host_writes();
  void publish();

  EventSink &events_;
  std::unique_ptr<SharedMemory> bar0_, bar2_;
  RegisterBlock register_block_;
  std::array<uint8_t, RegisterBlock::SIZE> published_{};
  scan::WriteValues write_chain_{};
};

}  // namespace sim
