// The chip's two scan chains, as the model keeps them: the layouts (field
// names and widths, in chain order), the images the firmware keeps of them
// in SRAM, and what the chains hold.
//
// Write chain: 107 configuration fields, 420 bits. Read chain: 58 status
// fields, 216 bits; when it is shifted out the write chain follows it, as
// read back.
//
// Bit streams. A chain as a bit stream is its fields in order, each taking
// the next w bits (w its width), least significant bit of byte 0 first; the
// first bit of a field is its bit 0. Only a field's low w bits go into the
// stream.
//
// The images in SRAM are these streams reversed (the stream's byte 0 at the
// image's last address):
//   write image  WRITE_IMAGE_SIZE (53) bytes at WRITE_IMAGE (0x1dffc7): the
//                write chain (420 bits and 4 pad bits). So P0_RX_LB0 is bit 3
//                and P0_RX_LB1 bit 1 of the byte at 0x1dffc7, P0_RX_LB2 bit 7
//                and P0_RX_LB3 bit 5 of the byte at 0x1dffc8.
//   snapshot     SNAPSHOT_SIZE (96) bytes at SNAPSHOT (0x1dff40): a 16-byte
//                header, then 80 bytes holding the read chain (216 bits),
//                then the write chain (420 bits) and 4 pad bits. The
//                snapshot lies clear of the identification strings
//                (0x1dfe00..0x1dfeff) and of the write image.
// Snapshot header: four big-endian words, SNAPSHOT_MAGIC ('scan'), the
// number of refreshes since the boot (0: the boot's own), the two chains'
// lengths in bits (216 << 16 | 420), and WRITE_IMAGE.
//
// What the chains hold (power_on_write_values, read_values) is the model's
// card: the firmware (firmware.h) writes and applies the write chain, and
// keeps the snapshot of both.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace sim {

struct BoardOptions;

namespace scan {

struct Field {
  const char *name;
  unsigned bits;
};

constexpr size_t WRITE_FIELDS = 107, READ_FIELDS = 58;
constexpr unsigned WRITE_BITS = 420, READ_BITS = 216;
using WriteValues = std::array<uint32_t, WRITE_FIELDS>;
using ReadValues = std::array<uint32_t, READ_FIELDS>;

constexpr uint32_t WRITE_IMAGE = 0x1dffc7, WRITE_IMAGE_SIZE = 53;
constexpr uint32_t SNAPSHOT = 0x1dff40, SNAPSHOT_SIZE = 96, SNAPSHOT_HEADER_SIZE = 16;
constexpr uint32_t SNAPSHOT_DATA_SIZE = SNAPSHOT_SIZE - SNAPSHOT_HEADER_SIZE;  // 80
constexpr uint32_t SNAPSHOT_RESOURCE = 2;  // the id the locate request publishes it as
constexpr uint32_t SNAPSHOT_MAGIC = 0x7363616e;

// The chains in order: name and width in bits.
inline constexpr std::array<Field, WRITE_FIELDS> WRITE_CHAIN = {{
    {"PCIE_MEM_SIZE", 5}, {"PCIE_BAR_SIZE", 6}, {"PCIE_BAR_VALID", 1}, {"PCIE_BAR_LSW", 32},
    {"PCIE_BAR_MSW", 32}, {"PCIE_ID_VALID", 1}, {"PCIE_ID", 16}, {"PCIE_MAX_PAYLOAD_SIZE", 3},
    {"PCIE_VC0_TC_MASK", 8}, {"PCIE_VC1_TC_MASK", 8}, {"PCIE_HW_COMPLETION_ENABLE", 1}, {"PCIE_CHECK_LENGTH", 1},
    {"PCIE_HW_WRITE_ENABLE", 1}, {"PCIE_CHECK_ECRC", 1}, {"PCIE_RECEIVE_ALL_DLLP", 1},
    {"PCIE_RECEIVE_ALL_TLP", 1}, {"PCIE_TX_ENABLE_CRC16", 1}, {"PCIE_TX_ENABLE_LCRC", 1},
    {"PCIE_TX_ENABLE_ECRC", 1}, {"PCIE_TX_BDELAY", 3}, {"PCIE_TX_FDELAY", 3}, {"PCIE_RX_ENABLE_CRC16", 1},
    {"PCIE_RX_ENABLE_LCRC", 1}, {"PCIE_RX_ENABLE_ECRC", 1}, {"PCIE_TX_INVALIDATE_LCRC", 2},
    {"PCIE_TX_INVALIDATE_ECRC", 1}, {"PCIE_TX_INVALIDATE_CRC16", 1}, {"PCIE_TX_INVALIDATE_EDB", 1},
    {"PCIE_TX_FORCE_TLP", 1}, {"PCIE_TX_FORCE_DLLP", 1}, {"PCIE_DEBUG_WR_DATA", 8}, {"PCIE_JUMP_TO_STATE", 1},
    {"PCIE_FREEZE_STATE", 1}, {"PCIE_DEBUG", 5}, {"PCIE_EXTENDED_SYNCH", 1}, {"PCIE_DISABLE_SCRAMBLING", 1},
    {"PCIE_LINK_INIT_DETECT", 1}, {"PCIE_LINK_INIT_CONFIGURATION", 1}, {"PCIE_LINK_INIT_RECOVERY", 1},
    {"PCIE_LINK_INIT_HOTRESET", 1}, {"PCIE_LINK_INIT_DISABLED", 1}, {"PCIE_LINK_INIT_LOOPBACK", 1},
    {"PCIE_LINK_INIT_TX_L0S", 1}, {"PCIE_FLIP_DATA_TO_CTRL", 1}, {"MP_LOWER", 28}, {"MP_UPPER", 29},
    {"IMPEDANCE", 19}, {"SRAM_SIZE", 8}, {"ON_CHIP_SRAM_DELAY", 8}, {"REBOOT_ENABLE", 6},
    {"PCIE_REPORT_FC_CHANGE", 6}, {"P0_STOP_SIZE", 8}, {"P0_GO_SIZE", 8}, {"P0_HEADER_SIZE", 8},
    {"P0_CHECK_CRC8", 1}, {"P0_CHECK_CRC32", 1}, {"P0_DROP_BAD_PACKETS", 1}, {"P0_MATCH_OR", 1},
    {"P0_MATCH_RESERVED", 1}, {"P0_DROP_PAUSE", 1}, {"P0_FILTER_ENABLE", 1}, {"S2C_DELAY", 3}, {"C2S_DELAY", 3},
    {"P0_TX_ENABLE_CRC8", 1}, {"P0_TX_INVALIDATE_CRC8", 1}, {"P0_TX_ENABLE_CRC32", 1},
    {"P0_TX_INVALIDATE_CRC32", 1}, {"P0_TX_ENABLE_CRC32_ROUTE", 1}, {"P0_TX_INVALIDATE_PHY", 1},
    {"P0_TX_BDELAY", 3}, {"P0_TX_FDELAY", 3}, {"P0_RX_ENABLE_CRC8", 1}, {"P0_RX_ENABLE_CRC32", 1},
    {"P0_RX_BDELAY", 3}, {"P0_RX_FDELAY", 3}, {"P0_PAUSE_ENABLE", 1}, {"P0_MAC_ADDRESS5", 8},
    {"P0_MAC_ADDRESS4", 8}, {"P0_MAC_ADDRESS3", 8}, {"P0_MAC_ADDRESS2", 8}, {"P0_MAC_ADDRESS1", 8},
    {"P0_MAC_ADDRESS0", 8}, {"P0_PAUSE_DEBUG", 1}, {"P0_MAC_ADDRESS_RESERVED", 1}, {"P0_TX_INV", 4},
    {"P0_TEST_MODE", 2}, {"P0_TX_MODE", 2}, {"P0_TX_TIMEOUT_PERIOD", 2}, {"P0_MAX_PACKET_ENABLE", 1},
    {"P0_MAX_PACKET_LENGTH", 16}, {"P0_IPG_STRETCH_ENABLE", 1}, {"P0_TX_TIMEOUT_ENABLE", 1},
    {"P0_TX_TIMEOUT_DEBUG", 1}, {"P0_RX_MODE", 2}, {"P0_RX_FORCE_DATA_DROP", 1}, {"P0_RX_FORCE_FIFO_FILL", 1},
    {"P0_RX_TIMEOUT_PERIOD", 2}, {"P0_RX_TIMEOUT_ENABLE", 1}, {"P0_RX_TIMEOUT_DEBUG", 1}, {"P0_RX_INV3", 1},
    {"P0_RX_LB3", 1}, {"P0_RX_INV2", 1}, {"P0_RX_LB2", 1}, {"P0_RX_INV1", 1}, {"P0_RX_LB1", 1},
    {"P0_RX_INV0", 1}, {"P0_RX_LB0", 1},
}};

inline constexpr std::array<Field, READ_FIELDS> READ_CHAIN = {{
    {"P0_TX_DATA_RECEIVED", 1}, {"P0_TX_TAIL_RECEIVED", 1}, {"P0_TX_Q_SENT", 1}, {"P0_TX_S_SENT", 1},
    {"P0_TX_FLOW_CONTROL_ON", 1}, {"P0_RX_FLOW_CONTROL_ON", 1}, {"P0_TX_TIMEOUT", 1}, {"P0_TX_OK", 1},
    {"P0_TX_LOCAL_FAULT", 1}, {"P0_TX_REMOTE_FAULT", 1}, {"P0_RX_PREAMBLE_RECEIVED", 1},
    {"P0_RX_TAIL_RECEIVED", 1}, {"P0_RX_Q_RECEIVED", 1}, {"P0_RX_E_RECEIVED", 1}, {"P0_RX_DATA_RECEIVED", 1},
    {"P0_RX_IDLE_RECEIVED", 1}, {"P0_RX_TIMEOUT", 1}, {"P0_RX_OVERRUN", 1}, {"P0_RX_OK", 1},
    {"P0_RX_LOCAL_FAULT", 1}, {"P0_RX_REMOTE_FAULT", 1}, {"P0_RX_BAD_PREAMBLE_RECEIVED", 1},
    {"P0_RX_GOOD_CRC8_COUNT", 16}, {"P0_RX_BAD_CRC8_COUNT", 16}, {"P0_RX_LANES_ALIGNED", 1},
    {"P0_RX_LANE0_SYNCHRONIZED", 1}, {"P0_RX_LANE1_SYNCHRONIZED", 1}, {"P0_RX_LANE2_SYNCHRONIZED", 1},
    {"P0_RX_LANE3_SYNCHRONIZED", 1}, {"P0_RX_LANES_ALIGNED_LL", 1}, {"P0_RX_LANE3_INVALID_COUNT", 8},
    {"P0_RX_LANE2_INVALID_COUNT", 8}, {"P0_RX_LANE1_INVALID_COUNT", 8}, {"P0_RX_LANE0_INVALID_COUNT", 8},
    {"LOOP_COUNT", 16}, {"CYCLE_COUNT", 16}, {"PCIE_LINK_UP", 1}, {"PCIE_DEBUG_RD_DATA", 8},
    {"PCIE_PAD_OVERFLOW", 1}, {"PCIE_LINK_ERROR_COUNT", 8}, {"PCIE_RX_LANES_ALIGNED", 1},
    {"PCIE_RX_LANE0_SYNCHRONIZED", 1}, {"PCIE_RX_LANE1_SYNCHRONIZED", 1}, {"PCIE_RX_LANE2_SYNCHRONIZED", 1},
    {"PCIE_RX_LANE3_SYNCHRONIZED", 1}, {"PCIE_RX_LANE4_SYNCHRONIZED", 1}, {"PCIE_RX_LANE5_SYNCHRONIZED", 1},
    {"PCIE_RX_LANE6_SYNCHRONIZED", 1}, {"PCIE_RX_LANE7_SYNCHRONIZED", 1}, {"PCIE_RX_LANES_ALIGNED_LL", 1},
    {"PCIE_RX_LANE7_INVALID_COUNT", 8}, {"PCIE_RX_LANE6_INVALID_COUNT", 8}, {"PCIE_RX_LANE5_INVALID_COUNT", 8},
    {"PCIE_RX_LANE4_INVALID_COUNT", 8}, {"PCIE_RX_LANE3_INVALID_COUNT", 8}, {"PCIE_RX_LANE2_INVALID_COUNT", 8},
    {"PCIE_RX_LANE1_INVALID_COUNT", 8}, {"PCIE_RX_LANE0_INVALID_COUNT", 8},
}};

constexpr unsigned chain_bits(std::span<const Field> chain) {
  unsigned n = 0;
  for (const Field &f : chain) n += f.bits;
  return n;
}
static_assert(chain_bits(WRITE_CHAIN) == WRITE_BITS && chain_bits(READ_CHAIN) == READ_BITS);
static_assert((READ_BITS + WRITE_BITS + 7) / 8 == SNAPSHOT_DATA_SIZE && (WRITE_BITS + 7) / 8 == WRITE_IMAGE_SIZE);

// What PCIE_DEBUG_RD_DATA shows for PCIE_DEBUG = 0, 4, ..., 28 by default
// (BoardOptions::pcie_debug): the PHY's state, the lanes enabled, the lanes
// selected, the FTS count, the link number, the lanes a receiver was
// detected on at transmit and at receive, and a byte of other flags.
constexpr std::array<uint8_t, 8> PCIE_DEBUG_DEFAULT = {0x11, 0xff, 0x0f, 0x80, 0x01, 0xf0, 0x3c, 0xa5};

// The index of the field named `name` in `chain`, if it has one.
constexpr std::optional<size_t> find(std::span<const Field> chain, std::string_view name) {
  for (size_t i = 0; i < chain.size(); i++)
    if (name == chain[i].name) return i;
  return std::nullopt;
}
// The position in its chain's stream of field `index`'s bit 0.
constexpr unsigned first_bit(std::span<const Field> chain, size_t index) {
  return chain_bits(chain.first(std::min(index, chain.size())));
}

// Packs `values` (one per field of `chain`) into `stream` from bit `at` on;
// the other bits of `stream` are left as they are.
void pack(std::span<const Field> chain, std::span<const uint32_t> values, std::span<uint8_t> stream, unsigned at = 0);
// Unpacks the fields of `chain` from `stream`, from bit `at` on.
void unpack(std::span<const Field> chain, std::span<const uint8_t> stream, std::span<uint32_t> values,
            unsigned at = 0);

// The write image in SRAM order, pad bits 0, and the values it holds.
std::array<uint8_t, WRITE_IMAGE_SIZE> write_image(const WriteValues &values);
WriteValues decode_write_image(std::span<const uint8_t, WRITE_IMAGE_SIZE> image);

// The snapshot's 80 data bytes in SRAM order, and what they hold.
std::array<uint8_t, SNAPSHOT_DATA_SIZE> snapshot_data(const ReadValues &read, const WriteValues &written);
void decode_snapshot_data(std::span<const uint8_t, SNAPSHOT_DATA_SIZE> data, ReadValues *read, WriteValues *written);
// The whole snapshot after `refreshes` refreshes since the boot, for a
// board of `options` whose applied write chain is `applied`.
std::array<uint8_t, SNAPSHOT_SIZE> snapshot(const BoardOptions &options, const WriteValues &applied,
                                            uint32_t refreshes);

// The write chain the firmware's image holds at every boot.
WriteValues power_on_write_values(const BoardOptions &options);
// The read chain of a board of `options` whose applied write chain is `applied`.
ReadValues read_values(const BoardOptions &options, const WriteValues &applied);

// What the boot leaves at SRAM `offset` in the write image and the snapshot,
// for a board of `options`; none outside them (and outside the write image
// for a board without the snapshot).
std::optional<uint8_t> booted_byte(const BoardOptions &options, uint32_t offset);

}  // namespace scan
}  // namespace sim
