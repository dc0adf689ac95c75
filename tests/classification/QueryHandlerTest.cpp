// The classification's neighbour queries against a brute-force search, with ties, duplicates and sizes
// beyond the data set; normals, identity and bad input.
#include "ClassificationFixtures.h"
#include "QueryHandler.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

// Squared distances summed in the tree's order, so that ties are ties on both sides.
std::vector<uint32_t> bruteForce(const std::vector<GLVector3d>& p, uint32_t self, uint32_t k) {
    std::vector<std::pair<double, uint32_t>> others;
    for (uint32_t j = 0; j < p.size(); ++j)
        if (j != self) {
            const double dx = p[self].x - p[j].x, dy = p[self].y - p[j].y, dz = p[self].z - p[j].z;
            double d2 = dx * dx;
            d2 += dy * dy;
            d2 += dz * dz;
            others.push_back({d2, j});
        }
    std::sort(others.begin(), others.end());
    std::vector<uint32_t> out;
    for (size_t j = 0; k > 0 && j <= others.size() && out.size() < k; ++j)
        out.push_back(j == 0 ? self : others[j - 1].second);
    return out;
}

TEST(QueryHandler, EqualsBruteForceWithTiesDuplicatesAndSizesBeyondTheSet) {
    Scene grid, survey;
    // Integer positions: most distances occur many times, some points coincide (the point itself first).
    for (int i = 0; i < 240; ++i)
        grid.add(double(i % 7), double((i / 7) % 5), double(i % 3), 0);
    for (int i = 0; i < 12; ++i)
        grid.add(3, 2, 1, 0);
    survey.surface(0, 30, 0, 30, 1.0, 0.05, 0, [](double x, double y) { return 0.1 * x + 0.02 * y * y; });
    for (int i = 0; i < 200; ++i)
        survey.add(survey.uniform(0, 30), survey.uniform(0, 30), survey.uniform(0, 10), -1);
    const uint32_t n = uint32_t(grid.positions.size());
    const struct {
        std::vector<GLVector3d> positions;
        std::vector<uint32_t> ks;
        uint32_t stride;
    } cases[] = {{grid.positions, {0, 1, 2, 9, 40, n, n + 7}, 1},
                 {survey.positions, {200, 10, 100}, 5}, // a smaller k after a larger one starts from its bound
                 {{{1, 2, 3}}, {0, 1, 2, 100}, 1},
                 {std::vector<GLVector3d>(4, {1, 2, 3}), {1, 2, 3, 4, 200}, 1}};
    for (const auto& c : cases) {
        QueryHandler q(c.positions, std::vector<GLVector3f>(c.positions.size(), GLVector3f{0, 0, 1}));
        std::vector<const QueryPoint*> r, set;
        for (uint32_t k : c.ks)
            for (uint32_t i = 0; i < c.positions.size(); i += c.stride) {
                q.nearest(i, k, r);
                q.nearestSet(i, k, set);
                std::vector<uint32_t> got, inSet, want = bruteForce(c.positions, i, k);
                for (const QueryPoint* p : r) {
                    got.push_back(p->index);
                    EXPECT_EQ(p->position.z, c.positions[p->index].z);
                }
                for (const QueryPoint* p : set)
                    inSet.push_back(p->index);
                ASSERT_EQ(got, want) << "point " << i << ", k " << k;
                // The set alone: the same points, the point itself first.
                ASSERT_EQ(inSet.size(), want.size());
                if (!want.empty()) {
                    EXPECT_EQ(inSet[0], i);
                    std::sort(inSet.begin() + 1, inSet.end());
                    std::sort(want.begin() + 1, want.end());
                }
                ASSERT_EQ(inSet, want) << "set of point " << i << ", k " << k;
            }
    }
    QueryHandler empty({}, {});
    std::vector<const QueryPoint*> r;
    EXPECT_THROW(empty.nearest(0, 5, r), std::out_of_range);
    EXPECT_THROW(empty.point(0), std::out_of_range);
}

TEST(QueryHandler, NormalsIdentityAndBadInput) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    QueryHandler q({{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}},
                   {{0, 3, 4}, {0, 0, 0}, {inf, 0, 1}, {nan, 0, 1}, {-2e-20f, 0, 0}});
    EXPECT_NEAR(q.point(0).normal.y, 0.6f, 1e-7);
    EXPECT_NEAR(q.point(0).normal.z, 0.8f, 1e-7);
    EXPECT_TRUE(q.point(0).hasNormal());
    for (uint32_t i : {1u, 2u, 3u})
        EXPECT_FALSE(q.point(i).hasNormal()) << i;
    EXPECT_NEAR(q.point(4).normal.x, -1.0f, 1e-6) << "a tiny normal still has a direction";

    // The identity changes with any coordinate, normal or order.
    const std::vector<GLVector3d> p{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    const std::vector<GLVector3f> n(3, GLVector3f{0, 0, 1});
    const DataIdentity a = QueryHandler(p, n).identity();
    EXPECT_EQ(a, QueryHandler(p, n).identity());
    EXPECT_EQ(a.points, 3u);
    auto moved = p, swapped = p;
    moved[2].z = 1e-9;
    std::swap(swapped[0], swapped[1]);
    auto turned = n;
    turned[1] = {0, 0.1f, 1};
    EXPECT_NE(a.hash, QueryHandler(moved, n).identity().hash);
    EXPECT_NE(a.hash, QueryHandler(p, turned).identity().hash);
    EXPECT_NE(a.hash, QueryHandler(swapped, n).identity().hash);

    EXPECT_THROW(QueryHandler({{0, 0, 0}}, {}), std::invalid_argument);
    EXPECT_THROW(QueryHandler({{0, std::nan(""), 0}}, {{0, 0, 1}}), std::invalid_argument);
    EXPECT_THROW(QueryHandler({{0, 0, std::numeric_limits<double>::infinity()}}, {{0, 0, 1}}), std::invalid_argument);
}

} // namespace
