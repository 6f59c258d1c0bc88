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

# install_daemon ROOT BUILD: puts BUILD's Wattkeeper.app and the launchd job of packaging/macos in
# the virtual Mac's root folder ROOT, where a Mac keeps them and the uninstall procedure looks;
# prints the daemon's executable.
install_daemon() {
  local root=$1 build=$2
  local bundle="$root/Library/Application Support/Halvorn/Battery/Wattkeeper.app"
  mkdir -p "$(dirname "$bundle")" "$root/Library/LaunchDaemons"
  rm -rf "$bundle"
  cp -R "$build/bundles/Wattkeeper.app" "$bundle"
  cp packaging/macos/org.wattkeeper.helper.plist "$root/Library/LaunchDaemons/"
  echo "$bundle/Contents/MacOS/Wattkeeper"
}
