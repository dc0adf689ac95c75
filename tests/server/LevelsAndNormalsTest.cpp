// What an import computes before writing: levels of detail and per-point normals.
#include "LevelAssignment.h"
#include "PointNormals.h"
#include "ServerTests.h"

#include <numeric>
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

// Levels found strip by strip, as an import does for data larger than memory: the points sorted by y and cut
// into `strips` strips (every other cut a few points after the one before: strips thinner than a row), the
// calibration fed strip after strip, each strip thinned with the rest of the level-0 rows it touches
// (`margins` false leaves those out), the levels cut from the summed counts. `thin` counts the strips whose
// rows all reach into another strip.
LevelAssignment byStrips(const std::vector<double>& xy, size_t strips, uint64_t seed, bool margins,
                         size_t& thin) {
    const size_t n = xy.size() / 2;
    std::vector<uint32_t> order(n); // equal y: last point first, so that ties in the priority need `index`
    std::iota(order.rbegin(), order.rend(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return xy[2 * a + 1] < xy[2 * b + 1]; });
    std::mt19937_64 rng(strips + n);
    std::vector<size_t> cuts{0, n};
    for (size_t s = 1; s < strips; ++s)
        cuts.push_back(s % 2 ? rng() % (n + 1) : std::min(n, cuts.back() + 1 + rng() % 4));
    std::sort(cuts.begin(), cuts.end());
    std::vector<double> part;
    auto gather = [&](size_t from, size_t to) {
        part.clear();
        for (size_t k = from; k < to; ++k)
            part.insert(part.end(), {xy[2 * order[k]], xy[2 * order[k] + 1]});
    };
    double box[4] = {INFINITY, -INFINITY, INFINITY, -INFINITY};
    for (size_t i = 0; i < 2 * n; ++i)
        box[i % 2 * 2] = std::min(box[i % 2 * 2], xy[i]),
                    box[i % 2 * 2 + 1] = std::max(box[i % 2 * 2 + 1], xy[i]);
    LevelCalibration calibration(box[0], box[1], box[2], box[3], n);
    while (!calibration.done()) {
        calibration.beginRound();
        for (size_t s = 0; s + 1 < cuts.size(); ++s) {
            gather(cuts[s], cuts[s + 1]);
            calibration.add(part.data(), cuts[s + 1] - cuts[s]);
        }
        calibration.endRound();
    }
    const LevelGrid grid = calibration.grid();
    auto row = [&](size_t k) { return grid.rowOf(xy[2 * order[k] + 1]); };
    LevelCounts counts{};
    std::vector<uint8_t> unbounded(n);
    for (size_t s = 0; s + 1 < cuts.size(); ++s) {
        const size_t first = cuts[s], end = cuts[s + 1];
        if (first == end)
            continue;
        size_t from = first, to = end;
        while (margins && from > 0 && row(from - 1) == row(first))
            --from;
        while (margins && to < n && row(to) == row(end - 1))
            ++to;
        thin += from < first && to > end && row(first) == row(end - 1);
        gather(from, to);
        std::vector<uint8_t> own(to - from, 0), levels(to - from);
        std::fill(own.begin() + std::ptrdiff_t(first - from), own.begin() + std::ptrdiff_t(end - from), 1);
        thinUnbounded(grid, part.data(), order.data() + from, to - from, seed, own.data(), levels.data(),
                      counts);
        for (size_t k = first; k < end; ++k)
            unbounded[order[k]] = levels[k - from];
    }
    LevelAssignment out;
    out.counts = cutLevels(grid, counts);
    out.levels = int(out.counts.size());
    out.cellSize0 = grid.cell0;
    for (uint8_t l : unbounded)
        out.levelOf.push_back(uint8_t(std::min(int(l), out.levels - 1)));
    return out;
}

// Strip by strip, whatever the strips, the levels are those of all points at once; without the neighbours'
// rows they are not.
TEST(LevelAssignment, StripByStripGivesTheLevelsOfAllPointsAtOnce) {
    auto holes = uniform(150000, 1000.0, 1000.0, 7);
    std::erase_if(holes, [&, i = size_t(0)](const double&) mutable {
        const size_t p = i++ / 2;
        return std::fmod(holes[2 * p], 200.0) > 120.0 && std::fmod(holes[2 * p + 1], 250.0) > 90.0;
    });
    auto repeated = uniform(30000, 100.0, 100.0, 3);
    for (int copy = 0; copy < 3; ++copy)
        repeated.insert(repeated.end(), repeated.begin(), repeated.begin() + 60000);
    const std::tuple<std::string, std::vector<double>, uint64_t> scenes[] = {
        {"uniform", uniform(200000, 2000.0, 1500.0, 1), 0},
        {"clustered with holes", holes, 5},
        {"corridor", uniform(100000, 0.4, 3000.0, 2), 0},
        {"line in y", uniform(60000, 0.0, 800.0, 4), 9}, // the calibration's count saturates
        {"repeated positions", repeated, 0},
        {"tiny", uniform(250, 10.0, 10.0, 6), 0}};
    for (const auto& [what, xy, seed] : scenes) {
        const LevelAssignment all = assignLevels(xy.data(), xy.size() / 2, seed);
        size_t thin = 0;
        for (size_t strips : {1, 3, 17}) {
            SCOPED_TRACE(what + ", " + std::to_string(strips) + " strips");
            const LevelAssignment parts = byStrips(xy, strips, seed, true, thin);
            EXPECT_TRUE(parts.levelOf == all.levelOf && parts.counts == all.counts &&
                        parts.levels == all.levels && parts.cellSize0 == all.cellSize0)
                << testing::PrintToString(parts.counts) << " for " << testing::PrintToString(all.counts);
        }
        EXPECT_TRUE(all.levels == 1 || thin > 0) << what << ": no strip within a row";
        const LevelAssignment cut = byStrips(xy, 17, seed, false, thin);
        EXPECT_TRUE(all.levels == 1 || cut.levelOf != all.levelOf || cut.counts != all.counts) << what;
    }
    // Batches out of y order, points outside the bounds and counts short of the points are refused.
    const std::vector<double> xy{0, 5, 10, 10, 3, 0, 4, 6};
    LevelCalibration calibration(0, 10, 0, 10, 1000);
    calibration.beginRound();
    calibration.add(xy.data(), 2);
    EXPECT_THROW(calibration.add(xy.data() + 4, 2), std::invalid_argument);
    EXPECT_THROW(calibration.add(std::vector<double>{11, 10}.data(), 1), std::invalid_argument);
    EXPECT_THROW(cutLevels({0, 0, 10, 0.5, 1000}, LevelCounts{900, 99}), std::invalid_argument);
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
