#pragma once
// The one coordinate type of all mesh geometry: double precision, in the file's length units, relative
// to a local origin. Tile splats carry raw LAS integers (up to about ±2^31 at real scales): they are
// converted once, before any geometry, so that thresholds are lengths (metres for most surveys) and no
// precision is lost at real magnitudes.
#include "GeometryTypes.h"

#include <cstddef>
#include <vector>

struct MeshPoint {
    double x, y, z;
};

// Raw integer splats to world units relative to the centre of their raw bounding box: (raw - centre) ×
// scale per axis. `scale` may be null (unit scale). `origin`, when given, receives the raw centre.
std::vector<MeshPoint> meshPointsFromRaw(const Splat* splats, std::size_t count, const double* scale,
                                         double* origin = nullptr);
// Splats whose coordinate words hold floats (or integers when `floatCoords` is false), taken as they are.
std::vector<MeshPoint> meshPointsFromSplats(const std::vector<Splat>& splats, bool floatCoords);
