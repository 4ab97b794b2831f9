#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Holds `kelmora-cli backup -q` at every level, with its default threads
# and with --threads 1 (one thread, like the two below), against
#   - the bare loop (bench_bare_loop): the same 16,384-byte pieces deflated
#     and written with nothing around them, the cost of the scheme itself;
#   - tar -cf - TREE | gzip -1 / -6 / -9 (plain tar for level none);
# on one generated mixed tree, in one run, interleaved, and prints the
# median time, archive size and peak resident size of each, with ratios.
# Then it backs up one small and one large file, to show that peak memory
# does not grow with the size of a file.
#
#   bench/backup_bench.sh [BUILD_DIR] [RUNS] [SCALE]
#
# The tree (about 250 MB at SCALE 1) is made once under $TMPDIR (or /tmp)
# and kept; KEEP_TREE=0 removes it afterwards.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-backup-bench}
runs=${2:-3}
scale=${3:-1}
work=${TMPDIR:-/tmp}/kelmora-backup-bench
tree=$work/tree-$scale
out=$work/out
cli=$build/kelmora-cli
bare=$build/bench/bench_bare_loop

if [ ! -x "$cli" ] || [ ! -x "$bare" ] || [ ! -x "$build/bench/bench_make_tree" ]; then
  cmake -S "$here/.." -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELMORA_BUILD_GUI=OFF \
    -DKELMORA_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target kelmora-cli bench_make_tree bench_bare_loop -j2 >/dev/null
fi
mkdir -p "$work" "$out"
if [ ! -f "$tree.done" ]; then
  rm -rf "$tree"
  "$build/bench/bench_make_tree" "$tree" "$scale"
  touch "$tree.done"
fi
# Read the tree once so that every program finds it in the page cache.
tar -cf - -C "$work" "tree-$scale" >/dev/null

# run NAME COMMAND...: appends "seconds kilobytes" to $out/NAME.
run() {
  name=$1
  shift
  /usr/bin/time -f "%e %M" -o "$out/time" "$@" 2>/dev/null
  cat "$out/time" >>"$out/$name"
}

median() {  # median of column $2 of file $1
  sort -n -k"$2" "$1" | awk -v k="$2" '{ v[NR] = $k } END { print v[int((NR + 1) / 2)] }'
}

size_of() { wc -c <"$1" | tr -d ' '; }

levels="fastest none default max"
rm -f "$out"/*.times
for i in $(seq "$runs"); do
  for level in $levels; do
    case $level in
      fastest) gz="gzip -1" ;; default) gz="gzip -6" ;; max) gz="gzip -9" ;; none) gz="cat" ;;
    esac
    run "engine-$level.times" "$cli" backup -q -l "$level" "$out/engine-$level.bkp" "$tree/*.* /s"
    run "serial-$level.times" "$cli" backup -q --threads 1 -l "$level" \
      "$out/serial-$level.bkp" "$tree/*.* /s"
    run "bare-$level.times" "$bare" "$level" "$tree" "$out/bare-$level.out"
    run "tar-$level.times" sh -c "tar -cf - -C '$work' 'tree-$scale' | $gz >'$out/tar-$level.out'"
  done
done

printf '%s\n' "tree: $tree ($(du -sm "$tree" | cut -f1) MB, $(find "$tree" -type f | wc -l) files), $runs runs, medians"
printf '%-8s %8s %8s %8s %7s %7s %10s %7s %9s %8s %8s %8s %8s %8s\n' level engine-s 1thread-s \
  bare-s e/bare 1t/bare tar+gzip-s e/gzip engine-MB bare-MB gzip-MB e-RSS-MB b-RSS-MB g-RSS-MB
for level in $levels; do
  e=$(median "$out/engine-$level.times" 1)
  s=$(median "$out/serial-$level.times" 1)
  cmp -s "$out/engine-$level.bkp" "$out/serial-$level.bkp" ||
    echo "$level: the archives written with and without threads differ" >&2
  b=$(median "$out/bare-$level.times" 1)
  g=$(median "$out/tar-$level.times" 1)
  er=$(median "$out/engine-$level.times" 2)
  br=$(median "$out/bare-$level.times" 2)
  gr=$(median "$out/tar-$level.times" 2)
  awk -v l="$level" -v e="$e" -v s="$s" -v b="$b" -v g="$g" -v es="$(size_of "$out/engine-$level.bkp")" \
    -v bs="$(size_of "$out/bare-$level.out")" -v gs="$(size_of "$out/tar-$level.out")" \
    -v er="$er" -v br="$br" -v gr="$gr" 'BEGIN {
      printf "%-8s %8.2f %8.2f %8.2f %7.3f %7.3f %10.2f %7.3f %9.1f %8.1f %8.1f %8.1f %8.1f %8.1f\n",
        l, e, s, b, (b > 0 ? e / b : 0), (b > 0 ? s / b : 0), g, (g > 0 ? e / g : 0),
        es / 1e6, bs / 1e6, gs / 1e6, er / 1024, br / 1024, gr / 1024 }'
done

# Peak memory against file size: one 16 MB file, then one of 512 MB.
small=$work/one-small
large=$work/one-large
if [ ! -f "$large.done" ]; then
  head -c 16777216 "$(ls "$tree"/logs/*.log | head -1)" >"$small"
  : >"$large"
  while [ "$(size_of "$large")" -lt 536870912 ]; do cat "$tree"/logs/*.log >>"$large"; done
  touch "$large.done"
fi
rm -f "$out"/one-*.times
run one-small.times "$cli" backup -q "$out/one-small.bkp" "$small"
run one-large.times "$cli" backup -q "$out/one-large.bkp" "$large"
printf 'peak RSS backing up one file: %s MB -> %.1f MB, %s MB -> %.1f MB\n' \
  "$(($(size_of "$small") / 1048576))" "$(awk '{ print $2 / 1024 }' "$out/one-small.times")" \
  "$(($(size_of "$large") / 1048576))" "$(awk '{ print $2 / 1024 }' "$out/one-large.times")"

rm -rf "$out"
if [ "${KEEP_TREE:-1}" = 0 ]; then
  rm -rf "$tree" "$tree.done" "$small" "$large" "$large.done"
fi
