#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: packages already present are not touched, and apt is only
# called when something is missing.
set -euo pipefail

packages=(
  cmake ninja-build make
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
  wine wine64 xvfb xauth
  googletest
  gcab libgcab-dev pkg-config zlib1g-dev libz-mingw-w64-dev
  xxhash libxxhash-dev libcli11-dev nlohmann-json3-dev python3 python3-pefile
  cabextract osslsigncode openssl
  dpkg-dev zip unzip groff-base
  unicode-data  # scripts/upcase-table.py
)
# Extra groups: "bench" and "vm" pull in what only those targets need.
for group in "$@"; do
  case "$group" in
    bench) packages+=(makeself p7zip-full time) ;;
    vm)    packages+=(qemu-system-x86 debootstrap e2fsprogs) ;;
    fuzz)  packages+=(clang libclang-rt-14-dev) ;;
    *) echo "setup-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup-deps: installing ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
# wine32 would need an i386 architecture this machine cannot run; keep it out.
if ! "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"; then
  "${sudo[@]}" apt-get update
  "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
