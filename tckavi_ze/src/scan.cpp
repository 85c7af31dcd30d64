// The scan images that the scan_read and scan_write operations move, shared
// by every handle of the process.

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tckavi.h"

namespace {

// Total widths of the two chains; the read buffer holds both, rounded up to
// whole bytes.
constexpr unsigned READ_CHAIN_BITS = 216, WRITE_CHAIN_BITS = 420;

}  // namespace

unsigned scan_wdata[SCAN_WRITE_FIELDS];
unsigned scan_rdata[SCAN_READ_FIELDS + SCAN_WRITE_FIELDS];
unsigned char *read_scan_buffer;
unsigned read_scan_bytes;

int scan_init(void) {
  memset(scan_wdata, 0, sizeof scan_wdata);
  memset(scan_rdata, 0, sizeof scan_rdata);
  read_scan_bytes = (READ_CHAIN_BITS + WRITE_CHAIN_BITS + 7) / 8;
  // Every handle calls this; the buffer is made once and reused, not one per
  // handle.
  if (!read_scan_buffer) read_scan_buffer = static_cast<unsigned char *>(malloc(read_scan_bytes));
  if (!read_scan_buffer) return ENOMEM;
  memset(read_scan_buffer, 0, read_scan_bytes);
  return 0;
}
