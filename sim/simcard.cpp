// simcard: the simulator peer of a tool run with UBA_SIM set. It connects to
// the tool's Unix socket /tmp/udrv_pci0 (waiting until it is there), takes
// /tmp/udrv_sram.tmp, which the tool shares, as the card's BAR0, and serves
// one modeled card over the simulator protocol until the tool closes the
// connection:
//
//   CFG_READ        answered by READ_DATA (split over several messages on
//                   request: all but the last have a non-zero msw)
//   CFG_WRITE       done on the model, answered by CFG_WRITE_DONE
//   MEM_WRITE       a programmed-I/O write into BAR0: stored into the shared
//                   image, and seen by the card's firmware as a BAR0 store
//   READ_DATA       the host's answer to a DMA read asked with --dma-read
//
// On request it also DMA-writes into the host's area, DMA-reads from it
// (printing what comes back) and sends the interrupt message, right after
// connecting. Between messages, and on the card's next deadline, the card
// is advanced to the present, so its firmware runs.
//
// The tool writes its identification strings into the shared image after
// it accepts the connection; the card's firmware never writes there.

#include <getopt.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "board_items.h"
#include "front_end.h"
#include "pci_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int FAILED = 1;
constexpr unsigned MAX_SPLIT = 64;

const char USAGE[] = "Usage: simcard [OPTION]...\n";
const char HELP[] =
    "Plays the simulator for a tool run with UBA_SIM set: connects to the\n"
    "tool's socket /tmp/udrv_pci0 (waiting until it is there), takes\n"
    "/tmp/udrv_sram.tmp as the card's BAR0 and serves one modeled 10G NIC over\n"
    "the simulator protocol until the tool closes the connection.\n"
    "\n"
    "  --card ITEMS          the card, described by ITEMS\n"
    "  --split N             answer each configuration read in N READ_DATA\n"
    "                        messages (1 to 64; default 1)\n"
    "  --wait SECONDS        wait at most this long for the socket (default 30)\n"
    "  --dma-write OFF:HEX   after connecting, write these bytes (hex digits) at\n"
    "                        OFF (hex) of the host's DMA area\n"
    "  --dma-read OFF:LEN    after connecting, read LEN bytes at OFF (hex) of the\n"
    "                        host's DMA area and print them in hex on stdout\n"
    "  --msi                 after connecting, send the interrupt message\n"
    "  --stats               at the end, print the card's configuration reads\n"
    "                        and writes on standard error\n"
    "  --help                show this help and exit\n"
    "\n"
    "ITEMS is a comma-separated list of:\n";
const char HELP_TAIL[] =
    "A PATH cannot hold a comma. pc= changes nothing here: the tool writes its\n"
    "own identification strings.\n";

using sim::front_end::fail;
using sim::front_end::usage_error;

struct Options {
  sim::BoardChoice card;
  unsigned split = 1;
  unsigned wait_s = 30;
  std::optional<std::pair<uint32_t, std::vector<uint8_t>>> dma_write;
  std::optional<std::pair<uint32_t, uint32_t>> dma_read;
  bool msi = false, stats = false;
};

std::vector<uint8_t> parse_bytes(std::string_view hex) {
  std::vector<uint8_t> bytes;
  if (hex.empty() || hex.size() % 2) usage_error("--dma-write: '%.*s' is not whole bytes in hex", (int)hex.size(), hex.data());
  for (size_t i = 0; i < hex.size(); i += 2) {
    auto b = sim::parse_hex(hex.substr(i, 2), 0xff);
    if (!b) usage_error("--dma-write: '%.*s' is not whole bytes in hex", (int)hex.size(), hex.data());
    bytes.push_back(static_cast<uint8_t>(*b));
  }
  return bytes;
}

Options parse_options(int argc, char **argv) {
  enum { CARD = 1000, SPLIT, WAIT, DMA_WRITE, DMA_READ, MSI, STATS, HELP_OPTION };
  static const option longs[] = {
      {"card", required_argument, nullptr, CARD},       {"split", required_argument, nullptr, SPLIT},
      {"wait", required_argument, nullptr, WAIT},       {"dma-write", required_argument, nullptr, DMA_WRITE},
      {"dma-read", required_argument, nullptr, DMA_READ}, {"msi", no_argument, nullptr, MSI},
      {"stats", no_argument, nullptr, STATS},           {"help", no_argument, nullptr, HELP_OPTION},
      {nullptr, 0, nullptr, 0},
  };
  Options o;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":", longs, nullptr)) != -1) {
    std::string_view arg = optarg ? optarg : "";
    size_t colon = arg.find(':');
    switch (c) {
      case CARD:
        if (std::string why = sim::parse_board_items(arg, &o.card); !why.empty())
          usage_error("--card: %s", why.c_str());
        break;
      case SPLIT: {
        auto n = sim::parse_number(arg, MAX_SPLIT);
        if (!n || *n == 0) usage_error("--split: '%s' is not a number from 1 to %u", optarg, MAX_SPLIT);
        o.split = *n;
        break;
      }
      case WAIT: {
        auto s = sim::parse_number(arg, 3600);
        if (!s) usage_error("--wait: '%s' is not a number of seconds up to 3600", optarg);
        o.wait_s = *s;
        break;
      }
      case DMA_WRITE: {
        auto at = colon == std::string_view::npos ? std::nullopt : sim::parse_hex(arg.substr(0, colon), UINT32_MAX);
        if (!at) usage_error("--dma-write: expected OFF:HEX, an offset in hex and bytes in hex");
        o.dma_write.emplace(*at, parse_bytes(arg.substr(colon + 1)));
        break;
      }
      case DMA_READ: {
        auto at = colon == std::string_view::npos ? std::nullopt : sim::parse_hex(arg.substr(0, colon), UINT32_MAX);
        auto len = colon == std::string_view::npos ? std::nullopt : sim::parse_number(arg.substr(colon + 1), 65536);
        if (!at || !len || *len == 0) usage_error("--dma-read: expected OFF:LEN, an offset in hex and 1 to 65536 bytes");
        o.dma_read.emplace(*at, *len);
        break;
      }
      case MSI: o.msi = true; break;
      case STATS: o.stats = true; break;
      case HELP_OPTION:
        printf("%s%s%s%s", USAGE, HELP, sim::BOARD_ITEMS_HELP, HELP_TAIL);
        exit(0);
      case ':': usage_error("option '%s' needs a value", argv[optind - 1]);
      default: usage_error("unknown option '%s'", argv[optind - 1]);
    }
  }
  if (optind < argc) usage_error("unexpected argument '%s'", argv[optind]);
  return o;
}

// Connects to the tool's socket, waiting until it is there (at most
// `wait_s` seconds). Only a socket is connected to.
int connect_to_tool(unsigned wait_s) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", SIM_SOCKET_FILE);
  auto until = Clock::now() + std::chrono::seconds(wait_s);
  while (true) {
    struct stat st;
    if (lstat(SIM_SOCKET_FILE, &st) == 0) {
      if (!S_ISSOCK(st.st_mode)) fail("%s is not a socket", SIM_SOCKET_FILE);
      int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) fail("socket: %s", strerror(errno));
      if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) return fd;
      int e = errno;
      close(fd);
      if (e != ECONNREFUSED && e != ENOENT) fail("connect %s: %s", SIM_SOCKET_FILE, strerror(e));
    }
    if (Clock::now() >= until) fail("no tool listening on %s after %u s", SIM_SOCKET_FILE, wait_s);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// The connection to the tool: whole messages out, exact reads in.
class Link {
 public:
  explicit Link(int fd) : fd_(fd) {}

  // One message: the header, then `data_len` bytes of data (a read asks for
  // `length` bytes and carries none).
  void send(uint32_t type, uint32_t length, uint32_t lsw, uint32_t msw, const void *data, size_t data_len) {
    uint8_t wire[LU_HEADER_BYTES];
    lu_header_encode({type, length, lsw, msw}, wire);
    std::vector<uint8_t> message(wire, wire + LU_HEADER_BYTES);
    auto bytes = static_cast<const uint8_t *>(data);
    if (data_len) message.insert(message.end(), bytes, bytes + data_len);
    for (size_t sent = 0; sent < message.size();) {
      ssize_t n = ::send(fd_, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail("send to the tool: %s", strerror(errno));
      sent += n;
    }
  }

  // Reads exactly len bytes; false when the tool closed the connection
  // before the first of them, a failure when it closed in the middle.
  bool read(void *buf, size_t len) {
    size_t got = 0;
    while (got < len) {
      ssize_t n = ::read(fd_, static_cast<uint8_t *>(buf) + got, len - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) fail("read from the tool: %s", strerror(errno));
      if (n == 0) {
        if (got == 0) return false;
        fail("the tool closed the connection inside a message");
      }
      got += n;
    }
    return true;
  }

  int fd() const { return fd_; }

 private:
  int fd_;
};

class Server {
 public:
  Server(const Options &options, Link &link, sim::Board &card) : options_(options), link_(link), card_(card) {}

  // Serves until the tool closes the connection.
  void run() {
    while (true) {
      int timeout = -1;
      if (auto deadline = card_.next_deadline()) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
        timeout = wait < 0 ? 0 : static_cast<int>(wait) + 1;
      }
      pollfd p = {link_.fd(), POLLIN, 0};
      int n = poll(&p, 1, timeout);
      if (n < 0 && errno != EINTR) fail("poll: %s", strerror(errno));
      card_.advance(Clock::now());
      if (n > 0 && !serve_one()) return;
    }
  }

 private:
  // One message from the tool; false when the connection has ended.
  bool serve_one() {
    uint8_t wire[LU_HEADER_BYTES];
    if (!link_.read(wire, sizeof wire)) return false;
    lu_header_t h = lu_header_decode(wire);
    switch (h.type) {
      case CFG_READ: config_read(h); break;
      case CFG_WRITE: config_write(h); break;
      case MEM_WRITE: bar0_write(h); break;
      case READ_DATA: dma_read_answer(h); break;
      default: fail("message of unknown type %u from the tool", h.type);
    }
    return true;
  }

  void check_config(const lu_header_t &h, const char *what) {
    if (h.length == 0 || h.lsw > SIM_CONFIG_SPACE || h.length > SIM_CONFIG_SPACE - h.lsw)
      fail("%s of %u bytes at 0x%x: outside the 4096 bytes of configuration space", what, h.length, h.lsw);
  }

  void config_read(const lu_header_t &h) {
    check_config(h, "configuration read");
    std::vector<uint8_t> data(h.length);
    if (h.length == 1 || h.length == 2 || h.length == 4) {
      uint32_t v = card_.config_read(h.lsw, (int)h.length);
      memcpy(data.data(), &v, h.length);
    } else {
      for (uint32_t i = 0; i < h.length; i++) data[i] = (uint8_t)card_.config_read(h.lsw + i, 1);
    }
    // The answer in `split` parts (fewer when there are fewer bytes); every
    // part but the last says more follows.
    uint32_t parts = std::min<uint32_t>(options_.split, h.length), at = 0;
    for (uint32_t k = 0; k < parts; k++) {
      uint32_t n = h.length / parts + (k < h.length % parts ? 1 : 0);
      link_.send(READ_DATA, n, h.lsw + at, k + 1 < parts ? 1 : 0, data.data() + at, n);
      at += n;
    }
  }

  void config_write(const lu_header_t &h) {
    check_config(h, "configuration write");
    std::vector<uint8_t> data(h.length);
    if (!link_.read(data.data(), data.size())) fail("the tool closed the connection inside a message");
    if (h.length == 1 || h.length == 2 || h.length == 4) {
      uint32_t v = 0;
      memcpy(&v, data.data(), h.length);
      card_.config_write(h.lsw, v, (int)h.length);
    } else {
      for (uint32_t i = 0; i < h.length; i++) card_.config_write(h.lsw + i, data[i], 1);
    }
    link_.send(CFG_WRITE_DONE, 0, h.lsw, 0, nullptr, 0);
  }

  // A programmed-I/O write: the bytes go into the shared BAR0 image.
  void bar0_write(const lu_header_t &h) {
    uint32_t offset = h.lsw - SIM_BAR0_BUS;
    if (h.lsw < SIM_BAR0_BUS || h.length > SIM_MAX_PIO_WRITE || offset > SIM_BAR0_SIZE ||
        h.length > SIM_BAR0_SIZE - offset)
      fail("programmed-I/O write of %u bytes at 0x%x: outside BAR0", h.length, h.lsw);
    if (!link_.read(card_.chip().bar0().data() + offset, h.length))
      fail("the tool closed the connection inside a message");
    card_.bar0_written(offset, h.length);
  }

  void dma_read_answer(const lu_header_t &h) {
    if (!options_.dma_read || h.length != options_.dma_read->second)
      fail("READ_DATA of %u bytes from the tool, which no DMA read asked for", h.length);
    std::vector<uint8_t> data(h.length);
    if (!link_.read(data.data(), data.size())) fail("the tool closed the connection inside a message");
    printf("DMA read at 0x%x:", h.lsw);
    for (uint8_t b : data) printf(" %02x", b);
    printf("\n");
    fflush(stdout);
  }

  const Options &options_;
  Link &link_;
  sim::Board &card_;
};

}  // namespace

const sim::front_end::Program sim::front_end::program = {"simcard", USAGE, FAILED};

int main(int argc, char **argv) {
  Options options = parse_options(argc, argv);
  Link link(connect_to_tool(options.wait_s));

  // The tool has made the BAR0 image by now; the card takes it as it is.
  sim::BoardOptions board_options = options.card.options;
  board_options.bar0_file = SIM_SRAM_FILE;
  std::optional<sim::Board> card;
  try {
    card.emplace(board_options, SIM_BAR0_BUS, board_options.bar2_present ? SIM_BAR2_BUS : 0);
    if (!options.card.load.empty()) {
      card->eeprom().load(options.card.load);
      card->firmware().power_on();  // the card boots from the EEPROM it was given
    }
  } catch (const std::exception &e) {
    fail("cannot model the card: %s", e.what());
  }

  if (options.dma_write) {
    const auto &[at, bytes] = *options.dma_write;
    link.send(MEM_WRITE, (uint32_t)bytes.size(), at, 0, bytes.data(), bytes.size());
  }
  if (options.msi) {
    const uint8_t data[4] = {0, 0, SIM_MSI_DATA >> 8, SIM_MSI_DATA & 0xff};
    link.send(MEM_WRITE, 4, SIM_MSI_ADDRESS, 0, data, 4);
  }
  if (options.dma_read) link.send(MEM_READ, options.dma_read->second, options.dma_read->first, 0, nullptr, 0);

  Server(options, link, *card).run();

  if (options.stats)
    fprintf(stderr, "simcard: %llu configuration reads, %llu writes\n",
            (unsigned long long)card->counters.config_reads, (unsigned long long)card->counters.config_writes);
  if (!options.card.save.empty()) {
    try {
      card->eeprom().save(options.card.save);
    } catch (const std::exception &e) {
      fail("save=%s: %s", options.card.save.c_str(), e.what());
    }
  }
  return 0;
}
