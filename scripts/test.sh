#!/usr/bin/env bash
# Runs every test: installs what is missing (Debian 12, as root), then builds and runs the plain
# suite (and clang-tidy over the system's code, scripts/lint.sh), the AddressSanitizer+UBSan suite
# and the ThreadSanitizer suite, and last runs each fuzz target briefly over its corpus
# (WATTKEEPER_FUZZ_SECONDS each, default 5; 0 skips them).
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/packages.sh
ensure_packages "${build_packages[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
for preset in ${WATTKEEPER_PRESETS:-default asan tsan}; do
  echo "== ${preset}"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  if [ "$preset" = default ]; then bash scripts/lint.sh; fi
  ctest --preset "$preset" -j "$jobs"
done

fuzz_seconds=${WATTKEEPER_FUZZ_SECONDS:-5}
if [ "$fuzz_seconds" != 0 ]; then
  echo "== fuzz"
  bash fuzz/run.sh "$fuzz_seconds"
fi
