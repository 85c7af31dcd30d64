#include "firmware.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

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

// A producer catching up after a long quiet spell writes at most this many lines.
constexpr uint64_t MAX_CATCH_UP_LINES = 256;

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

Firmware::Firmware(const BoardOptions &options, Chip &chip)
    : options_(options), chip_(chip), header_(options.log_header) {
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
  for (uint32_t i = 0; i < SCRATCH_SIZE; i++) sram[SCRATCH + i] = scratch_byte(i);
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
  load_program();
  write_identification();
  if (const auto &preset = options_.log_preset) {
    uint8_t *ring = chip_.sram() + log_ring();
    uint32_t held = std::min(preset->written, LOG_RING_SIZE);
    for (uint32_t n = preset->written - held; n != preset->written; n++) ring[n % LOG_RING_SIZE] = log_stream_byte(n);
    write_log_header(options_.log_magic.value_or(LOG_MAGIC), preset->written, preset->read);
    return;
  }
  write_log_header(options_.log_magic.value_or(LOG_MAGIC), 0, 0);
  log("ucp: stand-in control program booted, 0x%x bytes at 0x0\n", PROGRAM_SIZE);
}

void Firmware::reset(ResetReason why) {
  resets_++;
  zero_seen_ = false;
  std::string backup = take_backup();  // before the boot overwrites anything
  load_program();
  write_identification();
  write_log_header(LOG_MAGIC, 0, 0);
  log(why == ResetReason::ProgrammedIo ? "ucp: reset: the host cleared SRAM word 0\n" : "ucp: reset\n");
  if (!backup.empty()) log("%s", backup.c_str());
  log("ucp: stand-in control program booted, 0x%x bytes at 0x0\n", PROGRAM_SIZE);
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
  } else if (door || zero_seen_) {
    reset(ResetReason::ProgrammedIo);
  } else {
    zero_seen_ = true;  // a host may be halfway through its stores: look again on the next tick
  }
}

void Firmware::event(const Event &e) {
  switch (e.kind) {
    case Event::Kind::Reset:
      reset(e.reason);
      break;
    case Event::Kind::Tick:
      keep_time();
      produce_lines();
      look_at_word0(false);
      last_tick_us_ = now_us_;
      break;
    default:
      look_at_word0(true);
      break;
  }
}

void Firmware::advance(uint64_t now_us) {
  now_us_ = now_us;
  event({Event::Kind::Tick});
}

uint64_t Firmware::next_deadline_us() const {
  uint64_t deadline = last_tick_us_ + WATCH_PERIOD_US;
  if (options_.log_every) {
    const uint64_t period = std::chrono::duration_cast<std::chrono::microseconds>(*options_.log_every).count();
    deadline = std::min(deadline, next_line_ * period);
  }
  return deadline;
}

}  // namespace sim
