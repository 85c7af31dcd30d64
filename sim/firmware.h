// What the control program running on the board's processor does, emulated
// natively: the boot code that runs first after every reset (it chooses and
// loads the program), and the program it runs, which behaves as the
// stand-in control program whatever it was loaded from (the version it
// carries is told in the log).
//
// Boot, at power-on and on every reset (board.h), in this order:
//   1. on a reset, the SRAM backup block (below);
//   2. the program: on a reset (not at power-on: SRAM holds nothing then),
//      the one in SRAM when the hard-switch header at 0x140000 is there:
//      words magic 0x6c6f6165, length L, CRC-32 C (big-endian, as every word
//      here) of the L bytes at 0x14000c, the image, which must fit in SRAM.
//      C is taken in either variant: the CRC-32/BZIP2 (polynomial
//      0x04c11db7, most significant bit first, from all ones, complemented)
//      as the word, or the reflected CRC-32 of zlib stored little-endian
//      (the word is its bytes reversed). The image, an SRAM image built for
//      address 0, is copied to 0 and run; the header stays, so every reset
//      runs it again until a host clears the header. A header with the magic
//      that does not hold is refused, with a line. Otherwise the image in
//      the EEPROM's second control-program area (header word 20), framed as
//      the updater writes it, [N][S bytes of SRAM image][R][ROM][S][CRC-32
//      of the N bytes after N], is loaded at 0 when its lengths fit and its
//      CRC-32/BZIP2 holds. Otherwise the first area's program, the stand-in
//      control program: SRAM [0, PROGRAM_SIZE) from program_byte (word 0 is
//      never 0);
//   3. the boot code's scratch area, the 32 KiB at 0x1e0000, is filled with
//      scratch_byte;
//   4. the message-log header is written afresh, and lines tell the reset,
//      the backup, and what was booted: for the stand-in program "ucp:
//      stand-in control program booted, 0x10000 bytes at 0x0"; for a loaded
//      one, where it came from, then its version (the word at image offset
//      60 locates the version header, whose string starts 4 bytes into it)
//      and its copy-block table (the header's word at +160, when its size
//      word is at least 161, locates it: pages wanted, then the valid word
//      the loader sets).
// At power-on, the log options below apply instead of step 4.
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
// block, a soft handoff, and with log_every a numbered line every so many
// milliseconds of model time ("ucp: tick K at T ms", K counting those
// periods since power-on).
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
// What the host stores into BAR0 is not trapped: the running program looks
// at two places on every event instead. On a door's event (a configuration
// write, a debug request, a special register access, a BAR0 store the door
// saw) it acts at once on what it reads; on a tick only when two successive
// ticks have read the same (a host may be halfway through its stores; the
// loader writes the handoff block's magic before the rest).
//   Programmed-I/O restart: SRAM word 0 reads 0, after it was seen non-zero
//       since the boot (a program whose own word 0 is 0 is not restarted by
//       it). The program asks the board for a restart (take_restart_request):
//       a reset of the whole card (board.h).
//   Soft handoff: the 64-byte block at BAR0 offset 0xfc0000 (beyond SRAM)
//       holds words 0xffffffff, 0xffffffff, magic 0x6b636168, address A,
//       length L, skip K, skip K. The program hands over to the new one:
//       SRAM [A, A + L) is copied to [K, K + L) (the new program built for
//       address 0, without its first K bytes), the block is cleared and
//       lines tell it, the version and the copy-block table; the log goes
//       on. Configuration space is untouched. A block whose copy would not
//       fit in SRAM, or whose two skips differ, is cleared with a line.
//
// The earlier generations (nic.h) have no programmed-I/O or link restart of
// their own worth modeling: their host holds the processor and starts it
// through the control word (board.h): hold() stops the program (it no longer
// looks at anything), start_from_sram() runs what SRAM holds from 0 with a
// fresh log and lines telling the control writes and the version.
//
// Scan chains (scan_chains.h: the layouts, the images' places and what the
// chains hold). Every boot, at power-on and on each reset, after the
// program is loaded:
//   - writes the write image (53 bytes at 0x1dffc7) of the power-on write
//     chain (scan::power_on_write_values: the board's device id, payload and
//     MAC address, BoardOptions::loopback in P0_RX_LB0..3) and applies it;
//   - publishes the snapshot as resource 2 of the locate request, (0x1dff40,
//     96), with BoardOptions::scan_address and scan_length in their places
//     when they are given (the snapshot itself stays at 0x1dff40), and
//     writes the snapshot afresh, its refresh count 0. Without the snapshot
//     (BoardOptions::scan_snapshot false) resource 2 is not published (the
//     locate request answers 0, 0) and no snapshot is ever written.
// Applying the image: the 53 bytes in SRAM are decoded and loaded as the
// write chain the chip runs with (Chip::load_write_chain, which also sets
// LED's signal-detect bit to its P0_RX_LB0 unless the bit is stuck,
// BoardOptions::signal_detect). The program applies the image when the host writes the
// configuration command register (a write covering offset 4; the host reads
// the register and writes it back), and at no other time: stores into the
// image alone change nothing.
// The snapshot: 96 bytes at 0x1dff40, a header of four big-endian words
// ('scan' 0x7363616e, the refreshes since the boot, 216 << 16 | 420,
// 0x1dffc7), then the 80 bytes of the read chain followed by the applied
// write chain (scan::snapshot). The read chain is a function of the board's
// options and the applied write chain (scan::read_values), no counter runs
// free: the port is up when its four lanes receive (by loopback or the XFP
// module's signal), PCIE_DEBUG_RD_DATA is byte PCIE_DEBUG >> 2 of
// BoardOptions::pcie_debug. It is refreshed (its count advanced, its
// content taken from the applied chain) on every locate request of resource
// 2 and every snapshot request (debug mode 9, wherever the request asked
// for it), before the host's next access.
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
#include "eeprom.h"
#include "event.h"
#include "scan_chains.h"

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
  static constexpr uint32_t HARD_SWITCH = 0x140000, HARD_SWITCH_IMAGE = 0x14000c, HARD_SWITCH_MAGIC = 0x6c6f6165;
  static constexpr uint32_t HANDOFF = 0xfc0000, HANDOFF_SIZE = 64, HANDOFF_MAGIC = 0x6b636168;  // in BAR0
  static constexpr uint32_t VERSION_WORD = 60, VERSION_STRING_MAX = 132, COPY_BLOCK_WORD = 160;
  // How often a running firmware looks at SRAM word 0 when nothing happens.
  static constexpr uint64_t WATCH_PERIOD_US = 10000;

  // Throws std::invalid_argument when the log would not fit in SRAM.
  Firmware(const BoardOptions &options, Chip &chip, const Eeprom &eeprom);

  // Boots as at power-on (again, when the EEPROM has been loaded since).
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
  unsigned handoffs() const { return handoffs_; }
  // The write chain the chip runs with, as last applied; the snapshot's
  // refreshes since the boot.
  uint32_t snapshot_refreshes() const { return snapshot_refreshes_; }

  // A restart the program asked for since the last call (the programmed-I/O
  // restart), which the board carries out.
  std::optional<ResetReason> take_restart_request();
  // The earlier generations' control word: the processor is held, or
  // started on what SRAM holds; `writes` tells the control writes.
  void hold();
  void start_from_sram(const std::string &writes);
  bool running() const { return running_; }

  // What the last boot or handoff ran.
  struct Program {
    enum class Source : uint8_t { StandIn, SecondArea, HardSwitch, Handoff, Sram } source = Source::StandIn;
    uint32_t length = 0;   // bytes loaded (0: the stand-in's PROGRAM_SIZE, or unknown)
    std::string version;   // empty: no version header
    std::optional<uint32_t> copy_block_valid;  // the table's valid word, when the program has a table
  };
  const Program &program() const { return program_; }

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
  // Chooses and loads the program (step 2 of the boot); the lines to log.
  std::string boot_program(bool from_sram);
  bool boot_hard_switch(std::string &lines);
  bool boot_second_area(std::string &lines);
  // Lines telling the version and copy-block table of the program of
  // `length` bytes at SRAM 0, recorded in program_.
  std::string describe_program(Program::Source source, uint32_t length);
  void load_program();
  void fill_scratch();
  void write_identification();
  void boot_scan();
  void apply_write_image();
  void write_snapshot();
  void write_log_header(uint32_t magic, uint32_t written, uint32_t read);
  bool log_live() const;
  void log_text(const char *text, size_t length);
  void keep_time();
  void produce_lines();
  // Returns what became of the backup block, as a log line (empty: nothing).
  std::string take_backup();
  void look_at_word0(bool door);
  void look_at_handoff(bool door);
  void log_lines(const std::string &lines);

  uint32_t word(uint32_t address) const;
  void put_word(uint32_t address, uint32_t value);

  const BoardOptions &options_;
  Chip &chip_;
  const Eeprom &eeprom_;
  uint32_t header_;
  uint32_t magic_ = LOG_MAGIC;  // what the header held when the firmware last wrote it
  uint32_t written_ = 0;        // w
  uint64_t now_us_ = 0, boot_us_ = 0, last_tick_us_ = 0;
  uint64_t next_line_ = 1;  // the number of the next producer line
  bool zero_seen_ = false;  // the last tick read 0 in word 0
  bool word0_armed_ = false;  // word 0 was seen non-zero since the boot
  std::optional<std::array<uint32_t, HANDOFF_SIZE / 4>> handoff_seen_;  // the block the last tick read
  std::optional<ResetReason> restart_request_;
  bool running_ = true;
  Program program_;
  unsigned resets_ = 0, handoffs_ = 0;
  uint32_t snapshot_refreshes_ = 0;
};

}  // namespace sim
