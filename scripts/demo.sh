#!/bin/bash
# The main job in one command. Makes a release signing key, builds the
# publisher and the program (with that key's public half), publishes signed
# release 1.0 of the stand-in application, serves it with nginx on
# 127.0.0.1:8380 (or ZAVEX_DEMO_PORT), installs it through the real window
# under Wine, publishes 1.1 (one file changed, one new, one removed), shows that
# a manifest altered after signing is refused, checks, updates silently, checks
# again and uninstalls, then prints each step, its exit code and what changed
# on disk. Stops everything it started.
#   demo.sh            (DEMO_JOBS=N limits the build's parallel jobs;
#                       ZAVEX_DEMO_PORT=N serves on port N, so runs can coexist)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/loopback-nginx.sh"
port=${ZAVEX_DEMO_PORT:-8380}
demo=$root/build/demo              # data: builds, release folder, logs
win=$root/build/demo-win64         # the 64-bit program built for this server
prefix=$win/wine                   # the demo's own Wine prefix
publisher=$root/build/host/zavex_publish
release=$demo/site/release
jobs=${DEMO_JOBS:-$(nproc)}
keys=$demo/keys                    # the demo's release signing key pair

cleanup() {
  stop_nginx
  "$root/scripts/wine-prefix.sh" stop "$prefix" >/dev/null 2>&1 || true
  # Until every process of the prefix has ended.
  WINEPREFIX=$prefix /usr/lib/wine/wineserver -w 2>/dev/null || true
}
trap cleanup EXIT

say() { printf '\n== %s\n' "$*"; }

build_all() {
  local log=$demo/logs/build.log
  say "Building the publisher (build/host) and the program for http://127.0.0.1:$port/" \
    "(build/demo-win64)"
  {
    [ -f build/host/build.ninja ] || cmake --preset host
    cmake --build build/host --target zavex_publish --parallel "$jobs"
    "$publisher" --generate-key="$keys"
    # Configured on every run: the server address follows the port.
    cmake -S . -B "$win" -G Ninja --toolchain cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
      -DZAVEX_BUILD_TESTS=ON -DZAVEX_SERVER_BASE_URL="http://127.0.0.1:$port/" \
      -DZAVEX_RELEASE_PUBLIC_KEYS="$keys/release-signing-key.pub.pem"
    cmake --build "$win" --target zavex_updater zavexphone zavex_demo_driver --parallel "$jobs"
  } >"$log" 2>&1 || { tail -n 30 "$log"; echo "Build failed; the whole output is in $log"; exit 1; }
  echo "Built (output in $log)"
}

# The two builds of the stand-in application: 1.1 changes lib/codec.dll,
# adds plugins/video.dll and drops docs/welcome.txt.
make_application_builds() {
  local one=$demo/builds/1.0 two=$demo/builds/1.1
  mkdir -p "$one/lib" "$one/docs"
  cp "$win/zavexphone.exe" "$one/"
  printf 'codec 1.0\n' >"$one/lib/codec.dll"
  printf 'Bem-vindo ao Zavex Phone 1.0\n' >"$one/docs/welcome.txt"
  cp -r "$one" "$two"
  printf 'codec 1.1, with fewer dropped calls\n' >"$two/lib/codec.dll"
  mkdir -p "$two/plugins"
  printf 'video calls\n' >"$two/plugins/video.dll"
  rm -r "$two/docs"
}

# scripts/nginx-demo.conf with its listening port set to the demo's.
start_server() {
  local config=$demo/nginx.conf
  say "Serving $release on http://127.0.0.1:$port/ (nginx, config scripts/nginx-demo.conf)"
  sed -E "s/^( *listen 127\.0\.0\.1:)8380;/\1$port;/" "$root/scripts/nginx-demo.conf" >"$config"
  start_nginx "$port" "$demo" "$config" "$demo/logs" || exit 1
  echo "nginx runs as process $nginx_pid"
}

# Places the program writes: the installation folder, the release folder and
# the shortcut folders. One line per file: its hash, a tab, its label.
watched_places() {
  printf '%s\t%s\n' "release" "$release" \
    "ZavexPhone" "$installed" \
    "Desktop" "$prefix-home/Desktop"
  local start_menu
  for start_menu in "$prefix"/drive_c/users/*/AppData/Roaming/Microsoft/Windows/"Start Menu"; do
    printf '%s\t%s\n' "Start Menu" "$start_menu"
  done
}

snapshot() {
  local label place
  while IFS=$'\t' read -r label place; do
    [ -d "$place" ] || continue
    (cd "$place" && find . -type f -print0 | xargs -0 -r sha256sum) |
      sed -E "s|^([0-9a-f]+)  \./(.*)$|\1\t$label/\2|"
  done < <(watched_places)
}

# "+path" added, "~path" changed, "-path" removed; "none" when nothing changed.
changes_between() {
  awk -F'\t' 'NF == 0 { next }
    NR == FNR { before[$2] = $1; next }
    { after[$2] = $1 }
    END {
      for (p in after) if (!(p in before)) print "+" p; else if (before[p] != after[p]) print "~" p
      for (p in before) if (!(p in after)) print "-" p
    }' <(printf '%s\n' "$1") <(printf '%s\n' "$2") | LC_ALL=C sort -k1.2 | grep . || echo none
}

installed="$prefix/drive_c/Program Files/ZavexPhone"
installed_as_published() { cmp -s "$release/manifest.json" "$installed/manifest.json"; }
nothing_installed() { [ ! -e "$installed/manifest.json" ]; }

names=() codes=() wanted=() verdicts=() changes=()

# run_step NAME EXPECTED_CODE CHECK COMMAND...: runs the command, shows its
# output, and records its exit code, whether the code and CHECK are as
# expected, and what changed on disk.
run_step() {
  local name=$1 expected=$2 check=$3 before after output code verdict=ok
  shift 3
  say "$name"
  before=$(snapshot)
  set +e
  output=$("$@" 2>&1)
  code=$?
  set -e
  [ -z "$output" ] || printf '%s\n' "$output"
  after=$(snapshot)
  if [ "$code" != "$expected" ] || ! "$check"; then verdict=UNEXPECTED; fi
  names+=("$name") codes+=("$code") wanted+=("$expected") verdicts+=("$verdict")
  changes+=("$(changes_between "$before" "$after")")
}

publish() {
  local version=$1 code=$2 build=$3 notes=$4
  "$publisher" --version="$version" --version-code="$code" --release-notes="$notes" \
    --signing-key="$keys/release-signing-key.pem" "$build" "$release"
}

# Serves the published manifest with one byte changed, as someone on the
# network path could, for one --check; then puts the signed one back.
check_altered_manifest() {
  local signed code=0
  signed=$(mktemp "$demo/temp/manifest.XXXXXX")
  cp "$release/manifest.json" "$signed"
  sed -i 's/"versionCode": 2/"versionCode": 9/' "$release/manifest.json"
  driver run --check || code=$?
  cp "$signed" "$release/manifest.json"
  rm "$signed"
  return $code
}
not_updated() { ! installed_as_published; }

updater_exe=
driver() { "$win/wine-run.sh" "$win/zavex_demo_driver.exe" "$updater_exe" "$@"; }

print_table() {
  local row line first failures=0
  say "Summary"
  printf '%-3s %-28s %-5s %-9s %-11s %s\n' "#" "Step" "Exit" "Expected" "Result" "On disk"
  for row in "${!names[@]}"; do
    first=1
    while IFS= read -r line; do
      if [ $first = 1 ]; then
        printf '%-3s %-28s %-5s %-9s %-11s %s\n' "$((row + 1))" "${names[row]}" "${codes[row]}" \
          "${wanted[row]}" "${verdicts[row]}" "$line"
        first=0
      else
        printf '%-60s %s\n' "" "$line"
      fi
    done <<<"${changes[row]}"
    [ "${verdicts[row]}" = ok ] || failures=$((failures + 1))
  done
  echo
  echo "Log of the program: $demo/updater/zavex_updater.log"
  echo "Server logs:        $demo/logs/access.log, $demo/logs/error.log"
  if [ $failures -eq 0 ]; then
    echo "All ${#names[@]} steps as expected."
  else
    echo "$failures of ${#names[@]} steps not as expected."
    return 1
  fi
}

"$root/scripts/ensure-tools.sh" nginx
cd "$root"
"$root/scripts/wine-prefix.sh" stop "$prefix" >/dev/null 2>&1 || true
rm -rf "$demo" "$prefix" "$prefix-home"
mkdir -p "$demo/logs" "$demo/temp" "$demo/site" "$demo/updater" "$keys"
build_all
say "Making a fresh Wine prefix ($prefix)"
"$root/scripts/wine-prefix.sh" setup "$prefix"
make_application_builds
cp "$win/zavex_updater.exe" "$demo/updater/"
updater_exe=$(windows_path "$demo/updater/zavex_updater.exe")
start_server

run_step "publish 1.0" 0 true publish 1.0.0 1 "$demo/builds/1.0" "Primeira versão"
run_step "install (window)" 0 installed_as_published driver install
run_step "publish 1.1" 0 true publish 1.1.0 2 "$demo/builds/1.1" "Chamadas de vídeo"
run_step "--check, altered manifest" 1 not_updated check_altered_manifest
run_step "--check" 0 true driver run --check
run_step "--silent --restart" 0 installed_as_published driver run --silent --restart
run_step "--check" 2 true driver run --check
run_step "--uninstall (confirmed)" 0 nothing_installed driver uninstall
print_table
