#include "support/CaptureStdout.h"
#include "MeshFixtures.h"
#include "support/Samples.h"
#include "PointGenerator.h"
#include "Simplification.h"
#include "SplatTile.h"

#include <gtest/gtest.h>

namespace {

struct QuietLog {
    QuietLog() { setGeometryLog(nullptr); }
    ~QuietLog() { setGeometryLog(&std::cout); }
};

// Simplifies and checks what must hold of every result: a planar triangulation, no removed vertex named,
// and every removed vertex close to the final surface.
SimplifyReport simplifyAndCheck(const std::vector<MeshPoint>& pts, float threshold, SimplifyVariant variant,
                                std::vector<unsigned>* out = nullptr) {
    QuietLog quiet;
    std::vector<unsigned> tris;
    triangulatePoints(pts, tris);
    std::set<unsigned> before(tris.begin(), tris.end());
    SimplifyReport r;
    simplifyTriangulation(pts, tris, threshold, variant, &r);
    EXPECT_EQ(r.trianglesAfter, tris.size() / 3);
    EXPECT_EQ(planarityFault(pts, tris), "");
    const std::set<unsigned> after(tris.begin(), tris.end());
    EXPECT_EQ(before.size() - after.size(), r.removed);
    // A removed vertex inside the final mesh lies within the largest error (800 t) of it.
    const double limit = 800.0 * (threshold == -1 ? 0.001 : threshold);
    std::size_t far = 0;
    for (unsigned v : before) {
        if (after.count(v))
            continue;
        double nearest = 1e300;
        bool covered = false;
        for (std::size_t t = 0; t < tris.size(); t += 3) {
            const MeshPoint &a = pts[tris[t]], &b = pts[tris[t + 1]], &c = pts[tris[t + 2]];
            covered |= signedArea(a, b, pts[v]) >= 0 && signedArea(b, c, pts[v]) >= 0 && signedArea(c, a, pts[v]) >= 0;
            const double d = distToTriangle(pts[v], a, b, c, 1e300);
            nearest = std::min(nearest, d);
        }
        far += covered && nearest > limit;
    }
    EXPECT_EQ(far, 0u);
    if (out)
        *out = tris;
    return r;
}

} // namespace

TEST(Simplification, StopsAtTheRemainingShareOfEachDriver) {
    const auto flat = randomPoints(640, 10.0, 3, 0.0);
    const auto tile = simplifyAndCheck(flat, 0.01f, SimplifyVariant::Tile);
    EXPECT_LE(tile.removed, 630u);
    EXPECT_GE(tile.removed, 600u); // a plane leaves nothing worth keeping
    const auto free = simplifyAndCheck(flat, 0.01f, SimplifyVariant::Free);
    EXPECT_EQ(free.removed, 480u);
    const auto weighted = simplifyAndCheck(randomPoints(640, 10.0, 4, 0.3), 0.01f, SimplifyVariant::WeightedRandom);
    EXPECT_LE(weighted.removed, 480u);
}

TEST(Simplification, DefaultThresholdIsOneThousandthAndLimitsEdgesToEightTenths) {
    // Spacing 0.5 on a plane: removals may open edges up to 0.8 only.
    const auto grid = gridPoints(20, 20, 0.5, [](double, double) { return 0.0; });
    std::vector<unsigned> byDefault, explicitly;
    simplifyAndCheck(grid, -1.0f, SimplifyVariant::Tile, &byDefault);
    simplifyAndCheck(grid, 0.001f, SimplifyVariant::Tile, &explicitly);
    EXPECT_EQ(byDefault, explicitly);
    for (std::size_t t = 0; t < byDefault.size(); t += 3)
        for (int k = 0; k < 3; ++k) {
            const MeshPoint &a = grid[byDefault[t + k]], &b = grid[byDefault[t + (k + 1) % 3]];
            EXPECT_LE(std::hypot(a.x - b.x, a.y - b.y), 0.8 + 1e-9);
        }
}

TEST(Simplification, RoughTerrainKeepsItsShapeAndRunsAreIdentical) {
    const auto pts = randomPoints(4000, 20.0, 11, 1.5);
    std::vector<unsigned> first, second;
    const auto r = simplifyAndCheck(pts, 0.002f, SimplifyVariant::Tile, &first);
    simplifyAndCheck(pts, 0.002f, SimplifyVariant::Tile, &second);
    EXPECT_GT(r.removed, 0u);
    EXPECT_LT(r.removed, 4000u - 4000u / 64);
    EXPECT_EQ(first, second);
}

TEST(Simplification, FewerPointsThanThreadsAreEachMeasuredOnce) {
    StdoutCapture out;
    std::vector<MeshPoint> pts{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0.2}, {0.5, 0.5, 0.05}};
    std::vector<unsigned> tris;
    triangulatePoints(pts, tris);
    simplifyTriangulation(pts, tris, 0.01f, SimplifyVariant::Tile);
    const std::string log = out.take();
    std::vector<int> seen(5, 0);
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        long first, last;
        if (std::sscanf(line.c_str(), "Thread %*d processing vertices from %ld to %ld", &first, &last) == 2)
            for (long v = first; v <= last; ++v)
                seen.at(std::size_t(v))++;
    }
    EXPECT_EQ(seen, std::vector<int>(5, 1));
    EXPECT_NE(log.find("Thread 6 ended."), std::string::npos);
    EXPECT_NE(log.find("New triangles size: "), std::string::npos);
}

TEST(Simplification, RandomSamplingTriangulatesAQuarterOfThePoints) {
    QuietLog quiet;
    const auto pts = randomPoints(401, 10.0, 9, 0.5);
    std::vector<unsigned> tris, again;
    triangulatePoints(pts, tris);
    again = tris;
    simplifyBySampling(pts, tris, -1.0f);
    simplifyBySampling(pts, again, -1.0f);
    EXPECT_EQ(std::set<unsigned>(tris.begin(), tris.end()).size(), 101u);
    EXPECT_EQ(planarityFault(pts, tris), "");
    EXPECT_EQ(tris, again);
}

TEST(Simplification, IndependentSetsMarkNoTwoNeighbours) {
    QuietLog quiet;
    const auto pts = randomPoints(500, 10.0, 5, 0.05);
    for (bool all : {false, true}) {
        std::vector<std::unique_ptr<TriangulationVertex>> owned;
        std::vector<TriangulationVertex*> vertices;
        for (unsigned i = 0; i < pts.size(); ++i) {
            owned.push_back(std::make_unique<TriangulationVertex>(i));
            vertices.push_back(owned.back().get());
        }
        std::vector<unsigned> tris;
        std::size_t marked = 0;
        for (int pass = 0; pass < 3; ++pass) {
            const int now = simplificationIteration(pts, {}, tris, vertices, 0.2f, all);
            marked += std::size_t(now);
            // The triangulation of this pass covers exactly the vertices unmarked before it.
            for (unsigned i : tris)
                ASSERT_LT(i, pts.size());
            for (std::size_t t = 0; t < tris.size(); t += 3)
                for (int k = 0; k < 3; ++k) {
                    const auto* a = vertices[tris[t + k]];
                    const auto* b = vertices[tris[t + (k + 1) % 3]];
                    EXPECT_FALSE(a->flags & b->flags & TriangulationVertex::MARKED) << "neighbours both marked";
                }
        }
        std::size_t flagged = 0;
        for (auto* v : vertices)
            flagged += (v->flags & TriangulationVertex::MARKED) != 0;
        EXPECT_EQ(flagged, marked);
        EXPECT_GT(marked, 50u);
    }
}

TEST(Simplification, TileTriangulatesRawCoordinatesAtRealMagnitudes) {
    // Raw values near the 32-bit limit with a centimetre scale: converted once to metres about the
    // tile's centre, a 1 m bump on a plane survives while the plane is thinned.
    SplatTile tile;
    tile.coordinateScale[0] = tile.coordinateScale[1] = tile.coordinateScale[2] = 0.01;
    const int base = 2'100'000'000;
    for (int i = 0; i < 40; ++i)
        for (int j = 0; j < 40; ++j) {
            const int bump = (i == 20 && j == 20) ? 100 : 0;
            tile.addSplat(Splat{base + i * 25 + (j % 3), -base + j * 25, 1000 + bump, 0, 0, 1});
        }
    QuietLog quiet;
    std::vector<unsigned> tris;
    tile.triangulate(tris, -1.0f);
    const auto pts = tile.meshPoints();
    EXPECT_EQ(planarityFault(pts, tris), "");
    EXPECT_TRUE(names(tris, 20 * 40 + 20)) << "the bump was removed";
    EXPECT_LT(tris.size() / 3, 39u * 39);
}

TEST(Simplification, SyntheticSurveyKeepsRoofsAndTreesWithinTheBound) {
    synth::PointGenerator gen(8000, 0, 1);
    std::vector<unsigned char> records(8000 * std::size_t(gen.recordLength()));
    const auto n = gen.generate(records.data(), 8000);
    std::vector<Splat> splats(n);
    for (std::size_t i = 0; i < n; ++i)
        std::memcpy(&splats[i], &records[i * std::size_t(gen.recordLength())], 12);
    const double scale[3] = {synth::PointGenerator::Scale, synth::PointGenerator::Scale, synth::PointGenerator::Scale};
    const auto r = simplifyAndCheck(meshPointsFromRaw(splats.data(), n, scale), -1.0f, SimplifyVariant::Tile);
    EXPECT_GT(r.removed, 0u);
}

TEST(Simplification, RealSamplesStayPlanarTriangulations) {
    const auto all = manifestSamples("las");
    if (all.empty())
        GTEST_SKIP() << "no real samples in " << PONTARO_DATA_DIR << "/las";
    for (const SampleFile& s : all) {
        SCOPED_TRACE(s.name);
        const auto pts = samplePoints(s.path, 3000);
        if (pts.size() < 3)
            continue;
        simplifyAndCheck(pts, -1.0f, SimplifyVariant::Tile);
    }
}
