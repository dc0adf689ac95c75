#pragma once
// A request for one level of detail of a rectangle of grid tiles: created by the render selection
// thread, served by the splat cache thread, and the place where received splats are filed into tiles.
#include "GeometryTypes.h"

#include <cstdint>
#include <set>
#include <vector>

class LODGrid;
class RenderTile;
class SplatTile;

struct LODRequest {
    std::set<uint32_t> tiles; // numbers of the tiles covered; fixed once splats are filed
    short level = 0;
    float priority = 0;                                              // smaller is more urgent
    uint32_t minTileX = 0, maxTileX = 0, minTileY = 0, maxTileY = 0; // inclusive
    LODGrid* grid = nullptr;
    std::vector<SplatTile>* splatTiles = nullptr;
    std::vector<RenderTile>* renderTiles = nullptr;
    uint32_t currentTile = 0; // tile of the last splat filed
    uint32_t numSplats = 0;   // splats filed for this request
    // Splats not filed: outside the grid, or in a tile this request does not cover (which the cache
    // thread does not hold locked while the reply streams in).
    uint32_t droppedSplats = 0;

    // Files the splat into its tile, when that tile is one of this request's.
    void pushSplat(const Splat& s);
    // Files the colour of the splat just pushed, into the same tile (nothing if that splat was dropped).
    void pushColor(const Color& c);
    // Files n splats, with their colours and attribute records where those are not null, as pushSplat
    // and pushColor would one after the other.
    void pushSplats(const Splat* splats, const Color* colors, const PointAttributes* attributes, size_t n);

private:
    void coverTiles();
    bool lastFiled_ = false;
    std::vector<uint8_t> covered_; // by tile number, built from `tiles` at the first splat
};
