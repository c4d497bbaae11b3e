#!/usr/bin/env bash
# Two small filesystems for the tests of a temporary path that fills up:
#
#   small-fs.sh mount DIR     mounts a 32 MiB tmpfs on DIR/copy (less than the
#                             "stages" package's 64 MiB cabinet: it fills
#                             during the copy) and a 96 MiB one on DIR/expand
#                             (room for the cabinet, not for its files: it
#                             fills during the expansion), each marked ready by
#                             DIR/<name>.ready
#   small-fs.sh unmount DIR   unmounts both
#
# Mounting needs the right to mount (root); without it nothing is mounted, no
# .ready file is made, and the tests that need them are skipped.
set -uo pipefail
dir=${2:?usage: small-fs.sh mount|unmount DIR}

unmount() {
  for name in copy expand; do
    rm -f "$dir/$name.ready"
    if mountpoint -q "$dir/$name"; then umount "$dir/$name" 2>/dev/null || umount -l "$dir/$name"; fi
  done
}

case "$1" in
  mount)
    mkdir -p "$dir/copy" "$dir/expand"
    unmount
    if mount -t tmpfs -o size=32m,mode=0777 kesto-copy "$dir/copy" 2>/dev/null &&
       mount -t tmpfs -o size=96m,mode=0777 kesto-expand "$dir/expand" 2>/dev/null; then
      touch "$dir/copy.ready" "$dir/expand.ready"
      echo "small-fs: tmpfs of 32 MiB on $dir/copy and 96 MiB on $dir/expand"
    else
      unmount
      echo "small-fs: cannot mount here (needs root); the full-filesystem tests are skipped"
    fi
    ;;
  unmount) unmount ;;
  *) echo "usage: small-fs.sh mount|unmount DIR" >&2; exit 2 ;;
esac
exit 0
