#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Archives move between the two systems: a tree backed up by the Linux
# kelmora-cli is restored by the Windows kelmora-cli.exe under Wine, and
# the other way round. Contents must come back byte for byte, and every
# last-write time to the second from the archive's companion (to the packed
# form's two seconds without it).
#   tests/interchange/run.sh LINUX_CLI WINDOWS_CLI_EXE
set -euo pipefail
linux_cli=$(realpath "$1")
windows_cli=$(realpath "$2")
wine=${WINE:-$(command -v wine64 || command -v wine)}
export WINEDEBUG=${WINEDEBUG:--all}
# Local time is what the archive stores: both sides must use the same zone.
# One with daylight saving tells a right offset from this season's one.
zone=${KELMORA_INTERCHANGE_TZ:-Europe/Berlin}
[ -e "/usr/share/zoneinfo/$zone" ] || zone=UTC
export TZ=$zone

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Windows sees the Linux file system as drive Z:.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Lower-case names only: a Windows backup stores names lower-cased, so a
# tree of such names must come back under the same names.
make_tree() {
  local src=$1
  mkdir -p "$src/docs/2026" "$src/empty folder above" "$src/deep/a/b/c"
  head -c 300000 /dev/urandom >"$src/random.bin"
  seq 1 40000 >"$src/docs/numbers.txt"
  printf '' >"$src/docs/empty.txt"
  printf 'line one\r\nline two\n\032after a ctrl-z\n' >"$src/docs/2026/line ends.txt"
  head -c 16384 /dev/zero >"$src/deep/a/b/c/one piece.dat"
  head -c 16385 /dev/urandom >"$src/deep/a/b/c/one piece and a byte.dat"
  # Winter and summer, odd and even seconds, the format's first year.
  touch -d '2021-01-15 08:30:01' "$src/random.bin"
  touch -d '2021-07-15 14:45:32' "$src/docs/numbers.txt"
  touch -d '1980-01-01 00:00:00' "$src/docs/empty.txt"
  touch -d '2026-03-29 01:59:59' "$src/docs/2026/line ends.txt"
  # Not in the hour that autumn repeats: a local time there names two
  # moments, and either is a right reading of the stamp.
  touch -d '2019-10-27 04:30:00' "$src/deep/a/b/c/one piece.dat"
  touch -d '2024-02-29 23:59:59' "$src/deep/a/b/c/one piece and a byte.dat"
}

# Every file of the source is in the restored tree with the same bytes,
# its time exact (or, with "packed" as $4, rounded down to an even
# second), and nothing else is there.
compare_trees() {
  local src=$1 out=$2 direction=$3 step=1
  [ "${4:-}" = packed ] && step=2
  local count=0
  while IFS= read -r -d '' file; do
    local rel=${file#"$src"/} back="$out/${file#"$src"/}"
    count=$((count + 1))
    if [ ! -f "$back" ]; then
      fail "$direction: $rel was not restored"
      continue
    fi
    cmp -s "$file" "$back" || fail "$direction: $rel differs"
    local want=$(($(stat -c %Y "$file") / step * step)) got
    got=$(stat -c %Y "$back")
    [ "$want" = "$got" ] || fail "$direction: $rel has time $got, not $want"
  done < <(find "$src" -type f -print0)
  local restored
  restored=$(find "$out" -type f | wc -l)
  [ "$restored" = "$count" ] || fail "$direction: $restored files restored, $count backed up"
  echo "$direction: $count files compared"
}

make_tree "$work/src"

# Linux writes, Windows reads: a split archive, so volumes travel too.
"$linux_cli" backup -q -v 200k "$work/linux.bkp" "$work/src"
"$wine" "$windows_cli" restore -q --relative "$(windows_path "$work/linux.bkp")" \
  "$(windows_path "$work/from-linux")"
compare_trees "$work/src" "$work/from-linux" "Linux to Windows"
# Without the companion, the times the archive itself holds.
rm "$work/linux.bkp.kx"
"$wine" "$windows_cli" restore -q --relative "$(windows_path "$work/linux.bkp")" \
  "$(windows_path "$work/packed")" 2>"$work/packed.err"
grep -q "companion" "$work/packed.err" || fail "a restore without the companion did not say so"
compare_trees "$work/src" "$work/packed" "Linux to Windows without the companion" packed

# Windows writes, Linux reads; the listing shows the drive and "\".
"$wine" "$windows_cli" backup -q -v 200k "$(windows_path "$work/windows.bkp")" \
  "$(windows_path "$work/src")"
"$linux_cli" list "$work/windows.bkp" | grep -q '^z:\\.*\\docs\\numbers\.txt$' ||
  fail "Windows to Linux: stored names are not lower-case Windows paths"
"$linux_cli" restore -q --relative "$work/windows.bkp" "$work/from-windows"
compare_trees "$work/src" "$work/from-windows" "Windows to Linux"

# A name that differs only in case is one file to Windows: it is stored
# lower-cased, and a Linux name that Windows cannot hold is refused there.
mkdir -p "$work/cased" && printf 'upper' >"$work/cased/ReadMe.TXT"
"$wine" "$windows_cli" backup -q "$(windows_path "$work/cased.bkp")" "$(windows_path "$work/cased")"
"$linux_cli" list "$work/cased.bkp" | grep -q 'readme\.txt$' ||
  fail "Windows backup did not lower-case ReadMe.TXT"
mkdir -p "$work/colon" && printf 'a' >"$work/colon/12:30 notes.txt" && printf 'b' >"$work/colon/plain.txt"
"$linux_cli" backup -q "$work/colon.bkp" "$work/colon"
status=0
"$wine" "$windows_cli" restore -q --relative "$(windows_path "$work/colon.bkp")" \
  "$(windows_path "$work/colon-out")" 2>"$work/colon.err" || status=$?
[ "$status" = 1 ] || fail "a name with a colon restored on Windows ended with status $status, not 1"
[ -f "$work/colon-out/plain.txt" ] || fail "the file beside a refused name was not restored"
[ -z "$(find "$work/colon-out" -name '12*')" ] || fail "a name with a colon was written on Windows"

if [ "$failures" -ne 0 ]; then
  echo "$failures interchange checks failed" >&2
  exit 1
fi
echo "interchange: all checks passed"
