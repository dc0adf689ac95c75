#include "LevelAssignment.h"

#include "CLASFile.h"
#include "SyntheticScene.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>

namespace {

std::vector<double> uniform(size_t n, double width, double height, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> ux(1000.0, 1000.0 + width), uy(-500.0, -500.0 + height);
    std::vector<double> xy(2 * n);
    for (size_t i = 0; i < n; ++i) {
        xy[2 * i] = ux(rng);
        xy[2 * i + 1] = uy(rng);
    }
    return xy;
}

// Every point in exactly one level, counts that match, and the level count within bounds.
void checkPartition(const LevelAssignment& a, size_t n) {
    ASSERT_EQ(a.levelOf.size(), n);
    ASSERT_EQ(a.counts.size(), size_t(a.levels));
    ASSERT_GE(a.levels, n > 0 ? 1 : 0);
    ASSERT_LE(a.levels, 16);
    std::vector<uint64_t> seen(a.levels, 0);
    for (uint8_t l : a.levelOf) {
        ASSERT_LT(l, a.levels);
        ++seen[l];
    }
    EXPECT_EQ(seen, a.counts);
    for (uint64_t c : a.counts)
        EXPECT_GT(c, 0u) << "no empty level";
}

// Each level but the last grows by a factor near four; the last takes the rest, at most a few times more.
void checkGrowth(const LevelAssignment& a) {
    for (int l = 1; l + 1 < a.levels; ++l) {
        const double growth = double(a.counts[l]) / double(a.counts[l - 1]);
        EXPECT_GE(growth, 2.5) << "level " << l;
        EXPECT_LE(growth, 6.0) << "level " << l;
    }
    if (a.levels >= 2) {
        EXPECT_LE(double(a.counts.back()), 6.0 * double(a.counts[a.levels - 2]));
    }
}

std::string describe(const LevelAssignment& a) {
    std::ostringstream s;
    s << a.levels << " levels:";
    for (uint64_t c : a.counts)
        s << ' ' << c;
    return s.str();
}

// Counts of one level's points in a blocks × blocks grid over the bounding box.
std::vector<size_t> blockCounts(const std::vector<double>& xy, const LevelAssignment& a, int level,
                                int blocks) {
    double minX = INFINITY, minY = INFINITY, maxX = -INFINITY, maxY = -INFINITY;
    const size_t n = xy.size() / 2;
    for (size_t i = 0; i < n; ++i) {
        minX = std::min(minX, xy[2 * i]);
        maxX = std::max(maxX, xy[2 * i]);
        minY = std::min(minY, xy[2 * i + 1]);
        maxY = std::max(maxY, xy[2 * i + 1]);
    }
    std::vector<size_t> counts(size_t(blocks * blocks), 0);
    for (size_t i = 0; i < n; ++i) {
        if (a.levelOf[i] != level)
            continue;
        const int bx = std::min(blocks - 1, int((xy[2 * i] - minX) / (maxX - minX) * blocks));
        const int by = std::min(blocks - 1, int((xy[2 * i + 1] - minY) / (maxY - minY) * blocks));
        ++counts[size_t(by * blocks + bx)];
    }
    return counts;
}

TEST(LevelAssignment, UniformSetHasSparseOverviewAndQuadruplingLevels) {
    const size_t n = 200000;
    const auto xy = uniform(n, 2000.0, 1500.0, 7);
    const LevelAssignment a = assignLevels(xy.data(), n);
    checkPartition(a, n);
    SCOPED_TRACE(describe(a));
    ASSERT_GE(a.levels, 4);
    EXPECT_LE(a.levels, 7);
    const double share = double(a.counts[0]) / double(n);
    EXPECT_GE(share, 0.001);
    EXPECT_LE(share, 0.006);
    checkGrowth(a);
    // The level-0 cell matches the stated density: about 300 points per 100,000-point area.
    const double density = double(n) / (2000.0 * 1500.0);
    EXPECT_NEAR(a.cellSize0, std::sqrt(100000.0 / (300.0 * density)), 0.5 * a.cellSize0);
}

TEST(LevelAssignment, LevelsAreSpatiallyUniform) {
    const size_t n = 200000;
    const auto xy = uniform(n, 1000.0, 1000.0, 11);
    const LevelAssignment a = assignLevels(xy.data(), n);
    checkPartition(a, n);
    ASSERT_GE(a.levels, 3);
    for (int level = 0; level < 2; ++level) {
        const auto counts = blockCounts(xy, a, level, 4);
        const auto [lo, hi] = std::minmax_element(counts.begin(), counts.end());
        const double mean = double(a.counts[level]) / 16.0;
        SCOPED_TRACE(testing::Message() << "level " << level << ", blocks from " << *lo << " to " << *hi);
        EXPECT_GE(double(*lo), mean / 2);
        EXPECT_LE(double(*hi), mean * 2);
    }
}

TEST(LevelAssignment, UniformityHoldsOnAnEvenFinerBlockGridForLevelOne) {
    // A random sample of the same size would vary far more per block than one point per cell does.
    const size_t n = 100000;
    const auto xy = uniform(n, 500.0, 500.0, 12);
    const LevelAssignment a = assignLevels(xy.data(), n);
    checkPartition(a, n);
    ASSERT_GE(a.levels, 3);
    const auto counts = blockCounts(xy, a, 1, 8);
    const double mean = double(a.counts[1]) / 64.0;
    for (size_t c : counts) {
        EXPECT_GE(double(c), mean * 0.6);
        EXPECT_LE(double(c), mean * 1.6);
    }
}

TEST(LevelAssignment, SameInputGivesSameLevels) {
    const size_t n = 50000;
    const auto xy = uniform(n, 300.0, 300.0, 3);
    const LevelAssignment a = assignLevels(xy.data(), n, 42);
    const LevelAssignment b = assignLevels(xy.data(), n, 42);
    EXPECT_EQ(a.levelOf, b.levelOf);
    EXPECT_EQ(a.counts, b.counts);
    EXPECT_EQ(a.cellSize0, b.cellSize0);
    const LevelAssignment c = assignLevels(xy.data(), n, 43);
    checkPartition(c, n);
    EXPECT_NE(a.levelOf, c.levelOf) << "the seed picks a different sample";
}

TEST(LevelAssignment, ReversedInputGivesTheSameLevelsPerPoint) {
    const size_t n = 20000;
    const auto xy = uniform(n, 100.0, 100.0, 5);
    std::vector<double> reversed(xy.size());
    for (size_t i = 0; i < n; ++i) {
        reversed[2 * i] = xy[2 * (n - 1 - i)];
        reversed[2 * i + 1] = xy[2 * (n - 1 - i) + 1];
    }
    const LevelAssignment a = assignLevels(xy.data(), n);
    const LevelAssignment b = assignLevels(reversed.data(), n);
    for (size_t i = 0; i < n; ++i)
        ASSERT_EQ(a.levelOf[i], b.levelOf[n - 1 - i]) << i;
}

TEST(LevelAssignment, TinyInputsGetOneLevel) {
    EXPECT_EQ(assignLevels(nullptr, 0).levels, 0);
    for (size_t n : {1, 2, 10}) {
        const auto xy = uniform(n, 10.0, 10.0, n);
        const LevelAssignment a = assignLevels(xy.data(), n);
        checkPartition(a, n);
        EXPECT_EQ(a.levels, 1) << n;
        EXPECT_GT(a.cellSize0, 0.0);
    }
}

TEST(LevelAssignment, SmallInputsGetFewLevels) {
    for (size_t n : {301, 1000, 3000}) {
        const auto xy = uniform(n, 10.0, 10.0, n);
        const LevelAssignment a = assignLevels(xy.data(), n);
        checkPartition(a, n);
        SCOPED_TRACE(describe(a));
        EXPECT_LE(a.levels, 4) << n;
        checkGrowth(a);
    }
}

TEST(LevelAssignment, PointsAtOneLocation) {
    const size_t n = 5000;
    std::vector<double> xy(2 * n);
    for (size_t i = 0; i < n; ++i) {
        xy[2 * i] = 651234.5;
        xy[2 * i + 1] = 5012345.25;
    }
    const LevelAssignment a = assignLevels(xy.data(), n);
    checkPartition(a, n);
    SCOPED_TRACE(describe(a));
    EXPECT_LE(a.levels, 2);
    EXPECT_GT(a.cellSize0, 0.0);
    EXPECT_EQ(a.levelOf, assignLevels(xy.data(), n).levelOf);
}

TEST(LevelAssignment, VeryElongatedExtent) {
    const size_t n = 100000;
    const auto xy = uniform(n, 1000.0, 1.0, 9);
    const LevelAssignment a = assignLevels(xy.data(), n);
    checkPartition(a, n);
    SCOPED_TRACE(describe(a));
    ASSERT_GE(a.levels, 3);
    EXPECT_LE(a.levels, 8);
    const double share = double(a.counts[0]) / double(n);
    EXPECT_GE(share, 0.001);
    EXPECT_LE(share, 0.01);
    // Along the length, level 0 covers every tenth of the strip.
    std::vector<int> tenths(10, 0);
    for (size_t i = 0; i < n; ++i) {
        if (a.levelOf[i] == 0)
            ++tenths[std::min(9, int((xy[2 * i] - 1000.0) / 100.0))];
    }
    for (int t : tenths)
        EXPECT_GE(t, int(a.counts[0] / 20));
}

TEST(LevelAssignment, PointsOnALine) {
    // A zero-width extent has no area; level 0 must still be a sparse overview.
    const size_t n = 50000;
    std::vector<double> xy(2 * n);
    std::mt19937_64 rng(4);
    std::uniform_real_distribution<double> u(0.0, 800.0);
    for (size_t i = 0; i < n; ++i) {
        xy[2 * i] = u(rng);
        xy[2 * i + 1] = 17.0;
    }
    const LevelAssignment a = assignLevels(xy.data(), n);
    checkPartition(a, n);
    SCOPED_TRACE(describe(a));
    EXPECT_GE(a.levels, 2);
    EXPECT_LE(double(a.counts[0]), 0.01 * double(n));
}

TEST(LevelAssignment, SeparateClustersStillGetSeveralLevels) {
    // Two dense patches far apart: the bounding box's density understates the local one.
    const size_t n = 100000;
    auto xy = uniform(n, 100.0, 100.0, 21);
    for (size_t i = n / 2; i < n; ++i) {
        xy[2 * i] += 50000.0;
        xy[2 * i + 1] += 30000.0;
    }
    const LevelAssignment a = assignLevels(xy.data(), n);
    checkPartition(a, n);
    SCOPED_TRACE(describe(a));
    ASSERT_GE(a.levels, 4);
    EXPECT_LE(double(a.counts[0]), 0.006 * double(n));
    checkGrowth(a);
}

TEST(LevelAssignment, RejectsNonFiniteCoordinates) {
    std::vector<double> xy = {1.0, 2.0, std::numeric_limits<double>::quiet_NaN(), 3.0};
    EXPECT_THROW(assignLevels(xy.data(), 2), std::invalid_argument);
    xy[2] = 1.0;
    xy[3] = std::numeric_limits<double>::infinity();
    EXPECT_THROW(assignLevels(xy.data(), 2), std::invalid_argument);
    xy = {-1.7e308, 0.0, 1.7e308, 0.0};
    EXPECT_THROW(assignLevels(xy.data(), 2), std::invalid_argument);
}

TEST(LevelAssignment, SyntheticScene) {
    TempDir dir;
    const std::string path = dir.file("scene.las");
    const size_t n = 100000;
    writeSyntheticLAS(path, SynthOptions{n, 1, 5});
    CLASFile las;
    ASSERT_TRUE(las.ReadFile(path.c_str()));
    ASSERT_EQ(las.points.size(), n);
    std::vector<double> xy(2 * n);
    for (size_t i = 0; i < n; ++i) {
        xy[2 * i] = double(las.points[i]->GetX()) * las.ScaleFactor_X + las.OffsetX;
        xy[2 * i + 1] = double(las.points[i]->GetY()) * las.ScaleFactor_Y + las.OffsetY;
    }
    const LevelAssignment a = assignLevels(xy.data(), n);
    checkPartition(a, n);
    SCOPED_TRACE(describe(a));
    EXPECT_GE(a.levels, 4);
    EXPECT_LE(a.levels, 7);
    const double share = double(a.counts[0]) / double(n);
    EXPECT_GE(share, 0.001);
    EXPECT_LE(share, 0.006);
    checkGrowth(a);
    EXPECT_EQ(a.levelOf, assignLevels(xy.data(), n).levelOf);
}

} // namespace
