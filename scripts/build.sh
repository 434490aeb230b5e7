#!/bin/bash
# Builds the shipped 32-bit zavex_updater.exe and prints its path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/ensure-tools.sh"
cd "$root"
[ -f build/win32-release/build.ninja ] || cmake --preset win32-release >/dev/null
cmake --build --preset win32-release
