#!/usr/bin/env bash
# clang-tidy over the system's own code (.clang-tidy holds the checks), with the compile commands
# of the plain build: run after `cmake --preset default`. Fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/default
if [ ! -f "$build/compile_commands.json" ]; then
  echo "lint: no $build/compile_commands.json (configure the default preset first)" >&2
  exit 2
fi
# The macOS backend does not compile here; scripts/check-macos.sh checks it.
mapfile -t files < <(git ls-files 'apps/*.cpp' 'daemon/*.cpp' 'loginitem/*.cpp' 'platform/*.cpp' 'protocol/*.cpp' |
                     grep -v '^platform/macos/')
jobs=$(nproc 2>/dev/null || echo 2)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
printf '%s\n' "${files[@]}" | xargs -P "$jobs" -n 4 clang-tidy -p "$build" --quiet >"$log" 2>&1 || status=$?
# clang-tidy counts the warnings it suppressed (system headers); only findings matter.
grep -v 'warnings\? generated\.$' "$log" || true
if [ "$status" != 0 ]; then
  echo "lint: clang-tidy found the above" >&2
  exit 1
fi
echo "lint: ${#files[@]} files clean"
