#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang and runs them from the seed corpus in fuzz/corpus/.
#
#   fuzz/run.sh smoke [seconds]      every harness for 30 seconds (or the given time), as CI does
#   fuzz/run.sh campaign [seconds]   every harness for 1800 seconds (or the given time)
#
# Settings from the environment:
#   MORVANE_FUZZ_BUILD      build folder (default: build/fuzz in the source tree)
#   MORVANE_FUZZ_PARALLEL   how many harnesses run at once (default 1; each uses one core)
#   MORVANE_FUZZ_HARNESSES  which harnesses (default: all four)
#
# New inputs go to <build>/corpus/<harness>/ (the committed seeds are only read), findings to
# <build>/artifacts/<harness>/, the fuzzer's output to <build>/logs/<harness>.log. Without
# clang++ the run is skipped with a message. Ends with status 1 when any harness found a fault.
set -euo pipefail

mode=${1:-smoke}
case "$mode" in
smoke) seconds=${2:-30} ;;
campaign) seconds=${2:-1800} ;;
*)
    echo "usage: $0 smoke|campaign [seconds per harness]" >&2
    exit 2
    ;;
esac

if ! command -v clang++ >/dev/null 2>&1; then
    echo "fuzz: clang++ not found, skipping the fuzz run"
    exit 0
fi

root=$(cd "$(dirname "$0")/.." && pwd)
build=${MORVANE_FUZZ_BUILD:-$root/build/fuzz}
parallel=${MORVANE_FUZZ_PARALLEL:-1}
harnesses=(${MORVANE_FUZZ_HARNESSES:-patch_reader apply_patch embedded_patch command_line})

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVANE_FUZZ=ON -DMORVANE_TESTS=OFF -DMORVANE_WERROR=ON >/dev/null
targets=()
for harness in "${harnesses[@]}"; do
    targets+=(--target "fuzz_$harness")
done
cmake --build "$build" -j2 "${targets[@]}"

run_harness() {
    local harness=$1
    local corpus=$build/corpus/$harness artifacts=$build/artifacts/$harness
    mkdir -p "$corpus" "$artifacts" "$build/logs"
    # stdout of the program is already sent to /dev/null by the harness; -close_fd_mask=2
    # silences its "Error: " lines while the fuzzer's own reports still come through.
    "$build/fuzz/fuzz_$harness" "$corpus" "$root/fuzz/corpus/$harness" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -malloc_limit_mb=64 \
        -max_len=8192 -close_fd_mask=2 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" >"$build/logs/$harness.log" 2>&1
}

summary() {
    local harness=$1 status=$2 log=$build/logs/$harness.log
    local runs edges features
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    edges=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    features=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    local result=clean
    [ "$status" = 0 ] || result="FAULT (status $status; see $log and $build/artifacts/$harness/)"
    printf 'fuzz %-15s %ss: %s runs, %s edges, %s features: %s\n' "$harness" "$seconds" \
        "${runs:-?}" "${edges:-?}" "${features:-?}" "$result"
}

echo "fuzz: $mode, ${#harnesses[@]} harnesses, $seconds s each, $parallel at a time"
failed=0
declare -A pids=()
pending=("${harnesses[@]}")
while [ ${#pending[@]} -gt 0 ] || [ ${#pids[@]} -gt 0 ]; do
    while [ ${#pending[@]} -gt 0 ] && [ ${#pids[@]} -lt "$parallel" ]; do
        run_harness "${pending[0]}" &
        pids[${pending[0]}]=$!
        pending=("${pending[@]:1}")
    done
    for harness in "${!pids[@]}"; do
        if ! kill -0 "${pids[$harness]}" 2>/dev/null; then
            status=0
            wait "${pids[$harness]}" || status=$?
            unset "pids[$harness]"
            summary "$harness" "$status"
            [ "$status" = 0 ] || failed=1
        fi
    done
    sleep 1
done
exit $failed
