#!/usr/bin/env bash
# Runs every test: installs what is missing (Debian 12, as root), then builds and runs the plain
# suite, the AddressSanitizer+UBSan suite and the ThreadSanitizer suite.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/packages.sh
ensure_packages "${build_packages[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
for preset in ${WATTKEEPER_PRESETS:-default asan tsan}; do
  echo "== ${preset}"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
