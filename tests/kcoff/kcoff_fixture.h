// Helpers shared by the kcoff tests: writing fixture files and holding handles.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "kcoff.h"
#include "kcoff_writer.h"

struct kcoff_deleter {
  void operator()(kcoff *k) const { kcoff_free(k); }
};
using kcoff_ptr = std::unique_ptr<kcoff, kcoff_deleter>;

// The written file; a test failure when the writer refuses the description.
inline kcoff_writer_output write_file(const kcoff_writer_file &f) {
  kcoff_writer_output out;
  EXPECT_EQ(kcoff_write(f, &out), 0) << out.error;
  return out;
}

// A handle over `bytes`, parsed in place; null (and a test failure) when the
// file is refused.
inline kcoff_ptr parse(std::vector<uint8_t> &bytes) {
  kcoff *k = nullptr;
  int rc = kcoff_from_buffer(&k, bytes.data(), bytes.size());
  EXPECT_EQ(rc, 0);
  return kcoff_ptr(rc ? nullptr : k);
}

inline kcoff_writer_symbol defined(std::string name, uint32_t value, uint16_t section) {
  return {.name = std::move(name), .value = value, .section = section};
}

inline kcoff_writer_symbol common(std::string name, uint32_t size) { return {.name = std::move(name), .value = size}; }

// An auxiliary record of the given bytes, the rest zero.
inline std::array<uint8_t, 20> aux_record(std::string_view bytes) {
  std::array<uint8_t, 20> a{};
  std::copy(bytes.begin(), bytes.end(), a.begin());
  return a;
}
