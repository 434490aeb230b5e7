# shellcheck shell=bash
# Sourced by bench/run.sh for --pe-pairs: pairs of PE files, each diffed by
# pe_transform_bench (version 1, forward and transformed patches, and the
# native apply time and heap of the one the publisher keeps) next to bsdiff and
# zstd --patch-from. The pairs:
#   - the shipped 32-bit zavex_updater.exe (win32-release) built at the ten
#     latest commits of main up to --pe-ref (default main) that changed the
#     program, each in a scratch worktree under data/pe/src, with ccache when
#     there is one;
#   - the PE files that change between two versions of grub-efi-amd64-bin and
#     of systemd-boot-efi from Debian's archive (release_pairs.sh's
#     choose_versions: another pair when one is gone, said in the table).

pe_pairs=("grub-efi-amd64-bin 2.06-13+deb12u1 2.06-13+deb12u2"
  "systemd-boot-efi 252.38-1~deb12u1 252.39-1~deb12u2")
pe_commits=10
# Targets: the transformed patch at most this % of version 1 as the median,
# and never larger than version 1.
pe_median_target=50

pe_data() { printf '%s/pe' "$data"; }
pe_bench_tree=$root/build/formats-bench

build_pe_bench() {
  { [ -f "$pe_bench_tree/build.ninja" ] || cmake -S "$root" -B "$pe_bench_tree" -G Ninja \
      --toolchain "$root/cmake/host-clang.cmake" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS= \
      -DCMAKE_EXE_LINKER_FLAGS= -DZAVEX_BUILD_TESTS=ON -DZAVEX_FUZZING=OFF; } &&
    cmake --build "$pe_bench_tree" --target pe_transform_bench -j$jobs
}

# data/pe/updater/COMMIT.exe: the shipped program built at COMMIT, kept for
# later runs.
build_updater_at() {  # COMMIT
  local out src launchers=()
  out=$(pe_data)/updater/$1.exe
  [ -f "$out" ] && return
  src=$(pe_data)/src/$1
  command -v ccache >/dev/null &&
    launchers=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  say "Building zavex_updater.exe at $1 ($src)"
  rm -rf "$src"
  git -C "$root" worktree add --detach "$src" "$1" >/dev/null 2>&1 &&
    (cd "$src" && cmake --preset win32-release "${launchers[@]}") >"$src.log" 2>&1 &&
    cmake --build "$src/build/win32-release" --target zavex_updater -j$jobs >>"$src.log" 2>&1 &&
    mkdir -p "$(dirname "$out")" && cp "$src/build/win32-release/zavex_updater.exe" "$out" ||
    fail "the build at $1 failed; its output is in $src.log"
  git -C "$root" worktree remove --force "$src"
}

# True when two builds are the same program: they differ at most in the PE
# header's time stamp and checksum (builds before the link left the time
# stamp out).
same_program() {  # OLD.exe NEW.exe
  [ "$(stat -c %s "$1")" = "$(stat -c %s "$2")" ] && [ "$(cmp -l "$1" "$2" | wc -l)" -le 8 ]
}

# The newest first-parent commits up to --pe-ref that each built another
# program than the commit after them, pe_commits of them, oldest first: a
# commit that changed only tests or documents gives no pair.
pe_commit_list() {
  local kept=() commit
  for commit in $(git -C "$root" rev-list --first-parent --abbrev-commit "$pe_ref"); do
    build_updater_at "$commit"
    if [ ${#kept[@]} -gt 0 ] &&
      same_program "$(pe_data)/updater/$commit.exe" "$(pe_data)/updater/${kept[-1]}.exe"; then
      kept[-1]=$commit
    elif [ ${#kept[@]} -eq $pe_commits ]; then
      break
    else
      kept+=("$commit")
    fi
  done
  printf '%s\n' "${kept[@]}" | tac
}

# Lines "LABEL OLD NEW" of the updater pairs, oldest first.
updater_pairs() {
  local previous= commit commits
  commits=$(pe_commit_list) || exit 1
  for commit in $commits; do
    [ -z "$previous" ] ||
      echo "zavex_updater.exe_$previous->$commit $(pe_data)/updater/$previous.exe $(pe_data)/updater/$commit.exe"
    previous=$commit
  done
}

# Lines "LABEL OLD NEW" of the PE files of PACKAGE that both versions hold
# and that differ, unpacked under data/pe/debs.
package_pairs() {  # PACKAGE OLD NEW
  local package=$1 old_dir new_dir file
  choose_versions "$@"
  [ "$pair_note" = "the named versions" ] || say "$package: $pair_note"
  echo "# $package $pair_old -> $pair_new ($pair_note)" >>"$(pe_data)/notes"
  fetch_deb "$package" "$pair_old"
  fetch_deb "$package" "$pair_new"
  old_dir=$(pe_data)/debs/$package/old new_dir=$(pe_data)/debs/$package/new
  unpack_build "$(cached_deb "$package" "$pair_old")" "$old_dir"
  unpack_build "$(cached_deb "$package" "$pair_new")" "$new_dir"
  (cd "$new_dir" && find . -type f | sort) | while read -r file; do
    if [ -f "$old_dir/$file" ] && [ "$(head -c 2 "$new_dir/$file")" = MZ ] &&
      ! cmp -s "$old_dir/$file" "$new_dir/$file"; then
      echo "$package:$(basename "$file") $old_dir/$file $new_dir/$file"
    fi
  done
}

# One row: the bench's figures, then bsdiff and zstd --patch-from.
measure_pe_pair() {  # LABEL OLD NEW
  local figures bsdiff_bytes zstd_bytes scratch
  scratch=$(pe_data)/scratch.patch
  figures=$(nice -n 10 "$pe_bench_tree/bench/formats/pe_transform_bench" "$2" "$3" | head -n 1) ||
    fail "pe_transform_bench failed on $1"
  bsdiff "$2" "$3" "$scratch"
  bsdiff_bytes=$(stat -c %s "$scratch")
  zstd_bytes=$(zstd -q -19 --single-thread --patch-from="$2" -c "$3" 2>/dev/null | wc -c)
  printf '%-58s %s %10s %10s\n' "$1" "$figures" "$bsdiff_bytes" "$zstd_bytes"
}

run_pe_pairs() {
  local entry rows
  mkdir -p "$(pe_data)"
  : >"$(pe_data)/notes"
  say "Building pe_transform_bench ($pe_bench_tree)"
  build_pe_bench >"$(pe_data)/build.log" 2>&1 || { tail -n 30 "$(pe_data)/build.log"; fail "build failed"; }
  rows=$(pe_data)/rows
  {
    updater_pairs
    for entry in "${pe_pairs[@]}"; do package_pairs $entry; done
  } >"$(pe_data)/pairs"
  : >"$rows"
  while read -r label old new; do measure_pe_pair "$label" "$old" "$new" >>"$rows"; done <"$(pe_data)/pairs"
  printf '%-58s %10s %10s %10s %10s %10s %8s %8s %8s %10s %10s\n' pair "new bytes" "version 1" forward \
    transformed kept "kept %" "apply s" "heap MiB" bsdiff zstd
  cat "$rows"
  cat "$(pe_data)/notes"
  # Columns: 2 new, 3 version 1, 4 forward, 5 transformed, 6 kept, 7 kept %.
  awk '{ print $7, ($6 > $3) }' "$rows" | pe_summary "files"
  # A package's PE files summed: the package is the pair.
  awk '{ key = $1; sub(/:.*/, "", key); if (!(key in v1)) order[++n] = key; v1[key] += $3; kept[key] += $6 }
    END { for (i = 1; i <= n; ++i) { k = order[i]; print 100 * kept[k] / v1[k], (kept[k] > v1[k]) } }' "$rows" |
    pe_summary "pairs (each package's files summed)"
}

# Reads lines "KEPT% LARGER" and prints their median and how many are larger.
pe_summary() {  # WHAT
  sort -n | awk -v target=$pe_median_target -v what="$1" '
    { share[NR] = $1; larger += $2 }
    END { median = NR % 2 ? share[(NR + 1) / 2] : (share[NR / 2] + share[NR / 2 + 1]) / 2;
          printf "median kept / version 1 over %d %s: %.1f %% (target <= %d %%); larger than version 1: %d\n",
                 NR, what, median, target, larger }'
}
