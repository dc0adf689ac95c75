#include "PointNormals.h"

#include "CLASFile.h"
#include "SyntheticScene.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

std::vector<float> normalsOf(const std::vector<double>& xyz, int k, unsigned threads = 0) {
    std::vector<float> out(xyz.size(), -7.0f); // a value no normal has, to catch unwritten slots
    computeNormals(xyz.data(), xyz.size() / 3, k, out.data(), threads);
    return out;
}

void expectFallback(const std::vector<float>& normals, size_t i) {
    EXPECT_EQ(normals[3 * i + 0], 0.0f) << "point " << i;
    EXPECT_EQ(normals[3 * i + 1], 0.0f) << "point " << i;
    EXPECT_EQ(normals[3 * i + 2], 1.0f) << "point " << i;
}

double length(const float* n) {
    return std::sqrt(double(n[0]) * n[0] + double(n[1]) * n[1] + double(n[2]) * n[2]);
}

// Points of z = a x + b y + c on a jittered grid, at UTM-sized coordinates.
std::vector<double> plane(int side, double a, double b, double noise, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> jitter(-0.2, 0.2);
    std::normal_distribution<double> dz(0.0, noise);
    std::vector<double> xyz;
    for (int r = 0; r < side; ++r)
        for (int c = 0; c < side; ++c) {
            double x = c + jitter(rng), y = r + jitter(rng);
            xyz.push_back(512000.0 + x);
            xyz.push_back(5400000.0 + y);
            xyz.push_back(300.0 + a * x + b * y + (noise > 0 ? dz(rng) : 0.0));
        }
    return xyz;
}

struct Scene {
    std::vector<double> xyz;
    std::vector<uint8_t> classes;
};

Scene syntheticScene(uint64_t points, int format, uint64_t seed) {
    TempDir dir;
    std::string path = dir.file("scene.las");
    writeSyntheticLAS(path, SynthOptions{points, format, seed});
    CLASFile las;
    EXPECT_TRUE(las.ReadFile(path.c_str()));
    Scene s;
    EXPECT_EQ(las.points.size(), points);
    for (auto& p : las.points) {
        s.xyz.push_back(double(p->GetX()) * las.ScaleFactor_X + las.OffsetX);
        s.xyz.push_back(double(p->GetY()) * las.ScaleFactor_Y + las.OffsetY);
        s.xyz.push_back(double(p->GetZ()) * las.ScaleFactor_Z + las.OffsetZ);
        s.classes.push_back(p->GetClasification());
    }
    return s;
}

} // namespace

TEST(PointNormals, HorizontalGridPointsUp) {
    std::vector<double> xyz;
    for (int r = 0; r < 30; ++r)
        for (int c = 0; c < 30; ++c) {
            xyz.insert(xyz.end(), {700000.0 + c * 0.5, 4100000.0 + r * 0.5, 123.25});
        }
    auto normals = normalsOf(xyz, 8);
    for (size_t i = 0; i < xyz.size() / 3; ++i) {
        EXPECT_EQ(normals[3 * i + 0], 0.0f) << "point " << i;
        EXPECT_EQ(normals[3 * i + 1], 0.0f) << "point " << i;
        EXPECT_EQ(normals[3 * i + 2], 1.0f) << "point " << i;
    }
}

TEST(PointNormals, TiltedPlaneGivesItsNormal) {
    auto xyz = plane(40, 0.5, 0.0, 0.0, 1);
    auto normals = normalsOf(xyz, 10);
    const double ex = -0.5 / std::sqrt(1.25), ez = 1.0 / std::sqrt(1.25); // (-0.447.., 0, 0.894..)
    for (size_t i = 0; i < xyz.size() / 3; ++i) {
        EXPECT_NEAR(normals[3 * i + 0], ex, 1e-5) << "point " << i;
        EXPECT_NEAR(normals[3 * i + 1], 0.0, 1e-5) << "point " << i;
        EXPECT_NEAR(normals[3 * i + 2], ez, 1e-5) << "point " << i;
    }
}

// Strips ever narrower across a tilted plane: the two smaller spreads of the neighbourhood approach each
// other, which moves the solve from the closed form to the iterative solver; both must find the plane.
TEST(PointNormals, NarrowStripsOfAPlaneGiveItsNormal) {
    const double ex = -0.3 / std::sqrt(1.09), ez = 1.0 / std::sqrt(1.09);
    for (double width : {1.0, 0.1, 0.01, 0.002}) {
        SCOPED_TRACE("width " + std::to_string(width));
        std::vector<double> xyz;
        for (int s = 0; s < 200; ++s)
            for (int a = 0; a < 3; ++a) {
                const double x = 500000.0 + 0.2 * s, y = 4000000.0 + width * a;
                xyz.insert(xyz.end(), {x, y, 10.0 + 0.3 * (x - 500000.0)});
            }
        auto normals = normalsOf(xyz, 12);
        for (size_t i = 0; i < xyz.size() / 3; ++i) {
            ASSERT_NEAR(normals[3 * i + 0], ex, 1e-4) << "point " << i;
            ASSERT_NEAR(normals[3 * i + 1], 0.0, 1e-4) << "point " << i;
            ASSERT_NEAR(normals[3 * i + 2], ez, 1e-4) << "point " << i;
        }
    }
}

TEST(PointNormals, SteepPlaneStillFacesUp) {
    // z = -3y: the normal (0, 3, 1)/sqrt(10) must keep its positive z whatever sign the solver returns.
    auto xyz = plane(30, 0.0, -3.0, 0.0, 2);
    auto normals = normalsOf(xyz, 12);
    for (size_t i = 0; i < xyz.size() / 3; ++i) {
        EXPECT_NEAR(normals[3 * i + 0], 0.0, 1e-5);
        EXPECT_NEAR(normals[3 * i + 1], 3.0 / std::sqrt(10.0), 1e-5);
        EXPECT_NEAR(normals[3 * i + 2], 1.0 / std::sqrt(10.0), 1e-5);
    }
}

TEST(PointNormals, VerticalWallIsOrientedByFirstComponent) {
    // The wall x = y (plus a constant): the normal is horizontal, (1, -1, 0)/sqrt(2) up to sign, and the
    // first non-zero component decides the sign.
    std::vector<double> xyz;
    for (int h = 0; h < 20; ++h)
        for (int s = 0; s < 20; ++s)
            xyz.insert(xyz.end(), {1000.0 + s * 0.25, 2000.0 + s * 0.25, 50.0 + h * 0.25});
    auto normals = normalsOf(xyz, 9);
    for (size_t i = 0; i < xyz.size() / 3; ++i) {
        EXPECT_NEAR(normals[3 * i + 0], 1.0 / std::sqrt(2.0), 1e-5) << "point " << i;
        EXPECT_NEAR(normals[3 * i + 1], -1.0 / std::sqrt(2.0), 1e-5) << "point " << i;
        EXPECT_GE(normals[3 * i + 2], 0.0f) << "point " << i;
        EXPECT_NEAR(normals[3 * i + 2], 0.0, 1e-5) << "point " << i;
    }
}

TEST(PointNormals, NoisyPlaneWithinAFewDegrees) {
    // One point per square metre with 1 cm of noise, z = 0.2x - 0.1y.
    auto xyz = plane(50, 0.2, -0.1, 0.01, 3);
    auto normals = normalsOf(xyz, 16);
    double ex = -0.2, ey = 0.1, ez = 1.0;
    double len = std::sqrt(ex * ex + ey * ey + ez * ez);
    ex /= len, ey /= len, ez /= len;
    const double maxAngle = 3.0 * M_PI / 180.0;
    for (size_t i = 0; i < xyz.size() / 3; ++i) {
        const float* n = &normals[3 * i];
        double dot = n[0] * ex + n[1] * ey + n[2] * ez;
        EXPECT_GT(dot, std::cos(maxAngle)) << "point " << i;
    }
}

TEST(PointNormals, SyntheticSceneNormalsAreUnitAndUp) {
    Scene s = syntheticScene(20000, 1, 11);
    const size_t n = s.classes.size();
    ASSERT_EQ(n, 20000u);
    std::vector<float> normals(3 * n, -7.0f);
    computeNormals(s.xyz.data(), n, 12, normals.data());
    size_t roofs = 0, roofsUp = 0, ground = 0, groundUp = 0;
    for (size_t i = 0; i < n; ++i) {
        const float* v = &normals[3 * i];
        ASSERT_TRUE(std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2])) << "point " << i;
        EXPECT_NEAR(length(v), 1.0, 1e-5) << "point " << i;
        EXPECT_GE(v[2], 0.0f) << "point " << i;
        if (s.classes[i] == 6) {
            ++roofs;
            roofsUp += v[2] > 0.5f;
        } else if (s.classes[i] == 2) {
            ++ground;
            groundUp += v[2] > 0.8f;
        }
    }
    // Roofs pitch at most 45 degrees and terrain is gentle; edges where surfaces meet may tilt further.
    ASSERT_GT(roofs, 100u);
    ASSERT_GT(ground, 1000u);
    EXPECT_GT(double(roofsUp) / double(roofs), 0.8) << roofsUp << " of " << roofs;
    EXPECT_GT(double(groundUp) / double(ground), 0.9) << groundUp << " of " << ground;
}

TEST(PointNormals, SameResultForAnyThreadCount) {
    Scene s = syntheticScene(20000, 0, 4);
    // A grid adds many equal distances, where an unstable choice of neighbours would show. More threads
    // also mean more blocks with their own trees: the neighbours must not depend on the split.
    for (int r = 0; r < 40; ++r)
        for (int c = 0; c < 40; ++c)
            s.xyz.insert(s.xyz.end(), {s.xyz[0] + c, s.xyz[1] + r, s.xyz[2] + 0.1 * c + (r % 3) * 0.05});
    auto one = normalsOf(s.xyz, 10, 1);
    auto two = normalsOf(s.xyz, 10, 2);
    auto seven = normalsOf(s.xyz, 10, 7);
    auto automatic = normalsOf(s.xyz, 10, 0);
    ASSERT_EQ(one.size(), s.xyz.size());
    EXPECT_EQ(std::memcmp(one.data(), two.data(), one.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(one.data(), seven.data(), one.size() * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(one.data(), automatic.data(), one.size() * sizeof(float)), 0);
}

// Cells and trees are two independent exact searches: they must agree on every point, ties included.
TEST(PointNormals, CellsAndTreesFindTheSameNeighbours) {
    Scene s = syntheticScene(30000, 0, 9);
    for (int r = 0; r < 30; ++r) // equal distances
        for (int c = 0; c < 30; ++c)
            s.xyz.insert(s.xyz.end(), {s.xyz[0] + c, s.xyz[1] + r, s.xyz[2] + 0.1 * c});
    for (int i = 0; i < 500; ++i) // a dense cluster, a vertical wall and a far outlier
        s.xyz.insert(s.xyz.end(), {s.xyz[3] + 1e-3 * (i % 7), s.xyz[4] + 1e-3 * (i / 7), s.xyz[5] + 0.01 * i});
    for (int i = 0; i < 400; ++i) // one point repeated: every distance among them ties
        s.xyz.insert(s.xyz.end(), {s.xyz[6], s.xyz[7], s.xyz[8]});
    s.xyz.insert(s.xyz.end(), {s.xyz[0] + 5000, s.xyz[1] - 3000, s.xyz[2]});
    std::vector<std::vector<double>> sets{s.xyz, {0, 0, 0, 1, 0, 0, 2, 0, 0, 3, 0, 1, 4, 0, 0, 5, 0, 2}};
    for (size_t set = 0; set < sets.size(); ++set) {
        SCOPED_TRACE("set " + std::to_string(set));
        const size_t n = sets[set].size() / 3;
        std::vector<float> cells(3 * n), trees(3 * n);
        computeNormals(std::vector<double>(sets[set]), 5, cells.data(), 2, {}, NeighbourSearch::Cells);
        computeNormals(std::vector<double>(sets[set]), 5, trees.data(), 2, {}, NeighbourSearch::Trees);
        EXPECT_EQ(std::memcmp(cells.data(), trees.data(), cells.size() * sizeof(float)), 0);
        std::vector<float> automatic(3 * n);
        computeNormals(std::vector<double>(sets[set]), 5, automatic.data(), 2);
        EXPECT_EQ(std::memcmp(cells.data(), automatic.data(), cells.size() * sizeof(float)), 0);
    }
}

// Thousands of candidates around one spot (a point repeated, a cluster far denser than the rest) must
// neither stall the search nor disturb the normals of the plane around them.
TEST(PointNormals, CrowdsAmongAPlane) {
    std::vector<double> xyz;
    for (int r = 0; r < 200; ++r)
        for (int c = 0; c < 200; ++c)
            xyz.insert(xyz.end(), {c * 0.5, r * 0.5, 2.0});
    const size_t plane = xyz.size() / 3;
    for (int i = 0; i < 4000; ++i)
        xyz.insert(xyz.end(), {50.25, 50.25, 2.0});
    for (int i = 0; i < 4000; ++i)
        xyz.insert(xyz.end(), {70.1 + 1e-4 * (i % 64), 70.1 + 1e-4 * (i / 64), 2.0});
    std::vector<float> normals(xyz.size());
    computeNormals(std::vector<double>(xyz), 16, normals.data(), 2, {}, NeighbourSearch::Cells);
    for (size_t i = 0; i < plane; ++i)
        ASSERT_EQ(normals[3 * i + 2], 1.0f) << "point " << i;
    for (size_t i = plane; i < xyz.size() / 3; ++i)
        ASSERT_EQ(normals[3 * i + 2], 1.0f) << "point " << i; // the repeats fall back, the cluster is flat
}

TEST(PointNormals, FewerPointsThanNeighboursFallBack) {
    auto xyz = plane(2, 0.5, 0.0, 0.0, 5); // 4 points
    auto normals = normalsOf(xyz, 5);
    for (size_t i = 0; i < 4; ++i)
        expectFallback(normals, i);
}

TEST(PointNormals, IdenticalPointsFallBack) {
    std::vector<double> xyz;
    for (int i = 0; i < 50; ++i)
        xyz.insert(xyz.end(), {512000.5, 5400000.25, 301.0});
    auto normals = normalsOf(xyz, 8, 3);
    for (size_t i = 0; i < 50; ++i)
        expectFallback(normals, i);
}

TEST(PointNormals, TwoDistinctPointsFallBack) {
    std::vector<double> xyz;
    for (int i = 0; i < 20; ++i)
        xyz.insert(xyz.end(), {10.0 + (i % 2), 20.0, 30.0 + (i % 2)});
    auto normals = normalsOf(xyz, 6);
    for (size_t i = 0; i < 20; ++i)
        expectFallback(normals, i);
}

TEST(PointNormals, CollinearPointsFallBack) {
    std::vector<double> xyz;
    for (int i = 0; i < 100; ++i)
        xyz.insert(xyz.end(), {512000.0 + 0.5 * i, 5400000.0 - 0.25 * i, 200.0 + 0.125 * i});
    auto normals = normalsOf(xyz, 7);
    for (size_t i = 0; i < 100; ++i)
        expectFallback(normals, i);
}

TEST(PointNormals, NonFinitePointsFallBackAndLeaveOthersAlone) {
    auto xyz = plane(20, 0.5, 0.0, 0.0, 6);
    const double nan = std::numeric_limits<double>::quiet_NaN(),
                 inf = std::numeric_limits<double>::infinity();
    xyz[3 * 7 + 0] = nan;
    xyz[3 * 50 + 2] = nan;
    xyz[3 * 99 + 1] = inf;
    xyz[3 * 150 + 2] = -inf;
    auto normals = normalsOf(xyz, 8);
    for (size_t i : {7u, 50u, 99u, 150u})
        expectFallback(normals, i);
    const double ex = -0.5 / std::sqrt(1.25), ez = 1.0 / std::sqrt(1.25);
    for (size_t i = 0; i < xyz.size() / 3; ++i) {
        if (i == 7 || i == 50 || i == 99 || i == 150)
            continue;
        EXPECT_NEAR(normals[3 * i + 0], ex, 1e-5) << "point " << i;
        EXPECT_NEAR(normals[3 * i + 2], ez, 1e-5) << "point " << i;
    }
}

TEST(PointNormals, AllNonFiniteFallBack) {
    std::vector<double> xyz(3 * 10, std::numeric_limits<double>::quiet_NaN());
    auto normals = normalsOf(xyz, 3);
    for (size_t i = 0; i < 10; ++i)
        expectFallback(normals, i);
}

TEST(PointNormals, KBelowThreeThrows) {
    auto xyz = plane(5, 0.0, 0.0, 0.0, 7);
    std::vector<float> normals(xyz.size());
    EXPECT_THROW(computeNormals(xyz.data(), 25, 2, normals.data()), std::invalid_argument);
    EXPECT_THROW(computeNormals(xyz.data(), 25, 0, normals.data()), std::invalid_argument);
    EXPECT_THROW(computeNormals(xyz.data(), 25, -4, normals.data()), std::invalid_argument);
    EXPECT_THROW(computeNormals(nullptr, 0, 1, nullptr), std::invalid_argument);
}

TEST(PointNormals, NoPointsDoesNothing) {
    bool called = false;
    EXPECT_NO_THROW(computeNormals(nullptr, 0, 8, nullptr, 4, [&](size_t, size_t) { called = true; }));
    EXPECT_FALSE(called);
}

TEST(PointNormals, ProgressIsOrderedFromOneThreadAndEndsAtTotal) {
    auto xyz = plane(100, 0.1, 0.1, 0.0, 8);
    const size_t n = xyz.size() / 3;
    std::vector<float> normals(xyz.size());
    std::vector<size_t> seen;
    std::thread::id caller = std::this_thread::get_id();
    bool otherThread = false;
    computeNormals(xyz.data(), n, 8, normals.data(), 4, [&](size_t done, size_t total) {
        otherThread |= std::this_thread::get_id() != caller;
        EXPECT_EQ(total, n);
        seen.push_back(done);
    });
    EXPECT_FALSE(otherThread);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), n);
    for (size_t i = 1; i < seen.size(); ++i)
        EXPECT_LT(seen[i - 1], seen[i]);
}

TEST(PointNormals, ProgressExceptionStopsAndPropagates) {
    auto xyz = plane(100, 0.1, 0.1, 0.0, 9);
    std::vector<float> normals(xyz.size());
    EXPECT_THROW(computeNormals(xyz.data(), xyz.size() / 3, 8, normals.data(), 3,
                                [](size_t, size_t) { throw std::runtime_error("cancelled"); }),
                 std::runtime_error);
}

TEST(PointNormals, AxisAlignedWallIsOrientedByFirstComponent) {
    // The wall y = const: the normal is (0, 1, 0) up to sign, x and z rounding noise aside.
    std::vector<double> xyz;
    for (int h = 0; h < 20; ++h)
        for (int s = 0; s < 20; ++s)
            xyz.insert(xyz.end(), {512000.0 + s * 0.3, 5400000.7, 80.0 + h * 0.2});
    auto normals = normalsOf(xyz, 9);
    for (size_t i = 0; i < xyz.size() / 3; ++i) {
        EXPECT_EQ(normals[3 * i + 0], 0.0f) << "point " << i;
        EXPECT_EQ(normals[3 * i + 1], 1.0f) << "point " << i;
        EXPECT_EQ(normals[3 * i + 2], 0.0f) << "point " << i;
    }
}

TEST(PointNormals, EqualDistancesAreTakenInIndexOrder) {
    // Six candidates at distance 1 from the origin for two places: the two lowest indices, (0, 0, 1)
    // and (1, 0, 0), span the plane y = 0; any other pair would give another normal or the fallback.
    std::vector<double> xyz = {0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 1, 0, -1, 0, 0, 0, -1, 0, 0, 0, -1};
    // Filler just beyond them, so the candidates fall into different leaves of the tree.
    std::mt19937 rng(12);
    std::normal_distribution<double> g(0.0, 1.0);
    for (int i = 0; i < 2000; ++i) {
        double x = g(rng), y = g(rng), z = g(rng), r = std::sqrt(x * x + y * y + z * z);
        double radius = 1.5 + (i % 10) * 0.2;
        xyz.insert(xyz.end(), {x / r * radius, y / r * radius, z / r * radius});
    }
    for (unsigned threads : {1u, 3u}) {
        auto normals = normalsOf(xyz, 3, threads);
        EXPECT_EQ(normals[0], 0.0f);
        EXPECT_EQ(normals[1], 1.0f);
        EXPECT_EQ(normals[2], 0.0f);
    }
}
