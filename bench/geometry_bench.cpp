// Tile geometry: triangulation rate through the Triangle interface, simplification of one demo-scene
// tile, and the vertex-cache order against the defined full scan and against meshoptimizer, each figure
// beside a baseline or target measured in the same run.
#include "MeshPoint.h"
#include "PointGenerator.h"
#include "Simplification.h"
#include "Triangulation.h"
#include "VertexCache.h"
#include "support/FullScanVertexCache.h"

#include <meshoptimizer.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace {

double seconds(auto&& fn) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Sends standard output (the worker threads' start-up lines) to /dev/null for a scope.
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = dup(1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }

private:
    int saved_;
};

std::vector<MeshPoint> randomPoints(std::size_t n, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1000.0);
    std::vector<MeshPoint> points(n);
    for (auto& p : points)
        p = {u(rng), u(rng), u(rng) * 0.05};
    return points;
}

std::vector<unsigned> triangulated(const std::vector<MeshPoint>& points) {
    std::vector<unsigned> indices;
    if (!triangulatePoints(points, indices))
        throw std::runtime_error("triangulation lost points");
    return indices;
}

void triangulationRate() {
    for (std::size_t n : {100000u, 1000000u}) {
        const auto points = randomPoints(n, unsigned(n));
        std::vector<unsigned> indices;
        double best = 1e9;
        for (int round = 0; round < (n < 1000000 ? 3 : 1); ++round) {
            indices.clear();
            best = std::min(best, seconds([&] {
                                if (!triangulatePoints(points, indices))
                                    throw std::runtime_error("triangulation lost points");
                            }));
        }
        // Same-run reference for the machine's speed: sorting the same points by x, y.
        auto sorted = points;
        const double sort = seconds([&] {
            std::sort(sorted.begin(), sorted.end(), [](const MeshPoint& a, const MeshPoint& b) {
                return a.x < b.x || (a.x == b.x && a.y < b.y);
            });
        });
        const double rate = double(n) / best;
        std::printf("triangulation: %zu random points -> %zu triangles in %.3f s, %.0f points/s (target >= "
                    "1,000,000 points/s: %.2fx the target); %.1fx the time of std::sort of the same points\n",
                    n, indices.size() / 3, best, rate, rate / 1e6, best / sort);
    }
}

// The points of one square tile of about 100,000 points at the centre of the demo scene (pontaro-las synth
// --points 2000000 --format 3 --seed 1), in world units relative to the tile's centre.
std::vector<MeshPoint> demoTile() {
    synth::PointGenerator gen(2000000, 3, 1);
    const int length = gen.recordLength();
    std::vector<unsigned char> records(std::size_t(gen.total()) * length);
    for (uint64_t done = 0; !gen.done();)
        done += gen.generate(records.data() + done * length, gen.total() - done);
    const auto& st = gen.stats();
    const double cx = (double(st.minX) + st.maxX) / 2, cy = (double(st.minY) + st.maxY) / 2;
    std::vector<Splat> all(gen.total());
    for (std::size_t i = 0; i < all.size(); ++i) {
        std::memcpy(&all[i].x, &records[i * length], 12);
        all[i].nx = all[i].ny = all[i].nz = 0;
    }
    const std::size_t want = 100000;
    auto ring = [&](const Splat& s) { return std::max(std::abs(s.x - cx), std::abs(s.y - cy)); };
    std::nth_element(all.begin(), all.begin() + want, all.end(),
                     [&](const Splat& a, const Splat& b) { return ring(a) < ring(b); });
    // Whole square: every point at the boundary's distance too.
    const double half = ring(all[want - 1]);
    auto end = std::partition(all.begin() + want, all.end(), [&](const Splat& s) { return ring(s) <= half; });
    const double scale[3] = {synth::PointGenerator::Scale, synth::PointGenerator::Scale,
                             synth::PointGenerator::Scale};
    std::printf("simplification tile: %zu points of the 2,000,000-point demo scene, %.0f m square at its "
                "centre\n",
                std::size_t(end - all.begin()), 2 * half * scale[0]);
    return meshPointsFromRaw(all.data(), std::size_t(end - all.begin()), scale);
}

void tileSimplification() {
    const auto points = demoTile();
    std::vector<unsigned> indices;
    const double triangulation = seconds([&] { indices = triangulated(points); });
    const std::size_t before = indices.size() / 3;
    SimplifyReport report;
    setGeometryLog(nullptr);
    std::size_t removed = 0;
    double total = 0;
    {
        QuietStdout quiet; // the error threads announce themselves
        total = seconds(
            [&] { removed = simplifyTriangulation(points, indices, -1, SimplifyVariant::Tile, &report); });
    }
    std::printf("simplification (Tile, default threshold): %zu vertices, %zu removed, triangles %zu -> %zu; "
                "%.3f s total (target < 2 s: %.2fx the target), %.0f vertices removed/s; error computation "
                "%.3f s = %.0f%% of the total, removal %.3f s; %.1fx the time of triangulating the tile "
                "(%.3f s)\n",
                points.size(), removed, before, indices.size() / 3, total, total / 2.0,
                double(removed) / total, report.errorSeconds, 100.0 * report.errorSeconds / total,
                report.removalSeconds, total / triangulation, triangulation);
}

// A mesh of exactly `triangles` triangles from a Delaunay triangulation of random points (vertex numbers
// in random spatial order, as a triangulator leaves them).
std::vector<unsigned> randomMesh(std::size_t triangles, unsigned& vertexCount) {
    const std::size_t n = triangles / 2 + 4 * std::size_t(std::sqrt(double(triangles))) + 16;
    auto indices = triangulated(randomPoints(n, unsigned(triangles) + 1));
    if (indices.size() < 3 * triangles)
        throw std::runtime_error("triangulation gave too few triangles");
    indices.resize(3 * triangles);
    vertexCount = unsigned(n);
    return indices;
}

// Best of `rounds` timings of `order`, each on a fresh copy of `mesh`; the last result in `out`.
double bestOf(int rounds, const std::vector<unsigned>& mesh, std::vector<unsigned>& out, auto&& order) {
    double best = 1e9;
    for (int r = 0; r < rounds; ++r) {
        out = mesh;
        best = std::min(best, seconds([&] { order(out); }));
    }
    return best;
}

void vertexCacheOrder() {
    {
        unsigned vertices = 0;
        const auto mesh = randomMesh(10000, vertices);
        std::vector<unsigned> fast, scan;
        const double tFast = bestOf(5, mesh, fast, [&](std::vector<unsigned>& m) {
            optimizeTriangleOrderForVertexCache(m, vertices);
        });
        const double tScan = bestOf(
            1, mesh, scan, [&](std::vector<unsigned>& m) { m = fullScanVertexCacheOrder(m, vertices); });
        if (fast != scan)
            throw std::runtime_error("vertex cache: the fast order differs from the full scan");
        std::printf("vertex cache, 10,000 triangles: %.4f s, full scan %.3f s (same order), %.0fx faster\n",
                    tFast, tScan, tScan / tFast);
    }
    for (std::size_t triangles : {100000u, 1000000u}) {
        unsigned vertices = 0;
        const auto mesh = randomMesh(triangles, vertices);
        const int rounds = triangles < 1000000 ? 3 : 1;
        std::vector<unsigned> ours, theirs;
        const double tOurs = bestOf(rounds, mesh, ours, [&](std::vector<unsigned>& m) {
            optimizeTriangleOrderForVertexCache(m, vertices);
        });
        const double tTheirs = bestOf(rounds, mesh, theirs, [&](std::vector<unsigned>& m) {
            meshopt_optimizeVertexCache(m.data(), mesh.data(), mesh.size(), std::size_t(vertices));
        });
        const double input = calculateACMR(mesh, 32), a = calculateACMR(ours, 32),
                     b = calculateACMR(theirs, 32);
        std::printf(
            "vertex cache, %zu triangles: %.3f s (%.0f triangles/s), ACMR(32) %.3f -> %.4f; "
            "meshopt_optimizeVertexCache %.3f s, ACMR %.4f; ACMR ratio %.3f (aim <= 1.05), time ratio "
            "%.2f\n",
            triangles, tOurs, double(triangles) / tOurs, input, a, tTheirs, b, a / b, tOurs / tTheirs);
    }
}

} // namespace

int main() {
    try {
        triangulationRate();
        tileSimplification();
        vertexCacheOrder();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pontaro_bench_geometry: %s\n", e.what());
        return 1;
    }
    return 0;
}
