#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The targets table of the libdeflate work, in one interleaved run:
# kelmora-cli built with libdeflate and with zlib against tar | pigz at
# levels 1, 6 and 9 (backup), pigz -dc | tar -x (restore, each into a
# fresh folder) and pigz -dc >/dev/null (test), on the generated mixed tree
# and on a tree of small files. Each build restores and tests the archive it
# wrote. Prints the median seconds, archive sizes, ratios and peak resident
# sizes, and the load average before and after.
#
#   bench/codec_bench.sh LIBDEFLATE_BUILD ZLIB_BUILD [RUNS] [SCALE] [SMALL_FILES]
#
# Both builds need kelmora-cli and (the first) bench_make_tree; configure the
# second with -DKELMORA_CODEC=zlib. Trees are made under $TMPDIR (or /tmp).
set -eu
ld=$1
zl=$2
runs=${3:-1}
scale=${4:-1}
small=${5:-100000}
work=${TMPDIR:-/tmp}/kelmora-codec-bench
out=$work/out
mkdir -p "$work" "$out"

mixed=$work/mixed-$scale
if [ ! -f "$mixed.done" ]; then
  rm -rf "$mixed"
  "$ld/bench/bench_make_tree" "$mixed" "$scale" >/dev/null
  touch "$mixed.done"
fi
# Small text files of 100 to 6,000 bytes, 100 to a folder.
files=$work/small-$small
if [ ! -f "$files.done" ]; then
  rm -rf "$files"
  awk -v n="$small" -v root="$files" 'BEGIN {
    srand(12); words = "backup archive volume restore chunk folder piece stream data file ";
    for (i = 0; i < n; i++) {
      if (i % 100 == 0) { dir = sprintf("%s/d%04d", root, i / 100); system("mkdir -p " dir) }
      size = 100 + int(rand() * 5900); text = "";
      while (length(text) < size) text = text substr(words, 1 + int(rand() * 50), 17) "\n";
      printf "%s", substr(text, 1, size) > (dir "/f" i ".txt"); close(dir "/f" i ".txt")
    } }'
  touch "$files.done"
fi

run() {  # NAME COMMAND...: appends "seconds kilobytes" to $out/NAME
  name=$1
  shift
  /usr/bin/time -f "%e %M" -o "$out/time" "$@" >/dev/null 2>&1 || echo "$name failed" >&2
  cat "$out/time" >>"$out/$name"
}
median() { sort -n -k"$2" "$1" | awk -v k="$2" '{ v[NR] = $k } END { print v[int((NR + 1) / 2)] }'; }
size_of() { wc -c <"$1" | tr -d ' '; }

rm -f "$out"/*.t
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
fresh=0
for i in $(seq "$runs"); do
  for tree in "$mixed" "$files"; do
    t=$(basename "$tree")
    for pair in fastest:1 default:6 max:9; do
      level=${pair%:*}
      n=${pair#*:}
      for b in ld zl; do
        eval cli=\$$b/kelmora-cli
        run "$t-$level-$b.t" "$cli" backup -q -l "$level" "$out/$t-$level-$b.bkp" "$tree/*.* /s"
      done
      run "$t-$level-pigz.t" sh -c "tar -cf - -C '$work' '$t' | pigz -$n >'$out/$t-$level.tgz'"
    done
    for level in fastest default; do
      for b in ld zl; do
        eval cli=\$$b/kelmora-cli
        fresh=$((fresh + 1))
        run "$t-restore-$level-$b.t" "$cli" restore -q --full-path "$out/$t-$level-$b.bkp" \
          "$out/r$fresh"
      done
      fresh=$((fresh + 1))
      mkdir -p "$out/r$fresh"
      run "$t-restore-$level-pigz.t" sh -c "pigz -dc '$out/$t-$level.tgz' | tar -xf - -C '$out/r$fresh'"
      for b in ld zl; do
        eval cli=\$$b/kelmora-cli
        run "$t-test-$level-$b.t" "$cli" test -q "$out/$t-$level-$b.bkp"
      done
      run "$t-test-$level-pigz.t" sh -c "pigz -dc '$out/$t-$level.tgz' >/dev/null"
    done
    rm -rf "$out"/r[0-9]*
  done
done

printf '%s\n' "$runs run(s), medians; ld = libdeflate build, zl = zlib build, ratios to tar | pigz"
printf '%s\n' "load average before: $load_before, after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-28s %8s %8s %8s %7s %7s %9s %9s %9s %7s %7s\n' measure ld-s zl-s pigz-s ld/pz zl/pz \
  ld-MB zl-MB pigz-MB ld-RSS zl-RSS
for tree in "$mixed" "$files"; do
  t=$(basename "$tree")
  for m in fastest default max restore-fastest restore-default test-fastest test-default; do
    p=$out/$t-$m-pigz.t
    ls=$(median "$out/$t-$m-ld.t" 1); zs=$(median "$out/$t-$m-zl.t" 1); ps=$(median "$p" 1)
    lr=$(median "$out/$t-$m-ld.t" 2); zr=$(median "$out/$t-$m-zl.t" 2)
    case $m in
      restore-* | test-*) lm=0; zm=0; pm=0 ;;
      *) lm=$(size_of "$out/$t-$m-ld.bkp"); zm=$(size_of "$out/$t-$m-zl.bkp")
         pm=$(size_of "$out/$t-$m.tgz") ;;
    esac
    awk -v m="$t $m" -v l="$ls" -v z="$zs" -v p="$ps" -v lm="$lm" -v zm="$zm" -v pm="$pm" \
      -v lr="$lr" -v zr="$zr" 'BEGIN { printf "%-28s %8.2f %8.2f %8.2f %7.2f %7.2f %9.1f %9.1f %9.1f %7.1f %7.1f\n",
        m, l, z, p, l / p, z / p, lm / 1e6, zm / 1e6, pm / 1e6, lr / 1024, zr / 1024 }'
  done
done
