// The board's PHY on the special register MDI: clause-45 frames bit by bit
// (each operation, the turnaround, what it must not take), its registers,
// the XFP command register's sequences, the module's memory, the board
// items that set them, and the identification strings the firmware writes.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "board_items.h"
#include "card.h"

namespace {

using sim::BoardOptions;
using sim::Phy;
using sim::Xfp;

constexpr uint32_t MDI = 0xffffffe1;
constexpr uint32_t OP_ADDRESS = 0, OP_WRITE = 1, OP_READ_INCREMENT = 2, OP_READ = 3;

// A bus master bit-banging MDI the way the host does: through the
// processor's address space, or through the debug window (a configuration
// access per step).
struct Master {
  Card &c;
  bool window = false;

  void put(uint8_t v) {
    if (window) {
      c.w32(16, 5);
      c.w32(24, MDI);
      c.w8(20, v);
    } else {
      c.board.chip().write(MDI, v, 1);
    }
  }
  uint8_t get() {
    if (!window) return static_cast<uint8_t>(c.board.chip().read(MDI, 1));
    c.w32(16, 1);
    c.w32(24, MDI);
    return static_cast<uint8_t>(c.r8(20));
  }
  // The n low bits of `word`, most significant first: driven while MDC is
  // low, taken as it rises.
  void send(uint32_t word, int n) {
    for (int i = n - 1; i >= 0; i--) {
      uint8_t b = word >> i & 1;
      put(b | Phy::MDIO_DRIVE);
      put(b | Phy::MDIO_DRIVE | Phy::MDC);
    }
  }
  // n bits read while MDC is low, the host letting go of the line.
  uint32_t receive(int n) {
    uint32_t bits = 0;
    for (int i = 0; i < n; i++) {
      put(0);
      bits = bits << 1 | (get() & 1);
      put(Phy::MDC);
    }
    return bits;
  }
  void preamble(int ones = 32) { send(0xffffffff, ones); }

  static uint32_t frame(uint32_t op, int dev, uint16_t data, int port = 0, uint32_t ta = 2, uint32_t st = 0) {
    return st << 30 | op << 28 | (uint32_t)port << 23 | (uint32_t)dev << 18 | ta << 16 | data;
  }
  void address(int dev, uint16_t reg) {
    preamble();
    send(frame(OP_ADDRESS, dev, reg), 32);
  }
  void write(int dev, uint16_t reg, uint16_t value) {
    address(dev, reg);
    preamble();
    send(frame(OP_WRITE, dev, value), 32);
  }
  // A read frame at the address set: its 14 header bits, then the 18 bits
  // the host receives (the turnaround, then the data).
  uint32_t read_frame(int dev, uint32_t op = OP_READ, int port = 0) {
    preamble();
    send(frame(op, dev, 0, port) >> 18, 14);
    return receive(18);
  }
  uint32_t read(int dev, uint16_t reg) {
    address(dev, reg);
    return read_frame(dev);
  }
};

// What a good read answers: turnaround 1, 0, then the data.
constexpr uint32_t answer(uint16_t data) { return 0x20000u | data; }

BoardOptions with(void (*set)(BoardOptions &)) {
  BoardOptions o = deterministic();
  set(o);
  return o;
}

// ---- The lines ----------------------------------------------------------------

TEST(ModelMdio, TheLineIsLowWhenSomeoneDrivesItLowAndTheOtherBitsReadAsWritten) {
  Card c;
  Master m{c};
  EXPECT_EQ(c.bar2()[0xffe00 + 0x1e1], 0x01);  // published at power-on: nobody drives the line
  const struct {
    uint8_t written, read;
  } cases[] = {
      {0x00, 0x01},  // nobody drives: pulled up
      {0x02, 0x02},  // the host drives 0
      {0x03, 0x03},  // the host drives 1
      {0x01, 0x01},  // data without drive changes nothing
      {0xf8, 0xf9},  // the other bits are the host's
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.written);
    m.put(k.written);
    EXPECT_EQ(m.get(), k.read);
  }
}

// ---- Frames -------------------------------------------------------------------

// The same frames through the chip and through the debug window: one door
// or the other, the PHY sees the same edges.
TEST(ModelMdio, AReadAnswersTheTurnaroundThenTheDataMostSignificantFirst) {
  for (bool window : {false, true}) {
    SCOPED_TRACE(window ? "through the debug window" : "through the chip");
    Card c;
    Master m{c, window};
    EXPECT_EQ(m.read(Phy::PMA, 0x2), answer(0x0157));
    EXPECT_EQ(m.read(Phy::PMA, 0x3), answer(0x7a31));
    EXPECT_EQ(m.read(Phy::XS, 0x18), answer(0x1c0f));
    m.write(Phy::PCS, 0x0000, 0xa55a);
    EXPECT_EQ(m.read(Phy::PCS, 0x0000), answer(0xa55a));
    EXPECT_EQ(c.board.phy().frames(), 10u);  // five address frames, a write, four reads
  }
}

// Bit by bit: the PHY leaves the line alone for the first turnaround bit,
// drives the second low, then the data, and lets go after the last bit.
TEST(ModelMdio, ThePhyDrivesFromTheSecondTurnaroundBitToTheLastDataBit) {
  Card c;
  Master m{c};
  m.address(Phy::PMA, 0x2);
  m.preamble();
  m.send(Master::frame(OP_READ, Phy::PMA, 0) >> 18, 14);
  std::string seen;
  for (int i = 0; i < 18; i++) {
    m.put(0);
    seen += (m.get() & 1) ? '1' : '0';
    m.put(2);  // the host driving 0 meanwhile pulls the line low
    seen += (m.get() & 1) ? '1' : '0';
    m.put(Phy::MDC);
  }
  m.put(0);
  // Each pair: the line as the PHY leaves it, then with the host pulling low.
  // 1.2 is 0x0157.
  EXPECT_EQ(seen, "10" "00" "00000000000000" "10" "00" "10" "00" "10" "00" "10" "10" "10");
  EXPECT_EQ(m.get() & 1, 1);  // let go
}

TEST(ModelMdio, OnlyTheRisingEdgeOfTheClockSamplesTheLine) {
  Card c;
  Master m{c};
  auto noisy_send = [&](uint32_t word, int n) {
    for (int i = n - 1; i >= 0; i--) {
      uint8_t b = word >> i & 1, other = b ^ 1;
      m.put(other | Phy::MDIO_DRIVE);            // low, the wrong bit
      m.put(b | Phy::MDIO_DRIVE);                // low, the right one
      m.put(b | Phy::MDIO_DRIVE | Phy::MDC);     // rising: taken
      m.put(other | Phy::MDIO_DRIVE | Phy::MDC);  // high, changed: not taken
      m.put(other | Phy::MDIO_DRIVE | Phy::MDC);
    }
  };
  noisy_send(0xffffffff, 32);
  noisy_send(Master::frame(OP_ADDRESS, Phy::PMA, 0x9), 32);
  noisy_send(0xffffffff, 32);
  noisy_send(Master::frame(OP_WRITE, Phy::PMA, 0x1), 32);
  EXPECT_EQ(c.board.phy().peek(Phy::PMA, 0x9), 0x1);
}

TEST(ModelMdio, ReadWithIncrementMovesTheAddressOnAndReadDoesNot) {
  Card c;
  Master m{c};
  m.address(Phy::PMA, 0x2);
  EXPECT_EQ(m.read_frame(Phy::PMA, OP_READ_INCREMENT), answer(0x0157));
  EXPECT_EQ(m.read_frame(Phy::PMA, OP_READ_INCREMENT), answer(0x7a31));
  EXPECT_EQ(m.read_frame(Phy::PMA, OP_READ), answer(0x0001));  // 1.4
  EXPECT_EQ(m.read_frame(Phy::PMA, OP_READ), answer(0x0001));
  // Each device keeps its own address.
  m.address(Phy::PCS, 0x20);
  EXPECT_EQ(m.read_frame(Phy::PMA, OP_READ), answer(0x0001));
  EXPECT_EQ(m.read_frame(Phy::PCS, OP_READ), answer(0x100d));
}

TEST(ModelMdio, FramesThePhyMustNotTakeChangeNothingAndTheNextFrameIsTaken) {
  struct Case {
    const char *what;
    uint32_t (*frame)(Master &);  // what the host received, for a read
    uint32_t received;
  } cases[] = {
      {"a preamble one bit short",
       [](Master &m) {
         m.preamble(31);
         m.send(Master::frame(OP_WRITE, Phy::PMA, 1), 32);
         return 0u;
       },
       0},
      {"another port",
       [](Master &m) {
         m.preamble();
         m.send(Master::frame(OP_WRITE, Phy::PMA, 1, 1), 32);
         return 0u;
       },
       0},
      {"a clause-22 start",
       [](Master &m) {
         m.preamble();
         m.send(Master::frame(OP_WRITE, Phy::PMA, 1, 0, 2, 1), 32);
         return 0u;
       },
       0},
      {"a write whose turnaround is not 10",
       [](Master &m) {
         m.preamble();
         m.send(Master::frame(OP_WRITE, Phy::PMA, 1, 0, 0), 32);
         return 0u;
       },
       0},
      // A frame is 32 bits: the ones after a cut take its place, and a
      // preamble more lets the PHY find the next frame.
      {"a write cut short in its header",
       [](Master &m) {
         m.preamble();
         m.send(Master::frame(OP_WRITE, Phy::PMA, 1) >> 22, 10);
         m.preamble();
         return 0u;
       },
       0},
      // Nobody drives the line: the host receives ones.
      {"a read of another port", [](Master &m) { return m.read_frame(Phy::PMA, OP_READ, 3); }, 0x3ffff},
      {"a read of a device the PHY lacks", [](Master &m) { return m.read_frame(2); }, 0x3ffff},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    Card c;
    Master m{c};
    m.address(Phy::PMA, 0x9);  // one frame taken
    EXPECT_EQ(k.frame(m), k.received);
    EXPECT_EQ(c.board.phy().peek(Phy::PMA, 0x9), 0u);
    EXPECT_EQ(c.board.phy().frames(), 1u);
    EXPECT_EQ(m.read(Phy::PMA, 0x9), answer(0));
    EXPECT_EQ(m.read(Phy::PCS, 0x1), answer(0x0006));
  }
}

TEST(ModelMdio, ABadTurnaroundDrivesTheFirstBitLow) {
  Card c(with([](BoardOptions &o) { o.mdio_bad_turnaround = true; }));
  Master m{c};
  EXPECT_EQ(m.read(Phy::PMA, 0x2), 0x0157u);  // turnaround 0, 0
  m.write(Phy::PMA, 0x9, 1);  // writes are the host's frames: unchanged
  EXPECT_EQ(c.board.phy().peek(Phy::PMA, 0x9), 1u);
}

// BAR2 mirrors MDI like every register: the model sees the byte's value at
// each advance, not the host's stores in between. A frame needs a store per
// clock edge, so a host bit-banging through BAR2 reaches the PHY only if
// the model advanced between every two of its stores, which nothing makes
// happen; what the host reads back in between is its own store.
TEST(ModelMdio, ThroughBar2TheStoresBetweenTwoAdvancesAreOneWrite) {
  Card c;
  uint8_t &mdi = c.bar2()[0xffe00 + 0x1e1];
  uint64_t t = 1000;
  auto bar2_send = [&](uint32_t word, int n, bool advance_each_store) {
    for (int i = n - 1; i >= 0; i--) {
      uint8_t b = word >> i & 1;
      for (uint8_t v : {uint8_t(b | 2), uint8_t(b | 6)}) {
        mdi = v;
        if (advance_each_store) c.at(++t);
      }
    }
  };
  auto write_frames = [&](bool advance_each_store) {
    bar2_send(0xffffffff, 32, advance_each_store);
    bar2_send(Master::frame(OP_ADDRESS, Phy::PMA, 0x9), 32, advance_each_store);
    bar2_send(0xffffffff, 32, advance_each_store);
    bar2_send(Master::frame(OP_WRITE, Phy::PMA, 1), 32, advance_each_store);
  };
  write_frames(false);
  mdi = 0;
  EXPECT_EQ(mdi, 0);  // the host's own store, not the line
  c.at(1000);
  EXPECT_EQ(mdi, 0x01);  // published: the line, which nobody drives
  EXPECT_EQ(c.board.phy().frames(), 0u);
  EXPECT_EQ(c.board.phy().peek(Phy::PMA, 0x9), 0u);
  // One store per advance, which no host can arrange, would carry it.
  write_frames(true);
  EXPECT_EQ(c.board.phy().peek(Phy::PMA, 0x9), 1u);
}

// ---- Registers --------------------------------------------------------------------

TEST(ModelPhy, WritesReachWritableRegistersOnly) {
  struct Case {
    int dev;
    uint16_t reg, written, read;
  } cases[] = {
      {Phy::PMA, 0xc200, 0xffff, 0x0000},  // the pins are read-only
      {Phy::PMA, 0x0009, 0xffff, 0x001f},  // transmit disable: bits 0-4
      {Phy::PMA, 0x0002, 0x0000, 0x0157},  // identifiers are read-only
      {Phy::PMA, 0x0001, 0xffff, 0x0006},
      {Phy::PMA, 0xc201, 0x1234, 0x1234},  // plain
      {Phy::PMA, 0x9002, 0x0003, 0x0003},
      {Phy::PMA, 0x808a, 0x01ff, 0x00ff},  // the copy of XFP byte 131: a byte
      {Phy::PCS, 0x0020, 0x0000, 0x100d},
      {Phy::XS, 0x0018, 0x0000, 0x1c0f},
      {Phy::XS, 0xc002, 0xbeef, 0xbeef},
  };
  Card c;
  Master m{c};
  for (const Case &k : cases) {
    SCOPED_TRACE(testing::Message() << k.dev << "." << std::hex << k.reg);
    m.write(k.dev, k.reg, k.written);
    EXPECT_EQ(m.read(k.dev, k.reg), answer(k.read));
  }
}

TEST(ModelPhy, PinsAndLinkFollowTheModuleAndTransmitDisable) {
  struct Case {
    const char *what;
    void (*set)(BoardOptions &);
    uint16_t pins, pma_status, signal_detect, pcs_status, base_r_status;
  } cases[] = {
      {"a module with a signal", [](BoardOptions &) {}, 0x0000, 0x0006, 0x0001, 0x0006, 0x100d},
      {"an empty cage", [](BoardOptions &o) { o.xfp_present = false; }, 0x000b, 0x0082, 0, 0x0082, 0x000c},
      {"a module not ready", [](BoardOptions &o) { o.xfp_ready = false; }, 0x0002, 0x0082, 0, 0x0082, 0x000c},
      {"a module without a signal", [](BoardOptions &o) { o.xfp_signal = false; }, 0x0008, 0x0082, 0, 0x0082,
       0x000c},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    Card c(with(k.set));
    Phy &phy = c.board.phy();
    EXPECT_EQ(phy.read(Phy::PMA, Phy::XFP_PINS), k.pins);
    EXPECT_EQ(phy.read(Phy::PMA, 0x1), k.pma_status);
    EXPECT_EQ(phy.read(Phy::PMA, 0xa), k.signal_detect);
    EXPECT_EQ(phy.read(Phy::PCS, 0x1), k.pcs_status);
    EXPECT_EQ(phy.read(Phy::PCS, 0x20), k.base_r_status);
    phy.write(Phy::PMA, 0x9, 1);  // TX_DIS
    EXPECT_EQ(phy.read(Phy::PMA, Phy::XFP_PINS), k.pins | 0x8000);
  }
}

TEST(ModelPhy, TheCounterAnswersOneMoreOnEveryRead) {
  Card c;
  Master m{c};
  EXPECT_EQ(c.board.phy().peek(Phy::PCS, Phy::COUNTER), 1u);  // a look is no read
  EXPECT_EQ(m.read(Phy::PCS, Phy::COUNTER), answer(1));
  for (uint16_t n = 2; n < 6; n++) EXPECT_EQ(m.read_frame(Phy::PCS), answer(n));
}

// ---- The XFP command register -----------------------------------------------------

// Reads of 1.0x8000 while model time goes on from `from_us`: each entry is
// read at its time.
std::vector<uint16_t> command_reads(Card &c, std::initializer_list<uint64_t> at_us) {
  std::vector<uint16_t> seen;
  for (uint64_t us : at_us) {
    c.at(us);
    seen.push_back(c.board.phy().read(Phy::PMA, Phy::XFP_COMMAND));
  }
  return seen;
}

TEST(ModelXfpCommands, ATransferAndARefreshGoBusyThenDoneOnceThenIdle) {
  Card c;
  Phy &phy = c.board.phy();
  c.at(1000);
  phy.write(Phy::PMA, Phy::XFP_COPY + 127, 1);  // the copy of the table select
  phy.write(Phy::PMA, Phy::XFP_COMMAND, 0x7f22);
  EXPECT_THAT(command_reads(c, {1000, 10999, 11000, 11001, 20000}),
              testing::ElementsAre(0x7f2a, 0x7f2a, 0x7f26, 0x7f22, 0x7f22));
  EXPECT_EQ(phy.xfp().peek(Xfp::TABLE_SELECT), 1);  // the module took the byte

  phy.write(Phy::PMA, Phy::XFP_COMMAND, 3);
  EXPECT_EQ(phy.peek(Phy::PMA, Phy::XFP_COPY + 128), 0u);  // not copied yet
  EXPECT_THAT(command_reads(c, {20000, 44999, 45000, 45001}), testing::ElementsAre(0xb, 0xb, 7, 3));
  for (unsigned r = 0; r < 256; r++) {
    if (r == Xfp::STATUS_FLAGS) continue;
    EXPECT_EQ(phy.peek(Phy::PMA, Phy::XFP_COPY + r), phy.xfp().peek(r)) << r;
  }
  EXPECT_EQ(phy.peek(Phy::PMA, Phy::XFP_COPY + 128), 6u);  // the identity table's first byte
  EXPECT_EQ(phy.peek(Phy::PMA, Phy::XFP_COPY + Xfp::STATUS_FLAGS), Xfp::RESET_COMPLETE);
}

// A command ends on its own time, also when nobody reads the register.
TEST(ModelXfpCommands, ARefreshCompletesWhileNobodyLooks) {
  Card c;
  Phy &phy = c.board.phy();
  phy.write(Phy::PMA, Phy::XFP_COMMAND, 3);
  c.at(Phy::REFRESH_US);
  // Table 0 was selected: its upper page is zeros; the lower page is there.
  EXPECT_EQ(phy.peek(Phy::PMA, Phy::XFP_COPY + 128), 0u);
  EXPECT_EQ(phy.peek(Phy::PMA, Phy::XFP_COPY + 96), 0x22u);
  EXPECT_THAT(command_reads(c, {Phy::REFRESH_US + 1, Phy::REFRESH_US + 2}), testing::ElementsAre(7, 3));
}

TEST(ModelXfpCommands, AModuleThatCannotAnswerFailsEveryCommandAndNothingIsCopied) {
  for (auto set : {+[](BoardOptions &o) { o.xfp_present = false; }, +[](BoardOptions &o) { o.xfp_ready = false; }}) {
    Card c(with(set));
    Phy &phy = c.board.phy();
    phy.write(Phy::PMA, Phy::XFP_COPY + 127, 1);
    phy.write(Phy::PMA, Phy::XFP_COMMAND, 0x7f22);
    EXPECT_THAT(command_reads(c, {0, 10000, 10001}), testing::ElementsAre(0x7f2a, 0x7f2e, 0x7f22));
    EXPECT_EQ(phy.xfp().peek(Xfp::TABLE_SELECT), 0);
    phy.write(Phy::PMA, Phy::XFP_COMMAND, 3);
    EXPECT_THAT(command_reads(c, {10001, 35001, 35002}), testing::ElementsAre(0xb, 0xf, 3));
    EXPECT_EQ(phy.peek(Phy::PMA, Phy::XFP_COPY + 96), 0u);
  }
}

TEST(ModelXfpCommands, FaultsAndValuesThatStartNothing) {
  struct Case {
    const char *what;
    void (*set)(BoardOptions &);
    uint16_t command;
    std::vector<uint16_t> reads;  // at 0, at the end of its time, and an hour later
  } cases[] = {
      {"a transfer that never ends", [](BoardOptions &o) { o.xfp_hangs = BoardOptions::PHY_TRANSFER; }, 0x7f22,
       {0x7f2a, 0x7f2a, 0x7f2a}},
      {"a refresh, when only transfers hang", [](BoardOptions &o) { o.xfp_hangs = BoardOptions::PHY_TRANSFER; }, 3,
       {0xb, 7, 3}},
      {"a refresh that never ends", [](BoardOptions &o) { o.xfp_hangs = BoardOptions::PHY_REFRESH; }, 3,
       {0xb, 0xb, 0xb}},
      {"a done status that stays", [](BoardOptions &o) { o.xfp_done_sticks = BoardOptions::PHY_TRANSFER; }, 0x7f22,
       {0x7f2a, 0x7f26, 0x7f26}},
      {"a refresh that fails", [](BoardOptions &o) { o.xfp_fails = BoardOptions::PHY_REFRESH; }, 3, {0xb, 0xf, 3}},
      {"another command value", [](BoardOptions &) {}, 0x1234, {0x1234, 0x1234, 0x1234}},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    Card c(with(k.set));
    c.board.phy().write(Phy::PMA, Phy::XFP_COMMAND, k.command);
    EXPECT_EQ(command_reads(c, {0, Phy::REFRESH_US, 3600000000ull}), k.reads);
  }
}

// ---- The module -------------------------------------------------------------------

std::string text(Xfp &x, unsigned at, unsigned n) {
  std::string s;
  for (unsigned i = 0; i < n; i++) s += (char)x.peek(at + i);
  return s;
}

TEST(ModelXfp, PowersOnWithItsDocumentedMemory) {
  Card c;
  Xfp &x = c.board.phy().xfp();
  const struct {
    unsigned at, value;
  } lower[] = {{0, 0x06}, {2, 0x50}, {4, 0xf6}, {6, 0x4b}, {8, 0xfb}, {84, 0x01}, {96, 0x22}, {97, 0x80},
               {100, 0x1a}, {101, 0x2b}, {102, 0x1d}, {103, 0x4c}, {104, 0x13}, {105, 0x88}, {106, 0x26},
               {107, 0x80}, {108, 0x80}, {109, 0x84}, {127, 0}, {128, 0}, {222, 0}};
  for (const auto &b : lower) EXPECT_EQ(x.peek(b.at), b.value) << b.at;
  x.write(Xfp::TABLE_SELECT, Xfp::IDENTITY_TABLE);
  const struct {
    unsigned at, value;
  } identity[] = {{128, 0x06}, {129, 0x90}, {130, 0x07}, {131, 0x40}, {186, 0x66}, {187, 0x58}, {222, 0x47}};
  for (const auto &b : identity) EXPECT_EQ(x.peek(b.at), b.value) << b.at;
  EXPECT_EQ(text(x, 148, 16), "SIMOPTIX        ");
  EXPECT_EQ(text(x, 168, 16), "XFP-LR-SIM      ");
  EXPECT_EQ(text(x, 184, 2), "A1");
  EXPECT_EQ(text(x, 196, 16), "SX10G0000001    ");
  EXPECT_EQ(text(x, 212, 8), "24031501");
  // It takes the table select only.
  x.write(96, 0);
  x.write(130, 0);
  EXPECT_EQ(x.peek(96), 0x22);
  EXPECT_EQ(x.peek(130), 0x07);
  x.write(Xfp::TABLE_SELECT, 2);
  EXPECT_EQ(x.peek(130), 0);
}

TEST(ModelXfp, StatusFlagsLatchUntilReadAndWhatHoldsStays) {
  struct Case {
    const char *what;
    void (*set)(BoardOptions &);
    uint8_t first, then;
  } cases[] = {
      {"a good module", [](BoardOptions &) {}, 0x01, 0x00},
      {"no signal", [](BoardOptions &o) { o.xfp_signal = false; }, 0x0d, 0x0c},
      {"not ready", [](BoardOptions &o) { o.xfp_ready = false; }, 0x93, 0x92},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    Card c(with(k.set));
    Xfp &x = c.board.phy().xfp();
    EXPECT_EQ(x.peek(Xfp::STATUS_FLAGS), k.first);
    EXPECT_EQ(x.read(Xfp::STATUS_FLAGS), k.first);
    EXPECT_EQ(x.read(Xfp::STATUS_FLAGS), k.then);
  }
  Card quiet(with([](BoardOptions &o) { o.xfp_signal = false; }));
  EXPECT_EQ(quiet.board.phy().xfp().peek(104), 0);  // RX power
  EXPECT_EQ(quiet.board.phy().xfp().peek(105), 0);
}

TEST(ModelXfp, BytesFromTheOptionsOverTheDefaults) {
  Card c(with([](BoardOptions &o) {
    o.xfp_bytes = {{106, {0xff, 0x00}}, {222, {0x40}}, {84, {0x42}}, {127, {1}}};
  }));
  Xfp &x = c.board.phy().xfp();
  EXPECT_EQ(x.peek(106), 0xff);
  EXPECT_EQ(x.peek(107), 0x00);
  EXPECT_EQ(x.peek(108), 0x80);  // untouched
  EXPECT_EQ(x.peek(222), 0x40);  // in the identity table, selected from power-on
  EXPECT_EQ(x.read(Xfp::STATUS_FLAGS), 0x42);
  EXPECT_EQ(x.read(Xfp::STATUS_FLAGS), 0);
}

// ---- The board items --------------------------------------------------------------

TEST(ModelPhyItems, SetTheOptions) {
  sim::BoardChoice choice;
  ASSERT_EQ(sim::parse_board_items("pc=PNX-10G-XFPL-R,no-xfp,xfp-not-ready,xfp-no-signal,xfp-hangs=refresh,"
                                   "xfp-done-sticks,xfp-fails=transfer,xfp-bytes=de:40,xfp-bytes=6A:ff00,mdio-bad-ta",
                                   &choice),
            "");
  const BoardOptions &o = choice.options;
  EXPECT_EQ(o.product_code, "PNX-10G-XFPL-R");
  EXPECT_FALSE(o.xfp_present);
  EXPECT_FALSE(o.xfp_ready);
  EXPECT_FALSE(o.xfp_signal);
  EXPECT_EQ(o.xfp_hangs, BoardOptions::PHY_REFRESH);
  EXPECT_EQ(o.xfp_done_sticks, BoardOptions::PHY_TRANSFER | BoardOptions::PHY_REFRESH);
  EXPECT_EQ(o.xfp_fails, BoardOptions::PHY_TRANSFER);
  ASSERT_EQ(o.xfp_bytes.size(), 2u);
  EXPECT_EQ(o.xfp_bytes[0].address, 0xde);
  EXPECT_EQ(o.xfp_bytes[0].bytes, std::vector<uint8_t>{0x40});
  EXPECT_EQ(o.xfp_bytes[1].address, 0x6a);
  EXPECT_EQ(o.xfp_bytes[1].bytes, (std::vector<uint8_t>{0xff, 0x00}));
  EXPECT_TRUE(o.mdio_bad_turnaround);
  EXPECT_FALSE(o.id_strings);  // the front end's choice

  ASSERT_EQ(sim::parse_board_items("pc=", &choice), "");
  EXPECT_EQ(choice.options.product_code, "");
  ASSERT_EQ(sim::parse_board_items("xfp-hangs=transfer", &choice), "");
  EXPECT_EQ(choice.options.xfp_hangs, BoardOptions::PHY_TRANSFER);
  EXPECT_EQ(choice.options.product_code, "PNX-10G-XFP-R");  // the default
  EXPECT_TRUE(choice.options.xfp_present);
}

TEST(ModelPhyItems, RefuseWhatCannotBe) {
  const std::string bytes = ": expected xfp-bytes=ADDR:HEX, an address and whole bytes in hex within the module's 256";
  const struct {
    std::string items, why;
  } cases[] = {
      {"pc", "pc: expected pc=CODE, at most 64 characters"},
      {"pc=" + std::string(65, 'A'), "pc=" + std::string(65, 'A') + ": expected pc=CODE, at most 64 characters"},
      {"pc=PNX 10G", "pc=PNX 10G: the product code is printable characters without spaces"},
      {"no-xfp=1", "no-xfp=1: takes no value"},
      {"xfp-not-ready=yes", "xfp-not-ready=yes: takes no value"},
      {"xfp-hangs=both", "xfp-hangs=both: the command is transfer or refresh"},
      {"xfp-done-sticks=", "xfp-done-sticks=: the command is transfer or refresh"},
      {"xfp-fails=copy", "xfp-fails=copy: the command is transfer or refresh"},
      {"xfp-bytes=de", "xfp-bytes=de" + bytes},
      {"xfp-bytes=de:4", "xfp-bytes=de:4" + bytes},
      {"xfp-bytes=de:zz", "xfp-bytes=de:zz" + bytes},
      {"xfp-bytes=100:00", "xfp-bytes=100:00" + bytes},
      {"xfp-bytes=ff:0000", "xfp-bytes=ff:0000" + bytes},
      {"xfp-bytes=10:", "xfp-bytes=10:" + bytes},
      {"mdio-bad-ta=1", "mdio-bad-ta=1: takes no value"},
  };
  for (const auto &k : cases) {
    sim::BoardChoice choice;
    EXPECT_EQ(sim::parse_board_items(k.items, &choice), k.why);
  }
}

// ---- The identification strings ---------------------------------------------------

std::string id_strings(Card &c) { return std::string(c.sram() + 0x1dfe00, c.sram() + 0x1dfe00 + 256); }

std::string padded(const std::string &strings) { return strings + std::string(256 - strings.size(), '\0'); }

TEST(ModelIdentification, EveryBootWritesTheStringsWhenTheBoardHasThem) {
  using namespace std::string_literals;
  struct Case {
    const char *what;
    void (*set)(BoardOptions &);
    std::string strings;
  } cases[] = {
      {"the default code", [](BoardOptions &) {}, "SN=5C00000\0MAC=00:fa:dd:5c:00:00\0PC=PNX-10G-XFP-R\0"s},
      {"another code, another board", [](BoardOptions &o) {
         o.product_code = "PNX-10G-SR";
         o.index = 26;
       },
       "SN=5C00026\0MAC=00:fa:dd:5c:00:1a\0PC=PNX-10G-SR\0"s},
      {"no code", [](BoardOptions &o) { o.product_code = ""; }, "SN=5C00000\0MAC=00:fa:dd:5c:00:00\0"s},
  };
  for (const Case &k : cases) {
    SCOPED_TRACE(k.what);
    BoardOptions o = deterministic();
    o.id_strings = true;
    k.set(o);
    Card card(o);
    EXPECT_EQ(id_strings(card), padded(k.strings));
    memset(card.sram() + 0x1dfe00, 0xee, 256);
    card.board.reset();
    EXPECT_EQ(id_strings(card), padded(k.strings));
  }
  // Without them the bytes are the host's, across a reset too.
  Card c;
  memset(c.sram() + 0x1dfe00, 0xee, 256);
  c.board.reset();
  EXPECT_EQ(id_strings(c), std::string(256, '\xee'));
}

}  // namespace
