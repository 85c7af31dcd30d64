// The items that describe a modeled board on a front end's command line
// (simhost's --nic, simcard's --card): a comma-separated list such as
// "device=5e0b,stuck=80002:00,save=after.bin".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "board_options.h"

namespace sim {

// A board as its items describe it, and its EEPROM files (empty: none).
struct BoardChoice {
  BoardOptions options;
  std::string load, save;
};

// The help lines for the items, one per item.
extern const char BOARD_ITEMS_HELP[];

// Takes the items into *out: "" when every item is good, else "ITEM: why"
// for the first that is not (and *out is left as it was).
std::string parse_board_items(std::string_view items, BoardChoice *out);

// A whole hexadecimal number (an optional 0x, then hex digits) up to `max`.
std::optional<uint32_t> parse_hex(std::string_view text, uint32_t max);
// A whole decimal number, or a hexadecimal one after 0x, up to `max`.
std::optional<uint32_t> parse_number(std::string_view text, uint32_t max);

}  // namespace sim
