#!/usr/bin/env bash
# The release files as users get them:
#   release  scripts/dist.sh makes the archives, the Debian package and
#            SHA256SUMS: checksums, listings, the licences (DEP-5), the
#            package's control data, and a second run that gives the same bytes
#   install  the Debian package installed into a scratch root with dpkg and
#            removed again, and the unpacked Linux archive: the packer's
#            version and default stub there (and in the build tree), the
#            manual page, and a vendor's CMake project (consumer/) built
#            against each with find_package(Kesto) and kesto_add_package, its
#            package run by the real stub under Wine
#   windows  the Windows archive: its packer under Wine finds its default stub
#            and builds a package that the stub runs
#   try      the Debian package unpacked into a scratch root and nothing else:
#            kesto-pack try on a 100 MiB package whose entry checks its files
#            and ends with 3010; the guide's commands for trying packages and
#            its CMake lines in a scratch project whose ctest runs the package,
#            passing, and failing once the entry's code changes
#
#   ship_test.sh release|install|windows|try
#
# Environment (set by CTest): KESTO_ROOT, KESTO_TEST_TMP, KESTO_WINE_RUN,
# KESTO_RUNEXIT, KESTO_VERSION. The release part leaves the release files in
# $KESTO_TEST_TMP/ship-files for the other two.
set -euo pipefail

version=$KESTO_VERSION
release=$KESTO_TEST_TMP/ship-files
commit=$(sed -n 's/^commit: //p' "$release/BUILDINFO" 2>/dev/null || true)  # release writes it
linux=kesto-$version-linux-x86_64
windows=kesto-$version-windows
deb=kesto_${version}_amd64.deb
stub_x86=$KESTO_ROOT/dist/x86/kesto.exe
work=$KESTO_TEST_TMP/ship-$1
rm -rf "$work" && mkdir -p "$work"
source "$(dirname "$0")/../harness/checks.sh"

# Whether a package starts with the release stub.
has_release_stub() { cmp -s -n "$(stat -c %s "$stub_x86")" "$stub_x86" "$1"; }
# The files of the installed layout, below a prefix.
layout() {
  printf '%s\n' "bin/kesto-pack$1" lib/cmake/Kesto/KestoAddPackage.cmake lib/cmake/Kesto/KestoConfig.cmake \
    lib/cmake/Kesto/KestoConfigVersion.cmake share/doc/kesto/BUILDINFO share/doc/kesto/LICENSE share/doc/kesto/copyright \
    share/doc/kesto/guide.md share/kesto/wine/expand.exe share/kesto/wine/kesto-run-hidden.exe \
    share/kesto/x64/kesto.exe share/kesto/x86/kesto.exe \
    ${2:+share/man/man1/kesto-pack.1.gz}
}
# The paragraphs of a DEP-5 copyright file, one a line: "FILES|COPYRIGHT|LICENSE"
# with the first line of each field, empty where the paragraph has none.
paragraphs() {
  awk -v RS= -F'\n' '{ f = c = l = ""
    for (i = 1; i <= NF; i++) {
      if ($i ~ /^Files: /) f = substr($i, 8)
      if ($i ~ /^Copyright: /) c = substr($i, 12)
      if ($i ~ /^License: /) l = substr($i, 10)
    }
    print f "|" c "|" l }'
}

# Builds consumer/ against the kesto installed under a prefix and checks its
# packages: the entry's code under Wine, the release stub, a changed and an
# added file packed again on the next build. SOURCE_DATE_EPOCH is set when
# configuring, so every copy of the sources makes the same package.
consume() {
  local label=$1 prefix=$2 source=$work/$1-source build=$work/$1-build
  cp -r "$KESTO_ROOT/tests/ship/consumer" "$source"
  # An installer of the size vendors ship, the same bytes in every copy.
  [ -f "$work/installer.bin" ] || head -c $((12 << 20)) /dev/urandom >"$work/installer.bin"
  cp "$work/installer.bin" "$source/payload/data/"
  touch -d "@$3" $(find "$source" -type f)
  SOURCE_DATE_EPOCH=1700000000 cmake -S "$source" -B "$build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >"$work/$label.log" 2>&1 \
    && cmake --build "$build" >>"$work/$label.log" 2>&1 || { fail "$label: the consumer did not build"; cat "$work/$label.log"; return; }
  expect_eq "$label: the package runs its entry" "$(run_package "$build/update.exe")" 3
  expect_eq "$label: extract-only run" "$(run_package "$build/update.exe" "/ExtractOnlyMode:$(winpath "$work/$label-x")")" 0
  cmp -s "$work/$label-x/data/installer.bin" "$work/installer.bin" &&
    echo "ok: $label: the launcher unpacks the installer byte for byte" || fail "$label: the installer differs"
  has_release_stub "$build/release/update.exe" && echo "ok: $label: the release stub by default" \
    || fail "$label: release/update.exe does not start with the release stub"
  expect_in "$label: STORE" "$("$prefix/bin/kesto-pack" inspect "$build/release/update.exe" 2>&1)" ", stored"
  cp "$build/update.exe" "$work/$label-update.exe"

  echo new >"$source/payload/added.txt"
  touch -d '2001-01-01' "$source/payload/added.txt"  # older than the package: the list of files counts
  cmake --build "$build" >>"$work/$label.log" 2>&1 || fail "$label: the rebuild failed"
  expect_in "$label: an added file is packed" "$("$prefix/bin/kesto-pack" inspect "$build/update.exe" 2>&1)" "added.txt"
  printf '4\r\n' >"$source/payload/data/code.txt"
  cmake --build "$build" >>"$work/$label.log" 2>&1 || fail "$label: the rebuild failed"
  expect_eq "$label: a changed file is packed again" "$(run_package "$build/update.exe")" 4
}

case $1 in
release)
  rm -rf "$release"
  "$KESTO_ROOT/scripts/dist.sh" "$release" >"$work/dist.log" 2>&1 || { cat "$work/dist.log"; exit 1; }
  (cd "$release" && sha256sum --quiet -c SHA256SUMS) && echo "ok: SHA256SUMS" || fail "SHA256SUMS does not match"
  expect_eq "SHA256SUMS names the four files" "$(cut -d' ' -f3 "$release/SHA256SUMS" | tr '\n' ' ')" \
    "$linux.tar.gz $windows.zip $deb BUILDINFO "
  expect_eq "BUILDINFO: the commit" "$(sed -n 's/^commit: //p' "$release/BUILDINFO")" \
    "$(git -C "$KESTO_ROOT" rev-parse HEAD)$(git -C "$KESTO_ROOT" diff --quiet HEAD -- || echo +changes)"
  for named in 'compilers:' 'x86_64-w64-mingw32-g++-posix: ' '  libgcab-dev ' '  mingw-w64-common '; do
    expect_in "BUILDINFO: $named" "$(cat "$release/BUILDINFO")" "$named"
  done
  expect_eq "BUILDINFO: in each archive" "$(tar -xzOf "$release/$linux.tar.gz" "$linux/share/doc/kesto/BUILDINFO";
    unzip -p "$release/$windows.zip" "$windows/share/doc/kesto/BUILDINFO")" "$(cat "$release/BUILDINFO"; cat "$release/BUILDINFO")"
  expect_eq "the Linux archive" "$(tar -tzf "$release/$linux.tar.gz" | grep -v '/$')" "$(layout '' man | sed "s|^|$linux/|")"
  expect_eq "the Windows archive" "$(unzip -Z1 "$release/$windows.zip")" "$(layout .exe | sed "s|^|$windows/|")"
  expect_eq "the Debian package's files" "$(dpkg-deb -c "$release/$deb" | awk '/^-/ {print $6}')" \
    "$(layout '' man | sed 's|^|./usr/|')"
  # The licences: machine-readable in the Debian package, the same file in
  # both archives; a Files paragraph for kesto and for each component, and
  # the text of every licence they name.
  copyright=$(dpkg-deb --fsys-tarfile "$release/$deb" | tar -xO ./usr/share/doc/kesto/copyright)
  expect_eq "copyright: in both archives" \
    "$(tar -xzOf "$release/$linux.tar.gz" "$linux/share/doc/kesto/copyright"; unzip -p "$release/$windows.zip" \
      "$windows/share/doc/kesto/copyright")" "$copyright"$'\n'"$copyright"
  expect_eq "copyright: DEP-5" "$(head -1 <<<"$copyright")" \
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
  listed=$(paragraphs <<<"$copyright")
  for component in '\*|2026 the kesto developers|Zlib' 'share/kesto/x86/kesto.exe|.*mingw-w64 project|public-domain' \
    'bin/kesto-pack.exe|.*mingw-w64 project|ZPL-2.1 .*' \
    'share/kesto/x86/kesto.exe|.*Free Software Foundation.*|GPL-3\+ with GCC-exception-3.1 exception' \
    'bin/kesto-pack|.*|LGPL-2.1\+' 'bin/kesto-pack|.*Jean-loup Gailly.*|Zlib'; do
    grep -qE "^$component\$" <<<"$listed" && echo "ok: copyright: $component" || fail "copyright: no paragraph $component"
  done
  while IFS= read -r license; do
    grep -qxF "||$license" <<<"$listed" || fail "copyright: no text of $license"
  done < <(grep -v '^|' <<<"$listed" | cut -d'|' -f3 | sed 's/ and /\n/g' | sort -u)
  control=$(dpkg-deb -f "$release/$deb" Package Version Architecture Depends)
  expect_in "control: name" "$control" "Package: kesto"
  expect_in "control: version" "$control" "Version: $version"
  expect_in "control: architecture" "$control" "Architecture: amd64"
  expect_in "control: libgcab" "$control" "libgcab-1.0-0"
  # A second run from the same build: the same bytes.
  "$KESTO_ROOT/scripts/dist.sh" "$work/again" >"$work/dist-again.log" 2>&1 || { cat "$work/dist-again.log"; exit 1; }
  expect_eq "reproducible" "$(cat "$work/again/SHA256SUMS")" "$(cat "$release/SHA256SUMS")"
  ;;

install)
  # The Debian package in a scratch root: dpkg's own database there, no
  # libraries (so the dependencies are not checked), root not needed.
  root=$work/root
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status"
  dpkg_root() { dpkg --root="$root" --force-not-root --force-depends "$@"; }
  dpkg_root -i "$release/$deb" >"$work/dpkg.log" 2>&1 || { fail "dpkg -i"; cat "$work/dpkg.log"; }
  expect_in "dpkg: installed" "$(dpkg_root -s kesto 2>&1)" "Status: install ok installed"
  expect_eq "dpkg: the files" "$(cd "$root/usr" && find . -type f | sed 's|^\./||' | sort)" "$(layout '' man)"

  mkdir -p "$work/unpacked"
  tar -C "$work/unpacked" -xzf "$release/$linux.tar.gz"
  echo '@exit /b 9' >"$work/setup.bat"
  for prefix in "$root/usr" "$work/unpacked/$linux" "$KESTO_ROOT/dist"; do
    expect_eq "$prefix: the version" "$("$prefix/bin/kesto-pack" --version)" "kesto-pack $version (commit $commit)"
    "$prefix/bin/kesto-pack" build --out "$work/default.exe" "$work/setup.bat" >/dev/null
    has_release_stub "$work/default.exe" && echo "ok: $prefix: the default stub" \
      || fail "$prefix: built without the release stub"
  done

  manual=$(gzip -dc "$root/usr/share/man/man1/kesto-pack.1.gz")
  expect_eq "manual page: no warnings" "$(groff -man -ww -z <<<"$manual" 2>&1)" ""
  rendered=$(groff -man -Tutf8 -P-cbou <<<"$manual" 2>&1)
  expect_in "manual page: the version" "$rendered" "kesto $version"
  for option in $("$root/usr/bin/kesto-pack" --help | grep -o -- '--[a-z]*' | sort -u); do
    grep -qF -- "$option" <<<"$rendered" || fail "manual page: no $option"
  done

  consume deb "$root/usr" 1000000000
  consume archive "$work/unpacked/$linux" 1300000000
  cmp -s "$work/deb-update.exe" "$work/archive-update.exe" && echo "ok: the same sources make the same package" \
    || fail "packages of the same sources with other file times differ"

  dpkg_root -r kesto >>"$work/dpkg.log" 2>&1 || { fail "dpkg -r"; cat "$work/dpkg.log"; }
  expect_eq "dpkg -r: nothing left" "$(find "$root" -type f ! -path "$root/var/lib/dpkg/*")" ""
  ;;

windows)
  unzip -q "$release/$windows.zip" -d "$work"
  packer=$work/$windows/bin/kesto-pack.exe
  expect_eq "the version" "$(wine_run "$packer" --version)" "kesto-pack $version (commit $commit)"
  printf '@exit /b 8\r\n' >"$work/setup.bat"
  wine_run "$packer" build --out "$(winpath "$work/default.exe")" "$(winpath "$work/setup.bat")" >"$work/build.log"
  has_release_stub "$work/default.exe" && echo "ok: the default stub" || { fail "not the release stub"; cat "$work/build.log"; }
  wine_run "$packer" build --stub "$(winpath "$work/$windows/share/kesto/x64/kesto.exe")" \
    --out "$(winpath "$work/x64.exe")" "$(winpath "$work/setup.bat")" >/dev/null
  expect_eq "the stub runs the package" "$(run_package "$work/x64.exe")" 8
  ;;

try)
  root=$work/root
  dpkg -x "$release/$deb" "$root"
  export PATH=$root/usr/bin:$PATH KESTO_WINEPREFIX=$KESTO_TEST_TMP/try-prefix  # kept: made once
  unset DISPLAY  # try starts Xvfb itself
  # The guide's blocks of one language that it marks as run by this test.
  guide_blocks() {
    awk -v fence='```'"$1" '/^<!-- run by tests\/ship\/ship_test.sh try/ { armed = 1; next }
      armed && $0 == fence { inside = 1 } { armed = 0 }
      inside && $0 == "```" { inside = 0; next } inside && $0 != fence { print }' "$root/usr/share/doc/kesto/guide.md"
  }

  big=$work/big
  mkdir -p "$big/data"
  head -c $((100 << 20)) /dev/urandom >"$big/data/installer.bin"
  echo kesto >"$big/data/marker.txt"
  printf '%s\r\n' '@echo off' 'for %%f in ("%~dp0data\installer.bin") do if not "%%~zf"=="104857600" exit /b 1' \
    'set /p marker=<"%~dp0data\marker.txt"' 'if not "%marker%"=="kesto" exit /b 2' 'exit /b 3010' >"$big/setup.cmd"
  kesto-pack build --store --entry setup.cmd --out "$work/big.exe" "$big" >/dev/null
  output=$(kesto-pack try --expect 3010 "$work/big.exe" /quiet '"C:\a b\"' 2>"$work/try.err") && code=0 || code=$?
  expect_eq "try --expect 3010: exit status" "$code" 0
  expect_in "try: the whole code" "$output" "exit code 3010 (0x00000BC2): as expected (--expect 3010)"
  expect_in "try: its log option first" "$output" 'ShellExecuteEx Param:/LOG:Z:\'
  expect_in "try: then the tail exactly as given" "$output" ' /quiet "C:\a b\".'
  expect_in "try: the log's last line" "$output" "- return 3010."
  expect_in "try: the work folder" "$output" "\Temp\QzEXF0000 ("
  expect_in "try: the work folder is gone" "$output" "): removed"
  [ "$(cat "$KESTO_WINEPREFIX/kesto-try.x86")" = yes ] ||
    expect_in "try: the x64 stub where Wine runs no 32-bit programs" "$(cat "$work/try.err")" "behind the x64 stub"
  output=$(kesto-pack try --expect 0 "$work/big.exe" 2>&1) && code=0 || code=$?
  expect_eq "try --expect 0: exit status" "$code" 1
  expect_in "try --expect 0: says so" "$output" "exit code 3010 (0x00000BC2): NOT as expected (--expect 0)"

  # Without Wine, and without a display or Xvfb: one line naming what to install.
  mkdir -p "$work/no-xvfb"
  ln -s "$(command -v wine)" "$(command -v wineserver)" "$work/no-xvfb/"
  expect_eq "no Wine" "$(PATH=$root/usr/bin kesto-pack try "$work/big.exe" 2>&1)" \
    "kesto-pack: try: Wine is not installed: install it (Debian: sudo apt install wine wine64)"
  expect_eq "no display, no Xvfb" "$(PATH=$root/usr/bin:$work/no-xvfb kesto-pack try "$work/big.exe" 2>&1)" \
    "kesto-pack: try: no X display (DISPLAY is unset) and no Xvfb to make one: install it (Debian: sudo apt install xvfb)"

  mkdir -p "$work/guide/package-folder" "$work/vendor/payload"
  printf '@exit /b 3010\r\n' >"$work/guide/package-folder/setup.cmd"
  guide_blocks sh >"$work/guide/commands.sh"
  (cd "$work/guide" && bash -e commands.sh) >"$work/guide.log" 2>&1 && code=0 || code=$?
  expect_eq "the guide's commands" "$code" 0
  expect_in "the guide's commands: the log they name" "$(cat "$work/guide.log")" \
    'the launcher'"'"'s log, C:\windows\temp\update-sfxlog.log:'
  [ "$code" -eq 0 ] || cat "$work/guide.log"
  { echo 'cmake_minimum_required(VERSION 3.20)'; echo 'project(vendor NONE)'; guide_blocks cmake; } \
    >"$work/vendor/CMakeLists.txt"
  printf '%s\r\n' '@set /p code=<"%~dp0code.txt"' '@exit /b %code%' >"$work/vendor/setup.cmd"
  printf '3010\r\n' >"$work/vendor/payload/code.txt"
  echo licence >"$work/vendor/licence.txt"
  vendor_ctest() {
    cmake --build "$work/vendor-build" >>"$work/vendor.log" 2>&1 &&
      ctest --test-dir "$work/vendor-build" --output-on-failure >>"$work/vendor.log" 2>&1
  }
  cmake -S "$work/vendor" -B "$work/vendor-build" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" >"$work/vendor.log" 2>&1
  vendor_ctest && echo "ok: kesto_add_package_test: ctest passes" || { fail "ctest failed"; cat "$work/vendor.log"; }
  printf '4\r\n' >"$work/vendor/payload/code.txt"
  : >"$work/vendor.log"
  vendor_ctest && fail "ctest passes with the entry's code changed" || echo "ok: kesto_add_package_test: ctest fails"
  expect_in "kesto_add_package_test: the code it got" "$(cat "$work/vendor.log")" "exit code 4 (0x00000004): NOT as expected"
  ;;

*) echo "usage: ship_test.sh release|install|windows|try" >&2; exit 2 ;;
esac

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed; the files are in $work"; exit 1; }
rm -rf "$work"
