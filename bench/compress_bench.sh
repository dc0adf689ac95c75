#!/usr/bin/env bash
# Compression benchmark: for each real sample and a synthetic file of each point format, the size and
# speed of pontaro-las compress/decompress beside xz -6, zstd -19 and gzip -9 on the same file in the
# same run. Speeds are MB/s of LAS data. Usage: bench/compress_bench.sh BUILD_DIR DATA_DIR POINTS
set -euo pipefail
build=$1
data=$2
points=${3:-10000000}
tool="$build/bin/pontaro-las"
samples=../shared/data
work=$(mktemp -d "${TMPDIR_BENCH:-/dev/shm}/pontaro-bench-XXXXXX" 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
threads=$(nproc)

now() { date +%s.%N; }
mbps() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%7.1f", (s > 0 ? b / 1e6 / s : 0) }'; }
pct() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%5.1f%%", 100 * a / b }'; }

files=()
for f in "$samples"/las/*.las "$samples"/las-large/*.las; do [ -f "$f" ] && files+=("$f"); done
for format in 0 1 2 3; do
  f="$data/synth-$points-f$format.las"
  [ -f "$f" ] || "$tool" synth "$f" --points "$points" --format "$format" --seed 1 >/dev/null 2>&1
  files+=("$f")
done

printf "%-28s %11s | %-28s | %-28s | %-26s | %-26s | %-26s\n" "file" "LAS bytes" \
  "pontaro 1 thread: size c d" "pontaro $threads threads: size c d" "xz -6: size c d" "zstd -19: size c d" "gzip -9: size c d"
for f in "${files[@]}"; do
  size=$(stat -c %s "$f")
  row=$(printf "%-28s %11d" "$(basename "$f")" "$size")
  t0=$(now); "$tool" compress "$f" "$work/p.lasc" --threads 1 >/dev/null 2>&1; t1=$(now)
  "$tool" decompress "$work/p.lasc" "$work/p.las" >/dev/null 2>&1; t2=$(now)
  cmp -s "$f" "$work/p.las" || { echo "MISMATCH after decompressing $f" >&2; exit 1; }
  psize=$(stat -c %s "$work/p.lasc")
  row+=" | $(pct "$psize" "$size") $(mbps "$size" "$(echo "$t1 - $t0" | bc)") $(mbps "$size" "$(echo "$t2 - $t1" | bc)")"
  t0=$(now); "$tool" compress "$f" "$work/q.lasc" --threads "$threads" >/dev/null 2>&1; t1=$(now)
  "$tool" decompress "$work/q.lasc" "$work/q.las" --threads "$threads" >/dev/null 2>&1; t2=$(now)
  cmp -s "$f" "$work/q.las" || { echo "MISMATCH after decompressing $f on $threads threads" >&2; exit 1; }
  row+=" | $(pct "$psize" "$size") $(mbps "$size" "$(echo "$t1 - $t0" | bc)") $(mbps "$size" "$(echo "$t2 - $t1" | bc)")"
  for c in "xz -6" "zstd -19 -q" "gzip -9"; do
    t0=$(now); $c -c <"$f" >"$work/c"; t1=$(now); $c -dc <"$work/c" >/dev/null; t2=$(now)
    row+=" | $(pct "$(stat -c %s "$work/c")" "$size") $(mbps "$size" "$(echo "$t1 - $t0" | bc)") $(mbps "$size" "$(echo "$t2 - $t1" | bc)")"
  done
  echo "$row"
  rm -f "$work"/*
done
echo "(size: compressed size as a percentage of the LAS file; c, d: compression and decompression speed, MB/s of LAS data)"
