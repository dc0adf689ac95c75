// Vertex removal and the simplification drivers. Every simplified mesh must be a planar triangulation (no
// triangle folded or overlapping another in x, y) of the vertices it still names.
#include "Simplification.h"
#include "LASHeader.h"
#include "PointGenerator.h"
#include "SplatTile.h"
#include "Triangulation.h"
#include "TriangulationVertex.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <sstream>

namespace {

using Pts = std::vector<MeshPoint>;
using Flags = TriangulationVertex;
[[maybe_unused]] const bool quiet = (setGeometryLog(nullptr), true); // the drivers' diagnostics

// A triangulation with one vertex record per point, linked to its triangles as the drivers link them.
struct TestMesh {
    Pts points;
    std::vector<unsigned> indices;
    std::vector<std::unique_ptr<TriangulationVertex>> owned;
    std::vector<TriangulationVertex*> vertices;
    std::set<unsigned> deleted;
    explicit TestMesh(Pts p, std::vector<unsigned> tris = {})
        : points(std::move(p)), indices(std::move(tris)) {
        if (indices.empty())
            triangulatePoints(points, indices);
        for (unsigned i = 0; i < points.size(); ++i)
            vertices.push_back(owned.emplace_back(std::make_unique<TriangulationVertex>(i)).get());
        for (unsigned p3 = 0; p3 < indices.size(); ++p3)
            vertices[indices[p3]]->links.push_back(p3 / 3 * 3);
    }
    TriangulationVertex& v(unsigned i) { return *vertices[i]; }
    float error(unsigned i) {
        v(i).calculateError(points, indices);
        return v(i).error;
    }
    bool remove(unsigned i, float maxError = 0) {
        std::vector<TriangulationVertex*> changed;
        error(i);
        return v(i).removeAndRetriangulate(points, indices, vertices, changed, deleted, maxError);
    }
    std::vector<unsigned> live() const {
        std::vector<unsigned> out;
        for (unsigned p = 0; p < indices.size(); p += 3)
            if (!deleted.count(p))
                out.insert(out.end(), &indices[p], &indices[p] + 3);
        return out;
    }
};

Pts flatGrid(int n, double step) {
    Pts out;
    for (int i = 0; i < n * n; ++i)
        out.push_back({i / n * step, i % n * step, 0});
    return out;
}

Pts randomPoints(std::size_t n, double extent, unsigned seed, double relief) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, extent);
    Pts out;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = u(rng), y = u(rng);
        out.push_back({x, y, relief * (std::sin(x * 0.7) + std::cos(y * 0.5))});
    }
    return out;
}

// A centre and n points on a circle around the origin.
Pts ring(int n, double z, MeshPoint centre) {
    Pts out{centre};
    for (int i = 0; i < n; ++i)
        out.push_back({std::cos(2 * M_PI * i / n), std::sin(2 * M_PI * i / n), z});
    return out;
}

bool names(const std::vector<unsigned>& tris, unsigned v) {
    return std::find(tris.begin(), tris.end(), v) != tris.end();
}

double signedArea(const MeshPoint& a, const MeshPoint& b, const MeshPoint& c) {
    return 0.5 * ((b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x));
}

// Empty when `tris` is a planar triangulation in x, y: every triangle counter-clockwise, every directed
// edge used once, no two triangles overlapping, Euler characteristic 1. Otherwise the first fault found.
std::string planarityFault(const Pts& pts, const std::vector<unsigned>& tris) {
    std::set<std::pair<unsigned, unsigned>> directed, undirected;
    std::set<unsigned> used;
    for (std::size_t t = 0; t < tris.size(); t += 3) {
        const unsigned a = tris[t], b = tris[t + 1], c = tris[t + 2];
        if (std::max({a, b, c}) >= pts.size())
            return "triangle names a point out of range";
        if (!(signedArea(pts[a], pts[b], pts[c]) > 0))
            return "triangle " + std::to_string(t / 3) + " is not counter-clockwise";
        for (auto e : {std::pair{a, b}, std::pair{b, c}, std::pair{c, a}})
            if (!directed.insert(e).second)
                return "a directed edge is used twice: triangles fold over each other";
        used.insert({a, b, c});
    }
    for (auto [a, b] : directed)
        undirected.insert(std::minmax(a, b));
    const long euler = long(used.size()) - long(undirected.size()) + long(tris.size() / 3);
    if (!tris.empty() && euler != 1)
        return "Euler characteristic " + std::to_string(euler) + ", not a disc";
    // Interiors overlap unless some edge of one triangle separates them (triangles are convex); only
    // triangles whose boxes meet are tested.
    auto separated = [&](const unsigned* s, const unsigned* t) {
        for (int k = 0; k < 6; ++k) {
            const unsigned *tri = k < 3 ? s : t, *other = k < 3 ? t : s;
            bool allOutside = true;
            for (int m = 0; m < 3; ++m)
                allOutside &= signedArea(pts[tri[k % 3]], pts[tri[(k + 1) % 3]], pts[other[m]]) <= 1e-12;
            if (allOutside)
                return true;
        }
        return false;
    };
    std::vector<std::array<double, 4>> box;
    for (std::size_t t = 0; t < tris.size(); t += 3) {
        const MeshPoint &a = pts[tris[t]], &b = pts[tris[t + 1]], &c = pts[tris[t + 2]];
        box.push_back({std::min({a.x, b.x, c.x}), std::max({a.x, b.x, c.x}), std::min({a.y, b.y, c.y}),
                       std::max({a.y, b.y, c.y})});
    }
    for (std::size_t s = 0; s < box.size(); ++s)
        for (std::size_t t = s + 1; t < box.size(); ++t)
            if (box[s][0] < box[t][1] && box[t][0] < box[s][1] && box[s][2] < box[t][3] &&
                box[t][2] < box[s][3] && !separated(&tris[3 * s], &tris[3 * t]))
                return "triangles " + std::to_string(s) + " and " + std::to_string(t) + " overlap";
    return {};
}

// Simplifies and checks what must hold of every result: a planar triangulation, the removed vertices
// counted, and every removed vertex inside the final mesh within the largest error (800 t) of it.
SimplifyReport simplifyAndCheck(const Pts& pts, float threshold, SimplifyVariant variant,
                                std::vector<unsigned>* out = nullptr) {
    std::vector<unsigned> tris;
    triangulatePoints(pts, tris);
    const std::set<unsigned> before(tris.begin(), tris.end());
    SimplifyReport r;
    simplifyTriangulation(pts, tris, threshold, variant, &r);
    EXPECT_EQ(r.trianglesAfter, tris.size() / 3);
    EXPECT_EQ(planarityFault(pts, tris), "");
    const std::set<unsigned> after(tris.begin(), tris.end());
    EXPECT_EQ(before.size() - after.size(), r.removed);
    const double limit = 800.0 * (threshold == -1 ? 0.001 : threshold);
    std::size_t far = 0;
    for (unsigned v : before) {
        double nearest = 1e300;
        bool covered = false;
        for (std::size_t t = 0; !after.count(v) && t < tris.size(); t += 3) {
            const MeshPoint &a = pts[tris[t]], &b = pts[tris[t + 1]], &c = pts[tris[t + 2]];
            covered |= signedArea(a, b, pts[v]) >= 0 && signedArea(b, c, pts[v]) >= 0 &&
                       signedArea(c, a, pts[v]) >= 0;
            nearest = std::min(nearest, distToTriangle(pts[v], a, b, c, 1e300));
        }
        far += covered && nearest > limit;
    }
    EXPECT_EQ(far, 0u);
    if (out)
        *out = tris;
    return r;
}

} // namespace

// Removing an interior vertex of a fan leaves two triangles fewer; border vertices (3 and 4 neighbours)
// move the border inward; three neighbours give their own triangle, counter-clockwise. A local minimum's
// error is its distance to the ring's plane times the cosine of its smallest slope.
TEST(VertexRemoval, FansBordersAndLocalMinima) {
    TestMesh grid(flatGrid(5, 1.0));
    for (unsigned i = 0; i < 25; ++i)
        if (i / 5 % 4 != 0 && i % 5 % 4 != 0)
            EXPECT_EQ(grid.error(i), 0.0f) << "vertex " << i;
    const size_t before = grid.live().size() / 3;
    ASSERT_TRUE(grid.remove(12));
    EXPECT_EQ(grid.live().size() / 3, before - 2);
    EXPECT_FALSE(names(grid.live(), 12));
    EXPECT_TRUE(grid.v(12).links.empty());
    EXPECT_EQ(planarityFault(grid.points, grid.live()), "");
    for (const Pts& pts : {Pts{{0, 0, 0}, {-2, 1, 0}, {0, 2, 0}, {2, 1, 0}},
                           Pts{{0, 0, 0}, {-2, 1, 0}, {-1, 2, 0}, {1, 2, 0}, {2, 1, 0}}}) {
        TestMesh m(pts);
        const unsigned n = unsigned(pts.size() - 1); // the open chain of vertex 0
        ASSERT_EQ(m.v(0).links.size(), n - 1);
        m.error(0);
        EXPECT_TRUE(m.v(0).flags & Flags::BORDER);
        ASSERT_TRUE(m.remove(0)) << n << " neighbours";
        EXPECT_EQ(m.live().size() / 3, n - 2);
        EXPECT_EQ(m.deleted.size(), 1u);
        EXPECT_EQ(planarityFault(m.points, m.live()), "");
        for (unsigned i : m.live()) // the corner at the origin is gone: nothing below y = 1
            EXPECT_GE(m.points[i].y, 1.0);
    }
    TestMesh three({{0, 0, 0.3}, {-1, -1, 0}, {1, -1, 0}, {0, 1.5, 0}});
    EXPECT_NEAR(three.error(0), 0.3, 1e-6);
    EXPECT_FALSE(three.v(0).flags & Flags::LOCAL_MINIMUM);
    ASSERT_TRUE(three.remove(0));
    const auto tris = three.live();
    ASSERT_EQ(tris.size(), 3u);
    EXPECT_GT(signedArea(three.points[tris[0]], three.points[tris[1]], three.points[tris[2]]), 0);
    EXPECT_EQ(three.deleted.size(), 2u);
    TestMesh pit(ring(6, 1.0, {0, 0, 0}));
    EXPECT_NEAR(pit.error(0), std::sqrt(0.5), 1e-6); // distance 1, smallest slope 1: cos 45°
    EXPECT_EQ(pit.v(0).flags & (Flags::LOCAL_MINIMUM | Flags::SINGLE_CHAIN | Flags::BORDER),
              Flags::LOCAL_MINIMUM | Flags::SINGLE_CHAIN);
}

// Refused removals change nothing: new edges longer than the maximum, a closed fan beside another fan,
// and a foreign triangle in the links (infinite error).
TEST(VertexRemoval, RefusedRemovalsChangeNothing) {
    TestMesh m(ring(6, 0.0, {0.05, 0.02, 0}));
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
    EXPECT_EQ(m.live().size() / 3, 4u);
    TestMesh fans({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}, {5, 5, 0}, {4, 5, 0}},
                  {0, 1, 2, 0, 2, 3, 0, 3, 4, 0, 4, 1, 0, 5, 6});
    std::vector<unsigned> r, tris, starts;
    fans.v(0).sortNeighbours(fans.points, fans.indices, r, tris, starts);
    EXPECT_EQ(starts.size(), 3u);
    EXPECT_FALSE(fans.remove(0));
    EXPECT_TRUE(fans.deleted.empty());
    TestMesh foreign(ring(5, 0.0, {0, 0, 0}));
    for (unsigned p = 0; p < foreign.indices.size(); p += 3)
        if (!names({&foreign.indices[p], &foreign.indices[p] + 3}, 2)) {
            foreign.v(2).links.push_back(p);
            break;
        }
    EXPECT_EQ(foreign.error(2), std::numeric_limits<float>::infinity());
}

// Angles are measured away from the shared point; the concave edges include the one back to the start.
TEST(VertexRemoval, NarrowAnglesAndConcaveEdges) {
    const double a = M_PI / 180; // a 1° wedge at point 1
    const Pts pts{{-1, 0, 0}, {0, 0, 0}, {-std::cos(a), std::sin(a), 0}, {1, 0, 0}};
    const struct {
        unsigned a1, b1, a2, b2;
        bool result, narrow;
    } cases[] = {{0, 1, 1, 2, true, true},    // head to tail: the 1° wedge
                 {0, 1, 1, 3, false, false},  // a straight line
                 {2, 1, 3, 1, false, false},  // tail to tail
                 {1, 2, 2, 1, true, false},   // the same edge
                 {0, 2, 1, 3, false, false}}; // no shared point
    for (const auto& c : cases) {
        bool narrow = false;
        EXPECT_EQ(Flags::checkCoincidenceAndAngle(pts, c.a1, c.b1, c.a2, c.b2, &narrow), c.result);
        EXPECT_EQ(narrow, c.narrow) << c.a1 << c.b1 << c.a2 << c.b2;
    }
    bool narrow = false; // coinciding points give no angle, which never counts as narrow
    EXPECT_FALSE(Flags::checkCoincidenceAndAngle({{0, 0, 0}, {0, 0, 0}, {1, 0, 0}}, 0, 1, 1, 2, &narrow));
    TriangulationVertex v;
    auto concave = [&](Pts p) {
        std::vector<unsigned> chain, edges;
        std::vector<HullSplat> hull;
        for (unsigned i = 0; i < p.size(); ++i) {
            chain.push_back(i + 10);
            hull.push_back({p[i].x, p[i].y, i + 10});
        }
        const int r = v.getConcaveEdges(hull.data(), chain, int(chain.size()), edges);
        return std::pair{r, edges};
    };
    EXPECT_EQ(concave({{0, 0, 0}, {0, 1, 0}, {1, 1, 0}, {1, 0, 0}}).first, 0); // a clockwise square
    // A clockwise arrow whose notch lies between the last point and the first.
    EXPECT_EQ(concave({{0.5, 0.4, 0}, {0, 0, 0}, {0, 1, 0}, {1, 1, 0}, {1, 0, 0}}),
              (std::pair{1, std::vector<unsigned>{10, 11, 14, 10}}));
}

// Distance to a triangle (also degenerate ones) against a dense brute-force sampling of it.
TEST(VertexRemoval, DistanceToTriangleMatchesBruteForce) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-2, 2);
    for (int trial = 0; trial < 60; ++trial) {
        MeshPoint p{u(rng), u(rng), u(rng)}, a{u(rng), u(rng), u(rng)}, b{u(rng), u(rng), u(rng)},
            c{u(rng), u(rng), u(rng)};
        if (trial % 3 == 1) // collinear corners
            c = {2 * b.x - a.x, 2 * b.y - a.y, 2 * b.z - a.z};
        if (trial % 3 == 2) // two corners in one place
            c = b;
        double brute = 1e300;
        for (int i = 0; i <= 400; ++i)
            for (int j = 0; i + j <= 400; ++j) {
                const double s = i / 400.0, t = j / 400.0;
                brute = std::min(brute, std::hypot(a.x + s * (b.x - a.x) + t * (c.x - a.x) - p.x,
                                                   a.y + s * (b.y - a.y) + t * (c.y - a.y) - p.y,
                                                   a.z + s * (b.z - a.z) + t * (c.z - a.z) - p.z));
            }
        const double d = distToTriangle(p, a, b, c, 1e9);
        EXPECT_LE(d, brute + 1e-9);
        EXPECT_NEAR(d, brute, 0.03) << "trial " << trial;
        EXPECT_EQ(distToTriangle(p, a, b, c, d), -1.0); // not below the limit
    }
    EXPECT_DOUBLE_EQ(distToTriangle({0.2, 0.2, 3}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, 10), 3.0);
}

// Each driver stops at its share: tile n/64 (a plane keeps nothing else), free n/4, weighted at most n/4.
// Equal errors go in index order: on a plane the free driver removes low indices first. The default
// threshold is 1/1000, new edges are limited to 800 t, rough terrain keeps its shape and runs are identical.
TEST(Simplification, SharesTiesThresholdAndEdgeLimit) {
    const auto flat = randomPoints(640, 10.0, 3, 0.0);
    const auto tile = simplifyAndCheck(flat, 0.01f, SimplifyVariant::Tile);
    EXPECT_LE(tile.removed, 630u);
    EXPECT_GE(tile.removed, 600u);
    std::vector<unsigned> kept, again;
    EXPECT_EQ(simplifyAndCheck(flat, 0.01f, SimplifyVariant::Free, &kept).removed, 480u);
    const std::set<unsigned> left(kept.begin(), kept.end());
    EXPECT_GT(std::count_if(left.begin(), left.end(), [](unsigned v) { return v >= 320; }), 120);
    EXPECT_LE(
        simplifyAndCheck(randomPoints(640, 10.0, 4, 0.3), 0.01f, SimplifyVariant::WeightedRandom).removed,
        480u);
    const auto grid = flatGrid(20, 0.5); // spacing 0.5: removals may open edges up to 0.8 only
    simplifyAndCheck(grid, -1.0f, SimplifyVariant::Tile, &kept);
    simplifyAndCheck(grid, 0.001f, SimplifyVariant::Tile, &again);
    EXPECT_EQ(kept, again);
    for (std::size_t t = 0; t < kept.size(); ++t) {
        const MeshPoint &a = grid[kept[t]], &b = grid[kept[t / 3 * 3 + (t + 1) % 3]];
        EXPECT_LE(std::hypot(a.x - b.x, a.y - b.y), 0.8 + 1e-9);
    }
    const auto rough = randomPoints(4000, 20.0, 11, 1.5);
    const auto r = simplifyAndCheck(rough, 0.002f, SimplifyVariant::Tile, &kept);
    simplifyAndCheck(rough, 0.002f, SimplifyVariant::Tile, &again);
    EXPECT_GT(r.removed, 0u);
    EXPECT_LT(r.removed, 4000u - 4000u / 64);
    EXPECT_EQ(kept, again);
}

// With fewer points than error threads, each point is still measured exactly once.
TEST(Simplification, FewerPointsThanThreadsAreEachMeasuredOnce) {
    std::ostringstream log;
    setGeometryLog(&log);
    Pts pts{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0.2}, {0.5, 0.5, 0.05}};
    std::vector<unsigned> tris;
    triangulatePoints(pts, tris);
    simplifyTriangulation(pts, tris, 0.01f, SimplifyVariant::Tile);
    setGeometryLog(nullptr);
    std::vector<int> seen(5, 0);
    std::istringstream lines(log.str());
    for (std::string line; std::getline(lines, line);) {
        long first, last;
        if (std::sscanf(line.c_str(), "Thread %*d processing vertices from %ld to %ld", &first, &last) == 2)
            for (long v = first; v <= last; ++v)
                seen.at(std::size_t(v))++;
    }
    EXPECT_EQ(seen, std::vector<int>(5, 1));
}

// Sampling keeps a quarter of the points, reproducibly; independent sets never mark two neighbours.
TEST(Simplification, RandomSamplingAndIndependentSets) {
    const auto pts = randomPoints(401, 10.0, 9, 0.5);
    std::vector<unsigned> tris, again;
    triangulatePoints(pts, tris);
    again = tris;
    simplifyBySampling(pts, tris, -1.0f);
    simplifyBySampling(pts, again, -1.0f);
    EXPECT_EQ(std::set<unsigned>(tris.begin(), tris.end()).size(), 101u);
    EXPECT_EQ(planarityFault(pts, tris), "");
    EXPECT_EQ(tris, again);
    const auto low = randomPoints(500, 10.0, 5, 0.05);
    for (bool all : {false, true}) {
        std::vector<std::unique_ptr<TriangulationVertex>> owned;
        std::vector<TriangulationVertex*> vertices;
        for (unsigned i = 0; i < low.size(); ++i)
            vertices.push_back(owned.emplace_back(std::make_unique<TriangulationVertex>(i)).get());
        std::vector<unsigned> t;
        std::size_t marked = 0;
        for (int pass = 0; pass < 3; ++pass) {
            marked += std::size_t(simplificationIteration(low, {}, t, vertices, 0.2f, all));
            for (std::size_t i = 0; i < t.size(); ++i)
                EXPECT_FALSE(vertices.at(t[i])->flags & vertices.at(t[i / 3 * 3 + (i + 1) % 3])->flags &
                             Flags::MARKED)
                    << "neighbours both marked";
        }
        EXPECT_EQ(std::count_if(vertices.begin(), vertices.end(),
                                [](auto* v) { return (v->flags & Flags::MARKED) != 0; }),
                  long(marked));
        EXPECT_GT(marked, 50u);
    }
}

// Raw values near the 32-bit limit with a centimetre scale are converted about the tile's centre: a 1 m
// bump on a plane survives while the plane is thinned.
TEST(Simplification, TileTriangulatesRawCoordinatesAtRealMagnitudes) {
    SplatTile tile;
    tile.coordinateScale[0] = tile.coordinateScale[1] = tile.coordinateScale[2] = 0.01;
    const int base = 2'100'000'000;
    for (int i = 0; i < 1600; ++i)
        tile.addSplat(Splat{base + i / 40 * 25 + (i % 40 % 3), -base + i % 40 * 25,
                            1000 + (i == 820 ? 100 : 0), 0, 0, 1});
    std::vector<unsigned> tris;
    tile.triangulate(tris, -1.0f);
    EXPECT_EQ(planarityFault(tile.meshPoints(), tris), "");
    EXPECT_TRUE(names(tris, 20 * 40 + 20)) << "the bump was removed";
    EXPECT_LT(tris.size() / 3, 39u * 39);
}

// A synthetic survey (roofs, trees) and the first points of every real sample simplify within the bound.
TEST(Simplification, SyntheticAndRealSurveysStayPlanarWithinTheBound) {
    synth::PointGenerator gen(8000, 0, 1);
    const std::size_t length = std::size_t(gen.recordLength());
    std::vector<unsigned char> records(8000 * length);
    std::vector<Splat> splats(gen.generate(records.data(), 8000));
    for (std::size_t i = 0; i < splats.size(); ++i)
        std::memcpy(&splats[i], &records[i * length], 12);
    const double s = synth::PointGenerator::Scale, scale[3] = {s, s, s};
    EXPECT_GT(
        simplifyAndCheck(meshPointsFromRaw(splats.data(), splats.size(), scale), -1.0f, SimplifyVariant::Tile)
            .removed,
        0u);
    for (const SampleFile& f : manifestSamples("las")) {
        SCOPED_TRACE(f.name);
        std::ifstream in(f.path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        LASHeader h;
        h.copyFromBuffer(reinterpret_cast<const unsigned char*>(bytes.data()));
        std::vector<Splat> first(std::min<std::size_t>(h.NumberOfPointRecords, 3000));
        for (std::size_t i = 0; i < first.size(); ++i)
            std::memcpy(&first[i], bytes.data() + h.OffsetToPointData + i * h.PointDataRecordLength, 12);
        const double sc[3] = {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z};
        if (first.size() >= 3)
            simplifyAndCheck(meshPointsFromRaw(first.data(), first.size(), sc), -1.0f, SimplifyVariant::Tile);
    }
}
