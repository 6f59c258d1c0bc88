#!/usr/bin/env bash
# Builds the fuzz preset and runs fuzz targets one after another, each for a bounded time over a
# scratch copy of its corpus (fuzz/corpus/<target>/), so nothing is written into the repository.
# Fails, keeping the scratch folder with the crashing input, when a target finds a crash.
#
#   bash fuzz/run.sh [seconds per target, default 5] [target...]   (default: every target)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-5}
shift || true
jobs=$(nproc 2>/dev/null || echo 2)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

bin=build/fuzz/fuzz
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in fuzz/*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}

failed=0
for target in "${targets[@]}"; do
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/wattkeeper-fuzz-$target.XXXXXX")
  mkdir -p "$scratch/corpus"
  if [ -d "fuzz/corpus/$target" ]; then cp -R "fuzz/corpus/$target/." "$scratch/corpus/"; fi
  if "$bin/$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$scratch/" "$scratch/corpus" >"$scratch/log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/log")
    coverage=$(grep -o 'cov: [0-9]*' "$scratch/log" | tail -n 1)
    echo "fuzz $target: ${seconds}s, ${runs:-?} runs, ${coverage:-cov: ?}, no crash"
    rm -rf "$scratch"
  else
    echo "fuzz $target: FAILED; input and log kept in $scratch" >&2
    tail -n 60 "$scratch/log" >&2
    failed=1
  fi
done
exit "$failed"
