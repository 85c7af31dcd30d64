// The host interfaces that the library reaches by fixed name: file paths
// under /sys, /proc and /dev, the kernel release, the card driver's requests
// and the x86 I/O ports.

#include <cstdarg>
#include <cstdio>
#include <sys/io.h>
#include <sys/ioctl.h>

#include "uba_internal.h"

namespace {

int host_ioctl(int fd, unsigned long request, void *arg) { return ioctl(fd, request, arg); }

uint32_t host_port_in(unsigned port, int width) {
  switch (width) {
    case 1: return inb(port);
    case 2: return inw(port);
    default: return inl(port);
  }
}

void host_port_out(unsigned port, uint32_t value, int width) {
  switch (width) {
    case 1: outb(value, port); break;
    case 2: outw(value, port); break;
    default: outl(value, port); break;
  }
}

}  // namespace

uba_host_t uba_host = {"", nullptr, host_ioctl, iopl, host_port_in, host_port_out};

void uba_host_path(char *buf, size_t size, const char *fmt, ...) {
  int n = snprintf(buf, size, "%s", uba_host.root);
  va_list ap;
  va_start(ap, fmt);
  if (n >= 0 && (size_t)n < size) n += vsnprintf(buf + n, size - n, fmt, ap);
  va_end(ap);
  handle_error(n < 0 || (size_t)n >= size, "path too long: %s", buf);
}
