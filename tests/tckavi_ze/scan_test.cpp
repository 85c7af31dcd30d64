// The scan chains by field name, the parsing of the read buffer, and the
// special registers by name through a handle's operations.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tckavi.h"

using testing::ElementsAre;

namespace {

struct Chain {
  unsigned fields, bits;
};

Chain measure(const scan_field *chain) {
  Chain c{0, 0};
  for (; chain[c.fields].name; c.fields++)
    c.bits += chain[c.fields].bits;
  return c;
}

TEST(ScanChains, HaveTheirFieldsAndWidthsWhereTheImagesExpectThem) {
  EXPECT_EQ(measure(write_scan_chain).fields, SCAN_WRITE_FIELDS);
  EXPECT_EQ(measure(write_scan_chain).bits, 420u);
  EXPECT_EQ(measure(read_scan_chain).fields, SCAN_READ_FIELDS);
  EXPECT_EQ(measure(read_scan_chain).bits, 216u);
  std::set<std::string> names;
  for (auto chain : {read_scan_chain, write_scan_chain})
    for (int i = 0; chain[i].name; i++)
      EXPECT_TRUE(names.insert(chain[i].name).second) << chain[i].name;

  // The fields the tools reach by position in the firmware's images.
  struct Place {
    const scan_field *chain;
    const char *name;
    int bit, width;
  } places[] = {
      {write_scan_chain, "PCIE_BAR_LSW", 12, 32},
      {write_scan_chain, "PCIE_BAR_MSW", 44, 32},
      {write_scan_chain, "PCIE_DEBUG", 147, 5},
      {write_scan_chain, "P0_RX_LB3", 413, 1},
      {write_scan_chain, "P0_RX_LB2", 415, 1},
      {write_scan_chain, "P0_RX_LB1", 417, 1},
      {write_scan_chain, "P0_RX_LB0", 419, 1},
      {read_scan_chain, "PCIE_DEBUG_RD_DATA", 125, 8},
      {read_scan_chain, "P0_TX_DATA_RECEIVED", 0, 1},
      {read_scan_chain, "PCIE_RX_LANE0_INVALID_COUNT", 208, 8},
  };
  for (const Place &p : places) {
    int width = -1;
    EXPECT_EQ(scan_field_bit(p.chain, p.name, &width), p.bit) << p.name;
    EXPECT_EQ(width, p.width) << p.name;
  }
  EXPECT_EQ(scan_field_bit(write_scan_chain, "PCIE_DEBUG_RD_DATA", nullptr),
            -1);

  // The lanes run 0 to 7 for synchronization, 7 down to 0 for the counts.
  EXPECT_STREQ(read_scan_chain[41].name, "PCIE_RX_LANE0_SYNCHRONIZED");
  EXPECT_STREQ(read_scan_chain[48].name, "PCIE_RX_LANE7_SYNCHRONIZED");
  EXPECT_STREQ(read_scan_chain[50].name, "PCIE_RX_LANE7_INVALID_COUNT");
  EXPECT_STREQ(read_scan_chain[57].name, "PCIE_RX_LANE0_INVALID_COUNT");
}

TEST(ScanChains, NameTablesHaveTheirEntries) {
  EXPECT_STREQ(isr_bits[0], "");
  EXPECT_STREQ(isr_bits[2], "MEMORY_INT");
  EXPECT_STREQ(isr_bits[31], "P0_LINK_DOWN_INT");
  EXPECT_STREQ(pisr_bits[9], "");
  EXPECT_STREQ(pisr_bits[10], "PCIE_WRITE_QUEUE_PARITY_ERROR");
  EXPECT_STREQ(pisr_bits[31], "PCIE_FC_DLLP_RCVD");
  std::set<std::pair<int, int>> seen;
  for (unsigned i = 0; i < mux_signal_count; i++) {
    const mux_signal &m = mux_signals[i];
    EXPECT_TRUE(m.mux >= 1 && m.mux <= 13 && m.n >= 0 && m.n <= 13) << m.name;
    EXPECT_TRUE(seen.insert({m.mux, m.n}).second) << m.mux << " " << m.n;
  }
  EXPECT_STREQ(mux_signals[0].name, "zp/tz_clk_312p5");
  EXPECT_STREQ(mux_signals[mux_signal_count - 1].name, "sram_delay[0]");
}

class ScanByName : public testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(tckavi(&bp), 0); }
  void TearDown() override { free(bp); }
  board *bp = nullptr;
};

TEST_F(ScanByName, ParsingTakesTheFieldsInChainOrderLowBitFirst) {
  read_scan_buffer[0] = 0x05;
  ASSERT_EQ(scan_parse_read_scan_buffer(), 0);
  unsigned v[3];
  ASSERT_EQ(tckavi_scan_get(bp, "P0_TX_DATA_RECEIVED", &v[0]), 0);
  ASSERT_EQ(tckavi_scan_get(bp, "P0_TX_TAIL_RECEIVED", &v[1]), 0);
  ASSERT_EQ(tckavi_scan_get(bp, "P0_TX_Q_SENT", &v[2]), 0);
  EXPECT_THAT(v, ElementsAre(1u, 0u, 1u));

  // Multi-bit fields that straddle bytes, and the last field of the stream:
  // PCIE_DEBUG_RD_DATA (read bits 125-132) and, read back, the write
  // chain's P0_RX_LB0 (216 + 419 = bit 635) and PCIE_BAR_LSW (bits 228-259).
  memset(read_scan_buffer, 0, read_scan_bytes);
  scan_stream_put(read_scan_buffer, 125, 8, 0xa5);
  scan_stream_put(read_scan_buffer, 216 + 12, 32, 0xfedcba98);
  scan_stream_put(read_scan_buffer, 635, 1, 1);
  EXPECT_EQ(read_scan_buffer[15], 0xa0); // low three bits of 0xa5 in bits 5-7
  EXPECT_EQ(read_scan_buffer[16], 0x14); // high five bits in bits 0-4
  EXPECT_EQ(read_scan_buffer[79], 0x08);
  ASSERT_EQ(scan_parse_read_scan_buffer(), 0);
  unsigned debug, lsw, lb0, lb1;
  ASSERT_EQ(tckavi_scan_get(bp, "PCIE_DEBUG_RD_DATA", &debug), 0);
  ASSERT_EQ(tckavi_scan_get(bp, "PCIE_BAR_LSW", &lsw), 0);
  ASSERT_EQ(tckavi_scan_get(bp, "P0_RX_LB0", &lb0), 0);
  ASSERT_EQ(tckavi_scan_get(bp, "P0_RX_LB1", &lb1), 0);
  EXPECT_EQ(debug, 0xa5u);
  EXPECT_EQ(lsw, 0xfedcba98u) << "a 32-bit field comes back whole";
  EXPECT_EQ(lb0, 1u);
  EXPECT_EQ(lb1, 0u);
}

TEST_F(ScanByName, FieldsByNameAreMaskedOnGetAndKeptWholeOnSet) {
  // A write-chain name reads the value read back (entry 58 + index), masked.
  for (unsigned &v : scan_rdata)
    v = 0xffffffff;
  struct Case {
    const char *name;
    unsigned expected;
  } cases[] = {{"P0_TX_DATA_RECEIVED", 1},
               {"P0_RX_GOOD_CRC8_COUNT", 0xffff},
               {"PCIE_DEBUG", 0x1f},
               {"PCIE_BAR_LSW", 0xffffffff},
               {"MP_UPPER", 0x1fffffff}};
  for (const Case &c : cases) {
    unsigned got = 0;
    EXPECT_EQ(tckavi_scan_get(bp, c.name, &got), 0) << c.name;
    EXPECT_EQ(got, c.expected) << c.name;
  }
  scan_rdata[SCAN_READ_FIELDS + 33] = 0x17; // PCIE_DEBUG read back
  unsigned got = 0;
  EXPECT_EQ(tckavi_scan_get(bp, "PCIE_DEBUG", &got), 0);
  EXPECT_EQ(got, 0x17u);

  EXPECT_EQ(tckavi_scan_set(bp, "PCIE_DEBUG", 0x123), 0);
  EXPECT_EQ(scan_wdata[33], 0x123u) << "the value is stored unmasked";
  EXPECT_EQ(tckavi_scan_set(bp, "P0_RX_LB0", 1), 0);
  EXPECT_EQ(scan_wdata[SCAN_WRITE_FIELDS - 1], 1u);

  // Unknown names, read-chain names on set, and no name at all.
  unsigned untouched = 0xdeadbeef;
  for (const char *name :
       {"NO_SUCH_FIELD", "p0_rx_lb0", "", static_cast<const char *>(nullptr)}) {
    EXPECT_EQ(tckavi_scan_get(bp, name, &untouched), EINVAL);
    EXPECT_EQ(tckavi_scan_set(bp, name, 1), EINVAL);
  }
  EXPECT_EQ(untouched, 0xdeadbeefu);
  EXPECT_EQ(tckavi_scan_set(bp, "P0_TX_OK", 1), EINVAL)
      << "read-chain fields cannot be set";
}

// A backend that records the byte, half and word operations it is asked for.
struct Call {
  std::string op;
  unsigned addr, value;
  bool operator==(const Call &) const = default;
};
std::vector<Call> calls;
int status = 0;

board_functions recording_table() {
  board_functions t = board_functions_closed;
  t.initialized = 1;
  t.kavi_read_byte = [](board *, unsigned a, unsigned char *v) {
    calls.push_back({"read_byte", a, 0});
    *v = 0xd8;
    return status;
  };
  t.kavi_read_half = [](board *, unsigned a, unsigned short *v) {
    calls.push_back({"read_half", a, 0});
    *v = 0xbeef;
    return status;
  };
  t.kavi_read_word = [](board *, unsigned a, unsigned *v) {
    calls.push_back({"read_word", a, 0});
    *v = 0x51c0ffee;
    return status;
  };
  t.kavi_write_byte = [](board *, unsigned a, int v) {
    calls.push_back({"write_byte", a, unsigned(v)});
    return status;
  };
  t.kavi_write_half = [](board *, unsigned a, int v) {
    calls.push_back({"write_half", a, unsigned(v)});
    return status;
  };
  t.kavi_write_word = [](board *, unsigned a, unsigned v) {
    calls.push_back({"write_word", a, v});
    return status;
  };
  return t;
}

TEST_F(ScanByName, SpecialRegistersByNameUseTheirWidth) {
  bp->fn = recording_table();
  calls.clear();
  status = 0;
  unsigned led = 0, half = 0, isr = 0;
  EXPECT_EQ(tckavi_kavi_read_register(bp, "LED", &led), 0);
  EXPECT_EQ(tckavi_kavi_read_register(bp, "P0_RECV_COUNT", &half), 0);
  EXPECT_EQ(tckavi_kavi_read_register(bp, "ISR", &isr), 0);
  EXPECT_EQ(tckavi_kavi_write_register(bp, "ISR", 0x80000001), 0);
  EXPECT_EQ(tckavi_kavi_write_register(bp, "COPY_STATE", 0x104), 0);
  EXPECT_EQ(tckavi_kavi_write_register(bp, "PCIE_SEQUENCE", 0x12345), 0);
  EXPECT_EQ(led, 0xd8u);
  EXPECT_EQ(half, 0xbeefu);
  EXPECT_EQ(isr, 0x51c0ffeeu);
  EXPECT_THAT(calls, ElementsAre(Call{"read_byte", 0xffffffd8, 0},
                                 Call{"read_half", 0xfffffe02, 0},
                                 Call{"read_word", 0xfffffff8, 0},
                                 Call{"write_word", 0xfffffff8, 0x80000001},
                                 Call{"write_byte", 0xfffffe73, 0x104},
                                 Call{"write_half", 0xffffff98, 0x12345}));

  // Unknown names touch nothing; a failing operation leaves the value.
  calls.clear();
  unsigned value = 7;
  EXPECT_EQ(tckavi_kavi_read_register(bp, "led", &value), EINVAL);
  EXPECT_EQ(tckavi_kavi_write_register(bp, "NO_SUCH_REGISTER", 1), EINVAL);
  EXPECT_TRUE(calls.empty());
  status = EIO;
  EXPECT_EQ(tckavi_kavi_read_register(bp, "LED", &value), EIO);
  EXPECT_EQ(value, 7u);
}

TEST_F(ScanByName, ClosedHandleAnswersRegisterAccessWith22) {
  unsigned value = 0;
  EXPECT_EQ(tckavi_kavi_read_register(bp, "RTC", &value), EINVAL);
  EXPECT_EQ(tckavi_kavi_write_register(bp, "IT3", 1), EINVAL);
}

} // namespace
