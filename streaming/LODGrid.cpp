#include "LODGrid.h"

#include "LASHeader.h"

#include <algorithm>
#include <cmath>
#include <iostream>

namespace {

// Tile counts are whole and at least one; a NaN or runaway count (a hostile header) becomes one.
uint32_t tileCount(double v) {
    const double c = std::ceil(v);
    return c >= 1 && c < 65536 ? uint32_t(c) : 1;
}

} // namespace

LODGrid::LODGrid(const LASHeader* h, std::ostream* log) {
    numberOfPoints = h->NumberOfPointRecords;
    scale[0] = h->ScaleFactor_X;
    scale[1] = h->ScaleFactor_Y;
    scale[2] = h->ScaleFactor_Z;
    offset[0] = h->OffsetX;
    offset[1] = h->OffsetY;
    offset[2] = h->OffsetZ;
    const double mins[3] = {h->Min_X, h->Min_Y, h->Min_Z}, maxs[3] = {h->Max_X, h->Max_Y, h->Max_Z};
    for (int a = 0; a < 3; ++a) {
        worldBounds[2 * a] = mins[a];
        worldBounds[2 * a + 1] = maxs[a];
        rawBounds[2 * a] = std::floor((mins[a] - offset[a]) / scale[a] - 1.0);
        rawBounds[2 * a + 1] = std::ceil((maxs[a] - offset[a]) / scale[a] + 1.0);
        centreOffset[a] = -(rawBounds[2 * a] + rawBounds[2 * a + 1]) / 2;
    }
    // Heights span one model unit, each axis in its own scale factor so that a metre is a metre on every
    // axis. The widened bounds are at least two raw units apart, so flat data keeps a finite scale. Where
    // that would make the footprint tiny (a tall data set, or outliers) or vast (a flat one), the footprint
    // is held between kMinFootprint and kMaxFootprint model units instead: the camera's near plane and the
    // depth buffer's precision are fixed in model units.
    double perWorldUnit = 1.0 / ((rawBounds[5] - rawBounds[4]) * std::abs(scale[2]));
    const double footprint = std::max((rawBounds[1] - rawBounds[0]) * std::abs(scale[0]),
                                      (rawBounds[3] - rawBounds[2]) * std::abs(scale[1]));
    if (footprint * perWorldUnit < kMinFootprint)
        perWorldUnit = kMinFootprint / footprint;
    else if (footprint * perWorldUnit > kMaxFootprint)
        perWorldUnit = kMaxFootprint / footprint;
    for (int a = 0; a < 3; ++a)
        modelScale[a] = std::abs(scale[a]) * perWorldUnit;
    if (!std::isfinite(modelScale[0] * modelScale[1] * modelScale[2]) ||
        !(modelScale[0] * modelScale[1] * modelScale[2] > 0))
        for (int a = 0; a < 3; ++a) // a hostile header: the old uniform mapping rather than NaN
            modelScale[a] = 1.0 / (rawBounds[5] - rawBounds[4]);
    normalisingScale = modelScale[2];

    // Extents in raw units, at least one unit each, so that a line of points or a single point still
    // gives a finite aspect ratio.
    const double extentX = std::max((maxs[0] - mins[0]) / scale[0], 1.0);
    const double extentY = std::max((maxs[1] - mins[1]) / scale[1], 1.0);
    const double a = extentX / extentY;
    const double target = numberOfPoints / 100000.0;
    if (!(target > 0) || !std::isfinite(a)) {
        // No points: one tile over everything instead of a grid of none.
        tilesX = tilesY = 1;
        tileWidth = tileHeight = std::max(rawBounds[1] - rawBounds[0], rawBounds[3] - rawBounds[2]);
    } else if (a <= 1) {
        const double s = std::sqrt(target / a);
        tilesY = tileCount(s);
        tilesX = tileCount(a * s);
        tileHeight = extentY / s;
        tileWidth = extentX / s / a;
    } else {
        const double s = std::sqrt(target * a);
        tilesX = tileCount(s);
        tilesY = tileCount(s / a);
        tileWidth = extentX / s;
        tileHeight = extentY / s * a;
    }
    if (!(tileWidth > 0) || !std::isfinite(tileWidth))
        tileWidth = tileHeight = std::max(rawBounds[1] - rawBounds[0], rawBounds[3] - rawBounds[2]);
    numberOfTiles = tilesX * tilesY;
    // The counts cover the header's extent, but the widened bounds start one to two units lower: when a
    // count comes out whole, points near the maximum lie beyond the last column or row. The last column
    // and row reach to the widened maximum instead, so that no point is left without a tile.
    lastEdgeX = std::max(tilesX * tileWidth + rawBounds[0], rawBounds[1]);
    lastEdgeY = std::max(tilesY * tileHeight + rawBounds[2], rawBounds[3]);

    if (log == nullptr)
        return;
    *log << "LODGrid bounds: (" << rawBounds[0] << " - " << rawBounds[1] << "," << rawBounds[2] << " - "
         << rawBounds[3] << "," << rawBounds[4] << " - " << rawBounds[5] << ")\n";
    *log << "Number of tiles=" << numberOfTiles << ", dimensions: " << tilesX << "x" << tilesY
         << ", aspect ratio=" << a << ", tile height=" << tileHeight << ", width=" << tileWidth << "\n";
}

std::array<double, 4> LODGrid::getTileBounds(int x, int y, bool normalised) const {
    std::array<double, 4> b{x * tileWidth + rawBounds[0],
                            x + 1 == int(tilesX) ? lastEdgeX : (x + 1) * tileWidth + rawBounds[0],
                            y * tileHeight + rawBounds[2],
                            y + 1 == int(tilesY) ? lastEdgeY : (y + 1) * tileHeight + rawBounds[2]};
    if (normalised) {
        for (int i = 0; i < 4; ++i)
            b[size_t(i)] = (b[size_t(i)] + centreOffset[i / 2]) * modelScale[i / 2];
    }
    return b;
}

std::array<double, 4> LODGrid::getTileBounds(int n, bool normalised) const {
    return getTileBounds(getTileXCoordinate(n), getTileYCoordinate(n), normalised);
}

std::array<double, 4> LODGrid::getTileGlobalBounds(int x, int y) const {
    // The raw tile edges in world measure, computed as the server computes a point's world coordinate:
    // a point files into tile (x, y) exactly when the server places it in this rectangle.
    const auto raw = getTileBounds(x, y, false);
    return {raw[0] * scale[0] + offset[0], raw[1] * scale[0] + offset[0], raw[2] * scale[1] + offset[1],
            raw[3] * scale[1] + offset[1]};
}

uint32_t gridToMorton(uint32_t n, uint32_t x, uint32_t y) {
    uint32_t index = 0;
    for (uint32_t h = n / 2; h >= 1; h /= 2) {
        const uint32_t quadrant = (x >= h ? 2u : 0u) + (y >= h ? 1u : 0u);
        index += quadrant * h * h;
        if (x >= h)
            x -= h;
        if (y >= h)
            y -= h;
    }
    return index;
}

void mortonToGrid(uint32_t n, uint32_t index, uint32_t& x, uint32_t& y) {
    x = y = 0;
    for (uint32_t h = n / 2; h >= 1; h /= 2) {
        const uint32_t quadrant = index / (h * h);
        if (quadrant >= 2)
            x += h;
        if (quadrant == 1 || quadrant == 3)
            y += h;
        index -= quadrant * h * h;
    }
}

bool mortonUnitTest() {
    uint32_t x = 0, y = 0;
    std::cout << "Morton index: " << gridToMorton(8, 5, 3) << ", should be 39.\n";
    mortonToGrid(8, 39, x, y);
    std::cout << "Grid indeces: " << x << " " << y << ", should be 5 3.\n";
    bool ok = true;
    for (uint32_t n = 1; n <= 32; n *= 2)
        for (uint32_t cx = 0; cx < n; ++cx)
            for (uint32_t cy = 0; cy < n; ++cy) {
                const uint32_t index = gridToMorton(n, cx, cy);
                mortonToGrid(n, index, x, y);
                if (x != cx || y != cy) {
                    std::cout << "Morton unit test error, morton index " << index << " calculated for grid "
                              << cx << " " << cy << ", return indeces " << x << " " << y << "\n";
                    ok = false;
                }
            }
    return ok;
}
