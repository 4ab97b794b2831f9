#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The durability harnesses at length: 130 cuts in each of the twelve
# power-cut scenarios (1,560 cut runs, each inspected in its strict state
# and two journal states), 200 kills in each of the nine kill scenarios and
# 1,000 I/O fault runs in each of the eight fault scenarios. Each harness
# runs the backups, the restores, three repairs (a zeroed stretch, a
# deleted volume, two damaged volumes) and a protect. Prints each
# scenario's summary line and every failure; the exit status is that of the
# harnesses.
#
#   tests/durability/long_run.sh [BUILD_DIR]
#
# KELMORA_POWERCUT_CUTS, KELMORA_KILL_RUNS and KELMORA_FAULT_RUNS set the
# counts; KELMORA_POWERCUT_SEED another choice of cuts. One process runs at
# a time, so the run keeps to one processor; it takes about 45 minutes.
set -u
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
export KELMORA_POWERCUT_CUTS=${KELMORA_POWERCUT_CUTS:-130}
export KELMORA_KILL_RUNS=${KELMORA_KILL_RUNS:-200}
export KELMORA_FAULT_RUNS=${KELMORA_FAULT_RUNS:-1000}
cmake --build "$build" --target test_durability_powercut_test test_durability_kill_test \
  test_durability_io_fault_test >/dev/null || exit 1
status=0
for harness in powercut kill io_fault; do
  program=$build/tests/test_durability_${harness}_test
  [ -x "$program" ] || { echo "$harness: not built (see tests/durability/CMakeLists.txt)"; continue; }
  log=${TMPDIR:-/tmp}/kelmora-long-$harness.log
  "$program" >"$log" 2>&1 || status=1
  grep -E '^(PowerCut|Kill|IoFault) |Failure$|SKIPPED|^\[  FAILED' "$log"
  echo "($log holds the whole output)"
done
exit $status
