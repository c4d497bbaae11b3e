#!/usr/bin/env bash
# A small Debian VM for running 32-bit Windows programs under wine32.
#
# This machine's kernel refuses 32-bit executables, so the PE32 stub cannot run
# here directly. qemu (software emulation) boots a Debian kernel that can, with
# Debian's wine32 inside it.
#
#   vm.sh image         build the VM image once and cache it (a finished image
#                       is reused, a half-built one is rebuilt)
#   vm.sh run [-e NAME[=VALUE]]... HOSTDIR COMMAND...
#                       boot the VM once, share HOSTDIR at /host in the guest,
#                       run COMMAND (a shell command line) there under
#                       `xvfb-run -a` with the Wine prefix of the image, print
#                       its stdout/stderr here and exit with its status
#   vm.sh shell-check   boot and run `true`
#   vm.sh info          show the cache and its disk use
#   vm.sh clean         delete the cache
#
# Inside the guest HOSTDIR is also mounted at its own host path (unless the
# guest has that folder itself), so host paths in variables work unchanged.
# The command starts in /host (Windows: Z:\host) with
#   WINEPREFIX=/opt/kesto/prefix (win64; 32-bit programs run in it)
#   WINEDEBUG=-all  WINEDLLOVERRIDES="mscoree,mshtml=;expand.exe=n"
# and a persistent wineserver, so several Wine programs in one boot start fast.
# `-e NAME=VALUE` sets a variable for the command (`-e NAME` passes this
# shell's value on); Wine hands the variables on to Windows programs. The
# image's defaults above can be overridden that way.
# runexit.exe (built from tests/support/runexit.cpp) lies in C:\windows,
# so `wine runexit.exe CMDLINE` works from anywhere in the guest.
#
# Environment:
#   KESTO_VM_DIR            cache folder (default: build/vm32 of this project)
#   KESTO_VM_TIMEOUT        seconds a run may take, boot included (default 1200)
#   KESTO_VM_BOOT_TIMEOUT   seconds until the guest must have booted (default 300)
#   KESTO_VM_MEM, KESTO_VM_CPUS   guest memory and processors (default 3G, 2)
#   KESTO_VM_EXPAND_X86     host path of an i686 expand.exe stand-in, copied into
#                           the guest prefix's syswow64 before the command runs
#   KESTO_VM_EXPAND_X64     the same for an x86_64 one, copied into system32
#   KESTO_VM_MIRROR         Debian mirror for the image (default: the one apt on
#                           this machine uses)
#   KESTO_VM_HOST_CACHE     9p cache mode of HOSTDIR in the guest (default
#                           "loose": the guest's writes reach the host when the
#                           run ends; "none" shows them at once, but then Wine
#                           reads at most about 500 KB per call from HOSTDIR, so
#                           larger programs started from there crash)
#   KESTO_VM_VERBOSE=1      report boot and run times on stderr
#
# Exit status of `run`: the command's, or 125 when the VM could not be built,
# did not boot, or did not answer in time (the reason goes to stderr).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
project=$(cd "$here/../.." && pwd)
dir=${KESTO_VM_DIR:-$project/build/vm32}
timeout=${KESTO_VM_TIMEOUT:-1200}
boot_timeout=${KESTO_VM_BOOT_TIMEOUT:-300}
mem=${KESTO_VM_MEM:-3G}
cpus=${KESTO_VM_CPUS:-2}
verbose=${KESTO_VM_VERBOSE:-0}
suite=bookworm

rootfs=$dir/rootfs
stamp=$dir/image.ready
# Status for a failure of the VM itself rather than of the guest's command.
vm_failed=125

say() { echo "vm: $*" >&2; }
die() { echo "vm: error: $*" >&2; exit "$vm_failed"; }
note() { if [ "$verbose" = 1 ]; then say "$@"; fi; }

# ---------------------------------------------------------------------------
# Cleanup: whatever a step set up is undone on every exit, failures included.

qemu_pid=
tail_pids=()
run_dir=
keep_run_dir=0
check_dir=
run_status=

# Unmounts everything below the rootfs (the chroot's proc, sys, dev). Nothing
# may stay mounted there: a later rm -rf would reach into the host's /dev.
unmount_rootfs() {
  [ -d "$rootfs" ] || return 0
  local mounts
  mounts=$(awk -v r="$rootfs/" 'index($2, r) == 1 { print $2 }' /proc/mounts | sort -r)
  local m
  for m in $mounts; do
    umount "$m" 2>/dev/null || umount -l "$m" || true
  done
  if awk -v r="$rootfs/" 'index($2, r) == 1 { found = 1 } END { exit !found }' /proc/mounts; then
    echo "vm: error: cannot unmount everything below $rootfs" >&2
    return 1
  fi
}

remove_rootfs() {
  unmount_rootfs || die "refusing to delete $rootfs while something is mounted below it"
  rm -rf --one-file-system "$rootfs"
}

cleanup() {
  local rc=$?
  if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
    kill "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
  fi
  local p
  for p in "${tail_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  unmount_rootfs >/dev/null 2>&1 || true
  if [ -n "$run_dir" ] && [ "$keep_run_dir" = 0 ]; then rm -rf "$run_dir"; fi
  if [ -n "$check_dir" ]; then rm -rf "$check_dir"; fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---------------------------------------------------------------------------
# Booting the VM: one qemu run that serves one request in a control folder.
#
# The control folder is shared as "ctl": the request goes in (guest.sh, which
# the guest runs, and the files it reads, see there), and the guest writes
# "booted" as soon as it is up, then stdout, stderr and status.

# boot_vm RUNDIR SNAPSHOT(0|1) [HOSTDIR]: boots, waits, and returns 0 when the
# guest wrote a status, or prints why not and returns 1.
boot_vm() {
  local rdir=$1 snapshot=$2 hostdir=${3:-}
  local ctl=$rdir/ctl
  # -smap: with SMAP the guest kernel oopses in Wine's system-call path and
  # every Wine process dies. -snapshot: a run's disk writes are thrown away.
  # shellcheck disable=SC2054  # qemu options hold commas
  local args=(
    -machine q35 -cpu max,-smap -m "$mem" -smp "$cpus"
    -display none -no-reboot -nodefaults
    -serial "file:$rdir/console.log"
    -kernel "$dir/vmlinuz" -initrd "$dir/initrd.img"
    -append "root=/dev/vda rw console=ttyS0 quiet loglevel=3 panic=-1 init=/sbin/kesto-init"
    -drive "file=$dir/disk.img,format=raw,if=virtio"
    -virtfs "local,path=$ctl,mount_tag=ctl,security_model=none"
    -device virtio-rng-pci -nic none
  )
  if [ -n "$hostdir" ]; then
    args+=(-virtfs "local,path=$hostdir,mount_tag=host,security_model=none")
  fi
  if [ "$snapshot" = 1 ]; then args+=(-snapshot); fi

  cp "$here/guest.sh" "$ctl/guest.sh"
  : >"$ctl/stdout"
  : >"$ctl/stderr"
  local start=$SECONDS
  qemu-system-x86_64 "${args[@]}" </dev/null >"$rdir/qemu.log" 2>&1 &
  qemu_pid=$!

  # The guest appends to these files through 9p as the command runs; show
  # them live. tail drains what is left once qemu has ended.
  tail -n +1 -s 0.5 -f --pid="$qemu_pid" "$ctl/stdout" &
  tail_pids+=($!)
  tail -n +1 -s 0.5 -f --pid="$qemu_pid" "$ctl/stderr" >&2 &
  tail_pids+=($!)

  local failure='' booted=0
  while kill -0 "$qemu_pid" 2>/dev/null; do
    if [ "$booted" = 0 ] && [ -e "$ctl/booted" ]; then
      booted=1
      note "booted after $((SECONDS - start)) s"
    fi
    if [ "$booted" = 0 ] && [ $((SECONDS - start)) -ge "$boot_timeout" ]; then
      failure="the VM did not boot within $boot_timeout s (KESTO_VM_BOOT_TIMEOUT)"
      break
    fi
    if [ $((SECONDS - start)) -ge "$timeout" ]; then
      failure="the VM did not answer within $timeout s (KESTO_VM_TIMEOUT)"
      break
    fi
    sleep 0.2
  done
  if [ -n "$failure" ]; then
    kill "$qemu_pid" 2>/dev/null || true
  fi
  local qemu_rc=0
  wait "$qemu_pid" || qemu_rc=$?
  qemu_pid=
  local p
  for p in "${tail_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  tail_pids=()
  note "VM ended after $((SECONDS - start)) s"

  if [ -z "$failure" ]; then
    if [ ! -e "$ctl/booted" ]; then
      failure="the VM did not boot (qemu exit status $qemu_rc)"
    elif [ ! -s "$ctl/status" ]; then
      failure="the VM ended before the command reported its status"
    fi
  fi
  if [ -n "$failure" ]; then
    say "error: $failure"
    if [ -s "$rdir/qemu.log" ]; then
      say "qemu said:"; sed 's/^/  /' "$rdir/qemu.log" >&2
    fi
    if [ -s "$rdir/console.log" ]; then
      say "last lines of the guest console:"; tail -n 30 "$rdir/console.log" | sed 's/^/  /' >&2
    fi
    keep_run_dir=1
    say "the run's files are kept in $rdir"
    return 1
  fi
}

new_run_dir() {
  mkdir -p "$dir/runs"
  run_dir=$(mktemp -d "$dir/runs/run.XXXXXX")
  mkdir "$run_dir/ctl"
}

# ---------------------------------------------------------------------------
# The guest's init (PID 1), kept in the image. Minbase has no init system: this
# mounts what Wine needs and the control folder, runs the host's guest.sh from
# there (so changing it needs no new image), and powers off.

write_guest_init() {
  cat >"$rootfs/sbin/kesto-init" <<'GUEST'
#!/bin/bash
# PID 1 of the kesto test VM: run the host's /ctl/guest.sh, then power off.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LANG=C.UTF-8 TERM=dumb

# The initramfs hands over /proc, /sys, /dev and /run already mounted.
mount_once() { mountpoint -q "$2" || mount -t "$1" "$1" "$2"; }
mount_once proc /proc
mount_once sysfs /sys
mount_once devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount_once devpts /dev/pts
mount_once tmpfs /dev/shm
mount_once tmpfs /run
mount_once tmpfs /tmp
echo kesto-vm >/proc/sys/kernel/hostname
ip link set lo up 2>/dev/null

mkdir -p /ctl
if modprobe 9pnet_virtio && modprobe 9p &&
   mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,cache=none ctl /ctl; then
  cut -d' ' -f1 /proc/uptime >/ctl/booted
  bash /ctl/guest.sh
else
  echo "kesto-init: cannot mount the control folder" >&2
fi
sync
# LINUX_REBOOT_CMD_POWER_OFF through the reboot system call. PID 1 must not
# exit, or the kernel panics (panic=-1 and -no-reboot end qemu even then).
perl -e 'syscall(169, 0xfee1dead, 672274793, 0x4321fedc)'
sleep 60
GUEST
  chmod 755 "$rootfs/sbin/kesto-init"
}

# ---------------------------------------------------------------------------
# Building the image.

# Prints "URI SUITE..." for every deb source apt on this machine uses, from
# both the one-line and the deb822 formats.
apt_sources() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -n -E 's/^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+)[[:space:]]+([^[:space:]]+).*/\2 \3/p' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk '
      function flush(   i) {
        if (types ~ /(^|[ \t])deb([ \t]|$)/ && enabled != "no")
          for (i = 1; i <= n; i++) print uri[i], suites
        types = ""; suites = ""; enabled = ""; n = 0
      }
      /^[ \t]*$/ { flush(); next }
      /^#/ { next }
      tolower($1) == "types:" { $1 = ""; types = $0 }
      tolower($1) == "uris:" { for (i = 2; i <= NF; i++) uri[++n] = $i }
      tolower($1) == "suites:" { $1 = ""; suites = $0 }
      tolower($1) == "enabled:" { enabled = tolower($2) }
      END { flush() }' "$f"
  done
}

# Sets `mirror` and `security_mirror` from KESTO_VM_MIRROR or apt's sources.
find_mirrors() {
  mirror=${KESTO_VM_MIRROR:-}
  security_mirror=
  local uri suites s
  while read -r uri suites; do
    for s in $suites; do
      if [ "$s" = "$suite" ] && [ -z "$mirror" ]; then mirror=$uri; fi
      if [ "$s" = "$suite-security" ] && [ -z "$security_mirror" ]; then security_mirror=$uri; fi
    done
  done < <(apt_sources)
  [ -n "$mirror" ] || die "no Debian mirror for $suite in /etc/apt/sources.list*; set KESTO_VM_MIRROR"
}

in_chroot() {
  chroot "$rootfs" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}

# Runs one build step with its output in image.log; on failure shows the end
# of the log and stops.
step() {
  local what=$1; shift
  local start=$SECONDS
  say "$what"
  echo "=== $what" >>"$dir/image.log"
  if ! "$@" >>"$dir/image.log" 2>&1; then
    tail -n 30 "$dir/image.log" | sed 's/^/  /' >&2
    die "image build failed at: $what (full log: $dir/image.log)"
  fi
  note "  took $((SECONDS - start)) s"
}

# The build steps run inside `step`'s condition, where `set -e` does not act:
# each one checks its commands itself.
chroot_install() {
  # No service may start inside the chroot.
  printf '#!/bin/sh\nexit 101\n' >"$rootfs/usr/sbin/policy-rc.d" || return 1
  chmod 755 "$rootfs/usr/sbin/policy-rc.d"
  {
    echo "deb $mirror $suite main"
    echo "deb $mirror $suite-updates main"
    if [ -n "$security_mirror" ]; then echo "deb $security_mirror $suite-security main"; fi
  } >"$rootfs/etc/apt/sources.list" || return 1
  printf '127.0.0.1\tlocalhost\n127.0.1.1\tkesto-vm\n' >"$rootfs/etc/hosts"
  echo kesto-vm >"$rootfs/etc/hostname"

  # A small initramfs, with just what finds the root disk: packing the
  # default one (most modules) takes minutes, and the install packs it twice.
  mkdir -p "$rootfs/etc/initramfs-tools/conf.d" "$rootfs/usr/share/initramfs-tools/modules.d"
  echo MODULES=list >"$rootfs/etc/initramfs-tools/conf.d/kesto-vm"
  printf '%s\n' virtio_pci virtio_blk crc32c_generic ext4 >"$rootfs/usr/share/initramfs-tools/modules.d/kesto-vm"

  mount -t proc proc "$rootfs/proc" &&
    mount -t sysfs sys "$rootfs/sys" &&
    mount --bind /dev "$rootfs/dev" &&
    mount --bind /dev/pts "$rootfs/dev/pts" || return 1
  # libglib2.0-0:i386's maintainer script tries to run i386 programs, which
  # fails here; it tolerates that, and the first boot runs them.
  in_chroot dpkg --add-architecture i386 &&
    in_chroot apt-get update &&
    in_chroot apt-get install -y --no-install-recommends \
      linux-image-amd64 initramfs-tools wine wine32:i386 wine64 xvfb xauth &&
    in_chroot apt-get clean || { unmount_rootfs; return 1; }
  # The 64-bit wineboot fills the prefix's syswow64 from the i386-windows
  # folder beside its own DLLs. Installed with libz-mingw-w64, that folder
  # exists holding only zlib1.dll: syswow64 then gets no kernel32.dll and no
  # 32-bit program starts (c0000135). It is made to name the 32-bit DLLs.
  local wow=$rootfs/usr/lib/x86_64-linux-gnu/wine/i386-windows
  if [ -d "$wow" ] && [ ! -L "$wow" ] && [ -d "$rootfs/usr/lib/i386-linux-gnu/wine/i386-windows" ]; then
    rm -rf "$wow" && ln -s /usr/lib/i386-linux-gnu/wine/i386-windows "$wow" || { unmount_rootfs; return 1; }
  fi
  rm -rf "$rootfs"/var/lib/apt/lists/*
  unmount_rootfs
}

copy_kernel() {
  local kernel initrd
  kernel=$(ls "$rootfs"/boot/vmlinuz-* | sort -V | tail -n1)
  initrd=$(ls "$rootfs"/boot/initrd.img-* | sort -V | tail -n1)
  [ -f "$kernel" ] && [ -f "$initrd" ] || { echo "no kernel in the rootfs"; return 1; }
  cp "$kernel" "$dir/vmlinuz" && cp "$initrd" "$dir/initrd.img"
}

make_disk() {
  # The win64 prefix alone takes 1.3 GiB: give the guest 3 GiB beyond the rootfs.
  local mib
  mib=$(( $(du -sm --one-file-system "$rootfs" | cut -f1) + 3072 ))
  truncate -s "${mib}M" "$dir/disk.img" &&
    mkfs.ext4 -q -F -L kesto-root -d "$rootfs" "$dir/disk.img"
}

first_boot() {
  new_run_dir || return 1
  echo boot >"$run_dir/ctl/mode"
  local ok=0
  boot_vm "$run_dir" 0 >>"$dir/image.log" 2>&1 || ok=$?
  if [ "$ok" != 0 ]; then
    cat "$run_dir/ctl/stderr" 2>/dev/null >&2 || true
    return 1
  fi
  local status
  status=$(cat "$run_dir/ctl/status")
  if [ "$status" != 0 ]; then
    tail -n 30 "$run_dir/ctl/stderr" | sed 's/^/  /' >&2
    echo "first boot failed with status $status" >&2
    return 1
  fi
  rm -rf "$run_dir"
  run_dir=
}

build_image() {
  mkdir -p "$dir"
  local lock
  exec {lock}>"$dir/lock"
  flock -x "$lock"
  if [ -f "$stamp" ]; then
    exec {lock}>&-
    return 0
  fi
  [ "$(id -u)" -eq 0 ] || die "building the VM image needs root (debootstrap, chroot, mount)"
  local start=$SECONDS
  "$project/scripts/setup-deps.sh" vm >&2 || die "cannot install the host packages (scripts/setup-deps.sh vm)"

  # Whatever an earlier, unfinished build left is thrown away.
  remove_rootfs
  rm -rf "$dir/runs" "$dir/disk.img" "$dir/vmlinuz" "$dir/initrd.img" "$dir/image.log"
  find_mirrors
  say "building the VM image in $dir (about 5 min, once)"

  step "debootstrap $suite (about 1 min)" debootstrap --variant=minbase --arch=amd64 \
    --include=ca-certificates,kmod,udev,iproute2,procps "$suite" "$rootfs" "$mirror"
  step "installing the kernel, wine, wine32 and xvfb (about 2.5 min)" chroot_install
  write_guest_init
  step "copying the kernel out" copy_kernel
  step "making the disk image" make_disk
  remove_rootfs
  step "first boot: making the Wine prefix (about 1 min)" first_boot
  touch "$stamp"
  say "image ready after $((SECONDS - start)) s ($(du -sh "$dir" | cut -f1) on disk)"
  exec {lock}>&-
}

# ---------------------------------------------------------------------------
# runexit.exe, the guest's helper that shows a full 32-bit exit code.

build_runexit() {
  local src=$project/tests/support/runexit.cpp out=$dir/runexit.exe
  if [ ! -f "$out" ] || [ "$src" -nt "$out" ]; then
    i686-w64-mingw32-g++-posix -std=c++17 -O2 -Wall -s -static -municode -I"$project/src" -o "$out.$$" "$src" \
      || die "cannot build runexit.exe"
    mv "$out.$$" "$out"
  fi
}

# ---------------------------------------------------------------------------
# Commands.

usage() {
  sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//' >&2
  exit 2
}

run() {
  local envs=()
  while [ $# -gt 0 ]; do
    case "$1" in
      -e) [ $# -ge 2 ] || usage; envs+=("$2"); shift 2 ;;
      -e*) envs+=("${1#-e}"); shift ;;
      --) shift; break ;;
      -*) usage ;;
      *) break ;;
    esac
  done
  [ $# -ge 2 ] || usage
  local hostdir=$1; shift
  [ -d "$hostdir" ] || die "no such folder: $hostdir"
  hostdir=$(cd "$hostdir" && pwd)

  [ -f "$stamp" ] || build_image
  build_runexit
  # Runs share the image read-only (-snapshot); only a build takes it alone.
  local lock
  exec {lock}>"$dir/lock"
  flock -s "$lock"
  [ -f "$stamp" ] || die "the VM image is not built"

  new_run_dir
  local ctl=$run_dir/ctl
  echo run >"$ctl/mode"
  printf '%s\n' "$hostdir" >"$ctl/share-host"
  if [ -n "${KESTO_VM_HOST_CACHE:-}" ]; then echo "$KESTO_VM_HOST_CACHE" >"$ctl/host-cache"; fi
  printf '%s\n' "$*" >"$ctl/command.sh"
  : >"$ctl/env.sh"
  local e name
  for e in "${envs[@]}"; do
    name=${e%%=*}
    [[ $name =~ ^[A-Za-z_][A-Za-z0-9_]*$ ]] || die "bad variable name in -e $e"
    if [[ $e == *=* ]]; then
      printf '%s=%q\n' "$name" "${e#*=}" >>"$ctl/env.sh"
    elif [ -n "${!name+set}" ]; then
      printf '%s=%q\n' "$name" "${!name}" >>"$ctl/env.sh"
    fi
  done
  if [ -n "${KESTO_VM_EXPAND_X86:-}" ]; then
    cp "$KESTO_VM_EXPAND_X86" "$ctl/expand-x86.exe" || die "cannot copy KESTO_VM_EXPAND_X86"
  fi
  if [ -n "${KESTO_VM_EXPAND_X64:-}" ]; then
    cp "$KESTO_VM_EXPAND_X64" "$ctl/expand-x64.exe" || die "cannot copy KESTO_VM_EXPAND_X64"
  fi
  cp "$dir/runexit.exe" "$ctl/runexit.exe"

  boot_vm "$run_dir" 1 "$hostdir" || exit "$vm_failed"
  run_status=$(cat "$ctl/status")
}

info() {
  if [ -f "$stamp" ]; then echo "image: ready"; else echo "image: not built"; fi
  echo "folder: $dir"
  if [ -d "$dir" ]; then
    echo "disk used: $(du -sh "$dir" | cut -f1)"
  fi
}

clean() {
  [ -d "$dir" ] || return 0
  local lock
  exec {lock}>"$dir/lock"
  flock -x "$lock"
  remove_rootfs
  rm -rf "$dir/runs" "$dir/disk.img" "$dir/vmlinuz" "$dir/initrd.img" "$dir/runexit.exe" \
    "$dir/image.log" "$stamp"
}

main() {
  case "${1:-}" in
    image) build_image; say "image ready in $dir" ;;
    run) shift; run "$@"; exit "$run_status" ;;
    shell-check)
      check_dir=$(mktemp -d)
      run "$check_dir" true
      [ "$run_status" = 0 ] || die "\`true\` returned $run_status in the VM"
      say "the VM boots and runs commands"
      ;;
    info) info ;;
    clean) clean ;;
    *) usage ;;
  esac
}

# Kept on one line: bash reads a script as it runs, so an edit made while a
# long run is going must not be picked up when it returns.
main "$@"; exit
