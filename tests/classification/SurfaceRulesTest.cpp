// The relative distance to a tangent plane and the compatibility and growth tests built on it.
#include "SurfaceRules.h"
#include "ViewMath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

QueryPoint at(double x, double y, double z, GLVector3f n = {0, 0, 1}) { return QueryPoint{{x, y, z}, n, 0}; }
GLVector3f tilted(double deg, bool reversed) { // in the x-z plane, deg off the vertical
    const float s = float(std::sin(degreesToRadians(deg))), c = float(std::cos(degreesToRadians(deg)));
    return reversed ? GLVector3f{s, 0, -c} : GLVector3f{s, 0, c};
}

TEST(RelativeDistanceToSurface, SineOfTheElevationAndNoDivisionByZero) {
    const GLVector3d p{10, 20, 30};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        GLVector3f n;
        GLVector3d q;
        double want;
    } cases[] = {{{0, 0, 1}, {13, 24, 30}, 0}, {{0, 0, 1}, {10, 20, 25}, 1}, {{0, 0, 1}, {11, 20, 31}, std::sqrt(0.5)},
                 {{0, 0, -7}, {13, 24, 35}, 5 / std::sqrt(50.0)}, // length and sign of the normal do not matter
                 {{3, 0, 4}, {10, 21, 30}, 0}, {{3, 0, 4}, {13, 20, 34}, 1},
                 {{0, 0, 1}, p, 0},           // q = p lies in the plane
                 {{0, 0, 0}, {10, 20, 31}, 1}, // no normal, no plane
                 {{0, 0, 0}, p, 1}, {{nan, 0, 1}, {11, 20, 30}, 1}};
    for (const auto& c : cases)
        EXPECT_NEAR(relativeDistanceToSurface(p, c.n, c.q), c.want, 1e-15) << c.q.x << " " << c.q.y << " " << c.q.z;
    const double far = relativeDistanceToSurface({1e7, 1e7, 1e3}, {0, 0, 1}, {1e7, 1e7, 1e3 + 1e-9});
    EXPECT_TRUE(far >= 0 && far <= 1) << far;
    EXPECT_TRUE(DEFAULT_RELATIVE_DISTANCE_THRESHOLD > 0 && DEFAULT_RELATIVE_DISTANCE_THRESHOLD < 1);
}

TEST(SurfaceRules, CompatibilityAndGrowthTakeNormalsAsLines) {
    const CompatibilityRule compatible(15, 0.25);
    const QueryPoint p = at(0, 0, 0);
    const struct {
        QueryPoint q;
        bool want;
    } compat[] = {{at(1, 0, 0.1), true},   {at(1, 0, 0, {0, 0, -1}), true}, // reversed: the same line
                  {at(1, 0, 0, tilted(14, true)), true}, {at(1, 0, 0, tilted(16, false)), false},
                  {at(1, 0, 0.3), false},  // elevation sine 0.29
                  {at(1, 0, 0.2), true},   {at(0, 0, 0), true}, // a duplicate lies in the plane
                  {at(1, 0, 0, {0, 0, 0}), false}};
    for (const auto& c : compat)
        EXPECT_EQ(compatible(p, c.q), c.want) << c.q.position.x << " " << c.q.position.z << " n " << c.q.normal.x;
    EXPECT_FALSE(compatible(at(0, 0, 0, {0, 0, 0}), at(1, 0, 0))) << "a point without a normal";

    const GrowthRule grows(20, 15);
    const GLVector3f up{0, 0, 1}, east{1, 0, 0};
    const struct {
        GLVector3f seed;
        QueryPoint from, q;
        bool want;
    } growth[] = {{up, p, at(1, 0, 0.2), true},   // 11.3 degrees off the seed's plane
                  {up, p, at(1, 0, 0.3), false},  // 16.7 degrees
                  {up, p, at(1, 1, -0.3), true},  // 12 degrees, below the plane
                  {up, p, at(0, 0, 0), true},     // same position
                  {up, p, at(1, 0, 0, tilted(19, true)), true}, {up, p, at(1, 0, 0, tilted(22, false)), false},
                  {up, p, at(1, 0, 0, {0, 0, 0}), false},
                  {east, at(0, 0, 0, east), at(0, 0.5, 2, {-1, 0, 0}), true}, // up a wall, normal flipped
                  {east, at(0, 0, 0, east), at(1, 0, 0.2, east), false}};
    for (const auto& c : growth)
        EXPECT_EQ(grows(c.seed, c.from, c.q), c.want) << c.q.position.x << " " << c.q.position.z;
    EXPECT_TRUE(GrowthRule(90, 90)(up, p, at(0, 0, 1, {1, 0, 0.001f}))) << "at 90 degrees every step qualifies";
}

} // namespace
