#include "LODRequest.h"

#include "LODGrid.h"
#include "SplatTile.h"

void LODRequest::pushSplat(const Splat& s) {
    const int tile = grid->getSplatTile(s.x, s.y);
    lastFiled_ = tile >= 0 && size_t(tile) < splatTiles->size() && tiles.count(uint32_t(tile)) != 0;
    if (!lastFiled_) {
        ++droppedSplats;
        return;
    }
    currentTile = uint32_t(tile);
    (*splatTiles)[size_t(tile)].addSplat(s);
    ++numSplats;
}

void LODRequest::pushColor(const Color& c) {
    if (lastFiled_)
        (*splatTiles)[currentTile].addColor(c);
}
