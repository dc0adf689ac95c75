#pragma once
// The synthetic landscape: a terrain height field and the buildings and trees standing on it. Everything is
// a pure function of the seed and the position, so any part of the scene can be produced on demand, in any
// order, with the same result. Coordinates are scene metres; heights are absolute.
#include <array>
#include <cstdint>
#include <tuple>
#include <vector>

namespace synth {

enum class RoofShape : uint8_t { Flat, Gable };
enum class RoofMaterial : uint8_t { RedTile, Anthracite, Concrete, Gravel, Metal };

struct Colour {
    uint8_t red = 0, green = 0, blue = 0;
};

struct Building {
    double cx = 0, cy = 0;                // footprint centre
    double halfLength = 0, halfWidth = 0; // along the ridge (local u) and across it (local v)
    double cosA = 1, sinA = 0;            // direction of local u
    double baseZ = 0;                     // floor level: the highest ground under the footprint
    double eaveZ = 0;                     // flat roof level, or the eaves of a gable roof
    double ridgeZ = 0;                    // the ridge; equals eaveZ for a flat roof
    RoofShape shape = RoofShape::Flat;
    RoofMaterial material = RoofMaterial::Concrete;
    double reflectance = 0.3;
    Colour colour;

    static constexpr double ParapetWidth = 0.35;
    static constexpr double ParapetHeight = 0.5;

    bool contains(double x, double y) const;
    // Height of the roof surface above (x, y); meaningful where contains(x, y).
    double roofHeight(double x, double y) const;
    double boundingRadius() const;
    // Half extents of the axis-aligned box around the rotated footprint.
    double extentX() const;
    double extentY() const;
};

struct Tree {
    double cx = 0, cy = 0;
    double radius = 0; // of the crown
    double groundZ = 0;
    double crownBaseZ = 0;
    double topZ = 0;
    bool conifer = false; // conical crown; otherwise a rounded dome
    double reflectance = 0.45;
    Colour colour;

    bool covers(double x, double y) const {
        const double dx = x - cx, dy = y - cy;
        return dx * dx + dy * dy < radius * radius;
    }
    // Height of the crown's outer surface above (x, y); meaningful where covers(x, y).
    double crownSurface(double x, double y) const;
};

// What a vertical ray at (x, y) meets first.
struct SurfaceHit {
    enum Kind : uint8_t { Ground, Roof, Crown } kind = Ground;
    uint32_t index = 0; // into SceneBlock::buildings or SceneBlock::trees
};

// One square block of the scene with a lookup grid over the objects that reach into it.
struct SceneBlock {
    static constexpr int CellsPerSide = 8;
    static constexpr int Cells = CellsPerSide * CellsPerSide;

    int64_t bx = 0, by = 0;
    std::vector<Building> buildings; // those of this block; they lie inside it
    std::vector<Tree> trees;         // those of this block and of its neighbours whose crowns reach into it
    std::array<uint32_t, Cells + 1> cellStart{};
    std::vector<uint32_t> cellItems; // building indices, and tree indices offset by buildings.size()

    SurfaceHit hitAt(double x, double y) const;
};

// Lattice values of the noise cell each field last used: neighbouring look-ups, as along a scan line, skip
// the hashing. Results are identical with and without a cache.
struct NoiseCache {
    struct Cell {
        int64_t ix = INT64_MIN, iy = INT64_MIN;
        double v00 = 0, v10 = 0, v01 = 0, v11 = 0;
    };
    std::array<Cell, 16> cells;
};

class SceneModel {
public:
    static constexpr double BlockSize = 64.0;
    static constexpr double CellSize = BlockSize / SceneBlock::CellsPerSide;
    static constexpr double MaxTreeRadius = 6.5;

    // A village core lies at the centre of the extent, so every scene of more than a few blocks holds
    // buildings, gardens and open ground; further villages and forests follow smooth random fields.
    SceneModel(uint64_t seed, double extentX, double extentY);

    uint64_t seed() const { return seed_; }
    double extentX() const { return extentX_; }
    double extentY() const { return extentY_; }

    double groundHeight(double x, double y, NoiseCache* cache = nullptr) const;
    // 0 for bare soil, 1 for full grass cover; varies smoothly.
    double grassCover(double x, double y, NoiseCache* cache = nullptr) const;

    // Land cover from 0 to 1. Settlement is where houses and gardens stand; forest keeps out of it.
    double settlement(double x, double y) const;
    double forestCover(double x, double y) const;

    static int64_t blockIndex(double coordinate);
    std::vector<Building> buildingsOf(int64_t bx, int64_t by) const;
    std::vector<Tree> treesOf(int64_t bx, int64_t by) const;
    SceneBlock makeBlock(int64_t bx, int64_t by) const;

    // Every building and tree whose footprint may overlap the rectangle.
    void objectsIn(double x0, double y0, double x1, double y1, std::vector<Building>& buildings,
                   std::vector<Tree>& trees) const;

private:
    double noise(double x, double y, unsigned salt, NoiseCache* cache = nullptr) const;
    std::vector<Tree> treesOf(int64_t bx, int64_t by, const std::vector<Building>& nearBuildings) const;

    uint64_t seed_;
    double extentX_, extentY_;
    double baseZ_, slopeX_, slopeY_;
    std::array<uint64_t, std::tuple_size_v<decltype(NoiseCache::cells)>> noiseKeys_{};
};

} // namespace synth
