#!/usr/bin/env bash
# Point server import benchmark, as a user runs it: `pontaro-server import` as a whole process on synthetic
# surveys (format 1) of 2 million, POINTS and, with PONTARO_BENCH_IMPORT_LARGE=1, 100 million points (2.8 GB,
# made here and deleted afterwards). Each size is imported three ways in the same run: with the default
# memory bound (a quarter of physical memory; inputs that fit it stay in memory), with a fixed bound that
# sends larger inputs through buckets on disk (--memory BOUND, default 512M), and in memory (a bound no input
# here reaches), the baseline. Rates in points/s, peak resident memory in MB.
# Usage: bench/import_bench.sh BUILD_DIR DATA_DIR POINTS
set -euo pipefail
build=$1
data=$2
points=${3:-10000000}
bound=${PONTARO_BENCH_IMPORT_BOUND:-512M}
las="$build/bin/pontaro-las"
work=$(mktemp -d "${TMPDIR_BENCH:-$data}/pontaro-import-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
sizes=(2000000 "$points")
[ "${PONTARO_BENCH_IMPORT_LARGE:-0}" = 1 ] && sizes+=(100000000)

now() { date +%s.%N; }
rss() { awk '/Maximum resident set size/ { printf "%.0f", $6 / 1024 }' "$1"; }
rate() { awk -v n="$1" -v s="$2" 'BEGIN { printf "%.0f", (s > 0 ? n / s : 0) }'; }
# run N LABEL ARGS...: prints "seconds peakMB" of one import
run() {
  local t0 t1
  rm -rf "$work/ds"
  t0=$(now)
  /usr/bin/time -v "$build/bin/pontaro-server" import "$1" --data "$work/ds" --name bench "${@:2}" >/dev/null \
    2>"$work/imp.err"
  t1=$(now)
  echo "$(echo "$t1 - $t0" | bc) $(rss "$work/imp.err")"
}

echo "== point server import (whole processes; rates in points/s, memory in MB; bounded: --memory $bound)"
printf "%-12s %14s %9s %14s %9s %14s %9s %14s\n" "points" "default pts/s" "MB" "bounded pts/s" "MB" \
  "in-memory pts/s" "MB" "bounded/in-mem"
for n in "${sizes[@]}"; do
  f="$data/synth-$n-f1.las"
  made=0
  if [ ! -f "$f" ]; then
    "$las" synth "$f" --points "$n" --format 1 --seed 1 >/dev/null 2>&1
    made=1
  fi
  read -r ds dm < <(run "$f")
  read -r bs bm < <(run "$f" --memory "$bound")
  read -r ms mm < <(run "$f" --memory 1T)
  printf "%-12s %14s %9s %14s %9s %14s %9s %14s\n" "$n" "$(rate "$n" "$ds")" "$dm" "$(rate "$n" "$bs")" "$bm" \
    "$(rate "$n" "$ms")" "$mm" "$(awk -v a="$ms" -v b="$bs" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')"
  [ "$n" = 100000000 ] && [ "$made" = 1 ] && rm -f "$f"
done
