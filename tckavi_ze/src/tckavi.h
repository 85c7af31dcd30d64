// tckavi: one handle for one Kavi processor, however the board is reached.
//
// A handle is created closed with `tckavi`, opened with one of the open
// functions (which copies that backend's operation table into the handle),
// driven through the tckavi_ dispatchers, and ended with `tckavi_close` or
// `tckavi_destroy`. Every function returns an errno-style status: 0 success,
// 22 for a closed handle, an unsupported operation or a bad argument, 12 when
// memory runs out, otherwise the backend's or endpoint's own code.
#pragma once

#include <cerrno>
#include <cstdint>

struct board;
struct kcoff;
struct pci_dev;

// ---------------------------------------------------------------------------
// Operation table
// ---------------------------------------------------------------------------

// One int and 23 operations in fixed slot order; `bp` is the handle.
struct board_functions {
  int initialized;  // 0 in the closed table, 1 in the backends'
  int (*board_set)(board *bp, int bitnum, int value);
  int (*close)(board *bp);
  int (*destroy)(board *bp);
  int (*jtag_reset)(board *bp);
  int (*scan_read)(board *bp);
  int (*scan_write)(board *bp);
  int (*kavi_cpu_reset)(board *bp, unsigned reset);
  int (*kavi_mem_reset)(board *bp, unsigned reset);
  int (*kavi_read_byte)(board *bp, unsigned addr, unsigned char *value);
  int (*kavi_read_half)(board *bp, unsigned addr, unsigned short *value);
  int (*kavi_read_word)(board *bp, unsigned addr, unsigned *value);
  int (*kavi_read_doubleword)(board *bp, unsigned addr, uint64_t *value);
  int (*kavi_read_clock)(board *bp, unsigned char *ext_delay, unsigned char *int_delay);
  int (*kavi_sram_size)(board *bp, unsigned size_in_bytes);
  int (*kavi_write_clock)(board *bp, int ext_delay, int int_delay);  // each used as a byte
  int (*kavi_write_byte)(board *bp, unsigned addr, int value);       // low 8 bits
  int (*kavi_write_half)(board *bp, unsigned addr, int value);       // low 16 bits
  int (*kavi_write_mem)(board *bp, unsigned addr, const void *buf, unsigned len);
  int (*kavi_write_word)(board *bp, unsigned addr, unsigned value);
  int (*ulve_pci_locate)(board *bp, unsigned resource_id, unsigned *addr, unsigned *len);
  int (*ulve_pci_snapshot)(board *bp, unsigned *addr, unsigned *len);
  int (*sram_read_buffer)(board *bp, unsigned addr, void *buf, unsigned len);
  int (*sram_write_buffer)(board *bp, unsigned addr, const void *buf, unsigned len);
};

// The operation a table does not support: 22, and nothing done. One
// instance per slot type, so that every slot is called through its own type.
template <class... Args>
int return_einval(board *, Args...) {
  return EINVAL;
}

extern const board_functions board_functions_closed;
extern const board_functions board_functions_jtag;
extern const board_functions board_functions_pci;
extern const board_functions board_functions_m4;

// ---------------------------------------------------------------------------
// JTAG stream types
// ---------------------------------------------------------------------------

// One JTAG-master operation, executed `mult` times in a row.
struct jtag_triplet {
  jtag_triplet *next;  // in the chain, or in the free list
  uint32_t data;       // bits 23-0 are sent; bit 4 is always set
  int mult;
};

// Where an encoded JTAG byte stream goes. Concrete endpoints begin with this
// record and add their own fields.
struct jtag_endpoint {
  const char *class_name;
  int (*destroy)(jtag_endpoint *ep);
  int (*flush)(jtag_endpoint *ep);
  // A request that returns data: `olen` bytes out, up to `ilen` bytes back
  // into `ibuf`, their count through `bytes_read` when it is not null.
  int (*rpc)(jtag_endpoint *ep, int type, const unsigned char *obuf, unsigned olen, unsigned char *ibuf,
             unsigned ilen, unsigned *bytes_read);
  int (*write_byte)(jtag_endpoint *ep, unsigned char d);
  unsigned char jtag_endpoint_rabbit_send_result;  // reply to a rabbit's last flush; 0 for the other kinds
};

// The class names of the endpoint kinds; other code tells a kind by its name.
constexpr char JTAG_ENDPOINT_FILE_CLASS[] = "jtag_endpoint_file";
constexpr char JTAG_ENDPOINT_BUFFER_CLASS[] = "jtag_endpoint_buffer";
constexpr char JTAG_ENDPOINT_RABBIT_CLASS[] = "jtag_endpoint_rabbit";

// The endpoint that collects the stream in memory.
struct jtag_endpoint_buffer {
  jtag_endpoint ep;
  unsigned char *buffer;  // owned by the endpoint's user, not freed with it
  unsigned long pos;      // bytes used
};

// Where a handle's stream goes while nothing is open: one shared constant,
// class name "", every operation 1.
extern const jtag_endpoint jtag_endpoint_null;

// Fills a new endpoint with the null endpoint's contents, with a flush that
// succeeds; the kind's constructor then sets its class name and operations.
void jtag_endpoint_init(jtag_endpoint *ep);

// ---------------------------------------------------------------------------
// The board handle
// ---------------------------------------------------------------------------

constexpr unsigned TCKAVI_STREAM_BUFFER = 1048576;  // bytes of each inline stream buffer
constexpr unsigned TCKAVI_DEFAULT_SRAM_SIZE = 21;   // log2 of 2 MiB

// One processor. Two 1 MiB stream buffers are inline, so a handle is always
// on the heap (see `tckavi`).
struct board {
  board_functions fn;  // the table in force, a copy of one of the four
  unsigned sram_size;  // log2 of the SRAM size in bytes
  kcoff *syms;         // not used by this layer
  int jtag_puts;          // bytes waiting in jtag_put_data
  int jtag_gets;          // unread bytes left in jtag_get_data
  int jtag_gets_pending;  // bytes announced by read commands and not yet fetched
  struct jtag_endpoint *jtag_endpoint;  // the null endpoint while closed
  jtag_triplet *jtp_free;
  jtag_triplet *jtp_first, *jtp_last;  // triplets not yet sent
  jtag_triplet *jtp_tfirst;            // the run sent as whole triplets
  int jtag_triplet_tcount;
  jtag_triplet *jtp_dfirst;  // the run sent as data bytes only
  int jtag_triplet_dcount;
  unsigned char jtag_put_data[TCKAVI_STREAM_BUFFER];  // outgoing SRAM-stream bytes
  unsigned char jtag_get_data[TCKAVI_STREAM_BUFFER];  // incoming SRAM-stream bytes, filled from its end
  unsigned io_dout, io_ctrl, io_din;     // the rabbit's first signal bank
  unsigned sio_dout, sio_ctrl, sio_din;  // its second signal bank
  unsigned char jtag_master_result;      // result of the last JTAG-master exchange
  unsigned grab_cnt;                     // nesting depth of the JTAG grab
  struct {
    pci_dev *dev;
    unsigned vs_offset;  // configuration offset of the vendor-specific capability
  } pci;
};

// ---------------------------------------------------------------------------
// Handle life
// ---------------------------------------------------------------------------

// Creates a closed handle in *bpp: 0, or 12 when memory runs out (then
// *bpp is untouched).
int tckavi(board **bpp);
// Opens over JTAG through the rabbit `hostname`.
int tckavi_board_open(board *bp, const char *hostname);
// Opens over JTAG with the stream written to the file `filename`.
int tckavi_jtag_open(board *bp, const char *filename);
// Opens over JTAG with the stream collected in memory.
int tckavi_buffer_open(board *bp);
// The collected stream of a handle opened with tckavi_buffer_open, into
// whichever of ptr and len is not null; 22 for any other handle.
int tckavi_buffer_get(board *bp, unsigned char **ptr, unsigned long *len);
// Passes len bytes one by one to the endpoint; the first non-zero status.
int tckavi_buffer_append(board *bp, const unsigned char *ptr, unsigned long len);
// Opens over PCI the unit-th 10G NIC.
int tckavi_pci_open(board *bp, unsigned unit);
// Opens through the scan service at `host`, board slot `slot`, processor
// `which_2z`; the _ex form chooses whether each access grabs and releases
// the board's JTAG.
int tckavi_m4_open(board *bp, const char *host, int slot, int which_2z);
int tckavi_m4_open_ex(board *bp, const char *host, int slot, int which_2z, int auto_release);
// Closes through the backend; on success the closed table is in force again.
int tckavi_close(board *bp);
int tckavi_jtag_close(board *bp);
// Closes and frees a JTAG handle; 22 for the others, which stay the caller's.
int tckavi_destroy(board *bp);

// ---------------------------------------------------------------------------
// Dispatchers: each passes its arguments to the slot of the same name.
// ---------------------------------------------------------------------------

int tckavi_board_set(board *bp, int bitnum, int value);
int tckavi_jtag_reset(board *bp);
int tckavi_scan_read(board *bp);
int tckavi_scan_write(board *bp);
int tckavi_kavi_cpu_reset(board *bp, unsigned reset);
int tckavi_kavi_mem_reset(board *bp, unsigned reset);
int tckavi_kavi_read_byte(board *bp, unsigned addr, unsigned char *value);
int tckavi_kavi_read_half(board *bp, unsigned addr, unsigned short *value);
int tckavi_kavi_read_word(board *bp, unsigned addr, unsigned *value);
int tckavi_kavi_read_doubleword(board *bp, unsigned addr, uint64_t *value);
int tckavi_kavi_read_clock(board *bp, unsigned char *ext_delay, unsigned char *int_delay);
int tckavi_kavi_sram_size(board *bp, unsigned size_in_bytes);
int tckavi_kavi_write_clock(board *bp, int ext_delay, int int_delay);
int tckavi_kavi_write_byte(board *bp, unsigned addr, int value);
int tckavi_kavi_write_half(board *bp, unsigned addr, int value);
int tckavi_kavi_write_mem(board *bp, unsigned addr, const void *buf, unsigned len);
int tckavi_kavi_write_word(board *bp, unsigned addr, unsigned value);
int tckavi_ulve_pci_locate(board *bp, unsigned resource_id, unsigned *addr, unsigned *len);
int tckavi_ulve_pci_snapshot(board *bp, unsigned *addr, unsigned *len);
int tckavi_sram_read_buffer(board *bp, unsigned addr, void *buf, unsigned len);
int tckavi_sram_write_buffer(board *bp, unsigned addr, const void *buf, unsigned len);

// ---------------------------------------------------------------------------
// Scan images, shared by every handle of the process
// ---------------------------------------------------------------------------

constexpr unsigned SCAN_WRITE_FIELDS = 107;  // fields of the write chain
constexpr unsigned SCAN_READ_FIELDS = 58;    // fields of the read chain

// One value per write-chain field, sent by scan_write.
extern unsigned scan_wdata[SCAN_WRITE_FIELDS];
// Filled by scan_read: the read-chain fields, then the write-chain fields as
// read back.
extern unsigned scan_rdata[SCAN_READ_FIELDS + SCAN_WRITE_FIELDS];
// The raw bytes shifted out of both chains.
extern unsigned char *read_scan_buffer;
extern unsigned read_scan_bytes;

// Zeroes both images and the read buffer (allocated on the first call and
// kept): 0, or 12 when it cannot be allocated.
int scan_init(void);
