// Triangulation (unconstrained Delaunay, constrained by segments, per surface class, on every splat form)
// and its vertex-cache order, against the plain transcription of the defined full scan.
#include "Triangulation.h"
#include "LASHeader.h"
#include "MeshPoint.h"
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
#include <numeric>
#include <random>
#include <set>
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

// Fast order equals the reference, is a permutation of the input's triangles (each keeping its own index
// order), and does not raise the ACMR.
void expectSameAsReference(const Idx& indices, unsigned vertexCount) {
    Idx fast = indices;
    optimizeTriangleOrderForVertexCache(fast, vertexCount);
    EXPECT_EQ(fast, fullScanVertexCacheOrder(indices, vertexCount));
    auto sorted = [](const Idx& idx) {
        std::vector<std::array<unsigned, 3>> t(idx.size() / 3);
        for (size_t i = 0; i < t.size(); ++i)
            t[i] = {idx[3 * i], idx[3 * i + 1], idx[3 * i + 2]};
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

// Random triangles over a vertex pool, with a skewed choice so that some vertices are widely shared.
Idx randomMesh(std::mt19937& rng, unsigned triangles, unsigned vertices) {
    Idx idx;
    std::uniform_int_distribution<unsigned> any(0, vertices - 1);
    for (unsigned t = 0; t < triangles; ++t) {
        const unsigned a = any(rng), b = rng() % 4 == 0 ? any(rng) % 16 : any(rng); // a few hubs
        idx.insert(idx.end(), {a, b, any(rng)});
    }
    return idx;
}

} // namespace

// Three points are one triangle; repeated points are never named; nothing to triangulate leaves the list.
TEST(Triangulation, SmallAndDegenerateInputs) {
    const std::vector<std::pair<Pts, size_t>> cases{
        {{{0, 0, 0}, {4, 1, 0}, {1, 3, 0}}, 1},
        {{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}}, 2},
        {{{0, 0, 0}, {2, 0, 0}, {0, 0, 5}, {2, 2, 0}, {2, 0, 1}, {0, 2, 0}, {2, 2, 0}}, 2}};
    for (const auto& [p, triangles] : cases) {
        Idx idx;
        EXPECT_TRUE(triangulatePoints(p, idx));
        EXPECT_EQ(idx.size(), 3 * triangles);
        EXPECT_DOUBLE_EQ(expectValid(p, idx), p.size() == 3 ? 5.5 : p.size() == 4 ? 1.0 : 4.0);
        for (unsigned i : idx)
            EXPECT_TRUE(p.size() < 7 || (i != 2 && i != 4 && i != 6)) << "repeated point " << i << " named";
    }
    for (const Pts& none : std::vector<Pts>{{},
                                            {{1, 1, 0}, {2, 2, 0}},
                                            {{0, 0, 0}, {1, 1, 0}, {2, 2, 0}, {5, 5, 0}},
                                            {{3, 3, 0}, {3, 3, 0}, {3, 3, 0}}}) {
        Idx kept{7, 8, 9};
        EXPECT_TRUE(triangulatePoints(none, kept));
        EXPECT_EQ(kept, (Idx{7, 8, 9}));
    }
}

// Empty circumcircles (exact on integers), 2n - h - 2 triangles, and every splat form giving the same list.
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
    Pts s = p, hull; // monotone chain
    std::sort(s.begin(), s.end(), [](auto& u, auto& v) { return std::tie(u.x, u.y) < std::tie(v.x, v.y); });
    for (int pass = 0; pass < 2; ++pass, std::reverse(s.begin(), s.end()), hull.pop_back())
        for (size_t base = hull.size(); auto& q : s) {
            while (hull.size() >= base + 2 && orient(hull[hull.size() - 2], hull.back(), q) <= 0)
                hull.pop_back();
            hull.push_back(q);
        }
    EXPECT_EQ(idx.size() / 3, 2 * p.size() - hull.size() - 2);
    const Pts few(p.begin(), p.begin() + 500);
    std::vector<Splat> ints = intSplats(few), floats;
    for (auto& m : few)
        floats.push_back(makeFloatSplat(float(m.x), float(m.y), float(m.z)));
    auto intPtrs = pointers(ints), floatPtrs = pointers(floats);
    Idx core, forms[4];
    ASSERT_TRUE(triangulatePoints(few, core));
    EXPECT_TRUE(triangulateSplats(ints, forms[0], false) && triangulateSplats(floats, forms[1], true) &&
                triangulateSplats(intPtrs, forms[2], false) && triangulateSplats(floatPtrs, forms[3], true));
    EXPECT_FALSE(core.empty());
    for (const Idx& f : forms)
        EXPECT_EQ(f, core);
}

// Segments stay edges: a comb whose notches the unconstrained triangulation cuts across, and a box of
// segments around a cloud with segments inside it. Crossing segments add a point (reported by returning
// false) but triangles name only input points; a segment naming no point and unknown switches are refused.
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
    auto p = randomPoints(300, 11);
    for (auto& m : p)
        m = {1000 + m.x / 1024, 1000 + m.y / 1024, 0};
    const unsigned c = unsigned(p.size());
    p.insert(p.end(), {{990, 990, 0}, {2030, 990, 0}, {2030, 2030, 0}, {990, 2030, 0}});
    const Idx segments{c, c + 1, c + 1, c + 2, c + 2, c + 3, c + 3, c, 0, 1, 2, 3};
    Idx idx;
    EXPECT_TRUE(triangulatePoints(p, segments, idx));
    EXPECT_NEAR(expectValid(p, idx), 1040.0 * 1040.0, 1e-6);
    for (size_t s = 0; s < segments.size(); s += 2)
        EXPECT_TRUE(hasEdge(idx, segments[s], segments[s + 1])) << segments[s] << "-" << segments[s + 1];

    const Pts sq{{0, 0, 0}, {4, 0, 0}, {4, 4, 0}, {0, 4, 0}, {1, 3, 0}};
    Idx crossing{0, 1, 1, 2, 2, 3, 3, 0, 0, 2, 1, 3};
    std::vector<Splat> sqSplats = intSplats(sq);
    std::vector<Splat*> sqPtrs = pointers(sqSplats);
    Idx out[3];
    EXPECT_FALSE(triangulatePoints(sq, crossing, out[0]));
    EXPECT_FALSE(triangulateSplats(sqSplats, crossing, out[1], false));
    EXPECT_FALSE(triangulateSplats(sqPtrs, crossing, out[2], false));
    for (const Idx& o : out) {
        EXPECT_FALSE(o.empty());
        expectValid(sq, o);
    }
    Idx bad{0, 5};
    EXPECT_THROW(triangulatePoints(sq, bad, idx), std::invalid_argument);
    triangulateio in, res;
    initTriangulation(in, res, sq);
    EXPECT_THROW(triangulate("zBQv", &in, &res, nullptr), std::invalid_argument);
    cleanTriangulation(in, res);
}

// Surfaces: triangles whose three points are all in the set go; per class, a triangle is kept only when all
// three points are of one positive class, class by class ascending.
TEST(SurfaceTriangulation, DropsTrianglesOfThePointSetAndKeepsOneClassPerTriangle) {
    std::vector<Splat> splats = intSplats(randomPoints(200, 5));
    Idx all;
    triangulateSplats(splats, all, false);
    for (unsigned step : {0u, 2u}) {
        std::set<unsigned> set;
        for (unsigned i = 0; step && i < 200; i += step)
            set.insert(i);
        Idx expected, idx;
        for (size_t t = 0; t < all.size(); t += 3)
            if (!(set.count(all[t]) && set.count(all[t + 1]) && set.count(all[t + 2])))
                expected.insert(expected.end(), all.begin() + t, all.begin() + t + 3);
        createSurfaceTriangulation(splats, set, idx);
        EXPECT_EQ(idx, expected);
        EXPECT_EQ(expected.size() < all.size(), step != 0);
    }
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

// Raw coordinates are scaled and centred on the middle of their extent, without 32-bit overflow.
TEST(MeshPoints, FromRawAreCentredAndScaled) {
    const std::vector<Splat> raw{
        {INT32_MIN, -10, 100, 0, 0, 1}, {INT32_MAX, 30, 300, 0, 0, 1}, {0, 10, 200, 0, 0, 1}};
    const double scale[3] = {0.5, 0.01, 2};
    double origin[3];
    const auto m = meshPointsFromRaw(raw.data(), raw.size(), scale, origin);
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(std::vector<double>(origin, origin + 3), (std::vector<double>{-0.5, 10, 200}));
    EXPECT_EQ(std::tie(m[0].x, m[1].x, m[2].z), std::make_tuple(-1073741823.75, 1073741823.75, 0.0));
    EXPECT_DOUBLE_EQ(m[0].y, -0.2);
    EXPECT_EQ(meshPointsFromRaw(raw.data(), 1, nullptr)[0].x, 0);
}

// Scores by cache position and valence, the ACMR of an LRU cache, and lists too small or bad to reorder.
TEST(VertexCache, ScoresAcmrAndSmallOrBadLists) {
    for (int p : {-1, 0, 1, 2, 3, 17, 31})
        EXPECT_EQ(calculateVertexScore(0, p), -1.0f);
    EXPECT_EQ(calculateVertexScore(1, -1), 2.0f);
    EXPECT_EQ(calculateVertexScore(1, 0), 2.75f);
    EXPECT_EQ(calculateVertexScore(1, 2), 2.75f);
    EXPECT_EQ(calculateVertexScore(4, 3), 2.0f);
    EXPECT_FLOAT_EQ(calculateVertexScore(4, 31), 1.0f + float(std::pow(1 - 28 * 0.03448276, 1.5)));
    EXPECT_LT(calculateVertexScore(5, 10), calculateVertexScore(5, 9));
    EXPECT_DOUBLE_EQ(calculateACMR({0, 1, 2, 0, 1, 2}, 32), 1.5);
    EXPECT_EQ(calculateACMR({}, 32), 0.0);
    EXPECT_DOUBLE_EQ(calculateACMR({0, 1, 2, 0, 1, 2}, 0), 3.0);
    // LRU of 3: 0 1 2 3 miss (3 evicts 0); 2 hits and moves to the front; 0 misses and evicts 1, 1 misses
    // and evicts 3, 3 misses and evicts 2; the last 3 hits: 7 misses.
    EXPECT_DOUBLE_EQ(calculateACMR({0, 1, 2, 3, 2, 0, 1, 3, 3}, 3), 3.0 * 7 / 9);
    for (const Idx& kept : {Idx{}, Idx{2, 0, 1}, Idx{0, 1, 2, 2, 1, 3}}) {
        Idx idx = kept;
        optimizeTriangleOrderForVertexCache(idx, 4);
        EXPECT_EQ(idx, kept);
    }
    Idx mesh = {5, 6, 7, 1, 2, 0, 8, 9, 10, 2, 1, 3}; // triangles sharing an edge follow each other
    expectSameAsReference(mesh, 11);
    optimizeTriangleOrderForVertexCache(mesh, 11);
    auto at = [&](Idx t) { return std::search(mesh.begin(), mesh.end(), t.begin(), t.end()) - mesh.begin(); };
    EXPECT_EQ(std::abs(at({1, 2, 0}) - at({2, 1, 3})), 3);
    Idx idx = {0, 1, 2, 2, 1, 3}, partial = {0, 1, 2, 3};
    EXPECT_THROW(optimizeTriangleOrderForVertexCache(idx, 3), std::out_of_range);
    EXPECT_THROW(optimizeTriangleOrderForVertexCache(idx, 0), std::out_of_range);
    EXPECT_EQ(idx, (Idx{0, 1, 2, 2, 1, 3}));
    EXPECT_THROW(optimizeTriangleOrderForVertexCache(partial, 4), std::invalid_argument);
    EXPECT_EQ(partial.size(), 4u);
}

// The fast order equals the full scan on grids (also shuffled), a fan beyond 255 triangles (an 8-bit count
// would wrap), random meshes with hubs and degenerate triangles, and a Delaunay mesh.
TEST(VertexCache, MeshesMatchTheFullScan) {
    std::mt19937 rng(7);
    std::vector<std::pair<Idx, unsigned>> meshes{{gridMesh(60, 50), 3000}};
    Idx grid = gridMesh(100, 80), shuffled, fan;
    std::vector<unsigned> order(grid.size() / 3);
    std::iota(order.begin(), order.end(), 0u);
    std::shuffle(order.begin(), order.end(), std::mt19937(3));
    for (unsigned t : order)
        shuffled.insert(shuffled.end(), grid.begin() + 3 * t, grid.begin() + 3 * t + 3);
    meshes.push_back({shuffled, 8000});
    for (unsigned half = 0, n = 600; half < 2; ++half) // all of the fan first, then the ring around it
        for (unsigned i = 0; i < n; ++i)
            fan.insert(fan.end(), {half ? 1 + i : 0, half ? 1 + n + i : 1 + i, 1 + (i + 1) % n});
    meshes.push_back({fan, 1201});
    for (unsigned triangles : {2u, 10u, 100u, 1000u, 5000u})
        for (unsigned vertices : {triangles / 2 + 3, triangles * 3})
            meshes.push_back({randomMesh(rng, triangles, vertices), vertices});
    meshes.push_back({randomMesh(rng, 20000, 10000), 10000});
    meshes.push_back({{0, 0, 1, 1, 2, 2, 3, 3, 3, 0, 1, 2}, 10}); // degenerate; unused numbers allowed
    std::uniform_real_distribution<double> u(0.0, 100.0);
    std::vector<MeshPoint> points(5000);
    for (auto& p : points)
        p = {u(rng), u(rng), u(rng)};
    Idx delaunay;
    ASSERT_TRUE(triangulatePoints(points, delaunay));
    meshes.push_back({delaunay, 5000});
    for (const auto& [idx, vertices] : meshes) {
        SCOPED_TRACE(std::to_string(idx.size() / 3) + " triangles");
        expectSameAsReference(idx, vertices);
    }
    optimizeTriangleOrderForVertexCache(meshes[0].first, 3000);
    EXPECT_LT(calculateACMR(meshes[0].first, 32), 0.8);
}

// Real samples: up to 50,000 points triangulate into counter-clockwise triangles, at least n/2 of them;
// the mesh of the first 3,000 is ordered as the full scan orders it.
TEST(VertexCache, RealSamplesTriangulateCleanlyAndMatchTheFullScan) {
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
        ASSERT_TRUE(triangulatePoints(meshPointsFromRaw(splats.data(), n, scale), first));
        expectSameAsReference(first, unsigned(n));
    }
}
