#!/usr/bin/env bash
# Fuzzes the parsers of untrusted bytes for a bounded time.
#   scripts/fuzz.sh [SECONDS]    (default 60 per target)
# Configures a clang build in build-fuzz/ (FUZZ_BUILD_DIR overrides) with
# ULVE_FUZZ=ON, builds the fuzz targets and their seed corpora, and runs each
# target. The corpus that grows from the seeds is kept in the build tree for
# the next run. Exits non-zero on a finding; the input that caused it is left
# in the build tree's fuzz-artifacts/ folder.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi
./scripts/setup.sh

build=${FUZZ_BUILD_DIR:-build-fuzz}
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DULVE_FUZZ=ON -DULVE_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target kcoff_fuzz kcoff_fuzz_seeds

fuzz="$build/tests/fuzz"
mkdir -p "$fuzz/fuzz-artifacts"
# The one target so far: object files.
for target in kcoff; do
  corpus="$fuzz/${target}_corpus"
  mkdir -p "$corpus"
  echo "== fuzzing $target for $seconds s"
  "$fuzz/${target}_fuzz" -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$fuzz/fuzz-artifacts/${target}-" "$corpus" "$fuzz/${target}_seeds"
done
