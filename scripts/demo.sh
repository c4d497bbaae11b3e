#!/usr/bin/env bash
# Builds a launcher file from demo/sample with the packer and runs it under
# Wine as a deployment tool would, then shows what happened: the entry's
# output, the launcher's exit code, its log, and that no work folder is left.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build
demo=$build/demo
mkdir -p "$demo"

export KESTO_WINE_DIR=$demo/wine
export KESTO_EXPAND_EXE=$top/dist/wine/expand.exe
wine_env=$top/tests/harness/wine-env.sh
trap '"$wine_env" stop' EXIT
"$wine_env" start

# Beside the sample's files, an "installer" of 24 MiB of random bytes: a
# package of the size vendors ship.
mkdir -p "$demo/payload"
head -c $((24 << 20)) /dev/urandom >"$demo/payload/installer.bin"
echo "== Packing demo/sample and a 24 MiB installer.bin into $demo/sample-package.exe"
"$top/dist/bin/kesto-pack" build --stub "$top/dist/x64/kesto.exe" --out "$demo/sample-package.exe" \
  "$top/demo/sample" "$demo/payload"
echo
echo "== What the package holds (kesto-pack inspect)"
"$top/dist/bin/kesto-pack" inspect "$demo/sample-package.exe"

drive_c=$KESTO_WINE_DIR/prefix/drive_c
rm -rf "$drive_c/kesto-demo"
mkdir -p "$drive_c/kesto-demo"
command_line='"Z:'"${demo//\//\\}"'\sample-package.exe" /LOG:C:\kesto-demo\run "first argument" second'
echo
echo "== Running: $command_line"
code=$("$wine_env" run "$top/dist/wine/kesto-run-hidden.exe" "$command_line" | tr -d '\r')

echo
echo "== What the entry wrote (C:\\kesto-demo\\output.txt)"
iconv -f WINDOWS-1252 -t UTF-8 "$drive_c/kesto-demo/output.txt" | tr -d '\r'
echo
echo "== The launcher's exit code: $code"
echo "   (the entry's own: demo/sample/setup.bat ends with \"exit /b 3\", and the launcher ends with its entry's code)"
echo
echo "== Its log (C:\\kesto-demo\\run-sfxlog.log)"
iconv -f UTF-16 -t UTF-8 "$drive_c/kesto-demo/run-sfxlog.log" | tr -d '\r'
echo
left=$(find "$drive_c/users" -maxdepth 3 -name 'QzEXF*' 2>/dev/null | wc -l)
echo "== Work folders left under the temporary path: $left"

echo
command_line='"Z:'"${demo//\//\\}"'\sample-package.exe" /ExtractOnlyMode:C:\kesto-demo\unpacked'
echo "== Extracting only: $command_line"
code=$("$wine_env" run "$top/dist/wine/kesto-run-hidden.exe" "$command_line" | tr -d '\r')
echo "exit code $code; installer.bin unpacked byte for byte: $(cmp -s "$demo/payload/installer.bin" \
  "$drive_c/kesto-demo/unpacked/installer.bin" && echo yes || echo NO)"
