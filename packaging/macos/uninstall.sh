#!/usr/bin/env bash
# Removes the daemon from a developer's Mac the way the daemon removes itself on an uninstall
# request: the listing test, the bundle's removal, the unload when the job was loaded (a failed
# unload keeps the job file), then the job file's removal. The same four command lines, in the
# same order. launchctl unload returns once launchd has stopped the daemon (SIGTERM: it hands
# charging back and exits). The log file under /Library/Logs stays.
#
# Usage: sudo packaging/macos/uninstall.sh
set -uo pipefail

label=org.wattkeeper.helper

if [[ $(uname -s) != Darwin ]]; then
  echo "uninstall.sh: this removes a macOS launch daemon; run it on a Mac" >&2
  exit 1
fi
if [[ $EUID -ne 0 ]]; then
  echo "uninstall.sh: run with sudo: the daemon is installed for root under /Library" >&2
  exit 1
fi

listing=$(/bin/bash -c "launchctl list | grep $label")
loaded=0
[[ $listing == *"$label"* ]] && loaded=1

/bin/bash -c "rm -rf /Library/Application' 'Support/Halvorn/Battery/Wattkeeper.app"

if [[ $loaded -eq 1 ]]; then
  if ! /bin/bash -c "launchctl unload /Library/LaunchDaemons/$label.plist"; then
    echo "uninstall.sh: launchctl unload failed; the job file stays in place, as the daemon leaves it" >&2
    exit 1
  fi
fi

/bin/bash -c "rm -f /Library/LaunchDaemons/$label.plist"
echo "Removed $label"
