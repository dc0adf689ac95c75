// The tile cache's queues and statistics, and the render selection's decisions, driven cycle by cycle
// with a camera and frustum computed on the CPU. Arriving levels are filed into the tiles by hand, as
// the cache and the upload would; no GL and no transfers here.
#include "LASHeader.h"
#include "LODGrid.h"
#include "LODRequest.h"
#include "RenderSelectionThread.h"
#include "ServerRetriever.h"
#include "SplatCacheThread.h"
#include "SplatTile.h"
#include "ViewMath.h"

#include "support/CaptureStdout.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <set>

namespace {

// A data set of `points` points over sizeX × sizeY metres, heights 0 to 100 m, centimetre units.
LASHeader header(uint32_t points, double sizeX, double sizeY, int format = 0) {
    LASHeader h;
    h.NumberOfPointRecords = points;
    h.PointDataFormatID = uint8_t(format);
    h.PointDataRecordLength = 20;
    h.ScaleFactor_X = h.ScaleFactor_Y = h.ScaleFactor_Z = 0.01;
    h.Max_X = sizeX;
    h.Max_Y = sizeY;
    h.Max_Z = 100;
    return h;
}

// A camera at (x, y, height) in normalised space looking straight down: sets the frustum and returns the
// selection's pixel factor (projection element 5 × 384).
double lookDown(double x, double y, double height, double fovDegrees) {
    const float f = float(1.0 / std::tan(fovDegrees * M_PI / 360.0));
    const float n = 0.01f, far = 1e4f;
    const float proj[16] = {
        f, 0, 0, 0, 0, f, 0, 0, 0, 0, (far + n) / (n - far), -1, 0, 0, 2 * far * n / (n - far), 0};
    const float mv[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, float(-x), float(-y), float(-height), 1};
    extractFrustum(proj, mv);
    return f * 384.0;
}

// The same from (x, y, height) towards (tx, ty, 0), with z up.
void lookTowards(double x, double y, double height, double tx, double ty, double fovDegrees) {
    const float f = float(1.0 / std::tan(fovDegrees * M_PI / 360.0));
    const float n = 0.01f, far = 1e4f;
    const float proj[16] = {
        f, 0, 0, 0, 0, f, 0, 0, 0, 0, (far + n) / (n - far), -1, 0, 0, 2 * far * n / (n - far), 0};
    double d[3] = {tx - x, ty - y, -height}; // forward
    const double dl = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    for (double& v : d)
        v /= dl;
    const double sl = std::hypot(d[1], d[0]), side[3] = {d[1] / sl, -d[0] / sl, 0}; // forward × z
    const double up[3] = {side[1] * d[2], -side[0] * d[2], side[0] * d[1] - side[1] * d[0]};
    const double eye[3] = {x, y, height};
    auto dot = [&](const double* a) { return a[0] * eye[0] + a[1] * eye[1] + a[2] * eye[2]; };
    const float mv[16] = {
        float(side[0]), float(up[0]), float(-d[0]), 0, float(side[1]),    float(up[1]),    float(-d[1]),  0,
        float(side[2]), float(up[2]), float(-d[2]), 0, float(-dot(side)), float(-dot(up)), float(dot(d)), 1};
    extractFrustum(proj, mv);
}

// A render selection over a header, its cache never fetching (no server), driven by runCycle.
class Selection : public ::testing::Test {
protected:
    void SetUp() override { saved_ = DEFAULT_SERVER; }
    void TearDown() override {
        {
            StdoutCapture quiet;
            sel.reset();
        }
        DEFAULT_SERVER = saved_;
    }

    void make(const LASHeader& h, short maxLOD, double height = 60, double fov = 90) {
        StdoutCapture quiet;
        sel.reset(); // a test may make several: the last one's threads end before the next begins
        header_ = h;
        const double pixelFactor = lookDown(0, 0, height, fov);
        DEFAULT_SERVER.clear(); // the cache thread ends at once: nothing is served
        sel = std::make_unique<RenderSelectionThread>("test", &header_, pixelFactor, maxLOD, 1.0);
        sel->setCameraPosition({0, 0, height});
    }

    SplatCacheThread& cache() { return *sel->cache; }

    std::vector<LODRequest*> queued(short level) {
        std::list<LODRequest*> all;
        cache().recallRequests(level, all);
        std::vector<LODRequest*> out(all.rbegin(), all.rend());
        for (LODRequest* r : out) // put back in the same order
            cache().addRequest(r, true);
        return out;
    }

    // Serves every queued request of `level` as the cache and the upload would: `perTile` splats into
    // each tile, filed, normalised, uploaded, handed back.
    void arrive(short level, int perTile) {
        for (LODRequest* r : fill(level, perTile))
            upload(r);
    }

    // The cache's part alone: the queued requests of `level` filled into their tiles, not yet uploaded.
    std::vector<LODRequest*> fill(short level, int perTile) {
        std::list<LODRequest*> requests;
        cache().recallRequests(level, requests);
        for (LODRequest* r : requests) {
            for (uint32_t t : r->tiles) {
                SplatTile& tile = *cache().getTile(t);
                const auto b = sel->grid->getTileBounds(int(t), false);
                tile.Lock();
                const int first = int(tile.splats.size());
                tile.addLOD();
                // Each level a square lattice of its own, offset from the others: distinct positions.
                const int side = int(std::ceil(std::sqrt(double(perTile))));
                const double shift = 0.5 / (level + 1);
                for (int i = 0; i < perTile; ++i)
                    tile.addSplat(Splat{int32_t(b[0] + (b[1] - b[0]) * (i % side + shift) / side),
                                        int32_t(b[2] + (b[3] - b[2]) * (i / side + shift) / side), 5000, 0, 0,
                                        3});
                tile.normalizeSplats(first, sel->grid, level);
                tile.update(&sel->renderTiles[t], level);
                tile.Unlock();
            }
        }
        return {requests.begin(), requests.end()};
    }

    // The upload's part: the request's tiles reach its level on the GPU and it is handed back.
    void upload(LODRequest* r) {
        for (uint32_t t : r->tiles)
            cache().getTile(t)->finishUpdate();
        sel->pushHandled(r);
    }

    bool cycle() {
        StdoutCapture quiet;
        return sel->runCycle();
    }

    // Cycles, serving every queued request of levels up to `served` at once, until nothing more is
    // asked for; `check` looks at the selection after every cycle.
    void settle(
        const std::function<void()>& check = [] {}, short servedUpTo = 99) {
        for (int i = 0; i < 40; ++i) {
            const bool ran = cycle();
            check();
            bool served = false;
            for (short level = 0; level <= std::min(sel->maxLOD, servedUpTo); ++level)
                if (!queued(level).empty()) {
                    arrive(level, 100 << (2 * level));
                    served = true;
                }
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
            if (rt.state == RenderTile::Requested) {
                EXPECT_TRUE(cache().requestExists(rt.tileIndex, rt.getLOD())) << "tile " << rt.tileIndex;
            }
    }

    long drawn() const {
        long n = 0;
        for (const RenderTile& rt : sel->renderTiles)
            n += long(rt.indices.size());
        return n;
    }

    // A 4 × 4 tile data set seen from above its first corner with a threshold under which near tiles
    // want level 3 and the others level 2 (59,200 splats in all).
    void corner(long budget) {
        make(header(1600000, 4000, 4000), 3, 8, 60);
        sel->pointBudget = budget;
        sel->minProjectedSize = 12;
        const auto b = sel->grid->getTileBounds(0, true);
        sel->setCameraPosition({b[0], b[2], 8});
        lookDown(b[0], b[2], 8, 60);
    }

    // Tiles in the budget's order (in view first, then by distance) with the level each draws (-1: none).
    std::vector<std::pair<uint32_t, int>> levelsByDistance() {
        std::vector<std::tuple<bool, double, uint32_t>> order;
        for (uint32_t t = 0; t < sel->renderTiles.size(); ++t) {
            const auto b = sel->grid->getTileBounds(int(t), true);
            const LODGrid& g = *sel->grid;
            const SplatTile& st = *cache().getTile(t);
            const double z0 = st.isEmpty ? g.rawBounds[4] : st.minZ.load(),
                         z1 = st.isEmpty ? g.rawBounds[5] : st.maxZ.load();
            order.emplace_back(!bBoxInFrustum(b[0], b[1], b[2], b[3],
                                              (z0 + g.centreOffset[2]) * g.normalisingScale,
                                              (z1 + g.centreOffset[2]) * g.normalisingScale),
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

    std::string saved_;
    LASHeader header_;
    std::unique_ptr<RenderSelectionThread> sel;
};

TEST_F(Selection, ANewDataSetRequestsLevelZeroOfEveryTileInOneRectangle) {
    make(header(1600000, 4000, 4000), 3);
    const uint32_t tiles = sel->grid->getNumberOfTiles();
    ASSERT_GE(tiles, 9u);
    EXPECT_TRUE(cycle());
    for (const RenderTile& rt : sel->renderTiles) {
        EXPECT_EQ(rt.getLOD(), 0);
        EXPECT_EQ(rt.state, RenderTile::Requested);
    }
    const auto level0 = queued(0);
    ASSERT_EQ(level0.size(), 1u); // no density known yet: nothing limits the rectangle
    EXPECT_EQ(level0[0]->tiles.size(), tiles);
    EXPECT_EQ(level0[0]->minTileX, 0u);
    EXPECT_EQ(level0[0]->maxTileX, sel->grid->getTilesX() - 1);
    EXPECT_EQ(level0[0]->maxTileY, sel->grid->getTilesY() - 1);
    float nearest = 1e30f;
    for (uint32_t t : {0u, sel->grid->getTilesY() - 1, tiles - sel->grid->getTilesY(), tiles - 1})
        nearest = std::min(nearest, float(cache().calculateMinDistanceToPoint(0, 0, 60, t)));
    EXPECT_EQ(level0[0]->priority, nearest);
    EXPECT_FALSE(cycle()); // nothing changed
}

TEST_F(Selection, RefinesOneLevelPerCycleAndCoarsensAllAtOnce) {
    make(header(1600000, 4000, 4000), 3);
    const short maxLOD = 3;
    cycle();
    for (short level = 0; level <= maxLOD; ++level) {
        arrive(level, 100 << (2 * level));
        EXPECT_TRUE(cycle());
        for (const RenderTile& rt : sel->renderTiles) {
            // The level just handed back is drawn whole; the next one is asked for, not any finer.
            EXPECT_EQ(int(rt.indices.size()), cache().getTile(rt.tileIndex)->completeFullLODsize(level));
            EXPECT_EQ(rt.getLOD(), std::min<short>(level + 1, maxLOD));
        }
        EXPECT_GT(sel->levelRadius[size_t(level)].load(), 0);
        if (level > 0) {
            EXPECT_LT(sel->levelRadius[size_t(level)].load(), sel->levelRadius[size_t(level) - 1].load());
        }
    }
    EXPECT_EQ(cache().countRequests(), 0);

    sel->setCameraPosition({0, 0, 1e7}); // far away: every level projects below the threshold
    EXPECT_TRUE(cycle());
    for (const RenderTile& rt : sel->renderTiles) {
        EXPECT_EQ(rt.getLOD(), 0);
        EXPECT_EQ(rt.indices.size(), 100u);
        EXPECT_EQ(rt.state, RenderTile::Settled);
    }
}

TEST_F(Selection, ATieWithTheThresholdKeepsTheLevel) {
    make(header(50000, 300, 300), 3); // one tile
    ASSERT_EQ(sel->grid->getNumberOfTiles(), 1u);
    cycle();
    arrive(0, 100);
    cycle();
    arrive(1, 400);
    cycle();
    ASSERT_EQ(sel->renderTiles[0].getLOD(), 2);
    arrive(2, 1600);
    cycle(); // radius of level 2 known now; level 3 asked for
    std::list<LODRequest*> next;
    cache().recallRequests(3, next);
    for (LODRequest* r : next)
        delete r;
    sel->renderTiles[0].requestedLOD = 2; // as if it had settled at level 2
    const double d = cache().calculateMinDistanceToPoint(0, 0, 60, 0);
    sel->minProjectedSize = sel->projectedSize(2, d);
    EXPECT_TRUE(cycle());
    EXPECT_EQ(sel->renderTiles[0].getLOD(), 2);
    EXPECT_EQ(cache().countRequests(), 0);
    sel->minProjectedSize = std::nextafter(sel->projectedSize(2, d), 0.0); // just below: refine
    cycle();
    EXPECT_EQ(sel->renderTiles[0].getLOD(), 3);
}

// A level still between fill and upload is not drawn, nor counted twice when its request comes back.
TEST_F(Selection, DrawListsCoverUploadedLevelsOnly) {
    make(header(50000, 300, 300), 3); // one tile
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
    EXPECT_EQ(sel->renderTiles[0].getLOD(), 1);
    EXPECT_EQ(cache().countRequests(), 0);
    EXPECT_EQ(sel->renderTiles[0].indices.size(), 100u);
    upload(inFlight[0]);
    cycle();
    EXPECT_EQ(sel->renderTiles[0].indices.size(), 500u);
    EXPECT_EQ(sel->renderTiles[0].state, RenderTile::Settled);
}

TEST_F(Selection, RectanglesShrinkToTheRetrievalBudget) {
    make(header(1600000, 4000, 4000), 3);
    cache().recordRetrieval(2000, 1); // 0 splats/s: budget 0
    sel->levelDensity[0] = 100;
    cycle();
    const auto single = queued(0);
    EXPECT_EQ(single.size(), sel->grid->getNumberOfTiles());
    for (LODRequest* r : single)
        EXPECT_EQ(r->tiles.size(), 1u);
}

TEST_F(Selection, AnUnknownDensityIsBorrowedFromACoarserLevel) {
    make(header(1600000, 4000, 4000), 3);
    cycle();
    arrive(0, 100); // density of level 0: 100 per tile
    for (int i = 0; i < 20; ++i)
        cache().recordRetrieval(1000, 2000); // 2000 splats/s: budget 1000, level 1 borrows 400 per tile
    cycle();
    std::set<uint32_t> covered;
    size_t pairs = 0;
    for (LODRequest* r : queued(1)) {
        EXPECT_LE(r->tiles.size(), 2u);
        pairs += r->tiles.size() == 2;
        for (uint32_t t : r->tiles)
            EXPECT_TRUE(covered.insert(t).second) << "tile " << t << " in two requests";
    }
    EXPECT_GT(pairs, 0u);
    EXPECT_EQ(covered.size(), sel->grid->getNumberOfTiles());
}

TEST_F(Selection, VisibleTilesFirstAndEveryTileInExactlyOneRectangle) {
    // A narrow view of one corner: few tiles visible, the rest fetched as secondary requests.
    make(header(3600000, 6000, 6000), 2, 3, 30);
    sel->setCameraPosition({-25, -25, 3});
    lookDown(-25, -25, 3, 30);
    cycle();
    std::list<LODRequest*> all;
    cache().recallRequests(0, all); // secondary first, then primary, each from the back
    std::set<uint32_t> covered;
    for (LODRequest* r : all) {
        // A rectangle: its tiles are exactly the cells of its ranges.
        EXPECT_EQ(r->tiles.size(), size_t(r->maxTileX - r->minTileX + 1) * (r->maxTileY - r->minTileY + 1));
        for (uint32_t t : r->tiles) {
            EXPECT_TRUE(covered.insert(t).second);
            const uint32_t x = uint32_t(sel->grid->getTileXCoordinate(int(t))),
                           y = uint32_t(sel->grid->getTileYCoordinate(int(t)));
            EXPECT_TRUE(x >= r->minTileX && x <= r->maxTileX && y >= r->minTileY && y <= r->maxTileY);
        }
        delete r;
    }
    EXPECT_EQ(covered.size(), sel->grid->getNumberOfTiles());
    EXPECT_GE(all.size(), 2u);
    // Served order: primary (visible) before secondary; the corner tile is visible.
    cycle(); // nothing changed: no requests come back
    EXPECT_EQ(cache().countRequests(), 0);
}

TEST_F(Selection, OnlyAThresholdChangeLeavesWaitingRequestsQueued) {
    make(header(1600000, 4000, 4000), 3);
    cycle();
    ASSERT_EQ(cache().countRequests(), 1);
    queued(0)[0]->numSplats = 777; // a mark that a rebuilt request would not carry
    sel->minProjectedSize = 2.5;
    EXPECT_TRUE(cycle());
    ASSERT_EQ(cache().countRequests(), 1);
    EXPECT_EQ(queued(0)[0]->numSplats, 777u);
    sel->setCameraPosition({0.5, 0, 60});
    EXPECT_TRUE(cycle());
    ASSERT_EQ(cache().countRequests(), 1);
    EXPECT_EQ(queued(0)[0]->numSplats, 0u); // recalled and batched again
}

TEST_F(Selection, EmptyAndUnknownDataSets) {
    make(header(0, 0, 0), 0);
    EXPECT_EQ(sel->grid->getNumberOfTiles(), 1u);
    EXPECT_TRUE(cycle());
    EXPECT_EQ(cache().countRequests(), 1);
    arrive(0, 0);
    EXPECT_TRUE(cycle());
    EXPECT_EQ(sel->renderTiles[0].indices.size(), 0u);
    EXPECT_EQ(sel->levelRadius[0].load(), 100.0); // no splats: nothing to estimate from

    LASHeader h = header(1000, 10, 10, 5);
    StdoutCapture capture;
    RenderSelectionThread unknown("test", &h, 384, 2, 1.0);
    EXPECT_NE(capture.take().find("Error, unknown point type in header file\n"), std::string::npos);
    EXPECT_EQ(unknown.cache, nullptr);
    EXPECT_FALSE(unknown.runCycle());
}

TEST_F(Selection, StopsPromptlyWhileNothingChanges) {
    make(header(1600000, 4000, 4000), 3);
    sel->Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = std::chrono::steady_clock::now();
    {
        StdoutCapture quiet;
        sel.reset();
    }
    // A hang would block here for ever; a bounded wait ends within a few polling periods.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(Selection, ThePointBudgetBoundsTheDrawListsAndCoarsensTheFarthestTilesFirst) {
    // What the threshold alone gives.
    corner(LONG_MAX);
    settle();
    ASSERT_EQ(drawn(), 59200);
    const auto unlimited = levelsByDistance();
    ASSERT_EQ(unlimited.front().second, 3);
    ASSERT_EQ(unlimited.back().second, 2);

    struct Case {
        long budget;
        bool limited;
        int nearest;    // level the nearest tile draws
        int drawnTiles; // tiles drawing anything
    };
    const Case cases[] = {{200000, false, 3, 16}, {59200, false, 3, 16}, {30000, true, 3, 16},
                          {5000, true, 2, 16},    {1000, true, 0, 10},   {50, true, -1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE("budget " + std::to_string(c.budget));
        corner(c.budget);
        long most = 0;
        settle([&] {
            most = std::max(most, drawn());
            requestsWithinBudget();
        });
        EXPECT_LE(most, c.budget);
        EXPECT_EQ(sel->budgetLimited(), c.limited);
        const auto levels = levelsByDistance();
        if (!c.limited) {
            EXPECT_EQ(levels, unlimited); // exactly as without a budget
            continue;
        }
        if (c.nearest >= 0) {
            EXPECT_GT(drawn(), c.budget / 2); // the budget is used, not squandered
        }
        EXPECT_EQ(levels.front().second, c.nearest);
        int tiles = 0;
        for (size_t i = 0; i < levels.size(); ++i) {
            tiles += levels[i].second >= 0;
            if (i > 0) {
                EXPECT_LE(levels[i].second, levels[i - 1].second) << "tile " << levels[i].first;
            }
        }
        EXPECT_EQ(tiles, c.drawnTiles);
    }
}

TEST_F(Selection, ABudgetChangeOrACameraMoveReallocatesAtOnce) {
    // Every empty tile waits for level 0; then the budget leaves room for a few tiles only. Those left out
    // do not wait for requests withdrawn, and the sizes learnt from the first tile let two more in.
    corner(LONG_MAX);
    cycle();
    sel->pointBudget = 300;
    cycle();
    requestsWithinBudget();
    settle([&] { EXPECT_LE(drawn(), 300); });
    EXPECT_EQ(drawn(), 300);

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

    // The opposite corner: the tiles near it now get the detail.
    const auto far = sel->grid->getTileBounds(int(sel->grid->getNumberOfTiles() - 1), true);
    sel->setCameraPosition({far[1], far[3], 8});
    lookDown(far[1], far[3], 8, 60);
    settle([&] { EXPECT_LE(drawn(), 20000); });
    EXPECT_EQ(levelsByDistance().front(), std::make_pair(sel->grid->getNumberOfTiles() - 1, 3));

    // From the same place looking away towards the far corner: the tiles in view keep their levels, those
    // out of view, nearer as they are, give way first.
    corner(LONG_MAX);
    settle();
    const auto before = levelsByDistance();
    const auto b = sel->grid->getTileBounds(0, true);
    lookTowards(b[0], b[2], 8, far[1], far[3], 30);
    sel->pointBudget = 45000;
    sel->dirty = true;
    settle([&] { EXPECT_LE(drawn(), 45000); });
    const auto away = levelsByDistance(); // in view first
    auto levelOf = [](const auto& tiles, uint32_t t) {
        return std::find_if(tiles.begin(), tiles.end(), [&](const auto& p) { return p.first == t; })->second;
    };
    ASSERT_NE(away.front().first, 0u); // the nearest tile is out of view
    for (size_t i = 0; i < 3; ++i)     // the nearest in view: level 3 as before
        EXPECT_EQ(away[i].second, levelOf(before, away[i].first)) << "tile " << away[i].first;
    EXPECT_LT(levelOf(away, 0), 3);

    // No budget again: every tile back at the threshold's level, dropped and cut tiles included.
    sel->pointBudget = LONG_MAX;
    settle();
    EXPECT_FALSE(sel->budgetLimited());
    EXPECT_EQ(drawn(), 59200);
}

// A level's radius: the mean-density one (in raw X units, areas in world units), widened by the gap
// ratio of scan lines measured on the tiles' own points.
TEST_F(Selection, LevelRadiusFromDensityAndLocalSpacing) {
    for (const bool scanLines : {false, true}) {
        SCOPED_TRACE(scanLines ? "scan lines 0.25 m along, 1.5 m across" : "0.6 m lattice");
        LASHeader h = header(50000, 60, 60); // one tile
        h.ScaleFactor_Y = 0.02;              // Y units twice the X ones
        make(h, 0);
        ASSERT_EQ(sel->grid->getNumberOfTiles(), 1u);
        cycle();
        std::list<LODRequest*> requests;
        cache().recallRequests(0, requests);
        ASSERT_EQ(requests.size(), 1u);
        SplatTile& tile = *cache().getTile(0);
        tile.Lock();
        tile.addLOD();
        const double along = scanLines ? 0.25 : 0.6, across = scanLines ? 1.5 : 0.6;
        for (double y = across / 2; y < 60; y += across)
            for (double x = along / 2 + (scanLines ? 0.1 * std::fmod(y * 7, 1.0) : 0); x < 60; x += along)
                tile.addSplat(Splat{int32_t(x / 0.01), int32_t(y / 0.02), 5000, 0, 0, 1});
        tile.normalizeSplats(0, sel->grid, 0);
        tile.update(&sel->renderTiles[0], 0);
        tile.Unlock();
        upload(requests.front());
        cycle();
        const LODGrid& g = *sel->grid;
        const double mean =
            1.5 * std::sqrt(g.tileWidth * g.tileHeight / double(tile.splats.size()) / M_PI) * std::sqrt(2.0);
        const double radius = sel->levelRadius[0].load();
        if (scanLines) {
            EXPECT_NEAR(radius, mean * sel->spacingRatio(0), 1e-6 * mean);
            EXPECT_GT(radius, 1.4 * mean);
            EXPECT_LT(radius, 1.8 * mean);
        } else {
            EXPECT_NEAR(radius, mean, 1e-6 * mean); // never narrower than the mean density's
        }
    }
}

TEST(SplatCache, QueueOrderRecallAndStatistics) {
    LASHeader h = header(1600000, 4000, 4000, 2);
    StdoutCapture quiet;
    LODGrid grid(&h);
    std::unique_ptr<SplatCacheThread> cache(
        SplatCacheThread::newSplatCacheThread("a b", &grid, 3, &h, nullptr));
    quiet.take();
    ASSERT_TRUE(cache->isInitialized());
    EXPECT_EQ(pointSize, 20);
    EXPECT_TRUE(StreamReaders::loadColors); // format 2 carries colour

    std::vector<std::unique_ptr<LODRequest>> owned;
    auto request = [&](short level, float priority, std::set<uint32_t> tiles) {
        owned.push_back(std::make_unique<LODRequest>());
        owned.back()->level = level;
        owned.back()->priority = priority;
        owned.back()->tiles = std::move(tiles);
        return owned.back().get();
    };
    LODRequest* a = request(1, 5, {0});
    LODRequest* b = request(1, 5, {1});
    LODRequest* c = request(1, 1, {2});
    LODRequest* s = request(1, 0.5f, {3});
    cache->addRequest(a, true);
    cache->addRequest(b, true);
    cache->addRequest(c, true);
    cache->addRequest(s, false);
    EXPECT_EQ(cache->countRequests(), 4);
    EXPECT_TRUE(cache->requestExists(2, 1));
    EXPECT_FALSE(cache->requestNeeded(2, 1)); // queued already
    EXPECT_TRUE(cache->requestNeeded(2, 0));
    EXPECT_TRUE(cache->requestNeeded(9, 1));
    // Least urgent first: the secondary one, then the primary ones from the back (equal priorities in
    // the order inserted, the newer ahead).
    EXPECT_EQ(cache->recallRequest(1), s);
    EXPECT_EQ(cache->recallRequest(1), a);
    EXPECT_EQ(cache->recallRequest(1), b);
    EXPECT_EQ(cache->recallRequest(1), c);
    EXPECT_EQ(cache->recallRequest(1), nullptr);

    SplatTile& tile = *cache->getTile(4);
    tile.addLOD();
    tile.addLOD();
    EXPECT_FALSE(cache->requestNeeded(4, 1)); // begun
    EXPECT_TRUE(cache->requestNeeded(4, 2));
    StdoutCapture out;
    EXPECT_EQ(cache->getTile(grid.getNumberOfTiles()), nullptr);
    EXPECT_EQ(out.take(), "Error, tile " + std::to_string(grid.getNumberOfTiles()) +
                              " does not exist in cache list of size " +
                              std::to_string(grid.getNumberOfTiles()) + "\n");

    EXPECT_EQ(cache->getAverageRetrievalSpeed(), 3000);
    cache->recordRetrieval(100, 10000);
    cache->recordRetrieval(200, 20000);
    EXPECT_EQ(cache->getAverageRetrievalSpeed(), 100000);
    for (int i = 0; i < 19; ++i)
        cache->recordRetrieval(100, 100);
    EXPECT_EQ(cache->getAverageRetrievalSpeed(), (20000 + 1900) * 1000 / (200 + 1900)); // the first fell out
}

TEST(SplatCache, DistanceToATile) {
    LASHeader h = header(1600000, 4000, 4000);
    StdoutCapture quiet;
    LODGrid grid(&h);
    std::unique_ptr<SplatCacheThread> cache(
        SplatCacheThread::newSplatCacheThread("d", &grid, 3, &h, nullptr));
    quiet.take();
    const auto b = grid.getTileBounds(5, true);
    const double cx = (b[0] + b[1]) / 2, cy = (b[2] + b[3]) / 2;
    EXPECT_EQ(cache->calculateMinDistanceToPoint(cx, cy, 40, 5), 0); // no splats: height ignored
    EXPECT_NEAR(cache->calculateMinDistanceToPoint(b[1] + 3, b[3] + 4, 40, 5), 5, 1e-9);
    SplatTile& t = *cache->getTile(5);
    t.addLOD();
    t.addSplat(Splat{0, 0, 2000, 0, 0, 1});
    t.addSplat(Splat{0, 0, 3000, 0, 0, 1});
    t.normalizeSplats(0, &grid, 0);
    const double top = (3000 + grid.centreOffset[2]) * grid.normalisingScale;
    const double bottom = (2000 + grid.centreOffset[2]) * grid.normalisingScale;
    EXPECT_NEAR(cache->calculateMinDistanceToPoint(cx, cy, top + 2, 5), 2, 1e-9);
    EXPECT_EQ(cache->calculateMinDistanceToPoint(cx, cy, (top + bottom) / 2, 5), 0);
    EXPECT_NEAR(cache->calculateMinDistanceToPoint(b[0] - 3, cy, bottom - 4, 5), 5, 1e-9);
}

} // namespace
