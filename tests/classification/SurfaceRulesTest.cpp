// The relative distance to a tangent plane and the compatibility and growth tests built on it.
#include "SurfaceRules.h"
#include "ViewMath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

QueryPoint at(double x, double y, double z, GLVector3f n = {0, 0, 1}, uint32_t index = 0) {
    return QueryPoint{{x, y, z}, n, index};
}

TEST(RelativeDistanceToSurface, SineOfTheElevationAboveThePlane) {
    const GLVector3d p{10, 20, 30};
    EXPECT_DOUBLE_EQ(relativeDistanceToSurface(p, {0, 0, 1}, {13, 24, 30}), 0.0);
    EXPECT_DOUBLE_EQ(relativeDistanceToSurface(p, {0, 0, 1}, {10, 20, 25}), 1.0);
    EXPECT_NEAR(relativeDistanceToSurface(p, {0, 0, 1}, {11, 20, 31}), std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(relativeDistanceToSurface(p, {0, 0, 1}, {13, 24, 35}), 5 / std::sqrt(50.0), 1e-15);
    // The normal's length and sign do not matter.
    EXPECT_NEAR(relativeDistanceToSurface(p, {0, 0, -7}, {13, 24, 35}), 5 / std::sqrt(50.0), 1e-15);
    EXPECT_NEAR(relativeDistanceToSurface(p, {3, 0, 4}, {10, 21, 30}), 0.0, 1e-15);
    EXPECT_NEAR(relativeDistanceToSurface(p, {3, 0, 4}, {13, 20, 34}), 1.0, 1e-15);
}

TEST(RelativeDistanceToSurface, DegenerateCasesDoNotDivideByZero) {
    const GLVector3d p{1, 2, 3};
    EXPECT_EQ(relativeDistanceToSurface(p, {0, 0, 1}, p), 0.0) << "q = p lies in the plane";
    EXPECT_EQ(relativeDistanceToSurface(p, {0, 0, 0}, {1, 2, 4}), 1.0) << "no normal, no plane";
    EXPECT_EQ(relativeDistanceToSurface(p, {0, 0, 0}, p), 1.0);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(relativeDistanceToSurface(p, {nan, 0, 1}, {2, 2, 3}), 1.0);
    // Coordinates far from the origin and a tiny step still give a sine in [0, 1].
    const double r = relativeDistanceToSurface({1e7, 1e7, 1e3}, {0, 0, 1}, {1e7, 1e7, 1e3 + 1e-9});
    EXPECT_GE(r, 0.0);
    EXPECT_LE(r, 1.0);
    EXPECT_GT(DEFAULT_RELATIVE_DISTANCE_THRESHOLD, 0.0);
    EXPECT_LT(DEFAULT_RELATIVE_DISTANCE_THRESHOLD, 1.0);
}

TEST(CompatibilityRule, NormalsAsLinesAndTheTangentPlane) {
    const CompatibilityRule rule(15, 0.25);
    const QueryPoint p = at(0, 0, 0, {0, 0, 1});
    EXPECT_TRUE(rule(p, at(1, 0, 0.1, {0, 0, 1})));
    EXPECT_TRUE(rule(p, at(1, 0, 0, {0, 0, -1}))) << "a reversed normal is the same line";
    const float c14 = float(std::cos(degreesToRadians(14))), s14 = float(std::sin(degreesToRadians(14)));
    const float c16 = float(std::cos(degreesToRadians(16))), s16 = float(std::sin(degreesToRadians(16)));
    EXPECT_TRUE(rule(p, at(1, 0, 0, {s14, 0, -c14})));
    EXPECT_FALSE(rule(p, at(1, 0, 0, {s16, 0, c16})));
    EXPECT_FALSE(rule(p, at(1, 0, 0.3, {0, 0, 1}))) << "elevation sine 0.29";
    EXPECT_TRUE(rule(p, at(1, 0, 0.2, {0, 0, 1}))) << "elevation sine 0.196";
    EXPECT_TRUE(rule(p, at(0, 0, 0, {0, 0, 1}))) << "a duplicate lies in the plane";
    EXPECT_FALSE(rule(p, at(1, 0, 0, {0, 0, 0}))) << "a neighbour without a normal";
    EXPECT_FALSE(rule(at(0, 0, 0, {0, 0, 0}), at(1, 0, 0, {0, 0, 1}))) << "a point without a normal";
}

TEST(GrowthRule, SecondaryAndGlobalAnglesAgainstTheSeed) {
    const GrowthRule rule(20, 15);
    const GLVector3f up{0, 0, 1};
    const QueryPoint p = at(0, 0, 0);
    EXPECT_TRUE(rule(up, p, at(1, 0, 0.2)));  // 11.3 degrees off the seed's plane
    EXPECT_FALSE(rule(up, p, at(1, 0, 0.3))); // 16.7 degrees
    EXPECT_TRUE(rule(up, p, at(1, 1, -0.3))); // 12 degrees, below the plane
    EXPECT_TRUE(rule(up, p, at(0, 0, 0)));    // same position
    const float c19 = float(std::cos(degreesToRadians(19))), s19 = float(std::sin(degreesToRadians(19)));
    EXPECT_TRUE(rule(up, p, at(1, 0, 0, {0, s19, -c19})));       // reversed, 19 degrees
    EXPECT_FALSE(rule(up, p, at(1, 0, 0, {0, 0.375f, 0.927f}))); // 22 degrees
    EXPECT_FALSE(rule(up, p, at(1, 0, 0, {0, 0, 0})));
    // A wall: the seed's normal is horizontal and the step runs up the wall.
    const GLVector3f east{1, 0, 0};
    EXPECT_TRUE(rule(east, at(0, 0, 0, east), at(0, 0.5, 2, {-1, 0, 0})));
    EXPECT_FALSE(rule(east, at(0, 0, 0, east), at(1, 0, 0.2, east)));
    // At 90 degrees every step and every normal qualifies.
    EXPECT_TRUE(GrowthRule(90, 90)(up, p, at(0, 0, 1, {1, 0, 0.001f})));
}

} // namespace
