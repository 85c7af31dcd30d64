#!/usr/bin/env bash
# Fuzzes the parsers of untrusted bytes for a bounded time.
#   scripts/fuzz.sh [SECONDS]    (default 60, shared equally by the targets)
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
# Object files, and the simulator's messages.
targets=(kcoff sim)
build_targets=()
for target in "${targets[@]}"; do build_targets+=("${target}_fuzz" "${target}_fuzz_seeds"); done
cmake --build "$build" -j"$(nproc)" --target "${build_targets[@]}"

each=$((seconds / ${#targets[@]}))
((each > 0)) || each=1
fuzz="$build/tests/fuzz"
mkdir -p "$fuzz/fuzz-artifacts"
for target in "${targets[@]}"; do
  corpus="$fuzz/${target}_corpus"
  mkdir -p "$corpus"
  echo "== fuzzing $target for $each s"
  "$fuzz/${target}_fuzz" -max_total_time="$each" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$fuzz/fuzz-artifacts/${target}-" "$corpus" "$fuzz/${target}_seeds"
done
