#pragma once
// What import and serving must compute identically: a record's world coordinate and its grid cell.
// Serving relies on both being the same functions of the same bytes, so that cells strictly inside a
// query rectangle need no per-point test.
#include <cmath>
#include <cstdint>

inline int32_t readLE32(const unsigned char* p) {
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
}

// World coordinate of axis a (0 X, 1 Y, 2 Z) of a LAS record starting at `record`.
inline double worldCoord(const unsigned char* record, int a, double scale, double offset) {
    return double(readLE32(record + 4 * a)) * scale + offset;
}

// Cell column (or row) of coordinate v in a grid of n cells of `size` from `origin`; values beyond either
// end fall into the end cells. Non-decreasing in v.
inline uint32_t cellCoord(double v, double origin, double size, uint32_t n) {
    double c = std::floor((v - origin) / size);
    if (!(c >= 0))
        return 0;
    return c >= double(n - 1) ? n - 1 : uint32_t(c);
}
