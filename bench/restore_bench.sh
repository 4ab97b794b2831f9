#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Holds `kelmora-cli restore -q -p` of the archive at every level against
# `tar -xzf` of the same tree archived with gzip at the same level (plain
# `tar -xf` for level none, which gzip has not), on the generated tree of
# the backup benchmark, in one run, interleaved. Prints the median time and
# peak resident size of each, with the ratio, after checking that every
# restored tree is byte-identical to the source.
#
#   bench/restore_bench.sh [BUILD_DIR] [RUNS] [SCALE]
#
# Every run extracts into a new folder: deleting thousands of files between
# runs would slow the file creations of the next one. The folders are
# removed at the end. The tree is shared with backup_bench.sh and kept;
# KEEP_TREE=0 removes it afterwards.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-backup-bench}
runs=${2:-3}
scale=${3:-1}
work=${TMPDIR:-/tmp}/kelmora-backup-bench
tree=$work/tree-$scale
out=$work/restore-out
cli=$build/kelmora-cli

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here/.." -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELMORA_BUILD_GUI=OFF \
    -DKELMORA_BUILD_TESTS=OFF >/dev/null
fi
# Always brought up to date, so the figures belong to the sources.
cmake --build "$build" --target kelmora-cli bench_make_tree -j2 >/dev/null
mkdir -p "$work"
if [ ! -f "$tree.done" ]; then
  rm -rf "$tree"
  "$build/bench/bench_make_tree" "$tree" "$scale"
  touch "$tree.done"
fi
rm -rf "$out"
mkdir -p "$out"

levels="fastest none default max"
for level in $levels; do
  case $level in
    fastest) gz="gzip -1" ;; default) gz="gzip -6" ;; max) gz="gzip -9" ;; none) gz="cat" ;;
  esac
  "$cli" backup -q -l "$level" "$out/$level.bkp" "$tree/*.* /s"
  tar -cf - -C "$work" "tree-$scale" | $gz >"$out/$level.tar"
done

# run NAME COMMAND...: appends "seconds kilobytes" to $out/NAME. The page
# cache is flushed first, so no run pays for the previous one's writes.
run() {
  name=$1
  shift
  sync
  /usr/bin/time -f "%e %M" -o "$out/time" "$@" 2>/dev/null
  cat "$out/time" >>"$out/$name"
}

median() {  # median of column $2 of file $1
  sort -n -k"$2" "$1" | awk -v k="$2" '{ v[NR] = $k } END { print v[int((NR + 1) / 2)] }'
}

for i in $(seq "$runs"); do
  for level in $levels; do
    case $level in none) x="-xf" ;; *) x="-xzf" ;; esac
    mkdir "$out/tar-$level-$i"
    run "engine-$level.times" "$cli" restore -q -p "$out/$level.bkp" "$out/engine-$level-$i"
    run "tar-$level.times" tar "$x" "$out/$level.tar" -C "$out/tar-$level-$i"
  done
done

# Every restored tree must equal the source, times to the packed 2 seconds
# aside (diff compares contents and the set of names).
for level in $levels; do
  diff -r "$tree" "$out/engine-$level-1$tree" >/dev/null ||
    { echo "engine restore at level $level differs from the tree" >&2; exit 1; }
  diff -r "$tree" "$out/tar-$level-1/tree-$scale" >/dev/null ||
    { echo "tar extract at level $level differs from the tree" >&2; exit 1; }
done

printf '%s\n' "tree: $tree ($(du -sm "$tree" | cut -f1) MB, $(find "$tree" -type f | wc -l) files), $runs runs, medians, outputs verified"
printf '%-8s %10s %9s %8s %12s %11s %11s\n' level archive-MB engine-s tar-s engine/tar \
  engine-RSS-MB tar-RSS-MB
for level in $levels; do
  e=$(median "$out/engine-$level.times" 1)
  t=$(median "$out/tar-$level.times" 1)
  er=$(median "$out/engine-$level.times" 2)
  tr=$(median "$out/tar-$level.times" 2)
  awk -v l="$level" -v e="$e" -v t="$t" -v er="$er" -v tr="$tr" \
    -v s="$(wc -c <"$out/$level.bkp")" 'BEGIN {
      printf "%-8s %10.1f %9.2f %8.2f %12.3f %11.1f %11.1f\n",
        l, s / 1e6, e, t, (t > 0 ? e / t : 0), er / 1024, tr / 1024 }'
done

rm -rf "$out"
if [ "${KEEP_TREE:-1}" = 0 ]; then
  rm -rf "$tree" "$tree.done"
fi
