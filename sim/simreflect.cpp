// simreflect: the far end of a raw Ethernet loopback. It receives every frame
// of EtherType 0x88B5 on one interface and sends it back to the MAC address
// it came from with the same payload, until SIGTERM or SIGINT. On request it
// spoils the path the way a faulty loopback would: one frame corrupted,
// dropped, delayed or swapped with the next, or silence after a number of
// frames. Frames are counted from 0 in the order they arrive.
//
// Once the socket is bound it prints "simreflect: reflecting EtherType 0x88b5
// on IFNAME" on standard output, so whoever starts it knows when frames will
// be answered; at the end it prints its counts on standard error.

#include <arpa/inet.h>
#include <getopt.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace {

constexpr uint16_t LOOP_ETHERTYPE = 0x88B5;
constexpr size_t MAX_FRAME = 65536;
// Room for many chunks of 8000-byte frames while the reflector is paused or
// descheduled: a drop here would look like a fault of the path under test.
constexpr int RECEIVE_BUFFER = 16 << 20;
// A frame held back for --reorder goes out this long after it came when no
// next frame arrives.
constexpr int HOLD_MS = 200;
constexpr long long MAX_PAUSE_MS = 60000;

const char USAGE[] =
    "usage: simreflect [options] IFNAME\n"
    "Sends every frame of EtherType 0x88B5 received on IFNAME back to its sender\n"
    "with the same payload, until SIGTERM or SIGINT. Frames are counted from 0.\n"
    "  --corrupt=N       flip a payload byte of frame N (past its first 4 bytes)\n"
    "  --drop=N          do not send frame N back\n"
    "  --reorder=N       send frame N+1 back before frame N\n"
    "  --pause=N:MS      wait MS milliseconds (at most 60000) before sending frame N back\n"
    "  --silent-after=N  send back only the first N frames\n"
    "  --help            show this text\n";

volatile sig_atomic_t stop_requested = 0;

void on_stop(int) { stop_requested = 1; }

[[noreturn]] void usage_error(const char *what) {
  if (what) fprintf(stderr, "simreflect: %s\n", what);
  fputs(USAGE, stderr);
  exit(2);
}

// A whole decimal number, or nothing.
std::optional<unsigned long long> number(const char *text, const char **end_at = nullptr) {
  if (!text || *text < '0' || *text > '9') return std::nullopt;
  errno = 0;
  char *end;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno) return std::nullopt;
  if (end_at)
    *end_at = end;
  else if (*end)
    return std::nullopt;
  return v;
}

struct Frame {
  std::vector<uint8_t> bytes;
  sockaddr_ll from;
};

struct Options {
  std::optional<unsigned long long> corrupt, drop, reorder, silent_after, pause_at;
  long long pause_ms = 0;
};

int sock = -1;
unsigned long long sent = 0;

void send_back(const uint8_t *data, size_t len, const sockaddr_ll &to) {
  ssize_t n = sendto(sock, data, len, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
  if (n != (ssize_t)len) {
    fprintf(stderr, "simreflect: sendto(%zu bytes): %s\n", len, n < 0 ? strerror(errno) : "short send");
    exit(1);
  }
  sent++;
}

// Waits for `ms` milliseconds or a stop request, whichever comes first.
void pause_for(long long ms, const sigset_t &waiting_mask) {
  timespec ts{(time_t)(ms / 1000), (long)(ms % 1000) * 1000000};
  ppoll(nullptr, 0, &ts, &waiting_mask);
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  enum { CORRUPT = 1, DROP, REORDER, PAUSE, SILENT_AFTER, HELP };
  const option longopts[] = {
      {"corrupt", required_argument, nullptr, CORRUPT}, {"drop", required_argument, nullptr, DROP},
      {"reorder", required_argument, nullptr, REORDER}, {"pause", required_argument, nullptr, PAUSE},
      {"silent-after", required_argument, nullptr, SILENT_AFTER}, {"help", no_argument, nullptr, HELP},
      {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    std::optional<unsigned long long> n;
    if (c != PAUSE && c != HELP && c != '?') {
      n = number(optarg);
      if (!n) usage_error("a frame number is a decimal number");
    }
    switch (c) {
      case CORRUPT: opt.corrupt = n; break;
      case DROP: opt.drop = n; break;
      case REORDER: opt.reorder = n; break;
      case SILENT_AFTER: opt.silent_after = n; break;
      case PAUSE: {
        const char *rest;
        n = number(optarg, &rest);
        std::optional<unsigned long long> ms;
        if (n && *rest == ':') ms = number(rest + 1);
        if (!ms || *ms > (unsigned long long)MAX_PAUSE_MS) usage_error("--pause takes N:MS, MS at most 60000");
        opt.pause_at = n;
        opt.pause_ms = (long long)*ms;
        break;
      }
      case HELP: fputs(USAGE, stdout); return 0;
      default: usage_error("unknown option or missing value");
    }
  }
  if (optind != argc - 1) usage_error("one interface name is needed");
  const char *ifname = argv[optind];
  if (strlen(ifname) >= IFNAMSIZ) usage_error("interface name too long");
  unsigned ifindex = if_nametoindex(ifname);
  if (ifindex == 0) {
    fprintf(stderr, "simreflect: no interface %s: %s\n", ifname, strerror(errno));
    return 2;
  }

  // SIGTERM and SIGINT are taken only while waiting, so a stop never cuts a
  // frame in half and is never missed between a check and a wait.
  sigset_t stop_signals, waiting_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigprocmask(SIG_BLOCK, &stop_signals, &waiting_mask);
  sigdelset(&waiting_mask, SIGTERM);
  sigdelset(&waiting_mask, SIGINT);
  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  sock = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(LOOP_ETHERTYPE));
  if (sock < 0) {
    fprintf(stderr, "simreflect: packet socket: %s\n", strerror(errno));
    return 1;
  }
  sockaddr_ll here{};
  here.sll_family = AF_PACKET;
  here.sll_protocol = htons(LOOP_ETHERTYPE);
  here.sll_ifindex = (int)ifindex;
  if (bind(sock, reinterpret_cast<sockaddr *>(&here), sizeof here) != 0) {
    fprintf(stderr, "simreflect: bind to %s: %s\n", ifname, strerror(errno));
    return 1;
  }
  int rcvbuf = RECEIVE_BUFFER;
  if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) != 0)
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  timeval send_wait{1, 0};
  setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &send_wait, sizeof send_wait);

  printf("simreflect: reflecting EtherType 0x88b5 on %s\n", ifname);
  fflush(stdout);

  static uint8_t buf[MAX_FRAME];
  unsigned long long received = 0, too_long = 0;
  std::optional<Frame> held;  // frame --reorder keeps back
  while (!stop_requested) {
    pollfd p{sock, POLLIN, 0};
    timespec hold{HOLD_MS / 1000, (HOLD_MS % 1000) * 1000000L};
    int ready = ppoll(&p, 1, held ? &hold : nullptr, &waiting_mask);
    if (ready < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "simreflect: poll: %s\n", strerror(errno));
      return 1;
    }
    if (ready == 0) {  // no next frame came: the held one goes out alone
      send_back(held->bytes.data(), held->bytes.size(), held->from);
      held.reset();
      continue;
    }
    sockaddr_ll from{};
    socklen_t fromlen = sizeof from;
    ssize_t n = recvfrom(sock, buf, sizeof buf, MSG_TRUNC | MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from),
                         &fromlen);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      fprintf(stderr, "simreflect: recvfrom: %s\n", strerror(errno));
      return 1;
    }
    unsigned long long k = received++;
    if ((size_t)n > sizeof buf) {
      too_long++;
      continue;
    }
    if (opt.silent_after && k >= *opt.silent_after) continue;
    if (opt.drop && k == *opt.drop) continue;
    if (opt.corrupt && k == *opt.corrupt && n > 4) buf[4 + (n - 4) / 2] ^= 0xff;
    if (opt.pause_at && k == *opt.pause_at) pause_for(opt.pause_ms, waiting_mask);
    if (opt.reorder && k == *opt.reorder) {
      held = Frame{std::vector<uint8_t>(buf, buf + n), from};
      continue;
    }
    send_back(buf, n, from);
    if (held) {
      send_back(held->bytes.data(), held->bytes.size(), held->from);
      held.reset();
    }
  }
  if (held) send_back(held->bytes.data(), held->bytes.size(), held->from);
  fprintf(stderr, "simreflect: %llu frames received, %llu sent back", received, sent);
  if (too_long) fprintf(stderr, ", %llu longer than %zu bytes dropped", too_long, MAX_FRAME);
  fputc('\n', stderr);
  return 0;
}
