// The host's physical memory as a program of the modeled host reads and
// writes it (the physical-memory file), and configuration transfers split
// into register accesses.

#include "physical_memory.h"

#include <algorithm>
#include <cstring>

#include "host.h"

namespace sim {

namespace {

// Calls access(offset, width) for each register access of a configuration
// file transfer.
template <typename Access>
void split(unsigned offset, size_t count, Access access) {
  if ((offset & 1) && count) access(offset, 1), offset += 1, count -= 1;
  if ((offset & 3) && count > 2) access(offset, 2), offset += 2, count -= 2;
  while (count > 3) access(offset, 4), offset += 4, count -= 4;
  if (count >= 2) access(offset, 2), offset += 2, count -= 2;
  if (count) access(offset, 1);
}

}  // namespace

void config_file_read(PciFunction &f, unsigned offset, uint8_t *out, size_t count) {
  const unsigned start = offset;
  split(offset, count, [&](unsigned at, int width) {
    uint32_t v = f.config_read(at, width);
    for (int i = 0; i < width; i++) out[at - start + i] = v >> 8 * i;
  });
}

void config_file_write(PciFunction &f, unsigned offset, const uint8_t *in, size_t count) {
  const unsigned start = offset;
  split(offset, count, [&](unsigned at, int width) {
    uint32_t v = 0;
    for (int i = 0; i < width; i++) v |= (uint32_t)in[at - start + i] << 8 * i;
    f.config_write(at, v, width);
  });
}

namespace {

// The BAR memory that holds [address, address + count) whole, or null;
// `board` (number `which`) and `bar` tell whose.
uint8_t *bar_memory(Host &host, uint64_t address, size_t count, Board **board, size_t *which, int *bar) {
  for (size_t b = 0; b < host.board_count(); b++) {
    auto resources = host.board(b).resources();
    for (int i = 0; i < 6; i++) {
      const PciFunction::Resource &r = resources[i];
      if (!r.memory || address < r.start || address > r.end || count > r.end - address + 1) continue;
      *board = &host.board(b);
      *which = b;
      *bar = i;
      return r.memory->data() + (address - r.start);
    }
  }
  return nullptr;
}

bool in_ecam(uint64_t address, size_t count) {
  return address >= ECAM_BASE && count <= ECAM_SIZE && address - ECAM_BASE <= ECAM_SIZE - count;
}

// Calls access(function, register, offset in the range, length) for each
// function's part of a range of the configuration window that the function
// answers.
template <typename Access>
void each_function(Host &host, uint64_t address, size_t count, Access access) {
  constexpr unsigned FUNCTION_SPACE = 0x1000;
  for (size_t done = 0; done < count;) {
    uint64_t at = address + done - ECAM_BASE;
    unsigned reg = at % FUNCTION_SPACE;
    size_t length = std::min<size_t>(count - done, FUNCTION_SPACE - reg);
    PciFunction *f = host.reach(0, at >> 20 & 0xff, at >> 15 & 0x1f, at >> 12 & 7);
    if (f && reg < f->config_size()) access(*f, reg, done, std::min<size_t>(length, f->config_size() - reg));
    done += length;
  }
}

}  // namespace

bool memory_file_read(Host &host, uint64_t address, uint8_t *out, size_t count) {
  if (count == 0) return true;  // as for any file
  Board *board;
  size_t which;
  int bar;
  if (const uint8_t *memory = bar_memory(host, address, count, &board, &which, &bar)) {
    // Behind a link that is down nothing answers.
    if (host.board_reachable(which))
      std::memcpy(out, memory, count);
    else
      std::memset(out, 0xff, count);
    return true;
  }
  if (!in_ecam(address, count)) return false;
  std::memset(out, 0xff, count);
  each_function(host, address, count, [&](PciFunction &f, unsigned reg, size_t offset, size_t length) {
    config_file_read(f, reg, out + offset, length);
  });
  return true;
}

bool memory_file_write(Host &host, uint64_t address, const uint8_t *in, size_t count) {
  if (count == 0) return true;  // as for any file
  Board *board;
  size_t which;
  int bar;
  if (uint8_t *memory = bar_memory(host, address, count, &board, &which, &bar)) {
    if (!host.board_reachable(which)) return true;  // lost behind a link that is down
    std::memcpy(memory, in, count);
    if (bar == 0) board->bar0_written(static_cast<uint32_t>(address - board->resources()[0].start), count);
    return true;
  }
  if (!in_ecam(address, count)) return false;
  each_function(host, address, count, [&](PciFunction &f, unsigned reg, size_t offset, size_t length) {
    config_file_write(f, reg, in + offset, length);
  });
  return true;
}

}  // namespace sim
