#pragma once
// How large a splat must be to close the gaps of a level, from the local spacing of its points rather
// than their mean density. Airborne surveys are anisotropic (points dense along a scan line, wider gaps
// between lines): discs sized by the mean area per point leave stripes open between the lines.
//
// The measure is the circumradius of the local Delaunay triangles: a disc of that radius around each
// corner covers its triangle. A few windows of a few hundred points are taken from the level; around a
// bounded sample of their inner points, the two nearest neighbours in each of eight directions form
// triangles, and those whose circumcircle holds none of the other neighbours are measured. A quantile of
// their radii, divided by the mean-density radius of the same window, is the tile's gap ratio: about 1
// or less for isotropic data, larger where the spacing is uneven. The ratio, not a length, is kept, so
// that tiles of different densities can be pooled.
//
// Work is bounded: three linear scans of the level (the part that needs the tile's lock) and a fixed
// number of windows and sample points. Pure logic, no GL.
#include "GeometryTypes.h"

#include <cstddef>
#include <vector>

class SplatSpacing {
public:
    // Points of the windows, in world units (raw × scale) relative to the level's lower corner.
    struct Window {
        double x0 = 0, y0 = 0, x1 = 0, y1 = 0; // extent
        std::vector<double> xy;                // x, y pairs
    };
    struct Estimate {
        double ratio = 0;       // gap radius / mean-density radius; 0 when nothing could be measured
        unsigned triangles = 0; // triangles measured (the weight of this estimate)
    };

    // Points of a window aimed at; windows of fewer than a quarter of this are not measured.
    static constexpr size_t kWindowPoints = 600;
    static constexpr int kWindows = 4;
    // Sample points measured per window.
    static constexpr size_t kSamples = 64;
    // Quantile of the radii taken as the level's gap.
    static constexpr double kQuantile = 0.7;
    // Margin on that gap: a disc of exactly a triangle's circumradius only touches its circumcentre.
    static constexpr double kMargin = 1.05;

    // Copies the windows out of `n` splats (raw coordinates, `scaleX`, `scaleY` world units per raw unit).
    // Reads the splats only here: call it while they cannot change.
    static std::vector<Window> gather(const Splat* splats, size_t n, double scaleX, double scaleY);
    // The gap ratio of the windows.
    static Estimate measure(const std::vector<Window>& windows);
    // Both steps.
    static Estimate estimate(const Splat* splats, size_t n, double scaleX, double scaleY) {
        return measure(gather(splats, n, scaleX, scaleY));
    }

    // The splat radius of a level from its mean density, in world units: 1.5 times the radius of the
    // disc of the mean area per point.
    static double meanRadius(double area, double points);
};
