#!/bin/bash
# Installs the Debian packages the build and the tests need, once, in two steps:
# first everything but the 32-bit Wine, which must install or the script stops;
# then, with --32-bit, the 32-bit Wine, which may be left out: the i386 archive
# is the part most often out of sync. When the 32-bit suite cannot run, the
# script says why in one line that starts with "32-bit tests skipped:".
#   ensure-tools.sh [--32-bit] [extra-package ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
with_32_bit=0
if [ "${1:-}" = --32-bit ]; then
  with_32_bit=1
  shift
fi
packages=(cmake ninja-build python3 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  binutils-mingw-w64-i686 mingw-w64-tools wine64 clang-14 libclang-rt-14-dev
  googletest libbenchmark-dev libssl-dev unicode-data zlib1g-dev
  g++-multilib lib32z1-dev qemu-user-static "$@")
# The smallest package that tells whether the kernel runs 32-bit programs: the
# i386 C library's loader, from the amd64 archive.
[ $with_32_bit = 0 ] || [ -e /lib/ld-linux.so.2 ] || packages+=(libc6-i386)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
apt_log=$(mktemp)
trap 'rm -f "$apt_log"' EXIT

is_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# apt's reason for the last failure, in one line.
apt_reason() {
  grep -m 1 -E '^(E|Err):' "$apt_log" | sed -E 's/^(E|Err): *//' || true
}

# A half-synced mirror fails one index now and then: retry, then go on with the
# lists there are, since the packages needed may not come from that index.
update_package_lists() {
  local attempt
  for attempt in 1 2 3; do
    "${sudo_cmd[@]}" apt-get update -qq >"$apt_log" 2>&1 && return 0
    [ $attempt = 3 ] || sleep 5
  done
  echo "apt-get update failed 3 times, going on with the package lists there are: $(apt_reason)"
}

apt_install() {
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq \
    --no-install-recommends "$@" >"$apt_log" 2>&1
}

install_required() {
  local missing=() package
  for package in "${packages[@]}"; do is_installed "$package" || missing+=("$package"); done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "Installing: ${missing[*]}"
  update_package_lists
  apt_install "${missing[@]}" && return 0
  echo "Could not install ${missing[*]}: $(apt_reason)" >&2
  echo "Nothing can be built or tested without them; apt's whole output:" >&2
  cat "$apt_log" >&2
  exit 1
}

# 32-bit Wine runs the shipped 32-bit program under WoW64; its libraries come
# from the i386 archive. A failed install changes nothing, so the 64-bit tools
# stay as they are.
install_32_bit_wine() {
  is_installed wine32:i386 && return 0
  if ! "$root/scripts/wine-prefix.sh" kernel-runs-32-bit; then
    echo "32-bit tests skipped: this machine cannot run 32-bit programs"
    return 0
  fi
  echo "Installing: wine32:i386"
  dpkg --print-foreign-architectures | grep -qx i386 || "${sudo_cmd[@]}" dpkg --add-architecture i386
  update_package_lists
  apt_install wine32:i386 ||
    echo "32-bit tests skipped: wine32 could not be installed ($(apt_reason))"
}

install_required
[ $with_32_bit = 0 ] || install_32_bit_wine
