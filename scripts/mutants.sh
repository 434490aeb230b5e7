#!/bin/bash
# Applies each mutant of scripts/mutants.list in turn: rebuilds its tree, runs
# the CTest entries that must catch it, restores the file, and prints caught
# or survived; then the total. Not part of scripts/test.sh: each mutant costs
# a rebuild and a test run (minutes under Wine).
#   mutants.sh [list] [name regex]   (default list: scripts/mutants.list)
# The trees must have been configured (scripts/test.sh does it). Exit status
# 0 when every mutant that ran was caught.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list=${1:-$root/scripts/mutants.list}
only=${2:-}
cd "$root"

backup=
restore() {
  if [ -n "$backup" ]; then
    cp -p "$backup" "$mutated"
    rm -f "$backup"
    backup=
  fi
}
trap restore EXIT INT TERM

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

# One mutant: prints "caught", "survived" or why it could not run.
run_mutant() {
  local name=$1 file=$2 from=$3 to=$4 tests=$5 tree=$6
  mutated=$file
  backup=$(mktemp)
  cp -p "$file" "$backup"
  if ! apply_mutant "$file" "$from" "$to"; then
    restore
    result="not applied"
    return
  fi
  trees[$tree]=1
  if ! cmake --build "build/$tree" </dev/null >"build/mutant.log" 2>&1; then
    result="does not build (build/mutant.log)"
  elif ctest --test-dir "build/$tree" -R "$tests" --timeout 600 -j2 </dev/null >>"build/mutant.log" 2>&1; then
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
    "${mutant[tests]}" "${mutant[tree]:-win64-test}"
  [ "$result" = caught ] && caught=$((caught + 1))
  printf '%-44s %s\n' "${mutant[name]}" "$result"
  mutant=()
}

# The list: blocks of "key: value" lines separated by blank lines; keys name,
# file, from, to, tests (a CTest regex) and tree (build tree, win64-test when
# absent). Lines starting with # are comments.
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
