#include "RenderSelectionThread.h"

#include "LASHeader.h"
#include "LODGrid.h"
#include "LODRequest.h"
#include "SplatCacheThread.h"
#include "SplatSpacing.h"
#include "SplatTile.h"
#include "ViewMath.h"

#include <GL/glew.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <iostream>
#include <memory>
#include <set>

namespace {

constexpr double kPi = 3.1415927410125732;
constexpr size_t kWarnIndices = 500000;
// Time one cycle may spend measuring the spacing of arrived levels; at least one level is measured.
constexpr double kSpacingMs = 4;

} // namespace

RenderSelectionThread::RenderSelectionThread(std::string dataset, LASHeader* header, double pixelFactor_,
                                             short maxLOD_, double radius_)
    : pixelFactor(pixelFactor_), maxLOD(std::max<short>(maxLOD_, 0)), levelRadius(size_t(maxLOD) + 1),
      levelDensity(size_t(maxLOD) + 1, 0.0), radius(radius_) {
    std::cout << "MAX LOD: " << maxLOD_ << std::endl;
    grid = new LODGrid(header);
    cache = SplatCacheThread::newSplatCacheThread(std::move(dataset), grid, maxLOD, header, this);
    renderTiles.reserve(grid->getNumberOfTiles());
    meshes_.resize(grid->getNumberOfTiles());
    for (uint32_t t = 0; t < grid->getNumberOfTiles(); ++t)
        renderTiles.emplace_back(t);
    for (auto& r : levelRadius)
        r = 100.0;
    const size_t tiles = grid->getNumberOfTiles();
    cap_.assign(tiles, maxLOD);
    dropped_.assign(tiles, 0);
    trimmed_.assign(tiles, 0);
    spacing_.assign(tiles * (size_t(maxLOD) + 1), Spacing{});
    gapRatio_.assign(size_t(maxLOD) + 1, 0.0);
    if (cache != nullptr)
        cache->Start();
}

RenderSelectionThread::~RenderSelectionThread() {
    Stop();
    Join();
    // Every request lives in exactly one place by now: queued or finished in the cache, or handed back.
    std::vector<LODRequest*> left;
    if (cache != nullptr) {
        cache->Stop();
        cache->Join();
        cache->releaseRequests(left);
    }
    left.insert(left.end(), handled.begin(), handled.end());
    handled.clear();
    std::set<LODRequest*> unique(left.begin(), left.end());
    for (LODRequest* r : unique)
        delete r;
    delete cache;
    delete grid;
}

void RenderSelectionThread::setCameraPosition(GLVector3d eye) {
    const bool moved = camera[0] != eye.x || camera[1] != eye.y || camera[2] != eye.z;
    camera[0] = eye.x;
    camera[1] = eye.y;
    camera[2] = eye.z;
    if (moved)
        wake_.notify();
}

void RenderSelectionThread::pushHandled(LODRequest* request) {
    {
        Held held(lock);
        handled.push_back(request);
    }
    wake_.notify();
}

RenderTile* RenderSelectionThread::getTiles() {
    return renderTiles.empty() ? nullptr : renderTiles.data();
}

RenderTile* RenderSelectionThread::getTile(unsigned t) {
    return &renderTiles.at(t);
}

double RenderSelectionThread::projectedSize(short level, double distance) const {
    return 2.0 * levelRadius[size_t(level)].load() * grid->modelScale[0] * pixelFactor / distance;
}

bool RenderSelectionThread::changed() const {
    if (dirty.load() || minProjectedSize.load() != lastMinProjectedSize ||
        pointBudget.load() != lastPointBudget_ || !spacingQueue_.empty() || refineAgain_)
        return true;
    for (int i = 0; i < 3; ++i)
        if (camera[i].load() != lastCamera[i])
            return true;
    return false;
}

void RenderSelectionThread::allocateScratch() {
    const size_t nx = grid->getTilesX(), ny = grid->getTilesY();
    requests_.assign(size_t(maxLOD) + 1, Grid2(nx, std::vector<RenderTile*>(ny, nullptr)));
    distances_.assign(nx, std::vector<float>(ny, 0.0f));
    visible_.assign(nx, std::vector<char>(ny, 0));
}

void RenderSelectionThread::Run() {
    allocateScratch();
    for (;;) {
        // At most one polling period between cycles, less when data or the camera arrives.
        wake_.waitFor(20);
        if (!PingThread(1))
            break;
        bool waiting = true;
        while (waiting) {
            {
                Held held(lock);
                waiting = !changed() && handled.empty();
            }
            if (!waiting)
                break;
            if (StopRequested())
                break;
            wake_.waitFor(20);
        }
        if (waiting)
            break; // asked to stop while nothing changed
        runCycle();
    }
    requests_.clear();
    distances_.clear();
    visible_.clear();
}

void RenderSelectionThread::tileHeights(unsigned t, double& z0, double& z1) const {
    const SplatTile& st = (*cache->getTiles())[t];
    double lo = st.minZ.load(), hi = st.maxZ.load();
    if (hi < lo) { // no splat yet: the tile may hold any height of the data set
        lo = grid->rawBounds[4];
        hi = grid->rawBounds[5];
    }
    z0 = (lo + grid->centreOffset[2]) * grid->normalisingScale;
    z1 = (hi + grid->centreOffset[2]) * grid->normalisingScale;
}

bool RenderSelectionThread::runCycle() {
    if (cache == nullptr)
        return false;
    if (requests_.empty())
        allocateScratch();

    std::vector<char> changedLevels(size_t(maxLOD) + 1, 0);
    // Splats in all draw lists: only this thread changes them.
    long drawn = 0;
    for (const RenderTile& rt : renderTiles)
        drawn += long(rt.indices.size());
    for (;;) {
        LODRequest* r = nullptr;
        {
            Held held(lock);
            if (handled.empty())
                break;
            r = handled.front();
            handled.pop_front();
        }
        // Deleted on every way out of this iteration.
        const std::unique_ptr<LODRequest> owned(r);
        std::vector<SplatTile>& tiles = *cache->getTiles();
        for (uint32_t t : r->tiles) {
            RenderTile& rt = renderTiles.at(t);
            if (!arriveWithinBudget(rt, r->level, drawn)) {
                const long before = long(rt.indices.size());
                rt.update(r->level, std::max(tiles.at(t).completeLODsize(r->level), 0));
                drawn += long(rt.indices.size()) - before;
            }
            if (r->level >= 0 && r->level <= maxLOD)
                spacingQueue_.emplace_back(t, r->level);
        }
        if (r->level >= 0 && r->level <= maxLOD)
            changedLevels[size_t(r->level)] = 1;
    }

    measureSpacing(changedLevels);
    levelStatistics(changedLevels);

    const double cam[3] = {camera[0].load(), camera[1].load(), camera[2].load()};
    const double threshold = minProjectedSize.load();
    const bool cameraMoved = cam[0] != lastCamera[0] || cam[1] != lastCamera[1] || cam[2] != lastCamera[2];
    if (!dirty.load() && !cameraMoved && threshold == lastMinProjectedSize &&
        pointBudget.load() == lastPointBudget_ && !refineAgain_)
        return false;
    refineAgain_ = false;
    const bool moved = dirty.load() || cameraMoved;
    lastMinProjectedSize = threshold;
    std::copy(cam, cam + 3, lastCamera);

    std::vector<double> distance(renderTiles.size());
    for (uint32_t t = 0; t < renderTiles.size(); ++t) {
        const unsigned x = unsigned(grid->getTileXCoordinate(int(t))),
                       y = unsigned(grid->getTileYCoordinate(int(t)));
        for (auto& level : requests_)
            level[x][y] = nullptr;
        distance[t] = cache->calculateMinDistanceToPoint(lastCamera[0], lastCamera[1], lastCamera[2], t);
        const auto b = grid->getTileBounds(int(t), true);
        double z0, z1;
        tileHeights(t, z0, z1);
        visible_[x][y] = char(bBoxInFrustum(b[0], b[1], b[2], b[3], z0, z1) != 0);
        distances_[x][y] = float(distance[t]);
    }
    allocateBudget();
    for (uint32_t t = 0; t < renderTiles.size(); ++t) {
        const unsigned x = unsigned(grid->getTileXCoordinate(int(t))),
                       y = unsigned(grid->getTileYCoordinate(int(t)));
        RenderTile& rt = renderTiles[t];
        Held held(rt);
        if (rt.state == RenderTile::Settled) {
            decide(rt, x, y, distance[t]);
        } else if (rt.requestedLOD > cap_[t]) {
            // A level on its way that the budget no longer allows: draw no more than it does meanwhile.
            const short highest = (*cache->getTiles())[t].highestLevel;
            const size_t allowed =
                cap_[t] < 0 || highest < 0
                    ? 0
                    : size_t((*cache->getTiles())[t].completeFullLODsize(std::min<short>(cap_[t], highest)));
            if (rt.indices.size() > allowed)
                rt.indices.resize(allowed);
            trimmed_[t] = 1;
        }
    }
    processRequests(moved);
    wasLimited_ = budgetLimited_.load();
    dirty = false;
    return true;
}

short RenderSelectionThread::settledLevel(short cur, double distance) const {
    const double threshold = lastMinProjectedSize;
    short level = std::max<short>(cur, 0);
    bool refined = cur < 0;
    while (level < maxLOD && projectedSize(level, distance) > threshold) {
        ++level;
        refined = true;
    }
    if (!refined)
        while (level > 0 && projectedSize(short(level - 1), distance) < threshold)
            --level;
    return level;
}

double RenderSelectionThread::meanLevelSize(short level) const {
    if (levelDensity[size_t(level)] > 0)
        return levelDensity[size_t(level)];
    for (int j = level - 1; j >= 0; --j)
        if (levelDensity[size_t(j)] > 0)
            return levelDensity[size_t(j)] * std::pow(4.0, level - j);
    // Nothing received yet: the tiles hold about the header's share each, each level a quarter of the next.
    return double(grid->numberOfPoints) / std::max(grid->getNumberOfTiles(), 1u) /
           std::pow(4.0, maxLOD - level);
}

double RenderSelectionThread::tileCost(uint32_t t, short level) const {
    const SplatTile& st = (*cache->getTiles())[t];
    const int whole = st.completeLevels();
    if (level < whole)
        return st.completeFullLODsize(level);
    if (whole > 0) { // the tile's own size scaled like the mean: data set edges hold fewer splats
        const short h = short(whole - 1);
        const double base = st.completeFullLODsize(h), mean = meanLevelSize(h);
        return mean > 0 ? std::ceil(base * meanLevelSize(level) / mean) : base;
    }
    return std::ceil(meanLevelSize(level));
}

void RenderSelectionThread::allocateBudget() {
    const long budget = pointBudget.load();
    lastPointBudget_ = budget;
    const size_t n = renderTiles.size();
    std::vector<short> wanted(n);
    double total = 0;
    for (uint32_t t = 0; t < n; ++t) {
        const unsigned x = unsigned(grid->getTileXCoordinate(int(t))),
                       y = unsigned(grid->getTileYCoordinate(int(t)));
        wanted[t] = settledLevel(renderTiles[t].requestedLOD, distances_[x][y]);
        total += tileCost(t, wanted[t]);
    }
    if (total <= double(budget)) {
        std::fill(cap_.begin(), cap_.end(), maxLOD);
        budgetLimited_ = false;
        return;
    }
    budgetLimited_ = true;
    // Tiles in view before those out of it, each group nearest first.
    std::vector<uint32_t> order(n);
    for (uint32_t t = 0; t < n; ++t)
        order[t] = t;
    auto key = [&](uint32_t t) {
        const unsigned x = unsigned(grid->getTileXCoordinate(int(t))),
                       y = unsigned(grid->getTileYCoordinate(int(t)));
        return std::make_pair(visible_[x][y] == 0, distances_[x][y]);
    };
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return key(a) < key(b); });
    // The coarsest level of as many tiles as fit, nearest first; the rest draw nothing. Before any tile
    // has its coarsest level the sizes are the header's guess: the nearest tile is fetched regardless, and
    // drawn only if it turns out to fit.
    double left = double(budget);
    size_t kept = 0;
    for (; kept < n; ++kept) {
        const double floor = tileCost(order[kept], 0);
        if (floor > left && (kept > 0 || levelDensity[0] > 0))
            break;
        left = std::max(left - floor, 0.0);
    }
    for (size_t i = kept; i < n; ++i)
        cap_[order[i]] = -1;
    // Then finer levels, nearest first; once a tile is held back, no farther tile is finer than it.
    short ceiling = maxLOD;
    for (size_t i = 0; i < kept; ++i) {
        const uint32_t t = order[i];
        const double floor = tileCost(t, 0);
        short level = std::min(wanted[t], ceiling);
        while (level > 0 && tileCost(t, level) - floor > left)
            --level;
        left -= tileCost(t, level) - floor;
        cap_[t] = level;
        if (level < wanted[t])
            ceiling = level;
    }
}

void RenderSelectionThread::settleAt(RenderTile& tile, short level) {
    const uint32_t t = tile.tileIndex;
    const SplatTile& st = (*cache->getTiles())[t];
    const short highest = st.highestLevel;
    trimmed_[t] = 0;
    if (highest < 0) { // nothing received: asked for again once the budget allows
        dropped_[t] = 0;
        tile.requestedLOD = -1;
        tile.setLODHeld(0);
        return;
    }
    if (level < 0) {
        dropped_[t] = 1;
        tile.setLODHeld(0);
        return;
    }
    dropped_[t] = 0;
    tile.requestedLOD = level;
    tile.setLODHeld(unsigned(st.completeFullLODsize(std::min(level, highest))));
}

bool RenderSelectionThread::arriveWithinBudget(RenderTile& tile, short level, long& drawn) {
    const uint32_t t = tile.tileIndex;
    const SplatTile& st = (*cache->getTiles())[t];
    Held held(tile);
    if (tile.requestedLOD != level || tile.state != RenderTile::Uploaded)
        return false;
    const long before = long(tile.indices.size());
    const long after = st.completeFullLODsize(level);
    short keep = level;
    if (level > cap_[t] || trimmed_[t])
        keep = cap_[t];
    else if (drawn - before + after > pointBudget.load()) // larger than its estimate: wait for the next cycle
        keep = short(level - 1);
    else
        return false;
    settleAt(tile, std::min(keep, level));
    drawn += long(tile.indices.size()) - before;
    return true;
}

void RenderSelectionThread::measureSpacing(std::vector<char>& changedLevels) {
    if (spacingQueue_.empty())
        return;
    std::vector<SplatTile>& tiles = *cache->getTiles();
    const auto start = std::chrono::steady_clock::now();
    const size_t levels = size_t(maxLOD) + 1;
    std::vector<char> measured(levels, 0);
    // Each entry is tried at most once per cycle, and at least one; a tile busy with a transfer is tried
    // again in the next cycle.
    auto elapsed = [&] {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start);
    };
    for (size_t tries = spacingQueue_.size(), done = 0; tries > 0; --tries, ++done) {
        if (done > 0 && elapsed().count() > kSpacingMs)
            break;
        const auto [t, level] = spacingQueue_.front();
        spacingQueue_.pop_front();
        SplatTile& st = tiles.at(t);
        std::vector<SplatSpacing::Window> windows;
        {
            TryHeld held{st};
            if (!held) {
                spacingQueue_.emplace_back(t, level);
                continue;
            }
            if (level < st.completeLevels())
                windows =
                    SplatSpacing::gather(st.splats.data(), size_t(std::max(st.completeFullLODsize(level), 0)),
                                         std::abs(grid->scale[0]), std::abs(grid->scale[1]));
        }
        const SplatSpacing::Estimate e = SplatSpacing::measure(windows);
        spacing_[size_t(t) * levels + size_t(level)] = Spacing{float(e.ratio), e.triangles};
        measured[size_t(level)] = 1;
    }
    // Pooled per level: the median over tiles, weighted by the triangles each measured.
    for (size_t level = 0; level < levels; ++level) {
        if (!measured[level])
            continue;
        std::vector<std::pair<float, unsigned>> ratios;
        double weight = 0;
        for (size_t t = 0; t < renderTiles.size(); ++t) {
            const Spacing& s = spacing_[t * levels + level];
            if (s.triangles > 0) {
                ratios.emplace_back(s.ratio, s.triangles);
                weight += s.triangles;
            }
        }
        double ratio = 0;
        if (!ratios.empty()) {
            std::sort(ratios.begin(), ratios.end());
            double below = 0;
            for (const auto& [r, w] : ratios) {
                ratio = r;
                below += w;
                if (below >= weight / 2)
                    break;
            }
        }
        if (ratio != gapRatio_[level]) {
            gapRatio_[level] = ratio;
            changedLevels[level] = 1;
        }
    }
}

void RenderSelectionThread::levelStatistics(const std::vector<char>& changedLevels) {
    const std::vector<SplatTile>& tiles = *cache->getTiles();
    const double tileArea = grid->tileWidth * grid->tileHeight;
    bool finer = false;
    for (int level = maxLOD; level >= 0; --level) {
        if (!changedLevels[size_t(level)] && !finer)
            continue;
        finer = true;
        dirty = true;
        uint64_t k = 0;
        double sum = 0;
        for (const SplatTile& st : tiles) {
            if (st.isEmpty)
                continue;
            const short highest = st.highestLevel;
            if (highest >= level || (st.uploadPending && !st.receiving && highest + 1 == level)) {
                ++k;
                sum += st.completeFullLODsize(short(level));
            }
        }
        if (k == 0 || sum <= 0)
            continue;
        // Raw X units: the mean area per splat is measured in world units when X and Y units differ.
        const double sx = std::abs(grid->scale[0]), sy = std::abs(grid->scale[1]);
        const double aspect = sx == sy || !(sx > 0) || !(sy > 0) ? 1.0 : std::sqrt(sy / sx);
        levelRadius[size_t(level)] = 1.5 * std::sqrt(tileArea * double(k) / sum / kPi) * aspect *
                                     std::max(1.0, gapRatio_[size_t(level)]);
        levelDensity[size_t(level)] = sum / double(k);
    }
}

void RenderSelectionThread::decide(RenderTile& tile, unsigned x, unsigned y, double distance) {
    const short cur = tile.requestedLOD;
    const double threshold = lastMinProjectedSize;
    const SplatTile& st = (*cache->getTiles())[tile.tileIndex];
    const short highest = st.highestLevel;
    const short cap = cap_[tile.tileIndex];
    if (cap < 0) { // nothing of this tile fits in the budget
        if (cur >= 0 && !dropped_[tile.tileIndex])
            settleAt(tile, -1);
        return;
    }
    // Back within the budget, or cut while a level was on its way: draws what it may, refines later.
    if (dropped_[tile.tileIndex] || trimmed_[tile.tileIndex]) {
        settleAt(tile, std::max<short>(std::min(cur, cap), 0));
        return;
    }
    if (cur < 0) {
        requestLevel(tile, x, y, 0);
        return;
    }
    if (cur > cap) { // the budget coarsens it, the threshold perhaps further
        short level = cap;
        while (level > 0 && projectedSize(short(level - 1), distance) < threshold)
            --level;
        settleAt(tile, level);
        return;
    }
    if (cur < maxLOD && cur < cap && highest >= cur && projectedSize(cur, distance) > threshold) {
        requestLevel(tile, x, y, short(cur + 1));
        return;
    }
    if (cur > 0 && projectedSize(short(cur - 1), distance) < threshold) {
        short level = short(cur - 1);
        while (level > 0 && projectedSize(short(level - 1), distance) < threshold)
            --level;
        tile.requestedLOD = level;
        if (highest != -1)
            tile.setLODHeld(unsigned(st.completeFullLODsize(std::min(level, highest))));
    }
}

void RenderSelectionThread::requestLevel(RenderTile& tile, unsigned x, unsigned y, short level) {
    const SplatTile& st = (*cache->getTiles())[tile.tileIndex];
    const short highest = st.highestLevel;
    tile.requestedLOD = level;
    tile.state = RenderTile::Requested;
    // Draw lists cover uploaded levels only: a level still streaming in is added when its request comes
    // back, and must not be counted twice.
    if (cache->requestNeeded(tile.tileIndex, level)) {
        requests_[size_t(level)][x][y] = &tile;
        if (highest != -1)
            tile.setLODHeld(unsigned(st.completeFullLODsize(highest)));
    } else if (highest != -1) {
        tile.setLODHeld(unsigned(st.completeFullLODsize(std::min(level, highest))));
        // The level was at hand: the next cycle may refine further without waiting for a change.
        if (level <= highest)
            refineAgain_ = true;
    }
}

void RenderSelectionThread::processRequests(bool moved) {
    const unsigned nx = grid->getTilesX(), ny = grid->getTilesY();
    std::vector<char> hasRequests(size_t(maxLOD) + 1, 0);
    // Levels are fetched in order, coarsest first: a request pulls in the coarser levels a tile lacks.
    for (int level = 0; level <= maxLOD; ++level)
        for (unsigned x = 0; x < nx; ++x)
            for (unsigned y = 0; y < ny; ++y) {
                RenderTile* rt = requests_[size_t(level)][x][y];
                if (rt == nullptr)
                    continue;
                hasRequests[size_t(level)] = 1;
                for (int k = level - 1; k >= 0 && cache->requestNeeded(rt->tileIndex, short(k)); --k) {
                    requests_[size_t(k)][x][y] = rt;
                    hasRequests[size_t(k)] = 1;
                }
            }
    // Waiting requests are batched again with the new ones, under this cycle's priorities; all of them
    // while the budget holds detail back, so that none is fetched that it no longer allows.
    const bool budgeted = budgetLimited_.load() || wasLimited_;
    for (int level = maxLOD; level >= 0; --level) {
        if (!moved && !hasRequests[size_t(level)] && !budgeted)
            continue;
        std::list<LODRequest*> recalled;
        cache->recallRequests(short(level), recalled);
        for (LODRequest* r : recalled) {
            for (uint32_t t : r->tiles)
                requests_[size_t(level)][size_t(grid->getTileXCoordinate(int(t)))]
                         [size_t(grid->getTileYCoordinate(int(t)))] = &renderTiles.at(t);
            delete r;
        }
    }
    if (budgeted)
        dropUnaffordable();
    for (bool primary : {true, false})
        for (int level = 0; level <= maxLOD; ++level)
            batch(short(level), primary);
}

void RenderSelectionThread::dropUnaffordable() {
    const unsigned nx = grid->getTilesX(), ny = grid->getTilesY();
    std::vector<char> cut(renderTiles.size(), 0);
    for (int level = 0; level <= maxLOD; ++level)
        for (unsigned x = 0; x < nx; ++x)
            for (unsigned y = 0; y < ny; ++y) {
                RenderTile* rt = requests_[size_t(level)][x][y];
                if (rt != nullptr && level > cap_[rt->tileIndex]) {
                    requests_[size_t(level)][x][y] = nullptr;
                    cut[rt->tileIndex] = 1;
                }
            }
    // A tile waiting for a level no longer fetched would wait for ever: it settles at what it may draw.
    for (uint32_t t = 0; t < renderTiles.size(); ++t) {
        if (!cut[t])
            continue;
        RenderTile& rt = renderTiles[t];
        Held held(rt);
        const short wanted = rt.requestedLOD;
        if (rt.state == RenderTile::Requested && wanted > cap_[t] && cache->requestNeeded(t, wanted))
            settleAt(rt, cap_[t]);
    }
}

void RenderSelectionThread::batch(short level, bool primary) {
    const int nx = int(grid->getTilesX()), ny = int(grid->getTilesY());
    Grid2& wanted = requests_[size_t(level)];
    // H[x][y]: consecutive wanted cells of this pass from (x, y) towards higher y.
    std::vector<std::vector<int>> H(size_t(nx), std::vector<int>(size_t(ny), 0));
    std::vector<int> column(size_t(nx), 0);
    int total = 0;
    for (int x = 0; x < nx; ++x)
        for (int y = ny - 1; y >= 0; --y) {
            if (wanted[x][y] == nullptr || (visible_[x][y] != 0) != primary)
                continue;
            H[x][y] = 1 + (y + 1 < ny ? H[x][y + 1] : 0);
            ++column[x];
            ++total;
        }

    auto makeRequest = [&](int x, int y, int w, int h) {
        auto* r = new LODRequest;
        r->level = level;
        r->minTileX = uint32_t(x);
        r->maxTileX = uint32_t(x + w - 1);
        r->minTileY = uint32_t(y);
        r->maxTileY = uint32_t(y + h - 1);
        r->priority = std::min({distances_[x][y], distances_[x + w - 1][y], distances_[x][y + h - 1],
                                distances_[x + w - 1][y + h - 1]});
        for (int i = x; i < x + w; ++i)
            for (int j = y; j < y + h; ++j)
                r->tiles.insert(uint32_t(grid->getTileNum(i, j)));
        r->grid = grid;
        r->splatTiles = cache->getTiles();
        r->renderTiles = &renderTiles;
        cache->addRequest(r, primary);
    };

    while (total != 0) {
        int bestArea = 0, bx = 0, by = 0, bw = 0, bh = 0;
        for (int x = 0; x < nx; ++x)
            for (int y = 0; y < ny; ++y) {
                if (H[x][y] <= 0)
                    continue;
                int h = INT_MAX;
                for (int x2 = x; x2 < nx && H[x2][y] > 0; ++x2) {
                    h = std::min(h, H[x2][y]);
                    const int area = h * (x2 - x + 1);
                    if (area > bestArea) {
                        bestArea = area;
                        bx = x, by = y, bw = x2 - x + 1, bh = h;
                    }
                }
            }
        if (bestArea >= 2) {
            // At most about half a second of transfer at the measured rate.
            const double budget = std::trunc(0.5 * cache->getAverageRetrievalSpeed());
            double density = levelDensity[size_t(level)];
            if (density == 0)
                for (int j = level - 1; j >= 0; --j)
                    if (levelDensity[size_t(j)] != 0) {
                        density = levelDensity[size_t(j)] * std::pow(4.0, level - j);
                        break;
                    }
            if (bw * bh * density > budget) {
                const double allowed = std::max(std::trunc(budget / density), 1.0);
                while (bw * bh > allowed) {
                    if (bh >= bw)
                        --bh;
                    else
                        --bw;
                }
            }
            makeRequest(bx, by, bw, bh);
            for (int x = bx; x < bx + bw; ++x) {
                for (int y = by; y < by + bh; ++y)
                    H[x][y] = 0;
                column[x] -= bh;
                for (int y = by - 1; y >= 0 && H[x][y] > 0; --y)
                    H[x][y] = 1 + H[x][y + 1];
            }
            total -= bw * bh;
        } else if (bestArea == 1) {
            for (int x = 0; x < nx; ++x)
                for (int y = 0; y < ny; ++y)
                    if (H[x][y] > 0)
                        makeRequest(x, y, 1, 1);
            return;
        } else {
            std::cout << "Error: " << total << " request(s) remaining, but no request tiles found"
                      << std::endl;
            std::cout << "Column requests: ";
            for (int c : column)
                std::cout << c << " ";
            std::cout << std::endl;
            return;
        }
    }
}

int RenderSelectionThread::renderSplats(short level, ColorMode mode, float gridExpansion) {
    if (cache == nullptr)
        return 0;
    const std::vector<SplatTile>& tiles = *cache->getTiles();
    int drawn = 0;
    for (uint32_t t = 0; t < renderTiles.size(); ++t) {
        RenderTile& rt = renderTiles[t];
        Held held(rt);
        const short requested = rt.requestedLOD;
        const short draw = std::min<short>(rt.state != RenderTile::Settled ? short(requested - 1) : requested,
                                           tiles[t].highestLevel);
        if (draw != level || drawsMesh(t)) // most tiles, in every pass: no bounds or frustum test for them
            continue;
        if (!tileInView(t))
            continue;
        const auto b = grid->getTileBounds(int(t), true);
        const bool pushed = gridExpansion != 0;
        if (pushed) {
            glPushMatrix();
            glTranslatef(float((b[0] + b[1]) / 2 * gridExpansion), float((b[2] + b[3]) / 2 * gridExpansion),
                         0.0f);
        }
        if (rt.indices.size() > kWarnIndices)
            std::cout << "WARNING: " << rt.indices.size() << " points in tile " << t << std::endl;
        cache->renderSplats(t, &rt.indices, mode == COLOR_LAS);
        drawn += std::min<int>(int(rt.indices.size()), cache->uploadedSplats(t));
        if (pushed)
            glPopMatrix();
    }
    return drawn;
}

bool RenderSelectionThread::tileInView(unsigned t) const {
    const auto b = grid->getTileBounds(int(t), true);
    double z0, z1;
    tileHeights(t, z0, z1);
    return bBoxInFrustum(b[0], b[1], b[2], b[3], z0, z1) != 0;
}

bool RenderSelectionThread::drawsMesh(unsigned t) const {
    // A mesh indexes only splats on the GPU; the buffer never shrinks, so this holds once it is made.
    return meshMode_ && !meshes_[t].indices.empty() && meshes_[t].splats <= cache->uploadedSplats(t);
}

void RenderSelectionThread::updateMeshes(bool on) {
    if (cache == nullptr)
        return;
    if (on != meshMode_) {
        meshMode_ = on;
        if (!on) {
            cache->cancelMeshes();
            for (Mesh& m : meshes_)
                m.pending = 0;
        }
    }
    std::vector<SplatCacheThread::TileMesh> done;
    cache->takeMeshes(done);
    for (SplatCacheThread::TileMesh& d : done) {
        Mesh& m = meshes_.at(d.tile);
        m.indices = std::move(d.indices);
        m.splats = d.splats;
        if (m.pending == d.splats)
            m.pending = 0;
    }
    if (!on)
        return;

    const std::vector<SplatTile>& tiles = *cache->getTiles();
    // Nearest tiles first: the worker takes requests in order.
    std::vector<std::pair<double, unsigned>> wanted;
    for (uint32_t t = 0; t < renderTiles.size(); ++t) {
        RenderTile& rt = renderTiles[t];
        bool loaded = false;
        int count = 0;
        {
            Held held(rt);
            const short requested = rt.requestedLOD;
            loaded = rt.state == RenderTile::Settled && requested >= 0 && tiles[t].highestLevel >= requested;
            count = std::min<int>(int(rt.indices.size()), cache->uploadedSplats(t));
        }
        const Mesh& m = meshes_[t];
        if (!loaded || count < 3 || count == m.splats || count == m.pending || !tileInView(t))
            continue;
        meshes_[t].pending = count;
        wanted.emplace_back(cache->calculateMinDistanceToPoint(camera[0], camera[1], camera[2], t), t);
    }
    std::sort(wanted.begin(), wanted.end());
    for (const auto& [distance, t] : wanted)
        cache->requestMesh(t, meshes_[t].pending, meshThreshold);
}

int RenderSelectionThread::renderMeshes(ColorMode mode, float gridExpansion) {
    int drawn = 0;
    for (uint32_t t = 0; meshMode_ && t < meshes_.size(); ++t) {
        if (!drawsMesh(t) || !tileInView(t))
            continue;
        const bool pushed = gridExpansion != 0;
        if (pushed) {
            const auto b = grid->getTileBounds(int(t), true);
            glPushMatrix();
            glTranslatef(float((b[0] + b[1]) / 2 * gridExpansion), float((b[2] + b[3]) / 2 * gridExpansion),
                         0.0f);
        }
        cache->renderTriangles(t, &meshes_[t].indices, mode == COLOR_LAS);
        if (pushed)
            glPopMatrix();
        ++drawn;
    }
    meshTilesDrawn_ = drawn;
    return drawn;
}

namespace {

void outline(double x0, double x1, double y0, double y1, float gridExpansion) {
    const bool pushed = gridExpansion != 0;
    if (pushed) {
        glPushMatrix();
        glTranslatef(float((x0 + x1) / 2 * gridExpansion), float((y0 + y1) / 2 * gridExpansion), 0.0f);
    }
    glBegin(GL_LINE_LOOP);
    glVertex3d(x0, y0, 0);
    glVertex3d(x1, y0, 0);
    glVertex3d(x1, y1, 0);
    glVertex3d(x0, y1, 0);
    glEnd();
    if (pushed)
        glPopMatrix();
}

} // namespace

void RenderSelectionThread::renderGrid(float gridExpansion) {
    glColor3f(1, 0, 0);
    for (uint32_t t = 0; t < renderTiles.size(); ++t) {
        const auto b = grid->getTileBounds(int(t), true);
        outline(b[0], b[1], b[2], b[3], gridExpansion);
    }
}

void RenderSelectionThread::renderCurrentRequest(float gridExpansion) {
    if (cache == nullptr)
        return;
    const auto b = cache->getCurrentRequestBounds();
    if ((b[1] > b[0] && b[3] >= b[2]) || (b[1] >= b[0] && b[3] > b[2])) {
        glColor3f(0, 1, 0);
        outline(b[0], b[1], b[2], b[3], gridExpansion);
    }
}
