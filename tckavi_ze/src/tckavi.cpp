// The board handle: its creation, the opens, close and destroy, the four
// operation tables, and the dispatchers that call through the table in
// force.

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tckavi.h"

namespace {

// A table whose every operation is unsupported. The JTAG, PCI and m4
// backends are not in this build yet, so their tables are this with
// `initialized` set.
constexpr board_functions unsupported(int initialized) {
  return {
      .initialized = initialized,
      .board_set = return_einval,
      .close = return_einval,
      .destroy = return_einval,
      .jtag_reset = return_einval,
      .scan_read = return_einval,
      .scan_write = return_einval,
      .kavi_cpu_reset = return_einval,
      .kavi_mem_reset = return_einval,
      .kavi_read_byte = return_einval,
      .kavi_read_half = return_einval,
      .kavi_read_word = return_einval,
      .kavi_read_doubleword = return_einval,
      .kavi_read_clock = return_einval,
      .kavi_sram_size = return_einval,
      .kavi_write_clock = return_einval,
      .kavi_write_byte = return_einval,
      .kavi_write_half = return_einval,
      .kavi_write_mem = return_einval,
      .kavi_write_word = return_einval,
      .ulve_pci_locate = return_einval,
      .ulve_pci_snapshot = return_einval,
      .sram_read_buffer = return_einval,
      .sram_write_buffer = return_einval,
  };
}

bool is_open(const board *bp) { return bp->fn.initialized != 0; }

}  // namespace

const board_functions board_functions_closed = unsupported(0);
const board_functions board_functions_jtag = unsupported(1);
const board_functions board_functions_pci = unsupported(1);
const board_functions board_functions_m4 = unsupported(1);

int tckavi(board **bpp) {
  // Two 1 MiB stream buffers are inline: the record is too big for a stack.
  auto *bp = static_cast<board *>(calloc(1, sizeof(board)));
  if (!bp) return ENOMEM;
  bp->fn = board_functions_closed;
  bp->jtag_endpoint = const_cast<jtag_endpoint *>(&jtag_endpoint_null);
  bp->sram_size = TCKAVI_DEFAULT_SRAM_SIZE;
  // Without the scan read buffer no scan could work; a handle that would
  // fail later is refused now.
  if (int rc = scan_init()) {
    free(bp);
    return rc;
  }
  *bpp = bp;
  return 0;
}

// The opens refuse a handle that is already open: opening over it would drop
// the endpoint in use without destroying it. The backends and the JTAG
// endpoints they need are not in this build yet, so past that check every
// open answers ENOSYS and the handle stays closed, its endpoint the null one.

int tckavi_board_open(board *bp, const char *) { return is_open(bp) ? EINVAL : ENOSYS; }
int tckavi_jtag_open(board *bp, const char *) { return is_open(bp) ? EINVAL : ENOSYS; }
int tckavi_buffer_open(board *bp) { return is_open(bp) ? EINVAL : ENOSYS; }
int tckavi_pci_open(board *bp, unsigned) { return is_open(bp) ? EINVAL : ENOSYS; }
int tckavi_m4_open(board *bp, const char *host, int slot, int which_2z) {
  return tckavi_m4_open_ex(bp, host, slot, which_2z, 1);
}
int tckavi_m4_open_ex(board *bp, const char *, int, int, int) { return is_open(bp) ? EINVAL : ENOSYS; }

int tckavi_buffer_get(board *bp, unsigned char **ptr, unsigned long *len) {
  if (strcmp(bp->jtag_endpoint->class_name, JTAG_ENDPOINT_BUFFER_CLASS) != 0) return EINVAL;
  auto *ep = reinterpret_cast<const jtag_endpoint_buffer *>(bp->jtag_endpoint);
  if (ptr) *ptr = ep->buffer;
  if (len) *len = ep->pos;
  return 0;
}

int tckavi_buffer_append(board *bp, const unsigned char *ptr, unsigned long len) {
  jtag_endpoint *ep = bp->jtag_endpoint;
  for (unsigned long i = 0; i < len; i++)
    if (int rc = ep->write_byte(ep, ptr[i])) return rc;
  return 0;
}

int tckavi_close(board *bp) {
  if (int rc = bp->fn.close(bp)) return rc;
  bp->fn = board_functions_closed;
  return 0;
}

int tckavi_jtag_close(board *bp) { return tckavi_close(bp); }

int tckavi_destroy(board *bp) { return bp->fn.destroy(bp); }

int tckavi_board_set(board *bp, int bitnum, int value) { return bp->fn.board_set(bp, bitnum, value); }
int tckavi_jtag_reset(board *bp) { return bp->fn.jtag_reset(bp); }
int tckavi_scan_read(board *bp) { return bp->fn.scan_read(bp); }
int tckavi_scan_write(board *bp) { return bp->fn.scan_write(bp); }
int tckavi_kavi_cpu_reset(board *bp, unsigned reset) { return bp->fn.kavi_cpu_reset(bp, reset); }
int tckavi_kavi_mem_reset(board *bp, unsigned reset) { return bp->fn.kavi_mem_reset(bp, reset); }
int tckavi_kavi_read_byte(board *bp, unsigned addr, unsigned char *value) {
  return bp->fn.kavi_read_byte(bp, addr, value);
}
int tckavi_kavi_read_half(board *bp, unsigned addr, unsigned short *value) {
  return bp->fn.kavi_read_half(bp, addr, value);
}
int tckavi_kavi_read_word(board *bp, unsigned addr, unsigned *value) { return bp->fn.kavi_read_word(bp, addr, value); }
int tckavi_kavi_read_doubleword(board *bp, unsigned addr, uint64_t *value) {
  return bp->fn.kavi_read_doubleword(bp, addr, value);
}
int tckavi_kavi_read_clock(board *bp, unsigned char *ext_delay, unsigned char *int_delay) {
  return bp->fn.kavi_read_clock(bp, ext_delay, int_delay);
}
int tckavi_kavi_sram_size(board *bp, unsigned size_in_bytes) { return bp->fn.kavi_sram_size(bp, size_in_bytes); }
int tckavi_kavi_write_clock(board *bp, int ext_delay, int int_delay) {
  return bp->fn.kavi_write_clock(bp, ext_delay, int_delay);
}
int tckavi_kavi_write_byte(board *bp, unsigned addr, int value) { return bp->fn.kavi_write_byte(bp, addr, value); }
int tckavi_kavi_write_half(board *bp, unsigned addr, int value) { return bp->fn.kavi_write_half(bp, addr, value); }
int tckavi_kavi_write_mem(board *bp, unsigned addr, const void *buf, unsigned len) {
  return bp->fn.kavi_write_mem(bp, addr, buf, len);
}
int tckavi_kavi_write_word(board *bp, unsigned addr, unsigned value) {
  return bp->fn.kavi_write_word(bp, addr, value);
}
int tckavi_ulve_pci_locate(board *bp, unsigned resource_id, unsigned *addr, unsigned *len) {
  return bp->fn.ulve_pci_locate(bp, resource_id, addr, len);
}
int tckavi_ulve_pci_snapshot(board *bp, unsigned *addr, unsigned *len) {
  return bp->fn.ulve_pci_snapshot(bp, addr, len);
}
int tckavi_sram_read_buffer(board *bp, unsigned addr, void *buf, unsigned len) {
  return bp->fn.sram_read_buffer(bp, addr, buf, len);
}
int tckavi_sram_write_buffer(board *bp, unsigned addr, const void *buf, unsigned len) {
  return bp->fn.sram_write_buffer(bp, addr, buf, len);
}
