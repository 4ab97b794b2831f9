#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Backup against its floor: on the mixed tree of bench_make_tree, at each
# level, kelmora-cli backup (with its companion, and without) against
# bench_deflate_floor (the bare scheme on libdeflate, two threads, one file
# written and synced) and against `tar -cf - TREE | pigz -1/-6/-9` (two
# threads, its output synced too). The commands of a level run in turn,
# RUNS times, and the table gives each one's median seconds, output size
# and ratios to the floor and to pigz.
#
#   bench/floor_bench.sh [BUILD_DIR] [SCALE] [RUNS]
#
# SCALE 1 makes about 250 MB; RUNS defaults to 1. Everything under $TMPDIR
# (or /var/tmp) is removed at the end unless KEEP=1.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-bench}
scale=${2:-1}
runs=${3:-1}
work=${TMPDIR:-/var/tmp}/kelmora-floor-bench
cli=$build/kelmora-cli

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here/.." -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELMORA_BUILD_GUI=OFF \
    -DKELMORA_BUILD_TESTS=OFF >/dev/null
fi
if [ ! -x "$cli" ] || [ ! -x "$build/bench/bench_deflate_floor" ]; then
  cmake --build "$build" --target kelmora-cli bench_make_tree bench_deflate_floor -j2 >/dev/null
fi
command -v pigz >/dev/null || {
  echo "pigz is needed" >&2
  exit 1
}
rm -rf "$work"
mkdir -p "$work"
"$build/bench/bench_make_tree" "$work/tree" "$scale" >&2
rows=$work/rows
: >"$rows"

# timed LEVEL NAME OUTPUT COMMAND...: one run, seconds and output bytes kept.
timed() {
  level=$1
  name=$2
  output=$3
  shift 3
  rm -f "$output" "$output.kx"
  sync
  /usr/bin/time -f "%e" -o "$work/time" "$@" >/dev/null 2>"$work/err" || {
    cat "$work/err" >&2
    echo "FAILED: $level $name" >&2
    exit 1
  }
  echo "$level|$name|$(cat "$work/time")|$(stat -c %s "$output")" >>"$rows"
}

for pair in fastest:1 default:6 max:9; do
  level=${pair%%:*}
  gz=${pair#*:}
  run=0
  while [ $run -lt "$runs" ]; do
    run=$((run + 1))
    timed "$level" floor "$work/floor" "$build/bench/bench_deflate_floor" "$level" "$work/tree" \
      "$work/floor" 2
    timed "$level" backup "$work/a.bkp" "$cli" backup -q -l "$level" --threads 2 "$work/a.bkp" \
      "$work/tree/*.* /s"
    timed "$level" "backup, no companion" "$work/b.bkp" "$cli" backup -q -l "$level" \
      --threads 2 --no-companion "$work/b.bkp" "$work/tree/*.* /s"
    timed "$level" "tar, pigz -$gz" "$work/t.tgz" sh -c \
      "tar -cf - -C '$work/tree' . | pigz -$gz -p 2 >'$work/t.tgz' && sync '$work/t.tgz'"
  done
  echo "$level done" >&2
done

awk -F'|' '
  { key = $1 "|" $2; n[key]++; t[key, n[key]] = $3; size[key] = $4
    if (!(key in seen)) { seen[key] = 1; order[++keys] = key } }
  function median(key,   i, j, m, a, tmp) {
    m = n[key]
    for (i = 1; i <= m; ++i) a[i] = t[key, i]
    for (i = 1; i <= m; ++i) for (j = i + 1; j <= m; ++j) if (a[j] < a[i]) { tmp = a[i]; a[i] = a[j]; a[j] = tmp }
    return a[int((m + 1) / 2)]
  }
  END {
    printf "| %-7s | %-20s | %7s | %8s | %8s | %8s |\n", "level", "command", "seconds", "MB out",
      "× floor", "× pigz"
    print "|---------|----------------------|--------:|---------:|---------:|---------:|"
    for (k = 1; k <= keys; ++k) {
      split(order[k], part, "|")
      floor = median(part[1] "|floor")
      for (other in seen) if (index(other, part[1] "|tar,") == 1) pigz = median(other)
      s = median(order[k])
      printf "| %-7s | %-20s | %7.2f | %8.1f | %8.2f | %8.2f |\n", part[1], part[2], s,
        size[order[k]] / 1e6, s / floor, s / pigz
    }
  }' "$rows"
echo "(medians of $runs run(s) each, commands of a level in turn; tree $(du -sm "$work/tree" | cut -f1) MB)"
[ "${KEEP:-0}" = 1 ] || rm -rf "$work"
