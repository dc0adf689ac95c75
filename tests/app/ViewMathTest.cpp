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
    Mat4 m{};
    m[0] = float(c / aspect), m[5] = float(c), m[10] = float((f + n) / (n - f)), m[11] = -1;
    m[14] = float(2 * f * n / (n - f));
    return m;
}

struct Vec3 {
    double x, y, z;
    friend Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
    friend Vec3 operator*(double s, Vec3 a) { return {s * a.x, s * a.y, s * a.z}; }
    friend double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
    friend Vec3 cross(Vec3 a, Vec3 b) {
        return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
    }
    friend Vec3 unit(Vec3 a) { return (1.0 / std::sqrt(dot(a, a))) * a; }
};

// The camera gluLookAt builds from (10, -4, 3) towards (2, 5, -1), z up, with its axes kept for mapping view
// coordinates (looking down -z) back to the world.
struct Camera {
    Vec3 eye{10, -4, 3}, forward = unit(Vec3{2, 5, -1} + (-1.0) * eye),
                         side = unit(cross(forward, {0, 0, 1})), up = cross(side, forward);
    Mat4 modelView{};
    Camera() {
        const Vec3 rows[3] = {side, up, -1.0 * forward};
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 4; ++c)
                modelView[4 * c + r] = float(c < 3 ? (&rows[r].x)[c] : -dot(rows[r], eye));
        modelView[15] = 1.0f;
    }
    Vec3 world(double vx, double vy, double vz) const { return eye + vx * side + vy * up + (-vz) * forward; }
} const kCamera;

// Row-major 4 x 4 storage with the row pointers the matrix functions take.
struct Rows {
    float v[4][4]{};
    float* p[4] = {v[0], v[1], v[2], v[3]};
    Rows() = default;
    Rows(const Rows& o) { std::copy(&o.v[0][0], &o.v[0][0] + 16, &v[0][0]); }
};

Rows product(const Mat4& mv, const Mat4& proj) {
    Rows out;
    modelViewProjectionMatrix(mv.data(), proj.data(), out.p);
    return out;
}

std::array<std::array<float, 4>, 6> planes() {
    float f[6][4];
    loadFrustum(f);
    std::array<std::array<float, 4>, 6> out;
    for (int p = 0; p < 6; ++p)
        std::copy(f[p], f[p] + 4, out[size_t(p)].begin());
    return out;
}

// A 90 degree frustum from z = -1 to z = -3 around the -z axis, with `aspect` = 1 exact in single
// precision, so points and corners can lie exactly on a plane.
void extractExact(double aspect = 1.0) {
    extractFrustum(perspective(90.0, aspect, 1.0, 3.0).data(), kIdentity.data());
}

// Planes in the order right, left, bottom, top, far, near, normalised; a point or box on a plane is outside.
TEST(ViewMathFrustum, ExactFrustum) {
    for (double aspect : {2.0, 1.0}) { // the points and boxes below use the last, exact one
        extractExact(aspect);
        const double want[6][4] = {{-1 / aspect, 0, -1, 0}, {1 / aspect, 0, -1, 0}, {0, 1, -1, 0},
                                   {0, -1, -1, 0},          {0, 0, 1, 3},           {0, 0, -1, -1}};
        const auto got = planes();
        for (int p = 0; p < 6; ++p) {
            const double length = std::hypot(want[p][0], want[p][1], want[p][2]);
            for (int k = 0; k < 4; ++k)
                EXPECT_NEAR(got[p][k], want[p][k] / length, 1e-6) << "aspect " << aspect << " plane " << p;
        }
    }
    const struct {
        float x, y, z;
        bool in;
    } points[] = {
        {2, 0, -2, false},     {-2, 0, -2, false},          {0, -2, -2, false},
        {0, 2, -2, false},     {0, 0, -3, false},           {0, 0, -1, false},
        {0, 0, -2, true},      {1.99f, 1.99f, -2, true},    {0, 0, -2.999f, true},
        {0, 0, -1.001f, true}, {3.5f, 1.5f, -3.25f, false},
    };
    for (const auto& c : points)
        EXPECT_EQ(pointInFrustum(c.x, c.y, c.z), c.in) << c.x << "," << c.y << "," << c.z;
    const struct {
        double x0, x1, y0, y1, z0, z1;
        int in;
    } boxes[] = {
        {-0.5, 0.5, -0.5, 0.5, -1.0, 0.0, 0},   // four corners on the near plane, four behind
        {2.0, 3.0, -0.1, 0.1, -2.0, -1.5, 0},   // one corner on the right plane, the rest beyond
        {-9.0, -8.0, -0.5, 0.5, -2.5, -1.5, 0}, // beyond the left plane
        {-0.5, 0.5, -0.5, 0.5, -9.0, -4.0, 0},  // beyond the far plane
        {-0.5, 0.5, -0.5, 0.5, -1.5, -0.5, 1},  // straddling the near plane
        {-0.5, 0.5, -0.5, 0.5, -2.5, -1.5, 1},  // inside
        {1.9, 5.0, -0.1, 0.1, -2.0, -1.9, 1},   // straddling the right plane
        {-100, 100, -100, 100, -100, 100, 1},   // enclosing the frustum
        {3.5, 4.0, 1.5, 3.5, -4.0, 2.5, 1},     // beside a corner: a corner inside each plane
    };
    for (const auto& b : boxes)
        EXPECT_EQ(bBoxInFrustum(b.x0, b.x1, b.y0, b.y1, b.z0, b.z1), b.in)
            << b.x0 << ".." << b.x1 << " " << b.y0 << ".." << b.y1 << " " << b.z0 << ".." << b.z1;
    EXPECT_EQ(cubeInFrustum(0.0f, 0.0f, -2.0f, 0.5f), 1);
    EXPECT_EQ(cubeInFrustum(0.0f, 0.0f, -0.5f, 0.5f), 0); // on or behind the near plane
    EXPECT_EQ(cubeInFrustum(0.0f, 0.0f, -1.0f, 0.5f), 1);
    EXPECT_EQ(cubeInFrustum(10.0f, 0.0f, -2.0f, 1.0f), 0);
    // Both end points outside, on different sides: the segment is reported.
    EXPECT_EQ(edgeInFrustum(-5.0, 0.0, -2.0, 5.0, 0.0, -2.0), 1);
    EXPECT_EQ(edgeInFrustum(2.0, 0.0, -2.0, 5.0, 0.0, -2.0), 0);
    EXPECT_EQ(quadInFrustum(-5, -5, -2, 5, -5, -2, 5, 5, -2, -5, 5, -2), 1);
    EXPECT_EQ(quadInFrustum(2, -1, -2, 3, -1, -2, 3, 1, -2, 2, 1, -2), 0);
}

TEST(ViewMathFrustum, LookAtFromAnAngle) {
    extractFrustum(perspective(60.0, 1.5, 1.0, 100.0).data(), kCamera.modelView.data());
    const double h = 20 * std::tan(30.0 * kPi / 180.0), w = 1.5 * h; // half extents at distance 20
    const struct {
        double x, y, z;
        bool in;
    } cases[] = {
        {0, 0, -50, true},         {0.95 * w, 0, -20, true},   {1.05 * w, 0, -20, false},
        {-0.95 * w, 0, -20, true}, {-1.05 * w, 0, -20, false}, {0, 0.95 * h, -20, true},
        {0, 1.05 * h, -20, false}, {0, -1.05 * h, -20, false}, {0, 0, -0.5, false},
        {0, 0, -101, false},       {0, 0, -99, true},
    };
    for (const auto& c : cases) {
        const Vec3 p = kCamera.world(c.x, c.y, c.z);
        EXPECT_EQ(pointInFrustum(float(p.x), float(p.y), float(p.z)), c.in)
            << c.x << "," << c.y << "," << c.z;
    }
    const Vec3 b = kCamera.world(0, 0, 20); // behind the camera
    EXPECT_EQ(bBoxInFrustum(b.x - 1, b.x + 1, b.y - 1, b.y + 1, b.z - 1, b.z + 1), 0);
}

// A degenerate or non-finite matrix keeps the planes it cannot normalise.
TEST(ViewMathFrustum, DegenerateMatrixKeepsThePreviousPlanes) {
    extractExact();
    const auto before = planes();
    // Row 0 of the clip matrix equal to row 3: right = row 3 - row 0 vanishes, left = 2 * row 3.
    Mat4 degenerate = perspective(90.0, 1.0, 1.0, 3.0);
    degenerate[0] = 0.0f;
    degenerate[8] = -1.0f;
    extractFrustum(degenerate.data(), kIdentity.data());
    EXPECT_EQ(planes()[FrustumRight], before[FrustumRight]);
    EXPECT_EQ(planes()[FrustumLeft], (std::array<float, 4>{0, 0, -1, 0}));
    extractExact();
    Mat4 broken;
    broken.fill(kNaN);
    extractFrustum(broken.data(), kIdentity.data());
    EXPECT_EQ(planes(), before);
}

Rows rows(std::initializer_list<std::initializer_list<float>> values) {
    Rows r;
    int i = 0;
    for (const auto& row : values)
        std::copy(row.begin(), row.end(), r.v[i++]);
    return r;
}

TEST(ViewMathMatrices, ProductAndDeterminants) {
    Mat4 mv = kIdentity;
    mv[12] = 1, mv[13] = 2, mv[14] = -5;
    const Rows out = product(mv, perspective(90.0, 1.0, 1.0, 3.0));
    const Rows expected = rows({{1, 0, 0, 1}, {0, 1, 0, 2}, {0, 0, -2, 7}, {0, 0, -1, 5}});
    EXPECT_TRUE(std::equal(&out.v[0][0], &out.v[0][0] + 16, &expected.v[0][0]));
    std::pair<Rows, double> determinants[] = {
        {rows({{-3.5f}}), -3.5},
        {rows({{3, 8}, {4, 6}}), -14.0},
        {rows({{2, -3, 1}, {2, 0, -1}, {1, 4, 5}}), 49.0},
        {rows({{1, 0, 2, -1}, {3, 0, 0, 5}, {2, 1, 4, -3}, {1, 0, 5, 0}}), 30.0},
    };
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(calcDeterminant(determinants[n - 1].first.p, n), determinants[n - 1].second);
}

// A matrix that is not symmetric (its inverse is the transposed cofactors), in place too, and the
// inverse of a view's model-view-projection.
TEST(ViewMathMatrices, InverseOfKnownAndViewMatrices) {
    Rows m = rows({{1, 2, 3}, {0, 1, 4}, {5, 6, 0}}), inv;
    const Rows expected = rows({{-24, 18, 5}, {20, -15, -4}, {-5, 4, 1}});
    matrixInversion(m.p, 3, inv.p);
    matrixInversion(m.p, 3, m.p);
    for (const Rows* r : {&inv, &m})
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                EXPECT_EQ(r->v[i][j], expected.v[i][j]) << i << "," << j << (r == &m ? " in place" : "");

    const Mat4 proj = perspective(60.0, 1.5, 1.0, 100.0);
    const Rows mvp = product(kCamera.modelView, proj);
    Rows mvpInv;
    modelViewProjectionInverse(kCamera.modelView.data(), proj.data(), mvpInv.p);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k)
                sum += double(mvp.v[i][k]) * mvpInv.v[k][j];
            EXPECT_NEAR(sum, i == j ? 1.0 : 0.0, 1e-4) << i << "," << j;
        }
}

// Singular or non-finite matrices leave the output as it was.
TEST(ViewMathMatrices, SingularOrNonFiniteInversionLeavesOutputUnchanged) {
    const auto untouched = [](const Rows& r) {
        return std::all_of(&r.v[0][0], &r.v[0][0] + 16, [](float v) { return v == 7.0f; });
    };
    for (float corner : {1.0f, kNaN, std::numeric_limits<float>::infinity()}) {
        Rows in = rows({{corner, 2}, {2, corner == 1.0f ? 4.0f : 1.0f}}), out;
        std::fill(&out.v[0][0], &out.v[0][0] + 16, 7.0f);
        matrixInversion(in.p, 2, out.p);
        EXPECT_TRUE(untouched(out)) << corner;
    }
    Rows out;
    std::fill(&out.v[0][0], &out.v[0][0] + 16, 7.0f);
    const Mat4 zero{};
    modelViewProjectionInverse(zero.data(), perspective(60.0, 1.0, 1.0, 10.0).data(), out.p);
    EXPECT_TRUE(untouched(out));
}

TEST(ViewMathProjection, StoredMatrixProjectsToTheScreen) {
    const Rows m = product(kCamera.modelView, perspective(90.0, 1.0, 1.0, 100.0));
    float columnMajor[16], back[16];
    for (int i = 0; i < 16; ++i)
        columnMajor[i] = m.v[i % 4][i / 4];
    storeModelViewProjMatrix(columnMajor);
    loadModelViewProjMatrix(back);
    EXPECT_TRUE(std::equal(back, back + 16, columnMajor));
    float sx = 9.0f, sy = 9.0f;
    projectToScreen(2.0, 5.0, -1.0, &sx, &sy); // on the view axis
    EXPECT_NEAR(sx, 0.0f, 1e-5);
    EXPECT_NEAR(sy, 0.0f, 1e-5);
    // With a 90 degree square view, x = -z / 2 in view space is halfway to the right edge.
    const Vec3 p = kCamera.world(1.0, 0.5, -2.0);
    projectToScreen(p.x, p.y, p.z, &sx, &sy);
    EXPECT_NEAR(sx, 0.5f, 1e-5);
    EXPECT_NEAR(sy, 0.25f, 1e-5);
}

// Distances, the clock difference, and float splats whose coordinates share the integer words.
TEST(ViewMathMisc, DistancesClockAndFloatSplats) {
    EXPECT_EQ(dist(GLVector3d{1, 2, 3}, GLVector3d{4, 6, 15}), 13.0);
    EXPECT_EQ(dist(GLVector3f{1, 2, 3}, GLVector3f{4, 6, 15}), 13.0f);
    EXPECT_EQ(diffclock(2500000, 500000), 2000.0);
    EXPECT_EQ(diffclock(500, 1500), -1.0);
    const Splat f = makeFloatSplat(1.5f, -3.25f, 1e30f, 0.0f, 0.0f, 1.0f);
    EXPECT_TRUE(f.fx() == 1.5f && f.fy() == -3.25f && f.fz() == 1e30f && f.nz == 1.0f);
    EXPECT_EQ(f.x, 0x3FC00000); // IEEE 754 single 1.5
}

TEST(ViewMathAngles, BetweenNormalsClampedAndZeroSafe) {
    // For `r` the rounded cosine with itself is 1 + 2^-52, with its negation -1 - 2^-52.
    const GLVector3f r{-9.597493171691895f, -1.4571647644042969f, -1.6960538625717163f};
    const struct {
        GLVector3f a, b;
        double angle, tolerance;
    } cases[] = {{{1, 2, 3}, {1, 2, 3}, 0, 1e-7},
                 {{1, 2, 3}, {2, 4, 6}, 0, 1e-7},
                 {{1, 2, 3}, {-1, -2, -3}, kPi, 1e-7},
                 {{1, 0, 0}, {0, 5, 0}, kPi / 2, 1e-12},
                 {{1, 0, 0}, {-1, 1e-4f, 0}, kPi - 1e-4, 1e-7},
                 {r, r, 0, 1e-7},
                 {r, {-r.x, -r.y, -r.z}, kPi, 1e-7},
                 {{1, 2, 3}, {0, 0, 0}, 0, 0},
                 {{0, 0, 0}, {0, 0, 0}, 0, 0}};
    for (const auto& c : cases)
        EXPECT_NEAR(angleBetweenNormals(&c.a, &c.b), c.angle, c.tolerance)
            << c.a.x << "," << c.a.y << "," << c.a.z << " vs " << c.b.x << "," << c.b.y << "," << c.b.z;
}

// z is ignored, a zero-length line makes 0, differences of 2^32 - 1 overflow 32 bits.
TEST(ViewMathAngles, BetweenLines) {
    const Splat o{0, 0, 0, 0, 0, 1}, east{10, 0, 500, 0, 0, 1}, north{0, 7, -300, 0, 0, 1};
    const Splat west{-4, 0, 0, 0, 0, 1}, northEast{3, 3, 99, 0, 0, 1}, unit{1, 0, 0, 0, 0, 1};
    const Splat lowLow{INT_MIN, INT_MIN, 0, 0, 0, 1}, highHigh{INT_MAX, INT_MAX, 0, 0, 0, 1};
    const Splat highLow{INT_MAX, INT_MIN, 0, 0, 0, 1}, lowHigh{INT_MIN, INT_MAX, 0, 0, 0, 1};
    const Splat left{INT_MIN, 0, 0, 0, 0, 1}, right{INT_MAX, 0, 0, 0, 0, 1};
    const struct {
        const Splat *p0, *p1, *q0, *q1;
        double angle;
    } cases[] = {{&o, &east, &o, &north, kPi / 2},
                 {&o, &east, &o, &west, kPi},
                 {&o, &east, &o, &northEast, kPi / 4},
                 {&east, &o, &o, &west, 0},
                 {&o, &east, &o, &o, 0},
                 {&lowLow, &highHigh, &highLow, &lowHigh, kPi / 2},
                 {&left, &right, &o, &unit, 0},
                 {&right, &left, &o, &unit, kPi}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        EXPECT_NEAR(angleBetweenLinesInt(c.p0, c.p1, c.q0, c.q1), c.angle, 1e-12) << "case " << i;
    }

    const Splat fo = makeFloatSplat(0.5f, 0.5f, 0), fd = makeFloatSplat(1.5f, 1.5f, 0),
                fe = makeFloatSplat(2.5f, 0.5f, 9);
    EXPECT_NEAR(angleBetweenLinesFloat(fo, fd, fo, fe), kPi / 4, 1e-7);
    EXPECT_NEAR(angleBetweenLinesFloat(fo, fe, fe, fo), kPi, 1e-7);
    EXPECT_EQ(angleBetweenLinesFloat(fo, fd, fo, fo), 0.0);
}

Splat s(float x, float y) {
    return makeFloatSplat(x, y, 0);
}

// From (1, 0) counter-clockwise to (0, 1), the rays included; from (0, 1) to (1, 0) sweeps three quarters;
// both rays the same way: the ray itself counts, nothing beside it.
TEST(ViewMathSweep, VectorBetweenCCWvectors) {
    const Splat o = makeFloatSplat(10, 20, 0);
    auto at = [](float x, float y) { return makeFloatSplat(10 + x, 20 + y, 0); };
    const Splat a = at(1, 0), b = at(0, 1), same = at(3, 0);
    const struct {
        Splat p, from, to;
        bool between;
    } cases[] = {{at(1, 1), a, b, true},     {at(1, -1), a, b, false},
                 {at(-1, -1), a, b, false},  {a, a, b, true},
                 {at(2, 0), a, b, true},     {at(0, 3), a, b, true},
                 {at(-1, -1), b, a, true},   {at(-1, 1), b, a, true},
                 {at(1, 1), b, a, false},    {at(2, 0), a, same, true},
                 {a, a, same, true},         {at(1, 1), a, same, false},
                 {at(1, -1), a, same, false}};
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(vectorBetweenCCWvectors(o, cases[i].p, cases[i].from, cases[i].to), cases[i].between)
            << "case " << i;
}

TEST(ViewMathSegments, PointOnLineExcludesEndPoints) {
    const Splat a = s(0, 0), b = s(2, 2), v0 = s(1, 0), v1 = s(1, 4);
    EXPECT_TRUE(pointOnLineFloat(a, b, s(1, 1)));
    EXPECT_TRUE(pointOnLineFloat(b, a, s(1, 1)));
    EXPECT_TRUE(pointOnLineFloat(v0, v1, s(1, 2)));
    for (const Splat& p : {a, b, s(3, 3), s(-1, -1)})
        EXPECT_FALSE(pointOnLineFloat(a, b, p));
    EXPECT_FALSE(pointOnLineFloat(v0, v1, v1));
    EXPECT_FALSE(pointOnLineFloat(v0, v1, s(1, 5)));
    EXPECT_FALSE(pointOnLineFloat(v0, v0, v0));
}

TEST(ViewMathSegments, LinesCross) {
    const struct {
        Splat a, b, c, d;
        bool cross;
    } cases[] = {
        {s(0, 0), s(2, 2), s(0, 2), s(2, 0), true},  // X
        {s(0, 0), s(1, 1), s(1, 1), s(2, 0), false}, // shared end point
        {s(0, 0), s(1, 1), s(2, 0), s(1, 1), false},
        {s(0, 0), s(2, 2), s(0, 0), s(2, 2), false}, // identical
        {s(0, 0), s(2, 2), s(2, 2), s(0, 0), false},
        {s(0, 0), s(2, 0), s(1, 0), s(3, 0), true}, // collinear overlap
        {s(1, 0), s(3, 0), s(0, 0), s(2, 0), true},
        {s(0, 0), s(4, 0), s(1, 0), s(2, 0), true},
        {s(1, 0), s(2, 0), s(0, 0), s(3, 0), true},   // ab within cd
        {s(0, 0), s(1, 0), s(2, 0), s(3, 0), false},  // collinear apart
        {s(0, 0), s(1, 0), s(1, 0), s(3, 0), false},  // collinear, touching
        {s(0, 0), s(2, 0), s(1, 0), s(1, 2), true},   // T: c inside ab
        {s(0, 0), s(2, 0), s(1, 2), s(1, 0), true},   // T: d inside ab
        {s(1, 0), s(1, 2), s(0, 0), s(2, 0), true},   // T: a inside cd
        {s(1, 2), s(1, 0), s(0, 0), s(2, 0), true},   // T: b inside cd
        {s(0, 0), s(2, 0), s(0, 1), s(2, 1), false},  // parallel
        {s(0, 0), s(1, 0), s(2, -1), s(2, 1), false}, // lines cross, segments not
        {s(0, 0), s(2, 0), s(3, 0), s(3, 2), false},  // T beyond the end
        // Long, nearly parallel: cross products near 2^48 that single precision rounds to the wrong sign.
        {s(1, 3), s(16777211, 16777209), s(3, 4), s(16777213, 16777211), true},
        {s(1, 5), s(16777215, 16777211), s(5, 4), s(16777209, 16777205), false},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(linesCrossFloat(c.a, c.b, c.c, c.d), c.cross) << "case " << i;
    }
}

} // namespace
