// Symbols: the name index, lookups, common-symbol addresses, and the heap the
// index is sorted with.

#include <algorithm>
#include <cerrno>
#include <random>

#include "kcoff_fixture.h"

namespace {

kcoff_writer_section bss_ending_at_0x1234() {
  return {.name = ".bss", .vma = 0x1000, .flags = KCOFF_SECTION_BSS, .size = 0x234};
}

kcoff_writer_file named_symbols() {
  kcoff_writer_file f;
  f.sections = {
      {.name = ".text", .vma = 0, .contents = kcoff_writer_words({0, 0}), .flags = KCOFF_SECTION_TEXT},
      {.name = ".data", .vma = 0x100, .contents = kcoff_writer_words({0, 0}), .flags = KCOFF_SECTION_DATA},
      bss_ending_at_0x1234(),
  };
  f.symbols = {
      defined("zeta", 0x40, 1),
      defined("abcdefgh", 0x20, 2),
      {.name = "abcdefgi", .value = 0x24, .section = 2, .in_string_table = true},
      defined("a_much_longer_name", 0x30, 1),
      // Auxiliary records are not symbols, whatever their bytes look like.
      {.name = "a", .value = 0x10, .section = 1, .class_ = KCOFF_CLASS_STATIC,
       .aux = {aux_record("ghost"), aux_record(std::string_view("\0\0\0\0\0\0\0\0", 8))}},
      defined("mid", 0x50, 1),
  };
  return f;
}

TEST(KcoffSymbols, LookupByName) {
  kcoff_writer_output out = write_file(named_symbols());
  kcoff_ptr k = parse(out.bytes);
  ASSERT_TRUE(k);
  struct {
    const char *name;
    int rc;
    uint32_t value;
  } cases[] = {
      {"a", 0, 0x10},
      {"abcdefgh", 0, 0x20},            // 8 characters inline, unterminated
      {"abcdefgi", 0, 0x24},            // 8 characters in the string table
      {"a_much_longer_name", 0, 0x30},
      {"zeta", 0, 0x40},
      {"mid", 0, 0x50},
      {"abcdefghX", EINVAL, 0},         // longer than the 8-character name it begins with
      {"abcdefgiX", EINVAL, 0},
      {"abcdefg", EINVAL, 0},
      {"a_much_longer_nam", EINVAL, 0},
      {"ghost", EINVAL, 0},             // an auxiliary record
      {"", EINVAL, 0},
      {"b", EINVAL, 0},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(kcoff_symbol_lookup(k.get(), c.name, &value), c.rc);
    EXPECT_EQ(value, c.rc ? 0xDEADBEEF : c.value);
  }

  // One entry per symbol, in name order.
  ASSERT_EQ(k->stab_index_cnt, 6u);
  std::vector<std::string> names;
  for (uint32_t i = 0; i < k->stab_index_cnt; i++) {
    const kcoff_stab_record *r = k->stab_idx[i];
    names.push_back(r->zero ? std::string(r->name, strnlen(r->name, 8)) : std::string(k->stabstr + r->index));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"a", "a_much_longer_name", "abcdefgh", "abcdefgi", "mid", "zeta"}));
  kcoff_stab_record *rec = nullptr;
  ASSERT_EQ(kcoff_stab_index_lookup(k.get(), "mid", &rec), 0);
  EXPECT_EQ(rec, &k->stab[7]);
}

TEST(KcoffSymbols, FileWithoutSymbols) {
  kcoff_writer_file f;
  f.sections = {bss_ending_at_0x1234()};
  kcoff_writer_output out = write_file(f);
  kcoff_ptr k = parse(out.bytes);
  ASSERT_TRUE(k);
  EXPECT_EQ(kcoff_symbol_lookup(k.get(), "", nullptr), EINVAL);
  EXPECT_EQ(kcoff_symbol_lookup(k.get(), "main", nullptr), EINVAL);
  EXPECT_EQ(k->stab_index_cnt, 0u);
  ASSERT_EQ(kcoff_stabx_add(k.get(), nullptr), 0);
  EXPECT_EQ(kcoff_stabx_common_vma_limit(k.get()), 0x1240u);
}

TEST(KcoffSymbols, SeveralSymbolsOfOneNameGiveTheFirstInTheFile) {
  kcoff_writer_file f;
  f.sections = {{.name = ".text", .contents = {0, 0, 0, 0}}};
  for (int i = 0; i < 12; i++) {
    f.symbols.push_back(defined(i % 3 ? "dup" : "other" + std::to_string(i), 0x100 + i, 1));
    if (i == 7) f.symbols.push_back(defined("duplicate", 0x999, 1));
  }
  kcoff_writer_output out = write_file(f);
  kcoff_ptr k = parse(out.bytes);
  ASSERT_TRUE(k);
  uint32_t value = 0;
  ASSERT_EQ(kcoff_symbol_lookup(k.get(), "dup", &value), 0);
  EXPECT_EQ(value, 0x101u);
}

TEST(KcoffCommons, AddressesFollowBss) {
  struct {
    const char *what;
    std::vector<uint32_t> sizes;
    std::vector<uint32_t> addresses;
    uint32_t limit;
  } cases[] = {
      {"4, 32, 4", {4, 32, 4}, {0x1240, 0x1250, 0x1270}, 0x1274},
      {"small ones packed", {3, 5, 15, 1, 16}, {0x1240, 0x1243, 0x1248, 0x1257, 0x1260}, 0x1270},
      {"size 0", {0, 4}, {0x1240, 0x1240}, 0x1244},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    kcoff_writer_file f;
    f.sections = {{.name = ".text", .contents = {0, 0, 0, 0}}, bss_ending_at_0x1234()};
    f.symbols.push_back(defined("main", 0x10, 1));
    for (size_t i = 0; i < c.sizes.size(); i++) {
      f.symbols.push_back(common("c" + std::to_string(i), c.sizes[i]));
      // An auxiliary record after the first common symbol: never a symbol.
      if (i == 0) f.symbols.back().aux = {aux_record("")};
    }
    kcoff_writer_output out = write_file(f);
    kcoff_ptr k = parse(out.bytes);
    ASSERT_TRUE(k);
    uint32_t value = 0;
    EXPECT_EQ(kcoff_symbol_lookup(k.get(), "c0", nullptr), 0);
    EXPECT_EQ(kcoff_symbol_lookup(k.get(), "c0", &value), EINVAL);  // no address before the table
    ASSERT_EQ(kcoff_stabx_add(k.get(), nullptr), 0);
    for (size_t i = 0; i < c.sizes.size(); i++) {
      ASSERT_EQ(kcoff_symbol_lookup(k.get(), ("c" + std::to_string(i)).c_str(), &value), 0);
      EXPECT_EQ(value, c.addresses[i]) << "c" << i;
      EXPECT_EQ(k->stabx[out.stab_record[i + 1]].common_value, c.addresses[i]);
    }
    EXPECT_EQ(k->stabx[0].common_value, 0u);  // defined
    EXPECT_EQ(k->stabx[2].common_value, 0u);  // the auxiliary record
    EXPECT_EQ(kcoff_stabx_common_vma_limit(k.get()), c.limit);
    EXPECT_EQ(k->stabx[k->header->stab_cnt].common_value, c.limit);
    ASSERT_EQ(kcoff_symbol_lookup(k.get(), "main", &value), 0);
    EXPECT_EQ(value, 0x10u);

    kcoff_stabx *table = k->stabx;
    EXPECT_EQ(kcoff_stabx_add(k.get(), nullptr), 0);  // built once
    EXPECT_EQ(k->stabx, table);
  }
}

TEST(KcoffCommons, NeedsBss) {
  kcoff_writer_file f;
  f.sections = {{.name = ".text", .contents = {0, 0, 0, 0}}};
  f.symbols = {common("c", 4)};
  kcoff_writer_output out = write_file(f);
  kcoff_ptr k = parse(out.bytes);
  ASSERT_TRUE(k);
  EXPECT_EQ(kcoff_stabx_add(k.get(), nullptr), EINVAL);
  EXPECT_EQ(k->stabx, nullptr);
}

TEST(KcoffCommons, SecondHandleLendsItsAddresses) {
  kcoff_writer_file lender;
  lender.sections = {{.name = ".text", .contents = {0, 0, 0, 0}},
                     {.name = ".bss", .vma = 0x8000, .flags = KCOFF_SECTION_BSS, .size = 0x10}};
  lender.symbols = {
      defined("shared_function_name", 0x4444, 1),
      common("shared_buf", 64),                                      // at 0x8010 in the lender
      {.name = "private", .value = 0x5555, .section = 1, .class_ = KCOFF_CLASS_STATIC},
      defined("mine", 0x6666, 1),
  };
  kcoff_writer_file borrower;
  borrower.sections = {{.name = ".text", .contents = {0, 0, 0, 0}}, bss_ending_at_0x1234()};
  borrower.symbols = {
      common("shared_function_name", 4),
      common("shared_buf", 4),
      common("private", 4),
      {.name = "mine", .value = 4, .class_ = KCOFF_CLASS_STATIC},  // not external here
      common("absent", 4),
  };
  kcoff_writer_output lent = write_file(lender), borrowed = write_file(borrower);
  kcoff_ptr other = parse(lent.bytes), k = parse(borrowed.bytes);
  ASSERT_TRUE(other && k);
  EXPECT_EQ(kcoff_stabx_add(k.get(), other.get()), EINVAL);  // the lender has no table yet
  EXPECT_EQ(k->stabx, nullptr);
  ASSERT_EQ(kcoff_stabx_add(other.get(), nullptr), 0);
  ASSERT_EQ(kcoff_stabx_add(k.get(), other.get()), 0);
  struct {
    const char *name;
    uint32_t address;
  } expected[] = {
      {"shared_function_name", 0x4444}, {"shared_buf", 0x8010}, {"private", 0x1240}, {"mine", 0x1244},
      {"absent", 0x1248},
  };
  for (auto &e : expected) {
    uint32_t value = 0;
    ASSERT_EQ(kcoff_symbol_lookup(k.get(), e.name, &value), 0) << e.name;
    EXPECT_EQ(value, e.address) << e.name;
  }
  EXPECT_EQ(kcoff_stabx_common_vma_limit(k.get()), 0x124Cu);
}

// ---------------------------------------------------------------------------

int compare_ints(const void *a, const void *b) {
  int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
  return (x > y) - (x < y);
}

std::vector<int> sorted_values(std::vector<int> values) {
  std::vector<void *> elements;
  for (int &v : values) elements.push_back(&v);
  kcoff_heap_sort(elements.data(), elements.size(), compare_ints);
  std::vector<int> out;
  for (void *e : elements) out.push_back(*static_cast<int *>(e));
  return out;
}

TEST(KcoffHeap, SortsInPlace) {
  std::vector<std::vector<int>> cases = {{}, {5}, {1, 2}, {2, 1}, {3, 3}, {7, 7, 7, 7}, {2, 1, 2, 1, 2}};
  std::mt19937 random(12345);
  for (int n : {3, 10, 101}) {
    std::vector<int> v(n);
    for (int &x : v) x = random() % 20;
    cases.push_back(v);
  }
  for (auto &c : cases) {
    std::vector<int> expected = c;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sorted_values(c), expected);
  }
}

TEST(KcoffHeap, GrowsAndGivesTheGreatestFirst) {
  kcoff_heap *h = nullptr;
  ASSERT_EQ(kcoff_heap_create(&h, compare_ints, 1), 0);
  EXPECT_EQ(kcoff_heap_peek(h), nullptr);
  EXPECT_EQ(kcoff_heap_remove(h), nullptr);
  std::vector<int> values = {5, 1, 9, 3, 9, 0, 7, 2, 8};
  for (int &v : values) ASSERT_EQ(kcoff_heap_insert(h, &v), 0);
  EXPECT_EQ(h->cnt, values.size() + 1);
  EXPECT_GE(h->allocated, h->cnt);
  std::vector<int> out;
  while (void *top = kcoff_heap_peek(h)) {
    EXPECT_EQ(kcoff_heap_remove(h), top);
    out.push_back(*static_cast<int *>(top));
  }
  EXPECT_EQ(out, (std::vector<int>{9, 9, 8, 7, 5, 3, 2, 1, 0}));
  EXPECT_EQ(h->cnt, 1u);
  kcoff_heap_destroy(h);
}

}  // namespace
