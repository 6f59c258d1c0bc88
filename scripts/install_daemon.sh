# Sourced by the scripts that run the daemon against the virtual Mac (from the repository's top).
#
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
