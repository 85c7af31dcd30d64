// pokemem: reads or writes one value, or dumps a range of bytes, at an
// address in physical PCI memory (the default), host RAM, I/O ports, raw
// configuration cycles, a file, a NIC of the maker (BAR0, BAR2, EEPROM or
// the debug registers) or the SRAM of a NIC behind the network JTAG adapter.

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "uba_kram.h"

namespace {

const char USAGE[] =
    "usage: pokemem [ -m ] [ -b <unit> ] [ -n ] <addr>.<size> [ <val> ]\n"
    "  <address> is the location to read/write in PCI-MEM(default) or RAM\n"
    "  <size> is either a numeric length (binary dump read op) or one of:\n"
    "    [bwlq] (PCI sizes conventions {byte|word|long|quad} =>  1|2|4|8 bytes\n"
    "  -m  the address is in RAM rather than the PCI-MEM space\n"
    "  -i  the location is in the special I/O port address space (not MMIO)\n"
    "  -b <unit>  the address is IO and relative to start of Ulvelink NIC board <unit>\n"
    "  -2 in association with -b, use BAR2 instead of BAR0 for Ulvelink base IO address\n"
    "  -e in association with -b, use access eeprom of the 10g NIC\n"
    "  -c in association with -b, access board through debug config space regs\n"
    "  -n  select wether to byte swap the value read or written\n"
    "  -w  write raw data taken from stdin\n"
    "  -q  silent (don't print what's done, just the eventual result)\n"
    "  -r  <rabbit-ip> access memory from the rabbit\n"
    "  If <val> is present, do a write operation to the location, otherwise read\n"
    "Examples:\n"
    "  pokemem 0xde000508.l : read swapped 32bit word at IO address 0xde000508\n"
    "  pokemem -m 0x00020100 : read the  32bit word at phys RAM address 0x20100\n"
    "  pokemem -b 0 0.0x100000 : dump 1st MB of Ulvelink SRAM\n"
    "  pokemem -nb0 0xfffdf8.l : read ISR of Ulvelink KX board (on little-endian host)\n"
    "  pokemem -n 0xde000508.w 0x55aa: write swapped short in pci-mem\n";

[[noreturn]] void usage() {
  fprintf(stderr, "%s", USAGE);
  exit(1);
}

int size_of(char c) {
  switch (c) {
    case 'b':
    case 'B': return 1;
    case 'w':
    case 'W': return 2;
    case 'l':
    case 'L': return 4;
    case 'q':
    case 'Q': return 8;
    default: return 0;
  }
}

const char *suffix_of(int size) {
  switch (size) {
    case 1: return ".B";
    case 2: return ".W";
    case 4: return ".L";
    default: return ".Q";
  }
}

}  // namespace

int main(int argc, char **argv) {
  int unit = -1, mask = 0;
  bool swap = false, quiet = false, from_stdin = false, ram = false, bar2 = false, eeprom = false, debug_regs = false,
       config_cycles = false, opened = false;
  const char *file = nullptr;
  kram_t kram{};

  opterr = 0;
  int c;
  while ((c = getopt(argc, argv, "b:r:nf:miqw2ezxHc")) != -1) {
    switch (c) {
      case 'b': unit = (int)strtol(optarg, nullptr, 10); break;
      case 'r':
        kram_open_tckavi(&kram, optarg);
        opened = true;
        break;
      case 'n': swap = true; break;
      case 'f': file = optarg; break;
      case 'm': ram = true; break;
      case 'i':
        kram_open_ioport(&kram);
        opened = true;
        break;
      case 'q': quiet = true; break;
      case 'w': from_stdin = true; break;
      case '2': bar2 = true; break;
      case 'e': eeprom = true; break;
      case 'z': mask |= UBA_ZE; break;
      case 'x': mask |= UBA_KX; break;
      case 'H': config_cycles = true; break;
      case 'c': debug_regs = true; break;
      default:
        fprintf(stderr, "unknown option:%s\n", optind < argc ? argv[optind] : "(null)");
        usage();
    }
  }

  int operands = argc - optind;
  if (operands != 1 && operands != 2) usage();
  bool writing = operands == 2 || from_stdin;

  const char *text = argv[optind], *end;
  char *after;
  unsigned long long parsed = strtoull(text, &after, 0);
  end = after;
  // The address is held in 32 bits; a larger one would silently reach
  // another location.
  if (parsed > 0xffffffffull) {
    fprintf(stderr, "Address %.*s does not fit in 32 bits\n", (int)(end - text), text);
    exit(1);
  }
  uint32_t address = (uint32_t)parsed;
  if (*end == '.') end++;
  size_t size = size_of(*end);
  bool dump = false;
  if (size == 0) {
    if (isdigit((unsigned char)*end) && operands == 1) {
      size = strtoul(end, nullptr, 0);
      dump = true;
    } else {
      fprintf(stderr, "Unknown size:%c\n", *end);
      usage();
    }
  }

  if (opened) {
    // -i or -r chose the space already.
  } else if (unit >= 0) {
    // The board and the buffer live until the program ends.
    static uba_nic *nic;
    nic = uba_open(unit, mask ? mask : UBA_K4 | UBA_PCI64 | UBA_KX | UBA_ZE,
                            eeprom || debug_regs ? UBA_BAR_SKIP : 0);
    if (nic->type == UBA_PCI64) uba_pci64_init(nic, 0, 0);
    if (bar2 && !nic->base2) {
      fprintf(stderr, "BAR2 no available on this NIC\n");
      exit(1);
    }
    if (eeprom)
      kram_open_eeprom(&kram, nic);
    else if (debug_regs)
      kram_open_cfg(&kram, nic);
    else
      kram_open_map(&kram, bar2 ? nic->base2 : nic->base);
  } else if (file) {
    if (ram)
      kram_open_mapped_file(&kram, file, writing);
    else
      kram_open_file(&kram, file, writing);
  } else if (config_cycles) {
    kram_open_cf8(&kram);
  } else if (ram) {
    kram_open_file(&kram, "/dev/mem", writing);
  } else {
    kram_open_phys(&kram, address, size);
  }

  static uint8_t *buffer;
  buffer = static_cast<uint8_t *>(uba_xmalloc(size + 8));
  if (writing) {
    if (from_stdin) {
      uba_xfullread(0, buffer, size);
      if (!quiet) printf("setting 0x%lx.%d = ...\n", (unsigned long)address, (int)size);
    } else {
      unsigned long long value = strtoull(argv[optind + 1], nullptr, 0);
      for (size_t i = 0; i < size; i++) buffer[swap ? size - 1 - i : i] = (uint8_t)(value >> 8 * i);
      if (!quiet) printf("setting 0x%lx.%d = 0x%llx\n", (unsigned long)address, (int)size, value);
    }
    fflush(stdout);
    kram_write(&kram, address, buffer, size);
  } else {
    kram_read(&kram, address, buffer, size);
    if (dump) {
      uba_xxwrite(__FILE__, __LINE__, 1, buffer, size);
    } else {
      unsigned long long value = 0;
      for (size_t i = 0; i < size; i++) value |= (unsigned long long)buffer[swap ? size - 1 - i : i] << 8 * i;
      if (!quiet) printf("0x%lx%s = ", (unsigned long)address, suffix_of((int)size));
      printf("0x%llx\n", value);
    }
  }
  kram_close(&kram);
  return 0;
}
