#include "support/CaptureStdout.h"
#include "MeshFixtures.h"
#include "Simplification.h"

#include <gtest/gtest.h>

namespace {

std::vector<MeshPoint> ring(int n, double radius, double z, MeshPoint centre) {
    std::vector<MeshPoint> out{centre};
    for (int i = 0; i < n; ++i)
        out.push_back({radius * std::cos(2 * M_PI * i / n), radius * std::sin(2 * M_PI * i / n), z});
    return out;
}

unsigned triangleCount(const TestMesh& m) { return unsigned(m.live().size() / 3); }

} // namespace

TEST(VertexRemoval, FlatGridInteriorVerticesHaveNoErrorAndLeaveNMinusTwoTriangles) {
    TestMesh m(gridPoints(5, 5, 1.0, [](double, double) { return 0.0; }));
    for (unsigned i = 0; i < 25; ++i) {
        if (i / 5 % 4 != 0 && i % 5 % 4 != 0) {
            EXPECT_EQ(m.error(i), 0.0f) << "vertex " << i;
        }
    }
    const unsigned before = triangleCount(m), valence = unsigned(m.v(12).links.size());
    ASSERT_TRUE(m.remove(12));
    EXPECT_EQ(triangleCount(m), before - valence + (valence - 2));
    EXPECT_FALSE(names(m.live(), 12));
    EXPECT_TRUE(m.v(12).links.empty());
    EXPECT_EQ(planarityFault(m.points, m.live()), "");
}

TEST(VertexRemoval, BorderVerticesWithThreeAndFourNeighboursMoveTheBorderInward) {
    for (std::vector<MeshPoint> pts : {std::vector<MeshPoint>{{0, 0, 0}, {-2, 1, 0}, {0, 2, 0}, {2, 1, 0}},
                                       std::vector<MeshPoint>{{0, 0, 0}, {-2, 1, 0}, {-1, 2, 0}, {1, 2, 0}, {2, 1, 0}}}) {
        TestMesh m(pts);
        const unsigned n = unsigned(pts.size() - 1); // the open chain of vertex 0
        ASSERT_EQ(m.v(0).links.size(), n - 1);
        m.error(0);
        EXPECT_TRUE(m.v(0).flags & TriangulationVertex::BORDER);
        ASSERT_TRUE(m.remove(0)) << n << " neighbours";
        EXPECT_EQ(triangleCount(m), n - 2);
        EXPECT_EQ(m.deleted.size(), 1u);
        EXPECT_EQ(planarityFault(m.points, m.live()), "");
        // The hull lost the corner at the origin: nothing lies below the closing edge at y = 1.
        for (unsigned i : m.live())
            EXPECT_GE(m.points[i].y, 1.0);
    }
}

TEST(VertexRemoval, ThreeNeighboursGiveTheirOwnTriangleCounterClockwise) {
    TestMesh m({{0, 0, 0.3}, {-1, -1, 0}, {1, -1, 0}, {0, 1.5, 0}});
    EXPECT_NEAR(m.error(0), 0.3, 1e-6);
    EXPECT_FALSE(m.v(0).flags & TriangulationVertex::LOCAL_MINIMUM);
    ASSERT_TRUE(m.remove(0));
    const auto tris = m.live();
    ASSERT_EQ(tris.size(), 3u);
    EXPECT_GT(signedArea(m.points[tris[0]], m.points[tris[1]], m.points[tris[2]]), 0);
    EXPECT_EQ(m.deleted.size(), 2u);
}

TEST(VertexRemoval, LocalMinimumScalesErrorByCosineOfSmallestElevation) {
    TestMesh m(ring(6, 1.0, 1.0, {0, 0, 0}));
    const float e = m.error(0);
    EXPECT_TRUE(m.v(0).flags & TriangulationVertex::LOCAL_MINIMUM);
    EXPECT_TRUE(m.v(0).flags & TriangulationVertex::SINGLE_CHAIN);
    EXPECT_FALSE(m.v(0).flags & TriangulationVertex::BORDER);
    // Distance 1 to the plane of the ring, smallest slope 1: cos 45°.
    EXPECT_NEAR(e, std::sqrt(0.5), 1e-6);
}

TEST(VertexRemoval, NewEdgesLongerThanTheMaximumRefuseTheRemovalAndChangeNothing) {
    TestMesh m(ring(6, 1.0, 0.0, {0.05, 0.02, 0}));
    const auto indices = m.indices;
    std::vector<std::vector<unsigned>> links;
    for (auto* v : m.vertices)
        links.push_back(v->links);
    EXPECT_FALSE(m.remove(0, 0.8f)); // every diagonal of the hexagon is at least 1.73 long
    EXPECT_EQ(m.indices, indices);
    EXPECT_TRUE(m.deleted.empty());
    for (unsigned i = 0; i < m.vertices.size(); ++i)
        EXPECT_EQ(m.vertices[i]->links, links[i]);
    EXPECT_TRUE(m.remove(0, 2.5f));
    EXPECT_EQ(triangleCount(m), 4u);
}

TEST(VertexRemoval, ClosedFanBesideAnotherFanIsRefused) {
    // Vertex 0 closes a fan of four triangles and also has a triangle of its own elsewhere.
    std::vector<MeshPoint> pts{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}, {5, 5, 0}, {4, 5, 0}};
    TestMesh m(pts, {0, 1, 2, 0, 2, 3, 0, 3, 4, 0, 4, 1, 0, 5, 6});
    std::vector<unsigned> r, tris, starts;
    m.v(0).sortNeighbours(m.points, m.indices, r, tris, starts);
    EXPECT_EQ(starts.size(), 3u);
    StdoutCapture out;
    EXPECT_FALSE(m.remove(0));
    EXPECT_NE(out.take().find("WARNING: Loop in vertex chain, but 1 splits."), std::string::npos);
    EXPECT_TRUE(m.deleted.empty());
}

TEST(VertexRemoval, ForeignTriangleInTheLinksGivesInfiniteError) {
    TestMesh m(ring(5, 1.0, 0.0, {0, 0, 0}));
    for (unsigned p = 0; p < m.indices.size(); p += 3)
        if (!names({&m.indices[p], &m.indices[p] + 3}, 2)) {
            m.v(2).links.push_back(p);
            break;
        }
    StdoutCapture out;
    EXPECT_EQ(m.error(2), std::numeric_limits<float>::infinity());
    EXPECT_NE(out.take().find("Vertex not part of neighbour triangle."), std::string::npos);
}

TEST(VertexRemoval, NarrowAnglesAreMeasuredAwayFromTheSharedPoint) {
    const double a = 1.0 * M_PI / 180; // a 1° wedge at point 1
    std::vector<MeshPoint> pts{{-1, 0, 0}, {0, 0, 0}, {-std::cos(a), std::sin(a), 0}, {1, 0, 0}};
    bool narrow = false;
    // Head to tail: (0 -> 1) then (1 -> 2) is the 1° wedge, (0 -> 1) then (1 -> 3) a straight line.
    EXPECT_TRUE(TriangulationVertex::checkCoincidenceAndAngle(pts, 0, 1, 1, 2, &narrow));
    EXPECT_TRUE(narrow);
    narrow = false;
    EXPECT_FALSE(TriangulationVertex::checkCoincidenceAndAngle(pts, 0, 1, 1, 3, &narrow));
    EXPECT_FALSE(TriangulationVertex::checkCoincidenceAndAngle(pts, 2, 1, 3, 1, &narrow));
    EXPECT_FALSE(narrow);
    EXPECT_TRUE(TriangulationVertex::checkCoincidenceAndAngle(pts, 1, 2, 2, 1, &narrow)); // the same edge
    EXPECT_FALSE(narrow);
    EXPECT_FALSE(TriangulationVertex::checkCoincidenceAndAngle(pts, 0, 2, 1, 3, &narrow)); // no shared point
    // Coinciding points give no angle, which never counts as narrow.
    std::vector<MeshPoint> same{{0, 0, 0}, {0, 0, 0}, {1, 0, 0}};
    EXPECT_FALSE(TriangulationVertex::checkCoincidenceAndAngle(same, 0, 1, 1, 2, &narrow));
}

TEST(VertexRemoval, ConcaveEdgesIncludeTheEdgeBackToTheFirstPoint) {
    TriangulationVertex v;
    auto concave = [&](std::vector<MeshPoint> pts) {
        std::vector<unsigned> chain, edges;
        std::vector<HullSplat> hull;
        for (unsigned i = 0; i < pts.size(); ++i) {
            chain.push_back(i + 10);
            hull.push_back({pts[i].x, pts[i].y, i + 10});
        }
        const int r = v.getConcaveEdges(hull.data(), chain, int(chain.size()), edges);
        return std::pair{r, edges};
    };
    // A clockwise square: convex.
    EXPECT_EQ(concave({{0, 0, 0}, {0, 1, 0}, {1, 1, 0}, {1, 0, 0}}).first, 0);
    // A clockwise arrow whose notch lies between the last point and the first.
    auto [r, edges] = concave({{0.5, 0.4, 0}, {0, 0, 0}, {0, 1, 0}, {1, 1, 0}, {1, 0, 0}});
    EXPECT_EQ(r, 1);
    EXPECT_EQ(edges, (std::vector<unsigned>{10, 11, 14, 10}));
}

TEST(VertexRemoval, DistanceToTriangleMatchesBruteForce) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-2, 2);
    auto brute = [](const MeshPoint& p, const MeshPoint& a, const MeshPoint& b, const MeshPoint& c) {
        double best = 1e300;
        const int steps = 400;
        for (int i = 0; i <= steps; ++i)
            for (int j = 0; i + j <= steps; ++j) {
                const double s = double(i) / steps, t = double(j) / steps;
                const MeshPoint q{a.x + s * (b.x - a.x) + t * (c.x - a.x), a.y + s * (b.y - a.y) + t * (c.y - a.y),
                                  a.z + s * (b.z - a.z) + t * (c.z - a.z)};
                best = std::min(best, std::hypot(q.x - p.x, q.y - p.y, q.z - p.z));
            }
        return best;
    };
    for (int trial = 0; trial < 60; ++trial) {
        MeshPoint p{u(rng), u(rng), u(rng)}, a{u(rng), u(rng), u(rng)}, b{u(rng), u(rng), u(rng)}, c{u(rng), u(rng), u(rng)};
        if (trial % 3 == 1) // collinear corners
            c = {2 * b.x - a.x, 2 * b.y - a.y, 2 * b.z - a.z};
        if (trial % 3 == 2) // two corners in one place
            c = b;
        const double d = distToTriangle(p, a, b, c, 1e9), expected = brute(p, a, b, c);
        EXPECT_LE(d, expected + 1e-9);
        EXPECT_NEAR(d, expected, 0.03) << "trial " << trial;
        EXPECT_EQ(distToTriangle(p, a, b, c, d), -1.0); // not below the limit
    }
    // Straight above the inside of a flat triangle: the height.
    EXPECT_DOUBLE_EQ(distToTriangle({0.2, 0.2, 3}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, 10), 3.0);
}
