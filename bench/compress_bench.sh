#!/usr/bin/env bash
# Compression benchmark, timed as a user runs the tools: whole processes on files, best of three.
# 1. pontaro-las compress/decompress on 1, 2 and 4 threads beside xz -6 and zstd -19 on the real samples
#    and on synthetic files of each point format.
# 2. Decompression beside laz-perf (a LAZ decoder compiled to WebAssembly, run with node) on the LAZ files
#    of the samples: each decodes to the points of a LAS file that pontaro-las then compresses and
#    decompresses, so both sides work on the same points.
# Speeds are MB/s of LAS data. Usage: bench/compress_bench.sh BUILD_DIR DATA_DIR POINTS
set -euo pipefail
build=$1
data=$2
points=${3:-10000000}
tool="$build/bin/pontaro-las"
here=$(cd "$(dirname "$0")" && pwd)
samples=$here/../../shared/data
work=$(mktemp -d "${TMPDIR_BENCH:-/dev/shm}/pontaro-bench-XXXXXX" 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
runs=${PONTARO_BENCH_RUNS:-3}

mbps() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%7.1f", (s > 0 ? b / 1e6 / s : 0) }'; }
pct() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%5.1f%%", 100 * a / b }'; }
# best SECONDS-SO-FAR CMD...: runs CMD and prints the smaller of its wall time and SECONDS-SO-FAR.
best() {
  local so_far=$1
  shift
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  t1=$(date +%s.%N)
  awk -v a="$so_far" -v b="$(echo "$t1 - $t0" | bc)" 'BEGIN { print (a == "" || b < a) ? b : a }'
}
# Points of two LAS files equal (each from its own offset to the point data on).
samePoints() {
  local a b
  a=$(od -An -tu4 -j96 -N4 "$1" | tr -d ' ')
  b=$(od -An -tu4 -j96 -N4 "$2" | tr -d ' ')
  cmp -s <(tail -c +$((a + 1)) "$1") <(tail -c +$((b + 1)) "$2")
}

files=()
for f in "$samples"/las/*.las "$samples"/las-large/*.las; do [ -f "$f" ] && files+=("$f"); done
for format in 0 1 2 3; do
  f="$data/synth-$points-f$format.las"
  [ -f "$f" ] || "$tool" synth "$f" --points "$points" --format "$format" --seed 1 >/dev/null 2>&1
  files+=("$f")
done

# pontaro-las on T threads: prints "compress decompress" (MB/s, best of $runs) and checks the round trip.
pontaro() {
  local f=$1 threads=$2 size c="" d="" r
  size=$(stat -c %s "$f")
  for ((r = 0; r < runs; ++r)); do
    c=$(best "$c" "$tool" compress "$f" "$work/p.lasc" --threads "$threads")
    d=$(best "$d" "$tool" decompress "$work/p.lasc" "$work/p.las" --threads "$threads")
  done
  cmp -s "$f" "$work/p.las" || { echo "MISMATCH after decompressing $f on $threads threads" >&2; exit 1; }
  echo "$(mbps "$size" "$c") $(mbps "$size" "$d")"
}

echo "== pontaro-las and general compressors (whole processes, best of $runs; MB/s of LAS: c compress, d decompress)"
printf "%-28s %11s %7s | %-15s | %-15s | %-15s | %-22s | %-22s\n" "file" "LAS bytes" "size" \
  "1 thread: c d" "2 threads: c d" "4 threads: c d" "xz -6: size c d" "zstd -19: size c d"
for f in "${files[@]}"; do
  size=$(stat -c %s "$f")
  row=$(printf "%-28s %11d" "$(basename "$f")" "$size")
  one=$(pontaro "$f" 1)
  row+=" $(pct "$(stat -c %s "$work/p.lasc")" "$size") | $one"
  row+=" | $(pontaro "$f" 2) | $(pontaro "$f" 4)"
  for c in "xz -6" "zstd -19 -q"; do
    t0=$(date +%s.%N); $c -c <"$f" >"$work/c"; t1=$(date +%s.%N); $c -dc <"$work/c" >/dev/null; t2=$(date +%s.%N)
    row+=" | $(pct "$(stat -c %s "$work/c")" "$size") $(mbps "$size" "$(echo "$t1 - $t0" | bc)") $(mbps "$size" "$(echo "$t2 - $t1" | bc)")"
  done
  echo "$row"
  rm -f "$work"/*
done

echo
echo "== decompression beside laz-perf (node, WebAssembly) on the LAZ samples; the LAS each decodes to is"
echo "   compressed and decompressed by pontaro-las (ratio: pontaro-las decompression speed / laz-perf's)"
modules=${PONTARO_LAZPERF_DIR:-$HOME/.cache/pontaro-bench/node_modules}
if [ ! -d "$modules/laz-perf" ] && command -v npm >/dev/null; then
  mkdir -p "$(dirname "$modules")"
  (cd "$(dirname "$modules")" && timeout 300 npm install --no-save --silent laz-perf >/dev/null 2>&1) || true
fi
if ! command -v node >/dev/null || [ ! -d "$modules/laz-perf" ]; then
  echo "skipped: laz-perf is not installed and could not be installed with npm (needs node and the npm registry)"
  exit 0
fi
# The LAS file each LAZ sample decodes to (see the MANIFEST of the LAZ samples).
lasOf() {
  case "$(basename "$1")" in
    synth-2M-format3.laz)
      [ -f "$data/synth-2M-format3.las" ] ||
        "$tool" synth "$data/synth-2M-format3.las" --points 2000000 --format 3 --seed 7 >/dev/null 2>&1
      echo "$data/synth-2M-format3.las" ;;
    las_chablais3.laz) echo "$samples/las-large/las_chablais3.las" ;;
    autzen_trim.laz) echo "$samples/las/autzen_trim.las" ;;
  esac
}
printf "%-24s %11s | %-9s | %-9s %-6s | %-9s %-6s | %-9s %-6s | %-24s\n" "LAZ file" "LAS bytes" "laz-perf" \
  "1 thread" "ratio" "2 threads" "ratio" "4 threads" "ratio" "pontaro-las compress 1/2/4"
for z in "$samples"/laz/*.laz; do
  [ -f "$z" ] || continue
  las=$(lasOf "$z")
  [ -n "$las" ] && [ -f "$las" ] || { echo "$(basename "$z"): no LAS source here, skipped"; continue; }
  size=$(stat -c %s "$las")
  t=""
  for ((r = 0; r < runs; ++r)); do
    t=$(best "$t" node "$here/lazperf_decode.js" "$modules" "$z" "$work/z.las")
  done
  samePoints "$las" "$work/z.las" || { echo "laz-perf decoded $z to other points than $las" >&2; exit 1; }
  peer=$(mbps "$size" "$t")
  row=$(printf "%-24s %11d | %9s" "$(basename "$z")" "$size" "$peer")
  comp=""
  for threads in 1 2 4; do
    read -r c d < <(pontaro "$las" "$threads")
    row+=" | $(printf "%9s %6s" "$d" "$(awk -v a="$d" -v b="$peer" 'BEGIN { printf "%.2f", a / b }')")"
    comp+="$c "
  done
  echo "$row | $comp"
  rm -f "$work"/*
done
