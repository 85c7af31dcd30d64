// kcoff: control-program object files of the Kavi processor.
//
// A kcoff file is a COFF-like object file written in the processor's byte
// order (big-endian). This library reads one from memory or from disk into a
// `kcoff` handle, converts its headers and tables to host byte order in place
// (and back), finds sections and symbols, assigns addresses to common symbols,
// applies relocations and builds the image that goes into the processor's SRAM
// from address 0.
//
// Section contents are never converted: they are the bytes the processor
// gets, so they stay big-endian.
//
// Failure policy: every operation returns a kcoff_status_t, 0 on success or an
// errno value: 22 (EINVAL) for a malformed file or a misuse, 12 (ENOMEM) when
// memory runs out, or the code of a failed system call. The library never
// prints and never exits.
//
// A file is checked against its buffer before anything is converted: every
// offset and count (section headers, symbol records, string-table names,
// relocation records, section contents, the words relocation patches) must lie
// inside the buffer, and the tables that get converted must not overlap each
// other or the words that locate the file header of a prefixed image. A file
// that does not fit is rejected with 22 and its buffer is left as it was.
#pragma once

#include <cstddef>
#include <cstdint>

typedef int kcoff_status_t;

// ---------------------------------------------------------------------------
// The file format. All multi-byte fields are big-endian in the file; the
// headers and tables below are in host order while a handle's `header` is set.
// The structures are packed: they sit at any byte offset of a buffer. Read
// and write their fields by value; do not bind a reference or a pointer to
// one (a misaligned reference is undefined behaviour).
// ---------------------------------------------------------------------------

#define KCOFF_MAGIC 0x1300

// Section kind bits of kcoff_section_header.flags.
#define KCOFF_SECTION_TEXT 0x20
#define KCOFF_SECTION_DATA 0x40
#define KCOFF_SECTION_BSS 0x80

#pragma pack(push, 1)

// At offset 0 of a plain file; in a prefixed image (first 16-bit word 0x0000
// or 0xE000) at the offset held in the big-endian word at byte 4096.
struct kcoff_file_header {
  uint16_t magic;             // KCOFF_MAGIC
  uint16_t section_cnt;       // number of section headers
  uint32_t timestamp;         // not interpreted
  uint32_t stab_offset;       // symbol table, counted from the file header
  uint32_t stab_cnt;          // 20-byte symbol records, auxiliary ones included
  uint16_t aout_header_size;  // optional header after this one; skipped
  uint16_t flags;             // not interpreted
};

// Follows the optional header; sections are numbered from 1 in symbol records.
struct kcoff_section_header {
  char name[8];                 // NUL-padded; not terminated when 8 long
  uint32_t lma;                 // not used
  uint32_t vma;                 // processor address
  uint32_t size;                // bytes
  uint32_t offset;              // contents, counted from the start of the buffer
  uint32_t relocations_offset;  // relocation records, counted from the file header
  uint32_t line_number_offset;  // not used
  uint16_t num_relocations;
  uint16_t num_line_numbers;  // not used
  uint32_t flags;             // KCOFF_SECTION_TEXT, _DATA, _BSS
};

struct kcoff_relocation_record {
  uint32_t vma;              // processor address of the 32-bit word to patch
  uint32_t stab_index;       // symbol record, counting auxiliary records
  uint16_t relocation_type;  // 1 to 12
  uint8_t size;              // not interpreted
  uint8_t xtern;             // not interpreted
  uint32_t offset;           // addend
};

// kcoff_stab_record.class_ (the record's `class` byte).
typedef enum { KCOFF_CLASS_EXTERN = 2, KCOFF_CLASS_STATIC = 3 } kcoff_class;

struct kcoff_stab_record {
  union {
    char name[8];  // inline name: NUL-padded, not terminated when 8 long
    struct {
      uint32_t zero;   // 0: the name is in the string table ...
      uint32_t index;  // ... at this offset from its start
    };
  };
  uint32_t value;    // address of a defined symbol, size of a common one
  uint16_t section;  // from 1; 0 undefined or common; above section_cnt: special
  uint16_t type;     // not interpreted
  uint8_t class_;    // kcoff_class
  uint8_t num_aux;   // auxiliary records that follow this one
  uint8_t pad[2];    // not interpreted
};

// Part of the format; neither read nor converted by this library.
struct kcoff_line_number_record_6 {
  uint16_t phy_or_stab_index_high;
  uint16_t phy_or_stab_index_low;
  uint16_t line_number;
};

#pragma pack(pop)

static_assert(sizeof(kcoff_file_header) == 20);
static_assert(sizeof(kcoff_section_header) == 40);
static_assert(sizeof(kcoff_relocation_record) == 16);
static_assert(sizeof(kcoff_stab_record) == 20);
static_assert(sizeof(kcoff_line_number_record_6) == 6);

// ---------------------------------------------------------------------------
// The handle
// ---------------------------------------------------------------------------

// The address assigned to an undefined or common symbol (see kcoff_stabx_add).
struct kcoff_stabx {
  uint32_t common_value;
};

typedef enum { KCOFF_FLAG_SHOULD_FREE_BUFFER = 1 } kcoff_flags;

// An address-to-name table a program may hang on a handle; this library does
// not build it, kcoff_free frees it.
struct kcoff_addr_name;

// One object file. Allocated zeroed by kcoff_from_buffer/kcoff_from_filename,
// owned by the caller until kcoff_free.
struct kcoff {
  uint8_t *buffer;  // the whole file
  uint32_t buffer_size;
  kcoff_file_header *header;  // null while the buffer is in file order
  kcoff_section_header *section_header;
  kcoff_stab_record *stab;
  kcoff_stab_record **stab_idx;  // symbol records sorted by name; built on first lookup
  uint32_t stab_index_cnt;
  kcoff_stabx *stabx;                             // stab_cnt + 1 entries; built by kcoff_stabx_add
  char *stabstr;                                  // the string table
  kcoff_relocation_record **section_relocations;  // per section: first record, or null
  kcoff_flags flags;
  kcoff_addr_name *addr_name;
};

// ---------------------------------------------------------------------------
// Reading and byte order
// ---------------------------------------------------------------------------

// Allocates a handle over the caller's buffer (which must outlive it; the
// handle does not own it) and converts the buffer to host order. On failure
// nothing is allocated and the buffer is unchanged.
kcoff_status_t kcoff_from_buffer(kcoff **kp, void *buffer, uint32_t size);

// Reads the file with kcoff_buffer_file and parses it with kcoff_from_buffer;
// the handle owns the buffer. On failure the buffer is freed.
kcoff_status_t kcoff_from_filename(kcoff **kp, const char *path);

// Reads a regular file whole into a new zeroed buffer of the file's size,
// owned by the caller (free). The file is opened without blocking and read
// only when it is a regular file. Returns the errno of a failed open or seek
// to the end, 12 when the buffer cannot be allocated, the stream's error
// indication when the size query, the seek back or the read fails (EIO when
// the stream shows no error and errno tells nothing), 21 (EISDIR) for a
// directory, 22 for any other file that is not regular (a FIFO, a device, a
// socket), 27 (EFBIG) for a file of 4 GiB or more, and 22 for an empty file
// (or one whose size the system does not tell, as in /proc). On failure the
// out-parameters are untouched.
kcoff_status_t kcoff_buffer_file(const char *path, uint8_t **buffer, uint32_t *size);

// Converts the buffer from file to host order and sets the handle's pointers.
// 22 when it is in host order already or the file does not fit its buffer.
kcoff_status_t kcoff_reswap(kcoff *k);

// Converts the buffer back to file order and clears `header`, `section_header`,
// `stab` and every entry of `section_relocations`. The name index and the
// common-symbol table stay; they are valid again after kcoff_reswap as long as
// the caller does not change the file's headers and tables in between.
kcoff_status_t kcoff_unswap(kcoff *k);

// The section header whose name equals `name` over at most 8 characters, the
// last such one in the file; null when there is none or the handle is in file
// order.
kcoff_section_header *kcoff_find_section(kcoff *k, const char *name);

// Frees the handle's tables, the buffer when the handle owns it, and the
// handle. A null handle is ignored.
void kcoff_free(kcoff *k);

// ---------------------------------------------------------------------------
// Symbols
// ---------------------------------------------------------------------------

// 0 when a symbol of that name exists, 22 when not, 12 when the index cannot be
// built. With `value`: a symbol of a non-zero section gives its value, one of
// section 0 its common-symbol address; that address exists only once
// kcoff_stabx_add (or kcoff_reloc) has run, before that the lookup gives 22.
// When several symbols share the name, the first of them in the file counts.
// Out-parameters are untouched on failure.
kcoff_status_t kcoff_symbol_lookup(kcoff *k, const char *name, uint32_t *value);

// Finds the symbol record of that name through the name index (built if
// needed); 22 when not found.
kcoff_status_t kcoff_stab_index_lookup(kcoff *k, const char *name, kcoff_stab_record **rec);

// Builds the name index unless it exists; 12 when memory runs out.
kcoff_status_t kcoff_stab_index_create(kcoff *k);

// Sort order of the index: two record pointers, compared by name as unsigned
// bytes; -1, 0 or 1. Reads the handle from the module-level stab_compare_l.
int stab_compare(const void *a, const void *b);

// Search order: a name against a pointer to a record pointer; -1, 0 or 1.
// Reads the handle from the module-level search_l.
int compare_str_and_symbol(const void *name, const void *rec);

// Assigns addresses to the undefined and common symbols (section 0): from the
// end of ".bss" rounded up to 16, each taking its value in bytes, those above
// 15 bytes aligned to 16. With `other` (which must have its own table, else
// 22), an external symbol that `other` defines or has as external takes
// `other`'s address instead. Does nothing when the table exists. 22 without a
// ".bss" section.
kcoff_status_t kcoff_stabx_add(kcoff *k, kcoff *other);

// The first address after the assigned common symbols; 0 before
// kcoff_stabx_add and while the handle is in file order.
uint32_t kcoff_stabx_common_vma_limit(kcoff *k);

// ---------------------------------------------------------------------------
// The library's binary max-heap of untyped elements
// ---------------------------------------------------------------------------

typedef int (*kcoff_heap_compare_func_t)(const void *a, const void *b);

struct kcoff_heap {
  uint32_t cnt;        // one more than the number of elements (slot 0 unused)
  uint32_t allocated;  // slots, slot 0 included
  void **key;          // elements, from slot 1
  kcoff_heap_compare_func_t compare;
};

kcoff_status_t kcoff_heap_create(kcoff_heap **hp, kcoff_heap_compare_func_t compare, uint32_t capacity);
// 12 when the heap must grow and cannot; the heap is then unchanged.
kcoff_status_t kcoff_heap_insert(kcoff_heap *h, void *element);
// The greatest element, or null when the heap is empty.
void *kcoff_heap_peek(kcoff_heap *h);
// Takes out and returns the greatest element, or null when the heap is empty.
void *kcoff_heap_remove(kcoff_heap *h);
void kcoff_heap_destroy(kcoff_heap *h);
// Sorts the array in ascending order in place, using no other memory. Not
// stable.
void kcoff_heap_sort(void **array, uint32_t count, kcoff_heap_compare_func_t compare);

// ---------------------------------------------------------------------------
// Relocation and the SRAM image
// ---------------------------------------------------------------------------

// The undo log of the words relocation overwrote.
struct kcoff_offset_value_log_entry {
  uint32_t offset;  // of the word, from the start of the buffer
  uint32_t value;   // the word as it was, its bytes in file order
};

struct kcoff_offset_value_log {
  uint32_t cnt;      // entries in use
  uint32_t alloced;  // capacity: 15 at creation, doubled when full
  kcoff_offset_value_log_entry *entry;
};

kcoff_status_t kcoff_offset_value_log_create(kcoff_offset_value_log **logp);
// 12 when the log must grow and cannot; the log is then unchanged.
kcoff_status_t kcoff_offset_value_log_add(kcoff_offset_value_log *log, uint32_t offset, uint32_t value);
void kcoff_offset_value_log_free(kcoff_offset_value_log *log);

// Replaces the bits of `mask` in the big-endian word at `word` by those of
// `bits`. merge_unsigned first requires bits & mask == bits, merge_signed that
// `bits` lies in the signed range of the mask's width (its bits from the
// mask's top bit upward all 0 or all 1); 22 otherwise, the word unchanged.
kcoff_status_t merge(uint8_t *word, uint32_t mask, uint32_t bits);
kcoff_status_t merge_unsigned(uint8_t *word, uint32_t mask, uint32_t bits);
kcoff_status_t merge_signed(uint8_t *word, uint32_t mask, uint32_t bits);

// Patches the big-endian word at `word` by relocation type `type` (1 to 12)
// with the value `v` and the word's own address `p`; 22 when the type is
// unknown or `v` does not fit, the word unchanged. insert_reloc is the entry
// point; _insert_reloc does the work.
kcoff_status_t insert_reloc(uint16_t type, uint8_t *word, uint32_t v, uint32_t p);
kcoff_status_t _insert_reloc(uint16_t type, uint8_t *word, uint32_t v, uint32_t p);

// Applies the relocations of every section whose flags share a bit with
// `mask`. `other` (optional) lends its common-symbol addresses and, when
// `resolve_extern` is set, its defined external symbols. On success the undo
// log goes to *logp when asked for (free with kcoff_offset_value_log_free). On
// failure every word already patched is restored, so the buffer is exactly as
// before, and *logp is untouched. 22 without ".bss", for an unknown type or a
// value that does not fit; 12 when memory runs out.
kcoff_status_t kcoff_reloc(kcoff *k, kcoff *other, uint32_t mask, kcoff_offset_value_log **logp, int resolve_extern);

// The image that goes into the processor's SRAM from address 0, in a new
// buffer owned by the caller (free). A prefixed image (first byte 0xE0) is
// relocated (sections of mask 0x60) and the whole buffer in file order is the
// image; the handle is left in host order. Otherwise the image holds the first
// two sections at their vma with zeros elsewhere, as long as the greater end
// of the two; nothing is relocated. 22 for a plain file with fewer than two
// sections.
kcoff_status_t kcoff_sram_image(kcoff *k, uint8_t **image, uint32_t *length);
