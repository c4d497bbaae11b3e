#!/usr/bin/env bash
# Makes the release files from the built artifacts (make dist builds them first):
#   kesto-VERSION-linux-x86_64.tar.gz  the Linux packer, both stubs, the Wine
#                                      helpers, the guide, the manual page and
#                                      the CMake package
#   kesto-VERSION-windows.zip          the Windows packer, both stubs, the Wine
#                                      helpers, the guide and the CMake package
#   kesto_VERSION_amd64.deb            the Debian package (CPack)
#   BUILDINFO                          the commit, the compilers and the Debian
#                                      packages that went in (scripts/buildinfo.sh),
#                                      also in each of the three
#   SHA256SUMS                         the checksums of the four
# Both archives hold one folder laid out as an installation (bin/, share/kesto/,
# lib/cmake/Kesto/), as the Debian package is below /usr.
#
#   scripts/dist.sh [OUTPUT-FOLDER]    (default: dist/release)
#
# Reproducible: every entry gets the time SOURCE_DATE_EPOCH (default: the time
# of the last commit), entries are sorted, owners and modes are normalised.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/dist/release}" && cd "${1:-$root/dist/release}" && pwd)
native=$root/build/native

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$native/CMakeCache.txt")
[ -n "$version" ] || { echo "dist: $native is not configured (run make first)" >&2; exit 1; }
for built in "$root/dist/win/kesto-pack.exe" "$root/dist/x86/kesto.exe" "$root/dist/x64/kesto.exe" \
  "$root/dist/wine/expand.exe" "$root/dist/wine/kesto-run-hidden.exe"; do
  [ -f "$built" ] || { echo "dist: $built is missing (run make first)" >&2; exit 1; }
done
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)}

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
linux=kesto-$version-linux-x86_64
windows=kesto-$version-windows

cmake --build "$native" --target kesto-pack kesto_manual >/dev/null
"$root/scripts/buildinfo.sh" >"$native/BUILDINFO"  # installed by cmake/packaging.cmake
cmake --install "$native" --prefix "$stage/$linux" --strip >/dev/null
# The Windows layout: the same without the Linux packer and its manual page.
mkdir -p "$stage/$windows/bin"
cp -r "$stage/$linux/lib" "$stage/$windows/"
(cd "$stage/$linux" && find share -path share/man -prune -o -type f -print) | while read -r file; do
  mkdir -p "$stage/$windows/$(dirname "$file")"
  cp "$stage/$linux/$file" "$stage/$windows/$file"
done
cp "$root/dist/win/kesto-pack.exe" "$stage/$windows/bin/"

chmod -R u+rwX,go+rX,go-w "$stage"
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
rm -f "$out/$linux.tar.gz" "$out/$windows.zip" "$out"/kesto_*.deb "$out/BUILDINFO" "$out/SHA256SUMS"
cp "$native/BUILDINFO" "$out/"
tar -C "$stage" --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner --format=gnu \
  -cf - "$linux" | gzip -9n >"$out/$linux.tar.gz"
# zip stores local times: in UTC they are the same on every machine. -X leaves
# out owners and extra time fields.
(cd "$stage" && find "$windows" -type f | LC_ALL=C sort | TZ=UTC zip -X -q -9 "$out/$windows.zip" -@)

cpack --config "$native/CPackConfig.cmake" -B "$stage/cpack" >/dev/null
cp "$stage/cpack/kesto_${version}_amd64.deb" "$out/"

(cd "$out" && sha256sum "$linux.tar.gz" "$windows.zip" "kesto_${version}_amd64.deb" BUILDINFO >SHA256SUMS)
echo "dist: in $out (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH):"
(cd "$out" && ls -l "$linux.tar.gz" "$windows.zip" "kesto_${version}_amd64.deb" BUILDINFO SHA256SUMS)
