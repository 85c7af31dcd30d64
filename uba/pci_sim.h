// The simulator access method: the protocol spoken with the simulator over
// its Unix socket, and the receiver's handling of one incoming message,
// shared by the method, its tests, its fuzz target and any program that
// plays the simulator.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Protocol
// ---------------------------------------------------------------------------

// Message types. MEM_WRITE is a programmed-I/O write from the host, and a
// DMA write or an interrupt from the simulator; READ_DATA carries the data
// of a read in either direction.
enum lu_type : uint32_t {
  MEM_WRITE = 1,
  MEM_READ = 2,
  CFG_WRITE = 3,
  CFG_READ = 4,
  CFG_WRITE_DONE = 5,
  READ_DATA = 6,
};

// The header of every message; four big-endian 32-bit words on the wire.
struct lu_header_t {
  uint32_t type;
  uint32_t length;  // bytes of data that follow the header
  uint32_t lsw;     // address
  uint32_t msw;     // 0 from the host; in the simulator's READ_DATA, non-zero while more data follow
};
constexpr size_t LU_HEADER_BYTES = 16;

inline void lu_header_encode(const lu_header_t &h, uint8_t wire[LU_HEADER_BYTES]) {
  const uint32_t words[4] = {h.type, h.length, h.lsw, h.msw};
  for (int i = 0; i < 4; i++)
    for (int b = 0; b < 4; b++) wire[4 * i + b] = uint8_t(words[i] >> (24 - 8 * b));
}

inline lu_header_t lu_header_decode(const uint8_t wire[LU_HEADER_BYTES]) {
  uint32_t words[4];
  for (int i = 0; i < 4; i++)
    words[i] = uint32_t(wire[4 * i]) << 24 | uint32_t(wire[4 * i + 1]) << 16 | uint32_t(wire[4 * i + 2]) << 8 |
               wire[4 * i + 3];
  return {words[0], words[1], words[2], words[3]};
}

// A simulator's MEM_WRITE to the address whose wire bytes read "msi " is a
// message-signalled interrupt; its 4 data bytes hold SIM_MSI_DATA.
constexpr uint32_t SIM_MSI_ADDRESS = 0x6d736920;
constexpr uint32_t SIM_MSI_DATA = 0xB00B;

// The simulated board: its BARs on the simulated bus, and where the host
// writes its identification strings in BAR0.
constexpr uint32_t SIM_BAR0_BUS = 0x40000000, SIM_BAR0_SIZE = 0x1000000;
constexpr uint32_t SIM_BAR2_BUS = 0x80000000, SIM_BAR2_SIZE = 0x100000;
constexpr uint32_t SIM_ID_STRINGS = 0x1dfe00, SIM_ID_STRINGS_SIZE = 256;
// The host DMA area that the simulator reads and writes.
constexpr uint32_t SIM_DMA_SIZE = 0x4000000;

// Programmed I/O: short aligned writes to the first SIM_DIRECT_LIMIT bytes
// of BAR0 are stores into the shared image, others go to the simulator.
constexpr uint32_t SIM_DIRECT_LIMIT = 0x80000, SIM_DIRECT_MAX = 32;
constexpr uint32_t SIM_MAX_PIO_WRITE = 16384;  // data bytes of one MEM_WRITE
constexpr uint32_t SIM_MAX_PIO_READ = 0x100000;

constexpr uint32_t SIM_CONFIG_SPACE = 4096;

// The files shared with the simulator, under /tmp, with fixed names.
constexpr char SIM_SOCKET_FILE[] = "/tmp/udrv_pci0";
constexpr char SIM_SRAM_FILE[] = "/tmp/udrv_sram.tmp";
constexpr char SIM_DMA_FILE[] = "/tmp/udrv_dma.tmp";
constexpr unsigned SIM_FILE_MODE = 0666;

// ---------------------------------------------------------------------------
// The host's side
// ---------------------------------------------------------------------------

// Configuration accesses of the simulated function; offset + length must
// not pass the 4096 bytes of configuration space.
void fake_pci_cfg_read(unsigned offset, void *dst, size_t len);
void fake_pci_cfg_write(unsigned offset, const void *src, size_t len);

// Calls piece(at, n) for each piece, in order, that a programmed-I/O read of
// len bytes at addr is copied in: while more than 64 bytes remain, up to the
// next 64-byte boundary; then the rest in one piece. The pieces follow the
// image's 64-byte lines.
template <class F>
void fake_pci_read_pieces(uintptr_t addr, size_t len, F &&piece) {
  size_t at = 0;
  while (len - at > 64) {
    size_t n = 64 - ((addr + at) & 63);
    piece(at, n);
    at += n;
  }
  if (at < len) piece(at, len - at);
}

// The request in flight, whose completion the simulator's next
// CFG_WRITE_DONE or READ_DATA brings.
enum class sim_request { none, cfg_read, cfg_write };

// The host's end of the connection as the receiver sees it. In the method
// it is the socket; a fuzz target or a test puts bytes of its own behind it.
class sim_link {
 public:
  // Reads exactly len bytes of message data; false when the data end first.
  virtual bool read(void *buf, size_t len) = 0;
  // Sends one message, its header and len bytes of data kept together.
  virtual void send(const lu_header_t &h, const void *data, size_t len) = 0;
  // Ends the wait of the request in flight.
  virtual void complete() = 0;

  uint8_t *dma = nullptr;  // the host DMA area
  size_t dma_size = 0;
  // Set by the requesting thread before it sends a request (read_dst and
  // read_left first, then request), cleared by the receiver as it completes.
  std::atomic<sim_request> request{sim_request::none};
  uint8_t *read_dst = nullptr;  // where the next READ_DATA bytes go
  size_t read_left = 0;         // how many more the read asked for

 protected:
  ~sim_link() = default;
};

// Why the receiver cannot go on: a message the host must not act on.
struct sim_fault {
  const char *file;  // a library error reported from this file and line; null: a plain message
  int line;
  char text[160];
};

// Handles one message from the simulator whose header has been read; its
// data, if any, are read through the link. Every check is made before
// anything is acted on: true when the message was handled; false, with
// *fault saying why, when the program must stop. Data of a message the host
// does not act on are passed over, so the stream stays in step.
bool sim_handle_message(sim_link &link, const lu_header_t &h, sim_fault *fault);
