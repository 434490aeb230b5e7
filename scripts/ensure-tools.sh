#!/bin/bash
# Installs the Debian packages the build and the tests need, once.
#   ensure-tools.sh [extra-package ...]
set -euo pipefail
packages=(cmake ninja-build python3 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-i686 mingw-w64-tools wine64 wine32:i386 clang-14 libclang-rt-14-dev
  googletest libbenchmark-dev libssl-dev zlib1g-dev "$@")
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
# wine32 runs the shipped 32-bit program; its packages are in the i386 archive.
dpkg --print-foreign-architectures | grep -qx i386 || "${sudo_cmd[@]}" dpkg --add-architecture i386
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}" >/dev/null
