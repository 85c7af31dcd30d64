#include "shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace sim {

SharedMemory::SharedMemory(const char *name, size_t size) : size_(size) {
  fd_ = memfd_create(name, MFD_CLOEXEC);
  if (fd_ < 0 || ftruncate(fd_, size) != 0) throw std::runtime_error(std::string("memfd for ") + name);
  map(name);
}

SharedMemory::SharedMemory(const File &file, size_t size) : size_(size) {
  const std::string &path = file.path;
  // Without following a link planted at the path, and without blocking on
  // a FIFO found there.
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd_ < 0) throw std::runtime_error("cannot open " + path + ": " + strerror(errno));
  struct stat st;
  const char *wrong = nullptr;
  if (fstat(fd_, &st) != 0)
    wrong = strerror(errno);
  else if (!S_ISREG(st.st_mode))
    wrong = "not a regular file";
  else if ((uint64_t)st.st_size < size && ftruncate(fd_, size) != 0)
    wrong = strerror(errno);
  if (wrong) {
    close(fd_);
    throw std::runtime_error(path + ": " + wrong);
  }
  map(path);
}

void SharedMemory::map(const std::string &what) {
  void *map = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (map == MAP_FAILED) {
    close(fd_);
    throw std::runtime_error("mapping " + what);
  }
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
