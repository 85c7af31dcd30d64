// What the tests of the memory tools share: where the programs are, running
// them on a virtual host with one modeled card, and what that card's
// firmware leaves in SRAM.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware.h"
#include "program_run.h"

namespace tools_test {

using namespace program_run;

const std::string SIMHOST = SIMHOST_PATH, POKEMEM = POKEMEM_PATH, SRAMGRAB = SRAMGRAB_PATH, KMESG = KMESG_PATH,
                  KLOAD = KLOAD_PATH;

// `command` on a virtual host with one card described by the --nic items
// `items` (none: the default card).
inline Result on_card(const std::string &items, const std::vector<std::string> &command,
                      std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  std::vector<std::string> host = {"--nic", items.empty() ? "device=5e0a" : items};
  return in_host(SIMHOST, host, command, limit);
}

// A shell script on such a host, with the tools in $POKEMEM, $SRAMGRAB,
// $KMESG and $KLOAD and a scratch directory in $D.
inline Result script_on_card(const std::string &items, const std::string &script, const Scratch &dir) {
  return on_card(items, {"/usr/bin/env", "POKEMEM=" + POKEMEM, "SRAMGRAB=" + SRAMGRAB, "KMESG=" + KMESG,
                         "KLOAD=" + KLOAD, "D=" + dir.path(), "sh", "-c", script});
}

// What the card's firmware loads into SRAM at boot: byte `offset` of SRAM
// for the program and scratch areas, the identification strings and the
// scan images of the virtual host's first card, 0 where the firmware writes
// nothing.
inline uint8_t booted_sram_byte(uint32_t offset) {
  if (auto scan = sim::scan::booted_byte(sim::BoardOptions{}, offset)) return *scan;
  if (offset < sim::Firmware::PROGRAM_SIZE) return sim::Firmware::program_byte(offset);
  if (offset >= sim::Firmware::SCRATCH && offset < sim::Firmware::SCRATCH + sim::Firmware::SCRATCH_SIZE)
    return sim::Firmware::scratch_byte(offset - sim::Firmware::SCRATCH);
  if (offset - sim::Firmware::ID_STRINGS < sim::Firmware::ID_STRINGS_SIZE)
    return sim::Firmware::identification(sim::BoardOptions{})[offset - sim::Firmware::ID_STRINGS];
  return 0;
}

inline Bytes bytes_of(const std::string &s) { return Bytes(s.begin(), s.end()); }

}  // namespace tools_test
