#!/usr/bin/env bash
# Builds the release program if needed, then shows a patch being made, applied, refused,
# undone, and shipped as a self-applying patch, with the real output of every run.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
morvane="$root/build/release/morvane"
if [ ! -x "$morvane" ]; then
    cmake --preset release -DMORVANE_TESTS=OFF >/dev/null && cmake --build --preset release --target morvane >/dev/null || exit 1
fi

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
export TMPDIR="$scratch/tmp"
mkdir -p "$TMPDIR"

run() {
    echo
    echo "\$ morvane $*"
    "$morvane" "$@"
    echo "[exit status $?]"
}

# A small original, and a patched copy with two changes.
head -c 4096 /dev/urandom > game.dat
cp game.dat game.new
printf 'LEVEL-99' | dd of=game.new bs=1 seek=100 conv=notrunc status=none
printf '\x90\x90' | dd of=game.new bs=1 seek=3000 conv=notrunc status=none
printf 'Fix for level 99.\nBack up game.dat first.\n' > readme.txt
cp game.dat game.orig

run --original game.dat --patched game.new --patch fix.pat --message readme.txt
run --patch fix.pat
cmp -s game.dat game.new && echo "(game.dat now equals game.new)"
run --patch fix.pat
run --patch fix.pat --reverse
cmp -s game.dat game.orig && echo "(game.dat is the original again)"

echo
echo "Self-applying patch:"
run --original game.dat --patched game.new --patch fix.bin --message readme.txt --executable
ls -l fix.bin | awk '{print "fix.bin: " $5 " bytes"}'
echo
echo "\$ ./fix.bin"
./fix.bin
echo "[exit status $?]"
echo
echo "\$ ./fix.bin --reverse"
./fix.bin --reverse
echo "[exit status $?]"
cmp -s game.dat game.orig && echo "(game.dat is the original again)"
echo "Temporary files left behind: $(ls "$TMPDIR" | grep -vc PATCH.TXT)"
