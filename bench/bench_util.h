// What the benchmarks share: a clock, where simhost is, and running a
// program with its output collected.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

extern char **environ;

namespace bench {

inline double now_s() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// simhost beside the build's sim/ folder, seen from a benchmark at `self`;
// SIMHOST=PATH names another.
inline std::string simhost_path(const char *self) {
  if (const char *given = getenv("SIMHOST"); given && *given) return given;
  std::string dir = self;
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : dir.substr(0, slash);
  return dir + "/../sim/simhost";
}

// Runs argv (a bare name is looked up in PATH) with its standard output and
// error collected; its exit status (128 + N when signal N killed it), or -1
// when it cannot be started.
inline int run_captured(const std::vector<std::string> &args, std::string *out, std::string *err) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  int o[2], e[2];
  if (pipe(o) != 0) return -1;
  if (pipe(e) != 0) {
    close(o[0]), close(o[1]);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, o[1], 1);
  posix_spawn_file_actions_adddup2(&actions, e[1], 2);
  for (int fd : {o[0], o[1], e[0], e[1]}) posix_spawn_file_actions_addclose(&actions, fd);
  pid_t pid;
  int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(o[1]);
  close(e[1]);
  if (failed) {
    fprintf(stderr, "cannot run %s: %s\n", argv[0], strerror(failed));
    close(o[0]);
    close(e[0]);
    return -1;
  }
  pollfd fds[2] = {{o[0], POLLIN, 0}, {e[0], POLLIN, 0}};
  std::string *text[2] = {out, err};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        text[i]->append(buf, n);
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
  int status;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A program beside the build's `folder` (tools, sim, ...), seen from a
// benchmark at `self`.
inline std::string built_program(const char *self, const char *folder, const char *name) {
  std::string dir = self;
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : dir.substr(0, slash);
  return dir + "/../" + folder + "/" + name;
}

// Runs argv with standard output to /dev/null (or to the file `out` when
// given) and standard error collected; the wall time in seconds, or a
// negative number when the run fails.
inline double time_run(const std::vector<std::string> &args, const char *out = nullptr) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out ? out : "/dev/null", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  double start = now_s();
  pid_t pid;
  int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed) {
    fprintf(stderr, "cannot run %s: %s\n", argv[0], strerror(failed));
    return -1;
  }
  int status;
  waitpid(pid, &status, 0);
  double elapsed = now_s() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "%s failed (status %d)\n", argv[0], status);
    return -1;
  }
  return elapsed;
}

// The middle value of `v` (the upper one of the two middle values when there
// is an even number).
inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The median of `rounds` timed runs of each command, alternated so that both
// see the same machine; false when a run fails.
inline bool time_alternated(const std::vector<std::string> &a, const std::vector<std::string> &b, int rounds,
                            double *median_a, double *median_b) {
  std::vector<double> ta, tb;
  for (int i = 0; i < rounds; i++) {
    double x = time_run(a), y = time_run(b);
    if (x < 0 || y < 0) return false;
    ta.push_back(x), tb.push_back(y);
  }
  *median_a = median(ta);
  *median_b = median(tb);
  return true;
}

}  // namespace bench
