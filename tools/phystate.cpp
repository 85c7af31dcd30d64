// phystate: prints eight bytes of internal state of the chip's PCI Express
// physical layer. The write-chain field PCIE_DEBUG selects what the
// read-chain field PCIE_DEBUG_RD_DATA shows; for each of the eight
// selectors the tool changes the control program's write-chain image, has
// it applied, asks for a fresh scan snapshot and reads the byte. The image
// is left as it was found.

#include <cstdio>

#include "uba_scan.h"

// The board, open until the program ends.
uba_nic *nic;

int main(int argc, char **argv) {
  int unit = 0;
  bool mapped = false;
  scan_tool_options(argc, argv, "phystate [ -b<board_num] [ -N ]\n", &unit, &mapped);

  kram_t kram{};
  nic = scan_open(unit, mapped, &kram);
  uint32_t data = scan_snapshot_data(nic, &kram);

  unsigned char image[WRITE_IMAGE_SIZE];
  scan_image_read(&kram, WRITE_IMAGE, image, sizeof image);
  int selector_width, rd_width;
  const int selector = scan_field_bit(write_scan_chain, "PCIE_DEBUG", &selector_width);
  const int rd = scan_field_bit(read_scan_chain, "PCIE_DEBUG_RD_DATA", &rd_width);
  const unsigned saved = scan_stream_get(image, selector, selector_width);

  static const char *const names[8] = {"state",       "lane_enabled", "lane_selected", "FTS",
                                       "Link-Number", "Tx-detected",  "Rx-detected",   "misc"};
  unsigned values[8];
  for (unsigned k = 0; k < 8; k++) {
    scan_stream_put(image, selector, selector_width, k * 4);
    write_image_store(&kram, image);
    write_image_apply(nic);
    scan_locate(nic, nullptr, nullptr);  // refreshes the snapshot
    read_scan stream;
    scan_image_read(&kram, data, stream, sizeof stream);
    values[k] = scan_stream_get(stream, rd, rd_width);
  }
  scan_stream_put(image, selector, selector_width, saved);
  write_image_store(&kram, image);
  write_image_apply(nic);

  for (unsigned k = 0; k < 8; k++) printf("%s=0x%02x\n", names[k], values[k]);
  kram_close(&kram);
  return 0;
}
