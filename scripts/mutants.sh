#!/bin/bash
# Applies each mutant of scripts/mutants.list in turn: rebuilds its tree, runs
# the CTest entries that must catch it, restores the file, and prints caught
# or survived; then the total. Not part of scripts/test.sh: each mutant costs
# a rebuild and a test run (minutes under Wine).
#   mutants.sh [list] [name regex]   (default list: scripts/mutants.list)
# The trees must have been configured (scripts/test.sh does it). Exit status
# 0 when every mutant that ran was caught. An interrupted run restores the
# mutated file before it ends.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list=${1:-$root/scripts/mutants.list}
only=${2:-}
cd "$root"

backup=
# A fresh modification time, so that the next build compiles the file again.
restore() {
  if [ -n "$backup" ]; then
    cp "$backup" "$mutated"
    rm -f "$backup"
    backup=
  fi
}
trap restore EXIT
trap 'restore; exit 130' INT TERM

# Replaces the one occurrence of $2 in file $1 by $3; fails unless the text
# occurs exactly once.
apply_mutant() {
  python3 - "$1" "$2" "$3" <<'EOF'
import sys
path, old, new = sys.argv[1:]
text = open(path, encoding="utf-8").read()
count = text.count(old)
if count != 1:
    sys.exit(f"the text occurs {count} times in {path}")
open(path, "w", encoding="utf-8").write(text.replace(old, new))
EOF
}

# One mutant: sets result to "caught", "survived" or why it could not run;
# the build's and the tests' output go to build/mutants/<name>.log.
run_mutant() {
  local name=$1 file=$2 from=$3 to=$4 tests=$5 tree=$6 filter=$7
  # Under Wine an entry is its test program's name and "@<tree>": only those
  # programs (and what they depend on) are built, not the fixtures' scripts.
  local entries targets=()
  entries=$(ctest --test-dir "build/$tree" -N -R "$tests" </dev/null | sed -n 's/^ *Test *#[0-9]*: //p')
  if [ -z "$entries" ]; then
    result="no CTest entry matches"
    return
  fi
  if [ "$tree" != host ]; then
    local entry
    for entry in $(sed -n 's/@.*//p' <<<"$entries"); do
      ninja -C "build/$tree" -t query "$entry" >/dev/null 2>&1 && targets+=("$entry")
    done
    [ ${#targets[@]} -eq 0 ] || targets=(--target "${targets[@]}")
  fi
  mutated=$file
  backup=$(mktemp)
  cp -p "$file" "$backup"
  if ! apply_mutant "$file" "$from" "$to"; then
    restore
    result="not applied"
    return
  fi
  trees[$tree]=1
  local log=build/mutants/${name//[^A-Za-z0-9]/_}.log
  mkdir -p build/mutants
  if ! cmake --build "build/$tree" "${targets[@]}" </dev/null >"$log" 2>&1; then
    result="does not build ($log)"
  elif GTEST_FILTER=$filter ctest --test-dir "build/$tree" -R "$tests" --timeout 600 -j2 \
      --output-on-failure </dev/null >>"$log" 2>&1; then
    result="survived"
  else
    result="caught"
  fi
  restore
}

caught=0
total=0
declare -A mutant=() trees=()
finish_entry() {
  [ -n "${mutant[name]:-}" ] || return 0
  if [ -n "$only" ] && ! [[ ${mutant[name]} =~ $only ]]; then
    mutant=()
    return 0
  fi
  total=$((total + 1))
  run_mutant "${mutant[name]}" "${mutant[file]}" "${mutant[from]}" "${mutant[to]}" \
    "${mutant[tests]}" "${mutant[tree]:-win64-test}" "${mutant[filter]:-*}"
  [ "$result" = caught ] && caught=$((caught + 1))
  printf '%-44s %s\n' "${mutant[name]}" "$result"
  mutant=()
}

# The list: blocks of "key: value" lines separated by blank lines; keys name,
# file, from, to, tests (a CTest regex), filter (a GoogleTest filter for the
# test programs those entries run, all tests when absent) and tree (build
# tree, win64-test when absent). Lines starting with # are comments.
while IFS= read -r line || [ -n "$line" ]; do
  case $line in
    '#'*) continue ;;
    '') finish_entry ;;
    *)
      value=${line#*:}
      mutant[${line%%:*}]=${value# }
      ;;
  esac
done <"$list"
finish_entry
# Leave the trees built from the restored sources.
for tree in "${!trees[@]}"; do cmake --build "build/$tree" </dev/null >/dev/null 2>&1 || true; done
echo "$caught of $total mutants caught"
[ "$caught" -eq "$total" ]
