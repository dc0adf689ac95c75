#include "SceneModel.h"

#include "SceneRandom.h"

#include <algorithm>
#include <cmath>

namespace synth {

namespace {

// Salts that keep the independent random streams of one seed apart.
enum Salt : uint64_t {
    SaltScene = 1,
    SaltHills,
    SaltValleys,
    SaltUndulation,
    SaltRoughness,
    SaltGrass,
    SaltSettlement,
    SaltSettlementEdge,
    SaltForest,
    SaltForestEdge,
    SaltBuildings,
    SaltTrees,
    SaltCount
};

double smootherstep(double t) {
    return t * t * t * (t * (t * 6.0 - 15.0) + 10.0);
}
double smoothstep(double t) {
    t = std::clamp(t, 0.0, 1.0);
    return t * t * (3.0 - 2.0 * t);
}

// One mix per lattice point keeps the terrain cheap; the per-salt key already carries the seed.
double latticeValue(uint64_t key, int64_t ix, int64_t iy) {
    const uint64_t h =
        mix64(key ^ (uint64_t(ix) * 0x9e3779b97f4a7c15ULL) ^ (uint64_t(iy) * 0xc2b2ae3d27d4eb4fULL));
    return double(h >> 11) * 0x1.0p-52 - 1.0;
}

// A direction from one uniform number without trigonometry: the rational parametrisation of the half
// circle, so every platform computes the same footprint rotation.
void direction(double t, double& c, double& s) {
    const double d = 1.0 + t * t;
    c = (1.0 - t * t) / d;
    s = 2.0 * t / d;
}

Colour jitterColour(Random& rng, int r, int g, int b, int spread) {
    const int common = int(rng.below(2 * spread + 1)) - spread;
    auto channel = [&](int base) {
        const int v = base + common + int(rng.below(7)) - 3;
        return uint8_t(std::clamp(v, 0, 255));
    };
    const uint8_t cr = channel(r), cg = channel(g), cb = channel(b);
    return Colour{cr, cg, cb};
}

void setMaterial(Building& b, RoofMaterial m, Random& rng) {
    b.material = m;
    switch (m) {
    case RoofMaterial::RedTile:
        b.reflectance = rng.uniform(0.28, 0.36);
        b.colour = jitterColour(rng, 168, 72, 48, 14);
        break;
    case RoofMaterial::Anthracite:
        b.reflectance = rng.uniform(0.10, 0.15);
        b.colour = jitterColour(rng, 68, 70, 76, 8);
        break;
    case RoofMaterial::Concrete:
        b.reflectance = rng.uniform(0.33, 0.42);
        b.colour = jitterColour(rng, 150, 150, 148, 15);
        break;
    case RoofMaterial::Gravel:
        b.reflectance = rng.uniform(0.40, 0.50);
        b.colour = jitterColour(rng, 178, 172, 160, 12);
        break;
    case RoofMaterial::Metal:
        b.reflectance = rng.uniform(0.50, 0.60);
        b.colour = jitterColour(rng, 190, 195, 200, 10);
        break;
    }
}

bool overlapsRect(double cx, double cy, double ex, double ey, double x0, double y0, double x1, double y1) {
    return cx + ex > x0 && cx - ex < x1 && cy + ey > y0 && cy - ey < y1;
}

} // namespace

// ---------------------------------------------------------------------------------------------------------

bool Building::contains(double x, double y) const {
    const double dx = x - cx, dy = y - cy;
    const double u = dx * cosA + dy * sinA;
    const double v = dy * cosA - dx * sinA;
    return std::fabs(u) < halfLength && std::fabs(v) < halfWidth;
}

double Building::roofHeight(double x, double y) const {
    const double dx = x - cx, dy = y - cy;
    const double u = std::fabs(dx * cosA + dy * sinA);
    const double v = std::fabs(dy * cosA - dx * sinA);
    if (shape == RoofShape::Gable)
        return eaveZ + (ridgeZ - eaveZ) * std::max(0.0, 1.0 - v / halfWidth);
    const double edge = std::min(halfLength - u, halfWidth - v);
    return edge < ParapetWidth ? eaveZ + ParapetHeight : eaveZ;
}

double Building::boundingRadius() const {
    return std::sqrt(halfLength * halfLength + halfWidth * halfWidth);
}
double Building::extentX() const {
    return std::fabs(cosA) * halfLength + std::fabs(sinA) * halfWidth;
}
double Building::extentY() const {
    return std::fabs(sinA) * halfLength + std::fabs(cosA) * halfWidth;
}

double Tree::crownSurface(double x, double y) const {
    const double dx = x - cx, dy = y - cy;
    const double f2 = std::min(1.0, (dx * dx + dy * dy) / (radius * radius));
    if (conifer)
        return topZ - (topZ - crownBaseZ) * std::sqrt(f2);
    const double mid = 0.5 * (topZ + crownBaseZ);
    return mid + (topZ - mid) * std::sqrt(1.0 - f2);
}

SurfaceHit SceneBlock::hitAt(double x, double y) const {
    const double lx = x - double(bx) * SceneModel::BlockSize;
    const double ly = y - double(by) * SceneModel::BlockSize;
    const int cx = std::clamp(int(lx * (1.0 / SceneModel::CellSize)), 0, CellsPerSide - 1);
    const int cy = std::clamp(int(ly * (1.0 / SceneModel::CellSize)), 0, CellsPerSide - 1);
    const int cell = cy * CellsPerSide + cx;
    const uint32_t nb = uint32_t(buildings.size());
    SurfaceHit hit;
    double best = 0.0;
    for (uint32_t k = cellStart[cell]; k < cellStart[cell + 1]; ++k) {
        const uint32_t item = cellItems[k];
        if (item < nb) {
            // Trees keep clear of buildings and buildings of each other: a roof is the only surface here.
            if (buildings[item].contains(x, y))
                return SurfaceHit{SurfaceHit::Roof, item};
            continue;
        }
        const Tree& t = trees[item - nb];
        if (!t.covers(x, y))
            continue;
        const double z = t.crownSurface(x, y);
        if (hit.kind == SurfaceHit::Ground || z > best) {
            hit = SurfaceHit{SurfaceHit::Crown, item - nb};
            best = z;
        }
    }
    return hit;
}

// ---------------------------------------------------------------------------------------------------------

SceneModel::SceneModel(uint64_t seed, double extentX, double extentY)
    : seed_(seed), extentX_(extentX), extentY_(extentY) {
    static_assert(SaltCount <= std::tuple_size_v<decltype(noiseKeys_)>);
    for (uint64_t salt = 0; salt < noiseKeys_.size(); ++salt)
        noiseKeys_[salt] = hashCoords(seed, 0, 0, salt);
    Random rng(hashCoords(seed, 0, 0, SaltScene));
    baseZ_ = rng.uniform(380.0, 580.0);
    double c, s;
    direction(rng.uniform(-1.0, 1.0), c, s);
    const double grade = rng.uniform(0.005, 0.025);
    const double sign = rng.chance(0.5) ? 1.0 : -1.0;
    slopeX_ = sign * grade * c;
    slopeY_ = sign * grade * s;
}

double SceneModel::noise(double x, double y, unsigned salt, NoiseCache* cache) const {
    int64_t ix = int64_t(x), iy = int64_t(y);
    ix -= double(ix) > x; // floor, without a library call
    iy -= double(iy) > y;
    const double sx = smootherstep(x - double(ix)), sy = smootherstep(y - double(iy));
    NoiseCache::Cell local;
    NoiseCache::Cell& c = cache ? cache->cells[salt] : local;
    if (c.ix != ix || c.iy != iy) {
        const uint64_t key = noiseKeys_[salt];
        c.ix = ix, c.iy = iy;
        c.v00 = latticeValue(key, ix, iy);
        c.v10 = latticeValue(key, ix + 1, iy);
        c.v01 = latticeValue(key, ix, iy + 1);
        c.v11 = latticeValue(key, ix + 1, iy + 1);
    }
    const double a = c.v00 + (c.v10 - c.v00) * sx;
    const double b = c.v01 + (c.v11 - c.v01) * sx;
    return a + (b - a) * sy;
}

double SceneModel::groundHeight(double x, double y, NoiseCache* cache) const {
    return baseZ_ + slopeX_ * x + slopeY_ * y +
           14.0 * noise(x * (1.0 / 420.0), y * (1.0 / 420.0), SaltHills, cache) +
           4.5 * noise(x * (1.0 / 130.0), y * (1.0 / 130.0), SaltValleys, cache) +
           0.9 * noise(x * (1.0 / 35.0), y * (1.0 / 35.0), SaltUndulation, cache) +
           0.12 * noise(x * (1.0 / 7.0), y * (1.0 / 7.0), SaltRoughness, cache);
}

double SceneModel::grassCover(double x, double y, NoiseCache* cache) const {
    return std::clamp(0.6 + 1.2 * noise(x * (1.0 / 60.0), y * (1.0 / 60.0), SaltGrass, cache), 0.0, 1.0);
}

int64_t SceneModel::blockIndex(double coordinate) {
    return int64_t(std::floor(coordinate / BlockSize));
}

double SceneModel::settlement(double x, double y) const {
    const double dx = x - 0.5 * extentX_, dy = y - 0.5 * extentY_;
    const double core = 1.0 - std::sqrt(dx * dx + dy * dy) * (1.0 / 110.0);
    const double n = noise(x * (1.0 / 900.0), y * (1.0 / 900.0), SaltSettlement) +
                     0.2 * noise(x * (1.0 / 150.0), y * (1.0 / 150.0), SaltSettlementEdge);
    return std::max(smoothstep(core * 2.0), smoothstep((-0.3 - n) * 5.0));
}

double SceneModel::forestCover(double x, double y) const {
    const double n = noise(x * (1.0 / 600.0), y * (1.0 / 600.0), SaltForest) +
                     0.25 * noise(x * (1.0 / 120.0), y * (1.0 / 120.0), SaltForestEdge);
    return smoothstep((n - 0.1) * 4.0) * (1.0 - settlement(x, y));
}

std::vector<Building> SceneModel::buildingsOf(int64_t bx, int64_t by) const {
    Random rng(hashCoords(seed_, bx, by, SaltBuildings));
    const double streetT = rng.uniform(-1.0, 1.0);
    const double x0 = double(bx) * BlockSize, y0 = double(by) * BlockSize;
    constexpr int Candidates = 8;
    constexpr double Margin = 1.5;

    std::vector<Building> out;
    for (int candidate = 0; candidate < Candidates; ++candidate) {
        // Every candidate draws the same numbers whether it is kept or not, so one rejection does not
        // reshuffle the rest of the block.
        const double keep = rng.uniform();
        const double px = rng.uniform(), py = rng.uniform();
        const double length = rng.uniform(), width = rng.uniform();
        const double pick = rng.uniform(), ownT = rng.uniform(-1.0, 1.0);
        const double flatChance = rng.uniform(), eaveU = rng.uniform(), pitch = rng.uniform(0.45, 1.0);
        const double material = rng.uniform();
        Random look(rng.next());

        // Houses where people settle; now and then a barn out in the open.
        const double mx = x0 + Margin + px * (BlockSize - 2 * Margin),
                     my = y0 + Margin + py * (BlockSize - 2 * Margin);
        const double settled = settlement(mx, my);
        bool barn = false;
        if (keep >= 0.9 * settled) {
            const double open = (1.0 - settled) * (1.0 - forestCover(mx, my));
            if (keep - 0.9 * settled >= 0.015 * open)
                continue;
            barn = true;
        }
        Building b;
        b.halfLength = barn ? 7.0 + 5.0 * length : 4.5 + 3.0 * length;
        b.halfWidth = barn ? 5.0 + 3.0 * width : 3.5 + (std::min(5.5, b.halfLength) - 3.5) * width;
        // Houses mostly follow the street, some stand across it, a few at their own angle.
        direction(pick < 0.9 ? streetT : ownT, b.cosA, b.sinA);
        if (pick >= 0.65 && pick < 0.9) {
            const double c = b.cosA;
            b.cosA = -b.sinA;
            b.sinA = c;
        }
        const double ex = b.extentX(), ey = b.extentY();
        b.cx = x0 + ex + Margin + px * (BlockSize - 2 * (ex + Margin));
        b.cy = y0 + ey + Margin + py * (BlockSize - 2 * (ey + Margin));
        const double r = b.boundingRadius();
        bool clear = true;
        for (const Building& o : out) {
            const double dx = o.cx - b.cx, dy = o.cy - b.cy, gap = r + o.boundingRadius() + 1.5;
            if (dx * dx + dy * dy < gap * gap)
                clear = false;
        }
        if (!clear)
            continue;
        // The floor sits at the highest ground under the footprint, so the roof clears the terrain
        // everywhere.
        b.baseZ = groundHeight(b.cx, b.cy);
        for (int i = -1; i <= 1; ++i)
            for (int j = -1; j <= 1; ++j) {
                const double u = i * b.halfLength, v = j * b.halfWidth;
                b.baseZ = std::max(
                    b.baseZ, groundHeight(b.cx + u * b.cosA - v * b.sinA, b.cy + u * b.sinA + v * b.cosA));
            }
        const bool flat = flatChance < (barn ? 0.4 : 0.3);
        b.shape = flat ? RoofShape::Flat : RoofShape::Gable;
        b.eaveZ = b.baseZ + (flat ? 3.0 + (barn ? 5.0 : 7.0) * eaveU : 2.8 + 3.7 * eaveU);
        b.ridgeZ = flat ? b.eaveZ : b.eaveZ + b.halfWidth * pitch;
        RoofMaterial m;
        if (flat)
            m = material < 0.4    ? RoofMaterial::Gravel
                : material < 0.7  ? RoofMaterial::Concrete
                : material < 0.85 ? RoofMaterial::Anthracite
                                  : RoofMaterial::Metal;
        else
            m = material < 0.55   ? RoofMaterial::RedTile
                : material < 0.85 ? RoofMaterial::Anthracite
                                  : RoofMaterial::Concrete;
        setMaterial(b, m, look);
        out.push_back(b);
    }
    return out;
}

std::vector<Tree> SceneModel::treesOf(int64_t bx, int64_t by) const {
    std::vector<Building> near;
    for (int64_t j = by - 1; j <= by + 1; ++j)
        for (int64_t i = bx - 1; i <= bx + 1; ++i) {
            auto b = buildingsOf(i, j);
            near.insert(near.end(), b.begin(), b.end());
        }
    return treesOf(bx, by, near);
}

std::vector<Tree> SceneModel::treesOf(int64_t bx, int64_t by,
                                      const std::vector<Building>& nearBuildings) const {
    Random rng(hashCoords(seed_, bx, by, SaltTrees));
    const double x0 = double(bx) * BlockSize, y0 = double(by) * BlockSize;
    constexpr int Candidates = 180;

    std::vector<Tree> out;
    for (int candidate = 0; candidate < Candidates; ++candidate) {
        const double keep = rng.uniform();
        const double px = rng.uniform(), py = rng.uniform();
        const double kind = rng.uniform(), size = rng.uniform(), tall = rng.uniform(), crown = rng.uniform();
        Random look(rng.next());

        Tree t;
        t.cx = x0 + px * BlockSize;
        t.cy = y0 + py * BlockSize;
        // Dense stands in the forest, a few trees in gardens, now and then one alone in a field.
        const double forest = forestCover(t.cx, t.cy);
        const double settled = settlement(t.cx, t.cy);
        const double garden = 0.04 * settled;
        const double solitary = 0.008 * (1.0 - forest) * (1.0 - settled);
        if (keep >= forest + garden + solitary)
            continue;
        double coniferShare, rMin, rMax, hMin, hMax, spacing;
        if (keep < forest)
            coniferShare = 0.6, rMin = 1.6, rMax = 4.5, hMin = 14.0, hMax = 30.0, spacing = 0.55;
        else if (keep < forest + garden)
            coniferShare = 0.25, rMin = 1.8, rMax = 4.5, hMin = 6.0, hMax = 16.0, spacing = 0.9;
        else
            coniferShare = 0.15, rMin = 2.5, rMax = MaxTreeRadius, hMin = 8.0, hMax = 22.0, spacing = 0.9;
        t.conifer = kind < coniferShare;
        t.radius = rMin + size * ((t.conifer ? 0.5 * (rMin + rMax) : rMax) - rMin);
        const double height = hMin + tall * (hMax - hMin);
        const double depth = height * (t.conifer ? 0.55 + 0.25 * crown : 0.45 + 0.2 * crown);
        bool clear = true;
        for (const Building& b : nearBuildings) {
            const double dx = b.cx - t.cx, dy = b.cy - t.cy, gap = t.radius + b.boundingRadius() + 0.5;
            if (dx * dx + dy * dy < gap * gap) {
                clear = false;
                break;
            }
        }
        for (size_t k = 0; clear && k < out.size(); ++k) {
            const double dx = out[k].cx - t.cx, dy = out[k].cy - t.cy,
                         gap = spacing * (t.radius + out[k].radius);
            if (dx * dx + dy * dy < gap * gap)
                clear = false;
        }
        if (!clear)
            continue;
        t.reflectance = look.uniform(0.40, 0.50);
        t.colour = t.conifer ? jitterColour(look, 46, 80, 42, 9) : jitterColour(look, 78, 118, 46, 14);
        t.groundZ = groundHeight(t.cx, t.cy);
        t.topZ = t.groundZ + height;
        t.crownBaseZ = std::max(t.topZ - depth, t.groundZ + 2.0);
        out.push_back(t);
    }
    return out;
}

SceneBlock SceneModel::makeBlock(int64_t bx, int64_t by) const {
    SceneBlock blk;
    blk.bx = bx;
    blk.by = by;

    // Trees of the neighbouring blocks can reach in; placing them needs the buildings around those blocks.
    std::vector<Building> ring[5][5];
    for (int j = 0; j < 5; ++j)
        for (int i = 0; i < 5; ++i)
            ring[j][i] = buildingsOf(bx + i - 2, by + j - 2);
    blk.buildings = ring[2][2];

    const double x0 = double(bx) * BlockSize, y0 = double(by) * BlockSize;
    const double x1 = x0 + BlockSize, y1 = y0 + BlockSize;
    std::vector<Building> near;
    for (int j = 1; j <= 3; ++j)
        for (int i = 1; i <= 3; ++i) {
            near.clear();
            for (int jj = j - 1; jj <= j + 1; ++jj)
                for (int ii = i - 1; ii <= i + 1; ++ii)
                    near.insert(near.end(), ring[jj][ii].begin(), ring[jj][ii].end());
            for (const Tree& t : treesOf(bx + i - 2, by + j - 2, near))
                if (overlapsRect(t.cx, t.cy, t.radius, t.radius, x0, y0, x1, y1))
                    blk.trees.push_back(t);
        }

    // Counting pass, then filling pass, over the cells each object's box touches.
    const uint32_t nb = uint32_t(blk.buildings.size());
    const uint32_t items = nb + uint32_t(blk.trees.size());
    auto cellRange = [&](uint32_t item, int& cx0, int& cy0, int& cx1, int& cy1) {
        double cx, cy, ex, ey;
        if (item < nb) {
            const Building& b = blk.buildings[item];
            cx = b.cx, cy = b.cy, ex = b.extentX(), ey = b.extentY();
        } else {
            const Tree& t = blk.trees[item - nb];
            cx = t.cx, cy = t.cy, ex = ey = t.radius;
        }
        auto cellOf = [](double v) {
            return std::clamp(int(std::floor(v / CellSize)), 0, SceneBlock::CellsPerSide - 1);
        };
        cx0 = cellOf(cx - ex - x0), cx1 = cellOf(cx + ex - x0);
        cy0 = cellOf(cy - ey - y0), cy1 = cellOf(cy + ey - y0);
    };
    std::array<uint32_t, SceneBlock::Cells + 1> counts{};
    for (uint32_t item = 0; item < items; ++item) {
        int cx0, cy0, cx1, cy1;
        cellRange(item, cx0, cy0, cx1, cy1);
        for (int cy = cy0; cy <= cy1; ++cy)
            for (int cx = cx0; cx <= cx1; ++cx)
                ++counts[cy * SceneBlock::CellsPerSide + cx + 1];
    }
    for (int c = 0; c < SceneBlock::Cells; ++c)
        counts[c + 1] += counts[c];
    blk.cellStart = counts;
    blk.cellItems.resize(counts[SceneBlock::Cells]);
    for (uint32_t item = 0; item < items; ++item) {
        int cx0, cy0, cx1, cy1;
        cellRange(item, cx0, cy0, cx1, cy1);
        for (int cy = cy0; cy <= cy1; ++cy)
            for (int cx = cx0; cx <= cx1; ++cx)
                blk.cellItems[counts[cy * SceneBlock::CellsPerSide + cx]++] = item;
    }
    return blk;
}

void SceneModel::objectsIn(double x0, double y0, double x1, double y1, std::vector<Building>& buildings,
                           std::vector<Tree>& trees) const {
    buildings.clear();
    trees.clear();
    const int64_t bx0 = blockIndex(x0 - MaxTreeRadius), bx1 = blockIndex(x1 + MaxTreeRadius);
    const int64_t by0 = blockIndex(y0 - MaxTreeRadius), by1 = blockIndex(y1 + MaxTreeRadius);
    for (int64_t by = by0; by <= by1; ++by)
        for (int64_t bx = bx0; bx <= bx1; ++bx) {
            for (const Building& b : buildingsOf(bx, by))
                if (overlapsRect(b.cx, b.cy, b.extentX(), b.extentY(), x0, y0, x1, y1))
                    buildings.push_back(b);
            for (const Tree& t : treesOf(bx, by))
                if (overlapsRect(t.cx, t.cy, t.radius, t.radius, x0, y0, x1, y1))
                    trees.push_back(t);
        }
}

} // namespace synth
