#!/bin/bash
# End-to-end benchmarks of the install and the update, each next to
# baselines taken in the same run. Not part of CI.
#
# Builds the publisher (build/bench-host), the 64-bit (or 32-bit) program with
# the driver (build/bench-win64 or -win32) and the same program from an older
# commit (build/bench-baseline-win64 or -win32), all with the server
# http://127.0.0.1:18480/: bench/latency_proxy.py, which delays every response
# by a set latency on its way from nginx (127.0.0.1:18479). Publishes three
# release shapes and, for each latency and shape, times as whole processes
# under Wine:
#   - a fresh install through the window ("Instalar", then "Concluir");
#   - a silent update ("--silent") to a release in which half the files
#     changed, and the same update through the window (the progress path);
#   - the install and the silent update of the older program;
# next to curl (one process, all URLs, into files; once one transfer at a
# time, once --parallel --parallel-max 6) plus sha256sum of the same files,
# natively, through the same proxy. Then the peak working set of a silent
# update of one file of 200 MiB and of 2 GB, and the manifest work of an
# update at 100,000 entries as a share of that update's whole time. Every run
# is checked: the installed folder must equal the published build.
#
#   bench/run.sh [--release-pairs | --pe-pairs [--pe-ref REF] | --fault [--cut-every BYTES]]
#                [--quick] [--runs N] [--width 32|64] [--latency-ms LIST] [--rate RATE]
#                [--baseline-ref REF] [--no-baseline-program]
#     --release-pairs  instead: real release pairs from Debian's archive,
#                   updated by the program and by the older program (default
#                   ce76888, whole files) at 20 and 100 Mbit/s, with bytes
#                   sent, seconds, peak working set, and zstd --patch-from and
#                   bsdiff sizes of the same pairs (bench/release_pairs.sh)
#     --pe-pairs    instead: pairs of PE files (the shipped program built at
#                   the ten latest commits of main up to --pe-ref, default
#                   main, that changed it; grub-efi-amd64-bin and systemd-boot-efi from Debian's
#                   archive), their version 1, forward and transformed patches
#                   and native apply time and heap next to bsdiff and zstd --patch-from,
#                   natively, without Wine (bench/pe_pairs.sh)
#     --fault       instead: one file of 200 MiB with the connection cut every
#                   50 MiB, against an uncut run (bench/cut_connection.sh)
#     --cut-every   the bytes between cuts for --fault (default 52428800)
#     --quick       shapes a quarter of the size, one run each, 500 MB instead
#                   of 2 GB for the memory check, 20,000 manifest entries
#     --runs N      runs per measurement (default 3; the median is shown)
#     --width       the program's width: 64 (default) or 32, the shipped one
#     --latency-ms  the proxy's latencies, one after the other (default 0,20;
#                   20 for --release-pairs and --fault)
#     --rate        the proxy's cap in bytes per second for all connections
#                   together, e.g. 10M (default: none; --release-pairs: 2.5M
#                   and 12.5M, one after the other)
#     --baseline-ref       the commit of the older program (default d4b74ad,
#                          the last one that downloads one file at a time;
#                          ce76888 for --release-pairs)
#     --no-baseline-program  leave the older program out ("-" in its columns)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/loopback-nginx.sh"
port=18479
proxy_port=18480
direct_url=http://127.0.0.1:$port/
base_url=http://127.0.0.1:$proxy_port/
host=$root/build/bench-host
data=$root/build/bench-data
jobs=2

usage() {
  echo "usage: $0 [--release-pairs | --pe-pairs [--pe-ref REF] | --fault [--cut-every BYTES]] [--quick] [--runs N]" \
    "[--width 32|64] [--latency-ms LIST] [--rate RATE] [--baseline-ref REF]" \
    "[--no-baseline-program]" >&2
  exit 2
}

mode=shapes
quick=0
runs=
width=64
latency_list=
rate=
baseline_ref=
baseline_program=1
cut_every=$((50 * 1024 * 1024))
pe_ref=main
while [ $# -gt 0 ]; do
  case $1 in
  --release-pairs) mode=release-pairs ;;
  --pe-pairs) mode=pe-pairs ;;
  --pe-ref) pe_ref=$2; shift ;;
  --fault) mode=fault baseline_program=0 ;;
  --cut-every) cut_every=$2; shift ;;
  --quick) quick=1 runs=1 ;;
  --runs) runs=$2; shift ;;
  --width) width=$2; shift ;;
  --latency-ms) latency_list=$2; shift ;;
  --rate) rate=$2; shift ;;
  --baseline-ref) baseline_ref=$2; shift ;;
  --no-baseline-program) baseline_program=0 ;;
  *) usage ;;
  esac
  shift
done
if [ $mode = shapes ]; then
  : "${runs:=3}" "${latency_list:=0,20}" "${baseline_ref:=d4b74ad}"
else
  : "${runs:=1}" "${latency_list:=20}" "${baseline_ref:=ce76888}"
fi
case $width in
64) toolchain=mingw-x86_64 ;;
32) toolchain=mingw-i686 ;;
*) usage ;;
esac
IFS=, read -ra latencies <<<"$latency_list"
[ ${#latencies[@]} -gt 0 ] || usage
for latency in "${latencies[@]}"; do [[ $latency =~ ^[0-9]+$ ]] || usage; done
[[ $cut_every =~ ^[1-9][0-9]*$ ]] || usage
win=$root/build/bench-win$width
baseline_src=$root/build/bench-baseline-src
baseline_win=$root/build/bench-baseline-win$width
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
# Above 0 ms the older program downloads one file per round trip: it runs
# there only on the shapes of at most this many files.
baseline_program_max_files=1000
# -s does not silence the progress meter of --parallel in curl 7.88.
parallel_curl=(--parallel --parallel-max 6 --no-progress-meter)

cleanup() {
  stop_proxy
  stop_nginx
  "$root/scripts/wine-prefix.sh" stop "$prefix" >/dev/null 2>&1 || true
}
trap cleanup EXIT

say() { printf '== %s\n' "$*" >&2; }
fail() { printf 'bench: %s\n' "$*" >&2; exit 1; }

# configure_windows SOURCE BUILD [CMAKE_ARGS...]: a Release tree of SOURCE
# whose server is the proxy, configured again when it was made for another one.
configure_windows() {
  local source=$1 tree=$2
  shift 2
  [ -f "$tree/build.ninja" ] &&
    grep -qx "ZAVEX_SERVER_BASE_URL:STRING=$base_url" "$tree/CMakeCache.txt" && return
  cmake -S "$source" -B "$tree" -G Ninja --toolchain "$source/cmake/$toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DZAVEX_SERVER_BASE_URL=$base_url "$@"
}

# The tree of baseline_ref in baseline_src, extracted again when the ref
# names another commit (with fresh times, so that everything is rebuilt).
extract_baseline_source() {
  local commit
  commit=$(git -C "$root" rev-parse --verify "$baseline_ref^{commit}") || return
  [ "$(cat "$baseline_src/.bench-commit" 2>/dev/null)" = "$commit" ] && return
  rm -rf "$baseline_src" && mkdir -p "$baseline_src" &&
    git -C "$root" archive "$commit" | tar -x -m -C "$baseline_src" &&
    echo "$commit" >"$baseline_src/.bench-commit"
}

# The build steps run where errexit does not apply, hence the && chains.
build_current_trees() {
  { [ -f "$host/build.ninja" ] || cmake -S "$root" -B "$host" -G Ninja \
      --toolchain "$root/cmake/host-clang.cmake" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_CXX_FLAGS= -DCMAKE_EXE_LINKER_FLAGS= -DZAVEX_BUILD_TESTS=OFF -DZAVEX_FUZZING=OFF; } &&
    cmake --build "$host" --target zavex_publish -j$jobs &&
    configure_windows "$root" "$win" -DZAVEX_BUILD_TESTS=ON -DZAVEX_BUILD_BENCH=ON &&
    cmake --build "$win" --target zavex_updater zavex_bench_driver -j$jobs
}

build_baseline_program() {
  extract_baseline_source &&
    configure_windows "$baseline_src" "$baseline_win" -DZAVEX_BUILD_TESTS=OFF &&
    cmake --build "$baseline_win" --target zavex_updater -j$jobs
}

build() {
  local log=$data/build.log
  say "Building the publisher ($host) and the program with the driver ($win)"
  [ $baseline_program = 0 ] || say "and the program of $baseline_ref ($baseline_win)"
  { build_current_trees && { [ $baseline_program = 0 ] || build_baseline_program; }; } \
    >"$log" 2>&1 || { tail -n 30 "$log"; fail "build failed; the whole output is in $log"; }
}

# publish_over BUILD RELEASE VERSION_CODE: BUILD as the next release in the
# folder RELEASE, which may hold the one before (the patches start from it).
publish_over() {
  "$host/zavex_publish" --version="$3.0.0" --version-code="$3" --release-date=2024-01-01 \
    "$1" "$2" >/dev/null
}

publish() {  # BUILD RELEASE VERSION_CODE
  rm -rf "$2"
  publish_over "$@"
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

proxy_pid=

# start_proxy LATENCY_MS [RATE [PROXY_ARGS...]]: the proxy in front of nginx,
# once it accepts.
start_proxy() {
  port_in_use "$proxy_port" && fail "port $proxy_port is already in use; stop what listens there"
  python3 "$root/bench/latency_proxy.py" --listen "$proxy_port" --upstream "$port" \
    --latency-ms "$1" ${2:+--rate "$2"} "${@:3}" </dev/null >>"$data/proxy.log" 2>&1 &
  proxy_pid=$!
  wait_for_port "$proxy_port" "$proxy_pid" && return 0
  tail -n 20 "$data/proxy.log" >&2
  fail "the proxy did not start"
}

stop_proxy() {
  [ -n "$proxy_pid" ] || return 0
  kill "$proxy_pid" 2>/dev/null || true
  wait "$proxy_pid" 2>/dev/null || true
  proxy_pid=
}

driver() { "$win/wine-run.sh" "$win/zavex_bench_driver.exe" "$@"; }
field() { sed -n "s/.*\<$1=\([^ ]*\).*/\1/p" <<<"$2"; }

# updater_line PROGRAM MODE FOLDER: the driver's line for one run of the
# updater in data/PROGRAM (install, update or silent) on FOLDER, each time
# with a fresh log, whatever its end.
updater_line() {
  local folder=$data/$1
  rm -f "$folder/zavex_updater.log"
  driver "$2" "$(windows_path "$folder/zavex_updater.exe")" "$(windows_path "$3")" |
    tr -d '\r' || true
}

# run_updater PROGRAM MODE FOLDER: updater_line of a run that must succeed.
run_updater() {
  local line
  line=$(updater_line "$@")
  [ "$(field exit "$line")" = 0 ] ||
    fail "$1 $2 on $3 ended with: $line (log: $data/$1/zavex_updater.log)"
  printf '%s\n' "$line"
}

# The installed folder must hold the published files and the manifest, plus
# only the copy of the updater; the release's zavex_delta is not installed.
# The installed record keeps the release's files, not its other members, and
# the installation id is the installation's own.
check_installed() {  # FOLDER RELEASE
  local skip=(--exclude=zavex_updater.exe --exclude=zavex_delta --exclude=manifest.json
    --exclude=zavex_installation.id)
  diff -rq "${skip[@]}" "$2" "$1" >/dev/null ||
    fail "$1 differs from $2: $(diff -rq "${skip[@]}" "$2" "$1" | head -3)"
  python3 -c 'import json, sys; a, b = (json.load(open(p))["files"] for p in sys.argv[1:]); sys.exit(a != b)' \
    "$2/manifest.json" "$1/manifest.json" || fail "$1/manifest.json lists other files than $2/manifest.json"
}

seconds_since() { awk -v start="$1" -v end="$EPOCHREALTIME" 'BEGIN { printf "%.3f", end - start }'; }

# fetch_lists BASE_URL LISTS NEW_MANIFEST [OLD_MANIFEST]: the curl config and
# the sha256sum list of the files to fetch, into work/baseline.
fetch_lists() {
  python3 "$root/bench/release_builds.py" fetch-lists "$1" "$data/work/baseline" "${@:2}"
}

# curl of every file in LISTS.curl (with CURL_ARGS), then sha256sum -c of
# them; prints seconds.
baseline() {  # LISTS TARGET [CURL_ARGS...]
  local lists=$1 target=$2 start
  shift 2
  rm -rf "$target"
  mkdir -p "$target"
  start=$EPOCHREALTIME
  curl -sS --fail --create-dirs "$@" -K "$lists.curl" || fail "curl $* failed for $lists.curl"
  sha256sum --quiet -c "$lists.sha256" || fail "the baseline's files do not match $lists.sha256"
  seconds_since "$start"
}

# Median of the figures, or "-" when there are none; ratio and MiB of "-"
# are "-".
median() {
  [ $# -gt 0 ] || { echo -; return; }
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
ratio() {
  [ "$1" = - ] || [ "$2" = - ] && { echo -; return; }
  awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'
}
mib() {
  [ "$1" = - ] && { echo -; return; }
  awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'
}

# The figures of every run by "LATENCY COUNT SIZE" and KIND, one of install,
# base_install, install_seq, install_par, install_floor, silent, base_silent,
# update_seq, update_par, update_floor, window, peak; figure is their median.
declare -A figures
# VALUE is empty where the measurement that made it failed (and said why).
record() {  # "LATENCY COUNT SIZE" KIND VALUE
  [ -n "$3" ] || fail "no $2 figure at $1"
  figures["$1 $2"]+=" $3"
}
# shellcheck disable=SC2086  # the list splits into the figures
figure() { median ${figures["$1 $2"]-}; }  # "LATENCY COUNT SIZE" KIND

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

# The older program runs at 0 ms on every shape, above only on the smaller.
runs_baseline_program() {  # LATENCY COUNT
  [ $baseline_program = 1 ] && { [ "$1" = 0 ] || [ "$2" -le $baseline_program_max_files ]; }
}

# timed_run KEY FIGURE PROGRAM MODE FOLDER RELEASE: one run of PROGRAM
# (updater or baseline-updater) in MODE on FOLDER, checked against RELEASE,
# its seconds recorded as FIGURE; the driver's line is left in line.
timed_run() {
  line=$(run_updater "$3" "$4" "$5")
  check_installed "$5" "$6"
  record "$1" "$2" "$(field seconds "$line")"
}

# curl_baselines KEY PHASE LISTS: curl one transfer at a time and curl
# --parallel, each plus sha256sum, recorded as PHASE_seq and PHASE_par.
curl_baselines() {
  record "$1" "$2_seq" "$(baseline "$3" "$data/work/baseline")"
  record "$1" "$2_par" "$(baseline "$3" "$data/work/baseline" "${parallel_curl[@]}")"
}

measure_shape() {  # LATENCY COUNT SIZE
  local latency=$1 count=$2 size=$3 key="$1 $2 $3" dir work install base_install snapshot
  local line with_baseline=0
  runs_baseline_program "$latency" "$count" && with_baseline=1
  dir=$(release_dir "$count" "$size")
  work=$data/work
  install=$work/install
  base_install=$work/base-install
  snapshot=$work/installed-v1
  say "Shape $count x $size bytes at $latency ms: $runs run(s)"
  mkdir -p "$work"
  fetch_lists "$base_url" "$work/install-lists" "$dir/v1/manifest.json"
  fetch_lists "$base_url" "$work/update-lists" "$dir/v2/manifest.json" "$dir/v1/manifest.json"
  for _ in $(seq "$runs"); do
    serve "$dir/v1"
    rm -rf "$install"
    timed_run "$key" install updater install "$install" "$dir/v1"
    if [ $with_baseline = 1 ]; then
      rm -rf "$base_install"
      timed_run "$key" base_install baseline-updater install "$base_install" "$dir/v1"
    fi
    curl_baselines "$key" install "$work/install-lists"
    [ "$latency" = 0 ] && record "$key" install_floor "$(floor "$dir/v1/manifest.json")"
    rm -rf "$snapshot"
    cp -a "$install" "$snapshot"

    serve "$dir/v2"
    timed_run "$key" silent updater silent "$install" "$dir/v2"
    record "$key" peak "$(field peak_bytes "$line")"
    if [ $with_baseline = 1 ]; then
      timed_run "$key" base_silent baseline-updater silent "$base_install" "$dir/v2"
    fi
    curl_baselines "$key" update "$work/update-lists"
    [ "$latency" = 0 ] &&
      record "$key" update_floor "$(floor "$dir/v2/manifest.json" "$dir/v1/manifest.json")"

    rm -rf "$install"
    cp -a "$snapshot" "$install"
    timed_run "$key" window updater update "$install" "$dir/v2"
  done
  say "$(seconds_row $key)"
  rm -rf "$work"
}

proxy_cost_rows=()

# curl sequential and parallel plus sha256sum of the install of COUNT x SIZE,
# straight from nginx and through the proxy, which must run at 0 ms.
measure_proxy_cost() {  # COUNT SIZE
  local dir lists=$data/work/cost-lists target=$data/work/baseline
  local direct_seqs=() direct_pars=() proxy_seqs=() proxy_pars=()
  dir=$(release_dir "$1" "$2")
  say "The proxy's own cost at 0 ms: $1 x $2 bytes"
  mkdir -p "$data/work"
  serve "$dir/v1"
  fetch_lists "$direct_url" "$lists-direct" "$dir/v1/manifest.json"
  fetch_lists "$base_url" "$lists-proxy" "$dir/v1/manifest.json"
  for _ in $(seq "$runs"); do
    direct_seqs+=("$(baseline "$lists-direct" "$target")")
    proxy_seqs+=("$(baseline "$lists-proxy" "$target")")
    direct_pars+=("$(baseline "$lists-direct" "$target" "${parallel_curl[@]}")")
    proxy_pars+=("$(baseline "$lists-proxy" "$target" "${parallel_curl[@]}")")
  done
  local direct_seq proxy_seq direct_par proxy_par
  direct_seq=$(median "${direct_seqs[@]}")
  proxy_seq=$(median "${proxy_seqs[@]}")
  direct_par=$(median "${direct_pars[@]}")
  proxy_par=$(median "${proxy_pars[@]}")
  proxy_cost_rows+=("$(printf "$proxy_cost_format" "$1 x $2" "$direct_seq" "$proxy_seq" \
    "$(ratio "$proxy_seq" "$direct_seq")" "$direct_par" "$proxy_par" \
    "$(ratio "$proxy_par" "$direct_par")")")
  say "${proxy_cost_rows[-1]}"
  rm -rf "$data/work"
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
  line=$(run_updater updater silent "$install")
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
  line=$(run_updater updater silent "$install")
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

seconds_format='%4s  %-16s %8s %8s %8s %8s   %8s %8s %8s %8s   %8s %7s'
ratio_format='%4s  %-16s %9s %9s %9s   %9s %9s %9s   %8s'
floor_format='%4s  %-16s %8s %7s %8s   %8s %7s %8s'
proxy_cost_format='%-16s %8s %8s %6s   %8s %8s %6s'

# The rows of one shape at one latency: LATENCY COUNT SIZE.
seconds_row() {
  local key="$1 $2 $3"
  printf "$seconds_format" "$1" "$2 x $3" \
    "$(figure "$key" install)" "$(figure "$key" base_install)" \
    "$(figure "$key" install_seq)" "$(figure "$key" install_par)" \
    "$(figure "$key" silent)" "$(figure "$key" base_silent)" \
    "$(figure "$key" update_seq)" "$(figure "$key" update_par)" \
    "$(figure "$key" window)" "$(mib "$(figure "$key" peak)")"
}

ratio_row() {
  local key="$1 $2 $3" install silent
  install=$(figure "$key" install)
  silent=$(figure "$key" silent)
  printf "$ratio_format" "$1" "$2 x $3" \
    "$(ratio "$install" "$(figure "$key" install_par)")" \
    "$(ratio "$(figure "$key" base_install)" "$install")" \
    "$(ratio "$install" "$(figure "$key" install_seq)")" \
    "$(ratio "$silent" "$(figure "$key" update_par)")" \
    "$(ratio "$(figure "$key" base_silent)" "$silent")" \
    "$(ratio "$silent" "$(figure "$key" update_seq)")" \
    "$(ratio "$(figure "$key" window)" "$silent")"
}

floor_row() {
  local key="$1 $2 $3" install_floor update_floor
  install_floor=$(figure "$key" install_floor)
  update_floor=$(figure "$key" update_floor)
  [ "$install_floor" = - ] && return
  printf "$floor_format\n" "$1" "$2 x $3" \
    "$install_floor" "$(ratio "$install_floor" "$(figure "$key" install_seq)")" \
    "$(ratio "$(figure "$key" install)" "$install_floor")" \
    "$update_floor" "$(ratio "$update_floor" "$(figure "$key" update_seq)")" \
    "$(ratio "$(figure "$key" silent)" "$update_floor")"
}

# Every "LATENCY COUNT SIZE" measured, in order.
measured_keys() {
  local latency shape
  for latency in "${latencies[@]}"; do
    for shape in "${shapes[@]}"; do echo "$latency $shape"; done
  done
}

print_targets() {
  local -a middle small
  local latency key shape
  read -ra middle <<<"${shapes[1]}"
  read -ra small <<<"${shapes[2]}"
  echo "Targets (this run's ratios; the issue states them for the full sizes):"
  for latency in "${latencies[@]}"; do
    [ "$latency" = 0 ] && continue
    key="$latency ${middle[*]}"
    printf '  update %sx%s @%sms: program/curl-parallel = %s (target <= 1.5), baseline/program = %s (target >= 4)\n' \
      "${middle[0]}" "${middle[1]}" "$latency" \
      "$(ratio "$(figure "$key" silent)" "$(figure "$key" update_par)")" \
      "$(ratio "$(figure "$key" base_silent)" "$(figure "$key" silent)")"
  done
  [[ " ${latencies[*]} " == *" 0 "* ]] || return 0
  for shape in "${shapes[@]}"; do
    key="0 $shape"
    shape=${shape/ /x}
    printf '  install %s @0ms: program/baseline = %s (target <= 1.0)\n' "$shape" \
      "$(ratio "$(figure "$key" install)" "$(figure "$key" base_install)")"
    printf '  update %s @0ms: program/baseline = %s (target <= 1.0)\n' "$shape" \
      "$(ratio "$(figure "$key" silent)" "$(figure "$key" base_silent)")"
  done
  key="0 ${small[*]}"
  printf '  install %sx%s @0ms: program/floor = %s (target <= 1.5)\n' "${small[0]}" "${small[1]}" \
    "$(ratio "$(figure "$key" install)" "$(figure "$key" install_floor)")"
  echo "  window update / silent update <= 1.2 on every row (column window /silent)"
}

print_table() {
  local key cap=
  [ -z "$rate" ] || cap=" (capped at $rate bytes per second in all)"
  echo
  echo "Seconds, median of $runs, through the proxy at the latency of the first column$cap:"
  echo "the program ($width-bit) and the baseline program ($baseline_ref, \"base\") under Wine as"
  echo "whole processes, next to native curl (one process, all URLs; \"seq\" one transfer at a"
  echo "time, \"par\" --parallel --parallel-max 6) plus sha256sum -c of the same files. Above"
  echo "0 ms the baseline program runs only on shapes of at most $baseline_program_max_files files" \
    "(\"-\": not measured)."
  printf "$seconds_format\n" "lat." "shape" "install" "install" "curl" "curl" "update" "update" \
    "curl" "curl" "window" "peak"
  printf "$seconds_format\n" "ms" "(files x bytes)" "program" "base" "seq+sha" "par+sha" \
    "program" "base" "seq+sha" "par+sha" "update" "MiB"
  while read -r key; do seconds_row $key; echo; done < <(measured_keys)
  echo
  echo "Ratios of the seconds above (program: install through the window, silent update):"
  printf "$ratio_format\n" "lat." "shape" "install" "install" "install" "update" "update" "update" \
    "window"
  printf "$ratio_format\n" "ms" "(files x bytes)" "prog/par" "base/prog" "prog/seq" "prog/par" \
    "base/prog" "prog/seq" "/silent"
  while read -r key; do ratio_row $key; echo; done < <(measured_keys)
  echo
  print_targets
  echo
  echo "Where the gap lies: the floor is the same downloads and hash checks through the"
  echo "program's HttpClient and Sha256Hasher alone, one file at a time in one process under"
  echo "Wine; measured at 0 ms only."
  printf "$floor_format\n" "lat." "shape" "install" "floor" "program" "update" "floor" "program"
  printf "$floor_format\n" "ms" "(files x bytes)" "floor" "/seq" "/floor" "floor" "/seq" "/floor"
  while read -r key; do floor_row $key; done < <(measured_keys)
  echo
  echo "The proxy's own cost at 0 ms: curl plus sha256sum of an install, straight from nginx"
  echo "and through the proxy (seconds, median of $runs):"
  printf "$proxy_cost_format\n" "shape" "seq" "seq" "ratio" "par" "par" "ratio"
  printf "$proxy_cost_format\n" "(files x bytes)" "direct" "proxy" "" "direct" "proxy" ""
  printf '%s\n' "${proxy_cost_rows[@]}"
  echo
  echo "Peak working set of a silent update (must not grow with the file), at ${latencies[0]} ms:"
  printf '  %s\n' "${memory_rows[@]}"
  echo
  echo "Manifest work (in the driver under Wine) as a share of the whole silent update, at" \
    "${latencies[0]} ms:"
  echo "  $manifest_row"
}

# The release shapes at every latency, the proxy's cost, memory and manifest
# work, then their tables.
run_shapes() {
  for shape in "${shapes[@]}"; do make_release $shape; done
  for size in "${memory_sizes[@]}"; do make_release 1 "$size"; done
  make_large_manifests
  start_proxy 0
  measure_proxy_cost ${shapes[0]}
  measure_proxy_cost ${shapes[2]}
  stop_proxy
  for latency in "${latencies[@]}"; do
    start_proxy "$latency" "$rate"
    for shape in "${shapes[@]}"; do measure_shape "$latency" $shape; done
    if [ "$latency" = "${latencies[0]}" ] && [ ${#memory_rows[@]} = 0 ]; then
      for size in "${memory_sizes[@]}"; do measure_memory "$size"; done
      measure_manifest_work
    fi
    stop_proxy
  done
  print_table
}

# shellcheck source=bench/release_pairs.sh
source "$root/bench/release_pairs.sh"
# shellcheck source=bench/cut_connection.sh
source "$root/bench/cut_connection.sh"

# shellcheck source=bench/pe_pairs.sh
source "$root/bench/pe_pairs.sh"
if [ $mode = pe-pairs ]; then
  "$root/scripts/ensure-tools.sh" zstd bsdiff
  run_pe_pairs
  exit
fi

extra_tools=()
[ $mode != release-pairs ] || extra_tools=(zstd bsdiff)
if [ "$width" = 32 ]; then
  "$root/scripts/ensure-tools.sh" --32-bit nginx "${extra_tools[@]}"
  "$root/scripts/wine-prefix.sh" runs-32-bit ||
    { echo "The 32-bit program cannot run here (see above): try --width 64" >&2; exit 1; }
else
  "$root/scripts/ensure-tools.sh" nginx "${extra_tools[@]}"
fi
mkdir -p "$data"
: >"$data/proxy.log"
build
"$root/scripts/wine-prefix.sh" setup "$prefix"
mkdir -p "$data/updater"
cp "$win/zavex_updater.exe" "$data/updater/"
if [ $baseline_program = 1 ]; then
  mkdir -p "$data/baseline-updater"
  cp "$baseline_win/zavex_updater.exe" "$data/baseline-updater/"
fi
start_server
case $mode in
shapes) run_shapes ;;
release-pairs) run_release_pairs ;;
fault) run_cut_connection ;;
esac
