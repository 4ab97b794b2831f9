#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Times the expansion of "TREE/*.* /s" against `find TREE -type f` on a
# generated 100,000-file tree and prints both medians and their ratio.
#
#   bench/expand_bench.sh [BUILD_DIR] [FILES] [RUNS]
#
# The tree is generated once under $TMPDIR (or /tmp) and kept for later
# runs; KEEP_TREE=0 removes it after the measurement.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build-bench}
files=${2:-100000}
runs=${3:-7}
tree=${TMPDIR:-/tmp}/kelmora-expand-tree-$files

if [ ! -x "$build/bench/bench_expand_bench" ]; then
  cmake -S "$here/.." -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELMORA_BUILD_GUI=OFF \
    -DKELMORA_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target bench_expand_bench -j2 >/dev/null
fi
"$build/bench/bench_expand_bench" "$tree" "$files" "$runs"
if [ "${KEEP_TREE:-1}" = 0 ]; then
  rm -rf "$tree" "$tree.done"
fi
