#include "SceneModel.h"
#include "SceneRandom.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <tuple>

using synth::Building;
using synth::RoofShape;
using synth::SceneBlock;
using synth::SceneModel;
using synth::SurfaceHit;
using synth::Tree;

namespace {

constexpr double B = SceneModel::BlockSize;

// A building and tree list of the blocks around (bx, by), for brute-force answers.
void objectsAround(const SceneModel& m, int64_t bx, int64_t by, std::vector<Building>& buildings,
                   std::vector<Tree>& trees) {
    m.objectsIn(bx * B, by * B, (bx + 1) * B, (by + 1) * B, buildings, trees);
}

} // namespace

TEST(SceneModel, TerrainAndLandCoverAreDeterministicSmoothAndInRange) {
    const SceneModel a(5, 1000, 1000), b(5, 1000, 1000), other(6, 1000, 1000);
    double lo = 1e9, hi = -1e9, steepest = 0, grassLo = 1, grassHi = 0;
    int differ = 0;
    for (int j = 0; j <= 50; ++j)
        for (int i = 0; i <= 50; ++i) {
            const double x = i * 20.0 + 0.37, y = j * 20.0 + 0.91;
            const double h = a.groundHeight(x, y);
            ASSERT_EQ(h, b.groundHeight(x, y));
            differ += h != other.groundHeight(x, y);
            lo = std::min(lo, h), hi = std::max(hi, h);
            // 10 cm apart the ground may rise by a few centimetres at most: no steps, no cliffs.
            steepest = std::max({steepest, std::fabs(a.groundHeight(x + 0.1, y) - h),
                                 std::fabs(a.groundHeight(x, y + 0.1) - h)});
            const double g = a.grassCover(x, y), s = a.settlement(x, y), f = a.forestCover(x, y);
            ASSERT_TRUE(g >= 0 && g <= 1 && s >= 0 && s <= 1 && f >= 0) << x << "," << y;
            ASSERT_LE(f, 1.0 - s + 1e-12) << "forest keeps out of settlements";
            grassLo = std::min(grassLo, g), grassHi = std::max(grassHi, g);
        }
    EXPECT_EQ(differ, 51 * 51);
    EXPECT_GT(hi - lo, 5.0) << "a kilometre of terrain should have hills and a slope";
    EXPECT_LT(hi - lo, 150.0);
    EXPECT_LT(steepest, 0.08);
    EXPECT_GT(steepest, 0.001);
    EXPECT_GT(grassHi - grassLo, 0.5) << "the ground mixes grass and soil";
    EXPECT_DOUBLE_EQ(a.settlement(500, 500), 1.0) << "the village lies at the centre";

    // The noise cache changes nothing, along a scan line or after a jump far away.
    synth::NoiseCache cache;
    synth::Random r(1);
    double x = 100, y = 100;
    for (int i = 0; i < 20000; ++i) {
        if (i % 997 == 0)
            x = r.uniform(-300, 800), y = r.uniform(-300, 800);
        else
            x += r.uniform(-0.5, 0.5), y += r.uniform(-0.5, 0.5);
        ASSERT_EQ(a.groundHeight(x, y, &cache), a.groundHeight(x, y));
        ASSERT_EQ(a.grassCover(x, y, &cache), a.grassCover(x, y));
    }
}

TEST(SceneModel, RotatedFootprintContainsExactlyItsRectangle) {
    Building b;
    b.cx = 10, b.cy = 20, b.halfLength = 6, b.halfWidth = 4;
    b.cosA = 0.6, b.sinA = 0.8; // u axis points along (0.6, 0.8)
    auto world = [&](double u, double v) {
        return std::pair(b.cx + u * 0.6 - v * 0.8, b.cy + u * 0.8 + v * 0.6);
    };
    for (double u : {-5.9, -3.0, 0.0, 2.5, 5.9})
        for (double v : {-3.9, 0.0, 3.9}) {
            auto [x, y] = world(u, v);
            EXPECT_TRUE(b.contains(x, y)) << u << "," << v;
        }
    for (auto [u, v] : {std::pair(6.1, 0.0), std::pair(-6.1, 0.0), std::pair(0.0, 4.1), std::pair(0.0, -4.1),
                        std::pair(6.1, 4.1)}) {
        auto [x, y] = world(u, v);
        EXPECT_FALSE(b.contains(x, y)) << u << "," << v;
    }
    // An axis-aligned box of the same size would contain this point; the rotated one does not.
    EXPECT_FALSE(b.contains(b.cx + 5.5, b.cy));
    EXPECT_NEAR(b.extentX(), 0.6 * 6 + 0.8 * 4, 1e-12);
    EXPECT_NEAR(b.extentY(), 0.8 * 6 + 0.6 * 4, 1e-12);
}

TEST(SceneModel, GableRoofRisesFromEavesToRidgeAndFlatRoofHasAParapet) {
    Building g;
    g.halfLength = 6, g.halfWidth = 4, g.eaveZ = 100, g.ridgeZ = 103, g.shape = RoofShape::Gable;
    EXPECT_DOUBLE_EQ(g.roofHeight(0, 0), 103);
    EXPECT_DOUBLE_EQ(g.roofHeight(3, 0), 103) << "the ridge runs along the length";
    EXPECT_DOUBLE_EQ(g.roofHeight(0, 2), 101.5);
    EXPECT_DOUBLE_EQ(g.roofHeight(0, -2), 101.5);
    EXPECT_NEAR(g.roofHeight(0, 3.99), 100.0, 0.01);

    Building f = g;
    f.shape = RoofShape::Flat;
    f.ridgeZ = f.eaveZ;
    EXPECT_DOUBLE_EQ(f.roofHeight(0, 0), 100);
    EXPECT_DOUBLE_EQ(f.roofHeight(5, 3), 100);
    EXPECT_DOUBLE_EQ(f.roofHeight(5.9, 0), 100 + Building::ParapetHeight);
    EXPECT_DOUBLE_EQ(f.roofHeight(0, -3.9), 100 + Building::ParapetHeight);
}

TEST(SceneModel, ConeAndDomeCrownsPeakAtTheTrunk) {
    Tree t;
    t.cx = 0, t.cy = 0, t.radius = 4, t.groundZ = 0, t.crownBaseZ = 6, t.topZ = 20;
    t.conifer = true;
    EXPECT_DOUBLE_EQ(t.crownSurface(0, 0), 20);
    EXPECT_DOUBLE_EQ(t.crownSurface(2, 0), 13);
    EXPECT_TRUE(t.covers(3.9, 0));
    EXPECT_FALSE(t.covers(3, 3));
    t.conifer = false;
    EXPECT_DOUBLE_EQ(t.crownSurface(0, 0), 20);
    EXPECT_GT(t.crownSurface(2, 0), 13) << "a dome is fuller than a cone";
    EXPECT_NEAR(t.crownSurface(3.999, 0), 13, 0.2) << "the dome's rim is at mid-crown";
}

TEST(SceneModel, ObjectsStandOnTheTerrainAndKeepClearOfEachOther) {
    const SceneModel m(3, 1500, 1500);
    int buildings = 0, trees = 0;
    for (int64_t by = 0; by < 20; by += 3)
        for (int64_t bx = 0; bx < 20; bx += 3) {
            const auto bs = m.buildingsOf(bx, by);
            const auto ts = m.treesOf(bx, by);
            std::vector<Building> near;
            for (int64_t j = by - 1; j <= by + 1; ++j)
                for (int64_t i = bx - 1; i <= bx + 1; ++i) {
                    const auto more = m.buildingsOf(i, j);
                    near.insert(near.end(), more.begin(), more.end());
                }
            buildings += int(bs.size());
            trees += int(ts.size());
            for (const Building& b : bs) {
                // Inside their own block, so the block's lookup never misses one.
                EXPECT_GE(b.cx - b.extentX(), bx * B);
                EXPECT_LE(b.cx + b.extentX(), (bx + 1) * B);
                EXPECT_GE(b.cy - b.extentY(), by * B);
                EXPECT_LE(b.cy + b.extentY(), (by + 1) * B);
                EXPECT_NEAR(b.cosA * b.cosA + b.sinA * b.sinA, 1.0, 1e-12);
                EXPECT_GE(b.eaveZ - b.baseZ, 2.8);
                EXPECT_GE(b.ridgeZ, b.eaveZ);
                for (int i = -1; i <= 1; ++i)
                    for (int j = -1; j <= 1; ++j) {
                        const double u = i * b.halfLength, v = j * b.halfWidth;
                        EXPECT_GE(b.baseZ, m.groundHeight(b.cx + u * b.cosA - v * b.sinA,
                                                          b.cy + u * b.sinA + v * b.cosA));
                    }
                for (const Building& o : bs) {
                    if (&o == &b)
                        continue;
                    for (int i = -4; i <= 4; ++i)
                        for (int j = -4; j <= 4; ++j) {
                            const double u = i * b.halfLength / 4.01, v = j * b.halfWidth / 4.01;
                            EXPECT_FALSE(
                                o.contains(b.cx + u * b.cosA - v * b.sinA, b.cy + u * b.sinA + v * b.cosA));
                        }
                }
            }
            for (const Tree& t : ts) {
                EXPECT_GE(t.cx, bx * B);
                EXPECT_LT(t.cx, (bx + 1) * B);
                EXPECT_LE(t.radius, SceneModel::MaxTreeRadius);
                EXPECT_DOUBLE_EQ(t.groundZ, m.groundHeight(t.cx, t.cy));
                EXPECT_GE(t.crownBaseZ, t.groundZ + 2.0);
                EXPECT_GT(t.topZ, t.crownBaseZ);
                // No crown over a roof, whichever block the building belongs to.
                for (const Building& b : near)
                    for (int k = 0; k < 16; ++k) {
                        const double a = k * (2 * 3.141592653589793 / 16);
                        for (double f : {0.0, 0.5, 0.99}) {
                            EXPECT_FALSE(b.contains(t.cx + f * t.radius * std::cos(a),
                                                    t.cy + f * t.radius * std::sin(a)));
                        }
                    }
            }
        }
    EXPECT_GT(buildings, 10);
    EXPECT_GT(trees, 100);
}

TEST(SceneModel, LargeSceneHasEveryKindOfObject) {
    const SceneModel m(1, 2000, 2000);
    std::vector<Building> buildings;
    std::vector<Tree> trees;
    m.objectsIn(0, 0, 2000, 2000, buildings, trees);
    int flat = 0, gable = 0, rotated = 0, conifers = 0;
    for (const Building& b : buildings) {
        (b.shape == RoofShape::Flat ? flat : gable) += 1;
        // Gables are pitched between about 24 and 45 degrees; flat roofs are flat.
        if (b.shape == RoofShape::Gable) {
            EXPECT_GE(b.ridgeZ - b.eaveZ, 0.45 * b.halfWidth - 1e-9);
            EXPECT_LE(b.ridgeZ - b.eaveZ, 1.0 * b.halfWidth + 1e-9);
        } else {
            EXPECT_EQ(b.ridgeZ, b.eaveZ);
        }
        rotated += std::fabs(b.sinA) > 0.05 && std::fabs(b.cosA) > 0.05;
    }
    for (const Tree& t : trees)
        conifers += t.conifer;
    EXPECT_GT(flat, 5);
    EXPECT_GT(gable, 5);
    EXPECT_GT(rotated, 5);
    EXPECT_GT(conifers, 50);
    EXPECT_GT(int(trees.size()) - conifers, 50);
    std::set<std::tuple<int, int, int>> colours;
    for (const Building& b : buildings)
        colours.insert({b.colour.red, b.colour.green, b.colour.blue});
    EXPECT_GT(colours.size(), buildings.size() / 3) << "roof colours vary from building to building";

    for (uint64_t seed = 1; seed <= 12; ++seed) { // every seed has a village with gardens at the centre
        const SceneModel small(seed, 200, 200);
        buildings.clear(), trees.clear();
        small.objectsIn(40, 40, 160, 160, buildings, trees);
        EXPECT_GE(buildings.size(), 3u) << "seed " << seed;
        EXPECT_GE(trees.size(), 1u) << "seed " << seed;
    }
}

TEST(SceneModel, BlockLookupAgreesWithABruteForceSearch) {
    const SceneModel m(4, 2000, 2000);
    synth::Random r(5);
    int roofs = 0, crowns = 0;
    // Blocks at the village and out in the country, forests included.
    for (auto [bx, by] :
         {std::pair<int64_t, int64_t>(15, 15), {14, 16}, {3, 25}, {27, 4}, {10, 2}, {-1, -1}}) {
        const SceneBlock blk = m.makeBlock(bx, by);
        std::vector<Building> buildings;
        std::vector<Tree> trees;
        objectsAround(m, bx, by, buildings, trees);
        EXPECT_EQ(blk.buildings.size(), m.buildingsOf(bx, by).size());
        for (int i = 0; i < 4000; ++i) {
            const double x = (bx + r.uniform()) * B, y = (by + r.uniform()) * B;
            const SurfaceHit hit = blk.hitAt(x, y);
            const Building* roof = nullptr;
            for (const Building& b : buildings)
                if (b.contains(x, y))
                    roof = &b;
            const Tree* top = nullptr;
            for (const Tree& t : trees)
                if (t.covers(x, y) && (!top || t.crownSurface(x, y) > top->crownSurface(x, y)))
                    top = &t;
            if (roof) {
                ASSERT_EQ(hit.kind, SurfaceHit::Roof);
                EXPECT_EQ(blk.buildings[hit.index].roofHeight(x, y), roof->roofHeight(x, y));
                ++roofs;
            } else if (top) {
                ASSERT_EQ(hit.kind, SurfaceHit::Crown);
                EXPECT_EQ(blk.trees[hit.index].crownSurface(x, y), top->crownSurface(x, y));
                ++crowns;
            } else {
                ASSERT_EQ(hit.kind, SurfaceHit::Ground);
            }
        }
    }
    EXPECT_GT(roofs, 100);
    EXPECT_GT(crowns, 1000);
}

TEST(SceneModel, BlocksDependOnSeedAndPositionOnly) {
    const SceneModel a(8, 1000, 1000), b(8, 1000, 1000), c(9, 1000, 1000);
    // Asked in different orders, the same blocks come out; another seed gives others.
    const SceneBlock a1 = a.makeBlock(7, 8), a2 = a.makeBlock(2, 3);
    const SceneBlock b2 = b.makeBlock(2, 3), b1 = b.makeBlock(7, 8), c1 = c.makeBlock(7, 8);
    auto trees = [](const SceneBlock& blk) {
        std::vector<std::pair<double, double>> out;
        for (const Tree& t : blk.trees)
            out.emplace_back(t.cx, t.topZ);
        return out;
    };
    for (auto [x, y] : {std::pair(&a1, &b1), std::pair(&a2, &b2)}) {
        EXPECT_EQ(x->buildings.size(), y->buildings.size());
        EXPECT_EQ(trees(*x), trees(*y));
        EXPECT_EQ(x->cellItems, y->cellItems);
    }
    EXPECT_NE(trees(c1), trees(a1));
}
