// uba: the board access library.
//
// Everything a program needs to reach the maker's NICs: checked system calls
// that report and exit, PCI configuration access methods, the bus scan and its
// device list, board selection, and board open with BAR mapping.
//
// Failure policy: the library stops the program on failure with one "ERROR:"
// line on standard error and exit status 1, so callers never test results of
// the checked calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct sockaddr;
struct iovec;

// ---------------------------------------------------------------------------
// Error reporting and checked system calls (unit xcalls)
// ---------------------------------------------------------------------------

// Prints "ERROR:" [basename(file) ":" line ":"] message "\n" and exits with 1
// when has_error is non-zero; returns at once otherwise. A null file prints no
// location.
void handle_error_func(int has_error, const char *file, int line, const char *msg, ...)
    __attribute__((format(printf, 4, 5)));
// Prints "ERROR:" message "\n" and exits with 1.
[[noreturn]] void fatal_error_func(const char *msg, ...) __attribute__((format(printf, 1, 2)));

// A check that reports with the source location of the line that makes it.
#define handle_error(cond, ...) handle_error_func((cond), __FILE__, __LINE__, __VA_ARGS__)
// Stops the program as handle_error does when the condition, written as
// `expr`, does not hold; the message names the condition.
#define uba_check(expr) handle_error(!(expr), "check failed: %s", #expr)

void *uba_xmalloc(size_t len);
void *uba_xrealloc(void *oldptr, size_t newlen);
int uba_xsocket(int family, int type, int proto);
int uba_xxbind(const char *file, int line, int fd, const struct sockaddr *addr, unsigned alen);
int uba_xlisten(int s, int backlog);
ssize_t uba_xrecv(int s, void *addr, size_t len, int flags);
void uba_xfullrecv(int fd, void *buf, size_t len, int flags);
ssize_t uba_xsend(int s, const void *addr, size_t len, int flags);
struct hostent *uba_xgethostbyname(const char *host);
int uba_xconnect(int s, const struct sockaddr *addr, unsigned alen);
int uba_xaccept(int s, struct sockaddr *addr, unsigned *alen);
int uba_xopen(const char *path, int flags, ...);
ssize_t uba_xread(int fd, void *addr, size_t len);
void uba_xfullread(int fd, void *buf, size_t len);
ssize_t uba_xxwrite(const char *file, int line, int fd, const void *buf, size_t n);
ssize_t uba_xpartwrite(int fd, const void *buf, size_t n);
ssize_t uba_xwritev(int s, const struct iovec *vec, int count);
ssize_t uba_xxpwrite(const char *file, int line, int fd, const void *buf, size_t n, off_t offset);
ssize_t uba_xxpread(const char *file, int line, int fd, void *buf, size_t nbytes, off_t offset);
ssize_t uba_xxfullpread(const char *file, int line, int fd, void *buf, size_t nbytes, off_t offset);
int uba_xxsystem(const char *file, int line, const char *command);
int uba_xxsystemp(const char *file, int line, const char *argv0, const char *command);
pid_t uba_xfork(void);
[[noreturn]] void uba_xexeclp(const char *path, const char *arg0, ...);
int uba_xxioctl(const char *file, int line, int fd, unsigned long request, void *arg);
uint64_t uba_xget_usecs(void);

// The uba_xx forms with the caller's location filled in.
#define uba_xbind(...) uba_xxbind(__FILE__, __LINE__, __VA_ARGS__)
#define uba_xwrite(...) uba_xxwrite(__FILE__, __LINE__, __VA_ARGS__)
#define uba_xpwrite(...) uba_xxpwrite(__FILE__, __LINE__, __VA_ARGS__)
#define uba_xpread(...) uba_xxpread(__FILE__, __LINE__, __VA_ARGS__)
#define uba_xfullpread(...) uba_xxfullpread(__FILE__, __LINE__, __VA_ARGS__)
#define uba_xsystem(...) uba_xxsystem(__FILE__, __LINE__, __VA_ARGS__)
#define uba_xsystemp(...) uba_xxsystemp(__FILE__, __LINE__, __VA_ARGS__)
#define uba_xioctl(...) uba_xxioctl(__FILE__, __LINE__, __VA_ARGS__)

// Text form of a socket address, in a static buffer overwritten by each call.
const char *straddr(const struct sockaddr *addr, unsigned alen);

// ---------------------------------------------------------------------------
// PCI configuration access methods
// ---------------------------------------------------------------------------

struct pci_dev;
typedef pci_dev *pci_dev_t;
struct pci_access;
struct uba_proc_pci;
struct uba_mm_pci;
struct uba_iocf8_pci;
struct uba_sim_pci;
struct uba_ubadrv_pci;

// Operation table of one access method; an empty slot is a null pointer.
struct uba_pci_ops {
  const char *name;
  unsigned (*readb)(pci_dev *dev, unsigned reg);
  unsigned (*readw)(pci_dev *dev, unsigned reg);
  unsigned (*readl)(pci_dev *dev, unsigned reg);
  void (*writeb)(pci_dev *dev, unsigned reg, unsigned value);
  void (*writew)(pci_dev *dev, unsigned reg, unsigned value);
  void (*writel)(pci_dev *dev, unsigned reg, unsigned value);
  void (*init)(pci_access *pci);
  void (*fini)(pci_access *pci);
  void *(*mmap_bar)(pci_dev *dev, int bar, unsigned offset, unsigned size);
  int (*has_bus)(pci_access *pci, int domain, int bus);
  int (*can_access_ext_conf)(pci_dev *dev);
  int (*probe)(pci_access *pci);
  pci_dev *(*init_dev)(pci_dev *dev);
  void (*close_dev)(pci_dev *dev);
};

// State of one access method, embedded as member `pci` of the method's
// private record, whose address `u` holds.
struct pci_access {
  union {
    uba_proc_pci *proc_pci;
    uba_mm_pci *mm_pci;
    uba_iocf8_pci *iocf8_pci;
    uba_sim_pci *sim_pci;
    uba_ubadrv_pci *ubadrv_pci;
    void *other;  // a method of the application's own
  } u;
  pci_dev *devices;    // head of the scanned device list
  pci_dev **dev_tail;  // last `next` link, for appending
  const uba_pci_ops *ops;
  void (*error)(const char *msg, ...);
  int numeric_ids;
  int buscentric;
  char *id_file_name;
  int writeable;
  int method;  // the number the method is registered under
  void *current_id_bucket;
  void *id_hash;
};

enum {
  UBA_PCI_IOCF8 = 1,
  UBA_PCI_MM = 2,
  UBA_PCI_PROC = 3,
  UBA_PCI_UBADRV = 8,
  UBA_PCI_SIM = 9,
  UBA_PCI_MAX_METHOD = 9,
};

void uba_pci_register(int method, pci_access *pci);
void uba_pci_init(void);
void uba_pci_method(unsigned m);
void uba_choose_method(void);
extern int uba_verbose;

// ---------------------------------------------------------------------------
// PCI device list, capabilities and bit fields
// ---------------------------------------------------------------------------

struct pci_dev {
  uint16_t vendor_id;
  uint16_t device_id;
  uint64_t base_addr[6];  // raw BAR registers, or the OS's resource starts
  uint64_t size[6];       // end - start from the OS's resource file, else 0
  uint64_t rom_base_addr;
  uint64_t rom_size;
  uint8_t domain, bus, dev, func;
  uint8_t irq;
  uint8_t rw;  // the device file has been reopened for writing
  uint8_t is_bridge;
  uint8_t secondary_bus;
  pci_dev *parent;  // bridge whose secondary bus holds this device
  pci_access *pci;  // method that found the device
  char name[32];
  char devfs_name[128];
  int handle;
  uint32_t cfg_addr;
  pci_dev *next;
  uint32_t known_fields;
};

void pci_scan_bus(pci_access *acc);
void uba_pci_rescan(void);
pci_access *pci_alloc(void);

unsigned pci_read_byte(pci_dev *dev, unsigned reg);
unsigned pci_read_word(pci_dev *dev, unsigned reg);
unsigned pci_read_long(pci_dev *dev, unsigned reg);
int pci_write_byte(pci_dev *dev, unsigned reg, int val);
void pci_write_word(pci_dev *dev, unsigned reg, int val);
void pci_write_long(pci_dev *dev, unsigned reg, uint32_t val);
int pci_read_block(pci_dev *dev, unsigned reg, uint8_t *buf, int len);

// Carry a 1-, 2- or 4-byte register to and from a caller's bit-field
// structure; any other size aborts.
void _pci_read_bitfield(pci_dev *dev, unsigned off, void *field, size_t size);
void _pci_write_bitfield(pci_dev *dev, unsigned off, const void *field, size_t size);
#define pci_read_bitfield(dev, off, field) _pci_read_bitfield((dev), (off), &(field), sizeof(field))
#define pci_write_bitfield(dev, off, field) _pci_write_bitfield((dev), (off), &(field), sizeof(field))

int uba_find_capability_n(pci_dev *dev, unsigned cap_id, unsigned idx);
int uba_find_hyper_capability(pci_dev *dev, unsigned hyper_id, unsigned idx);
int uba_find_ext_capability(pci_dev *dev, unsigned ext_cap_id);
int uba_can_access_ext_conf(pci_dev *dev);
const char *uba_pci_name(pci_dev *dev);

// ---------------------------------------------------------------------------
// Device filters and board selection
// ---------------------------------------------------------------------------

struct pci_filter {
  int vid, did;
  int domain, bus, slot, func;  // -1 matches anything
};

enum uba_criteria_type_t {
  PCI_SELECT_SLOT = 1,
  PCI_SELECT_ID = 2,
  PCI_SELECT_ULVE_GENERATION = 3,
};

union uba_criteria_t {
  const char *str;  // slot or id text
  int mask;         // generation bits
};

enum uba_nic_type_t {
  UBA_K4 = 1,
  UBA_PCI64 = 2,
  UBA_KX = 4,
  UBA_ZE = 8,
  UBA_UNKNOWN = 0x40000000,
};

constexpr uint16_t ULVE_VENDOR_ID = 0x1f5c;
constexpr uint16_t ALT_VENDOR_ID = 0x1b7e;
constexpr uint16_t NIC_10G_DEVICE_ID = 0x5e0a;
constexpr uint16_t NIC_10G_B_DEVICE_ID = 0x5e0b;
constexpr uint16_t NIC_KAVI_DEVICE_ID = 0x4c3d;

void uba_select(uba_criteria_type_t type, uba_criteria_t criteria, pci_dev_t **devsp, int *nump);
const char *pci_filter_parse_slot(pci_filter *f, const char *s);
const char *pci_filter_parse_id(pci_filter *f, const char *s);
int pci_filter_match(const pci_filter *f, const pci_dev *dev);
void uba_make_filter(uba_criteria_type_t type, const char *text, pci_filter *f);
void uba_filter_one(const char **cursor, int *field);
// The generation bit of a device (0 when it is not one of the maker's NICs).
int uba_nic_generation(pci_dev *dev);

// ---------------------------------------------------------------------------
// Board open and BAR mapping
// ---------------------------------------------------------------------------

// Identification record of a PCI64 board inside BAR0; multi-byte fields are
// big-endian.
struct uba_old_eeprom {
  uint32_t kavi_clockval;
  uint16_t kavi_cpu_version;
  uint8_t kavi_board_id[6];
  uint32_t kavi_sram_size;
  char fpga_version[32];
  uint8_t more_version[16];
  uint16_t delay_line_value;
  uint16_t board_type;
  uint16_t bus_type;
  uint16_t product_code;
  uint32_t serial_number;
  char board_label[32];
  uint16_t max_kavi_speed;
  uint16_t future_use[7];
  uint32_t unused_4_bytes;
};
static_assert(sizeof(uba_old_eeprom) == 128);

struct uba_nic {
  pci_dev_t dev;
  volatile uint8_t *base;   // BAR0 (16 MiB) or null
  volatile uint8_t *base2;  // BAR2 (1 MiB) or null
  volatile uint8_t *cfg;    // mapped configuration space, or null
  volatile uba_old_eeprom *eeprom;
  uint32_t sram_size;
  uint32_t bar2_size;
  int rev;
  uba_nic_type_t type;
  int num_ports;
  uint64_t phys;   // BAR0 physical address, low five bits cleared
  uint64_t phys2;  // BAR2 physical address, low five bits cleared
  uint8_t cfg_cap[256];  // capability ID -> configuration offset, 0 when absent
};

enum uba_open_flags {
  UBA_BAR0_SKIP = 0x10000000,
  UBA_BAR2_SKIP = 0x20000000,
  UBA_BAR_SKIP = 0x30000000,
  UBA_BAR_CFG = 0x8000000,
};

uba_nic *uba_open(int unit, int mask, int flags);
void *uba_ioremap(uba_nic *nic, int bar, size_t length);
void *ioremap_dev(const char *file, uint64_t addr, size_t size);
void uba_pci64_init(uba_nic *nic, int force, int mult);
uint16_t uba_kx_port_read(uba_nic *nic, int offset);
void uba_kx_port_write(uba_nic *nic, int offset, uint16_t data);

// ---------------------------------------------------------------------------
// Copy-block: host pages that the NIC reaches by DMA
// ---------------------------------------------------------------------------

struct uba_cb_param;  // the card driver's parameters (uba_drv.h)

struct uba_cb {
  uint32_t nb_pages;
  uint32_t page_size;  // the host page size
  uint32_t map_size;   // nb_pages * page_size
  uint8_t *map;        // the pages, contiguous in the process
  uint64_t *dma_addr;  // bus address of each page, in page order
  const char *dev_name;  // the file the block came from
};
typedef uba_cb uba_cb_t;

// Makes sure the card driver has a copy-block when the board is reached
// through it (method 8); does nothing otherwise. Null parameters: 16384
// pages if one must be made, and any existing block accepted.
void uba_init_copy_block(uba_nic *nic, const uba_cb_param *param);
// Maps the copy-block and returns its description, the caller's (except the
// simulator's, which lives as long as the program).
uba_cb_t *uba_get_copy_block(uba_nic *nic);

// ---------------------------------------------------------------------------
// Simulator access method (number 9, "sim"): linked into the tools only
// ---------------------------------------------------------------------------

// Filled by the method when UBA_SIM selects it; inactive (all zero) in
// programs without it. While active, BAR0 is the shared image kavi_space
// and the copy-block is the simulator's DMA area.
struct uba_sim_t {
  int active;
  volatile uint8_t *kavi_space;  // the board's BAR0 space (16 MiB), shared with the simulator
  pci_dev *dev;                  // the simulated function
  uba_cb cb;                     // the host DMA area
};
extern uba_sim_t uba_sim;

// Programmed I/O on the simulated BAR0, in place of loads and stores at
// kavi_space; file and line are the caller's, for the report of a misuse.
// Where the method is not linked (nicflash) they stop the program.
void fake_pci_pio_write(volatile void *addr, const void *src, size_t len, const char *file, int line);
void fake_pci_pio_read(const volatile void *addr, void *dst, size_t len, const char *file, int line);
