#pragma once
// Level-of-detail assignment for the point server's import: every point goes to exactly one level, each
// level is a spatially uniform sample, and each level holds about four times the points of the one before.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct LevelAssignment {
    int levels = 0;               // number of levels L (>= 1 when n >= 1)
    std::vector<uint8_t> levelOf; // level of each input point
    std::vector<uint64_t> counts; // points per level
    double cellSize0 = 0;         // level-0 cell size in the coordinates' units
};

// xy: n points as x, y doubles (real coordinates). Throws std::invalid_argument for non-finite input.
// Level 0 holds about 300 points per 100,000 points of the data's density; level l (but the last) keeps one
// point per occupied cell of size cellSize0 / 2^l, chosen by a pseudo-random priority derived from the
// coordinates and `seed`; the last level takes the rest. The result depends only on the input and `seed`.
LevelAssignment assignLevels(const double* xy, size_t n, uint64_t seed = 0);

// The same assignment for data that does not fit in memory, one part at a time; the parts give exactly what
// assignLevels gives for all points at once.
//
// The cells of level l nest in those of level 0, and the point a cell keeps depends only on the points of
// that cell. So each point has an "unbounded" level (thinning level after level until cells no longer fit
// the grid or level kMaxLevelCount - 1, which takes the rest) that depends only on the points of its level-0
// cell, and its level is min(unbounded level, last level), the last level coming from the stopping rules
// replayed on the per-level totals of the unbounded levels. The import therefore:
//   1. calibrates the level-0 cell with LevelCalibration, feeding all points once per round;
//   2. for each part, gathers the points of every level-0 row (LevelGrid::rowOf) its own points touch and
//      calls thinUnbounded on them, marking its own points so that each point is counted once;
//   3. sums the counts, calls cutLevels, and gives each point min(unbounded level, counts.size() - 1).

constexpr int kMaxLevelCount = 16;
using LevelCounts = std::array<uint64_t, kMaxLevelCount>; // points per level

// The square grid the cells of every level lie on, and the level-0 cell size.
struct LevelGrid {
    double minX = 0, minY = 0; // the smallest x and y of all points: the grid's origin
    double extent = 0;         // the larger side of all points' bounding box
    double cell0 = 0;          // level-0 cell size (LevelAssignment::cellSize0)
    uint64_t n = 0;            // points in the whole data set

    // The level-0 row of a y in [minY, minY + extent]; rows grow with y.
    uint64_t rowOf(double y) const { return uint64_t((y - minY) * (1 / cell0)); }
};

// Calibration of the level-0 cell: rounds of counting the occupied cells of a candidate size over all points,
// each round fed in batches. Every point of a batch must have a y at least that of every point of the
// batches before it in the round (strips in y; within a batch any order). Memory: at most about 24 bytes per
// point of the largest batch plus the cells of one row (never more than 256 x the level-0 target). Typically
// one round; up to 8 for clustered or lower-dimensional data.
//
//     LevelCalibration cal(minX, maxX, minY, maxY, n);
//     while (!cal.done()) { cal.beginRound(); for (each strip) cal.add(xy, m); cal.endRound(); }
//     const LevelGrid grid = cal.grid();
class LevelCalibration {
public:
    // The smallest and largest x and y of all n points, exactly (of the doubles later given to add). Throws
    // std::invalid_argument for non-finite or inverted bounds or a range too large. With n <= 300 or all
    // points on one spot no round is needed.
    LevelCalibration(double minX, double maxX, double minY, double maxY, uint64_t n);
    ~LevelCalibration();
    LevelCalibration(LevelCalibration&&) noexcept;
    LevelCalibration& operator=(LevelCalibration&&) noexcept;

    bool done() const { return done_; }
    void beginRound();
    // m points as x, y doubles. Throws std::invalid_argument for points outside the bounds, non-finite ones
    // or a batch below a y already seen in the round.
    void add(const double* xy, size_t m);
    void endRound();
    int rounds() const { return rounds_; } // rounds counted so far (at most 8)
    // The calibrated grid; throws std::logic_error before done().
    LevelGrid grid() const;

private:
    friend LevelAssignment assignLevels(const double* xy, size_t n, uint64_t seed);
    struct Counting;
    void decide(uint64_t count); // ends a round that found `count` cells
    LevelGrid grid_;
    double target_ = 0; // level-0 cells wanted
    int rounds_ = 0;
    bool done_ = true;
    std::unique_ptr<Counting> counting_;
};

// The unbounded levels of m points holding whole level-0 rows (or at least whole level-0 cells) of the data
// set: `index` gives each point's position in the whole input (it orders points at identical positions;
// nullptr: 0..m-1), `own` marks with non-zero the points whose levels this call counts (nullptr: all). Writes
// levelOf[0..m) and adds the marked points per unbounded level to `counts`. Threads for large m. Throws
// std::invalid_argument for points outside the grid or m above 2^32 - 1.
void thinUnbounded(const LevelGrid& grid, const double* xy, const uint32_t* index, size_t m, uint64_t seed,
                   const uint8_t* own, uint8_t* levelOf, LevelCounts& counts);

// The points per level from the totals of the unbounded levels over all grid.n points: the number of levels
// is the result's size and a point's level is min(unbounded level, size - 1). Throws std::invalid_argument
// when the totals do not add up to grid.n.
std::vector<uint64_t> cutLevels(const LevelGrid& grid, const LevelCounts& unbounded);
