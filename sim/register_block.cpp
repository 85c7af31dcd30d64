#include "register_block.h"

namespace sim {

const RegisterBlock::Register RegisterBlock::REGISTERS[] = {
    {"P0_RECV_POINTER", 0xfffffe00, 2},
    {"P0_RECV_SNAPSHOT", 0xfffffe00, 4},
    {"P0_RECV_COUNT", 0xfffffe02, 2},
    {"P0_DROP_COUNT", 0xfffffe08, 4},
    {"P0_RECV_LIMIT", 0xfffffe12, 2},
    {"P0_A_RECV_POINTER", 0xfffffe18, 2},
    {"P0_A_RECV_SNAPSHOT", 0xfffffe18, 4},
    {"P0_A_RECV_COUNT", 0xfffffe1a, 2},
    {"P0_A_DROP_COUNT", 0xfffffe20, 4},
    {"P0_A_RECV_LIMIT", 0xfffffe28, 2},
    {"P0_SEND", 0xfffffe30, 4},  // P0_SEND_POINTER, P0_SEND_LENGTH
    {"P0_SEND_COUNT", 0xfffffe3a, 2},
    {"PCIE_RECV_POINTER", 0xfffffe40, 2},
    {"PCIE_RECV_SNAPSHOT", 0xfffffe40, 4},
    {"PCIE_RECV_COUNT", 0xfffffe42, 2},
    {"PCIE_DROP_COUNT", 0xfffffe48, 4},
    {"PCIE_RECV_LIMIT", 0xfffffe52, 2},
    {"PCIE_SEND", 0xfffffe58, 4},  // PCIE_SEND_POINTER, PCIE_SEND_LENGTH
    {"PCIE_SEND_COUNT", 0xfffffe60, 2},
    {"COPY", 0xfffffe68, 4},  // COPY_FROM, COPY_SIZE, COPY_TO
    {"COPY_STATE", 0xfffffe73, 1},
    {"CRC32_CONFIG", 0xfffffe7a, 1},
    {"COPY_BLOCK", 0xfffffe80, 4},
    {"CRC32", 0xfffffe88, 4},
    {"CRC32_BYTE", 0xfffffe92, 1},
    {"CRC32_HALF", 0xfffffe98, 2},
    {"CRC32_WORD", 0xfffffea0, 4},
    {"DISPATCH_INDEX", 0xfffffea8, 2},
    {"DISPATCH_STATE", 0xfffffea8, 4},
    {"DISPATCH_ISR_ON", 0xfffffeb0, 4},
    {"DISPATCH_ISR_OFF", 0xfffffeb8, 4},
    {"DISPATCH_STATE_ON", 0xfffffec0, 4},
    {"DISPATCH_STATE_OFF", 0xfffffec8, 4},
    {"DISPATCH_CONFIG", 0xfffffed0, 4},
    {"JTAG_MASTER", 0xfffffed8, 4},
    {"PCIE_FC_VC0_P_LIMIT", 0xfffffee0, 4},
    {"PCIE_FC_VC0_P_CONSUMED", 0xfffffee8, 4},
    {"PCIE_FC_VC0_P_REQUEST", 0xfffffef2, 2},
    {"PCIE_FC_VC0_NP_LIMIT", 0xfffffef8, 4},
    {"PCIE_FC_VC0_NP_CONSUMED", 0xffffff00, 4},
    {"PCIE_FC_VC0_NP_REQUEST", 0xffffff0a, 2},
    {"PCIE_FC_VC0_CPL_LIMIT", 0xffffff10, 4},
    {"PCIE_FC_VC0_CPL_CONSUMED", 0xffffff18, 4},
    {"PCIE_FC_VC0_CPL_REQUEST", 0xffffff22, 2},
    {"PCIE_FC_VC1_P_LIMIT", 0xffffff28, 4},
    {"PCIE_FC_VC1_P_CONSUMED", 0xffffff30, 4},
    {"PCIE_FC_VC1_P_REQUEST", 0xffffff3a, 2},
    {"PCIE_FC_VC1_NP_LIMIT", 0xffffff40, 4},
    {"PCIE_FC_VC1_NP_CONSUMED", 0xffffff48, 4},
    {"PCIE_FC_VC1_NP_REQUEST", 0xffffff52, 2},
    {"PCIE_FC_VC1_CPL_LIMIT", 0xffffff58, 4},
    {"PCIE_FC_VC1_CPL_CONSUMED", 0xffffff60, 4},
    {"PCIE_FC_VC1_CPL_REQUEST", 0xffffff6a, 2},
    {"PISR", 0xffffff70, 4},
    {"PISR_MASK", 0xffffff78, 4},
    {"PCIE_SEND_DLLP", 0xffffff80, 4},
    {"PCIE_FC_UPDATE", 0xffffff88, 4},
    {"PCIE_DLL_CMD", 0xffffff90, 4},
    {"PCIE_SEQUENCE", 0xffffff98, 2},
    {"PCIE_ACK_NAK", 0xffffff9a, 2},
    {"PCIE_SEND_CHECKSUM", 0xffffffa0, 2},
    {"IT0", 0xffffffa8, 4},
    {"IT1", 0xffffffb0, 4},
    {"IT2", 0xffffffb8, 4},
    {"IT3", IT3, 4},
    {"CPUC", 0xffffffc8, 4},
    {"RTC", RTC, 4, &RegisterBlock::rtc_read, &RegisterBlock::rtc_write},
    {"LED", LED, 1, nullptr, &RegisterBlock::led_write},
    {"MDI", MDI, 1, &RegisterBlock::mdi_read, &RegisterBlock::mdi_write},
    {"PORT_ENABLE", 0xffffffe8, 1},
    {"REBOOT_STATUS", 0xfffffff0, 4},
    {"ISR", ISR, 4, &RegisterBlock::isr_read, &RegisterBlock::ignore_write},
};

std::span<const RegisterBlock::Register> RegisterBlock::registers() { return REGISTERS; }

const RegisterBlock::Register *RegisterBlock::find(uint32_t address, int width) {
  for (const Register &r : REGISTERS)
    if (r.address == address && r.width == width) return &r;
  return nullptr;
}

uint32_t RegisterBlock::read(uint32_t address, int width) {
  const Register *r = find(address, width);
  if (!r || !r->read) return plain_read(address, width);
  uint32_t value = (this->*r->read)();
  plain_write(address, value, width);
  return value;
}

void RegisterBlock::write(uint32_t address, uint32_t value, int width) {
  const Register *r = find(address, width);
  if (r && r->write)
    (this->*r->write)(value);
  else
    plain_write(address, value, width);
}

void RegisterBlock::refresh() {
  for (const Register &r : REGISTERS)
    if (r.read) plain_write(r.address, (this->*r.read)(), r.width);
}

uint32_t RegisterBlock::plain_read(uint32_t address, int width) const {
  uint32_t value = 0;
  for (int i = 0; i < width; i++) value = value << 8 | bytes_[address - BASE + i];
  return value;
}

void RegisterBlock::plain_write(uint32_t address, uint32_t value, int width) {
  for (int i = 0; i < width; i++) bytes_[address - BASE + i] = value >> 8 * (width - 1 - i);
}

uint32_t RegisterBlock::isr_read() { return ISR_VALUE; }
void RegisterBlock::ignore_write(uint32_t) {}

uint32_t RegisterBlock::rtc_read() { return rtc_set_to_ + static_cast<uint32_t>(2 * (now_us_ - rtc_set_at_)); }

void RegisterBlock::rtc_write(uint32_t value) {
  rtc_set_to_ = value;
  rtc_set_at_ = now_us_;
  plain_write(RTC, value, 4);
}

uint32_t RegisterBlock::mdi_read() { return mdi_ ? mdi_->mdi_read() : plain_read(MDI, 1); }

void RegisterBlock::mdi_write(uint32_t value) {
  plain_write(MDI, value, 1);
  if (mdi_) mdi_->mdi_write(static_cast<uint8_t>(value));
}

void RegisterBlock::led_write(uint32_t value) {
  const uint8_t kept = signal_detect_stuck_ ? plain_read(LED, 1) & SIGNAL_DETECT : value & SIGNAL_DETECT;
  plain_write(LED, (value & ~SIGNAL_DETECT) | kept, 1);
}

void RegisterBlock::drive_signal_detect(bool on) {
  if (signal_detect_stuck_) return;
  const uint8_t led = plain_read(LED, 1);
  plain_write(LED, on ? led | SIGNAL_DETECT : led & ~SIGNAL_DETECT, 1);
}

void RegisterBlock::stick_signal_detect(bool value) {
  signal_detect_stuck_ = false;
  drive_signal_detect(value);
  signal_detect_stuck_ = true;
}

}  // namespace sim
