// ulve_loop_test: checks a network loopback around a NIC. It pushes data out
// through the network for a given time, receives it back in the same process,
// checks it and reports the throughput.
//
// Two modes:
//  - IP (-d): a TCP connection from this host to an address the network
//    routes back to this host (the driver's ulve10ge_iprev=1 reversal);
//  - raw (-m): Ethernet frames of EtherType 0x88B5, at most 8000 bytes of
//    payload each, sent to a MAC address on a packet socket and received back
//    on the same socket.
//
// The sender (main thread) and the receiver thread share a ring of four
// chunk buffers and a counting semaphore that starts at 2. Iteration i sends
// buffer i mod 4; the receiver stores chunk c into buffer (c + 2) mod 4 and
// posts the semaphore, which the sender waits on before each chunk. So the
// sender is never more than two chunks ahead, the buffer being filled is
// never the one being sent, and every chunk received goes out again two
// iterations later: the two random patterns circulate for the whole test.

#include <arpa/inet.h>
#include <errno.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "uba.h"

namespace {

const char USAGE[] =
    "usage: \n ulve_loop_test <options>  : test a network loopback configuration\n"
    "\t -d <ip>       : <target-ip> to exercise ip-loopback (requires ulve10ge_iprev=1)\n"
    "\t -m <mac-addr> : <mac-addr> to exercise loopback with raw-socket\n"
    "\t -l <test-length> : length of the test in seconds (default 10s)\n";

constexpr int IP_CHUNK = 100000, RAW_CHUNK = 64000;
constexpr int FRAME_BYTES = 8000;  // payload of one raw frame
constexpr uint16_t LOOP_ETHERTYPE = 0x88B5;
constexpr int CHUNK_WAIT_SECONDS = 4;
// Neither end may block for longer than a chunk is waited for: a path that
// stops taking data ends the test with a message instead of hanging it.
constexpr int SEND_WAIT_SECONDS = 4;
constexpr size_t IFCONF_BYTES = 1024;
constexpr size_t IFNAME_CHARS = 9;


struct loop_test {
  int mode = -1;  // -1 none chosen, 1 IP, 0 raw
  int chunk_size = IP_CHUNK;
  int64_t test_length = 10000000;  // microseconds
  char ifname[IFNAME_CHARS + 1] = "";
  unsigned char target_mac[6] = {};
  sockaddr_ll dest_ll{};    // raw mode: where frames are sent
  sockaddr_in dest_in{};    // IP mode: the target address with the listener's port
  in_addr target_ip{};
  // Written by the receiver thread only; the main thread reads it after the
  // join and, for the time-out message, while the receiver still runs.
  std::atomic<long long> rcv_bytes{0};
  sem_t sem;  // completed chunks; starts at 2
  int sock = -1;      // IP mode: the sender; raw mode: the packet socket
  int listener = -1;  // IP mode: the receiver's listening socket
  char *xfer[4] = {};
  char *pattern[2] = {};
};

loop_test iptest;

[[noreturn]] void usage() {
  fputs(USAGE, stderr);
  exit(1);
}

// The frame index a raw frame carries in its first four bytes (host order).
int64_t frame_index(const char *p) {
  uint32_t k;
  memcpy(&k, p, sizeof k);
  return k;
}

// "%x:%x:%x:%x:%x:%x", six fields of at most 0xff each.
bool parse_mac(const char *text, unsigned char mac[6]) {
  unsigned v[6];
  if (sscanf(text, "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6) return false;
  for (int i = 0; i < 6; i++) {
    // A field wider than a byte would be cut to some other address.
    if (v[i] > 0xff) return false;
    mac[i] = (unsigned char)v[i];
  }
  return true;
}

void set_send_timeout(int s) {
  timeval tv{SEND_WAIT_SECONDS, 0};
  handle_error(setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0, "setsockopt(SO_SNDTIMEO):%s",
               strerror(errno));
}

// Raw mode: the packet socket bound to the interface that reaches the target
// (named by -i, else the one whose hardware address is the target MAC), with
// a receive buffer that holds a whole chunk in flight.
void raw_bind() {
  int s = uba_xsocket(PF_PACKET, SOCK_DGRAM, 0);

  alignas(ifreq) char buf[IFCONF_BYTES];
  ifconf ifc{};
  ifc.ifc_len = sizeof buf;
  ifc.ifc_buf = buf;
  uba_xioctl(s, SIOCGIFCONF, &ifc);
  // The kernel writes whole entries of its own struct ifreq size.
  int count = ifc.ifc_len / (int)sizeof(ifreq);
  const ifreq *found = nullptr;
  for (int i = 0; i < count && !found; i++) {
    ifreq *ifr = reinterpret_cast<ifreq *>(buf) + i;
    if (iptest.ifname[0]) {
      if (strncmp(ifr->ifr_name, iptest.ifname, IFNAMSIZ) == 0)
        found = ifr;
      else
        printf("Ignoreing %.*s\n", IFNAMSIZ, ifr->ifr_name);
    } else {
      ifreq hw{};
      memcpy(hw.ifr_name, ifr->ifr_name, IFNAMSIZ);
      uba_xioctl(s, SIOCGIFHWADDR, &hw);
      if (hw.ifr_hwaddr.sa_family == ARPHRD_ETHER && memcmp(hw.ifr_hwaddr.sa_data, iptest.target_mac, 6) == 0)
        found = ifr;
    }
  }
  handle_error(!found, "No interface for mac addr");

  ifreq idx{};
  memcpy(idx.ifr_name, found->ifr_name, IFNAMSIZ);
  uba_xioctl(s, SIOCGIFINDEX, &idx);

  sockaddr_ll ll{};
  ll.sll_family = AF_PACKET;
  ll.sll_protocol = htons(LOOP_ETHERTYPE);
  ll.sll_ifindex = idx.ifr_ifindex;
  uba_xbind(s, reinterpret_cast<sockaddr *>(&ll), sizeof ll);

  int want = 4 * iptest.chunk_size, got = 0;
  socklen_t len = sizeof got;
  handle_error(setsockopt(s, SOL_SOCKET, SO_RCVBUF, &want, sizeof want) != 0, "setsockopt(SO_RCVBUF):%s",
               strerror(errno));
  handle_error(getsockopt(s, SOL_SOCKET, SO_RCVBUF, &got, &len) != 0, "getsockopt(SO_RCVBUF):%s", strerror(errno));
  uba_check(got >= 2 * iptest.chunk_size);
  set_send_timeout(s);

  iptest.dest_ll = ll;
  iptest.dest_ll.sll_halen = 6;
  memcpy(iptest.dest_ll.sll_addr, iptest.target_mac, 6);
  iptest.sock = s;
}

// IP mode: a listener on any address and an ephemeral port, and the sender;
// the destination is the target address with the listener's port.
void ip_setup() {
  iptest.listener = uba_xsocket(AF_INET, SOCK_STREAM, 0);
  iptest.sock = uba_xsocket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  any.sin_port = 0;
  uba_xbind(iptest.listener, reinterpret_cast<sockaddr *>(&any), sizeof any);
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  handle_error(getsockname(iptest.listener, reinterpret_cast<sockaddr *>(&bound), &len) != 0, "getsockname:%s",
               strerror(errno));
  uba_xlisten(iptest.listener, 1);
  iptest.dest_in.sin_family = AF_INET;
  iptest.dest_in.sin_addr = iptest.target_ip;
  iptest.dest_in.sin_port = bound.sin_port;
  set_send_timeout(iptest.sock);
}

// The receiver thread: fills buffer (c + 2) mod 4 with chunk c and posts the
// semaphore when it is full; ends when the connection ends.
void *rcv(void *) {
  const bool raw = iptest.mode == 0;
  int s = raw ? iptest.sock : uba_xaccept(iptest.listener, nullptr, nullptr);
  const int flags = raw ? MSG_TRUNC : 0;
  for (long long c = 0;; c++) {
    char *rbuf = iptest.xfer[(c + 2) % 4];
    int iter_bytes = 0;
    while (iter_bytes < iptest.chunk_size) {
      // With MSG_TRUNC a frame longer than the space left reports its whole
      // length, so the check below sees it.
      ssize_t n = uba_xrecv(s, rbuf + iter_bytes, iptest.chunk_size - iter_bytes, flags);
      if (n == 0) return nullptr;
      uba_check(n <= iptest.chunk_size - iter_bytes);
      // A piece too short to carry its index cannot be in its place.
      if (raw) uba_check(n >= 4 && frame_index(rbuf + iter_bytes) == iter_bytes / FRAME_BYTES);
      iter_bytes += (int)n;
      iptest.rcv_bytes.fetch_add(n, std::memory_order_relaxed);
    }
    sem_post(&iptest.sem);
  }
}

// Waits for one completed chunk, at most CHUNK_WAIT_SECONDS.
void wait_chunk() {
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += CHUNK_WAIT_SECONDS;
  int r;
  while ((r = sem_timedwait(&iptest.sem, &deadline)) != 0 && errno == EINTR) {
  }
  if (r != 0) {
    handle_error(errno == ETIMEDOUT, "Timed-out waiting for chunk completion\n\t rcvd=%lld\n",
                 iptest.rcv_bytes.load(std::memory_order_relaxed));
    handle_error(1, "sem_timedwait:%s", strerror(errno));
  }
}

void send_chunk(const char *buf) {
  const int chunk = iptest.chunk_size;
  if (iptest.mode == 1) {
    for (int done = 0; done < chunk;) done += (int)uba_xpartwrite(iptest.sock, buf + done, chunk - done);
    return;
  }
  for (int off = 0; off < chunk; off += FRAME_BYTES) {
    int len = chunk - off < FRAME_BYTES ? chunk - off : FRAME_BYTES;
    ssize_t n = sendto(iptest.sock, buf + off, len, 0, reinterpret_cast<const sockaddr *>(&iptest.dest_ll),
                       sizeof iptest.dest_ll);
    if (n != len) {
      int e = errno;
      handle_error(1, "sendto():raw:%d:%s\n", e, strerror(e));
    }
  }
}

char *chunk_buffer() {
  return static_cast<char *>(uba_xmalloc(iptest.chunk_size));
}

}  // namespace

int main(int argc, char **argv) {
  // The usage text says what is wrong; getopt's own line would only repeat it.
  opterr = 0;
  int c;
  while ((c = getopt(argc, argv, "d:m:t:i:")) != -1) {
    switch (c) {
      case 'd': {
        hostent *h = uba_xgethostbyname(optarg);
        uba_check(h->h_length == 4);
        memcpy(&iptest.target_ip, h->h_addr_list[0], 4);
        iptest.mode = 1;
        iptest.chunk_size = IP_CHUNK;
        break;
      }
      case 'm':
        if (!parse_mac(optarg, iptest.target_mac)) usage();
        iptest.mode = 0;
        iptest.chunk_size = RAW_CHUNK;
        break;
      case 't': {
        // The length is printed in seconds as an int; a longer one (or a
        // negative one, which strtoul turns into a huge number) would be
        // shown and timed as something else.
        unsigned long seconds = strtoul(optarg, nullptr, 0);
        handle_error(seconds > INT_MAX, "test length %s out of range", optarg);
        iptest.test_length = (int64_t)seconds * 1000000;
        break;
      }
      case 'i':
        // A longer name cut to fit would name another interface, or none.
        handle_error(strlen(optarg) > IFNAME_CHARS, "interface name %s longer than %zu characters", optarg,
                     IFNAME_CHARS);
        strcpy(iptest.ifname, optarg);
        break;
      default: usage();
    }
  }
  if (iptest.mode == -1) usage();

  const int chunk = iptest.chunk_size;
  for (char *&b : iptest.xfer) {
    b = chunk_buffer();
    memset(b, 0, chunk);
  }
  for (char *&p : iptest.pattern) {
    p = chunk_buffer();
    for (int i = 0; i < chunk; i++) p[i] = (char)random();
    if (iptest.mode == 0)
      for (uint32_t k = 0; (int64_t)k * FRAME_BYTES < chunk; k++) memcpy(p + (size_t)k * FRAME_BYTES, &k, sizeof k);
  }
  memcpy(iptest.xfer[0], iptest.pattern[0], chunk);
  memcpy(iptest.xfer[1], iptest.pattern[1], chunk);
  sem_init(&iptest.sem, 0, 2);

  if (iptest.mode == 1)
    ip_setup();
  else
    raw_bind();
  pthread_t receiver;
  int r = pthread_create(&receiver, nullptr, rcv, nullptr);
  handle_error(r != 0, "pthread_create:%s", strerror(r));
  if (iptest.mode == 1)
    uba_xconnect(iptest.sock, reinterpret_cast<sockaddr *>(&iptest.dest_in), sizeof iptest.dest_in);

  int seconds = (int)(iptest.test_length / 1000000);
  printf("%s loopback test for %d seconds:\n", iptest.mode == 1 ? "IP" : "Raw", seconds);
  fflush(stdout);
  uint64_t start = uba_xget_usecs();
  int iterations = 0;
  while ((int64_t)(uba_xget_usecs() - start) < iptest.test_length) {
    wait_chunk();
    send_chunk(iptest.xfer[iterations % 4]);
    iterations++;
  }
  if (iptest.mode == 1) shutdown(iptest.sock, SHUT_RDWR);
  handle_error(iterations < 2, "Only %d iterations completed\n", iterations);

  // After these two waits every chunk sent has come back. Buffer e mod 4 is
  // what went out as iteration e, and buffer (e + 2) mod 4 is chunk e as it
  // came back; both must hold pattern e mod 2, so the last two chunks
  // received are checked as well as what they were sent from.
  for (int e = iterations - 2; e < iterations; e++) {
    wait_chunk();
    const char *expected = iptest.pattern[e % 2];
    bool sent_ok = memcmp(iptest.xfer[e % 4], expected, chunk) == 0;
    bool back_ok = memcmp(iptest.xfer[(e + 2) % 4], expected, chunk) == 0;
    handle_error(!sent_ok || !back_ok, "Found corrupted data, iter %d/%d\n", e, iterations);
  }

  pthread_cancel(receiver);
  pthread_join(receiver, nullptr);
  close(iptest.sock);
  uint64_t elapsed = uba_xget_usecs() - start;

  long long rcv_bytes = iptest.rcv_bytes.load();
  uba_check(rcv_bytes == (long long)chunk * iterations);
  printf("[PASS] %d iters, %lld MB, %lld sec, %.3f Gb/s\n", iterations, rcv_bytes / 1000000,
         (long long)(elapsed / 1000000), rcv_bytes * 0.008 / (double)elapsed);
  return 0;
}
