#!/bin/bash
# Creates (once) and starts, or stops, the Wine prefix that the tests run in;
# or tells (exit status) whether the kernel runs 32-bit programs, or whether
# this machine runs 32-bit Windows programs (that and 32-bit Wine installed).
#   wine-prefix.sh setup PREFIX | stop PREFIX | kernel-runs-32-bit | runs-32-bit
set -euo pipefail
action=$1

# The kernel must execute 32-bit Linux code for 32-bit Wine to start at all.
# That the i386 loader runs is not enough: a binfmt_misc handler (qemu-i386,
# registered by the host or a container image, visible or not from here) may
# run it instead. The loader's own report names the machine that the uname
# call answers: the 64-bit kernel itself, or the emulator's guest, i686.
kernel_runs_32_bit() {
  local report
  report=$(/lib/ld-linux.so.2 --list-diagnostics 2>/dev/null) || return 1
  grep -qx 'uname.machine="x86_64"' <<<"$report"
}
# /usr/lib/wine/wine, the 32-bit loader, comes with wine32.
runs_32_bit() { [ -x /usr/lib/wine/wine ] && kernel_runs_32_bit; }

case $action in
kernel-runs-32-bit) kernel_runs_32_bit; exit ;;
runs-32-bit) runs_32_bit; exit ;;
esac

# A prefix made before 32-bit Wine was installed has an empty syswow64: every
# 32-bit program then fails with "could not load kernel32.dll, status c0000135".
lacks_32_bit_half() {
  runs_32_bit &&
    [ ! -f "$prefix/drive_c/windows/syswow64/kernel32.dll" ]
}

prefix=$(realpath -m "$2")
export WINEPREFIX=$prefix
export HOME=$prefix-home
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine=/usr/lib/wine/wine64

case $action in
setup)
  if [ ! -f "$prefix/.zavex-ready" ] || lacks_32_bit_half; then
    /usr/lib/wine/wineserver -k 2>/dev/null || true
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
  echo "usage: $0 setup PREFIX | stop PREFIX | kernel-runs-32-bit | runs-32-bit" >&2
  exit 2
  ;;
esac
