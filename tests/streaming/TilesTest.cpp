// Render tiles, splat tiles and requests: the level bookkeeping, the round trip of a requested level
// through fill and upload, and which splats a request files where.
#include "AttributeSample.h"
#include "LASHeader.h"
#include "LODGrid.h"
#include "LODRequest.h"
#include "RenderTile.h"
#include "SplatTile.h"

#include "support/CaptureStdout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <stdexcept>

namespace {

std::vector<int> iota(int n) {
    std::vector<int> v(static_cast<size_t>(n));
    std::iota(v.begin(), v.end(), 0);
    return v;
}

Splat splat(int32_t x, int32_t y, int32_t z, float nx = 0, float ny = 0, float nz = 2) {
    return Splat{x, y, z, nx, ny, nz};
}

void addLevel(SplatTile& t, int count, int32_t z0 = 0) {
    t.addLOD();
    for (int i = 0; i < count; ++i)
        t.addSplat(splat(i, i, z0 + i));
}

PointAttributes attributes(int i) {
    return PointAttributes{uint8_t(i), uint8_t(i >> 8), uint8_t(9 + i), uint8_t(2 + i % 3)};
}

// A level with a colour and an attribute record per splat.
void addFullLevel(SplatTile& t, int count) {
    t.addLOD();
    for (int i = 0; i < count; ++i) {
        t.addSplat(splat(i, i, i));
        t.addColor(Color{uint16_t(i), 0, 0});
        t.addAttributes(attributes(i));
    }
}

TEST(RenderTile, IndexLists) {
    RenderTile t(7);
    EXPECT_EQ(t.getLOD(), -1);
    t.setLOD(8);
    EXPECT_EQ(t.indices, iota(8));
    t.setLOD(5);
    EXPECT_EQ(t.indices, iota(5));
    t.setLOD(0);
    EXPECT_TRUE(t.indices.empty());
    t.addIndeces(0, 3);
    EXPECT_EQ(t.indices, iota(3));

    t.setLOD(10);
    t.requestedLOD = 2;
    t.state = RenderTile::Filled; // not yet uploaded
    t.update(2, 4);
    EXPECT_EQ(t.indices, iota(10));
    t.state = RenderTile::Uploaded;
    t.update(1, 4); // another level
    EXPECT_EQ(t.indices, iota(10));
    EXPECT_EQ(t.state, RenderTile::Uploaded);
    t.update(2, 4);
    EXPECT_EQ(t.indices, iota(14));
    EXPECT_EQ(t.state, RenderTile::Settled);

    // A copy (made while the vector of tiles is built) has the same contents and a free lock.
    t.Lock();
    RenderTile copy(t);
    EXPECT_TRUE(copy.TryLock());
    copy.Unlock();
    t.Unlock();
    EXPECT_EQ(copy.indices, t.indices);
    EXPECT_EQ(copy.tileIndex, 7u);
}

TEST(SplatTile, LevelSizes) {
    SplatTile t;
    EXPECT_EQ(t.getSplats(0), nullptr);
    EXPECT_EQ(t.getColors(0), nullptr);
    EXPECT_EQ(t.getFullLODsize(0), 0);
    EXPECT_EQ(t.getLODsize(0), -1);
    EXPECT_EQ(t.highestLevel, -1);
    EXPECT_TRUE(t.isEmpty);

    addLevel(t, 100);
    addLevel(t, 300);
    EXPECT_EQ(t.levelStarts, (std::vector<int>{0, 100}));
    EXPECT_EQ(t.getLODsize(0), 100);
    EXPECT_EQ(t.getLODsize(1), 300);
    EXPECT_EQ(t.getFullLODsize(0), 100);
    EXPECT_EQ(t.getFullLODsize(1), 400);
    EXPECT_EQ(t.getFullLODsize(5), 400);
    EXPECT_EQ(t.getLODsize(5), -1);
    EXPECT_EQ(t.getLODSplats(1, 0), t.getSplats(0) + 100);
    EXPECT_EQ(t.getLODSplats(2, 0), nullptr);
    StdoutCapture capture;
    EXPECT_EQ(t.getFullLODsize(-1), -1);
    EXPECT_EQ(t.getLODsize(-1), -1);
    EXPECT_EQ(t.getLODSplats(-1, 0), nullptr);
    EXPECT_EQ(capture.take(), "Error, request for size of LOD level -1\n"
                              "Error, request for size of LOD level -1\n"
                              "Error, request for size of LOD level -1\n");
    // A level begun that received nothing has no first splat.
    t.addLOD();
    EXPECT_EQ(t.getLODsize(2), 0);
    EXPECT_THROW(t.getLODSplats(2, 0), std::out_of_range);
}

TEST(SplatTile, NormalisingTouchesOnlyTheNewLevel) {
    SplatTile t;
    addLevel(t, 3, 50);
    t.normalizeSplats(0, nullptr, 0);
    const Splat before = t.splats[1];
    t.addLOD();
    t.addSplat(splat(0, 0, -7, 3, 4, 0));
    t.addSplat(splat(0, 0, 900, 0, 0, 0.5f));
    t.normalizeSplats(3, nullptr, 1);
    EXPECT_EQ(std::memcmp(&t.splats[1], &before, sizeof before), 0);
    EXPECT_FLOAT_EQ(t.splats[3].nx, 0.6f);
    EXPECT_FLOAT_EQ(t.splats[3].ny, 0.8f);
    for (const Splat& s : t.splats)
        EXPECT_NEAR(std::sqrt(s.nx * s.nx + s.ny * s.ny + s.nz * s.nz), 1.0, 1e-6);
    EXPECT_EQ(t.minZ.load(), -7);
    EXPECT_EQ(t.maxZ.load(), 900);
    t.normalizeSplats(5, nullptr, 1); // nothing past the end

    t.addSplat(splat(0, 0, 1, 0, 0, 0)); // no direction at all: faces up rather than NaN
    t.normalizeSplats(5, nullptr, 1);
    EXPECT_EQ(t.splats[5].nx, 0.0f);
    EXPECT_EQ(t.splats[5].nz, 1.0f);
}

// A failed transfer is undone whole, and the sizes other threads read cover only levels published whole.
TEST(SplatTile, RollbackAndPublishedSizes) {
    SplatTile t;
    addLevel(t, 10);
    t.addColor(Color{1, 2, 3});
    t.addAttributes(attributes(1));
    t.update(nullptr, 0);
    EXPECT_EQ(t.completeLevels(), 1);
    EXPECT_EQ(t.completeFullLODsize(3), 10);

    const SplatTile::Mark before = t.mark();
    addLevel(t, 7);
    t.addColor(Color{4, 5, 6});
    t.addAttributes(attributes(2));
    t.addAttributes(attributes(3));
    EXPECT_EQ(t.getFullLODsize(1), 17);
    EXPECT_EQ(t.completeFullLODsize(1), 10); // the level streaming in is not visible yet
    EXPECT_EQ(t.completeLODsize(1), -1);
    t.rollback(before);
    EXPECT_EQ(t.splats.size(), 10u);
    EXPECT_EQ(t.colors.size(), 1u);
    ASSERT_EQ(t.attributes.size(), 1u);
    EXPECT_EQ(t.attributes[0].returns, attributes(1).returns);
    EXPECT_EQ(t.numberOfLevels(), 1);
    EXPECT_FALSE(t.receiving);

    addLevel(t, 4);
    t.update(nullptr, 1);
    EXPECT_EQ(t.completeLODsize(1), 4);
    EXPECT_EQ(t.completeLODsize(0), 10);
    EXPECT_EQ(t.completeFullLODsize(1), 14);
    EXPECT_EQ(t.completeFullLODsize(-1), 0);
}

// requested -> filled (update) -> uploaded (finishUpdate) -> settled (RenderTile::update).
TEST(SplatTile, RoundTripOfARequestedLevel) {
    RenderTile rt(0);
    SplatTile t;
    rt.requestedLOD = 1;
    rt.state = RenderTile::Requested;
    addLevel(t, 10);
    t.update(&rt, 0); // a level the render tile did not ask for
    EXPECT_EQ(rt.state, RenderTile::Requested);
    t.finishUpdate();
    EXPECT_EQ(t.highestLevel, 0);
    EXPECT_EQ(rt.state, RenderTile::Requested); // asks for more than is uploaded
    addLevel(t, 20);
    EXPECT_TRUE(t.receiving);
    t.update(&rt, 1);
    EXPECT_FALSE(t.receiving);
    EXPECT_TRUE(t.uploadPending);
    EXPECT_EQ(t.uploadLevel, 1);
    EXPECT_EQ(rt.state, RenderTile::Filled);
    EXPECT_FALSE(t.isEmpty);
    t.finishUpdate();
    EXPECT_FALSE(t.uploadPending);
    EXPECT_EQ(t.highestLevel, 1);
    EXPECT_EQ(rt.state, RenderTile::Uploaded);
    rt.setLOD(10);
    rt.state = RenderTile::Uploaded;
    rt.update(1, t.getLODsize(1));
    EXPECT_EQ(rt.indices, iota(30));
    // The render tile now asks for less than the tile holds: the upload settles it.
    rt.requestedLOD = 0;
    t.update(&rt, 1);
    t.finishUpdate();
    EXPECT_EQ(rt.state, RenderTile::Settled);

    // A level that brought no points leaves an empty tile empty.
    SplatTile empty;
    empty.addLOD();
    empty.update(&rt, 0);
    EXPECT_TRUE(empty.isEmpty);

    t.Lock();
    SplatTile copy(t);
    EXPECT_TRUE(copy.TryLock());
    copy.Unlock();
    t.Unlock();
    EXPECT_EQ(copy.splats.size(), t.splats.size());
    EXPECT_EQ(copy.highestLevel, 1);
}

// Each level holds about three times the splats before it: a level of that size streams in without the
// arrays moving, and the records stay in step with the splats through levels, a rollback and a copy.
TEST(SplatTile, LevelsGrowInPlaceAndKeepTheirRecordsInStep) {
    SplatTile t;
    EXPECT_EQ(t.getAttributes(0), nullptr);
    addFullLevel(t, 1000);
    for (int level = 1; level < 4; ++level) {
        const int size = int(t.splats.size());
        t.addLOD();
        const Splat* splats = t.splats.data();
        const Color* colors = t.colors.data();
        const PointAttributes* records = t.attributes.data();
        for (int i = 0; i < 3 * size; ++i) {
            t.addSplat(splat(i, i, level));
            t.addColor(Color{uint16_t(i), 1, 1});
            t.addAttributes(attributes(i));
        }
        SCOPED_TRACE("level " + std::to_string(level));
        EXPECT_EQ(t.splats.data(), splats);
        EXPECT_EQ(t.colors.data(), colors);
        EXPECT_EQ(t.attributes.data(), records);
    }
    const SplatTile::Mark before = t.mark();
    addFullLevel(t, 50);
    t.attributes.pop_back(); // a transfer cut between a splat and its record
    t.rollback(before);
    EXPECT_EQ(t.attributes.size(), t.splats.size());
    EXPECT_EQ(t.colors.size(), t.splats.size());
    const SplatTile copy(t);
    ASSERT_EQ(copy.attributes.size(), t.attributes.size());
    EXPECT_EQ(std::memcmp(copy.attributes.data(), t.attributes.data(), 4 * t.attributes.size()), 0);
    EXPECT_EQ(t.getAttributes(0), t.attributes.data());
}

// The sample behind the colour ranges: every point while it fits, then the points whose number is a
// multiple of a doubling stride, whatever batches they come in; percentiles by nearest rank.
TEST(AttributeSample, KeepsEveryKthPointAndFindsPercentilesPastOutliers) {
    std::vector<Splat> splats;
    std::vector<PointAttributes> records;
    // 100,000 points: heights 0 to 999 and intensities 1000 to 1999 in a shuffled order, every 250th
    // point an outlier far out on either side.
    std::mt19937 rng(5);
    for (int i = 0; i < 100000; ++i) {
        int z = int(rng() % 1000), intensity = 1000 + int(rng() % 1000);
        if (i % 250 == 0) {
            const bool low = rng() % 2 == 0;
            z = low ? -5000000 : 9000000;
            intensity = low ? 0 : 65535;
        }
        splats.push_back(splat(i, 0, z));
        records.push_back(PointAttributes{uint8_t(intensity), uint8_t(intensity >> 8), 0, 0});
    }
    struct Case {
        size_t capacity;
        std::vector<size_t> batches; // cycled
        size_t size;
        uint64_t stride;
    };
    const Case cases[] = {
        {200000, {100000}, 100000, 1}, // room for all
        {65536, {100000}, 50000, 2},   // full at 65,536: every second point
        {65536, {1, 7, 4096, 333}, 50000, 2},
        {1000, {99999, 1}, 782, 128}, // 100,000 / 128 rounded up
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("capacity " + std::to_string(c.capacity) + ", batches of " +
                     std::to_string(c.batches[0]));
        AttributeSample sample(c.capacity);
        double zLow, zHigh, iLow, iHigh;
        EXPECT_FALSE(sample.percentiles(1, 99, zLow, zHigh, iLow, iHigh));
        for (size_t at = 0, k = 0; at < splats.size(); ++k) {
            const size_t n = std::min(c.batches[k % c.batches.size()], splats.size() - at);
            sample.add(&splats[at], &records[at], n);
            at += n;
        }
        EXPECT_EQ(sample.offered(), 100000u);
        EXPECT_EQ(sample.size(), c.size);
        EXPECT_EQ(sample.stride(), c.stride);
        ASSERT_TRUE(sample.percentiles(1, 99, zLow, zHigh, iLow, iHigh));
        // 0.4 % outliers lie beyond the 1st and 99th percentiles: the range is that of the bulk.
        EXPECT_NEAR(zLow, 10, 10);
        EXPECT_NEAR(zHigh, 989, 10);
        EXPECT_NEAR(iLow, 1010, 10);
        EXPECT_NEAR(iHigh, 1989, 10);
        if (c.stride <= 2) { // every outlier (numbered by 250) is held
            ASSERT_TRUE(sample.percentiles(0, 100, zLow, zHigh, iLow, iHigh));
            EXPECT_EQ(zLow, -5000000);
            EXPECT_EQ(zHigh, 9000000);
            EXPECT_EQ(iLow, 0);
            EXPECT_EQ(iHigh, 65535);
        }
        // Nearest rank against the points the sample must hold: those numbered k × stride.
        std::vector<int32_t> kept;
        for (size_t i = 0; i < splats.size(); i += c.stride)
            kept.push_back(splats[i].z);
        std::sort(kept.begin(), kept.end());
        ASSERT_TRUE(sample.percentiles(25, 75, zLow, zHigh, iLow, iHigh));
        EXPECT_EQ(zLow, kept[size_t(std::llround(0.25 * double(kept.size() - 1)))]);
        EXPECT_EQ(zHigh, kept[size_t(std::llround(0.75 * double(kept.size() - 1)))]);
    }
    // Points without records are counted, not sampled.
    AttributeSample bare(10);
    bare.add(splats.data(), nullptr, 5);
    double a, b, c, d;
    EXPECT_FALSE(bare.percentiles(1, 99, a, b, c, d));
    EXPECT_EQ(bare.offered(), 5u);
}

TEST(LODRequest, FilesSplatsOnlyIntoItsOwnTiles) {
    LASHeader h;
    h.NumberOfPointRecords = 800000;
    h.ScaleFactor_X = h.ScaleFactor_Y = h.ScaleFactor_Z = 0.01;
    h.Max_X = 2000;
    h.Max_Y = 1000;
    h.Max_Z = 10;
    StdoutCapture quiet;
    LODGrid grid(&h); // 4 x 2 tiles of 50,000 raw units
    quiet.take();
    std::vector<SplatTile> tiles(grid.getNumberOfTiles());
    std::vector<RenderTile> renderTiles;
    LODRequest r;
    r.grid = &grid;
    r.splatTiles = &tiles;
    r.renderTiles = &renderTiles;
    r.tiles = {0, 1}; // column 0
    r.pushSplat(splat(10, 10, 0));
    r.pushColor(Color{1, 2, 3});
    r.pushSplat(splat(10, 60000, 0)); // tile 1
    r.pushColor(Color{4, 5, 6});
    r.pushSplat(splat(60000, 10, 0)); // tile 2: in the grid, not in the request
    r.pushColor(Color{7, 8, 9});
    r.pushSplat(splat(-5000000, 10, 0)); // outside the grid
    r.pushColor(Color{7, 8, 9});
    EXPECT_EQ(r.numSplats, 2u);
    EXPECT_EQ(r.droppedSplats, 2u);
    EXPECT_EQ(r.currentTile, 1u);
    ASSERT_EQ(tiles[0].splats.size(), 1u);
    ASSERT_EQ(tiles[1].splats.size(), 1u);
    EXPECT_TRUE(tiles[2].splats.empty());
    ASSERT_EQ(tiles[1].colors.size(), 1u);
    EXPECT_EQ(tiles[1].colors[0].r, 4);
    EXPECT_EQ(tiles[0].colors.size(), 1u);
    EXPECT_TRUE(tiles[2].colors.empty());
}

} // namespace
