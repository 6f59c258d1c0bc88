#!/usr/bin/env bash
# The daemon holding a simulated MacBook's battery at 80%, end to end: a private bus, the virtual
# Mac, the Wattkeeper daemon installed in the virtual Mac's root folder, and wattctl in the part
# of the main application. Installs what is missing (Debian 12, as root), builds, runs, shows the
# battery held at its limit and the lid, sleep and plug rules, then a summary and a picture.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

. scripts/packages.sh
. scripts/virtual_mac_world.sh
ensure_packages "${build_packages[@]}" gnuplot-nox

echo "== Building"
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc 2>/dev/null || echo 2)" --target virtual-mac wattctl Wattkeeper >/dev/null
build=$top/build/default

out=$top/build/demo
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d /tmp/wattkeeper-demo.XXXXXX)
root=$work/root
mkdir -p "$root"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

start_bus "$work"
WATTKEEPER_BUS_ADDRESS=$(head -n1 "$work/address")
export WATTKEEPER_BUS_ADDRESS

# The virtual Mac: a MacBook at 50% on its adapter, a minute of battery life each second.
scale=60
"$build/virtual-mac" serve --root "$root" --user anna --charge 50 --time-scale "$scale" \
  --trace "$out/trace.csv" > "$out/virtual-mac.log" 2>&1 &
pids+=($!)
vm() { "$build/virtual-mac" "$@"; }
for _ in $(seq 100); do vm status >/dev/null 2>&1 && break; sleep 0.05; done

# Install the daemon as the main application does on a Mac: the virtual Mac's launchd starts it,
# keeps it alive and stops it with the virtual Mac.
daemon_pid=$(install_daemon "$build")
daemon_log=$root/Library/Logs/Wattkeeper.log
started=$(date +%s.%N)

ctl() { "$build/wattctl" --lang en "$@"; }
for _ in $(seq 100); do ctl status >/dev/null 2>&1 && break; sleep 0.1; done

# One line: the battery, the three keys, and the daemon's last switching line.
line() {
  local status doing
  status=$(vm status --line)
  doing=$(grep -aE '^quill(开启|关闭)' "$daemon_log" | tail -n1 || true)
  printf '\r  %s | daemon: %-24s' "$status" "${doing:-idle}"
}
# Shows the line until the virtual Mac reports the state asked for, or the time runs out.
until_state() {
  local want=$1 limit=$2 t=0
  while [ "$t" -lt "$limit" ]; do
    line
    if vm status --line | grep -q -- "$want"; then echo; return 0; fi
    sleep 0.25
    t=$((t + 1))
  done
  echo; echo "  (still not '$want')"
}
step() { echo; echo "== $*"; }

step "Limit 80%, charge control on"
ctl limit 80
ctl on
until_state "state holding" 240
for _ in $(seq 12); do line; sleep 0.25; done; echo

step "The battery is above the limit (set to 85%): the adapter stops carrying the load"
vm charge 85
until_state "CH0I 1" 80
for _ in $(seq 8); do line; sleep 0.25; done; echo

step "Lid closed: no forced discharge with the lid closed"
vm lid close
until_state "CH0I 0" 80
vm lid open
until_state "CH0I 1" 80

step "Asleep: neither charging nor forced discharge"
vm sleep
until_state "CH0I 0" 80
step "Awake again"
vm wake
until_state "CH0I 1" 80
until_state "state holding" 400

step "Unplugged: the battery carries the Mac"
vm unplug
for _ in $(seq 12); do line; sleep 0.25; done; echo
step "Plugged in again"
vm plug
until_state "state holding" 400

step "Status as the main application sees it"
ctl status

ended=$(date +%s.%N)
step "Summary"
ticks=$(getconf CLK_TCK)
read -r utime stime < <(awk '{print $14, $15}' "/proc/$daemon_pid/stat")
rss=$(awk '/VmHWM/ {print $2 " " $3}' "/proc/$daemon_pid/status")
awk -v s="$started" -v e="$ended" -v u="$utime" -v k="$stime" -v t="$ticks" -v r="$rss" \
  'BEGIN { printf "  ran %.0f s; the daemon used %.2f s of CPU and at most %s of memory\n", e - s, (u + k) / t, r }'
vm trace stop >/dev/null 2>&1 || true
cp "$daemon_log" "$out/daemon.log"
echo "  trace: $out/trace.csv"

gnuplot <<EOF
set datafile separator ","
set key autotitle columnhead
set terminal pngcairo size 1200,700
set output "$out/battery.png"
set multiplot layout 2,1 title "Battery held at 80%"
set ylabel "charge (%)"
set yrange [40:100]
set grid
plot "$out/trace.csv" using (\$1/60):2 with lines lw 2 title "charge", 80 with lines dt 2 title "limit"
set ylabel "switches"
set xlabel "simulated minutes"
set yrange [-0.5:2.5]
plot "$out/trace.csv" using (\$1/60):4 with steps title "CH0B (2: charging inhibited)", \
     "" using (\$1/60):6 with steps lw 2 title "CH0I (1: forced discharge)", \
     "" using (\$1/60):3 with steps dt 3 title "adapter", \
     "" using (\$1/60):(\$7*0.9) with steps dt 2 title "lid closed", \
     "" using (\$1/60):(\$8*0.8) with steps dt 4 title "asleep"
unset multiplot
EOF
echo "  picture: $out/battery.png"

step "Uninstall, as the main application asks for it"
program="$root/Library/Application Support/Halvorn/Battery/Wattkeeper.app/Contents/MacOS/Wattkeeper"
asked=$(date +%s.%N)
ctl uninstall
for _ in $(seq 400); do pgrep -f -x "$program" >/dev/null || break; sleep 0.05; done
gone=$(date +%s.%N)
if pgrep -f -x "$program" >/dev/null; then
  echo "  a daemon is still running"
else
  awk -v a="$asked" -v g="$gone" 'BEGIN { printf "  no daemon left %.1f s after the request (2.5 s of it the daemon'\''s own delay)\n", g - a }'
fi
[ -e "$root/Library/LaunchDaemons/org.wattkeeper.helper.plist" ] && echo "  the job file is still there" ||
  echo "  job file and bundle removed; launchd: $(tools/virtual-mac/bin/launchctl list | tail -n +2 | wc -l) jobs loaded"
echo "  keys: $(vm status --line | grep -o 'CH0B.*CH0I [0-9]')"
