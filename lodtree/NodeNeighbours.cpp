// Neighbour, normal and border stages of the tree: per leaf, independent of every other leaf (each reads
// point files and writes only its own files), so leaves run on a few worker threads.
#include "LODTree.h"
#include "LodTreeLog.h"
#include "NearestNeighbours.h"
#include "NeighbourSearch.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

static_assert(std::endian::native == std::endian::little,
              "node files hold little-endian values in memory order");

namespace {

namespace fs = std::filesystem;

std::mutex logMutex; // workers print whole lines

void logLine(const std::string& line) {
    std::lock_guard lock(logMutex);
    lodTreeLog() << line << "\n";
}

// X, Y, Z of a set of points; Z stays 0 in the two-dimensional variant.
struct Points {
    std::vector<int32_t> x, y, z;
    int count() const { return int(x.size()); }
    // Dimension-major copy of the points `which` (all when null), as the searches take them.
    std::vector<int32_t> packed(int dims, const uint32_t* which = nullptr, int n = -1) const {
        if (!which)
            n = count();
        std::vector<int32_t> out(std::size_t(dims) * std::size_t(n));
        const std::vector<int32_t>* axes[3] = {&x, &y, &z};
        for (int d = 0; d < dims; ++d)
            for (int i = 0; i < n; ++i)
                out[std::size_t(d) * std::size_t(n) + std::size_t(i)] =
                    (*axes[d])[which ? which[i] : uint32_t(i)];
        return out;
    }
};

// Appends the node's own records (not its children's).
void appendRecords(const LODTreeNode* node, Points& out, bool flat) {
    if (node->numPoints <= 0)
        return;
    const std::size_t length = std::size_t(node->tree->recordLength);
    const std::string path = node->getPointPath();
    if (length < 12)
        throw TreeBuildError(path + ": record length " + std::to_string(length) + " is too short");
    std::error_code ec;
    const uintmax_t size = fs::file_size(path, ec);
    if (ec)
        throw TreeBuildError("cannot read " + path + ": " + ec.message());
    if (size != uintmax_t(node->numPoints) * length)
        throw TreeBuildError(path + ": holds " + std::to_string(size) + " bytes, not " +
                             std::to_string(node->numPoints) + " records of " + std::to_string(length));
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        throw TreeBuildError("cannot open " + path + ": " + std::strerror(errno));
    std::vector<unsigned char> block(length * 4096);
    std::size_t left = std::size_t(node->numPoints);
    while (left > 0) {
        const std::size_t n = std::min<std::size_t>(left, 4096);
        if (std::fread(block.data(), length, n, f) != n) {
            std::fclose(f);
            throw TreeBuildError("cannot read " + path + ": short read");
        }
        for (std::size_t i = 0; i < n; ++i) {
            int32_t xyz[3];
            std::memcpy(xyz, block.data() + i * length, 12);
            out.x.push_back(xyz[0]);
            out.y.push_back(xyz[1]);
            out.z.push_back(flat ? 0 : xyz[2]);
        }
        left -= n;
    }
    std::fclose(f);
}

// The subtree's points in the order its list entries index: own points, then quadrants 1 to 4.
void appendSubtree(const LODTreeNode* node, Points& out, bool flat) {
    appendRecords(node, out, flat);
    for (int q = 1; q <= 4; ++q)
        if (const LODTreeNode* c = node->child(q))
            appendSubtree(c, out, flat);
}

Points subtreePoints(const LODTreeNode* node, bool flat) {
    Points p;
    appendSubtree(node, p, flat);
    if (uint64_t(p.count()) > KNN_INDEX_MASK)
        throw TreeBuildError(node->getPointPath() +
                             ": too many points under one node for a neighbour marker");
    return p;
}

bool subtreeHasPoints(const LODTreeNode* node) {
    if (node->numPoints > 0)
        return true;
    for (int q = 1; q <= 4; ++q)
        if (node->child(q) && subtreeHasPoints(node->child(q)))
            return true;
    return false;
}

bool isAncestorOrSelf(const LODTreeNode* a, const LODTreeNode* b) {
    if (a->id.level > b->id.level)
        return false;
    const int down = b->id.level - a->id.level;
    return (b->id.x >> down) == a->id.x && (b->id.y >> down) == a->id.y;
}

// Writes a node file under a temporary name and renames it into place, so that an interrupted run never
// leaves a file of the complete size with partial contents.
class AtomicFile {
public:
    explicit AtomicFile(std::string path) : path_(std::move(path)), temp_(path_ + ".tmp") {
        file_ = std::fopen(temp_.c_str(), "wb");
        if (!file_)
            throw TreeBuildError("cannot create " + temp_ + ": " + std::strerror(errno));
    }
    ~AtomicFile() {
        if (file_) {
            std::fclose(file_);
            std::remove(temp_.c_str());
        }
    }
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    void write(const void* data, std::size_t bytes) {
        if (bytes && std::fwrite(data, bytes, 1, file_) != 1)
            throw TreeBuildError("cannot write " + temp_ + ": " + std::strerror(errno));
    }
    void commit() {
        FILE* f = std::exchange(file_, nullptr);
        if (std::fclose(f) != 0) {
            std::remove(temp_.c_str());
            throw TreeBuildError("cannot write " + temp_ + ": " + std::strerror(errno));
        }
        if (std::rename(temp_.c_str(), path_.c_str()) != 0) {
            const int err = errno;
            std::remove(temp_.c_str());
            throw TreeBuildError("cannot replace " + path_ + ": " + std::strerror(err));
        }
    }

private:
    std::string path_, temp_;
    FILE* file_ = nullptr;
};

// The k nearest of `ref` for each point `which[i]` of `query` (with `below`, only those at a distance
// below below[i]), handed to fn(i, distances, indices) one query at a time. Queries go in blocks so that
// the results stay small.
template <class Fn>
void searchEach(const Points& ref, const Points& query, const std::vector<uint32_t>& which,
                const std::vector<KnnDistance>* below, int dims, int k, Fn&& fn) {
    constexpr int Block = 4096;
    const std::vector<int32_t> reference = ref.packed(dims);
    std::vector<KnnDistance> d;
    std::vector<uint32_t> idx;
    for (std::size_t b = 0; b < which.size(); b += Block) {
        const int n = int(std::min<std::size_t>(Block, which.size() - b));
        const std::vector<int32_t> q = query.packed(dims, which.data() + b, n);
        d.resize(std::size_t(k) * std::size_t(n));
        idx.resize(d.size());
        knnIntIndexedRows(reference.data(), ref.count(), q.data(), n, dims, k,
                          below ? below->data() + b : nullptr, d.data(), idx.data());
        for (int i = 0; i < n; ++i)
            fn(int(b) + i, d.data() + std::size_t(i) * std::size_t(k),
               idx.data() + std::size_t(i) * std::size_t(k));
    }
}

// Every point's list: up to KNN_LIST (distance, entry) pairs, nearest first; entries are 1-based indices,
// OR-ed with a marker for points of a neighbouring node. All lists have the same length k.
struct Lists {
    int k = 0;
    std::vector<KnnDistance> d;
    std::vector<uint32_t> v;
    explicit Lists(int n) : d(std::size_t(n) * KNN_LIST), v(d.size()) {}
    KnnDistance* dist(int p) { return d.data() + std::size_t(p) * KNN_LIST; }
    uint32_t* entry(int p) { return v.data() + std::size_t(p) * KNN_LIST; }
    KnnDistance last(int p) const { return d[std::size_t(p) * KNN_LIST + std::size_t(k - 1)]; }
};

// Merges the nearest points of one neighbouring node into the candidates' lists: a result nearer than
// the last entry is inserted after the entries of equal distance (the last entry dropped once the list
// is full); otherwise it is appended while the list has room; on a full list the candidate is done.
void joinNearestNeighbours(const Points& points, Lists& lists, const std::vector<uint32_t>& candidates,
                           const LODTreeNode* neighbour, uint32_t marker, bool flat) {
    const Points theirs = subtreePoints(neighbour, flat);
    const int kk = std::min(theirs.count(), KNN_STORED);
    const int before = lists.k;

    // A full list only takes results nearer than its last entry: the search looks no farther, and
    // candidates that far from the box of the neighbour's points are not searched at all. The lists come
    // out the same, and the loose candidate tests above stop costing a search of every point.
    std::vector<uint32_t> searched;
    std::vector<KnnDistance> below;
    const std::vector<uint32_t>* queries = &candidates;
    if (before == KNN_LIST && kk > 0) {
        const std::vector<int32_t>* axes[3] = {&theirs.x, &theirs.y, &theirs.z};
        const std::vector<int32_t>* ours[3] = {&points.x, &points.y, &points.z};
        int64_t lo[3], hi[3];
        for (int a = 0; a < 3; ++a) {
            const auto [mn, mx] = std::minmax_element(axes[a]->begin(), axes[a]->end());
            lo[a] = *mn, hi[a] = *mx;
        }
        for (uint32_t p : candidates) {
            unsigned __int128 box = 0;
            for (int a = 0; a < 3; ++a) {
                const int64_t c = (*ours[a])[p];
                const unsigned __int128 gap = uint64_t(std::max<int64_t>({0, lo[a] - c, c - hi[a]}));
                box += gap * gap;
            }
            if (box < lists.last(int(p))) {
                searched.push_back(p);
                below.push_back(lists.last(int(p)));
            }
        }
        queries = &searched;
    }

    int first = -1;
    searchEach(theirs, points, *queries, below.empty() ? nullptr : &below, flat ? 2 : 3, kk,
               [&](int c, const KnnDistance* rd, const uint32_t* ri) {
                   const int p = int((*queries)[std::size_t(c)]);
                   KnnDistance* D = lists.dist(p);
                   uint32_t* V = lists.entry(p);
                   int len = before;
                   for (int j = 0; j < kk; ++j) {
                       const KnnDistance dist = rd[j];
                       const uint32_t value = ri[j] | marker;
                       if (dist < D[len - 1]) {
                           int pos = len < KNN_LIST ? len++ : len - 1;
                           for (; pos > 0 && D[pos - 1] > dist; --pos) {
                               D[pos] = D[pos - 1];
                               V[pos] = V[pos - 1];
                           }
                           D[pos] = dist;
                           V[pos] = value;
                       } else if (len < KNN_LIST) {
                           D[len] = dist;
                           V[len] = value;
                           ++len;
                       } else {
                           break;
                       }
                   }
                   if (first < 0)
                       first = len;
                   else if (len != first)
                       logLine(
                           "Warning, inconsistency detected combining nearest neighbours, original KNN: " +
                           std::to_string(before) + ", new KNN: " + std::to_string(first) +
                           ", temp KNN: " + std::to_string(len));
               });
    if (first >= 0)
        lists.k = first;
}

// The same-level neighbour named by `marker` when it can contribute points: it exists, holds points,
// and is not the node itself or one of its ancestors (a descent that stops early can land there).
struct Found {
    LODTreeNode* node = nullptr; // as getSubNodeFromRoot returned it
    bool usable = false;
};

Found findNeighbour(LODTreeNode* root, const LODTreeNode* node, uint32_t marker) {
    Found f;
    f.node = root->getSubNodeFromRoot(node->id.getNeighbourID(marker), true);
    f.usable = f.node && !isAncestorOrSelf(f.node, node) && subtreeHasPoints(f.node);
    return f;
}

// The neighbour stage of one leaf; false when its file was complete already.
bool neighboursOfLeaf(LODTreeNode* root, LODTreeNode* node, bool flat) {
    const std::string out = flat ? node->getKnn2DPath() : node->getKnnPath();
    std::error_code ec;
    if (fs::file_size(out, ec) == uint64_t(node->numPoints) * KNN_STORED * 4 && !ec)
        return false;
    logLine("Calculating KNN for leaf " + node->id.generateSuffix() + "... ");

    Points points;
    appendRecords(node, points, flat);
    const int n = points.count();
    const int dims = flat ? 2 : 3;
    const auto [minX, maxX] = std::minmax_element(points.x.begin(), points.x.end());
    const auto [minY, maxY] = std::minmax_element(points.y.begin(), points.y.end());
    const int64_t lo[2] = {*minX, *minY}, hi[2] = {*maxX, *maxY};

    Lists lists(n);
    lists.k = std::min(KNN_LIST, n);
    std::vector<uint32_t> all(static_cast<std::size_t>(n));
    std::iota(all.begin(), all.end(), 0u);
    searchEach(points, points, all, nullptr, dims, lists.k,
               [&](int p, const KnnDistance* rd, const uint32_t* ri) {
                   std::copy(rd, rd + lists.k, lists.dist(p));
                   std::copy(ri, ri + lists.k, lists.entry(p));
               });

    // Plain (not squared) coordinate distance of point p to the far side of the node's points, per
    // side: 0 right, 1 left, 2 up, 3 down.
    auto toSide = [&](int side, int p) -> uint64_t {
        const int64_t c = side < 2 ? points.x[std::size_t(p)] : points.y[std::size_t(p)];
        const int axis = side < 2 ? 0 : 1;
        return uint64_t(side % 2 == 0 ? hi[axis] - c : c - lo[axis]);
    };

    // Sides. The last distance is squared and compared with a plain distance: a looser test than
    // needed, never a stricter one, so no point that a neighbour could improve is left out.
    constexpr uint32_t sideMarker[4] = {KNN_RIGHT, KNN_LEFT, KNN_UP, KNN_DOWN};
    Found side[4];
    std::vector<uint32_t> sideList[4];
    for (int s = 0; s < 4; ++s) {
        side[s] = findNeighbour(root, node, sideMarker[s]);
        if (!side[s].usable)
            continue;
        if (lists.k <= KNN_STORED)
            sideList[s] = all;
        else
            for (int p = 0; p < n; ++p)
                if (lists.last(p) > toSide(s, p))
                    sideList[s].push_back(uint32_t(p));
        if (!sideList[s].empty())
            joinNearestNeighbours(points, lists, sideList[s], side[s].node, sideMarker[s], flat);
    }

    // Corners, each with its x side and y side.
    struct Corner {
        uint32_t marker;
        int xSide, ySide;
    };
    constexpr Corner corners[4] = {
        {KNN_UP_RIGHT, 0, 2}, {KNN_DOWN_RIGHT, 0, 3}, {KNN_UP_LEFT, 1, 2}, {KNN_DOWN_LEFT, 1, 3}};
    for (const Corner& corner : corners) {
        const Found f = findNeighbour(root, node, corner.marker);
        if (!f.usable || f.node == side[corner.xSide].node || f.node == side[corner.ySide].node)
            continue;
        auto c = [&](int p) {
            const unsigned __int128 dx = toSide(corner.xSide, p), dy = toSide(corner.ySide, p);
            return dx * dx + dy * dy;
        };
        std::vector<uint32_t> candidates;
        const std::vector<uint32_t>& xs = sideList[corner.xSide];
        const std::vector<uint32_t>& ys = sideList[corner.ySide];
        if (lists.k <= KNN_STORED) {
            candidates = all;
        } else if (xs.empty() && ys.empty()) {
            for (int p = 0; p < n; ++p)
                if (lists.last(p) > c(p))
                    candidates.push_back(uint32_t(p));
        } else {
            // Only points near the shorter side list are tested, against the square of the (already
            // squared) last distance: again looser than needed.
            const std::vector<uint32_t>& tested =
                !xs.empty() && (ys.empty() || xs.size() < ys.size()) ? xs : ys;
            for (uint32_t p : tested) {
                const unsigned __int128 last = lists.last(int(p));
                if (last * last > c(int(p)))
                    candidates.push_back(p);
            }
        }
        if (!candidates.empty())
            joinNearestNeighbours(points, lists, candidates, f.node, corner.marker, flat);
    }

    // Entries 2 to k, 0-based (the marker bits are kept).
    AtomicFile file(out);
    std::vector<uint32_t> row(KNN_STORED);
    for (int p = 0; p < n; ++p) {
        const uint32_t* v = lists.entry(p);
        for (int j = 1; j < lists.k; ++j)
            row[std::size_t(j - 1)] = v[j] - 1;
        file.write(row.data(), std::size_t(lists.k - 1) * 4);
    }
    file.commit();
    return true;
}

// Number of 32-bit entries per point of a leaf's "knnInt" file, which holds k - 1 of them (fewer than
// KNN_STORED in a small tree).
int entriesPerPoint(const LODTreeNode* node) {
    const std::string path = node->getKnnPath();
    std::error_code ec;
    const uintmax_t size = fs::file_size(path, ec);
    if (ec)
        throw TreeBuildError("ERROR: Could not open knn file for input: " + path + ": " + ec.message());
    const uintmax_t perEntry = uintmax_t(node->numPoints) * 4;
    if (size % perEntry != 0 || size / perEntry > KNN_STORED)
        throw TreeBuildError(path + ": " + std::to_string(size) + " bytes is not a neighbour list for " +
                             std::to_string(node->numPoints) + " points");
    return int(size / perEntry);
}

std::vector<uint32_t> readEntries(const LODTreeNode* node, int perPoint) {
    const std::string path = node->getKnnPath();
    std::vector<uint32_t> entries(std::size_t(node->numPoints) * std::size_t(perPoint));
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        throw TreeBuildError("ERROR: Could not open knn file for input: " + path + ": " +
                             std::strerror(errno));
    const std::size_t got = std::fread(entries.data(), 4, entries.size(), f);
    std::fclose(f);
    if (got != entries.size())
        throw TreeBuildError("cannot read " + path + ": short read");
    return entries;
}

void normalsOfLeaf(LODTreeNode* root, LODTreeNode* node, uint64_t& zeroNormals) {
    Points own;
    appendRecords(node, own, false);
    const int n = own.count();
    const int perPoint = entriesPerPoint(node);
    const std::vector<uint32_t> entries = readEntries(node, perPoint);

    // The points of each neighbour named by a marker, read on first use and kept for the leaf.
    std::array<std::optional<Points>, 8> neighbours;
    auto neighbourPoints = [&](uint32_t marker) -> const Points& {
        std::optional<Points>& slot = neighbours[(marker >> 28) & 7];
        if (!slot) {
            const LODTreeNode* nb = root->getSubNodeFromRoot(node->id.getNeighbourID(marker), true);
            if (!nb)
                throw TreeBuildError(node->getKnnPath() + ": an entry names a neighbour outside the tree");
            slot = subtreePoints(nb, false);
        }
        return *slot;
    };
    // getNeighbourPoint: the entry's point as doubles.
    auto fetch = [&](uint32_t value, double* xyz) {
        const Points* set = &own;
        uint32_t index = value;
        if (isKNNmarked(value)) {
            set = &neighbourPoints(value & KNN_MARKER_MASK);
            index = value & KNN_INDEX_MASK;
        }
        if (index >= uint32_t(set->count()))
            throw TreeBuildError(node->getKnnPath() + ": entry " + std::to_string(value) + " names no point");
        xyz[0] = set->x[index], xyz[1] = set->y[index], xyz[2] = set->z[index];
    };

    constexpr int Fitted = 20, ScaleNeighbour = 10;
    const int fetched = std::min(Fitted, perPoint);
    std::vector<float> normals(std::size_t(n) * 3, 0.0f);
    double near[3 * Fitted];
    for (int p = 0; p < n; ++p) {
        float* out = normals.data() + std::size_t(p) * 3;
        const double centre[3] = {double(own.x[std::size_t(p)]), double(own.y[std::size_t(p)]),
                                  double(own.z[std::size_t(p)])};
        const uint32_t* list = entries.data() + std::size_t(p) * std::size_t(perPoint);
        for (int j = 0; j < fetched; ++j)
            fetch(list[j], near + 3 * j);
        float plane[6];
        fitPlane(centre, near, fetched, plane);
        if (fetched >= 3 && (plane[0] != 0 || plane[1] != 0 || plane[2] != 0)) {
            const double* far = near + 3 * (std::min(ScaleNeighbour, fetched) - 1);
            const double scale = std::sqrt((far[0] - centre[0]) * (far[0] - centre[0]) +
                                           (far[1] - centre[1]) * (far[1] - centre[1]) +
                                           (far[2] - centre[2]) * (far[2] - centre[2]));
            const double sign = plane[2] < 0 ? -1.0 : 1.0;
            for (int i = 0; i < 3; ++i)
                out[i] = float(sign * plane[i] * scale);
        }
        if (out[0] == 0 && out[1] == 0 && out[2] == 0)
            ++zeroNormals;
    }
    AtomicFile file(node->getNormalPath());
    file.write(normals.data(), normals.size() * sizeof(float));
    file.commit();
}

// A point is a border point when its neighbour list reaches into another node: any entry with a marker.
void bordersOfLeaf(LODTreeNode* node) {
    const int perPoint = entriesPerPoint(node);
    const std::vector<uint32_t> entries = readEntries(node, perPoint);
    const std::size_t n = std::size_t(node->numPoints);
    std::vector<uint8_t> border(n, 0);
    for (std::size_t p = 0; p < n; ++p)
        border[p] =
            std::any_of(entries.begin() + std::ptrdiff_t(p * std::size_t(perPoint)),
                        entries.begin() + std::ptrdiff_t((p + 1) * std::size_t(perPoint)), isKNNmarked);
    AtomicFile surf(node->getSurfPath());
    const std::vector<uint32_t> zeros(n, 0);
    surf.write(zeros.data(), n * 4);
    surf.commit();
    AtomicFile borders(node->getBorderPath());
    borders.write(border.data(), n);
    borders.commit();
}

struct LeafJob {
    LODTreeNode* node;
    bool flag;
};

// Leaves with points, in quadrant order; a split node (count -1) passes on to its children, whose
// flag is always cleared.
void collectLeaves(LODTreeNode* node, bool flag, std::vector<LeafJob>& out) {
    if (node->isSplit()) {
        for (int q = 1; q <= 4; ++q)
            if (node->child(q))
                collectLeaves(node->child(q), false, out);
    } else if (node->numPoints > 0) {
        out.push_back({node, flag});
    }
}

// Runs work(job) for every leaf on a few threads; the first exception stops the others and is rethrown
// once all have been joined. The interruption is checked before each leaf.
template <class Work>
void forEachLeaf(LODTree* tree, const std::vector<LeafJob>& jobs, const char* stage, Work&& work) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex mutex;
    uint64_t done = 0;
    auto worker = [&] {
        try {
            while (!failed) {
                const std::size_t i = next++;
                if (i >= jobs.size())
                    break;
                tree->checkInterrupt();
                work(jobs[i]);
                std::lock_guard lock(mutex);
                ++done;
                if (tree->control && tree->control->progress)
                    tree->control->progress(stage, done, jobs.size());
            }
        } catch (...) {
            std::lock_guard lock(mutex);
            if (!error)
                error = std::current_exception();
            failed = true;
        }
    };
    // Each worker holds one leaf's lists (about 50 MB for a full leaf): a few are enough for the cores
    // this runs on.
    const std::size_t threads =
        std::min<std::size_t>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u), jobs.size());
    std::vector<std::thread> pool;
    try {
        for (std::size_t t = 1; t < threads; ++t)
            pool.emplace_back(worker);
    } catch (...) {
        failed = true;
        for (std::thread& t : pool)
            t.join();
        throw TreeBuildError(std::string("cannot start the ") + stage + " workers");
    }
    worker();
    for (std::thread& t : pool)
        t.join();
    if (error)
        std::rethrow_exception(error);
}

} // namespace

void LODTreeNode::calculateKNNint(LODTreeNode* root, bool flag) {
    std::vector<LeafJob> jobs;
    collectLeaves(this, flag, jobs);
    forEachLeaf(tree, jobs, "neighbours",
                [&](const LeafJob& job) { neighboursOfLeaf(root, job.node, job.flag); });
}

void LODTreeNode::calculateNormals(LODTreeNode* root) {
    std::vector<LeafJob> jobs;
    collectLeaves(this, false, jobs);
    std::mutex mutex;
    uint64_t zeros = 0;
    forEachLeaf(tree, jobs, "normals", [&](const LeafJob& job) {
        uint64_t leafZeros = 0;
        normalsOfLeaf(root, job.node, leafZeros);
        std::lock_guard lock(mutex);
        zeros += leafZeros;
    });
    if (tree->control)
        tree->control->zeroNormals += zeros;
}

void LODTreeNode::markBorderPoints() {
    std::vector<LeafJob> jobs;
    collectLeaves(this, false, jobs);
    forEachLeaf(tree, jobs, "borders", [](const LeafJob& job) { bordersOfLeaf(job.node); });
}

LODTreeNode* LODTreeNode::getSubNodeFromRoot(NodeID target, bool allowAncestor) {
    if (!target.inRange() || target.level < id.level)
        return nullptr;
    const int down = target.level - id.level;
    if ((target.x >> down) != id.x || (target.y >> down) != id.y)
        return nullptr;
    LODTreeNode* node = this;
    for (int l = down - 1; l >= 0; --l) {
        // The quadrant rule of the suffixes: bit l of x picks the high x half, bit l of y the high y half.
        LODTreeNode* c = node->child(1 + 2 * ((target.x >> l) & 1) + ((target.y >> l) & 1));
        if (!c)
            return allowAncestor ? node : nullptr;
        node = c;
    }
    return node;
}

void LODTreeNode::deleteNeighbourFiles() {
    for (const std::string& path : {getKnnPath(), getKnn2DPath()}) {
        std::error_code ec;
        fs::remove(path, ec); // a missing file is no error
        if (ec)
            throw TreeBuildError("cannot remove " + path + ": " + ec.message());
    }
    for (auto& c : children)
        if (c)
            c->deleteNeighbourFiles();
}
