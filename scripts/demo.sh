#!/usr/bin/env bash
# Builds a launcher file from demo/sample with the packer and runs it under
# Wine as a deployment tool would (kesto-pack try), then shows what happened:
# the entry's output, the launcher's exit code and why it is 3, its log, and
# that no work folder is left; then an extract-only run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
demo=$top/build/demo
pack=$top/dist/bin/kesto-pack
prefix=$demo/wine  # the demo's own Wine prefix, made by the first run
mkdir -p "$demo"

# Beside the sample's files, an "installer" of 24 MiB of random bytes: a
# package of the size vendors ship.
mkdir -p "$demo/payload"
head -c $((24 << 20)) /dev/urandom >"$demo/payload/installer.bin"
echo "== Packing demo/sample and a 24 MiB installer.bin into $demo/sample-package.exe"
"$pack" build --stub "$top/dist/x64/kesto.exe" --out "$demo/sample-package.exe" "$top/demo/sample" "$demo/payload"
echo
echo "== What the package holds (kesto-pack inspect)"
"$pack" inspect "$demo/sample-package.exe"

# The sample's entry writes C:\kesto-demo\output.txt.
drive_c=$prefix/drive_c
rm -rf "$drive_c/kesto-demo"
mkdir -p "$drive_c/kesto-demo"
echo
echo "== Running it hidden under Wine: kesto-pack try --expect 3 sample-package.exe '\"first argument\"' second"
"$pack" try --prefix "$prefix" --expect 3 "$demo/sample-package.exe" '"first argument"' second
echo
echo "== Why 3: demo/sample/setup.bat ends with \"exit /b 3\", and a launcher ends with its entry's exit code"
echo
echo "== What the entry wrote (C:\\kesto-demo\\output.txt)"
iconv -f WINDOWS-1252 -t UTF-8 "$drive_c/kesto-demo/output.txt" | tr -d '\r'

echo
echo "== Extracting only: kesto-pack try --expect 0 sample-package.exe '/ExtractOnlyMode:C:\\kesto-demo\\unpacked'"
"$pack" try --prefix "$prefix" --expect 0 "$demo/sample-package.exe" '/ExtractOnlyMode:C:\kesto-demo\unpacked'
echo "installer.bin unpacked byte for byte: $(cmp -s "$demo/payload/installer.bin" \
  "$drive_c/kesto-demo/unpacked/installer.bin" && echo yes || echo NO)"
