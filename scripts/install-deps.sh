#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when they are there.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  libgtk-3-dev libsdl2-dev libmpg123-dev libspdlog-dev libfmt-dev
  zlib1g-dev liblzma-dev libzstd-dev libflac-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  binutils-m68k-linux-gnu clang-14 libclang-rt-14-dev
  xvfb xauth xdotool x11-utils x11-apps imagemagick python3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
