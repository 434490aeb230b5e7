#!/bin/sh
# run_fuzzer.sh <fuzzer> <seed corpus> <work corpus> [dictionary]
# Fuzzes for ZAVEX_FUZZ_SECONDS seconds (default 20; 0 only replays the
# corpora). New inputs go to the work corpus in the build tree; any finding
# fails the run.
set -eu
fuzzer=$1
seeds=$2
work=$3
dictionary=${4:-}
seconds=${ZAVEX_FUZZ_SECONDS:-20}
case $seconds in
  '' | *[!0-9]*) echo "ZAVEX_FUZZ_SECONDS must be a whole number of seconds" >&2; exit 2 ;;
esac
mkdir -p "$work"
# libFuzzer reads -max_total_time=0 as "no limit".
if [ "$seconds" -eq 0 ]; then
  set -- -runs=0
else
  set -- -max_total_time="$seconds"
fi
set -- "$@" -timeout=10 -rss_limit_mb=1024 -max_len=65536 -print_final_stats=1 \
  -artifact_prefix="$(dirname "$work")/"
[ -n "$dictionary" ] && set -- "$@" -dict="$dictionary"
exec "$fuzzer" "$@" "$work" "$seeds"
