// Triangulation (Delaunay, constrained, per surface class, every splat form), vertex-cache order against the
// full scan, vertex removal and simplification; every simplified mesh must stay planar in x, y.
#include "Triangulation.h"
#include "LASHeader.h"
#include "MeshPoint.h"
#include "Simplification.h"
#include "SplatTile.h"
#include "TriangulationVertex.h"
#include "VertexCache.h"
#include "support/FullScanVertexCache.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>

namespace {

using Pts = std::vector<MeshPoint>;
using Idx = std::vector<unsigned>;

double orient(const MeshPoint& a, const MeshPoint& b, const MeshPoint& c) {
    return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
}

// Every index names a point and every triangle is counter-clockwise; returns the total area.
double expectValid(const Pts& p, const Idx& idx) {
    EXPECT_EQ(idx.size() % 3, 0u);
    double area = 0;
    for (size_t t = 0; t + 2 < idx.size(); t += 3) {
        if (std::max({idx[t], idx[t + 1], idx[t + 2]}) >= p.size())
            return ADD_FAILURE() << "triangle " << t / 3 << " names no point", 0;
        const double o = orient(p[idx[t]], p[idx[t + 1]], p[idx[t + 2]]);
        EXPECT_GT(o, 0.0) << "triangle " << t / 3;
        area += o / 2;
    }
    return area;
}

bool hasEdge(const Idx& idx, unsigned a, unsigned b) {
    for (size_t t = 0; t < idx.size(); t += 3)
        for (int k = 0; k < 3; ++k)
            if (std::minmax(idx[t + k], idx[t + (k + 1) % 3]) == std::minmax(a, b))
                return true;
    return false;
}

std::vector<Splat> intSplats(const Pts& p) {
    std::vector<Splat> s;
    for (auto& m : p)
        s.push_back({int32_t(m.x), int32_t(m.y), int32_t(m.z), 0, 0, 1});
    return s;
}

std::vector<Splat*> pointers(std::vector<Splat>& s) {
    std::vector<Splat*> out;
    for (auto& x : s)
        out.push_back(&x);
    return out;
}

// Distinct random integer points: exact in float and double, in general position in practice.
Pts randomPoints(size_t n, unsigned seed) {
    std::mt19937 g(seed);
    std::uniform_int_distribution<int> u(0, (1 << 20) - 1);
    Pts p;
    while (p.size() < n) {
        MeshPoint m{double(u(g)), double(u(g)), double(u(g) % 100)};
        if (std::none_of(p.begin(), p.end(), [&](auto& q) { return q.x == m.x && q.y == m.y; }))
            p.push_back(m);
    }
    return p;
}

// Fast order equals the reference, permutes whole triangles, and does not raise the ACMR.
void expectSameAsReference(const Idx& indices, unsigned vertexCount) {
    Idx fast = indices;
    optimizeTriangleOrderForVertexCache(fast, vertexCount);
    EXPECT_EQ(fast, fullScanVertexCacheOrder(indices, vertexCount));
    auto sorted = [](const Idx& idx) {
        std::vector<std::array<unsigned, 3>> t(idx.size() / 3);
        std::memcpy(t.data(), idx.data(), t.size() * sizeof(t[0]));
        std::sort(t.begin(), t.end());
        return t;
    };
    EXPECT_EQ(sorted(fast), sorted(indices));
    EXPECT_LE(calculateACMR(fast, 32), calculateACMR(indices, 32) + 1e-12);
}

// A w × h grid of vertices, two triangles per cell, counter-clockwise.
Idx gridMesh(unsigned w, unsigned h) {
    Idx idx;
    for (unsigned a = 0; a + w < w * h; ++a)
        if ((a + 1) % w)
            idx.insert(idx.end(), {a, a + 1, a + w + 1, a, a + w + 1, a + w});
    return idx;
}

// Random triangles over a vertex pool; a few hubs (vertices below 16) are widely shared.
Idx randomMesh(std::mt19937& rng, unsigned triangles, unsigned vertices) {
    Idx idx;
    std::uniform_int_distribution<unsigned> any(0, vertices - 1);
    for (unsigned t = 0; t < triangles; ++t)
        idx.insert(idx.end(), {any(rng), rng() % 4 == 0 ? any(rng) % 16 : any(rng), any(rng)});
    return idx;
}

using Flags = TriangulationVertex;
[[maybe_unused]] const bool quiet = (setGeometryLog(nullptr), true); // the drivers' diagnostics

// A triangulation with one vertex record per point, linked to its triangles as the drivers link them.
struct TestMesh {
    Pts points;
    Idx indices;
    std::vector<std::unique_ptr<TriangulationVertex>> owned;
    std::vector<TriangulationVertex*> vertices;
    std::set<unsigned> deleted;
    explicit TestMesh(Pts p, Idx tris = {}) : points(std::move(p)), indices(std::move(tris)) {
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
    Idx live() const {
        Idx out;
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

Pts terrain(std::size_t n, double extent, unsigned seed, double relief) {
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

bool names(const Idx& tris, unsigned v) {
    return std::find(tris.begin(), tris.end(), v) != tris.end();
}

// Empty when `tris` is planar in x, y (counter-clockwise, edges once, no overlap, a disc), else the fault.
std::string planarityFault(const Pts& pts, const Idx& tris) {
    std::set<std::pair<unsigned, unsigned>> directed, undirected;
    std::set<unsigned> used;
    for (std::size_t t = 0; t < tris.size(); t += 3) {
        const unsigned a = tris[t], b = tris[t + 1], c = tris[t + 2];
        if (std::max({a, b, c}) >= pts.size())
            return "triangle names a point out of range";
        if (!(orient(pts[a], pts[b], pts[c]) > 0))
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
    // Convex triangles overlap unless an edge of one separates them; only boxes that meet are tested.
    auto separated = [&](const unsigned* s, const unsigned* t) {
        for (int k = 0; k < 6; ++k) {
            const unsigned *tri = k < 3 ? s : t, *other = k < 3 ? t : s;
            bool allOutside = true;
            for (int m = 0; m < 3; ++m)
                allOutside &= orient(pts[tri[k % 3]], pts[tri[(k + 1) % 3]], pts[other[m]]) <= 2e-12;
            if (allOutside)
                return true;
        }
        return false;
    };
    std::vector<std::array<double, 4>> box; // x and y ranges
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

// Planar, removals counted, every removed vertex inside the mesh within the largest error (800 t) of it.
SimplifyReport simplifyAndCheck(const Pts& pts, float threshold, SimplifyVariant variant,
                                Idx* out = nullptr) {
    Idx tris;
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
            covered |= orient(a, b, pts[v]) >= 0 && orient(b, c, pts[v]) >= 0 && orient(c, a, pts[v]) >= 0;
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

// Three points are one triangle; repeated points are never named; nothing to triangulate leaves the list.
TEST(Triangulation, SmallAndDegenerateInputs) {
    const std::vector<std::pair<Pts, size_t>> cases{
        {{{0, 0, 0}, {4, 1, 0}, {1, 3, 0}}, 1},
        {{{0, 0, 0}, {2, 0, 0}, {0, 0, 5}, {2, 2, 0}, {2, 0, 1}, {0, 2, 0}, {2, 2, 0}}, 2}};
    for (const auto& [p, triangles] : cases) {
        Idx idx;
        EXPECT_TRUE(triangulatePoints(p, idx));
        EXPECT_EQ(idx.size(), 3 * triangles);
        EXPECT_DOUBLE_EQ(expectValid(p, idx), p.size() == 3 ? 5.5 : 4.0);
        for (unsigned i : idx)
            EXPECT_TRUE(p.size() < 7 || (i != 2 && i != 4 && i != 6)) << "repeated point " << i << " named";
    }
    for (const Pts& none : std::vector<Pts>{
             {}, {{0, 0, 0}, {1, 1, 0}, {2, 2, 0}, {5, 5, 0}}, {{3, 3, 0}, {3, 3, 0}, {3, 3, 0}}}) {
        Idx kept{7, 8, 9};
        EXPECT_TRUE(triangulatePoints(none, kept));
        EXPECT_EQ(kept, (Idx{7, 8, 9}));
    }
}

// Empty circumcircles (exact on integers), and every splat form giving the same list.
TEST(Triangulation, RandomPointsAreDelaunayInEveryForm) {
    const auto p = randomPoints(2000, 7);
    Idx idx;
    ASSERT_TRUE(triangulatePoints(p, idx));
    expectValid(p, idx);
    for (size_t t = 0; t < idx.size(); t += 3) {
        const MeshPoint &a = p[idx[t]], &b = p[idx[t + 1]], &c = p[idx[t + 2]];
        for (const MeshPoint& d : p) {
            const __int128 ax = int64_t(a.x - d.x), ay = int64_t(a.y - d.y), bx = int64_t(b.x - d.x),
                           by = int64_t(b.y - d.y), cx = int64_t(c.x - d.x), cy = int64_t(c.y - d.y);
            const __int128 det = (ax * ax + ay * ay) * (bx * cy - cx * by) -
                                 (bx * bx + by * by) * (ax * cy - cx * ay) +
                                 (cx * cx + cy * cy) * (ax * by - bx * ay);
            ASSERT_LE(det, 0) << "point inside the circumcircle of triangle " << t / 3;
        }
    }
    const Pts few(p.begin(), p.begin() + 500);
    std::vector<Splat> ints = intSplats(few), floats;
    for (auto& m : few)
        floats.push_back(makeFloatSplat(float(m.x), float(m.y), float(m.z)));
    auto intPtrs = pointers(ints), floatPtrs = pointers(floats);
    Idx core, forms[4];
    ASSERT_TRUE(triangulatePoints(few, core));
    EXPECT_TRUE(triangulateSplats(ints, forms[0], false) && triangulateSplats(floats, forms[1], true) &&
                triangulateSplats(intPtrs, forms[2], false) && triangulateSplats(floatPtrs, forms[3], true));
    for (const Idx& f : forms)
        EXPECT_EQ(f, core);
}

// Segments stay edges (a comb); crossings return false naming only input points;
// a segment naming no point and unknown switches are refused.
TEST(ConstrainedTriangulation, SegmentsStayEdgesCrossingsAndBadInput) {
    Pts comb{{0, 0, 0}, {100, 0, 0}, {100, 30, 0}};
    for (int k = 4; k >= 0; --k)
        comb.insert(comb.end(), {{20.0 * k + 15, 30, 0}, {20.0 * k + 10, 2, 0}, {20.0 * k + 5, 30, 0}});
    comb.push_back({0, 30, 0});
    const unsigned n = unsigned(comb.size());
    Idx ring;
    double polygonArea = 0;
    for (unsigned i = 0; i < n; ++i) {
        ring.insert(ring.end(), {i, (i + 1) % n});
        polygonArea += (comb[i].x * comb[(i + 1) % n].y - comb[(i + 1) % n].x * comb[i].y) / 2;
    }
    std::vector<Splat> splats = intSplats(comb);
    std::vector<Splat*> ptrs = pointers(splats);
    Idx forms[3];
    EXPECT_TRUE(triangulatePoints(comb, ring, forms[0]) && triangulateSplats(splats, ring, forms[1], false) &&
                triangulateSplats(ptrs, ring, forms[2], false));
    for (auto& idx : forms) {
        EXPECT_EQ(idx.size() / 3, n - 2);
        // n - 2 positive triangles covering the polygon's area lie inside it without overlap.
        EXPECT_NEAR(expectValid(comb, idx), polygonArea, 1e-9);
        for (unsigned i = 0; i < n; ++i)
            EXPECT_TRUE(hasEdge(idx, i, (i + 1) % n)) << "segment " << i;
    }
    const Pts sq{{0, 0, 0}, {4, 0, 0}, {4, 4, 0}, {0, 4, 0}, {1, 3, 0}};
    Idx crossing{0, 1, 1, 2, 2, 3, 3, 0, 0, 2, 1, 3};
    Idx idx, bad{0, 5};
    EXPECT_FALSE(triangulatePoints(sq, crossing, idx));
    EXPECT_FALSE(idx.empty());
    expectValid(sq, idx);
    EXPECT_THROW(triangulatePoints(sq, bad, idx), std::invalid_argument);
    triangulateio in, res;
    initTriangulation(in, res, sq);
    EXPECT_THROW(triangulate("zBQv", &in, &res, nullptr), std::invalid_argument);
    cleanTriangulation(in, res);
}

// Triangles all in the set go; per class only triangles of one positive class stay, classes ascending.
TEST(SurfaceTriangulation, DropsTrianglesOfThePointSetAndKeepsOneClassPerTriangle) {
    std::vector<Splat> splats = intSplats(randomPoints(200, 5));
    Idx all;
    triangulateSplats(splats, all, false);
    std::set<unsigned> set;
    for (unsigned i = 0; i < 200; i += 2)
        set.insert(i);
    Idx expected, idx;
    for (size_t t = 0; t < all.size(); t += 3)
        if (!(set.count(all[t]) && set.count(all[t + 1]) && set.count(all[t + 2])))
            expected.insert(expected.end(), all.begin() + t, all.begin() + t + 3);
    createSurfaceTriangulation(splats, set, idx);
    EXPECT_EQ(idx, expected);
    EXPECT_LT(expected.size(), all.size());
    const auto p = randomPoints(400, 9);
    splats = intSplats(p);
    // Two surfaces side by side, unclassified (0) and negative points scattered through both.
    std::vector<char> classes;
    for (size_t i = 0; i < p.size(); ++i)
        classes.push_back(i % 7 == 0 ? 0 : i % 11 == 0 ? -1 : p[i].x < (1 << 19) ? 1 : 2);
    Idx merged, perClass;
    createSurfaceTriangulation(splats, classes, merged);
    triangulateSurfaces(splats, classes, perClass);
    for (const Idx* idx : {&merged, &perClass}) {
        EXPECT_FALSE(idx->empty());
        expectValid(p, *idx);
        for (size_t t = 0; t < idx->size(); t += 3) {
            EXPECT_GT(classes[(*idx)[t]], 0);
            EXPECT_TRUE(classes[(*idx)[t]] == classes[(*idx)[t + 1]] &&
                        classes[(*idx)[t]] == classes[(*idx)[t + 2]]);
        }
    }
    EXPECT_EQ(classes[perClass.front()], 1);
    EXPECT_EQ(classes[perClass.back()], 2);
}

// Scores by cache position and valence, the ACMR of an LRU cache, and lists too small or bad to reorder.
TEST(VertexCache, ScoresAcmrAndSmallOrBadLists) {
    const std::tuple<unsigned, int, float> scores[] = {{0, -1, -1},   {0, 31, -1},   {1, -1, 2},
                                                       {1, 0, 2.75f}, {1, 2, 2.75f}, {4, 3, 2}};
    for (auto [valence, position, score] : scores)
        EXPECT_EQ(calculateVertexScore(valence, position), score) << valence << " " << position;
    EXPECT_FLOAT_EQ(calculateVertexScore(4, 31), 1.0f + float(std::pow(1 - 28 * 0.03448276, 1.5)));
    EXPECT_DOUBLE_EQ(calculateACMR({0, 1, 2, 0, 1, 2}, 32), 1.5);
    EXPECT_DOUBLE_EQ(calculateACMR({0, 1, 2, 0, 1, 2}, 0), 3.0);
    // LRU of 3: 0 1 2 3 miss (3 evicts 0); 2 hits and moves to the front; 0 misses and evicts 1, 1 misses
    // and evicts 3, 3 misses and evicts 2; the last 3 hits: 7 misses.
    EXPECT_DOUBLE_EQ(calculateACMR({0, 1, 2, 3, 2, 0, 1, 3, 3}, 3), 3.0 * 7 / 9);
    for (const Idx& kept : {Idx{}, Idx{2, 0, 1}, Idx{0, 1, 2, 2, 1, 3}}) {
        Idx idx = kept;
        optimizeTriangleOrderForVertexCache(idx, 4);
        EXPECT_EQ(idx, kept);
    }
    expectSameAsReference({5, 6, 7, 1, 2, 0, 8, 9, 10, 2, 1, 3}, 11);
    Idx idx = {0, 1, 2, 2, 1, 3}, partial = {0, 1, 2, 3};
    EXPECT_THROW(optimizeTriangleOrderForVertexCache(idx, 3), std::out_of_range);
    EXPECT_THROW(optimizeTriangleOrderForVertexCache(idx, 0), std::out_of_range);
    EXPECT_EQ(idx, (Idx{0, 1, 2, 2, 1, 3}));
    EXPECT_THROW(optimizeTriangleOrderForVertexCache(partial, 4), std::invalid_argument);
    EXPECT_EQ(partial.size(), 4u);
}

// Full-scan order on grids, a fan past 255 triangles (8-bit counts wrap), random meshes.
TEST(VertexCache, MeshesMatchTheFullScan) {
    std::mt19937 rng(7);
    std::vector<std::pair<Idx, unsigned>> meshes{{gridMesh(60, 50), 3000}};
    Idx fan;
    for (unsigned half = 0, n = 600; half < 2; ++half) // all of the fan first, then the ring around it
        for (unsigned i = 0; i < n; ++i)
            fan.insert(fan.end(), {half ? 1 + i : 0, half ? 1 + n + i : 1 + i, 1 + (i + 1) % n});
    meshes.push_back({fan, 1201});
    for (unsigned triangles : {2u, 1000u})
        for (unsigned vertices : {triangles / 2 + 3, triangles * 3})
            meshes.push_back({randomMesh(rng, triangles, vertices), vertices});
    meshes.push_back({{0, 0, 1, 1, 2, 2, 3, 3, 3, 0, 1, 2}, 10}); // degenerate; unused numbers allowed
    for (const auto& [idx, vertices] : meshes) {
        SCOPED_TRACE(std::to_string(idx.size() / 3) + " triangles");
        expectSameAsReference(idx, vertices);
    }
    optimizeTriangleOrderForVertexCache(meshes[0].first, 3000);
    EXPECT_LT(calculateACMR(meshes[0].first, 32), 0.8);
}

// Real samples: clean triangulations of at least n/2 triangles, the full scan's order, simplification within
// the bound.
TEST(Surveys, TriangulateCleanlyOrderAsTheFullScanAndSimplifyWithinTheBound) {
    const auto files = manifestSamples("las");
    if (files.empty())
        GTEST_SKIP() << "no LAS samples under " << PONTARO_DATA_DIR << "/las";
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        std::ifstream in(f.path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        ASSERT_GE(bytes.size(), 227u);
        LASHeader h;
        h.copyFromBuffer(reinterpret_cast<const unsigned char*>(bytes.data()));
        std::vector<Splat> splats(std::min<size_t>(h.NumberOfPointRecords, 50000));
        ASSERT_GE(bytes.size(), h.OffsetToPointData + splats.size() * h.PointDataRecordLength);
        for (size_t i = 0; i < splats.size(); ++i)
            std::memcpy(&splats[i], bytes.data() + h.OffsetToPointData + i * h.PointDataRecordLength, 12);
        const double scale[3] = {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z};
        const auto points = meshPointsFromRaw(splats.data(), splats.size(), scale);
        Idx idx, first;
        EXPECT_TRUE(triangulatePoints(points, idx));
        EXPECT_GE(idx.size() / 3, splats.size() / 2);
        expectValid(points, idx);
        const size_t n = std::min<size_t>(splats.size(), 3000);
        const auto firstPoints = meshPointsFromRaw(splats.data(), n, scale);
        ASSERT_TRUE(triangulatePoints(firstPoints, first));
        expectSameAsReference(first, unsigned(n));
        if (n >= 3)
            simplifyAndCheck(firstPoints, -1.0f, SimplifyVariant::Tile);
    }
}

// Fan and border removals retriangulate in place, counter-clockwise; a local minimum's error is scaled by
// the cosine of its smallest slope.
TEST(VertexRemoval, FansBordersAndLocalMinima) {
    TestMesh grid(flatGrid(5, 1.0));
    EXPECT_EQ(grid.error(12), 0.0f); // an interior vertex of a plane
    const size_t before = grid.live().size() / 3;
    ASSERT_TRUE(grid.remove(12));
    EXPECT_EQ(grid.live().size() / 3, before - 2);
    EXPECT_FALSE(names(grid.live(), 12));
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
        EXPECT_EQ(planarityFault(m.points, m.live()), "");
        for (unsigned i : m.live()) // the corner at the origin is gone: nothing below y = 1
            EXPECT_GE(m.points[i].y, 1.0);
    }
    TestMesh three({{0, 0, 0.3}, {-1, -1, 0}, {1, -1, 0}, {0, 1.5, 0}});
    EXPECT_NEAR(three.error(0), 0.3, 1e-6);
    EXPECT_FALSE(three.v(0).flags & Flags::LOCAL_MINIMUM);
    ASSERT_TRUE(three.remove(0));
    EXPECT_EQ(std::pair(three.live().size(), three.deleted.size()), (std::pair<size_t, size_t>(3, 2)));
    EXPECT_EQ(planarityFault(three.points, three.live()), "");
    TestMesh pit(ring(6, 1.0, {0, 0, 0}));
    EXPECT_NEAR(pit.error(0), std::sqrt(0.5), 1e-6); // distance 1, smallest slope 1: cos 45°
    EXPECT_EQ(pit.v(0).flags & (Flags::LOCAL_MINIMUM | Flags::SINGLE_CHAIN | Flags::BORDER),
              Flags::LOCAL_MINIMUM | Flags::SINGLE_CHAIN);
}

// Refused removals change nothing: edges over the maximum, a closed fan beside another, a foreign triangle.
TEST(VertexRemoval, RefusedRemovalsChangeNothing) {
    TestMesh m(ring(6, 0.0, {0.05, 0.02, 0}));
    const auto indices = m.indices;
    std::vector<Idx> links;
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
    Idx r, tris, starts;
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
    // Edges (a1, b1), (a2, b2): head to tail (the wedge), a straight line, the same edge, no shared point.
    // clang-format off
    const std::tuple<unsigned, unsigned, unsigned, unsigned, bool, bool> cases[] = {{0, 1, 1, 2, true, true},
        {0, 1, 1, 3, false, false}, {1, 2, 2, 1, true, false}, {0, 2, 1, 3, false, false}};
    // clang-format on
    for (auto [a1, b1, a2, b2, result, wanted] : cases) {
        bool narrow = false;
        const bool r = Flags::checkCoincidenceAndAngle(pts, a1, b1, a2, b2, &narrow);
        EXPECT_EQ(std::pair(r, narrow), std::pair(result, wanted)) << a1 << b1 << a2 << b2;
    }
    bool narrow = false; // coinciding points give no angle, which never counts as narrow
    EXPECT_FALSE(Flags::checkCoincidenceAndAngle({{0, 0, 0}, {0, 0, 0}, {1, 0, 0}}, 0, 1, 1, 2, &narrow));
    TriangulationVertex v;
    auto concave = [&](Pts p) {
        Idx chain, edges;
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
              (std::pair{1, Idx{10, 11, 14, 10}}));
}

// Shares: tile n/64, free n/4, weighted at most n/4, sampling n/4; ties in index order; default threshold
// 1/1000, edges up to 800 t; runs are identical.
TEST(Simplification, SharesTiesThresholdAndEdgeLimit) {
    const auto flat = terrain(640, 10.0, 3, 0.0);
    const auto tile = simplifyAndCheck(flat, 0.01f, SimplifyVariant::Tile);
    EXPECT_LE(tile.removed, 630u);
    EXPECT_GE(tile.removed, 600u);
    Idx kept, again;
    EXPECT_EQ(simplifyAndCheck(flat, 0.01f, SimplifyVariant::Free, &kept).removed, 480u);
    const std::set<unsigned> left(kept.begin(), kept.end());
    EXPECT_GT(std::count_if(left.begin(), left.end(), [](unsigned v) { return v >= 320; }), 120);
    EXPECT_LE(simplifyAndCheck(terrain(640, 10.0, 4, 0.3), 0.01f, SimplifyVariant::WeightedRandom).removed,
              480u);
    const auto grid = flatGrid(20, 0.5); // spacing 0.5: removals may open edges up to 0.8 only
    simplifyAndCheck(grid, -1.0f, SimplifyVariant::Tile, &kept);
    simplifyAndCheck(grid, 0.001f, SimplifyVariant::Tile, &again);
    EXPECT_EQ(kept, again);
    for (std::size_t t = 0; t < kept.size(); ++t) {
        const MeshPoint &a = grid[kept[t]], &b = grid[kept[t / 3 * 3 + (t + 1) % 3]];
        EXPECT_LE(std::hypot(a.x - b.x, a.y - b.y), 0.8 + 1e-9);
    }
    const auto pts = terrain(401, 10.0, 9, 0.5);
    triangulatePoints(pts, kept = {});
    simplifyBySampling(pts, kept, -1.0f);
    EXPECT_EQ(std::set<unsigned>(kept.begin(), kept.end()).size(), 101u);
    EXPECT_EQ(planarityFault(pts, kept), "");
}

// With fewer points than error threads, each point is still measured exactly once.
TEST(Simplification, FewerPointsThanThreadsAreEachMeasuredOnce) {
    std::ostringstream log;
    setGeometryLog(&log);
    simplifyAndCheck({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0.2}, {0.5, 0.5, 0.05}}, 0.01f,
                     SimplifyVariant::Tile);
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

// Raw coordinates scaled and centred on their extent without 32-bit overflow; raw values near 2^31 at
// centimetre scale: a 1 m bump on a plane survives while the plane is thinned.
TEST(Simplification, TileTriangulatesRawCoordinatesAtRealMagnitudes) {
    const std::vector<Splat> raw{
        {INT32_MIN, -10, 100, 0, 0, 1}, {INT32_MAX, 30, 300, 0, 0, 1}, {0, 10, 200, 0, 0, 1}};
    const double scale[3] = {0.5, 0.01, 2};
    double origin[3];
    const auto m = meshPointsFromRaw(raw.data(), raw.size(), scale, origin);
    EXPECT_EQ(std::vector<double>(origin, origin + 3), (std::vector<double>{-0.5, 10, 200}));
    EXPECT_EQ(std::tie(m[0].x, m[1].x, m[2].z), std::make_tuple(-1073741823.75, 1073741823.75, 0.0));
    EXPECT_EQ(meshPointsFromRaw(raw.data(), 1, nullptr)[0].x, 0);
    SplatTile tile;
    tile.coordinateScale[0] = tile.coordinateScale[1] = tile.coordinateScale[2] = 0.01;
    const int base = 2'100'000'000;
    for (int i = 0; i < 1600; ++i)
        tile.addSplat(Splat{base + i / 40 * 25 + (i % 40 % 3), -base + i % 40 * 25,
                            1000 + (i == 820 ? 100 : 0), 0, 0, 1});
    Idx tris;
    tile.triangulate(tris, -1.0f);
    EXPECT_EQ(planarityFault(tile.meshPoints(), tris), "");
    EXPECT_TRUE(names(tris, 20 * 40 + 20)) << "the bump was removed";
    EXPECT_LT(tris.size() / 3, 39u * 39);
}
