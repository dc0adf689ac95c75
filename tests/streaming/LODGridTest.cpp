// The tile grid: layout from the header, tile numbering, and that every point of the header's extent
// files into a tile whose server rectangle holds it.
#include "LODGrid.h"
#include "LASHeader.h"

#include "support/CaptureStdout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

LASHeader header(uint32_t points, double minX, double maxX, double minY, double maxY, double scale = 0.01,
                 double offsetX = 0, double offsetY = 0) {
    LASHeader h;
    h.NumberOfPointRecords = points;
    h.ScaleFactor_X = h.ScaleFactor_Y = h.ScaleFactor_Z = scale;
    h.OffsetX = offsetX;
    h.OffsetY = offsetY;
    h.Min_X = minX;
    h.Max_X = maxX;
    h.Min_Y = minY;
    h.Max_Y = maxY;
    h.Min_Z = 100;
    h.Max_Z = 200;
    return h;
}

LODGrid quietGrid(const LASHeader& h) {
    StdoutCapture quiet;
    return LODGrid(&h);
}

TEST(LODGrid, LayoutFromTheHeader) {
    auto wide = header(800000, 0, 2000, 0, 1000, 0.01);
    StdoutCapture capture;
    LODGrid g(&wide);
    const std::string out = capture.take();
    EXPECT_EQ(g.getTilesX(), 4u);
    EXPECT_EQ(g.getTilesY(), 2u);
    EXPECT_EQ(g.getNumberOfTiles(), 8u);
    EXPECT_DOUBLE_EQ(g.tileWidth, 200000.0 / 4);
    EXPECT_DOUBLE_EQ(g.tileHeight, g.tileWidth);
    EXPECT_EQ(
        out.rfind(
            "LODGrid bounds: (-1 - 200001,-1 - 100001,9999 - 20001)\nNumber of tiles=8, dimensions: 4x2", 0),
        0u)
        << out;
    // Numbering runs down each column first.
    EXPECT_EQ(g.getTileNum(0, 1), 1);
    EXPECT_EQ(g.getTileNum(1, 0), 2);
    EXPECT_EQ(g.getTileXCoordinate(5), 2);
    EXPECT_EQ(g.getTileYCoordinate(5), 1);
    EXPECT_EQ(g.getSplatTile(0, 0), 0); // the raw minimum lies inside tile 0
    // The whole counts leave the maximum (raw 200000, 100000) beyond 4 × 50000 - 1: the last tile takes it.
    EXPECT_EQ(g.getSplatTile(200000, 100000), 7);
    EXPECT_DOUBLE_EQ(g.getTileBounds(3, 1, false)[1], 200001);
    EXPECT_DOUBLE_EQ(g.getTileBounds(3, 1, false)[3], 100001);
    EXPECT_DOUBLE_EQ(g.getTileBounds(2, 0, false)[1], 149999);
    EXPECT_DOUBLE_EQ(g.getTileSize(), g.tileWidth * g.tileWidth);
    const auto n = g.getTileBounds(0, 0, true);
    EXPECT_DOUBLE_EQ(n[0], (-1 + g.centreOffset[0]) * g.normalisingScale);
    EXPECT_DOUBLE_EQ(g.normalisingScale, 1.0 / (20001 - 9999));

    const LODGrid a = quietGrid(header(100000, 0, 100, 0, 100)), b = quietGrid(header(1, 5, 5, 5, 5)),
                  c = quietGrid(header(0, 0, 0, 0, 0));
    EXPECT_EQ(a.getNumberOfTiles(), 1u);
    EXPECT_EQ(b.getNumberOfTiles(), 1u);
    // No points: still one tile, so no tile operation divides by zero, and flat data a finite scale.
    EXPECT_EQ(c.getNumberOfTiles(), 1u);
    EXPECT_EQ(c.getTileXCoordinate(0), 0);
    EXPECT_TRUE(std::isfinite(c.normalisingScale));
    EXPECT_EQ(c.getSplatTile(0, 0), 0);
}

// A metre is a metre on every axis whatever the scale factors, and the footprint's longer side stays
// within the model-space bounds the camera relies on.
TEST(LODGrid, ModelSpaceKeepsTrueProportions) {
    struct Case {
        double sx, sy, sz, width, depth, heightRange,
            footprint; // footprint: expected longer side, model units
    } cases[] = {
        {0.01, 0.01, 0.001, 500, 250, 50, 10}, // the common airborne scales: z ten times finer
        {1.03e-6, 1.22e-6, 1.33e-7, 0.004, 0.004, 0.0004, 10},       // different on every axis
        {0.01, 0.01, 0.01, 10, 10, 100, LODGrid::kMinFootprint},     // tall: outliers or steep terrain
        {0.01, 0.01, 0.01, 10000, 5000, 10, LODGrid::kMaxFootprint}, // flat: footprint a thousand heights
    };
    for (const Case& c : cases) {
        LASHeader h = header(100000, 0, c.width, 0, c.depth);
        h.ScaleFactor_X = c.sx;
        h.ScaleFactor_Y = c.sy;
        h.ScaleFactor_Z = c.sz;
        h.Max_Z = h.Min_Z + c.heightRange;
        const LODGrid g = quietGrid(h);
        // Model units per world unit, the same on all three axes.
        const double k = g.modelScale[0] / c.sx;
        EXPECT_NEAR(g.modelScale[1] / c.sy / k, 1.0, 1e-12) << c.sx;
        EXPECT_NEAR(g.modelScale[2] / c.sz / k, 1.0, 1e-12) << c.sx;
        EXPECT_DOUBLE_EQ(g.normalisingScale, g.modelScale[2]);
        const auto b = g.getTileBounds(0, 0, true);
        EXPECT_DOUBLE_EQ(b[0], (g.rawBounds[0] + g.centreOffset[0]) * g.modelScale[0]);
        EXPECT_DOUBLE_EQ(b[2], (g.rawBounds[2] + g.centreOffset[1]) * g.modelScale[1]);
        const double longer = std::max((g.rawBounds[1] - g.rawBounds[0]) * g.modelScale[0],
                                       (g.rawBounds[3] - g.rawBounds[2]) * g.modelScale[1]);
        EXPECT_NEAR(longer, c.footprint, c.footprint * 0.01) << c.sx << " " << c.width;
    }
}

// The counts cover the header's extent; the widened bounds reach one or two units further. Extents that
// make a tile count whole would leave the points at the maximum outside every tile, but the last column
// and row reach to the widened maximum.
TEST(LODGrid, EveryPointOfTheExtentFilesIntoATileWhoseRectangleHoldsIt) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 200; ++trial) {
        const double scale = trial % 3 == 0 ? 0.01 : trial % 3 == 1 ? 0.001 : 1.0;
        const uint32_t points = trial < 20 ? 100000u * uint32_t(trial + 1) : uint32_t(rng() % 50000000);
        const double w = 1 + rng() % 5000, hgt = 1 + rng() % 5000;
        const double ox = 500000 + rng() % 1000, oy = 5000000 + rng() % 1000;
        auto h = header(points, ox, ox + w, oy, oy + hgt, scale, 400000, 4000000);
        const LODGrid g = quietGrid(h);
        ASSERT_GE(g.getNumberOfTiles(), 1u);
        const int32_t rx0 = int32_t(std::llround((h.Min_X - h.OffsetX) / scale));
        const int32_t rx1 = int32_t(std::llround((h.Max_X - h.OffsetX) / scale));
        const int32_t ry0 = int32_t(std::llround((h.Min_Y - h.OffsetY) / scale));
        const int32_t ry1 = int32_t(std::llround((h.Max_Y - h.OffsetY) / scale));
        for (int k = 0; k < 50; ++k) {
            int32_t X = k == 0 ? rx0 : k == 1 ? rx1 : rx0 + int32_t(rng() % uint32_t(rx1 - rx0 + 1));
            int32_t Y = k == 0 ? ry0 : k == 1 ? ry1 : ry0 + int32_t(rng() % uint32_t(ry1 - ry0 + 1));
            const int tile = g.getSplatTile(X, Y);
            ASSERT_GE(tile, 0) << "trial " << trial << ": point " << X << " " << Y << " outside the grid";
            const auto r = g.getTileGlobalBounds(g.getTileXCoordinate(tile), g.getTileYCoordinate(tile));
            const double wx = double(X) * scale + h.OffsetX, wy = double(Y) * scale + h.OffsetY;
            EXPECT_TRUE(wx >= r[0] && wx < r[1] && wy >= r[2] && wy < r[3]) << "trial " << trial;
        }
    }
    const LODGrid g = quietGrid(header(100000, 0, 100, 0, 100));
    EXPECT_EQ(g.getSplatTile(-100, 0), -1);
    EXPECT_EQ(g.getSplatTile(0, 1000000), -1);
}

TEST(LODGrid, MortonOrder) {
    EXPECT_EQ(gridToMorton(8, 5, 3), 39u);
    EXPECT_EQ(gridToMorton(2, 1, 0), 2u);
    uint32_t x = 0, y = 0;
    mortonToGrid(8, 39, x, y);
    EXPECT_EQ(x, 5u);
    EXPECT_EQ(y, 3u);
    // Bits of x in the odd positions, those of y in the even ones.
    for (uint32_t cx = 0; cx < 64; ++cx)
        for (uint32_t cy = 0; cy < 64; ++cy) {
            uint32_t expect = 0;
            for (int b = 0; b < 6; ++b)
                expect |= ((cx >> b) & 1u) << (2 * b + 1) | ((cy >> b) & 1u) << (2 * b);
            ASSERT_EQ(gridToMorton(64, cx, cy), expect);
        }
    StdoutCapture capture;
    EXPECT_TRUE(mortonUnitTest());
    const std::string out = capture.take();
    EXPECT_EQ(out, "Morton index: 39, should be 39.\nGrid indeces: 5 3, should be 5 3.\n");
}

} // namespace
