#!/usr/bin/env bash
# File names as Windows users meet them, with the real morvane.exe under Wine; the files are
# made here, on the Linux side, with names in UTF-8, which Wine hands to Windows programs as
# UTF-16:
#
#   unicode_names_test.sh <morvane.exe> <source folder> <command that runs a Windows program>...
#
# A table of names (Japanese, Greek, an emoji, Cyrillic in a folder, a blank) is used to create,
# apply, reverse and package patches; a Linux build of the program, compiled here from the same
# sources, makes the same patch byte for byte, and each build applies the other's patch. Target,
# patch and outputs at paths of more than 300 characters work.
set -Eeuo pipefail
trap 'echo "FAILED: line $LINENO: $BASH_COMMAND" >&2' ERR
program=$(realpath "$1")
source_folder=$(realpath "$2")
shift 2
run=("$@")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# The Linux build, from the same sources as the Windows one.
sources=()
for file in "$source_folder"/src/*/*.cpp; do
    case $file in
    */platform_windows.cpp | */quiet_terminate.cpp) ;;
    *) sources+=("$file") ;;
    esac
done
c++ -std=c++17 -O1 -I"$source_folder/src" "${sources[@]}" -o "$work/morvane" ||
    fail "cannot build the Linux program"
windows=("${run[@]}" "$program")
# Runs the Windows or the Linux build.
build() { # windows|linux, arguments...
    local side=$1
    shift
    if [ "$side" = windows ]; then
        "${windows[@]}" "$@"
    else
        "$work/morvane" "$@"
    fi
}

# Runs a program in a folder; sets status, out (without CR) and err.
start() { # folder, program and arguments...
    local folder=$1
    shift
    status=0
    (cd "$folder" && "$@" >"$work/out" 2>"$work/err") || status=$?
    out=$(tr -d '\r' <"$work/out")
    err=$(tr -d '\r' <"$work/err")
}
expect_run() { # what, expected standard output
    [ "$status" = 0 ] || fail "$1: exit status $status; $out $err"
    [ -z "$err" ] || fail "$1: error output: $err"
    [ "$out" = "$2" ] || fail "$1: output differs:"$'\n'"$out"$'\n'"expected:"$'\n'"$2"
}
same() { # what, file, expected file
    cmp -s "$2" "$3" || fail "$1: $2 differs from $3"
}
le32() {
    printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))"
    printf "\\x$(printf %02x $(($1 >> 16 & 255)))\\x$(printf %02x $(($1 >> 24 & 255)))"
}
# 64 bytes, and the same with bytes 10 and 40 changed.
seq 1 30 | head -c 64 >"$work/original"
cp "$work/original" "$work/patched"
printf X | dd of="$work/patched" bs=1 seek=10 conv=notrunc 2>/dev/null
printf Y | dd of="$work/patched" bs=1 seek=40 conv=notrunc 2>/dev/null
# The patch for those bytes with the target name $1 (bytes as given).
expected_patch() {
    printf PATCH1
    le32 "$(printf %s "$1" | wc -c)"
    printf %s "$1"
    le32 64
    le32 0
    le32 10
    le32 1
    head -c 11 "$work/original" | tail -c 1
    printf X
    le32 40
    le32 1
    head -c 41 "$work/original" | tail -c 1
    printf Y
}
blocks=$'Applying patch:\n@ 0000000A : 1 bytes\n@ 00000028 : 1 bytes'

names=("日本語.bin" "Ελληνικά.bin" "🙂.bin" "Папка/файл.bin" "my file é.bin")
for name in "${names[@]}"; do
    for side in windows linux; do
        folder=$work/$side
        rm -rf "$folder"
        mkdir -p "$folder/Папка"
        cp "$work/original" "$folder/$name"
        cp "$work/patched" "$folder/new.bin"
        start "$folder" build "$side" --original "$name" --patched new.bin --patch "パッチ.pat"
        expect_run "$side creates for $name" "Original file: $name
Patched file: new.bin
Comparing files... DONE
Found 2 bytes in 2 blocks.
Writing patch file: パッチ.pat
Completed!"
        expected_patch "$name" >"$work/expected.pat"
        same "$side patch for $name" "$folder/パッチ.pat" "$work/expected.pat"
    done
    # Each build applies and reverses the other's patch.
    for pair in "windows linux" "linux windows"; do
        read -r applier maker <<<"$pair"
        folder=$work/$maker
        start "$folder" build "$applier" --patch "パッチ.pat"
        expect_run "$applier applies $maker's patch for $name" "Reading patch file: パッチ.pat
Patch for file $name (64 bytes)
$blocks"
        same "$applier applied $maker's patch for $name" "$folder/$name" "$work/patched"
        start "$folder" build "$applier" --patch "パッチ.pat" --reverse
        expect_run "$applier reverses $maker's patch for $name" "Reading patch file: パッチ.pat
Reversing patch data... DONE
Patch for file $name (64 bytes)
$blocks"
        same "$applier reversed $maker's patch for $name" "$folder/$name" "$work/original"
    done

    # A self-applying patch with a name of its own outside ASCII.
    folder=$work/windows
    start "$folder" "${windows[@]}" --original "$name" --patched new.bin --patch "更新 ü.exe" \
        --executable
    [ "$status" = 0 ] || fail "packaging for $name: $status $out $err"
    start "$folder" "${run[@]}" "$folder/更新 ü.exe"
    expect_run "self-applying patch for $name" "Reading patch file: $(sed -n 's/^Reading patch file: //p' <<<"$out")
Patch for file $name (64 bytes)
$blocks"
    same "self-applied patch for $name" "$folder/$name" "$work/patched"
    start "$folder" "${run[@]}" "$folder/更新 ü.exe" --reverse
    [ "$status" = 0 ] || fail "reversing self-applying patch for $name: $status $out $err"
    same "self-reversed patch for $name" "$folder/$name" "$work/original"
done

# Target, patch and outputs at paths of more than 300 characters (Windows paths through Z:).
deep=$work/long
for part in 1 2 3 4 5 6; do
    deep+=/$(printf "folder $part with a long name, %.0s" 1 2)
done
deep+=/データ
mkdir -p "$deep"
cp "$work/original" "$deep/target file.bin"
cp "$work/patched" "$deep/new.bin"
target="Z:$deep/target file.bin"
[ "${#target}" -gt 300 ] || fail "the long path has only ${#target} characters"
start "$work" "${windows[@]}" --original "$target" --patched "Z:$deep/new.bin" \
    --patch "Z:$deep/fix.pat"
[ "$status" = 0 ] || fail "creating at a long path: $status $out $err"
expected_patch "$target" >"$work/expected.pat"
same "patch at a long path" "$deep/fix.pat" "$work/expected.pat"
start "$work" "${windows[@]}" --patch "Z:$deep/fix.pat"
expect_run "applying at a long path" "Reading patch file: Z:$deep/fix.pat
Patch for file $target (64 bytes)
$blocks"
same "applied at a long path" "$deep/target file.bin" "$work/patched"
start "$work" "${windows[@]}" --patch "Z:$deep/fix.pat" --reverse
[ "$status" = 0 ] || fail "reversing at a long path: $status $out $err"
same "reversed at a long path" "$deep/target file.bin" "$work/original"
# Packaged to a long path: the copy of the program, the patch and the trailer are all there;
# started from a short path (Wine cannot start a program from a long one), it patches the
# target at its long path.
start "$work" "${windows[@]}" --original "$target" --patched "Z:$deep/new.bin" \
    --patch "Z:$deep/fix.exe" --executable
[ "$status" = 0 ] || fail "packaging at a long path: $status $out $err"
cp "$deep/fix.exe" "$work/fix.exe"
start "$work" "${run[@]}" "$work/fix.exe"
[ "$status" = 0 ] || fail "self-applying to a long path: $status $out $err"
same "self-applied at a long path" "$deep/target file.bin" "$work/patched"
echo "all passed"
