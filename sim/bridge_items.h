// The items that describe the modeled host's bridges on simhost's command
// line (--root-port, --switch-up, --switch-down): a comma-separated list
// such as "id=8086:25e3,aer-uncorr=20,chipset-errors=1:0:0:0".
#pragma once

#include <string>
#include <string_view>

#include "bridge.h"

namespace sim {

// The help lines for the items, one per item.
extern const char BRIDGE_ITEMS_HELP[];

// Takes the items into *out: "" when every item is good, else "ITEM: why"
// for the first that is not (and *out is left as it was). Whether the
// options suit the bridge they are for is the model's to say (Bridge's
// constructor).
std::string parse_bridge_items(std::string_view items, BridgeOptions *out);

}  // namespace sim
