#include "PointNormals.h"

#include <Eigen/Dense>
#include <nanoflann.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

constexpr size_t kBlockPoints = 1 << 19;
constexpr double kGridPerCell = 8; // points per cell of the neighbour grid, on average
constexpr int64_t kBatchRings = 1; // rings of cells gathered around each cell for its points' searches

// The finite points only (NaN or infinite coordinates would corrupt the trees' bounding boxes), compacted
// in place. They are split into blocks of about equal count by alternating median cuts in x and y, each
// block gets its own tree (built in parallel), and each block's points are put in its tree's leaf order,
// which makes neighbouring points neighbours in memory and queries in that order cache-friendly.
struct FiniteCloud {
    std::vector<double> xyz;     // 3 per point
    std::vector<uint32_t> input; // each point's index in the input
};

// One block of the cloud, [first, first + count), as a tree's data set.
struct Block {
    FiniteCloud* cloud = nullptr;
    size_t first = 0, count = 0;
    double lo[3] = {}, hi[3] = {}; // bounding box

    size_t kdtree_get_point_count() const { return count; }
    double kdtree_get_pt(size_t i, size_t dim) const { return cloud->xyz[3 * (first + i) + dim]; }
    template <class BBox> bool kdtree_get_bbox(BBox&) const { return false; }

    // Squared distance from q to the bounding box.
    double distance2(const double* q) const {
        double d2 = 0;
        for (int a = 0; a < 3; ++a) {
            const double d = q[a] < lo[a] ? lo[a] - q[a] : q[a] > hi[a] ? q[a] - hi[a] : 0.0;
            d2 += d * d;
        }
        return d2;
    }
};

using Tree =
    nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<double, Block>, Block, 3, size_t>;

// Applies the gather permutation "position first + j takes point first + perm[j]" in place, walking each
// cycle once; perm[k] = k marks a position as done (and is the identity the trees need afterwards).
template <typename Index> void permute(FiniteCloud& cloud, size_t first, std::vector<Index>& perm) {
    for (size_t start = 0; start < perm.size(); ++start) {
        if (perm[start] == start)
            continue;
        double held[3];
        std::copy_n(&cloud.xyz[3 * (first + start)], 3, held);
        const uint32_t heldInput = cloud.input[first + start];
        size_t k = start;
        for (;;) {
            const size_t from = perm[k];
            perm[k] = Index(k);
            if (from == start) {
                std::copy_n(held, 3, &cloud.xyz[3 * (first + k)]);
                cloud.input[first + k] = heldInput;
                break;
            }
            std::copy_n(&cloud.xyz[3 * (first + from)], 3, &cloud.xyz[3 * (first + k)]);
            cloud.input[first + k] = cloud.input[first + from];
            k = from;
        }
    }
}

// Splits the cloud into 2^depth blocks of about equal count (median cuts, x first), reordering it so that
// each block is contiguous. Ties in a coordinate are broken by input index, so the split is a function of
// the points alone.
std::vector<Block> splitIntoBlocks(FiniteCloud& cloud, int depth) {
    const size_t m = cloud.input.size();
    std::vector<size_t> order(m);
    for (size_t i = 0; i < m; ++i)
        order[i] = i;
    struct Range {
        size_t first, end;
        int axis;
    };
    std::vector<Range> ranges{{0, m, 0}};
    for (int level = 0; level < depth; ++level) {
        std::vector<Range> next;
        for (const Range& r : ranges) {
            const size_t mid = r.first + (r.end - r.first) / 2;
            const int a = r.axis;
            std::nth_element(order.begin() + std::ptrdiff_t(r.first), order.begin() + std::ptrdiff_t(mid),
                             order.begin() + std::ptrdiff_t(r.end), [&](size_t p, size_t q) {
                                 const double u = cloud.xyz[3 * p + size_t(a)],
                                              v = cloud.xyz[3 * q + size_t(a)];
                                 return u < v || (u == v && cloud.input[p] < cloud.input[q]);
                             });
            next.push_back({r.first, mid, 1 - a});
            next.push_back({mid, r.end, 1 - a});
        }
        ranges.swap(next);
    }
    permute(cloud, 0, order);
    std::vector<Block> blocks;
    for (const Range& r : ranges) {
        if (r.first == r.end)
            continue;
        Block b;
        b.cloud = &cloud;
        b.first = r.first;
        b.count = r.end - r.first;
        for (int a = 0; a < 3; ++a) {
            b.lo[a] = std::numeric_limits<double>::infinity();
            b.hi[a] = -std::numeric_limits<double>::infinity();
        }
        for (size_t i = r.first; i < r.end; ++i)
            for (int a = 0; a < 3; ++a) {
                b.lo[a] = std::min(b.lo[a], cloud.xyz[3 * i + size_t(a)]);
                b.hi[a] = std::max(b.hi[a], cloud.xyz[3 * i + size_t(a)]);
            }
        blocks.push_back(b);
    }
    return blocks;
}

// How many of d[0, m) are below v and how many equal it; d[m] must exist (it is read when m is odd) and
// be neither.
inline void countBelowAndEqual(const double* d, size_t m, double v, int64_t& below, int64_t& equal) {
#ifdef __SSE2__
    const __m128d vv = _mm_set1_pd(v);
    __m128i b = _mm_setzero_si128(), e = _mm_setzero_si128();
    for (size_t i = 0; i < m; i += 2) {
        const __m128d x = _mm_loadu_pd(d + i);
        b = _mm_sub_epi64(b, _mm_castpd_si128(_mm_cmplt_pd(x, vv))); // a true lane is all ones, -1
        e = _mm_sub_epi64(e, _mm_castpd_si128(_mm_cmpeq_pd(x, vv)));
    }
    int64_t lanes[4];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes + 2), e);
    below = lanes[0] + lanes[1];
    equal = lanes[2] + lanes[3];
#else
    below = equal = 0;
    for (size_t i = 0; i < m; ++i) {
        below += d[i] < v;
        equal += d[i] == v;
    }
#endif
}

// k best by (distance, input index): the same set a brute-force search over the input picks, whatever
// order the tree visits points in. nanoflann only offers points strictly closer than worstDist(), so
// that bound is widened a little to let equal distances through; the exact comparison happens here.
class TieOrderedKnn {
public:
    using DistanceType = double;
    using IndexType = size_t;

    TieOrderedKnn(size_t capacity, size_t* indices, double* dists, size_t* inputs, const uint32_t* input)
        : capacity_(capacity), indices_(indices), dists_(dists), inputs_(inputs), input_(input) {}

    size_t capacity() const { return capacity_; }
    bool full() const { return count_ == capacity_; }

    bool addPoint(double dist, size_t index) {
        const size_t in = input_[index];
        if (full() && !before(dist, in, capacity_ - 1))
            return true;
        size_t i = full() ? capacity_ - 1 : count_++;
        for (; i > 0 && before(dist, in, i - 1); --i) {
            dists_[i] = dists_[i - 1];
            indices_[i] = indices_[i - 1];
            inputs_[i] = inputs_[i - 1];
        }
        dists_[i] = dist;
        indices_[i] = index;
        inputs_[i] = in;
        if (full())
            updateWorst();
        return true;
    }

    // Fills a found slot directly: slot i must receive the i-th nearest; setFull() once all are set.
    void set(size_t slot, double dist, size_t index) {
        dists_[slot] = dist;
        indices_[slot] = index;
        inputs_[slot] = input_[index];
    }
    void setFull() {
        count_ = capacity_;
        updateWorst();
    }

    double worstDist() const { return worst_; }
    // The k-th distance found so far (infinity until full).
    double kthDist() const {
        return full() ? dists_[capacity_ - 1] : std::numeric_limits<double>::infinity();
    }

private:
    // Strictly above the k-th distance w, so that tree searches offer equal distances too (w = 0 included).
    void updateWorst() {
        const double w = dists_[capacity_ - 1];
        worst_ = w + w * 1e-12 + std::numeric_limits<double>::denorm_min();
    }
    bool before(double dist, size_t in, size_t slot) const {
        return dist < dists_[slot] || (dist == dists_[slot] && in < inputs_[slot]);
    }

    size_t capacity_;
    size_t count_ = 0;
    size_t* indices_;
    double* dists_;
    size_t* inputs_; // the input index of each found point
    const uint32_t* input_;
    double worst_ = std::numeric_limits<double>::infinity();
};

// Exact k nearest neighbours over square cells in x and y, the usual case for airborne data: the points
// are reordered cell by cell, and a search visits rings of cells around the query's until no point of the
// next ring can be nearer than the k-th found (the xy gap bounds the 3-d distance). Candidates are read
// from contiguous memory, which makes this several times faster than a tree search.
class GridSearch {
public:
    // False, with the cloud untouched, when the points are too unevenly spread in x and y for cells to pay
    // off (the trees take over then).
    bool build(FiniteCloud& cloud, bool always) {
        const size_t m = cloud.input.size();
        if ((m < 64 && !always) || m >= UINT32_MAX)
            return false;
        double lo[2] = {INFINITY, INFINITY}, hi[2] = {-INFINITY, -INFINITY};
        for (size_t i = 0; i < m; ++i)
            for (int a = 0; a < 2; ++a) {
                lo[a] = std::min(lo[a], cloud.xyz[3 * i + size_t(a)]);
                hi[a] = std::max(hi[a], cloud.xyz[3 * i + size_t(a)]);
            }
        const double w = hi[0] - lo[0], h = hi[1] - lo[1];
        if (!std::isfinite(w) || !std::isfinite(h) || (!(w > 0 && h > 0) && !always))
            return false;
        ox_ = lo[0];
        oy_ = lo[1];
        size_ = std::sqrt(w * h * kGridPerCell / double(m));
        if (!(size_ > 0) || !std::isfinite(size_))
            size_ = std::max({w, h, 1.0}); // a line or a single spot: one row of cells, or one cell
        if (!(size_ > 0) || !std::isfinite(size_))
            return false;
        for (;;) {
            gx_ = uint32_t(std::clamp(std::ceil(w / size_), 1.0, 1e6));
            gy_ = uint32_t(std::clamp(std::ceil(h / size_), 1.0, 1e6));
            if (double(gx_) * gy_ <= 4.0 * double(m) + 1024)
                break;
            if (!always)
                return false;
            size_ *= 2;
        }
        const size_t cells = size_t(gx_) * gy_;
        std::vector<uint32_t> cellOf(m);
        start_.assign(cells + 1, 0);
        for (size_t i = 0; i < m; ++i) {
            cellOf[i] = cell(&cloud.xyz[3 * i]);
            ++start_[cellOf[i] + 1];
        }
        // Candidates a search reads in its own cell, averaged over the points: too many means clusters the
        // cells cannot resolve.
        double own = 0;
        for (size_t c = 1; c <= cells; ++c)
            own += double(start_[c]) * double(start_[c]);
        if (own / double(m) > 16 * kGridPerCell && !always) {
            start_.clear();
            return false;
        }
        for (size_t c = 0; c < cells; ++c)
            start_[c + 1] += start_[c];
        // Scattered into new arrays: the writes are independent, where an in-place permutation would chase
        // one cache miss after another.
        {
            std::vector<double> xyz(3 * m);
            std::vector<uint32_t> input(m);
            std::vector<uint32_t> next(start_.begin(), start_.end() - 1);
            for (size_t i = 0; i < m; ++i) {
                const size_t to = next[cellOf[i]]++;
                std::copy_n(&cloud.xyz[3 * i], 3, &xyz[3 * to]);
                input[to] = cloud.input[i];
            }
            cellOf = {};
            cloud.xyz.swap(xyz);
            cloud.input.swap(input);
        }
        cloud_ = &cloud;
        return true;
    }

    // The candidates of the cells within kBatchRings of one cell, gathered once for all the points of that
    // cell (they come in cell order): a query then reads one contiguous array, and only when its k-th
    // neighbour lies farther than the gathered region's edge does it go on ring by ring.
    struct Batch {
        uint32_t cell = UINT32_MAX;
        std::vector<double> x, y, z, d;
        std::vector<uint32_t> at, sel; // cloud positions; scratch
        std::vector<double> cd;        // scratch
        std::vector<int64_t> rank;     // scratch
        double guess = INFINITY;
        double lo[2] = {}, hi[2] = {}; // the region; infinite towards the grid's borders
    };

    void search(const double* q, TieOrderedKnn& result, Batch& batch) const {
        const uint32_t c = cell(q);
        if (c != batch.cell)
            gather(c, batch);
        const size_t n = batch.at.size();
        double* d = batch.d.data();
        const double *x = batch.x.data(), *y = batch.y.data(), *z = batch.z.data();
        for (size_t j = 0; j < n; ++j) {
            const double dx = q[0] - x[j], dy = q[1] - y[j], dz = q[2] - z[j];
            d[j] = dx * dx + dy * dy + dz * dz; // the same sum, in the same order, as the ring search
        }
        // A bound that lets through a few more than k candidates, found by branch-free counting from the
        // last query's k-th distance (neighbouring points have similar ones); the candidates within it
        // are then ranked by counting rather than sorted, which leaves no branch to mispredict.
        const size_t k = result.capacity();
        double* cd = batch.cd.data();
        uint32_t* cj = batch.sel.data();
        size_t m = 0;
        for (double t = batch.guess;; t = t > 0 ? t * 1.5 : INFINITY) {
            m = 0;
            for (size_t j = 0; j < n; ++j) {
                cj[m] = uint32_t(j);
                cd[m] = d[j];
                m += d[j] <= t;
            }
            if (m >= k || m == n)
                break;
        }
        // Ranking costs m^2: a crowd of candidates (a dense cluster, repeated points) goes through the
        // ordered insertion instead, which costs m * k at worst.
        if (m >= k && m <= 4 * k) {
            int64_t* rank = batch.rank.data();
            bool ties = false;
            cd[m] = INFINITY; // pads the pairs below; no distance equals it
            for (size_t j = 0; j < m; ++j) {
                int64_t below = 0, equal = 0;
                countBelowAndEqual(cd, m, cd[j], below, equal);
                rank[j] = below;
                ties |= equal > 1;
            }
            if (ties) // equal distances rank by input index
                for (size_t j = 0; j < m; ++j)
                    for (size_t i = 0; i < m; ++i)
                        rank[j] +=
                            cd[i] == cd[j] && cloud_->input[batch.at[cj[i]]] < cloud_->input[batch.at[cj[j]]];
            for (size_t j = 0; j < m; ++j)
                if (rank[j] < int64_t(k))
                    result.set(size_t(rank[j]), cd[j], batch.at[cj[j]]);
            result.setFull();
            batch.guess = result.kthDist() * 1.1;
        } else {
            double bound = INFINITY;
            for (size_t s = 0; s < m; ++s)
                if (cd[s] <= bound) {
                    result.addPoint(cd[s], batch.at[cj[s]]);
                    bound = result.kthDist();
                }
            if (result.full())
                batch.guess = bound * 1.1;
        }
        const double bound = result.kthDist();
        const double gap =
            std::min({q[0] - batch.lo[0], batch.hi[0] - q[0], q[1] - batch.lo[1], batch.hi[1] - q[1]}) -
            slack(q);
        if (result.full() && gap > 0 && gap * gap > bound)
            return;
        search(q, result, kBatchRings + 1);
    }

    // Ring by ring from ring `first` on; the rings inside it have been searched already.
    void search(const double* q, TieOrderedKnn& result, int64_t first = 0) const {
        const uint32_t c = cell(q);
        const int64_t cx = c % gx_, cy = c / gx_;
        const double slack = this->slack(q);
        auto visit = [&](int64_t x, int64_t y) {
            if (x < 0 || y < 0 || x >= int64_t(gx_) || y >= int64_t(gy_))
                return;
            if (result.full()) {
                // A cell wholly farther than the k-th found cannot hold a nearer point.
                const double cx0 = ox_ + double(x) * size_, cy0 = oy_ + double(y) * size_;
                const double dx = std::max({0.0, cx0 - q[0] - slack, q[0] - (cx0 + size_) - slack});
                const double dy = std::max({0.0, cy0 - q[1] - slack, q[1] - (cy0 + size_) - slack});
                if (dx * dx + dy * dy > result.worstDist())
                    return;
            }
            const size_t k = size_t(y) * gx_ + size_t(x);
            for (uint32_t i = start_[k]; i < start_[k + 1]; ++i) {
                const double* p = &cloud_->xyz[3 * size_t(i)];
                double d = 0;
                for (int a = 0; a < 3; ++a) {
                    const double diff = q[a] - p[a];
                    d += diff * diff;
                }
                if (d < result.worstDist())
                    result.addPoint(d, i);
            }
        };
        for (int64_t r = 0;; ++r) {
            const int64_t x0 = cx - r, x1 = cx + r, y0 = cy - r, y1 = cy + r;
            if (r < first) {
            } else if (r == 0) {
                visit(cx, cy);
            } else {
                for (int64_t x = std::max<int64_t>(x0, 0); x <= std::min<int64_t>(x1, gx_ - 1); ++x) {
                    visit(x, y0);
                    visit(x, y1);
                }
                for (int64_t y = std::max<int64_t>(y0 + 1, 0); y <= std::min<int64_t>(y1 - 1, gy_ - 1); ++y) {
                    visit(x0, y);
                    visit(x1, y);
                }
            }
            if (x0 <= 0 && y0 <= 0 && x1 >= gx_ - 1 && y1 >= gy_ - 1)
                return; // every cell visited
            if (!result.full())
                continue;
            // Nearest possible point of the next ring, through the sides that have cells beyond them.
            double gap = INFINITY;
            if (x0 > 0)
                gap = std::min(gap, q[0] - (ox_ + double(x0) * size_));
            if (x1 < gx_ - 1)
                gap = std::min(gap, ox_ + double(x1 + 1) * size_ - q[0]);
            if (y0 > 0)
                gap = std::min(gap, q[1] - (oy_ + double(y0) * size_));
            if (y1 < gy_ - 1)
                gap = std::min(gap, oy_ + double(y1 + 1) * size_ - q[1]);
            gap -= slack;
            if (gap > 0 && gap * gap > result.worstDist())
                return;
        }
    }

private:
    // Rounding may put a point a hair outside its cell's nominal bounds: distance bounds keep this margin.
    double slack(const double* q) const { return 1e-9 * (std::fabs(q[0]) + std::fabs(q[1]) + size_); }

    void gather(uint32_t c, Batch& b) const {
        b.cell = c;
        b.x.clear();
        b.y.clear();
        b.z.clear();
        b.at.clear();
        const int64_t cx = c % gx_, cy = c / gx_;
        const int64_t x0 = std::max<int64_t>(cx - kBatchRings, 0),
                      x1 = std::min<int64_t>(cx + kBatchRings, gx_ - 1);
        const int64_t y0 = std::max<int64_t>(cy - kBatchRings, 0),
                      y1 = std::min<int64_t>(cy + kBatchRings, gy_ - 1);
        auto add = [&](int64_t x, int64_t y) {
            const size_t k = size_t(y) * gx_ + size_t(x);
            for (uint32_t i = start_[k]; i < start_[k + 1]; ++i) {
                const double* p = &cloud_->xyz[3 * size_t(i)];
                b.x.push_back(p[0]);
                b.y.push_back(p[1]);
                b.z.push_back(p[2]);
                b.at.push_back(i);
            }
        };
        add(cx, cy); // the own cell first: it sets a tight bound early
        for (int64_t y = y0; y <= y1; ++y)
            for (int64_t x = x0; x <= x1; ++x)
                if (x != cx || y != cy)
                    add(x, y);
        b.d.resize(b.at.size());
        b.sel.resize(b.at.size() + 1);
        b.cd.resize(b.at.size() + 1);
        b.rank.resize(b.at.size() + 1);
        b.lo[0] = x0 > 0 ? ox_ + double(x0) * size_ : -INFINITY;
        b.hi[0] = x1 < gx_ - 1 ? ox_ + double(x1 + 1) * size_ : INFINITY;
        b.lo[1] = y0 > 0 ? oy_ + double(y0) * size_ : -INFINITY;
        b.hi[1] = y1 < gy_ - 1 ? oy_ + double(y1 + 1) * size_ : INFINITY;
    }

    uint32_t cell(const double* p) const {
        const double fx = std::floor((p[0] - ox_) / size_), fy = std::floor((p[1] - oy_) / size_);
        const uint32_t x = fx < 0 ? 0 : fx >= double(gx_ - 1) ? gx_ - 1 : uint32_t(fx);
        const uint32_t y = fy < 0 ? 0 : fy >= double(gy_ - 1) ? gy_ - 1 : uint32_t(fy);
        return y * gx_ + x;
    }

    const FiniteCloud* cloud_ = nullptr;
    double ox_ = 0, oy_ = 0, size_ = 1;
    uint32_t gx_ = 1, gy_ = 1;
    std::vector<uint32_t> start_;
};

// Feeds a block tree's local indices into the shared result as cloud positions.
struct BlockResult {
    TieOrderedKnn& result;
    size_t first;
    double worstDist() const { return result.worstDist(); }
    bool full() const { return result.full(); }
    bool addPoint(double dist, size_t index) { return result.addPoint(dist, first + index); }
};

void setFallback(float* out) {
    out[0] = 0.0f;
    out[1] = 0.0f;
    out[2] = 1.0f;
}

// Orients n (z >= 0; a horizontal normal by its first non-zero component) and stores it; false when it
// is not finite.
bool orientAndStore(double n[3], float* out) {
    // Rounding leaves walls with a z of about 1e-17 of either sign; snapping such components to 0 lets
    // the first-non-zero-component rule orient them consistently.
    for (int d = 0; d < 3; ++d) {
        if (!std::isfinite(n[d]))
            return false;
        if (std::abs(n[d]) <= 1e-12)
            n[d] = 0;
    }
    const bool flip = n[2] < 0 || (n[2] == 0 && (n[0] < 0 || (n[0] == 0 && n[1] < 0)));
    for (int d = 0; d < 3; ++d)
        out[d] = float(flip ? -n[d] : n[d]) + 0.0f; // + 0 turns -0 into +0
    return true;
}

// The general solver, for neighbourhoods whose two smallest eigenvalues are close (lines, blobs): there
// the closed form below loses the smaller eigenvector.
bool iterativeNormal(const double c[6], float* out) {
    Eigen::Matrix3d cov;
    cov << c[0], c[1], c[2], c[1], c[3], c[4], c[2], c[4], c[5];
    Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(cov);
    if (solver.info() != Eigen::Success)
        return false;
    const Eigen::Vector3d& ev = solver.eigenvalues(); // ascending
    // A second eigenvalue at rounding level means the points lie on a line (or coincide).
    if (!(ev(2) > 0) || !(ev(1) > ev(2) * 1e-12))
        return false;
    Eigen::Vector3d v = solver.eigenvectors().col(0).normalized();
    double n[3] = {v(0), v(1), v(2)};
    return orientAndStore(n, out);
}

// Principal component of the neighbourhood; false when it does not define a plane.
bool planeNormal(const FiniteCloud& cloud, const double* query, const size_t* neighbours, size_t k,
                 std::vector<double>& offsets, float* out) {
    // Offsets from the query point first: with UTM-sized coordinates, squaring them directly would
    // lose the centimetres that define the plane.
    offsets.resize(3 * k);
    double mean[3] = {0, 0, 0};
    for (size_t j = 0; j < k; ++j) {
        const double* p = &cloud.xyz[3 * neighbours[j]];
        for (int a = 0; a < 3; ++a) {
            offsets[3 * j + size_t(a)] = p[a] - query[a];
            mean[a] += offsets[3 * j + size_t(a)];
        }
    }
    double scale = 0;
    for (int a = 0; a < 3; ++a)
        mean[a] /= double(k);
    for (size_t j = 0; j < k; ++j)
        for (int a = 0; a < 3; ++a) {
            offsets[3 * j + size_t(a)] -= mean[a];
            scale = std::max(scale, std::abs(offsets[3 * j + size_t(a)]));
        }
    // Scaled to unit extent so neither tiny nor huge neighbourhoods under- or overflow when squared.
    if (!(scale > 0) || !std::isfinite(scale))
        return false;
    double c[6] = {0, 0, 0, 0, 0, 0}; // xx xy xz yy yz zz
    const double inv = 1 / scale;
    for (size_t j = 0; j < k; ++j) {
        const double x = offsets[3 * j] * inv, y = offsets[3 * j + 1] * inv, z = offsets[3 * j + 2] * inv;
        c[0] += x * x;
        c[1] += x * y;
        c[2] += x * z;
        c[3] += y * y;
        c[4] += y * z;
        c[5] += z * z;
    }
    // Closed form: the eigenvalues of B = (C - qI) / p are 2cos(phi + 2 pi j / 3) with cos(3 phi) = det(B)
    // / 2. The smallest one is exact to rounding even where the two larger ones coincide (an evenly sampled
    // plane), and its eigenvector is the cross product of two rows of C - lambda I.
    const double q = (c[0] + c[3] + c[5]) / 3;
    const double b00 = c[0] - q, b11 = c[3] - q, b22 = c[5] - q;
    const double p2 = (b00 * b00 + b11 * b11 + b22 * b22 + 2 * (c[1] * c[1] + c[2] * c[2] + c[4] * c[4])) / 6;
    if (!(p2 > 0))
        return iterativeNormal(c, out);
    const double pp = std::sqrt(p2);
    const double det = b00 * (b11 * b22 - c[4] * c[4]) - c[1] * (c[1] * b22 - c[4] * c[2]) +
                       c[2] * (c[1] * c[4] - b11 * c[2]);
    const double half = std::clamp(det / (2 * p2 * pp), -1.0, 1.0);
    const double phi = std::acos(half) / 3;
    const double beta0 = 2 * std::cos(phi + 2 * M_PI / 3), beta2 = 2 * std::cos(phi);
    const double beta1 = -(beta0 + beta2);
    if (beta1 - beta0 < 1e-3 * (beta2 - beta0))
        return iterativeNormal(c, out);
    const double lambda = q + pp * beta0;
    const double r0[3] = {c[0] - lambda, c[1], c[2]}, r1[3] = {c[1], c[3] - lambda, c[4]},
                 r2[3] = {c[2], c[4], c[5] - lambda};
    auto cross = [](const double* u, const double* v, double* w) {
        w[0] = u[1] * v[2] - u[2] * v[1];
        w[1] = u[2] * v[0] - u[0] * v[2];
        w[2] = u[0] * v[1] - u[1] * v[0];
        return w[0] * w[0] + w[1] * w[1] + w[2] * w[2];
    };
    double w[3][3];
    const double l01 = cross(r0, r1, w[0]), l02 = cross(r0, r2, w[1]), l12 = cross(r1, r2, w[2]);
    const int best = l01 >= l02 && l01 >= l12 ? 0 : l02 >= l12 ? 1 : 2;
    const double len2 = std::max({l01, l02, l12});
    if (!(len2 > 0))
        return iterativeNormal(c, out);
    const double unit = 1 / std::sqrt(len2);
    double n[3] = {w[best][0] * unit, w[best][1] * unit, w[best][2] * unit};
    return orientAndStore(n, out);
}

} // namespace

void computeNormals(const double* xyz, size_t n, int k, float* normals, unsigned threads,
                    const std::function<void(size_t done, size_t total)>& progress) {
    computeNormals(std::vector<double>(xyz, xyz + 3 * n), k, normals, threads, progress);
}

void computeNormals(std::vector<double>&& xyz, int k, float* normals, unsigned threads,
                    const std::function<void(size_t done, size_t total)>& progress, NeighbourSearch search,
                    double* reach2, const uint8_t* only) {
    if (k < 3)
        throw std::invalid_argument("computeNormals: k must be at least 3, got " + std::to_string(k));
    const size_t n = xyz.size() / 3;
    if (n == 0)
        return;
    if (n > UINT32_MAX)
        throw std::invalid_argument("computeNormals: more than 4294967295 points");

    // The finite points, compacted in place in the caller's array.
    FiniteCloud cloud;
    cloud.xyz = std::move(xyz);
    cloud.input.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const double* p = &cloud.xyz[3 * i];
        if (std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2])) {
            const size_t j = cloud.input.size();
            if (j != i)
                std::copy_n(p, 3, &cloud.xyz[3 * j]);
            cloud.input.push_back(uint32_t(i));
        } else {
            setFallback(normals + 3 * i);
            if (reach2)
                reach2[i] = std::numeric_limits<double>::infinity();
        }
    }
    cloud.xyz.resize(3 * cloud.input.size());
    const size_t kk = size_t(k);
    if (cloud.input.size() < kk) {
        for (size_t i : cloud.input) {
            setFallback(normals + 3 * i);
            if (reach2)
                reach2[i] = std::numeric_limits<double>::infinity();
        }
        if (progress)
            progress(n, n);
        return;
    }

    const size_t m = cloud.input.size();
    const unsigned wanted = threads ? threads : std::max(1u, std::thread::hardware_concurrency());

    GridSearch grid;
    const bool useGrid =
        search != NeighbourSearch::Trees && grid.build(cloud, search == NeighbourSearch::Cells);
    // Otherwise: at least one block per thread, and blocks small enough for their trees to stay in cache. The
    // search is exact whatever the split: blocks whose box is nearer than the k-th neighbour so far are
    // searched too.
    int depth = 0;
    while (depth < 16 && ((size_t(1) << depth) < wanted || (m >> depth) > kBlockPoints))
        ++depth;
    std::vector<Block> blocks;
    if (!useGrid)
        blocks = splitIntoBlocks(cloud, depth);
    // For each block, the others by the squared gap between their boxes: a lower bound of the distance
    // from any point of the block to the other block's points.
    std::vector<std::vector<std::pair<double, size_t>>> nearby(blocks.size());
    for (size_t b = 0; b < blocks.size(); ++b) {
        for (size_t o = 0; o < blocks.size(); ++o) {
            if (o == b)
                continue;
            double gap2 = 0;
            for (int a = 0; a < 3; ++a) {
                const double d =
                    std::max({0.0, blocks[o].lo[a] - blocks[b].hi[a], blocks[b].lo[a] - blocks[o].hi[a]});
                gap2 += d * d;
            }
            nearby[b].push_back({gap2, o});
        }
        std::sort(nearby[b].begin(), nearby[b].end());
    }
    std::vector<std::unique_ptr<Tree>> trees(blocks.size());
    {
        std::atomic<size_t> nextBlock{0};
        std::mutex buildError;
        std::exception_ptr failure;
        auto build = [&] {
            for (size_t b; (b = nextBlock++) < blocks.size();) {
                try {
                    trees[b] =
                        std::make_unique<Tree>(3, blocks[b], nanoflann::KDTreeSingleIndexAdaptorParams(16));
                    permute(cloud, blocks[b].first, trees[b]->vAcc); // the block's points in leaf order
                } catch (...) {
                    std::lock_guard lock(buildError);
                    if (!failure)
                        failure = std::current_exception();
                    nextBlock = blocks.size();
                }
            }
        };
        std::vector<std::jthread> builders;
        for (size_t w = 1; w < std::min<size_t>(wanted, blocks.size()); ++w)
            builders.emplace_back(build);
        build();
        builders.clear(); // joins
        if (failure)
            std::rethrow_exception(failure);
    }

    // Chunks claimed dynamically balance the load; each point's result depends only on the point.
    const size_t chunk = std::clamp<size_t>(m / (size_t(wanted) * 16), 64, 8192);
    const size_t chunks = (m + chunk - 1) / chunk;
    const size_t workers = std::min<size_t>(wanted, chunks);

    std::atomic<size_t> nextChunk{0};
    std::atomic<size_t> done{0};
    std::atomic<bool> stop{false};
    std::mutex errorMutex;
    std::exception_ptr error;
    const size_t reportStep = std::max<size_t>(1, n / 100);
    size_t nextReport = reportStep;

    auto work = [&](bool reporter) {
        try {
            std::vector<size_t> indices(kk);
            std::vector<double> dists(kk);
            std::vector<size_t> inputs(kk);
            std::vector<double> offsets(3 * kk);
            nanoflann::SearchParams params;
            GridSearch::Batch batch;
            while (!stop.load(std::memory_order_relaxed)) {
                size_t c = nextChunk.fetch_add(1);
                if (c >= chunks)
                    break;
                size_t end = std::min(m, (c + 1) * chunk);
                size_t b =
                    useGrid ? 0
                            : size_t(std::upper_bound(blocks.begin(), blocks.end(), c * chunk,
                                                      [](size_t t, const Block& x) { return t < x.first; }) -
                                     blocks.begin()) -
                                  1;
                for (size_t t = c * chunk; t < end; ++t) {
                    const size_t i = cloud.input[t];
                    if (only && !only[i])
                        continue;
                    const double* q = &cloud.xyz[3 * t];
                    TieOrderedKnn result(kk, indices.data(), dists.data(), inputs.data(), cloud.input.data());
                    if (useGrid) {
                        grid.search(q, result, batch);
                        if (reach2)
                            reach2[i] = result.kthDist();
                        if (!result.full() ||
                            !planeNormal(cloud, q, indices.data(), kk, offsets, normals + 3 * i))
                            setFallback(normals + 3 * i);
                        continue;
                    }
                    while (t >= blocks[b].first + blocks[b].count)
                        ++b;
                    BlockResult own{result, blocks[b].first};
                    trees[b]->findNeighbors(own, q, params);
                    for (const auto& [gap2, o] : nearby[b]) {
                        if (gap2 >= result.worstDist())
                            break; // q lies in block b: no nearer point in this block or any later one
                        if (blocks[o].distance2(q) < result.worstDist()) {
                            BlockResult other{result, blocks[o].first};
                            trees[o]->findNeighbors(other, q, params);
                        }
                    }
                    if (reach2)
                        reach2[i] = result.kthDist();
                    if (!result.full() ||
                        !planeNormal(cloud, q, indices.data(), kk, offsets, normals + 3 * i))
                        setFallback(normals + 3 * i);
                }
                size_t d = done.fetch_add(end - c * chunk) + (end - c * chunk);
                if (reporter && progress && d >= nextReport && d < m) {
                    progress(d + (n - m), n);
                    nextReport = d + reportStep;
                }
            }
        } catch (...) {
            std::lock_guard lock(errorMutex);
            if (!error)
                error = std::current_exception();
            stop = true;
        }
    };

    {
        std::vector<std::jthread> pool;
        try {
            for (size_t w = 1; w < workers; ++w)
                pool.emplace_back(work, false);
        } catch (...) {
            stop = true;
            throw; // the jthreads already started are joined on the way out
        }
        work(true);
    }
    if (error)
        std::rethrow_exception(error);
    if (progress)
        progress(n, n);
}
