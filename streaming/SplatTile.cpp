#include "SplatTile.h"

#include "RenderTile.h"
#include "Simplification.h"
#include "Triangulation.h"

#include <algorithm>
#include <cmath>
#include <iostream>

SplatTile::SplatTile(const SplatTile& o)
    : CMutexClass(o), isEmpty(o.isEmpty.load()), splats(o.splats), colors(o.colors), attributes(o.attributes),
      levelStarts(o.levelStarts), highestLevel(o.highestLevel.load()), minZ(o.minZ.load()),
      maxZ(o.maxZ.load()), uploadPending(o.uploadPending.load()), uploadLevel(o.uploadLevel),
      receiving(o.receiving.load()), renderTile(o.renderTile) {
    std::copy(o.coordinateScale, o.coordinateScale + 3, coordinateScale);
    std::lock_guard lock(o.publishedLock_);
    completeEnds_ = o.completeEnds_;
}

namespace {
// Room for the level about to stream in, reserved at once rather than doubled up to: every doubling
// copies the tile and writes fresh memory. Room that stays unused is not touched, so large arrays (which
// have address space of their own) pay for it in address space only.
template <class Array> void reserveForLevel(Array& a) {
    if (!a.empty() && a.capacity() < 5 * a.size())
        a.reserve(5 * a.size());
}
} // namespace

void SplatTile::addLOD() {
    reserveForLevel(splats);
    reserveForLevel(colors);
    reserveForLevel(attributes);
    levelStarts.push_back(int(splats.size()));
    receiving = true;
}

void SplatTile::normalizeSplats(int first, LODGrid*, short) {
    double lo = minZ, hi = maxZ;
    for (size_t i = size_t(std::max(first, 0)); i < splats.size(); ++i) {
        Splat& s = splats[i];
        lo = std::min(lo, double(s.z));
        hi = std::max(hi, double(s.z));
        const float squared = s.nx * s.nx + s.ny * s.ny + s.nz * s.nz;
        // Unit length to float precision already (as the server sends them): leaving the splat untouched
        // spares writing every splat back.
        if (std::fabs(squared - 1.0f) <= 1e-6f)
            continue;
        const double length = std::sqrt(double(squared));
        if (!(length > 0) || !std::isfinite(length)) {
            // No direction to keep: face up, as the server orients its normals.
            s.nx = s.ny = 0;
            s.nz = 1;
            continue;
        }
        const double inverse = 1.0 / length;
        s.nx = float(s.nx * inverse);
        s.ny = float(s.ny * inverse);
        s.nz = float(s.nz * inverse);
    }
    minZ = lo;
    maxZ = hi;
}

void SplatTile::rollback(const Mark& m) {
    if (splats.size() > m.splats)
        splats.resize(m.splats);
    if (colors.size() > m.colors)
        colors.resize(m.colors);
    if (attributes.size() > m.attributes)
        attributes.resize(m.attributes);
    if (levelStarts.size() > m.levels)
        levelStarts.resize(m.levels);
    receiving = m.receiving;
}

void SplatTile::publish() {
    std::vector<int> ends(levelStarts.size());
    for (size_t l = 0; l < levelStarts.size(); ++l)
        ends[l] = l + 1 < levelStarts.size() ? levelStarts[l + 1] : int(splats.size());
    std::lock_guard lock(publishedLock_);
    completeEnds_.swap(ends);
}

int SplatTile::completeLevels() const {
    std::lock_guard lock(publishedLock_);
    return int(completeEnds_.size());
}

int SplatTile::completeFullLODsize(short level) const {
    std::lock_guard lock(publishedLock_);
    if (completeEnds_.empty() || level < 0)
        return 0;
    return completeEnds_[std::min(size_t(level), completeEnds_.size() - 1)];
}

int SplatTile::completeLODsize(short level) const {
    std::lock_guard lock(publishedLock_);
    if (level < 0 || size_t(level) >= completeEnds_.size())
        return -1;
    return completeEnds_[size_t(level)] - (level > 0 ? completeEnds_[size_t(level) - 1] : 0);
}

void SplatTile::update(RenderTile* rt, short level) {
    publish();
    uploadPending = true;
    uploadLevel = level;
    receiving = false;
    renderTile = rt;
    if (rt) {
        Held held(*rt);
        if (rt->state == RenderTile::Requested && rt->requestedLOD == level)
            rt->state = RenderTile::Filled;
    }
    if (!splats.empty())
        isEmpty = false;
}

void SplatTile::finishUpdate() {
    uploadPending = false;
    receiving = false;
    highestLevel = short(levelStarts.size() - 1);
    if (!renderTile)
        return;
    const short wanted = renderTile->getLOD();
    if (wanted == highestLevel)
        renderTile->state = RenderTile::Uploaded;
    else if (wanted < highestLevel)
        renderTile->state = RenderTile::Settled;
}

Splat* SplatTile::getSplats(long) {
    return splats.empty() ? nullptr : splats.data();
}

Color* SplatTile::getColors(long) {
    return colors.empty() ? nullptr : colors.data();
}

PointAttributes* SplatTile::getAttributes(long) {
    return attributes.empty() ? nullptr : attributes.data();
}

bool SplatTile::badLevel(short level) const {
    if (level >= 0)
        return false;
    std::cout << "Error, request for size of LOD level " << level << std::endl;
    return true;
}

int SplatTile::getFullLODsize(short level) const {
    if (levelStarts.empty())
        return int(splats.size());
    if (badLevel(level))
        return -1;
    if (size_t(level) + 1 < levelStarts.size())
        return levelStarts[size_t(level) + 1];
    return int(splats.size());
}

int SplatTile::getLODsize(short level) const {
    if (badLevel(level) || size_t(level) >= levelStarts.size())
        return -1;
    const int end =
        size_t(level) + 1 < levelStarts.size() ? levelStarts[size_t(level) + 1] : int(splats.size());
    return end - levelStarts[size_t(level)];
}

Splat* SplatTile::getLODSplats(short level, long) {
    if (badLevel(level) || size_t(level) >= levelStarts.size())
        return nullptr;
    return &splats.at(size_t(levelStarts[size_t(level)]));
}

std::vector<MeshPoint> SplatTile::meshPoints() const {
    return meshPointsFromRaw(splats.data(), splats.size(), coordinateScale);
}

int SplatTile::triangulate(std::vector<unsigned>& indices, float threshold) {
    triangulatePoints(meshPoints(), indices);
    return simplify(indices, threshold);
}

int SplatTile::simplify(std::vector<unsigned>& indices, float threshold, bool) {
    simplifyTriangulation(meshPoints(), indices, threshold, SimplifyVariant::Tile);
    return 0;
}

int SplatTile::simplifyWeightedRandom(std::vector<unsigned>& indices, float threshold, bool) {
    simplifyTriangulation(meshPoints(), indices, threshold, SimplifyVariant::TileWeightedRandom);
    return 0;
}

void SplatTile::simplify2(std::vector<unsigned>& indices, float threshold, bool) {
    simplifyBySampling(meshPoints(), indices, threshold);
}

int SplatTile::simplificationIteration(std::vector<unsigned>& indices,
                                       std::vector<TriangulationVertex*>& vertices, float threshold,
                                       bool useAllSplats) {
    const std::vector<Color> plainColors(colors.begin(), colors.end());
    return ::simplificationIteration(meshPoints(), plainColors, indices, vertices, threshold, useAllSplats);
}
