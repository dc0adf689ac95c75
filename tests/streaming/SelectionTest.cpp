// The tile grid, tiles, attribute sample, cache queues and the render selection driven cycle by cycle (levels
// filed by hand, no GL, no transfers); the frame-time controller and the splat radius from local spacing.
#include "AdaptiveDetail.h"
#include "AttributeSample.h"
#include "LASHeader.h"
#include "LODGrid.h"
#include "LODRequest.h"
#include "RenderSelectionThread.h"
#include "RenderTile.h"
#include "ServerRetriever.h"
#include "SplatCacheThread.h"
#include "SplatSpacing.h"
#include "SplatTile.h"
#include "ViewMath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <list>
#include <memory>
#include <numeric>
#include <random>
#include <stdexcept>
#include <tuple>

namespace {

// `points` points over sizeX × sizeY metres, heights 0 to 100 m, centimetre units.
LASHeader header(uint32_t points, double sizeX, double sizeY, int format = 0) {
    LASHeader h;
    h.NumberOfPointRecords = points;
    h.PointDataFormatID = uint8_t(format);
    h.PointDataRecordLength = 20;
    h.ScaleFactor_X = h.ScaleFactor_Y = h.ScaleFactor_Z = 0.01;
    h.Max_X = sizeX, h.Max_Y = sizeY, h.Max_Z = 100;
    return h;
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
    EXPECT_EQ(std::vector<double>(g.rawBounds, g.rawBounds + 6),
              (std::vector<double>{-1, 200001, -1, 100001, -1, 10001}));
    EXPECT_EQ(g.getTileNum(1, 0), 2);             // down each column first
    EXPECT_EQ(g.getSplatTile(200000, 100000), 7); // beyond 4 × 50000 - 1: the last tile takes it
    EXPECT_EQ(g.getTileBounds(3, 1, false), (std::array<double, 4>{149999, 200001, 49999, 100001}));
    EXPECT_DOUBLE_EQ(g.normalisingScale, 1.0 / 10002);
    for (auto h : {header(100000, 100, 100), header(1, 5, 5), header(0, 0, 0)}) {
        h.Min_X = h.Min_Y = h.NumberOfPointRecords == 1 ? 5 : 0;
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
        auto h = header(points, x0 + 1 + rng() % 5000, y0 + 1 + rng() % 5000);
        h.ScaleFactor_X = h.ScaleFactor_Y = h.ScaleFactor_Z = scale;
        h.Min_X = x0, h.Min_Y = y0, h.OffsetX = 400000, h.OffsetY = 4000000;
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
}

// Bad levels answered without a crash; normals of unit length, and no direction faces up.
TEST(SplatTile, BadLevelsAndNormals) {
    SplatTile t;
    EXPECT_TRUE(t.getSplats(0) == nullptr && t.getLODsize(0) == -1);
    addLevel(t, 100);
    t.addLOD(); // begun, nothing received: no first splat
    EXPECT_TRUE(t.getLODSplats(2, 0) == nullptr && t.getLODSplats(-1, 0) == nullptr);
    EXPECT_EQ(std::make_pair(t.getLODsize(5), t.getFullLODsize(-1)), std::make_pair(-1, -1));
    EXPECT_THROW(t.getLODSplats(1, 0), std::out_of_range);

    SplatTile n;
    addLevel(n, 3, 50);
    n.normalizeSplats(0, nullptr, 0);
    n.addLOD();
    n.addSplat(Splat{0, 0, -7, 3, 4, 0});
    n.addSplat(Splat{0, 0, 900, 0, 0, 0.5f});
    n.normalizeSplats(3, nullptr, 1);
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
    EXPECT_EQ(std::make_tuple(t.getFullLODsize(1), t.completeFullLODsize(1), t.completeLODsize(1)),
              std::make_tuple(17, 10, -1)); // the level streaming in is not visible yet
    t.rollback(before);
    EXPECT_EQ(std::make_tuple(t.splats.size(), t.colors.size(), t.attributes.size(), t.numberOfLevels(),
                              bool(t.receiving)),
              std::make_tuple(10u, 10u, 10u, 1, false));
    addLevel(t, 4);
    t.update(nullptr, 1);
    EXPECT_EQ(std::make_tuple(t.completeLODsize(1), t.completeLODsize(0), t.completeFullLODsize(1),
                              t.completeFullLODsize(-1)),
              std::make_tuple(4, 10, 14, 0));
}

// Every point while the sample fits, then those numbered by a doubling stride whatever the batches;
// percentiles past 0.4 % outliers.
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
    } cases[] = {
        {200000, {100000}, 100000, 1}, {65536, {1, 7, 4096, 333}, 50000, 2}, {1000, {99999, 1}, 782, 128}};
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
    }
    AttributeSample bare(10); // points without records are counted, not sampled
    bare.add(splats.data(), nullptr, 5);
    EXPECT_FALSE(bare.percentiles(1, 99, zLow, zHigh, iLow, iHigh));
    EXPECT_EQ(bare.offered(), 5u);
}

// Sets the frustum of a camera at (x, y, height) in normalised space looking towards (tx, ty, 0), z up
// (straight down by default); returns the selection's pixel factor.
double look(double x, double y, double height, double fovDegrees, double tx = NAN, double ty = NAN) {
    const float f = float(1.0 / std::tan(fovDegrees * M_PI / 360.0)), n = 0.01f, far = 1e4f;
    const float proj[16] = {
        f, 0, 0, 0, 0, f, 0, 0, 0, 0, (far + n) / (n - far), -1, 0, 0, 2 * far * n / (n - far), 0};
    double d[3] = {std::isnan(tx) ? 0 : tx - x, std::isnan(ty) ? 0 : ty - y, -height}; // forward
    const double dl = std::hypot(d[0], d[1], d[2]), sl = std::hypot(d[1], d[0]) / dl;
    for (double& v : d)
        v /= dl;
    const double side[3] = {sl > 0 ? d[1] / sl : 1, sl > 0 ? -d[0] / sl : 0, 0}; // forward × z
    const double up[3] = {side[1] * d[2], -side[0] * d[2], side[0] * d[1] - side[1] * d[0]},
                 eye[3] = {x, y, height};
    auto dot = [&](const double* a) { return float(a[0] * eye[0] + a[1] * eye[1] + a[2] * eye[2]); };
    const float mv[16] = {
        float(side[0]), float(up[0]), float(-d[0]), 0, float(side[1]), float(up[1]), float(-d[1]), 0,
        float(side[2]), float(up[2]), float(-d[2]), 0, -dot(side),     -dot(up),     dot(d),       1};
    extractFrustum(proj, mv);
    return f * 384.0;
}

// A render selection over a header, its cache never fetching (no server), driven by runCycle.
class Selection : public ::testing::Test {
protected:
    ~Selection() override {
        sel.reset(); // its threads end before the server address they read is restored
        DEFAULT_SERVER = saved_;
    }
    void make(const LASHeader& h, short maxLOD, double height = 60, double fov = 90) {
        sel.reset();
        header_ = h;
        const double pixelFactor = look(0, 0, height, fov);
        DEFAULT_SERVER.clear(); // the cache thread ends at once: nothing is served
        sel = std::make_unique<RenderSelectionThread>("test", &header_, pixelFactor, maxLOD, 1.0);
        sel->setCameraPosition({0, 0, height});
    }
    SplatCacheThread& cache() { return *sel->cache; }
    bool cycle() { return sel->runCycle(); }
    // The queued requests of `level`, recalled from the cache, or left there unless `take`.
    std::vector<LODRequest*> queued(short level, bool take = false) {
        std::list<LODRequest*> all;
        cache().recallRequests(level, all);
        std::vector<LODRequest*> out(all.rbegin(), all.rend());
        for (LODRequest* r : out) // put back in the same order
            if (!take)
                cache().addRequest(r, true);
        return out;
    }
    // The cache's part: the queued requests of `level` filled into their tiles (`perTile` splats each, a
    // lattice of its own per level), not yet uploaded.
    std::vector<LODRequest*> fill(short level, int perTile) {
        const std::vector<LODRequest*> requests = queued(level, true);
        const int side = int(std::ceil(std::sqrt(double(perTile))));
        const double shift = 0.5 / (level + 1);
        for (LODRequest* r : requests)
            for (uint32_t t : r->tiles) {
                SplatTile& tile = *cache().getTile(t);
                const auto b = sel->grid->getTileBounds(int(t), false);
                tile.Lock();
                const int first = int(tile.splats.size());
                tile.addLOD();
                for (int i = 0; i < perTile; ++i)
                    tile.addSplat(Splat{int32_t(b[0] + (b[1] - b[0]) * (i % side + shift) / side),
                                        int32_t(b[2] + (b[3] - b[2]) * (i / side + shift) / side), 5000, 0, 0,
                                        3});
                tile.normalizeSplats(first, sel->grid, level);
                tile.update(&sel->renderTiles[t], level);
                tile.Unlock();
            }
        return requests;
    }
    // The upload's part: the request's tiles reach its level on the GPU and it is handed back.
    void upload(LODRequest* r) {
        for (uint32_t t : r->tiles)
            cache().getTile(t)->finishUpdate();
        sel->pushHandled(r);
    }
    void arrive(short level, int perTile) {
        for (LODRequest* r : fill(level, perTile))
            upload(r);
    }
    // Cycles, serving every queued request of levels up to `servedUpTo` at once, until nothing more is
    // asked for; `check` looks at the selection after every cycle.
    void settle(
        const std::function<void()>& check = [] {}, short servedUpTo = 99) {
        for (int i = 0; i < 40; ++i) {
            const bool ran = cycle();
            check();
            bool served = false;
            for (short level = 0; level <= std::min(sel->maxLOD, servedUpTo); ++level)
                if (!queued(level).empty())
                    arrive(level, 100 << (2 * level)), served = true;
            if (!ran && !served)
                return;
        }
        ADD_FAILURE() << "the selection did not settle";
    }
    // Nothing queued that the budget would not let be drawn, and no tile waits for a request withdrawn.
    void requestsWithinBudget() {
        for (short level = 0; level <= sel->maxLOD; ++level)
            for (LODRequest* r : queued(level))
                for (uint32_t t : r->tiles)
                    EXPECT_LE(r->level, sel->budgetLevel(t)) << "tile " << t;
        for (const RenderTile& rt : sel->renderTiles)
            EXPECT_TRUE(rt.state != RenderTile::Requested || cache().requestExists(rt.tileIndex, rt.getLOD()))
                << "tile " << rt.tileIndex;
    }
    long drawn() const {
        return std::accumulate(sel->renderTiles.begin(), sel->renderTiles.end(), 0L,
                               [](long n, const RenderTile& rt) { return n + long(rt.indices.size()); });
    }
    // 4 × 4 tiles seen from above the first corner: near tiles want level 3, the others level 2 (59,200
    // splats in all).
    void corner(long budget) {
        make(header(1600000, 4000, 4000), 3, 8, 60);
        sel->pointBudget = budget;
        sel->minProjectedSize = 12;
        const auto b = sel->grid->getTileBounds(0, true);
        sel->setCameraPosition({b[0], b[2], 8});
        look(b[0], b[2], 8, 60);
    }
    // Tiles in the budget's order (in view first, then by distance) with the level each draws (-1: none).
    std::vector<std::pair<uint32_t, int>> levelsByDistance() {
        std::vector<std::tuple<bool, double, uint32_t>> order;
        const LODGrid& g = *sel->grid;
        for (uint32_t t = 0; t < sel->renderTiles.size(); ++t) {
            const auto b = g.getTileBounds(int(t), true);
            const SplatTile& st = *cache().getTile(t);
            const auto z = [&](double raw) { return (raw + g.centreOffset[2]) * g.normalisingScale; };
            order.emplace_back(!bBoxInFrustum(b[0], b[1], b[2], b[3],
                                              z(st.isEmpty ? g.rawBounds[4] : st.minZ.load()),
                                              z(st.isEmpty ? g.rawBounds[5] : st.maxZ.load())),
                               cache().calculateMinDistanceToPoint(sel->lastCamera[0], sel->lastCamera[1],
                                                                   sel->lastCamera[2], t),
                               t);
        }
        std::sort(order.begin(), order.end());
        std::vector<std::pair<uint32_t, int>> out;
        for (const auto& [hidden, d, t] : order) {
            const RenderTile& rt = sel->renderTiles[t];
            out.emplace_back(
                t, rt.indices.empty() ? -1 : std::min<int>(rt.getLOD(), cache().getTile(t)->highestLevel));
        }
        return out;
    }

    std::string saved_ = DEFAULT_SERVER;
    LASHeader header_;
    std::unique_ptr<RenderSelectionThread> sel;
};

// A new data set asks for level 0 of every tile; then one level finer per cycle, each drawn whole once handed
// back, radii shrinking; far away, all coarsen at once.
TEST_F(Selection, RefinesOneLevelPerCycleAndCoarsensAllAtOnce) {
    make(header(1600000, 4000, 4000), 3);
    ASSERT_GE(sel->grid->getNumberOfTiles(), 9u);
    EXPECT_TRUE(cycle());
    for (const RenderTile& rt : sel->renderTiles)
        EXPECT_EQ(std::make_pair(rt.getLOD(), int(rt.state)),
                  std::make_pair(short(0), int(RenderTile::Requested)));
    EXPECT_FALSE(cycle()); // nothing changed
    for (short level = 0; level <= 3; ++level) {
        arrive(level, 100 << (2 * level));
        EXPECT_TRUE(cycle());
        for (const RenderTile& rt : sel->renderTiles)
            EXPECT_EQ(std::make_pair(int(rt.indices.size()), rt.getLOD()),
                      std::make_pair(cache().getTile(rt.tileIndex)->completeFullLODsize(level),
                                     std::min<short>(level + 1, 3)));
        const auto& r = sel->levelRadius;
        EXPECT_TRUE(level == 0 ? r[0].load() > 0 : r[size_t(level)].load() < r[size_t(level) - 1].load());
    }
    EXPECT_EQ(cache().countRequests(), 0);
    sel->setCameraPosition({0, 0, 1e7}); // every level projects below the threshold
    EXPECT_TRUE(cycle());
    for (const RenderTile& rt : sel->renderTiles)
        EXPECT_EQ(std::make_tuple(rt.getLOD(), rt.indices.size(), int(rt.state)),
                  std::make_tuple(short(0), size_t(100), int(RenderTile::Settled)));
}

// A level still between fill and upload is not drawn, nor counted twice when its request comes back.
TEST_F(Selection, DrawListsCoverUploadedLevelsOnly) {
    make(header(50000, 300, 300), 3);
    cycle();
    arrive(0, 100);
    cycle();
    ASSERT_EQ(sel->renderTiles[0].getLOD(), 1);
    const auto inFlight = fill(1, 400);
    ASSERT_EQ(inFlight.size(), 1u);
    sel->setCameraPosition({0, 0, 1e7}); // away: back to level 0 while level 1 is not uploaded
    cycle();
    ASSERT_EQ(sel->renderTiles[0].getLOD(), 0);
    sel->setCameraPosition({0, 0, 60}); // near again: level 1 is begun, so nothing is requested
    cycle();
    EXPECT_EQ(std::make_tuple(sel->renderTiles[0].getLOD(), cache().countRequests(),
                              sel->renderTiles[0].indices.size()),
              std::make_tuple(short(1), 0, size_t(100)));
    upload(inFlight[0]);
    cycle();
    EXPECT_EQ(std::make_pair(sel->renderTiles[0].indices.size(), int(sel->renderTiles[0].state)),
              std::make_pair(size_t(500), int(RenderTile::Settled)));
}

// No points: one tile, a level of nothing, a default radius; an unknown point format: no cache.
TEST_F(Selection, EmptyAndUnknownDataSets) {
    make(header(0, 0, 0), 0);
    EXPECT_TRUE(cycle());
    EXPECT_EQ(cache().countRequests(), 1);
    arrive(0, 0);
    EXPECT_TRUE(cycle());
    EXPECT_EQ(std::make_pair(sel->renderTiles[0].indices.size(), sel->levelRadius[0].load()),
              std::make_pair(size_t(0), 100.0));
    LASHeader h = header(1000, 10, 10, 5);
    RenderSelectionThread unknown("test", &h, 384, 2, 1.0);
    EXPECT_EQ(unknown.cache, nullptr);
    EXPECT_FALSE(unknown.runCycle());
}

// The point budget bounds the draw lists at every cycle, is used rather than squandered, and coarsens the
// farthest tiles first; a budget the first tile does not fit in draws nothing.
TEST_F(Selection, ThePointBudgetBoundsTheDrawListsAndCoarsensTheFarthestTilesFirst) {
    corner(LONG_MAX);
    settle();
    ASSERT_EQ(drawn(), 59200);
    const auto unlimited = levelsByDistance();
    ASSERT_EQ(std::make_pair(unlimited.front().second, unlimited.back().second), std::make_pair(3, 2));
    struct Case {
        long budget;
        bool limited;
        int nearest, drawnTiles; // level the nearest tile draws; tiles drawing anything
    } cases[] = {{59200, false, 3, 16}, {30000, true, 3, 16}, {1000, true, 0, 10}, {50, true, -1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE("budget " + std::to_string(c.budget));
        corner(c.budget);
        long most = 0;
        settle([&] { most = std::max(most, drawn()), requestsWithinBudget(); });
        EXPECT_LE(most, c.budget);
        EXPECT_EQ(sel->budgetLimited(), c.limited);
        const auto levels = levelsByDistance();
        EXPECT_TRUE(c.limited || levels == unlimited);
        EXPECT_TRUE(!c.limited || c.nearest < 0 || drawn() > c.budget / 2);
        EXPECT_EQ(levels.front().second, c.nearest);
        int tiles = levels[0].second >= 0;
        for (size_t i = 1; i < levels.size(); ++i) {
            tiles += levels[i].second >= 0;
            EXPECT_LE(levels[i].second, levels[i - 1].second) << "tile " << levels[i].first;
        }
        EXPECT_EQ(tiles, c.drawnTiles);
    }
}

// A budget change reallocates at once: tiles left out do not wait for withdrawn requests.
TEST_F(Selection, ABudgetChangeReallocatesAtOnce) {
    corner(LONG_MAX);
    settle([] {}, 2); // level 3 asked for, not served
    ASSERT_FALSE(queued(3).empty());
    sel->pointBudget = 20000;
    EXPECT_TRUE(cycle());
    EXPECT_LE(drawn(), 20000); // coarsened in one cycle, from data at hand
    EXPECT_TRUE(sel->budgetLimited());
    requestsWithinBudget();
    settle([&] { EXPECT_LE(drawn(), 20000); });
    EXPECT_EQ(levelsByDistance().front().second, 3);
}

// Queues: least urgent recalled first (secondary, then primary from the back, newer ahead among equals);
// which requests are needed; the distance to a tile's box, flat until it has splats.
TEST(SplatCache, QueuesStatisticsAndDistances) {
    LASHeader h = header(1600000, 4000, 4000, 2);
    LODGrid grid(&h, nullptr);
    std::unique_ptr<SplatCacheThread> cache(
        SplatCacheThread::newSplatCacheThread("a b", &grid, 3, &h, nullptr));
    ASSERT_TRUE(cache->isInitialized());
    std::vector<LODRequest> requests(4);
    const std::pair<float, bool> order[] = {{5, true}, {5, true}, {1, true}, {0.5f, false}};
    for (uint32_t i = 0; i < 4; ++i) {
        requests[i].level = 1, requests[i].priority = order[i].first, requests[i].tiles = {i};
        cache->addRequest(&requests[i], order[i].second);
    }
    EXPECT_TRUE(cache->requestExists(2, 1) && cache->requestNeeded(2, 0) && cache->requestNeeded(9, 1));
    EXPECT_FALSE(cache->requestNeeded(2, 1)); // queued already
    for (int i : {3, 0, 1, 2})
        EXPECT_EQ(cache->recallRequest(1), &requests[size_t(i)]);
    EXPECT_EQ(cache->recallRequest(1), nullptr);
    cache->getTile(4)->addLOD(), cache->getTile(4)->addLOD();
    EXPECT_FALSE(cache->requestNeeded(4, 1)); // begun
    EXPECT_TRUE(cache->requestNeeded(4, 2));

    const auto b = grid.getTileBounds(5, true);
    const double cx = (b[0] + b[1]) / 2, cy = (b[2] + b[3]) / 2;
    EXPECT_EQ(cache->calculateMinDistanceToPoint(cx, cy, 40, 5), 0); // no splats: height ignored
    cache->getTile(5)->addLOD(), cache->getTile(5)->addSplat(Splat{0, 0, 3000, 0, 0, 1});
    cache->getTile(5)->normalizeSplats(0, &grid, 0);
    const double top = (3000 + grid.centreOffset[2]) * grid.normalisingScale;
    EXPECT_NEAR(cache->calculateMinDistanceToPoint(b[1] + 3, b[3] + 4, top, 5), 5, 1e-9);
    EXPECT_NEAR(cache->calculateMinDistanceToPoint(cx, cy, top + 2, 5), 2, 1e-9);
}

// A viewer whose frame costs `fixedMs` plus `heavyMs` at the user's threshold of 1.5, the splat part
// falling with the threshold to the power `falloff`; a threshold handed back shapes the frame after next.
// Appends each frame's threshold and time; returns the clock.
struct Plant {
    double fixedMs, heavyMs, falloff, noise = 0;
};
double drive(AdaptiveDetail& a, const Plant& p, std::vector<double>& thresholds, std::vector<double>& frames,
             int count, double now = 0) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> jitter(1 - p.noise, 1 + p.noise);
    for (int i = 0; i < count; ++i) {
        const size_t n = thresholds.size();
        const double ms =
            (p.fixedMs + p.heavyMs * std::pow(1.5 / (n < 2 ? 1.5 : thresholds[n - 2]), p.falloff)) *
            jitter(rng);
        frames.push_back(ms);
        thresholds.push_back(a.update(1.5, ms, true, now += ms));
    }
    return now;
}

// Raised straight up to the level that meets the target (no overshoot, bounded, not far beyond need),
// left alone for a light scene.
TEST(AdaptiveDetail, RaisesTheThresholdUntilFramesMeetTheTargetWithoutOscillating) {
    struct Case {
        const char* name;
        Plant plant;
        double settledMaxMs; // mean of the last 50 frames at most; 0: the threshold is left alone
    } cases[] = {
        // clang-format off
        {"light scene", {5, 15, 2}, 0},
        {"heavy scene (1 s a frame)", {5, 1000, 2}, 50},
        {"noisy frame times", {5, 400, 2, 0.15}, 60},
        {"fixed cost above the target", {80, 400, 2}, 1e9},
        // clang-format on
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AdaptiveDetail a;
        std::vector<double> t, frames;
        drive(a, c.plant, t, frames, 300);
        EXPECT_TRUE(t.back() >= 1.5 && t.back() <= 1.5 * a.options().maxFactor + 1e-9) << t.back();
        EXPECT_EQ(a.raised(), c.settledMaxMs > 0);
        const double mean = std::accumulate(frames.end() - 50, frames.end(), 0.0) / 50;
        EXPECT_LE(mean, c.settledMaxMs > 0 ? c.settledMaxMs : 1e9);
        EXPECT_TRUE(c.settledMaxMs == 0 || c.plant.fixedMs > a.options().targetMs ||
                    mean > a.options().targetMs * a.options().lowerBand / 2)
            << mean;
        int changes = 0, last = 0; // direction changes of the threshold; with noise, after the first third
        for (size_t i = c.plant.noise > 0 ? 101 : 1; i < t.size(); ++i) {
            const int d = (t[i] > t[i - 1]) - (t[i] < t[i - 1]);
            changes += d != 0 && last != 0 && d != last;
            last = d != 0 ? d : last;
        }
        EXPECT_LE(changes, c.plant.noise > 0 ? 2 : 0);
    }
}

// The user's value once the camera has been still for the settle time, the learnt factor on the next move
// until reset; options that cannot work refused, frame times that are no measure ignored.
TEST(AdaptiveDetail, RestoresTheUsersValueOnceSettledAndRefusesBadInput) {
    AdaptiveDetail a;
    std::vector<double> t, frames;
    const double now = drive(a, {5, 1000, 2}, t, frames, 100), raised = t.back(),
                 settle = a.options().settleMs;
    ASSERT_GT(raised, 1.5);
    EXPECT_EQ(a.update(1.5, 10, false, now + settle - 1), raised);
    EXPECT_EQ(a.update(1.5, 10, false, now + settle), 1.5);
    EXPECT_FALSE(a.raised());
    EXPECT_EQ(a.update(2.0, 900, false, now + 5000), 2.0);
    EXPECT_DOUBLE_EQ(a.update(2.0, 900, true, now + 6000), 2.0 * raised / 1.5);
    a.reset();
    EXPECT_EQ(a.update(2.0, 900, true, now + 7000), 2.0);

    using O = AdaptiveDetail::Options;
    for (const O& o : {O{.targetMs = 0}, O{.targetMs = NAN}, O{.lowerBand = 1}, O{.settleMs = -1},
                       O{.maxFactor = 0.5}, O{.maxStep = 1}, O{.smoothing = 0}, O{.framesPerStep = 1}})
        EXPECT_THROW(AdaptiveDetail{o}, std::invalid_argument);
    AdaptiveDetail b;
    double clock = 0;
    for (double ms : {double(NAN), -5.0, 0.0, double(INFINITY)})
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(b.update(1.5, ms, true, clock += 16), 1.5);
    EXPECT_EQ(b.update(0.0, 900, true, clock += 16), 0.0);
    EXPECT_TRUE(std::isnan(b.update(NAN, 900, true, clock += 16)));
}

constexpr double kUnit = 0.01; // metres per raw unit

// Points over a square of `size` metres: scan lines along x (`along` m apart, lines `across` m apart, each
// with its own phase, jittered by `jitter` × `along`), or `n` uniformly random when `along` is 0.
std::vector<Splat> points(double size, double along, double across, double jitter, unsigned seed,
                          size_t n = 0) {
    std::mt19937 rng(seed);
    std::vector<Splat> p;
    auto add = [&](double x, double y) {
        p.push_back(Splat{int32_t(x / kUnit), int32_t(y / kUnit), 0, 0, 0, 1});
    };
    std::uniform_real_distribution<double> u(0, size);
    for (size_t i = 0; along == 0 && i < n; ++i)
        add(u(rng), u(rng));
    std::uniform_real_distribution<double> phase(0, along + 1e-9);
    std::normal_distribution<double> noise(0, jitter * along + 1e-9);
    for (double y = across / 2; along > 0 && y < size; y += across)
        for (double x = phase(rng); x < size; x += along)
            add(x + noise(rng), y + noise(rng));
    return p;
}

// Share of a 5 cm raster over the interior (4 m in from the edges) within `radius` of a point.
double coverage(const std::vector<Splat>& p, double size, double radius) {
    const int n = int(size / 0.05);
    std::vector<char> hit(size_t(n) * size_t(n), 0);
    for (const Splat& s : p) {
        const double x = s.x * kUnit, y = s.y * kUnit;
        for (int i = std::max(0, int(std::ceil((x - radius) / 0.05)));
             i <= std::min(n - 1, int((x + radius) / 0.05)); ++i) {
            const double dy = std::sqrt(std::max(0.0, radius * radius - (i * 0.05 - x) * (i * 0.05 - x)));
            for (int j = std::max(0, int(std::ceil((y - dy) / 0.05)));
                 j <= std::min(n - 1, int((y + dy) / 0.05)); ++j)
                hit[size_t(i * n + j)] = 1;
        }
    }
    size_t inside = 0, covered = 0;
    for (int i = 80; i < n - 80; ++i)
        for (int j = 80; j < n - 80; ++j, ++inside)
            covered += hit[size_t(i * n + j)];
    return double(covered) / double(inside);
}

// Scan lines are closed by the widened radius (the mean-density one leaves stripes open); isotropic data
// keeps about the mean-density radius; nothing measured where there is nothing to measure.
TEST(SplatSpacing, ScanLinesAreClosedAndIsotropicDataKeepsTheMeanDensityRadius) {
    struct Case {
        const char* name;
        double size;
        std::vector<Splat> points;
        double most; // radius over the mean-density one at most; scan lines: also >= 99 % covered
    } cases[] = {
        {"scan lines 0.25 m along, 1.5 m across", 60, points(60, 0.25, 1.5, 0, 1), 1.7},
        {"scan lines 0.3 m along, 3 m across", 80, points(80, 0.3, 3.0, 0.1, 3), 2.3},
        {"uniform random, 120,000 points", 100, points(100, 0, 0, 0, 2, 120000), 1.12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const double mean = SplatSpacing::meanRadius(c.size * c.size, double(c.points.size()));
        const auto e = SplatSpacing::estimate(c.points.data(), c.points.size(), kUnit, kUnit);
        const double r = mean * std::max(1.0, e.ratio);
        EXPECT_GT(e.triangles, 100u);
        EXPECT_LE(r, c.most * mean);
        if (c.most > 1.4) {
            EXPECT_LT(coverage(c.points, c.size, mean), 0.9);
            EXPECT_GE(coverage(c.points, c.size, r), 0.99);
        }
    }
    // Too few points, points on a line, all at one place, no splats, no scale.
    std::vector<Splat> line, same, few = points(10, 0, 0, 0, 3, 100);
    for (int i = 0; i < 2000; ++i)
        line.push_back(Splat{i * 10, 500, 0, 0, 0, 1}), same.push_back(Splat{7, 7, i, 0, 0, 1});
    const std::tuple<const Splat*, size_t, double> degenerate[] = {
        // clang-format off
        {few.data(), few.size(), kUnit}, {line.data(), line.size(), kUnit}, {same.data(), same.size(), kUnit},
        {nullptr, 5000, kUnit}, {line.data(), line.size(), 0.0},
        // clang-format on
    };
    for (const auto& [p, n, scale] : degenerate)
        EXPECT_EQ(SplatSpacing::estimate(p, n, scale, scale).triangles, 0u);
}

} // namespace
