// Benchmark: a whole EEPROM update of a 256 KiB image (random bytes) on the
// virtual host, through eeprom_pci_burn_ucp2, against what it cannot do
// without: programming takes one data write and one read per byte, the
// verification one address write per byte and a 32-bit read per four, so
// 3.25 configuration accesses per image byte. Reports the accesses per
// byte from the model's counters (simhost --stats), the wall time, and the
// wall time against that floor times the cost of one access, measured
// first in the same host (4-byte preads of the card's config file).
//
//   update_in_host            runs the inside under `simhost --stats` and reports
//   update_in_host --inside   the inside: measures, updates, prints key=value figures
//
// simhost is looked for beside the build's sim/ folder; SIMHOST=PATH names another.

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "eeprom_ze.h"
#include "bench_util.h"


namespace {

constexpr char CARD_CONFIG[] = "/sys/bus/pci/devices/0000:01:00.0/config";
constexpr uint32_t IMAGE_BYTES = 256 * 1024;
constexpr long COST_READS = 20000, WARM_READS = 1000;
constexpr double FLOOR_PER_BYTE = 2 + 1 + 0.25;


// Seconds per 4-byte pread of the card's config file; negative on failure.
double access_cost() {
  int fd = open(CARD_CONFIG, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  uint32_t value;
  bool ok = true;
  for (long i = 0; i < WARM_READS; i++) ok &= pread(fd, &value, 4, 0) == 4;
  double start = bench::now_s();
  for (long i = 0; i < COST_READS; i++) ok &= pread(fd, &value, 4, 0) == 4;
  double elapsed = bench::now_s() - start;
  close(fd);
  return ok ? elapsed / COST_READS : -1;
}

int inside() {
  double cost = access_cost();
  if (cost < 0) {
    fprintf(stderr, "cannot read %s: %s\n", CARD_CONFIG, strerror(errno));
    return 1;
  }
  std::vector<uint8_t> image(IMAGE_BYTES);
  uint32_t x = 12345;
  for (uint8_t &b : image) x = x * 1664525 + 1013904223, b = x >> 24;

  // The update's progress and messages would only get in the way of the figures.
  fflush(stdout);
  int saved_out = dup(1), saved_err = dup(2), null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  dup2(null, 2);
  double start = bench::now_s();
  int result = eeprom_pci_burn_ucp2(image.data(), image.size());
  double elapsed = bench::now_s() - start;
  fflush(stdout);
  fflush(stderr);
  dup2(saved_out, 1);
  dup2(saved_err, 2);
  close(null);
  printf("result=%d bytes=%u seconds=%.6f access_seconds=%.9f own_reads=%ld\n", result, IMAGE_BYTES, elapsed, cost,
         WARM_READS + COST_READS);
  return result == 0 ? 0 : 1;
}


// Runs `simhost --stats -- self --inside`, collecting both outputs; its
// exit status, or -1 when it cannot be started.
int run_inside(const char *self, std::string &out, std::string &err) {
  return bench::run_captured({bench::simhost_path(self), "--stats", "--", self, "--inside"}, &out, &err);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && strcmp(argv[1], "--inside") == 0) return inside();
  if (argc != 1) {
    fprintf(stderr, "usage: %s | --inside\n", argv[0]);
    return 2;
  }
  std::string out, err;
  int status = run_inside(argv[0], out, err);
  int result = -1;
  unsigned bytes = 0;
  long own_reads = 0;
  double seconds = 0, access = 0;
  unsigned long long reads = 0, writes = 0;
  const char *stats = strstr(err.c_str(), "simhost: NIC 0 at ");
  if (status != 0 ||
      sscanf(out.c_str(), "result=%d bytes=%u seconds=%lf access_seconds=%lf own_reads=%ld", &result, &bytes, &seconds,
             &access, &own_reads) != 5 ||
      !stats || sscanf(stats, "simhost: NIC 0 at %*s %llu configuration reads, %llu writes", &reads, &writes) != 2) {
    fprintf(stderr, "the update in the virtual host failed (status %d)\n%s%s", status, out.c_str(), err.c_str());
    return 1;
  }
  // The access-cost measurement read the same card: not part of the update.
  reads -= own_reads;
  double accesses = reads + writes, per_byte = accesses / bytes;
  double floor_seconds = FLOOR_PER_BYTE * bytes * access;
  printf("Update of a %u-byte image (random bytes) on the virtual host, one 0x5e0a card:\n", bytes);
  printf("  configuration accesses   %.0f (%llu reads, %llu writes)\n", accesses, reads, writes);
  printf("  per image byte           %.4f, floor %.2f: ratio %.3f (goal: within 5%%)\n", per_byte, FLOOR_PER_BYTE,
         per_byte / FLOOR_PER_BYTE);
  printf("  wall time                %.3f s\n", seconds);
  printf("  one access               %.2f us (%ld 4-byte preads of the config file, same host)\n", access * 1e6,
         COST_READS);
  printf("  floor x access cost      %.3f s: wall time / that = %.2f\n", floor_seconds, seconds / floor_seconds);
  return 0;
}
