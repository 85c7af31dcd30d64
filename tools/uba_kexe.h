// The control program (UCP) a loader writes into a NIC, as the raw SRAM
// image it is loaded as (byte i is processor address i): a raw image file
// read whole, or what the converter uba_kcoff makes of a kavi-coff object
// file.
//
// The converter runs without a shell, by argument vector: "uba_kcoff -o
// TEMPORARY OBJECT [ARGS...]", every name one argument whatever it holds. It
// is looked for in PATH with the directory of the program put in front (the
// directory of argv[0] when that names one, else that of the running
// executable), so the converter installed next to the program is found
// first; it runs with that PATH. Empty entries of PATH (the current
// directory) are not searched. Its output goes to a temporary file in /tmp
// created exclusively (mkstemp), read back through the descriptor that
// created it and removed. A converter that cannot be found, cannot be
// started or ends with a status other than 0 stops the program.
//
// Every failure stops the program, reported from this header.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "uba.h"

extern char **environ;

namespace kexe_detail {

constexpr char CONVERTER[] = "uba_kcoff";

// The whole of an open regular file, in a buffer of the caller's.
inline void read_whole(int fd, const char *path, uint8_t **buf, size_t *len) {
  struct stat st;
  handle_error(fstat(fd, &st) != 0, "uba_get_ucp:cannot stat %s:%s", path, strerror(errno));
  handle_error(!S_ISREG(st.st_mode), "uba_get_ucp:%s is not a regular file", path);
  size_t n = static_cast<size_t>(st.st_size);
  *buf = static_cast<uint8_t *>(uba_xmalloc(n ? n : 1));
  uba_xfullread(fd, *buf, n);
  *len = n;
}

// The directory the program runs from, or "" when it cannot be told.
inline std::string program_directory(const char *argv0) {
  std::string path;
  if (argv0 && strchr(argv0, '/')) {
    path = argv0;
  } else {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "";
    path.assign(exe, static_cast<size_t>(n));
  }
  size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

// PATH with the program's directory in front.
inline std::string converter_path(const char *argv0) {
  std::string path = program_directory(argv0);
  const char *inherited = getenv("PATH");
  if (inherited && *inherited) path += (path.empty() ? "" : ":") + std::string(inherited);
  return path;
}

// The first executable converter along `path`, or "".
inline std::string find_converter(const std::string &path) {
  for (size_t at = 0; at <= path.size();) {
    size_t colon = path.find(':', at);
    if (colon == std::string::npos) colon = path.size();
    std::string dir = path.substr(at, colon - at);
    at = colon + 1;
    if (dir.empty()) continue;
    std::string candidate = dir + "/" + CONVERTER;
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return "";
}

// Runs the converter on `object` (with the extra arguments `extra`, a null
// terminated list) into `output`, and waits for it: its wait status in
// *status, or false with *failed telling why it did not run.
inline bool run_converter(const char *argv0, const char *output, const char *object, char *const *extra,
                          int *status, std::string *failed) {
  const std::string path = converter_path(argv0), converter = find_converter(path);
  if (converter.empty()) {
    *failed = "uba_kcoff not found in PATH=" + path;
    return false;
  }
  std::vector<const char *> args = {CONVERTER, "-o", output, object};
  for (char *const *a = extra; a && *a; a++) args.push_back(*a);
  args.push_back(nullptr);
  const std::string path_entry = "PATH=" + path;
  std::vector<const char *> env;
  for (char **e = environ; e && *e; e++)
    if (strncmp(*e, "PATH=", 5) != 0) env.push_back(*e);
  env.push_back(path_entry.c_str());
  env.push_back(nullptr);
  fflush(nullptr);  // what the program has printed comes before the converter's output
  pid_t pid;
  int e = posix_spawn(&pid, converter.c_str(), nullptr, nullptr, const_cast<char *const *>(args.data()),
                      const_cast<char *const *>(env.data()));
  if (e != 0) {
    *failed = "cannot run " + converter + ":" + strerror(e);
    return false;
  }
  while (waitpid(pid, status, 0) < 0)
    if (errno != EINTR) {
      *failed = "cannot wait for " + converter + ":" + strerror(errno);
      return false;
    }
  return true;
}

}  // namespace kexe_detail

// The UCP named by args[0] (a null-terminated list: the file, then the
// converter's extra arguments) into a buffer of the caller's (*buf, *len):
// with `raw` the file itself, which takes no extra arguments; otherwise the
// converter's image of the object file. argv0 is the program's argv[0].
inline void uba_get_ucp(char *const *args, int raw, uint8_t **buf, size_t *len, const char *argv0) {
  using namespace kexe_detail;
  const char *name = args ? args[0] : nullptr;
  if (!name) {
    handle_error(1, "uba_get_ucp:NULL filename!");
    return;  // not reached: the report stops the program
  }
  if (raw) {
    handle_error(args[1] != nullptr, "Cannot pass param to raw ucp image");
    // Without blocking: a FIFO or device node is refused as not regular.
    int fd = uba_xopen(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    read_whole(fd, name, buf, len);
    close(fd);
    return;
  }
  char output[] = "/tmp/get_ucp.XXXXXX";
  int fd = mkostemp(output, O_CLOEXEC);
  handle_error(fd < 0, "uba_get_ucp:cannot create a file in /tmp:%s", strerror(errno));
  static std::string failed;  // held where the leak checker sees it when the report stops the program
  int status = 0;
  bool ran = run_converter(argv0, output, name, args + 1, &status, &failed);
  unlink(output);  // what it wrote is read through fd
  handle_error(!ran, "uba_get_ucp:%s", failed.c_str());
  handle_error(WIFSIGNALED(status), "uba_get_ucp:uba_kcoff on %s ended by signal %d", name, WTERMSIG(status));
  handle_error(WEXITSTATUS(status) != 0, "uba_get_ucp:uba_kcoff on %s exited with status %d", name,
               WEXITSTATUS(status));
  read_whole(fd, output, buf, len);
  close(fd);
}
