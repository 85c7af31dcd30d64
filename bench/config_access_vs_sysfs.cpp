// Benchmark: configuration accesses through the virtual host (4-byte preads
// of a modeled NIC's config file, every one answered by the model through
// FUSE) against 4-byte preads of a real sysfs config file of this machine,
// in one run. Prints the time per access and the accesses per second of
// each and their ratio (below 1: the virtual host is faster).
//
//   config_access_vs_sysfs [COUNT]           run both sides (default 50000 accesses each)
//   config_access_vs_sysfs --inside COUNT    the virtual side, run by simhost: prints
//                                            nanoseconds per access
//
// simhost is looked for beside the build's sim/ folder; SIMHOST=PATH names another.

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "bench_util.h"


namespace {

constexpr char MODELED_CONFIG[] = "/sys/bus/pci/devices/0000:01:00.0/config";

double now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e9 + ts.tv_nsec;
}

// Nanoseconds per 4-byte pread at offset 0 of `path`, over `count` reads
// after a short warm-up; negative when the file cannot be read.
double time_preads(const char *path, long count) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  uint32_t value;
  for (int i = 0; i < 1000; i++)
    if (pread(fd, &value, 4, 0) != 4) {
      close(fd);
      return -1;
    }
  double start = now_ns();
  for (long i = 0; i < count; i++) pread(fd, &value, 4, 0);
  double elapsed = now_ns() - start;
  close(fd);
  return elapsed / count;
}

// The first function of this machine whose config file reads: the peer.
std::string real_config() {
  DIR *dir = opendir("/sys/bus/pci/devices");
  if (!dir) return {};
  std::string found;
  while (dirent *e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::string path = std::string("/sys/bus/pci/devices/") + e->d_name + "/config";
    if (access(path.c_str(), R_OK) == 0 && (found.empty() || path < found)) found = path;
  }
  closedir(dir);
  return found;
}


// Runs `self --inside COUNT` inside simhost; the nanoseconds per access it
// prints, or negative on failure.
double time_virtual(const char *self, long count) {
  std::string out, err;
  int status = bench::run_captured({bench::simhost_path(self), "--", self, "--inside", std::to_string(count)}, &out, &err);
  if (status != 0) {
    fputs(err.c_str(), stderr);
    return -1;
  }
  return atof(out.c_str());
}

void report(const char *what, double ns) {
  printf("  %-40s %8.2f us/access %10.0f accesses/s\n", what, ns / 1e3, 1e9 / ns);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "--inside") == 0) {
    double ns = time_preads(MODELED_CONFIG, atol(argv[2]));
    if (ns < 0) {
      fprintf(stderr, "cannot read %s: %s\n", MODELED_CONFIG, strerror(errno));
      return 1;
    }
    printf("%.1f\n", ns);
    return 0;
  }
  long count = argc > 1 ? atol(argv[1]) : 50000;
  if (argc > 2 || count < 1) {
    fprintf(stderr, "usage: %s [COUNT] | --inside COUNT\n", argv[0]);
    return 2;
  }
  std::string real = real_config();
  if (real.empty()) {
    fprintf(stderr, "no readable config file under /sys/bus/pci/devices\n");
    return 1;
  }
  double real_ns = time_preads(real.c_str(), count);
  double virtual_ns = time_virtual(argv[0], count);
  if (real_ns < 0 || virtual_ns <= 0) {
    fprintf(stderr, "a measurement failed (simhost: %s)\n", bench::simhost_path(argv[0]).c_str());
    return 1;
  }
  printf("4-byte configuration reads, %ld of each:\n", count);
  report("virtual host (FUSE, modeled NIC 01:00.0)", virtual_ns);
  std::string label = "real sysfs (" + real.substr(strlen("/sys/bus/pci/devices/"), 12) + ")";
  report(label.c_str(), real_ns);
  printf("  ratio virtual/real, time per access: %.2f\n", virtual_ns / real_ns);
  return 0;
}
