#include "LevelAssignment.h"
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
LevelAssignment check(const std::string& what, const std::vector<double>& xy, int minLevels, int maxLevels,
                      double maxShare, double minShare = 0, bool growth = true) {
    const size_t n = xy.size() / 2;
    const LevelAssignment a = assignLevels(xy.data(), n);
    std::string counts;
    for (uint64_t k : a.counts)
        counts += " " + std::to_string(k);
    SCOPED_TRACE(what + ": " + std::to_string(a.levels) + " levels:" + counts);
    EXPECT_TRUE(a.levelOf.size() == n && a.counts.size() == size_t(a.levels) && a.levels >= minLevels &&
                a.levels <= maxLevels && a.cellSize0 > 0);
    std::vector<uint64_t> seen(a.counts.size() + 1, 0); // the last: levels out of range
    for (uint8_t l : a.levelOf)
        ++seen[std::min<size_t>(l, a.counts.size())];
    EXPECT_EQ(seen.back(), 0u);
    seen.pop_back();
    EXPECT_EQ(seen, a.counts);
    EXPECT_EQ(std::count(a.counts.begin(), a.counts.end(), 0u), 0) << "an empty level";
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
    const auto xy = uniform(200000, 2000.0, 1500.0, 7);
    const LevelAssignment a = check("uniform", xy, 4, 7, 0.006, 0.001);
    ASSERT_GE(a.levels, 2);
    // The level-0 cell holds about 300 points per 100,000's area.
    EXPECT_NEAR(a.cellSize0, std::sqrt(100000.0 / (300.0 * 200000 / (2000.0 * 1500.0))), 0.5 * a.cellSize0);
    // One point per cell varies far less per block than a random sample of the same size would.
    for (auto [level, blocks, lo, hi] : {std::tuple{0, 4, 0.5, 2.0}, {1, 4, 0.5, 2.0}, {1, 8, 0.6, 1.6}}) {
        std::vector<size_t> counts(size_t(blocks * blocks), 0);
        for (size_t i = 0; i < a.levelOf.size(); ++i)
            counts[size_t(std::min(blocks - 1, int((xy[2 * i + 1] + 500.0) / 1500.0 * blocks)) * blocks +
                          std::min(blocks - 1, int((xy[2 * i] - 1000.0) / 2000.0 * blocks)))] +=
                a.levelOf[i] == level;
        const double mean = double(a.counts[level]) / double(blocks * blocks);
        for (size_t k : counts)
            EXPECT_TRUE(k >= mean * lo && k <= mean * hi)
                << "level " << level << ", " << blocks << " blocks: " << k;
    }
    for (size_t n : {1, 2, 10})
        check("tiny " + std::to_string(n), uniform(n, 10.0, 10.0, n), 1, 1, 1.0);
    for (size_t n : {301, 1000, 3000})
        check("small " + std::to_string(n), uniform(n, 10.0, 10.0, n), 1, 4, 1.0);
    check("one location", std::vector<double>(10000, 651234.5), 1, 2, 1.0, 0, false);
    // A zero-width extent has no area: level 0 is still a sparse overview.
    check("on a line", uniform(50000, 800.0, 0.0, 4), 2, 16, 0.01, 0, false);
    // Far apart, the box's density understates theirs.
    auto clusters = uniform(100000, 100.0, 100.0, 21);
    for (size_t i = clusters.size() / 2; i < clusters.size(); i += 2)
        clusters[i] += 50000.0, clusters[i + 1] += 30000.0;
    check("two clusters", clusters, 4, 16, 0.006);
    // Along a long strip, level 0 covers every tenth.
    const auto strip = uniform(100000, 1000.0, 1.0, 9);
    const LevelAssignment s = check("elongated", strip, 3, 8, 0.01, 0.001);
    std::vector<int> tenths(10, 0);
    for (size_t i = 0; i < s.levelOf.size(); ++i)
        tenths[std::min(9, int((strip[2 * i] - 1000.0) / 100.0))] += s.levelOf[i] == 0;
    EXPECT_GE(*std::min_element(tenths.begin(), tenths.end()), int(s.counts[0] / 20));
    TempDir dir;
    writeSyntheticLAS(dir.file("s.las"), SynthOptions{100000, 1, 5});
    const LasInput las(dir.file("s.las"));
    std::vector<double> scene;
    for (size_t i = 0; i < las.count(); ++i)
        scene.insert(scene.end(), {las.coord(i, 0), las.coord(i, 1)});
    check("synthetic scene", scene, 4, 7, 0.006, 0.001);
    EXPECT_EQ(assignLevels(nullptr, 0).levels, 0);
}

// Levels depend on the points and the seed only, not their order; non-finite input refused.
TEST(LevelAssignment, LevelsDependOnPointsAndSeedOnly) {
    const size_t n = 20000;
    const auto xy = uniform(n, 100.0, 100.0, 5);
    std::vector<double> reversed(xy.size());
    for (size_t i = 0; i < n; ++i)
        reversed[2 * i] = xy[2 * (n - 1 - i)], reversed[2 * i + 1] = xy[2 * (n - 1 - i) + 1];
    const LevelAssignment a = assignLevels(xy.data(), n, 42), b = assignLevels(reversed.data(), n, 42);
    for (size_t i = 0; i < n; ++i)
        ASSERT_EQ(a.levelOf[i], b.levelOf[n - 1 - i]) << i;
    EXPECT_EQ(a.levelOf, assignLevels(xy.data(), n, 42).levelOf);
    EXPECT_NE(a.levelOf, assignLevels(xy.data(), n, 43).levelOf) << "the seed picks a different sample";
    const double nan = std::numeric_limits<double>::quiet_NaN(),
                 inf = std::numeric_limits<double>::infinity();
    for (std::vector<double> bad :
         {std::vector<double>{1, 2, nan, 3}, {1, 2, 1, inf}, {-1.7e308, 0, 1.7e308, 0}})
        EXPECT_THROW(assignLevels(bad.data(), 2), std::invalid_argument);
}

} // namespace
