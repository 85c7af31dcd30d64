// What happens to a board that its firmware may react to. The parts of the
// board that see an access (configuration space, the processor's address
// space, a door that sees a BAR0 store) report it to the board, which hands
// it to the firmware once the access is complete.
#pragma once

#include <cstdint>

namespace sim {

// Why a board restarts.
enum class ResetReason : uint8_t {
  Board,         // the board was reset as a whole from outside (Board::reset)
  ProgrammedIo,  // the host stored 0 into SRAM word 0
  Watchdog,      // the host wrote interrupt timer 3, which fired as a watchdog
  Link,          // the link to the upstream port came back after it was down
};

struct Event {
  enum class Kind : uint8_t {
    ConfigWritten,   // address: configuration offset
    DebugRequest,    // a debug-window request ran; address: the processor address
                     // (for a locate, the resource id); debug_mode: its mode
    SpecialRead,     // address: the special register's processor address
    SpecialWritten,  // the same
    Bar0Written,     // a store into BAR0 that the door saw; address: BAR0 offset
    Reset,           // reason says why
    Tick,            // model time has moved on
  };
  Kind kind;
  uint32_t address = 0;
  int width = 0;
  ResetReason reason = ResetReason::Board;
  uint8_t debug_mode = 0;  // VS_DBG_MODE of a DebugRequest (nic.h)
  static constexpr uint8_t DEBUG_LOCATE = 8, DEBUG_SNAPSHOT = 9;
};

class EventSink {
 public:
  virtual void event(const Event &e) = 0;

 protected:
  ~EventSink() = default;
};

}  // namespace sim
