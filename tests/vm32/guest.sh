#!/bin/bash
# The guest side of vm.sh: serves one request from the control folder /ctl.
#
# The image's init (PID 1) mounts /ctl and runs this script from there, so it
# always is the version next to vm.sh; the init powers the VM off after it.
#
# /ctl/mode       "boot": the first boot, kept in the image; makes the prefix
#                 "run": runs /ctl/command.sh (the image's disk is a snapshot)
# /ctl/share-host present when the host folder is shared; holds its host path
# /ctl/host-cache 9p cache mode for the host folder instead of "loose"
# /ctl/env.sh     NAME=VALUE lines for the command
# /ctl/expand-x86.exe, /ctl/expand-x64.exe, /ctl/runexit.exe   optional
# Written here: /ctl/stdout, /ctl/stderr (appended), /ctl/status last.

export WINEPREFIX=/opt/kesto/prefix WINEDEBUG=-all
# No Mono or Gecko prompt may block a headless run; expand.exe is a stand-in
# when one is installed, never Wine's builtin.
export WINEDLLOVERRIDES="mscoree,mshtml=;expand.exe=n"
windir=$WINEPREFIX/drive_c/windows
# cache=none: the host reads what is written to /ctl while the guest runs.
opts=trans=virtio,version=9p2000.L,msize=524288,cache=none

# First boot: finish what the chroot could not run (i386 programs) and make
# the Wine prefix, so that later runs start fast.
first_boot() {
  set -x
  local glib=/usr/lib/i386-linux-gnu/glib-2.0
  if [ -x $glib/glib-compile-schemas ]; then $glib/glib-compile-schemas /usr/share/glib-2.0/schemas; fi
  if [ -x $glib/gio-querymodules ]; then $glib/gio-querymodules /usr/lib/i386-linux-gnu/gio/modules; fi
  mkdir -p "$(dirname "$WINEPREFIX")"
  # /usr/bin/wine is the 32-bit loader once wine32 is installed; for a new
  # prefix it starts wine64, which makes a win64 one with syswow64. (With
  # WINEARCH=win64 set, that loader fails instead: kernel32.dll not found.)
  xvfb-run -a wine wineboot -i && wineserver -w || return 1
  [ -f "$windir/syswow64/kernel32.dll" ] || { echo "the prefix has no syswow64"; return 1; }
  # 32-bit programs must run: syswow64's cmd.exe returns 7.
  local code=0
  xvfb-run -a wine 'C:\windows\syswow64\cmd.exe' /c exit 7 || code=$?
  wineserver -w
  [ "$code" = 7 ] || { echo "32-bit cmd.exe returned $code, expected 7"; return 1; }
  df -h /
}

run_command() {
  if [ -e /ctl/share-host ]; then
    # Not cache=none here: then a read of a file opened O_NONBLOCK returns at
    # most one 9p message (about 500 KB), and Wine opens every file that way
    # and trusts such reads; a larger program started from here crashes. The
    # page cache makes reads whole; what is written reaches the host by the
    # sync before power-off.
    local cache=loose
    if [ -s /ctl/host-cache ]; then cache=$(cat /ctl/host-cache); fi
    mount -t 9p -o "${opts%,cache=*},cache=$cache" host /host ||
      { echo "cannot mount the host folder"; return 125; }
    # The folder shows at its host path too, so that paths made on the host
    # (in variables, in test data) work unchanged; unless the guest has
    # something of its own there.
    local hostpath
    hostpath=$(cat /ctl/share-host)
    if [ -n "$hostpath" ] && [ "$hostpath" != /host ] &&
       { [ ! -e "$hostpath" ] || [ -z "$(ls -A "$hostpath")" ]; }; then
      mkdir -p "$hostpath" && mount --bind /host "$hostpath"
    fi
  fi
  # The host's variables come last so that they can override the defaults.
  set -a
  . /ctl/env.sh
  set +a
  if [ -f /ctl/expand-x86.exe ]; then cp /ctl/expand-x86.exe "$windir/syswow64/expand.exe"; fi
  if [ -f /ctl/expand-x64.exe ]; then cp /ctl/expand-x64.exe "$windir/system32/expand.exe"; fi
  if [ -f /ctl/runexit.exe ]; then cp /ctl/runexit.exe "$windir/runexit.exe"; fi
  # A crashing program must end, with its backtrace on stderr, rather than
  # wait for someone to close Wine's crash dialog.
  if ! grep -q '^\[Software\\\\Wine\\\\WineDbg\]' "$WINEPREFIX/user.reg"; then
    printf '\n[Software\\\\Wine\\\\WineDbg] %s\n"ShowCrashDialog"=dword:00000000\n' "$(date +%s)" \
      >>"$WINEPREFIX/user.reg"
  fi
  # One server for the whole boot: only the first Wine program pays for
  # starting it and Wine's services; the later ones start in a few seconds.
  wineserver -p
  cd /host || return 125
  # Wine is ended while its X server still runs; otherwise Wine's desktop
  # process complains on stderr that the display went away.
  xvfb-run -a bash -c 'bash /ctl/command.sh; status=$?; wineserver -k 2>/dev/null; wineserver -w; exit $status'
}

mkdir -p /host
status=0
case "$(cat /ctl/mode)" in
  boot)
    (first_boot) </dev/null >>/ctl/stdout 2>>/ctl/stderr || status=$?
    # Keep the image clean for the runs that start from it.
    sync
    mount -o remount,ro / 2>/dev/null
    ;;
  run)
    run_command </dev/null >>/ctl/stdout 2>>/ctl/stderr || status=$?
    ;;
  *)
    echo "guest: unknown request" >>/ctl/stderr
    status=125
    ;;
esac
echo "$status" >/ctl/status
