// nicflash: rewrites the firmware in the EEPROM of every 10G NIC of the
// maker in the host, or, with --rabbit=<hostname>, of one NIC through a
// network JTAG adapter. The control program comes built in; a boot ROM
// file is found by a fixed search and accepted only with the right CRC-32.

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "builtin_ucp.h"
#include "eeprom_ze.h"
#include "kcoff.h"

namespace {

constexpr char ROM_FILE[] = "ulve10ge.zrom";
constexpr char ROM_SHARE_PATH[] = "../share/eeprom_ze/ulve10ge.zrom";

void print_syntax(FILE *out, const char *program) {
  fprintf(out,
          "Syntax: %s [OPTIONS]\n"
          "Valid OPTIONS include:\n"
          "  --help\n"
          "    to print this message.\n"
          "  --rabbit=<hostname>\n"
          "     reprogram a NIC via a rabbit, instead of reprogramming all NICs\n"
          "     in the host.  (Requires additional special hardware from Ulvetek.)\n"
          "\n"
          "This program upgrades the EEPROM of all matching NICs found in\n"
          "the host.\n",
          program);
}

char *strdup2(const char *a, const char *b) {
  size_t la = strlen(a), lb = strlen(b);
  auto s = static_cast<char *>(malloc(la + lb + 1));
  if (!s) return nullptr;
  memcpy(s, a, la);
  memcpy(s + la, b, lb + 1);
  return s;
}

// The concatenation of the strings up to a null pointer, or null when
// memory runs out.
char *strdupN(const char *first, ...) {
  char *s = strdup2(first, "");
  va_list ap;
  va_start(ap, first);
  for (const char *next = va_arg(ap, const char *); s && next; next = va_arg(ap, const char *)) {
    char *longer = strdup2(s, next);
    free(s);
    s = longer;
  }
  va_end(ap);
  return s;
}

// One candidate: dir + "/" + name, accepted when its CRC-32 is the ROM's.
int _find_rom(const char *dir, const char *name, uint32_t expected_crc, char **path_out) {
  char *path = strdupN(dir, "/", name, nullptr);
  if (!path) return ENOMEM;
  uint8_t *content;
  uint32_t size;
  if (int r = kcoff_buffer_file(path, &content, &size)) {
    free(path);
    return r;
  }
  bool good = crc32(content, size) == expected_crc;
  free(content);
  if (!good) {
    free(path);
    return EINVAL;
  }
  fprintf(stderr, "ROM file at %s\n", path);
  *path_out = path;
  return 0;
}

// Next to the program, under its share directory, then under the share
// directory of every PATH element.
int find_rom(const char *program, char **path_out) {
  char *dir = strdup2(program, "");
  if (!dir) return ENOMEM;
  char *slash = strrchr(dir, '/');
  if (slash)
    *slash = '\0';
  else
    dir[0] = '\0';
  int r = _find_rom(dir, ROM_FILE, UCP_ROM_CRC32, path_out);
  if (r) r = _find_rom(dir, ROM_SHARE_PATH, UCP_ROM_CRC32, path_out);
  free(dir);
  if (!r) return 0;

  const char *path = getenv("PATH");
  if (!path) return ENOENT;
  char *elements = strdup2(path, "");
  if (!elements) return ENOMEM;
  for (char *element = elements; element;) {
    char *colon = strchr(element, ':');
    if (colon) *colon = '\0';
    if ((r = _find_rom(element, ROM_SHARE_PATH, UCP_ROM_CRC32, path_out)) == 0) break;
    element = colon ? colon + 1 : nullptr;
  }
  free(elements);
  return r;
}

[[noreturn]] void die(int code, const char *what) {
  errno = code;
  perror(what);
  exit(code);
}

}  // namespace

int main(int argc, char **argv) {
  const char *program = argc > 0 && argv[0] ? argv[0] : "nicflash";
  const char *rabbit = nullptr;
  bool rom_wanted = true;
  for (int i = 1; i < argc; i++) {
    const char *arg = argv[i];
    if (strcmp(arg, "--help") == 0) {
      print_syntax(stdout, program);
      exit(0);
    } else if (strcmp(arg, "--no-pxe") == 0 || strcmp(arg, "--no-rom") == 0) {
      rom_wanted = false;
    } else if (strncmp(arg, "--rabbit=", 9) == 0) {
      rabbit = arg + 9;
    } else {
      print_syntax(stderr, program);
      fprintf(stderr, "\nunrecognized option \"%s\"\n", arg);
      exit(EINVAL);
    }
  }

  kcoff *ucp;
  if (int r = kcoff_from_buffer(&ucp, default_ucp1, default_ucp1_len)) die(r, "could not parse builtin UCP");
  char *rom_path = nullptr;
  if (rom_wanted)
    if (int r = find_rom(program, &rom_path)) die(r, "could not find valid ROM file (looked everywhere)");
  uint8_t *image;
  uint32_t len;
  if (int r = eeprom_ucp_bundle_create(&image, &len, ucp, rom_path)) die(r, "could not build the EEPROM image");

  int r;
  if (rabbit) {
    r = eeprom_burn(rabbit, image, len, 1);
  } else {
    r = eeprom_pci_burn_ucp2(image, len);
    if (r == EPERM) fprintf(stderr, "Perhaps you should run this program as root.\n");
  }
  if (r) die(r, "ucp2 EEPROM burn failed");
  free(image);
  free(rom_path);
  kcoff_free(ucp);
  return 0;
}
