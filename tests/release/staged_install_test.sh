#!/usr/bin/env bash
# Installs the build into a staging folder with DESTDIR, as a package build does, and checks
# the exact set of files installed. For a Unix build it then runs the installed program from
# there: --help, and a patch created, applied, refused and undone.
#
# Usage: staged_install_test.sh <cmake> <build folder> <source folder> unix|windows <version>
set -uo pipefail
cmake=$1 build=$2 source=$3 layout=$4 version=$5
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT
if [ "$layout" = unix ]; then
    prefix=/usr
    expected="usr/bin/morvane
usr/share/doc/morvane/LICENSE
usr/share/doc/morvane/README.md
usr/share/man/man1/morvane.1"
    docdir=usr/share/doc/morvane
else
    prefix=/morvane
    expected="morvane/LICENSE
morvane/README.md
morvane/morvane.exe"
    docdir=morvane
fi

if ! DESTDIR="$staging/root" "$cmake" --install "$build" --prefix "$prefix" \
    >"$staging/install.log" 2>&1; then
    cat "$staging/install.log" >&2
    echo "FAIL: cmake --install failed" >&2
    exit 1
fi
root=$staging/root
installed=$(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
[ "$installed" = "$expected" ] || fail "installed
$installed
expected
$expected"
for file in README.md LICENSE; do
    cmp -s "$source/$file" "$root/$docdir/$file" || fail "$docdir/$file differs from $file"
done
if [ "$layout" = windows ]; then
    [ $failures -eq 0 ] || exit 1
    echo "Windows layout checked"
    exit 0
fi

grep -q "^\.TH MORVANE 1 \"[0-9-]*\" \"Morvane $version\"" "$root/usr/share/man/man1/morvane.1" ||
    fail "the installed manual page does not carry version $version"
[ -x "$root/usr/bin/morvane" ] || fail "usr/bin/morvane is not executable"

# Run the installed program by name, from the staged bin folder only.
export PATH="$root/usr/bin:$PATH" TMPDIR="$staging/tmp" XDG_STATE_HOME="$staging/state"
mkdir -p "$TMPDIR" "$staging/work"
cd "$staging/work" || exit 1
[ "$(command -v morvane)" = "$root/usr/bin/morvane" ] ||
    fail "morvane is not found in the staged bin folder"

morvane --help >"$staging/help"
status=$?
[ $status -eq 0 ] || fail "--help exits with $status"
[ "$(head -n 1 "$staging/help")" = "Morvane v1.0 - byte patches for binary files" ] ||
    fail "--help starts with '$(head -n 1 "$staging/help")'"
[ "$(wc -l <"$staging/help")" -eq 22 ] ||
    fail "--help prints $(wc -l <"$staging/help") lines, not 22"

# expect <status> <command...>: runs the command and checks its exit status.
expect() {
    local want=$1
    shift
    "$@" >"$staging/out" 2>"$staging/err"
    local got=$?
    [ $got -eq "$want" ] || fail "'$*' exits with $got, not $want: $(cat "$staging/err")"
}
head -c 65536 /dev/urandom >target.bin
cp target.bin original.bin
cp target.bin patched.bin
printf 'changed' | dd of=patched.bin bs=1 seek=1000 conv=notrunc status=none
printf '\000\377' | dd of=patched.bin bs=1 seek=65534 conv=notrunc status=none
cmp -s original.bin patched.bin && fail "the patched copy equals the original"

expect 0 morvane --original target.bin --patched patched.bin --patch fix.pat
[ "$(tail -n 1 "$staging/out")" = "Completed!" ] ||
    fail "creating ends with '$(tail -n 1 "$staging/out")'"
cmp -s target.bin original.bin || fail "creating the patch changed the original"
expect 0 morvane --patch fix.pat
cmp -s target.bin patched.bin || fail "the applied patch does not give the patched file"
expect 9 morvane --patch fix.pat
cmp -s target.bin patched.bin || fail "a refused patch changed the file"
expect 0 morvane --patch fix.pat --reverse
cmp -s target.bin original.bin || fail "the reversed patch does not give the original back"

[ $failures -eq 0 ] || exit 1
echo "staged install checked: $installed" | tr '\n' ' '
echo
