#pragma once
// The tests that decide which points belong together, shared by the interactive and the batch
// classification so that both give the same surfaces.
//
// Normals are lines, not directions: stored normals face up (z >= 0), so on a wall or a steep roof
// neighbouring normals may point in opposite directions although they describe the same plane. Every
// angle between normals is therefore the angle between n and +m or -m, whichever is smaller.
#include "QueryHandler.h"
#include "ViewMath.h"

#include <cmath>
#include <numbers>

// The compatible-neighbour walk looks at no more than this many nearest points (the point itself
// included), so a compatible-neighbour count is at most 99.
constexpr int MAX_COMPATIBILITY_QUERY = 100;
// Points with fewer compatible neighbours never start a surface.
constexpr int MIN_SEED_NEIGHBOURS = 16;

// Defaults for airborne surveys (normals from 16 neighbours, a few centimetres of noise, about a point
// per 0.25 to 4 square metres). The walk over neighbours stops at the first that is not compatible, so
// the compatibility thresholds must hold the noise of the nearest neighbours; the growth angles keep a
// roof apart from the ground beside it and split a curved surface into patches.
constexpr double DEFAULT_MAX_ANGLE_DEG = 15.0;
constexpr double DEFAULT_SECONDARY_ANGLE_DEG = 20.0;
constexpr double DEFAULT_GLOBAL_ANGLE_DEG = 15.0;

struct ClassificationThresholds {
    double maxAngleDeg = DEFAULT_MAX_ANGLE_DEG; // between the normals of compatible neighbours
    double maxRelDistance =
        DEFAULT_RELATIVE_DISTANCE_THRESHOLD; // of a compatible neighbour from the tangent plane
    double secondaryAngleDeg = DEFAULT_SECONDARY_ANGLE_DEG; // of a member's normal from the seed's normal
    double globalAngleDeg = DEFAULT_GLOBAL_ANGLE_DEG;       // of a growth step from the seed's tangent plane
};

inline double degreesToRadians(double deg) {
    return deg * (std::numbers::pi / 180.0);
}

// |cos| of the angle between two unit normals taken as lines.
inline double lineCosine(const GLVector3f& a, const GLVector3f& b) {
    return std::fabs(double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z);
}

// Whether neighbour q is compatible with point p: both have normals, at an angle below maxAngle, and q
// lies near p's tangent plane.
class CompatibilityRule {
public:
    CompatibilityRule(double maxAngleDeg, double maxRelDistance)
        : cosMax_(std::cos(degreesToRadians(maxAngleDeg))), maxRelDistance_(maxRelDistance) {}
    bool operator()(const QueryPoint& p, const QueryPoint& q) const {
        return p.hasNormal() && q.hasNormal() && lineCosine(p.normal, q.normal) > cosMax_ &&
               relativeDistanceToSurface(p.position, p.normal, q.position) < maxRelDistance_;
    }

private:
    double cosMax_, maxRelDistance_;
};

// Whether the surface of the seed normal grows from its member p to the neighbour q: q's normal lies
// within the secondary angle of the seed's, and the step from p to q leaves the seed's tangent plane by
// less than the global angle. A neighbour at p's very position lies in every plane through p.
class GrowthRule {
public:
    GrowthRule(double secondaryAngleDeg, double globalAngleDeg)
        : cosSecondary_(std::cos(degreesToRadians(secondaryAngleDeg))),
          // Beyond a right angle every step qualifies; the sine would fall again.
          sinGlobal_(globalAngleDeg >= 90.0 ? 2.0 : std::sin(degreesToRadians(globalAngleDeg))) {}
    bool operator()(const GLVector3f& seedNormal, const QueryPoint& p, const QueryPoint& q) const {
        if (!q.hasNormal() || !(lineCosine(seedNormal, q.normal) > cosSecondary_))
            return false;
        const double vx = q.position.x - p.position.x, vy = q.position.y - p.position.y,
                     vz = q.position.z - p.position.z;
        const double vv = vx * vx + vy * vy + vz * vz;
        if (vv == 0)
            return true;
        const double along = std::fabs(seedNormal.x * vx + seedNormal.y * vy + seedNormal.z * vz);
        return along < sinGlobal_ * std::sqrt(vv);
    }

private:
    double cosSecondary_, sinGlobal_;
};
