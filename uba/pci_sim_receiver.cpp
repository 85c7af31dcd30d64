// The simulator method's receiver: what the host does with each message the
// simulator sends. The simulator is another program, so nothing it says is
// trusted: every length and address is checked before a byte is read or
// written for it.

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "pci_sim.h"

namespace {

__attribute__((format(printf, 4, 5))) bool fault_at(sim_fault *f, const char *file, int line, const char *fmt, ...) {
  f->file = file;
  f->line = line;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(f->text, sizeof f->text, fmt, ap);
  va_end(ap);
  return false;
}

// A library error, reported with the line of the check that found it.
#define LIBRARY_FAULT(f, ...) fault_at((f), __FILE__, __LINE__, __VA_ARGS__)
// A message of its own, printed as it is.
#define PLAIN_FAULT(f, ...) fault_at((f), nullptr, 0, __VA_ARGS__)

bool inside(uint32_t offset, uint32_t length, size_t size) { return (uint64_t)offset + length <= size; }

bool read_data(sim_link &link, void *buf, size_t len, const lu_header_t &h, sim_fault *f) {
  return link.read(buf, len) ||
         LIBRARY_FAULT(f, "fake_pci:message type %u, length 0x%x:premature end of data", h.type, h.length);
}

bool pass_over_data(sim_link &link, const lu_header_t &h, sim_fault *f) {
  uint8_t scratch[4096];
  for (uint32_t left = h.length; left;) {
    uint32_t n = std::min<uint32_t>(left, sizeof scratch);
    if (!read_data(link, scratch, n, h, f)) return false;
    left -= n;
  }
  return true;
}

// Hands the completion of the request in flight to the thread waiting for it.
void complete(sim_link &link) {
  link.request.store(sim_request::none, std::memory_order_relaxed);
  link.complete();
}

bool dma_read(sim_link &link, const lu_header_t &h, sim_fault *f) {
  if (!inside(h.lsw, h.length, link.dma_size))
    return PLAIN_FAULT(f, "fake_pci:MEM_READ(lsw=0x%x,length=%x), max=0x%x\n", h.lsw, h.length,
                       (unsigned)link.dma_size);
  lu_header_t reply = h;
  reply.type = READ_DATA;
  link.send(reply, link.dma + h.lsw, h.length);
  return true;
}

bool interrupt(sim_link &link, const lu_header_t &h, sim_fault *f) {
  if (h.length != 4) return LIBRARY_FAULT(f, "fake_pci:msi of %u bytes, not 4", h.length);
  uint8_t data[4];
  if (!read_data(link, data, sizeof data, h, f)) return false;
  uint32_t value = uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3];
  if (value != SIM_MSI_DATA) return LIBRARY_FAULT(f, "fake_pci:msi data 0x%x, not 0x%x", value, SIM_MSI_DATA);
  return true;  // the interrupt has no further effect
}

bool dma_write(sim_link &link, const lu_header_t &h, sim_fault *f) {
  if (!inside(h.lsw, h.length, link.dma_size))
    return PLAIN_FAULT(f, "fake_pci:MEM_WRITE(lsw=0x%x,length=%x), max=0x%x\n", h.lsw, h.length,
                       (unsigned)link.dma_size);
  return read_data(link, link.dma + h.lsw, h.length, h, f);
}

bool write_done(sim_link &link, const lu_header_t &h, sim_fault *f) {
  if (link.request.load(std::memory_order_acquire) != sim_request::cfg_write)
    return LIBRARY_FAULT(f, "fake_pci:CFG_WRITE_DONE without a configuration write in flight");
  if (!pass_over_data(link, h, f)) return false;
  complete(link);
  return true;
}

bool read_answer(sim_link &link, const lu_header_t &h, sim_fault *f) {
  if (link.request.load(std::memory_order_acquire) != sim_request::cfg_read)
    return LIBRARY_FAULT(f, "fake_pci:READ_DATA without a configuration read in flight");
  if (h.length > link.read_left)
    return LIBRARY_FAULT(f, "fake_pci:READ_DATA of %u bytes, %zu asked for", h.length, link.read_left);
  if (!read_data(link, link.read_dst, h.length, h, f)) return false;
  link.read_dst += h.length;
  link.read_left -= h.length;
  if (h.msw == 0) complete(link);
  return true;
}

}  // namespace

bool sim_handle_message(sim_link &link, const lu_header_t &h, sim_fault *fault) {
  switch (h.type) {
    case MEM_READ: return dma_read(link, h, fault);
    case MEM_WRITE: return h.lsw == SIM_MSI_ADDRESS ? interrupt(link, h, fault) : dma_write(link, h, fault);
    case CFG_WRITE_DONE: return write_done(link, h, fault);
    case READ_DATA: return read_answer(link, h, fault);
    // Not for the host: ignored. A read request carries no data; any other
    // message is followed by `length` bytes of them.
    case CFG_READ: return true;
    default: return pass_over_data(link, h, fault);
  }
}
