#include "SplatSpacing.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace {

constexpr double kPi = 3.1415927410125732;
// Neighbours are looked for this many mean-density radii around a sample point. Gaps up to half of it
// are measured: between scan lines about five times wider apart than the points along them.
constexpr double kSearchRadii = 6;
constexpr int kSectors = 8, kPerSector = 2;
constexpr int kHistogram = 8;

} // namespace

double SplatSpacing::meanRadius(double area, double points) {
    return 1.5 * std::sqrt(area / points / kPi);
}

std::vector<SplatSpacing::Window> SplatSpacing::gather(const Splat* splats, size_t n, double sx, double sy) {
    std::vector<Window> windows;
    if (splats == nullptr || n < kWindowPoints / 4 || !(sx > 0) || !(sy > 0))
        return windows;
    int32_t minX = std::numeric_limits<int32_t>::max(), minY = minX;
    int32_t maxX = std::numeric_limits<int32_t>::min(), maxY = maxX;
    for (size_t i = 0; i < n; ++i) {
        minX = std::min(minX, splats[i].x);
        maxX = std::max(maxX, splats[i].x);
        minY = std::min(minY, splats[i].y);
        maxY = std::max(maxY, splats[i].y);
    }
    const double width = (double(maxX) - minX) * sx, height = (double(maxY) - minY) * sy;
    if (!(width > 0) || !(height > 0))
        return windows; // points on a line: no area to cover
    auto wx = [&](const Splat& s) { return (double(s.x) - minX) * sx; };
    auto wy = [&](const Splat& s) { return (double(s.y) - minY) * sy; };

    if (n <= 2 * kWindowPoints) {
        windows.push_back(Window{0, 0, width, height, {}});
    } else {
        // Windows sized by the density around their centres, so that each holds about kWindowPoints.
        std::array<size_t, kHistogram * kHistogram> counts{};
        const double cw = width / kHistogram, ch = height / kHistogram;
        auto cell = [&](double v, double size) { return std::min(int(v / size), kHistogram - 1); };
        for (size_t i = 0; i < n; ++i)
            ++counts[size_t(cell(wx(splats[i]), cw) * kHistogram + cell(wy(splats[i]), ch))];
        for (int c : {2 * kHistogram + 2, 5 * kHistogram + 2, 2 * kHistogram + 5, 5 * kHistogram + 5}) {
            if (counts[size_t(c)] == 0)
                continue;
            const double density = double(counts[size_t(c)]) / (cw * ch);
            const double half = std::sqrt(double(kWindowPoints) / density) / 2;
            const double cx = (c / kHistogram + 0.5) * cw, cy = (c % kHistogram + 0.5) * ch;
            windows.push_back(Window{std::max(cx - half, 0.0),
                                     std::max(cy - half, 0.0),
                                     std::min(cx + half, width),
                                     std::min(cy + half, height),
                                     {}});
        }
    }
    std::vector<char> full(windows.size(), 0);
    for (size_t i = 0; i < n; ++i) {
        const double x = wx(splats[i]), y = wy(splats[i]);
        for (size_t w = 0; w < windows.size(); ++w) {
            Window& win = windows[w];
            if (x < win.x0 || x > win.x1 || y < win.y0 || y > win.y1 || full[w])
                continue;
            // A window far denser than its histogram cell said is dropped whole: a part of it would
            // show its cut edge as a gap.
            if (win.xy.size() >= 8 * kWindowPoints) {
                full[w] = 1;
                win.xy.clear();
                continue;
            }
            win.xy.push_back(x);
            win.xy.push_back(y);
        }
    }
    return windows;
}

SplatSpacing::Estimate SplatSpacing::measure(const std::vector<Window>& windows) {
    std::vector<double> ratios;
    for (const Window& win : windows) {
        const size_t n = win.xy.size() / 2;
        const double w = win.x1 - win.x0, h = win.y1 - win.y0;
        if (n < kWindowPoints / 4 || !(w > 0) || !(h > 0))
            continue;
        const double mean = meanRadius(w * h, double(n));
        const double reach = kSearchRadii * mean, reach2 = reach * reach;
        const double ix0 = win.x0 + reach, ix1 = win.x1 - reach, iy0 = win.y0 + reach, iy1 = win.y1 - reach;
        if (ix0 >= ix1 || iy0 >= iy1)
            continue;

        // Points binned into cells of about one mean radius.
        const double cell = mean;
        const int cols = std::max(1, int(std::ceil(w / cell))), rows = std::max(1, int(std::ceil(h / cell)));
        auto cellOf = [&](double x, double y) {
            const int c = std::clamp(int((x - win.x0) / cell), 0, cols - 1);
            const int r = std::clamp(int((y - win.y0) / cell), 0, rows - 1);
            return size_t(c) * size_t(rows) + size_t(r);
        };
        std::vector<unsigned> start(size_t(cols) * size_t(rows) + 1, 0), order(n);
        for (size_t i = 0; i < n; ++i)
            ++start[cellOf(win.xy[2 * i], win.xy[2 * i + 1]) + 1];
        for (size_t c = 1; c < start.size(); ++c)
            start[c] += start[c - 1];
        std::vector<unsigned> fill(start.begin(), start.end() - 1);
        for (size_t i = 0; i < n; ++i)
            order[fill[cellOf(win.xy[2 * i], win.xy[2 * i + 1])]++] = unsigned(i);

        std::vector<unsigned> inner;
        for (size_t i = 0; i < n; ++i) {
            const double x = win.xy[2 * i], y = win.xy[2 * i + 1];
            if (x >= ix0 && x <= ix1 && y >= iy0 && y <= iy1)
                inner.push_back(unsigned(i));
        }
        const size_t stride = std::max<size_t>(1, inner.size() / kSamples);
        for (size_t k = 0; k < inner.size(); k += stride) {
            const double px = win.xy[2 * inner[k]], py = win.xy[2 * inner[k] + 1];
            // The nearest kPerSector neighbours in each of kSectors directions.
            struct Near {
                double d2, x, y;
            };
            std::array<std::array<Near, kPerSector>, kSectors> near;
            for (auto& s : near)
                s.fill(Near{std::numeric_limits<double>::infinity(), 0, 0});
            const int c0 = std::max(0, int((px - reach - win.x0) / cell)),
                      c1 = std::min(cols - 1, int((px + reach - win.x0) / cell));
            const int r0 = std::max(0, int((py - reach - win.y0) / cell)),
                      r1 = std::min(rows - 1, int((py + reach - win.y0) / cell));
            for (int c = c0; c <= c1; ++c)
                for (int r = r0; r <= r1; ++r) {
                    const size_t id = size_t(c) * size_t(rows) + size_t(r);
                    for (unsigned j = start[id]; j < start[id + 1]; ++j) {
                        const double dx = win.xy[2 * order[j]] - px, dy = win.xy[2 * order[j] + 1] - py;
                        const double d2 = dx * dx + dy * dy;
                        if (d2 == 0 || d2 > reach2) // the point itself, or one at the same place
                            continue;
                        const int s =
                            std::min(kSectors - 1, int((std::atan2(dy, dx) + kPi) / (2 * kPi) * kSectors));
                        auto& slot = near[size_t(std::max(s, 0))];
                        if (d2 < slot[kPerSector - 1].d2) {
                            slot[kPerSector - 1] = Near{d2, dx, dy};
                            for (int m = kPerSector - 1; m > 0 && slot[size_t(m)].d2 < slot[size_t(m - 1)].d2;
                                 --m)
                                std::swap(slot[size_t(m)], slot[size_t(m - 1)]);
                        }
                    }
                }
            std::vector<Near> cand;
            for (const auto& s : near)
                for (const Near& q : s)
                    if (std::isfinite(q.d2))
                        cand.push_back(q);
            // Triangles (p, a, b) whose circumcircle holds no other neighbour: p's local Delaunay star.
            for (size_t a = 0; a < cand.size(); ++a)
                for (size_t b = a + 1; b < cand.size(); ++b) {
                    const Near &A = cand[a], &B = cand[b];
                    const double cross = A.x * B.y - A.y * B.x;
                    if (std::abs(cross) <= 1e-9 * std::sqrt(A.d2 * B.d2))
                        continue;
                    const double ux = (B.y * A.d2 - A.y * B.d2) / (2 * cross);
                    const double uy = (A.x * B.d2 - B.x * A.d2) / (2 * cross);
                    const double r2 = ux * ux + uy * uy;
                    if (4 * r2 > reach2) // the circle reaches past the neighbours looked at
                        continue;
                    bool empty = true;
                    for (size_t c = 0; c < cand.size() && empty; ++c)
                        if (c != a && c != b) {
                            const double ex = cand[c].x - ux, ey = cand[c].y - uy;
                            empty = ex * ex + ey * ey >= r2 * (1 - 1e-9);
                        }
                    if (!empty)
                        continue;
                    // The few triangles left are checked against every point near the circle.
                    const double r = std::sqrt(r2), cx = px + ux, cy = py + uy;
                    const int d0 = std::max(0, int((cx - r - win.x0) / cell)),
                              d1 = std::min(cols - 1, int((cx + r - win.x0) / cell));
                    const int e0 = std::max(0, int((cy - r - win.y0) / cell)),
                              e1 = std::min(rows - 1, int((cy + r - win.y0) / cell));
                    for (int c = d0; c <= d1 && empty; ++c)
                        for (int rr = e0; rr <= e1 && empty; ++rr) {
                            const size_t id = size_t(c) * size_t(rows) + size_t(rr);
                            for (unsigned j = start[id]; j < start[id + 1] && empty; ++j) {
                                const double ex = win.xy[2 * order[j]] - cx,
                                             ey = win.xy[2 * order[j] + 1] - cy;
                                empty = ex * ex + ey * ey >= r2 * (1 - 1e-9);
                            }
                        }
                    if (empty)
                        ratios.push_back(r / mean);
                }
        }
    }
    Estimate e;
    if (ratios.empty())
        return e;
    const auto q = ratios.begin() + std::ptrdiff_t(kQuantile * double(ratios.size() - 1));
    std::nth_element(ratios.begin(), q, ratios.end());
    e.ratio = *q * kMargin;
    e.triangles = unsigned(ratios.size());
    return e;
}
