# shellcheck shell=bash
# Sourced by bench/run.sh for --release-pairs: real release pairs from Debian's
# archive, each published as releases 1 and 2, then updated silently from a
# copy of release 1 through the proxy by the program and by the older program,
# next to the zstd --patch-from and bsdiff sizes of the same pair.

# PACKAGE OLD_VERSION NEW_VERSION. A version the archive dropped is replaced
# by the two that apt-cache madison lists.
release_pairs=("libreoffice-core 4:7.4.7-1+deb12u13 4:7.4.7-1+deb12u14"
  "firefox-esr 140.12.0esr-1~deb12u1 153.8.0esr-1~deb12u1")
# 20 and 100 Mbit/s, in bytes per second.
pair_rates=(2.5M 12.5M)
[ -z "$rate" ] || pair_rates=("$rate")
# The program's bytes sent at most, in % of the changed bytes, by package.
declare -A pair_sent_target=([libreoffice-core]=5 [firefox-esr]=30)
# base / program seconds at least, by package, at pair_speedup_rate.
declare -A pair_speedup_target=([libreoffice-core]=10 [firefox-esr]=3.3)
pair_speedup_rate=2.5M
peak_target_mib=32

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

deb_folder() { printf '%s/debs/%s/%s' "$data" "$1" "$2"; }  # PACKAGE VERSION

cached_deb() {  # PACKAGE VERSION
  local deb
  for deb in "$(deb_folder "$1" "$2")"/*.deb; do [ -f "$deb" ] && echo "$deb"; done
  return 0
}

# The versions of PACKAGE the archive holds, highest first, once each.
listed_versions() {
  apt-cache madison "$1" | awk -F'|' '{ gsub(/ /, "", $2); if (!seen[$2]++) print $2 }'
}

lists_both() { grep -qxF "$2" <<<"$1" && grep -qxF "$3" <<<"$1"; }  # LISTED OLD NEW

# Sets pair_old, pair_new and pair_note: the named versions when they are kept
# here or the archive lists them (after refreshing its lists once), else the
# two versions that apt-cache madison lists.
choose_versions() {  # PACKAGE OLD NEW
  local package=$1 listed versions
  pair_old=$2 pair_new=$3 pair_note="the named versions"
  [ -n "$(cached_deb "$package" "$2")" ] && [ -n "$(cached_deb "$package" "$3")" ] && return
  listed=$(listed_versions "$package")
  if ! lists_both "$listed" "$2" "$3"; then
    "${sudo_cmd[@]}" apt-get update -qq >"$data/apt.log" 2>&1 ||
      say "apt-get update failed, going on with the lists there are"
    listed=$(listed_versions "$package")
  fi
  lists_both "$listed" "$2" "$3" && return
  mapfile -t versions < <(head -n 2 <<<"$listed")
  [ ${#versions[@]} = 2 ] || fail "apt-cache madison lists fewer than two versions of $package"
  if dpkg --compare-versions "${versions[0]}" lt "${versions[1]}"; then
    pair_old=${versions[0]} pair_new=${versions[1]}
  else
    pair_old=${versions[1]} pair_new=${versions[0]}
  fi
  pair_note="$2 or $3 is gone from the archive: the two versions apt-cache madison lists"
}

fetch_deb() {  # PACKAGE VERSION
  local folder
  [ -n "$(cached_deb "$1" "$2")" ] && return
  folder=$(deb_folder "$1" "$2")
  say "Downloading $1 $2 into $folder"
  mkdir -p "$folder"
  (cd "$folder" && apt-get download "$1=$2") >"$data/apt.log" 2>&1 ||
    { cat "$data/apt.log" >&2; fail "apt-get download $1=$2 failed"; }
}

# The package's files as a build; links are left out, as the publisher
# refuses them.
unpack_build() {  # DEB FOLDER
  rm -rf "$2"
  mkdir -p "$2"
  dpkg-deb -x "$1" "$2"
  find "$2" -type l -delete
}

pair_name() { printf 'pair-%s-%s-%s' "$1" "${2//:/_}" "${3//:/_}"; }
pair_dir() { printf '%s/releases/%s' "$data" "$(pair_name "$@")"; }
entry_dir() { local package old new; read -r package old new <<<"$1"; pair_dir "$package" "$old" "$new"; }

# Releases v1 and v2 of the pair under pair_dir, v2 published over v1 so that
# its zavex_delta holds the patches from it, and the publishing's seconds.
# The reference sizes, which take far longer, are kept apart under
# $data/references, so that deleting pair_dir publishes the pair again
# without making them again. Both are made once and kept for later runs.
make_pair_release() {  # PACKAGE OLD NEW
  local dir builds start references
  dir=$(pair_dir "$@")
  references=$data/references/$(pair_name "$@")
  [ -f "$dir/ready" ] && [ -f "$references/ready" ] && return
  rm -rf "$dir"
  mkdir -p "$dir"
  builds=$data/builds/$(pair_name "$@")
  unpack_build "$(cached_deb "$1" "$2")" "$builds/v1"
  unpack_build "$(cached_deb "$1" "$3")" "$builds/v2"
  say "Publishing $1 $2, then $3 over it ($dir)"
  start=$EPOCHREALTIME
  publish_over "$builds/v1" "$dir/v2" 1
  cp -a "$dir/v2" "$dir/v1"
  publish_over "$builds/v2" "$dir/v2" 2
  seconds_since "$start" >"$dir/publish-seconds"
  if [ ! -f "$references/ready" ]; then
    say "zstd --patch-from and bsdiff of the changed files"
    rm -rf "$references"
    mkdir -p "$references"
    start=$EPOCHREALTIME
    nice -n 10 python3 "$root/bench/release_builds.py" references "$builds/v1" "$builds/v2" \
      >"$references/references"
    seconds_since "$start" >"$references/references-seconds"
    touch "$references/ready"
  fi
  cp "$references/references" "$references/references-seconds" "$dir/"
  rm -rf "$builds"
  touch "$dir/ready"
}

# An installed release: its files and manifest, not its delta folder.
install_copy() {  # RELEASE FOLDER
  rm -rf "$2"
  cp -a "$1" "$2"
  rm -rf "$2/zavex_delta"
}

# Whether counted_update goes on when the updater fails (recording it).
updates_may_fail=0
# The first error that the updater logged in the last failed counted_update.
last_failure=

# counted_update KEY KIND PROGRAM DIR LATENCY RATE [PROXY_ARGS...]: a silent
# update by PROGRAM of a fresh copy of DIR/v1 to DIR/v2 through a proxy of its
# own, which counts the bytes it sends; records KIND_completed (1 or 0),
# KIND_seconds, KIND_sent and KIND_peak under KEY.
counted_update() {
  local key=$1 kind=$2 program=$3 dir=$4 install=$data/work/install count=$data/work/sent-bytes
  local log=$data/$3/zavex_updater.log
  mkdir -p "$data/work"
  install_copy "$dir/v1" "$install"
  serve "$dir/v2"
  rm -f "$count"
  start_proxy "$5" "$6" --count-file "$count" "${@:7}"
  line=$(updater_line "$program" silent "$install")
  stop_proxy
  if [ "$(field exit "$line")" = 0 ]; then
    check_installed "$install" "$dir/v2"
    record "$key" "${kind}_completed" 1
  else
    [ $updates_may_fail = 1 ] || fail "$program silent on $install ended with: $line (log: $log)"
    last_failure=$(grep -m 1 '\[ERROR\]' "$log" | sed 's/^\[[^]]*\] //')
    record "$key" "${kind}_completed" 0
  fi
  record "$key" "${kind}_seconds" "$(field seconds "$line")"
  record "$key" "${kind}_sent" "$(cat "$count")"
  record "$key" "${kind}_peak" "$(field peak_bytes "$line")"
}

reference() { field "$1" "$(cat "$2/references")"; }  # NAME DIR
# MB of 10^6 bytes, and A as % of B; of "-", "-".
mb() {
  [ "$1" = - ] && { echo -; return; }
  awk -v b="$1" 'BEGIN { printf "%.2f", b / 1e6 }'
}
percent() {  # A B
  [ "$1" = - ] && { echo -; return; }
  awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", 100 * a / b }'
}
mbit() {  # RATE as bits per second, in Mbit/s
  awk -v r="$1" 'BEGIN { m = 1; s = substr(r, length(r))
    if (s == "k") m = 1e3; else if (s == "M") m = 1e6; else if (s == "G") m = 1e9
    if (m > 1) r = substr(r, 1, length(r) - 1)
    printf "%g", r * m * 8 / 1e6 }'
}

measured_pairs=()  # "PACKAGE OLD NEW"
pair_notes=()

pair_seconds_format='%4s %7s  %-17s %8s   %8s %7s %8s %7s   %8s %7s %8s %7s   %8s'
pair_reference_format='%-17s %6s %9s   %8s %7s   %8s %7s   %9s %9s'

pair_row() {  # LATENCY RATE PACKAGE DIR
  local key="$1 $2 $3" changed kind
  local -a cells=()
  changed=$(reference changed_bytes "$4")
  for kind in program base; do
    cells+=("$(mb "$(figure "$key" ${kind}_sent)")"
      "$(percent "$(figure "$key" ${kind}_sent)" "$changed")"
      "$(figure "$key" ${kind}_seconds)" "$(mib "$(figure "$key" ${kind}_peak)")")
  done
  printf "$pair_seconds_format\n" "$1" "$(mbit "$2")" "$3" "$(mb "$changed")" "${cells[@]}" \
    "$(ratio "$(figure "$key" base_seconds)" "$(figure "$key" program_seconds)")"
}

pair_reference_row() {  # PACKAGE DIR
  local changed zstd bsdiff
  changed=$(reference changed_bytes "$2")
  zstd=$(reference zstd_bytes "$2")
  bsdiff=$(reference bsdiff_bytes "$2")
  printf "$pair_reference_format\n" "$1" "$(reference changed_files "$2")" "$(mb "$changed")" \
    "$(mb "$zstd")" "$(percent "$zstd" "$changed")" "$(mb "$bsdiff")" \
    "$(percent "$bsdiff" "$changed")" "$(cat "$2/publish-seconds")" \
    "$(cat "$2/references-seconds")"
}

print_pair_targets() {
  local latency pair_rate entry package dir key peak worst=0
  echo "Targets:"
  for latency in "${latencies[@]}"; do
    for entry in "${measured_pairs[@]}"; do
      read -r package _ <<<"$entry"
      dir=$(entry_dir "$entry")
      for pair_rate in "${pair_rates[@]}"; do
        key="$latency $pair_rate $package"
        printf '  %s @%sms %s Mbit/s: program sent %s %% of the changed bytes (target <= %s %%)' \
          "$package" "$latency" "$(mbit "$pair_rate")" \
          "$(percent "$(figure "$key" program_sent)" "$(reference changed_bytes "$dir")")" \
          "${pair_sent_target[$package]:--}"
        printf ', base/program seconds %s' \
          "$(ratio "$(figure "$key" base_seconds)" "$(figure "$key" program_seconds)")"
        [ "$pair_rate" != "$pair_speedup_rate" ] || printf ' (target >= %s)' "${pair_speedup_target[$package]:--}"
        echo
        peak=$(figure "$key" program_peak)
        [ "$peak" = - ] || [ "$peak" -le "$worst" ] || worst=$peak
      done
    done
  done
  printf '  program peak working set, highest of the rows: %s MiB (target <= %s MiB)\n' \
    "$(mib "$worst")" "$peak_target_mib"
}

print_pairs_table() {
  local latency pair_rate entry package
  echo
  echo "Release pairs measured:"
  printf '  %s\n' "${pair_notes[@]}"
  echo
  echo "Silent update from a copy of release 1 to release 2 through the proxy (median of $runs):"
  echo "the program ($width-bit) and the older program ($baseline_ref, \"base\") under Wine;"
  echo "sent: bytes the proxy sent to the updater (MB of 10^6 bytes, and % of the changed"
  echo "files' bytes); peak: the peak working set."
  printf "$pair_seconds_format\n" "lat." "rate" "package" "changed" "program" "program" "program" \
    "program" "base" "base" "base" "base" "base"
  printf "$pair_seconds_format\n" "ms" "Mbit/s" "" "MB" "sent MB" "% chg" "seconds" "peak MiB" \
    "sent MB" "% chg" "seconds" "peak MiB" "/program"
  for latency in "${latencies[@]}"; do
    for pair_rate in "${pair_rates[@]}"; do
      for entry in "${measured_pairs[@]}"; do
        read -r package _ <<<"$entry"
        pair_row "$latency" "$pair_rate" "$package" "$(entry_dir "$entry")"
      done
    done
  done
  echo
  echo "References, per changed file from its old version, summed (zstd -19 --single-thread"
  echo "--patch-from; bsdiff 4.3; a new file from one zero byte), and seconds to publish both"
  echo "releases (the second with its patches) and to make the references:"
  printf "$pair_reference_format\n" "package" "files" "changed" "zstd" "zstd" "bsdiff" "bsdiff" \
    "publish" "reference"
  printf "$pair_reference_format\n" "" "chg" "MB" "MB" "% chg" "MB" "% chg" "seconds" "seconds"
  for entry in "${measured_pairs[@]}"; do
    read -r package _ <<<"$entry"
    pair_reference_row "$package" "$(entry_dir "$entry")"
  done
  echo
  print_pair_targets
}

run_release_pairs() {
  local entry package old new dir latency pair_rate pair_old pair_new pair_note
  for entry in "${release_pairs[@]}"; do
    read -r package old new <<<"$entry"
    choose_versions "$package" "$old" "$new"
    fetch_deb "$package" "$pair_old"
    fetch_deb "$package" "$pair_new"
    make_pair_release "$package" "$pair_old" "$pair_new"
    measured_pairs+=("$package $pair_old $pair_new")
    pair_notes+=("$package $pair_old -> $pair_new ($pair_note)")
  done
  for latency in "${latencies[@]}"; do
    for pair_rate in "${pair_rates[@]}"; do
      for entry in "${measured_pairs[@]}"; do
        read -r package _ <<<"$entry"
        dir=$(entry_dir "$entry")
        say "$package at $latency ms and $(mbit "$pair_rate") Mbit/s: $runs run(s)"
        for _ in $(seq "$runs"); do
          counted_update "$latency $pair_rate $package" program updater "$dir" "$latency" "$pair_rate"
          [ $baseline_program = 0 ] ||
            counted_update "$latency $pair_rate $package" base baseline-updater "$dir" "$latency" \
              "$pair_rate"
        done
        say "$(pair_row "$latency" "$pair_rate" "$package" "$dir")"
      done
    done
  done
  rm -rf "$data/work"
  print_pairs_table
}
