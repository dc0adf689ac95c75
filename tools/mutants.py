#!/usr/bin/env python3
"""Mutation testing: a fixed list of faults, each built into the one test program that should catch it.

  tools/mutants.py list [-v]
  tools/mutants.py check
  tools/mutants.py run [--only ID,...] [--jobs N] [--out FILE] [--scratch DIR] [--timeout S]

`run` copies the working tree as it stands (tracked files, uncommitted edits included, and untracked
files that are not ignored) to SCRATCH/src, keeps a pristine copy in SCRATCH/pristine and a Release
build in SCRATCH/build (all reused between runs; only files whose content changed are copied, so the
build stays incremental); the build reads the samples of ../shared/data. Each test program the chosen
mutants need is first built and run on the unmutated tree: a program that fails there cannot judge a
mutant, and its mutants are reported as "unjudged". Then, one mutant at a time: apply, build the
program (ninja TARGET), run it (under Xvfb where it needs a display), restore the file.

Outcomes: killed (the program failed, or ran past the time limit: "killed (timeout)"), survived,
build-failed (a bad mutant: reported, not counted), stale (its text is no longer in the file: reported,
not counted), ambiguous (its text occurs more than once), unjudged (see above), interrupted (Ctrl-C or
SIGTERM during the mutant; the scratch copy is restored either way).
--jobs N is the build parallelism (ninja -j N); mutants run one after another because they share the
build's libraries.
"""

import argparse
import datetime
import filecmp
import os
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA_DIR = os.path.normpath(os.path.join(ROOT, "..", "shared", "data"))

# Test programs: the build directory they run from (relative to the build) and whether they need a display.
TARGETS = {
    "pontaro_las_tests": ("tests/las", False),
    "pontaro_las_codec_tests": ("tests/las", False),
    "pontaro_las_parallel_tests": ("tests/las", False),
    "pontaro_app_tests": ("tests/app", False),
    "pontaro_app_display_tests": ("tests/app", True),
    "pontaro_viewer_tests": ("bin", True),
    "pontaro_geometry_tests": ("tests/geometry", False),
    "pontaro_lodtree_tests": ("tests/lodtree", False),
    "pontaro_tree_selection_tests": ("tests/lodtree", False),
    "pontaro_synth_tests": ("tests/synth", False),
    "pontaro_streaming_tests": ("tests/streaming", False),
    "pontaro_server_tests": ("tests/server", False),
    "pontaro_render_tests": ("bin", True),
    "pontaro_classification_tests": ("tests/classification", False),
    "pontaro_optimization_tests": ("bin", True),
    "pontaro_tools_tests": ("tests/tools", False),
}

# (id, test program, file, exact old text, new text, what the fault is)
MUTANTS = [
    # ---- las/: header reader, point records, arithmetic coder, compressor, compressed file
    ("las-hdr-version", "pontaro_las_tests", "las/LASHeader.cpp",
     "return major == 1 && minor < 3;", "return major == 1 && minor <= 3;",
     "LAS 1.3 taken as a known version (bound off by one)"),
    ("las-hdr-truncated", "pontaro_las_tests", "las/LASHeader.cpp",
     "    if (end > fileSize) {", "    if (end > fileSize + PointDataRecordLength) {",
     "a file one record short of its point count passes the check"),
    ("las-point-srcid-order", "pontaro_las_tests", "las/LASPointData.h",
     "pointSourceID = loadLE<uint16_t>(p + kRecordSourceID);",
     "pointSourceID = __builtin_bswap16(loadLE<uint16_t>(p + kRecordSourceID));",
     "point source ID read big-endian (byte order swapped)"),
    ("las-point-numreturns", "pontaro_las_tests", "las/LASPointData.h",
     "uint8_t numberOfReturns() const { return (returnByte >> 3) & 7; }",
     "uint8_t numberOfReturns() const { return (returnByte >> 4) & 7; }",
     "number of returns taken from the wrong bits"),
    ("las-file-padding", "pontaro_las_tests", "las/CLASFile.cpp",
     "if (recordEnd < OffsetToPointData) {", "if (recordEnd + 2 < OffsetToPointData) {",
     "a two-byte gap before the points (LAS 1.0 start signature) is dropped"),
    ("las-ac-rare-symbol", "pontaro_las_codec_tests", "las/AC.cpp",
     "f = x < 0.6 ? (c[s] > 0 ? 1 : 0) : uint32_t(x + 0.5);",
     "f = x < 0.6 ? (c[s] > 1 ? 1 : 0) : uint32_t(x + 0.5);",
     "a symbol seen once gets no frequency"),
    ("las-ac-table-check", "pontaro_las_codec_tests", "las/AC.cpp",
     "if (h < prev || h > SCALE)", "if (h > SCALE)",
     "decoder no longer refuses a frequency table that runs backwards"),
    ("las-codec-edge", "pontaro_las_codec_tests", "las/PointCodec.cpp",
     "edge[i] = rb >> 7;", "edge[i] = (rb >> 6) & 1;",
     "edge-of-flight-line flag taken from the scan direction bit"),
    ("las-codec-intensity", "pontaro_las_codec_tests", "las/PointCodec.cpp",
     "return a1 > a2 ? I[i - 2] : I[i - 1];", "return a1 < a2 ? I[i - 2] : I[i - 1];",
     "intensity predictor picks the wrong earlier point (comparison flipped)"),
    ("las-comp-numreturns-mask", "pontaro_las_codec_tests", "las/PointFields.cpp",
     "sumBytes<&Columns::numReturns, 7>}", "sumBytes<&Columns::numReturns, 3>}",
     "decoded number of returns masked to two bits"),
    ("las-comp-chunks", "pontaro_las_codec_tests", "las/CLASCompressor.cpp",
     "while (left >= 2000001) {", "while (left > 2000001) {",
     "chunking bound off by one"),
    ("las-comp-header-size", "pontaro_las_codec_tests", "las/CLASCompressor.cpp",
     "if (h.HeaderSize != LASHeader::BlockSize)", "if (false && h.HeaderSize != LASHeader::BlockSize)",
     "a header with bytes beyond 227 is compressed (and they are lost) instead of refused"),
    ("las-par-slot", "pontaro_las_parallel_tests", "las/CLASCompressor.cpp",
     "Slot& slot = slots[k % 2];", "Slot& slot = slots[0];",
     "parallel decompression decodes into the slot still being written"),

    # ---- geometry/: triangulation, vertex removal, simplification, vertex cache
    ("geo-tri-three-points", "pontaro_geometry_tests", "geometry/Triangulation.cpp",
     "    if (n < 3)\n        return true;", "    if (n < 4)\n        return true;",
     "three points are taken as degenerate (bound off by one)"),
    ("geo-tri-class-check", "pontaro_geometry_tests", "geometry/Triangulation.cpp",
     "if (c > 0 && classOf(classes, all[t + 1]) == c && classOf(classes, all[t + 2]) == c)",
     "if (c > 0 && classOf(classes, all[t + 1]) == c)",
     "surface triangles kept when their third vertex is of another class"),
    ("geo-vr-orientation", "pontaro_geometry_tests", "geometry/TriangulationVertex.cpp",
     "!(cross(pts[c[i]], pts[c[j]], pts[c[k]]) < 0))", "!(cross(pts[c[i]], pts[c[j]], pts[c[k]]) > 0))",
     "replacement triangle searched with the wrong orientation"),
    ("geo-vr-slope", "pontaro_geometry_tests", "geometry/TriangulationVertex.cpp",
     "error = float(slope > 0 ? d * std::sqrt(1.0 / (slope * slope + 1.0)) : d);", "error = float(d);",
     "removal error of a local minimum not corrected for its slope"),
    ("geo-simp-tie", "pontaro_geometry_tests", "geometry/Simplification.cpp",
     "return a.error > b.error || (a.error == b.error && a.index > b.index);",
     "return a.error > b.error || (a.error == b.error && a.index < b.index);",
     "candidates of equal error taken in reverse index order"),
    ("geo-simp-quarter", "pontaro_geometry_tests", "geometry/Simplification.cpp",
     "(tile ? 0.015625f : 0.25f)", "(tile ? 0.015625f : 0.5f)",
     "simplification stops at half the vertices instead of a quarter"),
    ("geo-vc-tie", "pontaro_geometry_tests", "geometry/VertexCache.cpp",
     "return a.sum > b.sum || (a.sum == b.sum && a.position < b.position);",
     "return a.sum > b.sum || (a.sum == b.sum && a.position > b.position);",
     "vertex cache ties go to the later triangle"),
    ("geo-vc-score", "pontaro_geometry_tests", "geometry/VertexCache.cpp",
     "score = cachePosition < 3 ? 0.75 :", "score = cachePosition < 3 ? 0.7 :",
     "score of the last triangle's vertices changed"),

    # ---- lodtree/
    ("lod-suffix-quadrant", "pontaro_lodtree_tests", "lodtree/NodeID.cpp",
     "            q = y < my ? 1 : 2;", "            q = y < my ? 2 : 1;",
     "node file suffix swaps quadrants 1 and 2"),
    ("lod-inrange", "pontaro_lodtree_tests", "lodtree/NodeID.cpp",
     "return x >= 0 && y >= 0 && x < n && y < n;", "return x >= 0 && y >= 0 && x <= n && y < n;",
     "node one column past the edge taken as in range"),
    ("lod-neighbour", "pontaro_lodtree_tests", "lodtree/NodeID.cpp",
     "case KNN_UP_LEFT: dx = -1, dy = 1; break;", "case KNN_UP_LEFT: dx = 1, dy = 1; break;",
     "up-left neighbour found to the right (sign flipped)"),
    ("lod-knn-tie", "pontaro_lodtree_tests", "lodtree/NearestNeighbours.cpp",
     "return d != o.d ? d < o.d : idx < o.idx;", "return d != o.d ? d < o.d : idx > o.idx;",
     "nearest neighbours at equal distance in reverse index order"),
    ("lod-request-priority", "pontaro_lodtree_tests", "lodtree/TreeNodeRetrieverThread.cpp",
     "return !(q->priority < r->priority); }),", "return q->priority < r->priority; }),",
     "node requests queued farthest first"),
    ("lod-sel-evict-order", "pontaro_tree_selection_tests", "lodtree/TreeSelection.cpp",
     "return a->selectedDistance > b->selectedDistance; });",
     "return a->selectedDistance < b->selectedDistance; });",
     "over the point budget the nearest idle nodes are released first"),
    ("lod-sel-frustum-corner", "pontaro_tree_selection_tests", "lodtree/TreeSelection.cpp",
     "const double x = a > 0 ? b[1] : b[0], y = bb > 0 ? b[3] : b[2], z = c > 0 ? b[5] : b[4];",
     "const double x = a > 0 ? b[0] : b[1], y = bb > 0 ? b[2] : b[3], z = c > 0 ? b[4] : b[5];",
     "frustum test on the nearest corner: boxes partly in view are culled"),

    # ---- classification/
    ("cls-line-cosine", "pontaro_classification_tests", "classification/SurfaceRules.h",
     "return std::fabs(double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z);",
     "return double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z;",
     "normals compared as directions, not lines"),
    ("cls-seed-taken", "pontaro_classification_tests", "classification/ContinuousSurfaces.cpp",
     "            if (classes[size_t(seed.index)] != 0)\n                continue;\n", "",
     "a seed already inside a surface starts another one"),
    ("cls-seed-minimum", "pontaro_classification_tests", "classification/ContinuousSurfaces.cpp",
     "if (seed.count < MIN_SEED_NEIGHBOURS)", "if (seed.count <= MIN_SEED_NEIGHBOURS)",
     "a point with exactly the minimum of compatible neighbours cannot seed (off by one)"),
    ("cls-seed-order", "pontaro_classification_tests", "classification/IndexPair.cpp",
     "[](const IndexPair& a, const IndexPair& b) { return a.count > b.count; });",
     "[](const IndexPair& a, const IndexPair& b) { return a.count < b.count; });",
     "seeds sorted fewest neighbours first"),
    ("cls-cache-byte-order", "pontaro_classification_tests", "classification/IndexPair.cpp",
     "bits |= U(p[i]) << (8 * i);", "bits |= U(p[i]) << (8 * (sizeof(U) - 1 - i));",
     "compatibility cache read big-endian"),
    ("cls-growth-duplicate", "pontaro_classification_tests", "classification/SurfaceRules.h",
     "        if (vv == 0)\n            return true;", "        if (vv == 0)\n            return false;",
     "a neighbour at the same position never joins the surface"),

    # ---- app/: thread primitives, view maths, framing
    ("app-mutex-owner", "pontaro_app_tests", "app/CMutexClass.cpp",
     "    if (!pthread_equal(m_owner.load(), pthread_self()))\n        return;\n    m_owner.store(0);",
     "    m_owner.store(0);",
     "a thread that does not hold the mutex can release it"),
    ("app-mutex-binary", "pontaro_app_tests", "app/CMutexClass.cpp",
     "if (sem_getvalue(&m_mutex, &value) == 0 && value > 0)",
     "if (sem_getvalue(&m_mutex, &value) == 0 && value > 1)",
     "releasing a free mutex lets two holders in"),
    ("app-event-autoreset", "pontaro_app_tests", "app/CEventClass.cpp",
     "        pthread_cond_wait(&m_cond, &m_mutex);\n    m_signalled = false;",
     "        pthread_cond_wait(&m_cond, &m_mutex);",
     "a waited event stays signalled (auto-reset lost)"),
    ("app-thread-stop-wait", "pontaro_app_tests", "app/CThread.cpp",
     "    while (state.load() == Running)\n        Sleep(1);", "",
     "Stop returns before the worker's loop has ended"),
    ("app-vm-adjugate", "pontaro_app_tests", "app/ViewMath.cpp",
     "result[static_cast<size_t>(j * n + i)] = static_cast<float>(value);",
     "result[static_cast<size_t>(i * n + j)] = static_cast<float>(value);",
     "inverse built from the cofactor matrix without transposing it"),
    ("app-vm-far-plane", "pontaro_app_tests", "app/ViewMath.cpp",
     "{-1.0f, 1.0f, 1.0f, -1.0f, -1.0f, 1.0f}", "{-1.0f, 1.0f, 1.0f, -1.0f, 1.0f, 1.0f}",
     "far frustum plane taken with the near plane's sign"),
    ("app-frame-corners", "pontaro_viewer_tests", "app/EventHandler.cpp",
     "q[k] = frameBox[2 * k + ((corner >> k) & 1)] - (frameBox[2 * k] + frameBox[2 * k + 1]) / 2;",
     "q[k] = frameBox[2 * k] - (frameBox[2 * k] + frameBox[2 * k + 1]) / 2;",
     "framing looks at one corner of the box only"),

    # ---- optimization/
    ("opt-push-busy", "pontaro_optimization_tests", "optimization/OptimizationPipeline.cpp",
     "if (input_ != nullptr || request == output_)", "if (request == output_)",
     "a worker accepts a request while it still holds one (the first is lost)"),
    ("opt-accept", "pontaro_optimization_tests", "optimization/OptimizationPipeline.cpp",
     "if (remaining * 1.5 <= predicted) {", "if (remaining * 1.5 >= predicted) {",
     "nodes kept when they leave the view before their optimisation ends (comparison flipped)"),
    ("opt-rtt-size", "pontaro_optimization_tests", "optimization/RenderToTexture.cpp",
     "w = int64_t(std::ceil(std::sqrt(6.0 * splatCount * aspect)));",
     "w = int64_t(std::ceil(std::sqrt(4.0 * splatCount * aspect)));",
     "texture too small for its splats (constant changed)"),
    ("opt-right-vector", "pontaro_optimization_tests", "optimization/RenderToTexture.cpp",
     "right[0] = up[1] * n[2] - up[2] * n[1];", "right[0] = up[2] * n[1] - up[1] * n[2];",
     "right vector's x component with its sign flipped"),

    # ---- render/, synth/, tools
    ("rnd-choice-wrap", "pontaro_render_tests", "render/GUI.cpp",
     "value.i = (value.i + 1) % choiceCount;", "value.i = value.i + 1;",
     "panel choices run past the last instead of wrapping"),
    ("rnd-positive-only", "pontaro_render_tests", "render/GUI.cpp",
     "if (parseWhole(editText, v) && (!selected->positiveOnly || v > 0)) {",
     "if (parseWhole(editText, v) && (!selected->positiveOnly || v >= 0)) {",
     "a positive-only whole entry accepts 0"),
    ("syn-header-max-z", "pontaro_synth_tests", "synth/SyntheticHeader.cpp",
     "h.Max_Z = s.maxZ * h.ScaleFactor_Z + h.OffsetZ;", "h.Max_Z = s.maxZ * h.ScaleFactor_Z + h.OffsetY;",
     "synthetic header's maximum height uses the Y offset"),
    ("tool-number-range", "pontaro_tools_tests", "tools/CommandLine.h",
     "|| value < lo || value > hi)", "|| value < lo)",
     "tool options above their range accepted"),
    ("tool-tree-foreign", "pontaro_tools_tests", "tools/pontaro-tree.cpp",
     "if (!foreign.empty())", "if (false && !foreign.empty())",
     "pontaro-tree --force builds over a directory holding other files"),

    # ---- streaming/LODGrid.cpp, selection/
    ("grid-last-edge", "pontaro_streaming_tests", "streaming/LODGrid.cpp",
     "x + 1 == int(tilesX) ? lastEdgeX : (x + 1) * tileWidth + rawBounds[0],",
     "(x + 1) * tileWidth + rawBounds[0],",
     "last tile column not widened to the bounds: points at the maximum left without a tile"),
    ("grid-morton", "pontaro_streaming_tests", "streaming/LODGrid.cpp",
     "const uint32_t quadrant = (x >= h ? 2u : 0u) + (y >= h ? 1u : 0u);",
     "const uint32_t quadrant = (x >= h ? 1u : 0u) + (y >= h ? 2u : 0u);",
     "Morton index with x and y swapped"),
    ("grid-footprint", "pontaro_streaming_tests", "streaming/LODGrid.cpp",
     "    if (footprint * perWorldUnit < kMinFootprint)\n"
     "        perWorldUnit = kMinFootprint / footprint;\n    else if",
     "    if",
     "tall data sets no longer held to the smallest footprint"),
    ("sel-adapt-settle", "pontaro_streaming_tests", "selection/AdaptiveDetail.cpp",
     "nowMs - lastMoveMs_ >= options_.settleMs", "nowMs - lastMoveMs_ >= 0",
     "detail restored the moment the camera stops, without the settle time"),
    ("sel-adapt-step", "pontaro_streaming_tests", "selection/AdaptiveDetail.cpp",
     "std::sqrt(mean_ / aim)", "std::sqrt(aim / mean_)",
     "frame-time controller steps the wrong way"),
    ("sel-spacing-mean", "pontaro_streaming_tests", "selection/SplatSpacing.cpp",
     "return 1.5 * std::sqrt(area / points / kPi);", "return 1.0 * std::sqrt(area / points / kPi);",
     "mean splat radius constant changed"),
    ("str-carry", "pontaro_streaming_tests", "streaming/ServerRetriever.cpp",
     "        at = take;", "        at = 0;",
     "after completing a record split across two chunks, the chunk is parsed again from its first byte"),
    ("str-header-size", "pontaro_streaming_tests", "streaming/ServerRetriever.cpp",
     "uint16_t(headerBuffer[94] | headerBuffer[95] << 8)", "uint16_t(headerBuffer[95] | headerBuffer[94] << 8)",
     "declared header size read big-endian"),
    ("str-colour-order", "pontaro_streaming_tests", "streaming/ServerRetriever.cpp",
     "Color{uint16_t(q[0] | q[1] << 8), uint16_t(q[2] | q[3] << 8), uint16_t(q[4] | q[5] << 8)}",
     "Color{uint16_t(q[4] | q[5] << 8), uint16_t(q[2] | q[3] << 8), uint16_t(q[0] | q[1] << 8)}",
     "streamed colours with red and blue swapped"),
    ("str-rollback", "pontaro_streaming_tests", "streaming/SplatCacheThread.cpp",
     "tiles[t].rollback(marks[i++]);", "(void)marks[i++];",
     "a failed transfer's partial points stay in their tiles"),
    ("str-priority", "pontaro_streaming_tests", "streaming/SplatCacheThread.cpp",
     "[&](LODRequest* r) { return !(r->priority < request->priority); });",
     "[&](LODRequest* r) { return r->priority < request->priority; });",
     "requests queued in reverse priority order"),

    # ---- server/: protocol, range queries, level assignment, normals, data set files
    ("srv-level-beyond", "pontaro_server_tests", "server/ServerProtocol.cpp",
     "if (l1 >= levels)", "if (l1 > levels)",
     "a level one past the last accepted (bound off by one)"),
    ("srv-range-start", "pontaro_server_tests", "server/ServerProtocol.cpp",
     "if (first >= length)", "if (first > length)",
     "a byte range starting at the reply's end taken as satisfiable"),
    ("srv-bound-reversed", "pontaro_server_tests", "server/ServerProtocol.cpp",
     "if (q.minX > q.maxX || q.minY > q.maxY || q.minZ > q.maxZ)", "if (q.minX > q.maxX || q.minY > q.maxY)",
     "a reversed height range accepted"),
    ("srv-query-upper", "pontaro_server_tests", "server/RangeReader.cpp",
     "last = firstWhere([&](int64_t r) { return world(r) >= hi; }) - 1;",
     "last = firstWhere([&](int64_t r) { return world(r) > hi; }) - 1;",
     "points exactly on a query's upper bound included (the box is half-open)"),
    ("srv-normal-flip", "pontaro_server_tests", "server/PointNormals.cpp",
     "const bool flip = n[2] < 0 ||", "const bool flip = n[2] > 0 ||",
     "normals oriented downwards"),
    ("srv-thin-cells", "pontaro_server_tests", "server/LevelAssignment.cpp",
     "const bool fresh = !(word & mask);", "const bool fresh = true;",
     "a cell already taken takes more points (levels not thinned)"),
    ("srv-file-checksum", "pontaro_server_tests", "server/DatasetFiles.cpp",
     "if (checksum64(data, size) != entry(file).checksum)", "if (false && checksum64(data, size) != entry(file).checksum)",
     "a damaged data set file passes verification"),
    ("srv-index-order", "pontaro_server_tests", "server/DatasetFiles.cpp",
     "if (v < prev || (c == 0 && v != 0) || v > grid.points)", "if ((c == 0 && v != 0) || v > grid.points)",
     "a cell index running backwards accepted"),
]

def log(msg):
    print(msg, flush=True)


def tree_files():
    out = subprocess.run(
        ["git", "-C", ROOT, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        check=True, capture_output=True).stdout.decode()
    files = []
    for f in out.split("\0"):
        if f and os.path.isfile(os.path.join(ROOT, f)) and not os.path.islink(os.path.join(ROOT, f)):
            files.append(f)
    return sorted(set(files))


def write_fresh(path, data):
    """Writes data with a new modification time, so that ninja rebuilds what depends on it."""
    with open(path, "wb") as f:
        f.write(data)
    now = time.time_ns()
    os.utime(path, ns=(now, now))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def sync_tree(scratch):
    """Brings SCRATCH/pristine and SCRATCH/src up to the working tree, copying only what differs."""
    pristine = os.path.join(scratch, "pristine")
    src = os.path.join(scratch, "src")
    files = tree_files()
    wanted = set(files)
    copied = set()
    for rel in files:
        data = read(os.path.join(ROOT, rel))
        mode = os.stat(os.path.join(ROOT, rel)).st_mode & 0o777
        for base in (pristine, src):
            dst = os.path.join(base, rel)
            if os.path.exists(dst) and read(dst) == data:
                continue
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            write_fresh(dst, data)
            os.chmod(dst, mode)
            copied.add(rel)
    for base in (pristine, src):
        for dirpath, dirnames, filenames in os.walk(base):
            for name in filenames:
                rel = os.path.relpath(os.path.join(dirpath, name), base)
                if rel not in wanted:
                    os.remove(os.path.join(dirpath, name))
    return len(files), len(copied)


def restore(scratch, rel):
    src = os.path.join(scratch, "src", rel)
    data = read(os.path.join(scratch, "pristine", rel))
    if not os.path.exists(src) or read(src) != data:
        write_fresh(src, data)


def restore_all(scratch):
    """Puts back any file of SCRATCH/src that differs from the pristine copy (after an interrupted run)."""
    pristine = os.path.join(scratch, "pristine")
    src = os.path.join(scratch, "src")
    if not os.path.isdir(pristine):
        return
    for m in MUTANTS:
        rel = m[2]
        p = os.path.join(pristine, rel)
        if os.path.exists(p) and (not os.path.exists(os.path.join(src, rel))
                                  or not filecmp.cmp(p, os.path.join(src, rel), shallow=False)):
            restore(scratch, rel)


def configure(scratch):
    build = os.path.join(scratch, "build")
    src = os.path.join(scratch, "src")
    if os.path.exists(os.path.join(build, "build.ninja")):
        return
    log(f"configuring {build}")
    subprocess.run(["cmake", "-S", src, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPONTARO_DATA_DIR={DATA_DIR}", "-DPONTARO_BENCH=OFF"],
                   check=True, stdout=subprocess.DEVNULL)


def run_group(cmd, cwd, timeout, logfile):
    """Runs cmd in its own process group; returns (exit status or None on timeout, seconds)."""
    start = time.monotonic()
    with open(logfile, "ab") as out:
        proc = subprocess.Popen(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            rc = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            rc = None
        except BaseException:
            kill_group(proc)
            raise
        if rc is None:
            kill_group(proc)
    return rc, time.monotonic() - start


def kill_group(proc):
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            return
        try:
            proc.wait(timeout=10)
            return
        except subprocess.TimeoutExpired:
            pass


def build_target(scratch, target, jobs, logfile):
    build = os.path.join(scratch, "build")
    rc, _ = run_group(["ninja", "-C", build, f"-j{jobs}", target], None, 3600, logfile)
    return rc == 0


def test_command(scratch, target):
    binary = os.path.join(scratch, "build", "bin", target)
    cmd = [binary, "--gtest_fail_fast", "--gtest_brief=1"]
    if TARGETS[target][1]:
        cmd = ["xvfb-run", "-a", "-s", "-screen 0 1920x1080x24"] + cmd
    return cmd, os.path.join(scratch, "build", TARGETS[target][0])


def occurrences(path, old):
    if not os.path.exists(path):
        return 0
    return read(path).decode().count(old)


def check_list():
    """Returns problems of the list itself: duplicate ids, unknown programs."""
    problems = []
    seen = set()
    for m in MUTANTS:
        if len(m) != 6:
            problems.append(f"{m[0]}: expected 6 fields")
            continue
        if m[0] in seen:
            problems.append(f"{m[0]}: duplicate id")
        seen.add(m[0])
        if m[1] not in TARGETS:
            problems.append(f"{m[0]}: unknown test program {m[1]}")
        if m[3] == m[4]:
            problems.append(f"{m[0]}: old and new text are the same")
    return problems


def cmd_list(args):
    for m in MUTANTS:
        log(f"{m[0]:<26} {m[1]:<30} {m[2]:<42} {m[5]}")
        if args.verbose:
            log(f"{'':26} - {m[3]!r}\n{'':26} + {m[4]!r}")
    spread = {}
    for m in MUTANTS:
        spread[m[2].split("/")[0]] = spread.get(m[2].split("/")[0], 0) + 1
    log(f"{len(MUTANTS)} mutants: "
        + ", ".join(f"{d} {n}" for d, n in sorted(spread.items())))
    return 0


def cmd_check(args):
    problems = check_list()
    for m in MUTANTS:
        n = occurrences(os.path.join(ROOT, m[2]), m[3])
        if n != 1:
            problems.append(f"{m[0]}: old text occurs {n} times in {m[2]}")
    for p in problems:
        log(p)
    log(f"{len(MUTANTS)} mutants, {len(problems)} problems")
    return 1 if problems else 0


def summary(results):
    count = {}
    for r in results:
        count[r["status"]] = count.get(r["status"], 0) + 1
    killed = count.get("killed", 0)
    n = killed + count.get("survived", 0)
    timeouts = sum(1 for r in results if r["status"] == "killed" and r["note"] == "timeout")
    parts = [f"survived {count.get('survived', 0)}"]
    if timeouts:
        parts.append(f"{timeouts} of the killed by timeout")
    for s in ("build-failed", "stale", "ambiguous", "unjudged", "interrupted"):
        if count.get(s):
            parts.append(f"{s} {count[s]}")
    return f"killed {killed} of {n} ({', '.join(parts)})"


def write_results(path, results, header):
    with open(path, "w") as f:
        for line in header:
            f.write(f"# {line}\n")
        for r in results:
            status = r["status"] + (f" ({r['note']})" if r["note"] else "")
            f.write(f"{r['id']}\t{status}\t{r['seconds']:.0f}s\t{r['target']}\t{r['file']}\t{r['desc']}\n")
        f.write(f"# {summary(results)}\n")


def cmd_run(args):
    problems = check_list()
    if problems:
        for p in problems:
            log(p)
        return 2
    chosen = MUTANTS
    if args.only:
        ids = [i.strip() for i in args.only.split(",") if i.strip()]
        known = {m[0]: m for m in MUTANTS}
        unknown = [i for i in ids if i not in known]
        if unknown:
            log(f"unknown mutant ids: {', '.join(unknown)}")
            return 2
        chosen = [known[i] for i in ids]

    scratch = os.path.abspath(args.scratch)
    logs = os.path.join(scratch, "logs")
    os.makedirs(logs, exist_ok=True)
    started = time.monotonic()
    results = []
    interrupted = False
    # What is copied: the commit, and whether uncommitted edits of tracked files came along.
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    dirty = subprocess.run(["git", "-C", ROOT, "status", "--porcelain", "--untracked-files=no"],
                           capture_output=True, text=True).stdout.strip()
    when = datetime.datetime.now()
    try:
        restore_all(scratch)
        n, copied = sync_tree(scratch)
        log(f"scratch {scratch}: {n} files, {copied} copied")
        configure(scratch)

        # The unmutated programs must build and pass, or they cannot judge a mutant.
        usable = {}
        timeouts = {}
        for target in sorted({m[1] for m in chosen}):
            logfile = os.path.join(logs, f"_{target}.log")
            open(logfile, "w").close()
            if not build_target(scratch, target, args.jobs, logfile):
                log(f"{target}: does not build unmutated (see {logfile})")
                usable[target] = "program does not build unmutated"
                continue
            cmd, cwd = test_command(scratch, target)
            rc, secs = run_group(cmd, cwd, args.timeout_unmutated, logfile)
            usable[target] = "" if rc == 0 else "program fails unmutated"
            timeouts[target] = max(args.timeout, 5 * secs)
            log(f"{target}: unmutated {'passes' if rc == 0 else 'FAILS'} in {secs:.0f}s"
                + ("" if rc == 0 else f" (see {logfile})"))

        for m in chosen:
            mid, target, rel, old, new, desc = m
            r = {"id": mid, "target": target, "file": rel, "desc": desc, "note": "", "seconds": 0.0,
                 "status": "interrupted"}
            results.append(r)
            path = os.path.join(scratch, "src", rel)
            t0 = time.monotonic()
            n = occurrences(path, old)
            if n != 1:
                r["status"] = "stale" if n == 0 else "ambiguous"
            elif usable[target]:
                r["status"] = "unjudged"
                r["note"] = usable[target]
            else:
                logfile = os.path.join(logs, f"{mid}.log")
                open(logfile, "w").close()
                try:
                    write_fresh(path, read(path).decode().replace(old, new).encode())
                    if not build_target(scratch, target, args.jobs, logfile):
                        r["status"] = "build-failed"
                    else:
                        cmd, cwd = test_command(scratch, target)
                        rc, _ = run_group(cmd, cwd, timeouts[target], logfile)
                        if rc is None:
                            r["status"], r["note"] = "killed", "timeout"
                        else:
                            r["status"] = "killed" if rc != 0 else "survived"
                finally:
                    restore(scratch, rel)
            r["seconds"] = time.monotonic() - t0
            status = r["status"] + (f" ({r['note']})" if r["note"] else "")
            log(f"{mid:<26} {status:<18} {r['seconds']:5.0f}s  {rel}: {desc}")
    except KeyboardInterrupt:
        interrupted = True
        log("interrupted: scratch copy restored")
    finally:
        restore_all(scratch)

    elapsed = time.monotonic() - started
    log("")
    log(f"{'id':<26} {'outcome':<18} {'program':<30} file")
    for r in results:
        status = r["status"] + (f" ({r['note']})" if r["note"] else "")
        log(f"{r['id']:<26} {status:<18} {r['target']:<30} {r['file']}")
    log(summary(results))
    log(f"run time {elapsed / 60:.1f} min")
    header = [f"mutants run {when:%Y-%m-%d %H:%M} on {commit}"
              + (" with uncommitted changes" if dirty else "")
              + f", {elapsed / 60:.0f} min" + (", interrupted" if interrupted else ""),
              "id\toutcome\ttime\tprogram\tfile\tfault"]
    if args.out:
        write_results(args.out, results, header)
        log(f"results in {args.out}")
    return 130 if interrupted else 0


def interrupt(signum, frame):
    raise KeyboardInterrupt


def main():
    signal.signal(signal.SIGTERM, interrupt)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    p = argparse.ArgumentParser(description="Mutation testing of Pontaro's test programs.")
    sub = p.add_subparsers(dest="command", required=True)
    pl = sub.add_parser("list", help="print the mutants")
    pl.add_argument("-v", "--verbose", action="store_true", help="show the old and new texts")
    sub.add_parser("check", help="check that every mutant's text occurs exactly once in the working tree")
    pr = sub.add_parser("run", help="build and run the mutants")
    pr.add_argument("--only", help="comma-separated mutant ids")
    pr.add_argument("--jobs", type=int, default=2, help="build parallelism (ninja -j), default 2")
    pr.add_argument("--out", help="file for the results, one line per mutant")
    pr.add_argument("--scratch", default="/tmp/pontaro-mutants",
                    help="scratch directory, reused between runs")
    pr.add_argument("--timeout", type=float, default=300,
                    help="least time a mutated program may run, seconds (at least 5x its unmutated time)")
    pr.add_argument("--timeout-unmutated", type=float, default=1800, help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.command == "list":
        return cmd_list(args)
    if args.command == "check":
        return cmd_check(args)
    return cmd_run(args)


if __name__ == "__main__":
    sys.exit(main())
