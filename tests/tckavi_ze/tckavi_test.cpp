// The board handle: a fresh handle, the four tables, the opens of a build
// without backends, close and destroy, the buffer calls, and the null
// endpoint.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "tckavi.h"
#include "test_util.h"

using testing::ElementsAre;

namespace {

// Calls f(name, slot) for every operation slot of a table, in slot order.
template <class F>
void each_slot(const board_functions &t, F f) {
  f("board_set", t.board_set);
  f("close", t.close);
  f("destroy", t.destroy);
  f("jtag_reset", t.jtag_reset);
  f("scan_read", t.scan_read);
  f("scan_write", t.scan_write);
  f("kavi_cpu_reset", t.kavi_cpu_reset);
  f("kavi_mem_reset", t.kavi_mem_reset);
  f("kavi_read_byte", t.kavi_read_byte);
  f("kavi_read_half", t.kavi_read_half);
  f("kavi_read_word", t.kavi_read_word);
  f("kavi_read_doubleword", t.kavi_read_doubleword);
  f("kavi_read_clock", t.kavi_read_clock);
  f("kavi_sram_size", t.kavi_sram_size);
  f("kavi_write_clock", t.kavi_write_clock);
  f("kavi_write_byte", t.kavi_write_byte);
  f("kavi_write_half", t.kavi_write_half);
  f("kavi_write_mem", t.kavi_write_mem);
  f("kavi_write_word", t.kavi_write_word);
  f("ulve_pci_locate", t.ulve_pci_locate);
  f("ulve_pci_snapshot", t.ulve_pci_snapshot);
  f("sram_read_buffer", t.sram_read_buffer);
  f("sram_write_buffer", t.sram_write_buffer);
}

// Output places that a refused call must leave as they were.
struct Outputs {
  unsigned char byte = 0xa5, ext = 0xa5, internal = 0xa5;
  unsigned short half = 0xa5a5;
  unsigned word = 0xa5a5a5a5, addr = 0xa5a5a5a5, len = 0xa5a5a5a5;
  uint64_t doubleword = 0xa5a5a5a5a5a5a5a5;
  unsigned char buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
};

// Every dispatcher, called with plausible arguments.
std::vector<std::pair<const char *, std::function<int(board *)>>> dispatchers(Outputs &o) {
  return {
      {"board_set", [](board *bp) { return tckavi_board_set(bp, 3, 1); }},
      {"jtag_reset", [](board *bp) { return tckavi_jtag_reset(bp); }},
      {"scan_read", [](board *bp) { return tckavi_scan_read(bp); }},
      {"scan_write", [](board *bp) { return tckavi_scan_write(bp); }},
      {"kavi_cpu_reset", [](board *bp) { return tckavi_kavi_cpu_reset(bp, 1); }},
      {"kavi_mem_reset", [](board *bp) { return tckavi_kavi_mem_reset(bp, 1); }},
      {"kavi_read_byte", [&](board *bp) { return tckavi_kavi_read_byte(bp, 0x100, &o.byte); }},
      {"kavi_read_half", [&](board *bp) { return tckavi_kavi_read_half(bp, 0x100, &o.half); }},
      {"kavi_read_word", [&](board *bp) { return tckavi_kavi_read_word(bp, 0x100, &o.word); }},
      {"kavi_read_doubleword", [&](board *bp) { return tckavi_kavi_read_doubleword(bp, 0x100, &o.doubleword); }},
      {"kavi_read_clock", [&](board *bp) { return tckavi_kavi_read_clock(bp, &o.ext, &o.internal); }},
      {"kavi_sram_size", [](board *bp) { return tckavi_kavi_sram_size(bp, 0x100000); }},
      {"kavi_write_clock", [](board *bp) { return tckavi_kavi_write_clock(bp, 4, 5); }},
      {"kavi_write_byte", [](board *bp) { return tckavi_kavi_write_byte(bp, 0x100, 0x12); }},
      {"kavi_write_half", [](board *bp) { return tckavi_kavi_write_half(bp, 0x100, 0x1234); }},
      {"kavi_write_mem", [&](board *bp) { return tckavi_kavi_write_mem(bp, 0x100, o.buf, sizeof o.buf); }},
      {"kavi_write_word", [](board *bp) { return tckavi_kavi_write_word(bp, 0x100, 0x12345678); }},
      {"ulve_pci_locate", [&](board *bp) { return tckavi_ulve_pci_locate(bp, 7, &o.addr, &o.len); }},
      {"ulve_pci_snapshot", [&](board *bp) { return tckavi_ulve_pci_snapshot(bp, &o.addr, &o.len); }},
      {"sram_read_buffer", [&](board *bp) { return tckavi_sram_read_buffer(bp, 0x100, o.buf, sizeof o.buf); }},
      {"sram_write_buffer", [&](board *bp) { return tckavi_sram_write_buffer(bp, 0x100, o.buf, sizeof o.buf); }},
  };
}

void expect_untouched(const Outputs &o) {
  Outputs fresh;
  EXPECT_EQ(o.byte, fresh.byte);
  EXPECT_EQ(o.ext, fresh.ext);
  EXPECT_EQ(o.internal, fresh.internal);
  EXPECT_EQ(o.half, fresh.half);
  EXPECT_EQ(o.word, fresh.word);
  EXPECT_EQ(o.addr, fresh.addr);
  EXPECT_EQ(o.len, fresh.len);
  EXPECT_EQ(o.doubleword, fresh.doubleword);
  EXPECT_THAT(o.buf, ElementsAre(1, 2, 3, 4, 5, 6, 7, 8));
}

// A handle, freed when the test ends unless the test hands it back.
class Handle : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(tckavi(&bp_), 0); }
  void TearDown() override { free(bp_); }
  board *bp_ = nullptr;
};

// A backend of the test's own: close answers close_status, and calls are
// counted, so that a refused call is seen to call nothing.
int close_status, closes, destroys;
int counted_close(board *) { return closes++, close_status; }
int counted_destroy(board *) { return destroys++, 0; }
board_functions test_backend() {
  board_functions t = board_functions_closed;
  t.initialized = 1;
  t.close = counted_close;
  t.destroy = counted_destroy;
  return t;
}

bool is_null_endpoint(const board *bp) { return bp->jtag_endpoint == &jtag_endpoint_null; }

TEST_F(Handle, IsCreatedClosedWithTheNullEndpointAndA2MiBSram) {
  EXPECT_EQ(bp_->fn.initialized, 0);
  EXPECT_TRUE(is_null_endpoint(bp_));
  EXPECT_EQ(bp_->sram_size, 21u);
  EXPECT_EQ(bp_->syms, nullptr);
  EXPECT_EQ(bp_->jtp_first, nullptr);
  EXPECT_EQ(bp_->jtag_puts, 0);
  EXPECT_EQ(bp_->pci.dev, nullptr);
  EXPECT_EQ(bp_->jtag_get_data[TCKAVI_STREAM_BUFFER - 1], 0);
}

TEST_F(Handle, FreshHandleAnswers22FromEveryDispatcherAndChangesNothing) {
  Outputs o;
  for (const auto &[name, call] : dispatchers(o)) {
    SCOPED_TRACE(name);
    EXPECT_EQ(call(bp_), 22);
  }
  expect_untouched(o);
  EXPECT_EQ(tckavi_close(bp_), 22);
  EXPECT_EQ(tckavi_jtag_close(bp_), 22);
  EXPECT_EQ(bp_->sram_size, 21u) << "kavi_sram_size of a closed handle changes nothing";
}

TEST(Tables, ClosedIsUninitializedTheBackendsInitializedAndEverySlotUnsupported) {
  struct {
    const char *name;
    const board_functions &table;
    int initialized;
  } tables[] = {
      {"closed", board_functions_closed, 0},
      {"jtag", board_functions_jtag, 1},
      {"pci", board_functions_pci, 1},
      {"m4", board_functions_m4, 1},
  };
  for (const auto &t : tables) {
    SCOPED_TRACE(t.name);
    EXPECT_EQ(t.table.initialized, t.initialized);
    each_slot(t.table, [](const char *slot, auto op) {
      EXPECT_EQ(op, static_cast<decltype(op)>(return_einval)) << slot;
    });
  }
}

TEST_F(Handle, OpensWithoutTheirBackendAnswerEnosysAndLeaveTheHandleClosed) {
  TempDir dir;
  std::string stream_file = dir.path() + "/stream";
  struct {
    const char *name;
    std::function<int(board *)> open;
  } opens[] = {
      {"board_open", [](board *bp) { return tckavi_board_open(bp, "127.0.0.1"); }},
      {"jtag_open", [&](board *bp) { return tckavi_jtag_open(bp, stream_file.c_str()); }},
      {"buffer_open", [](board *bp) { return tckavi_buffer_open(bp); }},
      {"pci_open", [](board *bp) { return tckavi_pci_open(bp, 0); }},
      {"m4_open", [](board *bp) { return tckavi_m4_open(bp, "127.0.0.1", 0, 0); }},
      {"m4_open_ex", [](board *bp) { return tckavi_m4_open_ex(bp, "127.0.0.1", 0, 1, 0); }},
  };
  struct stat st;
  for (const auto &o : opens) {
    SCOPED_TRACE(o.name);
    EXPECT_EQ(o.open(bp_), 38);
    EXPECT_EQ(bp_->fn.initialized, 0);
    EXPECT_TRUE(is_null_endpoint(bp_));
    EXPECT_EQ(tckavi_close(bp_), 22);
    EXPECT_NE(stat(stream_file.c_str(), &st), 0) << "no stream file is made";

    // On an open handle every open is refused before anything is touched.
    bp_->fn = test_backend();
    closes = destroys = 0;
    EXPECT_EQ(o.open(bp_), 22);
    EXPECT_EQ(bp_->fn.close, counted_close);
    EXPECT_TRUE(is_null_endpoint(bp_));
    EXPECT_EQ(closes + destroys, 0);
    bp_->fn = board_functions_closed;
  }
}

TEST_F(Handle, CloseInstallsTheClosedTableOnlyWhenTheBackendCloses) {
  for (auto close : {tckavi_close, tckavi_jtag_close}) {
    bp_->fn = test_backend();
    closes = 0;
    close_status = 5;
    EXPECT_EQ(close(bp_), 5);
    EXPECT_EQ(bp_->fn.initialized, 1) << "a failed close leaves the handle as it was";
    EXPECT_EQ(bp_->fn.close, counted_close);

    close_status = 0;
    EXPECT_EQ(close(bp_), 0);
    EXPECT_EQ(bp_->fn.initialized, 0);
    EXPECT_EQ(close(bp_), 22) << "the second close finds the closed table";
    EXPECT_EQ(closes, 2);
    Outputs o;
    EXPECT_EQ(tckavi_kavi_read_word(bp_, 0, &o.word), 22);
  }
}

TEST_F(Handle, DestroyGoesThroughTheTableAndLeavesAClosedHandleAllocated) {
  EXPECT_EQ(tckavi_destroy(bp_), 22);
  // Still the caller's: usable, and freed by the fixture.
  EXPECT_EQ(tckavi_close(bp_), 22);
  EXPECT_EQ(bp_->sram_size, 21u);

  bp_->fn = test_backend();
  destroys = 0;
  EXPECT_EQ(tckavi_destroy(bp_), 0);
  EXPECT_EQ(destroys, 1);
}

TEST_F(Handle, BufferGetRefusesAnythingButABufferEndpoint) {
  unsigned char *ptr = reinterpret_cast<unsigned char *>(&ptr);
  unsigned long len = 99;
  EXPECT_EQ(tckavi_buffer_get(bp_, &ptr, &len), 22);
  EXPECT_EQ(ptr, reinterpret_cast<unsigned char *>(&ptr));
  EXPECT_EQ(len, 99u);

  jtag_endpoint rabbit;
  jtag_endpoint_init(&rabbit);
  rabbit.class_name = JTAG_ENDPOINT_RABBIT_CLASS;
  bp_->jtag_endpoint = &rabbit;
  EXPECT_EQ(tckavi_buffer_get(bp_, &ptr, &len), 22);

  // A buffer endpoint as its constructor leaves it after three bytes.
  unsigned char bytes[4] = {7, 8, 9};
  jtag_endpoint_buffer collected;
  jtag_endpoint_init(&collected.ep);
  collected.ep.class_name = JTAG_ENDPOINT_BUFFER_CLASS;
  collected.buffer = bytes;
  collected.pos = 3;
  bp_->jtag_endpoint = &collected.ep;
  EXPECT_EQ(tckavi_buffer_get(bp_, &ptr, nullptr), 0);
  EXPECT_EQ(ptr, bytes);
  EXPECT_EQ(tckavi_buffer_get(bp_, nullptr, &len), 0);
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(tckavi_buffer_get(bp_, nullptr, nullptr), 0);
  bp_->jtag_endpoint = const_cast<jtag_endpoint *>(&jtag_endpoint_null);
}

// An endpoint that keeps what it is given and fails from its third byte on.
struct Recorder {
  jtag_endpoint ep;
  std::vector<unsigned char> bytes;
};
int record_byte(jtag_endpoint *ep, unsigned char d) {
  auto *r = reinterpret_cast<Recorder *>(ep);
  r->bytes.push_back(d);
  return r->bytes.size() >= 3 ? 7 : 0;
}

TEST_F(Handle, BufferAppendStopsAtTheFirstFailingByte) {
  const unsigned char bytes[] = {0x10, 0x20, 0x30, 0x40};
  EXPECT_EQ(tckavi_buffer_append(bp_, bytes, 0), 0);
  EXPECT_EQ(tckavi_buffer_append(bp_, bytes, sizeof bytes), 1) << "the null endpoint refuses the first byte";

  Recorder r;
  jtag_endpoint_init(&r.ep);
  r.ep.write_byte = record_byte;
  bp_->jtag_endpoint = &r.ep;
  EXPECT_EQ(tckavi_buffer_append(bp_, bytes, sizeof bytes), 7);
  EXPECT_THAT(r.bytes, ElementsAre(0x10, 0x20, 0x30));
  bp_->jtag_endpoint = const_cast<jtag_endpoint *>(&jtag_endpoint_null);
}

TEST(Endpoint, NullFailsEverythingAndAnInitialisedOneFlushes) {
  unsigned char in[4];
  unsigned got = 5;
  jtag_endpoint *null = const_cast<jtag_endpoint *>(&jtag_endpoint_null);
  EXPECT_STREQ(null->class_name, "");
  EXPECT_EQ(null->write_byte(null, 0x41), 1);
  EXPECT_EQ(null->flush(null), 1);
  EXPECT_EQ(null->rpc(null, 13, in, 2, in, sizeof in, &got), 1);
  EXPECT_EQ(null->destroy(null), 1);
  EXPECT_EQ(null->jtag_endpoint_rabbit_send_result, 0);
  EXPECT_EQ(got, 5u);

  jtag_endpoint ep;
  memset(&ep, 0xa5, sizeof ep);
  jtag_endpoint_init(&ep);
  EXPECT_STREQ(ep.class_name, "");
  EXPECT_EQ(ep.flush(&ep), 0);
  EXPECT_EQ(ep.write_byte(&ep, 0x41), 1);
  EXPECT_EQ(ep.rpc(&ep, 13, in, 2, in, sizeof in, &got), 1);
  EXPECT_EQ(ep.destroy(&ep), 1);
  EXPECT_EQ(ep.jtag_endpoint_rabbit_send_result, 0);
  EXPECT_EQ(null->flush(null), 1) << "the shared null endpoint is not changed";
}

TEST(ScanImages, EachNewHandleResetsThemAndReusesTheReadBuffer) {
  board *first, *second;
  ASSERT_EQ(tckavi(&first), 0);
  EXPECT_EQ(read_scan_bytes, 80u);
  unsigned char *buffer = read_scan_buffer;
  ASSERT_NE(buffer, nullptr);
  scan_wdata[0] = 1, scan_wdata[SCAN_WRITE_FIELDS - 1] = 2;
  scan_rdata[0] = 3, scan_rdata[SCAN_READ_FIELDS + SCAN_WRITE_FIELDS - 1] = 4;
  read_scan_buffer[0] = 5, read_scan_buffer[read_scan_bytes - 1] = 6;

  ASSERT_EQ(tckavi(&second), 0);
  EXPECT_EQ(read_scan_buffer, buffer);
  EXPECT_EQ(scan_wdata[0] | scan_wdata[SCAN_WRITE_FIELDS - 1], 0u);
  EXPECT_EQ(scan_rdata[0] | scan_rdata[SCAN_READ_FIELDS + SCAN_WRITE_FIELDS - 1], 0u);
  EXPECT_EQ(read_scan_buffer[0] | read_scan_buffer[read_scan_bytes - 1], 0);
  free(first);
  free(second);
}

}  // namespace
