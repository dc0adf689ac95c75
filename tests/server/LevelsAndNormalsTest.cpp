// What an import computes before writing: levels of detail and per-point normals.
#include "LevelAssignment.h"
#include "PointNormals.h"
#include "ServerTests.h"

#include <random>
#include <tuple>

namespace {

std::vector<double> uniform(size_t n, double width, double height, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> ux(1000.0, 1000.0 + width), uy(-500.0, -500.0 + height);
    std::vector<double> xy(2 * n);
    for (size_t i = 0; i < n; ++i)
        xy[2 * i] = ux(rng), xy[2 * i + 1] = uy(rng);
    return xy;
}

// Every point in one level, counts that match, none empty; level 0 a share of [minShare, maxShare] and,
// with `growth`, each level about four times the last.
LevelAssignment checkLevels(const std::string& what, const std::vector<double>& xy, int minLevels,
                            int maxLevels, double maxShare, double minShare = 0, bool growth = true) {
    const size_t n = xy.size() / 2;
    const LevelAssignment a = assignLevels(xy.data(), n);
    SCOPED_TRACE(what + ": counts " + testing::PrintToString(a.counts));
    EXPECT_TRUE(a.levelOf.size() == n && a.counts.size() == size_t(a.levels) && a.levels >= minLevels &&
                a.levels <= maxLevels && a.cellSize0 > 0);
    std::vector<uint64_t> seen(a.counts.size(), 0);
    uint64_t beyond = 0;
    for (uint8_t l : a.levelOf)
        ++(l < seen.size() ? seen[l] : beyond);
    EXPECT_TRUE(beyond == 0 && seen == a.counts && std::count(seen.begin(), seen.end(), 0u) == 0);
    const double share = a.counts.empty() ? 0 : double(a.counts[0]) / double(n);
    EXPECT_TRUE(share >= minShare && share <= maxShare) << share;
    for (int l = 1; growth && l < a.levels; ++l) {
        const double ratio = double(a.counts[l]) / double(a.counts[l - 1]);
        EXPECT_TRUE(ratio <= 6.0 && (ratio >= 2.5 || l + 1 == a.levels)) << "level " << l << ": " << ratio;
    }
    return a;
}

// Sparse, quadrupling and spatially uniform levels for every shape of input.
TEST(LevelAssignment, LevelsAreASparseOverviewAndQuadrupleForEveryShape) {
    checkLevels("uniform", uniform(200000, 2000.0, 1500.0, 7), 4, 7, 0.006, 0.001);
    for (auto [n, most] : {std::pair{1, 1}, {2, 1}, {301, 4}, {3000, 4}}) // small inputs
        checkLevels(std::to_string(n) + " points", uniform(n, 10.0, 10.0, n), 1, most, 1.0);
    checkLevels("one location", std::vector<double>(10000, 651234.5), 1, 2, 1.0, 0, false);
    // A zero-width extent has no area: level 0 is still a sparse overview.
    checkLevels("on a line", uniform(50000, 800.0, 0.0, 4), 2, 16, 0.01, 0, false);
    // Far apart, the box's density understates theirs.
    auto clusters = uniform(100000, 100.0, 100.0, 21);
    for (size_t i = clusters.size() / 2; i < clusters.size(); i += 2)
        clusters[i] += 50000.0, clusters[i + 1] += 30000.0;
    checkLevels("two clusters", clusters, 4, 16, 0.006);
    // Along a long strip, level 0 covers every tenth.
    const auto strip = uniform(100000, 1000.0, 1.0, 9);
    const LevelAssignment s = checkLevels("elongated", strip, 3, 8, 0.01, 0.001);
    std::vector<int> tenths(10, 0);
    for (size_t i = 0; i < s.levelOf.size(); ++i)
        tenths[std::min(9, int((strip[2 * i] - 1000.0) / 100.0))] += s.levelOf[i] == 0;
    EXPECT_GE(*std::min_element(tenths.begin(), tenths.end()), int(s.counts[0] / 20));
    EXPECT_EQ(assignLevels(nullptr, 0).levels, 0);
}

// Levels depend on the points and the seed, not their order; non-finite input refused.
TEST(LevelAssignment, LevelsDependOnPointsAndSeedOnly) {
    const size_t n = 20000;
    const auto xy = uniform(n, 100.0, 100.0, 5);
    std::vector<double> reversed(xy.size());
    for (size_t i = 0; i < n; ++i)
        reversed[2 * i] = xy[2 * (n - 1 - i)], reversed[2 * i + 1] = xy[2 * (n - 1 - i) + 1];
    const LevelAssignment a = assignLevels(xy.data(), n, 42), b = assignLevels(reversed.data(), n, 42);
    EXPECT_TRUE(a.levelOf == std::vector<uint8_t>(b.levelOf.rbegin(), b.levelOf.rend()));
    for (std::vector<double> bad :
         {std::vector<double>{1, 2, NAN, 3}, {1, 2, 1, INFINITY}, {-1.7e308, 0, 1.7e308, 0}})
        EXPECT_THROW(assignLevels(bad.data(), 2), std::invalid_argument);
}

std::vector<float> normalsOf(const std::vector<double>& xyz, int k, unsigned threads = 0,
                             NeighbourSearch search = NeighbourSearch::Automatic) {
    std::vector<float> out(xyz.size(), -7.0f); // a value no normal has, to catch unwritten slots
    computeNormals(std::vector<double>(xyz), k, out.data(), threads, {}, search);
    return out;
}

// rows x cols points o + r dr + c dc.
struct V {
    double x, y, z;
};
std::vector<double> lattice(int rows, int cols, V o, V dr, V dc) {
    std::vector<double> xyz;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            xyz.insert(xyz.end(),
                       {o.x + r * dr.x + c * dc.x, o.y + r * dr.y + c * dc.y, o.z + r * dr.z + c * dc.z});
    return xyz;
}
// Points of z = a x + b y (+ noise) on a jittered grid, at UTM-sized coordinates.
std::vector<double> plane(int side, double a, double b, double noise = 0) {
    std::mt19937 rng(side);
    std::uniform_real_distribution<double> jitter(-0.2, 0.2);
    std::normal_distribution<double> dz(0.0, 1.0);
    auto xyz = lattice(side, side, {512000, 5400000, 300}, {0, 1, b}, {1, 0, a});
    for (size_t i = 0; i < xyz.size(); i += 3) {
        const double dx = jitter(rng), dy = jitter(rng);
        xyz[i] += dx, xyz[i + 1] += dy, xyz[i + 2] += a * dx + b * dy + noise * dz(rng);
    }
    return xyz;
}

// Every normal is n normalised (within `tolerance`; 0: exactly), with 1 and 3 threads.
void checkNormals(const std::string& what, const std::vector<double>& xyz, int k, V n, double tolerance) {
    const double len = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z), e[3] = {n.x / len, n.y / len, n.z / len};
    for (unsigned threads : {1u, 3u}) {
        SCOPED_TRACE(what + ", " + std::to_string(threads) + " threads");
        const auto normals = normalsOf(xyz, k, threads);
        for (size_t i = 0; i < xyz.size() / 3; ++i)
            for (int a = 0; a < 3; ++a)
                ASSERT_TRUE(tolerance == 0 ? normals[3 * i + a] == float(e[a])
                                           : std::fabs(normals[3 * i + a] - e[a]) <= tolerance)
                    << "point " << i << " axis " << a << ": " << normals[3 * i + a];
    }
}

// Surfaces give their normal facing up (walls: first component positive); degenerate ones (0, 0, 1).
TEST(PointNormals, SurfacesGiveTheirNormalAndDegenerateOnesFallBack) {
    const double nan = NAN, inf = INFINITY;
    checkNormals("horizontal grid", lattice(30, 30, {7e5, 41e5, 123.25}, {0, 0.5, 0}, {0.5, 0, 0}), 8,
                 {0, 0, 1}, 0);
    checkNormals("steep plane z = -3y: z stays positive", plane(30, 0.0, -3.0), 12, {0, 3, 1}, 1e-5);
    checkNormals("wall x = y: the first component decides the sign",
                 lattice(20, 20, {1000, 2000, 50}, {0, 0, 0.25}, {0.25, 0.25, 0}), 9, {1, -1, 0}, 1e-5);
    checkNormals("wall y = const: rounding noise returned as 0",
                 lattice(20, 20, {512000, 5400000.7, 80}, {0, 0, 0.2}, {0.3, 0, 0}), 9, {0, 1, 0}, 0);
    checkNormals("fewer points than neighbours", plane(2, 0.5, 0.0), 5, {0, 0, 1}, 0);
    checkNormals("identical points", std::vector<double>(150, 301.0), 8, {0, 0, 1}, 0);
    checkNormals("collinear points", lattice(100, 1, {512000, 5400000, 200}, {0.5, -0.25, 0.125}, {}), 7,
                 {0, 0, 1}, 0);
    checkNormals("no finite point", std::vector<double>(30, nan), 3, {0, 0, 1}, 0);
    // Ever narrower strips of a plane move the solve from the closed form to the iterative solver.
    for (double w : {1.0, 0.002})
        checkNormals("strip " + num(w), lattice(200, 3, {5e5, 4e6, 10}, {0.2, 0, 0.06}, {0, w, 0}), 12,
                     {-0.3, 0, 1}, 1e-4);
    // Non-finite points fall back and are nobody's neighbour.
    auto xyz = plane(20, 0.5, 0.0);
    xyz[3 * 7] = xyz[3 * 50 + 2] = nan;
    xyz[3 * 99 + 1] = inf;
    xyz[3 * 150 + 2] = -inf;
    const auto normals = normalsOf(xyz, 8);
    for (size_t i = 0; i < xyz.size() / 3; ++i) {
        const bool bad = i == 7 || i == 50 || i == 99 || i == 150;
        EXPECT_NEAR(normals[3 * i], bad ? 0.0 : -0.5 / std::sqrt(1.25), 1e-5) << "point " << i;
        EXPECT_NEAR(normals[3 * i + 2], bad ? 1.0 : 1.0 / std::sqrt(1.25), 1e-5) << "point " << i;
    }
    // Crowds of candidates (repeats, a dense cluster) neither stall the search nor disturb the plane.
    xyz = lattice(200, 200, {0, 0, 2}, {0, 0.5, 0}, {0.5, 0, 0});
    for (int i = 0; i < 4000; ++i)
        xyz.insert(xyz.end(), {50.25, 50.25, 2.0, 70.1 + 1e-4 * (i % 64), 70.1 + 1e-4 * (i / 64), 2.0});
    const auto crowded = normalsOf(xyz, 16, 2, NeighbourSearch::Cells);
    for (size_t i = 0; i < xyz.size() / 3; ++i) // the repeats fall back, the cluster is flat
        ASSERT_EQ(crowded[3 * i + 2], 1.0f) << "point " << i;
}

// A scene's normals are unit and up, and the same for any thread count and from cells as from trees.
TEST(PointNormals, SceneNormalsAreUnitUpAndIndependentOfTheSearch) {
    TempDir dir;
    writeSyntheticLAS(dir.file("s.las"), SynthOptions{20000, 1, 11});
    const LasInput las(dir.file("s.las"));
    std::vector<double> xyz;
    for (size_t i = 0; i < las.count(); ++i)
        xyz.insert(xyz.end(), {las.coord(i, 0), las.coord(i, 1), las.coord(i, 2)});
    for (int r = 0; r < 30; ++r) // equal distances
        for (int c = 0; c < 30; ++c)
            xyz.insert(xyz.end(), {xyz[0] + c, xyz[1] + r, xyz[2] + 0.1 * c + (r % 3) * 0.05});
    for (int i = 0; i < 500; ++i) // a dense cluster
        xyz.insert(xyz.end(), {xyz[3] + 1e-3 * (i % 7), xyz[4] + 1e-3 * (i / 7), xyz[5] + 0.01 * i});
    for (int i = 0; i < 400; ++i) // one point repeated: every distance among them ties
        xyz.insert(xyz.end(), {xyz[6], xyz[7], xyz[8]});
    xyz.insert(xyz.end(), {xyz[0] + 5000, xyz[1] - 3000, xyz[2]});
    for (const auto& set : {xyz, std::vector<double>{0, 0, 0, 1, 0, 0, 2, 0, 0, 3, 0, 1, 4, 0, 0, 5, 0, 2}}) {
        const auto cells = normalsOf(set, 5, 2, NeighbourSearch::Cells);
        auto same = [&](const std::vector<float>& other) {
            return !std::memcmp(cells.data(), other.data(), 4 * cells.size());
        };
        EXPECT_TRUE(same(normalsOf(set, 5, 2, NeighbourSearch::Trees))) << set.size();
        for (unsigned threads : {1u, 2u, 7u, 0u}) // more threads, more blocks with their own trees
            EXPECT_TRUE(same(normalsOf(set, 5, threads))) << set.size() << " points, threads " << threads;
    }
}

// Bad k refused; progress from the calling thread, in order, ending at the total; its exception stops.
TEST(PointNormals, ArgumentsAndProgress) {
    auto xyz = plane(100, 0.1, 0.1);
    const size_t n = xyz.size() / 3;
    std::vector<float> normals(xyz.size());
    for (int k : {2, 0, -4})
        EXPECT_THROW(computeNormals(xyz.data(), n, k, normals.data()), std::invalid_argument) << k;
    EXPECT_THROW(computeNormals(nullptr, 0, 1, nullptr), std::invalid_argument);
    size_t last = 0;
    bool astray = false;
    computeNormals(xyz.data(), n, 8, normals.data(), 4,
                   [&, caller = std::this_thread::get_id()](size_t d, size_t t) {
                       astray |= std::this_thread::get_id() != caller || t != n || d <= last;
                       last = d;
                   });
    EXPECT_TRUE(!astray && last == n) << "progress from another thread, not rising or short of the total";
    EXPECT_THROW(computeNormals(xyz.data(), n, 8, normals.data(), 3,
                                [](size_t, size_t) { throw std::runtime_error("cancelled"); }),
                 std::runtime_error);
}

} // namespace
