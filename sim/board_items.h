// The items that describe a modeled board on a front end's command line
// (simhost's --nic, simcard's --card): a comma-separated list such as
// "device=5e0b,stuck=80002:00,save=after.bin".
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "board_options.h"
#include "error_bits.h"

namespace sim {

// A board as its items describe it, and its EEPROM files (empty: none).
struct BoardChoice {
  BoardOptions options;
  std::string load, save;
};

// One item of a comma-separated list: "key" or "key=value".
struct Item {
  std::string_view text, key, value;
  bool has_value;
  // Refuses the item: the list's parse ends with "ITEM: reason".
  [[noreturn]] void bad(const char *reason) const { throw Refused{std::string(text) + ": " + reason}; }
  void no_value() const {
    if (has_value) bad("takes no value");
  }
  struct Refused {
    std::string why;
  };
};

// Calls take(item) for each item of the list, in order: "" when every item
// is taken, else the first refusal's "ITEM: reason".
template <class Take>
std::string for_each_item(std::string_view items, Take &&take) {
  try {
    while (true) {
      size_t comma = items.find(',');
      std::string_view text = items.substr(0, comma);
      size_t eq = text.find('=');
      bool has_value = eq != std::string_view::npos;
      take(Item{text, text.substr(0, eq), has_value ? text.substr(eq + 1) : std::string_view{}, has_value});
      if (comma == std::string_view::npos) return "";
      items.remove_prefix(comma + 1);
    }
  } catch (const Item::Refused &refused) {
    return refused.why;
  }
}

// The help lines for the items, one per item.
extern const char BOARD_ITEMS_HELP[];

// Takes the items into *out: "" when every item is good, else "ITEM: why"
// for the first that is not (and *out is left as it was).
std::string parse_board_items(std::string_view items, BoardChoice *out);

// The items a NIC and a bridge share: "payload=MAX[:SET]" (bytes),
// "pcie-version=N" and the error bits "status", "devsta", "aer-uncorr",
// "aer-corr" (hex), and for a bridge also "sec-status", "aer-root",
// "aer-source". Nothing when `key` is none of them; else why its value is
// bad, or "" when it is good (and taken into the fields).
struct PcieFields {
  uint8_t *max_payload, *payload_set, *version;
  ErrorBits *errors;
  bool bridge;
};
std::optional<std::string> parse_pcie_item(std::string_view key, std::string_view value, const PcieFields &into);
// The help lines of the shared items, and of the bridge's own error items.
extern const char PCIE_ITEMS_HELP[];
extern const char BRIDGE_ERROR_ITEMS_HELP[];

// A whole hexadecimal number (an optional 0x, then hex digits) up to `max`.
std::optional<uint32_t> parse_hex(std::string_view text, uint32_t max);
// A whole decimal number, or a hexadecimal one after 0x, up to `max`.
std::optional<uint32_t> parse_number(std::string_view text, uint32_t max);

}  // namespace sim
