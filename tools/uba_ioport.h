// x86 I/O port access for the tools: the right to use the ports, and the
// port accesses of 1, 2 and 4 bytes. The ports are reached through the
// library's host interface, so tests can stand in for them. Failures stop
// the program and are reported from this header.
#pragma once

#include <cerrno>
#include <cstring>

#include "uba.h"
#include "uba_internal.h"

// Takes the right to use every I/O port (iopl 3).
inline void uba_ioport_open() {
  if (uba_host.iopl(3) < 0) {
    int e = errno;
    handle_error(1, "iopl failed: cannot get access to io ports:%s\n", strerror(e));
  }
}

inline uint32_t uba_port_in(unsigned port, int width) { return uba_host.port_in(port, width); }
inline void uba_port_out(unsigned port, uint32_t value, int width) { uba_host.port_out(port, value, width); }
