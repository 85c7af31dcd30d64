#include "board.h"

#include <cstdio>
#include <cstring>

#include "byte_order.h"

namespace sim {

namespace {

uint32_t width_mask(int width) { return width == 4 ? 0xffffffffu : (1u << 8 * width) - 1; }

// The earlier generations' loaders read these in BAR0.
constexpr uint32_t KX_SRAM_SIZE_WORD = 0xfffe80, PCI64_RECORD = 0xa00000;
constexpr uint32_t PCI64_CLOCK = 0x00000130;
constexpr uint32_t KX_RUNNING = 0x40000000, PCI64_RUNNING = 0xa8000000;
constexpr uint8_t PCI64_START = 0x80, PCI64_STATUS = 0x28;

bool is_pci64(const BoardOptions &o) { return earlier_generation(o) && o.revision == 3; }
bool is_kx(const BoardOptions &o) { return earlier_generation(o) && o.revision >= 4 && o.revision <= 6; }

}  // namespace

// The outermost of nested accesses carries out the restart asked for meanwhile.
class Board::Access {
 public:
  explicit Access(Board &b) : b_(b), outer_(!b.in_access_) { b.in_access_ = true; }
  ~Access() {
    if (!outer_) return;
    b_.in_access_ = false;
    b_.restart_pending();
  }

 private:
  Board &b_;
  bool outer_;
};

Board::Board(const BoardOptions &options, uint64_t bar0_address, uint64_t bar2_address, Clock::time_point power_on)
    : options_(options),
      bar0_address_(bar0_address),
      bar2_address_(bar2_address),
      power_on_(power_on),
      eeprom_(options.index),
      chip_(options_, *this),
      firmware_(options_, chip_, eeprom_),
      nic_(options_, bar0_address, bar2_address, eeprom_, chip_, firmware_, *this),
      phy_(options_) {
  if (options.stuck_address) {
    eeprom_.stuck_address = options.stuck_address;
    eeprom_.stuck_value = options.stuck_value;
  }
  if (is_kx(options_)) put_be32(chip_.bar0().data() + KX_SRAM_SIZE_WORD, Chip::SRAM_SIZE);
  if (is_pci64(options_)) {
    uint8_t *record = chip_.bar0().data() + PCI64_RECORD;
    put_be32(record, PCI64_CLOCK);           // kavi_clockval
    put_be32(record + 12, Chip::SRAM_SIZE);  // kavi_sram_size
    std::memcpy(record + 16, "SIMULATED", 9);  // fpga_version
  }
  power_on_earlier_generation();
  chip_.register_block().attach(&phy_);
  firmware_.power_on();
  chip_.advance(0);
}

void Board::power_on_earlier_generation() {
  if (is_kx(options_)) nic_.config().set32(Nic::CONTROL_WORD, KX_RUNNING);
  if (is_pci64(options_)) nic_.config().set32(Nic::CONTROL_WORD, PCI64_RUNNING);
}

bool Board::link_active() const { return !link_down_ && now_us_ >= answers_from_us_; }

uint32_t Board::config_read(unsigned offset, int width) {
  counters.config_reads++;
  uint32_t value = link_active() ? nic_.config_read(offset, width) : width_mask(width);
  if (record_accesses) accesses.push_back({false, offset, width, value});
  return value;
}

void Board::config_write(unsigned offset, uint32_t value, int width) {
  Access access(*this);
  counters.config_writes++;
  if (record_accesses) accesses.push_back({true, offset, width, value});
  if (!link_active()) return;  // dropped
  nic_.config_write(offset, value, width);
  if (earlier_generation(options_) && offset < Nic::CONTROL_WORD + 4 && offset + width > Nic::CONTROL_WORD)
    control_written(offset, width, value);
  event({Event::Kind::ConfigWritten, offset, width});
}

void Board::control_written(unsigned offset, int width, uint32_t value) {
  if (control_writes_.size() == CONTROL_WRITES_KEPT) control_writes_.erase(control_writes_.begin());
  control_writes_.push_back({offset, width, value});
  ConfigSpace &c = nic_.config();
  bool start = is_kx(options_) ? (c.get32(Nic::CONTROL_WORD) & KX_RUNNING) != 0
                               : is_pci64(options_) && (c.get8(Nic::CONTROL_WORD + 3) & PCI64_START) != 0;
  if (!start) {
    if (is_kx(options_) || is_pci64(options_)) firmware_.hold();
    return;
  }
  if (is_pci64(options_)) c.set8(Nic::CONTROL_WORD + 3, c.get8(Nic::CONTROL_WORD + 3) | PCI64_STATUS);
  std::string writes;
  for (const ControlWrite &w : control_writes_) {
    char text[24];
    snprintf(text, sizeof text, "%s%02x:%0*x", writes.empty() ? "" : " ", w.offset, 2 * w.width,
             w.value & width_mask(w.width));
    writes += text;
  }
  control_writes_.clear();
  firmware_.start_from_sram(writes);
}

std::array<PciFunction::Resource, 6> Board::resources() const {
  constexpr uint64_t MEM = 0x00040200;  // memory, aligned to its size
  std::array<Resource, 6> r{};
  r[0] = {bar0_address_, bar0_address_ + Chip::BAR0_SIZE - 1, MEM, &chip_.bar0()};
  if (const SharedMemory *bar2 = chip_.bar2()) r[2] = {bar2_address_, bar2_address_ + Chip::BAR2_SIZE - 1, MEM, bar2};
  return r;
}

void Board::advance(Clock::time_point now) {
  Access access(*this);
  if (now > power_on_) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - power_on_).count();
    now_us_ = std::max(now_us_, static_cast<uint64_t>(us));
  }
  phy_.advance(now_us_);
  chip_.advance(now_us_);
  firmware_.advance(now_us_);
  if (auto why = firmware_.take_restart_request()) pending_restart_ = pending_restart_.value_or(*why);
}

std::optional<Board::Clock::time_point> Board::next_deadline() const {
  return power_on_ + std::chrono::microseconds(firmware_.next_deadline_us());
}

void Board::reset(ResetReason why) {
  pending_restart_.reset();
  if (!options_.reset_keeps_config) {
    nic_.reset_config(options_.reset_device_id.value_or(options_.device_id));
    power_on_earlier_generation();
    answers_from_us_ = now_us_ + RESTART_WINDOW_US;
  }
  if (options_.reset_hangs) answers_from_us_ = UINT64_MAX;
  control_writes_.clear();
  chip_.register_block().write(RegisterBlock::IT3, 0, 4);  // the timer has fired
  event({Event::Kind::Reset, 0, 0, why});
}

void Board::link_down() { link_down_ = true; }

void Board::link_up() {
  if (!link_down_) return;
  link_down_ = false;
  reset(ResetReason::Link);
}

void Board::bar0_written(uint32_t offset, size_t count) {
  Access access(*this);
  event({Event::Kind::Bar0Written, offset, static_cast<int>(count)});
}

void Board::event(const Event &e) {
  firmware_.event(e);
  if (e.kind == Event::Kind::SpecialWritten && e.address == RegisterBlock::IT3 && e.width == 4 &&
      chip_.register_block().read(RegisterBlock::IT3, 4) != 0)
    pending_restart_ = pending_restart_.value_or(ResetReason::Watchdog);
  if (auto why = firmware_.take_restart_request()) pending_restart_ = pending_restart_.value_or(*why);
  if (!in_access_) restart_pending();
}

void Board::restart_pending() {
  if (auto why = pending_restart_) reset(*why);
}

}  // namespace sim
