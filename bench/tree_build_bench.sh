#!/usr/bin/env bash
# Local tree build benchmark: pontaro-tree build of synthetic surveys (format 1) of 2 million and POINTS
# points as whole processes, with points per second overall and per stage, peak resident memory and the
# most point files open at once; beside it, in the same run, the point server's import of the same file
# (which also finds neighbours, fits normals and assigns levels, in memory) and a plain read of the file.
# Usage: bench/tree_build_bench.sh BUILD_DIR DATA_DIR POINTS
set -euo pipefail
build=$1
data=$2
points=${3:-10000000}
las="$build/bin/pontaro-las"
work=$(mktemp -d "${TMPDIR_BENCH:-$data}/pontaro-tree-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

now() { date +%s.%N; }
rss() { awk '/Maximum resident set size/ { printf "%.0f", $6 / 1024 }' "$1"; }

echo "== local tree build (whole processes; rates in points/s, memory in MB)"
printf "%-24s %12s %12s %9s %12s %9s %10s %12s\n" "file" "tree pts/s" "import pts/s" "ratio" "tree peak MB" \
  "import MB" "open files" "read MB/s"
for n in 2000000 "$points"; do
  f="$data/synth-$n-f1.las"
  [ -f "$f" ] || "$las" synth "$f" --points "$n" --format 1 --seed 1 >/dev/null 2>&1
  size=$(stat -c %s "$f")
  t0=$(now); cat "$f" >/dev/null; t1=$(now)
  readmbs=$(awk -v b="$size" -v s="$(echo "$t1 - $t0" | bc)" 'BEGIN { printf "%.0f", (s > 0 ? b / 1e6 / s : 0) }')

  t0=$(now)
  /usr/bin/time -v "$build/bin/pontaro-tree" build "$f" "$work/tree" --force >"$work/tree.out" 2>"$work/tree.err"
  t1=$(now)
  tree_s=$(echo "$t1 - $t0" | bc)
  t0=$(now)
  /usr/bin/time -v "$build/bin/pontaro-server" import "$f" --data "$work/ds" --name bench >/dev/null 2>"$work/imp.err"
  t1=$(now)
  imp_s=$(echo "$t1 - $t0" | bc)
  rate() { awk -v n="$n" -v s="$1" 'BEGIN { printf "%.0f", (s > 0 ? n / s : 0) }'; }
  printf "%-24s %12s %12s %9s %12s %9s %10s %12s\n" "$(basename "$f")" "$(rate "$tree_s")" "$(rate "$imp_s")" \
    "$(awk -v a="$imp_s" -v b="$tree_s" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')" "$(rss "$work/tree.err")" \
    "$(rss "$work/imp.err")" "$(awk -F': ' '/most open point files/ { print $2 }' "$work/tree.out")" "$readmbs"
  awk -v n="$n" '/^stage / { sub(":", "", $2); printf "    stage %-15s %8.2f s %12.0f points/s\n", $2, $3, ($3 > 0 ? n / $3 : 0) }' "$work/tree.out"
  rm -rf "$work/tree" "$work/ds"
done
echo "(ratio: the tree build's speed over the import's; a plain read of the file shows the disk's pace)"
