#!/usr/bin/env bash
# Packages that carry their vendor's icon and version (build --icon,
# --version, --info), the x64 stub's built by the Linux packer:
#   - Windows' own calls under Wine (identity_probe: GetFileVersionInfoW,
#     VerQueryValueW, ExtractIconExW, LoadImageW) read every number and
#     string, non-ASCII included, and the icon at each size packed;
#   - python3-pefile (pe_identity.py) reads the same resources as inspect
#     --json, the stub's manifest kept, and confirms the PE checksum, the
#     image's size and alignment and the hardening flags;
#   - the package runs end to end (the entry's exit code, extract-only) with
#     its digest checked, and again once signed by osslsigncode, which
#     verifies it;
#   - two builds, a build from the ready cabinet (--cab) and the Windows
#     packer's (--store) give the same bytes; without the options the stub's
#     image is written unchanged;
#   - the release stub (when built) takes the identity too; it runs in the
#     32-bit VM suite only.
#
# Environment (set by CTest): KESTO_WINE_RUN, KESTO_PACK, KESTO_PACK_WIN,
# KESTO_STUB, KESTO_RELEASE_STUB, KESTO_RUNEXIT, KESTO_PROBE, KESTO_TEST_TMP.
set -euo pipefail

work=$KESTO_TEST_TMP/pack-identity
rm -rf "$work" && mkdir -p "$work"
source "$(dirname "$0")/../harness/checks.sh"
reader=$(dirname "$0")/pe_identity.py  # Debian's python3 with python3-pefile
pefile_says() { /usr/bin/python3 "$reader" read "$1" | /usr/bin/python3 -c "import json, sys; print(json.dumps(eval(sys.argv[1], {}, json.load(sys.stdin)), ensure_ascii=False, sort_keys=True))" "$2"; }
inspect_says() { "$KESTO_PACK" inspect --json "$1" 2>/dev/null | /usr/bin/python3 -c "import json, sys; print(json.dumps(eval(sys.argv[1], {}, json.load(sys.stdin)), ensure_ascii=False, sort_keys=True))" "$2"; }
listing() { (cd "$1" && find . -type f ! -name MyData.cab -exec md5sum {} + | sort -k2); }

/usr/bin/python3 "$reader" icon "$work/app.ico"
mkdir -p "$work/src/docs"
printf '@exit /b 7\r\n' >"$work/src/setup.cmd"
head -c 300000 /dev/urandom >"$work/src/docs/data.bin"
export SOURCE_DATE_EPOCH=1700000000
identity=(--icon "$work/app.ico" --version 2.5.1.300
  --info "ProductName=Prodüct ✓ 製品" --info "CompanyName=ACME Ünïted GmbH" --info "FileDescription=ACME Updäter"
  --info "LegalCopyright=© 2026 ACME" --info "LegalTrademarks=ACME™" --info "InternalName=update"
  --info "Comments=Grüße, 😀" --info "ProductVersion=2.5 (build 300)")
build() { "$KESTO_PACK" build --stub "$KESTO_STUB" "$@" >/dev/null; }
build --out "$work/update.exe" "${identity[@]}" "$work/src"

# Windows' calls, under Wine.
probe=$(wine_run "$KESTO_PROBE" "$(winpath "$work/update.exe")" 16 24 32 48 256)
expect_eq "Windows reads the numbers, the table and every string" "$(grep -v '^icons\|^extracted\|^size' <<<"$probe")" \
"numbers 2.5.1.300 2.5.1.300
translation 0409 04B0
Comments=Grüße, 😀
CompanyName=ACME Ünïted GmbH
FileDescription=ACME Updäter
FileVersion=2.5.1.300
InternalName=update
LegalCopyright=© 2026 ACME
LegalTrademarks=ACME™
OriginalFilename=update.exe
ProductName=Prodüct ✓ 製品
ProductVersion=2.5 (build 300)"
expect_eq "ExtractIconExW finds one icon, large and small" "$(grep '^icons\|^extracted' <<<"$probe")" \
"icons 1
extracted 32x32 16x16"
# The images are numbered in the file's order: 16, 24, 32, 48, 256.
expect_eq "LoadImageW finds the icon at each size packed" "$(grep '^size' <<<"$probe")" \
"size 16: image 1, 16x16
size 24: image 2, 24x24
size 32: image 3, 32x32
size 48: image 4, 48x48
size 256: image 5, 256x256"

# python3-pefile, against inspect --json and the stub.
expect_eq "pefile reads what inspect shows" "$(pefile_says "$work/update.exe" \
  "{k: v for k, v in identity.items() if k in ('file_version', 'product_version', 'strings', 'icon')}")" \
  "$(inspect_says "$work/update.exe" identity)"
expect_eq "pefile: the string table and translation" "$(pefile_says "$work/update.exe" \
  "[identity['string_table'], identity['translation']]")" '["040904B0", {"Translation": "0x0409 0x04b0"}]'
expect_eq "pefile: the icons, the group, the version and the stub's manifest" "$(pefile_says "$work/update.exe" \
  "[r[:3] for r in resources]")" \
  "[[3, 1, 1033], [3, 2, 1033], [3, 3, 1033], [3, 4, 1033], [3, 5, 1033], [14, 1, 1033], [16, 1, 1033], [24, 1, 1033]]"
expect_eq "pefile: the manifest as the stub has it" "$(pefile_says "$work/update.exe" "[r for r in resources if r[0] == 24]")" \
  "$(pefile_says "$KESTO_STUB" "resources")"
expect_eq "pefile: the PE checksum over the whole package" "$(pefile_says "$work/update.exe" "checksum[0] == checksum[1]")" true
expect_eq "pefile: image size, alignment, no warnings" "$(pefile_says "$work/update.exe" \
  "[size_of_image_matches, sections_aligned, warnings]")" "[true, true, []]"
expect_eq "pefile: the hardening flags and characteristics kept" "$(pefile_says "$work/update.exe" \
  "[dll_characteristics, characteristics]")" "$(pefile_says "$KESTO_STUB" "[dll_characteristics, characteristics]")"
inspected=$("$KESTO_PACK" inspect "$work/update.exe" 2>&1)
expect_in "inspect: the numbers" "$inspected" "version:   file 2.5.1.300, product 2.5.1.300"
expect_in "inspect: a string" "$inspected" "ProductName: Prodüct ✓ 製品"
expect_in "inspect: the icon" "$inspected" "icon:      16x16 8-bit, 24x24 4-bit, 32x32 24-bit, 48x48 32-bit, 256x256 32-bit PNG"

# End to end: the launcher checks the digest as it copies (a mismatch ends
# the run with 141950981), expands and starts the entry.
expect_eq "the branded package runs its entry" "$(run_package "$work/update.exe")" 7
expect_eq "extract-only run" "$(run_package "$work/update.exe" "/ExtractOnlyMode:$(winpath "$work/expanded")")" 0
expect_eq "extract-only: the files as packed" "$(listing "$work/expanded")" "$(listing "$work/src")"

# Signed afterwards: osslsigncode signs and verifies it, and it still runs.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=kesto test signer" 2>/dev/null
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "ACME Updäter" \
  -in "$work/update.exe" -out "$work/signed.exe" >/dev/null
verified=$(osslsigncode verify -CAfile "$work/cert.pem" -in "$work/signed.exe" 2>&1) && status=0 || status=$?
expect_eq "osslsigncode verifies the signed package" "$status" 0
expect_in "osslsigncode: the signature holds" "$verified" "Signature verification: ok"
expect_eq "signed: runs its entry" "$(run_package "$work/signed.exe")" 7
expect_eq "signed: the checksum still holds" "$(pefile_says "$work/signed.exe" "checksum[0] == checksum[1]")" true
expect_in "signed: inspect still shows the identity" "$("$KESTO_PACK" inspect "$work/signed.exe" 2>&1)" \
  "ProductName: Prodüct ✓ 製品"

# The same bytes: twice; from the ready cabinet; by the Windows packer.
# Each under the same name, which is the default OriginalFilename.
mkdir -p "$work/again" "$work/from-cab" "$work/stored" "$work/stored-win"
build --out "$work/again/update.exe" "${identity[@]}" "$work/src"
cmp -s "$work/update.exe" "$work/again/update.exe" && echo "ok: two builds give the same bytes" || fail "two builds differ"
payload=$(inspect_says "$work/update.exe" "layout['payload_offset']")
tail -c +$((payload + 1)) "$work/update.exe" | perl -0777 -pe '$_ = ~$_' >"$work/update.cab"
build --out "$work/from-cab/update.exe" "${identity[@]}" --cab "$work/update.cab"
cmp -s "$work/update.exe" "$work/from-cab/update.exe" && echo "ok: --cab gives the same bytes" || fail "--cab differs"
build --store --out "$work/stored/update.exe" "${identity[@]}" "$work/src"
wine_run "$KESTO_PACK_WIN" build --store --stub "$(winpath "$KESTO_STUB")" --out "$(winpath "$work/stored-win/update.exe")" \
  --icon "$(winpath "$work/app.ico")" "${identity[@]:2}" "$(winpath "$work/src")" >/dev/null
cmp -s "$work/stored/update.exe" "$work/stored-win/update.exe" && echo "ok: --store: both packers give the same bytes" ||
  fail "--store: the packers differ"
expect_eq "stored: runs its entry" "$(run_package "$work/stored/update.exe")" 7

# Without the options the stub's image is written as it is, checksum included.
build --out "$work/plain.exe" "$work/src"
cmp -s -n "$(stat -c %s "$KESTO_STUB")" "$KESTO_STUB" "$work/plain.exe" && echo "ok: unbranded: the stub's image unchanged" ||
  fail "unbranded: the stub's image changed"
expect_eq "unbranded: inspect shows no identity" "$(inspect_says "$work/plain.exe" identity)" null

# kesto_add_package's ICON, VERSION and INFO, with this build's packer and x64 stub.
mkdir -p "$work/consumer"
cp "$work/app.ico" "$work/src/setup.cmd" "$work/consumer/"
cat >"$work/consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(identity NONE)
add_executable(Kesto::kesto-pack IMPORTED)
set_target_properties(Kesto::kesto-pack PROPERTIES IMPORTED_LOCATION "$KESTO_PACK")
set(KESTO_STUB_X64 "$KESTO_STUB")
include("$(cd "$(dirname "$0")/../.." && pwd)/cmake/Kesto/KestoAddPackage.cmake")
kesto_add_package(update OUTPUT update.exe SOURCES setup.cmd ENTRY setup.cmd STUB x64
  ICON app.ico VERSION 3.1 INFO "ProductName=Prodüct ✓" "CompanyName=ACME")
CMAKE
cmake -S "$work/consumer" -B "$work/consumer/build" -G Ninja >"$work/consumer.log" 2>&1 &&
  cmake --build "$work/consumer/build" >>"$work/consumer.log" 2>&1 || { fail "kesto_add_package did not build"; cat "$work/consumer.log"; }
expect_eq "kesto_add_package: ICON, VERSION and INFO" "$(inspect_says "$work/consumer/build/update.exe" \
  "[identity['file_version'], identity['strings'], len(identity['icon'])]")" \
  '["3.1.0.0", {"CompanyName": "ACME", "FileVersion": "3.1", "OriginalFilename": "update.exe", "ProductName": "Prodüct ✓", "ProductVersion": "3.1"}, 5]'

# An icon whose bytes hold the marker: the launcher would take its payload
# from there. Refused, nothing written.
/usr/bin/python3 - "$work/app.ico" "$work/marked.ico" <<'PYTHON'
import struct, sys
icon = bytearray(open(sys.argv[1], 'rb').read())
count = struct.unpack_from('<H', icon, 4)[0]
entry = 6 + 16 * (count - 1)  # the last image, which ends the file: it grows by the marker
struct.pack_into('<I', icon, entry + 8, struct.unpack_from('<I', icon, entry + 8)[0] + 10)
open(sys.argv[2], 'wb').write(icon + b'Kest' + b'oBin' + b'ay')
PYTHON
refused=$("$KESTO_PACK" build --stub "$KESTO_STUB" --out "$work/marked.exe" --icon "$work/marked.ico" "$work/src" 2>&1) &&
  status=0 || status=$?
expect_eq "an icon holding the marker: refused" "$status" 1
expect_in "an icon holding the marker: named" "$refused" "marked.ico: the stub with its resources holds the marker itself"
[ -e "$work/marked.exe" ] && fail "marked.exe written" || echo "ok: an icon holding the marker: nothing written"

# The release stub (PE32) takes it too.
if [ -f "$KESTO_RELEASE_STUB" ]; then
  "$KESTO_PACK" build --stub "$KESTO_RELEASE_STUB" --out "$work/release.exe" "${identity[@]}" "$work/src" >/dev/null
  expect_eq "release stub: pefile reads what inspect shows" "$(pefile_says "$work/release.exe" \
    "{k: v for k, v in identity.items() if k in ('file_version', 'product_version', 'strings', 'icon')}")" \
    "$(inspect_says "$work/release.exe" identity)"
  expect_eq "release stub: checksum, size, alignment, flags" "$(pefile_says "$work/release.exe" \
    "[checksum[0] == checksum[1], size_of_image_matches, sections_aligned, warnings, dll_characteristics]")" \
    "$(pefile_says "$KESTO_RELEASE_STUB" "[True, size_of_image_matches, sections_aligned, warnings, dll_characteristics]")"
else
  echo "skipped: no release stub at $KESTO_RELEASE_STUB (make x86)"
fi

find "$work" -name '*kesto-pack-*' -o -name '*.tmp-*' | grep -q . && fail "temporary files left in $work" || echo "ok: nothing left behind"
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed; the files are in $work"; exit 1; }
rm -rf "$work"
