#!/bin/bash
# The main job in one command. Makes a release signing key, builds the
# publisher and the program (with that key's public half), publishes signed
# release 1.0 of the stand-in application, serves it with nginx on
# 127.0.0.1:8380 (or ZAVEX_DEMO_PORT), installs it through the real window
# under Wine, publishes 1.1 (one file changed, one new, one removed, and an
# updater that trusts a second key too), shows that a manifest altered after
# signing is refused, checks, updates silently, checks again, then rotates the
# key: 1.2 signed with the second key alone is installed by the new updater, and
# 1.3 signed with the first key alone is refused by the one 1.2 brought. Then
# 1.4 goes out to eight installations at 10 %, is halted, and is set to 100 %.
# The installation takes 1.4 through the update service, which the stand-in
# application starts with no elevation: staged while the application runs,
# placed once it has ended. Then it uninstalls and prints each step, its exit
# code and what changed on disk, and which installation took 1.4 when.
# Stops everything it started.
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
keys=$demo/keys                    # the demo's release signing key pair ("A")
new_keys=$demo/keys-new            # the key pair that replaces it ("B")
updaters=$demo/updaters            # the updater trusting A, A and B, and B alone

cleanup() {
  stop_nginx
  "$root/scripts/wine-prefix.sh" stop "$prefix" >/dev/null 2>&1 || true
  # Until every process of the prefix has ended.
  WINEPREFIX=$prefix /usr/lib/wine/wineserver -w 2>/dev/null || true
}
trap cleanup EXIT

say() { printf '\n== %s\n' "$*"; }

# build_updater NAME KEYS [TARGET...]: the updater trusting KEYS (";" between
# public key files) into $updaters/NAME, as a publisher builds the one that a
# release carries when the keys change; only the key list is compiled again.
build_updater() {
  local name=$1 keys_list=$2
  shift 2
  # Configured on every run: the server address follows the port.
  cmake -S . -B "$win" -G Ninja --toolchain cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
    -DZAVEX_BUILD_TESTS=ON -DZAVEX_SERVER_BASE_URL="http://127.0.0.1:$port/" \
    -DZAVEX_RELEASE_PUBLIC_KEYS="$keys_list" &&
    cmake --build "$win" --target zavex_updater "$@" --parallel "$jobs" &&
    mkdir -p "$updaters/$name" &&
    cp "$win/zavex_updater.exe" "$updaters/$name/"
}

# Every step of the build, stopping at the first that fails (set -e does not
# hold inside a command whose failure is tested).
build_steps() {
  { [ -f build/host/build.ninja ] || cmake --preset host; } &&
    cmake --build build/host --target zavex_publish --parallel "$jobs" &&
    "$publisher" --generate-key="$keys" &&
    "$publisher" --generate-key="$new_keys" &&
    build_updater a "$keys/release-signing-key.pub.pem" zavexphone zavex_demo_driver &&
    build_updater a-and-b "$keys/release-signing-key.pub.pem;$new_keys/release-signing-key.pub.pem" &&
    build_updater b "$new_keys/release-signing-key.pub.pem"
}

build_all() {
  local log=$demo/logs/build.log
  say "Building the publisher (build/host) and the program for http://127.0.0.1:$port/" \
    "(build/demo-win64)"
  build_steps >"$log" 2>&1 || { tail -n 30 "$log"; echo "Build failed; the whole output is in $log"; exit 1; }
  echo "Built (output in $log)"
}

# The builds of the stand-in application: 1.1 changes lib/codec.dll, adds
# plugins/video.dll, drops docs/welcome.txt and carries the updater trusting A
# and B; 1.2 changes the codec again and carries the updater trusting B alone;
# 1.3 changes the codec once more.
make_application_builds() {
  local one=$demo/builds/1.0 two=$demo/builds/1.1 three=$demo/builds/1.2 four=$demo/builds/1.3
  mkdir -p "$one/lib" "$one/docs"
  cp "$win/zavexphone.exe" "$one/"
  printf 'codec 1.0\n' >"$one/lib/codec.dll"
  printf 'Bem-vindo ao Zavex Phone 1.0\n' >"$one/docs/welcome.txt"
  cp -r "$one" "$two"
  printf 'codec 1.1, with fewer dropped calls\n' >"$two/lib/codec.dll"
  mkdir -p "$two/plugins"
  printf 'video calls\n' >"$two/plugins/video.dll"
  rm -r "$two/docs"
  cp "$updaters/a-and-b/zavex_updater.exe" "$two/"
  cp -r "$two" "$three"
  printf 'codec 1.2\n' >"$three/lib/codec.dll"
  cp "$updaters/b/zavex_updater.exe" "$three/"
  cp -r "$three" "$four"
  printf 'codec 1.3\n' >"$four/lib/codec.dll"
  cp -r "$three" "$demo/builds/1.4"
  printf 'codec 1.4\n' >"$demo/builds/1.4/lib/codec.dll"
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
# The record is the published manifest without its expiry, rollout, critical
# code and index.
installed_as_published() {
  grep -vE '^  "(expires|rollout|criticalBelow|deltaIndex)": ' "$release/manifest.json" |
    cmp -s - "$installed/manifest.json"
}
# installed_updater NAME: the installed updater is the one trusting NAME's keys.
installed_updater() { cmp -s "$updaters/$1/zavex_updater.exe" "$installed/zavex_updater.exe"; }
updated_to_a_and_b() { installed_as_published && installed_updater a-and-b; }
updated_to_b() { installed_as_published && installed_updater b; }
nothing_installed() { [ ! -e "$installed/manifest.json" ]; }
# The service staged 1.4's codec beside the installed one and placed nothing.
staged_only() { ! installed_as_published && [ -f "$installed/lib/codec.dll.tmp" ]; }

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

# publish VERSION CODE BUILD NOTES [KEY_FOLDER [OPTION...]]: signed with A, or
# the key in KEY_FOLDER. The updaters the builds carry are the demo's 64-bit
# ones (--x64-updater).
publish() {
  local version=$1 code=$2 build=$3 notes=$4 key=${5:-$keys}
  shift $(($# < 5 ? $# : 5))
  "$publisher" --version="$version" --version-code="$code" --release-notes="$notes" \
    --x64-updater --signing-key="$key/release-signing-key.pem" "$@" "$build" "$release"
}

# The staged rollout of 1.4 reaches these installations: copies of the
# installed one (1.2), each without an id, so that each makes its own at its
# first check.
rollout_copies=(1 2 3 4 5 6 7 8)
copy_folder() { printf '%s/drive_c/ZavexCopy-%s' "$prefix" "$1"; }
make_rollout_copies() {
  local copy
  for copy in "${rollout_copies[@]}"; do
    rm -rf "$(copy_folder "$copy")"
    cp -r "$installed" "$(copy_folder "$copy")"
    rm -f "$(copy_folder "$copy")/zavex_installation.id" "$(copy_folder "$copy")/zavex_updater.log"
  done
}
# Each step runs in a subshell: the stages' results are kept in files.
rollout_dir=$demo/rollout
# silent_on_copies STAGE: --silent on every copy; records the version each
# holds afterwards under STAGE, and each copy's place in the rollout of 1.4
# from the first run that logs it (in the installed copy's log, which the
# uninstall removes).
silent_on_copies() {
  local stage=$1 copy log=$installed/zavex_updater.log logged place
  mkdir -p "$rollout_dir"
  for copy in "${rollout_copies[@]}"; do
    logged=$(wc -c <"$log")
    installed_driver run --silent "--path=C:\\ZavexCopy-$copy" >/dev/null 2>&1 || true
    place=$(tail -c +"$((logged + 1))" "$log" | grep -oE 'this installation: [0-9.]+ %' | head -n 1)
    [ -s "$rollout_dir/place-$copy" ] || printf '%s' "${place#this installation: }" >"$rollout_dir/place-$copy"
    sed -nE 's/^  "version": "(.*)",$/\1/p' "$(copy_folder "$copy")/manifest.json" >>"$rollout_dir/$stage"
  done
  echo "$stage" >>"$rollout_dir/stages"
}
# Halted, no copy moves since 10 %; at 100 %, all hold 1.4.
none_moved_since_10() { cmp -s "$rollout_dir/10%" "$rollout_dir/halted"; }
all_at_14() { [ "$(sort -u "$rollout_dir/100%")" = 1.4.0 ]; }

# Each copy's place in the rollout of 1.4 and the version it held after each
# stage.
print_rollout_table() {
  local copy stage
  say "Staged rollout of 1.4 over ${#rollout_copies[@]} installations"
  printf '%-14s %-9s' "Installation" "Place"
  while read -r stage; do printf ' %-9s' "$stage"; done <"$rollout_dir/stages"
  echo
  for copy in "${rollout_copies[@]}"; do
    printf '%-14s %-9s' "ZavexCopy-$copy" "$(cat "$rollout_dir/place-$copy" 2>/dev/null || echo '?')"
    while read -r stage; do printf ' %-9s' "$(sed -n "${copy}p" "$rollout_dir/$stage")"; done \
      <"$rollout_dir/stages"
    echo
  done
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
# The installed application, which starts the update service as it starts and
# as it ends.
phone_driver() {
  "$win/wine-run.sh" "$win/zavex_demo_driver.exe" 'C:\Program Files\ZavexPhone\zavexphone.exe' "$@"
}
# The installed copy, which finds its installation beside itself.
installed_driver() {
  "$win/wine-run.sh" "$win/zavex_demo_driver.exe" 'C:\Program Files\ZavexPhone\zavex_updater.exe' "$@"
}

# The lines of the program's logs that tell the bytes each run fetched
# (patches and compressed copies) against the files' whole sizes, kept before
# the uninstall removes the installed copy's log.
keep_fetched_bytes() {
  grep -h "Fetched [0-9]* bytes for" "$demo/updater/zavex_updater.log" "$installed/zavex_updater.log" \
    2>/dev/null | tr -d '\r' >"$demo/logs/fetched.txt"
}

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
  echo "Bytes fetched by the install and each update, against the whole files they brought:"
  sed 's/^/  /' "$demo/logs/fetched.txt"
  echo "Logs of the program: $demo/updater/zavex_updater.log (the copy outside the installation),"
  echo "                     $installed/zavex_updater.log (the installed copy)"
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
mkdir -p "$demo/logs" "$demo/temp" "$demo/site" "$demo/updater" "$keys" "$new_keys"
build_all
say "Making a fresh Wine prefix ($prefix)"
"$root/scripts/wine-prefix.sh" setup "$prefix"
# Wine reads every folder back as one that its user may change: the test
# build's hook takes the installation folder for one that only administrators
# can change, so that the install registers the update service for it.
"$win/wine-run.sh" reg add 'HKLM\SOFTWARE\Zavex Test' /v TrustedFolder \
  /d 'C:\Program Files\ZavexPhone' /f >/dev/null
make_application_builds
cp "$updaters/a/zavex_updater.exe" "$demo/updater/"
updater_exe=$(windows_path "$demo/updater/zavex_updater.exe")
start_server
# Keeps Wine's desktop while the steps' programs come and go (see the driver).
"$win/wine-run.sh" "$win/zavex_demo_driver.exe" hold-desktop >/dev/null 2>&1 &

run_step "publish 1.0" 0 true publish 1.0.0 1 "$demo/builds/1.0" "Primeira versão"
run_step "install (window)" 0 installed_as_published driver install
run_step "publish 1.1, updater A+B" 0 true publish 1.1.0 2 "$demo/builds/1.1" "Chamadas de vídeo"
run_step "--check, altered manifest" 1 not_updated check_altered_manifest
run_step "--check" 0 true driver run --check
run_step "--silent --restart" 0 updated_to_a_and_b driver run --silent --restart
run_step "--check, installed copy" 2 true installed_driver run --check
run_step "publish 1.2 by B, updater B" 0 true publish 1.2.0 3 "$demo/builds/1.2" "Codec" "$new_keys"
run_step "--silent, installed copy" 0 updated_to_b installed_driver run --silent
run_step "publish 1.3 by A" 0 true publish 1.3.0 4 "$demo/builds/1.3" "Chave antiga"
run_step "--check, installed copy" 1 not_updated installed_driver run --check
make_rollout_copies
run_step "publish 1.4 by B at 10 %" 0 true publish 1.4.0 5 "$demo/builds/1.4" "Rollout" "$new_keys" \
  --rollout=10
run_step "--silent, 8 copies, 10 %" 0 true silent_on_copies 10%
run_step "halt 1.4" 0 true "$publisher" --halt --signing-key="$new_keys/release-signing-key.pem" \
  "$release"
run_step "--silent, 8 copies, halted" 0 none_moved_since_10 silent_on_copies halted
run_step "set 1.4 to 100 %" 0 true "$publisher" --set-rollout=100 \
  --signing-key="$new_keys/release-signing-key.pem" "$release"
run_step "--silent, 8 copies, 100 %" 0 all_at_14 silent_on_copies 100%
run_step "service, Zavex Phone runs" 3 staged_only phone_driver start-phone
run_step "service, Zavex Phone closed" 0 installed_as_published phone_driver close-phone
keep_fetched_bytes
run_step "--uninstall (confirmed)" 0 nothing_installed driver uninstall
print_rollout_table
print_table
