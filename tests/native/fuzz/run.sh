#!/usr/bin/env bash
# Runs every libFuzzer target for a while on its corpus and prints, per
# target, the executions and the coverage libFuzzer reports at the end (cov:
# code edges reached, ft: features), as a table; also left in
# build/fuzz/fuzz-results.md. Fails when a target finds a crash, a leak or
# undefined behaviour (its reproducer is left in build/fuzz/artifacts/).
#
#   tests/native/fuzz/run.sh [SECONDS]   (default 60 per target)
set -euo pipefail
top=$(cd "$(dirname "$0")/../../.." && pwd)
fuzz=$top/build/fuzz
seconds=${1:-60}
targets=(marker_scan_fuzz option_match_fuzz format_fuzz package_read_fuzz identity_read_fuzz)
results=$fuzz/fuzz-results.md
mkdir -p "$fuzz/artifacts"

{
  echo "Fuzzing, $seconds s per target, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'))"
  echo
  echo "| target | seconds | executions | exec/s | cov | ft | corpus | result |"
  echo "|---|---|---|---|---|---|---|---|"
} >"$results"
status=0
for target in "${targets[@]}"; do
  binary=$fuzz/bin/$target
  [ -x "$binary" ] || { echo "fuzz: $binary is missing (make fuzz builds it)" >&2; exit 1; }
  corpus=$fuzz/corpus/$target
  mkdir -p "$corpus"
  log=$fuzz/$target.log
  echo "fuzz: $target for $seconds s" >&2
  result=ok
  # Seed inputs kept in the sources (tests/native/fuzz/seeds/TARGET) are read
  # too; what the run finds goes into the corpus.
  seeds=()
  [ -d "$top/tests/native/fuzz/seeds/$target" ] && seeds=("$top/tests/native/fuzz/seeds/$target")
  # libFuzzer's default cap (4 KiB, or the largest seed) would keep the
  # packer's reader from ever seeing a data block of real size (32 KiB).
  max_len=()
  [ "$target" = package_read_fuzz ] && max_len=(-max_len=131072)
  "$binary" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$fuzz/artifacts/$target-" "${max_len[@]}" \
    "$corpus" "${seeds[@]}" >"$log" 2>&1 || { result=FAILED; status=1; tail -n 30 "$log" >&2; }
  # The last status line: "#N  DONE  cov: C ft: F corp: K/S ... exec/s: E ..."
  line=$(grep -E '^#[0-9]+' "$log" | tail -n1)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n1)
  cov=$(grep -oE 'cov: [0-9]+' <<<"$line" | cut -d' ' -f2)
  ft=$(grep -oE 'ft: [0-9]+' <<<"$line" | cut -d' ' -f2)
  corp=$(grep -oE 'corp: [0-9]+/[0-9]+[a-zA-Z]*' <<<"$line" | cut -d' ' -f2)
  echo "| $target | $seconds | ${runs:-?} | ${rate:-?} | ${cov:-?} | ${ft:-?} | ${corp:-?} | $result |" >>"$results"
done
cat "$results"
exit $status
