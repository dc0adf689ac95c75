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
constexpr int kMaxLevels = kMaxLevelCount;
constexpr int kCalibrationRounds = 8;
constexpr double kMaxCellsPerAxis = 2147483648.0; // cell coordinates stay below 2^31 for the 64-bit key
// A calibration ratio of at least this scales the cell by the largest step, so counting can stop there.
constexpr double kLargestRatio = 256.0;

uint64_t mix(uint64_t z) {
    z += 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

uint64_t bitsOf(double v) {
    return std::bit_cast<uint64_t>(v + 0.0); // + 0.0 folds -0 into +0
}

// Cell coordinates are offsets times the reciprocal of the cell size (a multiplication is much cheaper than a
// division); the products are monotone in the offset, so no coordinate exceeds extent * inverse. Halving a
// cell doubles the reciprocal and the product exactly, so the cells of each level nest in those of the last.
bool fits(const LevelGrid& g, double cell) {
    return cell > 0 && g.extent * (1 / cell) < kMaxCellsPerAxis - 1;
}

// The stopping rules: whether level `level` (cells of size `cell`) takes all `rest` points left, decided
// before thinning it and after thinning it to `count` cells; `previous` is the level before's count.
bool lastBefore(const LevelGrid& g, int level, double cell, uint64_t rest, uint64_t previous) {
    return level > 0 &&
           (level == kMaxLevels - 1 || double(rest) <= kLastGrowth * double(previous) || !fits(g, cell));
}
bool lastAfter(int level, uint64_t count, uint64_t rest, uint64_t previous) {
    return (level > 0 && double(count) < kStalledGrowth * double(previous)) ||
           double(count) >= kNearlyAll * double(rest);
}

struct Box {
    double minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
};

Box boxOf(const double* xy, size_t m, const char* what) {
    Box b;
    for (size_t i = 0; i < m; ++i) {
        const double x = xy[2 * i], y = xy[2 * i + 1];
        if (!std::isfinite(x) || !std::isfinite(y))
            throw std::invalid_argument(std::string(what) + ": non-finite coordinate at point " +
                                        std::to_string(i));
        b.minX = std::min(b.minX, x);
        b.maxX = std::max(b.maxX, x);
        b.minY = std::min(b.minY, y);
        b.maxY = std::max(b.maxY, y);
    }
    return b;
}

// The cells of size 1 / inverse that points within `b` can fall in.
struct CellRange {
    uint64_t colLo, cols, rowLo, rows;
};
CellRange rangeOf(const LevelGrid& g, const Box& b, double inverse) {
    const auto colLo = uint64_t((b.minX - g.minX) * inverse), rowLo = uint64_t((b.minY - g.minY) * inverse);
    return {colLo, uint64_t((b.maxX - g.minX) * inverse) - colLo + 1, rowLo,
            uint64_t((b.maxY - g.minY) * inverse) - rowLo + 1};
}

// Open-addressing set of cell keys, kept between passes so the passes allocate little; grows when filled
// beyond the keys it was readied for.
class CellSet {
public:
    void reset(size_t keys) {
        const size_t want = std::bit_ceil(std::max<size_t>(16, keys * 2));
        if (slots_.size() < want || slots_.size() > 4 * want)
            slots_.assign(want, 0);
        else
            std::fill(slots_.begin(), slots_.end(), 0);
        size_ = 0;
    }
    size_t size() const { return size_; }
    // Keys are below 2^63, so key + 1 is never the empty marker 0.
    bool insert(uint64_t key) {
        if (2 * (size_ + 1) > slots_.size())
            grow();
        const uint64_t stored = key + 1;
        const size_t mask = slots_.size() - 1;
        for (size_t i = mix(key) & mask;; i = (i + 1) & mask) {
            if (slots_[i] == stored)
                return false;
            if (slots_[i] == 0) {
                slots_[i] = stored;
                ++size_;
                return true;
            }
        }
    }

private:
    void grow() {
        std::vector<uint64_t> old(std::max<size_t>(16, 2 * slots_.size()), 0);
        old.swap(slots_);
        size_ = 0;
        for (uint64_t s : old)
            if (s)
                insert(s - 1);
    }
    std::vector<uint64_t> slots_;
    size_t size_ = 0;
};

// The cells taken in one pass: a bitmap over the cells the points can fall in where that is small enough (a
// pass then stays in cache), otherwise a hash set of the occupied cells.
class TakenCells {
public:
    // Readies the set for at most `maxKeys` cells of `range`; returns whether the bitmap is used.
    bool reset(const CellRange& range, size_t maxKeys) {
        const size_t maxBits = std::max<size_t>(size_t(1) << 20, 8 * maxKeys);
        dense_ = double(range.cols) * double(range.rows) <= double(maxBits);
        if (dense_) {
            range_ = range;
            bits_.assign((range.cols * range.rows + 63) / 64, 0);
        } else {
            set_.reset(maxKeys); // only now: it takes 16 bytes a point
        }
        return dense_;
    }
    // The bitmap, to be copied into locals of a pass: stores through it then cannot alias its fields.
    struct Bitmap {
        uint64_t* words;
        uint64_t cols, base;
        bool operator()(uint64_t cx, uint64_t cy) const {
            const uint64_t b = cy * cols + cx - base;
            uint64_t& word = words[b >> 6];
            const uint64_t mask = uint64_t(1) << (b & 63);
            const bool fresh = !(word & mask);
            word |= mask;
            return fresh;
        }
    };
    Bitmap bitmap() { return {bits_.data(), range_.cols, range_.rowLo * range_.cols + range_.colLo}; }
    bool insertSparse(uint64_t cx, uint64_t cy) { return set_.insert((cx << 32) | cy); }

private:
    bool dense_ = false;
    CellRange range_{};
    std::vector<uint64_t> bits_;
    CellSet set_;
};

template <class Insert>
size_t thinInto(const LevelGrid& g, const double* rxy, size_t m, double inverse, uint8_t* chosen,
                Insert insert) {
    const double minX = g.minX, minY = g.minY; // locals: the stores to `chosen` may alias anything else
    size_t count = 0;
    for (size_t k = 0; k < m; ++k) {
        const auto cx = uint64_t((rxy[2 * k] - minX) * inverse);
        const auto cy = uint64_t((rxy[2 * k + 1] - minY) * inverse);
        chosen[k] = insert(cx, cy);
        count += chosen[k];
    }
    return count;
}

// Marks in `chosen` the first point, in priority order, of each occupied cell of size `cell`; returns how
// many. `rxy` holds the points' coordinates in that order, all within `box`, so the pass reads memory front
// to back.
size_t thin(const LevelGrid& g, const Box& box, const std::vector<double>& rxy, double cell,
            TakenCells& taken, std::vector<uint8_t>& chosen) {
    const size_t m = rxy.size() / 2;
    const double inverse = 1 / cell;
    if (taken.reset(rangeOf(g, box, inverse), m))
        return thinInto(g, rxy.data(), m, inverse, chosen.data(), taken.bitmap());
    return thinInto(g, rxy.data(), m, inverse, chosen.data(),
                    [&](uint64_t cx, uint64_t cy) { return taken.insertSparse(cx, cy); });
}

// Runs body(part, first, end) over `parts` contiguous ranges of [0, n), each on its own thread. The bodies
// must not throw.
template <class Body> void inParts(size_t n, size_t parts, const Body& body) {
    std::vector<std::jthread> others;
    for (size_t p = 1; p < parts; ++p)
        others.emplace_back(body, p, n * p / parts, n * (p + 1) / parts);
    body(size_t(0), size_t(0), n / parts);
}

// The points in (priority, input index) order: their positions in `order` and their coordinates in `rxy`.
// The pairs are distributed into buckets by the priority's top bits and the buckets, small enough to sort in
// cache, are sorted separately, all of it split over threads. Priorities repeat only for points at identical
// positions (or on a rare collision); those fall back to the input index, which is `index` (when given) of
// the position. The pairs are unique, so the order does not depend on how the work is split.
void priorityOrder(const double* xy, size_t n, uint64_t seed, const uint32_t* index,
                   std::vector<uint32_t>& order, std::vector<double>& rxy) {
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
        for (size_t b = first; b < end; ++b) {
            const auto from = keyed.begin() + std::ptrdiff_t(start[b]),
                       to = keyed.begin() + std::ptrdiff_t(start[b + 1]);
            std::sort(from, to);
            if (!index)
                continue;
            for (auto run = from; run != to;) { // equal priorities: by input index
                auto end = run + 1;
                while (end != to && end->first == run->first)
                    ++end;
                if (end - run > 1)
                    std::sort(run, end, [&](const Keyed& a, const Keyed& c) {
                        return index[a.second] < index[c.second];
                    });
                run = end;
            }
        }
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

// The points in priority order, and what a thinning pass needs.
struct Thinning {
    std::vector<uint32_t> remaining; // positions of the points not yet given a level
    std::vector<double> rxy;         // their coordinates
    TakenCells taken;
    std::vector<uint8_t> chosen;

    Thinning(const double* xy, size_t m, uint64_t seed, const uint32_t* index) : chosen(m) {
        // Priority from the coordinates, so the choice does not depend on the input order except among points
        // at identical positions, which fall back to the index.
        priorityOrder(xy, m, seed, index, remaining, rxy);
    }
};

// Thins the points level after level, each level keeping the first point in priority order of each occupied
// cell of the remaining points, until the rest is taken. `global`: the points are the whole data set and the
// stopping rules decide; otherwise thinning goes on as long as the cells fit (the unbounded levels). With
// `thinned0`, t.chosen already holds level 0's pass, which found that many cells. Writes levelOf and adds per
// level the points marked in `own` (nullptr: all) to `counts`; returns the levels used.
int thinLevels(const LevelGrid& g, const Box& box, Thinning& t, std::optional<uint64_t> thinned0, bool global,
               const uint8_t* own, uint8_t* levelOf, uint64_t* counts) {
    std::vector<uint32_t>& remaining = t.remaining;
    std::vector<double>& rxy = t.rxy;
    std::vector<uint8_t>& chosen = t.chosen;
    int level = 0;
    double cell = g.cell0;
    uint64_t previous = 0;
    for (; !remaining.empty(); ++level, cell /= 2) {
        const uint64_t rest = remaining.size();
        if (global ? lastBefore(g, level, cell, rest, previous)
                   : level > 0 && (level == kMaxLevels - 1 || !fits(g, cell)))
            break;
        const uint64_t count = level == 0 && thinned0 ? *thinned0 : thin(g, box, rxy, cell, t.taken, chosen);
        if (global && lastAfter(level, count, rest, previous))
            break;
        size_t kept = 0;
        uint64_t mine = 0;
        for (size_t k = 0; k < remaining.size(); ++k) {
            const uint32_t i = remaining[k];
            if (chosen[k]) {
                levelOf[i] = uint8_t(level);
                mine += own ? own[i] != 0 : 1;
            } else {
                rxy[2 * kept] = rxy[2 * k];
                rxy[2 * kept + 1] = rxy[2 * k + 1];
                remaining[kept++] = i;
            }
        }
        counts[level] += mine;
        remaining.resize(kept);
        rxy.resize(2 * kept);
        previous = count;
    }
    if (remaining.empty())
        return level;
    uint64_t mine = 0;
    for (uint32_t i : remaining) {
        levelOf[i] = uint8_t(level);
        mine += own ? own[i] != 0 : 1;
    }
    counts[level] += mine;
    return level + 1;
}

} // namespace

struct LevelCalibration::Counting {
    double cell = 0;        // the candidate being counted
    uint64_t count = 0;     // cells found so far in the round
    uint64_t saturated = 0; // a count from which on the round's outcome no longer depends on the count
    bool inRound = false;
    double lastY = -INFINITY; // the largest y of the round's batches so far
    // Cells may be shared between batches only within the highest row seen: its columns are carried over.
    bool carrying = false;
    uint64_t carryRow = 0;
    CellSet carry;
    TakenCells taken;
    std::vector<uint64_t> top; // columns of the batch's highest row, found in `taken`

    // Counts the new cells of m points within `box`, none below lastY.
    void add(const LevelGrid& g, const double* xy, size_t m, const Box& box) {
        lastY = box.maxY;
        if (count >= saturated)
            return;
        const double inverse = 1 / cell;
        const CellRange range = rangeOf(g, box, inverse);
        const bool dense = taken.reset(range, m);
        const uint64_t topRow = range.rowLo + range.rows - 1;
        // Rows only grow from batch to batch, so only the carried row can hold cells counted before.
        const uint64_t sharedRow = carrying && range.rowLo == carryRow ? carryRow : UINT64_MAX;
        top.clear();
        if (dense)
            countCells(g, xy, m, inverse, topRow, sharedRow, taken.bitmap());
        else
            countCells(g, xy, m, inverse, topRow, sharedRow,
                       [this](uint64_t cx, uint64_t cy) { return taken.insertSparse(cx, cy); });
        if (topRow != sharedRow) { // a new highest row: carry its columns instead
            carry.reset(top.size());
            for (uint64_t cx : top)
                carry.insert(cx);
            carryRow = topRow;
            carrying = true;
        }
    }
    template <class Insert>
    void countCells(const LevelGrid& g, const double* xy, size_t m, double inverse, uint64_t topRow,
                    uint64_t sharedRow, const Insert& insert) {
        const double minX = g.minX, minY = g.minY; // locals, as in thinInto
        const uint64_t enough = saturated;         // beyond it, the carried row no longer matters either
        uint64_t found = count;
        for (size_t i = 0; i < m && found < enough; ++i) {
            const auto cx = uint64_t((xy[2 * i] - minX) * inverse);
            const auto cy = uint64_t((xy[2 * i + 1] - minY) * inverse);
            bool fresh;
            if (cy == sharedRow) {
                fresh = carry.insert(cx);
            } else {
                fresh = insert(cx, cy);
                if (fresh && cy == topRow)
                    top.push_back(cx);
            }
            found += fresh;
        }
        count = found;
    }
};

LevelCalibration::LevelCalibration(double minX, double maxX, double minY, double maxY, uint64_t n) {
    if (n == 0)
        return;
    const double width = maxX - minX, height = maxY - minY;
    if (!(width >= 0 && height >= 0))
        throw std::invalid_argument("level calibration: bounds not finite or inverted");
    if (!std::isfinite(width) || !std::isfinite(height))
        throw std::invalid_argument("level assignment: coordinate range too large");
    const double extent = std::max(width, height);
    grid_ = {minX, minY, extent, 0, n};
    // Cell size from the average density; a degenerate extent (a line, one spot) gets a tiny floor that the
    // calibration below corrects.
    const double area = std::max(width * height, extent * extent * 1e-12);
    double cell = area > 0 ? std::sqrt(area / (kOverviewPerPoint * double(n))) : 1.0;
    cell = std::max(cell, extent / (kMaxCellsPerAxis / 2));
    grid_.cell0 = cell;
    // Clustered data (holes, separate areas) or lower-dimensional data (a line) occupies far fewer or far
    // more cells than the bounding box suggests; level 0 is scaled until its count matches the target.
    target_ = std::max(kMinOverview, kOverviewPerPoint * double(n));
    done_ = n <= kSingleLevelMax || !(extent > 0);
    if (done_)
        return;
    counting_ = std::make_unique<Counting>();
    counting_->cell = cell;
    // The smallest count whose ratio to the target reaches kLargestRatio: any count from there on scales the
    // cell by the same clamped step, so a round need not count beyond it.
    uint64_t s = uint64_t(std::ceil(kLargestRatio * target_));
    while (s > 0 && double(s - 1) / target_ >= kLargestRatio)
        --s;
    while (double(s) / target_ < kLargestRatio)
        ++s;
    counting_->saturated = s;
}

LevelCalibration::~LevelCalibration() = default;
LevelCalibration::LevelCalibration(LevelCalibration&&) noexcept = default;
LevelCalibration& LevelCalibration::operator=(LevelCalibration&&) noexcept = default;

void LevelCalibration::beginRound() {
    if (done_ || counting_->inRound)
        throw std::logic_error("level calibration: no round to begin");
    Counting& c = *counting_;
    c.inRound = true;
    c.count = 0;
    c.lastY = -INFINITY;
    c.carrying = false;
}

void LevelCalibration::add(const double* xy, size_t m) {
    if (done_ || !counting_->inRound)
        throw std::logic_error("level calibration: points outside a round");
    if (m == 0)
        return;
    const Box box = boxOf(xy, m, "level calibration");
    if (box.minX < grid_.minX || box.minY < grid_.minY || box.maxX - grid_.minX > grid_.extent ||
        box.maxY - grid_.minY > grid_.extent)
        throw std::invalid_argument("level calibration: points outside the bounds");
    if (box.minY < counting_->lastY)
        throw std::invalid_argument("level calibration: a batch below points already counted");
    counting_->add(grid_, xy, m, box);
}

void LevelCalibration::endRound() {
    if (done_ || !counting_->inRound)
        throw std::logic_error("level calibration: no round to end");
    counting_->inRound = false;
    decide(counting_->count);
}

void LevelCalibration::decide(uint64_t count) {
    // The calibration: scale the cell by the square root of the count's ratio to the target, clamped, until
    // the ratio is within [1/2, 2], the cell would no longer fit the grid or the rounds are used up.
    Counting& c = *counting_;
    const int round = rounds_++;
    const double ratio = double(count) / target_;
    if (ratio >= 0.5 && ratio <= 2.0) {
        done_ = true;
    } else {
        const double next = c.cell * std::clamp(std::sqrt(ratio), 1.0 / 16, 16.0);
        if (!fits(grid_, next)) {
            done_ = true;
        } else {
            c.cell = next;
            done_ = round + 1 == kCalibrationRounds; // the last cell is taken without counting it
        }
    }
    grid_.cell0 = c.cell;
    if (done_)
        counting_.reset();
}

LevelGrid LevelCalibration::grid() const {
    if (!done_)
        throw std::logic_error("level calibration: not done");
    return grid_;
}

void thinUnbounded(const LevelGrid& grid, const double* xy, const uint32_t* index, size_t m, uint64_t seed,
                   const uint8_t* own, uint8_t* levelOf, LevelCounts& counts) {
    if (m > UINT32_MAX)
        throw std::invalid_argument("level thinning: more than 4294967295 points");
    const Box box = boxOf(xy, m, "level thinning");
    // Level 0 in cell coordinates below 2^31 (deeper levels are thinned only while they fit the grid).
    const double inverse0 = 1 / grid.cell0;
    if (m && !((box.minX >= grid.minX && box.minY >= grid.minY &&
                (box.maxX - grid.minX) * inverse0 < kMaxCellsPerAxis &&
                (box.maxY - grid.minY) * inverse0 < kMaxCellsPerAxis)))
        throw std::invalid_argument("level thinning: points outside the grid");
    Thinning t(xy, m, seed, index);
    thinLevels(grid, box, t, std::nullopt, false, own, levelOf, counts.data());
}

std::vector<uint64_t> cutLevels(const LevelGrid& grid, const LevelCounts& unbounded) {
    uint64_t total = 0;
    for (uint64_t c : unbounded)
        total += c;
    if (total != grid.n)
        throw std::invalid_argument("level cut: the levels count " + std::to_string(total) + " points of " +
                                    std::to_string(grid.n));
    if (grid.n == 0)
        return {};
    if (grid.n <= kSingleLevelMax)
        return {grid.n};
    // The stopping rules, replayed on the totals: a level thinned without stopping holds exactly its
    // unbounded count, and the level where they stop takes the rest.
    std::vector<uint64_t> counts;
    uint64_t rest = grid.n, previous = 0;
    double cell = grid.cell0;
    for (int level = 0;; ++level, cell /= 2) {
        if (lastBefore(grid, level, cell, rest, previous))
            break;
        const uint64_t count = unbounded[size_t(level)];
        if (lastAfter(level, count, rest, previous))
            break;
        counts.push_back(count);
        rest -= count;
        previous = count;
        if (rest == 0)
            return counts;
    }
    counts.push_back(rest);
    return counts;
}

LevelAssignment assignLevels(const double* xy, size_t n, uint64_t seed) {
    LevelAssignment out;
    if (n == 0)
        return out;
    if (n > UINT32_MAX)
        throw std::invalid_argument("level assignment: more than 4294967295 points");
    const Box box = boxOf(xy, n, "level assignment");
    LevelCalibration calibration(box.minX, box.maxX, box.minY, box.maxY, n);
    out.levelOf.assign(n, 0);
    if (n <= kSingleLevelMax) {
        out.cellSize0 = calibration.grid().cell0;
        out.levels = 1;
        out.counts = {n};
        return out;
    }
    // The calibration's rounds counted by thinning passes in priority order: the last one, when its cell is
    // the one taken, is level 0's pass.
    Thinning t(xy, n, seed, nullptr);
    std::optional<uint64_t> thinned0;
    double thinnedCell = 0;
    while (!calibration.done()) {
        thinnedCell = calibration.counting_->cell;
        thinned0 = thin(calibration.grid_, box, t.rxy, thinnedCell, t.taken, t.chosen);
        calibration.decide(*thinned0);
    }
    const LevelGrid grid = calibration.grid();
    out.cellSize0 = grid.cell0;
    if (thinnedCell != grid.cell0)
        thinned0.reset();
    LevelCounts counts{};
    out.levels = thinLevels(grid, box, t, thinned0, true, nullptr, out.levelOf.data(), counts.data());
    out.counts.assign(counts.begin(), counts.begin() + out.levels);
    return out;
}
