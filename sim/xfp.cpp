#include "xfp.h"

#include <cstring>

namespace sim {

namespace {

void put16(std::array<uint8_t, 128> &page, unsigned at, uint16_t value) {
  page[at] = value >> 8;
  page[at + 1] = value & 0xff;
}

void put_text(std::array<uint8_t, 128> &page, unsigned at, const char *text) { memcpy(&page[at], text, strlen(text)); }

}  // namespace

Xfp::Xfp(const BoardOptions &options)
    : present_(options.xfp_present), ready_(options.xfp_ready), signal_(options.xfp_signal) {
  lower_[0] = 0x06;
  put16(lower_, 2, 0x5000);
  put16(lower_, 4, 0xf600);
  put16(lower_, 6, 0x4b00);
  put16(lower_, 8, 0xfb00);
  put16(lower_, 96, 0x2280);
  put16(lower_, 100, 0x1a2b);
  put16(lower_, 102, 0x1d4c);
  put16(lower_, 104, signal_ ? 0x1388 : 0);
  put16(lower_, 106, 0x2680);
  put16(lower_, 108, 0x8084);

  // Table 1 holds bytes 128 to 255.
  identity_[128 - 128] = 0x06;
  identity_[129 - 128] = 0x90;
  identity_[130 - 128] = 0x07;
  identity_[131 - 128] = 0x40;
  put_text(identity_, 148 - 128, "SIMOPTIX        ");
  put_text(identity_, 168 - 128, "XFP-LR-SIM      ");
  put_text(identity_, 184 - 128, "A1");
  put16(identity_, 186 - 128, 0x6658);
  put_text(identity_, 196 - 128, "SX10G0000001    ");
  put_text(identity_, 212 - 128, "24031501");
  identity_[222 - 128] = 0x47;

  for (const BoardOptions::XfpBytes &run : options.xfp_bytes)
    for (size_t i = 0; i < run.bytes.size() && run.address + i < 256; i++) {
      unsigned at = run.address + i;
      if (at == STATUS_FLAGS)
        latched_ = run.bytes[i];
      else if (at < 128)
        lower_[at] = run.bytes[i];
      else
        identity_[at - 128] = run.bytes[i];
    }
}

uint8_t Xfp::conditions() const {
  uint8_t flags = 0;
  if (!ready_) flags |= TX_NOT_READY | RX_NOT_READY | NOT_READY;
  if (!signal_) flags |= RX_LOSS_OF_SIGNAL | RX_CDR_NOT_LOCKED;
  return flags;
}

uint8_t Xfp::peek(uint8_t address) const {
  if (address == STATUS_FLAGS) return latched_ | conditions();
  if (address < 128) return lower_[address];
  return lower_[TABLE_SELECT] == IDENTITY_TABLE ? identity_[address - 128] : 0;
}

uint8_t Xfp::read(uint8_t address) {
  uint8_t value = peek(address);
  if (address == STATUS_FLAGS) latched_ = 0;  // what still holds is answered again from conditions()
  return value;
}

void Xfp::write(uint8_t address, uint8_t value) {
  if (address == TABLE_SELECT) lower_[TABLE_SELECT] = value;
}

}  // namespace sim
