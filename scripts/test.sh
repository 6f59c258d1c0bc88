#!/usr/bin/env bash
# Runs every test: installs what is missing (Debian 12, as root), then builds and runs the plain
# suite, the AddressSanitizer+UBSan suite and the ThreadSanitizer suite.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libplist-dev libsdbus-c++-dev
          libasio-dev libcli11-dev dbus bubblewrap)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
fi

jobs=$(nproc 2>/dev/null || echo 2)
for preset in ${WATTKEEPER_PRESETS:-default asan tsan}; do
  echo "== ${preset}"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
