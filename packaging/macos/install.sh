#!/usr/bin/env bash
# Installs the daemon on a developer's Mac as the main application would: its bundle in its
# install location, its launchd job file in /Library/LaunchDaemons, then loads the job. A daemon
# already installed is unloaded and replaced.
#
# Usage: sudo packaging/macos/install.sh [path/to/Wattkeeper.app]
#        (default: build/macos/bundles/Wattkeeper.app of this source tree)
#
# The label, the install location and the job file's name are those of protocol/config.h and of
# the daemon's own removal; scripts/check-macos.sh checks that they agree.
set -euo pipefail

label=org.wattkeeper.helper
install_folder="/Library/Application Support/Halvorn/Battery"
bundle_path="$install_folder/Wattkeeper.app"
job_file="/Library/LaunchDaemons/$label.plist"

here=$(cd "$(dirname "$0")" && pwd)
source_tree=$(cd "$here/../.." && pwd)
bundle=${1:-$source_tree/build/macos/bundles/Wattkeeper.app}

if [[ $(uname -s) != Darwin ]]; then
  echo "install.sh: this installs a macOS launch daemon; run it on a Mac" >&2
  exit 1
fi
if [[ $EUID -ne 0 ]]; then
  echo "install.sh: run with sudo: the daemon is installed for root under /Library" >&2
  exit 1
fi
if [[ ! -x "$bundle/Contents/MacOS/Wattkeeper" ]]; then
  echo "install.sh: no daemon bundle at $bundle; build it first (see the README's macOS section)" >&2
  exit 1
fi
if ! codesign --verify --strict "$bundle"; then
  echo "install.sh: $bundle is not validly signed; build it again" >&2
  exit 1
fi

if launchctl list | grep -q "$label"; then
  echo "Unloading the running daemon"
  launchctl unload "$job_file" || true
fi

echo "Installing $bundle_path"
mkdir -p "$install_folder"
rm -rf "$bundle_path"
# ditto keeps the bundle's signature, extended attributes and symbolic links as they are.
ditto "$bundle" "$bundle_path"
chown -R root:wheel "$bundle_path"
chmod -R go-w "$bundle_path"

echo "Installing $job_file"
install -m 644 -o root -g wheel "$here/$label.plist" "$job_file"

echo "Loading $label"
launchctl load "$job_file"

echo "Done. The daemon runs as root; its output goes to /Library/Logs/Wattkeeper.log."
echo "Charge control stays off until the main application (or wattctl) sends openSMC."
