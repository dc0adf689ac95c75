#include "NearestNeighbours.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr KnnDistance Far = UINT64_MAX;

// |d| < 2^32, so the square fits; unsigned wrap-around gives the right value for negative d too.
inline uint64_t square(int64_t d) { return uint64_t(d) * uint64_t(d); }

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

// The k smallest (distance, index) pairs seen so far, ascending. Ordering by the pair makes the result
// independent of the order in which candidates arrive, so it equals the brute force's insertion order
// (equal distances in reference order).
struct BestList {
    std::vector<KnnDistance> d;
    std::vector<uint32_t> idx; // 0-based while searching
    int k = 0, n = 0;

    explicit BestList(int k_) : d(std::size_t(k_)), idx(std::size_t(k_)), k(k_) {}
    bool full() const { return n == k; }
    KnnDistance lastDistance() const { return d[std::size_t(n - 1)]; }
    uint32_t lastIndex() const { return idx[std::size_t(n - 1)]; }

    void offer(KnnDistance dist, uint32_t i) {
        if (full() && (dist > lastDistance() || (dist == lastDistance() && i > lastIndex())))
            return;
        int p = full() ? k - 1 : n++;
        while (p > 0 && (d[p - 1] > dist || (d[p - 1] == dist && idx[p - 1] > i))) {
            d[p] = d[p - 1];
            idx[p] = idx[p - 1];
            --p;
        }
        d[p] = dist;
        idx[p] = i;
    }
};

// A uniform grid of square columns over the two axes of largest extent (x and y for survey data; a
// vertical structure gets a grid along z instead of one crowded column). Each cell lists its points in
// ascending index order.
class ColumnGrid {
public:
    ColumnGrid(const Coordinates& ref, int pointsPerCell) : ref_(ref) {
        int64_t lo[3] = {0, 0, 0}, hi[3] = {0, 0, 0};
        for (int d = 0; d < ref.dimensions; ++d) {
            const auto [mn, mx] = std::minmax_element(ref.axis[d], ref.axis[d] + ref.count);
            lo[d] = *mn, hi[d] = *mx;
        }
        int order[3] = {0, 1, 2};
        std::stable_sort(order, order + ref.dimensions,
                         [&](int a, int b) { return hi[a] - lo[a] > hi[b] - lo[b]; });
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
        order_.resize(std::size_t(ref.count));
        std::vector<uint32_t> fill(start_.begin(), start_.end() - 1);
        for (int i = 0; i < ref.count; ++i)
            order_[fill[cellOf[std::size_t(i)]]++] = uint32_t(i);
    }

    void search(const Coordinates& query, int q, BestList& best) const {
        const int64_t qa = query.at(a_, q), qb = query.at(b_, q);
        const int64_t cx = floorDiv(qa - min_[0], cell_), cy = floorDiv(qb - min_[1], cell_);
        // A query outside the grid starts at the first ring that reaches it.
        const int64_t r0 = std::max({int64_t(0), -cx, cx - (nx_ - 1), -cy, cy - (ny_ - 1)});
        for (int64_t r = r0;; ++r) {
            visitRing(query, q, qa, qb, cx, cy, r, best);
            const bool left = cx - r > 0, right = cx + r < nx_ - 1, down = cy - r > 0, up = cy + r < ny_ - 1;
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
            if (best.full() && best.lastDistance() < bound)
                return;
        }
    }

private:
    static int64_t floorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
    int64_t cellIndex(int64_t i, int64_t j) const { return j * nx_ + i; }

    void visitRing(const Coordinates& query, int q, int64_t qa, int64_t qb, int64_t cx, int64_t cy, int64_t r,
                   BestList& best) const {
        if (r == 0) {
            visitCell(query, q, qa, qb, cx, cy, best);
            return;
        }
        const int64_t i0 = std::max<int64_t>(0, cx - r), i1 = std::min(nx_ - 1, cx + r);
        for (int64_t j : {cy - r, cy + r})
            if (j >= 0 && j < ny_)
                for (int64_t i = i0; i <= i1; ++i)
                    visitCell(query, q, qa, qb, i, j, best);
        const int64_t j0 = std::max<int64_t>(0, cy - r + 1), j1 = std::min(ny_ - 1, cy + r - 1);
        for (int64_t i : {cx - r, cx + r})
            if (i >= 0 && i < nx_)
                for (int64_t j = j0; j <= j1; ++j)
                    visitCell(query, q, qa, qb, i, j, best);
    }

    void visitCell(const Coordinates& query, int q, int64_t qa, int64_t qb, int64_t i, int64_t j,
                   BestList& best) const {
        const int64_t c = cellIndex(i, j);
        const uint32_t begin = start_[std::size_t(c)], end = start_[std::size_t(c) + 1];
        if (begin == end)
            return;
        const int64_t a0 = min_[0] + i * cell_, b0 = min_[1] + j * cell_;
        const int64_t ga = std::max<int64_t>({0, a0 - qa, qa - (a0 + cell_ - 1)});
        const int64_t gb = std::max<int64_t>({0, b0 - qb, qb - (b0 + cell_ - 1)});
        const KnnDistance bound = addSaturated(square(ga), square(gb));
        for (uint32_t p = begin; p < end; ++p) {
            const uint32_t point = order_[p];
            // Indices rise within the cell: once the bound reaches the last kept distance, no later
            // point of the cell can beat the last entry (this keeps identical points near O(n k)).
            if (best.full() &&
                (bound > best.lastDistance() || (bound == best.lastDistance() && point > best.lastIndex())))
                return;
            best.offer(distance(query, q, ref_, int(point)), point);
        }
    }

    const Coordinates& ref_;
    int a_ = 0, b_ = 1;
    int64_t min_[2] = {0, 0};
    int64_t cell_ = 1, nx_ = 1, ny_ = 1;
    std::vector<uint32_t> start_; // per cell, into order_
    std::vector<uint32_t> order_; // point indices grouped by cell
};

} // namespace

void knnIntNoCuda(const int32_t* reference, int referenceCount, const int32_t* query, int queryCount, int dimensions,
                  int k, KnnDistance* distances, uint32_t* indices) {
    if (k <= 0 || queryCount <= 0)
        return;
    const Coordinates ref(reference, referenceCount, dimensions), qry(query, queryCount, dimensions);
    std::vector<KnnDistance> d(static_cast<std::size_t>(k));
    std::vector<uint32_t> idx(static_cast<std::size_t>(k));
    for (int q = 0; q < queryCount; ++q) {
        int n = 0;
        for (int r = 0; r < referenceCount; ++r) {
            const KnnDistance dist = distance(qry, q, ref, r);
            if (n == k && dist >= d[std::size_t(k - 1)])
                continue;
            // Before the first kept entry that is strictly greater.
            int p = n < k ? n++ : k - 1;
            while (p > 0 && d[std::size_t(p - 1)] > dist) {
                d[std::size_t(p)] = d[std::size_t(p - 1)];
                idx[std::size_t(p)] = idx[std::size_t(p - 1)];
                --p;
            }
            d[std::size_t(p)] = dist;
            idx[std::size_t(p)] = uint32_t(r + 1);
        }
        writeResult(q, queryCount, k, n, d.data(), idx.data(), distances, indices);
    }
}

void knnIntIndexed(const int32_t* reference, int referenceCount, const int32_t* query, int queryCount,
                   int dimensions, int k, KnnDistance* distances, uint32_t* indices) {
    if (k <= 0 || queryCount <= 0)
        return;
    const Coordinates qry(query, queryCount, dimensions);
    BestList best(k);
    if (referenceCount <= 0) {
        for (int q = 0; q < queryCount; ++q)
            writeResult(q, queryCount, k, 0, best.d.data(), best.idx.data(), distances, indices);
        return;
    }
    const Coordinates ref(reference, referenceCount, dimensions);
    // About a quarter of a list per cell: the first 3 x 3 block usually holds the answer.
    const ColumnGrid grid(ref, std::clamp(k / 4, 8, 32));
    for (int q = 0; q < queryCount; ++q) {
        best.n = 0;
        grid.search(qry, q, best);
        for (int j = 0; j < best.n; ++j)
            ++best.idx[std::size_t(j)]; // 1-based
        writeResult(q, queryCount, k, best.n, best.d.data(), best.idx.data(), distances, indices);
    }
}
