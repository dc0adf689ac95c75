// Classification: neighbour queries against brute force, surface rules, compatible-neighbour counts and
// their cache, interactive and batch classifiers on scenes with known surfaces, the files read and written.
#include "CLASFile.h"
#include "ClassificationInput.h"
#include "ClassificationLog.h"
#include "CompatibleNeighbours.h"
#include "ContinuousSurfaces.h"
#include "GeometryTypes.h"
#include "LASHeader.h"
#include "LODTreeNodeHeader.h"
#include "PointNormals.h"
#include "QueryHandler.h"
#include "SurfaceClassifier.h"
#include "SurfaceOutput.h"
#include "SurfaceRules.h"
#include "ViewMath.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <locale>
#include <map>
#include <memory>
#include <numbers>
#include <random>
#include <tuple>

namespace {

[[maybe_unused]] const bool quiet = (setClassificationLog(nullptr), true);

// Points with the surface each belongs to (-1: none, like a tree's returns).
struct Scene {
    std::vector<GLVector3d> positions;
    std::vector<GLVector3f> normals;
    std::vector<int> labels;
    std::mt19937_64 rng{12345};

    void add(double x, double y, double z, int label, GLVector3f n = {0, 0, 1}) {
        positions.push_back({x, y, z}), normals.push_back(n), labels.push_back(label);
    }
    double noise(double sigma) { return std::normal_distribution<double>(0, sigma)(rng); }
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
    // A jittered grid of spacing s over [x0, x1] x [y0, y1] on z = f(x, y) plus noise.
    template <typename F>
    void surface(double x0, double x1, double y0, double y1, double s, double sigma, int label, F f) {
        for (double x = x0; x <= x1; x += s)
            for (double y = y0; y <= y1; y += s) {
                const double px = x + uniform(-0.3, 0.3) * s, py = y + uniform(-0.3, 0.3) * s;
                add(px, py, f(px, py) + noise(sigma), label);
            }
    }
    // Normals as the point server fits them: 16 neighbours, facing up.
    void fitNormals() {
        std::vector<double> xyz;
        for (const auto& p : positions)
            xyz.insert(xyz.end(), {p.x, p.y, p.z});
        std::vector<float> n(xyz.size());
        computeNormals(xyz.data(), positions.size(), 16, n.data(), 1);
        for (size_t i = 0; i < normals.size(); ++i)
            normals[i] = {n[3 * i], n[3 * i + 1], n[3 * i + 2]};
    }
    std::unique_ptr<QueryHandler> handler() const {
        return std::make_unique<QueryHandler>(positions, normals);
    }
};

Scene flatGrid(int side, size_t keep = SIZE_MAX) {
    Scene s;
    for (int i = 0; i < side * side && size_t(i) < keep; ++i)
        s.add(i / side, i % side, 0, 0);
    return s;
}

// A gable roof over flat ground with a wall and scattered returns: labels 0 ground, 1 and 2 the roof's
// sides, 3 the wall.
Scene smallSettlement() {
    Scene s, g;
    g.surface(0, 30, 0, 30, 0.7, 0.01, 0, [](double, double) { return 0.0; });
    for (const GLVector3d& p : g.positions)
        if (!(p.x > 8 && p.x < 22 && p.y > 8 && p.y < 22))
            s.add(p.x, p.y, p.z, 0);
    s.rng = g.rng;
    s.surface(9, 14.8, 9, 21, 0.5, 0.01, 1, [](double x, double) { return 6 + 0.7 * (x - 9); });
    s.surface(15.2, 21, 9, 21, 0.5, 0.01, 2, [](double x, double) { return 6 + 0.7 * (21 - x); });
    for (double y = 9; y <= 21; y += 0.5)
        for (double z = 0.5; z < 5.5; z += 0.5)
            s.add(8.6 + s.noise(0.01), y + s.uniform(-0.1, 0.1), z, 3);
    for (int i = 0; i < 150; ++i)
        s.add(s.uniform(23, 29), s.uniform(1, 7), s.uniform(2, 9), -1);
    s.fitNormals();
    return s;
}

// Neighbours of point i nearest first (ties by number), the point itself first; squared distances
// summed in the tree's order, so that ties are ties on both sides.
std::vector<std::pair<double, uint32_t>> byDistance(const std::vector<GLVector3d>& p, uint32_t i) {
    std::vector<std::pair<double, uint32_t>> out{{-1, i}};
    for (uint32_t j = 0; j < p.size(); ++j) {
        const double dx = p[i].x - p[j].x, dy = p[i].y - p[j].y, dz = p[i].z - p[j].z;
        double d2 = dx * dx;
        d2 += dy * dy;
        if (j != i)
            out.push_back({d2 + dz * dz, j});
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The k nearest, and the set alone (the point itself first), equal brute force: ties, coincident points,
// k of 0 or beyond the set, a smaller k after a larger one.
TEST(QueryHandler, EqualsBruteForceWithTiesDuplicatesAndSizesBeyondTheSet) {
    Scene grid;
    for (int i = 0; i < 252; ++i) // integer positions: many equal distances; twelve coincident points
        i < 240 ? grid.add(i % 7, (i / 7) % 5, i % 3, 0) : grid.add(3, 2, 1, 0);
    // clang-format off
    const std::pair<std::vector<GLVector3d>, std::vector<uint32_t>> cases[] = { // points, k
        {grid.positions, {0, 1, 2, 9, 40, 252, 259, 10}}, {{{1, 2, 3}}, {0, 1, 2, 100}},
        {std::vector<GLVector3d>(4, {1, 2, 3}), {1, 2, 3, 4, 200}}};
    // clang-format on
    for (const auto& [positions, ks] : cases) {
        QueryHandler q(positions, std::vector<GLVector3f>(positions.size(), GLVector3f{0, 0, 1}));
        std::vector<const QueryPoint*> r, set;
        for (uint32_t k : ks)
            for (uint32_t i = 0; i < positions.size(); ++i) {
                q.nearest(i, k, r);
                q.nearestSet(i, k, set);
                const auto all = byDistance(positions, i);
                std::vector<uint32_t> got, inSet, want;
                for (size_t j = 0; j < all.size() && j < k; ++j)
                    want.push_back(all[j].second);
                for (const QueryPoint* p : r)
                    got.push_back(p->index);
                for (const QueryPoint* p : set)
                    inSet.push_back(p->index);
                ASSERT_EQ(got, want) << "point " << i << ", k " << k;
                ASSERT_TRUE(inSet.size() == want.size() && (want.empty() || inSet[0] == i)) << i << ", " << k;
                std::sort(inSet.begin() + (want.empty() ? 0 : 1), inSet.end());
                std::sort(want.begin() + (want.empty() ? 0 : 1), want.end());
                ASSERT_EQ(inSet, want) << "set of point " << i << ", k " << k;
            }
    }
    QueryHandler empty({}, {});
    std::vector<const QueryPoint*> r;
    EXPECT_THROW(empty.nearest(0, 5, r), std::out_of_range);
    EXPECT_THROW(empty.point(0), std::out_of_range);
}

// Normals normalised, unusable ones marked; mismatched or non-finite input refused.
TEST(QueryHandler, NormalsAndBadInput) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    QueryHandler q({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}},
                   {{0, 3, 4}, {0, 0, 0}, {inf, 0, 1}, {nan, 0, 1}, {-2e-20f, 0, 0}});
    EXPECT_TRUE(q.point(0).hasNormal() && std::fabs(q.point(0).normal.y - 0.6f) < 1e-7 &&
                std::fabs(q.point(0).normal.z - 0.8f) < 1e-7);
    EXPECT_FALSE(q.point(1).hasNormal() || q.point(2).hasNormal() || q.point(3).hasNormal());
    EXPECT_NEAR(q.point(4).normal.x, -1.0f, 1e-6) << "a tiny normal still has a direction";
    EXPECT_THROW(QueryHandler({{0, 0, 0}}, {}), std::invalid_argument);
    for (const GLVector3d& bad : {GLVector3d{0, std::nan(""), 0}, GLVector3d{0, 0, inf}})
        EXPECT_THROW(QueryHandler({bad}, {{0, 0, 1}}), std::invalid_argument);
}

QueryPoint at(double x, double y, double z, GLVector3f n = {0, 0, 1}) {
    return QueryPoint{{x, y, z}, n, 0};
}
GLVector3f tilted(double deg, bool reversed) { // in the x-z plane, deg off the vertical
    const float s = float(std::sin(degreesToRadians(deg))), c = float(std::cos(degreesToRadians(deg)));
    return {s, 0, reversed ? -c : c};
}

// Relative distance to a tangent plane; compatibility and growth take normals as lines (a reversed normal
// is the same plane), and a point at the same position lies in the plane.
TEST(SurfaceRules, RelativeDistanceCompatibilityAndGrowthTakeNormalsAsLines) {
    const GLVector3d p{10, 20, 30};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // clang-format off
    const std::tuple<GLVector3f, GLVector3d, double> distances[] = {{{0, 0, 1}, {13, 24, 30}, 0},
        {{0, 0, 1}, {11, 20, 31}, std::sqrt(0.5)}, {{3, 0, 4}, {10, 21, 30}, 0},
        {{0, 0, -7}, {13, 24, 35}, 5 / std::sqrt(50.0)}, // length and sign of the normal do not matter
        {{3, 0, 4}, {13, 20, 34}, 1}, {{0, 0, 1}, p, 0}, {{0, 0, 0}, {10, 20, 31}, 1}, {{0, 0, 0}, p, 1},
        {{nan, 0, 1}, {11, 20, 30}, 1}}; // no normal, no plane
    // clang-format on
    for (const auto& [n, q, want] : distances)
        EXPECT_NEAR(relativeDistanceToSurface(p, n, q), want, 1e-15) << q.x << " " << q.y << " " << q.z;
    const double far = relativeDistanceToSurface({1e7, 1e7, 1e3}, {0, 0, 1}, {1e7, 1e7, 1e3 + 1e-9});
    EXPECT_TRUE(far >= 0 && far <= 1) << far;

    const CompatibilityRule compatible(15, 0.25);
    const QueryPoint o = at(0, 0, 0);
    // clang-format off
    const std::pair<QueryPoint, bool> compat[] = { // elevation sines 0.2 and 0.29; a reversed normal
        {at(1, 0, 0.2), true}, {at(1, 0, 0.3), false}, {at(1, 0, 0, {0, 0, -1}), true},
        {at(1, 0, 0, tilted(14, true)), true}, {at(1, 0, 0, tilted(16, false)), false},
        {at(0, 0, 0), true}, {at(1, 0, 0, {0, 0, 0}), false}};
    // clang-format on
    for (const auto& [q, want] : compat)
        EXPECT_EQ(compatible(o, q), want) << q.position.x << " " << q.position.z << " n " << q.normal.x;
    EXPECT_FALSE(compatible(at(0, 0, 0, {0, 0, 0}), at(1, 0, 0))) << "a point without a normal";

    const GrowthRule grows(20, 15);
    const GLVector3f up{0, 0, 1}, east{1, 0, 0};
    // clang-format off
    const std::tuple<GLVector3f, QueryPoint, QueryPoint, bool> growth[] = { // 11.3, 16.7, 12 degrees off
        {up, o, at(1, 0, 0.2), true}, {up, o, at(1, 0, 0.3), false}, {up, o, at(1, 1, -0.3), true},
        {up, o, at(0, 0, 0), true}, {up, o, at(1, 0, 0, tilted(19, true)), true}, // the same position
        {up, o, at(1, 0, 0, tilted(22, false)), false}, {up, o, at(1, 0, 0, {0, 0, 0}), false},
        {east, at(0, 0, 0, east), at(0, 0.5, 2, {-1, 0, 0}), true}, // up a wall, normal flipped
        {east, at(0, 0, 0, east), at(1, 0, 0.2, east), false}};
    // clang-format on
    for (const auto& [seed, from, q, want] : growth)
        EXPECT_EQ(grows(seed, from, q), want) << q.position.x << " " << q.position.z;
    EXPECT_TRUE(GrowthRule(90, 90)(up, o, at(0, 0, 1, {1, 0, 0.001f})))
        << "at 90 degrees every step qualifies";
}

CompatibilityOptions compatibility(unsigned threads, const std::string& dir = "") {
    return {dir, "set", threads, {}};
}

// Neighbours nearest first, at most 99, counted up to the first incompatible one; angles by acos,
// independently of the library's cosines.
int32_t referenceCount(const Scene& s, uint32_t i, double maxAngleDeg, double maxRel) {
    const auto unit = [](GLVector3f n) {
        const double l = std::sqrt(double(n.x) * n.x + double(n.y) * n.y + double(n.z) * n.z);
        return l > 0 ? std::array<double, 3>{n.x / l, n.y / l, n.z / l} : std::array<double, 3>{0, 0, 0};
    };
    const auto ni = unit(s.normals[i]);
    const GLVector3d& p = s.positions[i];
    const auto others = byDistance(s.positions, i);
    int32_t c = 0;
    for (size_t k = 1; k < others.size() && k <= 99 && ni != std::array<double, 3>{0, 0, 0}; ++k, ++c) {
        const auto nj = unit(s.normals[others[k].second]);
        const GLVector3d& q = s.positions[others[k].second];
        const double v[3] = {q.x - p.x, q.y - p.y, q.z - p.z}, len = std::sqrt(others[k].first);
        const double angle =
            std::acos(std::min(1.0, std::fabs(ni[0] * nj[0] + ni[1] * nj[1] + ni[2] * nj[2])));
        const double rel = len == 0 ? 0 : std::fabs(ni[0] * v[0] + ni[1] * v[1] + ni[2] * v[2]) / len;
        if (nj == std::array<double, 3>{0, 0, 0} || !(angle * 180 / std::numbers::pi < maxAngleDeg) ||
            !(rel < maxRel))
            break;
    }
    return c;
}

// Counts equal the reference walk on any number of threads, sorted by count and then point; sets smaller
// than the queries.
TEST(CompatibleNeighbours, CountsEqualTheReferenceWalkOnAnyNumberOfThreadsSortedForSeeding) {
    Scene s = smallSettlement();
    auto q = s.handler();
    std::vector<int32_t> expected(s.positions.size(), -1); // every third point: the walk is slow
    for (uint32_t i = 0; i < expected.size(); i += 3)
        expected[i] = referenceCount(s, i, 15, 0.25);
    EXPECT_EQ(*std::max_element(expected.begin(), expected.end()), 99)
        << "flat ground reaches the largest query";
    for (unsigned threads : {1u, 2u, 3u}) {
        const auto pairs = getCompatibleNeighbours(*q, 15, 0.25, compatibility(threads));
        ASSERT_EQ(pairs.size(), s.positions.size());
        std::vector<int32_t> got(pairs.size(), -1);
        for (size_t k = 0; k < pairs.size(); ++k) {
            if (pairs[k].index % 3 == 0)
                got[size_t(pairs[k].index)] = pairs[k].count;
            EXPECT_TRUE(k == 0 || std::pair(-pairs[k - 1].count, pairs[k - 1].index) <
                                      std::pair(-pairs[k].count, pairs[k].index))
                << "by count, equal counts in point order, at " << k;
        }
        EXPECT_EQ(got, expected) << threads << " threads";
    }
    for (uint32_t n : {0u, 1u, 2u, 40u}) // every other point of the plane is compatible
        for (unsigned threads : {1u, 2u})
            for (const IndexPair& p :
                 getCompatibleNeighbours(*flatGrid(7, n).handler(), 15, 0.25, compatibility(threads)))
                EXPECT_EQ(p.count, int32_t(n) - 1);
}

// Cache names in any locale; the cache used only for the same data and thresholds; truncated, corrupt or
// longer files recomputed; an unwritable cache only costs the cache.
TEST(CompatibilityCache, NamesInEveryLocaleUsedOnlyForTheSameDataAndThresholdsIntact) {
    struct Comma : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
        std::string do_grouping() const override { return "\3"; }
        char do_thousands_sep() const override { return '.'; }
    };
    const std::locale old = std::locale::global(std::locale(std::locale::classic(), new Comma));
    EXPECT_EQ(compatibleNeighboursCachePath("/data", "survey", 15, 0.25),
              "/data/survey_compNeighbours15-0.25");
    for (auto [v, text] : {std::pair(1234567.125, "1234567.125"), {0.000001, "0.000001"}, {-0.0, "0"}})
        EXPECT_EQ(formatThreshold(v), text);
    std::locale::global(old);
    EXPECT_THROW(formatThreshold(std::nan("")), std::invalid_argument);

    TempDir dir;
    Scene scene;
    scene.surface(0, 4.4, 0, 4.4, 0.8, 0.01, 0, [](double x, double) { return 0.3 * x; });
    scene.fitNormals();
    auto q = scene.handler();
    const CompatibilityOptions cached = compatibility(1, dir.path().string());
    const std::string path = compatibleNeighboursCachePath(dir.path().string(), "set", 15, 0.25);
    CompatibilityReport r;
    const auto expected = getCompatibleNeighbours(*q, 15, 0.25);
    EXPECT_EQ(getCompatibleNeighbours(*q, 15, 0.25, cached, &r), expected);
    EXPECT_TRUE(std::filesystem::file_size(path) == 52 + 8 * scene.positions.size() && dir.entryCount() == 1)
        << "the cache alone, no temporary file left behind";
    // Same name and count, other coordinates; fewer points; thresholds that print alike.
    Scene other = scene, fewer = scene;
    for (auto& p : other.positions)
        p.z = -p.z + 0.1 * p.y;
    other.fitNormals();
    fewer.positions.pop_back(), fewer.normals.pop_back();
    for (auto [s, angle, why] : {std::tuple(&other, 15.0, "other coordinates"),
                                 {&fewer, 15.0, "points"},
                                 {&scene, 15 + 1e-11, "thresholds"}}) {
        getCompatibleNeighbours(*q, 15, 0.25, cached); // the scene's cache again
        ASSERT_EQ(compatibleNeighboursCachePath(dir.path().string(), "set", angle, 0.25), path);
        auto qc = s->handler();
        EXPECT_EQ(getCompatibleNeighbours(*qc, angle, 0.25, cached, &r),
                  getCompatibleNeighbours(*qc, angle, 0.25));
        EXPECT_TRUE(!r.fromCache && r.cacheRejected.find(why) != std::string::npos)
            << why << ": " << r.cacheRejected;
    }
    getCompatibleNeighbours(*q, 15, 0.25, cached);
    const std::vector<unsigned char> good = readBytes(path);
    std::vector<std::vector<unsigned char>> bad;
    for (size_t n = 0; n < good.size(); n += n < 56 ? 1 : 16) // the header whole, then samples
        bad.emplace_back(good.begin(), good.begin() + long(n));
    for (size_t at = 0; at < good.size(); at += at < 56 ? 1 : 9)
        bad.push_back(good), bad.back()[at] ^= 0x10;
    bad.push_back(good), bad.back().push_back(0);
    bad.push_back(good); // intact: accepted again
    for (size_t i = 0; i < bad.size(); ++i) {
        writeBytes(path, bad[i]);
        ASSERT_EQ(getCompatibleNeighbours(*q, 15, 0.25, cached, &r), expected) << "case " << i;
        ASSERT_EQ(r.fromCache, i + 1 == bad.size()) << "case " << i;
    }
    EXPECT_EQ(getCompatibleNeighbours(*q, 15, 0.25, compatibility(1, dir.file("no/dir"))), expected);
}

ContinuousSurfaceOptions batch(unsigned threads) {
    return {threads, "", "", {}};
}

// Steps the interactive classifier to the end; fails instead of looping for ever.
void runToEnd(SurfaceClassifier& c, const QueryHandler& q) {
    for (size_t steps = 0; !c.classificationEnded(); ++steps) {
        ASSERT_LT(steps, 100 * q.size() + 1000) << "no end";
        c.nextIteration(q);
    }
}

// A seed inside a surface starts no class; seeds need at least 16 compatible neighbours; the run ends when
// they run out; interactive and batch agree; class numbers do not overflow.
TEST(SurfaceClassifier, SeedsClassesAndTheEndInteractiveAndBatch) {
    Scene plane = flatGrid(20); // every seed has 99 compatible neighbours: only the end of the seeds stops
    auto q = plane.handler();
    SurfaceClassifier c;
    c.initSurfaceClassification(*q, 15, 0.25, 20, 15);
    EXPECT_FALSE(c.nextIteration(*q)) << "the first seed starts a class";
    EXPECT_EQ(c.currentClass, 1);
    const size_t firstSeed = c.currentIt;
    while (!c.nextIteration(*q)) {
    }
    EXPECT_EQ(c.classifiedPoints, 400u);
    EXPECT_TRUE(c.nextIteration(*q)) << "the next seed lies in the plane: passed over without a class";
    EXPECT_EQ(c.currentIt, firstSeed + 1);
    runToEnd(c, *q);
    EXPECT_TRUE(c.nextIteration(*q)) << "calls after the end do nothing";
    EXPECT_EQ(std::tuple(c.numClasses, c.currentIt, c.surfaceClasses),
              std::tuple(1, c.compNeighNum.size(), std::vector<int32_t>(400, 1)));
    // (points, classes, classified): 16 points have 15 compatible neighbours at most, so no seed; 17
    // give one class; an empty set ends at once; a point 60 degrees off never seeds and stays out.
    const std::tuple<Scene, int32_t, uint32_t> cases[] = {
        {flatGrid(4), 0, 0}, {flatGrid(5, 17), 1, 17}, {Scene{}, 0, 0}, {flatGrid(12), 1, 143}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        auto [s, classes, classified] = cases[i];
        if (i == 3)
            s.normals[77] = {0.866f, 0, 0.5f};
        auto qs = s.handler();
        c.initSurfaceClassification(*qs, 15, 0.25, 20, 15);
        runToEnd(c, *qs);
        const SurfaceClassification r = findContinuousSurfaces(*qs, {15, 0.25, 20, 15}, batch(1));
        EXPECT_EQ(std::tuple(c.numClasses, c.classifiedPoints, r.numClasses, r.classifiedPoints),
                  std::tuple(classes, size_t(classified), classes, classified))
            << i;
        EXPECT_TRUE(i != 3 ||
                    (c.surfaceClasses[77] == 0 && r.classes[77] == 0 && c.compNeighNum.back().count == 0));
    }
    EXPECT_EQ(nextClassNumber(2147483646), 2147483647);
    EXPECT_THROW(nextClassNumber(2147483647), std::overflow_error);
}

// The batch classifier gives the interactive one's surfaces and numbers on one and two threads; progress
// per stage; a callback that throws stops the work with every thread joined.
TEST(ContinuousSurfaces, SamePartitionAsTheInteractiveClassifierOnOneAndTwoThreads) {
    Scene field; // broad and gently curved: waves of hundreds of points go to the worker threads
    field.surface(0, 40, 0, 40, 0.6, 0.01, 0,
                  [](double x, double y) { return 0.006 * (x * x + 0.5 * y * y); });
    field.fitNormals();
    const std::pair<Scene, ClassificationThresholds> cases[] = {{smallSettlement(), {}},
                                                                {field, {10, 0.2, 12, 10}}};
    for (const auto& [s, t] : cases) {
        auto q = s.handler();
        SurfaceClassifier c;
        c.initSurfaceClassification(*q, t.maxAngleDeg, t.maxRelDistance, t.secondaryAngleDeg,
                                    t.globalAngleDeg);
        runToEnd(c, *q);
        ASSERT_GT(c.numClasses, 1);
        for (unsigned threads : {1u, 2u}) {
            const SurfaceClassification r = findContinuousSurfaces(*q, t, batch(threads));
            EXPECT_EQ(r.classes, c.surfaceClasses) << threads << " threads: the same surfaces and numbers";
            EXPECT_EQ(std::pair(r.numClasses, r.classifiedPoints),
                      std::pair(c.numClasses, c.classifiedPoints));
            ASSERT_EQ(r.seeds.size(), size_t(r.numClasses));
            for (size_t k = 0; k < r.seeds.size(); ++k)
                EXPECT_EQ(r.classes[r.seeds[k]], int32_t(k + 1)) << "a class holds its seed";
            EXPECT_LE(r.growth.queries, r.classifiedPoints) << "a point is expanded at most once";
            EXPECT_TRUE(threads == 1 || &s == &cases[0].first || r.growth.parallelWaves > 0);
        }
    }
    std::vector<std::string> stages;
    ContinuousSurfaceOptions o = batch(2);
    o.progress = [&](const char* stage, uint64_t, uint64_t total) {
        EXPECT_EQ(total, field.positions.size());
        if (stages.empty() || stages.back() != stage)
            stages.push_back(stage);
        if (std::string(stage) == "surfaces")
            throw std::runtime_error("stop");
    };
    EXPECT_THROW(findContinuousSurfaces(*field.handler(), ClassificationThresholds{}, o), std::runtime_error);
    EXPECT_EQ(stages, (std::vector<std::string>{"compatibility", "surfaces"}));
}

// Scenes with known surfaces: a wall with normals both ways is one surface, a roof's step parts it from the
// ground, the settlement's ridge splits its roof, a cylinder is cut into patches within twice the secondary
// angle.
TEST(ContinuousSurfaces, SyntheticScenesAgainstKnownLabels) {
    struct Case {
        const char* name;
        Scene s;
        double purity, completeness, strayMax;
        int surfaces; // -1: any; 0: the cylinder
    };
    std::vector<Case> cases{{"wall", {}, 0.99, 0.95, 0, 1},
                            {"flat roof", {}, 0.99, 0.9, 0, 2},
                            {"settlement", smallSettlement(), 0.97, 0.85, 0.1, -1},
                            {"cylinder", {}, 0, 0, 0, 0}};
    Scene& w = cases[0].s;
    for (double y = 0; y <= 30; y += 0.4)
        for (double z = 0; z <= 10; z += 0.4)
            w.add(5 + w.noise(0.01), y + w.uniform(-0.1, 0.1), z + w.uniform(-0.1, 0.1), 0);
    Scene& f = cases[1].s; // the same normals: only the step's angle to the seed's plane parts them
    f.surface(0, 30, 0, 30, 0.5, 0.01, 0, [](double, double) { return 0.0; });
    for (size_t i = 0; i < f.positions.size(); ++i)
        if (auto& p = f.positions[i]; p.x > 9 && p.x < 21 && p.y > 9 && p.y < 21)
            f.labels[i] = 1, p.z = 3.0 + f.noise(0.01);
    Scene& cyl = cases[3].s; // radius 8: the normals turn through 180 degrees
    std::vector<double> angleOf;
    for (double a = 0.05; a < std::numbers::pi - 0.05; a += 0.05)
        for (double y = 0; y <= 30; y += 0.4) {
            angleOf.push_back(a + cyl.uniform(-0.01, 0.01));
            cyl.add(8 * std::cos(angleOf.back()), y + cyl.uniform(-0.1, 0.1),
                    8 * std::sin(angleOf.back()) + cyl.noise(0.005), 0);
        }
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.surfaces != -1)
            c.s.fitNormals();
        const auto facing = [&](float sign) {
            return size_t(std::count_if(c.s.normals.begin(), c.s.normals.end(),
                                        [&](auto n) { return n.x * sign > 0.9f; }));
        };
        ASSERT_TRUE(&c != &cases[0] || std::min(facing(1), facing(-1)) > c.s.normals.size() / 10)
            << "normals facing both ways";
        const auto r = findContinuousSurfaces(*c.s.handler(), {}, batch(2));
        // Points by (class, label). Purity: the share of classified points in a class of their majority
        // label; completeness: the worst label's share in its largest class; surfaces: classes of labels.
        std::map<std::pair<int32_t, int>, size_t> n;
        for (size_t i = 0; i < r.classes.size(); ++i)
            ++n[{r.classes[i], c.s.labels[i]}];
        std::map<int32_t, size_t> majority;
        std::map<int, size_t> size, largest;
        double classified = 0, strayIn = 0, completeness = 1, purity = 0;
        for (auto [key, k] : n) {
            const auto [cls, l] = key;
            size[l] += k, classified += cls != 0 ? k : 0, strayIn += cls != 0 && l < 0 ? k : 0;
            if (cls != 0 && l >= 0)
                majority[cls] = std::max(majority[cls], k), largest[l] = std::max(largest[l], k);
        }
        for (auto [l, k] : size)
            completeness = l >= 0 ? std::min(completeness, double(largest[l]) / double(k)) : completeness;
        for (auto [cls, k] : majority)
            purity += double(k) / classified;
        const double strays = size.count(-1) ? strayIn / double(size[-1]) : 0;
        const int surfaces = int(majority.size());
        EXPECT_TRUE(purity >= c.purity && completeness >= c.completeness && strays <= c.strayMax &&
                    (c.surfaces <= 0 || surfaces == c.surfaces))
            << purity << " " << completeness << " " << strays << " " << surfaces;
        if (c.surfaces != 0)
            continue;
        std::map<int32_t, std::pair<double, double>> span;
        for (size_t i = 0; i < r.classes.size(); ++i)
            if (r.classes[i] != 0) {
                auto [it, fresh] = span.try_emplace(r.classes[i], angleOf[i], angleOf[i]);
                it->second = {std::min(it->second.first, angleOf[i]),
                              std::max(it->second.second, angleOf[i])};
            }
        EXPECT_GE(span.size(), 4u);
        for (auto& [k, range] : span)
            EXPECT_LE((range.second - range.first) * 180 / std::numbers::pi,
                      2 * DEFAULT_SECONDARY_ANGLE_DEG + 3)
                << k;
        EXPECT_GE(double(r.classifiedPoints) / double(r.classes.size()), 0.8);
    }
}

// ---- files: class files, the LAS input and its classified copy, local tree directories

// Whether `f` throws a runtime_error whose message holds `fragment`.
bool failsWith(const std::function<void()>& f, const std::string& fragment) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return std::string(e.what()).find(fragment) != std::string::npos;
    }
    return false;
}

// A count, then four little-endian bytes a point; for the data set's size only; truncated, longer,
// negative or missing files refused; a failed save leaves the old file.
TEST(ClassFiles, FourPlusFourBytesPerPointForTheDataSetOnly) {
    TempDir dir;
    auto q = flatGrid(5).handler();
    std::vector<int32_t> classes(25);
    for (int i = 0; i < 25; ++i)
        classes[size_t(i)] = i % 3 == 0 ? 0 : 70000 + i;
    const std::string path = dir.file("set.classes"), bad = dir.file("bad.classes");
    EXPECT_THROW(saveClasses(*q, 24, classes.data(), path), std::invalid_argument);
    EXPECT_THROW(saveClasses(*q, 26, classes.data(), path), std::invalid_argument);
    EXPECT_FALSE(std::filesystem::exists(path));
    saveClasses(*q, 25, classes.data(), path);
    const auto good = readBytes(path);
    ASSERT_EQ(good.size(), 4u + 4u * 25);
    EXPECT_EQ(std::pair(good[0] | good[1] << 8 | good[2] << 16 | good[3] << 24,
                        good[8] | good[9] << 8 | good[10] << 16 | good[11] << 24),
              std::pair(25, 70001));
    EXPECT_EQ(loadClasses(*q, path), classes);
    SurfaceClassifier c;
    c.loadClasses(*q, path, POINT_CLASSES);
    EXPECT_EQ(c.pointClasses, classes);
    c.saveClasses(*q, dir.file("again"), POINT_CLASSES);
    EXPECT_EQ(readBytes(dir.file("again")), good);
    c.surfaceClasses = {7};
    EXPECT_THROW(c.saveClasses(*q, dir.file("x"), SURFACE_CLASSES), std::invalid_argument);
    EXPECT_TRUE(failsWith([&] { loadClasses(*flatGrid(6).handler(), path); },
                          "holds 25 classes, the data set has 36 points"));
    std::vector<std::vector<unsigned char>> broken;
    for (size_t n = 0; n < good.size(); ++n)
        broken.emplace_back(good.begin(), good.begin() + long(n));
    broken.push_back(good), broken.back().push_back(1);
    broken.push_back(good), broken.back()[4 + 4 * 7 + 3] = 0x80;
    for (size_t i = 0; i < broken.size(); ++i) {
        writeBytes(bad, broken[i]);
        EXPECT_THROW(loadClasses(*q, bad), std::runtime_error) << i;
    }
    EXPECT_THROW(loadClasses(*q, dir.file("none")), std::runtime_error);
    std::filesystem::create_directory(dir.file("taken")); // fails even as root
    EXPECT_THROW(saveClasses(*q, 25, classes.data(), dir.file("taken")), std::runtime_error);
    EXPECT_EQ(readBytes(path), good);
    EXPECT_EQ(dir.entryCount(), 4u) << "set, again, bad and taken only: no temporary files";
}

Scene tiltedPlane(int side) {
    Scene s;
    for (int i = 0; i < side * side; ++i)
        s.add(10 + i / side * 0.5, 20 + i % side * 0.5, 5 + 0.25 * (i / side), 0, {-0.4472f, 0, 0.8944f});
    return s;
}

std::vector<int32_t> someClasses(size_t n) {
    std::vector<int32_t> c(n);
    for (size_t i = 0; i < n; ++i)
        c[i] = i % 4 == 0 ? 0 : int32_t(i % 3 == 0 ? 65536 + i : i);
    return c;
}

// The points' records: raw coordinates (metres / 0.01), other bytes that differ from point to point.
std::vector<unsigned char> records(const Scene& s, size_t length) {
    std::vector<unsigned char> out(s.positions.size() * length);
    for (size_t i = 0; i < s.positions.size(); ++i) {
        const GLVector3d& p = s.positions[i];
        const int32_t xyz[3] = {int32_t(std::lround(p.x * 100)), int32_t(std::lround(p.y * 100)),
                                int32_t(std::lround(p.z * 100))};
        std::memcpy(&out[i * length], xyz, 12);
        for (size_t b = 12; b < length; ++b)
            out[i * length + b] = uint8_t(i * 31 + b * 7);
    }
    return out;
}

// A LAS 1.2 header of format 1 for the scene's points, scale 0.01, with `after` bytes and `records`
// variable length records before the points, whose records are `length` bytes.
std::vector<unsigned char> lasHeader(const Scene& s, int length, uint32_t after, uint32_t records) {
    LASHeader h;
    std::memcpy(h.FileSignature, "LASF", 4);
    h.VersionMajor = 1, h.VersionMinor = 2, h.HeaderSize = 227, h.OffsetToPointData = 227 + after;
    h.NumberOfVariableLengthRecords = records, h.PointDataFormatID = 1,
    h.PointDataRecordLength = uint16_t(length);
    h.NumberOfPointRecords = h.NumberOfPointsByReturn[0] = uint32_t(s.positions.size());
    h.ScaleFactor_X = h.ScaleFactor_Y = h.ScaleFactor_Z = 0.01;
    h.OffsetX = 500000, h.OffsetY = 4000000, h.OffsetZ = 0;
    h.Max_X = h.Max_Y = h.Max_Z = 1;
    std::vector<unsigned char> bytes(227);
    h.copyToBuffer(bytes.data());
    return bytes;
}

// `out` holds the records of `in` in order, byte for byte but for the Point Source ID (the surface).
void expectRecordsWithSurfaces(const std::vector<unsigned char>& in, size_t inOffset,
                               const std::vector<unsigned char>& out, size_t outOffset, size_t length,
                               const std::vector<int32_t>& classes) {
    ASSERT_EQ(out.size(), outOffset + classes.size() * length);
    for (size_t r = 0; r < classes.size(); ++r) {
        std::vector<unsigned char> want(in.begin() + long(inOffset + r * length),
                                        in.begin() + long(inOffset + (r + 1) * length));
        const uint16_t id = pointSourceIdForSurface(classes[r]);
        want[18] = uint8_t(id & 0xFF), want[19] = uint8_t(id >> 8);
        ASSERT_TRUE(std::equal(want.begin(), want.end(), out.begin() + long(outOffset + r * length))) << r;
    }
}

// Surfaces as 16-bit ids never 0; a LAS input read relative to its first point with normals fitted; its
// copy the same bytes but for the ids; truncated, foreign or missing files refused.
TEST(ClassificationFiles, LasInputAndItsClassifiedCopySixteenBitIdsNeverZero) {
    for (auto [surface, id] : {std::pair(0, 0), {-3, 0}, {1, 1}, {65535, 65535}, {65536, 1}, {131071, 1}})
        EXPECT_EQ(pointSourceIdForSurface(surface), id) << surface;
    TempDir dir;
    const Scene s = tiltedPlane(9);
    const std::string in = dir.file("in.las"), out = dir.file("out.las");
    auto bytes = lasHeader(s, 36, 5, 0); // records 8 bytes longer than format 1's, 5 bytes before them
    const auto points = records(s, 36);
    bytes.insert(bytes.end(), {0xA0, 0xA1, 0xA2, 0xA3, 0xA4});
    bytes.insert(bytes.end(), points.begin(), points.end());
    writeBytes(in, bytes);
    const ClassificationInput ci = readClassificationInput(in, 1);
    ASSERT_TRUE(!ci.isTree && ci.positions.size() == s.positions.size());
    for (size_t i = 0; i < s.positions.size(); ++i)
        EXPECT_TRUE(std::fabs(ci.positions[i].x - s.positions[i].x + 10) < 1e-9 &&
                    std::fabs(ci.positions[i].z - s.positions[i].z + 5) < 1e-9 &&
                    std::fabs(std::fabs(ci.normals[i].x) - 0.4472f) < 1e-3)
            << i;
    const auto classes = someClasses(s.positions.size());
    writeClassifiedLAS(ci, classes, out);
    const auto b = readBytes(out);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 232, b.begin()))
        << "header and the bytes before the points";
    expectRecordsWithSurfaces(bytes, 232, b, 232, 36, classes);
    EXPECT_THROW(writeClassifiedLAS(ci, std::vector<int32_t>(3), out), std::invalid_argument);
    writeBytes(in, bytes, bytes.size() - 3);
    EXPECT_TRUE(failsWith([&] { readLASInput(in, 1); }, "truncated"));
    writeBytes(in, std::vector<unsigned char>(300, 'x'));
    EXPECT_THROW(readLASInput(in, 1), std::runtime_error);
    EXPECT_THROW(readLASInput(dir.file("missing.las"), 1), std::runtime_error);
}

// A tree directory (as pontaro-tree leaves it: "header" with an unrelated record and the QUMA bounds
// record, per node "points" and scaled "normals") read in suffix order, other files ignored, stored
// normals rescaled; surf files with true numbers per node; its LAS copy without the bounds record;
// incomplete trees refused naming the fault.
TEST(ClassificationFiles, TreeDirectoryInSuffixOrderItsSurfFilesAndCopy) {
    TempDir dir;
    Scene s = tiltedPlane(8); // 64 points
    s.normals[3] = {0, 0, 0};
    auto header = lasHeader(s, 28, 2 * 54 + 5 + 32, 2);
    const double bounds[4] = {0, 1e6, 0, 1e6};
    for (auto [user, id, data, size] : {std::tuple("other", 7, (const void*)"\1\2\3\4\5", 5),
                                        std::tuple("QUMA", 1, (const void*)bounds, 32)}) {
        unsigned char rh[54] = {};
        std::memcpy(rh + 2, user, std::strlen(user));
        rh[18] = uint8_t(id), rh[20] = uint8_t(size);
        header.insert(header.end(), rh, rh + 54);
        header.insert(header.end(), (const unsigned char*)data, (const unsigned char*)data + size);
    }
    writeBytes(dir.file("header"), header);
    const std::vector<unsigned char> expected = records(s, 28);
    for (auto [suffix, first, last] :
         {std::tuple("-3", 40, 64), {"", 0, 10}, {"-1-2", 25, 40}, {"-1", 10, 25}}) {
        LODTreeNodeHeader nh;
        nh.numPoints = uint32_t(last - first);
        FILE* f = std::fopen(dir.file(std::string("points") + suffix).c_str(), "wb");
        ASSERT_TRUE(f && nh.write(f) &&
                    std::fwrite(&expected[size_t(first) * 28], 28, nh.numPoints, f) == nh.numPoints);
        std::fclose(f);
        std::vector<float> normals;
        for (int i = first; i < last; ++i)
            for (float v : {s.normals[size_t(i)].x, s.normals[size_t(i)].y, s.normals[size_t(i)].z})
                normals.push_back(2.5f * v);
        const auto* nb = reinterpret_cast<const unsigned char*>(normals.data());
        writeBytes(dir.file(std::string("normals") + suffix),
                   std::vector<unsigned char>(nb, nb + normals.size() * 4));
    }
    writeBytes(dir.file("points-1temp"), {1, 2, 3});
    writeBytes(dir.file("points-5"), {1, 2, 3});
    const ClassificationInput in = readClassificationInput(dir.path().string());
    std::vector<std::string> suffixes;
    for (const auto& n : in.nodes)
        suffixes.push_back(n.suffix);
    EXPECT_EQ(suffixes, (std::vector<std::string>{"", "-1", "-1-2", "-3"}));
    ASSERT_TRUE(in.isTree && in.nodes[2].numPoints == 15 && in.positions.size() == 64);
    for (size_t i = 0; i < 64; ++i)
        EXPECT_NEAR(in.positions[i].x, s.positions[i].x - 10, 1e-9) << i;
    QueryHandler q(in.positions, in.normals);
    EXPECT_FALSE(q.point(3).hasNormal()) << "a stored (0, 0, 0) is no normal";
    EXPECT_NEAR(q.point(4).normal.z, 0.8944f, 1e-4);
    const auto classes = someClasses(64);
    writeTreeSurfaceFiles(in, classes);
    const auto surf = readBytes(dir.file("surf-1-2"));
    ASSERT_EQ(surf.size(), 4u * 15);
    EXPECT_EQ(std::vector<uint32_t>((const uint32_t*)surf.data(), (const uint32_t*)surf.data() + 15),
              std::vector<uint32_t>(classes.begin() + 25, classes.begin() + 40))
        << "true numbers, not 16-bit";
    const std::string out = dir.file("copy.las");
    writeClassifiedLAS(in, classes, out);
    CLASFile las;
    ASSERT_TRUE(las.ReadFile(out.c_str()));
    ASSERT_TRUE(las.NumberOfPointRecords == 64 && las.records.size() == 1)
        << "the bounds record stays in the tree";
    EXPECT_STREQ(las.records[0].UserID, "other");
    expectRecordsWithSurfaces(expected, 0, readBytes(out), las.OffsetToPointData, 28, classes);
    const auto normals = readBytes(dir.file("normals-1")), points = readBytes(dir.file("points-3"));
    const std::pair<std::function<void()>, const char*> damage[] = {
        {[&] { writeBytes(dir.file("normals-1"), normals, normals.size() - 12); }, "normals-1"},
        {[&] {
             writeBytes(dir.file("normals-1"), normals),
                 writeBytes(dir.file("points-3"), points, points.size() - 1);
         },
         "points-3"},
        {[&] { std::filesystem::remove(dir.file("points-3")); }, "the nodes hold 40 points, the header 64"},
        {[&] { std::filesystem::remove(dir.file("header")); }, "local tree directory"}};
    for (const auto& [spoil, fragment] : damage) {
        spoil();
        EXPECT_TRUE(failsWith([&] { readTreeInput(dir.path().string()); }, fragment)) << fragment;
    }
}

} // namespace
