#!/usr/bin/env bash
# Makes the seed corpus in fuzz/corpus/ with the morvane program itself:
#   fuzz/make_corpus.sh path/to/morvane
# apply_patch and patch_reader get patches made from small files (the 64-byte target.bin that
# the apply_patch harness works on); embedded_patch gets packaged images (a small stand-in for
# the executable, one of those patches, the trailer), signed ones and ones with hostile PE
# headers; command_line gets argument vectors.
set -euo pipefail
morvane=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
corpus=$here/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export TMPDIR=$work
unset DISPLAY WAYLAND_DISPLAY

# The harness's target: byte i is (i * 37 + 11) mod 256.
python3 - <<'PY'
target = bytes((i * 37 + 11) & 0xFF for i in range(64))
open("target.bin", "wb").write(target)

def changed(*offsets, size=64):
    data = bytearray(target[:size]) + bytearray(max(0, size - 64))
    for offset in offsets:
        data[offset] ^= 0x5A
    return bytes(data)

variants = {
    "first-byte": changed(0),
    "last-byte": changed(63),
    "gap-7": changed(10, 18),
    "gap-8": changed(10, 19),
    "many": changed(1, 2, 3, 20, 40, 41, 50, 62),
}
for name, data in variants.items():
    open(name + ".bin", "wb").write(data)
open("message.txt", "wb").write(b"Read me first.\r\nSecond line\x00with a zero.\n")
PY

mkdir -p "$corpus"/{apply_patch,patch_reader,embedded_patch,command_line}
make_patch() { # name, patched file, extra arguments
    local name=$1 patched=$2
    shift 2
    "$morvane" --original target.bin --patched "$patched" --patch "$name.pat" "$@" >/dev/null
    cp "$name.pat" "$corpus/apply_patch/$name.pat"
    cp "$name.pat" "$corpus/patch_reader/$name.pat"
}
for variant in first-byte last-byte gap-7 gap-8 many; do
    make_patch "$variant" "$variant.bin"
done
make_patch with-message many.bin --message message.txt
# Made in the other direction: applies forward only after a reversal.
mv target.bin plain.bin && cp gap-8.bin target.bin
"$morvane" --original target.bin --patched plain.bin --patch undo.pat >/dev/null
cp undo.pat "$corpus/apply_patch/undo.pat"
mv plain.bin target.bin
# Cut off inside the last record, and the bare magic.
head -c -1 many.pat >"$corpus/apply_patch/cut-short.pat"
cp "$corpus/apply_patch/cut-short.pat" "$corpus/patch_reader/cut-short.pat"
printf 'PATCH1' >"$corpus/patch_reader/magic-only.pat"

# The same patches in the second format: 64-bit size, offsets and lengths, the end record
# and the XXH3-64 checksum, from xxHash's header (libxxhash-dev).
printf '#define XXH_INLINE_ALL\n#include <xxhash.h>\n#include <stdio.h>\n
int main(void) { static unsigned char b[1 << 20]; size_t n = fread(b, 1, sizeof b, stdin);
unsigned long long h = XXH3_64bits(b, n); fwrite(&h, 8, 1, stdout); return 0; }\n' >xxh3.c
cc -O1 -o xxh3 xxh3.c
python3 - "$corpus" <<'PY'
import struct, subprocess, sys
out = sys.argv[1]
def large(small, damage=None):
    at = 6
    name_length = struct.unpack_from("<I", small, at)[0]
    at += 4 + name_length
    head = b"PATCH2" + small[6:at] + struct.pack("<Q", struct.unpack_from("<I", small, at)[0])
    at += 4
    message_length = struct.unpack_from("<I", small, at)[0]
    head += small[at:at + 4 + message_length]
    at += 4 + message_length
    while at < len(small):
        offset, length = struct.unpack_from("<II", small, at)
        head += struct.pack("<QQ", offset, length) + small[at + 8:at + 8 + 2 * length]
        at += 8 + 2 * length
    head += struct.pack("<QQ", 2**64 - 1, 0)
    if damage == "no-end":
        head = head[:-16]
    checksum = subprocess.run(["./xxh3"], input=head, capture_output=True, check=True).stdout
    if damage == "bad-checksum":
        checksum = bytes([checksum[0] ^ 1]) + checksum[1:]
    return head + checksum + (b"\0" if damage == "trailing" else b"")
for name in ("many", "with-message", "gap-8"):
    small = open(name + ".pat", "rb").read()
    for harness in ("apply_patch", "patch_reader"):
        open(f"{out}/{harness}/large-{name}.pat", "wb").write(large(small))
undo = open("undo.pat", "rb").read()
open(f"{out}/apply_patch/large-undo.pat", "wb").write(large(undo))
many = open("many.pat", "rb").read()
for damage in ("no-end", "bad-checksum", "trailing"):
    open(f"{out}/patch_reader/large-{damage}.pat", "wb").write(large(many, damage))
PY

# Packaged images: stand-in executable, patch, 4-byte trailer with the stand-in's size.
python3 - "$corpus/embedded_patch" <<'PY'
import struct, sys
out = sys.argv[1]
stand_in = b"\x7fELF\x02\x01\x01" + bytes(range(9, 256)) + b"#!stand-in\n"
patch = open("with-message.pat", "rb").read()
small = open("first-byte.pat", "rb").read()
def write(name, data):
    open(f"{out}/{name}", "wb").write(data)
write("packaged", stand_in + patch + struct.pack("<I", len(stand_in)))
write("packaged-small", stand_in[:16] + small + struct.pack("<I", 16))
write("plain", stand_in + b"\0\0\0\0")
write("trailer-at-end", stand_in + struct.pack("<I", len(stand_in)))
write("lower-case-magic", stand_in + b"patch1" + patch[6:] + struct.pack("<I", len(stand_in)))
write("trailer-too-far", stand_in + patch + struct.pack("<I", 0xFFFF))
write("twice-packaged", stand_in + small + struct.pack("<I", len(stand_in)) + small +
      struct.pack("<I", len(stand_in) + len(small) + 4))
PY

# Signed images: a small PE32+ (or PE32) header as the stand-in executable, a patch, the
# trailer, zero bytes of alignment, and a certificate table that data-directory entry 4 points
# at; then the same with hostile values in the headers.
python3 - "$corpus/embedded_patch" <<'PY'
import struct, sys
out = sys.argv[1]
patch = open("first-byte.pat", "rb").read()

def pe_image(plus=True, entries=16):
    directory = 112 if plus else 96
    optional_size = directory + 16 * 8
    image = bytearray(512)
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 0x3C, 0x40)
    image[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HH", image, 0x44, 0x8664 if plus else 0x14C, 0)
    struct.pack_into("<H", image, 0x54, optional_size)
    struct.pack_into("<H", image, 0x58, 0x20B if plus else 0x10B)
    struct.pack_into("<I", image, 0x58 + directory - 4, entries)
    return image, 0x58 + directory + 4 * 8

def signed(zeros=0, plus=True, table=24, entries=16, start=None, size=None):
    image, entry = pe_image(plus, entries)
    body = bytes(image) + patch + struct.pack("<I", len(image))
    begin = len(body) + zeros
    data = bytearray(body + bytes(zeros) + struct.pack("<I", table) + b"\x30" * (table - 4))
    struct.pack_into("<II", data, entry, begin if start is None else start,
                     table if size is None else size)
    return data, entry, len(body) - 4

def write(name, data):
    open(f"{out}/{name}", "wb").write(bytes(data))

for zeros in (0, 3, 7):
    write(f"signed-{zeros}-zeros", signed(zeros)[0])
write("signed-pe32", signed(5, plus=False)[0])
write("signed-8-zeros", signed(8)[0])
data, entry, trailer = signed(4)
total = len(data)
write("cert-outside-file", signed(4, start=total + 8, size=8)[0])
write("cert-past-end", signed(4, size=total)[0])
write("cert-overlapping-trailer", signed(4, start=trailer + 2, size=total - trailer - 2)[0])
write("cert-huge-size", signed(4, start=8, size=0xFFFFFFFF)[0])
write("cert-wrapping", signed(4, start=0xFFFFFFF0, size=total + 0x10)[0])
write("four-directory-entries", signed(4, entries=4)[0])
bad = bytearray(data)
struct.pack_into("<H", bad, 0x54, 0xFFFF)
write("optional-header-past-end", bad)
bad = bytearray(data)
struct.pack_into("<I", bad, 0x3C, total - 2)
write("pe-header-past-end", bad)
PY

# Argument vectors: first byte 0 for a plain run, 1 for a run with an embedded patch; the
# arguments after the program's name are separated by NUL bytes.
args() { # name, flag, arguments...
    local name=$1 flag=$2
    shift 2
    {
        printf "\\x0$flag"
        local first=1
        for argument in "$@"; do
            [ $first = 1 ] || printf '\0'
            printf '%s' "$argument"
            first=0
        done
    } >"$corpus/command_line/$name"
}
args empty 0
args help 0 --help
args apply 0 --patch fix.pat --reverse
args create 0 --original a.bin --patched b.bin --patch fix.pat --message m.txt
args package 0 --original a.bin --patched b.bin --patch fix.exe --executable
args missing-value 0 --original a.bin --patched b.bin --patch
args help-as-value 0 --patch --help
args empty-value 0 --original '' --patched b.bin --patch p
args embedded 1 --help --original x --reverse
args embedded-bare 1
