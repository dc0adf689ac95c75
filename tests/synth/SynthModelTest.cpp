// The scene generator's random numbers, survey plan and scene model: reference sequences, distributions,
// plans of every size, terrain, roofs, crowns and where objects stand.
#include "SceneModel.h"
#include "SceneRandom.h"
#include "SurveyPlan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <tuple>

using namespace synth;

namespace {

constexpr double B = SceneModel::BlockSize;

// splitmix64 and xoshiro256** as their reference implementations give; cell hashes that differ; the
// distributions' ranges.
TEST(SceneRandom, ReferenceSequencesSeedsHashesAndRanges) {
    uint64_t state = 0;
    for (uint64_t e :
         {0xe220a8397b1dcdafULL, 0x6e789e6aa1b965f4ULL, 0x06c45d188009454fULL, 0xf88bb8a8724c81ecULL})
        EXPECT_EQ(splitmix64(state), e);
    Random x = Random::fromState(1, 2, 3, 4);
    for (uint64_t e : {11520ULL, 0ULL, 1509978240ULL, 1215971899390074240ULL, 1216172134540287360ULL,
                       607988272756665600ULL})
        EXPECT_EQ(x.next(), e);
    EXPECT_TRUE(hashCoords(1, 5, 6, 2) == hashCoords(1, 5, 6, 2) &&
                hashCoords(1, 5, 6, 2) != hashCoords(1, 6, 5, 2) &&
                hashCoords(1, -1, 0, 0) != hashCoords(1, 0, -1, 0));
    // uniform() and below() within their ranges, below() even; normal() of unit variance, no far tails.
    Random r(7);
    double svv = 0, largest = 0;
    int seen[7] = {};
    for (int i = 0; i < 70000; ++i) {
        const double u = r.uniform(-3.0, 5.0), v = r.normal();
        const uint32_t k = r.below(7);
        ASSERT_TRUE(u >= -3 && u < 5 && k < 7) << u << " " << k;
        ++seen[k], svv += v * v, largest = std::max(largest, std::fabs(v));
    }
    for (int count : seen)
        EXPECT_NEAR(count, 10000, 400);
    EXPECT_TRUE(std::fabs(svv / 70000 - 1) < 0.03 && largest <= 2.0 * std::sqrt(3.0) + 1e-9) << svv;
}

void expectConsistent(const SurveyPlan& p, double maxWidth) {
    EXPECT_TRUE(p.strips >= 1 && p.stripWidth <= maxWidth + 1e-9 && p.speed > 0 && p.speed <= 60.0 + 1e-9 &&
                p.pulseRate <= 100000.0 && p.turnSeconds > 0);
    // Strips span the scene overlapping by a quarter; scan lines along them, one line spacing flown per
    // line; the swath edge at the largest scan angle; pulses as far apart across the track as along it.
    EXPECT_NEAR(p.stripWidth + (p.strips - 1) * p.stripSpacing, p.extentX, 1e-6 * p.extentX);
    EXPECT_TRUE(p.strips == 1 || std::fabs(p.stripSpacing - 0.75 * p.stripWidth) < 1e-9 * p.stripWidth);
    EXPECT_TRUE(p.linesPerStrip * p.lineSpacing >= p.extentY &&
                (p.linesPerStrip - 1) * p.lineSpacing < p.extentY);
    EXPECT_NEAR(p.speed * p.pulsesPerLine / p.pulseRate, p.lineSpacing, 1e-9);
    EXPECT_NEAR(std::atan(0.5 * p.stripWidth / p.altitude) * 180.0 / M_PI, p.maxScanAngle, 1e-6);
    EXPECT_NEAR(p.stripWidth / p.pulsesPerLine / p.lineSpacing, 1.0, 0.05);
}

TEST(SurveyPlan, AreaGrowsWithThePointsAtARealisticDensity) {
    double previous = 0;
    for (uint64_t points : {1ULL, 100ULL, 3000ULL, 1000000ULL, 1000000000ULL, 4294967295ULL}) {
        SCOPED_TRACE(points);
        const SurveyPlan p = planSurvey(points, 1.2);
        expectConsistent(p, 400.0);
        EXPECT_DOUBLE_EQ(p.extentX, p.extentY);
        if (points <= 100) { // a minimum size, one strip, at least the pulses asked for
            EXPECT_TRUE(p.strips == 1 && p.extentX >= 20.0 && planSurvey(points).pulsesPerPass() >= points);
            continue;
        }
        EXPECT_GT(p.extentX, previous);
        previous = p.extentX;
        EXPECT_TRUE(p.meanDensity() >= 6.0 && p.meanDensity() <= 10.0) << p.meanDensity();
        EXPECT_NEAR(p.stripDensity(), 6.5, 0.2);
        const double expected = double(points) / 1.2; // one pass holds about the points asked for
        EXPECT_NEAR(double(p.pulsesPerPass()), expected, 0.03 * expected + 3 * p.pulsesPerLine);
    }
    // The largest scene stays within 32-bit centimetre coordinates.
    const SurveyPlan largest = planSurvey(4294967295ULL, 1.0);
    EXPECT_TRUE(largest.extentX * 100.0 < 2147483647.0 && largest.strips > 20u && largest.strips < 200u);
    // Narrow strips mean more of them, flown lower; more returns per pulse mean fewer pulses.
    const SurveyPlan wide = planSurvey(2000000, 1.2), narrow = planSurvey(2000000, 1.2, 60.0);
    expectConsistent(narrow, 60.0);
    EXPECT_TRUE(narrow.strips > wide.strips && narrow.strips >= 8u && narrow.altitude < wide.altitude);
    const SurveyPlan one = planSurvey(5000000, 1.0), more = planSurvey(5000000, 1.5);
    EXPECT_TRUE(one.pulsesPerPass() > more.pulsesPerPass() && one.extentX > more.extentX);
    for (auto [width, returns] : {std::pair(0.0, 1.2), {-5.0, 1.2}, {400.0, 0.5}, {400.0, std::nan("")}})
        EXPECT_THROW(planSurvey(1000, returns, width), std::runtime_error) << width << " " << returns;
}

TEST(SceneModel, TerrainAndLandCoverAreDeterministicSmoothAndInRange) {
    const SceneModel a(5, 1000, 1000), b(5, 1000, 1000), other(6, 1000, 1000);
    double lo = 1e9, hi = -1e9, steepest = 0;
    int differ = 0;
    for (int k = 0; k < 51 * 51; ++k) {
        const double x = k % 51 * 20.0 + 0.37, y = k / 51 * 20.0 + 0.91, h = a.groundHeight(x, y);
        ASSERT_EQ(h, b.groundHeight(x, y));
        differ += h != other.groundHeight(x, y);
        lo = std::min(lo, h), hi = std::max(hi, h);
        // 10 cm apart the ground may rise by a few centimetres at most: no steps, no cliffs.
        steepest = std::max(
            {steepest, std::fabs(a.groundHeight(x + 0.1, y) - h), std::fabs(a.groundHeight(x, y + 0.1) - h)});
        const double g = a.grassCover(x, y), s = a.settlement(x, y), f = a.forestCover(x, y);
        ASSERT_TRUE(g >= 0 && g <= 1 && s >= 0 && s <= 1 && f >= 0) << x << "," << y;
        ASSERT_LE(f, 1.0 - s + 1e-12) << "forest keeps out of settlements";
    }
    EXPECT_EQ(differ, 51 * 51);
    EXPECT_TRUE(hi - lo > 5.0 && hi - lo < 150.0) << "a kilometre of hills and a slope: " << hi - lo;
    EXPECT_TRUE(steepest > 0.001 && steepest < 0.08) << steepest;
    EXPECT_DOUBLE_EQ(a.settlement(500, 500), 1.0) << "the village lies at the centre";
    // The noise cache changes nothing, along a scan line or after a jump far away.
    NoiseCache cache;
    Random r(1);
    double x = 100, y = 100;
    for (int i = 0; i < 20000; ++i) {
        const bool jump = i % 997 == 0;
        x = jump ? r.uniform(-300, 800) : x + r.uniform(-0.5, 0.5);
        y = jump ? r.uniform(-300, 800) : y + r.uniform(-0.5, 0.5);
        ASSERT_EQ(a.groundHeight(x, y, &cache), a.groundHeight(x, y));
    }
}

// A rotated footprint, gable and flat roof heights (ridge along the length, parapet), cone and dome crowns.
TEST(SceneModel, FootprintsRoofsAndCrowns) {
    Building b;
    b.cx = 10, b.cy = 20, b.halfLength = 6, b.halfWidth = 4;
    b.cosA = 0.6, b.sinA = 0.8; // u axis along (0.6, 0.8)
    // clang-format off
    const std::tuple<double, double, bool> frame[] = {{-5.9, -3.9, true}, {2.5, 3.9, true}, {5.9, 0.0, true},
        {6.1, 0.0, false}, {-6.1, 0.0, false}, {0.0, 4.1, false}, {6.1, 4.1, false}};
    // clang-format on
    for (auto [u, v, inside] : frame)
        EXPECT_EQ(b.contains(b.cx + u * 0.6 - v * 0.8, b.cy + u * 0.8 + v * 0.6), inside) << u << "," << v;
    EXPECT_FALSE(b.contains(b.cx + 5.5, b.cy)) << "an axis-aligned box of the same size would hold it";
    EXPECT_TRUE(std::fabs(b.extentX() - 6.8) < 1e-12 && std::fabs(b.extentY() - 7.2) < 1e-12);
    Building g, f;
    g.halfLength = f.halfLength = 6, g.halfWidth = f.halfWidth = 4, g.eaveZ = f.eaveZ = f.ridgeZ = 100;
    g.ridgeZ = 103, g.shape = RoofShape::Gable, f.shape = RoofShape::Flat;
    const double parapet = 100 + Building::ParapetHeight;
    // clang-format off
    const std::tuple<const Building*, double, double, double> heights[] = {{&g, 3.0, 0.0, 103.0},
        {&g, 0.0, -3.99, 100.0075}, {&f, 5.0, 3.0, 100.0}, {&f, 5.9, 0.0, parapet}, {&f, 0.0, -3.9, parapet}};
    // clang-format on
    for (auto [roof, x, y, z] : heights)
        EXPECT_NEAR(roof->roofHeight(x, y), z, 1e-9) << (roof == &g ? "gable " : "flat ") << x << "," << y;
    Tree t;
    t.cx = 0, t.cy = 0, t.radius = 4, t.groundZ = 0, t.crownBaseZ = 6, t.topZ = 20, t.conifer = true;
    EXPECT_EQ(std::tuple(t.crownSurface(0, 0), t.crownSurface(2, 0), t.covers(3.9, 0), t.covers(3, 3)),
              std::tuple(20.0, 13.0, true, false));
    t.conifer = false; // a dome: fuller than a cone, its rim at mid-crown
    EXPECT_TRUE(t.crownSurface(0, 0) == 20 && t.crownSurface(2, 0) > 13 &&
                std::fabs(t.crownSurface(3.999, 0) - 13) < 0.2);
}

// Buildings inside their block, on or above the ground, apart, flat or pitched 24 to 45 degrees, rotated;
// trees on the ground, no crown over a roof.
TEST(SceneModel, ObjectsStandOnTheTerrainInsideTheirBlockAndKeepClearOfEachOther) {
    const SceneModel m(3, 1500, 1500);
    // A point of a building's frame, (i, j) in its half length and width.
    auto at = [](const Building& b, double i, double j) {
        const double u = i * b.halfLength, v = j * b.halfWidth;
        return std::pair(b.cx + u * b.cosA - v * b.sinA, b.cy + u * b.sinA + v * b.cosA);
    };
    for (int64_t by = 0; by < 20; by += 3)
        for (int64_t bx = 0; bx < 20; bx += 3) {
            const auto bs = m.buildingsOf(bx, by);
            std::vector<Building> near;
            for (int k = 0; k < 9; ++k) {
                const auto more = m.buildingsOf(bx - 1 + k % 3, by - 1 + k / 3);
                near.insert(near.end(), more.begin(), more.end());
            }
            for (const Building& b : bs) {
                EXPECT_TRUE(b.cx - b.extentX() >= bx * B && b.cx + b.extentX() <= (bx + 1) * B &&
                            b.cy - b.extentY() >= by * B && b.cy + b.extentY() <= (by + 1) * B);
                const double pitch = b.ridgeZ - b.eaveZ;
                EXPECT_TRUE(std::fabs(b.cosA * b.cosA + b.sinA * b.sinA - 1) < 1e-12 &&
                            b.eaveZ - b.baseZ >= 2.8 &&
                            (b.shape == RoofShape::Gable
                                 ? pitch >= 0.45 * b.halfWidth - 1e-9 && pitch <= b.halfWidth + 1e-9
                                 : pitch == 0))
                    << pitch;
                for (int i = -4; i <= 4; ++i)
                    for (int j = -4; j <= 4; ++j) {
                        if (i % 4 == 0 && j % 4 == 0) { // corners, edges' middles and the centre
                            const auto [x, y] = at(b, i / 4, j / 4);
                            EXPECT_GE(b.baseZ, m.groundHeight(x, y));
                        }
                        const auto [x, y] = at(b, i / 4.01, j / 4.01);
                        for (const Building& o : bs)
                            EXPECT_TRUE(&o == &b || !o.contains(x, y)) << "overlapping buildings";
                    }
            }
            for (const Tree& t : m.treesOf(bx, by)) {
                EXPECT_TRUE(t.cx >= bx * B && t.cx < (bx + 1) * B && t.radius <= SceneModel::MaxTreeRadius);
                EXPECT_TRUE(t.groundZ == m.groundHeight(t.cx, t.cy) && t.crownBaseZ >= t.groundZ + 2.0 &&
                            t.topZ > t.crownBaseZ);
                for (const Building& b : near) // whichever block the building belongs to
                    for (int k = 0; k < 48; ++k)
                        EXPECT_FALSE(
                            b.contains(t.cx + k % 3 * 0.495 * t.radius * std::cos(k / 3 * M_PI / 8),
                                       t.cy + k % 3 * 0.495 * t.radius * std::sin(k / 3 * M_PI / 8)));
            }
        }
}

// A block's lookup finds what a search over every object finds.
TEST(SceneModel, BlocksAgreeWithABruteForceSearch) {
    const SceneModel m(4, 2000, 2000);
    Random r(5);
    int roofs = 0, crowns = 0;
    for (auto [bx, by] :
         {std::pair<int64_t, int64_t>(15, 15), {14, 16}, {3, 25}, {27, 4}, {10, 2}, {-1, -1}}) {
        const SceneBlock blk = m.makeBlock(bx, by);
        std::vector<Building> buildings;
        std::vector<Tree> trees;
        m.objectsIn(bx * B, by * B, (bx + 1) * B, (by + 1) * B, buildings, trees);
        for (int i = 0; i < 4000; ++i) {
            const double x = (bx + r.uniform()) * B, y = (by + r.uniform()) * B;
            const SurfaceHit hit = blk.hitAt(x, y);
            const Building* roof = nullptr;
            for (const Building& b : buildings)
                roof = b.contains(x, y) ? &b : roof;
            const Tree* top = nullptr;
            for (const Tree& t : trees)
                if (t.covers(x, y) && (!top || t.crownSurface(x, y) > top->crownSurface(x, y)))
                    top = &t;
            ASSERT_EQ(hit.kind, roof ? SurfaceHit::Roof : top ? SurfaceHit::Crown : SurfaceHit::Ground);
            EXPECT_EQ(roof  ? blk.buildings[hit.index].roofHeight(x, y) - roof->roofHeight(x, y)
                      : top ? blk.trees[hit.index].crownSurface(x, y) - top->crownSurface(x, y)
                            : 0.0,
                      0.0);
            roofs += roof != nullptr, crowns += !roof && top;
        }
    }
    EXPECT_TRUE(roofs > 100 && crowns > 1000) << roofs << " " << crowns;
}

} // namespace
