#include "RenderToTexture.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>

namespace {

double dot3(const double a[3], const double b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

void normalise3(double v[3]) {
    const double l = std::sqrt(dot3(v, v));
    if (l > 0 && std::isfinite(l))
        v[0] /= l, v[1] /= l, v[2] /= l;
}

} // namespace

void calculateAverages(const std::vector<Splat>& splats, double normal[3], double centroid[3], const TreeFrame& frame) {
    double n[3] = {0, 0, 0}, c[3] = {0, 0, 0};
    for (const Splat& s : splats) {
        const float l2 = s.nx * s.nx + s.ny * s.ny + s.nz * s.nz;
        // A zero (or broken) normal says nothing about the surface's orientation.
        if (!(l2 > 0.0f) || !std::isfinite(l2))
            continue;
        const double f = l2 == 1.0f ? 1.0 : 1.0 / std::sqrt(double(l2));
        n[0] += s.nx * f, n[1] += s.ny * f, n[2] += s.nz * f;
    }
    for (const Splat& s : splats) {
        const GLVector3d p = frame.normalised(s);
        c[0] += p.x, c[1] += p.y, c[2] += p.z;
    }
    const double l = std::sqrt(dot3(n, n));
    if (l > 1e-12 && std::isfinite(l)) {
        for (int i = 0; i < 3; ++i)
            normal[i] = n[i] / l;
    } else {
        normal[0] = 0, normal[1] = 0, normal[2] = 1;
    }
    const double count = splats.empty() ? 1.0 : double(splats.size());
    for (int i = 0; i < 3; ++i)
        centroid[i] = c[i] / count;
}

void calculateUpAndRightVector(const double n[3], double up[3], double right[3]) {
    if (n[1] == 0) {
        up[0] = 0, up[1] = 1, up[2] = 0;
    } else if (n[2] == 0) {
        up[0] = 0, up[1] = 0, up[2] = 1;
    } else {
        up[0] = 0, up[1] = -n[2], up[2] = n[1];
        normalise3(up);
    }
    right[0] = up[1] * n[2] - up[2] * n[1];
    right[1] = up[2] * n[0] - up[0] * n[2];
    right[2] = up[0] * n[1] - up[1] * n[0];
    normalise3(right);
}

void rttTextureSize(double splatCount, double er, double eu, int32_t& width, int32_t& height) {
    const float aspect = float(er / eu);
    int64_t w, h;
    if (er > eu) {
        w = int64_t(std::ceil(std::sqrt(6.0 * splatCount * aspect)));
        if (w >= RTT_MAX_TEXTURE_SIZE)
            w = RTT_MAX_TEXTURE_SIZE;
        h = int64_t(double(w) / aspect);
    } else {
        h = int64_t(std::ceil(std::sqrt(6.0 * splatCount / aspect)));
        if (h >= RTT_MAX_TEXTURE_SIZE)
            h = RTT_MAX_TEXTURE_SIZE;
        w = int64_t(double(h) * aspect);
    }
    width = int32_t(std::clamp<int64_t>(w, 1, RTT_MAX_TEXTURE_SIZE));
    height = int32_t(std::clamp<int64_t>(h, 1, RTT_MAX_TEXTURE_SIZE));
}

bool prepareRTT(const std::vector<Splat>& splats, const TreeFrame& frame, RenderToTextureSetup& setup) {
    if (splats.empty())
        return false;
    size_t negative = 0;
    for (const Splat& s : splats)
        if (s.nz < 0 && negative++ == 0)
            std::cout << "Negative z: " << s.nx << " " << s.ny << " " << s.nz << std::endl;
    if (negative > 1) // one line per splat floods the log for every wall
        std::cout << "Negative z: " << negative - 1 << " more splats" << std::endl;

    double normal[3], centroid[3], up[3], right[3];
    calculateAverages(splats, normal, centroid, frame);
    calculateUpAndRightVector(normal, up, right);

    constexpr double inf = std::numeric_limits<double>::infinity();
    double minR = inf, maxR = -inf, minU = inf, maxU = -inf;
    for (const Splat& s : splats) {
        const GLVector3d p = frame.normalised(s);
        const double d[3] = {p.x - centroid[0], p.y - centroid[1], p.z - centroid[2]};
        minR = std::min(minR, dot3(d, right)), maxR = std::max(maxR, dot3(d, right));
        minU = std::min(minU, dot3(d, up)), maxU = std::max(maxU, dot3(d, up));
    }
    double centre[3];
    for (int i = 0; i < 3; ++i)
        centre[i] = centroid[i] + right[i] * 0.5 * (minR + maxR) + up[i] * 0.5 * (minU + maxU);

    minR = minU = inf, maxR = maxU = -inf;
    double minN = inf, maxN = -inf;
    for (const Splat& s : splats) {
        const GLVector3d p = frame.normalised(s);
        const double d[3] = {p.x - centre[0], p.y - centre[1], p.z - centre[2]};
        minR = std::min(minR, dot3(d, right)), maxR = std::max(maxR, dot3(d, right));
        minU = std::min(minU, dot3(d, up)), maxU = std::max(maxU, dot3(d, up));
        minN = std::min(minN, dot3(d, normal)), maxN = std::max(maxN, dot3(d, normal));
    }
    // One splat has no extent and collinear splats none across: a floor relative to the larger side (or an
    // absolute one) keeps the aspect and the projection finite.
    const double floorExtent = std::max(1e-3 * std::max(maxR - minR, maxU - minU), 1e-9);
    const double er = std::max(maxR - minR, floorExtent);
    const double eu = std::max(maxU - minU, floorExtent);
    rttTextureSize(double(splats.size()), er, eu, setup.width, setup.height);
    for (int i = 0; i < 3; ++i)
        setup.normal[i] = normal[i], setup.centre[i] = centre[i];

    float* m = setup.modelView;
    std::fill(m, m + 16, 0.0f);
    const double* rows[3] = {right, up, normal};
    for (int r = 0; r < 3; ++r) {
        m[r] = float(rows[r][0]);
        m[4 + r] = float(rows[r][1]);
        m[8 + r] = float(rows[r][2]);
        m[12 + r] = float(-dot3(rows[r], centre));
    }
    m[15] = 1;

    // The eye looks down −normal, so a splat at height h above the plane has eye depth −h. The range holds
    // every splat on either side of the plane with a margin; a flat surface gets a margin of its own.
    const double margin = std::max(0.5 * (maxN - minN), floorExtent);
    const double nearPlane = -maxN - margin, farPlane = -minN + margin;
    float* p = setup.projection;
    std::fill(p, p + 16, 0.0f);
    // 5 pixels in all stay free on each axis, so splat discs at the border are not cut off.
    const double w = setup.width, h = setup.height;
    p[0] = float((2.0 / er) * std::max(1.0 - 5.0 / w, 0.1));
    p[5] = float((2.0 / eu) * std::max(1.0 - 5.0 / h, 0.1));
    p[10] = float(-2.0 / (farPlane - nearPlane));
    p[14] = float(-(farPlane + nearPlane) / (farPlane - nearPlane));
    p[15] = 1;
    return true;
}
