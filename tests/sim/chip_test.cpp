// The processor's side of the model: the special registers, dispatched at
// the width of each access, the address space around them, and BAR2's
// mirror of the registers.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "card.h"

namespace {

using sim::RegisterBlock;

constexpr uint32_t LED = 0xffffffd8, CPUC = 0xffffffc8, SNAPSHOT = 0xfffffe00;

// BAR2 bytes of the register at `address`, as a big-endian number.
uint32_t mirrored(Card &c, uint32_t address, int width) {
  uint32_t value = 0;
  for (int i = 0; i < width; i++) value = value << 8 | c.bar2()[0xffe00 + (address - RegisterBlock::BASE) + i];
  return value;
}

TEST(ModelSpecials, TheTableNamesEachRegisterOnceAtItsWidth) {
  for (const RegisterBlock::Register &r : RegisterBlock::registers()) {
    SCOPED_TRACE(r.name);
    EXPECT_TRUE(RegisterBlock::holds(r.address, r.width));
    EXPECT_EQ(RegisterBlock::find(r.address, r.width), &r);
  }
  EXPECT_STREQ(RegisterBlock::find(0xfffffe68, 4)->name, "COPY");
  EXPECT_STREQ(RegisterBlock::find(0xffffffe1, 1)->name, "MDI");
  // One address, two registers: told apart by the width.
  EXPECT_STREQ(RegisterBlock::find(0xfffffea8, 2)->name, "DISPATCH_INDEX");
  EXPECT_STREQ(RegisterBlock::find(0xfffffea8, 4)->name, "DISPATCH_STATE");
  EXPECT_EQ(RegisterBlock::find(LED, 4), nullptr);
}

// Each register behaves the same through the debug window as through the
// chip's own accesses, at exactly its width.
TEST(ModelSpecials, IsrReadsItsValueAtItsWidthOnly) {
  Card c;
  EXPECT_EQ(window_read32(c, RegisterBlock::ISR), __builtin_bswap32(RegisterBlock::ISR_VALUE));  // memory order
  window_write32(c, RegisterBlock::ISR, 0);
  EXPECT_EQ(c.board.chip().read(RegisterBlock::ISR, 4), RegisterBlock::ISR_VALUE);  // writes are ignored
  // Not the register's width: the plain bytes, which hold its value.
  EXPECT_EQ(c.board.chip().read(RegisterBlock::ISR, 2), RegisterBlock::ISR_VALUE >> 16);
  EXPECT_EQ(window_read_bytes(c, RegisterBlock::ISR, 4), (std::vector<uint8_t>{0x51, 0xc0, 0xff, 0xee}));
}

TEST(ModelSpecials, RtcCountsTwoPerMicrosecondOfModelTime) {
  Card c;
  sim::Chip &chip = c.board.chip();
  EXPECT_EQ(chip.read(RegisterBlock::RTC, 4), 0u);
  c.at(1000);
  EXPECT_EQ(chip.read(RegisterBlock::RTC, 4), 2000u);
  chip.write(RegisterBlock::RTC, 100, 4);  // counts on from what was written
  c.at(1500);
  EXPECT_EQ(chip.read(RegisterBlock::RTC, 4), 1100u);
  c.at(1200);  // model time never goes back
  EXPECT_EQ(chip.read(RegisterBlock::RTC, 4), 1100u);
  // A byte of it is the plain byte: the count as of the latest advance.
  c.at(0x10000);
  EXPECT_EQ(chip.read(RegisterBlock::RTC + 2, 1), (100u + 2 * (0x10000 - 1000)) >> 8 & 0xff);
}

TEST(ModelSpecials, PlainRegistersAndBytesHoldWhatWasWritten) {
  Card c;
  sim::Chip &chip = c.board.chip();
  struct Case {
    uint32_t address;
    int width;
    uint32_t value;
  } cases[] = {
      {LED, 1, 0x5a}, {0xffffffe1, 1, 0x03}, {CPUC, 4, 0x01020304}, {0xfffffe3a, 2, 0xbeef},
      {0xfffffe04, 4, 0xcafef00d},  // no register starts there: plain bytes
      {0xffffffd9, 2, 0x1234},      // inside no register
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.address);
    chip.write(k.address, k.value, k.width);
    EXPECT_EQ(chip.read(k.address, k.width), k.value);
  }
  // A register read whole is the bytes of the narrower ones it spans.
  chip.write(SNAPSHOT, 0x1111, 2);      // P0_RECV_POINTER
  chip.write(SNAPSHOT + 2, 0x2222, 2);  // P0_RECV_COUNT
  EXPECT_EQ(chip.read(SNAPSHOT, 4), 0x11112222u);
  // An access at a register's address but not its width acts on plain bytes.
  chip.write(LED, 0xa1b2c3d4, 4);
  EXPECT_EQ(chip.read(LED, 1), 0xa1u);
  EXPECT_EQ(chip.read(LED + 3, 1), 0xd4u);
}

TEST(ModelSpecials, OutsideSramAndTheBlockNothingAnswers) {
  Card c;
  sim::Chip &chip = c.board.chip();
  chip.write(0x00200000, 0x12345678, 4);
  chip.write(0xfffffdfc, 0x12345678, 4);
  EXPECT_EQ(chip.read(0x00200000, 4), 0u);
  EXPECT_EQ(chip.read(0xfffffdfc, 4), 0u);
  // Straddling: the bytes below the block read 0, those inside it plain.
  chip.write(SNAPSHOT, 0xabcd, 2);
  EXPECT_EQ(chip.read(0xfffffdfe, 4), 0x0000abcdu);
  // Straddling the SRAM's end.
  c.sram()[0x1ffffe] = 0x77, c.sram()[0x1fffff] = 0x88;
  EXPECT_EQ(chip.read(0x1ffffe, 4), 0x77880000u);
}

// ---- BAR2's mirror of the registers -----------------------------------------

TEST(ModelMirror, TheBlockIsPublishedInBar2OnEachAdvance) {
  Card c;
  EXPECT_EQ(mirrored(c, RegisterBlock::ISR, 4), RegisterBlock::ISR_VALUE);  // from power-on
  c.board.chip().write(CPUC, 0x0badf00d, 4);
  EXPECT_EQ(mirrored(c, CPUC, 4), 0u);  // not yet
  c.at(50);
  EXPECT_EQ(mirrored(c, CPUC, 4), 0x0badf00du);
  EXPECT_EQ(mirrored(c, RegisterBlock::RTC, 4), 100u);
}

TEST(ModelMirror, HostWritesInBar2BecomeRegisterWritesOnTheNextAdvance) {
  Card c;
  sim::Chip &chip = c.board.chip();
  uint8_t *block = c.bar2() + 0xffe00;
  block[LED - RegisterBlock::BASE] = 0x5a;
  put_be32(block + (RegisterBlock::ISR - RegisterBlock::BASE), 0);
  put_be32(block + (RegisterBlock::RTC - RegisterBlock::BASE), 1000);
  block[0x1e0] = 0x42;  // 0xffffffe0: in no register
  EXPECT_EQ(chip.read(LED, 1), 0u);  // the model has not seen them yet
  c.at(10);
  EXPECT_EQ(chip.read(LED, 1), 0x5au);
  EXPECT_EQ(chip.read(0xffffffe0, 1), 0x42u);
  EXPECT_EQ(chip.read(RegisterBlock::RTC, 4), 1000u);  // written through its hook
  EXPECT_EQ(mirrored(c, RegisterBlock::ISR, 4), RegisterBlock::ISR_VALUE);  // ignored, and published again
  c.at(20);
  EXPECT_EQ(mirrored(c, RegisterBlock::RTC, 4), 1020u);
  EXPECT_EQ(chip.read(LED, 1), 0x5au);  // a store is taken once
}

// A changed byte is written through a register that holds it, whole, with
// the register's other bytes as BAR2 holds them.
TEST(ModelMirror, AChangedByteKeepsTheRestOfItsRegister) {
  Card c;
  sim::Chip &chip = c.board.chip();
  chip.write(SNAPSHOT, 0x11223344, 4);
  c.at(1);
  c.bar2()[0xffe00 + 3] = 0x55;  // the low byte of P0_RECV_COUNT
  c.at(2);
  EXPECT_EQ(chip.read(SNAPSHOT, 4), 0x11223355u);
  EXPECT_EQ(mirrored(c, SNAPSHOT, 4), 0x11223355u);
}

TEST(ModelMirror, ABoardWithoutBar2PublishesNothing) {
  sim::BoardOptions o = deterministic();
  o.bar2_present = false;
  Card c(o);
  EXPECT_EQ(c.board.chip().bar2(), nullptr);
  EXPECT_EQ(c.board.resources()[2].start, 0u);
  EXPECT_EQ(c.board.resources()[2].memory, nullptr);
  EXPECT_EQ(c.board.config_read(0x18, 4), 0u);
  c.board.config_write(0x18, 0xffffffff, 4);  // sizing finds no BAR
  EXPECT_EQ(c.board.config_read(0x18, 4), 0u);
  c.at(100);
  EXPECT_EQ(c.board.chip().read(RegisterBlock::ISR, 4), RegisterBlock::ISR_VALUE);  // the registers are still there
}

}  // namespace
