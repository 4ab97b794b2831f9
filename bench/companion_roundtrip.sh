#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What the companion gives back, measured on real files:
#  1. a home-like tree (modes 0600/0700/0750/0755/0666, links to a file, a
#     folder, outside and nowhere, empty folders, names with spaces and
#     UTF-8, a hard link, a 2 GiB file) backed up and restored as root, as
#     an ordinary user (setpriv) and in another time zone: the stat lines
#     (mode, owner, size, mtime to the nanosecond, link text) of source and
#     restore are compared with diff, and the files byte for byte;
#  2. list -l of an archive of 100,000 files: every size checked against
#     the file's, and the time;
#  3. restore -i of the last file of a 2 GiB archive of 16 volumes: the
#     bytes read from the archive's volumes (counted with strace) and the
#     time.
#
#   bench/companion_roundtrip.sh [BUILD_DIR]
#
# Needs root (for the user run), strace and about 9 GB under $TMPDIR.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-companion-bench}
work=${TMPDIR:-/tmp}/kelmora-companion-bench
cli=$build/kelmora-cli

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here/.." -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELMORA_BUILD_GUI=OFF \
    -DKELMORA_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target kelmora-cli -j2 >/dev/null
rm -rf "$work"
mkdir -p "$work"
chmod 755 "$work"

# stat lines of every path below $1, sorted, as diff compares them
stats() {
  (cd "$1" && find . -mindepth 1 -printf '%M %u:%g %s %T@ %p -> %l\n' | sort -k5)
}
# The same without sizes of folders and links, which file systems report
# their own way.
lines() { stats "$1" | awk '{ if ($1 ~ /^[dl]/) $3 = "-"; print }'; }

elapsed() {  # seconds of "$@", to the millisecond
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}

echo "== 1. a home-like tree, round trips"
home=$work/home
mkdir -p "$home/docs" "$home/private" "$home/bin" "$home/empty/deeper" "$home/Ünïcödé ünd spaces"
head -c 200000 /dev/urandom >"$home/docs/photo.jpg"
seq 1 200000 >"$home/docs/report 2026.txt"
echo utf8 >"$home/Ünïcödé ünd spaces/Ünïcödé €.txt"
echo key >"$home/private/key"
printf '#!/bin/sh\necho hi\n' >"$home/bin/run.sh"
ln "$home/bin/run.sh" "$home/bin/run-again.sh"
echo shared >"$home/shared.txt"
echo hidden >"$home/.profile"
chmod 600 "$home/private/key"
chmod 700 "$home/private"
chmod 755 "$home/bin/run.sh"
chmod 750 "$home/empty"
chmod 666 "$home/shared.txt"
ln -s "docs/report 2026.txt" "$home/to-file"
ln -s docs "$home/to-folder"
ln -s /etc/passwd "$home/docs/outside"
ln -s nowhere "$home/dangling"
# 2 GiB: 64 MiB of half text, half noise, 32 times.
seed=$work/seed
{ (seq 1 5000000 || true) | head -c 33554432; head -c 33554432 /dev/urandom; } >"$seed"
for i in $(seq 32); do cat "$seed"; done >"$home/big.bin"
rm "$seed"
# Times to the nanosecond, the deepest first, links themselves.
find "$home" -mindepth 1 -depth -print0 | while IFS= read -r -d '' p; do
  touch -h -d "@$((1700000000 + RANDOM * 3600)).$(printf '%09d' $((RANDOM * 30000 + RANDOM)))" "$p"
done
chown -R 65534:65534 "$home"
stats "$home" >/dev/null

umask 022
for who in root user; do
  archive=$work/$who/home.bkp
  mkdir -p "$work/$who"
  chown 65534:65534 "$work/$who"
  run=()
  [ "$who" = user ] && run=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  t=$(elapsed "${run[@]}" "$cli" backup -q "$archive" "$home")
  echo "backup as $who: $t s, $(du -b "$archive" | cut -f1) bytes, companion $(du -b "$archive.kx" | cut -f1) bytes"
  for tz in UTC Asia/Tokyo; do
    out=$work/$who/restore-${tz//\//-}
    t=$(elapsed env TZ="$tz" "${run[@]}" "$cli" restore -q --same-permissions "$archive" "$out")
    if diff <(lines "$home") <(lines "$out$home") >"$work/diff" &&
      diff -r --no-dereference "$home" "$out$home" >/dev/null 2>&1; then
      verdict="stat diff empty, contents identical"
    else
      verdict="DIFFERS: $(head -c 400 "$work/diff")"
    fi
    echo "restore as $who in TZ=$tz: $t s; $verdict"
  done
  rm -rf "$work/$who"
done

echo "== 2. list -l of 100,000 files"
many=$work/many
mkdir -p "$many"
python3 - "$many" <<'EOF'
import os, random, sys
root = sys.argv[1]
r = random.Random(7)
for d in range(100):
    os.makedirs(f"{root}/d{d:03}", exist_ok=True)
    for f in range(1000):
        size = r.choice([0, 17, 300, 5000, 40000])
        with open(f"{root}/d{d:03}/f{f:04}.txt", "w") as out:
            out.write(("line %d of a small file\n" % f) * (size // 24))
EOF
"$cli" backup -q "$work/many.bkp" "$many"
"$cli" list -l "$work/many.bkp" >"$work/listing"
python3 - "$work/listing" <<'EOF'
import os, sys
wrong = 0
n = 0
for line in open(sys.argv[1], encoding="utf-8", errors="surrogateescape"):
    parts = line.split(None, 5)
    size, name = parts[0], parts[5].rstrip("\n")
    n += 1
    if size == "-" or int(size.replace(",", "")) != os.path.getsize(name):
        wrong += 1
print(f"{n} entries listed, {wrong} sizes not exact")
EOF
for i in 1 2 3; do elapsed "$cli" list -l "$work/many.bkp"; done | sort -n |
  awk '{ t[NR] = $1 } END { print "list -l: median " t[2] " s of 3 runs" }'
rm -rf "$many" "$work/many.bkp" "$work/many.bkp.kx" "$work/listing"

echo "== 3. restore -i of the last file of a 2 GiB archive of 16 volumes"
big=$work/big
mkdir -p "$big"
head -c 2147483648 /dev/urandom >"$big/data.bin"
echo "the last file" >"$big/zz-last.txt"
"$cli" backup -q -v 129m "$work/x.bkp" "$big"
ls "$work"/x.* | grep -c -v kx | awk '{ print $1 " volumes" }'
strace -f -y -e trace=read,pread64 -o "$work/trace" \
  "$cli" restore -q "$work/x.bkp" "$work/one" -i zz-last.txt
awk -v dir="$work/x." 'index($0, "<" dir) && $0 !~ /\.kx>/ {
    n = $NF; if (n > 0) bytes += n }
  END { printf "bytes read from the volumes: %d\n", bytes }' "$work/trace"
awk 'index($0, ".kx>") { n = $NF; if (n > 0) bytes += n }
  END { printf "bytes read from the companion: %d\n", bytes }' "$work/trace"
cmp "$big/zz-last.txt" "$work/one$big/zz-last.txt" && echo "restored file identical"
for i in 1 2 3 4 5; do
  rm -rf "$work/one"
  elapsed "$cli" restore -q "$work/x.bkp" "$work/one" -i zz-last.txt
done | sort -n | awk '{ t[NR] = $1 } END { print "restore -i: median " t[3] " s of 5 runs" }'
rm -rf "$work"
