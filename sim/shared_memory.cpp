#include "shared_memory.h"

#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace sim {

SharedMemory::SharedMemory(const char *name, size_t size) : size_(size) {
  fd_ = memfd_create(name, MFD_CLOEXEC);
  if (fd_ < 0 || ftruncate(fd_, size) != 0) throw std::runtime_error(std::string("memfd for ") + name);
  void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (map == MAP_FAILED) throw std::runtime_error(std::string("mapping ") + name);
  data_ = static_cast<uint8_t *>(map);
}

SharedMemory::~SharedMemory() {
  munmap(data_, size_);
  close(fd_);
}

std::string SharedMemory::path() const {
  return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd_);
}

}  // namespace sim
