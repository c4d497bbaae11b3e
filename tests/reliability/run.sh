#!/usr/bin/env bash
# make reliability: the long versions of the reliability tests
# (reliability_test.cpp) under Wine with the real stub, then every fuzz target
# for a minute. Prints the figures and writes them, with the date, the machine
# and the command for each, into docs/reliability.md and
# build/reliability/results.md; the whole output of the tests goes to
# build/reliability/reliability.log.
#
# Settings (environment): the counts of reliability_test.cpp (KESTO_SOAK_RUNS
# and so on; the defaults below are the published ones), FUZZ_SECONDS (60).
# Do not run it while `make test` runs: both use build/x64's Wine prefix.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
x64=$top/build/x64
out=$top/build/reliability
mkdir -p "$out"

export KESTO_SOAK_RUNS=${KESTO_SOAK_RUNS:-300}
export KESTO_CONCURRENT_ROUNDS=${KESTO_CONCURRENT_ROUNDS:-50}
export KESTO_AT_ONCE_ROUNDS=${KESTO_AT_ONCE_ROUNDS:-10}
export KESTO_DAMAGED_RUNS=${KESTO_DAMAGED_RUNS:-200}
export KESTO_DAMAGED_SEED=${KESTO_DAMAGED_SEED:-10}
export KESTO_STAGE_ATTEMPTS=${KESTO_STAGE_ATTEMPTS:-6}
fuzz_seconds=${FUZZ_SECONDS:-60}

# The tests' environment, as CTest gives it (tests/CMakeLists.txt).
export KESTO_WINE_DIR=$x64/wine
export KESTO_EXPAND_EXE=$x64/tools/wine/expand.exe
export KESTO_STUB=$top/dist/x64/kesto.exe
export KESTO_TEST_DATA=$x64/tests/data
export KESTO_TEST_TMP=$x64/tests/tmp
small_fs=$KESTO_TEST_TMP/small-fs-reliability
export KESTO_SMALL_FS_COPY=$small_fs/copy KESTO_SMALL_FS_EXPAND=$small_fs/expand
program=$x64/tests/reliability/reliability_test.exe
[ -f "$program" ] || { echo "reliability: $program is missing (make x64 builds it)" >&2; exit 1; }

finish() {
  "$top/tests/reliability/small-fs.sh" unmount "$small_fs" || true
  "$top/tests/harness/wine-env.sh" stop || true
}
trap finish EXIT
"$top/tests/harness/wine-env.sh" start
"$top/tests/reliability/small-fs.sh" mount "$small_fs"

started=$(date +%s)
status=0
# Wine's console output ends its lines in CR LF.
"$x64/wine-run" "$program" 2>&1 | sed -u 's/\r$//' | tee "$out/reliability.log" |
  grep --line-buffered -E '^(figure:|work folders left behind:|\[ *(OK|FAILED|SKIPPED|RUN) +\] Reliability)' || true
grep -q '^\[  PASSED  \]' "$out/reliability.log" && ! grep -q '^\[  FAILED  \]' "$out/reliability.log" || status=1
# Work folders the runs left under their temporary paths: none may be left.
left=$(sed -n 's/^work folders left behind: //p' "$out/reliability.log" | tail -n1)
[ "${left:-unknown}" = 0 ] || status=1
took=$(( $(date +%s) - started ))

# One row a test: its figure line, how long it took and its result.
machine="$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(free -g | awk '/^Mem:/ {print $2}') GiB; $(wine --version 2>/dev/null)"
{
  echo "Reliability under Wine, $(date -u '+%Y-%m-%d %H:%M UTC'); $machine; the tests took $took s."
  echo
  echo "| test | figures | time | result |"
  echo "|---|---|---|---|"
  awk '/^\[ RUN      \] Reliability\./ { name = substr($4, 13); figure = "-" }
       /^figure: / && name != "" { figure = substr($0, 9) }
       /^\[ *(OK|FAILED|SKIPPED) *\] Reliability\./ && name != "" {
         result = $0; sub(/^\[ */, "", result); sub(/ *\].*/, "", result)
         ms = $0; sub(/.*\(/, "", ms); sub(/ ms\).*/, "", ms)
         printf "| %s | %s | %d s | %s |\n", name, figure, ms / 1000, result; name = "" }' "$out/reliability.log"
  echo
  echo "Work folders left behind under the temporary paths, over all runs: ${left:-unknown}."
  echo
  echo "Counts: KESTO_SOAK_RUNS=$KESTO_SOAK_RUNS KESTO_CONCURRENT_ROUNDS=$KESTO_CONCURRENT_ROUNDS" \
       "KESTO_AT_ONCE_ROUNDS=$KESTO_AT_ONCE_ROUNDS KESTO_DAMAGED_RUNS=$KESTO_DAMAGED_RUNS" \
       "KESTO_DAMAGED_SEED=$KESTO_DAMAGED_SEED KESTO_STAGE_ATTEMPTS=$KESTO_STAGE_ATTEMPTS."
  echo "One test alone: build/x64/wine-run build/x64/tests/reliability/reliability_test.exe" \
       "--gtest_filter=Reliability.<test> (with the environment this script sets)."
  echo
} >"$out/results.md"

if [ "$fuzz_seconds" != 0 ]; then
  if ! make -C "$top" fuzz FUZZ_SECONDS="$fuzz_seconds" >"$out/fuzz.log" 2>&1; then
    status=1
    tail -n 30 "$out/fuzz.log"
  fi
  [ -f "$top/build/fuzz/fuzz-results.md" ] && cat "$top/build/fuzz/fuzz-results.md" >>"$out/results.md"
fi
echo
cat "$out/results.md"
"$top/scripts/update-doc-section.sh" "$top/docs/reliability.md" "make reliability" <"$out/results.md"
echo "reliability: the figures are also in docs/reliability.md"
exit $status
