// Reads a whole file into memory: object files, and the boot ROM file.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "kcoff_internal.h"

namespace {

struct file_closer {
  void operator()(FILE *f) const { fclose(f); }
};

// The code of a failed stream operation: the stream's error indication, else
// what errno says, else EIO.
kcoff_status_t stream_failure(FILE *f) {
  if (int e = ferror(f)) return e;
  return errno ? errno : EIO;
}

}  // namespace

kcoff_status_t kcoff_buffer_file(const char *path, uint8_t **buffer, uint32_t *size) {
  if (path == nullptr || buffer == nullptr || size == nullptr) return EINVAL;
  // Only a regular file is read. The open does not block, so a FIFO or a
  // device planted at the path cannot hold the program up; what it is
  // decides before anything is read from it.
  errno = 0;
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno ? errno : EIO;
  struct stat st;
  int not_regular = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : !S_ISREG(st.st_mode) ? EINVAL : 0;
  if (not_regular) {
    close(fd);
    return not_regular;
  }
  std::unique_ptr<FILE, file_closer> f(fdopen(fd, "r"));
  if (!f) {
    int e = errno;
    close(fd);
    return e ? e : EIO;
  }
  errno = 0;
  if (fseek(f.get(), 0, SEEK_END) != 0) return errno ? errno : EIO;
  errno = 0;
  long length = ftell(f.get());
  if (length < 0) return stream_failure(f.get());
  if (length == 0) return EINVAL;
  if ((unsigned long)length > UINT32_MAX) return EFBIG;
  std::unique_ptr<uint8_t, decltype(&free)> data(static_cast<uint8_t *>(calloc(length, 1)), &free);
  if (!data) return ENOMEM;
  errno = 0;
  if (fseek(f.get(), 0, SEEK_SET) != 0) return stream_failure(f.get());
  errno = 0;
  if (fread(data.get(), 1, length, f.get()) != (size_t)length) return stream_failure(f.get());
  *buffer = data.release();
  *size = (uint32_t)length;
  return 0;
}
