#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Huge inputs through kelmora-cli, each checked byte for byte:
#   - one sparse file of 4.5 GiB (data at its start, around the 4 GiB mark
#     and at its end), backed up and restored;
#   - a tree of 2.3 GiB in total (more than the header's 32-bit total
#     size can hold), backed up over volumes of 128 MiB and restored (its
#     holes compress to almost nothing, so the archive is about 300 MiB);
#   - trees of 10,000 and 100,000 small files, backed up with a file-ID
#     list, listed, tested (where the command exists) and restored, to show
#     that each step grows in proportion to the tree.
# Prints the time and peak resident size of every step.
#
#   bench/huge_bench.sh [BUILD_DIR]
#
# Needs about 12 GB free under $TMPDIR (or /tmp); everything is removed at
# the end unless KEEP=1.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-bench}
work=${TMPDIR:-/tmp}/kelmora-huge-bench
cli=$build/kelmora-cli

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here/.." -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELMORA_BUILD_GUI=OFF \
    -DKELMORA_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target kelmora-cli -j2 >/dev/null
rm -rf "$work"
mkdir -p "$work"

# step NAME COMMAND...: runs it, prints seconds and peak resident size.
step() {
  name=$1
  shift
  # A restore ends with syncfs, which also waits for whatever earlier steps
  # left unwritten; flush that first, so each step pays for its own writes.
  # The deletions between steps still slow the creation of files after
  # them, on a file system mounted with discard by ten times or more: for
  # restore figures to compare, time restores into new folders with nothing
  # deleted in between, against tar -x of the same tree.
  sync
  /usr/bin/time -f "%e %M" -o "$work/time" "$@" >"$work/out" 2>&1 || {
    cat "$work/out"
    echo "FAILED: $name" >&2
    exit 1
  }
  read -r secs kb <"$work/time"
  printf '%-34s %8s s %8s MiB\n' "$name" "$secs" "$((kb / 1024))"
}

same() {  # same A B: fails unless both trees hold the same bytes
  diff -r "$1" "$2" >/dev/null || {
    echo "FAILED: $2 differs from $1" >&2
    exit 1
  }
}

# ---- a sparse file over 4 GiB
mkdir -p "$work/sparse"
f=$work/sparse/big.img
truncate -s 4608M "$f"
printf 'start' | dd of="$f" conv=notrunc status=none
printf 'around 4 GiB' | dd of="$f" bs=1 seek=4294967290 conv=notrunc status=none
printf 'end' | dd of="$f" bs=1 seek=$((4608 * 1048576 - 3)) conv=notrunc status=none
step "sparse 4.5 GiB: backup" "$cli" backup -q -l fastest "$work/sparse.bkp" "$f"
step "sparse 4.5 GiB: restore" "$cli" restore -q --full-path "$work/sparse.bkp" "$work/sparse-out"
step "sparse 4.5 GiB: compare" cmp "$f" "$work/sparse-out$f"
rm -rf "$work/sparse-out" "$work/sparse.bkp"

# ---- a tree over 2 GiB in total
t=$work/tree2g
mkdir -p "$t/a" "$t/b/c"
head -c 300M /dev/urandom >"$t/a/noise.bin"
truncate -s 1G "$t/b/hole one.img"
head -c 1M /dev/urandom | dd of="$t/b/hole one.img" bs=1M seek=512 conv=notrunc status=none
truncate -s 1100M "$t/b/c/hole two.img"
printf 'tail' >>"$t/b/c/hole two.img"
step "tree 2.3 GiB: backup (128 MiB vol.)" "$cli" backup -q -l fastest -v 128m "$work/t.bkp" "$t/*.* /s"
step "tree 2.3 GiB: list" "$cli" list "$work/t.bkp"
step "tree 2.3 GiB: restore" "$cli" restore -q --full-path "$work/t.bkp" "$work/tree-out"
same "$t" "$work/tree-out$t"
echo "tree 2.3 GiB: restored tree identical ($(ls "$work" | grep -c '^t\.') volumes)"
rm -rf "$work/tree-out" "$work"/t.* "$t"

# ---- many small files
has_test=0
"$cli" test --help >/dev/null 2>&1 && has_test=1
for n in 10000 100000; do
  s=$work/small$n
  python3 - "$s" "$n" <<'PY'
import os, random, sys
root, n = sys.argv[1], int(sys.argv[2])
r = random.Random(7)
for i in range(n):
    d = os.path.join(root, "d%03d" % (i % 500), "e%02d" % (i % 7))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "file %d.txt" % i), "wb") as f:
        f.write(("line %d of a small file\n" % i).encode() * r.randint(1, 60))
PY
  step "$n files: backup" "$cli" backup -q --file-ids "$work/s$n.bkp" "$s/*.* /s"
  step "$n files: list" "$cli" list "$work/s$n.bkp"
  [ $has_test = 1 ] && step "$n files: test" "$cli" test "$work/s$n.bkp"
  step "$n files: restore" "$cli" restore -q --full-path "$work/s$n.bkp" "$work/s$n-out"
  same "$s" "$work/s$n-out$s"
  echo "$n files: restored tree identical, archive $(du -k "$work/s$n.bkp" | cut -f1) KiB"
  rm -rf "$work/s$n-out" "$s"
done
[ $has_test = 1 ] || echo "(kelmora-cli has no test command in this build)"
[ "${KEEP:-0}" = 1 ] || rm -rf "$work"
