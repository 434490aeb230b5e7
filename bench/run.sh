#!/bin/bash
# End-to-end benchmarks of the install and the update, each next to a
# baseline taken in the same run. Not part of CI.
#
# Builds the publisher (build/bench-host) and the 64-bit (or 32-bit) program
# with the driver (build/bench-win64 or -win32, server http://127.0.0.1:18479/), publishes three
# release shapes, serves them with nginx on loopback and, for each shape,
# times as whole processes under Wine:
#   - a fresh install through the window ("Instalar", then "Concluir");
#   - a silent update ("--silent") to a release in which half the files
#     changed, and the same update through the window (the progress path);
# next to curl (one process, all URLs, into files) plus sha256sum of the same
# files, natively. Then the peak working set of a silent update of one file
# of 200 MiB and of 2 GB, and the manifest work of an update at 100,000
# entries as a share of that update's whole time. Every run is checked: the
# installed folder must equal the published build.
#
#   bench/run.sh [--quick] [--runs N] [--width 32|64]
#     --quick   shapes a quarter of the size, one run each, 500 MB instead of
#               2 GB for the memory check, 20,000 manifest entries
#     --runs N  runs per measurement (default 3; the median is shown)
#     --width   the program's width: 64 (default) or 32, the shipped one
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/loopback-nginx.sh"
port=18479
base_url=http://127.0.0.1:$port/
host=$root/build/bench-host
data=$root/build/bench-data
jobs=2

quick=0
runs=3
width=64
while [ $# -gt 0 ]; do
  case $1 in
  --quick) quick=1 runs=1 ;;
  --runs) runs=$2; shift ;;
  --width) width=$2; shift ;;
  *) echo "usage: $0 [--quick] [--runs N] [--width 32|64]" >&2; exit 2 ;;
  esac
  shift
done
case $width in
64) toolchain=mingw-x86_64 ;;
32) toolchain=mingw-i686 ;;
*) echo "usage: $0 [--quick] [--runs N] [--width 32|64]" >&2; exit 2 ;;
esac
win=$root/build/bench-win$width
prefix=$win/wine

MiB=$((1024 * 1024))
if [ $quick = 1 ]; then
  shapes=("1 $((50 * MiB))" "250 204800" "2500 2048")
  memory_sizes=($((50 * MiB)) 500000000)
  manifest_entries=20000
else
  shapes=("1 $((200 * MiB))" "1000 204800" "10000 2048")
  # 2 GB, not 2 GiB: Wine's WinHTTP stops reading a body at 2 GiB - 1 bytes.
  memory_sizes=($((200 * MiB)) 2000000000)
  manifest_entries=100000
fi
manifest_changed=1000

cleanup() {
  stop_nginx
  "$root/scripts/wine-prefix.sh" stop "$prefix" >/dev/null 2>&1 || true
}
trap cleanup EXIT

say() { printf '== %s\n' "$*" >&2; }
fail() { printf 'bench: %s\n' "$*" >&2; exit 1; }

build() {
  local log=$data/build.log
  say "Building the publisher ($host) and the program with the driver ($win)"
  {
    [ -f "$host/build.ninja" ] || cmake -S "$root" -B "$host" -G Ninja \
      --toolchain "$root/cmake/host-clang.cmake" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_CXX_FLAGS= -DCMAKE_EXE_LINKER_FLAGS= -DZAVEX_BUILD_TESTS=OFF -DZAVEX_FUZZING=OFF
    cmake --build "$host" --target zavex_publish -j$jobs
    [ -f "$win/build.ninja" ] || cmake -S "$root" -B "$win" -G Ninja \
      --toolchain "$root/cmake/$toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
      -DZAVEX_BUILD_TESTS=ON -DZAVEX_BUILD_BENCH=ON -DZAVEX_SERVER_BASE_URL=$base_url
    cmake --build "$win" --target zavex_updater zavex_bench_driver -j$jobs
  } >"$log" 2>&1 || { tail -n 30 "$log"; fail "build failed; the whole output is in $log"; }
}

publish() {  # BUILD RELEASE VERSION_CODE
  rm -rf "$2"
  "$host/zavex_publish" --version="$3.0.0" --version-code="$3" --release-date=2024-01-01 \
    "$1" "$2" >/dev/null
}

# Published releases v1 and v2 of COUNT files of SIZE bytes under
# data/releases/COUNTxSIZE, made once and kept for later runs.
release_dir() { printf '%s/releases/%sx%s' "$data" "$1" "$2"; }

make_release() {  # COUNT SIZE
  local dir
  dir=$(release_dir "$1" "$2")
  [ -f "$dir/ready" ] && return
  say "Publishing $1 file(s) of $2 bytes, twice ($dir)"
  rm -rf "$dir"
  python3 "$root/bench/release_builds.py" builds "$dir/builds" "$1" "$2"
  publish "$dir/builds/v1" "$dir/v1" 1
  publish "$dir/builds/v2" "$dir/v2" 2
  rm -rf "$dir/builds"
  touch "$dir/ready"
}

make_large_manifests() {
  local dir=$data/releases/manifest-$manifest_entries
  [ -f "$dir/ready" ] && return
  say "Writing manifests of $manifest_entries entries ($dir)"
  rm -rf "$dir"
  python3 "$root/bench/release_builds.py" large-manifests "$dir" "$manifest_entries" \
    "$manifest_changed" 2048
  touch "$dir/ready"
}

start_server() {
  mkdir -p "$data/nginx/temp"
  cat >"$data/nginx/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid nginx.pid;
error_log error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path temp;
  proxy_temp_path temp;
  fastcgi_temp_path temp;
  uwsgi_temp_path temp;
  scgi_temp_path temp;
  default_type application/octet-stream;
  sendfile on;
  keepalive_requests 1000000;
  server {
    listen 127.0.0.1:$port;
    root $data/served;
    location / { try_files \$uri =404; }
  }
}
EOF
  start_nginx "$port" "$data/nginx" "$data/nginx/nginx.conf" "$data/nginx" || fail "the server did not start"
}

serve() { ln -sfn "$1" "$data/served"; }

driver() { "$win/wine-run.sh" "$win/zavex_bench_driver.exe" "$@"; }
field() { sed -n "s/.*\<$1=\([^ ]*\).*/\1/p" <<<"$2"; }

# run_updater MODE FOLDER: the driver's line for one run of the updater
# (install, update or silent) on FOLDER, each time with a fresh log.
run_updater() {
  local line
  rm -f "$data/updater/zavex_updater.log"
  line=$(driver "$1" "$(windows_path "$data/updater/zavex_updater.exe")" "$(windows_path "$2")" |
    tr -d '\r') || fail "$1 on $2 failed: $line (log: $data/updater/zavex_updater.log)"
  [ "$(field exit "$line")" = 0 ] || fail "$1 on $2 ended with $line"
  printf '%s\n' "$line"
}

# The installed folder must hold the published files and the manifest, plus
# only the copy of the updater.
check_installed() {  # FOLDER RELEASE
  diff -rq --exclude=zavex_updater.exe "$2" "$1" >/dev/null ||
    fail "$1 differs from $2: $(diff -rq --exclude=zavex_updater.exe "$2" "$1" | head -3)"
}

seconds_since() { awk -v start="$1" -v end="$EPOCHREALTIME" 'BEGIN { printf "%.3f", end - start }'; }

# curl of every file in LISTS.curl, then sha256sum -c of them; prints seconds.
baseline() {  # LISTS TARGET
  local start
  rm -rf "$2"
  mkdir -p "$2"
  start=$EPOCHREALTIME
  curl -sS --fail --create-dirs -K "$1.curl" || fail "curl failed for $1.curl"
  sha256sum --quiet -c "$1.sha256" || fail "the baseline's files do not match $1.sha256"
  seconds_since "$start"
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

rows=()
floor_rows=()
row_format='%-16s %8s %8s %6s   %8s %8s %6s   %8s %6s   %7s'
floor_format='%-16s %8s %7s %8s   %8s %7s %8s'

# floor MANIFEST [INSTALLED_MANIFEST]: seconds of the driver's bare fetch and
# verification of the files into a fresh folder.
floor() {
  local target=$data/work/floor line
  rm -rf "$target"
  mkdir -p "$target"
  line=$(driver floor "$(windows_path "$target")" "$(windows_path "$1")" \
    ${2:+"$(windows_path "$2")"} | tr -d '\r')
  [ -n "$(field seconds "$line")" ] || fail "floor of $1: $line"
  field seconds "$line"
}

measure_shape() {  # COUNT SIZE
  local count=$1 size=$2 dir work install snapshot run line
  local installs=() install_bases=() install_floors=() silents=() update_bases=()
  local update_floors=() windows=() peaks=()
  dir=$(release_dir "$count" "$size")
  work=$data/work
  install=$work/install
  snapshot=$work/installed-v1
  say "Shape $count x $size bytes: $runs run(s)"
  mkdir -p "$work"
  python3 "$root/bench/release_builds.py" fetch-lists "$base_url" "$work/baseline" \
    "$work/install-lists" "$dir/v1/manifest.json"
  python3 "$root/bench/release_builds.py" fetch-lists "$base_url" "$work/baseline" \
    "$work/update-lists" "$dir/v2/manifest.json" "$dir/v1/manifest.json"
  for run in $(seq "$runs"); do
    serve "$dir/v1"
    rm -rf "$install"
    line=$(run_updater install "$install")
    check_installed "$install" "$dir/v1"
    installs+=("$(field seconds "$line")")
    install_bases+=("$(baseline "$work/install-lists" "$work/baseline")")
    install_floors+=("$(floor "$dir/v1/manifest.json")")
    rm -rf "$snapshot"
    cp -a "$install" "$snapshot"

    serve "$dir/v2"
    line=$(run_updater silent "$install")
    check_installed "$install" "$dir/v2"
    silents+=("$(field seconds "$line")")
    peaks+=("$(field peak_bytes "$line")")
    update_bases+=("$(baseline "$work/update-lists" "$work/baseline")")
    update_floors+=("$(floor "$dir/v2/manifest.json" "$dir/v1/manifest.json")")

    rm -rf "$install"
    cp -a "$snapshot" "$install"
    line=$(run_updater update "$install")
    check_installed "$install" "$dir/v2"
    windows+=("$(field seconds "$line")")
  done
  local install_s install_base install_floor silent_s update_base update_floor window_s
  install_s=$(median "${installs[@]}")
  install_base=$(median "${install_bases[@]}")
  install_floor=$(median "${install_floors[@]}")
  silent_s=$(median "${silents[@]}")
  update_base=$(median "${update_bases[@]}")
  update_floor=$(median "${update_floors[@]}")
  window_s=$(median "${windows[@]}")
  rows+=("$(printf "$row_format" \
    "$count x $size" "$install_s" "$install_base" "$(ratio "$install_s" "$install_base")" \
    "$silent_s" "$update_base" "$(ratio "$silent_s" "$update_base")" \
    "$window_s" "$(ratio "$window_s" "$silent_s")" "$(mib "$(median "${peaks[@]}")")")")
  floor_rows+=("$(printf "$floor_format" "$count x $size" \
    "$install_floor" "$(ratio "$install_floor" "$install_base")" \
    "$(ratio "$install_s" "$install_floor")" \
    "$update_floor" "$(ratio "$update_floor" "$update_base")" \
    "$(ratio "$silent_s" "$update_floor")")")
  say "${rows[-1]}"
  rm -rf "$work"
}

memory_rows=()

# Peak working set of a silent update of one file of SIZE bytes; the
# installed folder is made by hard links to release v1.
measure_memory() {  # SIZE
  local dir install line
  dir=$(release_dir 1 "$1")
  install=$data/work/install
  say "Peak working set of an update of one file of $1 bytes"
  rm -rf "$install"
  mkdir -p "$data/work"
  cp -al "$dir/v1" "$install"
  serve "$dir/v2"
  line=$(run_updater silent "$install")
  check_installed "$install" "$dir/v2"
  memory_rows+=("$(printf '%-16s %10s MiB   (update %s s)' "1 x $1" \
    "$(mib "$(field peak_bytes "$line")")" "$(field seconds "$line")")")
  say "${memory_rows[-1]}"
  rm -rf "$data/work"
}

manifest_row=

# The manifest steps of an update at manifest_entries entries, timed in the
# driver under Wine, against the whole silent update that they belong to.
measure_manifest_work() {
  local dir=$data/releases/manifest-$manifest_entries install=$data/work/install line work
  say "Manifest work at $manifest_entries entries"
  work=$(driver manifest "$(windows_path "$dir/record.json")" \
    "$(windows_path "$dir/site/manifest.json")" | tr -d '\r')
  [ "$(field to_update "$work")" = "$manifest_changed" ] || fail "manifest work: $work"
  rm -rf "$install"
  mkdir -p "$install"
  cp "$dir/record.json" "$install/manifest.json"
  serve "$dir/site"
  line=$(run_updater silent "$install")
  cmp -s "$install/manifest.json" "$dir/site/manifest.json" ||
    python3 -c 'import json,sys; a,b=(json.load(open(p)) for p in sys.argv[1:]); sys.exit(a!=b)' \
      "$install/manifest.json" "$dir/site/manifest.json" ||
    fail "the update did not record the new manifest"
  local total_ms update_s
  total_ms=$(field update_total_ms "$work")
  update_s=$(field seconds "$line")
  manifest_row=$(printf '%s entries, %s changed: manifest work %s ms (record %s, document %s, files to update 2 x %s, paths to delete %s, serialise %s) of a %s s update = %s%%' \
    "$manifest_entries" "$manifest_changed" "$total_ms" "$(field load_record_ms "$work")" \
    "$(field parse_document_ms "$work")" "$(field files_to_update_ms "$work")" \
    "$(field paths_to_delete_ms "$work")" "$(field serialise_ms "$work")" "$update_s" \
    "$(awk -v m="$total_ms" -v s="$update_s" 'BEGIN { printf "%.1f", m / (s * 10) }')")
  say "$manifest_row"
  rm -rf "$data/work"
}

print_table() {
  echo
  echo "Seconds, median of $runs: the program ($width-bit) under Wine as a whole process, next to"
  echo "native curl (one process, all URLs) plus sha256sum -c of the same files."
  printf "$row_format\n" "shape" "install" "curl" "ratio" "update" "curl" "ratio" "window" \
    "ratio" "peak"
  printf "$row_format\n" "(files x bytes)" "window" "+sha" "" "silent" "+sha" "" "update" \
    "/sil." "MiB"
  printf '%s\n' "${rows[@]}"
  echo "Targets: install and update ratios <= 1.5, window/silent <= 1.2."
  echo
  echo "Where the gap lies: the floor is the same downloads and hash checks through the"
  echo "program's HttpClient and Sha256Hasher alone, in one process under Wine."
  printf "$floor_format\n" "shape" "install" "floor" "program" "update" "floor" "program"
  printf "$floor_format\n" "(files x bytes)" "floor" "/curl" "/floor" "floor" "/curl" "/floor"
  printf '%s\n' "${floor_rows[@]}"
  echo
  echo "Peak working set of a silent update (must not grow with the file):"
  printf '  %s\n' "${memory_rows[@]}"
  echo
  echo "Manifest work (in the driver under Wine) as a share of the whole silent update:"
  echo "  $manifest_row"
}

"$root/scripts/ensure-tools.sh" nginx
mkdir -p "$data"
build
"$root/scripts/wine-prefix.sh" setup "$prefix"
for shape in "${shapes[@]}"; do make_release $shape; done
for size in "${memory_sizes[@]}"; do make_release 1 "$size"; done
make_large_manifests
mkdir -p "$data/updater"
cp "$win/zavex_updater.exe" "$data/updater/"
start_server
for shape in "${shapes[@]}"; do measure_shape $shape; done
for size in "${memory_sizes[@]}"; do measure_memory "$size"; done
measure_manifest_work
print_table
