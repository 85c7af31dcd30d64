// Benchmark: the library's full bus scan (a fresh process running
// pci_scan_bus through the proc method and printing the list) against
// `lspci -n` on the same host, alternated in one run. Prints the median and
// mean time of each and their ratio (below 1: the library is faster).
//
//   pci_scan_vs_lspci [ROUNDS]   run the comparison (default 200 rounds)
//   pci_scan_vs_lspci --list     one scan, printing the list (the timed child)

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <numeric>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "uba.h"

extern char **environ;

namespace {

int list_devices() {
  pci_access *acc = pci_alloc();
  pci_scan_bus(acc);
  for (pci_dev *d = acc->devices; d; d = d->next) printf("%s %04x:%04x\n", d->name, d->vendor_id, d->device_id);
  return 0;
}

double now_us() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// Runs argv with its output discarded; returns the wall time in microseconds.
double time_run(char *const argv[]) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  double start = now_us();
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ) != 0) {
    fprintf(stderr, "cannot run %s\n", argv[0]);
    exit(1);
  }
  int status;
  waitpid(pid, &status, 0);
  double elapsed = now_us() - start;
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "%s failed\n", argv[0]);
    exit(1);
  }
  return elapsed;
}

struct Stats {
  double median, mean;
};

Stats stats(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], std::accumulate(v.begin(), v.end(), 0.0) / v.size()};
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 1 && strcmp(argv[1], "--list") == 0) return list_devices();
  int rounds = argc > 1 ? atoi(argv[1]) : 200;
  if (rounds < 1) {
    fprintf(stderr, "usage: %s [ROUNDS] | --list\n", argv[0]);
    return 2;
  }
  setenv("UBA_PCI", "proc", 1);
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n < 0) return 1;
  self[n] = '\0';
  char list_flag[] = "--list", lspci[] = "lspci", numeric[] = "-n";
  char *scan_argv[] = {self, list_flag, nullptr};
  char *lspci_argv[] = {lspci, numeric, nullptr};

  std::vector<double> scan_us, lspci_us;
  time_run(scan_argv);  // warm the caches of both before timing
  time_run(lspci_argv);
  for (int i = 0; i < rounds; i++) {
    scan_us.push_back(time_run(scan_argv));
    lspci_us.push_back(time_run(lspci_argv));
  }
  Stats s = stats(scan_us), l = stats(lspci_us);
  printf("bus scan, fresh process (uba proc method): median %8.0f us, mean %8.0f us\n", s.median, s.mean);
  printf("lspci -n                                 : median %8.0f us, mean %8.0f us\n", l.median, l.mean);
  printf("ratio uba/lspci (median): %.2f  (%d rounds; goal: at most 1.00)\n", s.median / l.median, rounds);
  return 0;
}
