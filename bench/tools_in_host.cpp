// Benchmarks of the memory tools on the virtual host, each against its goal,
// in one run:
//
//  - sramgrab writing the kxgdb core of the 2 MiB SRAM, against
//    `od -An -tx4 -v` over the same bytes (a raw dump sramgrab wrote first):
//    goal at most a fifth of od's time;
//  - sramgrab -d (the debug window): configuration accesses per SRAM byte
//    from the model's counters, against the floor of the byte-wise window
//    (an address write and a data read per byte): goal equal to it;
//  - pokemem -b 0 0.0x100000 (1 MiB through the mapped BAR0), against dd of
//    1 MiB from the same resource file.
//
//   tools_in_host [ROUNDS]                     runs the inside under simhost and prints the figures
//   tools_in_host --inside ROUNDS              the timing side, run by simhost
//   tools_in_host --inside-window              the debug-window side, run by `simhost --stats`
//
// simhost and the tools are looked for beside the build's sim/ and tools/
// folders.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_util.h"

namespace {

constexpr char RESOURCE0[] = "/sys/bus/pci/devices/0000:01:00.0/resource0";
constexpr double SRAM_BYTES = 0x200000, WINDOW_FLOOR_PER_BYTE = 2;

int inside(const char *self, int rounds) {
  std::string sramgrab = bench::built_program(self, "tools", "sramgrab"),
              pokemem = bench::built_program(self, "tools", "pokemem");
  char raw[] = "/tmp/sram_raw.XXXXXX";
  int fd = mkstemp(raw);
  if (fd < 0) return 1;
  close(fd);
  if (bench::time_run({sramgrab, "-r"}, raw) < 0) return 1;
  double core = 0, od = 0, pokemem_s = 0, dd = 0;
  bool ok = bench::time_alternated({sramgrab}, {"od", "-An", "-tx4", "-v", raw}, rounds, &core, &od) &&
            bench::time_alternated({pokemem, "-b", "0", "0.0x100000"},
                                   {"dd", std::string("if=") + RESOURCE0, "bs=1M", "count=1", "status=none"}, rounds,
                                   &pokemem_s, &dd);
  unlink(raw);
  if (!ok) return 1;
  printf("core=%.6f od=%.6f pokemem=%.6f dd=%.6f\n", core, od, pokemem_s, dd);
  return 0;
}

int inside_window(const char *self) {
  double t = bench::time_run({bench::built_program(self, "tools", "sramgrab"), "-d", "-r"});
  return t < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "--inside") == 0) return inside(argv[0], atoi(argv[2]));
  if (argc == 2 && strcmp(argv[1], "--inside-window") == 0) return inside_window(argv[0]);
  int rounds = argc == 2 ? atoi(argv[1]) : 11;
  if (argc > 2 || rounds < 1) {
    fprintf(stderr, "usage: %s [ROUNDS]\n", argv[0]);
    return 2;
  }
  std::string simhost = bench::simhost_path(argv[0]), out, err;
  int status = bench::run_captured({simhost, "--", argv[0], "--inside", std::to_string(rounds)}, &out, &err);
  double core, od, pokemem, dd;
  if (status != 0 || sscanf(out.c_str(), "core=%lf od=%lf pokemem=%lf dd=%lf", &core, &od, &pokemem, &dd) != 4) {
    fprintf(stderr, "the timing run failed (status %d)\n%s%s", status, out.c_str(), err.c_str());
    return 1;
  }
  out.clear(), err.clear();
  status = bench::run_captured({simhost, "--stats", "--", argv[0], "--inside-window"}, &out, &err);
  unsigned long long reads = 0, writes = 0;
  const char *stats = strstr(err.c_str(), "simhost: NIC 0 at ");
  if (status != 0 || !stats ||
      sscanf(stats, "simhost: NIC 0 at %*s %llu configuration reads, %llu writes", &reads, &writes) != 2) {
    fprintf(stderr, "the debug-window run failed (status %d)\n%s%s", status, out.c_str(), err.c_str());
    return 1;
  }
  double per_byte = (reads + writes) / SRAM_BYTES;
  printf("Memory tools on the virtual host (medians of %d alternated runs):\n", rounds);
  printf("  sramgrab kxgdb core of 2 MiB   %.1f ms; od -An -tx4 -v %.1f ms: ratio %.3f (goal: at most 0.2)\n",
         core * 1e3, od * 1e3, core / od);
  printf("  sramgrab -d -r                 %llu configuration accesses (%llu reads, %llu writes) for 2 MiB:\n",
         reads + writes, reads, writes);
  printf("                                 %.5f per SRAM byte, floor %.0f: ratio %.5f (goal: equal; the rest is the open)\n",
         per_byte, WINDOW_FLOOR_PER_BYTE, per_byte / WINDOW_FLOOR_PER_BYTE);
  printf("  pokemem -b 0 0.0x100000        %.2f ms; dd of 1 MiB from resource0 %.2f ms: ratio %.2f\n", pokemem * 1e3,
         dd * 1e3, pokemem / dd);
  return 0;
}
