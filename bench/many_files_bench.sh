#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Many small files: for each number of files, a generated tree
# (bench_make_tree --many: folders of 1,000 files of 0 to 4 KiB plus one
# empty file per folder) is backed up, listed, listed long, tested and
# restored by kelmora-cli, with `find TREE -type f` as the floor of the
# selection (timed alone, as bench_select_files makes it), `tar | pigz -6`
# as the yardstick of the backup and `tar -x` as the floor of the restore.
# Prints one table: seconds and peak resident size of every step, and both
# as a ratio to the same step at the first number of files (linear growth
# is the number of files' ratio); then, at each size, the selection, the
# backup and the restore as a ratio to their yardsticks.
#
#   bench/many_files_bench.sh [BUILD_DIR] [FILES ...]
#
# FILES defaults to 100000 1000000. A million files take about 4.5 GB and two
# million inodes under $TMPDIR (or /var/tmp), and several minutes; every
# tree, archive and restored copy is removed after the table is printed
# (removing two million files can take longer than the measurement, and
# would slow every step after it), unless KEEP=1.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-bench}
[ $# -gt 0 ] && shift
[ $# -gt 0 ] || set -- 100000 1000000
work=${TMPDIR:-/var/tmp}/kelmora-many-bench
cli=$build/kelmora-cli

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here/.." -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELMORA_BUILD_GUI=OFF \
    -DKELMORA_BUILD_TESTS=OFF >/dev/null
fi
# Built when missing only, so a saved build can be measured as it is.
if [ ! -x "$cli" ] || [ ! -x "$build/bench/bench_make_tree" ] ||
  [ ! -x "$build/bench/bench_select_files" ]; then
  cmake --build "$build" --target kelmora-cli bench_make_tree bench_select_files -j2 >/dev/null
fi
command -v pigz >/dev/null || {
  echo "pigz is needed" >&2
  exit 1
}
rm -rf "$work"
mkdir -p "$work"
df -h "$work" | tail -1 | awk '{print "free under " $6 ": " $4}'

rows=$work/rows
: >"$rows"

# step FILES NAME COMMAND...: runs it, keeps seconds and peak resident KiB.
step() {
  files=$1
  name=$2
  shift 2
  # What earlier steps left unwritten is theirs to pay for, not this one's.
  sync
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >"$work/out" 2>&1 || {
    tail -5 "$work/out"
    echo "FAILED: $files files: $name" >&2
    exit 1
  }
  read -r secs kb <"$work/time"
  echo "$files|$name|$secs|$kb" >>"$rows"
  printf '%9s %-13s %8s s %6s MiB\n' "$files" "$name" "$secs" "$((kb / 1024))" >&2
}

for n in "$@"; do
  t=$work/t$n
  "$build/bench/bench_make_tree" "$t" --many "$n" >&2
  step "$n" "find" find "$t" -type f
  # What a selection asks of every file (its size, time and whether it can
  # be read), asked by find: the floor of any walk that measures files.
  step "$n" "find -printf" find "$t" -type f -readable -printf '%s %T@\n'
  step "$n" "select" "$build/bench/bench_select_files" "$t/*.* /s"
  step "$n" "backup" "$cli" backup -q "$work/a$n.bkp" "$t/*.* /s"
  # What the backup is measured against: the same tree through tar and
  # pigz -6 on as many threads as the backup takes (one per processor),
  # its output synced as a backup's is.
  step "$n" "tar, pigz -6" sh -c "tar -cf - -C '$t' . | pigz -6 -p $(nproc) >'$work/p$n.tgz' && sync '$work/p$n.tgz'"
  step "$n" "list" "$cli" list "$work/a$n.bkp"
  step "$n" "list -l" "$cli" list -l "$work/a$n.bkp"
  step "$n" "test" "$cli" test "$work/a$n.bkp"
  step "$n" "restore" "$cli" restore -q "$work/a$n.bkp" "$work/r$n"
  # The floor of a restore: the same files made by tar from an archive that
  # holds them uncompressed, into a folder of its own.
  tar -cf "$work/t$n.tar" -C "$t" .
  step "$n" "tar -x" tar -xf "$work/t$n.tar" -C "$(mkdir -p "$work/x$n" && echo "$work/x$n")"
  # Every file back, with its bytes: the sizes of the whole tree agree, and
  # a sample of folders is compared byte for byte.
  want=$(find "$t" -type f | wc -l)
  got=$(find "$work/r$n" -type f | wc -l)
  [ "$want" = "$got" ] || {
    echo "FAILED: $n files: $got restored of $want" >&2
    exit 1
  }
  for d in d0000 empty; do
    diff -r "$t/$d" "$work/r$n$t/$d" >/dev/null || {
      echo "FAILED: $n files: $d differs after restore" >&2
      exit 1
    }
  done
  echo "$n files: archive $(du -k "$work/a$n.bkp" | cut -f1) KiB," \
    "companion $(du -k "$work/a$n.bkp.kx" | cut -f1) KiB" >&2
done

echo
awk -F'|' '
  NR == 1 { first = $1 }
  $1 == first { base_s[$2] = $3; base_kb[$2] = $4 }
  {
    rs = base_s[$2] > 0 ? sprintf("%.2f", $3 / base_s[$2]) : "-"
    rm = base_kb[$2] > 0 ? sprintf("%.2f", $4 / base_kb[$2]) : "-"
    rows[NR] = sprintf("| %9d | %-13s | %8.2f | %8.1f | %7s | %7s |", $1, $2, $3, $4 / 1024, rs, rm)
    secs[$1, $2] = $3
    if (!($1 in seen)) { seen[$1] = 1; sizes[++nsizes] = $1 }
  }
  function ratio(n, a, b) { return secs[n, b] > 0 ? sprintf("%.2f", secs[n, a] / secs[n, b]) : "-" }
  END {
    printf "| %9s | %-13s | %8s | %8s | %7s | %7s |\n", "files", "command", "seconds", "peak MiB",
      "× time", "× MiB"
    print "|----------:|---------------|---------:|---------:|--------:|--------:|"
    for (i = 1; i <= NR; ++i) print rows[i]
    print ""
    printf "| %9s | %-28s | %-28s | %-24s | %-16s |\n", "files", "selection × find -type f",
      "selection × find -printf", "backup × tar, pigz -6", "restore × tar -x"
    print "|----------:|------------------------------|------------------------------|--------------------------|------------------|"
    for (i = 1; i <= nsizes; ++i) {
      n = sizes[i]
      printf "| %9d | %-28s | %-28s | %-24s | %-16s |\n", n, ratio(n, "select", "find"),
        ratio(n, "select", "find -printf"), ratio(n, "backup", "tar, pigz -6"),
        ratio(n, "restore", "tar -x")
    }
  }' "$rows"
echo "(× time, × MiB: against the same command at $1 files)"
[ "${KEEP:-0}" = 1 ] || rm -rf "$work"
