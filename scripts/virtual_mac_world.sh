# Sourced by the scripts that run the daemon against the virtual Mac (from the repository's top).

# start_bus DIR: a private bus with its socket in DIR, so nothing reaches the machine's own
# buses; sets bus_pid and adds it to the array pids. The address is in DIR/address.
start_bus() {
  local dir=$1
  mkdir -p "$dir"
  cat > "$dir/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$dir/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
  dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile --print-address=1 > "$dir/address" 2> "$dir/bus.log" &
  bus_pid=$!
  pids+=("$bus_pid")
  for _ in $(seq 100); do [ -s "$dir/address" ] && break; sleep 0.05; done
  [ -s "$dir/address" ] || { echo "no bus; see $dir/bus.log" >&2; exit 1; }
}

# install_daemon BUILD: installs BUILD's daemon in the running virtual Mac as a Mac's main
# application does (`wattctl install`: the bundle, the launchd job file of packaging/macos, the job
# loaded), waits until the virtual Mac's launchd runs it and prints its process id. Its output goes
# to /Library/Logs/Wattkeeper.log of the virtual root, as the job file says.
install_daemon() {
  local build=$1 pid=
  "$build/wattctl" --lang en install >&2 || return 1
  for _ in $(seq 100); do
    pid=$(daemon_pid) && break
    sleep 0.05
  done
  [ -n "$pid" ] || { echo "the virtual Mac's launchd does not run the daemon" >&2; return 1; }
  echo "$pid"
}

# daemon_pid: the process id of the daemon's job in the virtual Mac's launchd; fails when it runs none.
daemon_pid() {
  tools/virtual-mac/bin/launchctl list | awk -F'\t' '$3 == "org.wattkeeper.helper" && $1 ~ /^[0-9]+$/ { print $1; found = 1 } END { exit !found }'
}
