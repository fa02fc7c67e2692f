#!/usr/bin/env bash
# Runs the Windows suite (under Wine) N times in a row on one build and prints every failure with
# its messages, to tell a chance failure from a real one.
#
#   scripts/soak-windows.sh [runs]      default 40; the build is made once first
#
# Each run's full output is kept in build/windows/soak/run-<k>.log. Ends with status 1 when any
# run failed.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-40}
cmake --preset windows >/dev/null
cmake --build --preset windows
logs=build/windows/soak
rm -rf "$logs"
mkdir -p "$logs"

failed_runs=0
for ((k = 1; k <= runs; ++k)); do
    log=$logs/run-$k.log
    start=$(date +%s)
    if ctest --preset windows >"$log" 2>&1; then
        echo "run $k/$runs: passed ($(($(date +%s) - start)) s)"
        continue
    fi
    failed_runs=$((failed_runs + 1))
    echo "run $k/$runs: FAILED ($(($(date +%s) - start)) s; $log)"
    # The failing tests, then what each one said: gtest's failure lines, exceptions, runs.
    grep -E '\*\*\*(Failed|Timeout|Exception)|Not Run' "$log" | sed 's/^/    /' || true
    grep -E -A3 'Failure$|exception|^\[run\]' "$log" | head -n 60 | sed 's/^/      /' || true
done
echo "soak: $runs runs, $failed_runs failed"
[ "$failed_runs" = 0 ]
