// Benchmark: the CRC-32 of the EEPROM image and the boot ROM (eeprom_ze's
// crc32) over 64 MiB in memory, against coreutils `cksum` over the same
// 64 MiB in a file, in one run. Both use the polynomial 0x04C11DB7 most
// significant bit first; cksum starts from 0 and appends the length, which
// changes its result but not its cost. cksum is timed as a whole process
// reading a file that sits in the page cache (best of the rounds for both).
// Before timing, crc32 is checked against the bit-serial definition.
//
//   crc32_vs_cksum [MIB] [ROUNDS]     (defaults: 64 MiB, 5 rounds)

#include <fcntl.h>
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

#include "crc32.h"
#include "bench_util.h"


namespace {


void fill_random(std::vector<uint8_t> &b, uint64_t seed) {
  uint64_t x = seed;
  for (size_t i = 0; i < b.size(); i += 8) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    memcpy(&b[i], &x, std::min<size_t>(8, b.size() - i));
  }
}

uint32_t crc32_bit_serial(const uint8_t *p, size_t n) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < n; i++) crc = packet_crc32_byte(crc, p[i], 0);
  return ~crc;
}

// crc32 against the definition: the check value, and every length from 0
// to 64 and some odd longer ones at every alignment of a random buffer.
bool check_against_definition() {
  const uint8_t digits[] = "123456789";
  if (crc32(digits, 9) != 0xFC891918 || crc32(digits, 0) != 0) return false;
  std::vector<uint8_t> b(1 << 20);
  fill_random(b, 42);
  for (size_t offset = 0; offset < 8; offset++) {
    for (size_t n = 0; n <= 64; n++)
      if (crc32(&b[offset], n) != crc32_bit_serial(&b[offset], n)) return false;
    for (size_t n : {1001u, 65537u, (1u << 20) - 8})
      if (crc32(&b[offset], n) != crc32_bit_serial(&b[offset], n)) return false;
  }
  return true;
}

// Runs cksum on `path`; the seconds it took, or negative on failure. The
// length it printed goes to `length`.
double time_cksum(const std::string &path, unsigned long long *length) {
  std::string out, err;
  double start = bench::now_s();
  int status = bench::run_captured({"cksum", path}, &out, &err);
  double elapsed = bench::now_s() - start;
  unsigned long crc;
  if (status != 0 || sscanf(out.c_str(), "%lu %llu", &crc, length) != 2) return -1;
  return elapsed;
}

// A directory in memory if there is one, so that cksum reads no disk.
std::string temp_file_template() {
  const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/crc32_vs_cksum.XXXXXX";
}

}  // namespace

int main(int argc, char **argv) {
  long mib = argc > 1 ? atol(argv[1]) : 64, rounds = argc > 2 ? atol(argv[2]) : 5;
  if (argc > 3 || mib < 1 || mib > 4095 || rounds < 1) {
    fprintf(stderr, "usage: %s [MIB] [ROUNDS]\n", argv[0]);
    return 2;
  }
  if (!check_against_definition()) {
    fprintf(stderr, "crc32 disagrees with the bit-serial definition\n");
    return 1;
  }
  printf(
      "crc32 agrees with the bit-serial definition (check value 0xFC891918, lengths 0-64 and longer, 8 alignments)\n");

  std::vector<uint8_t> data(static_cast<size_t>(mib) << 20);
  fill_random(data, 7);
  std::string path = temp_file_template();
  int fd = mkstemp(path.data());
  if (fd < 0) {
    fprintf(stderr, "cannot create %s: %s\n", path.c_str(), strerror(errno));
    return 1;
  }
  bool written = true;
  for (size_t done = 0; written && done < data.size();) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    written = n > 0;
    done += written ? n : 0;
  }
  close(fd);
  if (!written) {
    fprintf(stderr, "cannot write %s\n", path.c_str());
    unlink(path.c_str());
    return 1;
  }

  double best_crc = 1e9, best_cksum = 1e9;
  volatile uint32_t sink = 0;
  unsigned long long length = 0;
  bool cksum_ok = true;
  for (long r = 0; r < rounds && cksum_ok; r++) {
    double start = bench::now_s();
    sink = sink ^ crc32(data.data(), data.size());
    best_crc = std::min(best_crc, bench::now_s() - start);
    double t = time_cksum(path, &length);
    cksum_ok = t > 0 && length == data.size();
    best_cksum = std::min(best_cksum, t);
  }
  unlink(path.c_str());
  if (!cksum_ok) {
    fprintf(stderr, "cksum failed or read another length (%llu bytes)\n", length);
    return 1;
  }
  double gb = data.size() / 1e9, crc_rate = gb / best_crc, cksum_rate = gb / best_cksum;
  printf("CRC-32 of %ld MiB, best of %ld:\n", mib, rounds);
  printf("  %-44s %7.2f GB/s  (%6.1f ms)\n", "eeprom_ze crc32 (in memory)", crc_rate, best_crc * 1e3);
  printf("  %-44s %7.2f GB/s  (%6.1f ms)\n", "cksum (whole process, file in page cache)", cksum_rate, best_cksum * 1e3);
  printf("  ratio crc32/cksum, throughput: %.2f (goal: 0.33 or more)\n", crc_rate / cksum_rate);
  return 0;
}
