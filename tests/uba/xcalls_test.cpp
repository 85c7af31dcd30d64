// The error reporter and the checked system calls: the one "ERROR:" line and
// exit status 1 of every failure, and which results each call accepts.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_util.h"
#include "uba.h"

using testing::Eq;
using testing::ExitedWithCode;
using testing::MatchesRegex;

namespace {

// The whole report of a failure at one of the library's own checks.
std::string at_xcalls(std::string_view msg) { return library_error("xcalls", msg); }

std::string ptr(const void *p) {
  char text[32];
  snprintf(text, sizeof text, "%p", p);
  return text;
}

sockaddr_un unix_addr(const std::string &path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  return a;
}

const sockaddr *sa(const sockaddr_un &a) { return reinterpret_cast<const sockaddr *>(&a); }

// Death-test children only: from here on no file of this process may grow
// past LIMIT bytes, and a write beyond it is cut short (or fails with EFBIG)
// instead of raising SIGXFSZ. Standard error, captured in a file, stays far
// below the limit.
constexpr off_t LIMIT = 4096;
void cap_file_size() {
  signal(SIGXFSZ, SIG_IGN);
  rlimit r{LIMIT, LIMIT};
  if (setrlimit(RLIMIT_FSIZE, &r) != 0) abort();
}

struct Pipe {
  int r = -1, w = -1;
  Pipe() {
    int fds[2];
    if (pipe(fds) != 0) abort();
    r = fds[0], w = fds[1];
  }
  ~Pipe() { close(r), close(w); }
  void close_write() { close(w), w = -1; }
};

struct SocketPair {
  int a = -1, b = -1;
  explicit SocketPair(int type) {
    int fds[2];
    if (socketpair(AF_UNIX, type, 0, fds) != 0) abort();
    a = fds[0], b = fds[1];
  }
  ~SocketPair() { close(a), close(b); }
  void close_b() { close(b), b = -1; }
};

// --- the reporter -----------------------------------------------------------

TEST(Report, FormatsLocationAndMessage) {
  struct {
    int has_error;
    const char *file;
    int line;
    const char *msg;  // formatted with the argument 7
    const char *expected;
  } cases[] = {
      {1, "/src/uba/deep/unit.cpp", 12, "bad value %d", "ERROR:unit.cpp:12:bad value 7\n"},
      {1, "unit.cpp", 3, "plain", "ERROR:unit.cpp:3:plain\n"},
      {1, nullptr, 99, "no location %d", "ERROR:no location 7\n"},
      {-2, "a/b.cpp", 5, "ends in newline %d\n", "ERROR:b.cpp:5:ends in newline 7\n\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.msg);
    EXPECT_EXIT(handle_error_func(c.has_error, c.file, c.line, c.msg, 7), ExitedWithCode(1), Eq(c.expected));
  }
}

TEST(Report, NoErrorPrintsNothingAndReturns) {
  auto child = [] {
    handle_error_func(0, "unit.cpp", 1, "never %d", 7);
    fputs("returned\n", stderr);
    exit(0);
  };
  EXPECT_EXIT(child(), ExitedWithCode(0), Eq("returned\n"));
}

TEST(Report, FatalErrorHasNoLocation) {
  EXPECT_EXIT(fatal_error_func("cannot go on: %s %d", "code", 3), ExitedWithCode(1), Eq("ERROR:cannot go on: code 3\n"));
}

// --- memory -----------------------------------------------------------------

TEST(CheckedMemory, AllocatesAndReportsExhaustion) {
  auto p = static_cast<char *>(uba_xmalloc(4));
  memcpy(p, "abc", 4);
  p = static_cast<char *>(uba_xrealloc(p, 1 << 20));
  EXPECT_STREQ(p, "abc");
  free(p);

  const size_t huge = size_t{1} << 62;
  // AddressSanitizer's allocator, when built in, warns before returning null.
  const std::string asan_warning = "(==[0-9]+==WARNING: AddressSanitizer failed to allocate 0x4000000000000000 bytes\n)?";
  EXPECT_EXIT(uba_xmalloc(huge), ExitedWithCode(1),
              MatchesRegex(asan_warning + re_escape("ERROR:malloc:malloc(4611686018427387904):out-of-mem:Cannot allocate memory\n")));
  EXPECT_EXIT(uba_xrealloc(nullptr, huge), ExitedWithCode(1),
              MatchesRegex(asan_warning + re_escape("ERROR:realloc:realloc(4611686018427387904):out-of-mem:Cannot allocate memory\n")));
}

// --- sockets ----------------------------------------------------------------

TEST(CheckedSockets, UnixStreamRoundTrip) {
  TempDir dir;
  sockaddr_un addr = unix_addr(dir.path() + "/sock");
  int server = uba_xsocket(AF_UNIX, SOCK_STREAM, 0);
  EXPECT_EQ(uba_xbind(server, sa(addr), sizeof addr), 0);
  EXPECT_EQ(uba_xlisten(server, 1), 0);
  int client = uba_xsocket(AF_UNIX, SOCK_STREAM, 0);
  EXPECT_EQ(uba_xconnect(client, sa(addr), sizeof addr), 0);
  int conn = uba_xaccept(server, nullptr, nullptr);
  EXPECT_EQ(uba_xsend(client, "hello", 5, 0), 5);
  char buf[6] = {};
  uba_xfullrecv(conn, buf, 5, 0);
  EXPECT_STREQ(buf, "hello");
  close(client);
  EXPECT_EQ(uba_xrecv(conn, buf, sizeof buf, 0), 0) << "end of stream is not a failure";
  close(conn), close(server);
}

TEST(CheckedSockets, FailuresNameTheCallAndArguments) {
  TempDir dir;
  EXPECT_EXIT(uba_xsocket(9999, SOCK_STREAM, 0), ExitedWithCode(1),
              Eq("ERROR:socket:socket(9999,1,0):-1:Address family not supported by protocol\n"));

  int s = uba_xsocket(AF_UNIX, SOCK_STREAM, 0);
  std::string fd = std::to_string(s);
  sockaddr_un nowhere = unix_addr(dir.path() + "/missing/sock");
  EXPECT_EXIT(uba_xxbind("/src/tools/caller.cpp", 41, s, sa(nowhere), sizeof nowhere), ExitedWithCode(1),
              Eq("ERROR:caller.cpp:41:bind(" + fd + ",unix:" + dir.path() + "/missing/sock):No such file or directory\n"));
  EXPECT_EXIT(uba_xconnect(s, sa(nowhere), sizeof nowhere), ExitedWithCode(1),
              MatchesRegex(at_xcalls("connect(" + fd + ",unix:" + dir.path() + "/missing/sock):No such file or directory")));
  EXPECT_EXIT(uba_xaccept(s, nullptr, nullptr), ExitedWithCode(1),
              Eq("ERROR:accept:accept(" + fd + "):Invalid argument\n"));

  int udp = uba_xsocket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_EXIT(uba_xlisten(udp, 5), ExitedWithCode(1),
              Eq("ERROR:listen:listen(" + std::to_string(udp) + ",5):Operation not supported\n"));

  Pipe p;
  char buf[4];
  EXPECT_EXIT(uba_xrecv(p.r, buf, sizeof buf, 0), ExitedWithCode(1),
              Eq("ERROR:recv:recv(len=4):Socket operation on non-socket\n"));

  SocketPair pair(SOCK_STREAM);
  pair.close_b();
  EXPECT_EXIT(uba_xsend(pair.a, "abc", 3, MSG_NOSIGNAL), ExitedWithCode(1),
              Eq("ERROR:send:send(len=3)=-1:Broken pipe\n"));
  close(s), close(udp);
}

TEST(CheckedSockets, ShortSendIsFailure) {
  SocketPair pair(SOCK_STREAM);
  int small = 4096;
  setsockopt(pair.a, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  static char big[4 << 20];
  auto child = [&] {
    errno = 0;
    uba_xsend(pair.a, big, sizeof big, MSG_DONTWAIT);
  };
  // Some of the bytes fit into the socket buffers, not all.
  EXPECT_EXIT(child(), ExitedWithCode(1), MatchesRegex("ERROR:send:send\\(len=4194304\\)=[1-9][0-9]*:Success\n"));
}

TEST(CheckedSockets, FullRecvGathersRecordsAndReportsPrematureEnd) {
  SocketPair pair(SOCK_SEQPACKET);  // one recv returns at most one record
  char buf[9] = {};
  send(pair.b, "abc", 3, 0);
  send(pair.b, "defgh", 5, 0);
  uba_xfullrecv(pair.a, buf, 8, 0);
  EXPECT_STREQ(buf, "abcdefgh");

  uba_xfullrecv(-1, buf, 0, 0);  // nothing to receive: no call is made

  send(pair.b, "xyz", 3, 0);
  pair.close_b();
  EXPECT_EXIT(uba_xfullrecv(pair.a, buf, 8, 0), ExitedWithCode(1),
              MatchesRegex(at_xcalls("recv(len=8),got=3:premature end of data")));
}

TEST(CheckedSockets, GetHostByNameResolvesLocalhost) {
  hostent *h = uba_xgethostbyname("localhost");
  ASSERT_EQ(h->h_addrtype, AF_INET);
  in_addr a;
  memcpy(&a, h->h_addr_list[0], sizeof a);
  EXPECT_STREQ(inet_ntoa(a), "127.0.0.1");
}

TEST(Straddr, FormatsEachFamily) {
  sockaddr_un un = unix_addr("/run/sim.sock");
  EXPECT_STREQ(straddr(sa(un), sizeof un), "unix:/run/sim.sock");

  // A long path is cut to fit the 50-byte text.
  std::string long_path = "/" + std::string(90, 'p');
  un = unix_addr(long_path);
  EXPECT_EQ(straddr(sa(un), sizeof un), "unix:" + long_path.substr(0, 44));

  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(7101);
  in.sin_addr.s_addr = htonl(0x7f000203);
  EXPECT_STREQ(straddr(reinterpret_cast<sockaddr *>(&in), sizeof in), "inet:127.0.2.3:7101");
  in.sin_addr.s_addr = htonl(0xffffffff);
  in.sin_port = htons(65535);
  EXPECT_STREQ(straddr(reinterpret_cast<sockaddr *>(&in), sizeof in), "inet:255.255.255.255:65535");

  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  EXPECT_STREQ(straddr(reinterpret_cast<sockaddr *>(&in6), sizeof in6), "family=10:???");
}

// --- files ------------------------------------------------------------------

TEST(CheckedFiles, OpenPassesModeOnlyWithCreate) {
  TempDir dir;
  std::string path = dir.path() + "/f";
  mode_t old = umask(0);
  int fd = uba_xopen(path.c_str(), O_CREAT | O_WRONLY, 0640);
  umask(old);
  struct stat st;
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  close(fd);
  fd = uba_xopen(path.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0);
  close(fd);

  EXPECT_EXIT(uba_xopen("/nonexistent", O_RDONLY), ExitedWithCode(1),
              Eq("ERROR:open(/nonexistent,0x0):No such file or directory\n"));
  std::string missing = dir.path() + "/missing/f";
  EXPECT_EXIT(uba_xopen(missing.c_str(), O_CREAT | O_WRONLY, 0600), ExitedWithCode(1),
              Eq("ERROR:open(" + missing + ",0x41):No such file or directory\n"));
}

TEST(CheckedFiles, ReadAcceptsEndOfFile) {
  Pipe p;
  char buf[8];
  write(p.w, "ab", 2);
  p.close_write();
  EXPECT_EQ(uba_xread(p.r, buf, sizeof buf), 2);
  EXPECT_EQ(uba_xread(p.r, buf, sizeof buf), 0);
  EXPECT_EXIT(uba_xread(-1, buf, sizeof buf), ExitedWithCode(1), Eq("ERROR:read:read(len=8):Bad file descriptor\n"));
}

TEST(CheckedFiles, FullReadGathersPiecesAndReportsPrematureEnd) {
  SocketPair pair(SOCK_SEQPACKET);  // one read returns at most one record
  char buf[9] = {};
  write(pair.b, "abc", 3);
  write(pair.b, "defgh", 5);
  uba_xfullread(pair.a, buf, 8);
  EXPECT_STREQ(buf, "abcdefgh");

  uba_xfullread(-1, buf, 0);  // nothing to read: no call is made

  write(pair.b, "xyz", 3);
  pair.close_b();
  auto child = [&] {
    errno = 0;
    uba_xfullread(pair.a, buf, 8);
  };
  EXPECT_EXIT(child(), ExitedWithCode(1),
              MatchesRegex(at_xcalls("read(len=8),got=3,cc=0:premature end of data:Success")));
}

TEST(CheckedFiles, PositionalReads) {
  TempDir dir;
  int fd = open(dir.write("f", "0123456789").c_str(), O_RDONLY);
  char buf[8] = {};
  EXPECT_EQ(uba_xxpread("c.cpp", 1, fd, buf, 4, 3), 4);
  EXPECT_EQ(std::string(buf, 4), "3456");
  EXPECT_EQ(uba_xxpread("c.cpp", 1, fd, buf, 8, 6), 4) << "a short read is accepted";
  EXPECT_EQ(uba_xxpread("c.cpp", 1, fd, buf, 4, 10), 0) << "end of file is accepted";
  EXPECT_EQ(uba_xxfullpread("c.cpp", 1, fd, buf, 4, 2), 4);
  EXPECT_EQ(std::string(buf, 4), "2345");

  auto short_fullpread = [&] {
    errno = 0;
    uba_xxfullpread("/src/caller.cpp", 8, fd, buf, 8, 6);
  };
  EXPECT_EXIT(short_fullpread(), ExitedWithCode(1), Eq("ERROR:caller.cpp:8:fullpread(8, 6)=4:Success\n"));
  Pipe p;
  EXPECT_EXIT(uba_xxfullpread("caller.cpp", 9, p.r, buf, 4, 0), ExitedWithCode(1),
              Eq("ERROR:caller.cpp:9:fullpread(4, 0)=-1:Illegal seek\n"));
  EXPECT_EXIT(uba_xxpread("caller.cpp", 7, p.r, buf, 4, 0), ExitedWithCode(1),
              Eq("ERROR:caller.cpp:7:pread:(4, 0):Illegal seek\n"));
  close(fd);
}

TEST(CheckedFiles, WritesTakeOnlyFullTransfers) {
  TempDir dir;
  std::string path = dir.path() + "/f";
  int fd = open(path.c_str(), O_CREAT | O_RDWR, 0600);
  const char data[] = "abcdefghijkl";  // 12 bytes
  EXPECT_EQ(uba_xxwrite("c.cpp", 1, fd, data, 12), 12);
  EXPECT_EQ(uba_xxpwrite("c.cpp", 1, fd, "XY", 2, 3), 2);
  EXPECT_EQ(read_file(path), "abcXYfghijkl");

  std::string args = std::to_string(fd) + "," + ptr(data) + ",12";
  auto short_write = [&] {
    cap_file_size();
    lseek(fd, LIMIT - 6, SEEK_SET);
    errno = 0;
    uba_xxwrite("/src/caller.cpp", 5, fd, data, 12);
  };
  EXPECT_EXIT(short_write(), ExitedWithCode(1), Eq("ERROR:caller.cpp:5:write(" + args + ")=6:Success\n"));
  auto short_pwrite = [&] {
    cap_file_size();
    errno = 0;
    uba_xxpwrite("/src/caller.cpp", 6, fd, data, 12, LIMIT - 6);
  };
  EXPECT_EXIT(short_pwrite(), ExitedWithCode(1),
              Eq("ERROR:caller.cpp:6:pwrite:(" + args + ", 4090)=6:Success\n"));

  int ro = open(path.c_str(), O_RDONLY);
  EXPECT_EXIT(uba_xxwrite("caller.cpp", 7, ro, data, 12), ExitedWithCode(1),
              Eq("ERROR:caller.cpp:7:write(" + std::to_string(ro) + "," + ptr(data) + ",12)=-1:Bad file descriptor\n"));
  close(ro), close(fd);
}

TEST(CheckedFiles, PartWriteAcceptsShortWriteOnly) {
  TempDir dir;
  int fd = open(dir.write("f", "").c_str(), O_WRONLY);
  auto child = [&] {
    cap_file_size();
    lseek(fd, LIMIT - 6, SEEK_SET);
    ssize_t n = uba_xpartwrite(fd, "abcdefghijkl", 12);
    fprintf(stderr, "wrote %zd\n", n);
    uba_xpartwrite(fd, "abcdefghijkl", 12);  // at the limit: nothing can be written
  };
  EXPECT_EXIT(child(), ExitedWithCode(1), MatchesRegex("wrote 6\n" + at_xcalls("partwrite(len=12)=-1:File too large")));
  close(fd);
}

TEST(CheckedFiles, WritevTakesOnlyTheWholeVector) {
  Pipe p;
  iovec vec[] = {{const_cast<char *>("ab"), 2}, {const_cast<char *>("cdef"), 4}};
  EXPECT_EQ(uba_xwritev(p.w, vec, 2), 6);
  char buf[7] = {};
  read(p.r, buf, 6);
  EXPECT_STREQ(buf, "abcdef");

  TempDir dir;
  int fd = open(dir.write("f", "").c_str(), O_WRONLY);
  auto child = [&] {
    cap_file_size();
    lseek(fd, LIMIT - 4, SEEK_SET);
    errno = 0;
    uba_xwritev(fd, vec, 2);
  };
  EXPECT_EXIT(child(), ExitedWithCode(1), MatchesRegex(at_xcalls("writev(len=6)=4:Success")));
  close(fd);
}

TEST(CheckedFiles, IoctlRequiresZero) {
  Pipe p;
  write(p.w, "abc", 3);
  int pending = 0;
  EXPECT_EQ(uba_xxioctl("c.cpp", 1, p.r, FIONREAD, &pending), 0);
  EXPECT_EQ(pending, 3);
  winsize ws;
  EXPECT_EXIT(uba_xxioctl("/src/caller.cpp", 4, p.r, TIOCGWINSZ, &ws), ExitedWithCode(1),
              Eq("ERROR:caller.cpp:4:ioctl:error Inappropriate ioctl for device\n"));
}

// --- processes --------------------------------------------------------------

TEST(CheckedProcesses, SystemRequiresZeroStatus) {
  EXPECT_EQ(uba_xxsystem("c.cpp", 1, "true"), 0);
  EXPECT_EXIT(uba_xxsystem("/src/caller.cpp", 9, "exit 3"), ExitedWithCode(1),
              Eq("ERROR:caller.cpp:9:system(exit 3):768\n"));
}

TEST(CheckedProcesses, SystemPFindsHelperNextToProgram) {
  TempDir dir;
  std::string bin = dir.mkdir("bin");
  chmod(dir.write("bin/uba-helper", "#!/bin/sh\necho \"$@\" > \"$0.out\"\n").c_str(), 0755);
  chmod(dir.write("bin/uba-failing", "#!/bin/sh\nexit 5\n").c_str(), 0755);
  std::string argv0 = bin + "/prog";

  EXPECT_EQ(uba_xxsystemp("c.cpp", 1, argv0.c_str(), "uba-helper one two"), 0);
  EXPECT_EQ(read_file(bin + "/uba-helper.out"), "one two\n");

  EXPECT_EXIT(uba_xxsystemp("/src/caller.cpp", 2, argv0.c_str(), "uba-failing"), ExitedWithCode(1),
              Eq("ERROR:caller.cpp:2:system(env PATH=" + bin + ":$PATH: uba-failing):1280\n"));
  // A program started without a directory puts an empty directory first.
  EXPECT_EXIT(uba_xxsystemp("caller.cpp", 3, "prog", "false"), ExitedWithCode(1),
              Eq("ERROR:caller.cpp:3:system(env PATH=:$PATH: false):256\n"));
  // What does not fit the command buffer is refused, never run cut short.
  std::string long_command = "true " + std::string(240, 'x');
  EXPECT_EXIT(uba_xxsystemp("caller.cpp", 4, argv0.c_str(), long_command.c_str()), ExitedWithCode(1),
              Eq("ERROR:caller.cpp:4:system(" + long_command + "):command too long\n"));
  std::string long_name = "/" + std::string(300, 'd') + "/prog";
  EXPECT_EXIT(uba_xxsystemp("caller.cpp", 5, long_name.c_str(), "true"), ExitedWithCode(1),
              Eq("ERROR:caller.cpp:5:system(true):program name too long\n"));
}

TEST(CheckedProcesses, ForkStartsChild) {
  pid_t pid = uba_xfork();
  if (pid == 0) _exit(5);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 5);
}

TEST(CheckedProcesses, ExeclpRunsProgramWithItsArguments) {
  EXPECT_EXIT(uba_xexeclp("sh", "sh", "-c", "printf '[%s]' \"$0\" \"$@\" >&2; exit 7", "zero", "a b", "", nullptr),
              ExitedWithCode(7), Eq("[zero][a b][]"));

  // With a null arg0 the program gets no arguments at all; sh then reads its
  // script from standard input.
  TempDir dir;
  std::string script = dir.write("script", "echo \"args=$#\" >&2; exit 4\n");
  auto no_args = [&] {
    int fd = open(script.c_str(), O_RDONLY);
    dup2(fd, 0);
    uba_xexeclp("sh", nullptr);
  };
  EXPECT_EXIT(no_args(), ExitedWithCode(4), Eq("args=0\n"));

  EXPECT_EXIT(uba_xexeclp("/nonexistent/program", "program", nullptr), ExitedWithCode(1),
              MatchesRegex(at_xcalls("execlp(/nonexistent/program):No such file or directory")));
}

TEST(Clock, AgreesWithTimeOfDay) {
  timeval before, after;
  gettimeofday(&before, nullptr);
  uint64_t now = uba_xget_usecs();
  gettimeofday(&after, nullptr);
  EXPECT_GE(now, uint64_t(before.tv_sec) * 1000000 + before.tv_usec);
  EXPECT_LE(now, uint64_t(after.tv_sec) * 1000000 + after.tv_usec);
}

}  // namespace
