#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The recovery record through kelmora-cli on real files, and what the
# companion costs:
#  1. an archive of 25 equal volumes with --recovery 5, damaged by
#     companion_damage.py in each way below and put back with `repair`:
#     byte-identical after a zeroed stretch of 4 %, 10 damaged blocks in
#     every group, a deleted volume and random flips at 1 in 10,000 bytes;
#     refused with nothing changed at 8 % zeroed;
#  2. backup with --recovery 5 against backup without a record, and test
#     with the companion (every block checked) against test without it, on
#     the backup benchmark's mixed tree: paired runs, A B A B, the median
#     of the ratios.
#
#   bench/companion_repair.sh [BUILD_DIR] [MEGABYTES] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-companion-bench}
megabytes=${2:-400}
runs=${3:-5}
work=${TMPDIR:-/tmp}/kelmora-companion-repair
cli=$build/kelmora-cli
damage="python3 $here/companion_damage.py"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here/.." -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELMORA_BUILD_GUI=OFF \
    -DKELMORA_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target kelmora-cli bench_make_tree -j2 >/dev/null
rm -rf "$work"
mkdir -p "$work/src" "$work/sound"

echo "== 1. repair of an archive of 25 volumes, --recovery 5"
head -c $((megabytes * 1024 * 1024)) /dev/urandom >"$work/src/data.bin"
volume=$((megabytes * 1024 * 1024 / 25 + 65536))
"$cli" backup -q -l none --recovery 5 -v "$volume" "$work/sound/x.bkp" "$work/src"
echo "$(ls "$work/sound" | grep -c -v kx) volumes of $volume bytes;" \
  "companion $(du -b "$work/sound/x.bkp.kx" | cut -f1) bytes"
same() { diff -rq "$work/sound" "$work/case" >/dev/null; }
attempt() {  # attempt NAME DAMAGE...: damages a copy, repairs it, compares
  local name=$1 start end status
  shift
  rm -rf "$work/case"
  cp -r "$work/sound" "$work/case"
  $damage "$work/case/x.bkp" "$@"
  cp -r "$work/case" "$work/damaged"
  start=$(date +%s.%N)
  status=0
  "$cli" repair -q "$work/case/x.bkp" >"$work/out" 2>&1 || status=$?
  end=$(date +%s.%N)
  if same; then
    verdict="repaired, byte-identical"
  elif diff -rq "$work/damaged" "$work/case" >/dev/null; then
    verdict="refused, nothing changed ($(grep -o 'cannot repair.*' "$work/out" | head -c 160))"
  else
    verdict="CHANGED BUT NOT REPAIRED"
  fi
  printf '%-36s status %d, %.2f s: %s\n' "$name" "$status" "$(echo "$end - $start" | bc)" "$verdict"
  rm -rf "$work/damaged"
}
attempt "zeroed stretch of 4 %" zero 4
attempt "10 damaged blocks in every group" groups 10
attempt "volume 13 of 25 deleted" delete 13
attempt "flips at 1 in 10,000 bytes" flips 10000
attempt "zeroed stretch of 8 %" zero 8
rm -rf "$work/case" "$work/sound" "$work/src"

echo "== 2. what the companion costs (median of $runs paired runs)"
tree=${TMPDIR:-/tmp}/kelmora-backup-bench/tree-1
if [ ! -f "$tree.done" ]; then
  mkdir -p "$(dirname "$tree")"
  rm -rf "$tree"
  "$build/bench/bench_make_tree" "$tree" 1
  touch "$tree.done"
fi
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}
paired() {  # paired NAME "A" "B": the median of A's time over B's
  local name=$1 a=$2 b=$3 i ta tb
  for ((i = 0; i <= runs; i++)); do
    ta=$(seconds bash -c "$a")
    tb=$(seconds bash -c "$b")
    [ "$i" -eq 0 ] && continue  # a warm-up
    echo "$ta $tb"
  done >"$work/pairs"
  sort -n -k1 "$work/pairs" | awk '{ a[NR] = $1 } END { printf "  A median %.2f s", a[int((NR + 1) / 2)] }'
  sort -n -k2 "$work/pairs" | awk '{ b[NR] = $2 } END { printf ", B median %.2f s", b[int((NR + 1) / 2)] }'
  awk '{ print $1 / $2 }' "$work/pairs" | sort -n |
    awk -v n="$name" '{ r[NR] = $1 } END { printf ", ratio %.3f (min %.3f, max %.3f): %s\n", r[int((NR + 1) / 2)], r[1], r[NR], n }'
}
paired "backup --recovery 5 / backup (companion, no record)" \
  "$cli backup -q $work/a.bkp $tree" "$cli backup -q $work/b.bkp $tree"
paired "backup (companion) / backup --no-companion" \
  "$cli backup -q $work/b.bkp $tree" "$cli backup -q --no-companion $work/c.bkp $tree"
mkdir -p "$work/bare"
cp "$work/b.bkp" "$work/bare/b.bkp"
paired "test with the companion / test without" \
  "$cli test -q $work/b.bkp" "$cli test -q $work/bare/b.bkp"
rm -rf "$work"
