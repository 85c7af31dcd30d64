#include "firmware.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "byte_order.h"

namespace sim {

namespace {

// A deterministic byte per offset, different for each seed.
uint8_t pattern_byte(uint32_t seed, uint32_t offset) {
  uint32_t x = (offset + 1) * 0x9e3779b1u ^ seed;
  x ^= x >> 16;
  x *= 0x85ebca6bu;
  x ^= x >> 13;
  x *= 0xc2b2ae35u;
  return static_cast<uint8_t>(x ^ x >> 16);
}

// The configuration command register: the host's rewrite of it applies the
// write image.
constexpr uint32_t COMMAND = 0x04;

// A producer catching up after a long quiet spell writes at most this many lines.
constexpr uint64_t MAX_CATCH_UP_LINES = 256;


// The two CRC-32s the boot code accepts, computed here on their own so that
// the model judges what a loader wrote without sharing its code.
// CRC-32/BZIP2: polynomial 0x04c11db7, most significant bit first, from all
// ones, complemented.
uint32_t crc32_bzip2(const uint8_t *p, size_t n) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t b = 0; b < 256; b++) {
      uint32_t c = b << 24;
      for (int i = 0; i < 8; i++) c = c & 0x80000000u ? c << 1 ^ 0x04c11db7u : c << 1;
      t[b] = c;
    }
    return t;
  }();
  uint32_t crc = 0xffffffff;
  for (size_t i = 0; i < n; i++) crc = crc << 8 ^ table[(crc >> 24) ^ p[i]];
  return ~crc;
}

// zlib's CRC-32: the same polynomial reflected (0xedb88320), least
// significant bit first.
uint32_t crc32_zlib(const uint8_t *p, size_t n) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t b = 0; b < 256; b++) {
      uint32_t c = b;
      for (int i = 0; i < 8; i++) c = c & 1 ? c >> 1 ^ 0xedb88320u : c >> 1;
      t[b] = c;
    }
    return t;
  }();
  uint32_t crc = 0xffffffff;
  for (size_t i = 0; i < n; i++) crc = crc >> 8 ^ table[(crc ^ p[i]) & 0xff];
  return ~crc;
}

const char *reset_line(ResetReason why) {
  switch (why) {
    case ResetReason::ProgrammedIo: return "ucp: reset: the host cleared SRAM word 0\n";
    case ResetReason::Watchdog: return "ucp: reset: interrupt timer 3 fired as a watchdog\n";
    case ResetReason::Link: return "ucp: reset: the link came back\n";
    default: return "ucp: reset\n";
  }
}

}  // namespace

uint8_t log_stream_byte(uint32_t n) {
  char line[33];
  snprintf(line, sizeof line, "log line %08x of the preset\n", n / 32);
  return line[n % 32];
}

uint8_t Firmware::program_byte(uint32_t offset) {
  uint8_t b = pattern_byte(0x5c0de, offset);
  return offset == 0 ? b | 0x80 : b;  // word 0 is never 0: a 0 there asks for a restart
}

uint8_t Firmware::scratch_byte(uint32_t offset) { return pattern_byte(0x5c7a7c, offset); }

Firmware::Firmware(const BoardOptions &options, Chip &chip, const Eeprom &eeprom)
    : options_(options), chip_(chip), eeprom_(eeprom), header_(options.log_header) {
  if (header_ % 4 || header_ < LOG_RING_BELOW_HEADER || header_ > Chip::SRAM_SIZE - LOG_HEADER_SIZE)
    throw std::invalid_argument("the log header lies at a multiple of 4 from 0x21e8 to 0x1fffe8");
  if (options.log_every && options.log_every->count() <= 0)
    throw std::invalid_argument("the log period is at least a millisecond");
}

uint32_t Firmware::word(uint32_t address) const { return chip_.read(address, 4); }
void Firmware::put_word(uint32_t address, uint32_t value) { chip_.write(address, value, 4); }

void Firmware::load_program() {
  uint8_t *sram = chip_.sram();
  for (uint32_t i = 0; i < PROGRAM_SIZE; i++) sram[i] = program_byte(i);
}

void Firmware::fill_scratch() {
  uint8_t *sram = chip_.sram();
  for (uint32_t i = 0; i < SCRATCH_SIZE; i++) sram[SCRATCH + i] = scratch_byte(i);
}

std::string Firmware::boot_program(bool from_sram) {
  std::string lines;
  if (!(from_sram && boot_hard_switch(lines)) && !boot_second_area(lines)) {
    load_program();
    program_ = Program{};
    char line[96];
    snprintf(line, sizeof line, "ucp: stand-in control program booted, 0x%x bytes at 0x0\n", PROGRAM_SIZE);
    lines += line;
  }
  fill_scratch();
  word0_armed_ = word(0) != 0;
  zero_seen_ = false;
  handoff_seen_.reset();
  running_ = true;
  return lines;
}

bool Firmware::boot_hard_switch(std::string &lines) {
  if (word(HARD_SWITCH) != HARD_SWITCH_MAGIC) return false;
  const uint32_t length = word(HARD_SWITCH + 4), crc = word(HARD_SWITCH + 8);
  char line[200];
  if (length == 0 || length > Chip::SRAM_SIZE - HARD_SWITCH_IMAGE) {
    snprintf(line, sizeof line, "ucp: hard switch refused: 0x%x bytes from 0x%x do not fit in SRAM\n", length,
             HARD_SWITCH_IMAGE);
    lines += line;
    return false;
  }
  uint8_t *sram = chip_.sram();
  const uint32_t bzip2 = crc32_bzip2(sram + HARD_SWITCH_IMAGE, length),
                 zlib = crc32_zlib(sram + HARD_SWITCH_IMAGE, length);
  const char *variant = crc == bzip2                      ? "CRC-32/BZIP2"
                        : crc == __builtin_bswap32(zlib) ? "reflected CRC-32, little-endian"
                                                          : nullptr;
  if (!variant) {
    snprintf(line, sizeof line,
             "ucp: hard switch refused: CRC-32 0x%08x is not the image's (0x%08x, or 0x%08x reflected)\n", crc,
             bzip2, zlib);
    lines += line;
    return false;
  }
  std::memmove(sram, sram + HARD_SWITCH_IMAGE, length);
  snprintf(line, sizeof line, "ucp: hard switch: 0x%x bytes from 0x%x (%s 0x%08x), run at 0x0\n", length,
           HARD_SWITCH_IMAGE, variant, crc);
  lines += line + describe_program(Program::Source::HardSwitch, length);
  return true;
}

bool Firmware::boot_second_area(std::string &lines) {
  const std::vector<uint8_t> &e = eeprom_.bytes();
  const uint64_t size = e.size();
  static const uint8_t valid_start[5] = {0x09, 0x04, 0xff, 0x08, 0x13};
  auto at = [&](uint64_t a) { return eeprom_.read(static_cast<uint32_t>(a)); };
  auto word_at = [&](uint64_t a) { return (uint32_t)at(a) << 24 | at(a + 1) << 16 | at(a + 2) << 8 | at(a + 3); };
  if (size < 32) return false;
  for (int i = 0; i < 5; i++)
    if (at(i) != valid_start[i]) return false;
  const uint64_t area = word_at(20);
  if (area + 12 > size) return false;
  const uint32_t n = word_at(area);
  if (n < 4 || area + 8 + n > size) return false;
  const uint32_t s = word_at(area + 4 + n - 4);
  if (s > Chip::SRAM_SIZE || (uint64_t)s + 4 > n) return false;
  std::vector<uint8_t> body(n);
  for (uint32_t i = 0; i < n; i++) body[i] = at(area + 4 + i);
  if (crc32_bzip2(body.data(), n) != word_at(area + 4 + n)) return false;
  std::copy(body.begin(), body.begin() + s, chip_.sram());
  char line[128];
  snprintf(line, sizeof line, "ucp: the EEPROM's second area at 0x%llx: 0x%x bytes, run at 0x0\n",
           (unsigned long long)area, s);
  lines += line + describe_program(Program::Source::SecondArea, s);
  return true;
}

std::string Firmware::describe_program(Program::Source source, uint32_t length) {
  program_ = Program{source, length, {}, {}};
  const uint8_t *sram = chip_.sram();
  length = std::min(length, Chip::SRAM_SIZE);
  uint32_t header = length >= VERSION_WORD + 4 ? be32(sram + VERSION_WORD) : 0;
  if (header == 0 || header >= length || length - header <= 4) return "ucp: no version header\n";
  std::string version;
  for (uint32_t i = header + 4; i < length && sram[i] && version.size() < VERSION_STRING_MAX; i++)
    version += sram[i] >= 0x20 && sram[i] < 0x7f ? static_cast<char>(sram[i]) : '?';
  program_.version = version;
  std::string lines = "ucp: version: " + version + "\n";
  if (be32(sram + header) < COPY_BLOCK_WORD + 1 || length - header < COPY_BLOCK_WORD + 4) return lines;
  const uint32_t table = be32(sram + header + COPY_BLOCK_WORD);
  if (table == 0 || table >= length || length - table < 8) return lines;
  program_.copy_block_valid = be32(sram + table + 4);
  char line[96];
  snprintf(line, sizeof line, "ucp: copy-block table at 0x%x: %u pages, valid word %u\n", table,
           be32(sram + table), *program_.copy_block_valid);
  return lines + line;
}

void Firmware::log_lines(const std::string &lines) {
  for (size_t at = 0; at < lines.size();) {
    size_t end = lines.find('\n', at);
    end = end == std::string::npos ? lines.size() : end + 1;
    log_text(lines.data() + at, end - at);
    at = end;
  }
}

std::array<uint8_t, Firmware::ID_STRINGS_SIZE> Firmware::identification(const BoardOptions &options) {
  char text[ID_STRINGS_SIZE] = {};
  int n = snprintf(text, sizeof text, "SN=5C%05d%cMAC=00:fa:dd:5c:00:%02x%c", options.index % 100000, 0,
                   options.index & 0xff, 0);
  // The item parser keeps the code short; a longer one is cut, leaving the list's end.
  if (!options.product_code.empty()) snprintf(text + n, sizeof text - n - 1, "PC=%s", options.product_code.c_str());
  std::array<uint8_t, ID_STRINGS_SIZE> bytes;
  memcpy(bytes.data(), text, sizeof text);
  return bytes;
}

void Firmware::write_identification() {
  if (!options_.id_strings) return;
  auto bytes = identification(options_);
  memcpy(chip_.sram() + ID_STRINGS, bytes.data(), bytes.size());
}

void Firmware::boot_scan() {
  const auto image = scan::write_image(scan::power_on_write_values(options_));
  std::copy(image.begin(), image.end(), chip_.sram() + scan::WRITE_IMAGE);
  apply_write_image();
  snapshot_refreshes_ = 0;
  if (!options_.scan_snapshot) {
    located.erase(scan::SNAPSHOT_RESOURCE);
    return;
  }
  located[scan::SNAPSHOT_RESOURCE] = {options_.scan_address.value_or(scan::SNAPSHOT),
                                      options_.scan_length.value_or(scan::SNAPSHOT_SIZE)};
  write_snapshot();
}

void Firmware::apply_write_image() {
  chip_.load_write_chain(scan::decode_write_image(
      std::span<const uint8_t, scan::WRITE_IMAGE_SIZE>(chip_.sram() + scan::WRITE_IMAGE, scan::WRITE_IMAGE_SIZE)));
}

void Firmware::write_snapshot() {
  const auto s = scan::snapshot(options_, chip_.write_chain(), snapshot_refreshes_);
  std::copy(s.begin(), s.end(), chip_.sram() + scan::SNAPSHOT);
}

void Firmware::write_log_header(uint32_t magic, uint32_t written, uint32_t read) {
  boot_us_ = now_us_;
  magic_ = magic;
  written_ = written;
  put_word(header_, static_cast<uint32_t>(boot_us_));
  put_word(header_ + 4, 0);
  put_word(header_ + 8, magic);
  put_word(header_ + 12, written);
  put_word(header_ + 16, read);
  put_word(header_ + 20, log_ring());
}

void Firmware::power_on() {
  std::string lines = boot_program(false);
  write_identification();
  boot_scan();
  if (const auto &preset = options_.log_preset) {
    uint8_t *ring = chip_.sram() + log_ring();
    uint32_t held = std::min(preset->written, LOG_RING_SIZE);
    for (uint32_t n = preset->written - held; n != preset->written; n++) ring[n % LOG_RING_SIZE] = log_stream_byte(n);
    write_log_header(options_.log_magic.value_or(LOG_MAGIC), preset->written, preset->read);
    return;
  }
  write_log_header(options_.log_magic.value_or(LOG_MAGIC), 0, 0);
  log_lines(lines);
}

void Firmware::reset(ResetReason why) {
  resets_++;
  std::string backup = take_backup();  // before the boot overwrites anything
  std::string lines = boot_program(true);
  write_identification();
  boot_scan();
  write_log_header(LOG_MAGIC, 0, 0);
  log("%s", reset_line(why));
  if (!backup.empty()) log("%s", backup.c_str());
  log_lines(lines);
}

std::optional<ResetReason> Firmware::take_restart_request() {
  std::optional<ResetReason> r = restart_request_;
  restart_request_.reset();
  return r;
}

void Firmware::hold() { running_ = false; }

void Firmware::start_from_sram(const std::string &writes) {
  running_ = true;
  word0_armed_ = word(0) != 0;
  zero_seen_ = false;
  handoff_seen_.reset();
  write_log_header(LOG_MAGIC, 0, 0);
  log("ucp: started from SRAM by the host, control writes %s\n", writes.c_str());
  log_lines(describe_program(Program::Source::Sram, Chip::SRAM_SIZE));
}

std::string Firmware::take_backup() {
  const uint32_t magic = word(BACKUP_BLOCK);
  if (magic == BACKUP_SAVE_NEXT) {
    put_word(BACKUP_BLOCK, BACKUP_SAVE);
    return "ucp: SRAM backup: this reset let pass, the next one saves\n";
  }
  if (magic != BACKUP_SAVE) return {};
  const uint32_t length = word(BACKUP_BLOCK + 4), target = word(BACKUP_BLOCK + 8), second = word(BACKUP_BLOCK + 12);
  char line[160];
  if ((uint64_t)target + length > Chip::SRAM_SIZE || (uint64_t)second + SCRATCH_SIZE > Chip::SRAM_SIZE) {
    snprintf(line, sizeof line,
             "ucp: SRAM backup refused: 0x%x bytes to 0x%x and 0x%x bytes to 0x%x do not fit in SRAM\n", length,
             target, SCRATCH_SIZE, second);
    return line;
  }
  uint8_t *sram = chip_.sram();
  // Both copies are of SRAM as it was, whatever they overlap.
  std::vector<uint8_t> start(sram, sram + length), scratch(sram + SCRATCH, sram + SCRATCH + SCRATCH_SIZE);
  std::copy(start.begin(), start.end(), sram + target);
  std::copy(scratch.begin(), scratch.end(), sram + second);
  put_word(BACKUP_BLOCK, BACKUP_DONE);
  snprintf(line, sizeof line, "ucp: SRAM backup: 0x%x bytes from 0x0 saved at 0x%x, 0x%x bytes from 0x%x at 0x%x\n",
           length, target, SCRATCH_SIZE, SCRATCH, second);
  return line;
}

bool Firmware::log_live() const { return word(header_ + 8) == magic_; }

void Firmware::log(const char *fmt, ...) {
  char line[256];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n > 0) log_text(line, std::min<size_t>(n, sizeof line - 1));
}

void Firmware::log_text(const char *text, size_t length) {
  if (!log_live()) return;
  uint8_t *ring = chip_.sram() + log_ring();
  for (size_t i = 0; i < length; i++, written_++) ring[written_ % LOG_RING_SIZE] = text[i];
  put_word(header_ + 12, written_);
}

void Firmware::keep_time() {
  if (log_live()) put_word(header_ + 4, static_cast<uint32_t>(now_us_ - boot_us_));
}

void Firmware::produce_lines() {
  if (!options_.log_every) return;
  const uint64_t period = std::chrono::duration_cast<std::chrono::microseconds>(*options_.log_every).count();
  const uint64_t due = now_us_ / period;  // the lines whose time has come
  if (due >= next_line_ + MAX_CATCH_UP_LINES) next_line_ = due - MAX_CATCH_UP_LINES + 1;
  for (; next_line_ <= due; next_line_++)
    log("ucp: tick %llu at %llu ms\n", (unsigned long long)next_line_,
        (unsigned long long)(next_line_ * period / 1000));
}

void Firmware::look_at_word0(bool door) {
  if (word(0) != 0) {
    zero_seen_ = false;
    word0_armed_ = true;
  } else if (!word0_armed_ || restart_request_) {
    // nothing to restart for, or the restart is on its way
  } else if (door || zero_seen_) {
    restart_request_ = ResetReason::ProgrammedIo;
  } else {
    zero_seen_ = true;  // a host may be halfway through its stores: look again on the next tick
  }
}

void Firmware::look_at_handoff(bool door) {
  const uint8_t *b = chip_.bar0().data() + HANDOFF;
  std::array<uint32_t, HANDOFF_SIZE / 4> block;
  for (size_t i = 0; i < block.size(); i++) block[i] = be32(b + 4 * i);
  if (block[0] != 0xffffffff || block[1] != 0xffffffff || block[2] != HANDOFF_MAGIC) {
    handoff_seen_.reset();
    return;
  }
  if (!door && handoff_seen_ != block) {
    handoff_seen_ = block;  // a host may be halfway through its stores: look again on the next tick
    return;
  }
  handoff_seen_.reset();
  const uint32_t address = block[3], length = block[4], skip = block[5];
  std::memset(chip_.bar0().data() + HANDOFF, 0, HANDOFF_SIZE);
  char line[160];
  if (skip != block[6] || length == 0 || address > Chip::SRAM_SIZE || length > Chip::SRAM_SIZE - address ||
      skip > Chip::SRAM_SIZE - length) {
    snprintf(line, sizeof line, "ucp: soft handoff refused: 0x%x bytes at 0x%x, skip %u and %u, do not fit in SRAM\n",
             length, address, skip, block[6]);
    log("%s", line);
    return;
  }
  handoffs_++;
  uint8_t *sram = chip_.sram();
  std::memmove(sram + skip, sram + address, length);
  snprintf(line, sizeof line, "ucp: soft handoff: 0x%x bytes at 0x%x, run at 0x%x\n", length, address, skip);
  log_lines(line + describe_program(Program::Source::Handoff, skip + length));
  word0_armed_ = word(0) != 0;
  zero_seen_ = false;
}

void Firmware::event(const Event &e) {
  if (e.kind == Event::Kind::Reset) {
    reset(e.reason);
    return;
  }
  if (!running_) return;  // held: the program does nothing
  switch (e.kind) {
    case Event::Kind::Tick:
      keep_time();
      produce_lines();
      look_at_handoff(false);
      look_at_word0(false);
      break;
    default:
      look_at_handoff(true);
      look_at_word0(true);
      if (e.kind == Event::Kind::ConfigWritten && e.address <= COMMAND && COMMAND - e.address < (unsigned)e.width)
        apply_write_image();
      if (options_.scan_snapshot && e.kind == Event::Kind::DebugRequest &&
          ((e.debug_mode == Event::DEBUG_LOCATE && e.address == scan::SNAPSHOT_RESOURCE) ||
           e.debug_mode == Event::DEBUG_SNAPSHOT)) {
        snapshot_refreshes_++;
        write_snapshot();
      }
      break;
  }
}

void Firmware::advance(uint64_t now_us) {
  now_us_ = now_us;
  event({Event::Kind::Tick});
  last_tick_us_ = now_us_;
}

uint64_t Firmware::next_deadline_us() const {
  uint64_t deadline = last_tick_us_ + WATCH_PERIOD_US;
  if (options_.log_every && running_) {
    const uint64_t period = std::chrono::duration_cast<std::chrono::microseconds>(*options_.log_every).count();
    deadline = std::min(deadline, next_line_ * period);
  }
  return deadline;
}

}  // namespace sim
