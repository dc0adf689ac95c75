#include "LODRequest.h"

#include "LODGrid.h"
#include "SplatTile.h"

void LODRequest::pushSplat(const Splat& s) {
    // Which tiles are covered, as a table by tile number: one look-up per splat instead of a set search.
    if (covered_.size() != splatTiles->size()) {
        covered_.assign(splatTiles->size(), 0);
        for (uint32_t t : tiles)
            if (t < covered_.size())
                covered_[t] = 1;
    }
    const int tile = grid->getSplatTile(s.x, s.y);
    lastFiled_ = tile >= 0 && size_t(tile) < covered_.size() && covered_[size_t(tile)];
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
