// Compatible-neighbour counts against an independent walk over brute-force neighbours, on any number of
// threads, and the cache file that keeps them: recognised, validated, never trusted for other data.
#include "ClassificationFixtures.h"
#include "CompatibleNeighbours.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <locale>

namespace {

CompatibilityOptions options(unsigned threads, const std::string& dir = "") {
    CompatibilityOptions o;
    o.threads = threads, o.cacheDirectory = dir, o.datasetName = "set";
    return o;
}

// Neighbours nearest first (ties by number), at most 99, counted up to the first incompatible one.
// Angles by acos, independently of the library's cosines.
int32_t referenceCount(const Scene& s, uint32_t i, double maxAngleDeg, double maxRel) {
    const auto unit = [](GLVector3f n) {
        const double l = std::sqrt(double(n.x) * n.x + double(n.y) * n.y + double(n.z) * n.z);
        return l > 0 ? std::array<double, 3>{n.x / l, n.y / l, n.z / l} : std::array<double, 3>{0, 0, 0};
    };
    const auto ni = unit(s.normals[i]);
    const bool hasNormal = ni != std::array<double, 3>{0, 0, 0};
    const GLVector3d& p = s.positions[i];
    std::vector<std::pair<double, uint32_t>> others;
    for (uint32_t j = 0; j < s.positions.size(); ++j) {
        const GLVector3d& q = s.positions[j];
        if (j != i)
            others.push_back({(p.x - q.x) * (p.x - q.x) + (p.y - q.y) * (p.y - q.y) + (p.z - q.z) * (p.z - q.z), j});
    }
    std::sort(others.begin(), others.end());
    int32_t c = 0;
    for (size_t k = 0; k < others.size() && k < 99 && hasNormal; ++k, ++c) {
        const auto nj = unit(s.normals[others[k].second]);
        const GLVector3d& q = s.positions[others[k].second];
        const double v[3] = {q.x - p.x, q.y - p.y, q.z - p.z}, len = std::sqrt(others[k].first);
        const double angle = std::acos(std::min(1.0, std::fabs(ni[0] * nj[0] + ni[1] * nj[1] + ni[2] * nj[2])));
        const double rel = len == 0 ? 0 : std::fabs(ni[0] * v[0] + ni[1] * v[1] + ni[2] * v[2]) / len;
        if (nj == std::array<double, 3>{0, 0, 0} || !(angle * 180 / std::numbers::pi < maxAngleDeg) || !(rel < maxRel))
            break;
    }
    return c;
}

TEST(CompatibleNeighbours, CountsEqualTheReferenceWalkOnAnyNumberOfThreads) {
    CapturedLog log;
    Scene s = smallSettlement();
    auto q = s.handler();
    std::vector<int32_t> expected(s.positions.size(), -1); // every third point: the walk is slow
    for (uint32_t i = 0; i < expected.size(); i += 3)
        expected[i] = referenceCount(s, i, 15, 0.25);
    EXPECT_EQ(*std::max_element(expected.begin(), expected.end()), 99) << "flat ground reaches the largest query";
    for (unsigned threads : {1u, 2u, 3u}) {
        const auto pairs = getCompatibleNeighbours(*q, 15, 0.25, options(threads));
        ASSERT_EQ(pairs.size(), s.positions.size());
        std::vector<int32_t> got(pairs.size(), -1);
        for (size_t k = 0; k < pairs.size(); ++k) {
            if (pairs[k].index % 3 == 0)
                got[size_t(pairs[k].index)] = pairs[k].count;
            if (k > 0) {
                EXPECT_TRUE(pairs[k - 1].count > pairs[k].count ||
                            (pairs[k - 1].count == pairs[k].count && pairs[k - 1].index < pairs[k].index))
                    << "by count, equal counts in point order, at " << k;
            }
        }
        EXPECT_EQ(got, expected) << threads << " threads";
    }
}

TEST(CompatibleNeighbours, EdgeCases) {
    CapturedLog log;
    // A point whose normal is 60 degrees off: count 0, and 0 for the points it is nearest to.
    Scene s;
    for (int i = 0; i < 144; ++i)
        s.add(i / 12, i % 12, 0, 0);
    s.normals[0] = {0.866f, 0, 0.5f};
    for (const IndexPair& p : getCompatibleNeighbours(*s.handler(), 15, 0.25))
        EXPECT_EQ(p.count == 0, p.index == 0 || p.index == 1 || p.index == 12) << p.index;
    // Sets smaller than the queries: every other point of the plane is compatible.
    for (uint32_t n : {0u, 1u, 2u, 5u, 40u}) {
        Scene few;
        for (uint32_t i = 0; i < n; ++i)
            few.add(i % 7, i / 7, 0, 0);
        for (unsigned threads : {1u, 2u}) {
            const auto pairs = getCompatibleNeighbours(*few.handler(), 15, 0.25, options(threads));
            ASSERT_EQ(pairs.size(), n);
            for (const IndexPair& p : pairs)
                EXPECT_EQ(p.count, int32_t(n) - 1);
        }
    }
}

TEST(CompatibilityCache, NamesUseOneNumberFormatInEveryLocale) {
    struct Comma : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
        std::string do_grouping() const override { return "\3"; }
        char do_thousands_sep() const override { return '.'; }
    };
    const std::locale old = std::locale::global(std::locale(std::locale::classic(), new Comma));
    EXPECT_EQ(compatibleNeighboursCachePath("/data", "survey", 15, 0.25), "/data/survey_compNeighbours15-0.25");
    EXPECT_EQ(compatibleNeighboursCachePath("d", "s", 12.5, 1), "d/s_compNeighbours12.5-1");
    EXPECT_EQ(formatThreshold(1234567.125), "1234567.125");
    EXPECT_EQ(formatThreshold(0.000001), "0.000001");
    EXPECT_EQ(formatThreshold(-0.0), "0");
    std::locale::global(old);
    EXPECT_THROW(formatThreshold(std::nan("")), std::invalid_argument);
}

TEST(CompatibilityCache, UsedOnlyForTheSameDataAndThresholdsIntact) {
    CapturedLog log;
    TempDir dir;
    Scene scene;
    scene.surface(0, 4.4, 0, 4.4, 0.8, 0.01, 0, [](double x, double) { return 0.3 * x; });
    scene.fitNormals();
    auto q = scene.handler();
    const CompatibilityOptions cached = options(1, dir.path().string());
    const std::string path = compatibleNeighboursCachePath(dir.path().string(), "set", 15, 0.25);
    CompatibilityReport r;
    const auto expected = getCompatibleNeighbours(*q, 15, 0.25);
    EXPECT_EQ(getCompatibleNeighbours(*q, 15, 0.25, cached, &r), expected);
    EXPECT_TRUE(!r.fromCache && r.cacheRejected.empty()) << "a missing cache is not a rejected one";
    EXPECT_EQ(std::filesystem::file_size(path), 52 + 8 * scene.positions.size());
    EXPECT_EQ(dir.entryCount(), 1u) << "no temporary file left behind";
    EXPECT_EQ(getCompatibleNeighbours(*q, 15, 0.25, cached, &r), expected);
    EXPECT_TRUE(r.fromCache);

    // Same name and count, other coordinates; fewer points; thresholds that print alike.
    Scene other = scene, fewer = scene;
    for (auto& p : other.positions)
        p.z = -p.z + 0.1 * p.y;
    other.fitNormals();
    fewer.positions.pop_back(), fewer.normals.pop_back();
    const struct {
        const Scene* s;
        double angle;
        const char* why;
    } rejected[] = {{&other, 15, "other coordinates"}, {&fewer, 15, "points"}, {&scene, 15 + 1e-11, "thresholds"}};
    for (const auto& c : rejected) {
        getCompatibleNeighbours(*q, 15, 0.25, cached); // the scene's cache again
        ASSERT_EQ(compatibleNeighboursCachePath(dir.path().string(), "set", c.angle, 0.25), path);
        auto qc = c.s->handler();
        EXPECT_EQ(getCompatibleNeighbours(*qc, c.angle, 0.25, cached, &r), getCompatibleNeighbours(*qc, c.angle, 0.25));
        EXPECT_FALSE(r.fromCache) << c.why;
        EXPECT_NE(r.cacheRejected.find(c.why), std::string::npos) << r.cacheRejected;
    }

    // Truncated, corrupt or longer files are recomputed; the intact one is accepted again.
    getCompatibleNeighbours(*q, 15, 0.25, cached);
    const std::vector<unsigned char> good = readBytes(path);
    std::vector<std::vector<unsigned char>> bad;
    for (size_t n = 0; n < good.size(); ++n)
        bad.emplace_back(good.begin(), good.begin() + long(n));
    for (size_t at = 0; at < good.size(); ++at)
        bad.push_back(good), bad.back()[at] ^= 0x10;
    bad.push_back(good), bad.back().push_back(0);
    for (size_t i = 0; i < bad.size(); ++i) {
        writeBytes(path, bad[i]);
        ASSERT_EQ(getCompatibleNeighbours(*q, 15, 0.25, cached, &r), expected) << "case " << i;
        ASSERT_FALSE(r.fromCache) << "case " << i;
    }
    writeBytes(path, good);
    getCompatibleNeighbours(*q, 15, 0.25, cached, &r);
    EXPECT_TRUE(r.fromCache);

    // An unwritable cache only costs the cache.
    EXPECT_EQ(getCompatibleNeighbours(*q, 15, 0.25, options(1, dir.file("no/dir"))), expected);
    EXPECT_TRUE(log.has("Cannot keep the compatible neighbours"));
}

} // namespace
