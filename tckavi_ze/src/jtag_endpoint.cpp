// The endpoint record's common part: the null endpoint that a closed handle
// streams into, and the start every endpoint kind is built from.

#include "tckavi.h"

namespace {

// Everything fails on the null endpoint: nothing is open to receive it.
int null_destroy(jtag_endpoint *) { return 1; }
int null_flush(jtag_endpoint *) { return 1; }
int null_rpc(jtag_endpoint *, int, const unsigned char *, unsigned, unsigned char *, unsigned, unsigned *) {
  return 1;
}
int null_write_byte(jtag_endpoint *, unsigned char) { return 1; }

// A new endpoint has nothing to deliver yet, so its flush succeeds.
int nothing_to_flush(jtag_endpoint *) { return 0; }

}  // namespace

const jtag_endpoint jtag_endpoint_null = {
    .class_name = "",
    .destroy = null_destroy,
    .flush = null_flush,
    .rpc = null_rpc,
    .write_byte = null_write_byte,
    .jtag_endpoint_rabbit_send_result = 0,
};

void jtag_endpoint_init(jtag_endpoint *ep) {
  *ep = jtag_endpoint_null;
  ep->flush = nothing_to_flush;
}
