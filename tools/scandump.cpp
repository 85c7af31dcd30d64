// scandump: prints every field of the scan chains of one NIC, one line per
// field, from the snapshot its control program keeps in SRAM; no JTAG
// needed.

#include <cstdio>

#include "uba_scan.h"

// The board, open until the program ends.
uba_nic *nic;

int main(int argc, char **argv) {
  int unit = 0;
  bool mapped = false;
  // -N reads through BAR0; the usage line does not tell it.
  scan_tool_options(argc, argv, "usage: scandump [ -b<unit>]\n", &unit, &mapped);

  kram_t kram{};
  nic = scan_open(unit, mapped, &kram);
  uint32_t data = scan_snapshot_data(nic, &kram);
  read_scan stream;
  scan_image_read(&kram, data, stream, sizeof stream);

  unsigned values[SCAN_READ_FIELDS + SCAN_WRITE_FIELDS];
  unsigned bit = scan_decode(stream, 0, read_scan_chain, values);
  scan_decode(stream, bit, write_scan_chain, values + SCAN_READ_FIELDS);
  for (unsigned i = 0; i < SCAN_READ_FIELDS; i++) printf("%s=0x%x\n", read_scan_chain[i].name, values[i]);
  for (unsigned i = 0; i < SCAN_WRITE_FIELDS; i++)
    printf("%s=0x%x\n", write_scan_chain[i].name, values[SCAN_READ_FIELDS + i]);
  kram_close(&kram);
  return 0;
}
