#!/usr/bin/env bash
# Pontaro's one entry point: deps, build, test, demo, bench.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}

PACKAGES=(
  libsdl2-dev libsdl2-ttf-dev ttf-bitstream-vera libsdl2-image-dev
  libgl-dev libglu1-mesa-dev libglew-dev
  libcurl4-openssl-dev libboost-dev
  libcgal-dev libeigen3-dev libnanoflann-dev libcpp-httplib-dev
  googletest libgtest-dev libbenchmark-dev libmeshoptimizer-dev
  xvfb xauth libgl1-mesa-dri xdotool
  cmake ninja-build g++ clang pkg-config libgmp-dev libmpfr-dev
  xz-utils zstd gzip bc
)

usage() {
  cat <<USAGE
usage: ./pontaro.sh COMMAND
  deps    install the Debian packages Pontaro needs (only those missing)
  build   build everything into build/ (Release)
  test    build and run every test: plain, AddressSanitizer+UBSan, ThreadSanitizer
  demo    build, serve a synthetic LiDAR scene (or demo FILE.las) and open the viewer on it;
          demo --tree [FILE.las]: build and classify a local tree of it and open that instead
  bench   build in Release and print the benchmark figures
  fuzz    run the libFuzzer targets for a short while
USAGE
}

missing_packages() {
  local p
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

cmd_deps() {
  local missing
  missing=$(missing_packages | tr '\n' ' ')
  [ -z "${missing// /}" ] && return 0
  echo "Installing: $missing" >&2
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
  elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
  else
    echo "Missing packages. Run as root:" >&2
    echo "  apt-get install -y --no-install-recommends $missing" >&2
    exit 1
  fi
}

configure() { # dir, extra cmake args...
  local dir=$1; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  else
    cmake "$dir" "$@" >/dev/null
  fi
}

cmd_build() {
  cmd_deps
  configure build -DCMAKE_BUILD_TYPE=Release
  cmake --build build -j "$JOBS"
}

with_display() {
  if [ -n "${DISPLAY:-}" ]; then "$@"; else xvfb-run -a -s "-screen 0 1920x1080x24" "$@"; fi
}

cmd_test() {
  cmd_deps
  local rc=0
  echo "== Release build" >&2
  configure build -DCMAKE_BUILD_TYPE=Release
  cmake --build build -j "$JOBS"
  with_display ctest --test-dir build --output-on-failure -j "$JOBS" || rc=1

  echo "== AddressSanitizer + UndefinedBehaviorSanitizer" >&2
  configure build-asan -DCMAKE_BUILD_TYPE=Debug "-DPONTARO_SANITIZE=address;undefined" -DPONTARO_BENCH=OFF
  cmake --build build-asan -j "$JOBS"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    with_display ctest --test-dir build-asan --output-on-failure -j "$JOBS" -LE no-asan || rc=1

  echo "== ThreadSanitizer (threaded modules)" >&2
  configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DPONTARO_SANITIZE=thread -DPONTARO_BENCH=OFF
  cmake --build build-tsan -j "$JOBS" --target pontaro_thread_tests
  TSAN_OPTIONS="halt_on_error=1 suppressions=$ROOT/tests/tsan.supp" \
    with_display ctest --test-dir build-tsan --output-on-failure -j "$JOBS" -L threads || rc=1

  echo "== Point server and LAS tools on a machine without display or HTTP client packages" >&2
  local pkg hidden=()
  for pkg in SDL2 SDL2_image SDL2_ttf OpenGL GLEW CURL; do hidden+=("-DCMAKE_DISABLE_FIND_PACKAGE_$pkg=ON"); done
  configure build-headless -DCMAKE_BUILD_TYPE=Release -DPONTARO_VIEWER=OFF "${hidden[@]}"
  cmake --build build-headless -j "$JOBS" --target pontaro-server pontaro-las || rc=1

  cmd_fuzz || rc=1

  if [ $rc -ne 0 ]; then echo "TESTS FAILED" >&2; else echo "All tests passed." >&2; fi
  return $rc
}

# Every libFuzzer target for a short while, seeded with small real samples when they are present.
cmd_fuzz() {
  echo "== libFuzzer (${PONTARO_FUZZ_SECONDS:-15} s per target)" >&2
  CC=clang CXX=clang++ configure build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPONTARO_FUZZ=ON \
    -DPONTARO_TESTS=OFF -DPONTARO_BENCH=OFF
  cmake --build build-fuzz -j "$JOBS" --target pontaro_fuzz_targets
  local data=../shared/data rc=0 name corpus f
  for name in las_file point_block server_request; do
    corpus=build-fuzz/corpus-$name
    mkdir -p "$corpus"
    case $name in
      las_file) set -- "$data/las/Example.las" "$data/las/point10.las" ;;
      point_block) set -- "$data/golden/Example.lasc" "$data/golden/point10.lasc" "$data/golden/warsaw_small.lasc" ;;
      server_request) set -- fuzz/requests/* ;;
    esac
    for f in "$@"; do [ -f "$f" ] && cp -f "$f" "$corpus/"; done
    build-fuzz/bin/pontaro_fuzz_$name -max_total_time="${PONTARO_FUZZ_SECONDS:-15}" -rss_limit_mb=2048 -artifact_prefix=build-fuzz/ \
      "$corpus" >"build-fuzz/$name.log" 2>&1 || { echo "fuzzing $name failed:" >&2; tail -40 "build-fuzz/$name.log" >&2; rc=1; }
  done
  return $rc
}

# Serves a data set with the point server on 127.0.0.1:10488 and opens the viewer on it. Without a
# display it runs under Xvfb, picks the data set, waits for the detail to settle and saves a screenshot.
cmd_demo() {
  if [ "${1:-}" = "--tree" ]; then
    shift
    cmd_demo_tree "$@"
    return
  fi
  cmd_build
  local dir=build/demo scene name
  mkdir -p "$dir"
  if [ $# -ge 1 ]; then
    scene=$(realpath "$1")
    name=$(basename "$scene"); name=${name%.*}
  else
    scene=$dir/scene.las name="Demo survey"
    if [ ! -f "$scene" ]; then
      echo "Generating a synthetic airborne LiDAR scene of 2,000,000 points..." >&2
      build/bin/pontaro-las synth "$scene" --points 2000000 --format 3 --seed 1
    fi
  fi
  build/bin/pontaro-las info "$scene"
  if ! build/bin/pontaro-server list --data "$dir/data" 2>/dev/null | cut -f1 | grep -qxF "$name"; then
    echo "Importing it as the point server data set '$name' (normals, levels of detail)..." >&2
    build/bin/pontaro-server import "$scene" --data "$dir/data" --name "$name"
  fi
  build/bin/pontaro-server list --data "$dir/data"
  if (exec 3<>/dev/tcp/127.0.0.1/10488) 2>/dev/null; then
    echo "Port 10488 is in use: stop the program listening there (another point server?) and try again." >&2
    exit 1
  fi
  build/bin/pontaro-server serve --data "$dir/data" --port 10488 >"$dir/server.log" 2>&1 &
  local server=$!
  trap "kill $server 2>/dev/null; wait $server 2>/dev/null" EXIT
  for _ in $(seq 1 50); do (exec 3<>/dev/tcp/127.0.0.1/10488) 2>/dev/null && break; sleep 0.1; done
  echo "Point server running on 127.0.0.1:10488 (log: $dir/server.log)." >&2
  if [ -n "${DISPLAY:-}" ]; then
    build/bin/pontaro-viewer --dataset "$name"
  else
    echo "No display: running the viewer under Xvfb on '$name'; it waits for the detail to settle" \
         "and saves a screenshot." >&2
    xvfb-run -a -s "-screen 0 1280x1024x24" tools/demo-headless.sh "$ROOT/build/bin" "$ROOT/$dir/viewer.log" \
      "$ROOT/$dir/screenshot.png" --dataset "$name"
    echo "Screenshot: $ROOT/$dir/screenshot.png (viewer output: $dir/viewer.log)"
  fi
}

# The demo scene as a local tree: built with pontaro-tree, its surfaces classified with pontaro-classify,
# and opened with pontaro-viewer --tree (no point server).
cmd_demo_tree() {
  cmd_build
  local dir=build/demo scene
  mkdir -p "$dir"
  if [ $# -ge 1 ]; then
    scene=$(realpath "$1")
  else
    scene=$dir/scene.las
    if [ ! -f "$scene" ]; then
      echo "Generating a synthetic airborne LiDAR scene of 2,000,000 points..." >&2
      build/bin/pontaro-las synth "$scene" --points 2000000 --format 3 --seed 1
    fi
  fi
  local tree=$dir/tree-$(basename "${scene%.*}")
  if [ ! -f "$tree/header" ] || [ "$scene" -nt "$tree/header" ]; then
    echo "Building the local tree $tree..." >&2
    rm -rf "$tree"
    build/bin/pontaro-tree build "$scene" "$tree"
    echo "Classifying its surfaces..." >&2
    build/bin/pontaro-classify "$tree" "$dir/classified.las"
  fi
  build/bin/pontaro-tree info "$tree" | head -3
  if [ -n "${DISPLAY:-}" ]; then
    (cd build/bin && ./pontaro-viewer --tree "$ROOT/$tree")
  else
    echo "No display: running the viewer under Xvfb; it waits for the detail to settle and saves a screenshot." >&2
    xvfb-run -a -s "-screen 0 1280x1024x24" tools/demo-headless.sh "$ROOT/build/bin" "$ROOT/$dir/viewer-tree.log" \
      "$ROOT/$dir/screenshot-tree.png" --tree "$ROOT/$tree"
    echo "Screenshot: $ROOT/$dir/screenshot-tree.png (viewer output: $dir/viewer-tree.log)"
  fi
}

cmd_bench() {
  cmd_deps
  configure build -DCMAKE_BUILD_TYPE=Release
  cmake --build build -j "$JOBS"
  bench/run.sh build
}

case "${1:-}" in
  deps) cmd_deps ;;
  build) cmd_build ;;
  test) cmd_test ;;
  demo) shift; cmd_demo "$@" ;;
  bench) cmd_bench ;;
  fuzz) cmd_deps; cmd_fuzz ;;
  -h|--help|help) usage ;;
  *) usage >&2; exit 2 ;;
esac
