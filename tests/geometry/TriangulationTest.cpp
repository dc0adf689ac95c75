// Triangulation: unconstrained (Delaunay), constrained by segments, per surface class, on every splat form.
#include "Triangulation.h"
#include "MeshPoint.h"
#include "support/CaptureStdout.h"

#include <gtest/gtest.h>

#include <algorithm>
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
        if (std::max({idx[t], idx[t + 1], idx[t + 2]}) >= p.size()) {
            ADD_FAILURE() << "triangle " << t / 3 << " names no point";
            return 0;
        }
        const double o = orient(p[idx[t]], p[idx[t + 1]], p[idx[t + 2]]);
        EXPECT_GT(o, 0.0) << "triangle " << t / 3;
        area += o / 2;
    }
    return area;
}

bool hasEdge(const Idx& idx, unsigned a, unsigned b) {
    for (size_t t = 0; t < idx.size(); t += 3)
        for (int k = 0; k < 3; ++k) {
            const unsigned u = idx[t + k], v = idx[t + (k + 1) % 3];
            if ((u == a && v == b) || (u == b && v == a))
                return true;
        }
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
        const double area = expectValid(p, idx);
        if (p.size() == 7)
            for (unsigned i : idx)
                EXPECT_TRUE(i != 2 && i != 4 && i != 6) << "repeated point " << i << " named";
        if (p.size() == 4)
            EXPECT_DOUBLE_EQ(area, 1.0);
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
    std::sort(s.begin(), s.end(), [](auto& u, auto& v) { return u.x < v.x || (u.x == v.x && u.y < v.y); });
    for (int pass = 0; pass < 2; ++pass, std::reverse(s.begin(), s.end())) {
        const size_t base = hull.size();
        for (auto& q : s) {
            while (hull.size() >= base + 2 && orient(hull[hull.size() - 2], hull.back(), q) <= 0)
                hull.pop_back();
            hull.push_back(q);
        }
        hull.pop_back();
    }
    EXPECT_EQ(idx.size() / 3, 2 * p.size() - hull.size() - 2);

    const Pts few(p.begin(), p.begin() + 500);
    std::vector<Splat> ints = intSplats(few), floats;
    for (auto& m : few)
        floats.push_back(makeFloatSplat(float(m.x), float(m.y), float(m.z)));
    auto intPtrs = pointers(ints), floatPtrs = pointers(floats);
    Idx core, forms[4];
    ASSERT_TRUE(triangulatePoints(few, core));
    EXPECT_TRUE(triangulateSplats(ints, forms[0], false));
    EXPECT_TRUE(triangulateSplats(floats, forms[1], true));
    EXPECT_TRUE(triangulateSplats(intPtrs, forms[2], false));
    EXPECT_TRUE(triangulateSplats(floatPtrs, forms[3], true));
    EXPECT_FALSE(core.empty());
    for (const Idx& f : forms)
        EXPECT_EQ(f, core);
}

// Segments stay edges: a comb whose notches the unconstrained triangulation cuts across, and a box of
// segments around a cloud with segments inside it.
TEST(ConstrainedTriangulation, SegmentsStayEdgesAndConcaveShapesAreFilledInside) {
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
    EXPECT_TRUE(triangulatePoints(comb, ring, forms[0]));
    EXPECT_TRUE(triangulateSplats(splats, ring, forms[1], false));
    EXPECT_TRUE(triangulateSplats(ptrs, ring, forms[2], false));
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
}

// Crossing segments add a point: a warning listing the points, triangles naming only input points;
// a segment naming no point and unknown switches are refused.
TEST(ConstrainedTriangulation, CrossingSegmentsWarnAndBadInputIsRefused) {
    const Pts p{{0, 0, 0}, {4, 0, 0}, {4, 4, 0}, {0, 4, 0}, {1, 3, 0}};
    Idx segments{0, 1, 1, 2, 2, 3, 3, 0, 0, 2, 1, 3};
    std::vector<Splat> splats = intSplats(p);
    std::vector<Splat*> ptrs = pointers(splats);
    const auto check = [&](auto run, bool pointsOut) {
        Idx idx;
        StdoutCapture out;
        EXPECT_FALSE(run(idx));
        const std::string text = out.take();
        EXPECT_NE(text.find("Warning: Triangulated 5 points into "), std::string::npos) << text;
        EXPECT_NE(text.find(" triangles with 6 points.\nIn points: \n0 0\n4 0\n4 4\n0 4\n1 3\n"),
                  std::string::npos)
            << text;
        EXPECT_EQ(text.find("Out points: \n0 0\n4 0\n4 4\n0 4\n1 3\n2 2\n") != std::string::npos, pointsOut)
            << text;
        EXPECT_FALSE(idx.empty());
        expectValid(p, idx);
    };
    check([&](auto& idx) { return triangulatePoints(p, segments, idx); }, true);
    check([&](auto& idx) { return triangulateSplats(splats, segments, idx, false); },
          false); // "N": no nodes out
    check([&](auto& idx) { return triangulateSplats(ptrs, segments, idx, false); }, true);

    Idx idx, bad{0, 5};
    EXPECT_THROW(triangulatePoints(p, bad, idx), std::invalid_argument);
    triangulateio in, out;
    initTriangulation(in, out, p);
    EXPECT_THROW(triangulate("zBQv", &in, &out, nullptr), std::invalid_argument);
    cleanTriangulation(in, out);
}

// Surfaces: triangles whose three points are all in the set go (with the counts printed); per class, a
// triangle is kept only when all three points are of one positive class, class by class ascending.
TEST(SurfaceTriangulation, DropsTrianglesOfThePointSetAndKeepsOneClassPerTriangle) {
    std::vector<Splat> splats = intSplats(randomPoints(200, 5));
    Idx all;
    triangulateSplats(splats, all, false);
    const size_t total = all.size() / 3;
    for (unsigned step : {0u, 2u}) {
        std::set<unsigned> set;
        for (unsigned i = 0; step && i < 200; i += step)
            set.insert(i);
        Idx expected, idx;
        for (size_t t = 0; t < all.size(); t += 3)
            if (!(set.count(all[t]) && set.count(all[t + 1]) && set.count(all[t + 2])))
                expected.insert(expected.end(), all.begin() + t, all.begin() + t + 3);
        StdoutCapture out;
        createSurfaceTriangulation(splats, set, idx);
        EXPECT_EQ(out.take(), "Generated " + std::to_string(total) + " triangles.\nRemoved " +
                                  std::to_string(total - expected.size() / 3) + " triangles out of " +
                                  std::to_string(total) + "\n");
        EXPECT_EQ(idx, expected);
        if (step)
            EXPECT_LT(expected.size(), all.size());
    }

    const auto p = randomPoints(400, 9);
    splats = intSplats(p);
    // Two surfaces side by side, unclassified (0) and negative points scattered through both.
    std::vector<char> classes;
    for (size_t i = 0; i < p.size(); ++i)
        classes.push_back(i % 7 == 0 ? 0 : i % 11 == 0 ? -1 : p[i].x < (1 << 19) ? 1 : 2);
    Idx merged, perClass;
    createSurfaceTriangulation(splats, classes, merged);
    StdoutCapture out;
    triangulateSurfaces(splats, classes, perClass);
    const std::string text = out.take();
    for (const Idx* idx : {&merged, &perClass}) {
        EXPECT_FALSE(idx->empty());
        expectValid(p, *idx);
        for (size_t t = 0; t < idx->size(); t += 3) {
            EXPECT_GT(classes[(*idx)[t]], 0);
            EXPECT_EQ(classes[(*idx)[t]], classes[(*idx)[t + 1]]);
            EXPECT_EQ(classes[(*idx)[t]], classes[(*idx)[t + 2]]);
        }
    }
    const size_t ones = size_t(std::count(classes.begin(), classes.end(), 1));
    EXPECT_EQ(text.rfind("Triangulating surfaces...\nNumber of classes: 2\nTriangulated " +
                             std::to_string(ones) + " points into ",
                         0),
              0u)
        << text;
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
    EXPECT_EQ(m[0].x, -1073741823.75);
    EXPECT_EQ(m[1].x, 1073741823.75);
    EXPECT_DOUBLE_EQ(m[0].y, -0.2);
    EXPECT_EQ(m[2].z, 0);
    EXPECT_EQ(meshPointsFromRaw(raw.data(), 1, nullptr)[0].x, 0);
}
