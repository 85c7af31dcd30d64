// ulve-pcie-conf: shows the PCI Express state of one of the maker's 10G NICs
// and of every bridge above it up to the root: payload and read request
// sizes, the error-reporting enables, the PCI, PCI Express and AER status
// bits by name and, for some Intel chipsets, their own error registers. It
// clears the error bits it shows (they clear when written with a one), sets
// the maximum payload size of the NIC and all its bridges together, and
// prints the NIC's flow-control credits and completion-timeout settings.
//
// Configuration space is reached through the library's access method; the
// NIC's flow-control registers through the debug window of its
// vendor-specific capability.

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "uba_kram.h"

namespace {

const char USAGE[] =
    "usage: ulve-pcie-conf [ -b<num> ] [ -p <psize> ]\n"
    "\t -b <num>            -- 10g board instance number\n"
    "\t -p <payload-size> ] -- set pcie max payload size\n"
    "\t -E                  -- Use mmcfg pci access method\n"
    "\t -x                  -- look at 2G cards\n"
    "\t -e                  -- display error status bits\n"
    "\t -N                  -- Look for hidden Nvidia/Intel AER cap (with -e)\n"
    "\t -c                  -- display and clear error status bits\n"
    "\t -f                  -- print pcie virtual channels FC information\n"
    "\t -t                  -- print completion-timeout settings\n"
    "\t -v                  -- more verbose (can be used multiple time)\n";

// ---- Register layouts ------------------------------------------------------

// PCI Express Device Control.
struct pcie_devctl_t {
  uint16_t cere : 1;
  uint16_t nfere : 1;
  uint16_t fere : 1;
  uint16_t urre : 1;
  uint16_t relax_en : 1;
  uint16_t payload : 3;
  uint16_t ext_tag : 1;
  uint16_t phantom : 1;
  uint16_t aux_power : 1;
  uint16_t no_snoop : 1;
  uint16_t max_read_req : 3;
  uint16_t bridge_retry : 1;
};
static_assert(sizeof(pcie_devctl_t) == 2);

// PCI Express Device Capabilities.
struct pcie_devcap_t {
  uint32_t payload : 3;  // the largest supported
  uint32_t other : 29;
};
static_assert(sizeof(pcie_devcap_t) == 4);

// PCI Express Device Capabilities 2 and Device Control 2 (capability version 2).
struct pcie_devcap2_t {
  uint32_t cto_ranges : 4;
  uint32_t cto_disable : 1;
  uint32_t other : 27;
};
static_assert(sizeof(pcie_devcap2_t) == 4);

struct pcie_devctl2_t {
  uint16_t cto_range : 4;
  uint16_t cto_disable : 1;
  uint16_t other : 11;
};
static_assert(sizeof(pcie_devctl2_t) == 2);

constexpr unsigned PCI_COMMAND = 4, PCI_STATUS = 6, SECONDARY_STATUS = 30, BRIDGE_CONTROL = 62;
constexpr unsigned PCIE_CAP_ID = 0x10, AER_CAP_ID = 1;
// Offsets in the PCI Express capability.
constexpr unsigned PCIE_CAPS = 2, PCIE_DEVCAP = 4, PCIE_DEVCTL = 8, PCIE_DEVSTA = 10, PCIE_ROOTCTL = 28,
                   PCIE_DEVCAP2 = 0x24, PCIE_DEVCTL2 = 0x28;
constexpr unsigned PORT_TYPE_ROOT = 4;
// Offsets in the AER capability.
constexpr unsigned AER_UNCORR = 4, AER_UNCORR_MASK = 8, AER_UNCORR_SEVERITY = 12, AER_CORR = 16, AER_ROOT_COMMAND = 44,
                   AER_ROOT_STATUS = 48, AER_SOURCE = 52;
// Where the NIC's special registers start in its processor's address space.
constexpr uint32_t SPECIALS = 0xfffffe00;

// ---- Bit names ---------------------------------------------------------------

struct bit_name {
  int bit;
  const char *name;
};

constexpr bit_name PCI_STATUS_BITS[] = {{8, "rec-parity"}, {11, "t-abort"},  {12, "rcv-t-abort"},
                                        {13, "m-abort"},   {14, "sig-serr"}, {15, "sig-parity"}};
constexpr bit_name PCIE_STATUS_BITS[] = {{0, "corr"}, {1, "non-fatal"}, {2, "fatal"}, {3, "ur"}};
constexpr bit_name AER_UNCORR_BITS[] = {
    {0, "training"},      {4, "dl-proto"},      {5, "surprise-down"}, {12, "poisoned"},
    {13, "fcpe"},         {14, "cpl-timeout"},  {15, "ca"},           {16, "unexp-cpl"},
    {17, "rcv-overflow"}, {18, "malformed-tlp"}, {19, "ecrc-error"},  {20, "ur"}};
constexpr bit_name AER_CORR_BITS[] = {{0, "rcv-error"}, {6, "bad-tlp"}, {7, "bad-dllp"},
                                      {8, "rollover"},  {12, "replay"}, {13, "advisory"}};
constexpr bit_name AER_ROOT_BITS[] = {{0, "corr"}, {5, "non-fatal"}, {6, "fatal"}};
constexpr bit_name CHIPSET_FATAL_BITS[] = {
    {0, "dllp-proto"}, {1, "fatal-msg"},     {2, "ur-req"},         {3, "training"},       {4, "poisoned"},
    {5, "fcpe"},       {6, "cpl-timeout"},   {7, "ca-abort"},       {8, "unexp-cpl"},      {9, "rcv-overflow"},
    {10, "malformed-tlp"}, {11, "esi-reset-timeout"}, {12, "surprise-down"}};
constexpr bit_name CHIPSET_NONFATAL_BITS[] = {
    {0, "dllp-proto"},   {1, "ur"},           {2, "training"},       {3, "poisoned"},   {4, "fcpe"},
    {5, "cpl-timeout"},  {6, "ca"},           {7, "unexp-cpl"},      {8, "malformed-tlp"}, {9, "rcv-overflow"},
    {10, "non-fatal-msg"}, {11, "rcv-error"}, {12, "bad-tlp"},       {13, "bad-dllp"},  {14, "rollover"},
    {15, "replay"},      {16, "corr-msg"},    {17, "surprise-down"}};

// The names of the bits of `value` that the table lists, after a tab, each
// as "+name ", and the end of the line.
void print_bits(uint32_t value, std::span<const bit_name> table) {
  printf("\t");
  for (const bit_name &b : table)
    if (value >> b.bit & 1) printf("+%s ", b.name);
  printf("\n");
}

// ---- The run -----------------------------------------------------------------

struct options {
  int unit = 0;
  bool two_g = false;       // -x: a 2G card, whose PCI Express registers are not read
  bool errors = false;      // -e
  bool clear = false;       // -c
  bool hidden_aer = false;  // -N
  bool fc = false;          // -f
  bool cto = false;         // -t
  int verbose = 0;          // count of -v
  int payload = 0;          // -p, 0: none
} opt;

// The NIC or one of its bridges: where its PCI Express capability lies (0 in
// 2G mode), and its Device Control and Capabilities as last shown.
struct device {
  pci_dev *dev;
  int cap;
  pcie_devctl_t devctl;
  pcie_devcap_t devcap;
};

bool hides_aer(const pci_dev *dev) {
  return dev->vendor_id == 0x10de ||
         (dev->vendor_id == 0x8086 && (dev->device_id == 0x2779 || dev->device_id == 0x277a || dev->device_id == 0x277d));
}

// Where a chipset that does not list its AER capability keeps it, or 0.
int hidden_aer_position(const pci_dev *dev) {
  if (dev->vendor_id == 0x10de) return 0x160;
  return hides_aer(dev) ? 0x1c0 : 0;
}

bool is_e5000(const pci_dev *dev) {
  unsigned id = dev->device_id;
  return dev->vendor_id == 0x8086 && ((id >= 0x25e2 && id <= 0x25e7) || (id >= 0x25f7 && id <= 0x25fa));
}

// The E5000 chipset's error registers, after the AER ones.
void show_e5000(pci_dev *dev) {
  uint32_t v = pci_read_long(dev, 0x148);
  printf("\tE5000_Uncorr_Detect_Mask=0x%08x\n", v);
  v = pci_read_long(dev, 0x14c);
  printf("\tE5000_Corr_Detect_Mask=0x%08x\n", v);
  print_bits(v, AER_CORR_BITS);
  v = pci_read_long(dev, 0x150);
  printf("\tE5000_Msg_Detect_Mask=0x%x, Fatal=%d, Non-fatal=%d, Corr=%d\n", v, v >> 2 & 1, v >> 1 & 1, v & 1);
  auto error_register = [dev](unsigned reg, const char *format, std::span<const bit_name> table) {
    uint32_t value = pci_read_long(dev, reg);
    printf(format, value);
    print_bits(value, table);
    if (opt.clear) pci_write_long(dev, reg, value);
  };
  error_register(0x154, "\tE5000_FIRST_FATAL_ERR=0x%x\n", CHIPSET_FATAL_BITS);
  error_register(0x158, "\tE5000_FIRST_NONFATAL_CORR_ERR=0x%x\n", CHIPSET_NONFATAL_BITS);
  error_register(0x15c, "\tE5000_NEXT_FATAL_ERR=0x%x\n", CHIPSET_FATAL_BITS);
  error_register(0x160, "\tE5000_NEXT_NONFATAL_CORR_ERR=0x%x\n", CHIPSET_NONFATAL_BITS);
}

// The AER registers at `a`.
void show_aer(pci_dev *dev, int a, bool root_port) {
  uint32_t uncorr = pci_read_long(dev, a + AER_UNCORR);
  printf("\tAER_Uncorr=0x%08x\n", uncorr);
  print_bits(uncorr, AER_UNCORR_BITS);
  if (opt.clear) pci_write_long(dev, a + AER_UNCORR, uncorr);
  if (opt.verbose) {
    uint32_t mask = pci_read_long(dev, a + AER_UNCORR_MASK);
    printf("\tAER_Uncorr_Mask=0x%08x\n", mask);
    print_bits(mask, AER_UNCORR_BITS);
    uint32_t severity = pci_read_long(dev, a + AER_UNCORR_SEVERITY);
    printf("\tAER_Uncorr_Severity=0x%08x\n", severity);
    print_bits(severity, AER_UNCORR_BITS);
  }
  uint32_t corr = pci_read_long(dev, a + AER_CORR);
  printf("\tAER_Corr=0x%08x\n", corr);
  print_bits(corr, AER_CORR_BITS);
  if (opt.clear) pci_write_long(dev, a + AER_CORR, corr);
  if (root_port && opt.verbose) {
    uint32_t command = pci_read_long(dev, a + AER_ROOT_COMMAND);
    printf("\tAER Root interrupt on msg: fatal=%d , non-fatal=%d, Corr=%d\n", command >> 2 & 1, command >> 1 & 1,
           command & 1);
    uint32_t status = pci_read_long(dev, a + AER_ROOT_STATUS);
    printf("\tAER Root status=0x%x\n", status);
    print_bits(status, AER_ROOT_BITS);
    if (opt.clear) pci_write_long(dev, a + AER_ROOT_STATUS, status);
    uint32_t source = pci_read_long(dev, a + AER_SOURCE);
    printf("\tAER corr-req-id=0x%04x uncorrectable-req-id=0x%04x\n", source & 0xffff, source >> 16);
  }
  if (opt.verbose >= 2 && is_e5000(dev)) show_e5000(dev);
}

// Shows the device under `name`: its payload line, and with -e or -c its
// error state (cleared with -c: each status register is written back with
// the value just read, so exactly the bits shown are cleared).
void show(device &d, const char *name) {
  pci_dev *dev = d.dev;
  unsigned status = pci_read_word(dev, PCI_STATUS);
  unsigned command = pci_read_word(dev, PCI_COMMAND);
  unsigned devsta = 0, port_type = 0;
  if (!opt.two_g) {
    devsta = pci_read_word(dev, d.cap + PCIE_DEVSTA);
    port_type = pci_read_word(dev, d.cap + PCIE_CAPS) >> 4 & 0xf;
    pci_read_bitfield(dev, d.cap + PCIE_DEVCTL, d.devctl);
    pci_read_bitfield(dev, d.cap + PCIE_DEVCAP, d.devcap);
    printf("%s:Max Payload Size = (%d/max-supported=%d), Read Req Size=%d\n", name, 128 << d.devctl.payload,
           128 << d.devcap.payload, 128 << d.devctl.max_read_req);
  }
  if (!opt.errors && !opt.clear) return;

  printf("\tURRE=%d,FERE=%d,NFERE=%d,CERE=%d, serr_enable=%d\n", d.devctl.urre, d.devctl.fere, d.devctl.nfere,
         d.devctl.cere, command >> 8 & 1);
  bool root_port = port_type == PORT_TYPE_ROOT;
  if (root_port && opt.verbose) {
    unsigned control = pci_read_word(dev, d.cap + PCIE_ROOTCTL);
    printf("\troot system error on msg: fatal=%d , non-fatal=%d, Corr=%d\n", control >> 2 & 1, control >> 1 & 1,
           control & 1);
  }
  if (dev->is_bridge) {
    if (opt.verbose) printf("\tError forwarding=%d\n", pci_read_word(dev, BRIDGE_CONTROL) >> 1 & 1);
    unsigned secondary = pci_read_word(dev, SECONDARY_STATUS);
    printf("\tSecondary Status=0x%x\n", secondary);
    print_bits(secondary, PCI_STATUS_BITS);
    if (opt.clear) pci_write_word(dev, SECONDARY_STATUS, secondary);
  }
  printf("\tPCI Status=0x%04x\n", status);
  print_bits(status, PCI_STATUS_BITS);
  if (opt.clear) pci_write_word(dev, PCI_STATUS, status);
  if (opt.two_g) return;

  printf("\tPCIe Status=0x%04x\n", devsta);
  print_bits(devsta, PCIE_STATUS_BITS);
  if (opt.clear) pci_write_word(dev, d.cap + PCIE_DEVSTA, devsta);

  if (!uba_can_access_ext_conf(dev)) {
    printf("\tAER not readable (try -E?)\n");
    return;
  }
  int a = uba_find_ext_capability(dev, AER_CAP_ID);
  if (!a && opt.hidden_aer) a = hidden_aer_position(dev);
  if (!a) {
    printf(hides_aer(dev) ? "\tDevice has no AER capability (try -N ?)\n" : "\tDevice has no AER capability\n");
    return;
  }
  show_aer(dev, a, root_port);
}

void show_all(std::vector<device> &chain, bool blank_lines) {
  show(chain[0], "10G NIC");
  for (size_t i = 1; i < chain.size(); i++) {
    if (blank_lines) printf("\n");
    char name[24];
    snprintf(name, sizeof name, "Bridge%d", (int)(i - 1));
    show(chain[i], name);
  }
}

// Sets the maximum payload of the NIC and its bridges, nearest first, once
// every one of them supports it.
void set_payload(std::vector<device> &chain) {
  int size = opt.payload;
  bool valid = size >= 128 && (size & (size - 1)) == 0;
  for (const device &d : chain) valid = valid && size <= 128 << d.devcap.payload;
  if (!valid) {
    fprintf(stderr, "Invalid payload value: %d\n", size);
    exit(1);
  }
  unsigned val = 0;
  while (128 << val != size) val++;
  printf("Updating max payload to %d\n", size);
  for (device &d : chain) {
    d.devctl.payload = val & 7;
    pci_write_bitfield(d.dev, d.cap + PCIE_DEVCTL, d.devctl);
  }
  printf("Rereading\n");
  show_all(chain, false);
}

void print_flow_control(kram_t *kram) {
  static const char *const kinds[] = {"unknown", "fc-init1", "fc-update", "fc-init2"};
  static const struct {
    const char *label;
    uint32_t offset;
  } registers[] = {{"\tPosted", 0xe0}, {"\tNon-Posted", 0xf8}, {"\tCpl", 0x110}};
  printf("FC info:\n");
  for (const auto &r : registers) {
    uint32_t w = kram_read_be32(kram, r.offset);
    printf("%s: %s, hdr=%s%d data=%s%d\n", r.label, kinds[w >> 30], w >> 24 & 1 ? "Inf-" : "", (int)(w >> 16 & 0xff),
           w >> 14 & 1 ? "Inf-" : "", (int)(w & 0x3fff) * 4);
  }
}

void print_completion_timeout(const device &nic) {
  unsigned version = pci_read_word(nic.dev, nic.cap + PCIE_CAPS) & 0xf;
  printf("PCIE Cap Version = %d\n", version);
  if (version != 2) return;
  pcie_devcap2_t cap2;
  pcie_devctl2_t ctl2;
  pci_read_bitfield(nic.dev, nic.cap + PCIE_DEVCAP2, cap2);
  pci_read_bitfield(nic.dev, nic.cap + PCIE_DEVCTL2, ctl2);
  printf("\tCPL Timeout:  val=0x%x (range_cap=0x%x), disabled=%d (disable_cap=%d)\n", ctl2.cto_range, cap2.cto_ranges,
         ctl2.cto_disable, cap2.cto_disable);
}

[[noreturn]] void usage() {
  fprintf(stderr, "%s", USAGE);
  exit(1);
}

int clamp_to_int(long v) { return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : (int)v; }

}  // namespace

int main(int argc, char **argv) {
  // The usage text says what is wrong; getopt's own line would only repeat it.
  opterr = 0;
  int c;
  while ((c = getopt(argc, argv, "b:p:fevENcxtvh")) != -1) {
    switch (c) {
      case 'b': opt.unit = (int)strtol(optarg, nullptr, 0); break;
      case 'p': opt.payload = clamp_to_int(strtol(optarg, nullptr, 0)); break;
      case 'f': opt.fc = true; break;
      case 'e': opt.errors = true; break;
      case 'v': opt.verbose++; break;
      case 'E': uba_pci_method(UBA_PCI_MM); break;
      case 'N': opt.hidden_aer = true; break;
      case 'c': opt.clear = true; break;
      case 'x': opt.two_g = true; break;
      case 't': opt.cto = true; break;
      default: usage();
    }
  }
  // A 2G card's PCI Express registers are not located: nothing could be set
  // or read there.
  for (char option : {'p', 't'}) {
    if (!opt.two_g || (option == 'p' ? !opt.payload : !opt.cto)) continue;
    fprintf(stderr, "-%c cannot be used with -x: 2G cards have no PCIe registers to look at\n", option);
    exit(1);
  }

  // The board, the handle and the chain live until the program ends.
  static uba_nic *nic;
  nic = uba_open(opt.unit, opt.two_g ? UBA_KX : UBA_ZE, UBA_BAR_SKIP);
  static kram_t kram;
  if (opt.fc) {
    kram_open_cfg(&kram, nic);
    kram.offset = SPECIALS;
  }

  // The NIC, then its bridges nearest first (in 2G mode only the nearest).
  static std::vector<device> chain;
  chain.push_back(device{nic->dev, 0, {}, {}});
  if (!nic->dev->parent) fprintf(stderr, "No parent found for %s\n", nic->dev->name);
  for (pci_dev *b = nic->dev->parent; b; b = b->parent) {
    chain.push_back(device{b, 0, {}, {}});
    if (opt.two_g) break;
  }

  printf("Looking ulve-10g-nic=%s, ", nic->dev->name);
  for (size_t i = 1; i < chain.size(); i++) printf("bridge%d=%s ", (int)(i - 1), chain[i].dev->name);
  printf("\n");
  if (!opt.two_g) {
    // Every device must have the capability before any is shown or changed.
    for (device &d : chain) {
      d.cap = uba_find_capability_n(d.dev, PCIE_CAP_ID, 0);
      handle_error(d.cap == 0, "%s has no PCI Express capability: nothing done", d.dev->name);
    }
    printf("\n");
  }

  show_all(chain, true);
  if (opt.payload) set_payload(chain);
  if (opt.fc) print_flow_control(&kram);
  if (opt.cto) print_completion_timeout(chain[0]);
  kram_close(&kram);
  return 0;
}
