#include "LODRequest.h"

#include "LODGrid.h"
#include "SplatTile.h"

// Which tiles are covered, as a table by tile number: one look-up per splat instead of a set search.
void LODRequest::coverTiles() {
    if (covered_.size() != splatTiles->size()) {
        covered_.assign(splatTiles->size(), 0);
        for (uint32_t t : tiles)
            if (t < covered_.size())
                covered_[t] = 1;
    }
}

void LODRequest::pushSplats(const Splat* s, const Color* colors, const PointAttributes* attributes,
                            size_t n) {
    coverTiles();
    const size_t tileCount = covered_.size();
    uint32_t filed = 0;
    for (size_t i = 0; i < n; ++i) {
        const int tile = grid->getSplatTile(s[i].x, s[i].y);
        lastFiled_ = tile >= 0 && size_t(tile) < tileCount && covered_[size_t(tile)];
        if (!lastFiled_)
            continue;
        currentTile = uint32_t(tile);
        SplatTile& t = (*splatTiles)[size_t(tile)];
        t.addSplat(s[i]);
        if (colors)
            t.addColor(colors[i]);
        if (attributes)
            t.addAttributes(attributes[i]);
        ++filed;
    }
    numSplats += filed;
    droppedSplats += uint32_t(n) - filed;
}

void LODRequest::pushSplat(const Splat& s) {
    pushSplats(&s, nullptr, nullptr, 1);
}

void LODRequest::pushColor(const Color& c) {
    if (lastFiled_)
        (*splatTiles)[currentTile].addColor(c);
}
