// What the control program running on the board's processor does, emulated
// natively. Today there is one program, the stand-in control program, which
// every boot loads.
//
// Boot, at power-on and on every reset: the program is loaded into SRAM
// [0, PROGRAM_SIZE) (program_byte; word 0 is never 0), its scratch area,
// the 32 KiB at 0x1e0000, is filled with scratch_byte, the message-log
// header is written afresh and a line tells what was booted.
//
// Identification strings (BoardOptions::id_strings): every boot also writes
// the board's strings into the 256 bytes at 0x1dfe00, NUL-terminated, the
// list ended by an empty one, the rest 0: "SN=5C" and the board's index in
// five digits, "MAC=00:fa:dd:5c:00:" and the index in two hex digits, and
// "PC=" with the product code (none when the code is empty). Without
// id_strings those bytes are the host's: a tool under UBA_SIM writes its own.
//
// Message log (what kmesg reads): a header of six big-endian words at M
// (BoardOptions::log_header, 0x1de9e8 unless given):
//   M+0, M+4  time words: their sum is the model time in microseconds (word 0
//             the time of the boot, word 1 the time since), kept up on advance
//   M+8       magic 0x7072696e
//   M+12      w: bytes ever written into the ring, free-running (wraps at 2^32)
//   M+16      r: bytes the host has read; the firmware writes it only when it
//             writes the whole header at boot
//   M+20      P, the ring's address: M - 0x21e8 (0x1dc800 by default), below
//             the header and clear of the backup block (0x1dea00) and the
//             identification strings (0x1dfe00)
// Byte n of the stream lies at P + n mod 8192. A line's bytes go into the
// ring first, then w. The firmware touches the header and the ring only
// while the header holds the magic it wrote at boot: once a host has cleared
// the header it stays cleared, and lines are dropped, until the next reset.
// Lines tell what was booted, each reset and what became of the backup
// block, and with log_every a numbered line every so many milliseconds of
// model time ("ucp: tick K at T ms", K counting those periods since power-on).
// At power-on, log_magic gives the header another magic, and log_preset a
// ring that already holds `written` bytes of the preset stream
// (log_stream_byte) of which `read` were read, and no boot line; every later
// boot writes the valid header.
//
// SRAM backup block at 0x1dea00, four big-endian words: magic, length L,
// target S, second target S2. On a reset, before the boot overwrites
// anything:
//   'save' 0x73617665: SRAM [0, L) is copied to S and the scratch area to S2
//       (both as they were before the reset), the magic becomes 'done'
//       0x646f6e65, and a line tells it. A block whose copies would not fit
//       in SRAM is refused: nothing is copied or changed, a line tells it.
//   'savn' 0x7361766e (save, and ignore the next reset): this reset is let
//       pass: the magic becomes 'save', so that the reset after it saves; a
//       line tells it.
//   anything else: nothing.
//
// Programmed-I/O restart: the host stores 0 into SRAM word 0. Host stores to
// BAR0 are not trapped; the firmware looks at word 0 on every event instead.
// On a door's event (a configuration write, a debug request, a special
// register access, a BAR0 store the door saw) it restarts at once when it
// reads 0; on a tick only when two successive ticks have read 0. A restart
// is a reset: the backup block, then a boot. Configuration space is not reset.
//
// Resources published to the debug window's locate request: `located`.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "board_options.h"
#include "chip.h"
#include "event.h"

namespace sim {

// Byte n of the preset log stream: numbered lines of 32 bytes,
// "log line 0000002a of the preset\n" for bytes 0x540 to 0x55f.
uint8_t log_stream_byte(uint32_t n);

class Firmware {
 public:
  static constexpr uint32_t PROGRAM_SIZE = 0x10000;
  static constexpr uint32_t SCRATCH = 0x1e0000, SCRATCH_SIZE = 0x8000;
  static constexpr uint32_t LOG_HEADER = 0x1de9e8, LOG_HEADER_SIZE = 24, LOG_MAGIC = 0x7072696e;
  static constexpr uint32_t LOG_RING_SIZE = 8192, LOG_RING_BELOW_HEADER = 0x21e8;
  static constexpr uint32_t BACKUP_BLOCK = 0x1dea00;
  static constexpr uint32_t ID_STRINGS = 0x1dfe00, ID_STRINGS_SIZE = 256;
  static constexpr uint32_t BACKUP_SAVE = 0x73617665, BACKUP_SAVE_NEXT = 0x7361766e, BACKUP_DONE = 0x646f6e65;
  // How often a running firmware looks at SRAM word 0 when nothing happens.
  static constexpr uint64_t WATCH_PERIOD_US = 10000;

  // Throws std::invalid_argument when the log would not fit in SRAM.
  Firmware(const BoardOptions &options, Chip &chip);

  void power_on();
  void event(const Event &e);
  // Model time has reached `now_us`: a tick.
  void advance(uint64_t now_us);
  // When the firmware next needs a tick, in model time.
  uint64_t next_deadline_us() const;

  // Appends a line to the message log.
  __attribute__((format(printf, 2, 3))) void log(const char *fmt, ...);
  uint32_t log_header() const { return header_; }
  uint32_t log_ring() const { return header_ - LOG_RING_BELOW_HEADER; }
  unsigned resets() const { return resets_; }

  // What a boot loads: program byte `offset` and scratch byte `offset`.
  static uint8_t program_byte(uint32_t offset);
  static uint8_t scratch_byte(uint32_t offset);
  // The identification strings a boot writes for a board of these options
  // (when it has them).
  static std::array<uint8_t, ID_STRINGS_SIZE> identification(const BoardOptions &options);

  // id -> (address, length)
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> located;

 private:
  void reset(ResetReason why);
  void load_program();
  void write_identification();
  void write_log_header(uint32_t magic, uint32_t written, uint32_t read);
  bool log_live() const;
  void log_text(const char *text, size_t length);
  void keep_time();
  void produce_lines();
  // Returns what became of the backup block, as a log line (empty: nothing).
  std::string take_backup();
  void look_at_word0(bool door);

  uint32_t word(uint32_t address) const;
  void put_word(uint32_t address, uint32_t value);

  const BoardOptions &options_;
  Chip &chip_;
  uint32_t header_;
  uint32_t magic_ = LOG_MAGIC;  // what the header held when the firmware last wrote it
  uint32_t written_ = 0;        // w
  uint64_t now_us_ = 0, boot_us_ = 0, last_tick_us_ = 0;
  uint64_t next_line_ = 1;  // the number of the next producer line
  bool zero_seen_ = false;  // the last tick read 0 in word 0
  unsigned resets_ = 0;
};

}  // namespace sim
