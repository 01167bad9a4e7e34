#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
# Runs as root (or through sudo); does nothing for packages already present.
set -euo pipefail

packages=(build-essential cmake pkg-config qtbase5-dev qtbase5-dev-tools libudev-dev libglib2.0-dev
          libgl-dev xvfb xauth xdotool imagemagick clang-format fonts-wqy-microhei)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
