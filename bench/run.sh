#!/usr/bin/env bash
# Benchmarks morvane against cat, cmp, xdelta3 and bsdiff on generated data sets, checks the
# targets and writes the tables to bench/results.md.
#
#   bench/run.sh
#
# Settings (environment):
#   BENCH_SCALE=N      divide every data set size by N (default 1: full size; 16 runs in minutes)
#   BENCH_REPS=N       measured repetitions per command (default 5), after one warm-up run
#   BENCH_SLOW_REPS=N  repetitions for bsdiff/bspatch, which take minutes (default 1, no warm-up)
#   BENCH_BSDIFF=0     leave out bsdiff (on the 64 MiB set it runs for many minutes)
#   BENCH_SETS="a b"   run only these data sets (default: all of sparse dense worst real dense9
#                      dense9-large empty-blocks huge sparse-6g holes-4g); the targets of the
#                      others read "not measured"
#   BENCH_DIR=path     scratch folder for the data sets (default: a new folder under /tmp)
#   BENCH_BUILD_DIR=p  build folder to use instead of the release preset's build/release
#   BENCH_BINARY=path  measure this morvane binary instead of building one (e.g. an earlier
#                      commit's, to get earlier figures from the same machine: see BENCH_PREVIOUS)
#   BENCH_KEEP=1       keep the scratch folder
#   BENCH_NOTE=text    a note added to results.md (e.g. that the machine was busy)
#   BENCH_RESULTS=f    write the results to f instead of bench/results.md
#   BENCH_PREVIOUS=r   earlier results to compare the sparse set with: a file, or a git object
#                      such as HEAD~3:bench/results.md (default HEAD:bench/results.md). They
#                      count only from the same processor and scale; for a baseline on this
#                      machine, run an earlier build first, e.g.
#                        BENCH_BINARY=/old/morvane BENCH_SETS=sparse BENCH_RESULTS=/tmp/old.md \
#                          bench/run.sh
#                      and then the full run with BENCH_PREVIOUS=/tmp/old.md.
#
# The data sets are generated from fixed seeds by bench/gen_data.cpp, so every run compares
# the same bytes. Times are wall-clock medians, memory is the largest peak resident set size
# reported by /usr/bin/time over the repetitions. The exit status is 0 also when a target is
# missed: the targets table reports it.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
COMMAND_LINE="bench/run.sh"
for setting in BENCH_SCALE BENCH_REPS BENCH_SLOW_REPS BENCH_BSDIFF BENCH_SETS BENCH_BUILD_DIR \
    BENCH_BINARY BENCH_PREVIOUS; do
    if [ -n "${!setting:-}" ]; then
        case "${!setting}" in
        *' '*) COMMAND_LINE="$setting=\"${!setting}\" $COMMAND_LINE" ;;
        *) COMMAND_LINE="$setting=${!setting} $COMMAND_LINE" ;;
        esac
    fi
done
SCALE="${BENCH_SCALE:-1}"
REPS="${BENCH_REPS:-5}"
SLOW_REPS="${BENCH_SLOW_REPS:-1}"
BSDIFF="${BENCH_BSDIFF:-1}"
ALL_SETS="sparse dense worst real dense9 dense9-large empty-blocks huge sparse-6g holes-4g"
SETS="${BENCH_SETS:-$ALL_SETS}"
RESULTS="${BENCH_RESULTS:-$ROOT/bench/results.md}"
MIB=$((1024 * 1024))

fail() {
    echo "bench: $*" >&2
    exit 1
}

case "$SCALE" in '' | *[!0-9]* | 0) fail "BENCH_SCALE must be a positive whole number" ;; esac
case "$REPS" in '' | *[!0-9]* | 0) fail "BENCH_REPS must be a positive whole number" ;; esac
case "$SLOW_REPS" in '' | *[!0-9]* | 0) fail "BENCH_SLOW_REPS must be a positive whole number" ;; esac
for set in $SETS; do
    case " $ALL_SETS " in *" $set "*) ;; *) fail "unknown data set '$set' in BENCH_SETS (known: $ALL_SETS)" ;; esac
done
case "$RESULTS" in /*) ;; *) RESULTS="$PWD/$RESULTS" ;; esac

wanted() {
    case " $SETS " in *" $1 "*) return 0 ;; *) return 1 ;; esac
}

# ---------------------------------------------------------------------------------------------
# Tools

# The tools compared with and the build's own needs, installed with the project's installer.
# shellcheck source=../scripts/install-packages.sh
source "$ROOT/scripts/install-packages.sh"
install_missing() {
    install_packages xdelta3 bsdiff strace time e2fsprogs cmake ninja-build g++ libxxhash-dev
}

install_missing
export PATH="$PATH:/sbin:/usr/sbin"

COMMIT="$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)"
git -C "$ROOT" diff --quiet HEAD -- src 2>/dev/null || COMMIT="$COMMIT with local changes in src/"

if [ -n "${BENCH_BINARY:-}" ]; then
    BUILD_DIR="$(cd "$(dirname "$BENCH_BINARY")" && pwd)"
    MORVANE="$BUILD_DIR/$(basename "$BENCH_BINARY")"
    COMMIT="the binary $MORVANE (not built by this run; bench/ from $COMMIT)"
elif [ -n "${BENCH_BUILD_DIR:-}" ]; then
    echo "== Building the release binary"
    BUILD_DIR="$BENCH_BUILD_DIR"
    cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVANE_TESTS=OFF >/dev/null
    cmake --build "$BUILD_DIR" --target morvane >/dev/null
    MORVANE="$BUILD_DIR/morvane"
else
    echo "== Building the release binary"
    BUILD_DIR="$ROOT/build/release"
    (cd "$ROOT" && cmake --preset release >/dev/null && cmake --build --preset release --target morvane >/dev/null)
    MORVANE="$BUILD_DIR/morvane"
fi
[ -x "$MORVANE" ] || fail "no binary at $MORVANE"
BUILD_DIR_REAL="$(cd "$BUILD_DIR" && pwd -P)"

if [ -n "${BENCH_DIR:-}" ]; then
    SCRATCH="$BENCH_DIR"
    mkdir -p "$SCRATCH"
else
    SCRATCH="$(mktemp -d /tmp/morvane-bench.XXXXXX)"
fi
SCRATCH="$(cd "$SCRATCH" && pwd -P)"
cleanup() {
    if [ "${BENCH_KEEP:-0}" != 1 ]; then
        rm -rf "$SCRATCH"
    fi
}
trap cleanup EXIT

# Helpers: the data generator, the floor for applying (bench/print_lines.cpp) and a library
# that turns fsync into a no-op, to time applying without its flush (bench/no_flush.cpp).
GEN="$SCRATCH/gen_data"
PRINT_LINES="$SCRATCH/print_lines"
NO_FLUSH="$SCRATCH/no_flush.so"
g++ -O2 -std=c++17 -o "$GEN" "$ROOT/bench/gen_data.cpp"
g++ -O2 -std=c++17 -o "$PRINT_LINES" "$ROOT/bench/print_lines.cpp"
g++ -O2 -std=c++17 -shared -fPIC -o "$NO_FLUSH" "$ROOT/bench/no_flush.cpp"

# Disk: the largest sets need their two files and a patch, or (huge) a working copy and two
# patches of twice their size too.
need_kib=$((13 * 1024 * 1024 / SCALE + 64 * 1024))
have_kib=$(df -Pk "$SCRATCH" | awk 'NR == 2 {print $4}')
[ "$have_kib" -ge "$need_kib" ] ||
    fail "need about $((need_kib / 1024)) MiB free in $SCRATCH, have $((have_kib / 1024)) MiB"

# The earlier results, read before this run replaces them: the sparse set's figures are
# compared with them.
PREVIOUS_SOURCE="${BENCH_PREVIOUS:-HEAD:bench/results.md}"
PREVIOUS_MD="$SCRATCH/previous.md"
if [ -f "$PREVIOUS_SOURCE" ]; then
    cp "$PREVIOUS_SOURCE" "$PREVIOUS_MD"
elif git -C "$ROOT" show "$PREVIOUS_SOURCE" >"$PREVIOUS_MD" 2>/dev/null; then
    :
else
    echo "bench: no earlier results at $PREVIOUS_SOURCE; the sparse set is not compared" >&2
    : >"$PREVIOUS_MD"
fi

# The folder in which applying keeps its resume record.
TEMP_FOLDER="${TMPDIR:-}"
[ -n "$TEMP_FOLDER" ] || TEMP_FOLDER=/tmp
TEMP_FOLDER="$(cd "$TEMP_FOLDER" && pwd -P)"

STRACE_FLAGS=(-f -T -y -e 'trace=openat,fsync,fdatasync,unlink,unlinkat,?open,?creat,?sync_file_range,?syncfs')
strace --seccomp-bpf -f -e trace=fsync true >/dev/null 2>&1 && STRACE_FLAGS=(--seccomp-bpf "${STRACE_FLAGS[@]}")

# ---------------------------------------------------------------------------------------------
# Measuring

ROWS="$SCRATCH/rows.tsv" # tool, set, operation, median seconds, peak KiB, patch bytes, reps,
# median CPU seconds
: >"$ROWS"
FLUSHES="$SCRATCH/flushes.tsv" # set, direction, target flush seconds, target flushes,
# resume record seconds, resume record calls, all flushes
: >"$FLUSHES"
MEM_FILE="$SCRATCH/peak-memory"
T="/usr/bin/time -f %M:%U:%S -o $MEM_FILE"

# Runs one command (a string evaluated in the set's folder) once and records its wall time in
# LAST_SECONDS, its processor time (user and system) in LAST_CPU and its peak resident set in
# LAST_KIB. "$T" in the command stands for the
# timing wrapper and must prefix the program whose memory is measured. The exit status must be
# one of the allowed ones.
run_once() {
    local command="$1" allowed="$2" start end status
    # PREPARE, when set, runs untimed before the command.
    if [ -n "${PREPARE:-}" ]; then eval "$PREPARE"; fi
    start=$EPOCHREALTIME
    set +e
    eval "$command" >/dev/null 2>"$SCRATCH/stderr"
    status=$?
    set -e
    end=$EPOCHREALTIME
    case " $allowed " in
    *" $status "*) ;;
    *)
        cat "$SCRATCH/stderr" >&2
        fail "'$command' ended with status $status"
        ;;
    esac
    LAST_SECONDS=$(awk -v s="$start" -v e="$end" 'BEGIN {printf "%.6f", e - s}')
    local report
    report=$(grep -E '^[0-9]+:[0-9.]+:[0-9.]+$' "$MEM_FILE" | tail -n 1)
    [ -n "$report" ] || fail "'$command' left no report from /usr/bin/time"
    LAST_KIB=${report%%:*}
    LAST_CPU=$(echo "$report" | awk -F: '{printf "%.2f", $2 + $3}')
}

median() {
    sort -g | awk '{v[NR] = $1} END {if (NR % 2) print v[(NR + 1) / 2]; else printf "%.6f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

# record TOOL SET OPERATION PATCH_FILE TIMES_FILE PEAK_KIB REPS
# (TIMES_FILE holds one "wall cpu" line per run)
record() {
    local size="-" wall cpu
    [ -n "$4" ] && size=$(stat -c %s "$4")
    wall=$(cut -d' ' -f1 "$5" | median)
    cpu=$(cut -d' ' -f2 "$5" | median)
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$wall" "$6" "$size" "$7" "$cpu" >>"$ROWS"
    printf '  %-11s %-12s %-32s %10.4f s (cpu %6.2f s) %8d KiB\n' "$1" "$2" "$3" "$wall" "$cpu" "$6"
}

# Commands that end within a fifth of a second are run four times as often: their wall time is
# the one most disturbed by other processes. Commands whose warm-up took more than ten seconds
# are run at most three times, and those that took more than a minute as often as bsdiff; for
# both, the warm-up counts as the first measured run (see long_warmup).
more_reps_if_quick() {
    local reps="$1" warmups="$2"
    if [ "$warmups" -gt 0 ] && awk -v s="$LAST_SECONDS" 'BEGIN {exit !(s < 0.2)}'; then
        echo $((reps * 4))
    elif [ "$warmups" -gt 0 ] && awk -v s="$LAST_SECONDS" 'BEGIN {exit !(s > 60)}'; then
        echo "$SLOW_REPS"
    elif [ "$warmups" -gt 0 ] && awk -v s="$LAST_SECONDS" 'BEGIN {exit !(s > 10)}'; then
        echo $((reps < 3 ? reps : 3))
    else
        echo "$reps"
    fi
}

# measure TOOL SET OPERATION PATCH_FILE WARMUPS REPS ALLOWED_STATUS COMMAND
# True when the last run took more than ten seconds: its files were in the page cache already
# (the data sets are generated and compared first), so a warm-up that long is a measurement
# like the others, and keeping it saves minutes on the large sets.
long_warmup() {
    awk -v s="$LAST_SECONDS" 'BEGIN {exit !(s > 10)}'
}

measure() {
    local tool="$1" set="$2" op="$3" patch="$4" warmups="$5" reps="$6" allowed="$7" command="$8"
    local times="$SCRATCH/times" peak=0 i kept=0
    : >"$times"
    for ((i = 0; i < warmups; i++)); do run_once "$command" "$allowed"; done
    reps=$(more_reps_if_quick "$reps" "$warmups")
    if [ "$warmups" -gt 0 ] && long_warmup; then
        echo "$LAST_SECONDS $LAST_CPU" >>"$times"
        peak=$LAST_KIB
        kept=1
    fi
    for ((i = kept; i < reps; i++)); do
        run_once "$command" "$allowed"
        echo "$LAST_SECONDS $LAST_CPU" >>"$times"
        [ "$LAST_KIB" -gt "$peak" ] && peak=$LAST_KIB
    done
    record "$tool" "$set" "$op" "$patch" "$times" "$peak" "$reps"
}

# Two commands that undo each other (apply, then reverse); both are timed, in turns, so the
# file is back in its first state after every pair.
# measure_pair TOOL SET OP1 OP2 PATCH_FILE REPS COMMAND1 COMMAND2
measure_pair() {
    local tool="$1" set="$2" op1="$3" op2="$4" patch="$5" reps="$6" first="$7" second="$8"
    local times1="$SCRATCH/times1" times2="$SCRATCH/times2" peak1=0 peak2=0 i kept=0
    local warmup1
    : >"$times1"
    : >"$times2"
    run_once "$first" 0
    warmup1="$LAST_SECONDS $LAST_CPU $LAST_KIB"
    run_once "$second" 0
    reps=$(more_reps_if_quick "$reps" 1)
    if long_warmup; then
        echo "${warmup1% *}" >>"$times1"
        peak1=${warmup1##* }
        echo "$LAST_SECONDS $LAST_CPU" >>"$times2"
        peak2=$LAST_KIB
        kept=1
    fi
    for ((i = kept; i < reps; i++)); do
        run_once "$first" 0
        echo "$LAST_SECONDS $LAST_CPU" >>"$times1"
        [ "$LAST_KIB" -gt "$peak1" ] && peak1=$LAST_KIB
        run_once "$second" 0
        echo "$LAST_SECONDS $LAST_CPU" >>"$times2"
        [ "$LAST_KIB" -gt "$peak2" ] && peak2=$LAST_KIB
    done
    record "$tool" "$set" "$op1" "$patch" "$times1" "$peak1" "$reps"
    record "$tool" "$set" "$op2" "$patch" "$times2" "$peak2" "$reps"
}

same_or_fail() {
    cmp -s "$1" "$2" || fail "$3: $1 and $2 differ"
}

# The constant costs of a run that writes: the flush of the target to stable storage and the
# resume record in the temporary folder (created, flushed, removed). Takes the patched t.bin
# back to the original with one --reverse run under strace, which times every open, flush and
# removal; the time of each group is the sum of its system calls.
# flush_costs SET
flush_costs() {
    local name="$1" trace="$SCRATCH/strace.txt" target
    target="$(pwd -P)/t.bin"
    if ! strace "${STRACE_FLAGS[@]}" -o "$trace" "$MORVANE" --patch apply.pat --reverse >/dev/null 2>&1; then
        echo "  (strace failed: the flush is not measured)"
        "$MORVANE" --patch apply.pat --reverse >/dev/null
        return
    fi
    # The record's calls are those that name the temporary folder or a file in it, but neither
    # the set's folder nor the build folder, which may lie in it too.
    awk -v set="$name" -v target="$target" -v temp="$TEMP_FOLDER" -v folder="$(pwd -P)" \
        -v build="$BUILD_DIR_REAL" '
        function under(path, dir) { return path == dir || index(path, dir "/") == 1 }
        function in_temp(path) {
            return under(path, temp) && !under(path, folder) && !under(path, build)
        }
        / = / && /<[0-9.]+>$/ {
            seconds = $NF; gsub(/[<>]/, "", seconds)
            flush = ($0 ~ /(fsync|fdatasync|sync_file_range|syncfs)\(/)
            if (flush) flushes++
            # The paths a call names: quoted arguments and the <path> that -y puts after a
            # descriptor.
            rest = $0; temp_call = 0; on_target = 0
            while (match(rest, /"[^"]*"|<\/[^>]*>/)) {
                path = substr(rest, RSTART + 1, RLENGTH - 2)
                if (in_temp(path)) temp_call = 1
                if (path == target) on_target = 1
                rest = substr(rest, RSTART + RLENGTH)
            }
            if (flush && on_target) { target_s += seconds; target_n++ }
            else if (temp_call) { record_s += seconds; record_n++ }
        }
        END {
            printf "%s\treverse\t%.6f\t%d\t%.6f\t%d\t%d\n", set, target_s, target_n, record_s, record_n, flushes
        }' "$trace" >>"$FLUSHES"
    tail -n 1 "$FLUSHES" | awk -F '\t' '{printf "  %-11s %-12s %-32s flush %8.1f ms (%d), resume record %6.1f ms (%d calls)\n", "strace", $1, "apply --reverse", $3 * 1000, $4, $5 * 1000, $6}'
}

# GNU cmp stops at the first difference when its standard output is the null device (it then
# acts as cmp -s), so its listing goes through a pipe into cat > /dev/null instead: cmp then
# compares the whole pair, as the other tools do.
CMP_COMMAND='$T cmp -l a.bin b.bin | cat > /dev/null'

# bench_set NAME EXTRAS: runs morvane, cat (the time to read both files) and print_lines (the
# floor for applying) on a.bin/b.bin in the set's folder, plus the EXTRAS among: cmp, xdelta3,
# bsdiff (when BENCH_BSDIFF is not 0), noflush (applying with fsync turned into a no-op).
bench_set() {
    local name="$1" extras=" $2 "
    echo "== Set $name: $(stat -c %s a.bin) bytes"
    cp a.bin t.bin
    # Written data goes to the disk now, not while the tools are being timed.
    sync

    measure cat "$name" "read both files" "" 1 "$REPS" 0 '$T cat a.bin b.bin'
    case "$extras" in *" catout "*)
        # What creating an all-different patch must do at least: read both files and write them
        # out, here into one file in the same folder.
        measure cat "$name" "write both files into one" "" 1 "$REPS" 0 '$T cat a.bin b.bin > out.bin'
        rm -f out.bin
        ;;
    esac
    case "$extras" in *" cmp "*) measure cmp "$name" create "" 1 "$REPS" "0 1" "$CMP_COMMAND" ;; esac
    measure morvane "$name" create morvane.pat 1 "$REPS" 0 \
        '$T '"$MORVANE"' --original a.bin --patched b.bin --patch morvane.pat'
    case "$extras" in *" xdelta3 "*)
        measure xdelta3 "$name" create xdelta.vcdiff 1 "$REPS" 0 \
            '$T xdelta3 -e -f -s a.bin b.bin xdelta.vcdiff'
        ;;
    esac
    case "$extras" in *" bsdiff "*) if [ "$BSDIFF" = 1 ]; then
        measure bsdiff "$name" create bsdiff.patch 0 "$SLOW_REPS" 0 '$T bsdiff a.bin b.bin bsdiff.patch'
    fi ;; esac

    # Applying works in place on t.bin, a copy of a.bin: the patch names it.
    "$MORVANE" --original t.bin --patched b.bin --patch apply.pat >/dev/null
    cmp -s apply.pat morvane.pat && fail "$name: patches for a.bin and t.bin should differ in name"
    measure_pair morvane "$name" apply "apply --reverse" apply.pat "$REPS" \
        '$T '"$MORVANE"' --patch apply.pat' '$T '"$MORVANE"' --patch apply.pat --reverse'
    case "$extras" in *" noflush "*)
        measure_pair morvane "$name" "apply, flush skipped" "apply --reverse, flush skipped" \
            apply.pat "$REPS" \
            '$T env LD_PRELOAD='"$NO_FLUSH"' '"$MORVANE"' --patch apply.pat' \
            '$T env LD_PRELOAD='"$NO_FLUSH"' '"$MORVANE"' --patch apply.pat --reverse'
        ;;
    esac
    case "$extras" in *" fresh "*)
        # The target written just before each run, its pages still dirty (as after a copy or a
        # download), then flushed by applying.
        PREPARE='cat a.bin > t.bin'
        measure morvane "$name" "apply, target freshly written" apply.pat 1 "$REPS" 0 \
            '$T '"$MORVANE"' --patch apply.pat'
        PREPARE=
        cp a.bin t.bin
        ;;
    esac
    "$MORVANE" --patch apply.pat >"$SCRATCH/apply.out"
    same_or_fail t.bin b.bin "morvane apply"

    # The floor prints exactly the block lines that applying printed.
    grep '^@ ' "$SCRATCH/apply.out" >"$SCRATCH/lines.apply" || true
    "$PRINT_LINES" apply.pat >"$SCRATCH/lines.floor"
    same_or_fail "$SCRATCH/lines.apply" "$SCRATCH/lines.floor" "block lines of print_lines"
    measure print_lines "$name" "block lines only (floor)" apply.pat 1 "$REPS" 0 \
        '$T '"$PRINT_LINES"' apply.pat'

    # Applying to a file that already holds the patched bytes reads and checks every block and
    # then stops with status 9: the cost of the verification alone.
    measure morvane "$name" "verify (already patched)" apply.pat 1 "$REPS" 9 \
        '$T '"$MORVANE"' --patch apply.pat'
    flush_costs "$name"
    same_or_fail t.bin a.bin "morvane apply --reverse"

    case "$extras" in *" xdelta3 "*)
        measure xdelta3 "$name" apply xdelta.vcdiff 1 "$REPS" 0 \
            '$T xdelta3 -d -f -s a.bin xdelta.vcdiff out.bin'
        same_or_fail out.bin b.bin "xdelta3 -d"
        rm -f out.bin
        ;;
    esac
    case "$extras" in *" bsdiff "*) if [ "$BSDIFF" = 1 ]; then
        measure bspatch "$name" apply bsdiff.patch 0 "$SLOW_REPS" 0 '$T bspatch a.bin out.bin bsdiff.patch'
        same_or_fail out.bin b.bin "bspatch"
        rm -f out.bin
    fi ;; esac
}

# The self-applying form: the patch packaged with the program, started in the target's folder.
bench_executable() {
    local name="$1"
    measure morvane "$name" "create --executable" fix.bin 1 "$REPS" 0 \
        '$T '"$MORVANE"' --original t.bin --patched b.bin --patch fix.bin --executable'
    measure_pair morvane "$name" "apply (self-applying)" "reverse (self-applying)" fix.bin "$REPS" \
        '$T ./fix.bin' '$T ./fix.bin --reverse'
    same_or_fail t.bin a.bin "fix.bin --reverse"
}

size_mib() { echo $(($1 * MIB / SCALE)); }

# enter_set NAME: a fresh folder for the set, made the current one.
enter_set() {
    rm -rf "${SCRATCH:?}/$1"
    mkdir -p "$SCRATCH/$1"
    cd "$SCRATCH/$1"
}

leave_set() {
    cd "$SCRATCH"
    rm -rf "${SCRATCH:?}/$1"
}

# ---------------------------------------------------------------------------------------------
# Data sets

echo "== Scratch folder $SCRATCH, scale 1/$SCALE, $REPS repetitions, sets: $SETS"
LOAD_BEFORE="$(uptime | sed 's/^ *//')"
STARTED=$SECONDS

DENSE9_BYTES=$(size_mib 18)
DENSE9_LARGE_BYTES=$((90000000 / SCALE))
EMPTY_TARGET_BYTES=$(size_mib 18)
EMPTY_BLOCKS=$((2000000 / SCALE))

# 1. sparse: random bytes, 1,000 changes of 1 to 48 bytes at random offsets.
if wanted sparse; then
    enter_set sparse
    "$GEN" random a.bin "$(size_mib 1024)" 1
    cp a.bin b.bin
    "$GEN" sparse b.bin 1000 48 2
    bench_set sparse "cmp xdelta3 noflush"
    bench_executable sparse
    leave_set sparse
fi

# 2. dense: a 16-byte change every 4 KiB.
if wanted dense; then
    enter_set dense
    "$GEN" random a.bin "$(size_mib 256)" 3
    cp a.bin b.bin
    "$GEN" dense b.bin 4096 16 4
    bench_set dense "cmp xdelta3"
    leave_set dense
fi

# 3. worst: every byte differs.
if wanted worst; then
    enter_set worst
    "$GEN" random a.bin "$(size_mib 64)" 5
    "$GEN" every a.bin b.bin 6
    bench_set worst "cmp xdelta3 bsdiff"
    leave_set worst
fi

# 4. real: an ext4 image before and after a few files were written into it. Fixed UUIDs,
# hash seed and clock make the image the same on every run.
if wanted real; then
    enter_set real
    export E2FSPROGS_FAKE_TIME=1700000000
    truncate -s "$(size_mib 256)" a.bin
    mkfs.ext4 -q -F -b 4096 -U 6f1c2a3e-0000-4000-8000-000000000001 \
        -E hash_seed=6f1c2a3e-0000-4000-8000-000000000002,lazy_itable_init=0,lazy_journal_init=0,nodiscard \
        a.bin
    cp a.bin b.bin
    "$GEN" text notes.txt "$((MIB / SCALE))" 7
    "$GEN" random photo.jpg "$((6 * MIB / SCALE))" 8
    "$GEN" text readme.txt 12000 9
    "$GEN" random tool.bin "$((700 * 1024 / SCALE))" 10
    export E2FSPROGS_FAKE_TIME=1700003600
    debugfs -w -f - b.bin >/dev/null 2>&1 <<'EOF'
mkdir docs
mkdir docs/old
write notes.txt docs/notes.txt
write readme.txt docs/old/readme.txt
write photo.jpg photo.jpg
write tool.bin tool.bin
EOF
    unset E2FSPROGS_FAKE_TIME
    rm -f notes.txt photo.jpg readme.txt tool.bin
    debugfs -R "ls -l /docs" b.bin 2>/dev/null | grep -q notes.txt || fail "debugfs did not write the files"
    bench_set real "cmp xdelta3"
    leave_set real
fi

# 5. dense9: every 9th byte differs, so every change is a block of its own (one byte, with 8
# unchanged bytes to the next): 2,097,152 blocks at full size.
if wanted dense9; then
    enter_set dense9
    "$GEN" random a.bin "$DENSE9_BYTES" 11
    "$GEN" stride a.bin b.bin 9 12
    bench_set dense9 "cmp xdelta3 fresh catout"
    leave_set dense9
fi

# 6. dense9-large: the same pattern on 90,000,000 bytes: 10,000,000 blocks at full size.
# Only morvane, cat and the floor: the other tools would take many minutes here.
if wanted dense9-large; then
    enter_set dense9-large
    "$GEN" random a.bin "$DENSE9_LARGE_BYTES" 13
    "$GEN" stride a.bin b.bin 9 14
    bench_set dense9-large "fresh"
    leave_set dense9-large
fi

# 7. empty-blocks: a patch of 2,000,000 blocks of length 0 for an 18 MiB file. Every empty
# block already holds its new bytes, so applying refuses with status 9 in both directions,
# after reading the whole patch and checking every block.
if wanted empty-blocks; then
    enter_set empty-blocks
    echo "== Set empty-blocks: $EMPTY_BLOCKS empty blocks for $EMPTY_TARGET_BYTES bytes"
    "$GEN" random t.bin "$EMPTY_TARGET_BYTES" 15
    cp t.bin a.bin
    "$GEN" empty-blocks apply.pat t.bin "$EMPTY_TARGET_BYTES" "$EMPTY_BLOCKS"
    sync
    measure morvane empty-blocks "apply (refused)" apply.pat 1 "$REPS" 9 \
        '$T '"$MORVANE"' --patch apply.pat'
    measure morvane empty-blocks "apply --reverse (refused)" apply.pat 1 "$REPS" 9 \
        '$T '"$MORVANE"' --patch apply.pat --reverse'
    same_or_fail t.bin a.bin "refused runs"
    leave_set empty-blocks
fi

# 8. huge: 1 GiB with every byte changed, a patch of 2 GiB in one block: memory must not follow
# the patch.
if wanted huge; then
    enter_set huge
    "$GEN" random a.bin "$(size_mib 1024)" 16
    "$GEN" every a.bin b.bin 17
    bench_set huge "catout"
    leave_set huge
fi

# Creating only: cat and morvane.
bench_create_set() {
    local name="$1"
    echo "== Set $name: $(stat -c %s a.bin) bytes, $(($(stat -c %b a.bin) * 512)) allocated"
    sync
    measure cat "$name" "read both files" "" 1 "$REPS" 0 '$T cat a.bin b.bin'
    measure morvane "$name" create morvane.pat 1 "$REPS" 0 \
        '$T '"$MORVANE"' --original a.bin --patched b.bin --patch morvane.pat'
}

# 9. sparse-6g: the sparse set at 6 GiB, a patch in the second format.
if wanted sparse-6g; then
    enter_set sparse-6g
    "$GEN" random a.bin "$(size_mib 6144)" 18
    cp a.bin b.bin
    "$GEN" sparse b.bin 1000 48 19
    bench_set sparse-6g ""
    leave_set sparse-6g
fi

# 10. holes-4g: files of 4 GiB with holes but for 1 % of them (a disk image with little data),
# 1,000 changes of 1 to 48 bytes anywhere.
if wanted holes-4g; then
    enter_set holes-4g
    "$GEN" holes a.bin "$(size_mib 4096)" 1 20
    cp --sparse=always a.bin b.bin
    "$GEN" sparse b.bin 1000 48 21
    bench_create_set holes-4g
    leave_set holes-4g
fi

LOAD_AFTER="$(uptime | sed 's/^ *//')"
ELAPSED=$((SECONDS - STARTED))

# ---------------------------------------------------------------------------------------------
# Tables and targets

MACHINE="$(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')), $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo) memory, $(uname -sr)"
PROCESSOR="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"

# The sparse set's morvane rows of the earlier results, as operation and seconds, after a
# line each for the earlier run's scale, commit, date and processor.
PREVIOUS="$SCRATCH/previous.tsv"
awk -F '|' '
    function seconds(text, parts) {
        gsub(/^ +| +$/, "", text)
        split(text, parts, " ")
        return parts[2] == "ms" ? parts[1] / 1000 : parts[1]
    }
    /^- Command:/ { scale = 1; if (match($0, /BENCH_SCALE=[0-9]+/)) scale = substr($0, RSTART + 12, RLENGTH - 12) }
    /^- Built from:/ { commit = $0; sub(/^- Built from: */, "", commit) }
    /^- Date:/ { date = $0; sub(/^- Date: */, "", date) }
    # "- Machine: 2 cores (Intel(R) Xeon(R) Processor), 23.6 GiB memory, ..."
    /^- Machine:/ {
        if (match($0, /cores \(/)) {
            rest = substr($0, RSTART + RLENGTH)
            if (match(rest, /\), [0-9.]+ GiB/)) processor = substr(rest, 1, RSTART - 1)
        }
    }
    /^\| morvane \| sparse \|/ {
        op = $4; gsub(/^ +| +$/, "", op)
        rows[++n] = op "\t" seconds($5)
    }
    END {
        if (n == 0) exit
        printf "#scale\t%s\n#commit\t%s\n#date\t%s\n#processor\t%s\n", scale, commit, date, processor
        for (i = 1; i <= n; i++) print rows[i]
    }' "$PREVIOUS_MD" >"$PREVIOUS"

# Every row of the earlier results, as tool, set, operation, time and peak memory.
PREVIOUS_ROWS="$SCRATCH/previous-rows.tsv"
awk -F '|' '
    function trim(text) { gsub(/^ +| +$/, "", text); return text }
    /^\| [a-z_0-9]+ \| [a-z0-9-]+ \| / && $2 !~ /tool/ && $5 ~ /[0-9]/ {
        printf "%s\t%s\t%s\t%s\t%s\n", trim($2), trim($3), trim($4), trim($5), trim($7)
    }' "$PREVIOUS_MD" >"$PREVIOUS_ROWS"

TABLE="$SCRATCH/table.md"
awk -F '\t' '
    function mib(kib) { return sprintf("%.1f", kib / 1024) }
    function human(bytes) {
        if (bytes == "-") return "-"
        if (bytes >= 1048576) return sprintf("%.1f MiB", bytes / 1048576)
        if (bytes >= 1024) return sprintf("%.1f KiB", bytes / 1024)
        return bytes " B"
    }
    FILENAME == ARGV[1] { was[$1 "/" $2 "/" $3] = $4 " / " $5; next }
    {
        row[++rows] = $0
        if ($1 == "morvane") base[$2 "/" $3] = $4
    }
    END {
        print "| tool | data set | operation | median time | CPU time | peak memory | patch size | time / morvane | runs | earlier run: time / memory |"
        print "|---|---|---|---:|---:|---:|---:|---:|---:|---:|"
        for (i = 1; i <= rows; i++) {
            split(row[i], f, "\t")
            op = f[3]
            key = f[2] "/" op
            # Reverse, verification and the floor are compared with applying, reading both
            # files with creating.
            if (f[1] == "morvane" && (op ~ /^apply --reverse/ || op ~ /^apply, / || op ~ /^verify/)) key = f[2] "/apply"
            if (f[1] == "morvane" && op ~ /self-applying/) key = f[2] "/apply"
            if (f[1] == "print_lines") key = f[2] "/apply"
            if (f[1] == "cat") key = f[2] "/create"
            if (f[1] == "morvane" && op == "create --executable") key = f[2] "/create"
            ratio = (key in base && base[key] > 0) ? sprintf("%.2f", f[4] / base[key]) : "-"
            if (f[4] < 1) t = sprintf("%.1f ms", f[4] * 1000); else t = sprintf("%.2f s", f[4])
            earlier = (f[1] "/" f[2] "/" op) in was ? was[f[1] "/" f[2] "/" op] : "-"
            printf "| %s | %s | %s | %s | %.2f s | %s MiB | %s | %s | %s | %s |\n", f[1], f[2], op, t, f[8], mib(f[5]), human(f[6]), ratio, f[7], earlier
        }
    }' "$PREVIOUS_ROWS" "$ROWS" >"$TABLE"

# The constant costs of a run that writes, from one --reverse run under strace per set.
FLUSH_TABLE="$SCRATCH/flush.md"
awk -F '\t' '
    function ms(s) { return s < 1 ? sprintf("%.1f ms", s * 1000) : sprintf("%.2f s", s) }
    FILENAME == ARGV[1] { if ($1 == "morvane") t[$2 "/" $3] = $4; next }
    {
        op = $2 == "reverse" ? "apply --reverse" : "apply"
        median = t[$1 "/" op]
        skipped = t[$1 "/" op ", flush skipped"]
        printf "| %s | %s | %s | %s (%d) | %s (%d calls) | %s | %s |\n", $1, op, ms(median), ms($3), $4, ms($5), $6, $7, skipped == "" ? "-" : ms(skipped)
    }' "$ROWS" "$FLUSHES" >"$FLUSH_TABLE.rows"
{
    echo "| data set | operation | median time | flush of the target (fsync calls) | resume record: create, flush, remove | all flushes | median time, flush skipped |"
    echo "|---|---|---:|---:|---:|---:|---:|"
    cat "$FLUSH_TABLE.rows"
} >"$FLUSH_TABLE"

# The sparse set against the earlier results.
PREVIOUS_TABLE="$SCRATCH/previous.md.table"
awk -F '\t' -v scale="$SCALE" -v processor="$PROCESSOR" -v source="$PREVIOUS_SOURCE" '
    function ms(s) { return s < 1 ? sprintf("%.1f ms", s * 1000) : sprintf("%.2f s", s) }
    FILENAME == ARGV[1] { if ($1 ~ /^#/) meta[$1] = $2; else before[$1] = $2; next }
    $1 == "morvane" && $2 == "sparse" { now[$3] = $4; order[++n] = $3 }
    END {
        if (!("#scale" in meta)) { print "No earlier results to compare with (" source ")."; exit }
        printf "Earlier run (%s): %s, built from %s, processor %s, scale 1/%s.", source, meta["#date"], meta["#commit"], meta["#processor"], meta["#scale"]
        if (meta["#scale"] != scale) printf " **Another scale than this run: not comparable.**"
        if (meta["#processor"] != processor) printf " **Another processor than this run (%s): not comparable.**", processor
        printf "\n\n"
        print "| operation | earlier | this run | this run / earlier |"
        print "|---|---:|---:|---:|"
        for (i = 1; i <= n; i++) {
            op = order[i]
            # Without the flush when the earlier run measured that too, else the whole run.
            was = op
            if (!(was in before)) sub(/, flush skipped$/, "", was)
            if (!(was in before)) continue
            printf "| %s | %s%s | %s | %.2f |\n", op, ms(before[was]), was == op ? "" : " (" was ")", ms(now[op]), now[op] / before[was]
        }
    }' "$PREVIOUS" "$ROWS" >"$PREVIOUS_TABLE"

TARGETS="$SCRATCH/targets.md"
awk -F '\t' -v scale="$SCALE" -v processor="$PROCESSOR" '
    function ms(s) { return s < 1 ? sprintf("%.1f ms", s * 1000) : sprintf("%.2f s", s) }
    function has(key) { return key in t }
    function row(target, measured, limit, result) {
        printf "| %s | %s | %s | %s |\n", target, measured, limit, result
        if (result == "FAIL") failed++
        if (result == "PASS") passed++
    }
    function missing(target, limit) { row(target, "not measured", limit, "-") }
    # ratio_row TARGET A B LIMIT: checks time A <= LIMIT x time B.
    function ratio_row(target, a, b, limit) {
        if (!has(a) || !has(b) || t[b] <= 0) { missing(target, "at most " limit); return }
        row(target, sprintf("%s / %s = %.2f", ms(t[a]), ms(t[b]), t[a] / t[b]), "at most " limit, t[a] <= limit * t[b] ? "PASS" : "FAIL")
    }
    # at_least_row TARGET A B LIMIT: checks time A >= LIMIT x time B.
    function at_least_row(target, a, b, limit) {
        if (!has(a) || !has(b) || t[b] <= 0) { missing(target, "at least " limit); return }
        row(target, sprintf("%s / %s = %.1f", ms(t[a]), ms(t[b]), t[a] / t[b]), "at least " limit, t[a] >= limit * t[b] ? "PASS" : "FAIL")
    }
    function info_row(target, a, b) {
        if (!has(a) || !has(b) || t[b] <= 0) { missing(target, "-"); return }
        row(target, sprintf("%s / %s = %.2f", ms(t[a]), ms(t[b]), t[a] / t[b]), "-", "no target")
    }
    FILENAME == ARGV[1] { if ($1 ~ /^#/) meta[$1] = $2; else before[$1] = $2; next }
    {
        k = $1 "/" $2 "/" $3
        t[k] = $4; m[k] = $5; s[k] = $6
        if ($1 == "morvane") { mem[++n] = k; set_of[k] = $2; op_of[k] = $3 }
    }
    END {
        print "| target | measured | limit | result |"
        print "|---|---|---|---|"

        # Peak memory does not follow the patch.
        for (i = 1; i <= n; i++) {
            k = mem[i]
            if (op_of[k] ~ /flush skipped/) continue
            row(sprintf("memory: %s, %s", set_of[k], op_of[k]), sprintf("%.1f MiB", m[k] / 1024),
                "under 32 MiB", m[k] < 32 * 1024 ? "PASS" : "FAIL")
        }

        # Applying a dense patch to a target written just before, against printing its block
        # lines alone.
        split("dense9 dense9-large", dense, " ")
        for (i = 1; i <= 2; i++)
            ratio_row("apply speed: " dense[i] ", target freshly written, apply / floor", "morvane/" dense[i] "/apply, target freshly written", "print_lines/" dense[i] "/block lines only (floor)", 1.5)
        ratio_row("create speed: sparse, create / cat", "morvane/sparse/create", "cat/sparse/read both files", 1.05)
        ratio_row("create speed: huge, create / cat a b > out", "morvane/huge/create", "cat/huge/write both files into one", 1.5)
        ratio_row("create speed: dense9, create / cat a b > out", "morvane/dense9/create", "cat/dense9/write both files into one", 3)
        ratio_row("create speed: sparse-6g, create / cat", "morvane/sparse-6g/create", "cat/sparse-6g/read both files", 1.1)
        info_row("create speed: holes-4g, create / cat", "morvane/holes-4g/create", "cat/holes-4g/read both files")
        ratio_row("apply speed: sparse-6g apply / sparse apply", "morvane/sparse-6g/apply", "morvane/sparse/apply", 2)
        split("huge", huge, " ")
        info_row("create speed: huge, create / cat", "morvane/huge/create", "cat/huge/read both files")
        info_row("apply speed: huge, apply / cat", "morvane/huge/apply", "cat/huge/read both files")
        info_row("apply speed: huge, apply --reverse / cat", "morvane/huge/apply --reverse", "cat/huge/read both files")
        info_row("apply speed: huge, verify / cat", "morvane/huge/verify (already patched)", "cat/huge/read both files")

        # Earlier targets, kept.
        split("dense9 dense9-large", dense, " ")
        for (i = 1; i <= 2; i++) {
            ratio_row("apply speed: " dense[i] ", apply / floor", "morvane/" dense[i] "/apply", "print_lines/" dense[i] "/block lines only (floor)", 2.5)
            ratio_row("apply speed: " dense[i] ", apply --reverse / floor", "morvane/" dense[i] "/apply --reverse", "print_lines/" dense[i] "/block lines only (floor)", 2.5)
        }

        # Creating against reading both files with cat.
        ratio_row("create speed (earlier target): sparse, create / cat", "morvane/sparse/create", "cat/sparse/read both files", 1.2)
        split("dense dense9 dense9-large", dense, " ")
        for (i = 1; i <= 3; i++)
            ratio_row("create speed: " dense[i] ", create / cat", "morvane/" dense[i] "/create", "cat/" dense[i] "/read both files", 2)
        split("worst real", other, " ")
        for (i = 1; i <= 2; i++)
            info_row("create speed: " other[i] ", create / cat", "morvane/" other[i] "/create", "cat/" other[i] "/read both files")

        # The sparse set against the earlier run, the flush apart.
        comparable = ""
        if (meta["#scale"] != scale) comparable = "not comparable (other scale)"
        if (meta["#processor"] != processor) comparable = "not comparable (other processor)"
        split("create|create;apply, flush skipped|apply;apply --reverse, flush skipped|apply --reverse", pairs, ";")
        for (i = 1; i <= 3; i++) {
            split(pairs[i], pair, "|")
            target = "sparse against the earlier run: " pair[1]
            k = "morvane/sparse/" pair[1]
            if (pair[1] in before) pair[2] = pair[1]
            if (!has(k) || !(pair[2] in before)) missing(target, "at most 1.10 x earlier")
            else row(target, sprintf("%s / %s = %.2f", ms(t[k]), ms(before[pair[2]]), t[k] / before[pair[2]]), "at most 1.10 x earlier",
                     comparable != "" ? comparable : (t[k] <= 1.1 * before[pair[2]] ? "PASS" : "FAIL"))
        }

        ratio_row("sparse: create / cmp", "morvane/sparse/create", "cmp/sparse/create", 1.5)
        at_least_row("sparse: xdelta3 -e / create", "xdelta3/sparse/create", "morvane/sparse/create", 8)
        ratio_row("dense: create / cmp", "morvane/dense/create", "cmp/dense/create", 2)
        ratio_row("worst: create / cmp", "morvane/worst/create", "cmp/worst/create", 2)
        at_least_row("sparse: xdelta3 -d / apply", "xdelta3/sparse/apply", "morvane/sparse/apply", 50)
        split("sparse dense worst real dense9 dense9-large", all, " ")
        for (i = 1; i <= 6; i++) {
            ratio_row(all[i] ": apply --reverse / apply (10% noise)", "morvane/" all[i] "/apply --reverse", "morvane/" all[i] "/apply", 1.1)
            ratio_row(all[i] ": verify / apply (10% noise)", "morvane/" all[i] "/verify (already patched)", "morvane/" all[i] "/apply", 1.1)
        }
        printf "\n%d met, %d missed.\n", passed, failed
    }' "$PREVIOUS" "$ROWS" >"$TARGETS"

{
    echo "# Benchmark results"
    echo
    echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "- Machine: $MACHINE"
    echo "- Load: before the data sets \`$LOAD_BEFORE\`; after it \`$LOAD_AFTER\`"
    echo "- Command: \`$COMMAND_LINE\`"
    echo "- Built from: $COMMIT"
    echo "- Run time: $((ELAPSED / 60)) min $((ELAPSED % 60)) s for the data sets (sets: $SETS)"
    echo "- Data: sparse $(size_mib 1024) bytes with 1,000 changes of 1 to 48 bytes; dense $(size_mib 256) bytes with a 16-byte change every 4 KiB; worst $(size_mib 64) bytes, every byte changed; real: a $(size_mib 256)-byte ext4 image before and after writing four files with debugfs; dense9: $DENSE9_BYTES bytes in which every 9th byte differs ($(((DENSE9_BYTES + 8) / 9)) blocks of one byte); dense9-large: the same on $DENSE9_LARGE_BYTES bytes ($(((DENSE9_LARGE_BYTES + 8) / 9)) blocks); empty-blocks: a patch of $EMPTY_BLOCKS blocks of length 0 for a $EMPTY_TARGET_BYTES-byte file, which applying refuses with status 9 in both directions; huge: $(size_mib 1024) bytes with every byte changed (one block, a patch of twice the file); sparse-6g: $(size_mib 6144) bytes with 1,000 changes of 1 to 48 bytes (a patch in the second format); holes-4g: $(size_mib 4096) bytes with holes but for 1 % of them, in 1 MiB pieces of random bytes, with 1,000 changes of 1 to 48 bytes anywhere. cat a.bin b.bin > out.bin writes both files into one in the folder of the set: the floor for creating a patch of an all-different pair, which holds both files."
    echo "- Method: files in the page cache; one warm-up run, then $REPS measured runs per command, $((4 * REPS)) for commands that take less than 0.2 s, at most 3 for commands that take more than 10 s and $SLOW_REPS for commands that take more than a minute, their warm-up counting as the first (bsdiff and bspatch: $SLOW_REPS, no warm-up); the runs column gives the number; median wall time and median CPU time (user + system); peak resident memory from /usr/bin/time. cmp runs as \`cmp -l a b | cat > /dev/null\`, because GNU cmp stops at the first difference when its output is /dev/null itself. cat runs as \`cat a.bin b.bin > /dev/null\`: the time to read both files. print_lines (bench/print_lines.cpp) reads the patch and prints its block lines, flushing each, as applying must: the floor for applying. xdelta3 runs with its defaults (\`-e -s\`, \`-d -s\`). morvane applies in place and is timed in turns with \`--reverse\`; \"verify\" applies to a file already patched, which reads and checks every block and stops with status 9; \"flush skipped\" runs morvane with bench/no_flush.cpp preloaded, which turns fsync into a no-op; \"target freshly written\" rewrites the target with \`cat a.bin > t.bin\` (not timed) just before every run. The last column gives the same row of the earlier results (the file this run replaces, or BENCH_PREVIOUS). time / morvane compares with morvane's create or apply on the same set. Every output goes to /dev/null."
    echo "- Flushes: one \`--reverse\` run per set under \`strace ${STRACE_FLAGS[*]}\`; the time of a group of calls is the sum of their times in the kernel. The resume record is kept in $TEMP_FOLDER ($(df -PT "$TEMP_FOLDER" | awk 'NR == 2 {print $2}')), the data sets in $SCRATCH ($(df -PT "$SCRATCH" | awk 'NR == 2 {print $2}'))."
    if [ -n "${BENCH_NOTE:-}" ]; then echo "- Note: $BENCH_NOTE"; fi
    echo
    cat "$TABLE"
    echo
    echo "## Flush to stable storage and resume record"
    echo
    cat "$FLUSH_TABLE"
    echo
    echo "## Sparse set against the earlier results"
    echo
    cat "$PREVIOUS_TABLE"
    echo
    echo "## Targets"
    echo
    echo "Memory: peak resident memory under 32 MiB for every create and apply, whatever the patch size. Apply speed: applying a dense patch to a target written just before the run at most 1.5 x the floor. Create speed: at most 1.05 x cat on the sparse set, 1.1 x on sparse-6g; at most 1.5 x (huge) and 3 x (dense9) \`cat a.bin b.bin > out.bin\`. The huge set against cat, for information. The sparse set within 10 % of the earlier run, the flush apart. Then the earlier targets: applying a dense patch at most 2.5 x the floor, creating at most 1.2 x cat on the sparse set and 2 x cat on the dense sets, and the rest."
    echo
    cat "$TARGETS"
} >"$RESULTS"

echo
cat "$TABLE"
echo
cat "$FLUSH_TABLE"
echo
cat "$PREVIOUS_TABLE"
echo
cat "$TARGETS"
echo
echo "Data sets measured in $((ELAPSED / 60)) min $((ELAPSED % 60)) s; written to $RESULTS"
