#!/usr/bin/env bash
# Installs the Debian packages the project needs, when any is missing.
# Needs root (apt-get); does nothing when everything is there already.
set -euo pipefail

packages=(
  g++ cmake make pkg-config dpkg-dev
  libsystemd-dev
  libboost-dev libboost-program-options-dev libboost-filesystem-dev
  libboost-system-dev libboost-date-time-dev
  libgtest-dev
  python3 iproute2 util-linux socat
  chromium
  qtbase5-dev qtbase5-dev-tools fonts-font-awesome
  xvfb xauth xdotool tint2 x11-apps imagemagick
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "error: these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
