#include "ViewMath.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <limits>
#include <numbers>

namespace {

using Mat4 = std::array<float, 16>; // column-major

constexpr double kPi = std::numbers::pi;

// The projection gluPerspective builds.
Mat4 perspective(double fovyDegrees, double aspect, double zNear, double zFar) {
    const double f = 1.0 / std::tan(fovyDegrees * kPi / 360.0);
    Mat4 m{};
    m[0] = static_cast<float>(f / aspect);
    m[5] = static_cast<float>(f);
    m[10] = static_cast<float>((zFar + zNear) / (zNear - zFar));
    m[11] = -1.0f;
    m[14] = static_cast<float>(2.0 * zFar * zNear / (zNear - zFar));
    return m;
}

struct Vec3 {
    double x, y, z;
};

Vec3 operator-(Vec3 a, Vec3 b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
Vec3 operator+(Vec3 a, Vec3 b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Vec3 operator*(double s, Vec3 a) {
    return {s * a.x, s * a.y, s * a.z};
}
double dot(Vec3 a, Vec3 b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec3 cross(Vec3 a, Vec3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
Vec3 normalize(Vec3 a) {
    return (1.0 / std::sqrt(dot(a, a))) * a;
}

// The camera gluLookAt builds, with its axes kept for mapping view coordinates back to the world.
struct Camera {
    Vec3 eye, side, up, forward;
    Mat4 modelView{};

    Camera(Vec3 eyeAt, Vec3 center, Vec3 upHint) : eye(eyeAt) {
        forward = normalize(center - eye);
        side = normalize(cross(forward, upHint));
        up = cross(side, forward);
        const Vec3 rows[3] = {side, up, -1.0 * forward};
        for (int r = 0; r < 3; ++r) {
            modelView[0 + r] = static_cast<float>(rows[r].x);
            modelView[4 + r] = static_cast<float>(rows[r].y);
            modelView[8 + r] = static_cast<float>(rows[r].z);
            modelView[12 + r] = static_cast<float>(-dot(rows[r], eye));
        }
        modelView[15] = 1.0f;
    }
    // World position of a point given in view coordinates (the camera looks down -z).
    Vec3 world(double vx, double vy, double vz) const { return eye + vx * side + vy * up + (-vz) * forward; }
};

Mat4 identity() {
    Mat4 m{};
    m[0] = m[5] = m[10] = m[15] = 1.0f;
    return m;
}

Mat4 translation(float x, float y, float z) {
    Mat4 m = identity();
    m[12] = x;
    m[13] = y;
    m[14] = z;
    return m;
}

// Row-major 4 x 4 storage with the row pointers the matrix functions take.
struct Rows {
    float v[4][4]{};
    float* p[4] = {v[0], v[1], v[2], v[3]};
};

Rows product(const Mat4& mv, const Mat4& proj) {
    Rows out;
    modelViewProjectionMatrix(mv.data(), proj.data(), out.p);
    return out;
}

bool inside(Vec3 p) {
    return pointInFrustum(static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z));
}

std::array<float, 4> plane(int index) {
    return {frustum[index][0].load(), frustum[index][1].load(), frustum[index][2].load(),
            frustum[index][3].load()};
}

void expectPlane(int index, double a, double b, double c, double d) {
    const double length = std::sqrt(a * a + b * b + c * c);
    const auto got = plane(index);
    EXPECT_NEAR(got[0], a / length, 1e-6) << "plane " << index;
    EXPECT_NEAR(got[1], b / length, 1e-6) << "plane " << index;
    EXPECT_NEAR(got[2], c / length, 1e-6) << "plane " << index;
    EXPECT_NEAR(got[3], d / length, 1e-6) << "plane " << index;
}

// A 90 degree square frustum from z = -1 to z = -3 around the -z axis. Its coefficients are exact in
// single precision, so points and corners can lie exactly on a plane.
class ExactFrustum : public ::testing::Test {
protected:
    void SetUp() override {
        const Mat4 proj = perspective(90.0, 1.0, 1.0, 3.0);
        ASSERT_EQ(proj[0], 1.0f);
        ASSERT_EQ(proj[10], -2.0f);
        ASSERT_EQ(proj[14], -3.0f);
        const Mat4 mv = identity();
        extractFrustum(proj.data(), mv.data());
    }
};

TEST_F(ExactFrustum, PlanesInOrderRightLeftBottomTopFarNear) {
    expectPlane(FrustumRight, -1, 0, -1, 0);
    expectPlane(FrustumLeft, 1, 0, -1, 0);
    expectPlane(FrustumBottom, 0, 1, -1, 0);
    expectPlane(FrustumTop, 0, -1, -1, 0);
    expectPlane(FrustumFar, 0, 0, 1, 3);
    expectPlane(FrustumNear, 0, 0, -1, -1);
}

TEST_F(ExactFrustum, PointOnAPlaneIsOutside) {
    EXPECT_FALSE(pointInFrustum(2.0f, 0.0f, -2.0f));  // right
    EXPECT_FALSE(pointInFrustum(-2.0f, 0.0f, -2.0f)); // left
    EXPECT_FALSE(pointInFrustum(0.0f, -2.0f, -2.0f)); // bottom
    EXPECT_FALSE(pointInFrustum(0.0f, 2.0f, -2.0f));  // top
    EXPECT_FALSE(pointInFrustum(0.0f, 0.0f, -3.0f));  // far
    EXPECT_FALSE(pointInFrustum(0.0f, 0.0f, -1.0f));  // near
    EXPECT_TRUE(pointInFrustum(0.0f, 0.0f, -2.0f));
    EXPECT_TRUE(pointInFrustum(1.99f, 1.99f, -2.0f));
    EXPECT_TRUE(pointInFrustum(0.0f, 0.0f, -2.999f));
    EXPECT_TRUE(pointInFrustum(0.0f, 0.0f, -1.001f));
}

TEST_F(ExactFrustum, BoxOnOrBehindOnePlaneIsOutside) {
    // Four corners on the near plane, four behind it.
    EXPECT_EQ(bBoxInFrustum(-0.5, 0.5, -0.5, 0.5, -1.0, 0.0), 0);
    // One corner exactly on the right plane, the others beyond it.
    EXPECT_EQ(bBoxInFrustum(2.0, 3.0, -0.1, 0.1, -2.0, -1.5), 0);
    EXPECT_EQ(bBoxInFrustum(-9.0, -8.0, -0.5, 0.5, -2.5, -1.5), 0);
    EXPECT_EQ(bBoxInFrustum(-0.5, 0.5, -0.5, 0.5, -9.0, -4.0), 0);
}

TEST_F(ExactFrustum, BoxStraddlingOrInsideIsReported) {
    EXPECT_EQ(bBoxInFrustum(-0.5, 0.5, -0.5, 0.5, -1.5, -0.5), 1);
    EXPECT_EQ(bBoxInFrustum(-0.5, 0.5, -0.5, 0.5, -2.5, -1.5), 1);
    EXPECT_EQ(bBoxInFrustum(1.9, 5.0, -0.1, 0.1, -2.0, -1.9), 1);
    EXPECT_EQ(bBoxInFrustum(-100.0, 100.0, -100.0, 100.0, -100.0, 100.0), 1);
}

TEST_F(ExactFrustum, BoxBesideAFrustumCornerMayBeReportedInside) {
    // Each plane has a corner on its inner side, yet the box misses the frustum: inside the right
    // plane needs z < -3.5 there, inside the far plane z > -3.
    EXPECT_EQ(bBoxInFrustum(3.5, 4.0, 1.5, 3.5, -4.0, 2.5), 1);
    EXPECT_FALSE(pointInFrustum(3.5f, 1.5f, -3.25f));
}

TEST_F(ExactFrustum, CubeEdgeAndQuad) {
    EXPECT_EQ(cubeInFrustum(0.0f, 0.0f, -2.0f, 0.5f), 1);
    EXPECT_EQ(cubeInFrustum(0.0f, 0.0f, -0.5f, 0.5f), 0); // on or behind the near plane
    EXPECT_EQ(cubeInFrustum(0.0f, 0.0f, -1.0f, 0.5f), 1);
    EXPECT_EQ(cubeInFrustum(10.0f, 0.0f, -2.0f, 1.0f), 0);

    // Both end points outside, on different sides: the segment is reported.
    EXPECT_EQ(edgeInFrustum(-5.0, 0.0, -2.0, 5.0, 0.0, -2.0), 1);
    EXPECT_EQ(edgeInFrustum(2.0, 0.0, -2.0, 5.0, 0.0, -2.0), 0);
    EXPECT_EQ(edgeInFrustum(0.0, 0.0, -1.0, 0.0, 0.0, 0.0), 0);

    EXPECT_EQ(quadInFrustum(-5, -5, -2, 5, -5, -2, 5, 5, -2, -5, 5, -2), 1);
    EXPECT_EQ(quadInFrustum(-5, -5, -0.5, 5, -5, -0.5, 5, 5, -0.5, -5, 5, -0.5), 0);
    EXPECT_EQ(quadInFrustum(2, -1, -2, 3, -1, -2, 3, 1, -2, 2, 1, -2), 0);
}

TEST(ViewMathFrustum, AsymmetricAspectKeepsPlaneOrder) {
    const Mat4 proj = perspective(90.0, 2.0, 1.0, 3.0);
    const Mat4 mv = identity();
    extractFrustum(proj.data(), mv.data());
    expectPlane(FrustumRight, -0.5, 0, -1, 0);
    expectPlane(FrustumLeft, 0.5, 0, -1, 0);
    expectPlane(FrustumBottom, 0, 1, -1, 0);
    expectPlane(FrustumTop, 0, -1, -1, 0);
    expectPlane(FrustumFar, 0, 0, 1, 3);
    expectPlane(FrustumNear, 0, 0, -1, -1);
}

TEST(ViewMathFrustum, TranslatedCameraMovesThePlanes) {
    const Camera cam({5, 2, 10}, {5, 2, 0}, {0, 1, 0});
    const Mat4 proj = perspective(90.0, 1.0, 1.0, 3.0);
    extractFrustum(proj.data(), cam.modelView.data());
    // A view plane (a, b, c, d) becomes (a, b, c, d - a*5 - b*2 - c*10) in the world.
    expectPlane(FrustumRight, -1, 0, -1, 15);
    expectPlane(FrustumTop, 0, -1, -1, 12);
    expectPlane(FrustumFar, 0, 0, 1, -7);
    expectPlane(FrustumNear, 0, 0, -1, 9);
}

TEST(ViewMathFrustum, LookAtFromAnAngle) {
    const Camera cam({10, -4, 3}, {2, 5, -1}, {0, 0, 1});
    const Mat4 proj = perspective(60.0, 1.5, 1.0, 100.0);
    extractFrustum(proj.data(), cam.modelView.data());
    const double halfHeight = std::tan(30.0 * kPi / 180.0); // at distance 1
    const double halfWidth = 1.5 * halfHeight;
    EXPECT_TRUE(inside(cam.world(0, 0, -50)));
    EXPECT_TRUE(inside(cam.world(0.95 * halfWidth * 20, 0, -20)));
    EXPECT_FALSE(inside(cam.world(1.05 * halfWidth * 20, 0, -20)));
    EXPECT_TRUE(inside(cam.world(-0.95 * halfWidth * 20, 0, -20)));
    EXPECT_FALSE(inside(cam.world(-1.05 * halfWidth * 20, 0, -20)));
    EXPECT_TRUE(inside(cam.world(0, 0.95 * halfHeight * 20, -20)));
    EXPECT_FALSE(inside(cam.world(0, 1.05 * halfHeight * 20, -20)));
    EXPECT_FALSE(inside(cam.world(0, -1.05 * halfHeight * 20, -20)));
    EXPECT_FALSE(inside(cam.world(0, 0, -0.5)));
    EXPECT_FALSE(inside(cam.world(0, 0, -101)));
    EXPECT_TRUE(inside(cam.world(0, 0, -99)));

    const Vec3 c = cam.world(0, 0, -50);
    EXPECT_EQ(bBoxInFrustum(c.x - 1, c.x + 1, c.y - 1, c.y + 1, c.z - 1, c.z + 1), 1);
    const Vec3 behind = cam.world(0, 0, 20);
    EXPECT_EQ(
        bBoxInFrustum(behind.x - 1, behind.x + 1, behind.y - 1, behind.y + 1, behind.z - 1, behind.z + 1), 0);
}

TEST(ViewMathFrustum, ZeroLengthNormalKeepsThePreviousPlane) {
    const Mat4 proj = perspective(90.0, 1.0, 1.0, 3.0);
    const Mat4 mv = identity();
    extractFrustum(proj.data(), mv.data());
    const auto rightBefore = plane(FrustumRight);

    // Row 0 of the clip matrix equal to row 3: right = row 3 - row 0 vanishes, left = 2 * row 3.
    Mat4 degenerate = proj;
    degenerate[0] = 0.0f;
    degenerate[8] = -1.0f;
    extractFrustum(degenerate.data(), mv.data());
    EXPECT_EQ(plane(FrustumRight), rightBefore);
    expectPlane(FrustumLeft, 0, 0, -1, 0);
    for (int p = 0; p < 6; ++p)
        for (float v : plane(p))
            EXPECT_TRUE(std::isfinite(v)) << "plane " << p;
}

TEST(ViewMathFrustum, NonFiniteMatrixKeepsEveryPlane) {
    const Mat4 proj = perspective(90.0, 1.0, 1.0, 3.0);
    const Mat4 mv = identity();
    extractFrustum(proj.data(), mv.data());
    std::array<std::array<float, 4>, 6> before;
    for (int p = 0; p < 6; ++p)
        before[static_cast<size_t>(p)] = plane(p);
    Mat4 broken = proj;
    for (float& v : broken)
        v = std::numeric_limits<float>::quiet_NaN();
    extractFrustum(broken.data(), mv.data());
    for (int p = 0; p < 6; ++p)
        EXPECT_EQ(plane(p), before[static_cast<size_t>(p)]) << "plane " << p;
}

TEST(ViewMathMatrices, ProductIsProjectionTimesModelViewInRows) {
    const Mat4 proj = perspective(90.0, 1.0, 1.0, 3.0);
    const Mat4 mv = translation(1.0f, 2.0f, -5.0f);
    const Rows out = product(mv, proj);
    const float expected[4][4] = {{1, 0, 0, 1}, {0, 1, 0, 2}, {0, 0, -2, 7}, {0, 0, -1, 5}};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_EQ(out.v[i][j], expected[i][j]) << i << "," << j;
}

TEST(ViewMathMatrices, ProductWithIdentityTransposesToRows) {
    Mat4 m{};
    for (int k = 0; k < 16; ++k)
        m[static_cast<size_t>(k)] = static_cast<float>(k + 1);
    const Rows out = product(m, identity());
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_EQ(out.v[i][j], m[static_cast<size_t>(4 * j + i)]);
}

TEST(ViewMathMatrices, DeterminantOfSmallMatrices) {
    float one[1][1] = {{-3.5f}};
    float* oneRows[1] = {one[0]};
    EXPECT_EQ(calcDeterminant(oneRows, 1), -3.5);

    float two[2][2] = {{3, 8}, {4, 6}};
    float* twoRows[2] = {two[0], two[1]};
    EXPECT_EQ(calcDeterminant(twoRows, 2), -14.0);

    float three[3][3] = {{2, -3, 1}, {2, 0, -1}, {1, 4, 5}};
    float* threeRows[3] = {three[0], three[1], three[2]};
    EXPECT_EQ(calcDeterminant(threeRows, 3), 49.0);

    Rows four;
    const float values[4][4] = {{1, 0, 2, -1}, {3, 0, 0, 5}, {2, 1, 4, -3}, {1, 0, 5, 0}};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            four.v[i][j] = values[i][j];
    EXPECT_EQ(calcDeterminant(four.p, 4), 30.0);
}

TEST(ViewMathMatrices, InversionOfIdentityAndAKnownMatrix) {
    Rows id;
    for (int i = 0; i < 4; ++i)
        id.v[i][i] = 1.0f;
    Rows out;
    matrixInversion(id.p, 4, out.p);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_EQ(out.v[i][j], i == j ? 1.0f : 0.0f);

    float m[3][3] = {{1, 2, 3}, {0, 1, 4}, {5, 6, 0}};
    float* rows[3] = {m[0], m[1], m[2]};
    float inv[3][3];
    float* invRows[3] = {inv[0], inv[1], inv[2]};
    matrixInversion(rows, 3, invRows);
    const float expected[3][3] = {{-24, 18, 5}, {20, -15, -4}, {-5, 4, 1}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_EQ(inv[i][j], expected[i][j]) << i << "," << j;

    // In place.
    matrixInversion(rows, 3, rows);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_EQ(m[i][j], expected[i][j]) << i << "," << j;
}

TEST(ViewMathMatrices, InverseOfATranslation) {
    Rows t;
    const Mat4 cm = translation(3.0f, -4.0f, 7.5f);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            t.v[i][j] = cm[static_cast<size_t>(4 * j + i)];
    Rows inv;
    matrixInversion(t.p, 4, inv.p);
    EXPECT_EQ(inv.v[0][3], -3.0f);
    EXPECT_EQ(inv.v[1][3], 4.0f);
    EXPECT_EQ(inv.v[2][3], -7.5f);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_EQ(inv.v[i][j], i == j ? 1.0f : 0.0f);
    EXPECT_EQ(inv.v[3][3], 1.0f);
}

TEST(ViewMathMatrices, SingularOrNonFiniteInversionLeavesOutputUnchanged) {
    float singular[2][2] = {{1, 2}, {2, 4}};
    float* rows[2] = {singular[0], singular[1]};
    float out[2][2] = {{7, 7}, {7, 7}};
    float* outRows[2] = {out[0], out[1]};
    matrixInversion(rows, 2, outRows);
    for (auto& r : out)
        for (float v : r)
            EXPECT_EQ(v, 7.0f);

    singular[0][0] = std::numeric_limits<float>::quiet_NaN();
    singular[1][1] = 1.0f;
    matrixInversion(rows, 2, outRows);
    for (auto& r : out)
        for (float v : r)
            EXPECT_EQ(v, 7.0f);

    singular[0][0] = std::numeric_limits<float>::infinity();
    matrixInversion(rows, 2, outRows);
    for (auto& r : out)
        for (float v : r)
            EXPECT_EQ(v, 7.0f);

    Rows sentinel;
    for (auto& r : sentinel.v)
        for (float& v : r)
            v = 7.0f;
    const Mat4 zero{};
    modelViewProjectionInverse(zero.data(), perspective(60.0, 1.0, 1.0, 10.0).data(), sentinel.p);
    for (auto& r : sentinel.v)
        for (float v : r)
            EXPECT_EQ(v, 7.0f);
}

TEST(ViewMathMatrices, ProjectionTimesModelViewTimesItsInverseIsIdentity) {
    const Camera cam({10, -4, 3}, {2, 5, -1}, {0, 0, 1});
    const Mat4 proj = perspective(60.0, 1.5, 1.0, 100.0);
    const Rows m = product(cam.modelView, proj);
    Rows inv;
    modelViewProjectionInverse(cam.modelView.data(), proj.data(), inv.p);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double sum = 0.0;
            for (int k = 0; k < 4; ++k)
                sum += double(m.v[i][k]) * inv.v[k][j];
            EXPECT_NEAR(sum, i == j ? 1.0 : 0.0, 1e-4) << i << "," << j;
        }
}

TEST(ViewMathProjection, PointOnTheViewAxisProjectsToTheCentre) {
    const Camera cam({10, -4, 3}, {2, 5, -1}, {0, 0, 1});
    const Mat4 proj = perspective(90.0, 1.0, 1.0, 100.0);
    const Rows m = product(cam.modelView, proj);
    float columnMajor[16];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            columnMajor[4 * j + i] = m.v[i][j];
    storeModelViewProjMatrix(columnMajor);
    float back[16];
    loadModelViewProjMatrix(back);
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ(back[k], columnMajor[k]);

    float sx = 9.0f, sy = 9.0f;
    projectToScreen(2.0, 5.0, -1.0, &sx, &sy);
    EXPECT_NEAR(sx, 0.0f, 1e-5);
    EXPECT_NEAR(sy, 0.0f, 1e-5);

    // With a 90 degree square view, x = -z / 2 in view space is halfway to the right edge.
    const Vec3 p = cam.world(1.0, 0.5, -2.0);
    projectToScreen(p.x, p.y, p.z, &sx, &sy);
    EXPECT_NEAR(sx, 0.5f, 1e-5);
    EXPECT_NEAR(sy, 0.25f, 1e-5);
}

TEST(ViewMathDistances, EuclideanInBothPrecisions) {
    GLVector3d a{1, 2, 3}, b{4, 6, 15};
    EXPECT_EQ(dist(a, b), 13.0);
    GLVector3f fa{1, 2, 3}, fb{4, 6, 15};
    EXPECT_EQ(dist(fa, fb), 13.0f);
    EXPECT_EQ(dist(a, a), 0.0);
}

TEST(ViewMathAngles, BetweenNormals) {
    const GLVector3f a{1, 2, 3}, twice{2, 4, 6}, opposite{-1, -2, -3};
    EXPECT_NEAR(angleBetweenNormals(&a, &a), 0.0, 1e-7);
    EXPECT_NEAR(angleBetweenNormals(&a, &twice), 0.0, 1e-7);
    EXPECT_NEAR(angleBetweenNormals(&a, &opposite), kPi, 1e-7);
    const GLVector3f x{1, 0, 0}, y{0, 5, 0}, nearlyOpposite{-1, 1e-4f, 0};
    EXPECT_NEAR(angleBetweenNormals(&x, &y), kPi / 2, 1e-12);
    EXPECT_NEAR(angleBetweenNormals(&x, &nearlyOpposite), kPi - 1e-4, 1e-7);
}

TEST(ViewMathAngles, CosineRoundedPastOneIsClamped) {
    // For this vector the rounded cosine with itself is 1 + 2^-52, with its negation -1 - 2^-52.
    const GLVector3f a{-9.597493171691895f, -1.4571647644042969f, -1.6960538625717163f};
    const GLVector3f minusA{-a.x, -a.y, -a.z};
    const double same = angleBetweenNormals(&a, &a);
    const double opposite = angleBetweenNormals(&a, &minusA);
    EXPECT_FALSE(std::isnan(same));
    EXPECT_NEAR(same, 0.0, 1e-7);
    EXPECT_NEAR(opposite, kPi, 1e-7);
}

TEST(ViewMathAngles, ZeroVectorGivesZero) {
    const GLVector3f a{1, 2, 3}, zero{0, 0, 0};
    EXPECT_EQ(angleBetweenNormals(&a, &zero), 0.0);
    EXPECT_EQ(angleBetweenNormals(&zero, &zero), 0.0);
    const Splat o{0, 0, 0, 0, 0, 1}, p{10, 0, 0, 0, 0, 1};
    EXPECT_EQ(angleBetweenLinesInt(&o, &p, &o, &o), 0.0);
    const Splat fo = makeFloatSplat(1, 1, 0), fp = makeFloatSplat(2, 1, 0);
    EXPECT_EQ(angleBetweenLinesFloat(fo, fp, fo, fo), 0.0);
}

TEST(ViewMathAngles, LinesIntUseXAndYOnly) {
    const Splat o{0, 0, 0, 0, 0, 1}, east{10, 0, 500, 0, 0, 1}, north{0, 7, -300, 0, 0, 1};
    const Splat west{-4, 0, 0, 0, 0, 1}, northEast{3, 3, 99, 0, 0, 1};
    EXPECT_NEAR(angleBetweenLinesInt(&o, &east, &o, &north), kPi / 2, 1e-12);
    EXPECT_NEAR(angleBetweenLinesInt(&o, &east, &o, &west), kPi, 1e-12);
    EXPECT_NEAR(angleBetweenLinesInt(&o, &east, &o, &northEast), kPi / 4, 1e-12);
    EXPECT_NEAR(angleBetweenLinesInt(&east, &o, &o, &west), 0.0, 1e-12);
}

TEST(ViewMathAngles, LinesIntNearTheLimitsOfInt32) {
    const Splat lowLow{INT_MIN, INT_MIN, 0, 0, 0, 1}, highHigh{INT_MAX, INT_MAX, 0, 0, 0, 1};
    const Splat highLow{INT_MAX, INT_MIN, 0, 0, 0, 1}, lowHigh{INT_MIN, INT_MAX, 0, 0, 0, 1};
    // Differences of 2^32 - 1 in both axes: the diagonals are perpendicular.
    EXPECT_NEAR(angleBetweenLinesInt(&lowLow, &highHigh, &highLow, &lowHigh), kPi / 2, 1e-12);
    const Splat left{INT_MIN, 0, 0, 0, 0, 1}, right{INT_MAX, 0, 0, 0, 0, 1};
    const Splat o{0, 0, 0, 0, 0, 1}, unit{1, 0, 0, 0, 0, 1};
    EXPECT_NEAR(angleBetweenLinesInt(&left, &right, &o, &unit), 0.0, 1e-12);
    EXPECT_NEAR(angleBetweenLinesInt(&right, &left, &o, &unit), kPi, 1e-12);
}

TEST(ViewMathAngles, LinesFloatReadCoordinatesAsFloats) {
    const Splat o = makeFloatSplat(0.5f, 0.5f, 0), d = makeFloatSplat(1.5f, 1.5f, 0),
                e = makeFloatSplat(2.5f, 0.5f, 9);
    EXPECT_NEAR(angleBetweenLinesFloat(o, d, o, e), kPi / 4, 1e-7);
    EXPECT_NEAR(angleBetweenLinesFloat(o, e, e, o), kPi, 1e-7);
}

TEST(ViewMathSweep, VectorBetweenCCWvectors) {
    const Splat o = makeFloatSplat(10, 20, 0);
    auto at = [](float x, float y) { return makeFloatSplat(10 + x, 20 + y, 0); };
    const Splat a = at(1, 0), b = at(0, 1);
    EXPECT_TRUE(vectorBetweenCCWvectors(o, at(1, 1), a, b));
    EXPECT_FALSE(vectorBetweenCCWvectors(o, at(1, -1), a, b));
    EXPECT_FALSE(vectorBetweenCCWvectors(o, at(-1, -1), a, b));
    EXPECT_TRUE(vectorBetweenCCWvectors(o, a, a, b)); // P on ray A
    EXPECT_TRUE(vectorBetweenCCWvectors(o, at(2, 0), a, b));
    EXPECT_TRUE(vectorBetweenCCWvectors(o, at(0, 3), a, b)); // on ray B

    // From A = (0, 1) counter-clockwise to B = (1, 0) sweeps three quarters.
    EXPECT_TRUE(vectorBetweenCCWvectors(o, at(-1, -1), b, a));
    EXPECT_TRUE(vectorBetweenCCWvectors(o, at(-1, 1), b, a));
    EXPECT_FALSE(vectorBetweenCCWvectors(o, at(1, 1), b, a));

    // A and B pointing the same way: the ray itself counts, nothing beside it.
    const Splat same = at(3, 0);
    EXPECT_TRUE(vectorBetweenCCWvectors(o, at(2, 0), a, same));
    EXPECT_TRUE(vectorBetweenCCWvectors(o, a, a, same));
    EXPECT_FALSE(vectorBetweenCCWvectors(o, at(1, 1), a, same));
    EXPECT_FALSE(vectorBetweenCCWvectors(o, at(1, -1), a, same));
}

TEST(ViewMathSegments, PointOnLineExcludesEndPoints) {
    const Splat a = makeFloatSplat(0, 0, 0), b = makeFloatSplat(2, 2, 0);
    EXPECT_TRUE(pointOnLineFloat(a, b, makeFloatSplat(1, 1, 0)));
    EXPECT_TRUE(pointOnLineFloat(b, a, makeFloatSplat(1, 1, 0)));
    EXPECT_FALSE(pointOnLineFloat(a, b, a));
    EXPECT_FALSE(pointOnLineFloat(a, b, b));
    EXPECT_FALSE(pointOnLineFloat(a, b, makeFloatSplat(3, 3, 0)));
    EXPECT_FALSE(pointOnLineFloat(a, b, makeFloatSplat(-1, -1, 0)));

    const Splat v0 = makeFloatSplat(1, 0, 0), v1 = makeFloatSplat(1, 4, 0);
    EXPECT_TRUE(pointOnLineFloat(v0, v1, makeFloatSplat(1, 2, 0)));
    EXPECT_FALSE(pointOnLineFloat(v0, v1, v1));
    EXPECT_FALSE(pointOnLineFloat(v0, v1, makeFloatSplat(1, 5, 0)));
    EXPECT_FALSE(pointOnLineFloat(v0, v0, v0));
}

TEST(ViewMathSegments, LinesCross) {
    auto s = [](float x, float y) { return makeFloatSplat(x, y, 0); };
    EXPECT_TRUE(linesCrossFloat(s(0, 0), s(2, 2), s(0, 2), s(2, 0)));  // X
    EXPECT_FALSE(linesCrossFloat(s(0, 0), s(1, 1), s(1, 1), s(2, 0))); // shared end point
    EXPECT_FALSE(linesCrossFloat(s(0, 0), s(1, 1), s(2, 0), s(1, 1)));
    EXPECT_FALSE(linesCrossFloat(s(0, 0), s(2, 2), s(0, 0), s(2, 2))); // identical
    EXPECT_FALSE(linesCrossFloat(s(0, 0), s(2, 2), s(2, 2), s(0, 0)));
    EXPECT_TRUE(linesCrossFloat(s(0, 0), s(2, 0), s(1, 0), s(3, 0))); // collinear overlap
    EXPECT_TRUE(linesCrossFloat(s(1, 0), s(3, 0), s(0, 0), s(2, 0)));
    EXPECT_TRUE(linesCrossFloat(s(0, 0), s(4, 0), s(1, 0), s(2, 0)));
    EXPECT_TRUE(linesCrossFloat(s(1, 0), s(2, 0), s(0, 0), s(3, 0)));   // ab within cd
    EXPECT_FALSE(linesCrossFloat(s(0, 0), s(1, 0), s(2, 0), s(3, 0)));  // collinear apart
    EXPECT_FALSE(linesCrossFloat(s(0, 0), s(1, 0), s(1, 0), s(3, 0)));  // collinear, touching
    EXPECT_TRUE(linesCrossFloat(s(0, 0), s(2, 0), s(1, 0), s(1, 2)));   // T: c inside ab
    EXPECT_TRUE(linesCrossFloat(s(0, 0), s(2, 0), s(1, 2), s(1, 0)));   // T: d inside ab
    EXPECT_TRUE(linesCrossFloat(s(1, 0), s(1, 2), s(0, 0), s(2, 0)));   // T: a inside cd
    EXPECT_TRUE(linesCrossFloat(s(1, 2), s(1, 0), s(0, 0), s(2, 0)));   // T: b inside cd
    EXPECT_FALSE(linesCrossFloat(s(0, 0), s(2, 0), s(0, 1), s(2, 1)));  // parallel
    EXPECT_FALSE(linesCrossFloat(s(0, 0), s(1, 0), s(2, -1), s(2, 1))); // lines cross, segments not
    EXPECT_FALSE(linesCrossFloat(s(0, 0), s(2, 0), s(3, 0), s(3, 2)));  // T-shape beyond the end
}

TEST(ViewMathSegments, LinesCrossNeedsMoreThanSinglePrecision) {
    // Long, nearly parallel segments: the cross products are differences of products near 2^48 that
    // single precision rounds to the wrong sign (exact in double for these integers).
    auto s = [](float x, float y) { return makeFloatSplat(x, y, 0); };
    EXPECT_TRUE(linesCrossFloat(s(1, 3), s(16777211, 16777209), s(3, 4), s(16777213, 16777211)));
    EXPECT_FALSE(linesCrossFloat(s(1, 5), s(16777215, 16777211), s(5, 4), s(16777209, 16777205)));
}

TEST(ViewMathClock, DiffclockInMilliseconds) {
    EXPECT_EQ(diffclock(2500000, 500000), 2000.0);
    EXPECT_EQ(diffclock(1500, 500), 1.0);
    EXPECT_EQ(diffclock(500, 1500), -1.0);
}

} // namespace
