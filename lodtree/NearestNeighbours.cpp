#include "NearestNeighbours.h"
#include "NeighbourSearch.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr KnnDistance Far = UINT64_MAX;

// |d| < 2^32, so the square fits; unsigned wrap-around gives the right value for negative d too.
inline uint64_t square(int64_t d) {
    return uint64_t(d) * uint64_t(d);
}

inline uint64_t addSaturated(uint64_t a, uint64_t b) {
    uint64_t s;
    return __builtin_add_overflow(a, b, &s) ? Far : s;
}

struct Coordinates {
    const int32_t* axis[3];
    int count;
    int dimensions;
    Coordinates(const int32_t* data, int n, int dims) : count(n), dimensions(dims) {
        for (int d = 0; d < 3; ++d)
            axis[d] = d < dims ? data + std::size_t(d) * std::size_t(n) : nullptr;
    }
    int32_t at(int d, int i) const { return axis[d][i]; }
};

inline KnnDistance distance(const Coordinates& a, int i, const Coordinates& b, int j) {
    KnnDistance s = 0;
    for (int d = 0; d < a.dimensions; ++d)
        s = addSaturated(s, square(int64_t(a.at(d, i)) - b.at(d, j)));
    return s;
}

void writeResult(int q, int queryCount, int k, int found, const KnnDistance* d, const uint32_t* idx,
                 KnnDistance* distances, uint32_t* indices) {
    for (int j = 0; j < k; ++j) {
        const std::size_t at = std::size_t(j) * std::size_t(queryCount) + std::size_t(q);
        distances[at] = j < found ? d[j] : Far;
        indices[at] = j < found ? idx[j] : 0;
    }
}

// Collects the k smallest (distance, index) pairs. Candidates go into a buffer unsorted; now and then
// the buffer is cut to its k smallest, which sets a limit that later candidates must beat. Ordering by
// the pair makes the result independent of the order in which candidates arrive, so it equals the brute
// force's insertion order (equal distances in reference order).
class BestList {
public:
    struct Entry {
        KnnDistance d;
        uint32_t idx; // 0-based
        bool operator<(const Entry& o) const { return d != o.d ? d < o.d : idx < o.idx; }
    };

    explicit BestList(int k) : k_(std::size_t(k)) { buffer_.reserve(2 * k_); }
    // Starts a query; with a bound only pairs at a distance below it are kept.
    void clear(const KnnDistance* below = nullptr) {
        buffer_.clear();
        limited_ = below != nullptr;
        limit_ = {below ? *below : Far, 0};
    }
    // Once limited, limit() is at or above the k-th smallest pair so far: a pair not below it cannot
    // be in the result.
    bool limited() const { return limited_; }
    const Entry& limit() const { return limit_; }

    void offer(KnnDistance d, uint32_t idx) {
        const Entry e{d, idx};
        if (limited_ && !(e < limit_))
            return;
        buffer_.push_back(e);
        if (buffer_.size() == 2 * k_)
            cut();
    }
    // Whether no pair at distance `bound` or beyond can enter; exact once it says so.
    bool closedBelow(KnnDistance bound) {
        if (limited_ && limit_.d < bound)
            return true;
        if (buffer_.size() < k_)
            return false;
        cut(); // the limit becomes the k-th smallest itself
        return limit_.d < bound;
    }
    // Ascending; the list is spent afterwards.
    const std::vector<Entry>& sorted() {
        if (buffer_.size() > k_)
            cut();
        std::sort(buffer_.begin(), buffer_.end());
        return buffer_;
    }

private:
    void cut() {
        std::nth_element(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(k_ - 1), buffer_.end());
        buffer_.resize(k_);
        limit_ = buffer_[k_ - 1];
        limited_ = true;
    }

    std::size_t k_;
    std::vector<Entry> buffer_;
    Entry limit_{Far, UINT32_MAX};
    bool limited_ = false;
};

// A uniform grid of square columns over the two axes of largest extent (x and y for survey data; a
// vertical structure gets a grid along z instead of one crowded column). Points are stored cell by cell,
// each cell in ascending index order.
class ColumnGrid {
public:
    ColumnGrid(const Coordinates& ref, int pointsPerCell) : dims_(ref.dimensions) {
        int64_t lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
        for (int d = 0; d < dims_; ++d) {
            const auto [mn, mx] = std::minmax_element(ref.axis[d], ref.axis[d] + ref.count);
            lo[d] = *mn, hi[d] = *mx;
        }
        int order[3] = {0, 1, 2};
        std::stable_sort(order, order + dims_, [&](int a, int b) { return hi[a] - lo[a] > hi[b] - lo[b]; });
        a_ = order[0], b_ = order[1];
        min_[0] = lo[a_], min_[1] = lo[b_];
        const double w = double(hi[a_] - lo[a_] + 1), h = double(hi[b_] - lo[b_] + 1);
        const double cells = std::max(1.0, double(ref.count) / pointsPerCell);
        // Square cells for an area; along a line (h tiny) the first axis alone sets the size.
        const double side = std::max({1.0, std::sqrt(w * h / cells), std::max(w, h) / cells});
        cell_ = int64_t(std::ceil(side));
        nx_ = (hi[a_] - lo[a_]) / cell_ + 1;
        ny_ = (hi[b_] - lo[b_]) / cell_ + 1;

        // Counting sort by cell; stable, so each cell keeps ascending indices.
        start_.assign(std::size_t(nx_ * ny_ + 1), 0);
        std::vector<uint32_t> cellOf(std::size_t(ref.count));
        for (int i = 0; i < ref.count; ++i) {
            const int64_t c = cellIndex((ref.at(a_, i) - min_[0]) / cell_, (ref.at(b_, i) - min_[1]) / cell_);
            cellOf[std::size_t(i)] = uint32_t(c);
            ++start_[std::size_t(c) + 1];
        }
        for (std::size_t c = 1; c < start_.size(); ++c)
            start_[c] += start_[c - 1];
        points_.resize(std::size_t(ref.count));
        std::vector<uint32_t> fill(start_.begin(), start_.end() - 1);
        for (int i = 0; i < ref.count; ++i) {
            Stored& s = points_[fill[cellOf[std::size_t(i)]]++];
            for (int d = 0; d < dims_; ++d)
                s.c[d] = ref.at(d, i);
            s.idx = uint32_t(i);
        }
    }

    void search(const int64_t q[3], BestList& best) const {
        const int64_t qa = q[a_], qb = q[b_];
        const int64_t cx = floorDiv(qa - min_[0], cell_), cy = floorDiv(qb - min_[1], cell_);
        // A query outside the grid starts at the first ring that reaches it.
        const int64_t r0 = std::max({int64_t(0), -cx, cx - (nx_ - 1), -cy, cy - (ny_ - 1)});
        for (int64_t r = r0;; ++r) {
            visitRing(q, cx, cy, r, best);
            const bool left = cx - r > 0, right = cx + r<nx_ - 1, down = cy - r> 0, up = cy + r < ny_ - 1;
            if (!left && !right && !down && !up)
                return; // every cell visited
            // Nearest possible point outside the visited block, by one axis alone.
            uint64_t bound = Far;
            if (left)
                bound = std::min(bound, square(qa - (min_[0] + (cx - r) * cell_ - 1)));
            if (right)
                bound = std::min(bound, square(min_[0] + (cx + r + 1) * cell_ - qa));
            if (down)
                bound = std::min(bound, square(qb - (min_[1] + (cy - r) * cell_ - 1)));
            if (up)
                bound = std::min(bound, square(min_[1] + (cy + r + 1) * cell_ - qb));
            // Equal distance could still bring a smaller index: go on unless strictly below.
            if (best.closedBelow(bound))
                return;
        }
    }

private:
    struct Stored {
        int32_t c[3] = {0, 0, 0};
        uint32_t idx = 0;
    };

    static int64_t floorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
    int64_t cellIndex(int64_t i, int64_t j) const { return j * nx_ + i; }

    void visitRing(const int64_t q[3], int64_t cx, int64_t cy, int64_t r, BestList& best) const {
        if (r == 0) {
            visitCell(q, cx, cy, best);
            return;
        }
        const int64_t i0 = std::max<int64_t>(0, cx - r), i1 = std::min(nx_ - 1, cx + r);
        for (int64_t j : {cy - r, cy + r})
            if (j >= 0 && j < ny_)
                for (int64_t i = i0; i <= i1; ++i)
                    visitCell(q, i, j, best);
        const int64_t j0 = std::max<int64_t>(0, cy - r + 1), j1 = std::min(ny_ - 1, cy + r - 1);
        for (int64_t i : {cx - r, cx + r})
            if (i >= 0 && i < nx_)
                for (int64_t j = j0; j <= j1; ++j)
                    visitCell(q, i, j, best);
    }

    void visitCell(const int64_t q[3], int64_t i, int64_t j, BestList& best) const {
        const int64_t c = cellIndex(i, j);
        const Stored* p = points_.data() + start_[std::size_t(c)];
        const Stored* end = points_.data() + start_[std::size_t(c) + 1];
        if (p == end)
            return;
        const int64_t a0 = min_[0] + i * cell_, b0 = min_[1] + j * cell_;
        const int64_t ga = std::max<int64_t>({0, a0 - q[a_], q[a_] - (a0 + cell_ - 1)});
        const int64_t gb = std::max<int64_t>({0, b0 - q[b_], q[b_] - (b0 + cell_ - 1)});
        const KnnDistance bound = addSaturated(square(ga), square(gb));
        for (; p != end; ++p) {
            // Indices rise within the cell: once the bound reaches the last kept distance, no later
            // point of the cell can beat the last entry (this keeps identical points near O(n k)).
            if (best.limited() &&
                (bound > best.limit().d || (bound == best.limit().d && p->idx > best.limit().idx)))
                return;
            KnnDistance d = 0;
            for (int k = 0; k < dims_; ++k)
                d = addSaturated(d, square(q[k] - p->c[k]));
            best.offer(d, p->idx);
        }
    }

    int dims_;
    int a_ = 0, b_ = 1;
    int64_t min_[2] = {0, 0};
    int64_t cell_ = 1, nx_ = 1, ny_ = 1;
    std::vector<uint32_t> start_; // per cell, into points_
    std::vector<Stored> points_;
};

} // namespace

void knnIntNoCuda(const int32_t* reference, int referenceCount, const int32_t* query, int queryCount,
                  int dimensions, int k, KnnDistance* distances, uint32_t* indices) {
    if (k <= 0 || queryCount <= 0)
        return;
    const Coordinates ref(reference, referenceCount, dimensions), qry(query, queryCount, dimensions);
    std::vector<KnnDistance> dStore(static_cast<std::size_t>(k));
    std::vector<uint32_t> idxStore(static_cast<std::size_t>(k));
    KnnDistance* d = dStore.data(); // plain pointers keep the reference usable in debug builds
    uint32_t* idx = idxStore.data();
    for (int q = 0; q < queryCount; ++q) {
        int n = 0;
        for (int r = 0; r < referenceCount; ++r) {
            const KnnDistance dist = distance(qry, q, ref, r);
            if (n == k && dist >= d[k - 1])
                continue;
            // Before the first kept entry that is strictly greater.
            int p = n < k ? n++ : k - 1;
            while (p > 0 && d[p - 1] > dist) {
                d[p] = d[p - 1];
                idx[p] = idx[p - 1];
                --p;
            }
            d[p] = dist;
            idx[p] = uint32_t(r + 1);
        }
        writeResult(q, queryCount, k, n, d, idx, distances, indices);
    }
}

namespace {

// The indexed search; put(q, count, entries) receives each query's list, ascending, 0-based indices.
template <class Put>
void searchIndexed(const int32_t* reference, int referenceCount, const int32_t* query, int queryCount,
                   int dimensions, int k, const KnnDistance* below, Put&& put) {
    BestList best(k);
    if (referenceCount <= 0) {
        for (int q = 0; q < queryCount; ++q)
            put(q, 0, nullptr);
        return;
    }
    const Coordinates ref(reference, referenceCount, dimensions), qry(query, queryCount, dimensions);
    // Small cells (8 points for k = 101) bound the candidates tightly; measured flat from 4 to 16.
    const ColumnGrid grid(ref, std::clamp(k / 12, 4, 16));
    for (int q = 0; q < queryCount; ++q) {
        int64_t at[3] = {0, 0, 0};
        for (int a = 0; a < dimensions; ++a)
            at[a] = qry.at(a, q);
        best.clear(below ? below + q : nullptr);
        grid.search(at, best);
        const auto& sorted = best.sorted();
        put(q, int(sorted.size()), sorted.data());
    }
}

} // namespace

void knnIntIndexed(const int32_t* reference, int referenceCount, const int32_t* query, int queryCount,
                   int dimensions, int k, KnnDistance* distances, uint32_t* indices) {
    if (k <= 0 || queryCount <= 0)
        return;
    std::vector<KnnDistance> d(static_cast<std::size_t>(k));
    std::vector<uint32_t> idx(static_cast<std::size_t>(k));
    searchIndexed(reference, referenceCount, query, queryCount, dimensions, k, nullptr,
                  [&](int q, int n, const BestList::Entry* list) {
                      for (int j = 0; j < n; ++j) {
                          d[std::size_t(j)] = list[j].d;
                          idx[std::size_t(j)] = list[j].idx + 1; // 1-based
                      }
                      writeResult(q, queryCount, k, n, d.data(), idx.data(), distances, indices);
                  });
}

void knnIntIndexedRows(const int32_t* reference, int referenceCount, const int32_t* query, int queryCount,
                       int dimensions, int k, const KnnDistance* below, KnnDistance* distances,
                       uint32_t* indices) {
    if (k <= 0 || queryCount <= 0)
        return;
    searchIndexed(reference, referenceCount, query, queryCount, dimensions, k, below,
                  [&](int q, int n, const BestList::Entry* list) {
                      KnnDistance* d = distances + std::size_t(q) * std::size_t(k);
                      uint32_t* idx = indices + std::size_t(q) * std::size_t(k);
                      for (int j = 0; j < k; ++j) {
                          d[j] = j < n ? list[j].d : Far;
                          idx[j] = j < n ? list[j].idx + 1 : 0;
                      }
                  });
}
