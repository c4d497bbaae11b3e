#!/usr/bin/env bash
# The Wine environment of one build folder's tests.
#
#   wine-env.sh start   make the private prefix (once per build folder), install
#                       the test expand.exe, start one Xvfb and one persistent
#                       wineserver for this test run
#   wine-env.sh run PROGRAM [ARGS...]
#                       run a Windows program in that environment
#   wine-env.sh stop    end the wineserver and the Xvfb (also after failures)
#
# KESTO_WINE_DIR names the folder that holds the prefix and the run's state;
# it lies under the build folder, never in the user's ~/.wine.
set -euo pipefail

dir=${KESTO_WINE_DIR:?KESTO_WINE_DIR must name the Wine state folder}
export WINEPREFIX="$dir/prefix"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko prompts; expand.exe is our stand-in, not Wine's builtin.
export WINEDLLOVERRIDES="mscoree,mshtml=;expand.exe=n"

stop() {
  if [ -d "$WINEPREFIX" ]; then wineserver -k >/dev/null 2>&1 || true; fi
  if [ -f "$dir/xvfb.pid" ]; then
    kill "$(cat "$dir/xvfb.pid")" >/dev/null 2>&1 || true
    rm -f "$dir/xvfb.pid"
  fi
  rm -f "$dir/display"
}

start() {
  mkdir -p "$dir"
  stop
  if [ ! -f "$dir/prefix.ready" ]; then
    rm -rf "$WINEPREFIX" "$dir/prefix.nodebugger"
    echo "wine-env: making the Wine prefix $WINEPREFIX (once per build folder)"
    wine wineboot -i >"$dir/wineboot.log" 2>&1 || { cat "$dir/wineboot.log"; exit 1; }
    wineserver -w
    touch "$dir/prefix.ready"
  fi
  if [ -n "${KESTO_EXPAND_EXE:-}" ]; then
    cp "$KESTO_EXPAND_EXE" "$WINEPREFIX/drive_c/windows/system32/expand.exe"
  fi

  # Background processes must not hold the test's output pipes open, or CTest
  # would wait for them: their output goes to files.
  : >"$dir/display"
  setsid Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>"$dir/display" \
    >"$dir/xvfb.log" 2>&1 </dev/null &
  echo $! >"$dir/xvfb.pid"
  for _ in $(seq 200); do
    [ -s "$dir/display" ] && break
    sleep 0.1
  done
  [ -s "$dir/display" ] || { echo "wine-env: Xvfb did not start"; cat "$dir/xvfb.log"; exit 1; }
  export DISPLAY=":$(head -n1 "$dir/display")"

  # One persistent server for the whole run: a cold start costs seconds.
  setsid wineserver -p >"$dir/wineserver.log" 2>&1 </dev/null
  wine cmd /c exit 0 >/dev/null 2>&1 </dev/null

  # A program that crashes ends at once: no crash dialog and no debugger,
  # which would wait for ever, and the launcher, which never ends a child,
  # with them. Once per prefix.
  if [ ! -f "$dir/prefix.nodebugger" ]; then
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 </dev/null
    for key in 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
               'HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\AeDebug'; do
      wine reg delete "$key" /v Debugger /f >/dev/null 2>&1 </dev/null || true
    done
    touch "$dir/prefix.nodebugger"
  fi
  echo "wine-env: Xvfb on $DISPLAY, wineserver up"
}

run() {
  if [ ! -s "$dir/display" ]; then
    echo "wine-env: the Wine environment is not started (ctest starts it as a fixture)" >&2
    exit 125
  fi
  export DISPLAY=":$(head -n1 "$dir/display")"
  exec wine "$@"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  run) shift; run "$@" ;;
  *) echo "usage: wine-env.sh start|stop|run PROGRAM [ARGS...]" >&2; exit 2 ;;
esac
