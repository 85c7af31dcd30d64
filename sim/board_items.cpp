// The items that describe a modeled board on a front end's command line.

#include "board_items.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace sim {

// The items a NIC shares with the bridges, in the help of both.
#define PCIE_HELP_LINES                                                                 \
  "  payload=MAX[:SET]   the largest payload supported and the one set, in bytes:\n"   \
  "                      powers of two from 128 to 4096 (default 512:128)\n"          \
  "  pcie-version=N      the PCI Express capability's version: 1 or 2 (default 2)\n"   \
  "  status=HEX          error bits set in the PCI status register (among f900)\n"     \
  "  devsta=HEX          error bits set in the PCI Express device status\n"            \
  "                      (among f)\n"                                                  \
  "  aer-uncorr=HEX      bits set in the AER uncorrectable error status\n"             \
  "                      (among 3ff031)\n"                                             \
  "  aer-corr=HEX        bits set in the AER correctable error status\n"               \
  "                      (among 31c1)\n"

const char PCIE_ITEMS_HELP[] = PCIE_HELP_LINES;

const char BRIDGE_ERROR_ITEMS_HELP[] =
    "  sec-status=HEX      error bits set in the secondary status register\n"
    "                      (among f900)\n"
    "  aer-root=HEX        bits set in the AER root error status (among 7f; root\n"
    "                      ports)\n"
    "  aer-source=HEX      the AER error source identification (root ports): the\n"
    "                      correctable requester in the low 16 bits, the\n"
    "                      uncorrectable one in the high 16\n";

const char BOARD_ITEMS_HELP[] =
    "  device=HEX          device id: 5e0a (the default), 5e0b or 4c3d\n"
    "  rev=N               revision, 0 to 255 (default 1)\n"
    "  vs=HEX              position of the vendor-specific registers: 80 to fc,\n"
    "                      a multiple of 4 (default 88)\n"
    "  vs-unlisted         the capability list does not link those registers\n"
    "  no-vs               the NIC has no vendor-specific registers\n"
    "  dead[=OFFSET]       configuration space reads all ones (from OFFSET on,\n"
    "                      hex; e.g. dead=40 leaves the header readable)\n"
    "  stuck=ADDR[:VALUE]  EEPROM byte ADDR keeps reading VALUE (hex; default 00)\n"
    "  erase-hangs         an EEPROM sector erase never ends\n"
    "  program-hangs[=ADDR]  programming an EEPROM byte (at ADDR, hex) never ends\n"
    "  no-bar2             the NIC has no BAR2 (its register reads 0)\n"
    "  reset-hangs         after a restart the NIC never answers again (its\n"
    "                      configuration space reads all ones)\n"
    "  reset-id=HEX        after a restart the NIC comes back with this device id\n"
    "  reset-keeps-config  a restart leaves configuration space as it was\n"
    "  log=W[:R]           the message log has had W bytes of the preset stream\n"
    "                      written and R read (default W); the ring holds the\n"
    "                      last 8192 of them (decimal, or hex after 0x)\n"
    "  log-magic=HEX       the message-log header holds this magic instead\n"
    "  log-at=HEX          the message-log header lies here, the ring 21e8 below\n"
    "                      it (default 1de9e8)\n"
    "  log-every=MS        the firmware logs a numbered line every MS ms\n"
    "  fc=P:NP:CPL         the flow-control credit limits of posted, non-posted\n"
    "                      and completion requests, as 32-bit words in hex\n"
    "                      (default 80200100:80200001:81004000)\n"
    PCIE_HELP_LINES
    "  eeprom=PATH         load the EEPROM content from PATH at start\n"
    "  save=PATH           save the EEPROM content to PATH when the run has\n"
    "                      ended, also when it failed or was killed\n"
    "  pc=CODE             the product code in the identification strings\n"
    "                      (default PNX-10G-XFP-R; empty: none)\n"
    "  no-xfp              the PHY's XFP cage is empty\n"
    "  xfp-not-ready       the XFP module never becomes ready\n"
    "  xfp-no-signal       the XFP module receives no signal\n"
    "  xfp-hangs[=CMD]     an XFP command of the PHY never ends: CMD is\n"
    "                      transfer or refresh (default both)\n"
    "  xfp-done-sticks[=CMD]  an XFP command's done status stays once read\n"
    "  xfp-fails[=CMD]     an XFP command fails, the module being good\n"
    "  xfp-bytes=ADDR:HEX  bytes of the XFP module's memory from ADDR (hex;\n"
    "                      80 and up: its identity table) as it powers on\n"
    "  mdio-bad-ta         the PHY drives a read's first turnaround bit low\n"
    "  loopback=M          the port's loopback in the write image at boot: bit k\n"
    "                      of M (0 to 15) is P0_RX_LBk (default 0; 15: all on)\n"
    "  signal-detect=0|1   LED's signal-detect bit (bit 2) is stuck at this value\n"
    "  scan-length=N       the locate request answers length N for the scan\n"
    "                      snapshot (resource 2; default 96)\n"
    "  scan-at=ADDR        the locate request answers address ADDR for the scan\n"
    "                      snapshot (which stays at 0x1dff40)\n"
    "  no-scan             no scan snapshot: resource 2 is not published\n"
    "  pcie-debug=B0:...:B7  the bytes PCIE_DEBUG_RD_DATA shows for PCIE_DEBUG\n"
    "                      0, 4, ..., 28 (decimal, or hex after 0x; default\n"
    "                      0x11:0xff:0x0f:0x80:0x01:0xf0:0x3c:0xa5)\n"
;

namespace {

constexpr size_t MAX_PRODUCT_CODE = 64;

// An item that cannot be taken, and why.

// The XFP commands an item names: transfer, refresh, or both when none.
std::optional<uint8_t> xfp_commands(std::string_view value, bool has_value) {
  if (!has_value) return BoardOptions::PHY_TRANSFER | BoardOptions::PHY_REFRESH;
  if (value == "transfer") return BoardOptions::PHY_TRANSFER;
  if (value == "refresh") return BoardOptions::PHY_REFRESH;
  return std::nullopt;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// A whole hexadecimal number (an optional 0x, then hex digits) up to `max`.
std::optional<uint32_t> parse_hex(std::string_view text, uint32_t max) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  if (text.empty() || text.size() > 8) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (hex_digit(c) < 0) return std::nullopt;
    v = v << 4 | hex_digit(c);
  }
  if (v > max) return std::nullopt;
  return static_cast<uint32_t>(v);
}

// A whole decimal number, or a hexadecimal one after 0x, up to `max`.
std::optional<uint32_t> parse_number(std::string_view text, uint32_t max) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return parse_hex(text, max);
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  if (v > max) return std::nullopt;
  return static_cast<uint32_t>(v);
}

std::optional<std::string> parse_pcie_item(std::string_view key, std::string_view value, const PcieFields &into) {
  if (key == "payload") {
    // A size in bytes as its encoding n, 128 << n.
    auto code = [](std::string_view text) -> std::optional<uint8_t> {
      auto bytes = parse_number(text, 4096);
      for (uint8_t n = 0; bytes && n <= 5; n++)
        if (*bytes == 128u << n) return n;
      return std::nullopt;
    };
    size_t colon = value.find(':');
    auto max = code(value.substr(0, colon));
    auto set = colon == std::string_view::npos ? std::optional<uint8_t>(0) : code(value.substr(colon + 1));
    if (!max || !set || *set > *max)
      return "expected payload=MAX[:SET], sizes in bytes that are powers of two from 128 to 4096, SET at most MAX";
    *into.max_payload = *max;
    *into.payload_set = *set;
    return "";
  }
  if (key == "pcie-version") {
    auto version = parse_number(value, 2);
    if (!version || *version == 0) return "the capability's version is 1 or 2";
    *into.version = static_cast<uint8_t>(*version);
    return "";
  }
  struct ErrorItem {
    const char *key;
    uint32_t bits;
    bool bridge_only;
    void (*take)(ErrorBits &, uint32_t);
  };
  static const ErrorItem error_items[] = {
      {"status", STATUS_ERROR_BITS, false, [](ErrorBits &e, uint32_t v) { e.status = (uint16_t)v; }},
      {"sec-status", STATUS_ERROR_BITS, true, [](ErrorBits &e, uint32_t v) { e.secondary_status = (uint16_t)v; }},
      {"devsta", DEVICE_STATUS_ERROR_BITS, false, [](ErrorBits &e, uint32_t v) { e.device_status = (uint16_t)v; }},
      {"aer-uncorr", AER_UNCORRECTABLE_BITS, false, [](ErrorBits &e, uint32_t v) { e.uncorrectable = v; }},
      {"aer-corr", AER_CORRECTABLE_BITS, false, [](ErrorBits &e, uint32_t v) { e.correctable = v; }},
      {"aer-root", AER_ROOT_STATUS_BITS, true, [](ErrorBits &e, uint32_t v) { e.root_status = v; }},
      {"aer-source", UINT32_MAX, true, [](ErrorBits &e, uint32_t v) { e.source = v; }},
  };
  for (const ErrorItem &item : error_items) {
    if (key != item.key || (item.bridge_only && !into.bridge)) continue;
    auto bits = parse_hex(value, UINT32_MAX);
    if (!bits || *bits & ~item.bits) {
      char why[80];
      snprintf(why, sizeof why, "expected bits in hex among %x", item.bits);
      return std::string(why);
    }
    item.take(*into.errors, *bits);
    return "";
  }
  return std::nullopt;
}

std::string parse_board_items(std::string_view items, BoardChoice *out) {
  BoardChoice nic;
  std::string why = for_each_item(items, [&](const Item &item) {
    const std::string_view key = item.key, value = item.value;
    const bool has_value = item.has_value;
    auto bad = [&](const char *reason) { item.bad(reason); };
    auto no_value = [&] { item.no_value(); };
    PcieFields pcie{&nic.options.max_payload_supported, &nic.options.payload_set, &nic.options.pcie_version,
                    &nic.options.errors, false};
    if (auto why = parse_pcie_item(key, value, pcie)) {
      if (!why->empty()) bad(why->c_str());
    } else if (key == "fc") {
      std::array<std::optional<uint32_t>, 3> words;
      std::string_view rest = value;
      for (size_t i = 0; i < 3; i++) {
        size_t colon = rest.find(':');
        if ((colon == std::string_view::npos) != (i == 2)) break;
        words[i] = parse_hex(rest.substr(0, colon), UINT32_MAX);
        rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
      }
      if (!words[0] || !words[1] || !words[2]) bad("expected fc=P:NP:CPL, three 32-bit words in hex");
      nic.options.flow_control = {*words[0], *words[1], *words[2]};
    } else if (key == "device") {
      auto id = parse_hex(value, 0xffff);
      if (!id || (*id != 0x5e0a && *id != 0x5e0b && *id != 0x4c3d)) bad("the device id is one of 5e0a, 5e0b, 4c3d");
      nic.options.device_id = static_cast<uint16_t>(*id);
    } else if (key == "rev") {
      auto rev = parse_number(value, 0xff);
      if (!rev) bad("the revision is a number from 0 to 255");
      nic.options.revision = static_cast<uint8_t>(*rev);
    } else if (key == "vs") {
      auto at = parse_hex(value, 0xff);
      if (!at || *at < 0x80 || *at > 0xfc || *at % 4) bad("the position is a multiple of 4 from 80 to fc (hex)");
      nic.options.vs_position = static_cast<uint8_t>(*at);
    } else if (key == "vs-unlisted") {
      no_value();
      nic.options.vs_listed = false;
    } else if (key == "no-vs") {
      no_value();
      nic.options.vs_present = false;
    } else if (key == "dead") {
      auto from = value.empty() ? std::optional<uint32_t>(0) : parse_hex(value, 0xfff);
      if (!from) bad("expected dead or dead=OFFSET, an offset in hex below 1000");
      nic.options.dead_from = *from;
    } else if (key == "erase-hangs") {
      no_value();
      nic.options.erase_hangs = true;
    } else if (key == "program-hangs") {
      nic.options.program_hangs = true;
      if (has_value) {
        auto at = parse_hex(value, 0xffffff);
        if (!at) bad("expected program-hangs or program-hangs=ADDR, a 24-bit address in hex");
        nic.options.program_hangs_at = *at;
      }
    } else if (key == "stuck") {
      size_t colon = value.find(':');
      auto address = parse_hex(value.substr(0, colon), 0xffffff);
      std::optional<uint32_t> stuck = 0;
      if (colon != std::string_view::npos) stuck = parse_hex(value.substr(colon + 1), 0xff);
      if (!address || !stuck) bad("expected ADDR[:VALUE], a 24-bit address and a byte in hex");
      nic.options.stuck_address = *address;
      nic.options.stuck_value = static_cast<uint8_t>(*stuck);
    } else if (key == "reset-hangs") {
      no_value();
      nic.options.reset_hangs = true;
    } else if (key == "reset-id") {
      auto id = parse_hex(value, 0xffff);
      if (!id) bad("expected reset-id=HEX, a device id in hex");
      nic.options.reset_device_id = static_cast<uint16_t>(*id);
    } else if (key == "reset-keeps-config") {
      no_value();
      nic.options.reset_keeps_config = true;
    } else if (key == "no-bar2") {
      no_value();
      nic.options.bar2_present = false;
    } else if (key == "log") {
      size_t colon = value.find(':');
      auto written = parse_number(value.substr(0, colon), UINT32_MAX);
      auto read = colon == std::string_view::npos ? written : parse_number(value.substr(colon + 1), UINT32_MAX);
      if (!written || !read) bad("expected log=W[:R], byte counts below 2^32 (decimal, or hex after 0x)");
      nic.options.log_preset = BoardOptions::LogPreset{*written, *read};
    } else if (key == "log-magic") {
      auto magic = parse_hex(value, UINT32_MAX);
      if (!magic) bad("expected log-magic=HEX, a 32-bit value in hex");
      nic.options.log_magic = *magic;
    } else if (key == "log-at") {
      auto at = parse_hex(value, UINT32_MAX);
      if (!at || *at % 4 || *at < 0x21e8 || *at > 0x1fffe8) bad("the header address is a multiple of 4 from 21e8 to 1fffe8 (hex)");
      nic.options.log_header = *at;
    } else if (key == "log-every") {
      auto ms = parse_number(value, 3600000);
      if (!ms || *ms == 0) bad("the period is a number of milliseconds from 1 to 3600000");
      nic.options.log_every = std::chrono::milliseconds(*ms);
    } else if (key == "pc") {
      if (!has_value || value.size() > MAX_PRODUCT_CODE) bad("expected pc=CODE, at most 64 characters");
      for (char c : value)
        if (c < 0x21 || c > 0x7e) bad("the product code is printable characters without spaces");
      nic.options.product_code = std::string(value);
    } else if (key == "no-xfp") {
      no_value();
      nic.options.xfp_present = false;
    } else if (key == "xfp-not-ready") {
      no_value();
      nic.options.xfp_ready = false;
    } else if (key == "xfp-no-signal") {
      no_value();
      nic.options.xfp_signal = false;
    } else if (key == "xfp-hangs" || key == "xfp-done-sticks" || key == "xfp-fails") {
      auto which = xfp_commands(value, has_value);
      if (!which) bad("the command is transfer or refresh");
      (key == "xfp-hangs"         ? nic.options.xfp_hangs
       : key == "xfp-done-sticks" ? nic.options.xfp_done_sticks
                                  : nic.options.xfp_fails) |= *which;
    } else if (key == "xfp-bytes") {
      size_t colon = value.find(':');
      auto at = colon == std::string_view::npos ? std::nullopt : parse_hex(value.substr(0, colon), 0xff);
      std::string_view hex = colon == std::string_view::npos ? std::string_view{} : value.substr(colon + 1);
      BoardOptions::XfpBytes run{static_cast<uint8_t>(at.value_or(0)), {}};
      for (size_t i = 0; at && i + 1 < hex.size(); i += 2)
        if (auto b = parse_hex(hex.substr(i, 2), 0xff)) run.bytes.push_back(static_cast<uint8_t>(*b));
      if (!at || hex.empty() || hex.size() % 2 || run.bytes.size() != hex.size() / 2 ||
          *at + run.bytes.size() > 0x100)
        bad("expected xfp-bytes=ADDR:HEX, an address and whole bytes in hex within the module's 256");
      nic.options.xfp_bytes.push_back(std::move(run));
    } else if (key == "mdio-bad-ta") {
      no_value();
      nic.options.mdio_bad_turnaround = true;
    } else if (key == "loopback") {
      auto m = parse_number(value, 15);
      if (!m) bad("expected loopback=M, a number from 0 to 15 (bit k: P0_RX_LBk)");
      nic.options.loopback = static_cast<uint8_t>(*m);
    } else if (key == "signal-detect") {
      if (value != "0" && value != "1") bad("expected signal-detect=0 or signal-detect=1");
      nic.options.signal_detect = value == "1";
    } else if (key == "scan-length") {
      auto length = parse_number(value, UINT32_MAX);
      if (!length) bad("expected scan-length=N, a length below 2^32 (decimal, or hex after 0x)");
      nic.options.scan_length = *length;
    } else if (key == "scan-at") {
      auto address = parse_number(value, UINT32_MAX);
      if (!address) bad("expected scan-at=ADDR, an address below 2^32 (decimal, or hex after 0x)");
      nic.options.scan_address = *address;
    } else if (key == "no-scan") {
      no_value();
      nic.options.scan_snapshot = false;
    } else if (key == "pcie-debug") {
      std::array<uint8_t, 8> bytes{};
      std::string_view rest = value;
      for (size_t i = 0; i < bytes.size(); i++) {
        size_t colon = rest.find(':');
        std::optional<uint32_t> b;
        if ((colon == std::string_view::npos) == (i == bytes.size() - 1)) b = parse_number(rest.substr(0, colon), 0xff);
        if (!b) bad("expected pcie-debug=B0:B1:B2:B3:B4:B5:B6:B7, eight bytes (decimal, or hex after 0x)");
        bytes[i] = static_cast<uint8_t>(*b);
        rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
      }
      nic.options.pcie_debug = bytes;
    } else if (key == "eeprom" || key == "save") {
      if (value.empty()) bad("a file name is needed");
      (key == "eeprom" ? nic.load : nic.save) = std::string(value);
    } else {
      bad("unknown item");
    }
  });
  if (why.empty()) *out = nic;
  return why;
}


}  // namespace sim
