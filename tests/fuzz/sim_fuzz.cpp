// Arbitrary bytes as what a simulator sends to the simulator method's
// receiver: message after message, each handled by the function the
// receiver thread calls, until one is refused or the bytes run out. Nothing
// may be read or written outside the DMA area, the pending read's
// destination or the input; a refused message must say why.
//
// Input: [DMA area size / 64] [request in flight] [messages...]. The request
// byte: 0 none, 1 a configuration write, otherwise a configuration read of
// (byte % 8) bytes; it is made again each time the receiver completes it.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "pci_sim.h"

namespace {

void require(bool ok) {
  if (!ok) __builtin_trap();
}

class BufferLink final : public sim_link {
 public:
  BufferLink(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  bool read(void *buf, size_t len) override {
    if (len > size_ - at_) {
      at_ = size_;
      return false;
    }
    memcpy(buf, data_ + at_, len);
    at_ += len;
    return true;
  }

  // Every byte handed over is looked at, so a read past its source is seen.
  void send(const lu_header_t &h, const void *data, size_t len) override {
    require(h.type == READ_DATA && h.length == len);
    const auto *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < len; i++) checksum_ += p[i];
  }

  void complete() override { completions_++; }

  bool next_header(lu_header_t *h) {
    uint8_t wire[LU_HEADER_BYTES];
    if (!read(wire, sizeof wire)) return false;
    *h = lu_header_decode(wire);
    return true;
  }

  int completions_ = 0;

 private:
  const uint8_t *data_;
  size_t size_, at_ = 0;
  unsigned checksum_ = 0;
};

// The request in flight, with a destination of exactly the size asked for.
struct Request {
  sim_request kind;
  size_t length;
  std::unique_ptr<uint8_t[]> destination;

  void make(BufferLink &link) {
    destination = std::make_unique<uint8_t[]>(length ? length : 1);
    link.read_dst = destination.get();
    link.read_left = length;
    link.request = kind;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  const size_t dma_size = size_t(data[0]) * 64;
  const uint8_t request_byte = data[1];
  BufferLink link(data + 2, size - 2);
  // Exactly the area's size, so that one byte past it is seen.
  auto dma = std::make_unique<uint8_t[]>(dma_size ? dma_size : 1);
  link.dma = dma.get();
  link.dma_size = dma_size;

  Request request{request_byte == 0   ? sim_request::none
                  : request_byte == 1 ? sim_request::cfg_write
                                      : sim_request::cfg_read,
                  request_byte >= 2 ? size_t(request_byte % 8) : 0, nullptr};
  request.make(link);

  lu_header_t h;
  while (link.next_header(&h)) {
    const sim_request before = link.request;
    const int completions = link.completions_;
    sim_fault fault;
    if (!sim_handle_message(link, h, &fault)) {
      size_t n = strnlen(fault.text, sizeof fault.text);
      require(n > 0 && n < sizeof fault.text);
      require((fault.file == nullptr) == (fault.line == 0));
      break;
    }
    if (link.completions_ != completions) {
      require(link.completions_ == completions + 1 && before != sim_request::none);
      require(link.request == sim_request::none);
      request.make(link);
    } else {
      require(link.request == before);
    }
    if (request.kind == sim_request::cfg_read) {
      require(link.read_left <= request.length);
      require(link.read_dst == request.destination.get() + (request.length - link.read_left));
    }
  }
  return 0;
}
