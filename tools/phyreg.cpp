// phyreg: reads and writes the registers of a 10G NIC's PHY over its
// management bus (MDIO, clause-45 frames), and shows the status, monitoring
// values and identity of the XFP module the PHY serves. The host drives the
// bus bit by bit through one byte-wide special register of the NIC, MDI,
// reached through the debug registers or, with -N, through BAR2. Only
// cards whose product code names a model with an XFP cage are taken.

#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "uba_kram.h"

namespace {

const char USAGE[] =
    "usage: phyreg is used to access PHY/XFP registers\n"
    "  phyreg [ -b<board_num ]                    -- display XFP status\n"
    "  phyreg [ -b<board_num ]  <dev>.<reg>       -- display a PHY reg\n"
    "  phyreg [ -b<board_num ]  <dev>.<reg> <val> -- write <val> into PHY reg\n"
    "  phyreg [ -b<board_num ]  -v                -- dump a bunch of PHY regs\n"
    "\t  -- <reg> is parsed as base 10 unless prefixed with 0x\n"
    "\t Options:\n"
    "\t\t -b<board_num> : use NIC <board_num> (default 0)\n"
    "\t\t -N            : use bar2 MMIO to access MDIO bus\n"
    "\n"
    "\t examples:\n"
    "\t\t   phyreg           -- display XFP status\n"
    "\t\t   phyreg 1.9       -- display laser-enable reg\n"
    "\t\t   phyreg 1.0xc200  -- display XFP status pins\n"
    "\t\t   phyreg 1.9 0     -- turn laser on\n"
    "\t\t   phyreg 1.9 1     -- turn laser off\n";

// The block of special registers: at the top of the processor's address
// space through the debug registers, at the end of BAR2 when mapped.
constexpr uint32_t SPECIALS = 0xfffffe00, BAR2_SPECIALS = 0xffe00;
// MDI, the bus's register, in that block: bit 0 the data put out (and, read,
// the data line), bit 1 the host drives the line, bit 2 the clock MDC.
constexpr uint32_t MDI = 0x1e1;
constexpr uint8_t MDIO_OUT = 1, MDIO_DRIVE = 2, MDC = 4;
constexpr int PORT = 0;  // the PHY's port address

// The strings by which the card tells what it is.
constexpr uint32_t ID_STRINGS = 0x1dfe00, ID_STRINGS_SIZE = 256;

// Registers of the PMA/PMD device (1).
constexpr unsigned XFP_COMMAND = 0x8000, XFP_COPY = 0x8007, XFP_PINS = 0xc200;
// Device 0 stands for the PHY's copy of the XFP module's memory.
constexpr int XFP_DEVICE = 0;
// The transfer and refresh commands are polled every 100 ms, at most this
// often, for a command that ends in a few tens of milliseconds.
constexpr int XFP_POLLS = 20;
constexpr useconds_t XFP_POLL_US = 100000;

// XFP module bytes.
constexpr unsigned XFP_STATUS_FLAGS = 84, XFP_TEMPERATURE = 96, XFP_TX_BIAS = 100, XFP_TX_POWER = 102,
                   XFP_RX_POWER = 104, XFP_AUX1 = 106, XFP_AUX2 = 108, XFP_TABLE_SELECT = 127, XFP_TYPE = 128,
                   XFP_CONNECTOR = 130, XFP_COMPLIANCE = 131, XFP_VENDOR = 148, XFP_PART = 168,
                   XFP_WAVELENGTH = 186, XFP_SERIAL = 196, XFP_DATE = 212, XFP_AUX_TYPES = 222;

struct DumpEntry {
  const char *name;
  int dev;
  unsigned reg;
};

constexpr DumpEntry DUMP[] = {
    {"pma/pmd ctl", 1, 0x0},
    {"pma/pmd status", 1, 0x1},
    {"pma/pmd id0", 1, 0x2},
    {"pma/pmd id1", 1, 0x3},
    {"pma/pmd speed ability", 1, 0x4},
    {"pma/pmd devs0", 1, 0x5},
    {"pma/pmd devs1", 1, 0x6},
    {"pma/pmd ctl_2", 1, 0x7},
    {"pma/pmd rx dis", 1, 0x9},
    {"pma/pmd rx sig", 1, 0xa},
    {"pma/pmd oui_0", 1, 0xe},
    {"pma/pmd oui_1", 1, 0xf},
    {"pma/pmd vs nvr ctl", 1, 0x8000},
    {"pma/pmd vs msa customer field adr", 1, 0x800d},
    {"pma/pmd vs msa vendor field adr", 1, 0x800e},
    {"pma/pmd vs msa 10gbase-type field", 1, 0x8018},
    {"pma/pmd rx alrm ctl", 1, 0x9000},
    {"pma/pmd tx alrm ctl", 1, 0x9001},
    {"pma/pmd lasi ctl", 1, 0x9002},
    {"pma/pmd rx alrm status", 1, 0x9003},
    {"pma/pmd tx alrm status", 1, 0x9004},
    {"pma/pmd lasi status", 1, 0x9005},
    {"pma/pmd tx flag ctl", 1, 0x9006},
    {"pma/pmd rx flag ctl", 1, 0x9007},
    {"pma/pmd vs ctl", 1, 0xc001},
    {"pma/pmd vs fiber power", 1, 0xc025},
    {"pma/pmd xfp sta", 1, 0xc200},
    {"pma/pmd xfp ctl", 1, 0xc201},
    {"pma/pmd quake PC0", 1, 0xd000},
    {"pma/pmd quake PC1", 1, 0xd001},
    {"pma/pmd output pads", 1, 0xd004},
    {"pma/pmd LED1", 1, 0xd006},
    {"pma/pmd LED2", 1, 0xd007},
    {"pma/pmd LED3", 1, 0xd008},
    {"pcs ctl_1", 3, 0x0},
    {"pcs sta_1", 3, 0x1},
    {"pcs id_0", 3, 0x2},
    {"pcs id_1", 3, 0x3},
    {"pcs 10base-R sta_1", 3, 0x20},
    {"pcs 10base-R sta_2", 3, 0x21},
    {"xs ctl_1", 4, 0x0},
    {"xs sta_1", 4, 0x1},
    {"xs id_0", 4, 0x2},
    {"xs id_1", 4, 0x3},
    {"xs lane sta", 4, 0x18},
    {"xs vs sta", 4, 0xc002},
};

// The two auxiliary measurements: their names by type (none: not shown)
// and the value of one unit.
struct AuxType {
  const char *name;
  double scale;
  bool is_signed;
};

constexpr AuxType AUX_TYPES[16] = {
    {nullptr, 0, false},
    {"APD Bias (V)", 0.01, false},
    {nullptr, 0, false},
    {"TEC Current (mA)", 0.0001, false},
    {"Laser Temp (Celsius)", 1.0 / 256, true},
    {"Laser Wavelength (nm)", 0.05, false},
    {"+5.0 Supply (V)", 0.0001, false},
    {"+3.3 Supply (V)", 0.0001, false},
    {"+1.8 Supply (V)", 0.0001, false},
    {"-5.2 Supply (V)", 0.0001, false},
    {"+5.0 Current (mA)", 0.0001, false},
    {nullptr, 0, false},
    {nullptr, 0, false},
    {"+3.3 Current (mA)", 0.0001, false},
    {"+1.8 Current (mA)", 0.0001, false},
    {"-5.2 Current (mA)", 0.0001, false},
};

// The status flags of byte 84, from bit 7 down to bit 0.
const char *const STATUS_FLAGS[8] = {
    "+tx-not-ready", "+tx-fault", "+tx-tx-cdr-not-locked", "+rx-not-ready",
    "+rx-loss-of-signal", "+rx-cdr-not-locked", "+not-ready", "+reset-complete",
};

// The handle on the block of special registers, and the one on SRAM; both
// live until the program ends.
kram_t regs, sram;

[[noreturn]] void usage() {
  fprintf(stderr, "%s", USAGE);
  exit(1);
}

// ---- The bus, bit by bit ------------------------------------------------------

void mdi_put(uint8_t v) { kram_write(&regs, MDI, &v, 1); }

uint8_t mdi_get() {
  uint8_t v;
  kram_read(&regs, MDI, &v, 1);
  return v;
}

// The n low bits of `word`, most significant first, each driven while MDC
// is low and taken by the PHY as MDC rises.
void send_bits(uint32_t word, int n) {
  for (int i = n - 1; i >= 0; i--) {
    uint8_t b = word >> i & 1;
    mdi_put(b | MDIO_DRIVE);
    mdi_put(b | MDIO_DRIVE | MDC);
  }
}

// n bits from the PHY, most significant first, each read while MDC is low.
uint32_t receive_bits(int n) {
  uint32_t bits = 0;
  for (int i = 0; i < n; i++) {
    mdi_put(0);
    bits = bits << 1 | (mdi_get() & MDIO_OUT);
    mdi_put(MDC);
  }
  return bits;
}

void preamble() { send_bits(0xffffffff, 32); }

// ST 00, OP, PRTAD, DEVAD, TA 10 and the 16 bits of a frame the host sends.
uint32_t frame(uint32_t op, int dev, unsigned data) {
  return op << 28 | (uint32_t)PORT << 23 | (uint32_t)dev << 18 | 2u << 16 | data;
}
constexpr uint32_t OP_ADDRESS = 0, OP_WRITE = 1, OP_READ = 3;

// Device 0 is the PHY's copy of the XFP module's memory.
void alias(int *dev, unsigned *reg) {
  if (*dev == XFP_DEVICE) {
    *dev = 1;
    *reg += XFP_COPY;
  }
}

// The read frame at the address already set: its 14 header bits, then the
// turnaround (which the PHY answers 1, 0) and the data.
unsigned read_frame(int dev, bool addressed, unsigned reg) {
  preamble();
  send_bits(frame(OP_READ, dev, 0) >> 18, 14);
  uint32_t bits = receive_bits(18);
  if ((bits >> 16) == 2) return bits & 0xffff;
  if (addressed)
    printf("Invalid MDI access to PRTADR/PHY %d, MMD %d, addr=0x%x, bits=0x%x\n", PORT, dev, reg, bits);
  else
    printf("Invalid MDI access to PRTADR/PHY %d, MMD %d, bits=0x%x\n", PORT, dev, bits);
  return 0;
}

unsigned mdio_read(int dev, unsigned reg) {
  alias(&dev, &reg);
  preamble();
  send_bits(frame(OP_ADDRESS, dev, reg), 32);
  return read_frame(dev, true, reg);
}

unsigned mdio_read_next(int dev) {
  unsigned reg = 0;
  alias(&dev, &reg);
  return read_frame(dev, false, 0);
}

void mdio_write(int dev, unsigned reg, unsigned val) {
  alias(&dev, &reg);
  preamble();
  send_bits(frame(OP_ADDRESS, dev, reg), 32);
  preamble();
  send_bits(frame(OP_WRITE, dev, val), 32);
}

// ---- The card -----------------------------------------------------------------

// The text after "PC=" of the first identification string that begins with
// it, in `strings`; "unknown" when none does.
const char *product_code(char (&strings)[ID_STRINGS_SIZE]) {
  strings[ID_STRINGS_SIZE - 2] = strings[ID_STRINGS_SIZE - 1] = 0;  // the walk ends inside the buffer
  for (const char *s = strings; *s; s += strlen(s) + 1)
    if (strncmp(s, "PC=", 3) == 0) return s + 3;
  return "unknown";
}

bool has_xfp_cage(const char *pc) {
  static const char *const CODES[] = {"PNX-10G-XFPL-R", "PNX-10G-XFP-R"};
  for (const char *code : CODES)
    if (strncmp(pc, code, strlen(code)) == 0) return true;
  return false;
}

// `<dev>.<reg>`: a device the frame can name and a register it can carry
// (through device 0, one of the copy's).
void parse_register(const char *text, int *dev, unsigned *reg) {
  const char *dot = strchr(text, '.');
  handle_error(!dot, "Invalid register syntax: %s\n", text);
  unsigned long d = strtoul(text, nullptr, 0), r = strtoul(dot + 1, nullptr, 0);
  unsigned long limit = d == XFP_DEVICE ? 0xffff - XFP_COPY : 0xffff;
  handle_error(d > 31 || r > limit, "Invalid register syntax: %s\n", text);
  *dev = (int)d;
  *reg = (unsigned)r;
}

// ---- The XFP module -------------------------------------------------------------

unsigned xfp_byte(unsigned r) { return mdio_read(XFP_DEVICE, r) & 0xff; }
unsigned xfp_word(unsigned r) { return xfp_byte(r) << 8 | xfp_byte(r + 1); }

// Reads the command register while it says `busy`, every 100 ms, and
// returns what it then says; a command still busy after XFP_POLLS polls
// stops the program.
unsigned xfp_wait(unsigned busy, const char *what) {
  unsigned v = mdio_read(1, XFP_COMMAND);
  for (int polls = 0; v == busy; polls++) {
    handle_error(polls == XFP_POLLS, "xfp %s command still busy after %d ms, val=0x%x\n", what,
                 XFP_POLLS * (int)(XFP_POLL_US / 1000), v);
    usleep(XFP_POLL_US);
    v = mdio_read(1, XFP_COMMAND);
  }
  return v;
}

// The PHY reads the module's memory into its copy.
void xfp_refresh() {
  mdio_write(1, XFP_COMMAND, 3);
  unsigned v = xfp_wait(0xb, "refresh");
  handle_error(v != 7, "xfp refresh command != done, val=0x%x\n", v);
  v = mdio_read(1, XFP_COMMAND);
  handle_error(v != 3, "xfp refresh command != idle after done, val=0x%x\n", v);
}

// The status flags' names for the bits set in `flags`, from bit 7 down.
struct Flags {
  const char *f[8];
};
Flags status_flags(unsigned flags) {
  Flags names;
  for (int i = 0; i < 8; i++) names.f[i] = flags >> (7 - i) & 1 ? STATUS_FLAGS[i] : "";
  return names;
}

// Auxiliary measurement 1 or 2, of type `type`, from the module's bytes at `at`.
void print_aux(unsigned type, unsigned at, bool first) {
  const AuxType &t = AUX_TYPES[type & 15];
  if (!t.name) return;
  unsigned raw = xfp_word(at);
  double value = (t.is_signed ? (double)(int16_t)raw : (double)raw) * t.scale;
  if (first)
    printf("\t%s = %.4f\n", t.name, value);
  else
    printf("\t%s = %g\n", t.name, value);
}

// 16 characters of the module's memory from `at`, ended by a NUL.
struct Text {
  char c[17];
};
Text xfp_text(unsigned at) {
  Text t;
  for (int i = 0; i < 16; i++) t.c[i] = (char)xfp_byte(at + i);
  t.c[16] = 0;
  return t;
}

void xfp_display() {
  unsigned status = mdio_read(1, XFP_PINS);
  printf("XFP:\n");
  printf("\tstatus=0x%x %s %s %s %s\n", status, status & 1 ? "Absent" : "Present", status & 2 ? "NOT-ready" : "Ready",
         status & 8 ? "No-Signal" : "Signal-OK", status & 0x8000 ? "TX-DISABLED" : "TX-ENABLED");
  if (status & 1) exit(0);

  // Table 1, the module's identity, in the upper page: the PHY's copy of
  // the select byte goes to the module.
  mdio_write(XFP_DEVICE, XFP_TABLE_SELECT, 1);
  mdio_write(1, XFP_COMMAND, 0x7f22);
  unsigned v = xfp_wait(0x7f2a, "reg");
  if (v != 0x7f26) {
    if (status & 2) {
      printf("Cannot read XFP data while not-ready (page-select-status=0x%x)\n", v);
      exit(1);
    }
    handle_error(1, "xfp reg command != done, val=0x%x\n", v);
  }
  v = mdio_read(1, XFP_COMMAND);
  handle_error(v != 0x7f22, "xfp reg command != idle after done, val=0x%x\n", v);

  // The flags latch: the first read has what happened, the second what holds.
  xfp_refresh();
  Flags f = status_flags(xfp_byte(XFP_STATUS_FLAGS));
  printf("\tLatched status:\n\t%s %s %s %s %s %s %s %s\n", f.f[0], f.f[1], f.f[2], f.f[3], f.f[4], f.f[5], f.f[6],
         f.f[7]);
  usleep(200000);
  xfp_refresh();
  f = status_flags(xfp_byte(XFP_STATUS_FLAGS));
  printf("\tCurrent status:\n\t%s %s %s %s %s %s %s %s\n", f.f[0], f.f[1], f.f[2], f.f[3], f.f[4], f.f[5], f.f[6],
         f.f[7]);

  printf("\tTemp = %g Celsius\n", (int16_t)xfp_word(XFP_TEMPERATURE) / 256.0);
  printf("\tTX bias = %g mA\n", xfp_word(XFP_TX_BIAS) * 0.002);
  printf("\tTX power = %g mW\n", xfp_word(XFP_TX_POWER) * 0.0001);
  printf("\tRX power = %g mW\n", xfp_word(XFP_RX_POWER) * 0.0001);

  unsigned types = xfp_byte(XFP_AUX_TYPES);
  print_aux(types >> 4, XFP_AUX1, true);
  print_aux(types & 15, XFP_AUX2, false);

  unsigned type = xfp_byte(XFP_TYPE), connector = xfp_byte(XFP_CONNECTOR), compliance = xfp_byte(XFP_COMPLIANCE);
  printf("\tType = %s (%d)\n", type == 6 ? "XFP" : "??", type);
  printf("\tConnector = %s (%d)\n", connector == 1 ? "SC" : connector == 7 ? "LC" : "??", connector);
  printf("\tCompliance = %s (%d)\n",
         compliance & 0x80   ? "10GBASE-SR"
         : compliance & 0x40 ? "10GBASE-LR"
         : compliance & 0x20 ? "10GBASE-ER"
                             : "??",
         compliance);
  printf("\tWavelength = %g nm\n", xfp_word(XFP_WAVELENGTH) * 0.05);

  printf("\tVendor = %s\n", xfp_text(XFP_VENDOR).c);
  printf("\tPN = %s\n", xfp_text(XFP_PART).c);
  printf("\tSN = %s\n", xfp_text(XFP_SERIAL).c);
  char d[8];
  for (int i = 0; i < 8; i++) d[i] = (char)xfp_byte(XFP_DATE + i);
  printf("\tDate = 20%c%c/%c%c/%c%c (%c%c)\n", d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
}

// How fast the PHY's counter 3.0xc037 moves against the time of the reads.
void read_speed() {
  constexpr int READS = 100;
  constexpr unsigned DOWN = 0xc037;
  unsigned values[READS];
  mdio_read(3, DOWN);
  timeval start, end;
  gettimeofday(&start, nullptr);
  for (unsigned &v : values) v = mdio_read_next(3);
  gettimeofday(&end, nullptr);
  double sum = 0;
  for (unsigned v : values) {
    printf("0x%x\n", v);
    sum += v;
  }
  double us = (end.tv_sec - start.tv_sec) * 1e6 + (end.tv_usec - start.tv_usec);
  printf("%g Mbit/s of DOWN\n", 32 * sum / us);
}

}  // namespace

int main(int argc, char **argv) {
  int unit = 0;
  bool dump = false, mapped = false, speed = false;

  // The usage text says what is wrong; getopt's own line would only repeat it.
  opterr = 0;
  int c;
  while ((c = getopt(argc, argv, "b:vNRx")) != -1) {
    switch (c) {
      case 'b': unit = (int)strtol(optarg, nullptr, 10); break;
      case 'v': dump = true; break;
      case 'N': mapped = true; break;
      case 'R': speed = true; break;
      case 'x': break;
      default: usage();
    }
  }
  int operands = argc - optind;
  if (operands > 2) usage();

  // The board lives until the program ends.
  static uba_nic *nic = nullptr;
  nic = uba_open(unit, UBA_ZE, mapped ? 0 : UBA_BAR_SKIP);
  if (mapped) {
    handle_error(!nic->base2, "Cannot use -N: BAR2 is not mapped\n");
    kram_open_map(&regs, nic->base2 + BAR2_SPECIALS);
    kram_open_map(&sram, nic->base);
  } else {
    kram_open_cfg(&regs, nic);
    regs.offset = SPECIALS;
    kram_open_cfg(&sram, nic);
  }

  char strings[ID_STRINGS_SIZE];
  kram_read(&sram, ID_STRINGS, strings, sizeof strings);
  const char *pc = product_code(strings);
  handle_error(!has_xfp_cage(pc), "Card is not a -R NIC with XFP cage: PC=%s\n", pc);

  if (dump) {
    for (const DumpEntry &e : DUMP) printf("%d.%xh (%s): 0x%x\n", e.dev, e.reg, e.name, mdio_read(e.dev, e.reg));
  } else if (operands >= 1) {
    int dev;
    unsigned reg;
    parse_register(argv[optind], &dev, &reg);
    if (operands == 1) {
      printf("%d.%xh = 0x%x\n", dev, reg, mdio_read(dev, reg));
    } else {
      unsigned long val = strtoul(argv[optind + 1], nullptr, 0);
      handle_error(val > 0xffff, "Invalid register value: %s\n", argv[optind + 1]);
      printf("Setting %d.%xh = 0x%x\n", dev, reg, (unsigned)val);
      mdio_write(dev, reg, (unsigned)val);
    }
  } else if (speed) {
    read_speed();
  } else {
    xfp_display();
  }
  kram_close(&regs);
  kram_close(&sram);
  return 0;
}
