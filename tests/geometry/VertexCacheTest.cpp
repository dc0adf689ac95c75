// Vertex-cache order: the fast reordering against the plain transcription of the defined full scan
// (support/FullScanVertexCache.h), the score values and the ACMR.
#include "VertexCache.h"
#include "LASHeader.h"
#include "Triangulation.h"
#include "support/FullScanVertexCache.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace {

using Idx = std::vector<unsigned>;

// Fast order equals the reference, is a permutation of the input's triangles (each keeping its own index
// order), and does not raise the ACMR.
void expectSameAsReference(const Idx& indices, unsigned vertexCount) {
    Idx fast = indices;
    optimizeTriangleOrderForVertexCache(fast, vertexCount);
    EXPECT_EQ(fast, fullScanVertexCacheOrder(indices, vertexCount));
    auto sorted = [](const Idx& idx) {
        std::vector<std::array<unsigned, 3>> t(idx.size() / 3);
        for (size_t i = 0; i < t.size(); ++i)
            t[i] = {idx[3 * i], idx[3 * i + 1], idx[3 * i + 2]};
        std::sort(t.begin(), t.end());
        return t;
    };
    EXPECT_EQ(sorted(fast), sorted(indices));
    EXPECT_LE(calculateACMR(fast, 32), calculateACMR(indices, 32) + 1e-12);
}

// A w × h grid of vertices, two triangles per cell, counter-clockwise.
Idx gridMesh(unsigned w, unsigned h) {
    Idx idx;
    for (unsigned y = 0; y + 1 < h; ++y)
        for (unsigned x = 0; x + 1 < w; ++x) {
            const unsigned a = y * w + x, b = a + 1, c = a + w, d = c + 1;
            idx.insert(idx.end(), {a, b, d, a, d, c});
        }
    return idx;
}

// Random triangles over a vertex pool, with a skewed choice so that some vertices are widely shared.
Idx randomMesh(std::mt19937& rng, unsigned triangles, unsigned vertices) {
    Idx idx;
    std::uniform_int_distribution<unsigned> any(0, vertices - 1);
    for (unsigned t = 0; t < triangles; ++t) {
        const unsigned a = any(rng), b = rng() % 4 == 0 ? any(rng) % 16 : any(rng); // a few hubs
        idx.insert(idx.end(), {a, b, any(rng)});
    }
    return idx;
}

} // namespace

TEST(VertexCache, ScoresAndAcmr) {
    for (int p : {-1, 0, 1, 2, 3, 17, 31})
        EXPECT_EQ(calculateVertexScore(0, p), -1.0f);
    EXPECT_EQ(calculateVertexScore(1, -1), 2.0f);
    EXPECT_EQ(calculateVertexScore(1, 0), 2.75f);
    EXPECT_EQ(calculateVertexScore(1, 2), 2.75f);
    EXPECT_EQ(calculateVertexScore(4, 3), 2.0f);
    EXPECT_FLOAT_EQ(calculateVertexScore(4, 31), 1.0f + float(std::pow(1 - 28 * 0.03448276, 1.5)));
    EXPECT_LT(calculateVertexScore(5, 10), calculateVertexScore(5, 9));

    EXPECT_DOUBLE_EQ(calculateACMR({0, 1, 2, 0, 1, 2}, 32), 1.5);
    EXPECT_EQ(calculateACMR({}, 32), 0.0);
    EXPECT_DOUBLE_EQ(calculateACMR({0, 1, 2, 0, 1, 2}, 0), 3.0);
    // LRU of 3: 0 1 2 3 miss (3 evicts 0); 2 hits and moves to the front; 0 misses and evicts 1, 1 misses
    // and evicts 3, 3 misses and evicts 2; the last 3 hits: 7 misses.
    EXPECT_DOUBLE_EQ(calculateACMR({0, 1, 2, 3, 2, 0, 1, 3, 3}, 3), 3.0 * 7 / 9);
}

// Small lists stay as they are; triangles sharing an edge follow each other; bad lists are refused untouched.
TEST(VertexCache, SmallAndBadLists) {
    for (const Idx& kept : {Idx{}, Idx{2, 0, 1}, Idx{0, 1, 2, 2, 1, 3}}) {
        Idx idx = kept;
        optimizeTriangleOrderForVertexCache(idx, 4);
        EXPECT_EQ(idx, kept);
    }
    Idx mesh = {5, 6, 7, 1, 2, 0, 8, 9, 10, 2, 1, 3};
    expectSameAsReference(mesh, 11);
    optimizeTriangleOrderForVertexCache(mesh, 11);
    auto at = [&](Idx t) { return std::search(mesh.begin(), mesh.end(), t.begin(), t.end()) - mesh.begin(); };
    EXPECT_EQ(std::abs(at({1, 2, 0}) - at({2, 1, 3})), 3);

    Idx idx = {0, 1, 2, 2, 1, 3};
    EXPECT_THROW(optimizeTriangleOrderForVertexCache(idx, 3), std::out_of_range);
    EXPECT_THROW(optimizeTriangleOrderForVertexCache(idx, 0), std::out_of_range);
    EXPECT_EQ(idx, (Idx{0, 1, 2, 2, 1, 3}));
    Idx partial = {0, 1, 2, 3};
    EXPECT_THROW(optimizeTriangleOrderForVertexCache(partial, 4), std::invalid_argument);
    EXPECT_EQ(partial.size(), 4u);
}

// The fast order equals the full scan on grids (also shuffled), a fan beyond 255 triangles (an 8-bit count
// would wrap), random meshes with hubs and degenerate triangles, and a Delaunay mesh.
TEST(VertexCache, MeshesMatchTheFullScan) {
    std::mt19937 rng(7);
    std::vector<std::pair<Idx, unsigned>> meshes{{gridMesh(60, 50), 3000}};
    Idx grid = gridMesh(100, 80), shuffled, fan;
    std::vector<unsigned> order(grid.size() / 3);
    for (unsigned i = 0; i < order.size(); ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(3));
    for (unsigned t : order)
        shuffled.insert(shuffled.end(), grid.begin() + 3 * t, grid.begin() + 3 * t + 3);
    meshes.push_back({shuffled, 8000});
    for (unsigned half = 0, n = 600; half < 2; ++half) // all of the fan first, then the ring around it
        for (unsigned i = 0; i < n; ++i)
            fan.insert(fan.end(), {half ? 1 + i : 0, half ? 1 + n + i : 1 + i, 1 + (i + 1) % n});
    meshes.push_back({fan, 1201});
    for (unsigned triangles : {2u, 10u, 100u, 1000u, 5000u})
        for (unsigned vertices : {triangles / 2 + 3, triangles * 3})
            meshes.push_back({randomMesh(rng, triangles, vertices), vertices});
    meshes.push_back({randomMesh(rng, 20000, 10000), 10000});
    meshes.push_back({{0, 0, 1, 1, 2, 2, 3, 3, 3, 0, 1, 2}, 10}); // degenerate; unused numbers allowed
    std::uniform_real_distribution<double> u(0.0, 100.0);
    std::vector<MeshPoint> points(5000);
    for (auto& p : points)
        p = {u(rng), u(rng), u(rng)};
    Idx delaunay;
    ASSERT_TRUE(triangulatePoints(points, delaunay));
    meshes.push_back({delaunay, 5000});
    for (const auto& [idx, vertices] : meshes) {
        SCOPED_TRACE(std::to_string(idx.size() / 3) + " triangles");
        expectSameAsReference(idx, vertices);
    }
    optimizeTriangleOrderForVertexCache(meshes[0].first, 3000);
    EXPECT_LT(calculateACMR(meshes[0].first, 32), 0.8);
}

// Real samples: up to 50,000 points triangulate into counter-clockwise triangles, at least n/2 of them;
// the mesh of the first 3,000 is ordered as the full scan orders it.
TEST(VertexCache, RealSamplesTriangulateCleanlyAndMatchTheFullScan) {
    const auto files = manifestSamples("las");
    if (files.empty())
        GTEST_SKIP() << "no LAS samples under " << PONTARO_DATA_DIR << "/las";
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        std::ifstream in(f.path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        ASSERT_GE(bytes.size(), 227u);
        LASHeader h;
        h.copyFromBuffer(reinterpret_cast<const unsigned char*>(bytes.data()));
        std::vector<Splat> splats(std::min<size_t>(h.NumberOfPointRecords, 50000));
        ASSERT_GE(bytes.size(), h.OffsetToPointData + splats.size() * h.PointDataRecordLength);
        for (size_t i = 0; i < splats.size(); ++i)
            std::memcpy(&splats[i], bytes.data() + h.OffsetToPointData + i * h.PointDataRecordLength, 12);
        const double scale[3] = {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z};
        const auto points = meshPointsFromRaw(splats.data(), splats.size(), scale);
        Idx idx, first;
        EXPECT_TRUE(triangulatePoints(points, idx));
        EXPECT_GE(idx.size() / 3, splats.size() / 2);
        for (size_t t = 0; t < idx.size(); t += 3) {
            const MeshPoint &a = points.at(idx[t]), &b = points.at(idx[t + 1]), &c = points.at(idx[t + 2]);
            ASSERT_GT((b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x), 0) << "triangle " << t / 3;
        }
        const size_t n = std::min<size_t>(splats.size(), 3000);
        ASSERT_TRUE(triangulatePoints(meshPointsFromRaw(splats.data(), n, scale), first));
        expectSameAsReference(first, unsigned(n));
    }
}
