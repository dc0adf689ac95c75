// Nearest neighbours, normals and border marks of the local tree: the indexed search against the brute
// force, and the tree stages on hand-made trees against references computed here from the geometry.
#include "LASHeader.h"
#include "LODTree.h"
#include "NearestNeighbours.h"
#include "NeighbourSearch.h"
#include "support/Samples.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sys/stat.h>
#include <tuple>

namespace {

using Pt = std::array<int32_t, 3>;
using Cloud = std::vector<Pt>;

std::vector<int32_t> packed(const Cloud& c, int dims) {
    std::vector<int32_t> out(c.size() * std::size_t(dims));
    for (std::size_t i = 0; i < c.size(); ++i)
        for (int d = 0; d < dims; ++d)
            out[std::size_t(d) * c.size() + i] = c[i][std::size_t(d)];
    return out;
}

struct Knn {
    std::vector<KnnDistance> d;
    std::vector<uint32_t> i;
};

Knn search(bool indexed, const Cloud& ref, const Cloud& query, int dims, int k) {
    Knn r{std::vector<KnnDistance>(query.size() * std::size_t(k)),
          std::vector<uint32_t>(query.size() * std::size_t(k))};
    const auto a = packed(ref, dims), b = packed(query, dims);
    (indexed ? knnIntIndexed : knnIntNoCuda)(a.data(), int(ref.size()), b.data(), int(query.size()), dims, k,
                                             r.d.data(), r.i.data());
    return r;
}

void expectIndexedEqualsBruteForce(const Cloud& ref, const Cloud& query, int k) {
    for (int dims : {2, 3}) {
        SCOPED_TRACE("dimensions " + std::to_string(dims) + ", k " + std::to_string(k));
        const Knn brute = search(false, ref, query, dims, k), indexed = search(true, ref, query, dims, k);
        EXPECT_EQ(indexed.d, brute.d);
        EXPECT_EQ(indexed.i, brute.i);
    }
}

uint64_t dist2(const Pt& a, const Pt& b) {
    uint64_t s = 0;
    for (int d = 0; d < 3; ++d) {
        const int64_t t = int64_t(a[std::size_t(d)]) - b[std::size_t(d)];
        s += uint64_t(t * t);
    }
    return s;
}

Cloud randomCloud(std::size_t n, int64_t lo, int64_t hi, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int64_t> u(lo, hi);
    Cloud c(n);
    for (Pt& p : c)
        p = {int32_t(u(rng)), int32_t(u(rng)), int32_t(u(rng))};
    return c;
}

TEST(NearestNeighbours, BruteForceIsExactIn64BitsWithTiesInReferenceOrder) {
    // 50,000^2 overflows 32 bits: the nearer 40,000 must come first, with exact distances.
    Knn r = search(false, {{50000, 0, 0}, {40000, 0, 0}}, {{0, 0, 0}}, 3, 2);
    EXPECT_EQ(r.i, (std::vector<uint32_t>{2, 1}));
    EXPECT_EQ(r.d, (std::vector<KnnDistance>{1600000000ull, 2500000000ull}));
    // Differences near 2^32: one axis fits exactly, three saturate.
    const int32_t lo = INT32_MIN, hi = INT32_MAX;
    r = search(false, {{hi, hi, hi}, {hi, 0, 0}, {lo, 0, 0}}, {{lo, 0, 0}}, 3, 3);
    EXPECT_EQ(r.i, (std::vector<uint32_t>{3, 2, 1}));
    EXPECT_EQ(r.d, (std::vector<KnnDistance>{0, 18446744065119617025ull, UINT64_MAX}));
    // Four points at distance 1 keep their reference order after the point itself; k beyond the
    // reference count pads with UINT64_MAX and index 0.
    r = search(false, {{1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}, {0, 0, 0}}, {{0, 0, 0}}, 2, 7);
    EXPECT_EQ(r.i, (std::vector<uint32_t>{5, 1, 2, 3, 4, 0, 0}));
    EXPECT_EQ(r.d, (std::vector<KnnDistance>{0, 1, 1, 1, 1, UINT64_MAX, UINT64_MAX}));
}

TEST(NearestNeighbours, IndexedSearchGivesTheBruteForceListsOnSyntheticSets) {
    const Cloud wide = randomCloud(800, -300000, 300000, 1); // differences far above 46,341
    // A plane lattice twice over in shuffled order: equal distances in every cell, indices unrelated to
    // position.
    Cloud lattice, duplicated, collinear, shuffled;
    for (int i = 0; i < 400; ++i)
        lattice.push_back({i / 40 * 2, i / 4 % 10 * 2, i % 4});
    for (int i = 0; i < 648; ++i)
        shuffled.push_back({i / 18 % 18, i % 18, 0});
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(6));
    for (const Pt& p : randomCloud(120, 0, 40, 2))
        duplicated.insert(duplicated.end(), 6, p);
    for (int i = 0; i < 600; ++i)
        collinear.push_back({(i % 200) * 3, (i % 200) * 2, 0});
    const Cloud extreme = randomCloud(600, INT32_MIN, INT32_MAX, 3); // sums saturate
    const Cloud edges = randomCloud(400, int64_t(INT32_MAX) - 2000, INT32_MAX, 4);
    std::vector<std::pair<std::string, Cloud>> sets{
        {"wide", wide},           {"lattice", lattice}, {"shuffled", shuffled}, {"duplicated", duplicated},
        {"collinear", collinear}, {"extreme", extreme}, {"near 2^31", edges}};
    for (const SampleFile& s : manifestSamples("las")) { // the first 400 records of each real sample
        std::ifstream in(s.path, std::ios::binary);
        unsigned char block[LASHeader::BlockSize];
        ASSERT_TRUE(in.read(reinterpret_cast<char*>(block), sizeof block));
        LASHeader h;
        h.copyFromBuffer(block);
        std::vector<char> records(std::min<std::size_t>(h.NumberOfPointRecords, 400) *
                                  h.PointDataRecordLength);
        ASSERT_TRUE(in.seekg(h.OffsetToPointData).read(records.data(), std::streamsize(records.size())));
        Cloud& c = sets.emplace_back(s.name, Cloud(records.size() / h.PointDataRecordLength)).second;
        for (std::size_t i = 0; i < c.size(); ++i)
            std::memcpy(c[i].data(), records.data() + i * h.PointDataRecordLength, 12);
    }
    for (const auto& [name, cloud] : sets) {
        SCOPED_TRACE(name);
        expectIndexedEqualsBruteForce(cloud, cloud, 101);
    }
    // The stages' form: lists point after point, only distances below a bound per query (here the
    // brute force's 40th), which is the brute force's list up to that distance.
    const int k = 101, n = int(shuffled.size());
    const Knn brute = search(false, shuffled, shuffled, 3, k);
    std::vector<KnnDistance> below(shuffled.size()), d(shuffled.size() * k);
    std::vector<uint32_t> idx(d.size());
    for (int q = 0; q < n; ++q)
        below[std::size_t(q)] = brute.d[std::size_t(39 * n + q)];
    const auto ref = packed(shuffled, 3);
    knnIntIndexedRows(ref.data(), n, ref.data(), n, 3, k, below.data(), d.data(), idx.data());
    for (int q = 0; q < n; ++q)
        for (int j = 0; j < k; ++j) {
            const std::size_t b = std::size_t(j * n + q), r = std::size_t(q * k + j);
            const bool kept = brute.d[b] < below[std::size_t(q)];
            ASSERT_EQ(d[r], kept ? brute.d[b] : UINT64_MAX) << q << " " << j;
            ASSERT_EQ(idx[r], kept ? brute.i[b] : 0u) << q << " " << j;
        }
    // Queries that are not references, some far outside the references' box; k above the count.
    expectIndexedEqualsBruteForce(lattice, randomCloud(200, -100, 100, 5), 40);
    expectIndexedEqualsBruteForce(wide, {{INT32_MIN, INT32_MIN, 0}, {INT32_MAX, 0, INT32_MAX}, {0, 0, 0}},
                                  17);
    expectIndexedEqualsBruteForce(Cloud(wide.begin(), wide.begin() + 30),
                                  Cloud(wide.begin(), wide.begin() + 300), 101);
}

// 20,000 points at one position (400 million distances for a full scan) and a vertical pole stay near linear.
TEST(NearestNeighbours, DegenerateSetsStayNearLinear) {
    const Cloud same(20000, Pt{7, -7, 7});
    const Knn r = search(true, same, same, 3, 101);
    for (std::size_t q : {0, 13337, 19999})
        for (std::size_t j = 0; j < 101; ++j) // by the tie rule every list is the first 101 indices
            ASSERT_EQ(std::pair(r.i[j * same.size() + q], r.d[j * same.size() + q]),
                      std::pair(uint32_t(j + 1), KnnDistance(0)));
    Cloud pole(20000);
    for (std::size_t i = 0; i < pole.size(); ++i)
        pole[i] = {5, 5, int32_t(i % 2000)};
    expectIndexedEqualsBruteForce(pole, Cloud(pole.begin() + 9990, pole.begin() + 10010), 101);
}

// A tree whose leaves are written by hand: record length 20, X, Y, Z at bytes 0, 4, 8.
struct HandTree {
    explicit HandTree(int levels) : tree(dir.path().string() + "/", 20, 0) {
        tree.control = &control;
        split(tree.root.get(), levels);
    }
    LODTreeNode* root() { return tree.root.get(); }
    LODTreeNode* node(int level, int x, int y) {
        return tree.root->getSubNodeFromRoot(NodeID(uint8_t(level), x, y), false);
    }
    void setPoints(LODTreeNode* n, const Cloud& pts) {
        std::vector<unsigned char> bytes(pts.size() * 20, 0);
        for (std::size_t i = 0; i < pts.size(); ++i)
            std::memcpy(bytes.data() + i * 20, pts[i].data(), 12);
        writeBytes(n->getPointPath(), bytes);
        n->numPoints = int32_t(pts.size());
        points[n] = pts;
    }
    // Fills every leaf of a level-2 tree of 16 leaves of side `w` with `fill(x0, y0, leaf index)`.
    void fillLeaves(int w, const std::function<Cloud(int, int, int)>& fill) {
        for (int i = 0; i < 16; ++i)
            setPoints(node(2, i / 4, i % 4), fill(i / 4 * w, i % 4 * w, i));
    }
    void knn(bool flat = false) { root()->calculateKNNint(root(), flat); }
    static void split(LODTreeNode* n, int levels) {
        if (levels == 0)
            return;
        n->createChildren();
        n->numPoints = -1;
        for (auto& c : n->children)
            split(c.get(), levels - 1);
    }
    TempDir dir;
    TreeBuildControl control;
    LODTree tree;
    std::map<const LODTreeNode*, Cloud> points;
};

template <class T> std::vector<T> entries(const std::string& path) {
    const auto b = readBytes(path);
    std::vector<T> out(b.size() / sizeof(T));
    std::memcpy(out.data(), b.data(), out.size() * sizeof(T));
    return out;
}

// The defined lists of a levelled tree, computed as a plain sort: the node's points, then each
// neighbour's in join order (sides right, left, up, down; corners up-right, down-right, up-left,
// down-left), stably sorted by exact distance; at most 101 kept. The candidate tests may skip points,
// but only points that no neighbour can improve, so the lists are those of the whole union. Compares
// the file with them and returns them.
std::vector<std::vector<uint32_t>> expectListsMatch(HandTree& t, LODTreeNode* leaf, const std::string& path,
                                                    bool flat) {
    std::vector<std::pair<uint32_t, const Cloud*>> sources{{0, &t.points[leaf]}};
    for (uint32_t m :
         {KNN_RIGHT, KNN_LEFT, KNN_UP, KNN_DOWN, KNN_UP_RIGHT, KNN_DOWN_RIGHT, KNN_UP_LEFT, KNN_DOWN_LEFT})
        if (LODTreeNode* n = t.tree.root->getSubNodeFromRoot(leaf->id.getNeighbourID(m), false);
            n && n->numPoints > 0)
            sources.push_back({m, &t.points[n]});
    std::vector<std::vector<uint32_t>> want;
    std::vector<uint32_t> flatWant;
    for (Pt p : t.points[leaf]) {
        p[2] = flat ? 0 : p[2];
        // (distance, place in the concatenation, entry): sorting the triples is the stable sort.
        std::vector<std::tuple<uint64_t, uint32_t, uint32_t>> all;
        for (const auto& [marker, cloud] : sources)
            for (std::size_t i = 0; i < cloud->size(); ++i) {
                Pt q = (*cloud)[i];
                q[2] = flat ? 0 : q[2];
                all.emplace_back(dist2(p, q), uint32_t(all.size()), uint32_t(i) | marker);
            }
        const std::size_t kept = std::min<std::size_t>(all.size(), 101);
        std::partial_sort(all.begin(), all.begin() + std::ptrdiff_t(kept), all.end());
        auto& list = want.emplace_back();
        for (std::size_t j = 1; j < kept; ++j)
            list.push_back(std::get<2>(all[j]));
        flatWant.insert(flatWant.end(), list.begin(), list.end());
    }
    EXPECT_TRUE(entries<uint32_t>(path) == flatWant) << path << ": the lists differ";
    return want;
}

// Lists join the node's neighbours: random points some 90,000 units apart (32-bit squares would overflow)
// and an integer lattice (ties everywhere, also across borders); one leaf thinned to 50 points (its own k
// is 50 and the joins fill it), one empty. A point is a border point when its list reaches another node.
TEST(NodeNeighbours, ListsAreThoseOfTheNodeAndItsNeighboursTogether) {
    for (bool lattice : {false, true}) {
        SCOPED_TRACE(lattice ? "lattice" : "random");
        HandTree t(2);
        const int w = lattice ? 11 : 1000000;
        t.fillLeaves(w, [&](int x0, int y0, int leaf) {
            Cloud c;
            for (int i = 0; lattice && i < w; ++i)
                for (int j = 0; j < w; ++j)
                    c.push_back({x0 + i, y0 + j, (i * j + leaf) % 3});
            for (Pt p : lattice ? Cloud{} : randomCloud(115, 0, w - 1, unsigned(leaf)))
                c.push_back({x0 + p[0], y0 + p[1], p[2] / 4});
            c.resize(leaf == 5 ? 50 : leaf == 10 ? 0 : c.size());
            return c;
        });
        t.knn();
        t.root()->markBorderPoints();
        int borders = 0;
        for (auto& [leaf, cloud] : t.points) {
            auto* node = const_cast<LODTreeNode*>(leaf);
            if (cloud.empty()) {
                EXPECT_FALSE(std::filesystem::exists(leaf->getKnnPath()));
                continue;
            }
            const auto want = expectListsMatch(t, node, node->getKnnPath(), false);
            const auto border = readBytes(node->getBorderPath());
            ASSERT_EQ(border.size(), cloud.size());
            for (std::size_t p = 0; p < cloud.size(); ++p) {
                EXPECT_EQ(border[p], std::any_of(want[p].begin(), want[p].end(), isKNNmarked) ? 1 : 0);
                borders += border[p];
            }
            EXPECT_EQ(readBytes(node->getSurfPath()), std::vector<unsigned char>(cloud.size() * 4, 0));
        }
        EXPECT_GT(borders, 0);
    }
    // The two-dimensional flag applies to the called node only.
    HandTree single(0), split(1);
    single.setPoints(single.root(), randomCloud(300, 0, 500, 9));
    single.knn(true);
    EXPECT_FALSE(std::filesystem::exists(single.root()->getKnnPath()));
    expectListsMatch(single, single.root(), single.root()->getKnn2DPath(), true);
    for (int q = 1; q <= 4; ++q)
        split.setPoints(split.root()->child(q), randomCloud(20, 0, 50, unsigned(q)));
    split.knn(true);
    for (int q = 1; q <= 4; ++q) {
        EXPECT_TRUE(std::filesystem::exists(split.root()->child(q)->getKnnPath()));
        EXPECT_FALSE(std::filesystem::exists(split.root()->child(q)->getKnn2DPath()));
    }
}

// An interrupted stage leaves no temporary files; resumed, it computes only the leaves whose files are
// missing or short, to the bytes of an uninterrupted run.
TEST(NodeNeighbours, InterruptedStageResumesWithoutRecomputingCompleteLeaves) {
    auto fill = [](int x0, int y0, int leaf) {
        Cloud c;
        for (Pt p : randomCloud(110, 0, 999, unsigned(leaf)))
            c.push_back({x0 + p[0], y0 + p[1], p[2]});
        return c;
    };
    HandTree fresh(2), resumed(2);
    fresh.fillLeaves(1000, fill);
    resumed.fillLeaves(1000, fill);
    fresh.knn();
    std::vector<std::pair<LODTreeNode*, LODTreeNode*>> leaves; // (resumed, fresh)
    for (int i = 0; i < 16; ++i)
        leaves.push_back({resumed.node(2, i / 4, i % 4), fresh.node(2, i / 4, i % 4)});
    // Stopped once the first leaf is done: the leaves in progress finish, the rest never start.
    std::atomic<bool> stop{false};
    resumed.control.interrupt = &stop;
    resumed.control.progress = [&](const char*, uint64_t done, uint64_t) { stop = done >= 1; };
    EXPECT_THROW(resumed.knn(), TreeBuildError);
    const auto complete = std::count_if(
        leaves.begin(), leaves.end(), [](auto l) { return std::filesystem::exists(l.first->getKnnPath()); });
    EXPECT_TRUE(complete >= 1 && complete <= 4) << complete;
    for (const auto& e : std::filesystem::directory_iterator(resumed.dir.path()))
        EXPECT_NE(e.path().extension(), ".tmp") << e.path();
    stop = false;
    resumed.control.progress = nullptr;
    resumed.knn();
    // Truncate one leaf's file: only that leaf is computed again, to the same bytes.
    LODTreeNode* cut = leaves[6].first;
    const auto full = readBytes(cut->getKnnPath());
    writeBytes(cut->getKnnPath(), full, full.size() / 2);
    auto state = [](const std::string& path) {
        struct stat st {};
        EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
        return std::tuple{st.st_ino, std::filesystem::last_write_time(path), readBytes(path)};
    };
    std::map<LODTreeNode*, decltype(state(""))> before;
    for (auto [leaf, reference] : leaves)
        before[leaf] = state(leaf->getKnnPath());
    resumed.knn();
    for (auto [leaf, reference] : leaves) {
        const std::string path = leaf->getKnnPath();
        EXPECT_EQ(readBytes(path), readBytes(reference->getKnnPath())) << path;
        if (leaf == cut)
            EXPECT_NE(std::get<0>(state(path)), std::get<0>(before[leaf]));
        else
            EXPECT_TRUE(state(path) == before[leaf]) << path;
    }
}

// Distance from point p of the cloud to its 10th nearest other point.
double tenthNearest(const Cloud& c, std::size_t p) {
    std::vector<uint64_t> d;
    for (std::size_t i = 0; i < c.size(); ++i)
        if (i != p)
            d.push_back(dist2(c[p], c[i]));
    std::nth_element(d.begin(), d.begin() + 9, d.end());
    return std::sqrt(double(d[9]));
}

// The normal at n is `dir` scaled to `length` (the length of n itself when 0).
void expectNormal(const float* n, std::array<double, 3> dir, double length, const std::string& what) {
    const double dl = std::hypot(dir[0], dir[1], dir[2]);
    length = length ? length : std::hypot(n[0], n[1], n[2]);
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(n[i], dir[std::size_t(i)] / dl * length, 1e-4 * length) << what << " component " << i;
}

// Normals point up, scaled by the 10th neighbour's distance: a tilted plane over four leaves (borders too),
// a level lattice (stored as (0, 0, 2)), and a small leaf that must read its own entry count (k = 50: two
// far-apart patches, level and tilted, show a list read from the wrong place).
TEST(NodeNormals, PlanesGiveUpwardNormalsScaledByTheTenthNeighbour) {
    HandTree t(1);
    for (int q = 1; q <= 4; ++q) {
        const NodeID id = t.root()->child(q)->id;
        Cloud c;
        for (int i = 0; i < 144; ++i) {
            const int gi = id.x * 12 + i / 12, gj = id.y * 12 + i % 12;
            c.push_back({10 * gi, 10 * gj, 5 * gi + 2 * gj}); // z = 0.5 x + 0.2 y
        }
        t.setPoints(t.root()->child(q), c);
    }
    t.knn();
    t.root()->calculateNormals(t.root());
    for (int q = 1; q <= 4; ++q) {
        const auto n = entries<float>(t.root()->child(q)->getNormalPath());
        ASSERT_EQ(n.size(), 144u * 3);
        for (std::size_t p = 0; p < 144; ++p) {
            ASSERT_GT(std::hypot(n[3 * p], n[3 * p + 1], n[3 * p + 2]), 10.0);
            expectNormal(&n[3 * p], {-0.5, -0.2, 1}, 0, "leaf " + std::to_string(q));
        }
    }
    EXPECT_EQ(t.control.zeroNormals, 0u);
    for (bool patches : {false, true}) {
        HandTree one(0);
        Cloud c;
        for (int i = 0, n = patches ? 5 : 12; i < n * n; ++i) {
            c.push_back({i / n, i % n, 0});
            if (patches)
                c.push_back({100000 + i / n, i % n, i / n});
        }
        one.setPoints(one.root(), c);
        one.knn();
        if (patches)
            EXPECT_EQ(readBytes(one.root()->getKnnPath()).size(), 50u * 49 * 4);
        one.root()->calculateNormals(one.root());
        const auto n = entries<float>(one.root()->getNormalPath());
        ASSERT_EQ(n.size(), 3 * c.size());
        for (std::size_t p = 0; p < c.size(); ++p)
            if (patches)
                expectNormal(&n[3 * p],
                             p % 2 ? std::array<double, 3>{-1, 0, 1} : std::array<double, 3>{0, 0, 1},
                             tenthNearest(c, p), "point " + std::to_string(p));
            else if (c[p][0] >= 2 && c[p][0] <= 9 && c[p][1] >= 2 && c[p][1] <= 9)
                expectNormal(&n[3 * p], {0, 0, 1}, 2.0, "point " + std::to_string(p));
        EXPECT_EQ(one.control.zeroNormals, 0u);
    }
}

// Too few or degenerate neighbours give counted zero normals; a list file that is not whole entries for
// the points, or none at all, stops the stage.
TEST(NodeNormals, TooFewOrDegenerateNeighboursGiveCountedZeroNormals) {
    for (const Cloud& c : {Cloud{{0, 0, 0}, {5, 0, 0}, {0, 5, 1}},
                           Cloud{{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {5, 5, 5}}}) {
        HandTree t(0);
        t.setPoints(t.root(), c);
        t.knn();
        t.root()->calculateNormals(t.root());
        EXPECT_EQ(entries<float>(t.root()->getNormalPath()), std::vector<float>(c.size() * 3, 0.0f));
        EXPECT_EQ(t.control.zeroNormals, c.size());
    }
    HandTree t(0);
    t.setPoints(t.root(), {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 1}});
    EXPECT_THROW(t.root()->calculateNormals(t.root()), TreeBuildError);
    writeBytes(t.root()->getKnnPath(), std::vector<unsigned char>(4 * 4 * 2 + 4, 0));
    EXPECT_THROW(t.root()->calculateNormals(t.root()), TreeBuildError);
    EXPECT_THROW(t.root()->markBorderPoints(), TreeBuildError);
}

// Sub-node lookup (with and without the deepest existing ancestor) and removal of the neighbour lists only.
TEST(NodeTree, SubNodeLookupAndNeighbourFileRemoval) {
    HandTree t(1);
    LODTreeNode* root = t.root();
    HandTree::split(root->child(1), 1);
    const std::tuple<NodeID, bool, LODTreeNode*> lookups[] = {
        {NodeID(0, 0, 0), false, root},
        {NodeID(2, 1, 0), false, root->child(1)->child(3)},
        {NodeID(1, 1, 0), false, root->child(3)},
        {NodeID(2, 3, 3), false, nullptr},
        {NodeID(2, 3, 3), true, root->child(4)},
        {NodeID(2, 4, 0), true, nullptr},
        {NodeID(2, 0, 0).getNeighbourID(KNN_DOWN_LEFT), true, nullptr}};
    for (const auto& [id, deepest, want] : lookups)
        EXPECT_EQ(root->getSubNodeFromRoot(id, deepest), want) << id.generateSuffix() << " " << deepest;
    const std::vector<LODTreeNode*> nodes{root, root->child(1)->child(2), root->child(4)};
    for (LODTreeNode* n : nodes) {
        writeBytes(n->getKnnPath(), {1});
        writeBytes(n->getPointPath(), {1});
    }
    writeBytes(root->child(4)->getKnn2DPath(), {1});
    root->deleteNeighbourFiles();
    for (LODTreeNode* n : nodes) {
        EXPECT_FALSE(std::filesystem::exists(n->getKnnPath()));
        EXPECT_FALSE(std::filesystem::exists(n->getKnn2DPath()));
        EXPECT_TRUE(std::filesystem::exists(n->getPointPath()));
    }
}

} // namespace
