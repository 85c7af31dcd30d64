// Error reporting and checked system calls.
//
// A checked call performs the call and, when the result is not what the
// caller needs, reports the call, its arguments and strerror(errno) in one
// "ERROR:" line and exits with status 1. Callers never test the results.

#include <arpa/inet.h>
#include <cstdarg>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include "uba.h"

namespace {

void report(const char *file, int line, const char *msg, va_list ap) {
  flockfile(stderr);
  fputs("ERROR:", stderr);
  if (file) {
    const char *slash = strrchr(file, '/');
    fprintf(stderr, "%s:%d:", slash ? slash + 1 : file, line);
  }
  vfprintf(stderr, msg, ap);
  fputc('\n', stderr);
  funlockfile(stderr);
}

// Reports a failed call and exits. errno is taken by the caller right after the
// failed call, before anything else can change it.
[[noreturn]] void fail(const char *file, int line, const char *msg, ...) __attribute__((format(printf, 3, 4)));
void fail(const char *file, int line, const char *msg, ...) {
  va_list ap;
  va_start(ap, msg);
  report(file, line, msg, ap);
  va_end(ap);
  exit(1);
}

}  // namespace

void handle_error_func(int has_error, const char *file, int line, const char *msg, ...) {
  if (!has_error) return;
  va_list ap;
  va_start(ap, msg);
  report(file, line, msg, ap);
  va_end(ap);
  exit(1);
}

void fatal_error_func(const char *msg, ...) {
  va_list ap;
  va_start(ap, msg);
  report(nullptr, 0, msg, ap);
  va_end(ap);
  exit(1);
}

const char *straddr(const struct sockaddr *addr, unsigned alen) {
  static char text[50];
  (void)alen;
  if (addr->sa_family == AF_UNIX) {
    auto *un = reinterpret_cast<const sockaddr_un *>(addr);
    snprintf(text, sizeof text, "unix:%.44s", un->sun_path);  // cut to the buffer
  } else if (addr->sa_family == AF_INET) {
    auto *in = reinterpret_cast<const sockaddr_in *>(addr);
    char dotted[20];
    inet_ntop(AF_INET, &in->sin_addr, dotted, sizeof dotted);
    snprintf(text, sizeof text, "inet:%s:%d", dotted, ntohs(in->sin_port));
  } else {
    snprintf(text, sizeof text, "family=%d:???", addr->sa_family);
  }
  return text;
}

// The library's own fixed location: the line of the failing check here.
#define HERE __FILE__, __LINE__

void *uba_xmalloc(size_t len) {
  void *p = malloc(len);
  if (!p) fail(nullptr, 0, "malloc:malloc(%ld):out-of-mem:%s", (long)len, strerror(errno));
  return p;
}

void *uba_xrealloc(void *oldptr, size_t newlen) {
  void *p = realloc(oldptr, newlen);
  if (!p) fail(nullptr, 0, "realloc:realloc(%ld):out-of-mem:%s", (long)newlen, strerror(errno));
  return p;
}

int uba_xsocket(int family, int type, int proto) {
  int s = socket(family, type, proto);
  if (s < 0) fail(nullptr, 0, "socket:socket(%d,%d,%d):%d:%s", family, type, proto, s, strerror(errno));
  return s;
}

int uba_xxbind(const char *file, int line, int fd, const struct sockaddr *addr, unsigned alen) {
  int r = bind(fd, addr, alen);
  if (r != 0) {
    int e = errno;
    fail(file, line, "bind(%d,%s):%s", fd, straddr(addr, alen), strerror(e));
  }
  return r;
}

int uba_xlisten(int s, int backlog) {
  int r = listen(s, backlog);
  if (r < 0) fail(nullptr, 0, "listen:listen(%d,%d):%s", s, backlog, strerror(errno));
  return r;
}

ssize_t uba_xrecv(int s, void *addr, size_t len, int flags) {
  ssize_t r = recv(s, addr, len, flags);
  if (r == -1) fail(nullptr, 0, "recv:recv(len=%u):%s", (unsigned)len, strerror(errno));
  return r;
}

void uba_xfullrecv(int fd, void *buf, size_t len, int flags) {
  size_t got = 0;
  while (got < len) {
    ssize_t r = uba_xrecv(fd, static_cast<char *>(buf) + got, len - got, flags);
    if (r == 0) fail(HERE, "recv(len=%ld),got=%d:premature end of data", (long)len, (int)got);
    got += r;
  }
}

ssize_t uba_xsend(int s, const void *addr, size_t len, int flags) {
  ssize_t r = send(s, addr, len, flags);
  if (r != (ssize_t)len) fail(nullptr, 0, "send:send(len=%u)=%d:%s", (unsigned)len, (int)r, strerror(errno));
  return r;
}

struct hostent *uba_xgethostbyname(const char *host) {
  struct hostent *h = gethostbyname(host);
  if (!h) fail(nullptr, 0, "gethostbyname:gethostbyname(%s):host not found", host);
  return h;
}

int uba_xconnect(int s, const struct sockaddr *addr, unsigned alen) {
  int r = connect(s, addr, alen);
  if (r < 0) {
    int e = errno;
    fail(HERE, "connect(%d,%s):%s", s, straddr(addr, alen), strerror(e));
  }
  return r;
}

int uba_xaccept(int s, struct sockaddr *addr, unsigned *alen) {
  int r = accept(s, addr, alen);
  if (r < 0) fail(nullptr, 0, "accept:accept(%d):%s", s, strerror(errno));
  return r;
}

int uba_xopen(const char *path, int flags, ...) {
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, int);
    va_end(ap);
  }
  int fd = open(path, flags, mode);
  if (fd < 0) fail(nullptr, 0, "open(%s,0x%x):%s", path, flags, strerror(errno));
  return fd;
}

ssize_t uba_xread(int fd, void *addr, size_t len) {
  ssize_t r = read(fd, addr, len);
  if (r == -1) fail(nullptr, 0, "read:read(len=%u):%s", (unsigned)len, strerror(errno));
  return r;
}

void uba_xfullread(int fd, void *buf, size_t len) {
  size_t got = 0;
  while (got < len) {
    ssize_t r = uba_xread(fd, static_cast<char *>(buf) + got, len - got);
    if (r == 0)
      fail(HERE, "read(len=%ld),got=%d,cc=%d:premature end of data:%s", (long)len, (int)got, (int)r,
           strerror(errno));
    got += r;
  }
}

ssize_t uba_xxwrite(const char *file, int line, int fd, const void *buf, size_t n) {
  ssize_t r = write(fd, buf, n);
  if (r != (ssize_t)n) fail(file, line, "write(%d,%p,%ld)=%d:%s", fd, buf, (long)n, (int)r, strerror(errno));
  return r;
}

ssize_t uba_xpartwrite(int fd, const void *buf, size_t n) {
  ssize_t r = write(fd, buf, n);
  if (r <= 0) fail(HERE, "partwrite(len=%ld)=%d:%s", (long)n, (int)r, strerror(errno));
  return r;
}

ssize_t uba_xwritev(int s, const struct iovec *vec, int count) {
  size_t total = 0;
  for (int i = 0; i < count; i++) total += vec[i].iov_len;
  ssize_t r = writev(s, vec, count);
  if (r != (ssize_t)total) fail(HERE, "writev(len=%u)=%d:%s", (unsigned)total, (int)r, strerror(errno));
  return r;
}

ssize_t uba_xxpwrite(const char *file, int line, int fd, const void *buf, size_t n, off_t offset) {
  ssize_t r = pwrite(fd, buf, n, offset);
  if (r != (ssize_t)n)
    fail(file, line, "pwrite:(%d,%p,%ld, %ld)=%d:%s", fd, buf, (long)n, (long)offset, (int)r, strerror(errno));
  return r;
}

ssize_t uba_xxpread(const char *file, int line, int fd, void *buf, size_t nbytes, off_t offset) {
  ssize_t r = pread(fd, buf, nbytes, offset);
  if (r == -1) fail(file, line, "pread:(%lu, %lu):%s", (unsigned long)nbytes, (unsigned long)offset, strerror(errno));
  return r;
}

ssize_t uba_xxfullpread(const char *file, int line, int fd, void *buf, size_t nbytes, off_t offset) {
  ssize_t r = pread(fd, buf, nbytes, offset);
  if (r != (ssize_t)nbytes)
    fail(file, line, "fullpread(%lu, %lu)=%d:%s", (unsigned long)nbytes, (unsigned long)offset, (int)r,
         strerror(errno));
  return r;
}

int uba_xxsystem(const char *file, int line, const char *command) {
  int status = system(command);
  if (status != 0) fail(file, line, "system(%s):%d", command, status);
  return status;
}

// Runs the command with the directory of argv0 in front of PATH, so a program
// finds the helper programs installed next to itself. A program name or a
// command that does not fit the 256-byte buffers is refused: cut short, it
// would run something else.
int uba_xxsystemp(const char *file, int line, const char *argv0, const char *command) {
  char dir[256];
  char full[256];
  int n = snprintf(dir, sizeof dir, "%s", argv0);
  if (n < 0 || (size_t)n >= sizeof dir) fail(file, line, "system(%s):program name too long", command);
  char *slash = strrchr(dir, '/');
  if (slash)
    *slash = '\0';
  else
    dir[0] = '\0';
  n = snprintf(full, sizeof full, "env PATH=%s:$PATH: %s", dir, command);
  if (n < 0 || (size_t)n >= sizeof full) fail(file, line, "system(%s):command too long", command);
  return uba_xxsystem(file, line, full);
}

pid_t uba_xfork(void) {
  pid_t pid = fork();
  if (pid < 0) fail(nullptr, 0, "fork:fork():%s", strerror(errno));
  return pid;
}

void uba_xexeclp(const char *path, const char *arg0, ...) {
  // The argument vector grows one slot at a time and always keeps one spare
  // slot for the terminating null pointer.
  size_t n = 0;
  auto argv = static_cast<const char **>(uba_xmalloc(sizeof(char *)));
  va_list ap;
  va_start(ap, arg0);
  for (const char *arg = arg0; arg; arg = va_arg(ap, const char *)) {
    argv = static_cast<const char **>(uba_xrealloc(argv, (n + 2) * sizeof(char *)));
    argv[n++] = arg;
  }
  va_end(ap);
  argv[n] = nullptr;
  execvp(path, const_cast<char *const *>(argv));
  int e = errno;
  free(argv);  // nothing else refers to it; the leak checker would report it at exit
  fail(HERE, "execlp(%s):%s", path, strerror(e));
}

int uba_xxioctl(const char *file, int line, int fd, unsigned long request, void *arg) {
  int r = ioctl(fd, request, arg);
  if (r != 0) fail(file, line, "ioctl:error %s", strerror(errno));
  return r;
}

uint64_t uba_xget_usecs(void) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return (uint64_t)tv.tv_sec * 1000000 + tv.tv_usec;
}
