#include "SplatTile.h"

#include "RenderTile.h"

#include <cmath>
#include <iostream>

SplatTile::SplatTile(const SplatTile& o)
    : CMutexClass(o), isEmpty(o.isEmpty.load()), splats(o.splats), colors(o.colors), levelStarts(o.levelStarts),
      highestLevel(o.highestLevel.load()), minZ(o.minZ), maxZ(o.maxZ), uploadPending(o.uploadPending.load()),
      uploadLevel(o.uploadLevel), receiving(o.receiving.load()), renderTile(o.renderTile) {}

void SplatTile::addLOD() {
    levelStarts.push_back(int(splats.size()));
    receiving = true;
}

void SplatTile::normalizeSplats(int first, LODGrid*, short) {
    for (size_t i = size_t(std::max(first, 0)); i < splats.size(); ++i) {
        Splat& s = splats[i];
        minZ = std::min(minZ, double(s.z));
        maxZ = std::max(maxZ, double(s.z));
        const float squared = s.nx * s.nx + s.ny * s.ny + s.nz * s.nz;
        const double length = std::sqrt(double(squared));
        s.nx = float(s.nx / length);
        s.ny = float(s.ny / length);
        s.nz = float(s.nz / length);
    }
}

void SplatTile::update(RenderTile* rt, short level) {
    uploadPending = true;
    uploadLevel = level;
    receiving = false;
    renderTile = rt;
    if (rt) {
        rt->Lock();
        if (rt->state == RenderTile::Requested && rt->requestedLOD == level)
            rt->state = RenderTile::Filled;
        rt->Unlock();
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
    const int end = size_t(level) + 1 < levelStarts.size() ? levelStarts[size_t(level) + 1] : int(splats.size());
    return end - levelStarts[size_t(level)];
}

Splat* SplatTile::getLODSplats(short level, long) {
    if (badLevel(level) || size_t(level) >= levelStarts.size())
        return nullptr;
    return &splats.at(size_t(levelStarts[size_t(level)]));
}
