// Matrices, frustum planes and visibility, projection, distances, angles and segment tests of the view.
#include "ViewMath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <limits>
#include <numbers>

namespace {

using Mat4 = std::array<float, 16>; // column-major
constexpr double kPi = std::numbers::pi;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
const Mat4 kIdentity{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

// The projection gluPerspective builds.
Mat4 perspective(double fovyDegrees, double aspect, double n, double f) {
    const double c = 1.0 / std::tan(fovyDegrees * kPi / 360.0);
    return {float(c / aspect),          0, 0, 0, 0, float(c), 0, 0, 0, 0, float((f + n) / (n - f)), -1, 0, 0,
            float(2 * f * n / (n - f)), 0};
}

// Moves the world by (1, 2, -5): the view sees (x, y, z) at (x + 1, y + 2, z - 5).
Mat4 shift() {
    Mat4 m = kIdentity;
    m[12] = 1, m[13] = 2, m[14] = -5;
    return m;
}

// Row-major 4 x 4 storage with the row pointers the matrix functions take.
struct Rows {
    float v[4][4]{};
    float* p[4] = {v[0], v[1], v[2], v[3]};
    Rows(std::initializer_list<std::initializer_list<float>> values = {}) {
        int i = 0;
        for (const auto& row : values)
            std::copy(row.begin(), row.end(), v[i++]);
    }
    Rows(const Rows& o) { std::copy(&o.v[0][0], &o.v[0][0] + 16, &v[0][0]); }
    float* begin() { return &v[0][0]; }
    float* end() { return &v[0][0] + 16; }
};

Rows product(const Mat4& mv, const Mat4& proj) {
    Rows out;
    modelViewProjectionMatrix(mv.data(), proj.data(), out.p);
    return out;
}

struct Planes {
    float f[6][4];
    bool operator==(const Planes&) const = default;
};
Planes planes() {
    Planes p;
    loadFrustum(p.f);
    return p;
}

// A 90 degree frustum from z = -1 to z = -3 around the -z axis; with `aspect` = 1 exact in single
// precision, so points and corners can lie exactly on a plane.
void extractExact(double aspect = 1.0) {
    extractFrustum(perspective(90.0, aspect, 1.0, 3.0).data(), kIdentity.data());
}

// Planes in the order right, left, bottom, top, far, near, normalised; a point or box on a plane is outside.
TEST(ViewMathFrustum, PlanesAndVisibility) {
    for (double a : {2.0, 1.0}) { // the points and boxes below use the last, exact one
        extractExact(a);
        const double want[6][4] = {{-1 / a, 0, -1, 0}, {1 / a, 0, -1, 0}, {0, 1, -1, 0},
                                   {0, -1, -1, 0},     {0, 0, 1, 3},      {0, 0, -1, -1}};
        const Planes got = planes();
        for (int p = 0; p < 6; ++p)
            for (int k = 0; k < 4; ++k)
                EXPECT_NEAR(got.f[p][k], want[p][k] / std::hypot(want[p][0], want[p][1], want[p][2]), 1e-6)
                    << "aspect " << a << " plane " << p;
    }
    // clang-format off
    const struct { float x, y, z; bool in; } points[] = {
        {2, 0, -2, false}, {-2, 0, -2, false}, {0, -2, -2, false}, {0, 2, -2, false}, {0, 0, -3, false},
        {0, 0, -1, false}, {0, 0, -2, true}, {1.99f, 1.99f, -2, true}, {0, 0, -2.999f, true},
        {0, 0, -1.001f, true}, {3.5f, 1.5f, -3.25f, false}};
    const struct { double x0, x1, y0, y1, z0, z1; int in; } boxes[] = {
        {-0.5, 0.5, -0.5, 0.5, -1.0, 0.0, 0},   // four corners on the near plane, four behind
        {2.0, 3.0, -0.1, 0.1, -2.0, -1.5, 0},   // one corner on the right plane, the rest beyond
        {-0.5, 0.5, -0.5, 0.5, -1.5, -0.5, 1},  // straddling the near plane
        {-0.5, 0.5, -0.5, 0.5, -2.5, -1.5, 1},  // inside
        {1.9, 5.0, -0.1, 0.1, -2.0, -1.9, 1},   // straddling the right plane
        {-100, 100, -100, 100, -100, 100, 1},   // enclosing the frustum
        {3.5, 4.0, 1.5, 3.5, -4.0, 2.5, 1}};    // beside a corner: a corner inside each plane
    // clang-format on
    for (const auto& c : points)
        EXPECT_EQ(pointInFrustum(c.x, c.y, c.z), c.in) << c.x << "," << c.y << "," << c.z;
    for (const auto& b : boxes)
        EXPECT_EQ(bBoxInFrustum(b.x0, b.x1, b.y0, b.y1, b.z0, b.z1), b.in)
            << b.x0 << " " << b.y0 << " " << b.z0;
    EXPECT_EQ(cubeInFrustum(0.0f, 0.0f, -2.0f, 0.5f), 1);
    EXPECT_EQ(cubeInFrustum(0.0f, 0.0f, -0.5f, 0.5f), 0);         // on or behind the near plane
    EXPECT_EQ(edgeInFrustum(-5.0, 0.0, -2.0, 5.0, 0.0, -2.0), 1); // ends outside on different sides
    EXPECT_EQ(edgeInFrustum(2.0, 0.0, -2.0, 5.0, 0.0, -2.0), 0);
    EXPECT_EQ(quadInFrustum(-5, -5, -2, 5, -5, -2, 5, 5, -2, -5, 5, -2), 1);
    EXPECT_EQ(quadInFrustum(2, -1, -2, 3, -1, -2, 3, 1, -2, 2, 1, -2), 0);
    // A degenerate or non-finite matrix keeps the planes it cannot normalise.
    extractExact();
    const Planes before = planes();
    // Row 0 of the clip matrix equal to row 3: right = row 3 - row 0 vanishes, left = 2 * row 3.
    Mat4 degenerate = perspective(90.0, 1.0, 1.0, 3.0);
    degenerate[0] = 0.0f, degenerate[8] = -1.0f;
    extractFrustum(degenerate.data(), kIdentity.data());
    const float left[4] = {0, 0, -1, 0};
    EXPECT_TRUE(std::equal(before.f[FrustumRight], before.f[FrustumRight] + 4, planes().f[FrustumRight]));
    EXPECT_TRUE(std::equal(left, left + 4, planes().f[FrustumLeft]));
    extractExact();
    Mat4 broken;
    broken.fill(kNaN);
    extractFrustum(broken.data(), kIdentity.data());
    EXPECT_TRUE(planes() == before);
}

TEST(ViewMathMatrices, ProductDeterminantsAndInverse) {
    Rows got = product(shift(), perspective(90.0, 1.0, 1.0, 3.0)),
         want{{1, 0, 0, 1}, {0, 1, 0, 2}, {0, 0, -2, 7}, {0, 0, -1, 5}};
    EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin()));
    // clang-format off
    std::pair<Rows, double> determinants[] = {{{{-3.5f}}, -3.5}, {{{3, 8}, {4, 6}}, -14.0},
        {{{2, -3, 1}, {2, 0, -1}, {1, 4, 5}}, 49.0}, {{{1, 0, 2, -1}, {3, 0, 0, 5}, {2, 1, 4, -3}, {1, 0, 5, 0}}, 30.0}};
    // clang-format on
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(calcDeterminant(determinants[n - 1].first.p, n), determinants[n - 1].second);
    // A matrix that is not symmetric (its inverse is the transposed cofactors), in place too; singular or
    // non-finite matrices leave the output as it was.
    Rows m{{1, 2, 3}, {0, 1, 4}, {5, 6, 0}}, inv, expected{{-24, 18, 5}, {20, -15, -4}, {-5, 4, 1}};
    matrixInversion(m.p, 3, inv.p);
    matrixInversion(m.p, 3, m.p);
    EXPECT_TRUE(std::equal(inv.begin(), inv.end(), expected.begin()));
    EXPECT_TRUE(std::equal(m.begin(), m.end(), expected.begin())) << "in place";
    const Mat4 proj = perspective(60.0, 1.5, 1.0, 100.0);
    for (float corner : {1.0f, kNaN, std::numeric_limits<float>::infinity(), 0.0f}) {
        Rows in{{corner, 2}, {2, corner == 1.0f ? 4.0f : 1.0f}}, out;
        std::fill(out.begin(), out.end(), 7.0f);
        if (corner == 0.0f) // a zero model-view
            modelViewProjectionInverse(Mat4{}.data(), proj.data(), out.p);
        else
            matrixInversion(in.p, 2, out.p);
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == 7.0f; })) << corner;
    }
}

// The stored matrix projects to the screen; distances and the clock difference.
TEST(ViewMathProjection, ScreenDistancesAndClock) {
    const Rows m = product(shift(), perspective(90.0, 1.0, 1.0, 100.0));
    float columnMajor[16];
    for (int i = 0; i < 16; ++i)
        columnMajor[i] = m.v[i % 4][i / 4];
    storeModelViewProjMatrix(columnMajor);
    // On the view axis, and with a 90 degree square view x = -z / 2 in view space is halfway to the right.
    const std::array<double, 5> cases[] = {{-1, -2, 3, 0, 0}, {0, -1.5, 3, 0.5, 0.25}};
    for (const auto& c : cases) {
        float sx = 9.0f, sy = 9.0f;
        projectToScreen(c[0], c[1], c[2], &sx, &sy);
        EXPECT_NEAR(sx, c[3], 1e-5);
        EXPECT_NEAR(sy, c[4], 1e-5);
    }
    EXPECT_EQ(diffclock(2500000, 500000), 2000.0);
    EXPECT_EQ(diffclock(500, 1500), -1.0);
}

// Clamped and zero-safe: for `r` the rounded cosine with itself is 1 + 2^-52, with its negation -1 - 2^-52.
TEST(ViewMathAngles, BetweenNormalsAndLines) {
    const GLVector3f r{-9.597493171691895f, -1.4571647644042969f, -1.6960538625717163f}, mr{-r.x, -r.y, -r.z};
    // clang-format off
    const struct { GLVector3f a, b; double angle, tolerance; } cases[] = {
        {{1, 0, 0}, {0, 5, 0}, kPi / 2, 1e-12}, {{1, 0, 0}, {-1, 1e-4f, 0}, kPi - 1e-4, 1e-7},
        {r, r, 0, 1e-7}, {r, mr, kPi, 1e-7}, {{1, 2, 3}, {0, 0, 0}, 0, 0}};
    // clang-format on
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_NEAR(angleBetweenNormals(&cases[i].a, &cases[i].b), cases[i].angle, cases[i].tolerance) << i;
    // Between lines z is ignored, a zero-length line makes 0, differences of 2^32 - 1 overflow 32 bits.
    const auto at = [](int x, int y, int z = 0) { return Splat{x, y, z, 0, 0, 1}; };
    // clang-format off
    const struct { Splat p0, p1, q0, q1; double angle; } lines[] = {
        {at(0, 0), at(10, 0, 500), at(0, 0), at(3, 3, 99), kPi / 4}, {at(0, 0), at(10, 0, 500), at(0, 0), at(0, 0), 0},
        {at(INT_MIN, INT_MIN), at(INT_MAX, INT_MAX), at(INT_MAX, INT_MIN), at(INT_MIN, INT_MAX), kPi / 2},
        {at(INT_MIN, 0), at(INT_MAX, 0), at(0, 0), at(1, 0), 0}, {at(INT_MAX, 0), at(INT_MIN, 0), at(0, 0), at(1, 0), kPi}};
    // clang-format on
    for (size_t i = 0; i < std::size(lines); ++i) {
        const auto& c = lines[i];
        EXPECT_NEAR(angleBetweenLinesInt(&c.p0, &c.p1, &c.q0, &c.q1), c.angle, 1e-12) << "line " << i;
    }
    const Splat fo = makeFloatSplat(0.5f, 0.5f, 0), fd = makeFloatSplat(1.5f, 1.5f, 0),
                fe = makeFloatSplat(2.5f, 0.5f, 9);
    EXPECT_NEAR(angleBetweenLinesFloat(fo, fd, fo, fe), kPi / 4, 1e-7);
    EXPECT_EQ(angleBetweenLinesFloat(fo, fd, fo, fo), 0.0);
}

Splat s(float x, float y) {
    return makeFloatSplat(x, y, 0);
}

// From (1, 0) counter-clockwise to (0, 1), the rays included; from (0, 1) to (1, 0) sweeps three quarters;
// both rays the same way: the ray itself counts, nothing beside it.
TEST(ViewMathSegments, SweepPointOnLineAndLinesCross) {
    const auto at = [](float x, float y) { return s(10 + x, 20 + y); };
    const Splat a = at(1, 0), b = at(0, 1), same = at(3, 0);
    // clang-format off
    const struct { Splat p, from, to; bool between; } cases[] = {
        {at(1, 1), a, b, true}, {at(1, -1), a, b, false}, {at(2, 0), a, b, true}, {at(0, 3), a, b, true},
        {at(-1, -1), b, a, true}, {at(1, 1), b, a, false}, {at(2, 0), a, same, true}, {at(1, 1), a, same, false}};
    // clang-format on
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(vectorBetweenCCWvectors(s(10, 20), cases[i].p, cases[i].from, cases[i].to),
                  cases[i].between)
            << "case " << i;
    // pointOnLineFloat excludes the end points; linesCrossFloat counts overlaps and T's but not shared ends.
    // clang-format off
    const struct { Splat a, b, p; bool on; } points[] = {
        {s(0, 0), s(2, 2), s(1, 1), true}, {s(1, 0), s(1, 4), s(1, 2), true}, {s(0, 0), s(2, 2), s(0, 0), false},
        {s(0, 0), s(2, 2), s(2, 2), false}, {s(0, 0), s(2, 2), s(3, 3), false}, {s(1, 0), s(1, 0), s(1, 0), false}};
    const struct { Splat a, b, c, d; bool cross; } lines[] = {
        {s(0, 0), s(2, 2), s(0, 2), s(2, 0), true}, {s(0, 0), s(2, 0), s(0, 1), s(2, 1), false}, // X, parallel
        {s(0, 0), s(1, 1), s(1, 1), s(2, 0), false}, {s(0, 0), s(1, 1), s(2, 0), s(1, 1), false}, // shared end
        {s(0, 0), s(2, 2), s(0, 0), s(2, 2), false},                                              // identical
        {s(0, 0), s(2, 0), s(1, 0), s(3, 0), true}, {s(1, 0), s(3, 0), s(0, 0), s(2, 0), true},   // overlap
        {s(0, 0), s(1, 0), s(2, 0), s(3, 0), false}, {s(0, 0), s(1, 0), s(1, 0), s(3, 0), false}, // apart, touching
        {s(0, 0), s(2, 0), s(1, 0), s(1, 2), true}, {s(0, 0), s(2, 0), s(1, 2), s(1, 0), true},   // T: c or d in ab
        {s(1, 0), s(1, 2), s(0, 0), s(2, 0), true},                                               // T: a in cd
        {s(0, 0), s(1, 0), s(2, -1), s(2, 1), false}, {s(0, 0), s(2, 0), s(3, 0), s(3, 2), false}, // beyond an end
        // Long, nearly parallel: cross products near 2^48 that single precision rounds to the wrong sign.
        {s(1, 3), s(16777211, 16777209), s(3, 4), s(16777213, 16777211), true},
        {s(1, 5), s(16777215, 16777211), s(5, 4), s(16777209, 16777205), false}};
    // clang-format on
    for (size_t i = 0; i < std::size(points); ++i)
        EXPECT_EQ(pointOnLineFloat(points[i].a, points[i].b, points[i].p), points[i].on) << "point " << i;
    for (size_t i = 0; i < std::size(lines); ++i)
        EXPECT_EQ(linesCrossFloat(lines[i].a, lines[i].b, lines[i].c, lines[i].d), lines[i].cross)
            << "line " << i;
}

} // namespace
