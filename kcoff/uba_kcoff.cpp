// uba_kcoff: converts a control-program object file into the raw SRAM image
// the loader writes to a NIC (byte i is processor address i).
//
//   uba_kcoff -o OUT OBJECT
//
// Exit status 0 on success; otherwise a line on standard error saying what
// failed, and the error's code (2 for a wrong command line).

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "kcoff.h"

namespace {

[[noreturn]] void usage() {
  fprintf(stderr, "usage: uba_kcoff -o OUT OBJECT\n");
  exit(2);
}

[[noreturn]] void fail(int code, const char *what, const char *path) {
  fprintf(stderr, "uba_kcoff: %s %s: %s\n", what, path, strerror(code));
  exit(code);
}

}  // namespace

int main(int argc, char **argv) {
  const char *out = nullptr;
  for (int opt; (opt = getopt(argc, argv, "o:")) != -1;) {
    if (opt != 'o') usage();
    out = optarg;
  }
  if (!out || optind != argc - 1) usage();
  const char *object = argv[optind];

  kcoff *k;
  if (int r = kcoff_from_filename(&k, object)) fail(r, "cannot read object file", object);
  uint8_t *image;
  uint32_t len;
  if (int r = kcoff_sram_image(k, &image, &len)) fail(r, "cannot build the SRAM image of", object);

  // The output may be a file the caller created for us; never a link planted in its place.
  int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) fail(errno, "cannot create", out);
  for (uint32_t done = 0; done < len;) {
    ssize_t n = write(fd, image + done, len - done);
    if (n <= 0) fail(n < 0 ? errno : EIO, "cannot write", out);
    done += n;
  }
  if (close(fd) != 0) fail(errno, "cannot write", out);
  free(image);
  kcoff_free(k);
  return 0;
}
