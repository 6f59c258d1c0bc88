#!/usr/bin/env bash
# Checks the macOS backend on a machine without Apple's SDK: compiles every source of
# platform/macos/ and the two macOS composition roots with clang in syntax-only mode, against
# tests/macos_sdk_stub/, which declares the Apple calls, types and constants they use as the SDK
# declares them. A misspelt call, a wrong argument or type, a missing include or an unguarded
# deprecated name fails here. Warnings count as errors. Nothing is linked or run: whether the
# calls behave needs a Mac.
#
# It also checks that the packaging files are well-formed and agree with protocol/config.h.
#
# Usage: scripts/check-macos.sh            (CLANGXX=... picks the compiler; clang++ by default)
set -euo pipefail
cd "$(dirname "$0")/.."

clang=${CLANGXX:-}
if [[ -z "$clang" ]]; then
  for candidate in clang++ clang++-14 clang++-15 clang++-16; do
    if command -v "$candidate" >/dev/null 2>&1; then clang=$candidate; break; fi
  done
fi
if [[ -z "$clang" ]]; then
  echo "check-macos: no clang++ found (set CLANGXX)" >&2
  exit 2
fi

stub=tests/macos_sdk_stub
common=(-std=c++20 -fsyntax-only -Wall -Wextra -Werror -I"$stub" -I.)
# Objective-C++ as on the Mac: ARC, blocks, and the Mac's Objective-C runtime (without it clang
# assumes the GNU runtime, which has no ARC).
objc=(-x objective-c++ -fobjc-arc -fblocks -fobjc-runtime=macosx-10.15)

failed=0
checked=0
check() {
  local file=$1
  shift
  checked=$((checked + 1))
  if ! "$clang" "${common[@]}" "$@" "$file"; then
    echo "check-macos: FAILED $file" >&2
    failed=1
  fi
}

shopt -s nullglob
for file in platform/macos/*.cpp; do check "$file"; done
for file in platform/macos/*.mm apps/wattkeeper/main_macos.mm apps/wattstarter/main_macos.mm; do
  check "$file" "${objc[@]}"
done
# Each header on its own, so that every one includes what it uses.
for header in platform/macos/*.h; do
  if grep -q '__OBJC__' "$header"; then
    check "$header" "${objc[@]}" -Wno-pragma-once-outside-header
  else
    check "$header" -x c++ -Wno-pragma-once-outside-header
  fi
done

# Packaging: the job file is named after and labelled with the daemon's label, and every
# property list parses.
label=$(sed -n 's/.*HelperLabel = "\([^"]*\)".*/\1/p' protocol/config.h)
suite=$(sed -n 's/.*AppGroupSuite = "\([^"]*\)".*/\1/p' protocol/config.h)
job=packaging/macos/$label.plist
if [[ -z "$label" || ! -f "$job" ]]; then
  echo "check-macos: no launchd job file named after HelperLabel ($job)" >&2
  failed=1
else
  checked=$((checked + 1))
  if ! grep -qF "<string>$label</string>" "$job"; then
    echo "check-macos: $job does not carry the label $label" >&2
    failed=1
  fi
  # The program lies in the bundle that the daemon's uninstall removes.
  checked=$((checked + 1))
  if ! grep -qF "<string>/Library/Application Support/Halvorn/Battery/Wattkeeper.app/Contents/MacOS/Wattkeeper</string>" "$job" ||
     ! grep -qF "/Library/Application' 'Support/Halvorn/Battery/Wattkeeper.app" daemon/core/request_dispatch.cpp; then
    echo "check-macos: $job does not start the daemon where its uninstall looks for it" >&2
    failed=1
  fi
fi
for script in packaging/macos/install.sh packaging/macos/uninstall.sh; do
  checked=$((checked + 1))
  if ! grep -qF "label=$label" "$script"; then
    echo "check-macos: $script does not use the label $label" >&2
    failed=1
  fi
done
for entitlements in packaging/macos/*.entitlements; do
  checked=$((checked + 1))
  if ! grep -qF "<string>$suite</string>" "$entitlements"; then
    echo "check-macos: $entitlements does not name the group $suite" >&2
    failed=1
  fi
done
if command -v python3 >/dev/null 2>&1; then
  for plist in packaging/macos/*.plist packaging/macos/*.entitlements; do
    checked=$((checked + 1))
    if ! python3 -c 'import plistlib, sys; plistlib.load(open(sys.argv[1], "rb"))' "$plist"; then
      echo "check-macos: $plist is not a property list" >&2
      failed=1
    fi
  done
fi
for script in packaging/macos/*.sh; do
  checked=$((checked + 1))
  if ! bash -n "$script"; then
    echo "check-macos: $script is not valid bash" >&2
    failed=1
  fi
done

if [[ $failed -ne 0 ]]; then
  echo "check-macos: failed" >&2
  exit 1
fi
echo "check-macos: $checked checks passed ($clang, syntax only against $stub)"
