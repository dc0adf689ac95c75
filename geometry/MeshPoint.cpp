#include "MeshPoint.h"

#include <algorithm>
#include <cstdint>

std::vector<MeshPoint> meshPointsFromRaw(const Splat* splats, std::size_t count, const double* scale,
                                         double* origin) {
    std::vector<MeshPoint> out;
    double centre[3] = {0.0, 0.0, 0.0};
    if (count > 0) {
        std::int32_t lo[3] = {splats[0].x, splats[0].y, splats[0].z};
        std::int32_t hi[3] = {lo[0], lo[1], lo[2]};
        for (std::size_t i = 1; i < count; ++i) {
            const std::int32_t v[3] = {splats[i].x, splats[i].y, splats[i].z};
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min(lo[a], v[a]);
                hi[a] = std::max(hi[a], v[a]);
            }
        }
        // Halving the sum in double is exact: both ends are 32-bit integers.
        for (int a = 0; a < 3; ++a)
            centre[a] = (double(lo[a]) + double(hi[a])) / 2.0;
    }
    const double s[3] = {scale ? scale[0] : 1.0, scale ? scale[1] : 1.0, scale ? scale[2] : 1.0};
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        out.push_back({(double(splats[i].x) - centre[0]) * s[0], (double(splats[i].y) - centre[1]) * s[1],
                       (double(splats[i].z) - centre[2]) * s[2]});
    if (origin)
        std::copy(centre, centre + 3, origin);
    return out;
}

std::vector<MeshPoint> meshPointsFromSplats(const std::vector<Splat>& splats, bool floatCoords) {
    std::vector<MeshPoint> out;
    out.reserve(splats.size());
    for (const Splat& s : splats) {
        if (floatCoords)
            out.push_back({s.fx(), s.fy(), s.fz()});
        else
            out.push_back({double(s.x), double(s.y), double(s.z)});
    }
    return out;
}
