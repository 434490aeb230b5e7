# shellcheck shell=bash
# Sourced by bench/run.sh for --fault: a silent update of one large file
# through the proxy, once as it is and once with the connection cut every
# cut_every bytes sent in all (--cut-every); the program should resume and
# complete. A failed cut run is recorded, not fatal.
cut_file_size=$((200 * MiB))

cut_format='%4s  %-6s %9s %8s %12s %9s %8s %9s'
cut_failures=()

# Runs of KEY's KIND that completed, as "N/RUNS".
completed_runs() {  # KEY KIND
  awk '{ for (i = 1; i <= NF; i++) done += $i; printf "%d/%d", done, NF }' \
    <<<"${figures["$1 $2_completed"]}"
}

cut_row() {  # LATENCY KIND
  printf "$cut_format\n" "$1" "$2" "$(completed_runs "$1" "$2")" "$(figure "$1" "$2_seconds")" \
    "$(figure "$1" "$2_sent")" "$(ratio "$(figure "$1" "$2_sent")" "$cut_file_size")" \
    "$(figure "$1" "$2_retries")" "$(mib "$(figure "$1" "$2_peak")")"
}

print_cut_table() {
  local latency cap=
  [ -z "$rate" ] || cap=", capped at $rate bytes per second"
  cat <<EOF

One file of $cut_file_size bytes updated silently (release 1 to 2) by the program
($width-bit) through the proxy$cap, median of $runs; "cut": the proxy closes the
connection each time the bytes it sent in all reach a multiple of $cut_every.
EOF
  printf "$cut_format\n" "lat." "run" "completed" "seconds" "sent bytes" "sent" "retries" "peak"
  printf "$cut_format\n" "ms" "" "" "" "" "/size" "logged" "MiB"
  for latency in "${latencies[@]}"; do
    cut_row "$latency" uncut
    cut_row "$latency" cut
  done
  [ ${#cut_failures[@]} = 0 ] || { echo "Failed runs:"; printf '  %s\n' "${cut_failures[@]}"; }
  echo
  echo "Targets:"
  for latency in "${latencies[@]}"; do
    printf '  @%sms: cut runs completed %s (target: all); sent/size %s (target <= 1.1);' \
      "$latency" "$(completed_runs "$latency" cut)" \
      "$(ratio "$(figure "$latency" cut_sent)" "$cut_file_size")"
    printf ' seconds cut/uncut %s\n' \
      "$(ratio "$(figure "$latency" cut_seconds)" "$(figure "$latency" uncut_seconds)")"
  done
}

retries_logged() { grep -c "Retrying" "$data/updater/zavex_updater.log" || true; }

run_cut_connection() {
  local dir latency
  make_release 1 "$cut_file_size"
  dir=$(release_dir 1 "$cut_file_size")
  for latency in "${latencies[@]}"; do
    say "One file of $cut_file_size bytes at $latency ms, uncut and cut every $cut_every: $runs run(s)"
    for _ in $(seq "$runs"); do
      counted_update "$latency" uncut updater "$dir" "$latency" "$rate"
      record "$latency" uncut_retries "$(retries_logged)"
      updates_may_fail=1
      counted_update "$latency" cut updater "$dir" "$latency" "$rate" --cut-every "$cut_every"
      updates_may_fail=0
      record "$latency" cut_retries "$(retries_logged)"
      [ "$(field exit "$line")" = 0 ] || cut_failures+=("@${latency}ms: $last_failure")
    done
    say "$(cut_row "$latency" uncut)"
    say "$(cut_row "$latency" cut)"
  done
  rm -rf "$data/work"
  print_cut_table
}
