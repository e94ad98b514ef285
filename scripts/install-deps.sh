#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the program need.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config git
  capnproto libcapnp-dev
  libopencv-dev
  libglfw3-dev libglew-dev libimgui-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libarchive-dev zlib1g-dev
  xvfb xauth
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64
  clang-14 libclang-rt-14-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
