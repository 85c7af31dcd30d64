// Writes the seed corpus of sim_fuzz: message streams of each kind the
// receiver handles, in the target's input layout, into the directory given.
//   sim_fuzz_corpus DIR

#include <cstdio>
#include <string>
#include <vector>

#include "pci_sim.h"

namespace {

struct Stream {
  std::string bytes;

  Stream(uint8_t dma_size_64, uint8_t request) : bytes{char(dma_size_64), char(request)} {}
  Stream &message(uint32_t type, uint32_t length, uint32_t lsw, uint32_t msw, const std::string &data = {}) {
    uint8_t wire[LU_HEADER_BYTES];
    lu_header_encode({type, length, lsw, msw}, wire);
    bytes.append(reinterpret_cast<const char *>(wire), sizeof wire);
    bytes += data;
    return *this;
  }
};

const std::string MSI(std::string("\0\0\xb0\x0b", 4));

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  std::vector<std::pair<const char *, Stream>> seeds = {
      {"dma_write_then_read",
       Stream(16, 0).message(MEM_WRITE, 8, 0x100, 0, "dmawrite").message(MEM_READ, 8, 0x100, 0)},
      {"dma_last_bytes", Stream(1, 0).message(MEM_WRITE, 4, 60, 0, "last").message(MEM_READ, 64, 0, 0)},
      {"dma_write_past", Stream(1, 0).message(MEM_WRITE, 8, 60, 0, "12345678")},
      {"dma_read_past", Stream(1, 0).message(MEM_READ, 0x10, 0xfffffff8, 0)},
      {"interrupt", Stream(4, 0).message(MEM_WRITE, 4, SIM_MSI_ADDRESS, 0, MSI)},
      {"interrupt_bad", Stream(4, 0).message(MEM_WRITE, 4, SIM_MSI_ADDRESS, 0, std::string("\0\0\xb0\x0c", 4))},
      {"read_in_two_parts",
       Stream(4, 4).message(READ_DATA, 2, 0x40, 1, "\x11\x22").message(READ_DATA, 2, 0x42, 0, "\x33\x44")},
      {"read_too_long", Stream(4, 2).message(READ_DATA, 4, 0, 0, "abcd")},
      {"write_done", Stream(4, 1).message(CFG_WRITE_DONE, 0, 0x10, 0).message(CFG_WRITE_DONE, 0, 0x18, 0)},
      {"not_for_the_host",
       Stream(4, 0).message(77, 5, 0, 0, "junk!").message(CFG_WRITE, 2, 4, 0, "cw").message(CFG_READ, 4, 8, 0)},
      {"truncated", Stream(4, 0).message(MEM_WRITE, 8, 0x100, 0, "abc")},
  };
  for (const auto &[name, stream] : seeds) {
    std::string path = std::string(argv[1]) + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(stream.bytes.data(), 1, stream.bytes.size(), f) != stream.bytes.size() || fclose(f) != 0) {
      perror(path.c_str());
      return 1;
    }
  }
  return 0;
}
