// Access method "sim" (number 9): the board is a software model in a
// simulator program that connects to this one over a Unix socket; this
// program plays the host side of the PCI bus. The board's BAR0 space and the
// host's DMA area are files under /tmp that both programs map.
//
// Two threads: the program's thread makes configuration requests and
// programmed-I/O writes; the receiver thread consumes every message of the
// simulator. A send lock keeps each outgoing message whole on the socket,
// a request lock keeps one configuration request in flight, and a semaphore
// hands its completion from the receiver to the waiting request.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "pci_sim.h"
#include "uba_internal.h"
#include "uba_mmio.h"

namespace {

// The connection to the simulator.
class socket_link final : public sim_link {
 public:
  // A simulator that closes the connection ends the program here.
  bool read(void *buf, size_t len) override {
    uba_xfullread(sock, buf, len);
    return true;
  }

  // MSG_NOSIGNAL: a simulator gone away is reported, not a silent SIGPIPE.
  void send(const lu_header_t &h, const void *data, size_t len) override {
    uint8_t message[LU_HEADER_BYTES + SIM_MAX_PIO_WRITE];
    lu_header_encode(h, message);
    pthread_mutex_lock(&send_lock);
    if (len <= SIM_MAX_PIO_WRITE) {  // the host's own messages: one send each
      if (len) memcpy(message + LU_HEADER_BYTES, data, len);
      uba_xsend(sock, message, LU_HEADER_BYTES + len, MSG_NOSIGNAL);
    } else {  // a DMA read's answer, straight from the area
      uba_xsend(sock, message, LU_HEADER_BYTES, MSG_NOSIGNAL);
      uba_xsend(sock, data, len, MSG_NOSIGNAL);
    }
    pthread_mutex_unlock(&send_lock);
  }

  void complete() override { sem_post(&done); }

  int sock = -1;
  pthread_mutex_t send_lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_mutex_t request_lock = PTHREAD_MUTEX_INITIALIZER;
  sem_t done{};
};

}  // namespace

struct uba_sim_pci {
  pci_access pci;
  bool started;  // connected; a rescan keeps the connection
  socket_link link;
  char dma_path[256];  // the DMA area's file, named by the copy-block record
};

namespace {

constinit uba_sim_pci sim_state{};
socket_link &simulator = sim_state.link;

// Ends the wait of a configuration request.
void wait_for_completion() {
  while (sem_wait(&simulator.done) != 0) {
    int e = errno;
    handle_error(e != EINTR, "sem_wait:error %d\n", e);
  }
}

void check_config_range(const char *what, unsigned offset, size_t len) {
  handle_error(offset > SIM_CONFIG_SPACE || len > SIM_CONFIG_SPACE - offset,
               "%s(offset=0x%x,len=%zu):beyond the configuration space", what, offset, len);
}

}  // namespace

void fake_pci_cfg_read(unsigned offset, void *dst, size_t len) {
  check_config_range("fake_pci_cfg_read", offset, len);
  pthread_mutex_lock(&simulator.request_lock);
  simulator.read_dst = static_cast<uint8_t *>(dst);
  simulator.read_left = len;
  simulator.request.store(sim_request::cfg_read, std::memory_order_release);
  simulator.send({CFG_READ, (uint32_t)len, offset, 0}, nullptr, 0);
  wait_for_completion();
  pthread_mutex_unlock(&simulator.request_lock);
}

void fake_pci_cfg_write(unsigned offset, const void *src, size_t len) {
  check_config_range("fake_pci_cfg_write", offset, len);
  pthread_mutex_lock(&simulator.request_lock);
  simulator.request.store(sim_request::cfg_write, std::memory_order_release);
  simulator.send({CFG_WRITE, (uint32_t)len, offset, 0}, src, len);
  wait_for_completion();
  pthread_mutex_unlock(&simulator.request_lock);
}

namespace {

// The offset in the BAR0 image of len bytes at addr, which must lie inside
// it; a caller that passes anything else stops the program.
size_t image_offset(const char *what, const volatile void *addr, size_t len, const char *file, int line) {
  uintptr_t start = reinterpret_cast<uintptr_t>(uba_sim.kavi_space);
  uintptr_t at = reinterpret_cast<uintptr_t>(addr);
  size_t size = uba_sim.dev ? uba_sim.dev->size[0] : 0;
  bool ok = start && at >= start && at - start <= size && len <= size - (at - start);
  handle_error_func(!ok, file, line, "%s(%p,len=%zu):outside the BAR0 image", what, addr, len);
  return at - start;
}

// A short aligned write straight into the shared image, in the widest stores
// the alignment of address, length and source allows.
void store_direct(volatile uint8_t *to, const uint8_t *from, size_t len) {
  uintptr_t alignment = reinterpret_cast<uintptr_t>(to) | reinterpret_cast<uintptr_t>(from) | len;
  if (alignment % 8 == 0) {
    for (size_t i = 0; i < len; i += 8) {
      uint64_t v;
      memcpy(&v, from + i, 8);
      uba_mmio_write<uint64_t>(to + i, v);
    }
  } else if (alignment % 4 == 0) {
    for (size_t i = 0; i < len; i += 4) {
      uint32_t v;
      memcpy(&v, from + i, 4);
      uba_mmio_write<uint32_t>(to + i, v);
    }
  } else {
    for (size_t i = 0; i < len; i++) uba_mmio_write<uint8_t>(to + i, from[i]);
  }
}

}  // namespace

void fake_pci_pio_write(volatile void *addr, const void *src, size_t len, const char *file, int line) {
  size_t offset = image_offset("fake_pci_pio_write", addr, len, file, line);
  handle_error_func(len > SIM_MAX_PIO_WRITE, file, line, "fake_pci_pio_write(len=%zu):more than %u bytes", len,
                    SIM_MAX_PIO_WRITE);
  if (len <= SIM_DIRECT_MAX && offset % 4 == 0 && len % 4 == 0 && offset < SIM_DIRECT_LIMIT) {
    store_direct(static_cast<volatile uint8_t *>(addr), static_cast<const uint8_t *>(src), len);
    return;
  }
  // Programmed-I/O writes do not wait for the simulator.
  simulator.send({MEM_WRITE, (uint32_t)len, SIM_BAR0_BUS + (uint32_t)offset, 0}, src, len);
}

void fake_pci_pio_read(const volatile void *addr, void *dst, size_t len, const char *file, int line) {
  image_offset("fake_pci_pio_read", addr, len, file, line);
  handle_error_func(len > SIM_MAX_PIO_READ, file, line, "fake_pci_pio_read(len=%zu):more than 0x%x bytes", len,
                    SIM_MAX_PIO_READ);
  auto *from = const_cast<const uint8_t *>(static_cast<const volatile uint8_t *>(addr));
  auto *to = static_cast<uint8_t *>(dst);
  fake_pci_read_pieces(reinterpret_cast<uintptr_t>(addr), len, [&](size_t at, size_t n) {
    uba_mb();
    memcpy(to + at, from + at, n);
    uba_mb();
  });
}

namespace {

[[noreturn]] void stop(const sim_fault &fault) {
  if (fault.file) handle_error_func(1, fault.file, fault.line, "%s", fault.text);
  fputs(fault.text, stderr);
  exit(1);
}

void *fake_pci_loop(void *) {
  for (;;) {
    uint8_t wire[LU_HEADER_BYTES];
    uba_xfullread(simulator.sock, wire, sizeof wire);
    sim_fault fault;
    if (!sim_handle_message(simulator, lu_header_decode(wire), &fault)) stop(fault);
  }
}

// ---- Start-up ---------------------------------------------------------------
//
// The files have fixed names under /tmp, are shared with a simulator that
// may run as another user (hence mode 0666), and this program runs as root:
// nothing planted at those names may be followed, truncated or removed.

// Removes a socket left at path by an earlier run; anything else there is
// refused.
void remove_old_socket(const char *path) {
  struct stat st;
  if (lstat(path, &st) != 0) {
    int e = errno;
    handle_error(e != ENOENT, "lstat(%s):%s", path, strerror(e));
    return;
  }
  handle_error(!S_ISSOCK(st.st_mode), "%s:not a socket, not removed\n", path);
  if (unlink(path) != 0) {
    int e = errno;
    handle_error(1, "unlink(%s):%s", path, strerror(e));
  }
}

int listen_for_simulator() {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  uba_host_path(addr.sun_path, sizeof addr.sun_path, "%s", SIM_SOCKET_FILE);
  int s = uba_xsocket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  remove_old_socket(addr.sun_path);
  uba_xbind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  if (chmod(addr.sun_path, SIM_FILE_MODE) != 0) {
    int e = errno;
    handle_error(1, "chmod(%s):%s", addr.sun_path, strerror(e));
  }
  uba_xlisten(s, 1);
  return s;
}

// Opens the shared file at path read-write, created if absent, as a regular
// file of one link with mode 0666, and gives it `size` bytes, cleared first
// when `clear`. The length is set only once the file is known to be the
// right kind: a link or a special file planted at the name is never changed.
int open_shared_file(const char *path, off_t size, bool clear) {
  int fd = uba_xopen(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, SIM_FILE_MODE);
  struct stat st;
  handle_error(fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1,
               "%s:not a regular file of one link\n", path);
  if (fchmod(fd, SIM_FILE_MODE) != 0 || (clear && ftruncate(fd, 0) != 0) || ftruncate(fd, size) != 0) {
    int e = errno;
    handle_error(1, "%s:%s", path, strerror(e));
  }
  return fd;
}

void *map_shared_file(int fd, size_t size, const char *path) {
  void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    int e = errno;
    handle_error(1, "mmap(%s, len=%zu):%s", path, size, strerror(e));
  }
  close(fd);  // the mapping keeps the file
  return map;
}

// The strings by which the tools recognise the board, NUL-terminated, the
// list ended by an empty one.
void write_identification(volatile uint8_t *at) {
  static const char *const strings[] = {"PC=SIMULATOR-Z8", "MAC=00:fa:dd:49:8d:26", "SN=173192", "PN=00-0000"};
  auto *p = const_cast<uint8_t *>(at);
  memset(p, 0, SIM_ID_STRINGS_SIZE);
  for (const char *s : strings) {
    size_t n = strlen(s) + 1;
    memcpy(p, s, n);
    p += n;
  }
}

void set_up_dma_area(uba_sim_pci *s) {
  uba_host_path(s->dma_path, sizeof s->dma_path, "%s", SIM_DMA_FILE);
  int fd = open_shared_file(s->dma_path, SIM_DMA_SIZE, true);
  uba_cb &cb = uba_sim.cb;
  cb.map = static_cast<uint8_t *>(map_shared_file(fd, SIM_DMA_SIZE, s->dma_path));
  cb.map_size = SIM_DMA_SIZE;
  cb.page_size = getpagesize();
  cb.nb_pages = SIM_DMA_SIZE / cb.page_size;
  cb.dev_name = s->dma_path;
  cb.dma_addr = static_cast<uint64_t *>(uba_xmalloc(cb.nb_pages * sizeof(uint64_t)));
  for (uint32_t i = 0; i < cb.nb_pages; i++) cb.dma_addr[i] = (uint64_t)i * cb.page_size;  // offsets in the area
  simulator.dma = cb.map;
  simulator.dma_size = SIM_DMA_SIZE;
}

void sim_init(pci_access *pci) {
  uba_sim_pci *s = pci->u.sim_pci;
  if (s->started) return;
  uba_sim.active = 1;  // also when the method was forced rather than probed
  sem_init(&simulator.done, 0, 0);
  int listener = listen_for_simulator();
  char sram_path[256];
  uba_host_path(sram_path, sizeof sram_path, "%s", SIM_SRAM_FILE);
  int sram = open_shared_file(sram_path, SIM_BAR0_SIZE, false);
  fputs("Waiting for kxgdb to connect...\n", stderr);
  simulator.sock = uba_xaccept(listener, nullptr, nullptr);
  close(listener);
  uba_sim.kavi_space = static_cast<uint8_t *>(map_shared_file(sram, SIM_BAR0_SIZE, sram_path));
  write_identification(uba_sim.kavi_space + SIM_ID_STRINGS);
  set_up_dma_area(s);
  pthread_t receiver;
  if (int e = pthread_create(&receiver, nullptr, fake_pci_loop, nullptr)) {
    errno = e;
    perror("pthread_create");
    exit(1);
  }
  pthread_detach(receiver);
  s->started = true;
}

int sim_probe(pci_access *) {
  const char *sim = getenv("UBA_SIM");
  if (!sim || !*sim) return -1;
  uba_sim.active = 1;
  return 0;
}

unsigned sim_read(unsigned reg, size_t width) {
  uint32_t value = 0;  // little-endian host: the bytes read are the low bytes
  fake_pci_cfg_read(reg, &value, width);
  return value;
}

void sim_write(unsigned reg, uint32_t value, size_t width) { fake_pci_cfg_write(reg, &value, width); }

unsigned sim_readb(pci_dev *, unsigned reg) { return sim_read(reg, 1); }
unsigned sim_readw(pci_dev *, unsigned reg) { return sim_read(reg, 2); }
unsigned sim_readl(pci_dev *, unsigned reg) { return sim_read(reg, 4); }
void sim_writeb(pci_dev *, unsigned reg, unsigned value) { sim_write(reg, value, 1); }
void sim_writew(pci_dev *, unsigned reg, unsigned value) { sim_write(reg, value, 2); }
void sim_writel(pci_dev *, unsigned reg, unsigned value) { sim_write(reg, value, 4); }

// The simulator holds one function, at 00:00.0, so the scan need look at no
// other bus.
int sim_has_bus(pci_access *, int domain, int bus) { return domain == 0 && bus == 0; }
int sim_can_access_ext_conf(pci_dev *) { return 1; }

pci_dev *sim_init_dev(pci_dev *dev) {
  if (dev->domain != 0 || dev->bus != 0 || dev->dev != 0 || dev->func != 0) return nullptr;
  dev->vendor_id = sim_read(0, 2);
  dev->device_id = sim_read(2, 2);
  if (dev->vendor_id == 0 || dev->vendor_id == 0xffff) return nullptr;
  // The simulated bus has no firmware to assign the BARs: the host does.
  sim_write(0x10, SIM_BAR0_BUS, 4);
  sim_write(0x18, SIM_BAR2_BUS, 4);
  dev->base_addr[0] = SIM_BAR0_BUS;
  dev->size[0] = SIM_BAR0_SIZE;
  dev->base_addr[2] = SIM_BAR2_BUS;
  dev->size[2] = SIM_BAR2_SIZE;
  uba_sim.dev = dev;
  return dev;
}

const uba_pci_ops sim_ops = {
    .name = "sim",
    .readb = sim_readb,
    .readw = sim_readw,
    .readl = sim_readl,
    .writeb = sim_writeb,
    .writew = sim_writew,
    .writel = sim_writel,
    .init = sim_init,
    .fini = nullptr,
    .mmap_bar = nullptr,
    .has_bus = sim_has_bus,
    .can_access_ext_conf = sim_can_access_ext_conf,
    .probe = sim_probe,
    .init_dev = sim_init_dev,
    .close_dev = nullptr,
};

}  // namespace

__attribute__((constructor)) void uba_pci_sim_init(void) {
  sim_state.pci.u.sim_pci = &sim_state;
  sim_state.pci.ops = &sim_ops;
  sim_state.pci.method = UBA_PCI_SIM;
  uba_pci_register(UBA_PCI_SIM, &sim_state.pci);
}
