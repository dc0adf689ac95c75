#!/usr/bin/env bash
# Runs every benchmark of a Release build; each prints its figures against a baseline measured in the
# same run. Usage: bench/run.sh BUILD_DIR
set -euo pipefail
build=${1:-build}
data="$build/bench-data"
mkdir -p "$data"
"$build/bin/pontaro_bench_las_read" "$data" "${PONTARO_BENCH_POINTS:-10000000}"
bench/compress_bench.sh "$build" "$data" "${PONTARO_BENCH_POINTS:-10000000}"
"$build/bin/pontaro_bench_server" "$data" "${PONTARO_BENCH_POINTS:-10000000}"
"$build/bin/pontaro_bench_server" tiles "$data" "${PONTARO_BENCH_TILE_POINTS:-2000000}"
"$build/bin/pontaro_bench_server" connections "$data" "${PONTARO_BENCH_POINTS:-10000000}"
"$build/bin/pontaro_bench_server" cold "$data" "${PONTARO_BENCH_COLD_POINTS:-8000000}"
"$build/bin/pontaro_bench_stream_parse" "${PONTARO_BENCH_POINTS:-10000000}"
"$build/bin/pontaro_bench_geometry"
"$build/bin/pontaro_bench_lodtree"
bench/tree_build_bench.sh "$build" "$data" "${PONTARO_BENCH_POINTS:-10000000}"
bench/import_bench.sh "$build" "$data" "${PONTARO_BENCH_POINTS:-10000000}"
"$build/bin/pontaro_bench_classify"
# The streaming engine and the viewer need GL: a display, or Xvfb.
stream=("$build/bin/pontaro_bench_stream" "$data" "${PONTARO_BENCH_STREAM_POINTS:-5000000}")
viewer=("$build/bin/pontaro_bench_viewer" "$data")
optimization=("$build/bin/pontaro_bench_optimization" "$build/bin/Shaders/")
# The demo scene (2,000,000 points, seed 1) as a classified local tree, built once.
tree="$data/tree-demo-${PONTARO_BENCH_TREE_POINTS:-2000000}"
if [ ! -f "$tree/header" ]; then
  "$build/bin/pontaro-las" synth "$data/demo.las" --points "${PONTARO_BENCH_TREE_POINTS:-2000000}" --format 3 --seed 1
  "$build/bin/pontaro-tree" build "$data/demo.las" "$tree" >/dev/null
  "$build/bin/pontaro-classify" "$tree" "$data/demo-classified.las" --no-cache >/dev/null
fi
tree=$(realpath "$tree")
treeView=(bash -c 'cd "$0/bin" && ./pontaro_bench_tree_view "$1"' "$build" "$tree")
if [ -n "${DISPLAY:-}" ]; then
  "${stream[@]}"
  "${viewer[@]}"
  "${optimization[@]}"
  "${treeView[@]}"
else
  xvfb-run -a -s "-screen 0 1280x1024x24" "${stream[@]}"
  xvfb-run -a -s "-screen 0 1280x1024x24" "${viewer[@]}"
  xvfb-run -a -s "-screen 0 1280x1024x24" "${optimization[@]}"
  xvfb-run -a -s "-screen 0 1280x1024x24" "${treeView[@]}"
fi
