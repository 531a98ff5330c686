#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Idempotent: when everything is already installed it returns at once.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  iproute2 nftables
  ffmpeg vlc-bin vlc-plugin-base
  multicat     # benchmark peer: the receiving and capture benchmarks record beside it
  libgif-dev   # test-only: the GIF oracle of the player's decoder tests
  e2fsprogs mount   # test-only: the loop-mounted ext4 of the capture's free-space test
  libwxgtk3.2-dev libx11-dev xvfb xauth
  desktop-file-utils xdg-utils
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-libav gstreamer1.0-x
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]}; run as root to install them" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
