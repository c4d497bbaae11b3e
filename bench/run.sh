#!/usr/bin/env bash
# make bench: builds the benchmark programs, makes their packages (once; they
# are kept under the build folder and reused), runs every benchmark under Wine
# and two other self-extractors natively, and prints one table, which it also
# writes into docs/performance.md.
#
# Every figure is measured against a baseline in the same run, in rounds whose
# order alternates; medians are shown with their minimum and maximum. "met"
# reports a target; nothing here fails on a time.
#
# Settings (environment):
#   KESTO_BENCH_BUILD  the benchmark build folder (build/bench)
#   KESTO_DIST_DIR     where the release stub and the packer are (dist)
#   KESTO_BENCH_QUICK  1: one round each and small payloads, to try the script
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${KESTO_BENCH_BUILD:-$top/build/bench}
dist=${KESTO_DIST_DIR:-$top/dist}
quick=${KESTO_BENCH_QUICK:-0}
mkdir -p "$build"
build=$(cd "$build" && pwd)
dist=$(cd "$dist" && pwd)
jobs=2

if [ "$quick" = 1 ]; then
  big=16 bigger=32 copy_rounds=1 memory_rounds=1 overhead_rounds=1 log_rounds=1 peer_rounds=1 pack_rounds=1
else
  big=256 bigger=512 copy_rounds=9 memory_rounds=3 overhead_rounds=9 log_rounds=5 peer_rounds=5 pack_rounds=3
fi

say() { echo "bench: $*" >&2; }
started=$(date +%s)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# --- Build ------------------------------------------------------------------
say "building the benchmarks in $build"
# The x64 stub the packages carry is this build's own (its copy goes to a dist
# folder inside it); the release stub and the packer come from dist.
cmake --preset x64 -B "$build" -DKESTO_BUILD_BENCH=ON -DKESTO_DIST_DIR="$build/dist" >/dev/null
cmake --build "$build" -j"$jobs" --target kesto_bench >/dev/null
stub=$build/dist/x64/kesto.exe
release_stub=$dist/x86/kesto.exe
pack=$dist/bin/kesto-pack
noop=$build/bench/noop.exe
for needed in "$stub" "$release_stub" "$pack" "$noop"; do
  [ -f "$needed" ] || { say "missing $needed (make x86 native first)"; exit 1; }
done

# --- Packages -----------------------------------------------------------------
# data/<n>/ holds an n MiB file of random bytes and the entry; pkg-<n>.cab is
# that folder stored (not compressed) by gcab, pkg-<n>.exe the launcher file.
# The others pack the same file: makeself-<n>.run and 7z-<n>.sfx with a no-op
# setup.sh.
data=$build/bench-data
mkdir -p "$data"
make_package() {
  local n=$1 folder=$data/$1
  if [ ! -f "$folder/data.bin" ] || [ "$(stat -c %s "$folder/data.bin")" != $((n << 20)) ]; then
    say "making $n MiB of random data"
    rm -rf "$folder" && mkdir -p "$folder"
    head -c $((n << 20)) /dev/urandom >"$folder/data.bin"
    rm -f "$data/pkg-$n.cab"
  fi
  if ! cmp -s "$noop" "$folder/noop.exe"; then
    cp "$noop" "$folder/noop.exe"
    rm -f "$data/pkg-$n.cab"
  fi
  if [ ! -f "$data/pkg-$n.cab" ]; then
    (cd "$folder" && gcab -c "$data/pkg-$n.cab" noop.exe data.bin)
  fi
  if [ ! -f "$data/pkg-$n.exe" ] || [ "$stub" -nt "$data/pkg-$n.exe" ] || [ "$pack" -nt "$data/pkg-$n.exe" ] ||
     [ "$data/pkg-$n.cab" -nt "$data/pkg-$n.exe" ]; then
    "$pack" -s "$stub" -o "$data/pkg-$n.exe" --cab "$data/pkg-$n.cab" >/dev/null
  fi
}
make_peers() {
  local n=$1 folder=$data/peer-$1
  if [ ! -f "$data/makeself-$n.run" ] || [ "$data/$n/data.bin" -nt "$data/makeself-$n.run" ]; then
    say "packing $n MiB with makeself and 7-Zip"
    rm -rf "$folder" "$data/makeself-$n.run" "$data/7z-$n.sfx" && mkdir -p "$folder"
    ln "$data/$n/data.bin" "$folder/data.bin"
    printf '#!/bin/sh\nexit 0\n' >"$folder/setup.sh" && chmod +x "$folder/setup.sh"
    # Stored and without checksums, like the launcher file.
    makeself --nocomp --nomd5 --nocrc --nox11 --quiet "$folder" "$data/makeself-$n.run" bench ./setup.sh >/dev/null
    (cd "$folder" && 7z a -mx0 -sfx/usr/lib/p7zip/7zCon.sfx "$data/7z-$n.sfx" data.bin setup.sh >/dev/null)
    chmod +x "$data/7z-$n.sfx"
    rm -rf "$folder"
  fi
}
# pkg-<n>-unaligned.exe: the same package with the marker right behind the
# image (kesto-pack --unaligned), so that every write of the copy straddles
# two pages of the output.
make_unaligned() {
  local n=$1
  if [ ! -f "$data/pkg-$n-unaligned.exe" ] || [ "$data/pkg-$n.exe" -nt "$data/pkg-$n-unaligned.exe" ]; then
    "$pack" --unaligned -s "$stub" -o "$data/pkg-$n-unaligned.exe" --cab "$data/pkg-$n.cab" >/dev/null
  fi
}
make_package 1
make_package "$big"
make_unaligned "$big"
make_package "$bigger"
make_peers "$big"
# Packages of sizes no longer used go.
for old in "$data"/pkg-*.cab; do
  n=${old##*/pkg-}; n=${n%.cab}
  case " 1 $big $bigger " in
    *" $n "*) ;;
    *) rm -rf "$data/$n" "$data"/pkg-"$n"{.cab,.exe,-unaligned.exe} "$data/makeself-$n.run" "$data/7z-$n.sfx" ;;
  esac
done

# --- Wine ---------------------------------------------------------------------
export KESTO_WINE_DIR=$build/wine
export KESTO_EXPAND_EXE=$build/tools/wine/expand.exe
wine_env=$top/tests/harness/wine-env.sh
scratch=$build/bench-scratch
# The payload copies are written to memory (tmpfs) when there is one: the
# comparison is of the copy loops, and a disk's write-back makes single copies
# vary by a sixth. Each copy is deleted right after it is timed.
copy_scratch=$scratch/copy
if [ -d /dev/shm ] && [ -w /dev/shm ]; then copy_scratch=/dev/shm/kesto-bench-$(id -u)-$$; fi
cleanup() {
  "$wine_env" stop >/dev/null 2>&1 || true
  rm -rf "$scratch" "$copy_scratch"
}
trap cleanup EXIT
"$wine_env" start >/dev/null
mkdir -p "$scratch"
run_bench() { "$wine_env" run "$build/bench/$1.exe" "${@:2}" | tr -d '\r'; }

rows=$build/bench-rows.tsv
: >"$rows"
keep_rows() { grep '^ROW' | cut -f2- >>"$rows"; }

say "1/9 payload copy ($copy_rounds rounds)"
run_bench payload_copy_bench "$data/pkg-$big.exe" "$data/pkg-$big-unaligned.exe" "$copy_scratch" "$copy_rounds" | keep_rows
say "2/9 memory ($memory_rounds rounds)"
run_bench memory_bench "$data/pkg-$bigger.exe" "$data/pkg-1.exe" "$memory_rounds" | keep_rows
say "3/9 run overhead ($overhead_rounds rounds)"
run_bench run_overhead_bench "$data/pkg-1.exe" "$data/pkg-1.cab" noop.exe "$scratch/overhead" "$overhead_rounds" | keep_rows
say "4/9 log cost ($log_rounds rounds)"
run_bench log_cost_bench "$scratch/log" 500 "$log_rounds" | keep_rows

# --- Stub size ---------------------------------------------------------------
say "5/9 stub size"
size=$(stat -c %s "$release_stub")
x64_size=$(stat -c %s "$stub")
budget=$(sed -n 's/^set(KESTO_RELEASE_STUB_MAX_BYTES \([0-9]*\))$/\1/p' "$top/cmake/stub-budget.cmake")
[ -n "$budget" ] || { say "no budget in cmake/stub-budget.cmake"; exit 1; }
awk -v s="$size" -v x="$x64_size" -v b="$budget" 'BEGIN {
  kib = s / 1024; ok = s <= b ? "yes" : "no"
  printf "5 stub size: dist/x86/kesto.exe (x64 stub: %.1f KiB)\t%.1f KiB\t-\t-\texample layout image: 136 KiB\t%.2fx\t<= %.1f KiB\t%s\n",
         x / 1024, kib, kib / 136, b / 1024, ok }' >>"$rows"

# --- Other self-extractors, natively ----------------------------------------
say "6/9 the same $big MiB with makeself and 7-Zip, natively ($peer_rounds rounds)"
now() { date +%s.%N; }
peer_times=$build/bench-peers.tsv
: >"$peer_times"
run_makeself() {
  local start; start=$(now)
  TMPDIR=$scratch "$data/makeself-$big.run" --quiet --nox11 >/dev/null
  echo "makeself $(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')" >>"$peer_times"
}
run_7z() {
  local start; start=$(now)
  "$data/7z-$big.sfx" -o"$scratch/7z" -y >/dev/null
  sh "$scratch/7z/setup.sh"
  rm -rf "$scratch/7z"
  echo "7z $(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')" >>"$peer_times"
}
run_kesto() {
  echo "kesto $(run_bench timed_run "$data/pkg-$big.exe")" >>"$peer_times"
}
run_kesto  # unmeasured: the first run under Wine costs more
: >"$peer_times"
for ((round = 0; round < peer_rounds; round++)); do
  case $((round % 3)) in
    0) run_kesto; run_makeself; run_7z ;;
    1) run_makeself; run_7z; run_kesto ;;
    2) run_7z; run_kesto; run_makeself ;;
  esac
done
awk -v n="$big" '
  function stats(name,   i, j, t, c, v) {
    c = 0
    for (i = 1; i <= count; i++) if (who[i] == name) v[++c] = secs[i]
    for (i = 1; i <= c; i++) for (j = i + 1; j <= c; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
    med[name] = c % 2 ? v[(c + 1) / 2] : (v[c / 2] + v[c / 2 + 1]) / 2
    lo[name] = v[1]; hi[name] = v[c]
  }
  { who[++count] = $1; secs[count] = $2 }
  END {
    stats("kesto"); stats("makeself"); stats("7z")
    printf "6 peers, %d MiB stored, no-op entry: launcher under Wine, end to end\t%.3f s\t%.3f\t%.3f\t-\t-\treport\t-\n",
           n, med["kesto"], lo["kesto"], hi["kesto"]
    split("makeself 7z", names, " ")
    label["makeself"] = "makeself (--nocomp --nomd5 --nocrc), native"
    label["7z"] = "7-Zip console SFX (-mx0) and sh setup.sh, native"
    for (k = 1; k <= 2; k++) {
      p = names[k]
      printf "6 ... %s\t%.3f s\t%.3f\t%.3f\tlauncher under Wine: %.3f s\tlauncher %.2fx\treport\t-\n",
             label[p], med[p], lo[p], hi[p], med["kesto"], med["kesto"] / med[p]
    }
  }' "$peer_times" >>"$rows"

# --- Packing, natively ---------------------------------------------------------
# mixed-<n>/ holds n MiB in 1027 files: 3/8 random bytes, 5/16 base64 text,
# 1/4 a repeated line, 1/16 in 16 KiB text files. kesto-pack build (the
# cabinet through libgcab into the launcher file, then the whole package read
# back and checked) against the gcab program making only the cabinet of the
# same files, compressed and stored, alternating. A build that fails counts
# as no time: the script stops.
say "7/9 packing $big MiB of mixed files: kesto-pack build against gcab -c ($pack_rounds rounds)"
mixed=$data/mixed-$big
if [ ! -f "$mixed/.complete" ]; then
  rm -rf "$data"/mixed-* && mkdir -p "$mixed/bin" "$mixed/text" "$mixed/small"
  head -c $((big * 3 / 8))M /dev/urandom >"$mixed/bin/random.bin"
  base64 -w 76 /dev/urandom | head -c $((big * 5 / 16))M >"$mixed/text/log.txt" || true
  yes "kesto bench: a line of a repetitive configuration file, key = value" | head -c $((big / 4))M \
    >"$mixed/text/repetitive.txt" || true
  base64 -w 76 /dev/urandom | head -c $((big / 16))M | (cd "$mixed/small" && split -b 16384 -a 4 - part-) || true
  touch "$mixed/.complete"
fi
mapfile -t mixed_files < <(cd "$mixed" && find . -type f ! -name .complete | sed 's|^\./||' | LC_ALL=C sort)
pack_out=$scratch/pack
mkdir -p "$pack_out"
pack_times=$build/bench-pack.tsv
: >"$pack_times"
time_kesto() {
  local start; start=$(now)
  "$pack" build ${1:+--store} --stub "$release_stub" --out "$pack_out/package.exe" "$mixed" >/dev/null ||
    { say "kesto-pack build failed"; exit 1; }
  local seconds; seconds=$(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')
  # Timed only when whole, checked outside the time by the other reader.
  "$pack" inspect "$pack_out/package.exe" >/dev/null || { say "the package does not read back"; exit 1; }
  echo "kesto$1 $seconds" >>"$pack_times"
  rm -f "$pack_out/package.exe"
}
time_gcab() {
  local start; start=$(now)
  local zip=-z
  [ -n "$1" ] && zip=
  (cd "$mixed" && gcab -c $zip "$pack_out/package.cab" "${mixed_files[@]}")
  local seconds; seconds=$(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')
  cabextract -q -t "$pack_out/package.cab" >/dev/null || { say "gcab's cabinet does not read back"; exit 1; }
  echo "gcab$1 $seconds" >>"$pack_times"
  rm -f "$pack_out/package.cab"
}
for ((round = 0; round < pack_rounds; round++)); do
  for stored in "" -stored; do
    if ((round % 2)); then time_gcab "$stored"; time_kesto "$stored"; else time_kesto "$stored"; time_gcab "$stored"; fi
  done
done
awk -v n="$big" -F' ' '
  function median(name,   i, j, t, c, v) {
    c = 0
    for (i = 1; i <= count; i++) if (who[i] == name) v[++c] = secs[i]
    for (i = 1; i <= c; i++) for (j = i + 1; j <= c; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
    lo[name] = v[1]; hi[name] = v[c]
    return c % 2 ? v[(c + 1) / 2] : (v[c / 2] + v[c / 2 + 1]) / 2
  }
  # Ratios round by round: the i-th kesto run against the i-th gcab run.
  function ratios(kind,   i, k, g, c, r, t, j) {
    k = 0; g = 0
    for (i = 1; i <= count; i++) { if (who[i] == "kesto" kind) ka[++k] = secs[i]; if (who[i] == "gcab" kind) ga[++g] = secs[i] }
    c = 0
    for (i = 1; i <= k; i++) r[++c] = ka[i] / ga[i]
    for (i = 1; i <= c; i++) for (j = i + 1; j <= c; j++) if (r[j] < r[i]) { t = r[i]; r[i] = r[j]; r[j] = t }
    rlo = r[1]; rhi = r[c]
    return c % 2 ? r[(c + 1) / 2] : (r[c / 2] + r[c / 2 + 1]) / 2
  }
  { who[++count] = $1; secs[count] = $2 }
  END {
    kinds[1] = ""; kinds[2] = "-stored"
    for (x = 1; x <= 2; x++) {
      kind = kinds[x]
      mk = median("kesto" kind); klo = lo["kesto" kind]; khi = hi["kesto" kind]
      mg = median("gcab" kind); glo = lo["gcab" kind]; ghi = hi["gcab" kind]
      r = ratios(kind)
      label = kind == "" ? "7 packing " n " MiB of mixed files, MSZIP: kesto-pack build vs gcab -c -z" \
                         : "7 ... stored: kesto-pack build --store vs gcab -c"
      # Stored, the read-back of the whole package by build is a pass of its
      # own beside writing it; compressed, deflate is nearly all of the time.
      target = kind == "" ? 1.10 : 2.00
      printf "%s\t%.2f s\t%.2f\t%.2f\t%.2f s (%.2f to %.2f)\t%.3fx (%.3f to %.3f)\t<= %.2fx\t%s\n",
             label, mk, klo, khi, mg, glo, ghi, r, rlo, rhi, target, r <= target ? "yes" : "no"
    }
  }' "$pack_times" >>"$rows"

# --- Names, natively --------------------------------------------------------------
# names-<n>.exe: a stored package of n names (n - 1 empty files and setup.cmd)
# made by kesto-pack. inspect of 65,535 names against inspect of 16,384 names
# scaled by 65,535 / 16,384, alternating: a check that compared every pair of
# names would take four times as long per name.
say "8/9 inspect of 65,535 names against 16,384 names ($pack_rounds rounds)"
make_names() {
  local n=$1 folder=$data/names-$1
  if [ ! -f "$data/names-$n.exe" ] || [ "$pack" -nt "$data/names-$n.exe" ]; then
    rm -rf "$folder" && mkdir -p "$folder"
    (cd "$folder" && seq -f 'file-%05g.txt' 1 $((n - 1)) | xargs touch && printf '@exit /b 0\r\n' >setup.cmd)
    "$pack" build --store --stub "$release_stub" --out "$data/names-$n.exe" "$folder" >/dev/null
    rm -rf "$folder"
  fi
}
make_names 16384
make_names 65535
names_times=$build/bench-names.tsv
: >"$names_times"
time_inspect() {
  local start; start=$(now)
  "$pack" inspect "$data/names-$1.exe" >"$scratch/inspect-$1.txt" || { say "inspect of $1 names failed"; exit 1; }
  local seconds; seconds=$(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')
  grep -q "^cabinet: .* $1 files," "$scratch/inspect-$1.txt" || { say "inspect did not list $1 files"; exit 1; }
  echo "$1 $seconds" >>"$names_times"
}
for ((round = 0; round < pack_rounds; round++)); do
  if ((round % 2)); then time_inspect 16384; time_inspect 65535; else time_inspect 65535; time_inspect 16384; fi
done
awk -F' ' '
  function sorted(name, v,   i, j, t, c) {
    c = 0
    for (i = 1; i <= count; i++) if (who[i] == name) v[++c] = secs[i]
    for (i = 1; i <= c; i++) for (j = i + 1; j <= c; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
    return c
  }
  function median(v, c) { return c % 2 ? v[(c + 1) / 2] : (v[c / 2] + v[c / 2 + 1]) / 2 }
  { who[++count] = $1; secs[count] = $2 }
  END {
    scale = 65535 / 16384
    c = sorted(65535, big); m = median(big, c)
    d = sorted(16384, small); b = median(small, d) * scale
    printf "8 names: kesto-pack inspect of 65,535 names (1.8 MB) vs 16,384 names, scaled by 65535/16384\t%.2f s\t%.2f\t%.2f\t%.2f s (%.2f to %.2f)\t%.2fx\t<= 2.00x\t%s\n",
           m, big[1], big[c], b, small[1] * scale, small[d] * scale, m / b, m / b <= 2 ? "yes" : "no"
  }' "$names_times" >>"$rows"

# The package's identity: the same stored build with --icon (five images, a
# PNG 256 among them), --version and --info against one without, alternating.
# Branding rewrites the stub's resources (a few KiB) and sums the whole
# package once more for its PE checksum.
say "9/9 packing $big MiB stored with and without an icon and version information ($pack_rounds rounds)"
/usr/bin/python3 "$top/tests/pack/pe_identity.py" icon "$pack_out/app.ico"
identity=(--icon "$pack_out/app.ico" --version 2.5.1.300 --info "ProductName=Bench Prodüct" --info "CompanyName=ACME")
: >"$pack_times"
time_identity() {
  local start; start=$(now)
  "$pack" build --store --stub "$release_stub" --out "$pack_out/package.exe" "${@:2}" "$mixed" >/dev/null ||
    { say "kesto-pack build failed"; exit 1; }
  echo "$1 $(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')" >>"$pack_times"
  rm -f "$pack_out/package.exe"
}
for ((round = 0; round < pack_rounds; round++)); do
  if ((round % 2)); then time_identity plain; time_identity branded "${identity[@]}"
  else time_identity branded "${identity[@]}"; time_identity plain; fi
done
awk -v n="$big" '
  function sorted_median(v, c,   i, j, t) {
    for (i = 1; i <= c; i++) for (j = i + 1; j <= c; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
    return c % 2 ? v[(c + 1) / 2] : (v[c / 2] + v[c / 2 + 1]) / 2
  }
  { if ($1 == "branded") b[++nb] = $2; else p[++np] = $2 }
  END {
    for (i = 1; i <= nb; i++) r[i] = b[i] / p[i]  # round by round
    mr = sorted_median(r, nb); rlo = r[1]; rhi = r[nb]
    mb = sorted_median(b, nb); mp = sorted_median(p, np)
    printf "9 identity, %d MiB stored: build with --icon, --version, --info vs without\t%.2f s\t%.2f\t%.2f\t%.2f s (%.2f to %.2f)\t%.3fx (%.3f to %.3f)\t<= 1.10x\t%s\n",
           n, mb, b[1], b[nb], mp, p[1], p[np], mr, rlo, rhi, mr <= 1.10 ? "yes" : "no"
  }' "$pack_times" >>"$rows"
rm -rf "$pack_out"

# --- The table ----------------------------------------------------------------
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)
table=$build/bench-results.md
{
  echo "Machine: $cpu, $(nproc) cores, $(free -g | awk '/^Mem:/ { print $2 }') GiB; $(wine --version 2>/dev/null);" \
       "load average $load_before before, $load_after after; $(date -u '+%Y-%m-%d %H:%M UTC');" \
       "bench/run.sh took $(( $(date +%s) - started )) s."
  echo
  awk -F'\t' '
    BEGIN { split("measure|median|min|max|baseline (median, min to max)|ratio or difference: median (min to max)|target|met", head, "|") }
    { for (i = 1; i <= 8; i++) { cell[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i) } }
    END {
      for (i = 1; i <= 8; i++) if (length(head[i]) > w[i]) w[i] = length(head[i])
      line = "|"; rule = "|"
      for (i = 1; i <= 8; i++) { line = line sprintf(" %-" w[i] "s |", head[i]); rule = rule sprintf("%s|", dashes(w[i] + 2)) }
      print line; print rule
      for (r = 1; r <= NR; r++) {
        line = "|"
        for (i = 1; i <= 8; i++) line = line sprintf(" %-" w[i] "s |", cell[r, i])
        print line
      }
    }
    function dashes(n,   s) { s = ""; while (n-- > 0) s = s "-"; return s }' "$rows"
  echo
  echo "Platforms: the launcher runs as a Windows x64 program under Wine (file calls, process starts and the"
  echo "poll timers go through Wine and its wineserver; cmd.exe is Wine's, expand.exe the tests' stand-in on"
  echo "Wine's cabinet.dll), and waits for each child on a 500 ms timer; makeself and 7-Zip run as native Linux"
  echo "programs (a shell script that cuts its archive out with dd and unpacks it with tar, and 7-Zip's own"
  echo "extractor) with nothing in between, and start their script as soon as the files are out."
} >"$table"
cat "$table"
"$top/scripts/update-doc-section.sh" "$top/docs/performance.md" "make bench" <"$table"
say "the table is also in docs/performance.md"
