#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# What making restored files durable before their renames costs: a restore
# of many small files by two builds of kelmora-cli, run in pairs (one then
# the other, alternating which goes first), each into a fresh folder after
# a sync, so both meet the same disk. Prints the median wall time of each
# and their ratio, for mode all with one thread and with every processor
# (whole files synced in batches) and for mode no-overwrite (each file
# synced on its own), after checking that every restored tree is whole.
#
#   bench/restore_sync_bench.sh BEFORE_CLI AFTER_CLI [RUNS] [FILES]
#
# BEFORE_CLI and AFTER_CLI are kelmora-cli programs, e.g. one built from the
# commit before the change. FILES small files (1 to 8 KiB, in folders of
# 100) are made once under $TMPDIR/kelmora-sync-bench and kept;
# KEEP_TREE=0 removes them afterwards.
set -eu
usage="usage: $0 BEFORE_CLI AFTER_CLI [RUNS] [FILES]"
before=${1:?$usage}
after=${2:?$usage}
runs=${3:-5}
files=${4:-10000}
work=${TMPDIR:-/tmp}/kelmora-sync-bench
tree=$work/tree-$files
out=$work/out
mkdir -p "$work"
if [ ! -f "$tree.done" ]; then
  rm -rf "$tree"
  awk -v n="$files" -v root="$tree" 'BEGIN {
    srand(7)
    for (i = 0; i < n; i++) {
      folder = root "/d" int(i / 100)
      if (i % 100 == 0) system("mkdir -p " folder)
      size = 1024 + int(rand() * 7168)
      line = ""
      for (j = 0; j < 64; j++) line = line sprintf("%c", 97 + int(rand() * 26))
      file = folder "/f" i ".txt"
      for (written = 0; written < size; written += 65) print line > file
      close(file)
    }
  }'
  touch "$tree.done"
fi
rm -rf "$out"
mkdir -p "$out"
"$after" backup -q "$out/a.bkp" "$tree/*.* /s"

# run NAME CLI ARGS...: appends the seconds of one restore to $out/NAME.
run() {
  name=$1
  cli=$2
  shift 2
  target=$out/t-$name-$(date +%s%N)
  sync
  /usr/bin/time -f "%e" -o "$out/time" "$cli" restore -q "$@" "$out/a.bkp" "$target"
  cat "$out/time" >>"$out/$name"
  [ "$(find "$target" -type f | wc -l)" -eq "$files" ] || {
    echo "$name: not every file was restored" >&2
    exit 1
  }
  rm -rf "$target"
}

median() {
  sort -n "$1" | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

for variant in threads1 threads mode; do
  case $variant in
    threads1) args="--threads 1" ;; threads) args="" ;; mode) args="-m no-overwrite" ;;
  esac
  i=0
  while [ "$i" -lt "$runs" ]; do
    # shellcheck disable=SC2086
    if [ $((i % 2)) -eq 0 ]; then
      run "$variant-before" "$before" $args
      run "$variant-after" "$after" $args
    else
      run "$variant-after" "$after" $args
      run "$variant-before" "$before" $args
    fi
    i=$((i + 1))
  done
  b=$(median "$out/$variant-before")
  a=$(median "$out/$variant-after")
  printf '%-9s %-18s before %6.2f s  after %6.2f s  ratio %.2f\n' "$variant" "${args:-(default)}" \
    "$b" "$a" "$(echo "$a / $b" | bc -l)"
done
rm -rf "$out"
[ "${KEEP_TREE:-1}" = 0 ] && rm -rf "$tree" "$tree.done"
exit 0
