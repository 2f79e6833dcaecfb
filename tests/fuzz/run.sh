#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Runs one fuzz target for a bounded time and prints one line about it.
#   tests/fuzz/run.sh <fuzz build folder> <target> <seconds>
# The corpus grows in <build>/corpus/<target> from run to run; the generated
# seeds (<build>/seeds/<target>) are read only. A finding is saved as
# <build>/artifacts/<target>-crash-* (or -timeout-, -leak-, -oom-) and fails
# the run; the whole libFuzzer log is <build>/logs/<target>.log.
set -euo pipefail

build=$(cd "$1" && pwd)
target=$2
seconds=$3

# Room for a block stream, a block and an archive of a few small chunks; the
# round trip gets longer blocks so that positions beyond 65535 are reached.
case "$target" in
    fuzz_decompress) max_len=65536 ;;
    fuzz_roundtrip) max_len=262144 ;;
    fuzz_reader) max_len=65536 ;;
    *) echo "run.sh: unknown target $target"; exit 2 ;;
esac

corpus=$build/corpus/$target
log=$build/logs/$target.log
mkdir -p "$corpus" "$build/artifacts" "$build/logs"

status=0
"$build/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -max_len="$max_len" \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    "$corpus" "$build/seeds/$target" >"$log" 2>&1 || status=$?

runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
if [ "$status" -ne 0 ]; then
    echo "$target: FAILED with status $status after ${runs:-?} runs; the end of $log:"
    tail -n 60 "$log"
    exit 1
fi
echo "$target: ${runs:-?} runs in $seconds s, $(ls "$corpus" | wc -l) inputs in the corpus, no finding"
