// Memory that the model and another process map at the same time: the
// BARs of a modeled board. Backed by a memfd, so nothing is left behind, or
// by a file that a peer shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

class SharedMemory {
 public:
  SharedMemory(const char *name, size_t size);
  // Over the regular file at `path`, created when absent and made at least
  // `size` bytes long; its content stays. A symbolic link or anything but a
  // regular file there is refused. Failures throw std::runtime_error.
  struct File {
    std::string path;
  };
  SharedMemory(const File &file, size_t size);
  ~SharedMemory();
  SharedMemory(const SharedMemory &) = delete;
  SharedMemory &operator=(const SharedMemory &) = delete;

  uint8_t *data() const { return data_; }
  size_t size() const { return size_; }
  int fd() const { return fd_; }
  // A path through which another process of this host opens the memory.
  std::string path() const;

 private:
  void map(const std::string &what);

  int fd_;
  size_t size_;
  uint8_t *data_;
};

}  // namespace sim
