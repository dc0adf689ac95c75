#pragma once
// The grid of square tiles over a data set's ground plane, each holding about 100,000 points on average:
// the unit of caching, requesting and drawing. It also defines the viewer's normalised model space
// (centred at the origin, heights scaled to unit range). Raw units are the LAS integer coordinates.
#include <array>
#include <cmath>
#include <cstdint>
#include <iostream>

class LASHeader;

class LODGrid {
public:
    // Builds the grid from the header and prints its bounds and tile layout on `log` (standard output;
    // null prints nothing). A grid always has at least one tile, and its tiles cover the widened raw bounds
    // whole (the last column and row reach to the widened maximum).
    explicit LODGrid(const LASHeader* header, std::ostream* log = &std::cout);

    uint32_t getNumberOfTiles() const { return numberOfTiles; }
    uint32_t getTilesX() const { return tilesX; }
    uint32_t getTilesY() const { return tilesY; }
    int getTileNum(int x, int y) const { return x * int(tilesY) + y; }
    int getTileXCoordinate(int n) const { return n / int(tilesY); }
    int getTileYCoordinate(int n) const { return n % int(tilesY); }

    // minX, maxX, minY, maxY of a tile in raw units, or normalised when `normalised` is true.
    std::array<double, 4> getTileBounds(int x, int y, bool normalised) const;
    std::array<double, 4> getTileBounds(int n, bool normalised) const;
    // The same rectangle in world coordinates (raw × scale + offset): the rectangle to ask the point server
    // for, so that every point it returns files into this very tile.
    std::array<double, 4> getTileGlobalBounds(int x, int y) const;
    // The tile holding a point of raw coordinates X, Y, or -1 when the point lies outside the grid (a
    // header whose extent does not hold its points).
    int getSplatTile(int X, int Y) const {
        double column = std::floor((X - rawBounds[0]) / tileWidth);
        double row = std::floor((Y - rawBounds[2]) / tileHeight);
        if (column >= tilesX && X < lastEdgeX)
            column = tilesX - 1;
        if (row >= tilesY && Y < lastEdgeY)
            row = tilesY - 1;
        if (!(column >= 0 && column < tilesX && row >= 0 && row < tilesY))
            return -1;
        return int(column) * int(tilesY) + int(row);
    }
    double getTileSize() const { return tileWidth * tileHeight; }

    uint32_t numberOfPoints = 0;
    uint32_t numberOfTiles = 0;
    uint32_t tilesX = 0, tilesY = 0;
    double rawBounds[6] = {};   // minX maxX minY maxY minZ maxZ, widened by one raw unit
    double worldBounds[6] = {}; // the header's extent as stored
    double scale[3] = {1, 1, 1};
    double offset[3] = {};
    double tileHeight = 1, tileWidth = 1; // raw units; tiles are square
    double lastEdgeX = 1, lastEdgeY = 1;  // upper edges of the last column and row: the widened maximum
    // Model units per raw unit on each axis: the axis' scale factor times one normalisation common to all
    // three, so that the model keeps the data's proportions. A model coordinate is (raw + centreOffset) ×
    // modelScale on its axis.
    double modelScale[3] = {1, 1, 1};
    double normalisingScale = 1; // modelScale[2]: 1 / (raw maxZ - raw minZ) unless the footprint is held
    double centreOffset[3] = {}; // -(raw min + raw max) / 2 per axis
    // Bounds of the footprint's longer side in model units (see the constructor).
    static constexpr double kMinFootprint = 4, kMaxFootprint = 100;
};

// Morton (Z-order) index of cell (x, y) of an n × n grid, n a power of two: the bits of x in the odd
// positions, those of y in the even ones.
uint32_t gridToMorton(uint32_t n, uint32_t x, uint32_t y);
void mortonToGrid(uint32_t n, uint32_t index, uint32_t& x, uint32_t& y);
// Round trips every cell of grids of 1 to 32 cells a side, printing any that does not come back; true
// when all do.
bool mortonUnitTest();
