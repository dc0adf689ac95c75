// Compatible-neighbour counts against an independent walk over brute-force neighbours, on any number of
// threads, and the cache file that keeps them: recognised, validated, never trusted when it is not
// the data set's.
#include "CompatibleNeighbours.h"
#include "ClassificationFixtures.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <locale>

namespace {

// The count as described: neighbours nearest first (ties by number), at most 99 of them, compatible
// ones counted up to the first that is not. Angles by acos, independently of the library's cosines.
int32_t referenceCount(const Scene& s, uint32_t i, double maxAngleDeg, double maxRel) {
    const auto unit = [](GLVector3f n) {
        const double l = std::sqrt(double(n.x) * n.x + double(n.y) * n.y + double(n.z) * n.z);
        return l > 0 ? std::array<double, 3>{n.x / l, n.y / l, n.z / l} : std::array<double, 3>{0, 0, 0};
    };
    const auto ni = unit(s.normals[i]);
    if (ni == std::array<double, 3>{0, 0, 0})
        return 0;
    std::vector<std::pair<double, uint32_t>> others;
    for (uint32_t j = 0; j < s.positions.size(); ++j)
        if (j != i) {
            const double dx = s.positions[i].x - s.positions[j].x, dy = s.positions[i].y - s.positions[j].y,
                         dz = s.positions[i].z - s.positions[j].z;
            others.push_back({dx * dx + dy * dy + dz * dz, j});
        }
    std::sort(others.begin(), others.end());
    int32_t c = 0;
    for (size_t k = 0; k < others.size() && k < 99; ++k) {
        const uint32_t j = others[k].second;
        const auto nj = unit(s.normals[j]);
        const double dot = std::fabs(ni[0] * nj[0] + ni[1] * nj[1] + ni[2] * nj[2]);
        const double angle = std::acos(std::min(1.0, dot)) * 180 / std::numbers::pi;
        const GLVector3d& p = s.positions[i];
        const GLVector3d& q = s.positions[j];
        const double v[3] = {q.x - p.x, q.y - p.y, q.z - p.z};
        const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        const double rel = len == 0 ? 0 : std::fabs(ni[0] * v[0] + ni[1] * v[1] + ni[2] * v[2]) / len;
        if (nj == std::array<double, 3>{0, 0, 0} || !(angle < maxAngleDeg) || !(rel < maxRel))
            break;
        ++c;
    }
    return c;
}

TEST(CompatibleNeighbours, CountsEqualTheReferenceWalkOnAnyNumberOfThreads) {
    CapturedLog log;
    Scene s = smallSettlement();
    auto q = s.handler();
    // The reference for every third point: a brute-force walk is slow under the sanitizers.
    std::vector<int32_t> expected(s.positions.size(), -1);
    for (uint32_t i = 0; i < expected.size(); i += 3)
        expected[i] = referenceCount(s, i, 15, 0.25);
    EXPECT_EQ(*std::max_element(expected.begin(), expected.end()), 99)
        << "flat ground reaches the largest query";
    for (unsigned threads : {1u, 2u, 3u}) {
        CompatibilityOptions o;
        o.threads = threads;
        const auto pairs = getCompatibleNeighbours(*q, 15, 0.25, o);
        ASSERT_EQ(pairs.size(), s.positions.size());
        std::vector<int32_t> got(pairs.size(), -1);
        for (size_t k = 0; k < pairs.size(); ++k) {
            if (pairs[k].index % 3 == 0)
                got[size_t(pairs[k].index)] = pairs[k].count;
            if (k > 0) {
                EXPECT_GE(pairs[k - 1].count, pairs[k].count);
                if (pairs[k - 1].count == pairs[k].count) {
                    EXPECT_LT(pairs[k - 1].index, pairs[k].index) << "equal counts keep the point order";
                }
            }
        }
        EXPECT_EQ(got, expected) << threads << " threads";
    }
    EXPECT_TRUE(log.has("Checked compatibility of neighbours for 0 points."));
    EXPECT_TRUE(log.has("All threads ended"));
}

TEST(CompatibleNeighbours, AVeryDifferentNearestNormalStopsTheCountAtZero) {
    CapturedLog log;
    Scene s;
    for (int x = 0; x < 12; ++x)
        for (int y = 0; y < 12; ++y)
            s.add(x, y, 0, 0);
    s.normals[0] = {0.866f, 0, 0.5f}; // 60 degrees off
    auto q = s.handler();
    const auto pairs = getCompatibleNeighbours(*q, 15, 0.25);
    for (const IndexPair& p : pairs) {
        if (p.index == 0)
            EXPECT_EQ(p.count, 0);
        else if (p.index == 1 || p.index == 12)
            EXPECT_EQ(p.count, 0) << "point 0 is the nearest neighbour of " << p.index << " (tie by number)";
        else
            EXPECT_GT(p.count, 0) << p.index;
    }
}

TEST(CompatibleNeighbours, SetsSmallerThanTheQueries) {
    CapturedLog log;
    for (uint32_t n : {0u, 1u, 2u, 5u, 40u}) {
        Scene s;
        for (uint32_t i = 0; i < n; ++i)
            s.add(i % 7, i / 7, 0, 0);
        auto q = s.handler();
        for (unsigned threads : {1u, 2u}) {
            CompatibilityOptions o;
            o.threads = threads;
            const auto pairs = getCompatibleNeighbours(*q, 15, 0.25, o);
            ASSERT_EQ(pairs.size(), n);
            for (const IndexPair& p : pairs)
                EXPECT_EQ(p.count, int32_t(n) - 1) << "every other point of the plane is compatible";
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
    EXPECT_EQ(compatibleNeighboursCachePath("/data", "survey", 15, 0.25),
              "/data/survey_compNeighbours15-0.25");
    EXPECT_EQ(compatibleNeighboursCachePath("d", "s", 12.5, 1), "d/s_compNeighbours12.5-1");
    EXPECT_EQ(formatThreshold(1234567.125), "1234567.125");
    EXPECT_EQ(formatThreshold(0.000001), "0.000001");
    EXPECT_EQ(formatThreshold(-0.0), "0");
    std::locale::global(old);
    EXPECT_THROW(formatThreshold(std::nan("")), std::invalid_argument);
}

class CompatibilityCacheFile : public ::testing::Test {
protected:
    CapturedLog log;
    TempDir dir;
    Scene scene = [] {
        Scene s;
        s.surface(0, 4.4, 0, 4.4, 0.8, 0.01, 0, [](double x, double) { return 0.3 * x; });
        s.fitNormals();
        return s;
    }();
    std::unique_ptr<QueryHandler> q = scene.handler();
    CompatibilityOptions cached() const {
        CompatibilityOptions o;
        o.cacheDirectory = dir.path().string();
        o.datasetName = "set";
        return o;
    }
    std::string path() const { return compatibleNeighboursCachePath(dir.path().string(), "set", 15, 0.25); }
    std::vector<IndexPair> fresh() const { return getCompatibleNeighbours(*q, 15, 0.25); }
};

TEST_F(CompatibilityCacheFile, WrittenOnceThenRead) {
    CompatibilityReport r;
    const auto first = getCompatibleNeighbours(*q, 15, 0.25, cached(), &r);
    EXPECT_FALSE(r.fromCache);
    EXPECT_TRUE(r.cacheRejected.empty()) << "a missing cache is not a rejected one";
    ASSERT_TRUE(std::filesystem::exists(path()));
    EXPECT_EQ(std::filesystem::file_size(path()), 52 + 8 * scene.positions.size());
    EXPECT_EQ(dir.entryCount(), 1u) << "no temporary file left behind";
    EXPECT_TRUE(log.has("Saving index pairs... saved."));
    const auto second = getCompatibleNeighbours(*q, 15, 0.25, cached(), &r);
    EXPECT_TRUE(r.fromCache);
    EXPECT_EQ(second, first);
    EXPECT_EQ(first, fresh());
}

TEST_F(CompatibilityCacheFile, ACacheOfOtherDataIsRecomputed) {
    getCompatibleNeighbours(*q, 15, 0.25, cached());
    // Same name, same count, other coordinates: a new version of the same file.
    Scene other = scene;
    for (auto& p : other.positions)
        p.z = -p.z + 0.1 * p.y;
    other.fitNormals();
    auto q2 = other.handler();
    CompatibilityReport r;
    const auto list = getCompatibleNeighbours(*q2, 15, 0.25, cached(), &r);
    EXPECT_FALSE(r.fromCache);
    EXPECT_NE(r.cacheRejected.find("other coordinates"), std::string::npos) << r.cacheRejected;
    EXPECT_EQ(list, getCompatibleNeighbours(*q2, 15, 0.25));
    getCompatibleNeighbours(*q2, 15, 0.25, cached(), &r);
    EXPECT_TRUE(r.fromCache) << "the cache now holds the new data";
    // Another file of that name with fewer points.
    Scene fewer = scene;
    fewer.positions.pop_back();
    fewer.normals.pop_back();
    auto q3 = fewer.handler();
    getCompatibleNeighbours(*q3, 15, 0.25, cached(), &r);
    EXPECT_FALSE(r.fromCache);
    EXPECT_NE(r.cacheRejected.find("points"), std::string::npos) << r.cacheRejected;
}

TEST_F(CompatibilityCacheFile, ThresholdsThatShareANameAreTold) {
    getCompatibleNeighbours(*q, 15, 0.25, cached());
    CompatibilityReport r;
    const double nearly = 15 + 1e-11;
    ASSERT_EQ(compatibleNeighboursCachePath(dir.path().string(), "set", nearly, 0.25), path());
    getCompatibleNeighbours(*q, nearly, 0.25, cached(), &r);
    EXPECT_FALSE(r.fromCache);
    EXPECT_NE(r.cacheRejected.find("thresholds"), std::string::npos) << r.cacheRejected;
}

TEST_F(CompatibilityCacheFile, TruncatedOrCorruptFilesAreNeverTrusted) {
    const auto expected = getCompatibleNeighbours(*q, 15, 0.25, cached());
    const std::vector<unsigned char> good = readBytes(path());
    CompatibilityReport r;
    for (size_t n = 0; n < good.size(); ++n) {
        writeBytes(path(), good, n);
        ASSERT_EQ(getCompatibleNeighbours(*q, 15, 0.25, cached(), &r), expected) << "truncated to " << n;
        ASSERT_FALSE(r.fromCache) << n;
    }
    for (size_t at = 0; at < good.size(); ++at) {
        auto bad = good;
        bad[at] ^= 0x10;
        writeBytes(path(), bad);
        ASSERT_EQ(getCompatibleNeighbours(*q, 15, 0.25, cached(), &r), expected) << "byte " << at;
        ASSERT_FALSE(r.fromCache) << "byte " << at;
    }
    auto longer = good;
    longer.push_back(0);
    writeBytes(path(), longer);
    getCompatibleNeighbours(*q, 15, 0.25, cached(), &r);
    EXPECT_FALSE(r.fromCache);
    writeBytes(path(), good);
    getCompatibleNeighbours(*q, 15, 0.25, cached(), &r);
    EXPECT_TRUE(r.fromCache) << "the intact file is accepted again";
}

TEST_F(CompatibilityCacheFile, AnUnwritableCacheOnlyCostsTheCache) {
    CompatibilityOptions o = cached();
    o.cacheDirectory = dir.file("missing/folder");
    EXPECT_EQ(getCompatibleNeighbours(*q, 15, 0.25, o), fresh());
    EXPECT_TRUE(log.has("Cannot keep the compatible neighbours"));
}

} // namespace
