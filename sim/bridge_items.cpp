// The items that describe the modeled host's bridges on simhost's command line.

#include "bridge_items.h"

#include <array>
#include <optional>

#include "board_items.h"

namespace sim {

// The bridge's own items; those it shares with the NIC are in PCIE_ITEMS_HELP.
const char BRIDGE_ITEMS_HELP[] =
    "  id=VVVV:DDDD        vendor and device id in hex (root ports 8086:1901, switch\n"
    "                      ports 10b5:8624 unless given). Intel 25e2-25e7 and\n"
    "                      25f7-25fa have the E5000 error registers at 148-160;\n"
    "                      Intel 3595-359a a host-settable bit 11 of the word at 144\n"
    "  no-pcie             a conventional PCI bridge: no PCI Express capability,\n"
    "                      no AER, 256 bytes of configuration space\n"
    "  no-aer              no AER capability\n"
    "  hidden-aer          the AER registers lie where the chipset keeps them, not\n"
    "                      listed: at 1c0 on Intel 2779, 277a, 277d, at 160 on an\n"
    "                      NVIDIA (10de) bridge\n"
    "  short-config        the host reaches only the first 256 bytes of its\n"
    "                      configuration space (no extended configuration access)\n"
    "  chipset-errors=FF:FN:NF:NN  bits set in the E5000 first fatal, first\n"
    "                      non-fatal or correctable, next fatal and next non-fatal\n"
    "                      or correctable error registers (154, 158, 15c, 160; hex)\n";

namespace {


}  // namespace

std::string parse_bridge_items(std::string_view items, BridgeOptions *out) {
  BridgeOptions bridge = *out;
  std::string why = for_each_item(items, [&](const Item &item) {
    const std::string_view key = item.key, value = item.value;
    auto bad = [&](const char *reason) { item.bad(reason); };
    auto no_value = [&] { item.no_value(); };
    PcieFields pcie{&bridge.max_payload_supported, &bridge.payload_set, &bridge.pcie_version, &bridge.errors, true};
    if (auto why = parse_pcie_item(key, value, pcie)) {
      if (!why->empty()) bad(why->c_str());
    } else if (key == "id") {
      size_t colon = value.find(':');
      auto vendor = parse_hex(value.substr(0, colon), 0xffff);
      auto device = colon == std::string_view::npos ? std::nullopt : parse_hex(value.substr(colon + 1), 0xffff);
      if (!vendor || !device || *vendor == 0 || *vendor == 0xffff)
        bad("expected id=VVVV:DDDD, a vendor (neither 0 nor ffff) and a device id in hex");
      bridge.vendor_id = static_cast<uint16_t>(*vendor);
      bridge.device_id = static_cast<uint16_t>(*device);
    } else if (key == "no-pcie") {
      no_value();
      bridge.pcie = false;
    } else if (key == "no-aer") {
      no_value();
      bridge.aer = BridgeOptions::Aer::None;
    } else if (key == "hidden-aer") {
      no_value();
      bridge.aer = BridgeOptions::Aer::Hidden;
    } else if (key == "short-config") {
      no_value();
      bridge.extended_config = false;
    } else if (key == "chipset-errors") {
      std::array<uint32_t, 4> words{};
      std::string_view rest = value;
      bool good = true;
      for (size_t i = 0; i < 4 && good; i++) {
        size_t colon = rest.find(':');
        good = (colon == std::string_view::npos) == (i == 3);
        auto word = good ? parse_hex(rest.substr(0, colon), UINT32_MAX) : std::nullopt;
        good = good && word;
        if (good) words[i] = *word;
        rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
      }
      if (!good) bad("expected chipset-errors=FF:FN:NF:NN, four 32-bit words in hex");
      bridge.chipset_errors = words;
    } else {
      bad("unknown item");
    }
  });
  if (why.empty()) *out = bridge;
  return why;
}

}  // namespace sim
