// kload on the virtual host, one run of each, against its goals:
//
//  - kload -l -r of a 1 MiB raw image through the mapped BAR0 (the header,
//    the load and the read back with their CRCs), against a plain copy of
//    the same bytes into the same BAR0 plus one CRC-32 of them. kload's
//    start-up (bus scan, board open) is measured apart, with a 4 KiB image,
//    and taken off;
//  - kload -n -l -r (through the debug window) in configuration accesses
//    per image byte from the model's counters (simhost --stats), against
//    the floor of the memory handle's byte-wise window: an address write
//    and a data write per byte to load, an address write and a data read
//    per byte to read back, so 4.
//
//   kload_in_host [KIB_THROUGH_THE_WINDOW]     (default 256)
//   kload_in_host --inside IMAGE SMALL_IMAGE   the timing side, run by simhost
//
// simhost and kload are looked for beside the build's sim/ and tools/ folders.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_util.h"
#include "crc32.h"

namespace {

constexpr char RESOURCE0[] = "/sys/bus/pci/devices/0000:01:00.0/resource0";
constexpr uint32_t LOAD_ADDRESS = 0x14000c, IMAGE_SIZE = 0x100000, SMALL_SIZE = 0x1000;
constexpr double WINDOW_FLOOR_PER_BYTE = 4;

// A raw image of `size` bytes in a temporary file; its name, or "".
std::string make_image(size_t size) {
  char name[] = "/tmp/kload_bench.XXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) return "";
  std::vector<uint8_t> image(size);
  uint32_t x = 12345;
  for (auto &b : image) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
  image[60] = image[61] = image[62] = image[63] = 0;  // no version header
  bool ok = write(fd, image.data(), size) == (ssize_t)size;
  close(fd);
  if (!ok) unlink(name);
  return ok ? name : "";
}

int inside(const char *self, const char *image_path, const char *small_path) {
  std::string kload = bench::built_program(self, "tools", "kload");
  double small = bench::time_run({kload, "-l", "-r", small_path}), big = bench::time_run({kload, "-l", "-r", image_path});
  if (small < 0 || big < 0) return 1;

  // The plain way: the same bytes copied into the same mapped BAR0, one CRC-32.
  int image_fd = open(image_path, O_RDONLY), bar_fd = open(RESOURCE0, O_RDWR);
  if (image_fd < 0 || bar_fd < 0) return 1;
  std::vector<uint8_t> image(IMAGE_SIZE);
  if (read(image_fd, image.data(), IMAGE_SIZE) != IMAGE_SIZE) return 1;
  void *bar = mmap(nullptr, 0x1000000, PROT_READ | PROT_WRITE, MAP_SHARED, bar_fd, 0);
  if (bar == MAP_FAILED) return 1;
  double start = bench::now_s();
  memcpy(static_cast<uint8_t *>(bar) + LOAD_ADDRESS, image.data(), IMAGE_SIZE);
  volatile uint32_t crc = crc32(image.data(), IMAGE_SIZE);
  double plain = bench::now_s() - start;
  (void)crc;
  printf("big=%.6f small=%.6f plain=%.6f\n", big, small, plain);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4 && strcmp(argv[1], "--inside") == 0) return inside(argv[0], argv[2], argv[3]);
  long window_kib = argc == 2 ? atol(argv[1]) : 256;
  if (argc > 2 || window_kib < 1 || window_kib > 2048) {
    fprintf(stderr, "usage: %s [KIB_THROUGH_THE_WINDOW]\n", argv[0]);
    return 2;
  }
  const size_t window_size = window_kib * 1024;
  std::string image = make_image(IMAGE_SIZE), small = make_image(SMALL_SIZE), window_image = make_image(window_size);
  if (image.empty() || small.empty() || window_image.empty()) {
    fprintf(stderr, "cannot make the images in /tmp\n");
    return 1;
  }
  std::string simhost = bench::simhost_path(argv[0]), kload = bench::built_program(argv[0], "tools", "kload");
  std::string out, err;
  int status = bench::run_captured({simhost, "--", argv[0], "--inside", image, small}, &out, &err);
  double big = 0, start_up = 0, plain = 0;
  bool timed = status == 0 && sscanf(out.c_str(), "big=%lf small=%lf plain=%lf", &big, &start_up, &plain) == 3;

  out.clear(), err.clear();
  double window_start = bench::now_s();
  int window_status = bench::run_captured({simhost, "--stats", "--", kload, "-n", "-l", "-r", window_image}, &out, &err);
  double window_s = bench::now_s() - window_start;
  unsigned long long reads = 0, writes = 0;
  const char *stats = strstr(err.c_str(), "simhost: NIC 0 at ");
  bool counted = window_status == 0 && stats &&
                 sscanf(stats, "simhost: NIC 0 at %*s %llu configuration reads, %llu writes", &reads, &writes) == 2;
  for (const std::string &f : {image, small, window_image}) unlink(f.c_str());
  if (!timed) {
    fprintf(stderr, "the timing run failed (status %d)\n%s%s", status, out.c_str(), err.c_str());
    return 1;
  }
  if (!counted) {
    fprintf(stderr, "the debug-window run failed (status %d)\n%s", window_status, err.c_str());
    return 1;
  }

  const double load = big - start_up, per_byte = (reads + writes) / (double)window_size;
  printf("kload on the virtual host (one run each):\n");
  printf("  kload -l -r, 1 MiB through BAR0  %.2f ms; with a 4 KiB image (start-up) %.2f ms\n", big * 1e3,
         start_up * 1e3);
  printf("                                   load and verify %.2f ms; plain copy + one CRC-32 %.2f ms: ratio %.2f\n",
         load * 1e3, plain * 1e3, load / plain);
  char what[40];
  snprintf(what, sizeof what, "kload -n -l -r, %ld KiB", window_kib);
  printf("  %-32s %llu configuration accesses (%llu reads, %llu writes) in %.1f s:\n", what, reads + writes, reads,
         writes, window_s);
  printf("                                   %.5f per image byte, floor %.0f: ratio %.5f (the rest is the open)\n",
         per_byte, WINDOW_FLOOR_PER_BYTE, per_byte / WINDOW_FLOOR_PER_BYTE);
  return 0;
}
