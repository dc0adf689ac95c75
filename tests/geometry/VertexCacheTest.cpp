// Vertex-cache order: the fast reordering against the plain transcription of the defined full scan
// (support/FullScanVertexCache.h), the score values and the ACMR of Part 6.5.
#include "VertexCache.h"
#include "CLASFile.h"
#include "Triangulation.h"
#include "support/CaptureStdout.h"
#include "support/FullScanVertexCache.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <random>
#include <stdexcept>

namespace {

std::vector<unsigned> sortedTriangles(const std::vector<unsigned>& indices) {
    std::vector<std::array<unsigned, 3>> t(indices.size() / 3);
    for (size_t i = 0; i < t.size(); ++i)
        t[i] = {indices[3 * i], indices[3 * i + 1], indices[3 * i + 2]};
    std::sort(t.begin(), t.end());
    std::vector<unsigned> flat;
    for (auto& a : t)
        flat.insert(flat.end(), a.begin(), a.end());
    return flat;
}

// Fast order equals the reference, and is a permutation of the input's triangles (own index order kept).
void expectSameAsReference(const std::vector<unsigned>& indices, unsigned vertexCount) {
    std::vector<unsigned> fast = indices;
    optimizeTriangleOrderForVertexCache(fast, vertexCount);
    ASSERT_EQ(fast.size(), indices.size());
    EXPECT_EQ(sortedTriangles(fast), sortedTriangles(indices));
    const std::vector<unsigned> reference = fullScanVertexCacheOrder(indices, vertexCount);
    ASSERT_EQ(reference.size(), indices.size());
    EXPECT_EQ(fast, reference);
    EXPECT_LE(calculateACMR(fast, 32), calculateACMR(indices, 32) + 1e-12);
}

// A w × h grid of vertices, two triangles per cell, counter-clockwise.
std::vector<unsigned> gridMesh(unsigned w, unsigned h) {
    std::vector<unsigned> idx;
    for (unsigned y = 0; y + 1 < h; ++y)
        for (unsigned x = 0; x + 1 < w; ++x) {
            const unsigned a = y * w + x, b = a + 1, c = a + w, d = c + 1;
            idx.insert(idx.end(), {a, b, d, a, d, c});
        }
    return idx;
}

// Random triangles over a vertex pool, with a skewed choice so that some vertices are widely shared.
std::vector<unsigned> randomMesh(std::mt19937& rng, unsigned triangles, unsigned vertices) {
    std::vector<unsigned> idx;
    std::uniform_int_distribution<unsigned> any(0, vertices - 1);
    for (unsigned t = 0; t < triangles; ++t) {
        const unsigned a = any(rng);
        const unsigned b = rng() % 4 == 0 ? any(rng) % 16 : any(rng); // a few hubs
        idx.insert(idx.end(), {a, b, any(rng)});
    }
    return idx;
}

TEST(VertexCache, Scores) {
    for (int p : {-1, 0, 1, 2, 3, 17, 31})
        EXPECT_EQ(calculateVertexScore(0, p), -1.0f);
    EXPECT_EQ(calculateVertexScore(1, -1), 2.0f);
    EXPECT_EQ(calculateVertexScore(1, 0), 2.75f);
    EXPECT_EQ(calculateVertexScore(1, 2), 2.75f);
    EXPECT_EQ(calculateVertexScore(4, 3), 2.0f);
    EXPECT_FLOAT_EQ(calculateVertexScore(4, 31), 1.0f + float(std::pow(1 - 28 * 0.03448276, 1.5)));
    EXPECT_LT(calculateVertexScore(5, 10), calculateVertexScore(5, 9));
}

TEST(VertexCache, Acmr) {
    EXPECT_DOUBLE_EQ(calculateACMR({0, 1, 2, 0, 1, 2}, 32), 1.5);
    EXPECT_EQ(calculateACMR({}, 32), 0.0);
    EXPECT_DOUBLE_EQ(calculateACMR({0, 1, 2, 0, 1, 2}, 0), 3.0);
    // LRU of 3: 0 1 2 3 miss (3 evicts 0); 2 hits and moves to the front; 0 misses and evicts 1, 1 misses
    // and evicts 3, 3 misses and evicts 2; the last 3 hits: 7 misses.
    EXPECT_DOUBLE_EQ(calculateACMR({0, 1, 2, 3, 2, 0, 1, 3, 3}, 3), 3.0 * 7 / 9);
}

TEST(VertexCache, SmallLists) {
    std::vector<unsigned> empty;
    optimizeTriangleOrderForVertexCache(empty, 0);
    EXPECT_TRUE(empty.empty());
    std::vector<unsigned> one = {2, 0, 1};
    optimizeTriangleOrderForVertexCache(one, 3);
    EXPECT_EQ(one, (std::vector<unsigned>{2, 0, 1}));
    // Two triangles sharing edge 1-2 among unrelated ones: emitted one after the other, each as it was.
    std::vector<unsigned> mesh = {5, 6, 7, 1, 2, 0, 8, 9, 10, 2, 1, 3};
    optimizeTriangleOrderForVertexCache(mesh, 11);
    auto find = [&](std::array<unsigned, 3> t) {
        for (size_t i = 0; i < mesh.size(); i += 3)
            if (std::equal(t.begin(), t.end(), mesh.begin() + i))
                return int(i / 3);
        return -10;
    };
    EXPECT_EQ(std::abs(find({1, 2, 0}) - find({2, 1, 3})), 1);
    std::vector<unsigned> pair = {0, 1, 2, 2, 1, 3};
    optimizeTriangleOrderForVertexCache(pair, 4);
    EXPECT_EQ(pair, (std::vector<unsigned>{0, 1, 2, 2, 1, 3}));
    expectSameAsReference({5, 6, 7, 1, 2, 0, 8, 9, 10, 2, 1, 3}, 11);
}

TEST(VertexCache, OutOfRangeThrowsAndLeavesListUntouched) {
    std::vector<unsigned> idx = {0, 1, 2, 2, 1, 3};
    const auto before = idx;
    EXPECT_THROW(optimizeTriangleOrderForVertexCache(idx, 3), std::out_of_range);
    EXPECT_EQ(idx, before);
    EXPECT_THROW(optimizeTriangleOrderForVertexCache(idx, 0), std::out_of_range);
    EXPECT_EQ(idx, before);
    std::vector<unsigned> partial = {0, 1, 2, 3};
    EXPECT_THROW(optimizeTriangleOrderForVertexCache(partial, 4), std::invalid_argument);
    EXPECT_EQ(partial.size(), 4u);
}

TEST(VertexCache, GridMatchesFullScan) {
    expectSameAsReference(gridMesh(60, 50), 60 * 50);
    EXPECT_LT(calculateACMR(
                  [] {
                      auto g = gridMesh(60, 50);
                      optimizeTriangleOrderForVertexCache(g, 3000);
                      return g;
                  }(),
                  32),
              0.8);
}

TEST(VertexCache, FanBeyond255TrianglesMatchesFullScan) {
    // Vertex 0 is shared by 600 triangles (an 8-bit count would wrap), plus a ring of grid around it.
    std::vector<unsigned> idx;
    const unsigned n = 600;
    for (unsigned i = 0; i < n; ++i)
        idx.insert(idx.end(), {0, 1 + i, 1 + (i + 1) % n});
    for (unsigned i = 0; i < n; ++i)
        idx.insert(idx.end(), {1 + i, 1 + n + i, 1 + (i + 1) % n});
    expectSameAsReference(idx, 1 + 2 * n);
}

TEST(VertexCache, RandomMeshesMatchFullScan) {
    std::mt19937 rng(7);
    for (unsigned triangles : {2u, 10u, 100u, 1000u, 5000u}) {
        SCOPED_TRACE(triangles);
        for (unsigned vertices : {triangles / 2 + 3, triangles * 3})
            expectSameAsReference(randomMesh(rng, triangles, vertices), vertices);
    }
    expectSameAsReference(randomMesh(rng, 20000, 10000), 10000);
    // Degenerate triangles repeat a vertex; unused vertex numbers are allowed.
    expectSameAsReference({0, 0, 1, 1, 2, 2, 3, 3, 3, 0, 1, 2}, 10);
}

TEST(VertexCache, ShuffledGridMatchesFullScan) {
    auto idx = gridMesh(100, 80);
    std::mt19937 rng(3);
    std::vector<unsigned> order(idx.size() / 3), shuffled;
    for (unsigned i = 0; i < order.size(); ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    for (unsigned t : order)
        shuffled.insert(shuffled.end(), idx.begin() + 3 * t, idx.begin() + 3 * t + 3);
    expectSameAsReference(shuffled, 100 * 80);
}

TEST(VertexCache, DelaunayMeshMatchesFullScan) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(0.0, 100.0);
    std::vector<MeshPoint> points(5000);
    for (auto& p : points)
        p = {u(rng), u(rng), u(rng)};
    std::vector<unsigned> idx;
    ASSERT_TRUE(triangulatePoints(points, idx));
    ASSERT_GT(idx.size(), 3u * 9900);
    expectSameAsReference(idx, unsigned(points.size()));
}

TEST(VertexCache, RealSampleMeshMatchesFullScan) {
    const std::string path = std::string(PONTARO_DATA_DIR) + "/las/mvk-thin.las";
    if (!std::filesystem::exists(path))
        GTEST_SKIP() << "no sample " << path;
    CLASFile las;
    {
        StdoutCapture quiet;
        ASSERT_TRUE(las.ReadFile(path.c_str()));
    }
    std::vector<MeshPoint> points;
    for (auto& p : las.points)
        points.push_back({double(p->GetX()) * las.ScaleFactor_X, double(p->GetY()) * las.ScaleFactor_Y,
                          double(p->GetZ()) * las.ScaleFactor_Z});
    std::vector<unsigned> idx;
    ASSERT_TRUE(triangulatePoints(points, idx));
    ASSERT_GT(idx.size(), 3u * 10000); // 6,280 points
    expectSameAsReference(idx, unsigned(points.size()));
}

} // namespace
