#!/usr/bin/env bash
# Packages made by kesto-pack, run by the real stub under Wine:
#   entry   the entry the packer names is the one the launcher starts, for
#           folders with several candidates of a kind
#   tree    subfolders, blanks, names outside ASCII and deep paths survive
#           packing, expansion and extraction; a package signed afterwards
#           still runs and inspect reports its signature
#   windows the Windows packer under Wine builds, inspects (text and JSON)
#           and extracts a package that the stub then runs; refuses to build
#           two names that Windows takes for one
#   sizes   the Windows packer's packages of 3 MiB, 40 MiB stored and 70 MiB
#           read back whole by cabextract, by its own extract and by xxhsum;
#           names Windows cannot hold or takes for one refused by its inspect
#           and extract; a late refusal of its extract leaves no folder it made
#
#   pack_wine_test.sh entry|tree|windows|sizes
#
# Environment (set by CTest): KESTO_WINE_RUN, KESTO_PACK (Linux packer),
# KESTO_PACK_WIN (Windows packer), KESTO_STUB, KESTO_RUNEXIT, KESTO_RECORDER,
# KESTO_TEST_TMP.
set -euo pipefail

work=$KESTO_TEST_TMP/pack-$1
rm -rf "$work" && mkdir -p "$work"
source "$(dirname "$0")/../harness/checks.sh"
# Files below a folder, one "path size sum" line each.
listing() { (cd "$1" && find . -type f ! -name MyData.cab -exec md5sum {} + | sort -k2); }
# A field of the Linux packer's inspect --json of a package ("layout.payload_offset").
inspected() { "$KESTO_PACK" inspect --json "$1" 2>/dev/null | python3 -c \
  'import json, sys; value = json.load(sys.stdin); [value := value[key] for key in sys.argv[1].split(".")]; print(value)' "$2"; }
# The cabinet of a package, restored: the bytes behind the marker, complemented.
restore_cabinet() { tail -c +$(($(inspected "$1" layout.payload_offset) + 1)) "$1" | perl -0777 -pe '$_ = ~$_' >"$2"; }
# The digest in the record before the marker, as xxhsum prints it.
record_digest() { inspected "$1" digest.value; }

case $1 in
entry)
  # Each candidate ends with its own code, so the exit code names the file
  # that ran. A program is the recorder with a configuration beside it.
  declare -A name_of
  make_folder() {
    local label=$1 folder=$work/$1 code=40 name
    shift
    mkdir -p "$folder"
    for name in "$@"; do
      code=$((code + 1))
      case ${name,,} in
        *.exe) cp "$KESTO_RECORDER" "$folder/$name"
               printf 'recorded.txt\r\n%d\r\n' $code >"$folder/${name%.*}.cfg" ;;
        *) printf '@exit /b %d\r\n' $code >"$folder/$name" ;;
      esac
      name_of[$label:$code]=$name
    done
  }
  make_folder order zeta.bat _under.bat Beta.bat alpha.bat b2.bat
  make_folder prefix aa.bat a.bat
  make_folder letters Ärger.bat zulu.bat
  make_folder scripts vcredist.exe install.cmd Setup.CMD
  make_folder programs vcredist.exe setup.exe Install.exe
  make_folder shortname zz.bat setup.batch
  for folder in order prefix letters scripts programs shortname; do
    output=$("$KESTO_PACK" build --store --stub "$KESTO_STUB" --out "$work/$folder.exe" "$work/$folder" 2>&1)
    predicted=$(sed -n 's/^entry: \([^ ]*\) (.*/\1/p' <<<"$output")
    code=$(run_package "$work/$folder.exe")
    # setup.batch matches *.bat through its short name (Wine makes short
    # names too), and no program is registered for ".batch": the launcher
    # picks it and fails to start it (0x08760008).
    started=${name_of[$folder:$code]:-code $code}
    [ "$code" = 141950984 ] && started=setup.batch
    expect_eq "$folder: the packer's entry is the one the launcher started" "$predicted" "$started"
  done
  expect_in "shortname: warned" "$("$KESTO_PACK" inspect "$work/shortname.exe" 2>&1)" \
    "elsewhere zz.bat"
  ;;

tree)
  src=$work/src
  mkdir -p "$src/données/sous dossier/a/b/c/d/e f/g" "$src/with blank" "$src/日本"
  printf '@exit /b 5\r\n' >"$src/setup.bat"
  head -c 300000 /dev/urandom >"$src/données/sous dossier/a/b/c/d/e f/g/déjà vu.bin"
  echo text >"$src/with blank/read me.txt"
  echo kanji >"$src/日本/ファイル.txt"
  : >"$src/empty.txt"
  "$KESTO_PACK" build --stub "$KESTO_STUB" --out "$work/tree.exe" "$src" >/dev/null

  expect_eq "tree: extract-only run" "$(run_package "$work/tree.exe" "/ExtractOnlyMode:$(winpath "$work/expanded")")" 0
  expect_eq "tree: expanded by the launcher as packed" "$(listing "$work/expanded")" "$(listing "$src")"
  expect_eq "tree: a normal run ends with the entry's code" "$(run_package "$work/tree.exe")" 5

  # Signed afterwards with a throwaway certificate: the certificate table
  # goes behind the cabinet, where the expansion ignores it.
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/CN=kesto test signer" 2>/dev/null
  osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "kesto test" \
    -in "$work/tree.exe" -out "$work/signed.exe" >/dev/null
  expect_eq "signed: still runs" "$(run_package "$work/signed.exe")" 5
  inspected=$("$KESTO_PACK" inspect "$work/signed.exe" 2>&1) && status=0 || status=$?
  expect_eq "signed: inspect succeeds" "$status" 0
  expect_in "signed: inspect reports the signature" "$inspected" "signature: a certificate table of"
  "$KESTO_PACK" extract "$work/signed.exe" "$work/extracted" >/dev/null
  expect_eq "signed: extract gives the tree" "$(listing "$work/extracted")" "$(listing "$src")"
  ;;

windows)
  src=$work/src
  mkdir -p "$src/sub folder/ünï"
  printf '@exit /b 6\r\n' >"$src/install.cmd"
  cp "$KESTO_RECORDER" "$src/setup.exe"
  echo data >"$src/sub folder/ünï/data.txt"
  head -c 200000 /dev/urandom >"$src/sub folder/random.bin"
  pack() { wine_run "$KESTO_PACK_WIN" "$@"; }
  # Twice to the same name: the second replaces the first.
  pack build --stub "$(winpath "$KESTO_STUB")" --out "$(winpath "$work/win.exe")" "$(winpath "$src")" >/dev/null
  built=$(pack build --entry install.cmd --stub "$(winpath "$KESTO_STUB")" --out "$(winpath "$work/win.exe")" "$(winpath "$src")")
  expect_in "windows packer: build names the entry" "$built" "entry: install.cmd (the first *.cmd"
  expect_in "windows packer: warns about the program not started" "$built" "setup.exe is not started"
  inspected=$(pack inspect "$(winpath "$work/win.exe")")
  expect_in "windows packer: inspect" "$inspected" "cabinet:   "
  expect_in "windows packer: inspect lists the files" "$inspected" "sub folder\\ünï\\data.txt"
  expect_in "linux packer reads it too" "$("$KESTO_PACK" inspect "$work/win.exe" 2>&1)" "4 files"
  # inspect --json (stdout alone): every file's SHA-256 (CNG) as sha256sum gives it.
  hashes=$("$KESTO_WINE_RUN" "$KESTO_PACK_WIN" inspect --json "$(winpath "$work/win.exe")" 2>/dev/null | python3 -c \
    'import json, sys; [print(f["sha256"] + "  " + f["name"].replace("\\", "/")) for f in json.load(sys.stdin)["files"]]')
  expect_eq "windows packer: inspect --json hashes as sha256sum" "$(sort -k2 <<<"$hashes")" \
    "$(cd "$src" && find . -type f -printf '%P\0' | xargs -0 sha256sum | sort -k2)"
  pack extract "$(winpath "$work/win.exe")" "$(winpath "$work/extracted")" >/dev/null
  expect_eq "windows packer: extract gives the tree" "$(listing "$work/extracted")" "$(listing "$src")"
  expect_eq "windows packer: the stub runs its package" "$(run_package "$work/win.exe")" 6
  # Two names that Windows takes for one, in a folder: refused by name.
  mkdir -p "$work/pair/sub" && echo x >"$work/pair/sub/Ⓡun.cmd" && echo y >"$work/pair/sub/ⓡun.cmd"
  refused=$(pack build --stub "$(winpath "$KESTO_STUB")" --out "$(winpath "$work/pair.exe")" "$(winpath "$work/pair")") &&
    status=0 || status=$?
  expect_eq "windows packer: Ⓡun.cmd beside ⓡun.cmd refused" "$status" 1
  expect_in "windows packer: named" "$refused" "have the same name to Windows (sub\\"
  [ -e "$work/pair.exe" ] && fail "windows packer: wrote pair.exe"
  ls "$work" | grep -q 'kesto-pack-\|tmp-' && fail "temporary files left in $work" || echo "ok: nothing left behind"
  ;;

sizes)
  pack() { wine_run "$KESTO_PACK_WIN" "$@"; }
  for size in 3:compressed 40:stored 70:compressed; do
    mib=${size%%:*} label=${size#*:}
    src=$work/src-$mib
    mkdir -p "$src/payload" "$src/docs"
    printf '@exit /b 0\r\n' >"$src/setup.cmd"
    head -c $((mib << 20)) /dev/urandom >"$src/payload/installer.msi"
    seq 1 150000 | sed 's/$/ of the release notes\r/' >"$src/docs/notes.txt"
    store=; [ "$label" = stored ] && store=--store
    pack build $store --stub "$(winpath "$KESTO_STUB")" --out "$(winpath "$work/$mib.exe")" "$(winpath "$src")" >/dev/null
    restore_cabinet "$work/$mib.exe" "$work/$mib.cab"
    cabextract -q -d "$work/cabextract-$mib" "$work/$mib.cab"
    expect_eq "$mib MiB $label: cabextract gives the sources" "$(listing "$work/cabextract-$mib")" "$(listing "$src")"
    pack extract "$(winpath "$work/$mib.exe")" "$(winpath "$work/extract-$mib")" >/dev/null
    expect_eq "$mib MiB $label: extract gives the sources" "$(listing "$work/extract-$mib")" "$(listing "$src")"
    expect_eq "$mib MiB $label: the record's digest is the cabinet's" "$(record_digest "$work/$mib.exe")" \
      "$(xxhsum -H1 "$work/$mib.cab" 2>/dev/null | cut -d' ' -f1)"
    rm -rf "$work/cabextract-$mib" "$work/extract-$mib"
    [ "$mib" = 70 ] || rm -rf "$src" "$work/$mib.cab"
  done
  expect_eq "the Linux packer reads the largest too" "$("$KESTO_PACK" inspect "$work/70.exe" 2>&1 | grep -c ': matches')" 1
  # The largest run by the real stub: the launcher checks the digest as it
  # copies (a mismatch would end the run with 141950981), expands, and starts
  # the entry; extract-only, its files and MyData.cab match the sources and
  # the cabinet byte for byte.
  expect_eq "70 MiB: a normal run ends with the entry's code" "$(run_package "$work/70.exe")" 0
  expect_eq "70 MiB: extract-only run" "$(run_package "$work/70.exe" "/ExtractOnlyMode:$(winpath "$work/run-70")")" 0
  expect_eq "70 MiB: the launcher's files are the sources" "$(listing "$work/run-70")" "$(listing "$work/src-70")"
  cmp -s "$work/run-70/MyData.cab" "$work/70.cab" && echo "ok: 70 MiB: the launcher's MyData.cab is the cabinet" ||
    fail "70 MiB: the launcher's MyData.cab is not the cabinet"
  rm -rf "$work/src-70" "$work/70.cab" "$work/run-70"

  # Names Windows cannot hold, in cabinets made by gcab and laid out by hand:
  # behind the stub, padding and marker of a package of the packer's, whose
  # record is zeroed (packages without a record are valid). The packages'
  # own names are numbered: "CON.exe" is a device to Windows.
  mkdir -p "$work/names"
  printf '@exit /b 0\r\n' >"$work/names/setup.cmd"
  "$KESTO_PACK" build --stub "$KESTO_STUB" --out "$work/layout.exe" "$work/names/setup.cmd" >/dev/null
  payload_at=$(inspected "$work/layout.exe" layout.payload_offset)
  record_at=$(($(inspected "$work/layout.exe" layout.marker_offset) - 32))
  { head -c "$record_at" "$work/layout.exe"; head -c 32 /dev/zero
    tail -c +$((record_at + 33)) "$work/layout.exe" | head -c $((payload_at - record_at - 32)); } >"$work/prefix.bin"
  number=0
  # refused MESSAGE NAME...: a cabinet of setup.cmd and the names, refused
  # with MESSAGE by inspect and extract.
  refused() {
    local message=$1 package
    shift
    number=$((number + 1)) package=$work/names-$number.exe
    (cd "$work/names" && rm -rf ./* && printf '@exit /b 0\r\n' >setup.cmd &&
      for name in "$@"; do mkdir -p "$(dirname "./$name")" && echo x >"./$name"; done &&
      gcab -c ../names.cab setup.cmd "$@")
    { cat "$work/prefix.bin"; perl -0777 -pe '$_ = ~$_' "$work/names.cab"; } >"$package"
    inspected=$(pack inspect "$(winpath "$package")") && status=0 || status=$?
    expect_eq "$*: inspect fails" "$status" 1
    expect_in "$*: inspect names it" "$inspected" "$message"
    extracted=$(pack extract "$(winpath "$package")" "$(winpath "$work/out")") && status=0 || status=$?
    expect_eq "$*: extract fails" "$status" 1
    expect_in "$*: extract names it" "$extracted" "$message"
    [ -e "$work/out" ] && fail "$*: extract wrote $work/out" || echo "ok: $*: nothing extracted"
  }
  for name in CON NUL aux.txt trail. COM0 'LPT³.txt' 'CONIN$' 'clock$'; do
    refused "the name $name: Windows does not allow this name" "$name"
  done
  # Names that Windows takes for one.
  refused 'the name ⓐ.bat: the same name to Windows as Ⓐ.bat' Ⓐ.bat ⓐ.bat
  refused 'the name ა.txt: the same name to Windows as Ა.txt' Ა.txt ა.txt
  refused 'the name sub\ⓡun.cmd: the same name to Windows as sub\Ⓡun.cmd' sub/Ⓡun.cmd sub/ⓡun.cmd

  # A damaged data block, found once the first files are written: the
  # Windows packer's extract leaves nothing, not even the folders it made on
  # the way (held open while it writes, closed before they are removed).
  (cd "$work/names" && rm -rf ./* && printf '@exit /b 0\r\n' >setup.cmd && head -c 100000 /dev/urandom >data.bin &&
    gcab -c -n ../damaged.cab setup.cmd data.bin)
  perl -0777 -pe 'substr($_, -20, 1) ^= "U"' "$work/damaged.cab" >"$work/damaged-flipped.cab"
  { cat "$work/prefix.bin"; perl -0777 -pe '$_ = ~$_' "$work/damaged-flipped.cab"; } >"$work/damaged.exe"
  extracted=$(pack extract "$(winpath "$work/damaged.exe")" "$(winpath "$work/late/a/b")" 2>&1) && status=0 || status=$?
  expect_eq "damaged block: extract fails" "$status" 1
  expect_in "damaged block: extract names it" "$extracted" "wrong checksum; nothing extracted"
  [ -e "$work/late" ] && fail "damaged block: extract left $(find "$work/late")" || echo "ok: damaged block: no folder left"
  # Files already there: how many, and the first few by name.
  mkdir -p "$work/held" && touch "$work/held/setup.cmd" "$work/held/data.bin"
  { cat "$work/prefix.bin"; perl -0777 -pe '$_ = ~$_' "$work/damaged.cab"; } >"$work/whole.exe"
  extracted=$(pack extract "$(winpath "$work/whole.exe")" "$(winpath "$work/held")" 2>&1) && status=0 || status=$?
  expect_in "files there: extract names them" "$extracted" "already holds setup.cmd, data.bin (2 of the package's names)"
  ;;

*) echo "usage: pack_wine_test.sh entry|tree|windows|sizes" >&2; exit 2 ;;
esac

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed; the files are in $work"; exit 1; }
rm -rf "$work"
