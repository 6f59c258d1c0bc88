# Installs the Debian packages named as arguments that are not installed yet (as root).
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
}

# What building and testing the project needs.
build_packages=(cmake g++ make pkg-config libgtest-dev libbenchmark-dev libplist-dev libsdbus-c++-dev
                libasio-dev libcli11-dev dbus bubblewrap
                clang clang-tidy libclang-rt-14-dev llvm libglib2.0-bin)
