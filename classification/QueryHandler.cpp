#include "QueryHandler.h"

#include <nanoflann.hpp>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

// nanoflann reads coordinates through this; the points live in the handler's own array.
struct PointCloud {
    const std::vector<QueryPoint>* points = nullptr;
    size_t kdtree_get_point_count() const { return points->size(); }
    double kdtree_get_pt(uint32_t i, size_t d) const {
        const GLVector3d& p = (*points)[i].position;
        return d == 0 ? p.x : d == 1 ? p.y : p.z;
    }
    template <class BBox> bool kdtree_get_bbox(BBox&) const { return false; }
};

using Tree =
    nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<double, PointCloud, double, uint32_t>,
                                        PointCloud, 3, uint32_t>;

struct Candidate {
    double d2;
    uint32_t index; // point number, the tie-breaker
    uint32_t slot;  // position in the handler's array
};
inline bool before(const Candidate& a, const Candidate& b) {
    return a.d2 < b.d2 || (a.d2 == b.d2 && a.index < b.index);
}

// Slack on distances that bound the search: rounding in the tree's incremental bounds or in a bound
// derived from an earlier query must never exclude a point at exactly the k-th distance (a tie, maybe at
// distance 0); the candidates themselves are compared exactly.
inline double loosened(double d2) {
    return d2 * (1.0 + 1e-9) + DBL_MIN;
}

// The k - 1 best other points by (squared distance, number). nanoflann offers a point only when its
// distance is below worstDist() and skips a subtree whose lower bound exceeds it. Offered points are
// buffered and, whenever the buffer has filled up, cut to the k - 1 best, which tightens the bound;
// that costs far less than keeping them sorted. Until k - 1 points are in, worstDist() is the caller's
// bound: a distance known to hold k - 1 other points.
class BestCandidates {
public:
    BestCandidates(std::vector<Candidate>& buffer, const std::vector<QueryPoint>& points, uint32_t self,
                   size_t capacity, double bound2)
        : buffer_(buffer), points_(points), self_(self), capacity_(capacity),
          limit_(capacity + std::max<size_t>(capacity, 32)), worst_(bound2) {
        buffer_.clear();
        buffer_.reserve(limit_);
    }
    bool full() const { return buffer_.size() >= capacity_; }
    double worstDist() const { return worst_; }
    bool addPoint(double d2, uint32_t slot) {
        const uint32_t index = points_[slot].index;
        if (index == self_ || !(d2 < worst_))
            return true;
        buffer_.push_back(Candidate{d2, index, slot});
        if (buffer_.size() == limit_)
            cut();
        return true;
    }
    // The k - 1 best (fewer when the data set has fewer), sorted when asked to. Returns their count.
    size_t finish(bool sorted) {
        if (buffer_.size() > capacity_)
            cut();
        if (sorted)
            std::sort(buffer_.begin(), buffer_.end(), before);
        return buffer_.size();
    }

private:
    void cut() {
        std::nth_element(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(capacity_ - 1), buffer_.end(),
                         before);
        buffer_.resize(capacity_);
        worst_ = std::min(worst_, loosened(buffer_[capacity_ - 1].d2));
    }

    std::vector<Candidate>& buffer_;
    const std::vector<QueryPoint>& points_;
    uint32_t self_;
    size_t capacity_, limit_;
    double worst_;
};

// The same kept sorted by insertion: cheaper than buffering when the result must be sorted anyway.
class SortedCandidates {
public:
    SortedCandidates(std::vector<Candidate>& best, const std::vector<QueryPoint>& points, uint32_t self,
                     size_t capacity, double bound2)
        : best_(best), points_(points), self_(self), capacity_(capacity), worst_(bound2) {
        best_.resize(capacity);
    }
    bool full() const { return count_ == capacity_; }
    double worstDist() const { return worst_; }
    bool addPoint(double d2, uint32_t slot) {
        const uint32_t index = points_[slot].index;
        if (index == self_ || !(d2 < worst_))
            return true;
        const Candidate c{d2, index, slot};
        size_t i = count_;
        if (i == capacity_) {
            if (!before(c, best_[i - 1]))
                return true;
            --i;
        } else {
            ++count_;
        }
        Candidate* b = best_.data();
        while (i > 0 && before(c, b[i - 1])) {
            b[i] = b[i - 1];
            --i;
        }
        b[i] = c;
        if (count_ == capacity_)
            worst_ = std::min(worst_, loosened(b[capacity_ - 1].d2));
        return true;
    }
    size_t finish(bool) {
        best_.resize(count_);
        return count_;
    }

private:
    std::vector<Candidate>& best_;
    const std::vector<QueryPoint>& points_;
    uint32_t self_;
    size_t capacity_, count_ = 0;
    double worst_;
};

// The previous query of this thread. Its k-th distance r bounds the next one's: the ball of radius r
// around the previous point holds k points, so a point at distance d from it has k - 1 others within
// d + r. Queries of a thread mostly follow their neighbours, and the bound spares the tree search the
// far points it would otherwise collect first.
struct LastQuery {
    uint64_t handler = 0; // Impl::id: a handler made where a destroyed one lay is another handler
    GLVector3d position{0, 0, 0};
    size_t others = 0; // k - 1 of that query, found in full
    double distance = 0;
};

uint64_t mix(uint64_t h, uint64_t word) {
    h = (h ^ word) * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 31);
}

template <typename T> uint64_t bitsOf(T v) {
    if constexpr (sizeof(T) == 8) {
        uint64_t b;
        std::memcpy(&b, &v, 8);
        return b;
    } else {
        uint32_t b;
        std::memcpy(&b, &v, 4);
        return b;
    }
}

} // namespace

std::atomic<uint64_t> nextHandlerId{1};

struct QueryHandler::Impl {
    const uint64_t id = nextHandlerId.fetch_add(1);
    std::vector<QueryPoint> points; // in the tree's leaf order once built
    std::vector<uint32_t> slotOf;   // point number -> position in `points`
    PointCloud cloud;
    std::unique_ptr<Tree> tree;
    DataIdentity identity;
};

QueryHandler::QueryHandler(const std::vector<GLVector3d>& positions, const std::vector<GLVector3f>& normals)
    : impl_(std::make_unique<Impl>()) {
    if (positions.size() != normals.size())
        throw std::invalid_argument("QueryHandler: " + std::to_string(positions.size()) + " positions but " +
                                    std::to_string(normals.size()) + " normals");
    if (positions.size() > size_t(std::numeric_limits<int32_t>::max()))
        throw std::invalid_argument("QueryHandler: " + std::to_string(positions.size()) +
                                    " points, more than the 2147483647 the classification can number");
    const uint32_t n = uint32_t(positions.size());
    Impl& m = *impl_;
    m.points.resize(n);
    uint64_t h = 0xCBF29CE484222325ull ^ n;
    for (uint32_t i = 0; i < n; ++i) {
        const GLVector3d& p = positions[i];
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z))
            throw std::invalid_argument("QueryHandler: point " + std::to_string(i) +
                                        " has a non-finite position");
        const double nx = normals[i].x, ny = normals[i].y, nz = normals[i].z;
        const double len = std::sqrt(nx * nx + ny * ny + nz * nz);
        GLVector3f unit{0.0f, 0.0f, 0.0f};
        if (len > 0 && std::isfinite(len))
            unit = {float(nx / len), float(ny / len), float(nz / len)};
        m.points[i] = QueryPoint{p, unit, i};
        h = mix(mix(mix(h, bitsOf(p.x)), bitsOf(p.y)), bitsOf(p.z));
        h = mix(mix(mix(h, bitsOf(unit.x)), bitsOf(unit.y)), bitsOf(unit.z));
    }
    m.identity = DataIdentity{n, h};

    m.cloud.points = &m.points;
    m.tree = std::make_unique<Tree>(3, m.cloud, nanoflann::KDTreeSingleIndexAdaptorParams(16));
    // Lay the points out in the order of the tree's leaves, so that a leaf's points are contiguous
    // and neighbouring leaves lie close in memory; the tree then addresses them by position.
    std::vector<QueryPoint> ordered(n);
    for (uint32_t i = 0; i < n; ++i) {
        ordered[i] = m.points[m.tree->vAcc[i]];
        m.tree->vAcc[i] = i;
    }
    m.points.swap(ordered);
    m.slotOf.resize(n);
    for (uint32_t i = 0; i < n; ++i)
        m.slotOf[m.points[i].index] = i;
}

QueryHandler::~QueryHandler() = default;

uint32_t QueryHandler::size() const {
    return uint32_t(impl_->points.size());
}

const QueryPoint& QueryHandler::point(uint32_t index) const {
    if (index >= impl_->slotOf.size())
        throw std::out_of_range("QueryHandler: no point " + std::to_string(index));
    return impl_->points[impl_->slotOf[index]];
}

uint32_t QueryHandler::pointAtRank(uint32_t rank) const {
    return impl_->points.at(rank).index;
}

const DataIdentity& QueryHandler::identity() const {
    return impl_->identity;
}

namespace {

thread_local std::vector<Candidate> candidates;
thread_local LastQuery last;

} // namespace

// The k - 1 nearest others of `self` into `candidates`, sorted when asked to. Returns how many there are.
size_t QueryHandler::search(const QueryPoint& self, size_t others, bool sorted) const {
    const Impl& m = *impl_;
    const double q[3] = {self.position.x, self.position.y, self.position.z};
    double bound2 = std::numeric_limits<double>::infinity();
    if (last.handler == m.id && last.others >= others) {
        const double dx = q[0] - last.position.x, dy = q[1] - last.position.y, dz = q[2] - last.position.z;
        const double bound = std::sqrt(dx * dx + dy * dy + dz * dz) + last.distance;
        bound2 = loosened(bound * bound) * (1.0 + 1e-9);
    }
    size_t found;
    for (;;) {
        if (sorted) {
            SortedCandidates best(candidates, m.points, self.index, others, bound2);
            m.tree->findNeighbors(best, q, nanoflann::SearchParams());
            found = best.finish(true);
        } else {
            BestCandidates best(candidates, m.points, self.index, others, bound2);
            m.tree->findNeighbors(best, q, nanoflann::SearchParams());
            found = best.finish(false);
        }
        if (found == others || std::isinf(bound2))
            break;
        bound2 = std::numeric_limits<double>::infinity(); // only if the bound was wrong
    }
    // The k-th distance: the largest of the selection.
    double kth2 = 0;
    for (size_t i = 0; i < found; ++i)
        kth2 = std::max(kth2, candidates[i].d2);
    last = LastQuery{m.id, self.position, found == others ? others : 0, std::sqrt(kth2)};
    return found;
}

void QueryHandler::nearest(uint32_t index, uint32_t k, std::vector<const QueryPoint*>& out) const {
    collect(index, k, out, true);
}

void QueryHandler::nearestSet(uint32_t index, uint32_t k, std::vector<const QueryPoint*>& out) const {
    collect(index, k, out, false);
}

void QueryHandler::collect(uint32_t index, uint32_t k, std::vector<const QueryPoint*>& out,
                           bool sorted) const {
    const Impl& m = *impl_;
    const QueryPoint& self = point(index);
    out.clear();
    if (k == 0)
        return;
    out.push_back(&self);
    const size_t others = std::min<size_t>(k - 1, m.points.size() - 1);
    if (others == 0)
        return;
    const size_t found = search(self, others, sorted);
    for (size_t i = 0; i < found; ++i)
        out.push_back(&m.points[candidates[i].slot]);
}
