// ulve_loop_test against iperf3, the same duration each, alternated over a
// few rounds (the figures of a 2-core machine vary from run to run with where
// the scheduler puts the threads), the medians compared:
//
//  - IP mode over this host's loopback: `ulve_loop_test -d 127.0.0.1 -t T`
//    against one iperf3 TCP stream to 127.0.0.1 (server `iperf3 -s -1` on a
//    free port); goal: at least 0.8 of iperf3;
//  - raw mode through a veth pair with MTU 9000: `ulve_loop_test -i lt0 -m
//    MAC -t T` with simreflect at the far end, against one iperf3 TCP stream
//    over the same pair.
//
// The pair's two ends are in two network namespaces made for the run (near
// end lt0, 10.199.0.1, in one; far end lt1, 10.199.0.2, in the other):
// inside a single namespace the kernel would deliver the iperf3 traffic
// between two of its own addresses through lo and never touch the pair.
// Across namespaces the only way from 10.199.0.1 to 10.199.0.2 is lt0, so
// both programs' traffic really crosses it. ulve_loop_test's figure counts
// the bytes that came back, which crossed the pair twice (out, and back
// through simreflect, a user-space relay); iperf3's crossed it once.
//
//   loop_test_vs_iperf3 [SECONDS [ROUNDS]]   (default 5 s, 3 rounds; as root;
//                                             needs ip and iperf3)
//
// ulve_loop_test and simreflect are looked for beside the build's tools/ and
// sim/ folders. Every program run here is killed when it runs well past its
// duration, so a stuck path ends the benchmark instead of hanging it.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_util.h"

namespace {

const char NEAR_NS[] = "ulve_bench_near", FAR_NS[] = "ulve_bench_far";
const char NEAR_MAC[] = "02:00:00:00:01:0a", FAR_MAC[] = "02:00:00:00:01:0b";
const char NEAR_IP[] = "10.199.0.1", FAR_IP[] = "10.199.0.2";

// A program started with its standard output and error on pipes.
class Child {
 public:
  explicit Child(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int o[2], e[2];
    if (pipe2(o, O_CLOEXEC) != 0 || pipe2(e, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, o[1], 1);
    posix_spawn_file_actions_adddup2(&actions, e[1], 2);
    int failed = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(o[1]);
    close(e[1]);
    fds_[0] = {o[0], POLLIN, 0};
    fds_[1] = {e[0], POLLIN, 0};
    if (failed) {
      fprintf(stderr, "cannot run %s: %s\n", argv[0], strerror(failed));
      pid_ = -1;
    }
  }
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  ~Child() {
    if (pid_ > 0) stop(SIGKILL, 1);
    for (pollfd &p : fds_)
      if (p.fd >= 0) close(p.fd);
  }

  bool started() const { return pid_ > 0; }
  const std::string &out() const { return text_[0]; }
  const std::string &err() const { return text_[1]; }

  // Reads output until standard output holds `what`, or it ends, or `limit`
  // seconds pass; whether it came.
  bool wait_for_output(const char *what, double limit) {
    double until = bench::now_s() + limit;
    while (text_[0].find(what) == std::string::npos) {
      if ((fds_[0].fd < 0 && fds_[1].fd < 0) || bench::now_s() >= until) return false;
      pump(20);
    }
    return true;
  }

  // Collects the output until the program ends; one still running after
  // `limit` seconds is killed. Its exit status (128 + N for signal N).
  int finish(double limit) {
    double until = bench::now_s() + limit;
    while ((fds_[0].fd >= 0 || fds_[1].fd >= 0) && bench::now_s() < until) pump(50);
    return stop(SIGKILL, 0);
  }

  // Sends `sig`, then waits up to `grace` seconds (collecting output) before
  // killing it; its exit status.
  int stop(int sig, double grace) {
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    double until = bench::now_s() + grace;
    int status;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (bench::now_s() >= until) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      pump(20);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  void pump(int timeout_ms) {
    if (poll(fds_, 2, timeout_ms) <= 0) return;
    for (int i = 0; i < 2; i++) {
      if (fds_[i].fd < 0 || !fds_[i].revents) continue;
      char buf[4096];
      ssize_t n = read(fds_[i].fd, buf, sizeof buf);
      if (n > 0) {
        text_[i].append(buf, n);
      } else {
        close(fds_[i].fd);
        fds_[i].fd = -1;
      }
    }
  }

  pid_t pid_ = -1;
  pollfd fds_[2] = {{-1, 0, 0}, {-1, 0, 0}};
  std::string text_[2];
};

int run_quiet(const std::vector<std::string> &args, double limit = 10) {
  Child c(args);
  if (!c.started()) return -1;
  int status = c.finish(limit);
  if (status != 0) fprintf(stderr, "%s failed (status %d): %s", args[0].c_str(), status, c.err().c_str());
  return status;
}

std::vector<std::string> in_ns(const char *ns, std::vector<std::string> args) {
  if (ns) args.insert(args.begin(), {"ip", "netns", "exec", ns});
  return args;
}

// A TCP port nobody listens on now (in this namespace).
int free_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
    if (s >= 0) close(s);
    return 5201;
  }
  close(s);
  return ntohs(a.sin_port);
}

// ulve_loop_test's Gb/s, or a negative number when it did not pass.
double loop_test(const char *ns, const std::vector<std::string> &args, int seconds) {
  Child c(in_ns(ns, args));
  if (!c.started()) return -1;
  int status = c.finish(seconds + 20);
  const char *pass = strstr(c.out().c_str(), "[PASS]");
  double gbps;
  if (status != 0 || !pass || sscanf(pass, "[PASS] %*d iters, %*d MB, %*d sec, %lf Gb/s", &gbps) != 1) {
    fprintf(stderr, "ulve_loop_test failed (status %d)\n%s%s", status, c.out().c_str(), c.err().c_str());
    return -1;
  }
  return gbps;
}

// One iperf3 TCP stream of `seconds` from namespace `client_ns` to a server
// started in `server_ns` at `address`: the receiver's Gb/s, or a negative
// number.
double iperf3(const char *client_ns, const char *server_ns, const char *address, int seconds) {
  std::string port = std::to_string(free_port());
  Child server(in_ns(server_ns, {"iperf3", "-s", "-1", "-p", port}));
  if (!server.started()) return -1;
  // The server takes one client and then ends, so readiness is found by the
  // client itself: one that finds nobody listening fails at once and tries
  // again.
  for (int attempt = 0; attempt < 50; attempt++) {
    Child client(in_ns(client_ns, {"iperf3", "-c", address, "-p", port, "-t", std::to_string(seconds), "-J"}));
    if (!client.started()) return -1;
    int status = client.finish(seconds + 20);
    const std::string &out = client.out();
    size_t sum = out.find("\"sum_received\"");
    size_t bps = sum == std::string::npos ? sum : out.find("\"bits_per_second\":", sum);
    if (status == 0 && bps != std::string::npos) {
      server.finish(5);
      return atof(out.c_str() + bps + strlen("\"bits_per_second\":")) / 1e9;
    }
    if (out.find("Connection refused") == std::string::npos) {
      fprintf(stderr, "iperf3 client failed (status %d)\n%s%s", status, out.c_str(), client.err().c_str());
      return -1;
    }
    usleep(100000);
  }
  fprintf(stderr, "the iperf3 server never listened\n");
  return -1;
}

// Each round's figures, then the medians and their ratio.
void print_rounds(const char *what, const std::vector<double> &ours, const std::vector<double> &theirs,
                  const char *goal) {
  printf("  %s\n", what);
  for (size_t i = 0; i < ours.size(); i++)
    printf("    round %zu: ulve_loop_test %7.3f Gb/s, iperf3 %7.3f Gb/s: ratio %.3f\n", i + 1, ours[i], theirs[i],
           ours[i] / theirs[i]);
  double a = bench::median(ours), b = bench::median(theirs);
  printf("    median:  ulve_loop_test %7.3f Gb/s, iperf3 %7.3f Gb/s: ratio %.3f%s\n", a, b, a / b, goal);
}

void remove_namespaces() {
  for (const char *ns : {NEAR_NS, FAR_NS}) {
    Child c({"ip", "netns", "del", ns});
    c.finish(10);
  }
}

bool make_pair() {
  remove_namespaces();  // what an interrupted earlier run left
  const std::vector<std::vector<std::string>> steps = {
      {"ip", "netns", "add", NEAR_NS},
      {"ip", "netns", "add", FAR_NS},
      {"ip", "-n", NEAR_NS, "link", "add", "lt0", "address", NEAR_MAC, "mtu", "9000", "type", "veth", "peer", "name",
       "lt1", "address", FAR_MAC, "mtu", "9000"},
      {"ip", "-n", NEAR_NS, "link", "set", "lt1", "netns", FAR_NS},
      {"ip", "-n", NEAR_NS, "addr", "add", std::string(NEAR_IP) + "/24", "dev", "lt0"},
      {"ip", "-n", FAR_NS, "addr", "add", std::string(FAR_IP) + "/24", "dev", "lt1"},
      {"ip", "-n", NEAR_NS, "link", "set", "lo", "up"},
      {"ip", "-n", FAR_NS, "link", "set", "lo", "up"},
      {"ip", "-n", NEAR_NS, "link", "set", "lt0", "up"},
      {"ip", "-n", FAR_NS, "link", "set", "lt1", "up"},
  };
  for (const auto &step : steps)
    if (run_quiet(step) != 0) return false;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  int seconds = argc >= 2 ? atoi(argv[1]) : 5, rounds = argc >= 3 ? atoi(argv[2]) : 3;
  if (argc > 3 || seconds < 1 || rounds < 1) {
    fprintf(stderr, "usage: %s [SECONDS [ROUNDS]]\n", argv[0]);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  std::string tool = bench::built_program(argv[0], "tools", "ulve_loop_test"),
              reflector = bench::built_program(argv[0], "sim", "simreflect");
  std::string t = std::to_string(seconds);

  printf("ulve_loop_test against one iperf3 TCP stream, %d s each, %d rounds:\n", seconds, rounds);
  std::vector<double> ours, theirs;
  for (int r = 0; r < rounds; r++) {
    ours.push_back(loop_test(nullptr, {tool, "-d", "127.0.0.1", "-t", t}, seconds));
    theirs.push_back(iperf3(nullptr, nullptr, "127.0.0.1", seconds));
    if (ours.back() < 0 || theirs.back() < 0) return 1;
  }
  print_rounds("IP mode over lo", ours, theirs, " (goal: at least 0.8)");
  fflush(stdout);

  if (!make_pair()) {
    fprintf(stderr, "cannot make the veth pair between two namespaces\n");
    remove_namespaces();
    return 1;
  }
  ours.clear(), theirs.clear();
  for (int r = 0; r < rounds; r++) {
    Child reflect(in_ns(FAR_NS, {reflector, "lt1"}));
    if (!reflect.started() || !reflect.wait_for_output("reflecting", 10)) {
      fprintf(stderr, "simreflect did not start: %s", reflect.err().c_str());
      break;
    }
    double a = loop_test(NEAR_NS, {tool, "-i", "lt0", "-m", FAR_MAC, "-t", t}, seconds);
    reflect.stop(SIGTERM, 5);
    double b = a < 0 ? -1 : iperf3(NEAR_NS, FAR_NS, FAR_IP, seconds);
    if (a < 0 || b < 0) break;
    ours.push_back(a), theirs.push_back(b);
  }
  remove_namespaces();
  if ((int)ours.size() != rounds) return 1;
  print_rounds("raw mode via veth (MTU 9000) and simreflect", ours, theirs,
               "\n  (ulve_loop_test's bytes crossed the pair twice, iperf3's once)");
  return 0;
}
