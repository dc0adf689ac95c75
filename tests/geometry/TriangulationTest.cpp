#include "LASHeader.h"
#include "MeshPoint.h"
#include "Triangulation.h"
#include "support/CaptureStdout.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace {

double orient(const MeshPoint& a, const MeshPoint& b, const MeshPoint& c) {
    return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
}

// Every index names one of `count` points and every triangle is counter-clockwise with positive area.
void expectValidTriangles(const std::vector<MeshPoint>& p, const std::vector<unsigned>& idx, size_t count) {
    ASSERT_EQ(idx.size() % 3, 0u);
    for (size_t t = 0; t < idx.size(); t += 3) {
        ASSERT_TRUE(idx[t] < count && idx[t + 1] < count && idx[t + 2] < count) << "triangle " << t / 3;
        EXPECT_GT(orient(p[idx[t]], p[idx[t + 1]], p[idx[t + 2]]), 0.0) << "triangle " << t / 3;
    }
}

bool hasEdge(const std::vector<unsigned>& idx, unsigned a, unsigned b) {
    for (size_t t = 0; t < idx.size(); t += 3)
        for (int k = 0; k < 3; ++k) {
            unsigned u = idx[t + k], v = idx[t + (k + 1) % 3];
            if ((u == a && v == b) || (u == b && v == a))
                return true;
        }
    return false;
}

double area(const std::vector<MeshPoint>& p, const std::vector<unsigned>& idx) {
    double sum = 0;
    for (size_t t = 0; t < idx.size(); t += 3)
        sum += orient(p[idx[t]], p[idx[t + 1]], p[idx[t + 2]]) / 2;
    return sum;
}

std::vector<Splat> intSplats(const std::vector<MeshPoint>& p) {
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

// Distinct random integer points: exact in float and double, in general position for all practical purposes.
std::vector<MeshPoint> randomPoints(size_t n, unsigned seed) {
    std::mt19937 g(seed);
    std::uniform_int_distribution<int> u(0, (1 << 20) - 1);
    std::vector<MeshPoint> p;
    while (p.size() < n) {
        MeshPoint m{double(u(g)), double(u(g)), double(u(g) % 100)};
        if (std::none_of(p.begin(), p.end(), [&](auto& q) { return q.x == m.x && q.y == m.y; }))
            p.push_back(m);
    }
    return p;
}

} // namespace

TEST(Triangulation, SmallInputs) {
    std::vector<unsigned> idx;
    EXPECT_TRUE(triangulatePoints({{0, 0, 0}, {4, 1, 0}, {1, 3, 0}}, idx));
    ASSERT_EQ(idx.size(), 3u);
    expectValidTriangles({{0, 0, 0}, {4, 1, 0}, {1, 3, 0}}, idx, 3);

    const std::vector<MeshPoint> square{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
    idx.clear();
    EXPECT_TRUE(triangulatePoints(square, idx));
    EXPECT_EQ(idx.size(), 6u);
    expectValidTriangles(square, idx, 4);
    EXPECT_DOUBLE_EQ(area(square, idx), 1.0);

    // Nothing to triangulate: the list is left exactly as it was.
    for (const std::vector<MeshPoint>& none : std::vector<std::vector<MeshPoint>>{
             {}, {{1, 1, 0}, {2, 2, 0}}, {{0, 0, 0}, {1, 1, 0}, {2, 2, 0}, {5, 5, 0}}, {{3, 3, 0}, {3, 3, 0}, {3, 3, 0}}}) {
        std::vector<unsigned> kept{7, 8, 9};
        EXPECT_TRUE(triangulatePoints(none, kept));
        EXPECT_EQ(kept, (std::vector<unsigned>{7, 8, 9}));
    }
}

TEST(Triangulation, RepeatedPointsAreNeverReferenced) {
    const std::vector<MeshPoint> p{{0, 0, 0}, {2, 0, 0}, {0, 0, 5}, {2, 2, 0}, {2, 0, 1}, {0, 2, 0}, {2, 2, 0}};
    std::vector<unsigned> idx;
    EXPECT_TRUE(triangulatePoints(p, idx));
    EXPECT_EQ(idx.size(), 6u);
    for (unsigned i : idx)
        EXPECT_TRUE(i != 2 && i != 4 && i != 6) << i;
    expectValidTriangles(p, idx, p.size());
}

TEST(Triangulation, RandomPointsAreDelaunay) {
    const auto p = randomPoints(2000, 7);
    std::vector<unsigned> idx;
    ASSERT_TRUE(triangulatePoints(p, idx));
    expectValidTriangles(p, idx, p.size());

    // Empty circumcircles, evaluated exactly on the integer coordinates.
    for (size_t t = 0; t < idx.size(); t += 3) {
        const MeshPoint &a = p[idx[t]], &b = p[idx[t + 1]], &c = p[idx[t + 2]];
        for (const MeshPoint& d : p) {
            const __int128 ax = int64_t(a.x - d.x), ay = int64_t(a.y - d.y), bx = int64_t(b.x - d.x),
                           by = int64_t(b.y - d.y), cx = int64_t(c.x - d.x), cy = int64_t(c.y - d.y);
            const __int128 det = (ax * ax + ay * ay) * (bx * cy - cx * by) - (bx * bx + by * by) * (ax * cy - cx * ay) +
                                 (cx * cx + cy * cy) * (ax * by - bx * ay);
            ASSERT_LE(det, 0) << "point inside the circumcircle of triangle " << t / 3;
        }
    }

    // Euler: a triangulation of n points with h on the hull has 2n - h - 2 triangles.
    std::vector<MeshPoint> s = p, hull;
    std::sort(s.begin(), s.end(), [](auto& u, auto& v) { return u.x < v.x || (u.x == v.x && u.y < v.y); });
    for (int pass = 0; pass < 2; ++pass) {
        const size_t base = hull.size();
        for (auto& q : s) {
            while (hull.size() >= base + 2 && orient(hull[hull.size() - 2], hull.back(), q) <= 0)
                hull.pop_back();
            hull.push_back(q);
        }
        hull.pop_back();
        std::reverse(s.begin(), s.end());
    }
    EXPECT_EQ(idx.size() / 3, 2 * p.size() - hull.size() - 2);
}

TEST(Triangulation, SplatFormsAgreeWithTheCore) {
    const auto p = randomPoints(500, 3);
    std::vector<Splat> ints = intSplats(p), floats;
    for (auto& m : p)
        floats.push_back(makeFloatSplat(float(m.x), float(m.y), float(m.z)));
    auto intPtrs = pointers(ints), floatPtrs = pointers(floats);

    std::vector<unsigned> core, a, b, c, d;
    ASSERT_TRUE(triangulatePoints(p, core));
    EXPECT_TRUE(triangulateSplats(ints, a, false));
    EXPECT_TRUE(triangulateSplats(floats, b, true));
    EXPECT_TRUE(triangulateSplats(intPtrs, c, false));
    EXPECT_TRUE(triangulateSplats(floatPtrs, d, true));
    EXPECT_FALSE(core.empty());
    EXPECT_EQ(a, core);
    EXPECT_EQ(b, core);
    EXPECT_EQ(c, core);
    EXPECT_EQ(d, core);
}

TEST(ConstrainedTriangulation, ConcavePolygonIsTriangulatedInside) {
    // A comb: its notches make edges that the unconstrained triangulation cuts across.
    std::vector<MeshPoint> p{{0, 0, 0}, {100, 0, 0}, {100, 30, 0}};
    for (int k = 4; k >= 0; --k) {
        p.push_back({20.0 * k + 15, 30, 0});
        p.push_back({20.0 * k + 10, 2, 0});
        p.push_back({20.0 * k + 5, 30, 0});
    }
    p.push_back({0, 30, 0});
    const unsigned n = unsigned(p.size());
    std::vector<unsigned> segments;
    for (unsigned i = 0; i < n; ++i)
        segments.insert(segments.end(), {i, (i + 1) % n});
    double polygonArea = 0;
    for (unsigned i = 0; i < n; ++i)
        polygonArea += (p[i].x * p[(i + 1) % n].y - p[(i + 1) % n].x * p[i].y) / 2;

    std::vector<Splat> splats = intSplats(p);
    std::vector<Splat*> ptrs = pointers(splats);
    std::vector<unsigned> forms[3];
    EXPECT_TRUE(triangulatePoints(p, segments, forms[0]));
    EXPECT_TRUE(triangulateSplats(splats, segments, forms[1], false));
    EXPECT_TRUE(triangulateSplats(ptrs, segments, forms[2], false));
    for (auto& idx : forms) {
        EXPECT_EQ(idx.size() / 3, n - 2);
        expectValidTriangles(p, idx, n);
        for (unsigned i = 0; i < n; ++i)
            EXPECT_TRUE(hasEdge(idx, i, (i + 1) % n)) << "segment " << i;
        // n - 2 positive triangles covering exactly the polygon's area lie inside it without overlap.
        EXPECT_NEAR(area(p, idx), polygonArea, 1e-9);
    }
}

TEST(ConstrainedTriangulation, SegmentsInsideAPointCloudStayEdges) {
    auto p = randomPoints(300, 11);
    for (auto& m : p)
        m = {1000 + m.x / 1024, 1000 + m.y / 1024, 0};
    const unsigned c = unsigned(p.size());
    p.insert(p.end(), {{990, 990, 0}, {2030, 990, 0}, {2030, 2030, 0}, {990, 2030, 0}});
    std::vector<unsigned> segments{c, c + 1, c + 1, c + 2, c + 2, c + 3, c + 3, c, 0, 1, 2, 3};
    std::vector<unsigned> idx;
    EXPECT_TRUE(triangulatePoints(p, segments, idx));
    expectValidTriangles(p, idx, p.size());
    for (size_t s = 0; s < segments.size(); s += 2)
        EXPECT_TRUE(hasEdge(idx, segments[s], segments[s + 1])) << segments[s] << "-" << segments[s + 1];
    EXPECT_NEAR(area(p, idx), 1040.0 * 1040.0, 1e-6);
}

TEST(ConstrainedTriangulation, CrossingSegmentsWarnAndNameOnlyInputPoints) {
    const std::vector<MeshPoint> p{{0, 0, 0}, {4, 0, 0}, {4, 4, 0}, {0, 4, 0}, {1, 3, 0}};
    std::vector<unsigned> segments{0, 1, 1, 2, 2, 3, 3, 0, 0, 2, 1, 3};
    std::vector<Splat> splats = intSplats(p);
    std::vector<Splat*> ptrs = pointers(splats);
    const auto check = [&](auto run, bool pointsOut) {
        std::vector<unsigned> idx;
        StdoutCapture out;
        EXPECT_FALSE(run(idx));
        const std::string text = out.take();
        EXPECT_NE(text.find("Warning: Triangulated 5 points into "), std::string::npos) << text;
        EXPECT_NE(text.find(" triangles with 6 points.\nIn points: \n0 0\n4 0\n4 4\n0 4\n1 3\n"), std::string::npos)
            << text;
        EXPECT_EQ(text.find("Out points: \n0 0\n4 0\n4 4\n0 4\n1 3\n2 2\n") != std::string::npos, pointsOut) << text;
        EXPECT_FALSE(idx.empty());
        expectValidTriangles(p, idx, p.size());
    };
    check([&](auto& idx) { return triangulatePoints(p, segments, idx); }, true);
    check([&](auto& idx) { return triangulateSplats(splats, segments, idx, false); }, false); // "N": no nodes out
    check([&](auto& idx) { return triangulateSplats(ptrs, segments, idx, false); }, true);

    std::vector<unsigned> idx, bad{0, 5};
    EXPECT_THROW(triangulatePoints(p, bad, idx), std::invalid_argument);
    triangulateio in, out;
    initTriangulation(in, out, p);
    EXPECT_THROW(triangulate("zBQv", &in, &out, nullptr), std::invalid_argument);
    cleanTriangulation(in, out);
}

TEST(SurfaceTriangulation, DropsTrianglesOfThePointSet) {
    std::vector<Splat> splats = intSplats(randomPoints(200, 5));
    std::vector<unsigned> all;
    triangulateSplats(splats, all, false);
    const size_t total = all.size() / 3;

    std::set<unsigned> none;
    std::vector<unsigned> idx;
    {
        StdoutCapture out;
        createSurfaceTriangulation(splats, none, idx);
        EXPECT_EQ(out.take(), "Generated " + std::to_string(total) + " triangles.\nRemoved 0 triangles out of " +
                                  std::to_string(total) + "\n");
    }
    EXPECT_EQ(idx, all);

    std::set<unsigned> half;
    for (unsigned i = 0; i < 200; i += 2)
        half.insert(i);
    std::vector<unsigned> expected;
    for (size_t t = 0; t < all.size(); t += 3)
        if (!(half.count(all[t]) && half.count(all[t + 1]) && half.count(all[t + 2])))
            expected.insert(expected.end(), all.begin() + t, all.begin() + t + 3);
    ASSERT_LT(expected.size(), all.size());
    idx.clear();
    StdoutCapture out;
    createSurfaceTriangulation(splats, half, idx);
    EXPECT_NE(out.take().find("Removed " + std::to_string(total - expected.size() / 3) + " triangles out of " +
                              std::to_string(total) + "\n"),
              std::string::npos);
    EXPECT_EQ(idx, expected);
}

TEST(SurfaceTriangulation, TrianglesStayWithinOneClass) {
    const auto p = randomPoints(400, 9);
    std::vector<Splat> splats = intSplats(p);
    // Two surfaces side by side, unclassified (0) and negative points scattered through both.
    std::vector<char> classes;
    for (size_t i = 0; i < p.size(); ++i)
        classes.push_back(i % 7 == 0 ? 0 : i % 11 == 0 ? -1 : p[i].x < (1 << 19) ? 1 : 2);
    const auto expectOneClass = [&](const std::vector<unsigned>& idx) {
        EXPECT_FALSE(idx.empty());
        expectValidTriangles(p, idx, p.size());
        for (size_t t = 0; t < idx.size(); t += 3) {
            EXPECT_GT(classes[idx[t]], 0);
            EXPECT_EQ(classes[idx[t]], classes[idx[t + 1]]);
            EXPECT_EQ(classes[idx[t]], classes[idx[t + 2]]);
        }
    };
    std::vector<unsigned> merged, perClass;
    createSurfaceTriangulation(splats, classes, merged);
    expectOneClass(merged);

    StdoutCapture out;
    triangulateSurfaces(splats, classes, perClass);
    const std::string text = out.take();
    expectOneClass(perClass);
    const size_t ones = size_t(std::count(classes.begin(), classes.end(), 1));
    EXPECT_EQ(text.rfind("Triangulating surfaces...\nNumber of classes: 2\nTriangulated " + std::to_string(ones) +
                             " points into ",
                         0),
              0u)
        << text;
    // Class by class in ascending order: class 1's triangles first.
    EXPECT_EQ(classes[perClass.front()], 1);
    EXPECT_EQ(classes[perClass.back()], 2);
}

TEST(MeshPoints, FromRawAreCentredAndScaled) {
    const std::vector<Splat> raw{{INT32_MIN, -10, 100, 0, 0, 1}, {INT32_MAX, 30, 300, 0, 0, 1}, {0, 10, 200, 0, 0, 1}};
    const double scale[3] = {0.5, 0.01, 2};
    double origin[3];
    const auto m = meshPointsFromRaw(raw.data(), raw.size(), scale, origin);
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(origin[0], -0.5);
    EXPECT_EQ(origin[1], 10);
    EXPECT_EQ(origin[2], 200);
    EXPECT_EQ(m[0].x, -1073741823.75);
    EXPECT_EQ(m[1].x, 1073741823.75);
    EXPECT_DOUBLE_EQ(m[0].y, -0.2);
    EXPECT_EQ(m[2].z, 0);
    EXPECT_EQ(meshPointsFromRaw(raw.data(), 1, nullptr)[0].x, 0);
}

TEST(TriangulationSamples, RealLidarTriangulatesCleanly) {
    const auto files = manifestSamples("las");
    if (files.empty())
        GTEST_SKIP() << "no LAS samples under " << PONTARO_DATA_DIR << "/las";
    for (const auto& f : files) {
        std::ifstream in(f.path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        ASSERT_GE(bytes.size(), 227u) << f.path;
        LASHeader h;
        h.copyFromBuffer(reinterpret_cast<const unsigned char*>(bytes.data()));
        const size_t count = std::min<size_t>(h.NumberOfPointRecords, 50000);
        ASSERT_GE(bytes.size(), h.OffsetToPointData + count * h.PointDataRecordLength) << f.path;
        std::vector<Splat> splats(count);
        for (size_t i = 0; i < count; ++i)
            std::memcpy(&splats[i], bytes.data() + h.OffsetToPointData + i * h.PointDataRecordLength, 12);
        const double scale[3] = {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z};
        const auto points = meshPointsFromRaw(splats.data(), count, scale);
        std::vector<unsigned> idx;
        EXPECT_TRUE(triangulatePoints(points, idx)) << f.name;
        EXPECT_GE(idx.size() / 3, count / 2) << f.name;
        expectValidTriangles(points, idx, count);
    }
}
