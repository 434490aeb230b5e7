#!/bin/bash
# Pictures every page of both interactive flows: the updater runs under Xvfb
# with Wine's X11 driver, in a prefix of its own, and each page is saved as
# docs/screenshots/<page>.png.
#   screenshots.sh [BUILD_DIR]    a win32-test or win64-test tree; default
#                                 build/win32-test, the shipped 32-bit build
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build/win32-test}")
# A tree not yet configured takes the preset of its folder's name.
preset=$(basename "$build")
if [ "$preset" = win64-test ]; then
  "$root/scripts/ensure-tools.sh" xvfb imagemagick
else
  preset=win32-test
  "$root/scripts/ensure-tools.sh" --32-bit xvfb imagemagick
  "$root/scripts/wine-prefix.sh" runs-32-bit ||
    { echo "The 32-bit build cannot run here (see above): pass build/win64-test" >&2; exit 1; }
fi
[ -f "$build/build.ninja" ] || cmake --preset "$preset" -B "$build" >/dev/null
cmake --build "$build" --target ui_screenshot_driver -j2 >/dev/null

out=$root/docs/screenshots
mkdir -p "$out"
export WINEPREFIX=$build/screenshots-wine
export HOME=$WINEPREFIX-home
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine=/usr/lib/wine/wine64

display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
  display=$((display + 1))
done
export DISPLAY=:$display
Xvfb "$DISPLAY" -screen 0 1024x768x24 -dpi 96 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
exchange=$(mktemp -d)
cleanup() {
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  rm -rf "$exchange"
}
trap cleanup EXIT
for _ in $(seq 50); do
  [ -e "/tmp/.X11-unix/X$display" ] && break
  sleep 0.1
done

if [ ! -f "$WINEPREFIX/.zavex-ready" ]; then
  rm -rf "$WINEPREFIX" "$HOME"
  mkdir -p "$HOME/Desktop"
  "$wine" wineboot --init >/dev/null 2>&1 || true
  "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >/dev/null
  # No window manager runs: Wine draws the frames and captions itself.
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null
  "$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
    /v Debugger /d 'zavex-no-debugger.exe %ld %ld' /f >/dev/null
  /usr/lib/wine/wineserver -w
  touch "$WINEPREFIX/.zavex-ready"
fi

"$wine" "$build/tests/ui/ui_screenshot_driver.exe" "Z:${exchange//\//\\}" &
driver=$!
while kill -0 "$driver" 2>/dev/null; do
  if [ -f "$exchange/request.txt" ]; then
    read -r name x y width height <"$exchange/request.txt"
    import -window root -crop "${width}x${height}+${x}+${y}" +repage "$out/$name.png"
    rm -f "$exchange/request.txt"
  fi
  sleep 0.1
done
wait "$driver"
ls "$out"
