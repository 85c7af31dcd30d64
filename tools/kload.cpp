// kload: loads a control program (UCP) into the SRAM of a NIC and starts it,
// or only resets the NIC.
//
// 10G cards ("Z"): the image goes to 0x14000c (the default) and is handed
// over by a hard switch (a header at 0x140000 tells the boot code to run it,
// then the card is restarted) or by a soft handoff (a block in BAR0 tells
// the running firmware where it lies). A restart goes through the upstream
// bridge (link down and up), through interrupt timer 3, or by storing 0 into
// SRAM word 0; configuration space is saved before and restored after.
// X and PCI64 cards: reset, load at 0 and start through the configuration
// word at 0x40.

#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "uba_handoff.h"
#include "uba_kexe.h"
#include "uba_kram.h"

namespace {

const char USAGE[] =
    "usage: \n"
    " kload <options>... -i             : to reset the board\n"
    " kload <options>...         <ucp>  : load a new ucp\n"
    "\t -l           : put the image in memory, but don't start\n"
    "\t -r           : ucp is raw image rather than kavi-coff\n"
    "\t -i           : reset card\n"
    "\t -ii          : Z: reset card, leave reboot-to-sram-ucp flag as is\n"
    "\t -s           : Z: use regular \"soft\" handoff\n"
    "\t -p           : Z: restart by setting link down/up from bridge\n"
    "\t -3           : Z: restart by modifying watchdog timer3\n"
    "\t -8           : Z: skip first 8bytes of UCP\n"
    "\t -n           : Z: don't access the card through MMIO\n"
    "\t -e           : Z: use little-endian crc32\n"
    "\t -d           : dma copy-block initialization\n"
    "\t -D<1st-page> :  with -d, start at <1st-page> offset in copy-block\n"
    "\t -c           : clear memory\n"
    "\t -v           : verbose output\n"
    "\t -o<offset>   : load ucp at given offset\n"
    "\t -b<unit>     : board number to use\n"
    "\t -x           : only consider kavi X cards\n"
    "\t -z           : only consider kavi Z cards\n"
    "\t -w           : don't restore pci config space\n";

constexpr uint32_t BAR0_MAPPED = 0x1000000;  // what uba_open maps of BAR0

// Configuration registers.
constexpr unsigned COMMAND = 0x04, CONTROL_WORD = 0x40, CONTROL_BYTE = 0x43;
constexpr unsigned MEMORY_SPACE = 0x2, BUS_MASTER = 0x4, SERR_ENABLE = 0x100;
constexpr unsigned PCIE_CAP = 0x10, DEVICE_CONTROL = 0x08, DEVICE_STATUS = 0x0A, LINK_CONTROL = 0x10,
                   LINK_STATUS = 0x12;
constexpr unsigned LINK_DISABLE = 0x10, FATAL_ERROR_DETECTED = 0x4;

// The processor's registers through the debug window: the real-time
// counter (2 per microsecond) and interrupt timer 3.
constexpr uint32_t SPECIALS = 0xFFFFFE00, RTC = 0x1D0, IT3 = 0x1C0, IT3_WATCHDOG = 0x14000000;

// How long the bridge is watched around the restart, in microseconds.
constexpr uint64_t LINK_DOWN_US = 100, REINIT_US = 2500000;

[[noreturn]] void usage() {
  fprintf(stderr, "%s", USAGE);
  exit(1);
}

struct Options {
  bool raw = false, no_start = false, soft = false, clear = false, mmio = true, through_bridge = false,
       skip8 = false, timer3 = false, dma = false, restore = true, little_endian_crc = false;
  int unit = 0, mask = 0, reset_only = 0, verbose = 0;
  uint32_t load_address = 0, first_page = 0;
};

// The configuration registers a restart loses, in the order they are saved
// and restored.
struct SavedRegister {
  unsigned offset;
  int width;
  uint32_t value;
};
constexpr SavedRegister SAVED[] = {{0x10, 4, 0}, {0x14, 4, 0}, {0x18, 4, 0}, {0x1C, 4, 0}, {0x04, 2, 0},
                                   {0x46, 2, 0}, {0x48, 4, 0}, {0x4C, 4, 0}, {0x50, 2, 0}, {0x64, 4, 0}};

uint32_t read_register(pci_dev *dev, unsigned offset, int width) {
  return width == 2 ? pci_read_word(dev, offset) : pci_read_long(dev, offset);
}

void write_register(pci_dev *dev, unsigned offset, int width, uint32_t value) {
  if (width == 2)
    pci_write_word(dev, offset, (int)value);
  else
    pci_write_long(dev, offset, value);
}

// Reads the bridge's link and error status until `us` microseconds have
// passed, telling each change with -v.
void watch_bridge(pci_dev *bridge, unsigned cap, uint64_t us, int verbose) {
  unsigned link = pci_read_word(bridge, cap + LINK_STATUS), error = pci_read_word(bridge, cap + DEVICE_STATUS);
  if (verbose && (error & FATAL_ERROR_DETECTED)) fprintf(stderr, "Exp Fatal-error set\n");
  const uint64_t start = uba_xget_usecs();
  for (uint64_t now = start; now - start < us; now = uba_xget_usecs()) {
    unsigned l = pci_read_word(bridge, cap + LINK_STATUS), e = pci_read_word(bridge, cap + DEVICE_STATUS);
    if (verbose) {
      if (l != link) fprintf(stderr, "%d:Link_status going from 0x%04x to 0x%04x\n", (int)(now - start), link, l);
      if (e != error) fprintf(stderr, "%d:Error-status going from 0x%04x to 0x%04x\n", (int)(now - start), error, e);
    } else {
      sched_yield();
    }
    link = l, error = e;
  }
}

// Restarts a 10G card and restores its configuration space; 0 on success.
int restart(uba_nic *nic, kram_t *memory, const Options &o) {
  pci_dev *dev = nic->dev, *bridge = dev->parent;
  handle_error(o.through_bridge && !bridge, "Don't know the bridge for NIC %s\n", dev->name);
  const unsigned cap = bridge ? uba_find_capability_n(bridge, PCIE_CAP, 0) : 0;
  handle_error(o.through_bridge && !cap, "Bridge %s has no PCI Express capability: its link cannot be disabled\n",
               bridge ? bridge->name : "");
  if (bridge) {
    fprintf(stderr, "Disable error reporting in bridge %s\n", bridge->name);
    pci_write_word(bridge, COMMAND, pci_read_word(bridge, COMMAND) & ~SERR_ENABLE);
    if (cap) pci_write_word(bridge, cap + DEVICE_CONTROL, pci_read_word(bridge, cap + DEVICE_CONTROL) & ~0xFu);
    if (bridge->vendor_id == 0x8086 && bridge->device_id >= 0x3595 && bridge->device_id <= 0x359A)
      pci_write_long(bridge, 0x144, pci_read_long(bridge, 0x144) | 0x800);
  }

  fprintf(stderr, "Saving NIC Conf-space\n");
  SavedRegister saved[std::size(SAVED)];
  for (size_t i = 0; i < std::size(SAVED); i++)
    saved[i] = {SAVED[i].offset, SAVED[i].width, read_register(dev, SAVED[i].offset, SAVED[i].width)};
  const uint32_t id = pci_read_long(dev, 0);

  kram_t regs{};
  kram_open_cfg(&regs, nic);
  regs.offset = SPECIALS;
  const uint32_t rtc = kram_read_be32(&regs, RTC) / 2;
  if (o.through_bridge) {
    fprintf(stderr, "Resetting NIC through Bridge %s\n", bridge->name);
    unsigned control = pci_read_word(bridge, cap + LINK_CONTROL);
    pci_write_word(bridge, cap + LINK_CONTROL, control | LINK_DISABLE);
    watch_bridge(bridge, cap, LINK_DOWN_US, o.verbose);
    pci_write_word(bridge, cap + LINK_CONTROL, control & ~LINK_DISABLE);
  } else if (o.timer3) {
    fprintf(stderr, "Trying to reset NIC through CFG-PIO to IT3\n");
    kram_write_be32(&regs, IT3, IT3_WATCHDOG);
  } else {
    handle_error(memory->type != KRAM_MAP, "MMIO support is required for that operation");
    fprintf(stderr, "Resetting NIC through PIO\n");
    const uint32_t zero = 0;
    kram_write(memory, 0, &zero, 4);
  }
  if (o.verbose)
    fprintf(stderr, "waiting for reinit, link was put down around RTC=%d.%06d\n", (int)(rtc >> 20),
            (int)(rtc & 0xFFFFF));
  if (cap)
    watch_bridge(bridge, cap, REINIT_US, o.verbose);
  else
    sleep(1);

  fprintf(stderr, "Rereading ID\n");
  const uint32_t now = pci_read_long(dev, 0);
  if (now != id) {
    fprintf(stderr, "ERROR: NIC did not reboot correctly: ID=%02x:%02x, should be %02x:%02x\n", now & 0xFFFF,
            now >> 16, id & 0xFFFF, id >> 16);
    exit(1);
  }
  if (pci_read_word(dev, COMMAND) & MEMORY_SPACE) {
    fprintf(stderr, "ERROR: NIC did not reboot, conf-space still initialized\n");
    exit(1);
  }
  if (!o.restore) {
    fprintf(stderr, "NIC has restarted, NOT restoring PCI conf-space\n");
    return 0;
  }
  fprintf(stderr, "NIC has restarted, restoring PCI conf-space\n");
  for (const SavedRegister &r : saved) write_register(dev, r.offset, r.width, r.value);
  return 0;
}

// An image must lie inside the mapped BAR0.
void check_fits_bar0(uint32_t address, size_t len) {
  handle_error((uint64_t)address + len > BAR0_MAPPED, "The UCP of %zu bytes at 0x%x does not fit in BAR0 (0x%x bytes)\n",
               len, address, BAR0_MAPPED);
}

// X and PCI64 cards: reset, load, start through the control word.
int load_earlier_card(uba_nic *nic, kram_t *memory, const uint8_t *image, size_t len, const Options &o) {
  pci_dev *dev = nic->dev;
  const bool kx = nic->type == UBA_KX;
  fprintf(stderr, " resetting nic\n");
  if (kx) {
    pci_write_long(dev, CONTROL_WORD, 0x80000000);
    pci_write_long(dev, CONTROL_WORD, 0x20000000);
  } else {
    // The full reset; the processor clock keeps the multiplier the board's
    // record holds.
    uint32_t clock = uba_mmio_read_be32(&nic->eeprom->kavi_clockval);
    uba_pci64_init(nic, 1, (int)(clock >> 4 & 7));
  }
  if (o.reset_only) return 0;
  fprintf(stderr, " Loading New UCP\n");
  usleep(1000);
  if (o.clear) {
    check_fits_bar0(0, nic->sram_size);
    kram_zero(memory, 0, nic->sram_size);
  }
  check_fits_bar0(o.load_address, len);
  kram_write(memory, o.load_address, image, len);
  if (o.no_start) return 0;
  fprintf(stderr, " Starting New UCP\n");
  if (kx) {
    pci_write_long(dev, CONTROL_WORD, 0x10000000);
    pci_write_long(dev, CONTROL_WORD, 0x40000000);
  } else {
    pci_write_byte(dev, CONTROL_BYTE, 0x80);
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  // The usage text says what is wrong; getopt's own line would only repeat it.
  opterr = 0;
  int c;
  while ((c = getopt(argc, argv, "rb:o:ilszxcnpv83dweD:")) != -1) {
    switch (c) {
      case 'r': o.raw = true; break;
      case 'b': o.unit = (int)strtol(optarg, nullptr, 10); break;
      case 'o': o.load_address = (uint32_t)strtoul(optarg, nullptr, 0); break;
      case 'i': o.reset_only++; break;
      case 'l': o.no_start = true; break;
      case 's': o.soft = true; break;
      case 'z': o.mask |= UBA_ZE; break;
      case 'x': o.mask |= UBA_KX | UBA_PCI64; break;
      case 'c': o.clear = true; break;
      case 'n': o.mmio = false; break;
      case 'p': o.through_bridge = true; break;
      case 'v': o.verbose++; break;
      case '8': o.skip8 = true; break;
      case '3': o.timer3 = true; break;
      case 'd': o.dma = true; break;
      case 'w': o.restore = false; break;
      case 'e': o.little_endian_crc = true; break;
      case 'D': o.first_page = (uint32_t)strtoul(optarg, nullptr, 0); break;
      default: usage();
    }
  }
  if (o.mask == 0) o.mask = UBA_ZE;

  // The board, the image and the copy-block live until the program ends.
  static uba_nic *nic;
  static uint8_t *image;
  static uba_cb_t *copy_block;
  nic = uba_open(o.unit, o.mask, o.mmio ? 0 : UBA_BAR_SKIP);
  const bool z = nic->type == UBA_ZE;
  // Refused before the board is touched: without BAR0 the X and PCI64 cards
  // have nothing to load through, and the handoff block lies in BAR0.
  if (!z && !o.mmio) {
    fprintf(stderr, "kload: -n works on 10G Ulvelink cards only\n");
    exit(1);
  }
  handle_error(z && !o.mmio && o.soft && !o.reset_only, "MMIO support is required for that operation");

  ulve_vs_cap_check(nic);
  kram_t memory{};
  if (o.mmio) {
    unsigned command = pci_read_word(nic->dev, COMMAND);
    if (!(command & MEMORY_SPACE)) pci_write_word(nic->dev, COMMAND, (int)(command | MEMORY_SPACE));
    kram_open_map(&memory, nic->base);
  } else {
    fprintf(stderr, "Not using MMIO\n");
    kram_open_cfg(&memory, nic);
  }

  size_t len = 0;
  if (!o.reset_only) {
    printf("ramsize = %d Kbyte %d bytes\n", (int)(nic->sram_size >> 10), (int)(nic->sram_size & 0x3FF));
    if (uba_sim.active && o.dma) {
      printf("Assuming UCP %s is loaded with simulator invocation\n", optind < argc ? argv[optind] : argv[0]);
      image = const_cast<uint8_t *>(uba_sim.kavi_space);
      len = BAR0_MAPPED;
    } else {
      uba_get_ucp(argv + optind, o.raw, &image, &len, argv[0]);
    }
    printf("loading ucp of size %ld\n", (long)len);
    fflush(stdout);
  }
  if (o.mmio && !(pci_read_word(nic->dev, COMMAND) & MEMORY_SPACE)) {
    fprintf(stderr, "kload requires MMIO to be enabled\n");
    exit(1);
  }
  if (!z) return load_earlier_card(nic, &memory, image, len, o);

  if (!o.reset_only) {
    const uint32_t address = o.load_address ? o.load_address : UBA_HARD_SWITCH_LOAD;
    fprintf(stderr, "Loading New UCP (%s) at 0x%x\n", o.soft ? "soft-handoff" : "hard-switch", address);
    if (uint32_t header = ucp_version_header(image, len)) {
      char version[UCP_VERSION_MAX + 1];
      ucp_version_string(image, len, header, version);
      fprintf(stderr, "\tversion: %s\n", version);
    }
    if (o.dma) {
      uint32_t table = uba_copy_block_table(image, len);
      uba_init_copy_block(nic, nullptr);
      copy_block = uba_get_copy_block(nic);
      uba_fill_copy_block(image, table, copy_block, o.first_page);
      if (uba_sim.active) {
        pci_write_word(nic->dev, COMMAND, 6);
        printf("Sleeping while simulation occurs\n");
        fflush(stdout);
        sleep(10000);
        return 0;
      }
    }
    if (o.mmio) check_fits_bar0(address, len);
    if (!o.soft && uba_write_hard_switch(&memory, image, len, o.little_endian_crc) != 0) return 1;
    uba_load_verified(&memory, address, image, len);
    if (o.no_start) return 0;
    unsigned command = pci_read_word(nic->dev, COMMAND);
    if (!(command & BUS_MASTER)) {
      fprintf(stderr, "Warning: setting Master command bit\n");
      pci_write_word(nic->dev, COMMAND, (int)(command | BUS_MASTER));
    }
    if (o.soft) {
      uba_soft_handoff(nic->base, address, len, o.skip8 ? 8 : 0);
      return 0;
    }
  } else if (o.reset_only == 1) {
    // Without the header the boot code loads from the EEPROM again.
    uint8_t header[16];
    kram_read(&memory, UBA_HARD_SWITCH, header, sizeof header);
    if (handoff_detail::be32(header) == UBA_HARD_SWITCH_MAGIC) {
      const uint8_t zeros[16] = {};
      kram_write(&memory, UBA_HARD_SWITCH, zeros, sizeof zeros);
    }
  }
  return restart(nic, &memory, o);
}
