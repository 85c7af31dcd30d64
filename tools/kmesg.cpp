// kmesg: prints the control program's message log. The program writes its
// console output into an 8192-byte ring in SRAM described by a header; kmesg
// prints what arrived since the last reader and moves the header's read
// count on, so each message is shown once. It can also show all that is
// still in the ring, follow the log, clear it, or read a saved SRAM image.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "uba_kram.h"

namespace {

const char USAGE[] =
    "usage: kmesg [ -r<rabbit> | -b<unit>] [ -c ] [ -s ]\n"
    "\t  -r<rabbit>  get message log using rabbit at IP <rabbit>\n"
    "\t  -b<unit>    get message log using using PIO from NIC <unit> (default=0)\n"
    "\t  -f<file>    get message log from <file> (sramgrab for instance)\n"
    "\t  -c          clear the message log\n"
    "\t  -m          look at a native QN print buffer instead of kaviZ ext zone\n"
    "\t  -n          only use conf-space access, no MMIO\n"
    "\t  -s          get all messages (even those already seen)\n"
    "\t  -w          loop waiting for new data\n"
    "\t  -2          with -r: rabbit is plugged to a kavi 2Z\n"
    "\t  -d          dry-run: don't mark the messages as read\n"
    "\t  -z          only z cards\n"
    "\t  -x          only x cards\n"
    "\t  -v          verbose (print time)\n";

// The log header ("ext zone"): six big-endian words.
constexpr uint32_t TIME0 = 0, TIME1 = 4, MAGIC = 8, WRITTEN = 12, READ = 16, RING = 20, HEADER_SIZE = 24;
constexpr uint32_t LOG_MAGIC = 0x7072696e;
constexpr uint32_t RING_SIZE = 8192;
constexpr uint32_t HEADER_AT = 0x1DE9E8, HEADER_AT_2Z = 0x1D69E8;
// Native mode: a plain 4096-byte buffer, read whole on every run.
constexpr uint32_t NATIVE_RING = 0x100000, NATIVE_SIZE = 0x1000;

[[noreturn]] void usage() {
  fprintf(stderr, "%s", USAGE);
  exit(1);
}

}  // namespace

int main(int argc, char **argv) {
  int unit = 0, mask = 0, native = 0;
  const char *rabbit = nullptr, *file = nullptr;
  bool clear = false, show_all = false, follow = false, config_only = false, mapped = false, dry = false,
       verbose = false, second_chip = false;

  // The usage text says what is wrong; getopt's own line would only repeat it.
  opterr = 0;
  int c;
  while ((c = getopt(argc, argv, "b:r:f:csxzwnmdv2N")) != -1) {
    switch (c) {
      case 'b': unit = (int)strtol(optarg, nullptr, 0); break;
      case 'r': rabbit = optarg; break;
      case 'f': file = optarg; break;
      case 'c': clear = true; break;
      case 's': show_all = true; break;
      case 'x': mask |= UBA_PCI64 | UBA_KX; break;
      case 'z': mask |= UBA_ZE; break;
      case 'w': follow = true; break;
      case 'n': config_only = true; break;
      case 'N': mapped = true; break;
      case 'm':
        handle_error(++native > 1, "kmesg not compiled with QN headers\n");
        dry = true;
        break;
      case 'd': dry = true; break;
      case 'v': verbose = true; break;
      case '2': second_chip = true; break;
      default: usage();
    }
  }

  kram_t kram{};
  // The board and the handle live until the program ends.
  static uba_nic *nic = nullptr;
  if (rabbit) {
    kram_open_tckavi(&kram, rabbit);
  } else if (file) {
    kram_open_file(&kram, file, !dry);
  } else {
    if (mask == 0) mask = UBA_ZE;
    bool use_map = mapped || (!config_only && mask != UBA_ZE);
    nic = uba_open(unit, mask, use_map ? 0 : UBA_BAR_SKIP);
    if (use_map) {
      unsigned command = pci_read_word(nic->dev, 4);
      if (!(command & 2)) pci_write_word(nic->dev, 4, command | 2);  // memory space on
      kram_open_map(&kram, nic->base);
    } else {
      kram_open_cfg(&kram, nic);
    }
  }

  uint32_t header, ring;
  if (nic && (nic->type == UBA_PCI64 || nic->type == UBA_KX))
    header = nic->sram_size - HEADER_SIZE;
  else
    header = second_chip ? HEADER_AT_2Z : HEADER_AT;
  uint32_t now = 0;
  if (native) {
    ring = NATIVE_RING;
    header = 0xffffffff;
  } else {
    ring = kram_read_be32(&kram, header + RING);
    now = kram_read_be32(&kram, header + TIME0) + kram_read_be32(&kram, header + TIME1);
  }
  fprintf(stderr, "Assuming print buf at offset 0x%x, meta at 0x%x\n", ring, header);
  if (verbose) fprintf(stderr, "Current time: usecs=%d.%06d\n", (int)(now >> 20), (int)(now & 0xfffff));

  if (clear && !native) {
    // Only mapped memory and the adapter can be cleared: refuse the others
    // before the header is touched.
    if (kram.type != KRAM_MAP && kram.type != KRAM_TCKAVI) {
      fprintf(stderr, "KMESG INIT: cannot clear the print area through %s; use -N\n",
              kram.type == KRAM_FILE ? "a file" : "configuration space");
      exit(1);
    }
    fprintf(stderr, "KMESG INIT: Clearing print area: old magic=0x%x\n", kram_read_be32(&kram, header + MAGIC));
    kram_zero(&kram, header, HEADER_SIZE);
  }
  if (!native) {
    uint32_t magic = kram_read_be32(&kram, header + MAGIC);
    if (magic != LOG_MAGIC) {
      fprintf(stderr, "KMESG Bad magic:0x%x (should be 0x%x), use kmesg -c to reinitialize\n", magic, LOG_MAGIC);
      kram_close(&kram);
      exit(1);
    }
  }

  bool newline_last = true;
  for (bool first = true;; first = false) {
    uint32_t r = native ? 0 : kram_read_be32(&kram, header + READ);
    uint32_t w = native ? NATIVE_SIZE : kram_read_be32(&kram, header + WRITTEN);
    if (first && show_all) r = w >= RING_SIZE ? w - RING_SIZE : 0;
    uint32_t lost = 0;
    if (w - r > RING_SIZE) {
      lost = w - r - RING_SIZE;
      r = w - RING_SIZE;
    }
    if (w != r) {
      uint32_t n = w - r, ridx = r % RING_SIZE, widx = (w - 1) % RING_SIZE + 1;
      std::vector<uint8_t> data(n);
      if (ridx < widx) {
        kram_read(&kram, ring + ridx, data.data(), n);
      } else {
        kram_read(&kram, ring + ridx, data.data(), RING_SIZE - ridx);
        kram_read(&kram, ring, data.data() + RING_SIZE - ridx, widx);
      }
      if (native)
        while (n > 1 && data[n - 1] == 0) n--;
      uba_xxwrite(__FILE__, __LINE__, 1, data.data(), n);
      newline_last = data[n - 1] == '\n';
      if (!dry) {
        kram_write_be32(&kram, header + READ, w);
      }
    }
    if (native) break;
    if (lost) {
      fflush(stdout);
      fprintf(stderr, "\n\n** %d characters lost ***\n\n", (int)lost);
    }
    if (!follow) break;
    usleep(1000000);
  }

  kram_close(&kram);
  if (!newline_last) printf("\n\\ kmesg added missing newline\n");
  return 0;
}
