#include "sim_peer.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool read_full(int fd, void *buf, size_t len) {
  auto *p = static_cast<uint8_t *>(buf);
  while (len) {
    ssize_t n = read(fd, p, len);
    if (n <= 0) return false;
    p += n;
    len -= n;
  }
  return true;
}

bool write_full(int fd, const void *buf, size_t len) {
  auto *p = static_cast<const uint8_t *>(buf);
  while (len) {
    ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    len -= n;
  }
  return true;
}

// Waits up to `limit` for the stop pipe; true when it was written.
bool stop_requested(int stop_fd, int limit_ms) {
  pollfd p = {stop_fd, POLLIN, 0};
  return poll(&p, 1, limit_ms) > 0;
}

}  // namespace

void SimPeer::start() {
  if (pipe2(stop_, O_CLOEXEC) != 0) abort();
  thread_ = std::thread([this] { run(); });
}

SimPeer::~SimPeer() {
  if (!thread_.joinable()) return;
  char c = 0;
  if (write(stop_[1], &c, 1) != 1) abort();
  thread_.join();
  close(stop_[0]);
  close(stop_[1]);
  // The connection itself stays open: the host's receiver must not see an
  // end of data that the test did not ask for.
}

bool SimPeer::connected() {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, WAIT_LIMIT, [&] { return connected_; });
}

void SimPeer::send(const lu_header_t &h, const std::string &data) {
  std::string message(LU_HEADER_BYTES, '\0');
  lu_header_encode(h, reinterpret_cast<uint8_t *>(message.data()));
  message += data;
  std::lock_guard lock(send_mu_);
  write_full(fd_, message.data(), message.size());
}

std::optional<SimMessage> SimPeer::next() {
  std::unique_lock lock(mu_);
  if (!cv_.wait_for(lock, WAIT_LIMIT, [&] { return !received_.empty(); })) return std::nullopt;
  SimMessage m = std::move(received_.front());
  received_.pop_front();
  return m;
}

std::optional<std::string> SimPeer::dma_read(uint32_t offset, uint32_t length) {
  send({MEM_READ, length, offset, 0});
  std::optional<SimMessage> m = next();
  if (!m || m->h.type != READ_DATA || m->h.lsw != offset || m->h.length != length) return std::nullopt;
  return m->data;
}

std::vector<SimMessage> SimPeer::config_requests() {
  std::lock_guard lock(mu_);
  return config_log_;
}

void SimPeer::close_connection() { shutdown(fd_, SHUT_RDWR); }

bool SimPeer::read_message(SimMessage *m) {
  uint8_t wire[LU_HEADER_BYTES];
  if (!read_full(fd_, wire, sizeof wire)) return false;
  m->h = lu_header_decode(wire);
  // A configuration read's length is what it asks for; no data follow it.
  size_t data = m->h.type == CFG_READ ? 0 : m->h.length;
  m->data.assign(data, '\0');
  return read_full(fd_, m->data.data(), data);
}

void SimPeer::answer_read(const lu_header_t &h) {
  size_t start = std::min<size_t>(h.lsw, cfg.size()), end = std::min<size_t>(start + h.length, cfg.size());
  std::string bytes(cfg.begin() + start, cfg.begin() + end);
  bytes.append(extra_read_bytes, '\xee');
  if (!split_reads || bytes.size() < 2) {
    send({READ_DATA, (uint32_t)bytes.size(), h.lsw, 0}, bytes);
    return;
  }
  send({READ_DATA, 2, h.lsw, 1}, bytes.substr(0, 2));
  // The host answers a DMA read only once it has taken in what came before.
  send({MEM_READ, 4, 0, 0});
  SimMessage answer;
  if (!read_message(&answer)) return;
  if (between_parts) between_parts();
  send({READ_DATA, (uint32_t)bytes.size() - 2, h.lsw + 2, 0}, bytes.substr(2));
}

void SimPeer::run() {
  auto deadline = std::chrono::steady_clock::now() + WAIT_LIMIT;
  int fd = -1;
  while (fd < 0) {
    if (std::chrono::steady_clock::now() > deadline) return;
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
      close(fd);
      fd = -1;
      if (stop_requested(stop_[0], 10)) return;  // the host is not listening yet
    }
  }
  {
    std::lock_guard lock(mu_);
    fd_ = fd;
    connected_ = true;
  }
  cv_.notify_all();

  for (;;) {
    // Woken by the host's next message, or by the test ending.
    pollfd p[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0 || p[1].revents) return;
    SimMessage m;
    if (!read_message(&m)) return;
    if (m.h.type == CFG_READ || m.h.type == CFG_WRITE) {
      std::lock_guard lock(mu_);
      config_log_.push_back(m);
    }
    if (m.h.type == CFG_READ) {
      answer_read(m.h);
    } else if (m.h.type == CFG_WRITE) {
      if (m.h.lsw < cfg.size()) memcpy(&cfg[m.h.lsw], m.data.data(), std::min(m.data.size(), cfg.size() - m.h.lsw));
      send({CFG_WRITE_DONE, 0, m.h.lsw, 0});
    } else {
      std::lock_guard lock(mu_);
      received_.push_back(std::move(m));
      cv_.notify_all();
    }
  }
}
