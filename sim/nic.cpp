#include "nic.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>

#include "byte_order.h"

namespace sim {

namespace {

// Offsets of the vendor-specific registers from the capability.
constexpr unsigned EE_READ_ADDR = 4, EE_READ_LOW = 5, EE_DATA = 8, EE_PROGRAM = 12, DBG_MODE = 16, DBG_DATA = 20,
                   DBG_ADDR = 24, VS_LENGTH = 28;

enum DebugMode : uint8_t {
  READ8 = 1, READ16 = 2, READ32 = 3, WRITE8 = 5, WRITE16 = 6, WRITE32 = 7,
  LOCATE = Event::DEBUG_LOCATE, SNAPSHOT = Event::DEBUG_SNAPSHOT,
};

int mode_width(uint8_t mode) {
  switch (mode) {
    case READ8:
    case WRITE8: return 1;
    case READ16:
    case WRITE16: return 2;
    case READ32:
    case WRITE32: return 4;
    default: return 0;
  }
}

uint32_t width_mask(int width) { return width == 4 ? 0xffffffffu : (1u << 8 * width) - 1; }

bool covers(unsigned offset, int width, unsigned at) { return at >= offset && at < offset + width; }

}  // namespace

Nic::Nic(const BoardOptions &options, uint64_t bar0_address, uint64_t bar2_address, Eeprom &eeprom, Chip &chip,
         Firmware &firmware, EventSink &events)
    : options_(options), eeprom_(eeprom), chip_(chip), firmware_(firmware), events_(events), cfg_(4096) {
  build_config_space(bar0_address, bar2_address, options_.device_id);
  set_initial_error_bits();
}

void Nic::reset_config(uint16_t device_id) {
  cfg_ = ConfigSpace(4096);
  build_config_space(0, 0, device_id);
  std::fill(std::begin(vs_), std::end(vs_), 0);
  ee_data_ = 0;
  ee_fetched_ = 0xff;
}

void Nic::build_config_space(uint64_t bar0_address, uint64_t bar2_address, uint16_t device_id) {
  unsigned p = options_.vs_position;
  if (options_.vs_present && (p < 0x80 || p % 4 || p > 0xfc))
    throw std::invalid_argument("the vendor-specific registers sit at 0x80 to 0xfc, 4-aligned");

  cfg_.set16(0x00, 0x1f5c);
  cfg_.set16(0x02, device_id);
  cfg_.writable(0x04, 0x0546, 2);  // I/O, memory, bus master, parity, SERR, INTx disable
  cfg_.write_one_to_clear(0x06, 0xf900, 2);
  cfg_.set8(0x08, options_.revision);
  cfg_.set32(0x08, (cfg_.get32(0x08) & 0xff) | 0x02000000);  // Ethernet controller
  cfg_.writable(0x0c, 0xff, 1);
  cfg_.set32(0x10, (uint32_t)bar0_address);  // 32-bit memory BARs, sized by their writable bits
  cfg_.writable(0x10, ~(Chip::BAR0_SIZE - 1), 4);
  if (options_.bar2_present) {
    cfg_.set32(0x18, (uint32_t)bar2_address);
    cfg_.writable(0x18, ~(Chip::BAR2_SIZE - 1), 4);
  }
  cfg_.set16(0x2c, 0x1f5c);
  cfg_.set16(0x2e, 0x0001);
  cfg_.set8(0x3c, IRQ);
  cfg_.writable(0x3c, 0xff, 1);
  cfg_.set8(0x3d, 1);

  if (earlier_generation(options_))
    cfg_.writable(CONTROL_WORD, 0xffffffff, 4);  // in place of the PCI Express capability
  else
    add_pcie_capability();

  if (options_.vs_present && options_.vs_listed) {
    cfg_.add_capability(p, 0x09);
    cfg_.set8(p + 2, VS_LENGTH);
  }

  cfg_.add_aer_capability(AER_POSITION, 1);
}

// The error bits the board starts with: set once at power-on, not again at
// a restart.
void Nic::set_initial_error_bits() {
  const ErrorBits &errors = options_.errors;
  if (errors.status & ~STATUS_ERROR_BITS || errors.device_status & ~DEVICE_STATUS_ERROR_BITS ||
      errors.uncorrectable & ~AER_UNCORRECTABLE_BITS || errors.correctable & ~AER_CORRECTABLE_BITS ||
      errors.secondary_status || errors.root_status || errors.source)
    throw std::invalid_argument("error bits outside the NIC's error registers");
  set_error_bits(cfg_, PCIE_POSITION, AER_POSITION, false, errors);
}

void Nic::add_pcie_capability() {
  // PCI Express capability, version 2 (or 1, without the second device and
  // link registers), endpoint.
  if (options_.pcie_version < 1 || options_.pcie_version > 2)
    throw std::invalid_argument("the PCI Express capability's version is 1 or 2");
  if (options_.max_payload_supported > 5 || options_.payload_set > options_.max_payload_supported)
    throw std::invalid_argument("the payload set is at most the supported one, at most 4096 bytes");
  unsigned e = cfg_.add_capability(PCIE_POSITION, 0x10);
  cfg_.set16(e + 0x02, options_.pcie_version);
  cfg_.set32(e + 0x04, 0x8000 | (options_.max_payload_supported & 7));  // role-based errors, max payload
  // Max read request 512, no snoop, relaxed ordering; the payload set.
  cfg_.set16(e + 0x08, 0x2810 | options_.payload_set << 5);
  cfg_.writable(e + 0x08, 0x7fff, 2);
  cfg_.write_one_to_clear(e + 0x0a, 0x000f, 2);
  cfg_.set32(e + 0x0c, 0x00000481);  // 2.5 GT/s, x8, L0s
  cfg_.writable(e + 0x10, 0x00cb, 2);
  cfg_.set16(e + 0x12, 0x1081);  // 2.5 GT/s, x8, slot clock
  if (options_.pcie_version >= 2) {
    cfg_.set32(e + 0x24, 0x0000001f);  // completion timeout ranges and disable
    cfg_.writable(e + 0x28, 0x001f, 2);
    cfg_.set32(e + 0x2c, 0x00000002);
    cfg_.set16(e + 0x30, 0x0001);
    cfg_.writable(e + 0x30, 0x000f, 2);
  }
}

bool Nic::is_dead(unsigned offset) const { return options_.dead_from && offset >= *options_.dead_from; }

bool Nic::in_vs(unsigned offset) const {
  unsigned p = options_.vs_position;
  // Registers that would fall past the standard space stay unreachable.
  return options_.vs_present && offset >= p + EE_READ_ADDR && offset < p + VS_LENGTH && offset < 0x100;
}

void Nic::count_access() {
  accesses_++;
  if (!busy_) return;
  bool done = accesses_ >= busy_->end_access ||
              (busy_->ends_by_time && std::chrono::steady_clock::now() >= busy_->end_time);
  if (!done) return;
  uint8_t byte;
  if (busy_->erase) {
    eeprom_.erase_sector(busy_->address);
    byte = 0xff;
  } else {
    eeprom_.program(busy_->address, busy_->data);
    byte = eeprom_.read(busy_->address);
  }
  busy_.reset();
  shift_in(byte);
  ee_fetched_ = byte;
}

void Nic::shift_in(uint8_t byte) { ee_data_ = ee_data_ << 8 | byte; }

uint32_t Nic::config_read(unsigned offset, int width) {
  count_access();
  if (is_dead(offset)) return width_mask(width);  // the whole access, as a failed read returns
  bool any_vs = false;
  for (int i = 0; i < width; i++) any_vs |= in_vs(offset + i);
  if (!any_vs) return cfg_.read(offset, width);

  unsigned p = options_.vs_position;
  uint32_t data_view = ee_data_;
  bool reads_data = false;
  for (unsigned k = EE_DATA; k < EE_DATA + 4; k++) reads_data |= covers(offset, width, p + k);
  if (busy_ && reads_data) {
    uint8_t status = (~busy_->data & 0x80) | (status_toggle_ ? 0x40 : 0);
    status_toggle_ = !status_toggle_;
    data_view = (ee_data_ & ~0xffu) | status;
  }
  uint32_t value = 0;
  for (int i = 0; i < width; i++) {
    unsigned at = offset + i;
    uint8_t byte;
    if (!in_vs(at)) {
      byte = cfg_.read(at, 1);
    } else {
      unsigned k = at - p;
      if (k == EE_READ_ADDR || (k > DBG_MODE && k < DBG_DATA))
        byte = 0;  // unused lanes
      else if (k >= EE_DATA && k < EE_PROGRAM)
        byte = data_view >> 8 * (k - EE_DATA);
      else
        byte = vs_[k];
    }
    value |= (uint32_t)byte << 8 * i;
  }
  return value;
}

void Nic::config_write(unsigned offset, uint32_t value, int width) {
  count_access();
  if (is_dead(offset)) return;
  unsigned p = options_.vs_position;
  bool any_vs = false;
  for (int i = 0; i < width; i++) {
    unsigned at = offset + i;
    uint8_t byte = value >> 8 * i;
    if (!in_vs(at)) {
      cfg_.write(at, byte, 1);
      continue;
    }
    any_vs = true;
    unsigned k = at - p;
    bool read_only = k == EE_READ_ADDR || (k >= EE_DATA && k < EE_PROGRAM) || (k > DBG_MODE && k < DBG_DATA);
    if (!read_only) vs_[k] = byte;
  }
  if (!any_vs) return;
  if (covers(offset, width, p + EE_READ_LOW) && in_vs(p + EE_READ_LOW)) start_eeprom_read();
  if (covers(offset, width, p + EE_PROGRAM) && in_vs(p + EE_PROGRAM)) start_program();
  if (covers(offset, width, p + DBG_ADDR) && in_vs(p + DBG_ADDR)) debug_address_written();
  if (covers(offset, width, p + DBG_DATA) && in_vs(p + DBG_DATA)) debug_data_written();
}

void Nic::start_eeprom_read() {
  if (busy_) return;  // the EEPROM is busy: read starts are ignored
  shift_in(ee_fetched_);
  uint32_t address = vs_[EE_READ_LOW] | vs_[EE_READ_LOW + 1] << 8 | vs_[EE_READ_LOW + 2] << 16;
  ee_fetched_ = eeprom_.read(address);
}

void Nic::start_program() {
  if (busy_) return;
  uint32_t address = vs_[EE_PROGRAM + 1] | vs_[EE_PROGRAM + 2] << 8 | vs_[EE_PROGRAM + 3] << 16;
  uint8_t data = vs_[EE_PROGRAM];
  bool erase = data == 0xff;
  unsigned accesses = erase ? options_.erase_accesses : options_.program_accesses;
  auto time = erase ? options_.erase_time : options_.program_time;
  bool hangs = erase ? options_.erase_hangs
                     : options_.program_hangs && (!options_.program_hangs_at || *options_.program_hangs_at == address);
  busy_ = Operation{erase,
                    address,
                    data,
                    hangs ? UINT64_MAX : accesses_ + accesses,
                    std::chrono::steady_clock::now() + time,
                    !hangs && time.count() > 0};
  if (!erase) {  // the held address moves on to the next byte
    uint32_t next = (address + 1) & 0xffffff;
    vs_[EE_PROGRAM + 1] = next, vs_[EE_PROGRAM + 2] = next >> 8, vs_[EE_PROGRAM + 3] = next >> 16;
  }
}

void Nic::debug_address_written() {
  uint8_t mode = vs_[DBG_MODE];
  uint32_t address = le32(vs_ + DBG_ADDR);
  if (mode == READ8 || mode == READ16 || mode == READ32) {
    put_le32(vs_ + DBG_DATA, chip_.read(address, mode_width(mode)));
  } else if (mode == LOCATE) {
    auto it = firmware_.located.find(address);
    auto [where, length] = it == firmware_.located.end() ? std::pair<uint32_t, uint32_t>{0, 0} : it->second;
    put_le32(vs_ + DBG_ADDR, where);
    put_le32(vs_ + DBG_DATA, length);
  } else {
    return;
  }
  events_.event(
      {.kind = Event::Kind::DebugRequest, .address = address, .width = mode_width(mode), .debug_mode = mode});
}

void Nic::debug_data_written() {
  uint8_t mode = vs_[DBG_MODE];
  uint32_t address = le32(vs_ + DBG_ADDR);
  if (mode == WRITE8 || mode == WRITE16 || mode == WRITE32) {
    int width = mode_width(mode);
    chip_.write(address, le32(vs_ + DBG_DATA) & width_mask(width), width);
    put_le32(vs_ + DBG_ADDR, address + width);
    events_.event({.kind = Event::Kind::DebugRequest, .address = address, .width = width, .debug_mode = mode});
  } else if (mode == SNAPSHOT) {
    // The snapshot is taken where it was asked for, so address and length
    // stay as written.
    events_.event({.kind = Event::Kind::DebugRequest, .address = address, .width = 0, .debug_mode = mode});
  }
}

}  // namespace sim
