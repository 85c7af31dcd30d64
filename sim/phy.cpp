#include "phy.h"

#include <algorithm>

namespace sim {

namespace {

constexpr unsigned PREAMBLE = 32, HEADER_BITS = 14, FRAME_BITS = 32;
constexpr uint8_t OP_ADDRESS = 0, OP_WRITE = 1, OP_READ_INCREMENT = 2, OP_READ = 3;
constexpr uint16_t ID0 = 0x0157, ID1 = 0x7a31;

}  // namespace

Phy::Phy(const BoardOptions &options) : options_(options), xfp_(options) {
  const struct {
    int device;
    uint16_t reg, value;
  } power_on[] = {
      {PMA, 0x0000, 0x2040}, {PMA, 0x0007, 0x0006}, {PMA, 0xd006, 0x000b}, {PMA, 0xd007, 0x0009},
      {PCS, 0x0000, 0x2040}, {XS, 0x0000, 0x2040},
  };
  for (const auto &r : power_on) plain_[key(r.device, r.reg)] = r.value;
}

// ---- The lines ----------------------------------------------------------------

bool Phy::line() const {
  bool host_high = !(written_ & MDIO_DRIVE) || (written_ & MDIO_DATA);
  return host_high && out_.value_or(true);
}

uint8_t Phy::mdi_read() const { return (written_ & ~MDIO_DATA) | (line() ? MDIO_DATA : 0); }

void Phy::mdi_write(uint8_t value) {
  bool rising = (value & MDC) && !(written_ & MDC);
  written_ = value;
  if (rising) rising_edge();
}

void Phy::rising_edge() {
  const bool bit = line();
  const unsigned ones_before = ones_;
  ones_ = bit ? std::min(ones_ + 1, PREAMBLE) : 0;
  switch (phase_) {
    case Phase::Idle:
      if (!bit && ones_before >= PREAMBLE) {  // the first bit of ST
        phase_ = Phase::Header;
        count_ = 1;
        shift_ = 0;
      }
      return;
    case Phase::Header:
      shift_ = shift_ << 1 | bit;
      if (++count_ == HEADER_BITS) header_received();
      break;
    case Phase::Tail:
      shift_ = shift_ << 1 | bit;
      if (++count_ == FRAME_BITS) tail_received();
      break;
    case Phase::Reply: {
      // The bit after this edge: the second turnaround bit, then the data.
      unsigned next = ++count_ - HEADER_BITS;
      if (count_ == FRAME_BITS) {
        out_.reset();
        phase_ = Phase::Idle;
        ones_ = 0;
      } else {
        out_ = next == 1 ? false : (reply_ >> (17 - next) & 1) != 0;
      }
      return;  // the PHY's own bits never end the frame
    }
    case Phase::Ignore:
      if (++count_ == FRAME_BITS) phase_ = Phase::Idle;
      break;
  }
  if (phase_ == Phase::Idle) ones_ = 0;  // a frame has ended: the next needs a whole preamble
}

void Phy::header_received() {
  const unsigned st = shift_ >> 12 & 3, op = shift_ >> 10 & 3, port = shift_ >> 5 & 31;
  const int device = shift_ & 31;
  if (st != 0 || port != PORT || ((op == OP_READ || op == OP_READ_INCREMENT) && !has_device(device))) {
    phase_ = Phase::Ignore;
    return;
  }
  if (op == OP_ADDRESS || op == OP_WRITE) {
    phase_ = Phase::Tail;
    return;
  }
  frames_++;
  reply_ = read(device, address_[device]);
  if (op == OP_READ_INCREMENT) address_[device]++;
  phase_ = Phase::Reply;
  // The first turnaround bit belongs to nobody.
  if (options_.mdio_bad_turnaround)
    out_ = false;
  else
    out_.reset();
}

void Phy::tail_received() {
  phase_ = Phase::Idle;
  const unsigned op = shift_ >> 28 & 3, ta = shift_ >> 16 & 3;
  const int device = shift_ >> 18 & 31;
  const uint16_t data = shift_ & 0xffff;
  if (ta != 2 || !has_device(device)) return;
  frames_++;
  if (op == OP_ADDRESS)
    address_[device] = data;
  else
    write(device, address_[device], data);
}

// ---- The registers ------------------------------------------------------------

uint16_t Phy::pins() const {
  uint16_t p = 0;
  if (!xfp_.present()) p |= 0x0001;
  if (!xfp_.ready()) p |= 0x0002;
  if (!xfp_.signal()) p |= 0x0008;
  if (tx_disable_ & 1) p |= 0x8000;
  return p;
}

uint16_t Phy::peek(int device, uint16_t reg) const {
  if (device == PMA) {
    if (reg >= XFP_COPY && reg < XFP_COPY + copy_.size()) return copy_[reg - XFP_COPY];
    switch (reg) {
      case 0x0001: return link() ? 0x0006 : 0x0082;
      case 0x0002:
      case 0x000e: return ID0;
      case 0x0003:
      case 0x000f: return ID1;
      case 0x0004: return 0x0001;
      case 0x0005: return 0x001a;
      case 0x0006: return 0x0000;
      case 0x0009: return tx_disable_;
      case 0x000a: return link() ? 0x0001 : 0x0000;
      case XFP_COMMAND: return command_status();
      case XFP_PINS: return pins();
    }
  } else if (device == PCS) {
    switch (reg) {
      case 0x0001: return link() ? 0x0006 : 0x0082;
      case 0x0002: return ID0;
      case 0x0003: return ID1;
      case 0x0020: return link() ? 0x100d : 0x000c;
      case COUNTER: return static_cast<uint16_t>(counter_ + 1);
    }
  } else if (device == XS) {
    switch (reg) {
      case 0x0001: return 0x0006;
      case 0x0002: return ID0;
      case 0x0003: return ID1;
      case 0x0018: return 0x1c0f;
    }
  }
  auto it = plain_.find(key(device, reg));
  return it == plain_.end() ? 0 : it->second;
}

uint16_t Phy::read(int device, uint16_t reg) {
  if (device == PCS && reg == COUNTER) return ++counter_;
  if (device != PMA || reg != XFP_COMMAND) return peek(device, reg);
  settle();
  uint16_t value = command_status();
  // Done and failed are answered once; the done status may stick.
  const uint8_t bit = running_ == Command::Transfer ? BoardOptions::PHY_TRANSFER : BoardOptions::PHY_REFRESH;
  if (state_ == State::Failed || (state_ == State::Done && !(options_.xfp_done_sticks & bit))) state_ = State::Idle;
  return value;
}

void Phy::write(int device, uint16_t reg, uint16_t value) {
  if (device == PMA) {
    if (reg >= XFP_COPY && reg < XFP_COPY + copy_.size()) {
      copy_[reg - XFP_COPY] = value & 0xff;
      return;
    }
    switch (reg) {
      case 0x0009: tx_disable_ = value & 0x001f; return;
      case XFP_COMMAND: start_command(value); return;
      case 0x0001: case 0x0002: case 0x0003: case 0x0004: case 0x0005: case 0x0006:
      case 0x000a: case 0x000e: case 0x000f: case XFP_PINS:
        return;  // read-only
    }
  } else if (device == PCS) {
    switch (reg) {
      case 0x0001: case 0x0002: case 0x0003: case 0x0020: case COUNTER: return;
    }
  } else if (device == XS) {
    switch (reg) {
      case 0x0001: case 0x0002: case 0x0003: case 0x0018: return;
    }
  }
  plain_[key(device, reg)] = value;
}

// ---- The XFP commands -----------------------------------------------------------

void Phy::start_command(uint16_t value) {
  command_ = value;
  running_ = (value & 0xff) == 0x22 ? Command::Transfer : value == 3 ? Command::Refresh : Command::None;
  if (running_ == Command::None) {
    state_ = State::Idle;
    return;
  }
  state_ = State::Busy;
  ends_us_ = now_us_ + (running_ == Command::Transfer ? TRANSFER_US : REFRESH_US);
}

void Phy::settle() {
  if (state_ != State::Busy || now_us_ < ends_us_) return;
  const uint8_t bit = running_ == Command::Transfer ? BoardOptions::PHY_TRANSFER : BoardOptions::PHY_REFRESH;
  if (options_.xfp_hangs & bit) return;
  if (!xfp_.ready() || (options_.xfp_fails & bit)) {
    state_ = State::Failed;
    return;
  }
  if (running_ == Command::Transfer) {
    uint8_t at = command_ >> 8;
    xfp_.write(at, copy_[at]);
  } else {
    for (unsigned r = 0; r < copy_.size(); r++) copy_[r] = xfp_.read(static_cast<uint8_t>(r));
  }
  state_ = State::Done;
}

uint16_t Phy::command_status() const {
  switch (state_) {
    case State::Busy: return command_ | BUSY;
    case State::Done: return command_ | DONE;
    case State::Failed: return command_ | FAILED;
    case State::Idle: break;
  }
  return command_;
}

void Phy::advance(uint64_t now_us) {
  now_us_ = std::max(now_us_, now_us);
  settle();
}

}  // namespace sim
