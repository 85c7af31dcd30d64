// Serves a HostTree as a FUSE file system (low-level API), one request at a
// time from the caller's own loop, so that the model is only ever touched
// from one thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host_tree.h"

struct fuse_session;
struct fuse_buf;

namespace sim {

class HostFs {
 public:
  explicit HostFs(const HostTree &tree);
  ~HostFs();
  HostFs(const HostFs &) = delete;
  HostFs &operator=(const HostFs &) = delete;

  // Mounts the tree at `mountpoint`; throws std::runtime_error with the
  // reason. `debug` makes the FUSE library log every request on stderr.
  void mount(const char *mountpoint, bool debug = false);
  // The descriptor to poll for requests.
  int fd() const { return fd_; }
  // Receives and answers one request. False when the file system has gone
  // (unmounted or aborted).
  bool serve_one();

  const HostTree &tree() const { return tree_; }

  // The largest configuration space served: what one read or write can hold.
  static constexpr unsigned MAX_CONFIG = 4096;
  uint8_t io_buffer[MAX_CONFIG];
  // The most of physical memory one read or write moves (the kernel asks
  // for less); a longer request is served in part.
  static constexpr size_t MAX_MEMORY_TRANSFER = 0x100000;
  std::vector<uint8_t> memory_buffer;

 private:
  const HostTree &tree_;
  fuse_session *session_ = nullptr;
  int fd_ = -1;
  fuse_buf *request_;  // the request buffer, kept across requests
};

}  // namespace sim
