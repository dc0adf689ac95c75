// The tile grid, the tiles' storage, render and splat tiles with their levels, the attribute sample and
// the requests that file splats into tiles.
#include "AttributeSample.h"
#include "LASHeader.h"
#include "LODGrid.h"
#include "RenderTile.h"
#include "SplatTile.h"
#include "TileMemory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <stdexcept>

namespace {

LASHeader header(uint32_t points, double maxX, double maxY, double scale = 0.01, double minX = 0,
                 double minY = 0, double offset = 0) {
    LASHeader h;
    h.NumberOfPointRecords = points;
    h.ScaleFactor_X = h.ScaleFactor_Y = h.ScaleFactor_Z = scale;
    h.OffsetX = offset, h.OffsetY = 10 * offset;
    h.Min_X = minX, h.Max_X = maxX, h.Min_Y = minY, h.Max_Y = maxY, h.Min_Z = 100, h.Max_Z = 200;
    return h;
}

std::vector<int> iota(int n) {
    std::vector<int> v(size_t(n), 0);
    std::iota(v.begin(), v.end(), 0);
    return v;
}

PointAttributes attributes(int i) {
    return {uint8_t(i), uint8_t(i >> 8), uint8_t(9 + i), uint8_t(2 + i % 3)};
}

// A level of `count` splats, with a colour and an attribute record each when `full`.
void addLevel(SplatTile& t, int count, int32_t z0 = 0, bool full = false) {
    t.addLOD();
    for (int i = 0; i < count; ++i) {
        t.addSplat(Splat{i, i, z0 + i, 0, 0, 2});
        if (full)
            t.addColor(Color{uint16_t(i), 0, 0}), t.addAttributes(attributes(i));
    }
}

// Layout, numbering and bounds; the raw maximum lies in the last tile; no points still make one tile.
TEST(LODGrid, LayoutFromTheHeader) {
    auto wide = header(800000, 2000, 1000);
    const LODGrid g(&wide, nullptr);
    EXPECT_EQ(std::make_pair(g.getTilesX(), g.getTilesY()), std::make_pair(4u, 2u));
    EXPECT_EQ(std::make_pair(g.tileWidth, g.tileHeight), std::make_pair(50000.0, 50000.0));
    EXPECT_EQ(std::vector<double>(g.rawBounds, g.rawBounds + 6),
              (std::vector<double>{-1, 200001, -1, 100001, 9999, 20001}));
    EXPECT_EQ(g.getTileNum(1, 0), 2);             // down each column first
    EXPECT_EQ(g.getSplatTile(200000, 100000), 7); // beyond 4 × 50000 - 1: the last tile takes it
    EXPECT_EQ(g.getTileBounds(3, 1, false), (std::array<double, 4>{149999, 200001, 49999, 100001}));
    EXPECT_DOUBLE_EQ(g.normalisingScale, 1.0 / (20001 - 9999));
    for (auto h : {header(100000, 100, 100), header(1, 5, 5, 0.01, 5, 5), header(0, 0, 0)}) {
        const LODGrid one(&h, nullptr);
        EXPECT_EQ(one.getNumberOfTiles(), 1u);
        EXPECT_EQ(one.getSplatTile(int(h.Min_X * 100), int(h.Min_Y * 100)), 0);
        EXPECT_TRUE(std::isfinite(one.normalisingScale));
    }
}

// A metre is a metre on every axis whatever the scale factors; the footprint's longer side is held
// within the model-space bounds the camera relies on.
TEST(LODGrid, ModelSpaceKeepsTrueProportions) {
    struct Case {
        double sx, sy, sz, width, depth, heightRange, footprint;
    } cases[] = {
        // clang-format off
        {0.01, 0.01, 0.001, 500, 250, 50, 10},                       // z ten times finer
        {1.03e-6, 1.22e-6, 1.33e-7, 0.004, 0.004, 0.0004, 10},       // different on every axis
        {0.01, 0.01, 0.01, 10, 10, 100, LODGrid::kMinFootprint},     // tall
        {0.01, 0.01, 0.01, 10000, 5000, 10, LODGrid::kMaxFootprint}, // flat
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sx);
        LASHeader h = header(100000, c.width, c.depth);
        h.ScaleFactor_X = c.sx, h.ScaleFactor_Y = c.sy, h.ScaleFactor_Z = c.sz,
        h.Max_Z = h.Min_Z + c.heightRange;
        const LODGrid g(&h, nullptr);
        const double k = g.modelScale[0] / c.sx;
        EXPECT_NEAR(g.modelScale[1] / c.sy / k, 1.0, 1e-12);
        EXPECT_NEAR(g.modelScale[2] / c.sz / k, 1.0, 1e-12);
        EXPECT_DOUBLE_EQ(g.normalisingScale, g.modelScale[2]);
        EXPECT_DOUBLE_EQ(g.getTileBounds(0, 0, true)[2],
                         (g.rawBounds[2] + g.centreOffset[1]) * g.modelScale[1]);
        const double longer = std::max((g.rawBounds[1] - g.rawBounds[0]) * g.modelScale[0],
                                       (g.rawBounds[3] - g.rawBounds[2]) * g.modelScale[1]);
        EXPECT_NEAR(longer, c.footprint, c.footprint * 0.01);
    }
}

// Every point of the header's extent (its maximum included) files into a tile whose server rectangle
// holds it; points beyond the grid into none.
TEST(LODGrid, EveryPointOfTheExtentFilesIntoATileWhoseRectangleHoldsIt) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 200; ++trial) {
        const double scale = trial % 3 == 0 ? 0.01 : trial % 3 == 1 ? 0.001 : 1.0;
        const uint32_t points = trial < 20 ? 100000u * uint32_t(trial + 1) : uint32_t(rng() % 50000000);
        const double x0 = 500000 + rng() % 1000, y0 = 5000000 + rng() % 1000;
        auto h = header(points, x0 + 1 + rng() % 5000, y0 + 1 + rng() % 5000, scale, x0, y0, 400000);
        const LODGrid g(&h, nullptr);
        const auto raw = [&](double v, double o) { return int32_t(std::llround((v - o) / scale)); };
        const int32_t rx0 = raw(h.Min_X, h.OffsetX), rx1 = raw(h.Max_X, h.OffsetX);
        const int32_t ry0 = raw(h.Min_Y, h.OffsetY), ry1 = raw(h.Max_Y, h.OffsetY);
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
    auto h = header(100000, 100, 100);
    const LODGrid g(&h, nullptr);
    EXPECT_EQ(std::make_pair(g.getSplatTile(-100, 0), g.getSplatTile(0, 1000000)), std::make_pair(-1, -1));
}

// Bits of x in the odd positions, those of y in the even ones, and back.
TEST(LODGrid, MortonOrder) {
    for (uint32_t cx = 0; cx < 64; ++cx)
        for (uint32_t cy = 0, expect = 0, x = 0, y = 0; cy < 64; ++cy, expect = 0) {
            for (int b = 0; b < 6; ++b)
                expect |= ((cx >> b) & 1u) << (2 * b + 1) | ((cy >> b) & 1u) << (2 * b);
            ASSERT_EQ(gridToMorton(64, cx, cy), expect);
            mortonToGrid(64, expect, x, y);
            ASSERT_EQ(std::make_pair(x, y), std::make_pair(cx, cy));
        }
    EXPECT_TRUE(mortonUnitTest());
}

// A freed block comes back without a new mapping (below a huge page the very block, still faulted in);
// idle blocks keep at most the limit resident and trimming gives it all back.
TEST(TileMemory, FreedBlocksAreHandedOutAgain) {
    if (!TileMemory::pooling())
        GTEST_SKIP() << "this build takes tile memory from the heap (address sanitizer)";
    constexpr size_t KiB = 1024, MiB = KiB * KiB;
    std::vector<std::pair<void*, size_t>> blocks;
    for (size_t bytes : {64 * KiB + 17, 300 * KiB, 2 * MiB - 1, 2 * MiB, 5 * MiB + 333}) {
        auto* a = static_cast<unsigned char*>(TileMemory::allocate(bytes));
        std::memset(a, 0x5a, bytes);
        TileMemory::deallocate(a, bytes);
        const TileMemory::Statistics before = TileMemory::statistics();
        auto* b = static_cast<unsigned char*>(TileMemory::allocate(bytes));
        const TileMemory::Statistics after = TileMemory::statistics();
        EXPECT_EQ(std::make_pair(after.reused, after.mappedBytes),
                  std::make_pair(before.reused + 1, before.mappedBytes));
        EXPECT_TRUE(bytes >= TileMemory::kHugePage || (b == a && b[bytes - 1] == 0x5a)) << bytes;
        TileMemory::deallocate(b, bytes);
    }
    for (size_t i = 0; i < 48; ++i)
        blocks.emplace_back(nullptr, (i % 2 ? 4 * MiB : 700 * KiB) + i * 4096);
    for (auto& [p, n] : blocks)
        p = TileMemory::allocate(n);
    for (auto [p, n] : blocks)
        TileMemory::deallocate(p, n);
    EXPECT_LE(TileMemory::statistics().residentFree, TileMemory::kResidentFreeLimit);
    TileMemory::trim();
    EXPECT_EQ(TileMemory::statistics().residentFree, 0u);
    void* again = TileMemory::allocate(700 * KiB);
    std::memset(again, 1, 700 * KiB); // still usable after the trim
    TileMemory::deallocate(again, 700 * KiB);
}

// Level sizes, bad levels answered without a crash, and normalising that touches only the new level.
TEST(SplatTile, LevelSizesAndNormals) {
    SplatTile t;
    EXPECT_TRUE(t.getSplats(0) == nullptr && t.getAttributes(0) == nullptr && t.isEmpty);
    EXPECT_EQ(t.getLODsize(0), -1);
    addLevel(t, 100);
    addLevel(t, 300);
    EXPECT_EQ(t.levelStarts, (std::vector<int>{0, 100}));
    for (auto [level, size, full] : {std::tuple{0, 100, 100}, {1, 300, 400}, {5, -1, 400}, {-1, -1, -1}})
        EXPECT_EQ(std::make_pair(t.getLODsize(short(level)), t.getFullLODsize(short(level))),
                  std::make_pair(size, full))
            << level;
    EXPECT_EQ(t.getLODSplats(1, 0), t.getSplats(0) + 100);
    EXPECT_TRUE(t.getLODSplats(2, 0) == nullptr && t.getLODSplats(-1, 0) == nullptr);
    t.addLOD(); // begun, nothing received: no first splat
    EXPECT_EQ(t.getLODsize(2), 0);
    EXPECT_THROW(t.getLODSplats(2, 0), std::out_of_range);

    SplatTile n;
    addLevel(n, 3, 50);
    n.normalizeSplats(0, nullptr, 0);
    const Splat before = n.splats[1];
    n.addLOD();
    n.addSplat(Splat{0, 0, -7, 3, 4, 0});
    n.addSplat(Splat{0, 0, 900, 0, 0, 0.5f});
    n.normalizeSplats(3, nullptr, 1);
    EXPECT_EQ(std::memcmp(&n.splats[1], &before, sizeof before), 0);
    EXPECT_FLOAT_EQ(n.splats[3].nx, 0.6f);
    EXPECT_FLOAT_EQ(n.splats[3].ny, 0.8f);
    EXPECT_EQ(std::make_pair(n.minZ.load(), n.maxZ.load()), std::make_pair(-7.0, 900.0));
    n.normalizeSplats(5, nullptr, 1);    // nothing past the end
    n.addSplat(Splat{0, 0, 1, 0, 0, 0}); // no direction at all: faces up rather than NaN
    n.normalizeSplats(5, nullptr, 1);
    for (const Splat& s : n.splats)
        EXPECT_NEAR(std::sqrt(s.nx * s.nx + s.ny * s.ny + s.nz * s.nz), 1.0, 1e-6);
    EXPECT_EQ(n.splats[5].nz, 1.0f);
}

// A failed transfer is undone whole (records cut between a splat and its record included), and the sizes
// other threads read cover only levels published whole.
TEST(SplatTile, RollbackAndPublishedSizes) {
    SplatTile t;
    addLevel(t, 10, 0, true);
    t.update(nullptr, 0);
    EXPECT_EQ(std::make_pair(t.completeLevels(), t.completeFullLODsize(3)), std::make_pair(1, 10));
    const SplatTile::Mark before = t.mark();
    addLevel(t, 7, 0, true);
    t.attributes.pop_back();
    EXPECT_EQ(t.getFullLODsize(1), 17);
    EXPECT_EQ(t.completeFullLODsize(1), 10); // the level streaming in is not visible yet
    EXPECT_EQ(t.completeLODsize(1), -1);
    t.rollback(before);
    EXPECT_EQ(std::make_tuple(t.splats.size(), t.colors.size(), t.numberOfLevels()),
              std::make_tuple(10u, 10u, 1));
    ASSERT_EQ(t.attributes.size(), 10u);
    EXPECT_EQ(t.attributes[9].returns, attributes(9).returns);
    EXPECT_FALSE(t.receiving);
    addLevel(t, 4);
    t.update(nullptr, 1);
    EXPECT_EQ(std::make_tuple(t.completeLODsize(1), t.completeLODsize(0), t.completeFullLODsize(1),
                              t.completeFullLODsize(-1)),
              std::make_tuple(4, 10, 14, 0));
}

// requested -> filled (update) -> uploaded (finishUpdate) -> settled (RenderTile::update, which grows the
// draw list only by an uploaded level of the one requested); copies made while locked get a free lock.
TEST(SplatTile, RoundTripOfARequestedLevel) {
    RenderTile rt(7);
    SplatTile t;
    EXPECT_EQ(rt.getLOD(), -1);
    rt.requestedLOD = 1;
    rt.state = RenderTile::Requested;
    addLevel(t, 10);
    t.update(&rt, 0); // a level the render tile did not ask for
    t.finishUpdate();
    EXPECT_EQ(std::make_pair(t.highestLevel.load(), int(rt.state)),
              std::make_pair(short(0), int(RenderTile::Requested)));
    addLevel(t, 20);
    EXPECT_TRUE(t.receiving);
    t.update(&rt, 1);
    EXPECT_TRUE(!t.receiving && t.uploadPending && !t.isEmpty);
    EXPECT_EQ(rt.state, RenderTile::Filled);
    rt.setLOD(10), rt.state = RenderTile::Filled;
    rt.update(1, 20); // not yet uploaded
    EXPECT_EQ(rt.indices, iota(10));
    t.finishUpdate();
    EXPECT_FALSE(t.uploadPending);
    EXPECT_EQ(std::make_pair(t.highestLevel.load(), int(rt.state)),
              std::make_pair(short(1), int(RenderTile::Uploaded)));
    rt.update(0, 20); // another level
    EXPECT_EQ(rt.state, RenderTile::Uploaded);
    rt.update(1, t.getLODsize(1));
    EXPECT_EQ(rt.indices, iota(30));
    EXPECT_EQ(rt.state, RenderTile::Settled);
    rt.requestedLOD = 0; // asks for less than the tile holds: the upload settles it
    rt.state = RenderTile::Requested;
    t.update(&rt, 1);
    t.finishUpdate();
    EXPECT_EQ(rt.state, RenderTile::Settled);
    SplatTile empty; // a level that brought no points leaves an empty tile empty
    empty.addLOD();
    empty.update(&rt, 0);
    EXPECT_TRUE(empty.isEmpty);
    t.Lock(), rt.Lock();
    SplatTile copy(t);
    RenderTile rcopy(rt);
    EXPECT_TRUE(copy.TryLock() && rcopy.TryLock());
    copy.Unlock(), rcopy.Unlock(), t.Unlock(), rt.Unlock();
    EXPECT_EQ(std::make_pair(copy.splats.size(), rcopy.indices), std::make_pair(t.splats.size(), rt.indices));
    for (int n : {5, 0}) {
        rt.setLOD(unsigned(n));
        EXPECT_EQ(rt.indices, iota(n));
    }
}

// Every point while the sample fits, then those numbered by a doubling stride whatever the batches;
// percentiles by nearest rank, past 0.4 % outliers.
TEST(AttributeSample, KeepsEveryKthPointAndFindsPercentilesPastOutliers) {
    std::vector<Splat> splats;
    std::vector<PointAttributes> records;
    std::mt19937 rng(5);
    for (int i = 0; i < 100000; ++i) {
        const bool outlier = i % 250 == 0, low = outlier && rng() % 2 == 0;
        const int z = outlier ? (low ? -5000000 : 9000000) : int(rng() % 1000);
        const int intensity = outlier ? (low ? 0 : 65535) : 1000 + int(rng() % 1000);
        splats.push_back(Splat{i, 0, z, 0, 0, 1});
        records.push_back(PointAttributes{uint8_t(intensity), uint8_t(intensity >> 8), 0, 0});
    }
    struct Case {
        size_t capacity;
        std::vector<size_t> batches; // cycled
        size_t size;
        uint64_t stride;
    } cases[] = {{200000, {100000}, 100000, 1},
                 {65536, {100000}, 50000, 2},
                 {65536, {1, 7, 4096, 333}, 50000, 2},
                 {1000, {99999, 1}, 782, 128}};
    double zLow, zHigh, iLow, iHigh;
    for (const Case& c : cases) {
        SCOPED_TRACE("capacity " + std::to_string(c.capacity) + ", batch " + std::to_string(c.batches[0]));
        AttributeSample sample(c.capacity);
        EXPECT_FALSE(sample.percentiles(1, 99, zLow, zHigh, iLow, iHigh));
        for (size_t at = 0, k = 0, n; at < splats.size(); ++k, at += n) {
            n = std::min(c.batches[k % c.batches.size()], splats.size() - at);
            sample.add(&splats[at], &records[at], n);
        }
        EXPECT_EQ(std::make_tuple(sample.offered(), sample.size(), sample.stride()),
                  std::make_tuple(100000u, c.size, c.stride));
        ASSERT_TRUE(sample.percentiles(1, 99, zLow, zHigh, iLow, iHigh));
        EXPECT_TRUE(std::abs(zLow - 10) <= 10 && std::abs(zHigh - 989) <= 10) << zLow << " " << zHigh;
        EXPECT_TRUE(std::abs(iLow - 1010) <= 10 && std::abs(iHigh - 1989) <= 10) << iLow << " " << iHigh;
        std::vector<int32_t> kept;
        for (size_t i = 0; i < splats.size(); i += c.stride)
            kept.push_back(splats[i].z);
        std::sort(kept.begin(), kept.end());
        ASSERT_TRUE(sample.percentiles(25, 75, zLow, zHigh, iLow, iHigh));
        EXPECT_EQ(zLow, kept[size_t(std::llround(0.25 * double(kept.size() - 1)))]);
        EXPECT_EQ(zHigh, kept[size_t(std::llround(0.75 * double(kept.size() - 1)))]);
    }
    AttributeSample bare(10); // points without records are counted, not sampled
    bare.add(splats.data(), nullptr, 5);
    EXPECT_FALSE(bare.percentiles(1, 99, zLow, zHigh, iLow, iHigh));
    EXPECT_EQ(bare.offered(), 5u);
}

} // namespace
