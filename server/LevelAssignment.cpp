#include "LevelAssignment.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr double kOverviewPerPoint = 300.0 / 100000.0; // level-0 points per point of the data set
constexpr size_t kSingleLevelMax = 300; // a whole data set this small is itself a sparse overview
constexpr double kMinOverview = 64;     // below this, level 0 of a small set would show next to nothing
constexpr double kLastGrowth = 5.0;     // the rest becomes the last level once it is at most this × previous
constexpr double kNearlyAll = 0.85;    // a thinned level taking this share of the rest might as well take all
constexpr double kStalledGrowth = 1.5; // below this growth, halving cells no longer spreads the points
constexpr int kMaxLevels = 16;
constexpr int kCalibrationRounds = 8;
constexpr double kMaxCellsPerAxis = 2147483648.0; // cell coordinates stay below 2^31 for the 64-bit key

uint64_t mix(uint64_t z) {
    z += 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

uint64_t bitsOf(double v) {
    return std::bit_cast<uint64_t>(v + 0.0); // + 0.0 folds -0 into +0
}

// Open-addressing set of cell keys, reused by every pass so the passes allocate nothing.
class CellSet {
public:
    explicit CellSet(size_t maxKeys) : slots_(std::bit_ceil(std::max<size_t>(16, maxKeys * 2)), 0) {}
    void clear() { std::fill(slots_.begin(), slots_.end(), 0); }
    // Keys are below 2^63, so key + 1 is never the empty marker 0.
    bool insert(uint64_t key) {
        const uint64_t stored = key + 1;
        const size_t mask = slots_.size() - 1;
        for (size_t i = mix(key) & mask;; i = (i + 1) & mask) {
            if (slots_[i] == stored)
                return false;
            if (slots_[i] == 0) {
                slots_[i] = stored;
                return true;
            }
        }
    }

private:
    std::vector<uint64_t> slots_;
};

struct Grid {
    double minX, minY, extent;

    // Cell coordinates are offsets times the reciprocal of the cell size (a multiplication is much cheaper
    // than a division); the products are monotone in the offset, so no coordinate exceeds extent * inverse.
    bool fits(double cell) const { return cell > 0 && extent * (1 / cell) < kMaxCellsPerAxis - 1; }
    uint64_t key(const double* p, double inverse) const {
        const auto cx = uint64_t((p[0] - minX) * inverse);
        const auto cy = uint64_t((p[1] - minY) * inverse);
        return (cx << 32) | cy;
    }
};

// The cells taken in one thinning pass: a bitmap over the grid's cells where that is small enough (a pass
// then stays in cache), otherwise a hash set of the occupied cells.
class TakenCells {
public:
    explicit TakenCells(size_t maxKeys) : maxKeys_(maxKeys), maxBits_(std::max<size_t>(size_t(1) << 20, 8 * maxKeys)) {}

    // Readies the set for cells of size `cell`; returns whether the bitmap is used.
    bool reset(const Grid& grid, double inverse) {
        const double per = std::floor(grid.extent * inverse) + 1;
        dense_ = per * per <= double(maxBits_);
        if (dense_) {
            side_ = uint64_t(per);
            bits_.assign((side_ * side_ + 63) / 64, 0);
        } else if (set_) {
            set_->clear();
        } else {
            set_.emplace(maxKeys_); // only now: it takes 16 bytes a point
        }
        return dense_;
    }
    bool insertDense(uint64_t cx, uint64_t cy) {
        const uint64_t b = cy * side_ + cx;
        uint64_t& word = bits_[b >> 6];
        const uint64_t mask = uint64_t(1) << (b & 63);
        const bool fresh = !(word & mask);
        word |= mask;
        return fresh;
    }
    bool insertSparse(uint64_t key) { return set_->insert(key); }

private:
    size_t maxKeys_, maxBits_;
    bool dense_ = false;
    uint64_t side_ = 0;
    std::vector<uint64_t> bits_;
    std::optional<CellSet> set_;
};

// Marks in `chosen` the first point, in priority order, of each occupied cell; returns how many. `rxy`
// holds the remaining points' coordinates in that order, so the pass reads memory front to back.
size_t thin(const Grid& grid, const std::vector<double>& rxy, double cell, TakenCells& taken,
            std::vector<uint8_t>& chosen) {
    size_t count = 0;
    const size_t m = rxy.size() / 2;
    const double inverse = 1 / cell;
    if (taken.reset(grid, inverse)) {
        for (size_t k = 0; k < m; ++k) {
            const auto cx = uint64_t((rxy[2 * k] - grid.minX) * inverse);
            const auto cy = uint64_t((rxy[2 * k + 1] - grid.minY) * inverse);
            chosen[k] = taken.insertDense(cx, cy);
            count += chosen[k];
        }
    } else {
        for (size_t k = 0; k < m; ++k) {
            chosen[k] = taken.insertSparse(grid.key(&rxy[2 * k], inverse));
            count += chosen[k];
        }
    }
    return count;
}

// Runs body(part, first, end) over `parts` contiguous ranges of [0, n), each on its own thread. The bodies
// must not throw.
template <class Body> void inParts(size_t n, size_t parts, const Body& body) {
    std::vector<std::jthread> others;
    for (size_t p = 1; p < parts; ++p)
        others.emplace_back(body, p, n * p / parts, n * (p + 1) / parts);
    body(size_t(0), size_t(0), n / parts);
}

// The points in (priority, index) order: their indices in `order` and their coordinates in `rxy`. The
// pairs are distributed into buckets by the priority's top bits and the buckets, small enough to sort in
// cache, are sorted separately, all of it split over threads. The pairs are unique, so the order does not
// depend on how the work is split.
void priorityOrder(const double* xy, size_t n, uint64_t seed, std::vector<uint32_t>& order, std::vector<double>& rxy) {
    using Keyed = std::pair<uint64_t, uint32_t>;
    constexpr int kBucketBits = 12;
    constexpr size_t kBuckets = size_t(1) << kBucketBits;
    const size_t parts = n < 100000 ? 1 : std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 8);
    std::vector<uint64_t> keys(n);
    std::vector<size_t> next(parts * kBuckets, 0); // per part: its counts, then where its pairs go
    inParts(n, parts, [&](size_t p, size_t first, size_t end) {
        size_t* count = &next[p * kBuckets];
        for (size_t i = first; i < end; ++i) {
            keys[i] = mix(mix(bitsOf(xy[2 * i]) ^ seed) ^ bitsOf(xy[2 * i + 1]));
            ++count[keys[i] >> (64 - kBucketBits)];
        }
    });
    std::vector<size_t> start(kBuckets + 1, 0);
    for (size_t b = 0, at = 0; b < kBuckets; ++b) {
        start[b] = at;
        for (size_t p = 0; p < parts; ++p)
            at += std::exchange(next[p * kBuckets + b], at);
        start[b + 1] = at;
    }
    std::vector<Keyed> keyed(n);
    inParts(n, parts, [&](size_t p, size_t first, size_t end) {
        size_t* to = &next[p * kBuckets];
        for (size_t i = first; i < end; ++i)
            keyed[to[keys[i] >> (64 - kBucketBits)]++] = {keys[i], uint32_t(i)};
    });
    keys = {};
    inParts(kBuckets, parts, [&](size_t, size_t first, size_t end) {
        for (size_t b = first; b < end; ++b)
            std::sort(keyed.begin() + std::ptrdiff_t(start[b]), keyed.begin() + std::ptrdiff_t(start[b + 1]));
    });
    order.resize(n);
    rxy.resize(2 * n);
    inParts(n, parts, [&](size_t, size_t first, size_t end) {
        for (size_t k = first; k < end; ++k) {
            const uint32_t i = keyed[k].second;
            order[k] = i;
            rxy[2 * k] = xy[2 * size_t(i)];
            rxy[2 * k + 1] = xy[2 * size_t(i) + 1];
        }
    });
}

} // namespace

LevelAssignment assignLevels(const double* xy, size_t n, uint64_t seed) {
    LevelAssignment out;
    if (n == 0)
        return out;
    if (n > UINT32_MAX)
        throw std::invalid_argument("level assignment: more than 4294967295 points");

    double minX = INFINITY, minY = INFINITY, maxX = -INFINITY, maxY = -INFINITY;
    for (size_t i = 0; i < n; ++i) {
        const double x = xy[2 * i], y = xy[2 * i + 1];
        if (!std::isfinite(x) || !std::isfinite(y))
            throw std::invalid_argument("level assignment: non-finite coordinate at point " +
                                        std::to_string(i));
        minX = std::min(minX, x);
        maxX = std::max(maxX, x);
        minY = std::min(minY, y);
        maxY = std::max(maxY, y);
    }
    const double width = maxX - minX, height = maxY - minY;
    if (!std::isfinite(width) || !std::isfinite(height))
        throw std::invalid_argument("level assignment: coordinate range too large");
    const double extent = std::max(width, height);
    const Grid grid{minX, minY, extent};

    out.levelOf.assign(n, 0);
    // Cell size from the average density; a degenerate extent (a line, one spot) gets a tiny floor that the
    // calibration below corrects.
    const double area = std::max(width * height, extent * extent * 1e-12);
    double cell = area > 0 ? std::sqrt(area / (kOverviewPerPoint * double(n))) : 1.0;
    cell = std::max(cell, extent / (kMaxCellsPerAxis / 2));
    if (n <= kSingleLevelMax) {
        out.levels = 1;
        out.counts = {n};
        out.cellSize0 = cell;
        return out;
    }

    // Priority from the coordinates, so the choice does not depend on the input order except among
    // points at identical positions, which fall back to the index.
    std::vector<uint32_t> remaining;
    std::vector<double> rxy;
    priorityOrder(xy, n, seed, remaining, rxy);

    TakenCells set(n);
    std::vector<uint8_t> chosen(n);

    // Clustered data (holes, separate areas) or lower-dimensional data (a line) occupies far fewer or far
    // more cells than the bounding box suggests; scale level 0 so that its count matches the target.
    const double target = std::max(kMinOverview, kOverviewPerPoint * double(n));
    size_t count = thin(grid, rxy, cell, set, chosen);
    for (int round = 0; round < kCalibrationRounds && extent > 0; ++round) {
        const double ratio = double(count) / target;
        if (ratio >= 0.5 && ratio <= 2.0)
            break;
        const double next = cell * std::clamp(std::sqrt(ratio), 1.0 / 16, 16.0);
        if (!grid.fits(next))
            break;
        cell = next;
        count = thin(grid, rxy, cell, set, chosen);
    }
    out.cellSize0 = cell;

    auto commit = [&](int level) {
        size_t kept = 0;
        for (size_t k = 0; k < remaining.size(); ++k) {
            if (chosen[k]) {
                out.levelOf[remaining[k]] = uint8_t(level);
            } else {
                rxy[2 * kept] = rxy[2 * k];
                rxy[2 * kept + 1] = rxy[2 * k + 1];
                remaining[kept++] = remaining[k];
            }
        }
        out.counts.push_back(remaining.size() - kept);
        remaining.resize(kept);
        rxy.resize(2 * kept);
    };
    auto takeRest = [&](int level) {
        for (uint32_t i : remaining)
            out.levelOf[i] = uint8_t(level);
        out.counts.push_back(remaining.size());
        remaining.clear();
    };

    for (int level = 0; !remaining.empty(); ++level) {
        const size_t rest = remaining.size();
        if (level > 0) {
            const double previous = double(out.counts.back());
            cell /= 2;
            if (level == kMaxLevels - 1 || double(rest) <= kLastGrowth * previous || !grid.fits(cell)) {
                takeRest(level);
                break;
            }
            count = thin(grid, rxy, cell, set, chosen);
            if (double(count) < kStalledGrowth * previous) {
                takeRest(level);
                break;
            }
        }
        if (double(count) >= kNearlyAll * double(rest)) {
            takeRest(level);
            break;
        }
        commit(level);
    }
    out.levels = int(out.counts.size());
    return out;
}
