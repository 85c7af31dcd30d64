// Build-time generator of the firmware that the suite carries or finds:
//
//   default_ucp1.kcoff  the control program nicflash writes to every NIC
//   burner_ucp.kcoff    the burner control program of the JTAG path
//   ulve10ge.zrom       the boot ROM, whose CRC-32 is the one nicflash accepts
//   builtin_ucp.cpp     the two programs as byte arrays for nicflash
//
// They are stand-ins with the structure the tools rely on, not working
// firmware. Both programs are prefixed images (the buffer is the SRAM image
// from address 0; first byte 0xE0; the file header's offset at byte 4096),
// so building their SRAM image relocates them.
//
// Layout of both programs:
//   0x0000  .text begins: 0xE000 prefix mark, then code words
//   0x003C  word: offset of the version header (the UCP image header)
//   0x0100  version header: word 0 its size (164), bytes 4.. the version
//           string, word at +160 the offset of the copy-block table
//   0x0200  copy-block table: word 0 pages needed, word 1 valid flag (0),
//           then an 8-byte bus address per page
//   0x1000  word: offset of the file header (filled in by the writer)
//   .data   after .text; .bss after .data; common symbols after .bss
//
// The burner's .data starts with its parameter block, which relocation
// fills in: "BURN", then the addresses of _file_buffer, _file_size and
// _just_ucp2 (one word each).
//
// Usage: make_firmware OUTPUT_DIRECTORY

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "crc32.h"
#include "crc_force.h"
#include "kcoff_writer.h"

namespace {

constexpr uint32_t VERSION_HEADER = 0x100, COPY_BLOCK_TABLE = 0x200, COPY_BLOCK_PAGES = 16;

struct Rng {
  uint32_t x;
  uint32_t next() { return x = x * 1664525 + 1013904223; }
};

void put32(std::vector<uint8_t> &b, uint32_t at, uint32_t v) { kcoff_writer_put32(b, at, v); }

// The .text of a stand-in program: prefix mark, image header, version
// header, copy-block table, then code words.
std::vector<uint8_t> text_section(const char *version, uint32_t size, uint32_t seed) {
  std::vector<uint8_t> t(size);
  Rng rng{seed};
  for (uint32_t at = 0x400; at + 4 <= size; at += 4) put32(t, at, rng.next());
  t[0] = 0xE0, t[1] = 0x00;
  put32(t, 60, VERSION_HEADER);
  put32(t, VERSION_HEADER, 164);
  std::snprintf(reinterpret_cast<char *>(&t[VERSION_HEADER + 4]), 132, "%s", version);
  put32(t, VERSION_HEADER + 160, COPY_BLOCK_TABLE);
  put32(t, COPY_BLOCK_TABLE, COPY_BLOCK_PAGES);
  put32(t, 0x1000, 0);  // the writer puts the file header's offset here
  return t;
}

void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
  if (!out.flush()) {
    std::fprintf(stderr, "make_firmware: cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

kcoff_writer_section section(const char *name, uint32_t vma, std::vector<uint8_t> contents, uint32_t flags,
                             uint32_t bss_size = 0) {
  kcoff_writer_section s;
  s.name = name, s.vma = vma, s.contents = std::move(contents), s.flags = flags, s.size = bss_size;
  return s;
}

// A defined symbol (section from 1), or a common one of `value` bytes
// (section 0).
kcoff_writer_symbol symbol(const char *name, uint32_t value, uint16_t section = 0) {
  kcoff_writer_symbol s;
  s.name = name, s.value = value, s.section = section;
  return s;
}

kcoff_writer_relocation reloc(uint32_t vma, uint32_t stab_index, uint16_t type, uint32_t addend = 0) {
  kcoff_writer_relocation r;
  r.vma = vma, r.stab_index = stab_index, r.relocation_type = type, r.offset = addend;
  return r;
}

std::vector<uint8_t> build(const kcoff_writer_file &file, const char *what) {
  kcoff_writer_output out;
  if (kcoff_write(file, &out) != 0) {
    std::fprintf(stderr, "make_firmware: %s: %s\n", what, out.error.c_str());
    std::exit(1);
  }
  return out.bytes;
}

// The control program written into the EEPROM: ~40 KiB, with relocations of
// every kind against its own symbols, commons and "edata".
std::vector<uint8_t> default_ucp1() {
  constexpr uint32_t TEXT = 0x8000, DATA_VMA = 0x8000, DATA = 0x2000, BSS_VMA = 0xa000;
  kcoff_writer_file f;
  f.prefixed = true;
  f.sections.push_back(section(".text", 0, text_section("ULVE UCP1 10G stand-in 1.0", TEXT, 1), KCOFF_SECTION_TEXT));
  std::vector<uint8_t> data(DATA);
  Rng rng{7};
  for (uint32_t at = 0; at < DATA; at += 4) put32(data, at, rng.next() & 0xffff0000);
  f.sections.push_back(section(".data", DATA_VMA, data, KCOFF_SECTION_DATA));
  f.sections.push_back(section(".bss", BSS_VMA, {}, KCOFF_SECTION_BSS, 0x1000));

  f.symbols = {
      symbol("_start", 0x400, 1),
      symbol("main_loop", 0x800, 1),
      symbol("rx_ring_descriptors", DATA_VMA + 0x100, 2),
      symbol("edata", 0),
      symbol("msg_log", 0x2000),  // commons: their sizes
      symbol("counters", 64),
      symbol("link_state", 4),
  };
  auto sym = [&](size_t i) { return kcoff_writer_record_index(f, i); };
  // Code words patched with addresses, halves, branch distances and small
  // immediates; data words pointing at code and at the commons.
  auto &text_relocs = f.sections[0].relocations;
  for (uint32_t i = 0; i < 64; i++) {
    uint32_t at = 0x1100 + 16 * i;
    text_relocs.push_back(reloc(at, sym(1), 12));
    text_relocs.push_back(reloc(at + 4, sym(4), 4, 8 * i));
    text_relocs.push_back(reloc(at + 8, sym(4), 5, 8 * i));
    text_relocs.push_back(reloc(at + 12, sym(0), 10));
  }
  text_relocs.push_back(reloc(0x2000, sym(2), 7));
  text_relocs.push_back(reloc(0x2004, sym(2), 8));
  text_relocs.push_back(reloc(0x2008, sym(1), 9));
  text_relocs.push_back(reloc(0x200c, sym(1), 11));
  text_relocs.push_back(reloc(0x2010, sym(3), 12));  // edata
  text_relocs.push_back(reloc(0x2014, sym(5), 6));
  f.sections[1].relocations = {reloc(DATA_VMA + 0x10, sym(0), 12), reloc(DATA_VMA + 0x14, sym(6), 12),
                               reloc(DATA_VMA + 0x18, sym(2), 12, 8)};
  return build(f, "default_ucp1");
}

// The burner: small, with its parameter block and the three symbols that
// the JTAG path fills in.
std::vector<uint8_t> burner_ucp() {
  constexpr uint32_t TEXT = 0x2000, DATA_VMA = 0x2000, BSS_VMA = 0x2100;
  kcoff_writer_file f;
  f.prefixed = true;
  f.sections.push_back(section(".text", 0, text_section("ULVE burner stand-in 1.0", TEXT, 2), KCOFF_SECTION_TEXT));
  std::vector<uint8_t> params(0x100);
  std::memcpy(params.data(), "BURN", 4);
  f.sections.push_back(section(".data", DATA_VMA, params, KCOFF_SECTION_DATA));
  f.sections.push_back(section(".bss", BSS_VMA, {}, KCOFF_SECTION_BSS, 0x100));
  f.symbols = {
      symbol("_start", 0x400, 1),
      symbol("_file_buffer", 0x100000),  // common: room for a whole image
      symbol("_file_size", 4),
      symbol("_just_ucp2", 4),
  };
  for (uint32_t i = 0; i < 3; i++)
    f.sections[1].relocations.push_back(reloc(DATA_VMA + 4 + 4 * i, kcoff_writer_record_index(f, 1 + i), 12));
  return build(f, "burner_ucp");
}

// The boot ROM: 32 KiB of stand-in bytes whose last four force the CRC.
std::vector<uint8_t> boot_rom() {
  std::vector<uint8_t> rom(0x8000);
  Rng rng{3};
  for (auto &b : rom) b = rng.next() >> 24;
  rom[0] = 0x55, rom[1] = 0xAA, rom[2] = rom.size() / 512;  // an option-ROM signature and size
  crc32_force_tail(rom, UCP_ROM_CRC32);
  return rom;
}

std::string c_array(const char *name, const std::vector<uint8_t> &bytes) {
  std::string s = "uint8_t " + std::string(name) + "[] = {";
  char hex[8];
  for (size_t i = 0; i < bytes.size(); i++) {
    std::snprintf(hex, sizeof hex, "%s0x%02x,", i % 16 ? "" : "\n", bytes[i]);
    s += hex;
  }
  return s + "\n};\nuint32_t " + name + "_len = " + std::to_string(bytes.size()) + ";\n";
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_firmware OUTPUT_DIRECTORY\n");
    return 2;
  }
  std::string dir = argv[1];
  auto ucp1 = default_ucp1(), burner = burner_ucp(), rom = boot_rom();
  if (crc32(rom.data(), rom.size()) != UCP_ROM_CRC32) {
    std::fprintf(stderr, "make_firmware: the boot ROM's CRC-32 did not come out right\n");
    return 1;
  }
  write_file(dir + "/default_ucp1.kcoff", ucp1);
  write_file(dir + "/burner_ucp.kcoff", burner);
  write_file(dir + "/ulve10ge.zrom", rom);
  std::string source = "// Generated by make_firmware: the control programs built into nicflash.\n"
                       "#include \"builtin_ucp.h\"\n\n" +
                       c_array("default_ucp1", ucp1) + "\n" + c_array("burner_ucp", burner);
  write_file(dir + "/builtin_ucp.cpp", std::vector<uint8_t>(source.begin(), source.end()));
  return 0;
}
