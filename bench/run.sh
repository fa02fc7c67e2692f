#!/usr/bin/env bash
# Benchmarks morvane against cmp, xdelta3 and bsdiff on generated data sets and writes the
# table to bench/results.md.
#
#   bench/run.sh
#
# Settings (environment):
#   BENCH_SCALE=N      divide every data set size by N (default 1: full size; 16 runs in seconds)
#   BENCH_REPS=N       measured repetitions per command (default 5), after one warm-up run
#   BENCH_SLOW_REPS=N  repetitions for bsdiff/bspatch, which take minutes (default 1, no warm-up)
#   BENCH_BSDIFF=0     leave out bsdiff (on the 64 MiB set it runs for many minutes)
#   BENCH_DIR=path     scratch folder for the data sets (default: a new folder under /tmp)
#   BENCH_BUILD_DIR=p  build folder to use instead of the release preset's build/release
#   BENCH_KEEP=1       keep the scratch folder
#   BENCH_NOTE=text    a note added to results.md (e.g. that the machine was busy)
#
# The data sets are generated from fixed seeds by bench/gen_data.cpp, so every run compares
# the same bytes. Times are wall-clock medians, memory is the largest peak resident set size
# reported by /usr/bin/time over the repetitions.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
COMMAND_LINE="bench/run.sh"
for setting in BENCH_SCALE BENCH_REPS BENCH_SLOW_REPS BENCH_BSDIFF BENCH_BUILD_DIR; do
    if [ -n "${!setting:-}" ]; then
        COMMAND_LINE="$setting=${!setting} $COMMAND_LINE"
    fi
done
SCALE="${BENCH_SCALE:-1}"
REPS="${BENCH_REPS:-5}"
SLOW_REPS="${BENCH_SLOW_REPS:-1}"
BSDIFF="${BENCH_BSDIFF:-1}"
MIB=$((1024 * 1024))

fail() {
    echo "bench: $*" >&2
    exit 1
}

case "$SCALE" in '' | *[!0-9]* | 0) fail "BENCH_SCALE must be a positive whole number" ;; esac
case "$REPS" in '' | *[!0-9]* | 0) fail "BENCH_REPS must be a positive whole number" ;; esac
case "$SLOW_REPS" in '' | *[!0-9]* | 0) fail "BENCH_SLOW_REPS must be a positive whole number" ;; esac

# ---------------------------------------------------------------------------------------------
# Tools

install_missing() {
    local wanted=() missing=()
    command -v xdelta3 >/dev/null || wanted+=(xdelta3)
    command -v bsdiff >/dev/null || wanted+=(bsdiff)
    [ -x /usr/bin/time ] || wanted+=(time)
    command -v mkfs.ext4 >/dev/null || PATH="$PATH:/sbin:/usr/sbin" command -v mkfs.ext4 >/dev/null ||
        wanted+=(e2fsprogs)
    command -v cmake >/dev/null || wanted+=(cmake)
    command -v ninja >/dev/null || wanted+=(ninja-build)
    command -v g++ >/dev/null || wanted+=(g++)
    missing=("${wanted[@]}")
    [ ${#missing[@]} -eq 0 ] && return
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        apt-get update -q
        DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
    else
        fail "missing packages; install them with: sudo apt-get install -y ${missing[*]}"
    fi
}

install_missing
export PATH="$PATH:/sbin:/usr/sbin"

COMMIT="$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo unknown)"
git -C "$ROOT" diff --quiet HEAD -- src 2>/dev/null || COMMIT="$COMMIT with local changes in src/"

echo "== Building the release binary"
if [ -n "${BENCH_BUILD_DIR:-}" ]; then
    BUILD_DIR="$BENCH_BUILD_DIR"
    cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVANE_TESTS=OFF >/dev/null
    cmake --build "$BUILD_DIR" --target morvane >/dev/null
else
    BUILD_DIR="$ROOT/build/release"
    (cd "$ROOT" && cmake --preset release >/dev/null && cmake --build --preset release --target morvane >/dev/null)
fi
MORVANE="$BUILD_DIR/morvane"
[ -x "$MORVANE" ] || fail "no binary at $MORVANE"

if [ -n "${BENCH_DIR:-}" ]; then
    SCRATCH="$BENCH_DIR"
    mkdir -p "$SCRATCH"
else
    SCRATCH="$(mktemp -d /tmp/morvane-bench.XXXXXX)"
fi
cleanup() {
    if [ "${BENCH_KEEP:-0}" != 1 ]; then
        rm -rf "$SCRATCH"
    fi
}
trap cleanup EXIT

GEN="$SCRATCH/gen_data"
g++ -O2 -std=c++17 -o "$GEN" "$ROOT/bench/gen_data.cpp"

# Disk: the largest set needs its two files, a working copy and xdelta3's output.
need_kib=$((4 * 1024 * 1024 / SCALE + 64 * 1024))
have_kib=$(df -Pk "$SCRATCH" | awk 'NR == 2 {print $4}')
[ "$have_kib" -ge "$need_kib" ] ||
    fail "need about $((need_kib / 1024)) MiB free in $SCRATCH, have $((have_kib / 1024)) MiB"

# ---------------------------------------------------------------------------------------------
# Measuring

ROWS="$SCRATCH/rows.tsv" # tool, set, operation, median seconds, peak KiB, patch bytes, reps,
# median CPU seconds
: >"$ROWS"
MEM_FILE="$SCRATCH/peak-memory"
T="/usr/bin/time -f %M:%U:%S -o $MEM_FILE"

# Runs one command (a string evaluated in the set's folder) once and records its wall time in
# LAST_SECONDS, its processor time (user and system) in LAST_CPU and its peak resident set in
# LAST_KIB. "$T" in the command stands for the
# timing wrapper and must prefix the program whose memory is measured. The exit status must be
# one of the allowed ones.
run_once() {
    local command="$1" allowed="$2" start end status
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
    printf '  %-9s %-7s %-24s %10.4f s (cpu %5.2f s) %8d KiB\n' "$1" "$2" "$3" "$wall" "$cpu" "$6"
}

# Commands that end within a fifth of a second are run four times as often: their wall time is
# the one most disturbed by other processes. Commands whose warm-up took more than a minute
# are run as often as bsdiff.
more_reps_if_quick() {
    local reps="$1" warmups="$2"
    if [ "$warmups" -gt 0 ] && awk -v s="$LAST_SECONDS" 'BEGIN {exit !(s < 0.2)}'; then
        echo $((reps * 4))
    elif [ "$warmups" -gt 0 ] && awk -v s="$LAST_SECONDS" 'BEGIN {exit !(s > 60)}'; then
        echo "$SLOW_REPS"
    else
        echo "$reps"
    fi
}

# measure TOOL SET OPERATION PATCH_FILE WARMUPS REPS ALLOWED_STATUS COMMAND
measure() {
    local tool="$1" set="$2" op="$3" patch="$4" warmups="$5" reps="$6" allowed="$7" command="$8"
    local times="$SCRATCH/times" peak=0 i
    : >"$times"
    for ((i = 0; i < warmups; i++)); do run_once "$command" "$allowed"; done
    reps=$(more_reps_if_quick "$reps" "$warmups")
    for ((i = 0; i < reps; i++)); do
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
    local times1="$SCRATCH/times1" times2="$SCRATCH/times2" peak1=0 peak2=0 i
    : >"$times1"
    : >"$times2"
    run_once "$first" 0
    run_once "$second" 0
    reps=$(more_reps_if_quick "$reps" 1)
    for ((i = 0; i < reps; i++)); do
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

# GNU cmp stops at the first difference when its standard output is the null device (it then
# acts as cmp -s), so its listing goes through a pipe into cat > /dev/null instead: cmp then
# compares the whole pair, as the other tools do.
CMP_COMMAND='$T cmp -l a.bin b.bin | cat > /dev/null'

# bench_set NAME SLOW: runs every tool on a.bin/b.bin in the set's folder.
bench_set() {
    local name="$1" with_bsdiff="$2"
    echo "== Set $name: $(stat -c %s a.bin) bytes"
    cp a.bin t.bin
    # Written data goes to the disk now, not while the tools are being timed.
    sync

    measure cmp "$name" create "" 1 "$REPS" "0 1" "$CMP_COMMAND"
    measure morvane "$name" create morvane.pat 1 "$REPS" 0 \
        '$T '"$MORVANE"' --original a.bin --patched b.bin --patch morvane.pat'
    measure xdelta3 "$name" create xdelta.vcdiff 1 "$REPS" 0 \
        '$T xdelta3 -e -f -s a.bin b.bin xdelta.vcdiff'
    if [ "$with_bsdiff" = yes ] && [ "$BSDIFF" = 1 ]; then
        measure bsdiff "$name" create bsdiff.patch 0 "$SLOW_REPS" 0 '$T bsdiff a.bin b.bin bsdiff.patch'
    fi

    # Applying works in place on t.bin, a copy of a.bin: the patch names it.
    "$MORVANE" --original t.bin --patched b.bin --patch apply.pat >/dev/null
    cmp -s apply.pat morvane.pat && fail "$name: patches for a.bin and t.bin should differ in name"
    measure_pair morvane "$name" apply "apply --reverse" apply.pat "$REPS" \
        '$T '"$MORVANE"' --patch apply.pat' '$T '"$MORVANE"' --patch apply.pat --reverse'
    "$MORVANE" --patch apply.pat >/dev/null
    same_or_fail t.bin b.bin "morvane apply"
    # Applying to a file that already holds the patched bytes reads and checks every block and
    # then stops with status 9: the cost of the verification alone.
    measure morvane "$name" "verify (already patched)" apply.pat 1 "$REPS" 9 \
        '$T '"$MORVANE"' --patch apply.pat'
    "$MORVANE" --patch apply.pat --reverse >/dev/null
    same_or_fail t.bin a.bin "morvane apply --reverse"

    measure xdelta3 "$name" apply xdelta.vcdiff 1 "$REPS" 0 \
        '$T xdelta3 -d -f -s a.bin xdelta.vcdiff out.bin'
    same_or_fail out.bin b.bin "xdelta3 -d"
    rm -f out.bin
    if [ "$with_bsdiff" = yes ] && [ "$BSDIFF" = 1 ]; then
        measure bspatch "$name" apply bsdiff.patch 0 "$SLOW_REPS" 0 '$T bspatch a.bin out.bin bsdiff.patch'
        same_or_fail out.bin b.bin "bspatch"
        rm -f out.bin
    fi
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

# ---------------------------------------------------------------------------------------------
# Data sets

echo "== Scratch folder $SCRATCH, scale 1/$SCALE, $REPS repetitions"

# 1. sparse: random bytes, 1,000 changes of 1 to 48 bytes at random offsets.
mkdir -p "$SCRATCH/sparse"
cd "$SCRATCH/sparse"
"$GEN" random a.bin "$(size_mib 1024)" 1
cp a.bin b.bin
"$GEN" sparse b.bin 1000 48 2
bench_set sparse no
bench_executable sparse
cd "$SCRATCH"
rm -rf "$SCRATCH/sparse"

# 2. dense: a 16-byte change every 4 KiB.
mkdir -p "$SCRATCH/dense"
cd "$SCRATCH/dense"
"$GEN" random a.bin "$(size_mib 256)" 3
cp a.bin b.bin
"$GEN" dense b.bin 4096 16 4
bench_set dense no
cd "$SCRATCH"
rm -rf "$SCRATCH/dense"

# 3. worst: every byte differs.
mkdir -p "$SCRATCH/worst"
cd "$SCRATCH/worst"
"$GEN" random a.bin "$(size_mib 64)" 5
"$GEN" every a.bin b.bin 6
bench_set worst yes
cd "$SCRATCH"
rm -rf "$SCRATCH/worst"

# 4. real: an ext4 image before and after a few files were written into it. Fixed UUIDs,
# hash seed and clock make the image the same on every run.
mkdir -p "$SCRATCH/real"
cd "$SCRATCH/real"
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
bench_set real no
cd "$SCRATCH"
rm -rf "$SCRATCH/real"

# ---------------------------------------------------------------------------------------------
# Table and targets

TABLE="$SCRATCH/table.md"
awk -F '\t' '
    function mib(kib) { return sprintf("%.1f", kib / 1024) }
    function human(bytes) {
        if (bytes == "-") return "-"
        if (bytes >= 1048576) return sprintf("%.1f MiB", bytes / 1048576)
        if (bytes >= 1024) return sprintf("%.1f KiB", bytes / 1024)
        return bytes " B"
    }
    {
        row[NR] = $0
        if ($1 == "morvane") base[$2 "/" $3] = $4
    }
    END {
        print "| tool | data set | operation | median time | CPU time | peak memory | patch size | time / morvane | runs |"
        print "|---|---|---|---:|---:|---:|---:|---:|---:|"
        for (i = 1; i <= NR; i++) {
            split(row[i], f, "\t")
            op = f[3]
            key = f[2] "/" op
            # Reverse and verification are compared with applying.
            if (f[1] == "morvane" && (op == "apply --reverse" || op ~ /^verify/)) key = f[2] "/apply"
            if (f[1] == "morvane" && op ~ /self-applying/) key = f[2] "/apply"
            if (f[1] == "morvane" && op == "create --executable") key = f[2] "/create"
            ratio = (key in base && base[key] > 0) ? sprintf("%.2f", f[4] / base[key]) : "-"
            if (f[4] < 1) t = sprintf("%.1f ms", f[4] * 1000); else t = sprintf("%.2f s", f[4])
            printf "| %s | %s | %s | %s | %.2f s | %s MiB | %s | %s | %s |\n", f[1], f[2], op, t, f[8], mib(f[5]), human(f[6]), ratio, f[7]
        }
    }' "$ROWS" >"$TABLE"

TARGETS="$SCRATCH/targets.md"
awk -F '\t' '
    { t[$1 "/" $2 "/" $3] = $4; m[$1 "/" $2 "/" $3] = $5; s[$1 "/" $2 "/" $3] = $6 }
    function verdict(ok) { return ok ? "met" : "**not met**" }
    END {
        mt = t["morvane/sparse/create"]
        printf "- create, sparse: %.2f x cmp (target at most 1.5): %s\n", mt / t["cmp/sparse/create"], verdict(mt <= 1.5 * t["cmp/sparse/create"])
        printf "- create, sparse: xdelta3 takes %.1f x as long (target at least 8): %s\n", t["xdelta3/sparse/create"] / mt, verdict(t["xdelta3/sparse/create"] >= 8 * mt)
        printf "- create, sparse: peak memory %.1f MiB (target at most 16): %s\n", m["morvane/sparse/create"] / 1024, verdict(m["morvane/sparse/create"] <= 16 * 1024)
        n = split("dense worst", sets, " ")
        for (i = 1; i <= n; i++) {
            k = "morvane/" sets[i] "/create"
            limit = 16 * 1024 + 2 * s[k] / 1024
            printf "- create, %s: %.2f x cmp (target at most 2): %s\n", sets[i], t[k] / t["cmp/" sets[i] "/create"], verdict(t[k] <= 2 * t["cmp/" sets[i] "/create"])
            printf "- create, %s: peak memory %.1f MiB (target at most 16 MiB + 2 x %.1f MiB patch = %.1f MiB): %s\n", sets[i], m[k] / 1024, s[k] / 1048576, limit / 1024, verdict(m[k] <= limit)
        }
        a = t["morvane/sparse/apply"]
        printf "- apply, sparse: xdelta3 -d takes %.0f x as long (target at least 50): %s\n", t["xdelta3/sparse/apply"] / a, verdict(t["xdelta3/sparse/apply"] >= 50 * a)
        n = split("sparse dense worst real", sets, " ")
        for (i = 1; i <= n; i++) {
            k = "morvane/" sets[i] "/"
            r = t[k "apply --reverse"]; v = t[k "verify (already patched)"]; a = t[k "apply"]
            printf "- %s: reverse %.2f x apply, verification alone %.2f x apply (target at most 1, within 10%% timing noise): %s\n", sets[i], r / a, v / a, verdict(r <= 1.1 * a && v <= 1.1 * a)
        }
    }' "$ROWS" >"$TARGETS"

MACHINE="$(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')), $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo) memory, $(uname -sr)"
LOAD="$(cut -d' ' -f1-3 /proc/loadavg)"
{
    echo "# Benchmark results"
    echo
    echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "- Machine: $MACHINE; load average at the end: $LOAD"
    echo "- Command: \`$COMMAND_LINE\`"
    echo "- Built from: $COMMIT"
    echo "- Data: sparse $(size_mib 1024) bytes with 1,000 changes of 1 to 48 bytes; dense $(size_mib 256) bytes with a 16-byte change every 4 KiB; worst $(size_mib 64) bytes, every byte changed; real: a $(size_mib 256)-byte ext4 image before and after writing four files with debugfs."
    echo "- Method: files in the page cache; one warm-up run, then $REPS measured runs per command, $((4 * REPS)) for commands that take less than 0.2 s and $SLOW_REPS for commands that take more than a minute (bsdiff and bspatch: $SLOW_REPS, no warm-up); the runs column gives the number; median wall time and median CPU time (user + system); peak resident memory from /usr/bin/time. cmp runs as \`cmp -l a b | cat > /dev/null\`, because GNU cmp stops at the first difference when its output is /dev/null itself. xdelta3 runs with its defaults (\`-e -s\`, \`-d -s\`). morvane applies in place and is timed in turns with \`--reverse\`; \"verify\" applies to a file already patched, which reads and checks every block and stops with status 9. time / morvane compares with morvane's create or apply on the same set."
    if [ -n "${BENCH_NOTE:-}" ]; then echo "- Note: $BENCH_NOTE"; fi
    echo
    cat "$TABLE"
    echo
    echo "## Targets"
    echo
    cat "$TARGETS"
} >"$ROOT/bench/results.md"

echo
cat "$TABLE"
echo
cat "$TARGETS"
echo
echo "Written to bench/results.md"
