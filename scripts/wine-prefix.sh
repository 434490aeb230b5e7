#!/bin/bash
# Creates (once) and starts, or stops, the Wine prefix that the tests run in.
#   wine-prefix.sh setup PREFIX | stop PREFIX
set -euo pipefail
action=$1
prefix=$(realpath -m "$2")
export WINEPREFIX=$prefix
export HOME=$prefix-home
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine=/usr/lib/wine/wine64

case $action in
setup)
  if [ ! -f "$prefix/.zavex-ready" ]; then
    rm -rf "$prefix" "$HOME"
    # The Desktop of a new prefix links to $HOME/Desktop: keep it private.
    mkdir -p "$HOME/Desktop"
    "$wine" wineboot --init >/dev/null 2>&1 || true
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
    # An unhandled exception must end the process, not wait for a debugger.
    "$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /d 'zavex-no-debugger.exe %ld %ld' /f >/dev/null
    "$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Auto /d 1 /f >/dev/null
    /usr/lib/wine/wineserver -w
    touch "$prefix/.zavex-ready"
  fi
  # A persistent server makes each program start quick. Its output must not
  # hold CTest's pipe open.
  # It exits with 2 when a server for the prefix already runs.
  /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 || true
  ;;
stop)
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  /usr/lib/wine/wineserver -w 2>/dev/null || true
  ;;
*)
  echo "usage: $0 setup|stop PREFIX" >&2
  exit 2
  ;;
esac
