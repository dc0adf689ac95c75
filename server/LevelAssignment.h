#pragma once
// Level-of-detail assignment for the point server's import: every point goes to exactly one level, each
// level is a spatially uniform sample, and each level holds about four times the points of the one before.
#include <cstddef>
#include <cstdint>
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
