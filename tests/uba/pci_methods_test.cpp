// The registry of configuration access methods: the choice from UBA_PCI,
// UBA_VERBOSE and the probes, and the application forcing a method.
//
// The environment is read once per process, so every choice runs in a
// death-test child that sets its own environment first; the parent never
// calls into the registry before forking.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

#include "fake_pci.h"
#include "test_util.h"
#include "uba_internal.h"

using testing::ExitedWithCode;
using testing::MatchesRegex;

namespace {

std::string at_methods(std::string_view msg) { return library_error("pci_methods", msg); }

void set_env(const char *name, const char *value) {
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

constexpr const char *PROBE_ORDER_QUIET = "=> proc\n";
constexpr const char *PROBE_ORDER_VERBOSE =
    "uba: Ignoring ubadrv, probe failed\n"
    "uba: Ignoring fake, probe failed\n"
    "uba: Choosing: proc\n"
    "=> proc\n";

TEST(MethodChoice, FollowsEnvironmentAndProbes) {
  fake_pci::reset();
  struct {
    const char *what;
    const char *uba_pci, *uba_verbose, *uba_driver;
    bool card_file;  // the driver's /proc/uba0 exists
    int fake_probe;
    const char *out;  // standard error before the outcome
    bool none_available;
  } cases[] = {
      {"nothing set", nullptr, nullptr, nullptr, false, -1, PROBE_ORDER_QUIET, false},
      {"verbose", nullptr, "1", nullptr, false, -1, PROBE_ORDER_VERBOSE, false},
      {"any non-empty text is verbose", nullptr, "0", nullptr, false, -1, PROBE_ORDER_VERBOSE, false},
      {"empty UBA_VERBOSE is quiet", nullptr, "", nullptr, false, -1, PROBE_ORDER_QUIET, false},
      {"empty UBA_PCI is unset", "", "1", nullptr, false, -1, PROBE_ORDER_VERBOSE, false},
      {"a successful probe wins over lower numbers", nullptr, "1", nullptr, false, 0,
       "uba: Ignoring ubadrv, probe failed\n"
       "uba: Choosing: fake\n"
       "=> fake\n",
       false},
      {"UBA_PCI passes over other methods", "proc", "1", nullptr, false, 0,
       "uba: Ignoring method: ubadrv\n"
       "uba: Ignoring method: fake\n"
       "uba: Choosing: proc\n"
       "=> proc\n",
       false},
      {"a named method without probe is taken", "iocf8", "1", nullptr, false, -1,
       "uba: Ignoring method: ubadrv\n"
       "uba: Ignoring method: fake\n"
       "uba: Ignoring method: proc\n"
       "uba: Ignoring method: mm\n"
       "uba: Choosing: iocf8\n"
       "=> iocf8\n",
       false},
      {"driver with its card file", nullptr, "1", "1", true, 0, "uba: Choosing: ubadrv\n=> ubadrv\n", false},
      {"driver without card file", nullptr, "1", "1", false, -1, PROBE_ORDER_VERBOSE, false},
      {"empty UBA_DRIVER", nullptr, "1", "", true, -1, PROBE_ORDER_VERBOSE, false},
      {"named method whose probe fails", "fake", "1", nullptr, false, -1,
       "uba: Ignoring method: ubadrv\n"
       "uba: Ignoring fake, probe failed\n"
       "uba: Ignoring method: proc\n"
       "uba: Ignoring method: mm\n"
       "uba: Ignoring method: iocf8\n",
       true},
      {"mm where no window answers", "mm", "1", nullptr, false, -1,
       "uba: Ignoring method: ubadrv\n"
       "uba: Ignoring method: fake\n"
       "uba: Ignoring method: proc\n"
       "uba: Ignoring mm, probe failed\n"
       "uba: Ignoring method: iocf8\n",
       true},
      {"unknown method", "nosuch", "1", nullptr, false, 0,
       "uba: Ignoring method: ubadrv\n"
       "uba: Ignoring method: fake\n"
       "uba: Ignoring method: proc\n"
       "uba: Ignoring method: mm\n"
       "uba: Ignoring method: iocf8\n",
       true},
      {"unknown method, quiet", "nosuch", nullptr, nullptr, false, 0, "", true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    // A host whose physical memory is all zeros, with or without a card.
    TempDir host;
    std::string mem = host.write("dev/mem", "");
    ASSERT_EQ(truncate(mem.c_str(), 0xf2000000), 0);
    if (c.card_file) host.write("proc/uba0", "");
    auto child = [&] {
      set_env("UBA_PCI", c.uba_pci);
      set_env("UBA_VERBOSE", c.uba_verbose);
      set_env("UBA_DRIVER", c.uba_driver);
      uba_host.root = host.path().c_str();
      fake_pci::probe_result = c.fake_probe;
      uba_choose_method();
      fprintf(stderr, "=> %s\n", uba_pci.pci->ops->name);
      exit(0);
    };
    if (c.none_available)
      EXPECT_EXIT(child(), ExitedWithCode(1),
                  MatchesRegex(re_escape(c.out) + at_methods("UBA: No PCI access method available")));
    else
      EXPECT_EXIT(child(), ExitedWithCode(0), MatchesRegex(re_escape(c.out)));
  }
}

TEST(MethodChoice, EnvironmentIsReadOnlyOnce) {
  fake_pci::reset();
  auto child = [] {
    unsetenv("UBA_PCI");
    unsetenv("UBA_VERBOSE");
    unsetenv("UBA_DRIVER");
    uba_pci_init();
    setenv("UBA_PCI", "nosuch", 1);
    setenv("UBA_VERBOSE", "1", 1);
    uba_pci_init();
    uba_choose_method();
    fprintf(stderr, "verbose=%d => %s\n", uba_verbose, uba_pci.pci->ops->name);
    exit(0);
  };
  EXPECT_EXIT(child(), ExitedWithCode(0), MatchesRegex("verbose=0 => proc\n"));
}

TEST(MethodChoice, ChosenMethodStays) {
  fake_pci::reset();
  auto child = [] {
    unsetenv("UBA_PCI");
    setenv("UBA_VERBOSE", "1", 1);
    uba_choose_method();
    fake_pci::probe_result = 0;  // would now win, but the choice is made
    uba_choose_method();
    fprintf(stderr, "=> %s\n", pci_alloc()->ops->name);
    exit(0);
  };
  EXPECT_EXIT(child(), ExitedWithCode(0), MatchesRegex(re_escape(PROBE_ORDER_VERBOSE)));
}

TEST(ForcedMethod, TakesEffectWithoutProbingAndOverridesUbaPci) {
  fake_pci::reset();  // its probe fails
  setenv("UBA_PCI", "proc", 1);
  uba_pci_method(fake_pci::METHOD);
  ASSERT_NE(uba_pci.pci, nullptr);
  EXPECT_STREQ(uba_pci.pci->ops->name, "fake");
  uba_choose_method();
  EXPECT_EQ(pci_alloc(), uba_pci.pci);
  EXPECT_STREQ(uba_pci.pci->ops->name, "fake");
  EXPECT_EQ(fake_pci::init_calls, 0) << "the scan initialises the method, not the choice";
}

TEST(ForcedMethod, DiscardsTheScannedListOfTheOldMethod) {
  fake_pci::reset();
  fake_pci::add(0, 0, 0, 0x8086, 0x0001);
  fake_pci::add(0, 3, 0, 0x8086, 0x0002);
  fake_pci::use();
  pci_access *fake = pci_alloc();
  pci_scan_bus(fake);
  ASSERT_NE(fake->devices, nullptr);

  uba_pci_method(UBA_PCI_IOCF8);
  EXPECT_STREQ(uba_pci.pci->ops->name, "iocf8");
  EXPECT_EQ(fake_pci::close_calls, 2);
  EXPECT_EQ(fake_pci::fini_calls, 1);
  EXPECT_EQ(fake->devices, nullptr);
  EXPECT_FALSE(uba_pci.scanned);

  // Nothing was scanned with iocf8, so going back finishes nothing, and the
  // next scan starts the fake afresh.
  uba_pci_method(fake_pci::METHOD);
  EXPECT_EQ(fake_pci::fini_calls, 1);
  pci_scan_bus(pci_alloc());
  EXPECT_EQ(fake_pci::init_calls, 2);
  int listed = 0;
  for (pci_dev *d = fake->devices; d; d = d->next) listed++;
  EXPECT_EQ(listed, 2);
}

TEST(ForcedMethod, RefusesEmptySlotsAndNumbersAboveNine) {
  struct {
    unsigned m;
    const char *shown;
  } cases[] = {{10, "10"}, {0, "0"}, {4, "4"}, {6, "6"}, {0xffffffffu, "-1"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.shown);
    // The message ends in a newline of its own, and the report adds one.
    EXPECT_EXIT(uba_pci_method(c.m), ExitedWithCode(1),
                MatchesRegex(at_methods(std::string("Application request invalid uba pci method ") + c.shown + "\n")));
  }
}

TEST(Registry, IgnoresTopBitsAndRefusesLargeNumbers) {
  static uba_pci_ops ops{};
  static pci_access mine{};
  ops.name = "mine";
  mine.ops = &ops;
  uba_pci_register(int(0xc0000005u), &mine);
  uba_pci_method(5);
  EXPECT_EQ(uba_pci.pci, &mine);

  EXPECT_EXIT(uba_pci_register(10, &mine), ExitedWithCode(1),
              MatchesRegex(at_methods("uba_pci_register: invalid method 10")));
  EXPECT_EXIT(uba_pci_register(0x4000000a, &mine), ExitedWithCode(1),
              MatchesRegex(at_methods("uba_pci_register: invalid method 1073741834")));
}

}  // namespace
