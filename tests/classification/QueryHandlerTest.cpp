// The classification's neighbour queries against a brute-force search, with ties, duplicates and sizes
// beyond the data set; normals, identity and bad input.
#include "QueryHandler.h"
#include "ClassificationFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <thread>

namespace {

// Squared distances summed in the order the tree sums them, so that ties are ties on both sides.
std::vector<uint32_t> bruteForce(const std::vector<GLVector3d>& p, uint32_t self, uint32_t k) {
    std::vector<std::pair<double, uint32_t>> others;
    for (uint32_t j = 0; j < p.size(); ++j) {
        if (j == self)
            continue;
        const double dx = p[self].x - p[j].x, dy = p[self].y - p[j].y, dz = p[self].z - p[j].z;
        double d2 = 0;
        d2 += dx * dx;
        d2 += dy * dy;
        d2 += dz * dz;
        others.push_back({d2, j});
    }
    std::sort(others.begin(), others.end());
    std::vector<uint32_t> out;
    if (k == 0)
        return out;
    out.push_back(self);
    for (size_t j = 0; j < others.size() && out.size() < k; ++j)
        out.push_back(others[j].second);
    return out;
}

std::vector<uint32_t> indices(const std::vector<const QueryPoint*>& r) {
    std::vector<uint32_t> out;
    for (const QueryPoint* p : r)
        out.push_back(p->index);
    return out;
}

// Every `stride`-th point's queries against the brute force.
void expectBruteForce(const std::vector<GLVector3d>& positions, const std::vector<uint32_t>& ks,
                      uint32_t stride = 1) {
    const std::vector<GLVector3f> normals(positions.size(), GLVector3f{0, 0, 1});
    QueryHandler q(positions, normals);
    std::vector<const QueryPoint*> r;
    for (uint32_t k : ks)
        for (uint32_t i = 0; i < positions.size(); i += stride) {
            q.nearest(i, k, r);
            const auto expected = bruteForce(positions, i, k);
            ASSERT_EQ(indices(r), expected) << "point " << i << ", k " << k;
            // The set alone: the same points, the point itself first.
            std::vector<const QueryPoint*> set;
            q.nearestSet(i, k, set);
            auto got = indices(set), want = expected;
            ASSERT_EQ(got.size(), want.size());
            if (!got.empty()) {
                EXPECT_EQ(got[0], i);
                std::sort(got.begin() + 1, got.end());
                std::sort(want.begin() + 1, want.end());
            }
            ASSERT_EQ(got, want) << "set of point " << i << ", k " << k;
            for (const QueryPoint* p : r) {
                EXPECT_EQ(p->position.x, positions[p->index].x);
                EXPECT_EQ(p->position.z, positions[p->index].z);
            }
        }
}

TEST(QueryHandler, EqualsBruteForceWithTiesAndDuplicates) {
    Scene s;
    // Integer grid positions: most distances occur many times over, and some points coincide (the
    // point itself must still come first).
    for (int i = 0; i < 240; ++i)
        s.add(double(i % 7), double((i / 7) % 5), double(i % 3), 0);
    for (int i = 0; i < 12; ++i)
        s.add(3, 2, 1, 0);
    expectBruteForce(s.positions,
                     {0, 1, 2, 9, 40, uint32_t(s.positions.size()), uint32_t(s.positions.size()) + 7});
}

TEST(QueryHandler, EqualsBruteForceOnNoisySurvey) {
    Scene s;
    s.surface(0, 30, 0, 30, 1.0, 0.05, 0, [](double x, double y) { return 0.1 * x + 0.02 * y * y; });
    for (int i = 0; i < 200; ++i)
        s.add(s.uniform(0, 30), s.uniform(0, 30), s.uniform(0, 10), -1);
    expectBruteForce(s.positions, {200, 10, 100}, 5); // a smaller k after a larger one starts from its bound
}

TEST(QueryHandler, TinySetsAndAllPointsAtOnePlace) {
    expectBruteForce({{1, 2, 3}}, {0, 1, 2, 100});
    expectBruteForce({{1, 2, 3}, {1, 2, 3}, {1, 2, 3}, {1, 2, 3}}, {1, 2, 3, 4, 200});
    QueryHandler empty({}, {});
    EXPECT_EQ(empty.size(), 0u);
    std::vector<const QueryPoint*> r;
    EXPECT_THROW(empty.nearest(0, 5, r), std::out_of_range);
    EXPECT_THROW(empty.point(0), std::out_of_range);
}

TEST(QueryHandler, NormalsAreUnitOrAbsent) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    QueryHandler q({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}},
                   {{0, 3, 4}, {0, 0, 0}, {inf, 0, 1}, {nan, 0, 1}, {-2e-20f, 0, 0}});
    EXPECT_NEAR(q.point(0).normal.y, 0.6f, 1e-7);
    EXPECT_NEAR(q.point(0).normal.z, 0.8f, 1e-7);
    EXPECT_TRUE(q.point(0).hasNormal());
    for (uint32_t i : {1u, 2u, 3u})
        EXPECT_FALSE(q.point(i).hasNormal()) << i;
    EXPECT_NEAR(q.point(4).normal.x, -1.0f, 1e-6) << "a tiny normal still has a direction";
}

TEST(QueryHandler, IdentityFollowsPositionsAndNormals) {
    std::vector<GLVector3d> p{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    std::vector<GLVector3f> n(3, GLVector3f{0, 0, 1});
    const DataIdentity a = QueryHandler(p, n).identity();
    EXPECT_EQ(a, QueryHandler(p, n).identity());
    EXPECT_EQ(a.points, 3u);
    auto moved = p;
    moved[2].z = 1e-9;
    EXPECT_NE(a.hash, QueryHandler(moved, n).identity().hash);
    auto tilted = n;
    tilted[1] = {0, 0.1f, 1};
    EXPECT_NE(a.hash, QueryHandler(p, tilted).identity().hash);
    auto swapped = p;
    std::swap(swapped[0], swapped[1]);
    EXPECT_NE(a.hash, QueryHandler(swapped, n).identity().hash);
}

TEST(QueryHandler, RefusesBadInput) {
    EXPECT_THROW(QueryHandler({{0, 0, 0}}, {}), std::invalid_argument);
    EXPECT_THROW(QueryHandler({{0, std::numeric_limits<double>::quiet_NaN(), 0}}, {{0, 0, 1}}),
                 std::invalid_argument);
    EXPECT_THROW(QueryHandler({{0, 0, std::numeric_limits<double>::infinity()}}, {{0, 0, 1}}),
                 std::invalid_argument);
}

TEST(QueryHandler, ConcurrentQueriesAgree) {
    Scene s;
    s.surface(0, 40, 0, 40, 1.0, 0.02, 0, [](double x, double) { return 0.2 * x; });
    auto q = s.handler();
    std::vector<std::vector<uint32_t>> results[2];
    auto work = [&](int t) {
        std::vector<const QueryPoint*> r;
        for (uint32_t i = 0; i < q->size(); ++i) {
            q->nearest(i, 30 + 7 * uint32_t(t), r);
            results[t].push_back(indices(r));
        }
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();
    for (uint32_t i = 0; i < q->size(); ++i) {
        ASSERT_EQ(results[1][i].size(), 37u);
        EXPECT_TRUE(std::equal(results[0][i].begin(), results[0][i].end(), results[1][i].begin()))
            << "the 30 nearest are the first 30 of the 37 nearest, point " << i;
    }
}

} // namespace
