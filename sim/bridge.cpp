#include "bridge.h"

#include <stdexcept>
#include <string>

#include "board.h"

namespace sim {

void reset_after_link_back(Board &board) { board.reset(ResetReason::Link); }

namespace {

constexpr unsigned COMMAND = 0x04, STATUS = 0x06, SECONDARY_STATUS = 0x1e, BRIDGE_CONTROL = 0x3e;
// Offsets in the PCI Express capability.
constexpr unsigned CAPS = 0x02, DEVCAP = 0x04, DEVCTL = 0x08, DEVSTA = 0x0a, LINKCAP = 0x0c, LINKCTL = 0x10,
                   LINKSTA = 0x12, SLOTCAP = 0x14, SLOTCTL = 0x18, SLOTSTA = 0x1a, ROOTCTL = 0x1c, ROOTSTA = 0x20,
                   DEVCAP2 = 0x24, DEVCTL2 = 0x28, LINKCAP2 = 0x2c, LINKCTL2 = 0x30;
constexpr uint16_t LINK_DISABLE = 0x0010, LINK_ACTIVE = 0x2000, LINK_STATE_CHANGED = 0x0100;
// The E5000 chipset's error registers.
constexpr unsigned E5000_UNCORR_MASK = 0x148, E5000_CORR_MASK = 0x14c, E5000_MSG_MASK = 0x150, E5000_ERRORS = 0x154;
constexpr uint32_t E5000_FATAL_BITS = 0x00001fff, E5000_NONFATAL_BITS = 0x0003ffff;

const char *kind_name(Bridge::Kind kind) {
  switch (kind) {
    case Bridge::Kind::RootPort: return "a root port";
    case Bridge::Kind::SwitchUpstream: return "an upstream switch port";
    default: return "a downstream switch port";
  }
}

[[noreturn]] void refuse(Bridge::Kind kind, const std::string &why) {
  throw std::invalid_argument(std::string(kind_name(kind)) + ": " + why);
}

}  // namespace

bool Bridge::is_e5000(uint16_t vendor, uint16_t device) {
  return vendor == 0x8086 && ((device >= 0x25e2 && device <= 0x25e7) || (device >= 0x25f7 && device <= 0x25fa));
}

unsigned Bridge::hidden_aer_position(uint16_t vendor, uint16_t device) {
  if (vendor == 0x10de) return 0x160;
  if (vendor == 0x8086 && (device == 0x2779 || device == 0x277a || device == 0x277d)) return 0x1c0;
  return 0;
}

Bridge::Bridge(Kind kind, const BridgeOptions &options, const Placement &where)
    : kind_(kind),
      options_(options),
      config_size_(options.pcie && options.extended_config ? 4096 : 256),
      cfg_(options.pcie ? 4096 : 256),
      started_(0) {
  if (!options_.vendor_id && !options_.device_id) {
    bool root = kind == Kind::RootPort;
    options_.vendor_id = root ? 0x8086 : 0x10b5;
    options_.device_id = root ? 0x1901 : 0x8624;
  }
  const ErrorBits &e = options_.errors;
  if (options_.pcie_version != 1 && options_.pcie_version != 2) refuse(kind, "the capability's version is 1 or 2");
  if (options_.max_payload_supported > 5 || options_.payload_set > options_.max_payload_supported)
    refuse(kind, "the payload set is at most the supported one, at most 4096 bytes");
  if ((e.status | e.secondary_status) & ~STATUS_ERROR_BITS || e.device_status & ~DEVICE_STATUS_ERROR_BITS ||
      e.uncorrectable & ~AER_UNCORRECTABLE_BITS || e.correctable & ~AER_CORRECTABLE_BITS ||
      e.root_status & ~AER_ROOT_STATUS_BITS)
    refuse(kind, "error bits outside their registers' error bits");
  if (kind != Kind::RootPort && (e.root_status || e.source))
    refuse(kind, "only a root port has the AER root error status and source");
  if (!options_.pcie && (e.device_status || e.uncorrectable || e.correctable || e.root_status || e.source))
    refuse(kind, "without the PCI Express capability it has no device status and no AER");
  if (options_.pcie && options_.aer == BridgeOptions::Aer::None && (e.uncorrectable || e.correctable || e.root_status || e.source))
    refuse(kind, "without AER it has no AER status");
  if (options_.aer == BridgeOptions::Aer::Hidden && !hidden_aer_position(options_.vendor_id, options_.device_id))
    refuse(kind, "only Intel 2779, 277a, 277d and NVIDIA (10de) bridges hide their AER capability");
  if (options_.chipset_errors && !is_e5000(options_.vendor_id, options_.device_id))
    refuse(kind, "only Intel 25e2-25e7 and 25f7-25fa have the E5000 error registers");
  for (size_t i = 0; options_.chipset_errors && i < 4; i++)
    if ((*options_.chipset_errors)[i] & ~(i % 2 ? E5000_NONFATAL_BITS : E5000_FATAL_BITS))
      refuse(kind, "E5000 error bits outside their registers' error bits");

  build(where);
  started_ = cfg_;
  set_error_bits(cfg_, options_.pcie ? PCIE_POSITION : 0, aer_, true, e);
  if (options_.chipset_errors)
    for (unsigned i = 0; i < 4; i++) cfg_.set32(E5000_ERRORS + 4 * i, (*options_.chipset_errors)[i]);
}

void Bridge::build(const Placement &where) {
  ConfigSpace &c = cfg_;
  c.set16(0x00, options_.vendor_id);
  c.set16(0x02, options_.device_id);
  c.writable(COMMAND, 0x0547, 2);
  c.write_one_to_clear(STATUS, STATUS_ERROR_BITS, 2);
  c.set32(0x08, 0x06040000);  // PCI-to-PCI bridge
  c.set8(0x0e, 0x01);
  c.set8(0x18, where.primary);
  c.set8(0x19, where.secondary);
  c.set8(0x1a, where.subordinate);
  c.writable(0x18, 0x00ffffff, 4);
  c.set16(0x1c, 0x00f0);  // I/O window closed
  c.write_one_to_clear(SECONDARY_STATUS, STATUS_ERROR_BITS, 2);
  c.set16(0x20, where.window_start >> 16 & 0xfff0);
  c.set16(0x22, where.window_end >> 16 & 0xfff0);
  c.writable(0x20, 0xfff0fff0, 4);
  c.set16(0x24, 0xfff1);  // prefetchable window closed
  c.set16(0x26, 0x0001);
  c.writable(0x3c, 0xff, 1);
  c.writable(BRIDGE_CONTROL, 0x0fff, 2);
  if (!options_.pcie) return;

  const bool root = kind_ == Kind::RootPort, slot = downstream();
  const uint32_t port = static_cast<uint32_t>(where.port);
  unsigned e = c.add_capability(PCIE_POSITION, 0x10);
  c.set16(e + CAPS, options_.pcie_version | static_cast<uint16_t>(kind_) << 4 | (slot ? 0x0100 : 0));
  c.set32(e + DEVCAP, 0x00008000 | options_.max_payload_supported);  // role-based error reporting
  c.set16(e + DEVCTL, 0x2000 | options_.payload_set << 5);           // read requests up to 512 bytes
  c.writable(e + DEVCTL, 0x7fff, 2);
  c.write_one_to_clear(e + DEVSTA, DEVICE_STATUS_ERROR_BITS, 2);
  // Port number, link active reporting below a slot, 2.5 GT/s x8, L0s.
  c.set32(e + LINKCAP, port << 24 | (slot ? 0x00100000 : 0) | 0x00000481);
  c.writable(e + LINKCTL, 0x00cb | (slot ? LINK_DISABLE : 0), 2);
  c.set16(e + LINKSTA, (slot ? LINK_ACTIVE : 0) | 0x1081);  // slot clock, x8, 2.5 GT/s
  if (slot) {
    c.set32(e + SLOTCAP, port << 19);  // physical slot number
    c.set16(e + SLOTCTL, 0x03c0);      // attention and power indicators off
    c.writable(e + SLOTCTL, 0x17ff, 2);
    c.write_one_to_clear(e + SLOTSTA, LINK_STATE_CHANGED, 2);
  }
  if (root) {
    c.writable(e + ROOTCTL, 0x001f, 2);
    c.write_one_to_clear(e + ROOTSTA, 0x00010000, 4);  // PME status
  }
  if (options_.pcie_version >= 2) {
    c.set32(e + DEVCAP2, 0x0000001f);  // completion timeout ranges A-D, and its disable
    c.writable(e + DEVCTL2, 0x001f, 2);
    c.set32(e + LINKCAP2, 0x00000002);
    c.set16(e + LINKCTL2, 0x0001);
    c.writable(e + LINKCTL2, 0x000f, 2);
  }

  if (options_.aer == BridgeOptions::Aer::Listed)
    aer_ = c.add_aer_capability(AER_POSITION, root ? 2 : 1);
  else if (options_.aer == BridgeOptions::Aer::Hidden)
    aer_ = c.add_aer_capability(hidden_aer_position(options_.vendor_id, options_.device_id), root ? 2 : 1);

  if (is_e5000(options_.vendor_id, options_.device_id)) {
    c.writable(E5000_UNCORR_MASK, AER_UNCORRECTABLE_BITS, 4);
    c.writable(E5000_CORR_MASK, AER_CORRECTABLE_BITS, 4);
    c.writable(E5000_MSG_MASK, 0x00000007, 4);
    for (unsigned i = 0; i < 4; i++)
      c.write_one_to_clear(E5000_ERRORS + 4 * i, i % 2 ? E5000_NONFATAL_BITS : E5000_FATAL_BITS, 4);
  }
  if (options_.vendor_id == 0x8086 && options_.device_id >= 0x3595 && options_.device_id <= 0x359a)
    c.writable(0x144, 0x0800, 2);
}

uint32_t Bridge::config_read(unsigned offset, int width) { return cfg_.read(offset, width); }

void Bridge::config_write(unsigned offset, uint32_t value, int width) {
  cfg_.write(offset, value, width);
  unsigned control = PCIE_POSITION + LINKCTL;
  if (downstream() && offset <= control && control < offset + width) link_control_written();
}

void Bridge::link_control_written() {
  bool disabled = cfg_.get16(PCIE_POSITION + LINKCTL) & LINK_DISABLE;
  if (disabled != link_up_) return;
  set_link(!disabled);
  if (!disabled) reset_behind();
}

void Bridge::set_link(bool up) {
  link_up_ = up;
  uint16_t status = cfg_.get16(PCIE_POSITION + LINKSTA);
  cfg_.set16(PCIE_POSITION + LINKSTA, up ? status | LINK_ACTIVE : status & ~LINK_ACTIVE);
  cfg_.set16(PCIE_POSITION + SLOTSTA, cfg_.get16(PCIE_POSITION + SLOTSTA) | LINK_STATE_CHANGED);
}

void Bridge::reset() {
  cfg_ = started_;
  link_up_ = true;
  reset_behind();
}

void Bridge::reset_behind() {
  for (Bridge *b : bridges_below_) b->reset();
  for (Board *b : boards_below_) reset_after_link_back(*b);
}

bool BehindLinks::reachable() const {
  for (const Bridge *port : ports_)
    if (!port->link_up()) return false;
  return true;
}

uint32_t BehindLinks::config_read(unsigned offset, int width) {
  if (!reachable()) return width == 4 ? 0xffffffffu : (1u << 8 * width) - 1;
  return function_.config_read(offset, width);
}

void BehindLinks::config_write(unsigned offset, uint32_t value, int width) {
  if (reachable()) function_.config_write(offset, value, width);
}

}  // namespace sim
