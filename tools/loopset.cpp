// loopset: shows or switches the internal loopback of a NIC's network port.
// Two things control it and must agree: the four P0_RX_LB fields of the
// write-chain image the control program keeps in SRAM, and bit 2 (signal
// detect) of the processor's LED register.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "uba_scan.h"

namespace {

constexpr uint32_t LED = 0xFFFFFFD8;
constexpr uint8_t SIGNAL_DETECT = 1 << 2;

// Where P0_RX_LB<lane> lies in the write chain.
int lb_bit(int lane) {
  char name[] = "P0_RX_LB0";
  name[8] = static_cast<char>('0' + lane);
  return scan_field_bit(write_scan_chain, name, nullptr);
}

// What the check found.
struct loop_state {
  int P0_RX_LB0;
  uint8_t led;
};

// Reads the image and the LED register; stops when they disagree (the LED
// unless `force`).
loop_state check(kram_t *bar0, kram_t *kram, unsigned char *image, bool force) {
  scan_image_read(bar0, WRITE_IMAGE, image, WRITE_IMAGE_SIZE);
  int lb[4];
  for (int lane = 0; lane < 4; lane++) lb[lane] = (int)scan_stream_get(image, lb_bit(lane), 1);
  handle_error(lb[1] != lb[0] || lb[2] != lb[0] || lb[3] != lb[0], "Inconsistent P0_RX_LB settings\n");
  loop_state state{lb[0], 0};
  kram_read(kram, LED, &state.led, 1);
  handle_error(!force && !!(state.led & SIGNAL_DETECT) != !!lb[0],
               "Inconsistent GPIO_SIGNAL_DETECT/P0_RX_LB0 settings\n");
  return state;
}

const char *on_off(int on) { return on ? "ON" : "OFF"; }

}  // namespace

// The board, open until the program ends.
uba_nic *nic;

int main(int argc, char **argv) {
  int unit = 0, action = -1;
  bool force = false;
  opterr = 0;
  int c;
  while ((c = getopt(argc, argv, "b:01f")) != -1) {
    switch (c) {
      case 'b': unit = (int)strtol(optarg, nullptr, 10); break;
      case '0': action = 0; break;
      case '1': action = 1; break;
      case 'f': force = true; break;
      default:
        fprintf(stderr, "usage: loopset [ -b<unit>] [ -0 | -1 ]\n");
        exit(1);
    }
  }

  nic = uba_open(unit, UBA_ZE, 0);
  kram_t kram{}, bar0{};
  kram_open_cfg(&kram, nic);
  kram_open_map(&bar0, nic->base);

  unsigned char image[WRITE_IMAGE_SIZE];
  loop_state write_scan = check(&bar0, &kram, image, force);
  if (action < 0) {
    printf("Loopback is %s\n", on_off(write_scan.P0_RX_LB0));
    return 0;
  }

  printf("Turning loopback %s (was previously %s)\n", on_off(action), on_off(write_scan.P0_RX_LB0));
  for (int lane = 0; lane < 4; lane++) scan_stream_put(image, lb_bit(lane), 1, (unsigned)action);
  write_image_store(&bar0, image);
  write_image_apply(nic);
  uint8_t led = static_cast<uint8_t>(action ? write_scan.led | SIGNAL_DETECT : write_scan.led & ~SIGNAL_DETECT);
  kram_write(&kram, LED, &led, 1);

  write_scan = check(&bar0, &kram, image, force);
  uba_check(write_scan.P0_RX_LB0 == action);
  return 0;
}
