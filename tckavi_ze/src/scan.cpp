// The scan chains: their layouts, the images that the scan_read and
// scan_write operations move (shared by every handle of the process), and
// the access to a field by name.

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tckavi.h"

// Configuration fields of the PCI Express interface, the memory and the
// network port, in the order they are shifted in.
const scan_field write_scan_chain[] = {
    {5, "PCIE_MEM_SIZE"},
    {6, "PCIE_BAR_SIZE"},
    {1, "PCIE_BAR_VALID"},
    {32, "PCIE_BAR_LSW"},
    {32, "PCIE_BAR_MSW"},
    {1, "PCIE_ID_VALID"},
    {16, "PCIE_ID"},
    {3, "PCIE_MAX_PAYLOAD_SIZE"},
    {8, "PCIE_VC0_TC_MASK"},
    {8, "PCIE_VC1_TC_MASK"},
    {1, "PCIE_HW_COMPLETION_ENABLE"},
    {1, "PCIE_CHECK_LENGTH"},
    {1, "PCIE_HW_WRITE_ENABLE"},
    {1, "PCIE_CHECK_ECRC"},
    {1, "PCIE_RECEIVE_ALL_DLLP"},
    {1, "PCIE_RECEIVE_ALL_TLP"},
    {1, "PCIE_TX_ENABLE_CRC16"},
    {1, "PCIE_TX_ENABLE_LCRC"},
    {1, "PCIE_TX_ENABLE_ECRC"},
    {3, "PCIE_TX_BDELAY"},
    {3, "PCIE_TX_FDELAY"},
    {1, "PCIE_RX_ENABLE_CRC16"},
    {1, "PCIE_RX_ENABLE_LCRC"},
    {1, "PCIE_RX_ENABLE_ECRC"},
    {2, "PCIE_TX_INVALIDATE_LCRC"},
    {1, "PCIE_TX_INVALIDATE_ECRC"},
    {1, "PCIE_TX_INVALIDATE_CRC16"},
    {1, "PCIE_TX_INVALIDATE_EDB"},
    {1, "PCIE_TX_FORCE_TLP"},
    {1, "PCIE_TX_FORCE_DLLP"},
    {8, "PCIE_DEBUG_WR_DATA"},
    {1, "PCIE_JUMP_TO_STATE"},
    {1, "PCIE_FREEZE_STATE"},
    {5, "PCIE_DEBUG"},
    {1, "PCIE_EXTENDED_SYNCH"},
    {1, "PCIE_DISABLE_SCRAMBLING"},
    {1, "PCIE_LINK_INIT_DETECT"},
    {1, "PCIE_LINK_INIT_CONFIGURATION"},
    {1, "PCIE_LINK_INIT_RECOVERY"},
    {1, "PCIE_LINK_INIT_HOTRESET"},
    {1, "PCIE_LINK_INIT_DISABLED"},
    {1, "PCIE_LINK_INIT_LOOPBACK"},
    {1, "PCIE_LINK_INIT_TX_L0S"},
    {1, "PCIE_FLIP_DATA_TO_CTRL"},
    {28, "MP_LOWER"},
    {29, "MP_UPPER"},
    {19, "IMPEDANCE"},
    {8, "SRAM_SIZE"},
    {8, "ON_CHIP_SRAM_DELAY"},
    {6, "REBOOT_ENABLE"},
    {6, "PCIE_REPORT_FC_CHANGE"},
    {8, "P0_STOP_SIZE"},
    {8, "P0_GO_SIZE"},
    {8, "P0_HEADER_SIZE"},
    {1, "P0_CHECK_CRC8"},
    {1, "P0_CHECK_CRC32"},
    {1, "P0_DROP_BAD_PACKETS"},
    {1, "P0_MATCH_OR"},
    {1, "P0_MATCH_RESERVED"},
    {1, "P0_DROP_PAUSE"},
    {1, "P0_FILTER_ENABLE"},
    {3, "S2C_DELAY"},
    {3, "C2S_DELAY"},
    {1, "P0_TX_ENABLE_CRC8"},
    {1, "P0_TX_INVALIDATE_CRC8"},
    {1, "P0_TX_ENABLE_CRC32"},
    {1, "P0_TX_INVALIDATE_CRC32"},
    {1, "P0_TX_ENABLE_CRC32_ROUTE"},
    {1, "P0_TX_INVALIDATE_PHY"},
    {3, "P0_TX_BDELAY"},
    {3, "P0_TX_FDELAY"},
    {1, "P0_RX_ENABLE_CRC8"},
    {1, "P0_RX_ENABLE_CRC32"},
    {3, "P0_RX_BDELAY"},
    {3, "P0_RX_FDELAY"},
    {1, "P0_PAUSE_ENABLE"},
    {8, "P0_MAC_ADDRESS5"},
    {8, "P0_MAC_ADDRESS4"},
    {8, "P0_MAC_ADDRESS3"},
    {8, "P0_MAC_ADDRESS2"},
    {8, "P0_MAC_ADDRESS1"},
    {8, "P0_MAC_ADDRESS0"},
    {1, "P0_PAUSE_DEBUG"},
    {1, "P0_MAC_ADDRESS_RESERVED"},
    {4, "P0_TX_INV"},
    {2, "P0_TEST_MODE"},
    {2, "P0_TX_MODE"},
    {2, "P0_TX_TIMEOUT_PERIOD"},
    {1, "P0_MAX_PACKET_ENABLE"},
    {16, "P0_MAX_PACKET_LENGTH"},
    {1, "P0_IPG_STRETCH_ENABLE"},
    {1, "P0_TX_TIMEOUT_ENABLE"},
    {1, "P0_TX_TIMEOUT_DEBUG"},
    {2, "P0_RX_MODE"},
    {1, "P0_RX_FORCE_DATA_DROP"},
    {1, "P0_RX_FORCE_FIFO_FILL"},
    {2, "P0_RX_TIMEOUT_PERIOD"},
    {1, "P0_RX_TIMEOUT_ENABLE"},
    {1, "P0_RX_TIMEOUT_DEBUG"},
    {1, "P0_RX_INV3"},
    {1, "P0_RX_LB3"},
    {1, "P0_RX_INV2"},
    {1, "P0_RX_LB2"},
    {1, "P0_RX_INV1"},
    {1, "P0_RX_LB1"},
    {1, "P0_RX_INV0"},
    {1, "P0_RX_LB0"},
    {0, nullptr},
};

// Status fields of the network port and the PCI Express interface; the
// write chain follows them when the chains are read.
const scan_field read_scan_chain[] = {
    {1, "P0_TX_DATA_RECEIVED"},
    {1, "P0_TX_TAIL_RECEIVED"},
    {1, "P0_TX_Q_SENT"},
    {1, "P0_TX_S_SENT"},
    {1, "P0_TX_FLOW_CONTROL_ON"},
    {1, "P0_RX_FLOW_CONTROL_ON"},
    {1, "P0_TX_TIMEOUT"},
    {1, "P0_TX_OK"},
    {1, "P0_TX_LOCAL_FAULT"},
    {1, "P0_TX_REMOTE_FAULT"},
    {1, "P0_RX_PREAMBLE_RECEIVED"},
    {1, "P0_RX_TAIL_RECEIVED"},
    {1, "P0_RX_Q_RECEIVED"},
    {1, "P0_RX_E_RECEIVED"},
    {1, "P0_RX_DATA_RECEIVED"},
    {1, "P0_RX_IDLE_RECEIVED"},
    {1, "P0_RX_TIMEOUT"},
    {1, "P0_RX_OVERRUN"},
    {1, "P0_RX_OK"},
    {1, "P0_RX_LOCAL_FAULT"},
    {1, "P0_RX_REMOTE_FAULT"},
    {1, "P0_RX_BAD_PREAMBLE_RECEIVED"},
    {16, "P0_RX_GOOD_CRC8_COUNT"},
    {16, "P0_RX_BAD_CRC8_COUNT"},
    {1, "P0_RX_LANES_ALIGNED"},
    {1, "P0_RX_LANE0_SYNCHRONIZED"},
    {1, "P0_RX_LANE1_SYNCHRONIZED"},
    {1, "P0_RX_LANE2_SYNCHRONIZED"},
    {1, "P0_RX_LANE3_SYNCHRONIZED"},
    {1, "P0_RX_LANES_ALIGNED_LL"},
    {8, "P0_RX_LANE3_INVALID_COUNT"},
    {8, "P0_RX_LANE2_INVALID_COUNT"},
    {8, "P0_RX_LANE1_INVALID_COUNT"},
    {8, "P0_RX_LANE0_INVALID_COUNT"},
    {16, "LOOP_COUNT"},
    {16, "CYCLE_COUNT"},
    {1, "PCIE_LINK_UP"},
    {8, "PCIE_DEBUG_RD_DATA"},
    {1, "PCIE_PAD_OVERFLOW"},
    {8, "PCIE_LINK_ERROR_COUNT"},
    {1, "PCIE_RX_LANES_ALIGNED"},
    {1, "PCIE_RX_LANE0_SYNCHRONIZED"},
    {1, "PCIE_RX_LANE1_SYNCHRONIZED"},
    {1, "PCIE_RX_LANE2_SYNCHRONIZED"},
    {1, "PCIE_RX_LANE3_SYNCHRONIZED"},
    {1, "PCIE_RX_LANE4_SYNCHRONIZED"},
    {1, "PCIE_RX_LANE5_SYNCHRONIZED"},
    {1, "PCIE_RX_LANE6_SYNCHRONIZED"},
    {1, "PCIE_RX_LANE7_SYNCHRONIZED"},
    {1, "PCIE_RX_LANES_ALIGNED_LL"},
    {8, "PCIE_RX_LANE7_INVALID_COUNT"},
    {8, "PCIE_RX_LANE6_INVALID_COUNT"},
    {8, "PCIE_RX_LANE5_INVALID_COUNT"},
    {8, "PCIE_RX_LANE4_INVALID_COUNT"},
    {8, "PCIE_RX_LANE3_INVALID_COUNT"},
    {8, "PCIE_RX_LANE2_INVALID_COUNT"},
    {8, "PCIE_RX_LANE1_INVALID_COUNT"},
    {8, "PCIE_RX_LANE0_INVALID_COUNT"},
    {0, nullptr},
};

// What each setting of the chip's debug mux shows at each position.
const mux_signal mux_signals[] = {
    {1, 0, "zp/tz_clk_312p5"},
    {1, 1, "zp_clkT_buf[0]"},
    {1, 2, "zp_clkT_buf[1]"},
    {1, 3, "zp_clkT_buf[2]"},
    {1, 4, "rs0/init"},
    {1, 5, "zp_clkR_buf[1]"},
    {1, 6, "zp_clkR_buf[2]"},
    {1, 7, "zp_clkR_buf[3]"},
    {1, 8, "zp_encdet[0]"},
    {1, 9, "zp_encdet[1]"},
    {1, 10, "zp_encdet[2]"},
    {1, 11, "zp_encdet[3]"},
    {1, 12, "zp/tx_on"},
    {1, 13, "zp/resetb_tz"},
    {2, 0, "!zp/rz_clk_312p5"},
    {2, 1, "!zp_resetb"},
    {2, 2, "!zp/rx_on"},
    {2, 3, "!zp/link_fault[2]"},
    {2, 4, "!zp/link_fault[1"},
    {2, 5, "!zp/link_fault[0]"},
    {2, 6, "!tx_stopped"},
    {2, 7, "!rx_stopped"},
    {2, 8, "!zport_rb_parity_error"},
    {2, 9, "!zport_link_up"},
    {2, 10, "!zp/do[71]"},
    {2, 11, "!r0_put"},
    {2, 12, "!r0_bbw[0]"},
    {2, 13, "!zclk"},
    {3, 0, "sclk"},
    {3, 1, "resetb_sb[0]"},
    {3, 2, "resetb_sb[1]"},
    {3, 3, "sb_parity_error"},
    {3, 4, "resetb_rb"},
    {3, 5, "sd[68]"},
    {3, 6, "sd[67]"},
    {3, 7, "rq1_put"},
    {3, 8, "copy0_put[0]"},
    {3, 9, "copy1_put[0]"},
    {3, 10, "cd0[64]"},
    {3, 11, "cd1[64]"},
    {3, 12, "vc0_fc[0]"},
    {3, 13, "vc0_fc[1]"},
    {4, 0, "!r1_put"},
    {4, 1, "!r1_bbw[0]"},
    {4, 2, "!pcie_rb_parity_error"},
    {4, 3, "!ra1[15]"},
    {4, 4, "!ra1[14]"},
    {4, 5, "!ra1[3]"},
    {4, 6, "!checksum_rp[0]"},
    {4, 7, "!checksum_rp[4]"},
    {4, 8, "!checksum[0]"},
    {4, 9, "!pclk"},
    {4, 10, "!resetb_pcie[1]"},
    {4, 11, "!dll_wen[32]"},
    {4, 12, "!dll_wen[35]"},
    {4, 13, "!to_tl_put"},
    {5, 0, "cpu_block"},
    {5, 1, "cpu_clk"},
    {5, 2, "jtag_elig"},
    {5, 3, "rp_zport_c[4]"},
    {5, 4, "rp_zport_a_c[4]"},
    {5, 5, "flags_c[0]"},
    {5, 6, "flags_c[1]"},
    {5, 7, "dllp_latch_c[0]"},
    {5, 8, "dllp_latch_c[1]"},
    {5, 9, "dllp_latch_c[2]"},
    {5, 10, "dllp_latch_c[6]"},
    {7, 0, "spec_addr"},
    {7, 1, "spec_web"},
    {7, 2, "spec_in[0]"},
    {7, 3, "spec_out[0]"},
    {7, 4, "addrbus[3]"},
    {7, 5, "bwbbus[0]"},
    {7, 6, "dobus[0]"},
    {7, 7, "web_pre"},
    {7, 8, "cpu_elig_in"},
    {7, 9, "commit"},
    {7, 10, "cpu_clk"},
    {7, 11, "jtag_rqst"},
    {8, 0, "!jresetb"},
    {8, 1, "!cpu_resetb"},
    {8, 2, "!mem_resetb"},
    {8, 3, "!jtag_resetb"},
    {8, 4, "!store_cmd_addr"},
    {8, 5, "!store_cmd_data"},
    {8, 6, "!store_cmd_flush"},
    {8, 7, "!load_cmd_addr"},
    {8, 8, "!load_data_rdy"},
    {8, 11, "!two_mhz"},
    {8, 13, "!chip_resetb_c"},
    {9, 4, "!pcie_block"},
    {9, 5, "!pcie_link_up"},
    {10, 0, "!pp_mux[0]"},
    {10, 1, "!pp_mux[1]"},
    {10, 2, "!pp_mux[2]"},
    {10, 3, "!pp_mux[3]"},
    {10, 4, "!pp_mux[4]"},
    {10, 5, "!pp_mux[5]"},
    {10, 6, "!pp_mux[6]"},
    {10, 7, "!pp_clkT_buf"},
    {10, 8, "!pp_clkR_buf[2]"},
    {10, 9, "!pp_clkR_buf[3]"},
    {10, 10, "!pp_clkR_buf[4]"},
    {10, 11, "!pp_clkR_buf[5]"},
    {10, 12, "!pp_clkR_buf[6]"},
    {10, 13, "!pp_clkR_buf[7]"},
    {11, 0, "to_pl_get"},
    {11, 1, "to_pl_put"},
    {11, 2, "pb_mid0[40]"},
    {11, 3, "pb_mid0[41]"},
    {11, 4, "pp_clkT[4]"},
    {11, 5, "pp_clkT[5]"},
    {11, 6, "pp_clkT[6]"},
    {11, 7, "pp_encdet_buf[4]"},
    {11, 8, "pp_encdet_buf[5]"},
    {11, 9, "pp_encdet_buf[6]"},
    {11, 10, "pp_encdet_buf[7]"},
    {11, 11, "pp_rx_lane_enabled_buf[4]"},
    {11, 12, "pp_DetectRx"},
    {11, 13, "pp_idle_set_rcvd"},
    {12, 0, "!pp_clkT[0]"},
    {12, 1, "!pp_clkT[1]"},
    {12, 2, "!pp_clkT[2]"},
    {12, 3, "!pp_clkT[3]"},
    {12, 4, "!pp_encdet_buf[0]"},
    {12, 5, "!pp_encdet_buf[1]"},
    {12, 6, "!pp_encdet_buf[2]"},
    {12, 7, "!pp_encdet_buf[3]"},
    {12, 8, "!pp_RxDetected[0]"},
    {12, 9, "!pp_TxDetected[0]"},
    {12, 10, "!pp_TxDetected[1]"},
    {12, 11, "!pp_TxIdle_buf[0]"},
    {12, 12, "!pp_rx_lane_enabled_buf[0]"},
    {12, 13, "!pp_rx_lane_enabled_buf[1]"},
    {13, 0, "sp0[65]"},
    {13, 1, "sp0[66]"},
    {13, 2, "sp0[67]"},
    {13, 3, "sp1[65]"},
    {13, 4, "sp1[66]"},
    {13, 5, "sp1[67]"},
    {13, 6, "send_done[0]"},
    {13, 7, "send_done[1]"},
    {13, 8, "s0_put"},
    {13, 9, "s0_get_buf"},
    {13, 10, "s1_put"},
    {13, 11, "s1_get_buf"},
    {13, 13, "sram_delay[0]"},
};
const unsigned mux_signal_count = sizeof mux_signals / sizeof mux_signals[0];

namespace {

// Total widths of the two chains; the read buffer holds both, rounded up to
// whole bytes.
constexpr unsigned READ_CHAIN_BITS = 216, WRITE_CHAIN_BITS = 420;

// The index of `name` in `chain`, or -1.
int field_index(const scan_field *chain, const char *name) {
  if (!name)
    return -1;
  for (int i = 0; chain[i].name; i++)
    if (strcmp(chain[i].name, name) == 0)
      return i;
  return -1;
}

unsigned width_mask(int bits) { return bits >= 32 ? ~0u : (1u << bits) - 1; }

} // namespace

unsigned scan_wdata[SCAN_WRITE_FIELDS];
unsigned scan_rdata[SCAN_READ_FIELDS + SCAN_WRITE_FIELDS];
unsigned char *read_scan_buffer;
unsigned read_scan_bytes;

int scan_init(void) {
  memset(scan_wdata, 0, sizeof scan_wdata);
  memset(scan_rdata, 0, sizeof scan_rdata);
  read_scan_bytes = (READ_CHAIN_BITS + WRITE_CHAIN_BITS + 7) / 8;
  // Every handle calls this; the buffer is made once and reused, not one per
  // handle.
  if (!read_scan_buffer)
    read_scan_buffer = static_cast<unsigned char *>(malloc(read_scan_bytes));
  if (!read_scan_buffer)
    return ENOMEM;
  memset(read_scan_buffer, 0, read_scan_bytes);
  return 0;
}

unsigned scan_stream_get(const unsigned char *stream, unsigned bit, int width) {
  unsigned value = 0;
  for (int i = 0; i < width; i++, bit++)
    value |= unsigned(stream[bit / 8] >> (bit % 8) & 1) << i;
  return value;
}

void scan_stream_put(unsigned char *stream, unsigned bit, int width,
                     unsigned value) {
  for (int i = 0; i < width; i++, bit++) {
    unsigned char mask = static_cast<unsigned char>(1u << (bit % 8));
    stream[bit / 8] = static_cast<unsigned char>(
        value >> i & 1 ? stream[bit / 8] | mask : stream[bit / 8] & ~mask);
  }
}

int scan_field_bit(const scan_field *chain, const char *name, int *width) {
  int index = field_index(chain, name);
  if (index < 0)
    return -1;
  int bit = 0;
  for (int i = 0; i < index; i++)
    bit += chain[i].bits;
  if (width)
    *width = chain[index].bits;
  return bit;
}

unsigned scan_decode(const unsigned char *stream, unsigned bit,
                     const scan_field *chain, unsigned *values) {
  for (int i = 0; chain[i].name; i++) {
    values[i] = scan_stream_get(stream, bit, chain[i].bits);
    bit += chain[i].bits;
  }
  return bit;
}

int scan_parse_read_scan_buffer(void) {
  // A failed scan_init leaves no buffer: nothing was read to parse.
  if (!read_scan_buffer)
    return ENOMEM;
  unsigned bit = scan_decode(read_scan_buffer, 0, read_scan_chain, scan_rdata);
  scan_decode(read_scan_buffer, bit, write_scan_chain,
              scan_rdata + SCAN_READ_FIELDS);
  return 0;
}

int tckavi_scan_set(board *, const char *name, unsigned data) {
  int index = field_index(write_scan_chain, name);
  if (index < 0)
    return EINVAL;
  // Kept whole: only the field's width is shifted out.
  scan_wdata[index] = data;
  return 0;
}

int tckavi_scan_get(board *, const char *name, unsigned *ret) {
  int index = field_index(read_scan_chain, name);
  const scan_field *field;
  if (index >= 0) {
    field = &read_scan_chain[index];
  } else if ((index = field_index(write_scan_chain, name)) >= 0) {
    field = &write_scan_chain[index];
    index += SCAN_READ_FIELDS; // the value read back
  } else {
    return EINVAL;
  }
  *ret = scan_rdata[index] & width_mask(field->bits);
  return 0;
}
