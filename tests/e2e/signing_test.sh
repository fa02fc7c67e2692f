#!/usr/bin/env bash
# Signed self-applying patches, with the real morvane.exe under Wine and osslsigncode, which
# signs and verifies Authenticode signatures as the Windows SDK's signtool does:
#
#   signing_test.sh <morvane.exe> <command that runs a Windows program>...
#
# A throw-away self-signed certificate is made with openssl. Packaged patches are signed,
# verified and started in their target's folder, forward and with --reverse; their sizes are
# chosen so that the signer puts 0, 5 and 7 zero bytes of alignment before the certificate
# table. Then a signed morvane.exe packages a patch: the output carries no signature, not a
# broken one, is byte for byte what the unsigned program packages, and works once signed. A
# signed patch cut short fails with status 8; a signed program with a patch hidden in a
# stretched certificate table is the plain tool. Ends with status 77 (skipped) when osslsigncode or openssl is missing.
set -Eeuo pipefail
trap 'echo "FAILED: line $LINENO: $BASH_COMMAND" >&2' ERR
program=$(realpath "$1")
shift
run=("$@")
for tool in osslsigncode openssl; do
    if ! command -v "$tool" >/dev/null; then
        echo "skipped: $tool is not installed (apt-get install $tool)"
        exit 77
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAILED: $*" >&2
    exit 1
}
# Where the programs make their temporary files: Wine takes TMP and TEMP from its prefix.
temporary=$(find "$WINEPREFIX/drive_c/users" -mindepth 2 -maxdepth 2 -type d -name Temp -print -quit)
[ -d "$temporary" ] || fail "no temporary folder in the Wine prefix $WINEPREFIX"

u32() { # file, offset
    od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '
}
# Offset of the certificate-table entry (data-directory entry 4) of a PE32+ image.
certificate_entry() {
    echo $(($(u32 "$1" 60) + 24 + 112 + 4 * 8))
}
sign() { # input, output
    osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -h sha256 \
        -n "Morvane test" -in "$1" -out "$2" >"$work/sign.log" 2>&1 ||
        fail "osslsigncode cannot sign $1: $(cat "$work/sign.log")"
}
verifies() { # file
    local log
    log=$(osslsigncode verify -CAfile "$work/cert.pem" "$1" 2>&1) ||
        fail "$1 does not verify: $log"
    grep -q '^Signature verification: ok' <<<"$log" || fail "$1 does not verify: $log"
}
# Runs a Windows program in a folder; sets status, out (without CR) and err.
start() { # folder, program, arguments...
    local folder=$1
    shift
    status=0
    (cd "$folder" && "${run[@]}" "$@" >"$work/out" 2>"$work/err") || status=$?
    out=$(tr -d '\r' <"$work/out")
    err=$(tr -d '\r' <"$work/err")
}
expect_run() { # what, expected status, expected standard output
    [ "$status" = "$2" ] || fail "$1: exit status $status, not $2; $out $err"
    [ -z "$err" ] || fail "$1: error output: $err"
    local shown
    shown=$(sed 's/^Reading patch file: .*\.tmp$/Reading patch file: <temporary file>/' <<<"$out")
    [ "$shown" = "$3" ] || fail "$1: output differs:"$'\n'"$shown"$'\n'"expected:"$'\n'"$3"
}
# Makes <name> and <name>.new of 4096 bytes that differ in `count` bytes from offset 100.
make_target() { # folder, name, count
    mkdir -p "$1"
    seq 1 2000 >"$1/$2"
    truncate -s 4096 "$1/$2"
    cp "$1/$2" "$1/$2.new"
    head -c "$3" /dev/zero | tr '\0' '#' | dd of="$1/$2.new" bs=1 seek=100 conv=notrunc 2>/dev/null
}

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
    -days 2 -subj "/CN=Morvane test publisher" >/dev/null 2>&1 ||
    fail "openssl cannot make a certificate"
temporary_files_before=$(ls "$temporary" | sort)

# A packaged patch is the program, the patch file and a 4-byte trailer; the program's size is
# a multiple of 512, and the patch file holds 18 bytes and the target's name, then 8 bytes and
# twice the changed bytes: the signer aligns the table with (8 - (patch size + 4) % 8) % 8 zeros.
signed_patch_applies() { # target name, bytes changed, zeros expected before the table
    local name=$1 count=$2 zeros=$3 folder="$work/$1-$2"
    make_target "$folder" "$name" "$count"
    start "$folder" "$program" --original "$name" --patched "$name.new" --patch fix.exe \
        --executable
    [ "$status" = 0 ] || fail "packaging $name: status $status: $err"
    sign "$folder/fix.exe" "$folder/signed.exe"
    verifies "$folder/signed.exe"
    local table
    table=$(u32 "$folder/signed.exe" "$(certificate_entry "$folder/signed.exe")")
    [ $((table - $(stat -c %s "$folder/fix.exe"))) = "$zeros" ] ||
        fail "$name: the signer put $((table - $(stat -c %s "$folder/fix.exe"))) zeros, not $zeros"

    mkdir "$folder/target"
    cp "$folder/$name" "$folder/signed.exe" "$folder/target/"
    local block
    block="@ 00000064 : $(printf '%X' "$count") bytes"
    start "$folder/target" signed.exe
    expect_run "signed patch ($zeros zeros)" 0 "Reading patch file: <temporary file>
Patch for file $name (4096 bytes)
Applying patch:
$block"
    cmp -s "$folder/target/$name" "$folder/$name.new" || fail "$name was not patched"
    start "$folder/target" signed.exe --reverse
    expect_run "signed patch ($zeros zeros) with --reverse" 0 "Reading patch file: <temporary file>
Reversing patch data... DONE
Patch for file $name (4096 bytes)
Applying patch:
$block"
    cmp -s "$folder/target/$name" "$folder/$name" || fail "$name was not restored"
    echo "ok: a signed patch with $zeros zeros of alignment verifies, applies and reverses"
}
signed_patch_applies game.dat 1 0
signed_patch_applies game1.dat 2 5
signed_patch_applies game1.dat 1 7

# A certificate table stretched over a second patch and a trailer, after signing: the patch
# that runs is the signed one, never the one hidden in the table.
le32() { # value
    printf "$(printf '\\%03o\\%03o\\%03o\\%03o' $(($1 & 255)) $(($1 >> 8 & 255)) \
        $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"
}
put32() { # file, offset, value
    le32 "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}
folder="$work/game.dat-1"
cp "$folder/game.dat" "$folder/game.dat.other"
printf 'HIDDEN' | dd of="$folder/game.dat.other" bs=1 seek=2000 conv=notrunc 2>/dev/null
start "$folder" "$program" --original game.dat --patched game.dat.other --patch hidden.pat
[ "$status" = 0 ] || fail "making the hidden patch: status $status: $err"
cp "$folder/signed.exe" "$folder/stretched.exe"
size=$(stat -c %s "$folder/stretched.exe")
cat "$folder/hidden.pat" >>"$folder/stretched.exe"
le32 "$size" >>"$folder/stretched.exe"
entry=$(certificate_entry "$folder/stretched.exe")
table=$(u32 "$folder/stretched.exe" "$entry")
length=$(($(stat -c %s "$folder/stretched.exe") - table))
put32 "$folder/stretched.exe" $((entry + 4)) "$length"
put32 "$folder/stretched.exe" "$table" "$length"
mkdir "$folder/stretched"
cp "$folder/game.dat" "$folder/stretched.exe" "$folder/stretched/"
start "$folder/stretched" stretched.exe
expect_run "signed patch with a stretched certificate table" 0 "Reading patch file: <temporary file>
Patch for file game.dat (4096 bytes)
Applying patch:
@ 00000064 : 1 bytes"
cmp -s "$folder/stretched/game.dat" "$folder/game.dat.new" ||
    fail "a stretched certificate table applied its hidden patch"
echo "ok: a patch hidden in a stretched certificate table is never applied"

# Packaging from a signed morvane.exe.
folder="$work/game.dat-1"
sign "$program" "$work/morvane.exe"
verifies "$work/morvane.exe"
start "$folder" "$work/morvane.exe" --original game.dat --patched game.dat.new \
    --patch from-signed.exe --executable
[ "$status" = 0 ] || fail "packaging with a signed morvane.exe: status $status: $err"
entry=$(certificate_entry "$folder/from-signed.exe")
[ "$(u32 "$folder/from-signed.exe" "$entry")/$(u32 "$folder/from-signed.exe" $((entry + 4)))" = 0/0 ] ||
    fail "the certificate-table entry of a patch packaged by a signed program is not zero"
log=$(osslsigncode verify -CAfile "$work/cert.pem" "$folder/from-signed.exe" 2>&1) &&
    fail "a patch packaged by a signed program verifies: $log"
grep -q '^No signature found' <<<"$log" || fail "no 'No signature found': $log"
! grep -qi 'not at the end' <<<"$log" || fail "a broken signature: $log"
cmp -s "$folder/from-signed.exe" "$folder/fix.exe" ||
    fail "the signed and the unsigned program package the same patch differently"
sign "$folder/from-signed.exe" "$folder/from-signed-signed.exe"
verifies "$folder/from-signed-signed.exe"
mkdir "$folder/again"
cp "$folder/game.dat" "$folder/from-signed-signed.exe" "$folder/again/"
start "$folder/again" from-signed-signed.exe
expect_run "signed patch packaged by a signed program" 0 "Reading patch file: <temporary file>
Patch for file game.dat (4096 bytes)
Applying patch:
@ 00000064 : 1 bytes"
cmp -s "$folder/again/game.dat" "$folder/game.dat.new" || fail "game.dat was not patched"
echo "ok: a signed program packages an unsigned patch, the same as the unsigned program's"

# A signed patch cut short (a cut-off download) is a damaged self-applying patch: status 8, the
# target untouched. A signed morvane.exe, and one whose table was stretched over a hidden patch
# afterwards, carry nothing beyond their image: the plain tool.
for cut in 1 500; do
    mkdir "$folder/cut-$cut"
    cp "$folder/game.dat" "$folder/cut-$cut/"
    head -c $(($(stat -c %s "$folder/signed.exe") - cut)) "$folder/signed.exe" >"$folder/cut-$cut/cut.exe"
    start "$folder/cut-$cut" cut.exe
    [ "$status" = 8 ] && [ -z "$out" ] && [ "$err" = "Error: Not a valid patch file" ] ||
        fail "a signed patch cut by $cut bytes: status $status; $out $err"
    cmp -s "$folder/cut-$cut/game.dat" "$folder/game.dat" || fail "a cut signed patch changed game.dat"
done
echo "ok: a signed patch cut by 1 or 500 bytes fails with status 8 and changes nothing"
usage=$(tr -d '\r' <<<"$("${run[@]}" "$program" --help)")
cp "$work/morvane.exe" "$work/hiding.exe"
size=$(stat -c %s "$work/hiding.exe")
cat "$folder/hidden.pat" >>"$work/hiding.exe"
le32 "$size" >>"$work/hiding.exe"
entry=$(certificate_entry "$work/hiding.exe")
table=$(u32 "$work/hiding.exe" "$entry")
put32 "$work/hiding.exe" $((entry + 4)) $(($(stat -c %s "$work/hiding.exe") - table))
for signed in morvane.exe hiding.exe; do
    mkdir "$folder/plain-$signed"
    cp "$folder/game.dat" "$work/$signed" "$folder/plain-$signed/"
    start "$folder/plain-$signed" "$signed"
    expect_run "signed $signed without arguments" 0 "$usage"
    cmp -s "$folder/plain-$signed/game.dat" "$folder/game.dat" || fail "$signed changed game.dat"
done
echo "ok: a signed program is the plain tool, also with a patch hidden in a stretched table"

# The same inputs packaged twice give the same bytes.
start "$folder" "$program" --original game.dat --patched game.dat.new --patch twice.exe \
    --executable
cmp -s "$folder/twice.exe" "$folder/fix.exe" || fail "packaging twice gives different bytes"
echo "ok: packaging the same inputs twice gives the same bytes"

[ "$(ls "$temporary" | sort)" = "$temporary_files_before" ] ||
    fail "temporary files were left in $temporary"
echo "ok: no temporary file left"
