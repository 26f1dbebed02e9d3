#!/usr/bin/env bash
# Installs the Debian packages the project needs, when any is missing.
# Needs root (apt-get); does nothing when everything is there already.
#   tools/install-deps.sh            everything (the Linux and Windows builds)
#   tools/install-deps.sh windows    only what the Windows build needs
# The Windows build also needs the sources of Debian's boost1.74 package
# (for Program_options and Filesystem); they are fetched once into
# build/windows-deps/boost, only the libraries' src folders extracted.
set -euo pipefail
cd "$(dirname "$0")/.."

linux_packages=(
  g++ cmake make pkg-config dpkg-dev
  libsystemd-dev
  libboost-dev libboost-program-options-dev libboost-filesystem-dev
  libboost-system-dev libboost-date-time-dev
  nlohmann-json3-dev
  libgtest-dev libssl-dev
  python3 python3-cryptography iproute2 util-linux socat
  chromium
  qtbase5-dev qtbase5-dev-tools fonts-font-awesome
  xvfb xauth xdotool tint2 x11-apps imagemagick
  dbus-daemon python3-dbus python3-gi
  haskell-status-notifier-item-utils haskell-gtk-sni-tray-utils
)
windows_packages=(
  cmake make dpkg-dev libboost-dev nlohmann-json3-dev libgtest-dev python3 iproute2 util-linux
  g++-mingw-w64-x86-64-posix wine64 zip
)

case "${1:-all}" in
  all) packages=("${linux_packages[@]}" "${windows_packages[@]}") ;;
  windows) packages=("${windows_packages[@]}") ;;
  *) echo "usage: $0 [windows]" >&2; exit 2 ;;
esac

need_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "error: $1 needs root" >&2
    exit 1
  fi
}

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  need_root "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# --- Boost sources for the Windows build -----------------------------------
boost_dir=build/windows-deps/boost
if [ ! -f "$boost_dir/libs/filesystem/src/operations.cpp" ]; then
  # apt-get source needs a deb-src entry for the archive the machine already
  # uses: the same addresses and suites as its first deb entry.
  if ! apt-get source --print-uris boost1.74 >/dev/null 2>&1; then
    need_root "adding a deb-src entry"
    sources=/etc/apt/sources.list.d/debian.sources
    list=/etc/apt/sources.list.d/orvel-bridge-deb-src.sources
    if [ -f "$sources" ]; then
      # The first stanza of the deb822 file, as deb-src.
      awk 'BEGIN { RS = ""; FS = "\n" } NR == 1 { print; exit }' "$sources" |
        sed -e 's/^Types:.*/Types: deb-src/' > "$list"
    elif [ -f /etc/apt/sources.list ]; then
      grep -m1 '^deb ' /etc/apt/sources.list | sed -e 's/^deb /deb-src /' \
        > /etc/apt/sources.list.d/orvel-bridge-deb-src.list
    else
      echo "error: no Debian archive is configured for apt" >&2
      exit 1
    fi
    apt-get update -qq
  fi
  download=build/windows-deps/download
  rm -rf "$download" "$boost_dir"
  mkdir -p "$download"
  (cd "$download" && apt-get source -qq --download-only boost1.74)
  archive=$(ls "$download"/boost1.74_*.orig.tar.xz)
  mkdir -p "$boost_dir"
  tar -xJf "$archive" -C "$boost_dir" --strip-components=1 --wildcards \
    '*/libs/program_options/src/*' '*/libs/filesystem/src/*'
  rm -rf "$download"
fi
