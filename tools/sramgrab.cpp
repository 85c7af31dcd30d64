// sramgrab: copies a NIC's whole processor SRAM to standard output, as raw
// bytes or as a text core for the processor debugger kxgdb. On 10G cards it
// also drives the SRAM backup that the first control program after a reset
// (ucp0) performs: -e asks for it, -c dumps with the saved parts put back.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "uba_kram.h"

namespace {

const char USAGE[] =
    "usage: sramgrab [ options ]...\n"
    "\t -b <num>   -- select card instance <num>\n"
    "\t -x         -- select only KX-based card (D, E, F)\n"
    "\t -z         -- select only 10G Ulvelink cards\n"
    "\t -r         -- output raw binary bytes (default kxgdb core)\n"
    "\t -e         -- don't dump: enable Z-card ucp0 sram-shuffling\n"
    "\t -s <size>    -- with -e: tell ucp0 to save <size>KB (default 512KB)\n"
    "\t -n           -- with -e: ignore next reset (for \"hard=\" ucp-switching)\n"
    "\t -c         -- Z-card: dump the sram, reconstituting shuffled parts\n";

// The backup control block that ucp0 reads at a reset, big-endian words.
constexpr uint32_t BACKUP_MAGIC = 0x1DEA00, BACKUP_LENGTH = 0x1DEA04, BACKUP_TARGET = 0x1DEA08,
                   BACKUP_TARGET2 = 0x1DEA0C;
constexpr uint32_t MAGIC_SAVE = 0x73617665, MAGIC_SAVE_NEXT = 0x7361766e, MAGIC_DONE = 0x646f6e65;
// ucp0 saves the start of SRAM below this address, and the 32 KiB it uses
// itself at 0x1E0000 below that copy.
constexpr uint32_t TARGET_END = 0x1CFE00, SCRATCH = 0x1E0000, SCRATCH_SIZE = 0x8000;
// The special-register block: the top 512 bytes of the processor's space,
// which BAR2 shows at 0xFFE00; the interrupt status register is at 0x1F8.
constexpr uint32_t SPECIALS = 0xfffffe00, SPECIALS_IN_BAR2 = 0xffe00, ISR = 0x1f8;

[[noreturn]] void usage() {
  fprintf(stderr, "%s", USAGE);
  exit(1);
}


// The kxgdb core: a register count, the ISR line, the SRAM size in words,
// then every word of SRAM (taken big-endian) as "0x%x", one per line.
// Formatted by hand into large blocks: the core of a 2 MiB SRAM has half a
// million lines.
void write_core(uint32_t isr, const uint8_t *sram, uint32_t size) {
  printf("1\n0x%x 0x%x\n0x%x\n", ISR, isr, size / 4);
  fflush(stdout);
  static const char digits[] = "0123456789abcdef";
  constexpr size_t BLOCK = 1 << 16, LINE = 11;  // "0x" + 8 digits + "\n"
  char out[BLOCK + LINE];
  size_t used = 0;
  for (uint32_t at = 0; at + 4 <= size; at += 4) {
    uint32_t word = (uint32_t)sram[at] << 24 | sram[at + 1] << 16 | sram[at + 2] << 8 | sram[at + 3];
    char *p = out + used;
    *p++ = '0';
    *p++ = 'x';
    int shift = 28;
    while (shift > 0 && (word >> shift & 0xf) == 0) shift -= 4;  // no leading zeros
    for (; shift >= 0; shift -= 4) *p++ = digits[word >> shift & 0xf];
    *p++ = '\n';
    used = p - out;
    if (used >= BLOCK) {
      uba_xxwrite(__FILE__, __LINE__, 1, out, used);
      used = 0;
    }
  }
  if (used) uba_xxwrite(__FILE__, __LINE__, 1, out, used);
}

}  // namespace

int main(int argc, char **argv) {
  int unit = 0, mask = 0;
  bool raw = false, enable = false, skip_next = false, reconstitute = false, direct = true;
  uint32_t backup_size = 0x80000;

  // -s takes its size as an argument, as the usage text says.
  // The usage text says what is wrong; getopt's own line would only repeat it.
  opterr = 0;
  int c;
  while ((c = getopt(argc, argv, "b:rs:exzcnhdD")) != -1) {
    switch (c) {
      case 'b': unit = (int)strtol(optarg, nullptr, 0); break;
      case 'x': mask |= UBA_PCI64 | UBA_KX; break;
      case 'z': mask |= UBA_ZE; break;
      case 'r': raw = true; break;
      case 'e': enable = true; break;
      case 'n': skip_next = true; break;
      case 's': backup_size = (uint32_t)(strtoul(optarg, nullptr, 0) * 1024); break;
      case 'c': reconstitute = true; break;
      case 'd': direct = false; break;
      case 'D': direct = true; break;
      default: usage();
    }
  }
  if (mask == 0) mask = UBA_ZE;

  // The board and the buffer live until the program ends.
  static uba_nic *nic;
  nic = uba_open(unit, mask, direct ? 0 : UBA_BAR_SKIP);
  kram_t sram{};
  if (direct)
    kram_open_map(&sram, nic->base);
  else
    kram_open_cfg(&sram, nic);
  fprintf(stderr, "ramsize = %d Kbyte\n", (int)(nic->sram_size / 1024));
  // The backup is a service of the 10G cards' ucp0: refuse before touching
  // any other board.
  if ((enable || reconstitute) && nic->type != UBA_ZE) {
    fprintf(stderr, "sramgrab: -%c works on 10G Ulvelink cards only\n", enable ? 'e' : 'c');
    exit(1);
  }
  if (nic->type == UBA_PCI64) uba_pci64_init(nic, 0, 0);

  if (enable) {
    uint32_t magic = skip_next ? MAGIC_SAVE_NEXT : MAGIC_SAVE, target = TARGET_END - backup_size;
    kram_write_be32(&sram, BACKUP_TARGET, target);
    kram_write_be32(&sram, BACKUP_TARGET2, TARGET_END - SCRATCH_SIZE - backup_size);
    kram_write_be32(&sram, BACKUP_LENGTH, backup_size);
    kram_write_be32(&sram, BACKUP_MAGIC, magic);
    uint32_t letters = __builtin_bswap32(magic);
    fprintf(stderr, "Backup enable at 0x%08lx: %.4s for target 0x%x %dKB\n", (unsigned long)BACKUP_MAGIC,
            reinterpret_cast<const char *>(&letters), target, (int)(backup_size / 1024));
    return 0;
  }

  uint32_t saved_at = 0, saved_len = 0;
  if (reconstitute) {
    uint32_t magic = kram_read_be32(&sram, BACKUP_MAGIC);
    if (magic != MAGIC_DONE) {
      fprintf(stderr, "Backup copy of sram start does not exists, magic=0x%x(%.4s)\n", magic,
              reinterpret_cast<const char *>(&magic));
      exit(1);
    }
    saved_at = kram_read_be32(&sram, BACKUP_TARGET);
    saved_len = kram_read_be32(&sram, BACKUP_LENGTH);
    fprintf(stderr, "Backup retrieval from 0x%08x(len=%dKB)\n", saved_at, (int)(saved_len / 1024));
    fprintf(stderr, " 0x%x->0x%x (len=%dKB)\n", saved_at - SCRATCH_SIZE, SCRATCH, (int)(SCRATCH_SIZE / 1024));
    // The block comes from the card: copies that would not stay inside the
    // SRAM are refused rather than made.
    uint64_t size = nic->sram_size;
    if (saved_at < SCRATCH_SIZE || saved_at > size || saved_len > size - saved_at || SCRATCH + SCRATCH_SIZE > size) {
      fprintf(stderr, "Backup block at 0x%x does not fit the %d Kbyte SRAM\n", BACKUP_MAGIC, (int)(size / 1024));
      exit(1);
    }
  }

  static uint8_t *buffer;
  buffer = static_cast<uint8_t *>(malloc(nic->sram_size ? nic->sram_size : 1));
  handle_error(!buffer, "cannot allocate %u bytes for the SRAM image", nic->sram_size);
  kram_read(&sram, 0, buffer, nic->sram_size);
  if (reconstitute) {
    memmove(buffer, buffer + saved_at, saved_len);
    memmove(buffer + SCRATCH, buffer + saved_at - SCRATCH_SIZE, SCRATCH_SIZE);
  }

  if (raw) {
    fwrite(buffer, 1, nic->sram_size, stdout);
    fflush(stdout);
    return 0;
  }

  uint32_t isr = 0xffffffff;
  if (nic->type == UBA_KX && nic->base) {
    isr = uba_mmio_read<uint32_t>(nic->base + 0xfffdf8);
  } else if (nic->type == UBA_PCI64 && nic->base) {
    isr = uba_mmio_read<uint32_t>(nic->base + 0x804050);
  } else if (nic->type == UBA_ZE && (!direct || nic->base2)) {
    kram_t regs{};
    if (direct) {
      kram_open_map(&regs, nic->base2 + SPECIALS_IN_BAR2);
    } else {
      kram_open_cfg(&regs, nic);
      regs.offset = SPECIALS;
    }
    kram_read(&regs, ISR, &isr, 4);
  }
  write_core(isr, buffer, nic->sram_size);
  return 0;
}
