#!/usr/bin/env bash
# Prints the BUILDINFO of the release that scripts/dist.sh makes from this
# tree's builds: the version, the commit the binaries name (kesto-pack
# --version), SOURCE_DATE_EPOCH, the compilers that built them and the
# versions of the Debian packages whose code, headers or tools went in. The
# same commit built with the same compilers and packages gives the same
# release files byte for byte; nothing here depends on the machine or folder.
#
#   scripts/buildinfo.sh     (after the builds; SOURCE_DATE_EPOCH set or not)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/native/CMakeCache.txt")
commit=$(sed -n 's/^#define KESTO_COMMIT "\(.*\)"$/\1/p' "$build/native/generated/kesto_commit.h")
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo unset)}
native=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/native/CMakeCache.txt")

echo "kesto $version"
echo "commit: $commit"
echo "SOURCE_DATE_EPOCH: $epoch"
echo "compilers:"
for compiler in "$native" i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix; do
  echo "  $(basename "$compiler"): $("$compiler" --version | head -n1)"
done
echo "Debian packages:"
# The compilers, binutils and runtimes, the libraries and headers the
# binaries are built from, and the tools that lay out the release files.
dpkg-query -W -f='  ${Package} ${Version}\n' \
  g++-12 libstdc++-12-dev binutils g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 \
  binutils-mingw-w64-x86-64 mingw-w64-common mingw-w64-i686-dev mingw-w64-x86-64-dev libgcab-dev libglib2.0-dev \
  zlib1g-dev libz-mingw-w64-dev libxxhash-dev libcli11-dev nlohmann-json3-dev cmake ninja-build dpkg-dev gzip tar zip \
  2>/dev/null | LC_ALL=C sort
