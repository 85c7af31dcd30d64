#!/usr/bin/env bash
# Builds the suite and runs the whole test suite.
#   scripts/test.sh              normal build in build/
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-sanitize/
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

build=build
options=()
if [ "${1:-}" = --sanitize ]; then
  build=build-sanitize
  options=(-DULVE_SANITIZE=ON -DULVE_BENCH=OFF)
  # The tests provoke allocation failures on purpose.
  export ASAN_OPTIONS=allocator_may_return_null=1:abort_on_error=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi

cmake -S . -B "$build" "${options[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" -j"$(nproc)" --output-on-failure
