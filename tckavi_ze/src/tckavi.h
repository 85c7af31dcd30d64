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
// Scan chains and special registers
// ---------------------------------------------------------------------------

// A field of a scan chain. A chain is an array of fields in the order they
// are shifted, ended by a field with a null name.
struct scan_field {
  int bits;  // width, 0 to 32
  const char *name;
};

constexpr unsigned SCAN_WRITE_FIELDS = 107;  // fields of the write chain (420 bits)
constexpr unsigned SCAN_READ_FIELDS = 58;    // fields of the read chain (216 bits)

// The configuration fields (PCI Express interface, memory, network port P0).
extern const scan_field write_scan_chain[SCAN_WRITE_FIELDS + 1];
// The status fields; when the chains are read the write chain follows them.
extern const scan_field read_scan_chain[SCAN_READ_FIELDS + 1];

// One signal of the chip's debug mux: what position `n` shows under mux
// setting `mux`. Names only; nothing reads the signals here.
struct mux_signal {
  int mux;
  int n;
  const char *name;
};
extern const mux_signal mux_signals[];
extern const unsigned mux_signal_count;

// A special register of the processor: its name, width in bytes (1, 2 or 4)
// and processor address. The table ends with a null name.
struct special_reg {
  const char *name;
  int bytes;
  unsigned addr;
};
extern const special_reg kavi_specials[];
// Entry k names bit k of ISR and of PISR ("" for a bit without a name).
extern const char *const isr_bits[32];
extern const char *const pisr_bits[32];

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
// Stores `data` (not masked: only the field's width is shifted out) as the
// write-chain field `name`: 0, or 22 for an unknown name.
int tckavi_scan_set(board *bp, const char *name, unsigned data);
// The field `name` as last read, masked to its width: a read-chain field,
// or a write-chain field as read back. 22 for an unknown name, *ret
// untouched.
int tckavi_scan_get(board *bp, const char *name, unsigned *ret);
// Unpacks read_scan_buffer into scan_rdata: 0, or 12 when there is no
// buffer (scan_init failed).
int scan_parse_read_scan_buffer(void);

// The special register `name` through the handle's byte, half or word
// operation at its width; a read is widened to 32 bits. 22 for an unknown
// name, otherwise the operation's status.
int tckavi_kavi_write_register(board *bp, const char *name, unsigned data);
int tckavi_kavi_read_register(board *bp, const char *name, unsigned *value);

// Scan streams: bit b is bit b % 8 of byte b / 8, least significant first;
// a field of width w takes w bits, the first taken being its bit 0.
unsigned scan_stream_get(const unsigned char *stream, unsigned bit, int width);
void scan_stream_put(unsigned char *stream, unsigned bit, int width, unsigned value);
// Decodes `chain` from the stream at `bit` into one value per field; the
// bit after the chain.
unsigned scan_decode(const unsigned char *stream, unsigned bit, const scan_field *chain, unsigned *values);
// Where the field `name` starts in `chain` (its width into *width when not
// null), or -1 when the chain has no such field.
int scan_field_bit(const scan_field *chain, const char *name, int *width);
