// Running built programs from tests: a child with its output captured
// (watched as it comes, so a test can act at a point of the run), scratch
// directories and whole-file helpers.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>


namespace program_run {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Result {
  std::string out, err;
  int status;  // the exit status, or 128 + the signal that killed it
};

inline std::ostream &operator<<(std::ostream &os, const Result &r) {
  return os << "status " << r.status << "\n--- stdout\n" << r.out << "--- stderr\n" << r.err;
}

// A program started with standard input from /dev/null and its output
// captured.
class Process {
 public:
  explicit Process(const std::vector<std::string> &argv) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      std::vector<char *> args;
      for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(111);
    }
    close(out[1]);
    close(err[1]);
    fds_[0] = {out[0], POLLIN, 0};
    fds_[1] = {err[0], POLLIN, 0};
  }
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;
  // A run the test has given up on is ended.
  ~Process() {
    if (reaped_) return;
    kill(pid_, SIGKILL);
    wait();
  }

  pid_t pid() const { return pid_; }
  const std::string &out() const { return r_.out; }
  const std::string &err() const { return r_.err; }

  // Reads output until `seen` holds for what has come so far, or both
  // streams end, or `limit` passes; whether `seen` came to hold.
  bool wait_for(const std::function<bool(const std::string &out, const std::string &err)> &seen,
                std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!seen(r_.out, r_.err)) {
      if (fds_[0].fd < 0 && fds_[1].fd < 0) return false;
      if (std::chrono::steady_clock::now() >= until) return false;
      pump(20);
    }
    return true;
  }

  // Collects the output until both streams end, then the status. A program
  // still running after `limit` is killed, so a hang fails the test (status
  // 128 + SIGKILL) instead of stopping the suite.
  Result wait(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    wait_for([](const std::string &, const std::string &) { return false; }, limit);
    if (fds_[0].fd >= 0 || fds_[1].fd >= 0) kill(pid_, SIGKILL);
    for (pollfd &p : fds_)
      if (p.fd >= 0) close(p.fd), p.fd = -1;
    int status;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    r_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r_;
  }

 private:
  void pump(int timeout_ms) {
    if (poll(fds_, 2, timeout_ms) <= 0) return;
    std::string *text[2] = {&r_.out, &r_.err};
    for (int i = 0; i < 2; i++) {
      if (fds_[i].fd < 0 || !fds_[i].revents) continue;
      char buf[4096];
      ssize_t n = read(fds_[i].fd, buf, sizeof buf);
      if (n > 0) {
        text[i]->append(buf, n);
      } else {
        close(fds_[i].fd);
        fds_[i].fd = -1;
      }
    }
  }

  pid_t pid_;
  pollfd fds_[2];
  Result r_{};
  bool reaped_ = false;
};

inline Result run(const std::vector<std::string> &argv,
                  std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  return Process(argv).wait(limit);
}

// `command` run by the virtual host `simhost` made with the options `host`,
// killed when it runs longer than `limit`.
inline Result in_host(const std::string &simhost, std::vector<std::string> host,
                      const std::vector<std::string> &command,
                      std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  host.insert(host.begin(), simhost);
  host.push_back("--");
  host.insert(host.end(), command.begin(), command.end());
  return run(host, limit);
}

// Where a test may write: a fresh directory, removed afterwards.
class Scratch {
 public:
  Scratch() {
    char name[] = "/tmp/nicflash_test.XXXXXX";
    if (!mkdtemp(name)) abort();
    path_ = name;
  }
  ~Scratch() { fs::remove_all(path_); }
  Scratch(const Scratch &) = delete;
  Scratch &operator=(const Scratch &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline Bytes read_bytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline std::string read_text(const std::string &path) {
  Bytes b = read_bytes(path);
  return std::string(b.begin(), b.end());
}

inline void write_bytes(const std::string &path, const Bytes &bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
  if (!out.flush()) ADD_FAILURE() << "cannot write " << path;
}

inline uint32_t be32(const Bytes &b, size_t at) {
  return (uint32_t)b.at(at) << 24 | b.at(at + 1) << 16 | b.at(at + 2) << 8 | b.at(at + 3);
}

inline void put_be32(Bytes &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) b.at(at + i) = v >> (24 - 8 * i);
}

// Equal byte strings, or where the first difference lies (big images would
// make a useless message otherwise).
inline testing::AssertionResult SameBytes(const Bytes &actual, const Bytes &expected) {
  if (actual == expected) return testing::AssertionSuccess();
  if (actual.size() != expected.size())
    return testing::AssertionFailure() << actual.size() << " bytes where " << expected.size() << " were expected";
  size_t i = 0;
  while (actual[i] == expected[i]) i++;
  size_t count = 0;
  for (size_t j = i; j < actual.size(); j++) count += actual[j] != expected[j];
  char where[96];
  snprintf(where, sizeof where, "first difference at 0x%zx: 0x%02x where 0x%02x was expected", i, actual[i],
           expected[i]);
  return testing::AssertionFailure() << count << " bytes differ; " << where;
}

// `text` as a regular expression that matches exactly it.
inline std::string literal(const std::string &text) {
  std::string re;
  for (char c : text) re += std::string(c && strchr(".[]()*+?^$\\|{}", c) ? "\\" : "") + c;
  return re;
}

// A library error reported from `unit` (any line) whose message matches the
// regular expression `message`, as a regular expression.
inline std::string error_from(const std::string &unit, const std::string &message) {
  std::string re = "ERROR:";
  for (char c : unit) re += std::string(c == '.' ? "\\" : "") + c;
  return re + ":[0-9]+:" + message;
}

}  // namespace program_run
