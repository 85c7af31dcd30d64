#include "scan_chains.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "board_options.h"
#include "byte_order.h"

namespace sim::scan {

namespace {

// A field the model's own code names: one that is not in its chain is a
// fault of the model.
template <size_t N>
uint32_t &field(std::array<uint32_t, N> &values, std::span<const Field> chain, std::string_view name) {
  std::optional<size_t> i = find(chain, name);
  if (!i) abort();
  return values[*i];
}
uint32_t &w(WriteValues &v, std::string_view name) { return field(v, WRITE_CHAIN, name); }
uint32_t w(const WriteValues &v, std::string_view name) {
  std::optional<size_t> i = find(WRITE_CHAIN, name);
  if (!i) abort();
  return v[*i];
}
uint32_t &r(ReadValues &v, std::string_view name) { return field(v, READ_CHAIN, name); }

}  // namespace

void pack(std::span<const Field> chain, std::span<const uint32_t> values, std::span<uint8_t> stream, unsigned at) {
  for (size_t i = 0; i < chain.size() && i < values.size(); i++) {
    const uint32_t v = values[i];
    for (unsigned b = 0; b < chain[i].bits; b++, at++) {
      if (at / 8 >= stream.size()) return;
      const uint8_t bit = static_cast<uint8_t>(1u << at % 8);
      if (v >> b & 1)
        stream[at / 8] |= bit;
      else
        stream[at / 8] &= static_cast<uint8_t>(~bit);
    }
  }
}

void unpack(std::span<const Field> chain, std::span<const uint8_t> stream, std::span<uint32_t> values,
            unsigned at) {
  for (size_t i = 0; i < chain.size() && i < values.size(); i++) {
    uint32_t v = 0;
    for (unsigned b = 0; b < chain[i].bits; b++, at++)
      if (at / 8 < stream.size() && stream[at / 8] >> at % 8 & 1) v |= 1u << b;
    values[i] = v;
  }
}

std::array<uint8_t, WRITE_IMAGE_SIZE> write_image(const WriteValues &values) {
  std::array<uint8_t, WRITE_IMAGE_SIZE> image{};
  pack(WRITE_CHAIN, values, image);
  std::reverse(image.begin(), image.end());
  return image;
}

WriteValues decode_write_image(std::span<const uint8_t, WRITE_IMAGE_SIZE> image) {
  std::array<uint8_t, WRITE_IMAGE_SIZE> stream;
  std::reverse_copy(image.begin(), image.end(), stream.begin());
  WriteValues values{};
  unpack(WRITE_CHAIN, stream, values);
  return values;
}

std::array<uint8_t, SNAPSHOT_DATA_SIZE> snapshot_data(const ReadValues &read, const WriteValues &written) {
  std::array<uint8_t, SNAPSHOT_DATA_SIZE> data{};
  pack(READ_CHAIN, read, data);
  pack(WRITE_CHAIN, written, data, READ_BITS);
  std::reverse(data.begin(), data.end());
  return data;
}

void decode_snapshot_data(std::span<const uint8_t, SNAPSHOT_DATA_SIZE> data, ReadValues *read, WriteValues *written) {
  std::array<uint8_t, SNAPSHOT_DATA_SIZE> stream;
  std::reverse_copy(data.begin(), data.end(), stream.begin());
  if (read) unpack(READ_CHAIN, stream, *read);
  if (written) unpack(WRITE_CHAIN, stream, *written, READ_BITS);
}

std::array<uint8_t, SNAPSHOT_SIZE> snapshot(const BoardOptions &options, const WriteValues &applied,
                                            uint32_t refreshes) {
  std::array<uint8_t, SNAPSHOT_SIZE> s{};
  put_be32(&s[0], SNAPSHOT_MAGIC);
  put_be32(&s[4], refreshes);
  put_be32(&s[8], READ_BITS << 16 | WRITE_BITS);
  put_be32(&s[12], WRITE_IMAGE);
  auto data = snapshot_data(read_values(options, applied), applied);
  std::copy(data.begin(), data.end(), s.begin() + SNAPSHOT_HEADER_SIZE);
  return s;
}

// The write chain as the firmware sets the chip up: a 2 MiB SRAM behind a
// 16 MiB memory BAR, placed by the host (64-bit, prefetchable) at
// 0x3_fa000000 as the chip saw it; the board's device id and largest
// payload; traffic classes 0-6 on VC0 and 7 on VC1; CRCs generated and
// checked; the port with the board's MAC address (00:fa:dd:5c:00 and the
// index, the identification strings' address, P0_MAC_ADDRESS0 its first
// byte), jumbo frames of 9018 bytes, lanes 1 and 3 received inverted, and
// the loopback of BoardOptions::loopback. Debug selector 13: selection 3,
// with the low bits set, so that a host changing the selection must keep
// them. Every multi-bit field holds a value of its own width or nearly, so
// that fields taken in the wrong order or masked wrongly show.
WriteValues power_on_write_values(const BoardOptions &o) {
  WriteValues v{};
  w(v, "PCIE_MEM_SIZE") = 21;
  w(v, "PCIE_BAR_SIZE") = 24;
  w(v, "PCIE_BAR_VALID") = 1;
  w(v, "PCIE_BAR_LSW") = 0xfa00000c;
  w(v, "PCIE_BAR_MSW") = 0x00000003;
  w(v, "PCIE_ID_VALID") = 1;
  w(v, "PCIE_ID") = o.device_id;
  w(v, "PCIE_MAX_PAYLOAD_SIZE") = o.max_payload_supported;
  w(v, "PCIE_VC0_TC_MASK") = 0x7f;
  w(v, "PCIE_VC1_TC_MASK") = 0x80;
  w(v, "PCIE_HW_COMPLETION_ENABLE") = 1;
  w(v, "PCIE_CHECK_LENGTH") = 1;
  w(v, "PCIE_HW_WRITE_ENABLE") = 1;
  w(v, "PCIE_TX_ENABLE_CRC16") = 1;
  w(v, "PCIE_TX_ENABLE_LCRC") = 1;
  w(v, "PCIE_TX_BDELAY") = 5;
  w(v, "PCIE_TX_FDELAY") = 2;
  w(v, "PCIE_RX_ENABLE_CRC16") = 1;
  w(v, "PCIE_RX_ENABLE_LCRC") = 1;
  w(v, "PCIE_DEBUG_WR_DATA") = 0x5a;
  w(v, "PCIE_DEBUG") = 13;
  w(v, "PCIE_LINK_INIT_DETECT") = 1;
  w(v, "PCIE_LINK_INIT_CONFIGURATION") = 1;
  w(v, "PCIE_LINK_INIT_RECOVERY") = 1;
  w(v, "PCIE_LINK_INIT_TX_L0S") = 1;
  w(v, "MP_LOWER") = 0x8f3c2a1;
  w(v, "MP_UPPER") = 0x1a2b3c4d;
  w(v, "IMPEDANCE") = 0x5a5a5;
  w(v, "SRAM_SIZE") = 21;
  w(v, "ON_CHIP_SRAM_DELAY") = 3;
  w(v, "REBOOT_ENABLE") = 0x21;
  w(v, "PCIE_REPORT_FC_CHANGE") = 0x0e;
  w(v, "P0_STOP_SIZE") = 0xc0;
  w(v, "P0_GO_SIZE") = 0x40;
  w(v, "P0_HEADER_SIZE") = 14;
  w(v, "P0_CHECK_CRC8") = 1;
  w(v, "P0_CHECK_CRC32") = 1;
  w(v, "P0_DROP_BAD_PACKETS") = 1;
  w(v, "P0_DROP_PAUSE") = 1;
  w(v, "S2C_DELAY") = 3;
  w(v, "C2S_DELAY") = 4;
  w(v, "P0_TX_ENABLE_CRC8") = 1;
  w(v, "P0_TX_ENABLE_CRC32") = 1;
  w(v, "P0_TX_ENABLE_CRC32_ROUTE") = 1;
  w(v, "P0_TX_BDELAY") = 6;
  w(v, "P0_TX_FDELAY") = 1;
  w(v, "P0_RX_ENABLE_CRC8") = 1;
  w(v, "P0_RX_ENABLE_CRC32") = 1;
  w(v, "P0_RX_BDELAY") = 7;
  w(v, "P0_RX_FDELAY") = 2;
  w(v, "P0_PAUSE_ENABLE") = 1;
  w(v, "P0_MAC_ADDRESS0") = 0x00;
  w(v, "P0_MAC_ADDRESS1") = 0xfa;
  w(v, "P0_MAC_ADDRESS2") = 0xdd;
  w(v, "P0_MAC_ADDRESS3") = 0x5c;
  w(v, "P0_MAC_ADDRESS4") = 0x00;
  w(v, "P0_MAC_ADDRESS5") = static_cast<uint32_t>(o.index) & 0xff;
  w(v, "P0_TX_INV") = 0x5;
  w(v, "P0_TX_MODE") = 2;
  w(v, "P0_TX_TIMEOUT_PERIOD") = 3;
  w(v, "P0_MAX_PACKET_ENABLE") = 1;
  w(v, "P0_MAX_PACKET_LENGTH") = 9018;
  w(v, "P0_TX_TIMEOUT_ENABLE") = 1;
  w(v, "P0_RX_MODE") = 1;
  w(v, "P0_RX_TIMEOUT_PERIOD") = 2;
  w(v, "P0_RX_TIMEOUT_ENABLE") = 1;
  w(v, "P0_RX_INV3") = 1;
  w(v, "P0_RX_INV1") = 1;
  w(v, "P0_RX_LB0") = o.loopback & 1;
  w(v, "P0_RX_LB1") = o.loopback >> 1 & 1;
  w(v, "P0_RX_LB2") = o.loopback >> 2 & 1;
  w(v, "P0_RX_LB3") = o.loopback >> 3 & 1;
  return v;
}

// The port receives on lane k when its loopback P0_RX_LBk is on or the XFP
// module receives a signal; the port is up (aligned, frames counted, no
// local fault) when all four lanes receive. Counters are fixed values, so
// the snapshot is a function of the options and the applied chain:
// LOOP_COUNT carries the applied loopback bits in its low nibble. The PCI
// Express side is up on all eight lanes; PCIE_DEBUG_RD_DATA is the byte of
// BoardOptions::pcie_debug that the applied PCIE_DEBUG selects (its
// selection, PCIE_DEBUG >> 2).
ReadValues read_values(const BoardOptions &o, const WriteValues &applied) {
  ReadValues v{};
  const bool signal = o.xfp_present && o.xfp_signal;
  bool lane[4];
  uint32_t loops = 0;
  for (int k = 0; k < 4; k++) {
    const bool lb = w(applied, std::string("P0_RX_LB") + char('0' + k)) & 1;
    loops |= (uint32_t)lb << k;
    lane[k] = lb || signal;
  }
  const uint32_t up = lane[0] && lane[1] && lane[2] && lane[3];
  r(v, "P0_TX_DATA_RECEIVED") = 1;
  r(v, "P0_TX_TAIL_RECEIVED") = 1;
  r(v, "P0_TX_S_SENT") = 1;
  r(v, "P0_TX_OK") = 1;
  r(v, "P0_RX_PREAMBLE_RECEIVED") = up;
  r(v, "P0_RX_TAIL_RECEIVED") = up;
  r(v, "P0_RX_DATA_RECEIVED") = up;
  r(v, "P0_RX_IDLE_RECEIVED") = up;
  r(v, "P0_RX_OK") = up;
  r(v, "P0_RX_LOCAL_FAULT") = !up;
  r(v, "P0_RX_GOOD_CRC8_COUNT") = up ? 0x1c3a : 0;
  r(v, "P0_RX_BAD_CRC8_COUNT") = 0x0007;
  r(v, "P0_RX_LANES_ALIGNED") = up;
  r(v, "P0_RX_LANES_ALIGNED_LL") = up;
  static const uint32_t invalid[4] = {0x10, 0x21, 0x42, 0x83};
  for (int k = 0; k < 4; k++) {
    const std::string lane_name = std::string("P0_RX_LANE") + char('0' + k);
    r(v, lane_name + "_SYNCHRONIZED") = lane[k];
    r(v, lane_name + "_INVALID_COUNT") = lane[k] ? invalid[k] : 0xff;
  }
  r(v, "LOOP_COUNT") = 0x5a00 | loops;
  r(v, "CYCLE_COUNT") = 0xc350;
  r(v, "PCIE_LINK_UP") = 1;
  r(v, "PCIE_DEBUG_RD_DATA") = o.pcie_debug[(w(applied, "PCIE_DEBUG") & 0x1f) >> 2];
  r(v, "PCIE_LINK_ERROR_COUNT") = 0x2d;
  r(v, "PCIE_RX_LANES_ALIGNED") = 1;
  r(v, "PCIE_RX_LANES_ALIGNED_LL") = 1;
  for (int k = 0; k < 8; k++) {
    const std::string lane_name = std::string("PCIE_RX_LANE") + char('0' + k);
    r(v, lane_name + "_SYNCHRONIZED") = 1;
    r(v, lane_name + "_INVALID_COUNT") = 0x07 + 0x0f * k;  // 0x07 for lane 0 ... 0x70 for lane 7
  }
  return v;
}

std::optional<uint8_t> booted_byte(const BoardOptions &options, uint32_t offset) {
  if (offset >= WRITE_IMAGE && offset - WRITE_IMAGE < WRITE_IMAGE_SIZE)
    return write_image(power_on_write_values(options))[offset - WRITE_IMAGE];
  if (options.scan_snapshot && offset >= SNAPSHOT && offset - SNAPSHOT < SNAPSHOT_SIZE)
    return snapshot(options, power_on_write_values(options), 0)[offset - SNAPSHOT];
  return std::nullopt;
}

}  // namespace sim::scan
